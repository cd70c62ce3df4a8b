// thread_set_test.cpp - reuse, idle exit, the busy map, privileges, and work
// items that throw or fault.
#include "LibService/ThreadSet.h"
#include "platform/base/testing/temp_registry.h"

#include "LibService/ServiceLogger.h"
#include "platform/base/text.h"
#include "platform/crash/crash.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

// Allocation failure on demand: the next g_failNothrow nothrow allocations of
// the calling thread answer null. Every form of new and delete is replaced so
// that they stay one malloc/free pair (the sanitizers check the pairing).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
thread_local int g_failNothrow = 0;
void* operator new(std::size_t n) {
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (g_failNothrow > 0) {
    --g_failNothrow;
    return nullptr;
  }
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

const wchar_t* const kLog = L"Vantrel ThreadSet Test";

// Polls cond for up to 5 s (for things that must happen, not timing).
template <class F>
bool Eventually(F cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

std::vector<platform::EventRecord> Events(DWORD id) {
  std::vector<platform::EventRecord> result;
  for (auto& r : platform::ReadEventLog(kLog)) {
    if (r.eventId == id) result.push_back(r);
  }
  return result;
}

// What a work item saw of its thread.
struct Seen {
  std::atomic<DWORD> threadId{0};
  std::wstring name;
  std::atomic<bool> ran{false};
  std::atomic<int> done{0};
  HANDLE release = nullptr;
};

void Record(void* p) {
  auto* seen = static_cast<Seen*>(p);
  seen->name = platform::GetCurrentThreadName();
  seen->threadId = GetCurrentThreadId();
  if (seen->release != nullptr) WaitForSingleObject(seen->release, INFINITE);
  seen->ran = true;
}
void CountDone(void* p) { ++static_cast<Seen*>(p)->done; }

class ThreadSetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-threadset-");
    ASSERT_TRUE(RegisterEventLog(kLog).IsOK());
    // The trace module of the service "PoolTest": the test module, found
    // through the installed folder.
    const std::string module = platform::Utf8FromWide(platform::ExecutableDirectory()) + "Evtlibservice_thread_set_test.msg";
    std::filesystem::copy_file(module, dir_ + "/TrcPoolTest.msg");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\COM API", &key), ERROR_SUCCESS);
    platform::RegWriteString(key, L"installed", platform::WideFromUtf8(dir_ + "/"));
    RegCloseKey(key);
    ASSERT_TRUE(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Vantrel ThreadSet Test", &key) == ERROR_SUCCESS);
    platform::RegWriteString(key, L"Log file directory", platform::WideFromUtf8(dir_));
    RegCloseKey(key);
    ASSERT_TRUE(StartServiceLogger(L"PoolTest", kLog).IsOK());
  }
  static std::string dir_;
};
std::string ThreadSetTest::dir_;

TEST_F(ThreadSetTest, SequentialWorkItemsReuseOneThreadNamedAfterEach) {
  CThreadSet set({});
  Seen first, second;
  CStatus status;
  ASSERT_TRUE(set.Start(status, Record, &first, "FirstWorker", CountDone).IsOK());
  ASSERT_TRUE(Eventually([&] { return set.GetIdleCount() == 1; }));
  ASSERT_TRUE(set.Start(status, Record, &second, "SecondWorker", CountDone).IsOK());
  ASSERT_TRUE(Eventually([&] { return second.done == 1; }));
  EXPECT_EQ(first.threadId.load(), second.threadId.load());
  EXPECT_EQ(first.name, L"FirstWorker");
  EXPECT_EQ(second.name, L"SecondWorker");
  EXPECT_EQ(set.GetThreadCount(), 1u);
  EXPECT_EQ(first.done, 1);
}

thread_local bool t_marked = false;

TEST_F(ThreadSetTest, AnIdleThreadEndsAfterTheTimeoutAndTheNextItemGetsANewOne) {
  CThreadSet set({}, 50);
  bool secondSawMark = true;
  CStatus status;
  std::atomic<int> phase{0};
  struct Ctx {
    std::atomic<int>* phase;
    bool* sawMark;
  } ctx{&phase, &secondSawMark};
  ASSERT_TRUE(set.Start(status, [](void* p) { t_marked = true; ++*static_cast<Ctx*>(p)->phase; }, &ctx, "A").IsOK());
  ASSERT_TRUE(Eventually([&] { return phase == 1 && set.GetThreadCount() == 0; }));
  EXPECT_EQ(set.GetIdleCount(), 0u);
  ASSERT_TRUE(set.Start(status,
                        [](void* p) {
                          *static_cast<Ctx*>(p)->sawMark = t_marked;
                          ++*static_cast<Ctx*>(p)->phase;
                        },
                        &ctx, "B")
                  .IsOK());
  ASSERT_TRUE(Eventually([&] { return phase == 2; }));
  EXPECT_FALSE(secondSawMark);
}

TEST_F(ThreadSetTest, TheBusyMapHoldsARunningItemOnly) {
  CThreadSet set({});
  Seen seen;
  seen.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CStatus status;
  ASSERT_TRUE(set.Start(status, Record, &seen, "Blocked").IsOK());
  ASSERT_TRUE(Eventually([&] { return seen.threadId != 0; }));
  EXPECT_EQ(set.GetBusyThreadIds(), std::vector<DWORD>{seen.threadId.load()});
  set.Lock();
  CThreadSet::CThread* thread = set.FindBusyThread(seen.threadId);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(thread->GetCOMFlag());
  EXPECT_EQ(set.FindBusyThread(GetCurrentThreadId()), nullptr);
  set.Unlock();
  SetEvent(seen.release);
  ASSERT_TRUE(Eventually([&] { return set.GetIdleCount() == 1; }));
  EXPECT_TRUE(set.GetBusyThreadIds().empty());
  CloseHandle(seen.release);
}

__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) void ReadNull(void*) {
  static volatile std::uintptr_t zero = 0;
  volatile int value = *reinterpret_cast<volatile int*>(zero);
  (void)value;
}

