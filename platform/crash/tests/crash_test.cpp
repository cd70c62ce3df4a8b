// crash_test.cpp - faults as structured exceptions, recovery, dumps, privileges.
#include "platform/crash/crash.h"
#include "platform/base/testing/temp_registry.h"
#include "platform/crash/privileges.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

struct Fault {
  DWORD code;
  EXCEPTION_RECORD record;
  CONTEXT context;
};

void ThrowFault(unsigned int code, EXCEPTION_POINTERS* pointers) {
  throw Fault{code, *pointers->ExceptionRecord, *pointers->ContextRecord};
}

volatile std::uintptr_t g_zero = 0;

__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) void ReadNull(void*) {
  volatile int value = *reinterpret_cast<volatile int*>(g_zero);
  (void)value;
}
__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) void WriteNull(void*) {
  *reinterpret_cast<volatile int*>(g_zero + 16) = 1;
}
__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) void DivideByZero(void*) {
  volatile int divisor = static_cast<int>(g_zero);
  volatile int value = 7 / divisor;
  (void)value;
}
__attribute__((noinline)) void IllegalInstruction(void*) { __builtin_trap(); }
void Abort(void*) { std::abort(); }

class CrashTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-crash-");
  }
  void SetUp() override { previous_ = _set_se_translator(ThrowFault); }
  void TearDown() override { _set_se_translator(previous_); }

  // Runs body in a child process and answers its wait status.
  static int InChild(void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
      body();
      _exit(100);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  static std::string dir_;
  _se_translator_function previous_ = nullptr;
};
std::string CrashTest::dir_;

