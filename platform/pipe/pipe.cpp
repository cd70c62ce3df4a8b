// pipe.cpp - the named-pipe calls: instances, clients, reads, writes, cancels.
//
// Every call looks its handle up under PipeLock, tries its operation at once
// and, when the socket cannot serve it yet, queues it for the I/O thread.
// Calls without an overlapped handle and OVERLAPPED queue the same way and
// wait on a private event, so one code path serves both forms.

#include "platform/pipe/pipe_internal.h"
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/fs/host.h"
#include "platform/sync/sync_internal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace platform {
namespace pipe_detail {

Pipe::Pipe(bool isServer, bool isOverlapped, bool isMessageRead)
    : server(isServer),
      overlapped(isOverlapped),
      messageRead(isMessageRead),
      state(isServer ? State::Listening : State::Connected),
      doneFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Pipe::~Pipe() {
  {
    std::lock_guard<std::mutex> lock(PipeLock());
    LivePipes().erase(this);
    // Closing a handle ends its operations, as on Windows.
    for (auto& op : reads) Complete(*this, *op, ERROR_OPERATION_ABORTED, 0);
    for (auto& op : writes) Complete(*this, *op, ERROR_OPERATION_ABORTED, 0);
    if (connect) Complete(*this, *connect, ERROR_OPERATION_ABORTED, 0);
    if (fd >= 0) ::close(fd);
    if (listener != nullptr) {
      auto& all = listener->instances;
      all.erase(std::remove(all.begin(), all.end(), this), all.end());
      if (all.empty()) {
        // The name exists while one instance does.
        ::unlink(listener->path.c_str());
        DropListener(*listener);
        Listeners().erase(listener->path);
        delete listener;
      }
    }
  }
  WakeIoThread();
  ::close(doneFd_);
}

bool Pipe::TryAcquire() {
  pollfd p{doneFd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

void Pipe::SignalDone() {
  const std::uint64_t one = 1;
  while (::write(doneFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Pipe::ClearDone() {
  std::uint64_t v;
  while (::read(doneFd_, &v, sizeof v) > 0) {
  }
}

std::map<std::string, PipeAccess>& PipeAccessRules() {
  static auto* rules = new std::map<std::string, PipeAccess>();
  return *rules;
}

}  // namespace pipe_detail

void SetPipeAccess(LPCWSTR name, PipeAccess access) {
  const std::string path = PipeSocketPath(name);
  if (path.empty()) return;
  std::lock_guard<std::mutex> lock(pipe_detail::PipeLock());
  pipe_detail::PipeAccessRules()[path] = access;
}

namespace {

using pipe_detail::Op;
using pipe_detail::OpKind;
using pipe_detail::Pipe;
using pipe_detail::PipeLock;

constexpr std::wstring_view kPipePrefix = L"\\\\.\\pipe\\";
// How long a client waits for the server's answer to its open request; the
// server's I/O thread answers at once, so this only bounds a hung server.
constexpr int kAdmitTimeoutMs = 10000;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A reference to the pipe behind a handle for the length of a call. Declare
// it before taking PipeLock: its release may delete the pipe, which takes
// the lock.
class PipeRef {
 public:
  explicit PipeRef(HANDLE handle) {
    std::lock_guard<std::mutex> lock(PipeLock());
    auto it = pipe_detail::LivePipes().find(static_cast<const KernelObject*>(handle));
    if (it != pipe_detail::LivePipes().end() && it->second->TryAddRef()) pipe_ = it->second;
  }
  ~PipeRef() {
    if (pipe_ != nullptr) pipe_->Release();
  }
  PipeRef(const PipeRef&) = delete;
  PipeRef& operator=(const PipeRef&) = delete;
  Pipe* operator->() const { return pipe_; }
  Pipe& operator*() const { return *pipe_; }
  explicit operator bool() const { return pipe_ != nullptr; }

 private:
  Pipe* pipe_ = nullptr;
};

// Handles of other kinds (files, folders) that serve the I/O calls.
using OtherIo = sync_detail::ObjectRef<HandleIo>;

HANDLE Register(Pipe* pipe) {
  std::lock_guard<std::mutex> lock(PipeLock());
  pipe_detail::LivePipes()[pipe] = pipe;
  return MakeHandle(pipe);
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A connected socket to path, or -1 with the Win32 error in error
// (ERROR_FILE_NOT_FOUND when nothing listens there).
int ConnectTo(const std::string& path, DWORD& error) {
  sockaddr_un addr;
  if (!FillAddress(path, addr)) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Win32FromErrno(errno);
    return -1;
  }
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const int err = errno;
    ::close(fd);
    // A socket file left by a process that died refuses connections: for a
    // client that is the same as no pipe of that name.
    error = err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK ? ERROR_FILE_NOT_FOUND : Win32FromErrno(err);
    return -1;
  }
  return fd;
}

// Reads exactly size bytes within timeoutMs (-1: no limit). False on time-out
// (timedOut set) or end of stream.
bool RecvExact(int fd, void* data, std::size_t size, int timeoutMs, bool& timedOut) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  auto* p = static_cast<char*>(data);
  timedOut = false;
  while (size > 0) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::max<decltype(left)>(left, 0));
    }
    pollfd pfd{fd, POLLIN, 0};
    int rc = ::poll(&pfd, 1, wait);
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) {
      timedOut = true;
      return false;
    }
    ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool EnsureDirectory(const std::string& dir) { return CreateHostDirectoryTree(dir) == ERROR_SUCCESS; }

DWORD ResultOf(const OVERLAPPED& ov) { return static_cast<DWORD>(ov.Internal); }

// Queues op on pipe (connect, read, write or flush), runs it as far as it
// goes now, and finishes it in the caller's form: overlapped (TRUE, or FALSE
// with ERROR_IO_PENDING) or waiting.
BOOL Run(Pipe& pipe, std::unique_ptr<Op> op, OVERLAPPED* overlapped, DWORD* bytes) {
  const bool async = overlapped != nullptr && pipe.overlapped;
  OVERLAPPED local;
  UniqueHandle privateEvent;
  OVERLAPPED* target = overlapped;
  if (!async) {
    privateEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!privateEvent) return FALSE;
    target = &local;
    op->event = privateEvent.get();
  } else {
    op->event = overlapped->hEvent;
    if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  }
  op->overlapped = target;
  op->thread = GetCurrentThreadId();
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(PipeLock());
    target->Internal = STATUS_PENDING;
    target->InternalHigh = 0;
    pipe.ClearDone();
    if (op->kind == OpKind::Connect) {
      if (pipe.state == Pipe::State::Connected) {
        // A client was admitted between ConnectNamedPipe's check and here:
        // the connect has happened, so it completes now instead of waiting
        // for a second client that may never come.
        pipe_detail::Complete(pipe, *op, ERROR_SUCCESS, 0);
      } else {
        pipe.connect = std::move(op);
        pending = true;
      }
    } else {
      auto& queue = op->kind == OpKind::Read ? pipe.reads : pipe.writes;
      queue.push_back(std::move(op));
      pipe_detail::Progress(pipe);
      pending = ResultOf(*target) == STATUS_PENDING;
      if (pending) pipe_detail::WakeIoThread();
    }
    if (async && pending) return Fail(ERROR_IO_PENDING);
  }
  if (!async) WaitForSingleObject(privateEvent.get(), INFINITE);
  DWORD status;
  DWORD n;
  {
    std::lock_guard<std::mutex> lock(PipeLock());
    status = ResultOf(*target);
    n = static_cast<DWORD>(target->InternalHigh);
  }
  if (!async && overlapped != nullptr) {
    overlapped->Internal = status;
    overlapped->InternalHigh = n;
  }
  if (bytes != nullptr) *bytes = n;
  return status == ERROR_SUCCESS ? TRUE : Fail(status);
}

