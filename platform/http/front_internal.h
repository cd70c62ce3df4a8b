// front_internal.h - the front's connections and its event loop, shared by its source files.
//
// Invariants:
// - A front is one or more loops (Impl), the first owning the others
//   (m_siblings). Everything in a loop is touched by that loop's own thread
//   only, after Start has handed over; the counters are atomics for readers
//   elsewhere. The loops share the public port (each its own listening
//   socket in one SO_REUSEPORT group), the TLS context and nothing else: each
//   has its share of the connections and of the descriptor budget.
// - A connection carries one request at a time to the listener: the next head
//   is read only once the reply to the one before has gone out whole, so
//   pipelined requests wait in the socket, and each buffer holds at most
//   FrontLimits::bufferBytes (the request buffer at least one head more).
// - m_descriptors counts what the front holds open: one per client and two
//   per listener connection (its end and the listener's own, in this
//   process). It never passes m_budget: room is made by closing the
//   connection that has waited longest for a head (m_idle's front).
// - A listener connection outlives its client when it is in step (the
//   listener's last reply ended cleanly and allowed another): it waits in
//   m_pool, outside the epoll set, for the next client that needs one. Room
//   is taken from the pool first.
// - Connections are closed in place but freed only after the event batch
//   (m_dead), and events name them by id, so a stale event finds nothing.
#pragma once

#include "platform/http/front.h"
#include "platform/http/parse.h"

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform::http_detail {

// After a reply that ends the connection, what the client still sends is
// read and dropped for at most this long and this much, so that the reply is
// not lost to a reset; the rest of a refused body is never read.
constexpr std::uint64_t kLingerMs = 2000;
constexpr std::size_t kLingerBytes = 64 * 1024;

// A byte buffer with a consumed front, allocated on first use and given back
// when empty, so idle connections hold no buffer memory.
class Buffer {
 public:
  std::size_t Size() const { return m_end - m_begin; }
  const char* Data() const { return m_data.get() + m_begin; }
  std::string_view View() const { return {Data(), Size()}; }
  // Room at the tail for at most capacity bytes in all.
  char* Tail(std::size_t capacity, std::size_t& room);
  void Commit(std::size_t n) { m_end += n; }
  void Consume(std::size_t n);
  void Truncate(std::size_t size) { m_end = m_begin + size; }
  void Assign(std::string_view bytes);
  void Clear() { m_begin = m_end = 0; }
  void ReleaseIfEmpty();

 private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_capacity = 0;
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
};

enum class RequestState { Head, Forward, Sent };
enum class ReplyState { Idle, Head, Body, Done };
enum class Phase { Serving, Closing, Lingering };

struct Connection {
  std::uint64_t id = 0;
  bool closed = false;
  int fd = -1;
  SSL* ssl = nullptr;
  bool handshaking = false;
  bool handshakeWantsWrite = false;
  bool tlsReadWantsWrite = false;   // SSL_read needs the socket writable
  bool tlsWriteWantsRead = false;   // SSL_write needs the socket readable
  std::string peer;                 // the kPeerHeader value
  Phase phase = Phase::Serving;

  int backend = -1;
  bool connecting = false;
  bool backendSignalled = false;    // epoll reported the listener's end readable
  bool backendDead = false;         // ... or hung up: read what is left, then stop watching
  bool backendKeep = false;         // the listener's last reply let its connection serve another
  bool backendReused = false;       // taken from the pool: the listener may be closing it just now

  // Request side: in holds [body bytes ready to send (inReady)][unscanned];
  // framed goes to the listener before them.
  RequestState request = RequestState::Head;
  Buffer in;
  std::size_t headSearched = 0;
  std::string framed;               // bytes the front wrote: the head, re-framed chunks
  std::size_t framedSent = 0;
  std::size_t inReady = 0;
  BodyKind requestBody = BodyKind::None;
  std::uint64_t requestLeft = 0;
  ChunkedScanner requestChunks;
  bool bodyDone = false;
  bool requestWasHead = false;
  bool http10 = false;              // the client speaks HTTP/1.0: no chunks reach it
  bool keepAlive = true;

  // Reply side: out holds [bytes for the client (outReady)][reply head being read].
  ReplyState reply = ReplyState::Idle;
  Buffer out;
  std::size_t outReady = 0;
  BodyKind replyBody = BodyKind::None;
  std::uint64_t replyLeft = 0;
  ChunkedScanner replyChunks;
  bool replyStarted = false;        // bytes of this reply reached the client
  std::size_t interimBytes = 0;     // the front's own 100 Continue at out's start
  bool discardBody = false;         // the listener sends a body the client must not get (HEAD)
  bool dechunk = false;             // a chunked reply to an HTTP/1.0 client: sent decoded, ended by the close

  // Times (GetTickCount64) for the deadlines.
  bool servedAny = false;
  std::uint64_t waitSince = 0;      // since when a head is awaited
  std::uint64_t headStart = 0;      // first byte of the head (0: none yet)
  std::uint64_t lastProgress = 0;   // last byte moved to or from the client
  std::uint64_t lingerStart = 0;
  std::uint64_t deadline = 0;
  std::size_t lingerRead = 0;

  bool inIdle = false;
  std::list<std::uint64_t>::iterator idleIt;
  std::uint32_t clientEvents = 0;
  std::uint32_t backendEvents = 0;
  bool backendRegistered = false;
};

}  // namespace platform::http_detail

