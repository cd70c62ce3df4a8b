// workqueue_test.cpp - the bounded work queue: names, the bound, deadlines and the stop.

#include "platform/sync/workqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using platform::UniqueHandle;
using platform::WorkQueue;

TEST(WorkQueue, RunsOnNamedThreadsUpToItsCount) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> started{0};
  std::vector<std::wstring> names(6);
  std::atomic<int> done{0};
  // Made after what its work uses, so that it is stopped before they go.
  WorkQueue queue(L"TestWorker", 3, 100);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(queue.Push([&, i](bool expired) {
      EXPECT_FALSE(expired);
      names[i] = platform::GetCurrentThreadName();
      ++started;
      WaitForSingleObject(release.get(), INFINITE);
      ++done;
    }));
  }
  for (int i = 0; i < 500 && started < 3; ++i) Sleep(10);
  Sleep(50);
  EXPECT_EQ(started.load(), 3);  // three threads, the other three items wait
  EXPECT_EQ(queue.Threads(), 3u);
  SetEvent(release.get());
  for (int i = 0; i < 500 && done < 6; ++i) Sleep(10);
  EXPECT_EQ(done.load(), 6);
  for (const auto& n : names) EXPECT_EQ(n, L"TestWorker");
}

TEST(WorkQueue, RefusesBeyondItsBoundButTakesAdmittedWork) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> ran{0};
  auto blocked = [&](bool) {
    WaitForSingleObject(release.get(), INFINITE);
    ++ran;
  };
  // Made after what its work uses, so that it is stopped before they go.
  WorkQueue queue(L"TestBound", 2, 4);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(queue.Push(blocked)) << i;
  EXPECT_FALSE(queue.Push(blocked));  // running + queued reached the bound
  EXPECT_EQ(queue.Load(), 4u);
  EXPECT_TRUE(queue.Push(blocked, {}, INFINITE, true));
  SetEvent(release.get());
  for (int i = 0; i < 500 && ran < 5; ++i) Sleep(10);
  EXPECT_EQ(ran.load(), 5);
  for (int i = 0; i < 500 && queue.Load() != 0; ++i) Sleep(10);
  EXPECT_TRUE(queue.Push(blocked));  // room again once the work is done
}

TEST(WorkQueue, WorkQueuedPastItsDeadlineRunsExpired) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle finished(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> expired{-1};
  // Made after what its work uses, so that it is stopped before they go.
  WorkQueue queue(L"TestDeadline", 1, 10);
  ASSERT_TRUE(queue.Push([&](bool) { WaitForSingleObject(release.get(), INFINITE); }));
  ASSERT_TRUE(queue.Push(
      [&](bool e) {
        expired = e ? 1 : 0;
        SetEvent(finished.get());
      },
      {}, 50));
  Sleep(200);  // the deadline passes while the only thread is busy
  SetEvent(release.get());
  ASSERT_EQ(WaitForSingleObject(finished.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(expired.load(), 1);
}

TEST(WorkQueue, StopCancelsRunningWorkEndsQueuedWorkAndRefusesMore) {
  UniqueHandle cancelled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> running{0}, queuedExpired{0};
  // Made after what its work uses, so that it is stopped before they go.
  WorkQueue queue(L"TestStop", 2, 10);
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(queue.Push(
        [&](bool) {
          ++running;
          WaitForSingleObject(cancelled.get(), INFINITE);  // a query that only a cancel ends
        },
        [&] { SetEvent(cancelled.get()); }));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.Push([&](bool e) { queuedExpired += e ? 1 : 0; }));
  for (int i = 0; i < 500 && running < 2; ++i) Sleep(10);
  ASSERT_EQ(running.load(), 2);
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(queue.Stop(5000));
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_EQ(queuedExpired.load(), 3);
  EXPECT_FALSE(queue.Push([](bool) {}));
}

TEST(WorkQueue, StopIsBoundedWhenWorkIgnoresItsCancel) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto* queue = new WorkQueue(L"TestStuck", 1, 10);
  ASSERT_TRUE(queue->Push([&](bool) { WaitForSingleObject(release.get(), INFINITE); }));
  Sleep(50);
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(queue->Stop(200));
  EXPECT_LT(GetTickCount64() - start, 3000u);
  SetEvent(release.get());
  Sleep(100);
  delete queue;
}

TEST(WorkQueue, IdleThreadsEndAndAreStartedAgainForNewWork) {
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<int> started{0}, done{0};
  auto blocked = [&](bool) {
    ++started;
    WaitForSingleObject(release.get(), INFINITE);
    ++done;
  };
  // Made after what its work uses, so that it is stopped before they go.
  WorkQueue queue(L"TestIdle", 4, 100, 100);
  for (int round = 0; round < 2; ++round) {
    ResetEvent(release.get());
    started = 0;
    done = 0;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(queue.Push(blocked));
    for (int i = 0; i < 500 && started < 4; ++i) Sleep(10);
    ASSERT_EQ(started.load(), 4) << round;  // a thread per item, the ended ones' slots reused
    EXPECT_EQ(queue.Threads(), 4u);
    SetEvent(release.get());
    for (int i = 0; i < 500 && done < 4; ++i) Sleep(10);
    for (int i = 0; i < 500 && queue.Threads() != 0; ++i) Sleep(10);
    EXPECT_EQ(queue.Threads(), 0u) << round;  // every idle thread ended
  }
  EXPECT_TRUE(queue.Stop(5000));
}

TEST(WorkQueue, StopWhileThreadsEndIdleIsClean) {
  for (int round = 0; round < 20; ++round) {
    WorkQueue queue(L"TestIdleStop", 8, 100, 1);
    std::atomic<int> ran{0};
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(queue.Push([&](bool) { ++ran; }));
    Sleep(round % 4);
    EXPECT_TRUE(queue.Stop(5000));
    EXPECT_EQ(ran.load(), 16);
  }
}

}  // namespace
