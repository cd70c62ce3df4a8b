// service_test.cpp - services end to end: the database in the registry, a
// real service process (vn_test_service) started, queried, controlled,
// signalled, crashed and deleted, and the vnsc tool over the same calls.

#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/pipe/testing/peer_script.h"
#include "platform/service/service.h"
#include "platform/service/service_internal.h"
#include "platform/pipe/pipe.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

std::string g_logDir;

const bool kEnvironment = [] {
  ::setenv("VANTREL_PIPE_DIR", platform::testing::MakeTempDir("vn_service_pipes.").c_str(), 1);
  ::setenv("VANTREL_REGISTRY", (platform::testing::MakeTempDir("vn_service_reg.") + "/registry.db").c_str(), 1);
  g_logDir = platform::testing::MakeTempDir("vn_service_logs.");
  ::setenv("VANTREL_LOG_DIR", g_logDir.c_str(), 1);
  ::unsetenv("VANTREL_SERVICE_NAME");
  return true;
}();

// Owns the manager and one service handle.
struct Service {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE handle = nullptr;
  ~Service() {
    if (handle != nullptr) CloseServiceHandle(handle);
    CloseServiceHandle(manager);
  }
  SERVICE_STATUS_PROCESS Status() const {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed));
    return s;
  }
  // Waits for the service to reach state (bounded, so that a fault fails the
  // test instead of hanging it).
  SERVICE_STATUS_PROCESS WaitFor(DWORD state) const {
    SERVICE_STATUS_PROCESS s = Status();
    for (int i = 0; i < 3000 && s.dwCurrentState != state; ++i) {
      Sleep(10);
      s = Status();
    }
    EXPECT_EQ(s.dwCurrentState, state);
    return s;
  }
};

SC_HANDLE Install(Service& svc, const std::wstring& name, const std::string& args) {
  const std::wstring image = platform::WideFromUtf8(std::string(TEST_SERVICE_PATH) + " " + args);
  svc.handle = CreateServiceW(svc.manager, name.c_str(), (L"Test " + name).c_str(), SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image.c_str(),
                              nullptr, nullptr, L"", nullptr, nullptr);
  return svc.handle;
}

// The service's log; a sanitizer report in it (sanitizer builds run the
// service process instrumented too) fails the test.
std::string ReadLog(const std::wstring& name) {
  std::ifstream in(g_logDir + "/" + platform::Utf8FromWide(name) + ".log");
  std::stringstream s;
  s << in.rdbuf();
  const std::string log = s.str();
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
  return log;
}

