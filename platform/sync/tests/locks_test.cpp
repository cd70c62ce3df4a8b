// locks_test.cpp - the recursive critical section and the SRW lock.

#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

bool TryFromOtherThread(BOOL (*tryLock)(CRITICAL_SECTION*), void (*unlock)(CRITICAL_SECTION*), CRITICAL_SECTION* cs) {
  bool got = false;
  std::thread([&] {
    got = tryLock(cs) != FALSE;
    if (got) unlock(cs);
  }).join();
  return got;
}

TEST(CriticalSection, RecursiveForItsOwnerExclusiveForOthers) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner again
  EXPECT_FALSE(TryFromOtherThread(TryEnterCriticalSection, LeaveCriticalSection, &cs));
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(TryFromOtherThread(TryEnterCriticalSection, LeaveCriticalSection, &cs));  // still held once
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(TryFromOtherThread(TryEnterCriticalSection, LeaveCriticalSection, &cs));
  {
    platform::CriticalSectionLock hold(cs);
    EXPECT_FALSE(TryFromOtherThread(TryEnterCriticalSection, LeaveCriticalSection, &cs));
  }
  DeleteCriticalSection(&cs);
}

SRWLOCK g_staticLock;  // zero-initialised, never initialised explicitly

TEST(SrwLock, SharedAndExclusiveExclude) {
  SRWLOCK lock = SRWLOCK_INIT;
  struct Case {
    const char* held;
    void (*acquire)(SRWLOCK*);
    void (*release)(SRWLOCK*);
    bool sharedAllowed;
  };
  const Case cases[] = {
      {"nothing", nullptr, nullptr, true},
      {"shared", AcquireSRWLockShared, ReleaseSRWLockShared, true},
      {"exclusive", AcquireSRWLockExclusive, ReleaseSRWLockExclusive, false},
  };
  for (SRWLOCK* l : {&lock, &g_staticLock}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.held);
      if (c.acquire) c.acquire(l);
      bool shared = false, exclusive = false;
      std::thread([&] {
        shared = TryAcquireSRWLockShared(l) != FALSE;
        if (shared) ReleaseSRWLockShared(l);
        exclusive = TryAcquireSRWLockExclusive(l) != FALSE;
        if (exclusive) ReleaseSRWLockExclusive(l);
      }).join();
      EXPECT_EQ(shared, c.sharedAllowed);
      EXPECT_EQ(exclusive, c.acquire == nullptr);
      if (c.release) c.release(l);
    }
  }
}

TEST(SrwLock, BlockedWriterRunsWhenReadersLeave) {
  SRWLOCK lock;
  InitializeSRWLock(&lock);
  AcquireSRWLockShared(&lock);
  AcquireSRWLockShared(&lock);
  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    AcquireSRWLockExclusive(&lock);
    wrote = true;
    ReleaseSRWLockExclusive(&lock);
  });
  Sleep(20);
  EXPECT_FALSE(wrote.load());
  ReleaseSRWLockShared(&lock);
  Sleep(20);
  EXPECT_FALSE(wrote.load());  // one reader still in
  ReleaseSRWLockShared(&lock);
  writer.join();
  EXPECT_TRUE(wrote.load());
}

// Writers keep two plain counters equal; readers must never see them differ.
// A lock that let a reader in beside a writer shows up here, and under TSan
// as a race.
TEST(SrwLock, ProtectsDataUnderContention) {
  SRWLOCK lock = SRWLOCK_INIT;
  long first = 0, second = 0;
  std::atomic<int> torn{0};
  constexpr int kRounds = 5000;
  std::vector<std::thread> threads;
  for (int w = 0; w < 3; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        AcquireSRWLockExclusive(&lock);
        ++first;
        ++second;
        ReleaseSRWLockExclusive(&lock);
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        AcquireSRWLockShared(&lock);
        if (first != second) torn.fetch_add(1);
        ReleaseSRWLockShared(&lock);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(first, 3L * kRounds);
}

}  // namespace