TEST_F(ThreadSetTest, AWorkItemsExceptionIsReportedAndTheThreadGoesIdle) {
  struct Case {
    const char* name;
    CThreadSet::WorkFunction fn;
    std::wstring insertPrefix;
    bool exact;
  } cases[] = {
      {"CCException thrown by pointer", [](void*) { throw new CCException(L"broken pipe state"); }, L"broken pipe state",
       true},
      {"access violation", ReadNull, L"0xC0000005@0x", false},
      {"invalid runtime parameter", [](void*) { wcscpy_s(nullptr, 4, L"x"); }, L"\"invalid system call parameter\"",
       true},
      {"standard exception", [](void*) { throw std::runtime_error("no more rows"); }, L"no more rows", true},
  };
  CThreadSet set({});
  DWORD thread = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = Events(MSG_WORK_ITEM_EXCEPTION).size();
    Seen seen;
    struct Ctx {
      CThreadSet::WorkFunction fn;
      Seen* seen;
    } ctx{c.fn, &seen};
    CStatus status;
    ASSERT_TRUE(set.Start(
                       status,
                       [](void* p) {
                         auto* x = static_cast<Ctx*>(p);
                         x->seen->threadId = GetCurrentThreadId();
                         x->fn(nullptr);
                       },
                       &ctx, "Thrower",
                       [](void* p) { ++static_cast<Ctx*>(p)->seen->done; })
                    .IsOK());
    ASSERT_TRUE(Eventually([&] { return seen.done == 1 && set.GetIdleCount() == 1; }));
    if (thread == 0) thread = seen.threadId;
    EXPECT_EQ(seen.threadId.load(), thread) << "the same thread serves every case";
    const auto events = Events(MSG_WORK_ITEM_EXCEPTION);
    ASSERT_EQ(events.size(), before + 1);
    const auto& e = events.back();
    EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(e.strings.size(), 1u);
    if (c.exact) {
      EXPECT_EQ(e.strings[0], c.insertPrefix);
    } else {
      EXPECT_EQ(e.strings[0].rfind(c.insertPrefix, 0), 0u) << platform::Utf8FromWide(e.strings[0]);
      EXPECT_NE(e.strings[0].find(L"(0x0, 0x0)"), std::wstring::npos) << "read of address 0";
      EXPECT_NE(e.strings[0].find(L"RIP: 0x"), std::wstring::npos);
    }
    EXPECT_EQ(std::string(e.data.begin(), e.data.end()), "ThreadSet.cpp 395");
  }
  EXPECT_EQ(set.GetThreadCount(), 1u);
}

