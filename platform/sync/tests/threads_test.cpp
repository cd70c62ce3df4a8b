// threads_test.cpp - thread handles, exit codes, ids and names.

#include "platform/sync/sync.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

using platform::UniqueHandle;

DWORD ReturnParameter(LPVOID p) { return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)); }

TEST(Threads, ExitCodeIsStillActiveUntilTheRoutineReturns) {
  DWORD id = 0;
  UniqueHandle t(CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, &id));
  ASSERT_TRUE(t);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(GetThreadId(t.get()), id);

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t.get(), 50), WAIT_TIMEOUT);  // suspended: must not run

  EXPECT_EQ(ResumeThread(t.get()), 1u);
  EXPECT_EQ(WaitForSingleObject(t.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(t.get(), &code));
  EXPECT_EQ(code, 42u);
  // An ended thread stays signalled for every later wait.
  EXPECT_EQ(WaitForSingleObject(t.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(ResumeThread(t.get()), 0u);
}

TEST(Threads, HandleWaitsAlongsideEvents) {
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle t(CreateThread(nullptr, 64 * 1024, ReturnParameter, nullptr, 0, nullptr));
  ASSERT_TRUE(t);
  const HANDLE set[] = {stop.get(), t.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, set, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  ASSERT_TRUE(SetEvent(stop.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, INFINITE), WAIT_OBJECT_0);
}

struct IdProbe {
  DWORD seen = 0;
};

DWORD RecordId(LPVOID p) {
  static_cast<IdProbe*>(p)->seen = GetCurrentThreadId();
  return 0;
}

TEST(Threads, IdsAreTheThreadsOwnAndNeverZero) {
  IdProbe probe;
  DWORD id = 0;
  UniqueHandle t(CreateThread(nullptr, 0, RecordId, &probe, 0, &id));
  ASSERT_EQ(WaitForSingleObject(t.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(probe.seen, id);
  EXPECT_NE(GetCurrentThreadId(), 0u);
  EXPECT_NE(GetCurrentThreadId(), id);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
}

DWORD CloseOwnHandle(LPVOID p) {
  HANDLE self = *static_cast<HANDLE*>(p);
  return CloseHandle(self) ? 7 : 8;
}

TEST(Threads, ThreadMayCloseItsOwnHandle) {
  HANDLE self = nullptr;
  HANDLE t = CreateThread(nullptr, 0, CloseOwnHandle, &self, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(t, nullptr);
  self = t;
  HANDLE mine = DuplicateHandleRef(t);
  ASSERT_NE(mine, nullptr);
  ResumeThread(t);
  ASSERT_EQ(WaitForSingleObject(mine, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(mine, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(mine));
  EXPECT_FALSE(CloseHandle(mine));
}

TEST(Threads, HandleMayBeClosedWhileTheThreadRuns) {
  UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE events[] = {gate.get(), done.get()};
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* e = static_cast<HANDLE*>(p);
        WaitForSingleObject(e[0], INFINITE);
        SetEvent(e[1]);
        return 0;
      },
      events, 0, nullptr);
  ASSERT_TRUE(CloseHandle(t));
  ASSERT_TRUE(SetEvent(gate.get()));
  EXPECT_EQ(WaitForSingleObject(done.get(), INFINITE), WAIT_OBJECT_0);
}

TEST(Threads, WrongHandleKinds) {
  UniqueHandle e(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  DWORD code = 0;
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(e.get(), &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(ResumeThread(e.get()), static_cast<DWORD>(-1));
  EXPECT_EQ(GetThreadId(nullptr), 0u);
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

struct NameProbe {
  std::wstring name;
  std::wstring fullName;
  std::string kernelName;
};

DWORD NameSelf(LPVOID p) {
  auto* probe = static_cast<NameProbe*>(p);
  platform::SetCurrentThreadName(probe->name);
  probe->fullName = platform::GetCurrentThreadName();
  char buffer[32] = {};
  pthread_getname_np(pthread_self(), buffer, sizeof buffer);
  probe->kernelName = buffer;
  return 0;
}

TEST(ThreadNames, FullNameKeptKernelNameCut) {
  struct Case {
    const char* why;
    std::wstring name;
    std::string kernel;
  };
  const Case cases[] = {
      {"short name unchanged", L"worker", "worker"},
      {"cut to 15 bytes", L"request-dispatcher-7", "request-dispatc"},
      // "ü" is two bytes in UTF-8 and would straddle byte 15.
      {"cut before a split character", L"abcdefghijklmn\u00fcx", "abcdefghijklmn"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    NameProbe probe{c.name, {}, {}};
    UniqueHandle t(CreateThread(nullptr, 0, NameSelf, &probe, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(t.get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(probe.fullName, c.name);
    EXPECT_EQ(probe.kernelName, c.kernel);
  }
}

}  // namespace
