// pipe_internal.h - the objects behind pipe.h, shared by its sources.
//
// Not part of the contract. One lock (PipeLock) guards every pipe, every
// listener and the I/O thread's lists; everything done under it is a
// non-blocking system call or a copy, and every wait happens outside it.
// An operation's OVERLAPPED fields and its completion event are written only
// under that lock, by Complete.
#pragma once

#include "platform/pipe/pipe.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::pipe_detail {

// The open handshake: a new connection sends one request byte; the server
// answers one byte (admitted or busy). A wait request is first answered with
// the server's default time-out (u32 little-endian) and then, once an
// instance is free, with kAdmitted.
constexpr unsigned char kOpenRequest = 'C';
constexpr unsigned char kWaitRequest = 'W';
constexpr unsigned char kAdmitted = 1;
constexpr unsigned char kBusy = 0;
// Every message on the wire is a u32 little-endian length and its bytes.
constexpr std::size_t kFrameHeader = 4;

enum class OpKind { Connect, Read, Write, Flush };

struct Op {
  OpKind kind;
  OVERLAPPED* overlapped;  // where the result goes (the caller's or a private one)
  HANDLE event;            // signalled on completion (may be null)
  DWORD thread;            // issuing thread, for CancelIo
  void* buffer = nullptr;  // Read: filled only at completion
  DWORD size = 0;
  std::string frame;       // Write: header and copied data
  std::size_t sent = 0;
};

class Listener;

class Pipe final : public KernelObject {
 public:
  Pipe(bool server, bool overlapped, bool messageRead);
  ~Pipe() override;

  // Signalled when one of its operations completed (waits on the handle
  // itself, as GetOverlappedResult does with no event).
  int WaitFd() const override { return doneFd_; }
  bool TryAcquire() override;
  void SignalDone();
  void ClearDone();

  enum class State { Listening, Connected, Disconnected };

  // All below guarded by PipeLock.
  const bool server;
  const bool overlapped;
  bool messageRead;
  State state;
  int fd = -1;
  Listener* listener = nullptr;
  PeerCredentials peer;
  // Staged input: bytes from the socket not yet handed to a reader, from
  // rxPos on. While haveHeader, they start inside a message with msgLeft
  // body bytes to go; otherwise they start at a frame header.
  std::string rx;
  std::size_t rxPos = 0;
  bool haveHeader = false;
  std::uint32_t msgLeft = 0;
  bool eof = false;
  std::deque<std::unique_ptr<Op>> reads;
  std::deque<std::unique_ptr<Op>> writes;  // also Flush markers, in order
  std::unique_ptr<Op> connect;

 private:
  const int doneFd_;
};

// One name served by this process: its socket and its instances.
struct Listener {
  std::string path;
  int fd = -1;
  DWORD maxInstances = PIPE_UNLIMITED_INSTANCES;
  DWORD defaultTimeout = 50;
  std::vector<Pipe*> instances;
  std::vector<int> waiters;  // WaitNamedPipe connections waiting for a free instance
  bool ownerAndGroupOnly = false;  // PipeAccess::kOwnerAndGroup
  // Accepting stopped for lack of descriptors: not polled before this
  // (CLOCK_MONOTONIC ms), and how often that happened.
  std::uint64_t acceptPausedUntilMs = 0;
  std::uint64_t acceptStalls = 0;
};

std::mutex& PipeLock();

// Under PipeLock: the live pipes by handle value (lookups check it before
// touching the object) and the listeners by socket path.
std::unordered_map<const KernelObject*, Pipe*>& LivePipes();
std::map<std::string, Listener*>& Listeners();
// Under PipeLock: the access rules set by SetPipeAccess, by socket path.
std::map<std::string, PipeAccess>& PipeAccessRules();
// Whether a peer may connect to a kOwnerAndGroup pipe of this process.
bool PeerOfOwnerOrGroup(const PeerCredentials& peer);

// The I/O thread: started on first use; Wake makes it look at the lists again.
void EnsureIoThread();
void WakeIoThread();

// Under PipeLock.
void Complete(Pipe& pipe, Op& op, DWORD status, DWORD bytes);
// Moves every queued read and write on as far as the socket allows now.
void Progress(Pipe& pipe);
// Closes the connections of a listener that goes away.
void DropListener(Listener& listener);
// Tells WaitNamedPipe callers that an instance of the listener is free.
void NotifyWaiters(Listener& listener);
// The error for I/O on a server instance without a client.
DWORD NotConnectedError(const Pipe& pipe);
// Reads what the socket has now (up to want staged bytes in all).
void Fill(Pipe& pipe, std::size_t want);
std::size_t Staged(const Pipe& pipe);

// Under PipeLock: connections of the listener still owing their open request.
std::size_t ArrivalsOf(const Listener& listener);

// The peer credentials of a connected Unix socket.
PeerCredentials ReadPeerCredentials(int fd);

}  // namespace platform::pipe_detail