// Whether the process has ended (a zombie counts: services are orphans, and
// whoever adopts them may reap late).
bool Exited(DWORD pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

int RunCommand(const std::string& command, std::string* output = nullptr) {
  auto [code, text] = platform::testing::RunCommand(command + " 2>&1");
  if (output != nullptr) *output += text;
  return code;
}

TEST(ServiceDatabase, ValuesAsWindowsKeepsThemAndTheErrorsOfEachCall) {
  Service svc;
  ASSERT_NE(svc.manager, nullptr);
  ASSERT_NE(Install(svc, L"DbSvc", "exit=1"), nullptr);
  platform::RegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\DbSvc", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  struct DwordCase {
    const wchar_t* value;
    DWORD expected;
  } dwords[] = {{L"Type", 0x10}, {L"Start", 2}, {L"ErrorControl", 1}};
  for (const auto& c : dwords) {
    DWORD v = 0;
    EXPECT_EQ(platform::RegReadDword(key.get(), c.value, v), ERROR_SUCCESS);
    EXPECT_EQ(v, c.expected) << platform::Utf8FromWide(c.value);
  }
  std::wstring text;
  DWORD type = 0;
  EXPECT_EQ(platform::RegReadString(key.get(), L"ImagePath", text, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(platform::Utf8FromWide(text), std::string(TEST_SERVICE_PATH) + " exit=1");
  EXPECT_EQ(platform::RegReadString(key.get(), L"DisplayName", text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"Test DbSvc");
  EXPECT_EQ(platform::RegReadString(key.get(), L"ObjectName", text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"LocalSystem");
  wchar_t description[] = L"Says hello";
  SERVICE_DESCRIPTIONW d{description};
  EXPECT_TRUE(ChangeServiceConfig2W(svc.handle, SERVICE_CONFIG_DESCRIPTION, &d));
  EXPECT_EQ(platform::RegReadString(key.get(), L"Description", text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"Says hello");

  // Installed, never started.
  SERVICE_STATUS s{};
  ASSERT_TRUE(QueryServiceStatus(svc.handle, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, 0u);

  // Each call in turn, with the code it must leave (0: it succeeds).
  Service other;
  struct Step {
    const char* call;
    std::function<bool()> run;
    DWORD error;
  } steps[] = {
      {"CreateService of an existing name", [&] { return Install(other, L"DbSvc", "") != nullptr; },
       ERROR_SERVICE_EXISTS},
      {"OpenService of a missing name",
       [&] { return OpenServiceW(svc.manager, L"NoSuchSvc", SERVICE_ALL_ACCESS) != nullptr; },
       ERROR_SERVICE_DOES_NOT_EXIST},
      {"ControlService of a stopped service",
       [&] { return ControlService(svc.handle, SERVICE_CONTROL_STOP, &s) != FALSE; }, ERROR_SERVICE_NOT_ACTIVE},
      {"Interrogate a stopped service",
       [&] { return ControlService(svc.handle, SERVICE_CONTROL_INTERROGATE, &s) != FALSE; },
       ERROR_SERVICE_NOT_ACTIVE},
      {"DeleteService", [&] { return DeleteService(svc.handle) != FALSE; }, ERROR_SUCCESS},
      {"DeleteService again", [&] { return DeleteService(svc.handle) != FALSE; }, ERROR_SERVICE_MARKED_FOR_DELETE},
      {"OpenService once deleted",
       [&] { return OpenServiceW(svc.manager, L"DbSvc", SERVICE_ALL_ACCESS) != nullptr; },
       ERROR_SERVICE_DOES_NOT_EXIST},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.call);
    const bool ok = step.run();
    EXPECT_EQ(ok, step.error == ERROR_SUCCESS);
    if (!ok) {
      EXPECT_EQ(GetLastError(), step.error);
    }
  }
  // Not running, so the key went at once.
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\DbSvc", 0, KEY_READ,
                          key.put()),
            ERROR_FILE_NOT_FOUND);
}

TEST(ServiceLifecycle, StartPendingRunningInterrogateStopWithExitCode) {
  Service svc;
  const std::string hold = g_logDir + "/hold.LifeSvc";
  ASSERT_NE(Install(svc, L"LifeSvc", "exit=42 hold=" + hold), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  EXPECT_EQ(svc.Status().dwCurrentState, SERVICE_START_PENDING);
  EXPECT_FALSE(StartServiceW(svc.handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  std::ofstream(hold).put('x');

  SERVICE_STATUS_PROCESS running = svc.WaitFor(SERVICE_RUNNING);
  EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
  EXPECT_NE(running.dwProcessId, 0u);
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(svc.handle, SERVICE_CONTROL_INTERROGATE, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(ControlService(svc.handle, 200, &s));
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
  ASSERT_TRUE(ControlService(svc.handle, SERVICE_CONTROL_STOP, &s));
  EXPECT_TRUE(s.dwCurrentState == SERVICE_STOP_PENDING || s.dwCurrentState == SERVICE_STOPPED);

  SERVICE_STATUS_PROCESS stopped = svc.WaitFor(SERVICE_STOPPED);
  EXPECT_EQ(stopped.dwWin32ExitCode, 42u);
  EXPECT_EQ(stopped.dwProcessId, 0u);
  // The dispatcher returned only after STOPPED; give the process its exit.
  while (!Exited(running.dwProcessId)) Sleep(10);
  const std::string log = ReadLog(L"LifeSvc");
  EXPECT_NE(log.find("without window 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("control 4\ncontrol 200\ncontrol 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("dispatcher returned\n"), std::string::npos) << log;
  EXPECT_FALSE(ControlService(svc.handle, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_TRUE(DeleteService(svc.handle));
}

TEST(ServiceLifecycle, SignalsBecomeControls) {
  struct Case {
    const wchar_t* name;
    int signal;
    const char* control;
  } cases[] = {{L"TermSvc", SIGTERM, "control 1\n"}, {L"IntSvc", SIGINT, "control 1\n"},
               {L"PwrSvc", SIGPWR, "control 5\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::Utf8FromWide(c.name));
    Service svc;
    ASSERT_NE(Install(svc, c.name, "exit=7"), nullptr);
    ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
    const SERVICE_STATUS_PROCESS running = svc.WaitFor(SERVICE_RUNNING);
    ASSERT_EQ(::kill(static_cast<pid_t>(running.dwProcessId), c.signal), 0);
    EXPECT_EQ(svc.WaitFor(SERVICE_STOPPED).dwWin32ExitCode, 7u);
    while (!Exited(running.dwProcessId)) Sleep(10);
    EXPECT_NE(ReadLog(c.name).find(c.control), std::string::npos) << ReadLog(c.name);
    EXPECT_TRUE(DeleteService(svc.handle));
  }
}

TEST(ServiceLifecycle, CrashedServiceReadsStoppedWithProcessAborted) {
  Service svc;
  ASSERT_NE(Install(svc, L"CrashSvc", "crash"), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  const SERVICE_STATUS_PROCESS s = svc.WaitFor(SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  // Stopped, so it may start again.
  EXPECT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  svc.WaitFor(SERVICE_STOPPED);
  EXPECT_TRUE(DeleteService(svc.handle));
}

// Killed with many threads, a process's first thread ends (and reads as a
// zombie) before the others, which still hold its descriptors: a service is
// not reported stopped, and so not started again beside its own remains,
// until its last thread has ended.
TEST(ServiceLifecycle, RunningUntilTheLastThreadHasEnded) {
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(hold[1]);
    pthread_t waiter;
    static int readEnd = hold[0];
    if (::pthread_create(&waiter, nullptr, [](void*) -> void* {
          char c;
          (void)::read(readEnd, &c, 1);  // until the parent closes its end
          ::_exit(0);
        }, nullptr) != 0)
      ::_exit(1);
    // The first thread ends, the process lives on (no unwinding through the
    // test framework, as pthread_exit would do).
    ::syscall(SYS_exit, 0);
  }
  ::close(hold[0]);
  // The first thread's own state: a zombie once it has ended.
  auto leaderEnded = [&] { return Exited(static_cast<DWORD>(child)); };
  for (int i = 0; i < 1000 && !leaderEnded(); ++i) Sleep(10);
  ASSERT_TRUE(leaderEnded());
  const SERVICE_STATUS running{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  ASSERT_TRUE(platform::service_detail::WriteStatus(L"LeaderEndedFirst", child, running));
  EXPECT_EQ(platform::service_detail::ReadStatus(L"LeaderEndedFirst").dwCurrentState, SERVICE_RUNNING);
  ::close(hold[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  const SERVICE_STATUS_PROCESS gone = platform::service_detail::ReadStatus(L"LeaderEndedFirst");
  EXPECT_EQ(gone.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(gone.dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  platform::service_detail::RemoveStatus(L"LeaderEndedFirst");
}

TEST(ServiceLifecycle, ControlNotAcceptedAndMissingProgram) {
  Service svc;
  ASSERT_NE(Install(svc, L"NoStopSvc", "nostop"), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  const SERVICE_STATUS_PROCESS running = svc.WaitFor(SERVICE_RUNNING);
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(svc.handle, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  ::kill(static_cast<pid_t>(running.dwProcessId), SIGKILL);
  EXPECT_EQ(svc.WaitFor(SERVICE_STOPPED).dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_TRUE(DeleteService(svc.handle));

  Service missing;
  missing.handle = CreateServiceW(missing.manager, L"MissingSvc", L"Missing", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  L"/nonexistent/program", nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(missing.handle, nullptr);
  EXPECT_FALSE(StartServiceW(missing.handle, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.Status().dwCurrentState, SERVICE_STOPPED);
  EXPECT_TRUE(DeleteService(missing.handle));
}

TEST(ServiceLifecycle, DeletedWhileRunningGoesWhenItStops) {
  Service svc;
  ASSERT_NE(Install(svc, L"DelSvc", ""), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  svc.WaitFor(SERVICE_RUNNING);
  ASSERT_TRUE(DeleteService(svc.handle));
  Service again;
  EXPECT_EQ(Install(again, L"DelSvc", ""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  Service opened;
  opened.handle = OpenServiceW(opened.manager, L"DelSvc", SERVICE_ALL_ACCESS);
  ASSERT_NE(opened.handle, nullptr);
  EXPECT_FALSE(DeleteService(opened.handle));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(svc.handle, SERVICE_CONTROL_STOP, &s));
  svc.WaitFor(SERVICE_STOPPED);
  EXPECT_EQ(OpenServiceW(svc.manager, L"DelSvc", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceProcess, DispatcherRefusesAProcessNotStartedAsAService) {
  std::string out;
  const int rc = RunCommand(std::string("env -u VANTREL_SERVICE_NAME -u INVOCATION_ID ") + TEST_SERVICE_PATH + " </dev/null",
                     &out);
  EXPECT_EQ(rc, 3);
  EXPECT_NE(out.find("dispatcher failed 1063"), std::string::npos) << out;
  EXPECT_NE(out.find("without window 1"), std::string::npos) << out;
}

TEST(ServiceTool, InstallStartQueryStopDelete) {
  const std::string vnsc = VNSC_PATH;
  std::string out;
  EXPECT_EQ(RunCommand(vnsc + " install ToolSvc 'Tool Service' " + TEST_SERVICE_PATH + " exit=5", &out), 0) << out;
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " install ToolSvc 'Tool Service' " + TEST_SERVICE_PATH, &out), 1);
  EXPECT_NE(out.find("error 1073"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(vnsc + " start ToolSvc"), 0);
  Service svc;
  svc.handle = OpenServiceW(svc.manager, L"ToolSvc", SERVICE_ALL_ACCESS);
  ASSERT_NE(svc.handle, nullptr);
  svc.WaitFor(SERVICE_RUNNING);
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " query ToolSvc", &out), 0);
  EXPECT_NE(out.find("STATE: 4 RUNNING\n"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " start ToolSvc", &out), 1);
  EXPECT_NE(out.find("error 1056"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " stop ToolSvc", &out), 0) << out;
  EXPECT_NE(out.find("exit code 5"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " query ToolSvc", &out), 0);
  EXPECT_NE(out.find("STATE: 1 STOPPED\nCONTROLS_ACCEPTED: 0x0\nWIN32_EXIT_CODE: 5\n"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(vnsc + " delete ToolSvc"), 0);
  out.clear();
  EXPECT_EQ(RunCommand(vnsc + " query ToolSvc", &out), 1);
  EXPECT_NE(out.find("error 1060"), std::string::npos) << out;
  EXPECT_NE(out.find("the service database is the registry " + platform::RegistryFileName()), std::string::npos)
      << out;
  EXPECT_EQ(RunCommand(vnsc + " bogus"), 2);
}

}  // namespace

namespace {

using platform::testing::PipePeerScript;

// The control pipe's socket, as a client outside the platform layer sees it.
std::string ControlSocket(const std::wstring& service) {
  const std::wstring name = platform::service_detail::ControlPipeName(service);
  return platform::PipeSocketPath(name.c_str());
}

// Runs the Python peer on the control pipe, as nobody when asked; its output.
std::string Peer(bool asNobody, const std::string& socket, const std::string& steps) {
  const std::string as = asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  // The system interpreter: a per-user one may not be reachable by nobody.
  std::string out;
  RunCommand(as + "/usr/bin/python3 " + PipePeerScript() + " '" + socket + "' " + steps, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

pid_t SpawnSilentPeer(const std::string& socket) {
  const std::string& script = PipePeerScript();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3",
             script.c_str(), socket.c_str(), "sleep:120", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

}  // namespace

// Controls sent from outside by another user: only interrogate is served for
// a user who is not an administrator; the service keeps running.
TEST(ServiceControlFromOutside, OnlyAdministratorsMayControlAService) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  ::chmod(std::getenv("VANTREL_PIPE_DIR"), 0755);
  Service svc;
  ASSERT_NE(Install(svc, L"GuardedSvc", ""), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  svc.WaitFor(SERVICE_RUNNING);
  const std::string socket = ControlSocket(L"GuardedSvc");
  struct Case {
    const char* who;
    bool asNobody;
    DWORD control;
    DWORD answer;
  } cases[] = {
      {"nobody stops", true, SERVICE_CONTROL_STOP, ERROR_ACCESS_DENIED},
      {"nobody shuts down", true, SERVICE_CONTROL_SHUTDOWN, ERROR_ACCESS_DENIED},
      {"nobody sends a code of the service's own", true, 200, ERROR_ACCESS_DENIED},
      {"nobody interrogates", true, SERVICE_CONTROL_INTERROGATE, ERROR_SUCCESS},
      {"root interrogates", false, SERVICE_CONTROL_INTERROGATE, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who);
    EXPECT_EQ(Peer(c.asNobody, socket, "sendu32:" + std::to_string(c.control) + " recvu32"),
              "recvu32 " + std::to_string(c.answer));
    EXPECT_EQ(svc.Status().dwCurrentState, SERVICE_RUNNING);
  }
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(svc.handle, SERVICE_CONTROL_STOP, &s));
  svc.WaitFor(SERVICE_STOPPED);
  EXPECT_TRUE(DeleteService(svc.handle));
}

// Clients that connect to the control pipe and send nothing, more of them
// than it has instances, do not keep the control manager out: the stop goes
// through and the service stops.
TEST(ServiceControlFromOutside, SilentClientsDoNotBlockAStop) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  ::chmod(std::getenv("VANTREL_PIPE_DIR"), 0755);
  Service svc;
  ASSERT_NE(Install(svc, L"CrowdedSvc", ""), nullptr);
  ASSERT_TRUE(StartServiceW(svc.handle, 0, nullptr));
  svc.WaitFor(SERVICE_RUNNING);
  const std::string socket = ControlSocket(L"CrowdedSvc");
  std::vector<pid_t> silent;
  for (int i = 0; i < 8; ++i) silent.push_back(SpawnSilentPeer(socket));
  Sleep(500);  // let them connect first
  std::string out;
  EXPECT_EQ(RunCommand(std::string(VNSC_PATH) + " stop CrowdedSvc", &out), 0) << out;
  svc.WaitFor(SERVICE_STOPPED);
  for (pid_t pid : silent) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  EXPECT_TRUE(DeleteService(svc.handle));
}