TEST_F(ThreadSetTest, PrivilegeFailuresAreReportedOncePerIndex) {
  auto runOne = [](CThreadSet& set) {
    Seen seen;
    CStatus status;
    ASSERT_TRUE(set.Start(status, Record, &seen, "P", CountDone).IsOK());
    ASSERT_TRUE(Eventually([&] { return seen.done == 1; }));
  };
  {
    CThreadSet empty({});
    runOne(empty);
    CThreadSet held({L"SeChangeNotifyPrivilege"});
    runOne(held);
  }
  EXPECT_TRUE(Events(MSG_PRIVILEGE_NOT_ENABLED).empty()) << "an empty or held list writes nothing";

  struct Case {
    std::vector<const wchar_t*> list;
    std::vector<std::wstring> expected;  // the inserts of all 0x8000006B events so far
  } cases[] = {
      {{L"SeNoSuchPrivilege"}, {L"SeNoSuchPrivilege"}},
      // Index 0 fails again on a new set's thread: not reported again.
      {{L"SeOtherMissingPrivilege"}, {L"SeNoSuchPrivilege"}},
      // Index 1 fails for the first time.
      {{L"SeChangeNotifyPrivilege", L"SeThirdMissingPrivilege"}, {L"SeNoSuchPrivilege", L"SeThirdMissingPrivilege"}},
  };
  for (const Case& c : cases) {
    CThreadSet set(c.list);
    runOne(set);
    runOne(set);
    std::vector<std::wstring> inserts;
    for (const auto& e : Events(MSG_PRIVILEGE_NOT_ENABLED)) {
      EXPECT_EQ(e.type, EVENTLOG_WARNING_TYPE);
      inserts.push_back(e.strings.empty() ? L"" : e.strings[0]);
    }
    EXPECT_EQ(inserts, c.expected);
  }
}

TEST_F(ThreadSetTest, DestroyingTheSetWhileAnItemRunsIsSafe) {
  Seen seen;
  seen.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    CThreadSet set({});
    Seen idle;
    CStatus status;
    ASSERT_TRUE(set.Start(status, Record, &idle, "Idle", CountDone).IsOK());
    ASSERT_TRUE(Eventually([&] { return idle.done == 1 && set.GetIdleCount() == 1; }));
    ASSERT_TRUE(set.Start(status, Record, &seen, "Busy", CountDone).IsOK());
    ASSERT_TRUE(Eventually([&] { return seen.threadId != 0; }));
    // A second item needs a second thread while the first is busy.
    Seen other;
    ASSERT_TRUE(set.Start(status, Record, &other, "Other", CountDone).IsOK());
    ASSERT_TRUE(Eventually([&] { return other.done == 1 && set.GetIdleCount() == 1; }));
    EXPECT_EQ(set.GetThreadCount(), 2u);
  }  // ends the idle thread, leaves the busy one
  SetEvent(seen.release);
  ASSERT_TRUE(Eventually([&] { return seen.done == 1; }));
  Sleep(20);  // let the thread finish ending (ASan/TSan see its last steps)
  CloseHandle(seen.release);
}

TEST_F(ThreadSetTest, ManyStartersAtOnceRunEveryItemOnce) {
  CThreadSet set({}, 200);
  std::atomic<int> ran{0};
  std::vector<std::thread> starters;
  for (int t = 0; t < 6; ++t) {
    starters.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        CStatus status;
        EXPECT_TRUE(set.Start(status, [](void* p) { ++*static_cast<std::atomic<int>*>(p); }, &ran, "Many").IsOK());
      }
    });
  }
  for (auto& t : starters) t.join();
  ASSERT_TRUE(Eventually([&] { return ran == 150; }));
  ASSERT_TRUE(Eventually([&] { return set.GetIdleCount() == set.GetThreadCount(); }));
  EXPECT_LE(set.GetThreadCount(), 150u);
}

// A pool thread that cannot be allocated, nor the error that says so, is still
// a failure: the caller must not count a work item that never runs.
TEST_F(ThreadSetTest, AnAllocationFailureIsAFailureAndTheItemNeverRuns) {
  CThreadSet set({});
  Seen seen;
  CStatus status;
  g_failNothrow = 2;  // the pool thread, then its out-of-memory error
  CStatus result = set.Start(status, Record, &seen, "NoMemory");
  g_failNothrow = 0;
  ASSERT_FALSE(result.IsOK());
  EXPECT_FALSE(status.IsOK());
  EXPECT_EQ(result.GetError()->GetCode(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  Sleep(200);
  EXPECT_FALSE(seen.ran);
  EXPECT_EQ(set.GetThreadCount(), 0u);
}

}  // namespace