namespace platform::http {

class HttpFront::Impl {
 public:
  using Connection = http_detail::Connection;

  ~Impl();
  DWORD Open(const FrontConfig& config);
  void StartThread();
  // Sums the counters over every loop.
  FrontCounters Counters() const;

  std::string m_backendUrl;
  WORD m_port = 0;
  bool m_https = false;

  std::atomic<std::uint64_t> m_accepted{0}, m_requests{0}, m_clientBytesRead{0}, m_rejected{0}, m_timedOut{0},
      m_evicted{0}, m_acceptStalls{0}, m_open{0}, m_backendConnects{0};

 private:
  // front.cpp: sockets, the loop, room and deadlines.
  // One public address bound (not yet listening), before the loops are made.
  struct BoundAddress {
    int fd = -1;
    sockaddr_storage address{};
    socklen_t length = 0;
  };
  DWORD OpenSibling(const Impl& first, std::size_t loops, BoundAddress& bound, bool plain);
  void AddListen();
  DWORD ListenShared();
  DWORD OpenTls();
  DWORD BindPublic(std::vector<BoundAddress>& bound);
  DWORD ListenOn(BoundAddress& bound, bool plain);
  DWORD ChooseBackend();
  void ComputeBudget();
  void Run();
  void OnListen(std::uint64_t now);
  void AdmitClient(int fd, const sockaddr_storage& peer, std::uint64_t now);
  void OnEvent(std::uint64_t data, std::uint32_t events, std::uint64_t now);
  bool MakeRoom(std::size_t descriptors, bool forClient, std::uint64_t keepId);
  bool EvictOldestIdle(std::uint64_t keepId);
  void ShrinkBudget();
  void PauseAccept(std::uint64_t until);
  void CheckDeadlines(std::uint64_t now);
  void OnDeadline(Connection& c);
  void Close(Connection& c);
  void CloseBackend(Connection& c);
  void ReleaseBackend(Connection& c, std::uint64_t now);
  int TakePooledBackend();
  bool DropOldestPooled();
  void AddIdle(Connection& c);
  void RemoveIdle(Connection& c);
  void UpdateInterest(Connection& c);
  void UpdateDeadline(Connection& c);

  // connection.cpp: one connection's road, step by step.
  void Pump(Connection& c, std::uint64_t now);
  bool Handshake(Connection& c, std::uint64_t now);
  bool ClientRead(Connection& c, std::uint64_t now);
  bool ProcessRequest(Connection& c, std::uint64_t now);
  bool StartRequest(Connection& c, std::size_t headLength, std::uint64_t now);
  bool ScanRequestBody(Connection& c);
  bool ConnectBackend(Connection& c, bool mayReuse = true);
  bool RetryOnFreshBackend(Connection& c);
  void FinishConnect(Connection& c);
  bool BackendWrite(Connection& c);
  bool BackendRead(Connection& c);
  bool ProcessReply(Connection& c);
  bool ScanReplyBody(Connection& c);
  bool ClientWrite(Connection& c, std::uint64_t now);
  bool FinishCycle(Connection& c, std::uint64_t now);
  static bool RequestSent(const Connection& c);
  void Reject(Connection& c, int status);
  void CloseGracefully(Connection& c, std::uint64_t now);
  bool ClientReadAllowed(const Connection& c) const;
  std::size_t InCapacity() const;

  // tls.cpp: the client's bytes, through TLS when the front is https. Each
  // answers bytes moved, 0 at the end of the stream, -1 for "not now", -2
  // for a broken connection.
  long ClientRecv(Connection& c, char* data, std::size_t size);
  long ClientSend(Connection& c, const char* data, std::size_t size);
  void ShutdownTls(Connection& c);

  FrontConfig m_config;
  FrontLimits m_limits;
  SSL_CTX* m_tls = nullptr;
  int m_listen = -1;
  int m_epoll = -1;
  int m_wake = -1;
  sockaddr_in m_backendAddress{};
  std::thread m_thread;
  // The other loops (every loop of every further address too), on the first.
  std::vector<std::unique_ptr<Impl>> m_siblings;
  std::size_t m_loops = 1;
  sockaddr_storage m_bindAddress{};
  socklen_t m_bindLength = 0;

  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> m_connections;
  std::vector<std::uint64_t> m_dead;
  std::vector<std::uint64_t> m_again;  // connections to pump again without waiting
  std::list<std::uint64_t> m_idle;     // awaiting a head, longest waiting first
  // Listener connections whose client has gone, in step and ready for the
  // next client's request: newest last. Each counts its two descriptors.
  struct Pooled {
    int fd;
    std::uint64_t since;
  };
  std::vector<Pooled> m_pool;
  std::uint64_t m_nextId = 1;
  std::size_t m_clients = 0;
  std::size_t m_descriptors = 0;
  std::size_t m_budget = 0;
  bool m_acceptPaused = false;
  std::uint64_t m_acceptPausedUntil = 0;
};

}  // namespace platform::http
