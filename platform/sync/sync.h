// sync.h - events, waits, locks and threads in the Windows shape.
//
// Every waitable object is backed by a file descriptor that poll() reports
// readable while the object is signalled (eventfd for events, an eventfd set
// at exit for threads), so events can be waited on together with sockets,
// pipes and other descriptors. Auto-reset events are consumed only by the
// wait that returns them.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/types.h"

#include <atomic>
#include <string>

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD STILL_ACTIVE = 259;

struct SECURITY_ATTRIBUTES;

namespace platform {

// Base of everything a HANDLE points at. Reference counted: CloseHandle and
// DuplicateHandle adjust the count; the last release deletes the object.
class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject();

  // Descriptor that poll() reports ready (WaitEvents) while the object may be
  // signalled; -1 when the object cannot be waited on.
  virtual int WaitFd() const { return -1; }
  virtual short WaitEvents() const;  // POLLIN by default
  // Called after poll reported WaitFd ready: true when the object is
  // signalled and, for auto-reset kinds, now consumed by this waiter; false
  // when another waiter got there first (the wait goes on).
  virtual bool TryAcquire() { return false; }

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  // AddRef unless the count already reached zero (the object is being
  // deleted); lets a lookup race the last Release safely.
  bool TryAddRef();
  void Release();

 private:
  std::atomic<int> refs_{1};
};

// Wraps a new object (count 1) as a HANDLE, and back. ObjectFromHandle
// answers null for null, INVALID_HANDLE_VALUE and handles it never made.
HANDLE MakeHandle(KernelObject* object);
KernelObject* ObjectFromHandle(HANDLE handle);

// A handle that is signalled while fd polls ready for events (POLLIN,
// POLLOUT, ...). The fd stays owned by the caller and must outlive the handle.
HANDLE CreateFdWaitHandle(int fd, short events);

// The full name of the calling thread (Linux keeps only 15 characters; this
// keeps all of it), and setting it (also sets the kernel's short name).
void SetCurrentThreadName(const std::wstring& name);
std::wstring GetCurrentThreadName();

// Milliseconds since 1970 (UTC), and a monotonic millisecond clock.
ULONGLONG UnixTimeMs();

}  // namespace platform

// --- Win32 surface ---
BOOL CloseHandle(HANDLE handle);
// Another reference to the same object (same process only).
HANDLE DuplicateHandleRef(HANDLE handle);

HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// WAIT_OBJECT_0 + i for the lowest signalled index i (only that object is
// consumed), WAIT_TIMEOUT, or WAIT_FAILED with GetLastError set
// (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER for count 0 or > 64).
// waitAll waits until every object is signalled at once.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64();
DWORD GetTickCount();

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
constexpr DWORD CREATE_SUSPENDED = 0x4;
// The thread handle is signalled when the thread has ended; its exit code is
// STILL_ACTIVE until then. The start routine's return value is the exit code.
HANDLE CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId);
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetThreadId(HANDLE thread);
// Small, unique among living threads of this process, never 0.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// Recursive critical section.
struct CRITICAL_SECTION {
  void* impl = nullptr;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Slim reader/writer lock (not recursive, not fair). Zero-initialised is
// unlocked; the lock lives entirely inside the struct (a futex word), so it
// needs no initialisation or deletion and owns no memory.
struct SRWLOCK {
  std::atomic<std::uint32_t> state{0};    // writer bit | reader count
  std::atomic<std::uint32_t> waiters{0};  // threads sleeping on state
};
#define SRWLOCK_INIT {}
void InitializeSRWLock(SRWLOCK* lock);
void AcquireSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockExclusive(SRWLOCK* lock);
void AcquireSRWLockShared(SRWLOCK* lock);
void ReleaseSRWLockShared(SRWLOCK* lock);
BOOL TryAcquireSRWLockExclusive(SRWLOCK* lock);
BOOL TryAcquireSRWLockShared(SRWLOCK* lock);

namespace platform {

// How many holds of platform locks (critical sections, SRW locks shared or
// exclusive) the calling thread has now. The fault handler reads it: frames
// abandoned by a recovered fault must not leave a lock held. Safe to call
// from a signal handler.
int HeldLockCount();

// Scoped helpers over the two lock kinds.
//
// A critical-section hold may be let go for a while inside its scope
// (Unlock, then Relock) — for a wait that must not hold the lock; the
// destructor leaves the section only when it is held.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~CriticalSectionLock() {
    if (held_) LeaveCriticalSection(&cs_);
  }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  void Unlock() {
    if (held_) LeaveCriticalSection(&cs_);
    held_ = false;
  }
  void Relock() {
    if (!held_) EnterCriticalSection(&cs_);
    held_ = true;
  }

 private:
  CRITICAL_SECTION& cs_;
  bool held_ = true;
};

// Scoped holds of an SRW lock, shared or exclusive: released on every path
// out of the scope, exceptions included.
class SrwSharedLock {
 public:
  explicit SrwSharedLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
  ~SrwSharedLock() { ReleaseSRWLockShared(&lock_); }
  SrwSharedLock(const SrwSharedLock&) = delete;
  SrwSharedLock& operator=(const SrwSharedLock&) = delete;

 private:
  SRWLOCK& lock_;
};

class SrwExclusiveLock {
 public:
  explicit SrwExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~SrwExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  SrwExclusiveLock(const SrwExclusiveLock&) = delete;
  SrwExclusiveLock& operator=(const SrwExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

// An owning HANDLE: closed when it goes out of scope.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace platform
