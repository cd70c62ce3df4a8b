// io_thread.cpp - the pipe layer's I/O thread and the staged reads and writes.
//
// One thread per process polls every listening socket, every connection that
// is still sending its open request, and every pipe with a queued read or
// write. It admits clients to free instances, completes overlapped
// operations and signals their events. Callers try their operation at once
// (under the lock) and queue it only when the socket cannot serve it yet.

#include "platform/pipe/pipe_internal.h"
#include "platform/base/bytes.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <time.h>

namespace platform::pipe_detail {
namespace {

constexpr std::size_t kMinChunk = 64 * 1024;
constexpr std::size_t kMaxChunk = 1024 * 1024;
// A staging buffer that grew past this is given back once it is drained, so
// a connection that once took a large message does not keep its memory.
constexpr std::size_t kKeptStagingBytes = 2 * kMinChunk;
// A connection that sends no request byte within this is closed, so silent
// clients cannot pin descriptors.
constexpr std::uint64_t kArrivalTimeoutMs = 5000;
// Accepting pauses this long when the process is out of descriptors,
// instead of polling a listener that stays readable.
constexpr std::uint64_t kAcceptBackoffMs = 250;
// Without descriptors, an arrival silent this long gives its place up.
constexpr std::uint64_t kShedAfterMs = 200;

std::uint64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

// A connection accepted but not yet admitted: it still owes its request byte.
struct Arrival {
  int fd;
  Listener* listener;
  PeerCredentials peer;
  std::uint64_t deadlineMs;
};

// Guarded by PipeLock, like everything the thread touches.
std::vector<Arrival>& Arrivals() {
  static auto* arrivals = new std::vector<Arrival>();
  return *arrivals;
}

int WakeFd() {
  static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

bool SendAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a one-byte answer to a fresh socket never blocks
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

Pipe* FreeInstance(Listener& listener) {
  // An instance whose ConnectNamedPipe is waiting goes first, as the caller
  // of a pending connect is the one ready to serve.
  Pipe* any = nullptr;
  for (Pipe* p : listener.instances) {
    if (p->state != Pipe::State::Listening) continue;
    if (p->connect) return p;
    if (any == nullptr) any = p;
  }
  return any;
}

void Admit(Arrival& arrival, unsigned char request) {
  Listener& l = *arrival.listener;
  if (request == kWaitRequest) {
    unsigned char t[4];
    platform::StoreLe32(t, l.defaultTimeout);
    if (!SendAll(arrival.fd, t, sizeof t)) {
      ::close(arrival.fd);
    } else if (FreeInstance(l) != nullptr) {
      SendAll(arrival.fd, &kAdmitted, 1);
      ::close(arrival.fd);
    } else {
      l.waiters.push_back(arrival.fd);
    }
    return;
  }
  Pipe* p = request == kOpenRequest ? FreeInstance(l) : nullptr;
  if (p == nullptr) {
    SendAll(arrival.fd, &kBusy, 1);
    ::close(arrival.fd);
    return;
  }
  if (!SendAll(arrival.fd, &kAdmitted, 1)) {
    ::close(arrival.fd);  // gone before it was admitted: the instance stays free
    return;
  }
  p->fd = arrival.fd;
  p->state = Pipe::State::Connected;
  p->peer = std::move(arrival.peer);
  p->rx.clear();
  p->rxPos = 0;
  p->haveHeader = false;
  p->msgLeft = 0;
  p->eof = false;
  if (p->connect) {
    std::unique_ptr<Op> op = std::move(p->connect);
    Complete(*p, *op, ERROR_SUCCESS, 0);
  }
}

// Closes the oldest arrival when it has been silent for a while.
bool ShedOldestArrival() {
  auto& arrivals = Arrivals();
  if (arrivals.empty()) return false;
  auto oldest = std::min_element(arrivals.begin(), arrivals.end(),
                                 [](const Arrival& a, const Arrival& b) { return a.deadlineMs < b.deadlineMs; });
  if (oldest->deadlineMs > NowMs() + kArrivalTimeoutMs - kShedAfterMs) return false;
  ::close(oldest->fd);
  arrivals.erase(oldest);
  return true;
}

void AcceptAll(Listener& l) {
  for (;;) {
    int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ++l.acceptStalls;
        // The connection that has been silent longest makes room for the
        // next one; with none to give up, polling again at once would only
        // spin, so accepting pauses.
        if (ShedOldestArrival()) continue;
        l.acceptPausedUntilMs = NowMs() + kAcceptBackoffMs;
      }
      return;
    }
    PeerCredentials peer = ReadPeerCredentials(fd);
    if (l.ownerAndGroupOnly && !PeerOfOwnerOrGroup(peer)) {
      ::close(fd);
      continue;
    }
    Arrivals().push_back(Arrival{fd, &l, std::move(peer), NowMs() + kArrivalTimeoutMs});
  }
}

// Closes arrivals that are overdue; the poll time-out until the next
// deadline (an arrival's or a paused listener's), -1 for none.
int ExpireArrivals() {
  const std::uint64_t now = NowMs();
  std::uint64_t next = UINT64_MAX;
  auto& arrivals = Arrivals();
  std::erase_if(arrivals, [&](const Arrival& a) {
    if (a.deadlineMs > now) {
      next = std::min(next, a.deadlineMs);
      return false;
    }
    ::close(a.fd);
    return true;
  });
  for (auto& [path, l] : Listeners())
    if (l->acceptPausedUntilMs > now) next = std::min(next, l->acceptPausedUntilMs);
  return next == UINT64_MAX ? -1 : static_cast<int>(next - now);
}

void ServeArrival(int fd) {
  auto& arrivals = Arrivals();
  auto it = std::find_if(arrivals.begin(), arrivals.end(), [fd](const Arrival& a) { return a.fd == fd; });
  if (it == arrivals.end()) return;
  unsigned char request = 0;
  ssize_t n = ::recv(fd, &request, 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  Arrival arrival = std::move(*it);
  arrivals.erase(it);
  if (n != 1) {
    ::close(fd);
    return;
  }
  Admit(arrival, request);
}

enum class Tag { Wake, Listen, Arrival, Pipe };
// What a pollfd stands for. Only compared against the live lists, never
// dereferenced, as the object may be gone by the time poll returns.
struct Watched {
  Tag tag;
  const void* object;
};

[[noreturn]] void IoThreadMain() {
  std::vector<pollfd> fds;
  std::vector<Watched> watched;
  std::unique_lock<std::mutex> lock(PipeLock());
  for (;;) {
    fds.clear();
    watched.clear();
    fds.push_back(pollfd{WakeFd(), POLLIN, 0});
    watched.push_back({Tag::Wake, nullptr});
    const int timeout = ExpireArrivals();
    const std::uint64_t now = NowMs();
    for (auto& [path, l] : Listeners()) {
      if (l->acceptPausedUntilMs > now) continue;
      fds.push_back(pollfd{l->fd, POLLIN, 0});
      watched.push_back({Tag::Listen, l});
    }
    for (const Arrival& a : Arrivals()) {
      fds.push_back(pollfd{a.fd, POLLIN, 0});
      watched.push_back({Tag::Arrival, nullptr});
    }
    for (auto& [key, p] : LivePipes()) {
      short events = 0;
      if (!p->reads.empty()) events |= POLLIN;
      if (!p->writes.empty()) events |= POLLOUT;
      if (p->fd < 0 || events == 0) continue;
      fds.push_back(pollfd{p->fd, events, 0});
      watched.push_back({Tag::Pipe, key});
    }
    lock.unlock();
    int rc = ::poll(fds.data(), fds.size(), timeout);
    lock.lock();
    if (rc <= 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      // Objects may have gone while the lock was free: act only on those
      // still listed with the same descriptor.
      switch (watched[i].tag) {
        case Tag::Wake: {
          std::uint64_t v;
          while (::read(WakeFd(), &v, sizeof v) > 0) {
          }
          break;
        }
        case Tag::Listen: {
          for (auto& [path, l] : Listeners()) {
            if (l == watched[i].object && l->fd == fds[i].fd) {
              AcceptAll(*l);
              break;
            }
          }
          break;
        }
        case Tag::Arrival:
          ServeArrival(fds[i].fd);
          break;
        case Tag::Pipe: {
          auto it = LivePipes().find(static_cast<const KernelObject*>(watched[i].object));
          if (it != LivePipes().end() && it->second->fd == fds[i].fd) Progress(*it->second);
          break;
        }
      }
    }
  }
}

// Message mode: completes op when its buffer's worth or the rest of the
// current message is staged. Returns false while it must wait.
bool TryReadMessage(Pipe& p, Op& op) {
  if (!p.haveHeader) {
    Fill(p, kFrameHeader);
    if (Staged(p) < kFrameHeader) {
      if (!p.eof) return false;
      Complete(p, op, ERROR_BROKEN_PIPE, 0);
      return true;
    }
    p.msgLeft = platform::LoadLe32(p.rx.data() + p.rxPos);
    p.rxPos += kFrameHeader;
    p.haveHeader = true;
  }
  const std::size_t want = std::min<std::size_t>(p.msgLeft, op.size);
  Fill(p, want);
  if (Staged(p) < want) {
    if (!p.eof) return false;
    Complete(p, op, ERROR_BROKEN_PIPE, 0);  // the peer died inside a message
    return true;
  }
  if (want > 0) std::memcpy(op.buffer, p.rx.data() + p.rxPos, want);
  p.rxPos += want;
  p.msgLeft -= static_cast<std::uint32_t>(want);
  if (p.msgLeft == 0) p.haveHeader = false;
  Complete(p, op, p.haveHeader ? ERROR_MORE_DATA : ERROR_SUCCESS, static_cast<DWORD>(want));
  return true;
}

// Byte mode: whatever is there, across message boundaries, once at least
// one byte is.
bool TryReadBytes(Pipe& p, Op& op) {
  std::size_t got = 0;
  auto* out = static_cast<char*>(op.buffer);
  while (got < op.size) {
    if (!p.haveHeader) {
      if (Staged(p) < kFrameHeader) Fill(p, kFrameHeader);
      if (Staged(p) < kFrameHeader) break;
      p.msgLeft = platform::LoadLe32(p.rx.data() + p.rxPos);
      p.rxPos += kFrameHeader;
      p.haveHeader = true;
    }
    std::size_t want = std::min<std::size_t>(p.msgLeft, op.size - got);
    if (Staged(p) == 0) Fill(p, want);
    const std::size_t n = std::min(want, Staged(p));
    if (want > 0 && n == 0) break;
    std::memcpy(out + got, p.rx.data() + p.rxPos, n);
    got += n;
    p.rxPos += n;
    p.msgLeft -= static_cast<std::uint32_t>(n);
    if (p.msgLeft == 0) p.haveHeader = false;
  }
  if (got == 0 && op.size > 0 && !p.eof) return false;
  if (got == 0 && op.size > 0) {
    Complete(p, op, ERROR_BROKEN_PIPE, 0);
    return true;
  }
  Complete(p, op, ERROR_SUCCESS, static_cast<DWORD>(got));
  return true;
}

bool TryRead(Pipe& p, Op& op) {
  if (p.fd < 0) {
    Complete(p, op, NotConnectedError(p), 0);
    return true;
  }
  return p.messageRead ? TryReadMessage(p, op) : TryReadBytes(p, op);
}

bool TryWrite(Pipe& p, Op& op) {
  if (op.kind == OpKind::Flush) {
    Complete(p, op, ERROR_SUCCESS, 0);
    return true;
  }
  if (p.fd < 0) {
    Complete(p, op, NotConnectedError(p), 0);
    return true;
  }
  while (op.sent < op.frame.size()) {
    ssize_t n = ::send(p.fd, op.frame.data() + op.sent, op.frame.size() - op.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      op.sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    const int err = errno;
    Complete(p, op, err == EPIPE || err == ECONNRESET ? ERROR_NO_DATA : Win32FromErrno(err), 0);
    return true;
  }
  Complete(p, op, ERROR_SUCCESS, static_cast<DWORD>(op.frame.size() - kFrameHeader));
  return true;
}

}  // namespace

std::mutex& PipeLock() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::unordered_map<const KernelObject*, Pipe*>& LivePipes() {
  static auto* pipes = new std::unordered_map<const KernelObject*, Pipe*>();
  return *pipes;
}

std::map<std::string, Listener*>& Listeners() {
  static auto* listeners = new std::map<std::string, Listener*>();
  return *listeners;
}

void EnsureIoThread() {
  // Detached for good: pipes may be in use until the process exits.
  static const bool started = [] {
    std::thread(IoThreadMain).detach();
    return true;
  }();
  (void)started;
}

void WakeIoThread() {
  const std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(WakeFd(), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void Complete(Pipe& pipe, Op& op, DWORD status, DWORD bytes) {
  op.overlapped->Internal = status;
  op.overlapped->InternalHigh = bytes;
  if (op.event != nullptr) SetEvent(op.event);
  pipe.SignalDone();
}

std::size_t Staged(const Pipe& pipe) { return pipe.rx.size() - pipe.rxPos; }

void Fill(Pipe& p, std::size_t want) {
  if (p.rxPos > 0 && p.rxPos * 2 >= p.rx.size()) {
    p.rx.erase(0, p.rxPos);
    p.rxPos = 0;
  }
  while (!p.eof && p.fd >= 0 && Staged(p) < want) {
    const std::size_t chunk = std::clamp(want - Staged(p), kMinChunk, kMaxChunk);
    const std::size_t old = p.rx.size();
    p.rx.resize(old + chunk);
    ssize_t n = ::recv(p.fd, p.rx.data() + old, chunk, MSG_DONTWAIT);
    p.rx.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    p.eof = true;  // end of stream, or a reset: either way the peer is gone
  }
}

void Progress(Pipe& pipe) {
  while (!pipe.reads.empty() && TryRead(pipe, *pipe.reads.front())) pipe.reads.pop_front();
  if (Staged(pipe) == 0 && pipe.rx.capacity() > kKeptStagingBytes) {
    std::string().swap(pipe.rx);
    pipe.rxPos = 0;
  }
  while (!pipe.writes.empty() && TryWrite(pipe, *pipe.writes.front())) pipe.writes.pop_front();
}

void NotifyWaiters(Listener& listener) {
  for (int fd : listener.waiters) {
    SendAll(fd, &kAdmitted, 1);
    ::close(fd);
  }
  listener.waiters.clear();
}

void DropListener(Listener& listener) {
  auto& arrivals = Arrivals();
  for (auto it = arrivals.begin(); it != arrivals.end();) {
    if (it->listener == &listener) {
      ::close(it->fd);
      it = arrivals.erase(it);
    } else {
      ++it;
    }
  }
  for (int fd : listener.waiters) ::close(fd);
  listener.waiters.clear();
  ::close(listener.fd);
  listener.fd = -1;
}

std::size_t ArrivalsOf(const Listener& listener) {
  const auto& arrivals = Arrivals();
  return static_cast<std::size_t>(
      std::count_if(arrivals.begin(), arrivals.end(), [&](const Arrival& a) { return a.listener == &listener; }));
}

DWORD NotConnectedError(const Pipe& pipe) {
  return pipe.state == Pipe::State::Listening ? ERROR_PIPE_LISTENING : ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace platform::pipe_detail
