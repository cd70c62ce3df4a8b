// win_service_test.cpp - the application object: command line, exit codes,
// the running-thread counter, the status sequence under the dispatcher,
// install and remove, and the dialogs' texts.
#include "platform/base/testing/temp_dir.h"
#include "LibService/ServiceApp.h"
#include "LibService/ServiceDialog.h"
#include "LibService/WinService.h"
#include "platform/base/text.h"
#include "platform/eventlog/eventlog.h"
#include "platform/pipe/pipe.h"
#include "platform/service/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t* const kServiceName = L"VnWinServiceTest";
const wchar_t* const kDisplayName = L"Vantrel WinService Test";

// Fresh registry, log and pipe folders for this process, before anything runs.
const std::string g_dir = [] {
  const std::string base = platform::testing::MakeTempDir("vn-winservice-test-");
  ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  ::setenv("VANTREL_LOG_DIR", base.c_str(), 1);
  ::setenv("VANTREL_PIPE_DIR", base.c_str(), 1);
  ::unsetenv("VANTREL_SERVICE_NAME");
  ::unsetenv("INVOCATION_ID");
  return base;
}();

// Polls cond for up to 10 s (for things that must happen, not timing).
bool Eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 1000; ++i) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

// What the test service's Run does.
enum class RunMode { kWaitForStop, kFailWin32, kFailMessage, kThrow, kSucceedAtOnce };

class CTestService : public CServiceApp<CTestService> {
 public:
  explicit CTestService(RunMode mode = RunMode::kWaitForStop) : CServiceApp(kServiceName, kDisplayName, {}), m_mode(mode) {}
  ~CTestService() override {
    Stop();
    WaitForExit(10000);
  }

  std::string GetTraceName() const override { return "WinServiceTest"; }

  CStatus Run() override {
    switch (m_mode) {
      case RunMode::kWaitForStop:
        WaitForSingleObject(GetStopEvent(), INFINITE);
        return CStatus();
      case RunMode::kFailWin32:
        return CStatus(NewErrorNumber(VN_HERE, ERROR_INVALID_PARAMETER));
      case RunMode::kFailMessage:
        return CStatus(NewErrorMessage(VN_HERE, MSG_ITEM_NOT_FOUND, {L"THING"}));
      case RunMode::kThrow:
        throw std::runtime_error("Run threw");
      case RunMode::kSucceedAtOnce:
        return CStatus();
    }
    return CStatus();
  }

  // A worker started through the framework, counted like its own threads.
  CStatus Worker(CStatus& status, HANDLE* release) {
    ++m_workerRuns;
    WaitForSingleObject(*release, INFINITE);
    return status;
  }

  std::vector<SERVICE_STATUS> Reports() {
    std::lock_guard<std::mutex> lock(m_reportsLock);
    return m_reports;
  }
  std::vector<std::wstring> m_dialogs;  // "service" or "invalid:" + flag
  std::atomic<int> m_workerRuns{0};

 protected:
  void OnStatusReported(const SERVICE_STATUS& status) override {
    std::lock_guard<std::mutex> lock(m_reportsLock);
    m_reports.push_back(status);
  }
  void RunServiceDialog() override { m_dialogs.push_back(L"service"); }
  void RunInvalidParameterDialog(const std::wstring& flag) override { m_dialogs.push_back(L"invalid:" + flag); }

 private:
  RunMode m_mode;
  std::mutex m_reportsLock;
  std::vector<SERVICE_STATUS> m_reports;
};

// --- the command-line table ---

struct CommandLineCase {
  const char* name;
  std::vector<std::wstring> args;
  bool withoutWindow;  // run-as-service before the walk
  int shellCommand;
  bool runAsService;
  bool debug;
  const wchar_t* unrecognised;
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, Parses) {
  const CommandLineCase& c = GetParam();
  CTestService app;
  app.SetCommandLine(c.args);
  CWinService::CServiceCommandLineInfo info;
  info.m_runAsService = c.withoutWindow;
  app.ParseCommandLine(info);
  EXPECT_EQ(info.m_nShellCommand, c.shellCommand);
  EXPECT_EQ(info.m_runAsService, c.runAsService);
  EXPECT_EQ(info.m_debug, c.debug);
  EXPECT_EQ(info.m_unrecognisedFlag, c.unrecognised);
}