// Whether the client of a connected instance has already gone with nothing
// left to read.
bool PeerGone(Pipe& pipe) {
  if (pipe_detail::Staged(pipe) > 0 || pipe.haveHeader) return false;
  if (pipe.eof) return true;
  pollfd p{pipe.fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLHUP | POLLRDHUP)) == 0) return false;
  int pending = 0;
  return ::ioctl(pipe.fd, FIONREAD, &pending) == 0 && pending == 0;
}

int CancelWhere(Pipe& pipe, const std::function<bool(const Op&)>& match) {
  int count = 0;
  auto cancelFrom = [&](std::deque<std::unique_ptr<Op>>& queue) {
    for (auto it = queue.begin(); it != queue.end();) {
      // A write already partly on the wire is finished instead.
      if (match(**it) && (*it)->sent == 0) {
        pipe_detail::Complete(pipe, **it, ERROR_OPERATION_ABORTED, 0);
        it = queue.erase(it);
        ++count;
      } else {
        ++it;
      }
    }
  };
  cancelFrom(pipe.reads);
  cancelFrom(pipe.writes);
  if (pipe.connect && match(*pipe.connect)) {
    pipe_detail::Complete(pipe, *pipe.connect, ERROR_OPERATION_ABORTED, 0);
    pipe.connect.reset();
    ++count;
  }
  return count;
}

