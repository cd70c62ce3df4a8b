// locks.cpp - the recursive critical section and the slim reader/writer lock.
//
// A critical section owns a heap std::recursive_mutex between Initialize and
// Delete. An SRW lock is two words inside the struct itself: state holds the
// writer bit and the reader count, waiters counts threads asleep on state in
// futex(2). It has no memory to leak, so a zero-initialised lock embedded in
// any object just works, as the Windows lock does. Sleepers are all woken
// when the lock becomes free and compete again; the lock is not fair.
//
// Every hold is counted per thread (t_held), so that the fault handler can
// tell whether the frames it would abandon hold a lock.

#include "platform/sync/sync.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <mutex>

// Initial-exec: read from a signal handler, so no lazy allocation of the
// thread's block may happen there (this library is loaded at start).
static thread_local int t_held __attribute__((tls_model("initial-exec"))) = 0;

int platform::HeldLockCount() { return t_held; }

// --- critical section ---

namespace {
std::recursive_mutex* MutexOf(CRITICAL_SECTION* cs) { return static_cast<std::recursive_mutex*>(cs->impl); }
}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) { cs->impl = new std::recursive_mutex(); }

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  delete MutexOf(cs);
  cs->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
  MutexOf(cs)->lock();
  ++t_held;
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  if (!MutexOf(cs)->try_lock()) return FALSE;
  ++t_held;
  return TRUE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
  --t_held;
  MutexOf(cs)->unlock();
}

// --- SRW lock ---

namespace {

constexpr std::uint32_t kWriter = 0x80000000u;

std::uint32_t* FutexWord(SRWLOCK* lock) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
  return reinterpret_cast<std::uint32_t*>(&lock->state);
}

// Sleeps while state still reads `seen`. The waiter count is raised before
// state is looked at again and releasers look at the count after changing
// state (both sequentially consistent), so a release is never missed.
void SleepWhile(SRWLOCK* lock, std::uint32_t seen) {
  lock->waiters.fetch_add(1);
  if (lock->state.load() == seen) {
    ::syscall(SYS_futex, FutexWord(lock), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
  }
  lock->waiters.fetch_sub(1);
}

void WakeAll(SRWLOCK* lock) {
  if (lock->waiters.load() != 0) {
    ::syscall(SYS_futex, FutexWord(lock), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  }
}

}  // namespace

void InitializeSRWLock(SRWLOCK* lock) {
  lock->state.store(0, std::memory_order_relaxed);
  lock->waiters.store(0, std::memory_order_relaxed);
}

BOOL TryAcquireSRWLockExclusive(SRWLOCK* lock) {
  std::uint32_t expected = 0;
  if (!lock->state.compare_exchange_strong(expected, kWriter, std::memory_order_acquire)) return FALSE;
  ++t_held;
  return TRUE;
}

void AcquireSRWLockExclusive(SRWLOCK* lock) {
  for (;;) {
    std::uint32_t seen = 0;
    if (lock->state.compare_exchange_strong(seen, kWriter, std::memory_order_acquire)) break;
    SleepWhile(lock, seen);
  }
  ++t_held;
}

void ReleaseSRWLockExclusive(SRWLOCK* lock) {
  --t_held;
  lock->state.store(0);
  WakeAll(lock);
}

BOOL TryAcquireSRWLockShared(SRWLOCK* lock) {
  std::uint32_t seen = lock->state.load(std::memory_order_relaxed);
  while ((seen & kWriter) == 0) {
    if (lock->state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
      ++t_held;
      return TRUE;
    }
  }
  return FALSE;
}

void AcquireSRWLockShared(SRWLOCK* lock) {
  for (;;) {
    std::uint32_t seen = lock->state.load(std::memory_order_relaxed);
    while ((seen & kWriter) == 0) {
      if (lock->state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
        ++t_held;
        return;
      }
    }
    SleepWhile(lock, seen);
  }
}

void ReleaseSRWLockShared(SRWLOCK* lock) {
  --t_held;
  // Only writers wait while readers hold the lock; they care about zero.
  if (lock->state.fetch_sub(1) == 1) WakeAll(lock);
}