using CLI = CCommandLineInfo;
INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineTest,
    ::testing::Values(
        CommandLineCase{"NoParametersWithoutWindowRunsAsService", {}, true, CLI::FileNew, true, false, L""},
        CommandLineCase{"NoParametersFromTerminalShowsDialog", {}, false, CLI::FileNew, false, false, L""},
        CommandLineCase{"InstallWithDash", {L"-install"}, false, CLI::AppRegister, false, false, L""},
        CommandLineCase{"InstallClearsRunAsService", {L"/INSTALL"}, true, CLI::AppRegister, false, false, L""},
        CommandLineCase{"RemoveAnyCase", {L"-ReMoVe"}, true, CLI::AppUnregister, false, false, L""},
        CommandLineCase{"DebugWithSlash", {L"/Debug"}, true, CLI::FileNew, false, true, L""},
        CommandLineCase{"UnknownFlagIsHeldWithoutItsDash", {L"-bogus"}, false, CLI::FileNothing, false, false,
                        L"bogus"},
        CommandLineCase{"SecondUnknownFlagDoesNotReplaceFirst", {L"-first", L"/second"}, false, CLI::FileNothing,
                        false, false, L"first"},
        CommandLineCase{"DebugThenUnknown", {L"-debug", L"-x"}, false, CLI::FileNothing, false, true, L"x"},
        CommandLineCase{"PlainParameterIsNoFlag", {L"file.txt"}, false, CLI::FileOpen, false, false, L""},
        CommandLineCase{"InstallWithoutDashIsNoFlag", {L"install"}, false, CLI::FileOpen, false, false, L""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- InitInstance's choice of dialog ---

TEST(InitInstanceTest, UnknownFlagShowsInvalidParameterDialog) {
  CTestService app;
  app.SetCommandLine({L"-bogus", L"-other"});
  EXPECT_FALSE(app.InitInstance());
  ASSERT_EQ(app.m_dialogs.size(), 1u);
  EXPECT_EQ(app.m_dialogs[0], L"invalid:bogus");
  EXPECT_EQ(app.ExitInstance(), 2);
}

TEST(InitInstanceTest, PlainParameterShowsInvalidParameterDialogWithEmptyFlag) {
  CTestService app;
  app.SetCommandLine({L"file.txt"});
  app.InitInstance();
  ASSERT_EQ(app.m_dialogs.size(), 1u);
  EXPECT_EQ(app.m_dialogs[0], L"invalid:");
}

// Without a terminal and without a control manager the dispatcher fails with
// 1063; the program then takes the dialog path instead of ending silently.
TEST(InitInstanceTest, DispatcherWithoutControlManagerFallsBackToDialog) {
  if (!platform::StartedWithoutWindow()) GTEST_SKIP() << "standard input is a terminal";
  CTestService app;
  app.SetCommandLine({});
  app.InitInstance();
  ASSERT_EQ(app.m_dialogs.size(), 1u);
  EXPECT_EQ(app.m_dialogs[0], L"service");
  EXPECT_EQ(app.ExitInstance(), 0);
}

TEST(InitInstanceTest, InvalidParameterText) {
  CInvalidParameterDlg dialog(L"bogus");
  const std::wstring text = dialog.GetText();
  EXPECT_EQ(text.rfind(L"You have supplied an invalid command line parameter 'bogus'.\n\nAllowed parameters are:\n", 0),
            0u);
  EXPECT_NE(text.find(L"  -debug (to run in debugging mode)"), std::wstring::npos);
}

// --- exit codes ---

struct ExitCodeCase {
  const char* name;
  std::function<CError*()> make;  // null error: success
  DWORD exitCode;
  DWORD specific;
};

class ExitCodeTest : public ::testing::TestWithParam<ExitCodeCase> {};

TEST_P(ExitCodeTest, FromStatus) {
  const ExitCodeCase& c = GetParam();
  CStatus status(c.make());
  DWORD specific = 12345;
  EXPECT_EQ(ServiceExitCode(status, &specific), c.exitCode);
  EXPECT_EQ(specific, c.specific);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitCodeTest,
    ::testing::Values(
        ExitCodeCase{"SuccessIsZero", [] { return static_cast<CError*>(nullptr); }, 0, 0},
        ExitCodeCase{"Win32CodeIsKept", [] { return NewErrorNumber(VN_HERE, ERROR_ACCESS_DENIED); }, 5, 0},
        ExitCodeCase{"HRESULTGivesItsLowBits", [] { return NewHRESULT(VN_HERE, E_FAIL); }, 0x4005, 0},
        ExitCodeCase{"AccessDeniedHRESULTIsFive",
                     [] { return NewHRESULT(VN_HERE, static_cast<HRESULT>(0x80070005u)); }, 5, 0},
        ExitCodeCase{"MessageErrorIsServiceSpecific",
                     [] { return NewErrorMessage(VN_HERE, MSG_OUT_OF_MEMORY, {L"40"}); },
                     ERROR_SERVICE_SPECIFIC_ERROR, MSG_OUT_OF_MEMORY},
        ExitCodeCase{"HRESULTWithZeroLowBitsIsNotSuccess",
                     [] { return NewHRESULT(VN_HERE, static_cast<HRESULT>(0x80040000u)); },
                     ERROR_SERVICE_SPECIFIC_ERROR, MSG_SYSTEM_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the service in this process: Run's outcome, the counter ---

struct RunCase {
  const char* name;
  RunMode mode;
  bool stopFromOutside;
  DWORD exitCode;
  DWORD specific;
};

class RunOutcomeTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunOutcomeTest, EndsWithExitCode) {
  const RunCase& c = GetParam();
  CTestService app(c.mode);
  ASSERT_TRUE(app.OnStart().IsOK());
  if (c.stopFromOutside) app.Stop();
  // A failure stops the service by itself; every case ends.
  auto done = std::async(std::launch::async, [&] { return app.WaitForExit(INFINITE); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(done.get(), c.exitCode);
  EXPECT_EQ(app.GetServiceSpecificExitCode(), c.specific);
  EXPECT_EQ(app.GetRunningThreads(), 0);
  EXPECT_EQ(WaitForSingleObject(app.GetStopEvent(), 0), WAIT_OBJECT_0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunOutcomeTest,
    ::testing::Values(RunCase{"StopEndsRunWithZero", RunMode::kWaitForStop, true, 0, 0},
                      RunCase{"Win32FailureStopsWithItsCode", RunMode::kFailWin32, false, ERROR_INVALID_PARAMETER, 0},
                      RunCase{"MessageFailureStopsWith1066", RunMode::kFailMessage, false,
                              ERROR_SERVICE_SPECIFIC_ERROR, MSG_ITEM_NOT_FOUND},
                      RunCase{"ThrowingRunStillLowersCounterAndStops", RunMode::kThrow, false,
                              ERROR_SERVICE_SPECIFIC_ERROR, MSG_WORK_ITEM_EXCEPTION},
                      RunCase{"RunReturningAtOnceWaitsForStop", RunMode::kSucceedAtOnce, true, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CounterTest, NothingStartedDoesNotHangWaitForExit) {
  CTestService app;
  auto done = std::async(std::launch::async, [&] { return app.WaitForExit(INFINITE); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0u);
}

TEST(CounterTest, CountedFromStartUntilTheWorkItemEnds) {
  CTestService app;
  platform::UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE handle = release.get();
  ASSERT_TRUE(app.StartThread("TestWorker", &app, &CTestService::Worker, &handle).IsOK());
  // Counted at once, before the pool thread has even picked the item up.
  EXPECT_EQ(app.GetRunningThreads(), 1);
  EXPECT_NE(app.WaitForExit(0), 1u);  // returns, not done
  SetEvent(handle);
  EXPECT_TRUE(Eventually([&] { return app.GetRunningThreads() == 0; }));
  EXPECT_EQ(app.WaitForExit(5000), 0u);
}

// A pool thread that already has COM (the main thread's set-up keeps it)
// answers S_FALSE; the next work item on it still runs.
TEST(CounterTest, WorkItemRunsOnThreadWithCOMAlreadyInitialised) {
  CTestService app(RunMode::kSucceedAtOnce);
  ASSERT_TRUE(app.OnStart().IsOK());
  app.Stop();
  ASSERT_EQ(app.WaitForExit(10000), 0u);
  // The thread that ran "MainThread" is idle with COM initialised; reuse it.
  platform::UniqueHandle release(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  HANDLE handle = release.get();
  ASSERT_TRUE(Eventually([&] { return app.GetThreadSet().GetBusyThreadIds().empty(); }));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(app.StartThread("TestWorker", &app, &CTestService::Worker, &handle).IsOK());
    EXPECT_TRUE(Eventually([&] { return app.GetRunningThreads() == 0; }));
  }
  // Every one ran, the first of them on the thread that ran "MainThread".
  EXPECT_EQ(app.m_workerRuns.load(), 3);
}

// --- install, remove, the dispatcher's status sequence ---

TEST(ServiceControlTest, InstallRunRemove) {
  ASSERT_TRUE(RegisterEventLog(kDisplayName).IsOK());
  CTestService app;
  ASSERT_TRUE(app.Install().IsOK());
  // A second install fails at its source position with 1073.
  const CStatus again = app.Install();
  ASSERT_FALSE(again.IsOK());
  EXPECT_EQ(again.GetError()->GetCode(), int(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(again.GetError()->GetLine(), 73);

  // Run under the real dispatcher, as the control manager would start it.
  const std::size_t eventMark = platform::ReadEventLog(kDisplayName).size();
  ::setenv("VANTREL_SERVICE_NAME", platform::Utf8FromWide(kServiceName).c_str(), 1);
  auto run = std::async(std::launch::async, [&] { return app.Start(true); });
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(Eventually([&] {
    return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING &&
           app.GetRunningThreads() >= 2;  // MainThread and APIServer
  }));
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  ASSERT_EQ(run.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(run.get().IsOK());
  ::unsetenv("VANTREL_SERVICE_NAME");

  const std::vector<SERVICE_STATUS> reports = app.Reports();
  struct Expected {
    DWORD state, controls, exitCode, checkPoint, waitHint;
  };
  const std::vector<Expected> expected = {
      {SERVICE_START_PENDING, 0, 0, 1, 3000},
      {SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0},
      {SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0, 0, 0},  // interrogate
      {SERVICE_STOP_PENDING, 0, 0, 2, 0},
      {SERVICE_STOPPED, 0, 0, 0, 0},
  };
  ASSERT_EQ(reports.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(reports[i].dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(reports[i].dwCurrentState, expected[i].state);
    EXPECT_EQ(reports[i].dwControlsAccepted, expected[i].controls);
    EXPECT_EQ(reports[i].dwWin32ExitCode, expected[i].exitCode);
    EXPECT_EQ(reports[i].dwCheckPoint, expected[i].checkPoint);
    EXPECT_EQ(reports[i].dwWaitHint, expected[i].waitHint);
  }
  EXPECT_EQ(app.GetRunningThreads(), 0);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);

  // Controls the handler does not serve.
  EXPECT_EQ(app.HandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_EQ(app.HandlerEx(SERVICE_CONTROL_DEVICEEVENT, 0, nullptr, nullptr), 0u);
  // A stop after STOPPED reports nothing more.
  const std::size_t count = app.Reports().size();
  EXPECT_EQ(app.HandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(app.Reports().size(), count);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  // Remove of a stopped service deletes it at once; a second remove fails at
  // OpenServiceW's position with 1060.
  ASSERT_TRUE(app.Remove().IsOK());
  const CStatus gone = app.Remove();
  ASSERT_FALSE(gone.IsOK());
  EXPECT_EQ(gone.GetError()->GetCode(), int(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(gone.GetError()->GetLine(), 133);

  // The events of the run: started, then stopped, with the display name.
  std::vector<DWORD> ids;
  const auto records = platform::ReadEventLog(kDisplayName);
  for (std::size_t i = eventMark; i < records.size(); ++i) {
    const auto& record = records[i];
    if (record.eventId == MSG_SERVICE_STARTED || record.eventId == MSG_SERVICE_STOPPED) {
      ids.push_back(record.eventId);
      ASSERT_EQ(record.strings.size(), 1u);
      EXPECT_EQ(record.strings[0], kDisplayName);
    }
  }
  EXPECT_EQ(ids, (std::vector<DWORD>{MSG_SERVICE_STARTED, MSG_SERVICE_STOPPED}));
}

// A service that never leaves STOP_PENDING does not hold "remove" for ever.
// This test plays the running service's side of the control manager: its
// status file and its control pipe.
TEST(ServiceControlTest, RemoveGivesUpOnAServiceThatStaysStopPending) {
  CTestService app;
  ASSERT_TRUE(app.Install().IsOK());
  const std::string statusPath =
      std::string(std::getenv("VANTREL_PIPE_DIR")) + "/service." + platform::Utf8FromWide(platform::ToLower(kServiceName)) + ".status";
  auto writeStatus = [&](DWORD state) {
    std::FILE* f = std::fopen(statusPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "%d %u %u 0 0 1 0\n", int(::getpid()), state, state == SERVICE_RUNNING ? 5u : 0u);
    std::fclose(f);
  };
  writeStatus(SERVICE_RUNNING);
  HANDLE pipe = CreateNamedPipeW((std::wstring(L"\\\\.\\pipe\\Vantrel.ServiceControl.") + kServiceName).c_str(),
                                 PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64,
                                 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  std::thread controlManager([&] {
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
    DWORD control = 0;
    DWORD got = 0;
    if (!ReadFile(pipe, &control, sizeof control, &got, nullptr)) return;
    writeStatus(SERVICE_STOP_PENDING);
    const DWORD reply[8] = {0, SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 0};
    DWORD written = 0;
    WriteFile(pipe, reply, sizeof reply, &written, nullptr);
  });
  auto removed = std::async(std::launch::async, [&] { return app.Remove(2); });
  ASSERT_EQ(removed.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_TRUE(removed.get().IsOK());
  controlManager.join();
  CloseHandle(pipe);
  writeStatus(SERVICE_STOPPED);
}

// --- the trace viewer's formatting ---

TEST(TraceViewerTest, FormatsRecordsWithoutTheModuleText) {
  const BYTE args[] = {4, 7};
  ServiceAPITraceLineRecord record;
  record.lineNumber = 3;
  record.time = 1000;
  record.messageId = 0x00999999;  // no text anywhere
  record.argBytes = args;
  record.argLength = sizeof args;
  EXPECT_EQ(CTraceViewer::FormatText(record), L"(message 0x00999999)");
  const std::wstring line = CTraceViewer::FormatLine(record, "Source");
  EXPECT_NE(line.find(L" Source "), std::wstring::npos);
  EXPECT_NE(line.find(L"(message 0x00999999)"), std::wstring::npos);
}

TEST(TraceViewerTest, ConnectTakesOnlyLocalServices) {
  CTraceViewer viewer(stdout);
  EXPECT_EQ(viewer.Connect(L":Name"), 0u);
  EXPECT_EQ(viewer.Connect(L"Name"), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(viewer.Connect(L":"), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(viewer.ReadOnce(0));  // nothing there
}

}  // namespace