// overlapped: what the handle kinds of HandleIo cancel (null: all).
BOOL Cancel(HANDLE file, OVERLAPPED* overlapped, const std::function<bool(const Op&)>& match) {
  PipeRef pipe(file);
  if (!pipe) {
    OtherIo io(file);
    return io ? io->Cancel(overlapped) : Fail(ERROR_INVALID_HANDLE);
  }
  std::lock_guard<std::mutex> lock(PipeLock());
  return CancelWhere(*pipe, match) > 0 ? TRUE : Fail(ERROR_NOT_FOUND);
}

}  // namespace

std::string PipeDirectory() {
  const char* dir = std::getenv("VANTREL_PIPE_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/run/vantrel";
}

std::string PipeSocketPath(LPCWSTR name) {
  if (name == nullptr) return {};
  std::wstring_view text(name);
  if (text.size() <= kPipePrefix.size() || !EqualsNoCase(text.substr(0, kPipePrefix.size()), kPipePrefix)) return {};
  std::wstring rest(text.substr(kPipePrefix.size()));
  if (rest.find(L'/') != std::wstring::npos) return {};
  // Pipe names compare without regard to case, as on Windows.
  return PipeDirectory() + "/" + Utf8FromWide(ToLower(rest));
}

HANDLE OpenPipeClient(LPCWSTR name, DWORD /*access*/, DWORD flags) {
  const std::string path = PipeSocketPath(name);
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = ERROR_SUCCESS;
  int fd = ConnectTo(path, error);
  if (fd < 0) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  unsigned char answer = pipe_detail::kBusy;
  bool timedOut = false;
  if (::send(fd, &pipe_detail::kOpenRequest, 1, MSG_NOSIGNAL) != 1 ||
      !RecvExact(fd, &answer, 1, kAdmitTimeoutMs, timedOut) || answer != pipe_detail::kAdmitted) {
    ::close(fd);
    SetLastError(ERROR_PIPE_BUSY);
    return INVALID_HANDLE_VALUE;
  }
  pipe_detail::EnsureIoThread();
  // A client starts in byte read mode, as on Windows.
  auto* pipe = new Pipe(false, (flags & FILE_FLAG_OVERLAPPED) != 0, false);
  pipe->fd = fd;
  pipe->peer = pipe_detail::ReadPeerCredentials(fd);
  return Register(pipe);
}

bool IsPipeHandle(HANDLE handle) { return static_cast<bool>(PipeRef(handle)); }

}  // namespace platform

using platform::pipe_detail::Listener;
using platform::pipe_detail::Op;
using platform::pipe_detail::OpKind;
using platform::pipe_detail::Pipe;
using platform::pipe_detail::PipeLock;

HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD /*outBufferSize*/,
                        DWORD /*inBufferSize*/, DWORD defaultTimeout, SECURITY_ATTRIBUTES* /*attributes*/) {
  const std::string path = platform::PipeSocketPath(name);
  if (path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (maxInstances == 0 || maxInstances > PIPE_UNLIMITED_INSTANCES || (openMode & PIPE_ACCESS_DUPLEX) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  platform::pipe_detail::EnsureIoThread();
  std::lock_guard<std::mutex> lock(PipeLock());
  auto& listeners = platform::pipe_detail::Listeners();
  auto it = listeners.find(path);
  Listener* listener = it != listeners.end() ? it->second : nullptr;
  if (listener != nullptr) {
    if ((openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (maxInstances != listener->maxInstances) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    if (listener->instances.size() >= listener->maxInstances) {
      SetLastError(ERROR_PIPE_BUSY);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    const std::string dir = platform::PipeDirectory();
    if (!platform::EnsureDirectory(dir)) {
      platform::SetLastErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
    sockaddr_un addr;
    if (!platform::FillAddress(path, addr)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    DWORD probeError = ERROR_SUCCESS;
    int probe = platform::ConnectTo(path, probeError);
    if (probe >= 0) {
      // Another process serves this name; instances of one name live in one
      // process here.
      ::close(probe);
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    ::unlink(path.c_str());  // a file left by a process that died
    const auto rule = platform::pipe_detail::PipeAccessRules().find(path);
    const bool ownerAndGroupOnly =
        rule != platform::pipe_detail::PipeAccessRules().end() && rule->second == platform::PipeAccess::kOwnerAndGroup;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), ownerAndGroupOnly ? 0660 : 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      const int err = errno;
      if (fd >= 0) ::close(fd);
      platform::SetLastErrorFromErrno(err);
      return INVALID_HANDLE_VALUE;
    }
    listener = new Listener();
    listener->path = path;
    listener->fd = fd;
    listener->maxInstances = maxInstances;
    listener->ownerAndGroupOnly = ownerAndGroupOnly;
    listener->defaultTimeout = defaultTimeout == 0 ? 50 : defaultTimeout;
    listeners[path] = listener;
  }
  auto* pipe = new Pipe(true, (openMode & FILE_FLAG_OVERLAPPED) != 0, (pipeMode & PIPE_READMODE_MESSAGE) != 0);
  pipe->listener = listener;
  listener->instances.push_back(pipe);
  platform::pipe_detail::LivePipes()[pipe] = pipe;
  platform::pipe_detail::NotifyWaiters(*listener);
  platform::pipe_detail::WakeIoThread();
  return platform::MakeHandle(pipe);
}

BOOL ConnectNamedPipe(HANDLE handle, OVERLAPPED* overlapped) {
  platform::PipeRef pipe(handle);
  if (!pipe) return platform::Fail(ERROR_INVALID_HANDLE);
  {
    std::lock_guard<std::mutex> lock(PipeLock());
    if (!pipe->server) return platform::Fail(ERROR_INVALID_FUNCTION);
    if (pipe->state == Pipe::State::Connected) {
      return platform::Fail(platform::PeerGone(*pipe) ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED);
    }
    if (pipe->connect) return platform::Fail(ERROR_PIPE_LISTENING);
    if (pipe->state == Pipe::State::Disconnected) {
      pipe->state = Pipe::State::Listening;
      platform::pipe_detail::NotifyWaiters(*pipe->listener);
    }
  }
  auto op = std::make_unique<Op>();
  op->kind = OpKind::Connect;
  return platform::Run(*pipe, std::move(op), overlapped, nullptr);
}

BOOL DisconnectNamedPipe(HANDLE handle) {
  platform::PipeRef pipe(handle);
  if (!pipe) return platform::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(PipeLock());
  if (!pipe->server) return platform::Fail(ERROR_INVALID_FUNCTION);
  if (pipe->fd >= 0) ::close(pipe->fd);
  pipe->fd = -1;
  pipe->state = Pipe::State::Disconnected;
  for (auto& op : pipe->reads) platform::pipe_detail::Complete(*pipe, *op, ERROR_PIPE_NOT_CONNECTED, 0);
  for (auto& op : pipe->writes) platform::pipe_detail::Complete(*pipe, *op, ERROR_PIPE_NOT_CONNECTED, 0);
  if (pipe->connect) platform::pipe_detail::Complete(*pipe, *pipe->connect, ERROR_PIPE_NOT_CONNECTED, 0);
  pipe->reads.clear();
  pipe->writes.clear();
  pipe->connect.reset();
  pipe->rx.clear();
  pipe->rxPos = 0;
  pipe->haveHeader = false;
  pipe->eof = false;
  platform::pipe_detail::WakeIoThread();
  return TRUE;
}

BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeout) {
  const std::string path = platform::PipeSocketPath(name);
  if (path.empty()) return platform::Fail(ERROR_INVALID_NAME);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    DWORD error = ERROR_SUCCESS;
    int fd = platform::ConnectTo(path, error);
    if (fd < 0) return platform::Fail(error);
    unsigned char defaultTimeout[4];
    bool timedOut = false;
    if (::send(fd, &platform::pipe_detail::kWaitRequest, 1, MSG_NOSIGNAL) != 1 ||
        !platform::RecvExact(fd, defaultTimeout, sizeof defaultTimeout, platform::kAdmitTimeoutMs, timedOut)) {
      ::close(fd);
      return platform::Fail(timedOut ? ERROR_SEM_TIMEOUT : ERROR_FILE_NOT_FOUND);
    }
    DWORD limit = timeout;
    if (timeout == NMPWAIT_USE_DEFAULT_WAIT) {
      limit = platform::LoadLe32(defaultTimeout);
    }
    int left = -1;
    if (limit != NMPWAIT_WAIT_FOREVER) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      left = static_cast<int>(std::max<long long>(static_cast<long long>(limit) - spent, 0));
    }
    unsigned char answer = platform::pipe_detail::kBusy;
    const bool got = platform::RecvExact(fd, &answer, 1, left, timedOut);
    ::close(fd);
    if (got && answer == platform::pipe_detail::kAdmitted) return TRUE;
    if (timedOut) return platform::Fail(ERROR_SEM_TIMEOUT);
    // The server closed the name meanwhile: look again (it may be gone).
  }
}

BOOL SetNamedPipeHandleState(HANDLE handle, DWORD* mode, DWORD* maxCollectionCount, DWORD* collectDataTimeout) {
  platform::PipeRef pipe(handle);
  if (!pipe) return platform::Fail(ERROR_INVALID_HANDLE);
  if (maxCollectionCount != nullptr || collectDataTimeout != nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  if (mode == nullptr) return TRUE;
  if ((*mode & ~(PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0 || (*mode & PIPE_NOWAIT) != 0) {
    return platform::Fail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(PipeLock());
  pipe->messageRead = (*mode & PIPE_READMODE_MESSAGE) != 0;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, OVERLAPPED* overlapped) {
  platform::PipeRef pipe(file);
  if (!pipe) {
    platform::OtherIo io(file);
    return io ? io->Read(buffer, size, bytesRead, overlapped) : platform::Fail(ERROR_INVALID_HANDLE);
  }
  if (buffer == nullptr && size > 0) return platform::Fail(ERROR_INVALID_PARAMETER);
  if (bytesRead != nullptr) *bytesRead = 0;
  auto op = std::make_unique<Op>();
  op->kind = OpKind::Read;
  op->buffer = buffer;
  op->size = size;
  return platform::Run(*pipe, std::move(op), overlapped, bytesRead);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten, OVERLAPPED* overlapped) {
  platform::PipeRef pipe(file);
  if (!pipe) {
    platform::OtherIo io(file);
    return io ? io->Write(buffer, size, bytesWritten, overlapped) : platform::Fail(ERROR_INVALID_HANDLE);
  }
  if (buffer == nullptr && size > 0) return platform::Fail(ERROR_INVALID_PARAMETER);
  if (bytesWritten != nullptr) *bytesWritten = 0;
  auto op = std::make_unique<Op>();
  op->kind = OpKind::Write;
  op->frame.resize(platform::pipe_detail::kFrameHeader + size);
  platform::StoreLe32(op->frame.data(), size);
  if (size > 0) std::memcpy(op->frame.data() + platform::pipe_detail::kFrameHeader, buffer, size);
  return platform::Run(*pipe, std::move(op), overlapped, bytesWritten);
}

BOOL FlushFileBuffers(HANDLE file) {
  platform::PipeRef pipe(file);
  if (!pipe) {
    platform::OtherIo io(file);
    return io ? io->Flush() : platform::Fail(ERROR_INVALID_HANDLE);
  }
  auto op = std::make_unique<Op>();
  op->kind = OpKind::Flush;
  return platform::Run(*pipe, std::move(op), nullptr, nullptr);
}

BOOL TransactNamedPipe(HANDLE pipe, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesRead,
                       OVERLAPPED* overlapped) {
  if (overlapped != nullptr) return platform::Fail(ERROR_NOT_SUPPORTED);
  if (WriteFile(pipe, in, inSize, nullptr, nullptr) == FALSE) return FALSE;
  return ReadFile(pipe, out, outSize, bytesRead, nullptr);
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) {
  platform::PipeRef pipe(file);
  if (!pipe) {
    platform::OtherIo io(file);
    return io ? io->OverlappedResult(overlapped, bytes, wait) : platform::Fail(ERROR_INVALID_HANDLE);
  }
  if (overlapped == nullptr) return platform::Fail(ERROR_INVALID_PARAMETER);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(PipeLock());
      const DWORD status = platform::ResultOf(*overlapped);
      if (status != STATUS_PENDING) {
        if (bytes != nullptr) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
        return status == ERROR_SUCCESS ? TRUE : platform::Fail(status);
      }
    }
    if (wait == FALSE) return platform::Fail(ERROR_IO_INCOMPLETE);
    // The result is checked before every wait, so an event consumed by the
    // caller's own wait never blocks this one.
    if (WaitForSingleObject(overlapped->hEvent != nullptr ? overlapped->hEvent : file, INFINITE) == WAIT_FAILED) {
      return FALSE;
    }
  }
}

BOOL CancelIo(HANDLE file) {
  const DWORD self = GetCurrentThreadId();
  return platform::Cancel(file, nullptr, [self](const Op& op) { return op.thread == self; });
}

BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
  return platform::Cancel(file, overlapped, [overlapped](const Op& op) {
    return overlapped == nullptr || op.overlapped == overlapped;
  });
}

BOOL PeekNamedPipe(HANDLE handle, void* buffer, DWORD size, DWORD* bytesRead, DWORD* totalAvailable,
                   DWORD* bytesLeftThisMessage) {
  platform::PipeRef pipe(handle);
  if (!pipe) return platform::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(PipeLock());
  Pipe& p = *pipe;
  if (p.fd < 0) return platform::Fail(platform::pipe_detail::NotConnectedError(p));
  platform::pipe_detail::Fill(p, platform::pipe_detail::Staged(p) + std::max<std::size_t>(size, 64 * 1024));
  // Walk the staged frames without consuming them.
  const auto* data = reinterpret_cast<const unsigned char*>(p.rx.data());
  std::size_t pos = p.rxPos;
  const std::size_t end = p.rx.size();
  std::size_t total = 0;
  std::size_t copied = 0;
  std::size_t firstLeft = 0;  // bytes of the first message, whether staged or not
  bool first = true;
  bool inMessage = p.haveHeader;
  std::size_t left = p.msgLeft;
  auto* out = static_cast<unsigned char*>(buffer);
  while (pos < end) {
    if (!inMessage) {
      if (end - pos < platform::pipe_detail::kFrameHeader) break;
      left = platform::LoadLe32(data + pos);
      pos += platform::pipe_detail::kFrameHeader;
      inMessage = true;
    }
    const std::size_t here = std::min(left, end - pos);
    if (first) firstLeft = left;
    // Message mode copies from the first message only; byte mode runs on.
    if (first || !p.messageRead) {
      const std::size_t n = std::min<std::size_t>(here, size - copied);
      if (n > 0 && out != nullptr) std::memcpy(out + copied, data + pos, n);
      copied += n;
    }
    total += here;
    pos += here;
    left -= here;
    if (left > 0) break;
    inMessage = false;
    first = false;
  }
  if (total == 0 && p.eof) return platform::Fail(ERROR_BROKEN_PIPE);
  if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(copied);
  if (totalAvailable != nullptr) *totalAvailable = static_cast<DWORD>(total);
  if (bytesLeftThisMessage != nullptr) {
    *bytesLeftThisMessage = p.messageRead && total > 0 ? static_cast<DWORD>(firstLeft - copied) : 0;
  }
  return TRUE;
}
