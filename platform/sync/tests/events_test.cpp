// events_test.cpp - events, descriptor handles and the waits over them.

#include "platform/sync/sync.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using platform::UniqueHandle;

// Long enough to mean "did not happen", never used as a lower bound.
constexpr DWORD kNotHappening = 50;

UniqueHandle NewEvent(bool manual, bool initial) {
  return UniqueHandle(CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr));
}

TEST(Events, StateAfterOperations) {
  enum Op { Set, Reset, Wait };
  struct Case {
    const char* name;
    bool manual;
    bool initial;
    std::vector<Op> ops;
    DWORD then;  // a zero-timeout wait afterwards
  };
  const Case cases[] = {
      {"auto starts unsignalled", false, false, {}, WAIT_TIMEOUT},
      {"auto initially signalled", false, true, {}, WAIT_OBJECT_0},
      {"auto consumed by one wait", false, true, {Wait}, WAIT_TIMEOUT},
      {"auto set twice keeps one signal", false, false, {Set, Set, Wait}, WAIT_TIMEOUT},
      {"auto reset clears", false, false, {Set, Reset}, WAIT_TIMEOUT},
      {"manual stays set across waits", true, false, {Set, Wait, Wait}, WAIT_OBJECT_0},
      {"manual reset clears", true, true, {Reset}, WAIT_TIMEOUT},
      {"manual reset then set", true, true, {Reset, Set}, WAIT_OBJECT_0},
      {"reset of unsignalled is harmless", true, false, {Reset, Reset}, WAIT_TIMEOUT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueHandle e = NewEvent(c.manual, c.initial);
    ASSERT_TRUE(e);
    for (Op op : c.ops) {
      switch (op) {
        case Set: ASSERT_TRUE(SetEvent(e.get())); break;
        case Reset: ASSERT_TRUE(ResetEvent(e.get())); break;
        case Wait: ASSERT_EQ(WaitForSingleObject(e.get(), 0), WAIT_OBJECT_0); break;
      }
    }
    EXPECT_EQ(WaitForSingleObject(e.get(), 0), c.then);
  }
}

TEST(WaitAny, ReturnsLowestSignalledAndConsumesOnlyThatOne) {
  UniqueHandle a = NewEvent(false, false), b = NewEvent(false, false), c = NewEvent(false, false);
  ASSERT_TRUE(SetEvent(c.get()));
  ASSERT_TRUE(SetEvent(b.get()));
  const HANDLE set[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitAny, ManualBeforeAutoKeepsAnsweringTheManualOne) {
  UniqueHandle manual = NewEvent(true, true), autoEvent = NewEvent(false, true);
  const HANDLE set[] = {manual.get(), autoEvent.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_OBJECT_0);
  // The auto-reset event behind it was never consumed.
  EXPECT_EQ(WaitForSingleObject(autoEvent.get(), 0), WAIT_OBJECT_0);
}

TEST(WaitAny, SixtyFourObjects) {
  std::vector<UniqueHandle> events;
  std::vector<HANDLE> raw;
  for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
    events.push_back(NewEvent(false, false));
    raw.push_back(events.back().get());
  }
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, raw.data(), FALSE, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(raw.back()));
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, raw.data(), FALSE, INFINITE),
            WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
}

TEST(WaitAny, TimesOutWhenNothingIsSignalled) {
  UniqueHandle e = NewEvent(true, false);
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(e.get(), kNotHappening), WAIT_TIMEOUT);
}

TEST(WaitAny, WakesWhenSetFromAnotherThread) {
  UniqueHandle e = NewEvent(false, false);
  std::thread setter([&] { SetEvent(e.get()); });
  EXPECT_EQ(WaitForSingleObject(e.get(), INFINITE), WAIT_OBJECT_0);
  setter.join();
}

TEST(WaitAny, AutoResetReleasesExactlyOneWaiterPerSet) {
  constexpr int kWaiters = 8;
  UniqueHandle e = NewEvent(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      ASSERT_EQ(WaitForSingleObject(e.get(), INFINITE), WAIT_OBJECT_0);
      released.fetch_add(1);
    });
  }
  for (int round = 1; round <= kWaiters; ++round) {
    ASSERT_TRUE(SetEvent(e.get()));
    while (released.load() < round) Sleep(1);
    // Nobody else may come through on the same signal.
    Sleep(round == 1 ? kNotHappening : 1);
    EXPECT_EQ(released.load(), round);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_TIMEOUT);
}

TEST(WaitAny, ManualResetReleasesEveryWaiter) {
  constexpr int kWaiters = 8;
  UniqueHandle e = NewEvent(true, false);
  std::vector<std::thread> waiters;
  std::atomic<int> released{0};
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(WaitForSingleObject(e.get(), INFINITE), WAIT_OBJECT_0);
      released.fetch_add(1);
    });
  }
  ASSERT_TRUE(SetEvent(e.get()));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_OBJECT_0);
}

