// front.h - the public HTTP/HTTPS socket in front of an in-process HTTP listener.
//
// The HTTP library the service answers with (cpprestsdk) has no limits of
// its own on Linux: it reads a head of any size, a body of any size, keeps
// silent connections for ever and spins when descriptors run out. An
// HttpFront owns the public socket instead, terminates TLS, reads and checks
// each request head, and forwards the request to the listener on a loopback
// address it chose (BackendUrl). It answers by itself what breaks a limit:
//
//   head over maxHeadBytes        431, then close
//   body over maxBodyBytes        413 without reading the body, then close
//   head slower than headerTimeout 408, then close (silent when nothing came)
//   idle keep-alive over idleTimeout  close
//   malformed framing             400 (unknown transfer coding: 501)
//   listener unreachable          502; no descriptor for it: 503
//
// Connections beyond the cap, or beyond what the descriptor limit leaves,
// push out the connection that has waited longest for a head, so a new
// client always gets in while idle ones hold the slots. The listener is told
// who the client is by the header kPeerHeader, which the front sets on every
// request after removing any the client sent.
//
// A few threads per front (FrontLimits::loops) do all socket work, each an
// epoll loop of its own over the one public socket (non-blocking sockets,
// buffers of bounded size per direction); a connection stays on the loop
// that accepted it. Start and Stop are called from one thread; the counters
// may be read from any.
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::http {

// The header the front sets on every forwarded request: the client's address,
// port and scheme, e.g. "203.0.113.7:50412;proto=https" or
// "[2001:db8::1]:443;proto=http". A copy sent by the client never reaches the
// listener.
inline constexpr const char* kPeerHeader = "X-Vantrel-Peer";

// The header that shows a request came through a front of this process: its
// value is a secret drawn once per process (FrontSecret), set by the front on
// every forwarded request after removing any copy the client sent. The
// listener's loopback port is reachable by every local process; the
// listener serves only requests that carry it (IsFromFront), and trusts
// kPeerHeader only beside it.
inline constexpr const char* kFrontHeader = "X-Vantrel-Front";
const std::string& FrontSecret();
// Compares in constant time.
bool IsFromFront(std::string_view value);

// What the front allows a client. Every field has a safe default; a zero
// timeout or size is taken as the default, not as "unlimited".
struct FrontLimits {
  std::size_t maxHeadBytes = 16 * 1024;          // request line + headers (431)
  std::uint64_t maxBodyBytes = 1024 * 1024;      // Content-Length or decoded chunks (413)
  DWORD headerTimeoutMs = 10'000;                // from the head's first byte (or accept) to its end (408)
  DWORD idleTimeoutMs = 60'000;                  // keep-alive wait for the next request
  DWORD clientTimeoutMs = 60'000;                // no progress reading a body or writing a reply to the client
  DWORD maxConnections = 4096;                   // client connections; also bounded by RLIMIT_NOFILE
  std::size_t bufferBytes = 64 * 1024;           // per direction and connection
  DWORD handshakeTimeoutMs = 10'000;             // TLS handshake
  // Event loops (threads) sharing the public socket (0, the default: half
  // the cores, at least 1 and at most 4); connections and descriptors are
  // shared out between them.
  DWORD loops = 0;
  // Listener connections kept for the next client while a client is between
  // requests (on by default: a one-request client then costs no connect and
  // no new listener worker). A request without a body whose kept connection
  // the listener closed before replying is sent again on a fresh one.
  bool reuseBackend = true;
  bool operator==(const FrontLimits& other) const = default;
};

struct FrontConfig {
  // Numeric IPv4 or IPv6 (brackets allowed), "localhost", or "", "*", "+"
  // for every IPv4 address ("::" for every address).
  std::string address = "127.0.0.1";
  // When not empty, the numeric addresses listened on instead of address,
  // all on one port: a host name's addresses (ResolveListenAddresses). An
  // address this machine does not have (EADDRNOTAVAIL, or a family it lacks)
  // is passed over while another one binds.
  std::vector<std::string> addresses;
  WORD port = 0;                       // 0: the kernel picks (see HttpFront::Port)
  // https when a pair is set: PEM files read once by Start, or the PEM texts
  // themselves (for callers that read them through their own file layer);
  // the texts win when both are given. TLS 1.2 and above.
  std::string certificateFile;
  std::string keyFile;
  std::string certificatePem;  // the chain, leaf first
  std::string keyPem;
  FrontLimits limits;
};

// What the front has done since Start; for tests, benchmarks and traces.
struct FrontCounters {
  std::uint64_t accepted = 0;
  std::uint64_t requests = 0;           // heads forwarded to the listener
  std::uint64_t clientBytesRead = 0;    // from client sockets (after TLS)
  std::uint64_t rejected = 0;           // answered by the front (4xx/5xx)
  std::uint64_t timedOut = 0;           // closed by a timeout
  std::uint64_t evicted = 0;            // idle connections closed to make room
  std::uint64_t acceptStalls = 0;       // accepts that found no descriptor
  std::uint64_t open = 0;               // client connections open now
  std::uint64_t backendConnects = 0;    // connections made to the listener (the rest reused one)
};

class HttpFront {
 public:
  // Binds config.address:port, chooses the listener's loopback address and
  // starts the front's thread. Returns a Win32 code: ERROR_ADDRESS_ALREADY_ASSOCIATED
  // (port taken), ERROR_FILE_NOT_FOUND / ERROR_INVALID_DATA (certificate or
  // key missing or unreadable, or not a pair), ERROR_INVALID_PARAMETER (an
  // address it does not take, or half a pair).
  static DWORD Start(const FrontConfig& config, std::unique_ptr<HttpFront>& front);
  // Start in two halves, for a caller that opens the listener in between:
  // Bind binds and listens (clients wait in the kernel's backlog, nobody is
  // answered 502 for a listener not open yet) and Admit starts the thread
  // that accepts them. Admit once; a front destroyed without it resets the
  // clients that waited.
  static DWORD Bind(const FrontConfig& config, std::unique_ptr<HttpFront>& front);
  void Admit();

  // Closes the public socket and every connection and ends the thread.
  // Called before the listener behind it is closed.
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Where the listener must listen, "http://127.0.0.1:PORT" (plain HTTP on
  // loopback; the front connects there as requests arrive and keeps the
  // connections for later clients, FrontLimits::reuseBackend). Open the
  // listener before clients are let in (Bind, open, Admit); a request that
  // finds nothing listening gets 502.
  const std::string& BackendUrl() const;
  // The public port (the one bound, when config.port was 0).
  WORD Port() const;
  bool IsHttps() const;
  FrontCounters Counters() const;

  class Impl;

 private:
  explicit HttpFront(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

// The addresses a front for host listens on, for FrontConfig::addresses: a
// numeric address (IPv6 with or without brackets) or a wildcard ("", "*",
// "+") as it is; any other name is asked of the system's resolver (the hosts
// file, then DNS; IPv4 and IPv6, each address once, in the resolver's order),
// which may wait. Returns a Win32 code: WSAHOST_NOT_FOUND (no such name),
// WSATRY_AGAIN (no answer, try later), WSANO_RECOVERY, WSANO_DATA (a name
// without addresses).
DWORD ResolveListenAddresses(const std::string& host, std::vector<std::string>& addresses);

// Splits a kPeerHeader value; false when it is not one the front writes.
bool ParsePeerHeader(const std::string& value, std::string& address, WORD& port, std::string& scheme);

}  // namespace platform::http