TEST_F(CrashTest, FaultsBecomeTheirExceptionCodes) {
  struct Case {
    const char* name;
    void (*fn)(void*);
    DWORD code;
    DWORD parameters;
    ULONG_PTR kind;     // access violations: 0 read, 1 write
    ULONG_PTR address;  // access violations: the address
  } cases[] = {
      {"read of address 0", ReadNull, EXCEPTION_ACCESS_VIOLATION, 2, 0, 0},
      {"write of address 16", WriteNull, EXCEPTION_ACCESS_VIOLATION, 2, 1, 16},
      {"integer division by zero", DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, 0},
      {"illegal instruction", IllegalInstruction, EXCEPTION_ILLEGAL_INSTRUCTION, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool caught = false;
    try {
      platform::CallWithFaultRecovery(c.fn, nullptr);
    } catch (const Fault& f) {
      caught = true;
      EXPECT_EQ(f.code, c.code);
      EXPECT_EQ(f.record.ExceptionCode, c.code);
      EXPECT_EQ(f.record.NumberParameters, c.parameters);
      if (c.parameters == 2) {
        EXPECT_EQ(f.record.ExceptionInformation[0], c.kind);
        EXPECT_EQ(f.record.ExceptionInformation[1], c.address);
      }
      EXPECT_NE(f.context.Rip, 0u);
      EXPECT_EQ(reinterpret_cast<DWORD64>(f.record.ExceptionAddress), f.context.Rip);
      EXPECT_LE(f.context.FrameCount, kMaxCapturedFrames);
      for (DWORD i = 1; i < f.context.FrameCount; ++i) EXPECT_GT(f.context.FrameChain[i][0], f.context.FrameChain[i - 1][0]);
    }
    EXPECT_TRUE(caught);
  }
}

TEST_F(CrashTest, NestedRecoveryPointsCatchTheInnerFaultOnly) {
  int outerRan = 0;
  struct Ctx {
    int* outerRan;
  } ctx{&outerRan};
  platform::CallWithFaultRecovery(
      [](void* p) {
        try {
          platform::CallWithFaultRecovery(ReadNull, nullptr);
        } catch (const Fault&) {
          ++*static_cast<Ctx*>(p)->outerRan;
        }
      },
      &ctx);
  EXPECT_EQ(outerRan, 1);
}

TEST_F(CrashTest, ExceptionsOfTheCallPassThroughUnchanged) {
  EXPECT_THROW(platform::CallWithFaultRecovery([](void*) { throw std::runtime_error("x"); }, nullptr),
               std::runtime_error);
  // The recovery point is gone afterwards: the next fault lands in a new one.
  EXPECT_THROW(platform::CallWithFaultRecovery(ReadNull, nullptr), Fault);
}

TEST_F(CrashTest, SignalCodeTable) {
  struct Case {
    int signal, code;
    DWORD expected;
  } cases[] = {
      {SIGSEGV, SEGV_MAPERR, EXCEPTION_ACCESS_VIOLATION}, {SIGBUS, BUS_ADRERR, EXCEPTION_IN_PAGE_ERROR},
      {SIGBUS, BUS_ADRALN, EXCEPTION_DATATYPE_MISALIGNMENT}, {SIGFPE, FPE_INTDIV, EXCEPTION_INT_DIVIDE_BY_ZERO},
      {SIGFPE, FPE_INTOVF, EXCEPTION_INT_OVERFLOW},       {SIGFPE, FPE_FLTDIV, EXCEPTION_FLT_DIVIDE_BY_ZERO},
      {SIGFPE, FPE_FLTINV, EXCEPTION_FLT_INVALID_OPERATION}, {SIGILL, ILL_ILLOPN, EXCEPTION_ILLEGAL_INSTRUCTION},
      {SIGILL, ILL_PRVOPC, EXCEPTION_PRIV_INSTRUCTION},   {SIGABRT, 0, STATUS_STACK_BUFFER_OVERRUN},
      {SIGTERM, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::ExceptionCodeFromSignal(c.signal, c.code), c.expected) << c.signal;
}

// --- faults that end the process, each in a child ---

TEST_F(CrashTest, WithoutATranslatorTheThreadDiesByTheSignal) {
  const int status = InChild([] {
    _set_se_translator(nullptr);
    platform::SetFatalFaultHook([](EXCEPTION_POINTERS*) { _exit(99); });  // must not run
    ReadNull(nullptr);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

TEST_F(CrashTest, UnrecoverableFaultsGoToTheFatalHook) {
  struct Case {
    const char* name;
    void (*body)();
    int exitCode;
  } cases[] = {
      // No recovery point on the thread.
      {"fault outside a recovery point",
       [] {
         platform::SetFatalFaultHook([](EXCEPTION_POINTERS* p) { _exit(p->ExceptionRecord->ExceptionCode & 0xFF); });
         ReadNull(nullptr);
       },
       0x05},
      // An abort is never resumed elsewhere, even inside a recovery point.
      {"abort inside a recovery point",
       [] {
         platform::SetFatalFaultHook([](EXCEPTION_POINTERS* p) { _exit(p->ExceptionRecord->ExceptionCode & 0xFF); });
         platform::CallWithFaultRecovery(Abort, nullptr);
       },
       0x09},
      // A translator that returns leaves the fault unhandled.
      {"translator that returns",
       [] {
         platform::SetFatalFaultHook([](EXCEPTION_POINTERS* p) { _exit(p->ExceptionRecord->ExceptionCode & 0xFF); });
         _set_se_translator([](unsigned int, EXCEPTION_POINTERS*) {});
         platform::CallWithFaultRecovery(DivideByZero, nullptr);
       },
       0x94},
  };
  for (const Case& c : cases) {
    const int status = InChild(c.body);
    ASSERT_TRUE(WIFEXITED(status)) << c.name << " " << status;
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << c.name;
  }
}

// A recovered fault abandons its frames without destructors: a lock they
// took would stay held and block every later caller. Such a fault ends the
// process through the fatal report on the watcher; locks taken before the
// recovery point do not count.
CRITICAL_SECTION g_section;
SRWLOCK g_srw = SRWLOCK_INIT;

void FaultHoldingTheSection(void*) {
  platform::CriticalSectionLock hold(g_section);
  ReadNull(nullptr);
}
void FaultHoldingSharedSrw(void*) {
  platform::SrwSharedLock hold(g_srw);
  WriteNull(nullptr);
}

// In the child: the watcher runs the report, which writes the marker file
// named by VN_CRASH_TEST_MARKER; the process then exits with the code.
void ExpectRecoveryOrFatal(void (*body)(void*), bool lockedBeforeThePoint) {
  InitializeCriticalSection(&g_section);
  if (platform::StartCrashDumps(L"\\nonexistent\\VnMiniDump.exe", L"\\tmp", L"CrashTest") != 0) _exit(98);
  platform::SetFatalReport([](const EXCEPTION_RECORD&, const CONTEXT&) {
    const int fd = ::open(getenv("VN_CRASH_TEST_MARKER"), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd >= 0) ::close(fd);
  });
  platform::SetFatalFaultHook(platform::EndProcessAfterFault);
  _set_se_translator(ThrowFault);
  if (lockedBeforeThePoint) EnterCriticalSection(&g_section);
  try {
    platform::CallWithFaultRecovery(body, nullptr);
  } catch (const Fault&) {
    _exit(0);  // recovered
  }
  _exit(97);
}

TEST_F(CrashTest, AFaultThatWouldAbandonAHeldLockEndsTheProcess) {
  struct Case {
    const char* name;
    void (*child)();
    bool fatal;
  } cases[] = {
      {"critical section taken inside the point", [] { ExpectRecoveryOrFatal(FaultHoldingTheSection, false); }, true},
      {"SRW lock held shared inside the point", [] { ExpectRecoveryOrFatal(FaultHoldingSharedSrw, false); }, true},
      {"no lock", [] { ExpectRecoveryOrFatal(ReadNull, false); }, false},
      {"a lock held only outside the point", [] { ExpectRecoveryOrFatal(ReadNull, true); }, false},
  };
  for (const Case& c : cases) {
    const std::string marker = dir_ + "/fatal-report";
    ::unlink(marker.c_str());
    setenv("VN_CRASH_TEST_MARKER", marker.c_str(), 1);
    const int status = InChild(c.child);
    ASSERT_TRUE(WIFEXITED(status)) << c.name << " " << status;
    struct stat info{};
    if (c.fatal) {
      EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(EXCEPTION_ACCESS_VIOLATION & 0xFF)) << c.name;
      EXPECT_EQ(::stat(marker.c_str(), &info), 0) << c.name << ": the report did not run";
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 0) << c.name;
      EXPECT_NE(::stat(marker.c_str(), &info), 0) << c.name;
    }
  }
}

TEST_F(CrashTest, HeldLockCountFollowsEveryKindOfHold) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  SRWLOCK srw = SRWLOCK_INIT;
  const int base = platform::HeldLockCount();
  {
    platform::CriticalSectionLock a(cs);
    platform::CriticalSectionLock again(cs);  // recursive: two holds
    EXPECT_EQ(platform::HeldLockCount(), base + 2);
    platform::SrwSharedLock b(srw);
    EXPECT_EQ(platform::HeldLockCount(), base + 3);
  }
  EXPECT_EQ(platform::HeldLockCount(), base);
  ASSERT_TRUE(TryAcquireSRWLockExclusive(&srw));
  EXPECT_FALSE(TryAcquireSRWLockShared(&srw));
  EXPECT_EQ(platform::HeldLockCount(), base + 1);
  ReleaseSRWLockExclusive(&srw);
  EXPECT_EQ(platform::HeldLockCount(), base);
  DeleteCriticalSection(&cs);
}


// A sanitizer's process maps terabytes of shadow memory: no core of it can
// be written in reasonable time, so sanitizer builds have no such test. The
// tool's command line is checked by the next test everywhere.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(CrashTest, AFaultOfTheChildMakesTheDumpToolWriteACoreFile) {
  const std::string logDir = dir_ + "/dumps";
  setenv("VN_CRASH_TEST_LOGDIR", logDir.c_str(), 1);
  const int status = InChild([] {
    std::wstring tool = platform::ExecutableDirectory() + L"VnMiniDump.exe";
    for (wchar_t& ch : tool) {
      if (ch == L'/') ch = L'\\';
    }
    std::wstring dir = platform::WideFromUtf8(getenv("VN_CRASH_TEST_LOGDIR"));
    for (wchar_t& ch : dir) {
      if (ch == L'/') ch = L'\\';
    }
    if (platform::StartCrashDumps(tool, dir, L"CrashTest") != 0) _exit(98);
    platform::SetFaultDumpHook([](EXCEPTION_POINTERS* p) { platform::RequestDump(p, nullptr); });
    platform::SetFatalFaultHook([](EXCEPTION_POINTERS* p) { _exit(p->ExceptionRecord->ExceptionCode & 0xFF); });
    ReadNull(nullptr);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(EXCEPTION_ACCESS_VIOLATION & 0xFF));

  std::string dump, log;
  if (DIR* d = opendir(logDir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (std::regex_match(name, std::regex("CrashTest[0-9]{14}C0000005\\.dmp"))) dump = logDir + "/" + name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".log") log = logDir + "/" + name;
    }
    closedir(d);
  }
  ASSERT_FALSE(log.empty()) << "the dump tool did not run";
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  if (dump.empty() && (text.str().find("ptrace") != std::string::npos ||
                       text.str().find("Operation not permitted") != std::string::npos)) {
    GTEST_SKIP() << "gdb cannot attach here: " << text.str();
  }
  ASSERT_FALSE(dump.empty()) << text.str();
  std::ifstream core(dump, std::ios::binary);
  char magic[4] = {};
  core.read(magic, 4);
  EXPECT_EQ(std::string(magic, 4), "\x7f" "ELF");
}
#endif

// A stand-in tool that records its arguments in the file named after -f.
std::string WriteFakeTool(const std::string& dir) {
  const std::string path = dir + "/FakeDump.exe";
  std::ofstream(path) << "#!/bin/sh\nwhile [ $# -gt 1 ]; do [ \"$1\" = -f ] && f=\"$2\"; shift; done\n"
                         "f=$(printf '%s' \"$f\" | tr '\\\\' /)\necho \"$0\" > \"$f\"\n";
  chmod(path.c_str(), 0755);
  return path;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

TEST_F(CrashTest, DumpRequestsNameTheFileAfterTheCodeOrTheReason) {
  const std::string logDir = dir_ + "/named";
  mkdir(logDir.c_str(), 0755);
  setenv("VN_CRASH_TEST_TOOL", WriteFakeTool(dir_).c_str(), 1);
  setenv("VN_CRASH_TEST_LOGDIR", logDir.c_str(), 1);
  // A fault of a child: the tool runs at the fault, then the process ends
  // with the exception code.
  const int status = InChild([] {
    std::wstring dir = platform::WideFromUtf8(getenv("VN_CRASH_TEST_LOGDIR"));
    for (wchar_t& ch : dir) {
      if (ch == L'/') ch = L'\\';
    }
    if (platform::StartCrashDumps(platform::WideFromUtf8(getenv("VN_CRASH_TEST_TOOL")), dir, L"Svc") != 0) _exit(98);
    platform::SetFaultDumpHook([](EXCEPTION_POINTERS* p) { platform::RequestDump(p, nullptr); });
    platform::SetFatalFaultHook([](EXCEPTION_POINTERS* p) { _exit(p->ExceptionRecord->ExceptionCode & 0xFF); });
    DivideByZero(nullptr);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0x94);
  // In this process: no pointers and no reason give "InvalidParameter", a
  // reason names itself.
  ASSERT_EQ(platform::StartCrashDumps(platform::WideFromUtf8(getenv("VN_CRASH_TEST_TOOL")),
                                      platform::WideFromUtf8(logDir), L"Svc"),
            0u);
  platform::RequestDump(nullptr, nullptr);
  platform::RequestDump(nullptr, L"Watchdog");
  std::vector<std::string> names = FilesIn(logDir);
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 3u);
  const std::regex patterns[] = {std::regex("Svc[0-9]{14}C0000094\\.dmp"), std::regex("Svc[0-9]{14}InvalidParameter\\.dmp"),
                                 std::regex("Svc[0-9]{14}Watchdog\\.dmp")};
  for (const std::regex& pattern : patterns) {
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [&](const std::string& n) { return std::regex_match(n, pattern); }), 1);
  }
}