TEST(FdWaitHandle, PipeBecomingReadableWakesTheWait) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueHandle stop = NewEvent(true, false);
  UniqueHandle readable(platform::CreateFdWaitHandle(fds[0], POLLIN));
  ASSERT_TRUE(readable);
  const HANDLE set[] = {stop.get(), readable.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_TIMEOUT);

  std::thread writer([&] { ASSERT_EQ(::write(fds[1], "x", 1), 1); });
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  writer.join();
  // Readiness is the pipe's: it stays until the byte is read.
  EXPECT_EQ(WaitForSingleObject(readable.get(), 0), WAIT_OBJECT_0);
  char c;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);
  EXPECT_EQ(WaitForSingleObject(readable.get(), 0), WAIT_TIMEOUT);

  UniqueHandle writable(platform::CreateFdWaitHandle(fds[1], POLLOUT));
  EXPECT_EQ(WaitForSingleObject(writable.get(), 0), WAIT_OBJECT_0);
  ::close(fds[1]);
  // A hung-up pipe counts as ready: a reader must be woken to see the end.
  EXPECT_EQ(WaitForSingleObject(readable.get(), 0), WAIT_OBJECT_0);
  ::close(fds[0]);
}

TEST(WaitAll, NeedsEverySignalAndConsumesOnlyThen) {
  UniqueHandle a = NewEvent(false, false), m = NewEvent(true, false);
  const HANDLE set[] = {a.get(), m.get()};
  ASSERT_TRUE(SetEvent(a.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, kNotHappening), WAIT_TIMEOUT);
  // The set auto-reset event was left alone while the other was missing.
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);

  ASSERT_TRUE(SetEvent(a.get()));
  ASSERT_TRUE(SetEvent(m.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(m.get(), 0), WAIT_OBJECT_0);
}

TEST(WaitAll, WakesWhenTheLastOneArrives) {
  UniqueHandle a = NewEvent(false, false), b = NewEvent(false, false);
  const HANDLE set[] = {a.get(), b.get()};
  ASSERT_TRUE(SetEvent(b.get()));
  std::thread setter([&] { SetEvent(a.get()); });
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_TIMEOUT);
}

// A single waiter competing for one of the events must not make waitAll
// swallow the other: waitAll takes both or neither.
TEST(WaitAll, CompetingWaiterNeverStrandsHalfTheSet) {
  for (int round = 0; round < 50; ++round) {
    UniqueHandle a = NewEvent(false, false), b = NewEvent(false, false);
    const HANDLE set[] = {a.get(), b.get()};
    std::atomic<bool> allDone{false}, singleDone{false};
    std::thread all([&] {
      EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, INFINITE), WAIT_OBJECT_0);
      allDone = true;
    });
    std::thread single([&] {
      EXPECT_EQ(WaitForSingleObject(a.get(), INFINITE), WAIT_OBJECT_0);
      singleDone = true;
    });
    ASSERT_TRUE(SetEvent(b.get()));
    ASSERT_TRUE(SetEvent(a.get()));
    // One set of a releases one of them; the other needs a second one.
    while (!allDone && !singleDone) Sleep(1);
    ASSERT_TRUE(SetEvent(a.get()));
    single.join();
    all.join();
    // Whoever went first, nothing is left over: b went to waitAll.
    EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, 0), WAIT_TIMEOUT);
  }
}

TEST(Handles, InvalidHandlesAndParameters) {
  UniqueHandle e = NewEvent(false, true);
  HANDLE closed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  int notAnObject = 0;
  struct Case {
    const char* name;
    HANDLE handle;
  };
  const Case bad[] = {
      {"null", nullptr},
      {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
      {"never a handle", &notAnObject},
      {"already closed", closed},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(c.handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    const HANDLE mixed[] = {e.get(), c.handle};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(c.handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(c.handle));
    EXPECT_FALSE(ResetEvent(c.handle));
    EXPECT_EQ(DuplicateHandleRef(c.handle), nullptr);
    EXPECT_EQ(platform::ObjectFromHandle(c.handle), nullptr);
  }
  // A failed wait consumed nothing.
  EXPECT_EQ(WaitForSingleObject(e.get(), 0), WAIT_OBJECT_0);

  const HANDLE one[] = {e.get()};
  std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, e.get());
  const HANDLE twice[] = {e.get(), e.get()};
  struct ParamCase {
    const char* name;
    DWORD count;
    const HANDLE* handles;
    BOOL waitAll;
  };
  const ParamCase params[] = {
      {"count 0", 0, one, FALSE},
      {"count above 64", MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), FALSE},
      {"null array", 1, nullptr, FALSE},
      {"waitAll naming one object twice", 2, twice, TRUE},
  };
  for (const ParamCase& c : params) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.waitAll, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(Handles, DuplicateKeepsTheObjectAlive) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE dup = DuplicateHandleRef(e);
  ASSERT_NE(dup, nullptr);
  ASSERT_TRUE(CloseHandle(e));
  EXPECT_TRUE(SetEvent(dup));
  EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(dup));
  EXPECT_FALSE(CloseHandle(dup));
}

TEST(Handles, NonWaitableObjectFailsTheWait) {
  struct Plain : platform::KernelObject {};
  UniqueHandle h(platform::MakeHandle(new Plain));
  ASSERT_NE(platform::ObjectFromHandle(h.get()), nullptr);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(h.get(), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(h.get()));  // not an event
}

TEST(Clock, MonotonicAndWallClock) {
  const ULONGLONG before = GetTickCount64();
  Sleep(1);
  EXPECT_GE(GetTickCount64(), before);
  const ULONGLONG wall = platform::UnixTimeMs();
  const auto seconds = static_cast<ULONGLONG>(::time(nullptr));
  EXPECT_LE(wall / 1000, seconds + 1);
  EXPECT_GE(wall / 1000 + 1, seconds);
}

}  // namespace
