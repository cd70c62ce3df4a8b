// threads.cpp - thread handles, thread ids and full thread names.
//
// Threads are POSIX threads started detached; the handle, not a join, keeps
// the result. Each thread object is referenced by its handle and by the
// running thread itself, so a thread may close its own handle early and a
// handle may outlive its thread. The handle's eventfd is written once when
// the start routine has returned and never read, so it stays signalled.

#include "platform/base/text.h"
#include "platform/sync/sync_internal.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>

namespace {

// mutex_ guards tid_, started_ and suspendCount_. exitCode_ and finished_
// are atomics so that a waiter that saw finished_ also sees the exit code.
class Thread final : public platform::KernelObject {
 public:
  Thread(int fd, LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
      : fd_(fd), start_(start), parameter_(parameter), suspendCount_(suspended ? 1 : 0) {}
  ~Thread() override { ::close(fd_); }

  int WaitFd() const override { return fd_; }
  bool TryAcquire() override { return finished_.load(std::memory_order_acquire); }

  static void* Main(void* self) {
    auto* t = static_cast<Thread*>(self);
    {
      std::unique_lock<std::mutex> lock(t->mutex_);
      t->tid_ = GetCurrentThreadId();
      t->started_ = true;
      t->changed_.notify_all();
      t->changed_.wait(lock, [t] { return t->suspendCount_ == 0; });
    }
    t->Finish(t->start_(t->parameter_));
    t->Release();  // the running thread's reference
    return nullptr;
  }

  DWORD WaitStarted() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
    return tid_;
  }

  DWORD Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DWORD previous = suspendCount_;
    if (suspendCount_ > 0 && --suspendCount_ == 0) changed_.notify_all();
    return previous;
  }

  DWORD Id() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tid_;
  }

  DWORD ExitCode() const { return exitCode_.load(std::memory_order_acquire); }

 private:
  void Finish(DWORD code) {
    exitCode_.store(code, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    ssize_t n;
    do {
      n = ::write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
  }

  const int fd_;
  const LPTHREAD_START_ROUTINE start_;
  const LPVOID parameter_;
  std::mutex mutex_;
  std::condition_variable changed_;
  DWORD tid_ = 0;
  bool started_ = false;
  DWORD suspendCount_;
  std::atomic<DWORD> exitCode_{STILL_ACTIVE};
  std::atomic<bool> finished_{false};
};

using ThreadRef = platform::sync_detail::ObjectRef<Thread>;

thread_local DWORD t_threadId = 0;
thread_local bool t_nameSet = false;
thread_local std::wstring t_name;

// The kernel id of the forking thread changes in the child; forget the cached
// one there.
[[maybe_unused]] const int g_forkHook = ::pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });

// The kernel keeps 15 bytes of a thread's name; cut on a UTF-8 character
// boundary so the short name stays valid text.
std::string KernelName(const std::wstring& name) {
  std::string utf8 = platform::Utf8FromWide(name);
  constexpr std::size_t kMax = 15;
  if (utf8.size() > kMax) {
    std::size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8;
}

}  // namespace

HANDLE CreateThread(SECURITY_ATTRIBUTES* /*attributes*/, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    platform::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto* thread = new Thread(fd, start, parameter, (flags & CREATE_SUSPENDED) != 0);
  HANDLE handle = platform::MakeHandle(thread);
  thread->AddRef();  // for the running thread

  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    const auto page = static_cast<SIZE_T>(::sysconf(_SC_PAGESIZE));
    const SIZE_T size = std::max<SIZE_T>((stackSize + page - 1) / page * page, static_cast<SIZE_T>(PTHREAD_STACK_MIN));
    ::pthread_attr_setstacksize(&attr, size);
  }
  pthread_t id;
  const int rc = ::pthread_create(&id, &attr, &Thread::Main, thread);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) {
    thread->Release();
    thread->Release();
    platform::SetLastErrorFromErrno(rc);
    return nullptr;
  }
  // Wait for the kernel id, so GetThreadId answers it from the start.
  const DWORD tid = thread->WaitStarted();
  if (threadId != nullptr) *threadId = tid;
  return handle;
}

DWORD ResumeThread(HANDLE thread) {
  ThreadRef t(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  return t->Resume();
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  ThreadRef t(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = t->ExitCode();
  return TRUE;
}

DWORD GetThreadId(HANDLE thread) {
  ThreadRef t(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return t->Id();
}

DWORD GetCurrentThreadId() {
  // The kernel's thread id: unique among living threads, never 0, and what
  // ps and gdb show.
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(::gettid());
  return t_threadId;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

namespace platform {

void SetCurrentThreadName(const std::wstring& name) {
  t_name = name;
  t_nameSet = true;
  ::pthread_setname_np(::pthread_self(), KernelName(name).c_str());
}

std::wstring GetCurrentThreadName() {
  if (t_nameSet) return t_name;
  // Never named here: what the kernel knows (the program name for the main
  // thread, the creator's name for others).
  char buffer[16] = {};
  ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
  return WideFromUtf8(buffer);
}

}  // namespace platform