TEST_F(CrashTest, ADumpRequestWithoutAWatcherReturnsAtOnce) {
  const int status = InChild([] {
    platform::RequestDump(nullptr, nullptr);
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(CrashTest, DumpToolCommandLine) {
  const std::wstring line = platform::DumpToolCommandLine(L"C:\\bin\\VnMiniDump.exe", 0x1A2B, 0x3C, reinterpret_cast<void*>(0xABCDEF),
                                                          L"\\VantrelLog", L"Webbridge", L"20240131235959", L"C0000005");
  EXPECT_EQ(line,
            L"\"C:\\bin\\VnMiniDump.exe\" -p 1A2B -t 3C -e 0x0000000000ABCDEF -f "
            L"\"\\VantrelLog\\Webbridge20240131235959C0000005.dmp\"");
  EXPECT_EQ(platform::SplitCommandLine(line),
            (std::vector<std::wstring>{L"C:\\bin\\VnMiniDump.exe", L"-p", L"1A2B", L"-t", L"3C", L"-e",
                                       L"0x0000000000ABCDEF", L"-f",
                                       L"\\VantrelLog\\Webbridge20240131235959C0000005.dmp"}));
}

TEST_F(CrashTest, SplitCommandLineFollowsTheRuntimeRules) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> arguments;
  } cases[] = {
      {L"", {}},
      {L"  a   b  ", {L"a", L"b"}},
      {L"\"a b\" c", {L"a b", L"c"}},
      {L"a\\\\b", {L"a\\\\b"}},
      {L"\"a\\\"b\"", {L"a\"b"}},
      {L"\"a\\\\\" b", {L"a\\", L"b"}},
      {L"x\"y z\"w", {L"xy zw"}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.arguments) << platform::Utf8FromWide(c.line);
}

TEST_F(CrashTest, RunCommandLineReportsExitCodesAndMissingPrograms) {
  bool ok = false;
  EXPECT_EQ(platform::RunCommandLineAndWait(L"\"/bin/sh\" -c \"exit 7\"", ok), 7u);
  EXPECT_TRUE(ok);
  EXPECT_EQ(platform::RunCommandLineAndWait(L"\"\\bin\\sh.exe\" -c \"exit 3\"", ok), 3u);
  EXPECT_TRUE(ok);
  EXPECT_NE(platform::RunCommandLineAndWait(L"\"/nonexistent/tool.exe\" -p 1", ok), 0u);
  EXPECT_FALSE(ok);
}

// --- the invalid-parameter hook ---

int g_invalidCalls = 0;
void CountInvalid(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) { ++g_invalidCalls; }

TEST_F(CrashTest, CheckedCopyRunsTheInvalidParameterHandler) {
  const _invalid_parameter_handler previous = _set_invalid_parameter_handler(CountInvalid);
  EXPECT_EQ(_get_invalid_parameter_handler(), CountInvalid);
  struct Case {
    const char* name;
    bool nullDest;
    std::size_t size;
    const wchar_t* source;
    int result;
    int calls;
    const wchar_t* after;
  } cases[] = {
      {"fits", false, 8, L"abc", 0, 0, L"abc"},
      {"exactly fits", false, 4, L"abc", 0, 0, L"abc"},
      {"one too long", false, 3, L"abc", ERANGE, 1, L""},
      {"null source", false, 8, nullptr, EINVAL, 1, L""},
      {"size 0", false, 0, L"abc", EINVAL, 1, L"zzz"},
      {"null destination", true, 8, L"abc", EINVAL, 1, nullptr},
  };
  for (const Case& c : cases) {
    g_invalidCalls = 0;
    wchar_t buffer[8] = L"zzz";
    EXPECT_EQ(wcscpy_s(c.nullDest ? nullptr : buffer, c.size, c.source), c.result) << c.name;
    EXPECT_EQ(g_invalidCalls, c.calls) << c.name;
    if (c.after != nullptr) {
      EXPECT_STREQ(buffer, c.after) << c.name;
    }
  }
  // A throwing handler's exception leaves the runtime function.
  _set_invalid_parameter_handler(
      [](const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) { throw 5; });
  EXPECT_THROW(wcscpy_s(nullptr, 1, L"x"), int);
  _set_invalid_parameter_handler(previous);
}

// --- privileges ---

TEST_F(CrashTest, PrivilegesLookUpAndAdjust) {
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));

  struct Case {
    const wchar_t* name;
    bool known;
  } cases[] = {{L"SeChangeNotifyPrivilege", true}, {L"sebackupprivilege", true}, {L"SeDebugPrivilege", true},
               {L"SeNoSuchPrivilege", false}, {L"", false}};
  for (const Case& c : cases) {
    LUID luid{};
    const BOOL found = LookupPrivilegeValueW(nullptr, c.name, &luid);
    EXPECT_EQ(found != FALSE, c.known) << platform::Utf8FromWide(c.name);
    if (!found) {
      EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
      continue;
    }
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid = luid;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_NOT_ALL_ASSIGNED) << error;
    if (std::wstring(c.name) == L"SeChangeNotifyPrivilege") {
      EXPECT_EQ(error, ERROR_SUCCESS);
    }
  }
  LUID remote{};
  EXPECT_FALSE(LookupPrivilegeValueW(L"otherhost", L"SeDebugPrivilege", &remote));
  EXPECT_TRUE(CloseHandle(token));
  TOKEN_PRIVILEGES tp{};
  EXPECT_FALSE(AdjustTokenPrivileges(nullptr, FALSE, &tp, sizeof tp, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
