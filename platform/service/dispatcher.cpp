// dispatcher.cpp - the service process's side: dispatcher, control handler, status reports.
//
// StartServiceCtrlDispatcherW runs ServiceMain on a thread of its own and
// serves controls on the calling thread, as the Windows dispatcher does:
// controls from ControlService arrive on the control pipe, and SIGTERM,
// SIGINT and SIGPWR are turned into STOP and SHUTDOWN. The signal handler
// only records the signal and writes to an eventfd; the handler function is
// always called from the dispatcher's loop, never inside the signal handler.
// A stop signal that comes while the service does not accept STOP (still
// starting) is kept and delivered once a status report accepts it.

#include "platform/service/service_internal.h"
#include "platform/base/text.h"
#include "platform/pipe/pipe.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace platform {
namespace {

// The one service of this process. mutex guards every field; the handler
// functions are called without it (they call SetServiceStatus).
struct ServiceState {
  std::mutex mutex;
  bool dispatching = false;
  std::wstring name;       // as installed (the key name)
  std::wstring tableName;  // as the program's table gives it
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPHANDLER_FUNCTION handler = nullptr;
  LPVOID context = nullptr;
  bool registered = false;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  HANDLE stopped = nullptr;  // manual event, set by the SERVICE_STOPPED report
};

ServiceState& State() {
  static auto* state = new ServiceState();
  return *state;
}

// Set by the signal handler, cleared by the dispatcher loop once delivered
// (lock-free atomics, so safe in a signal handler).
std::atomic<int> g_stopSignal{0};
std::atomic<int> g_shutdownSignal{0};
std::atomic<int> g_signalFd{-1};

void OnSignal(int signal) {
  const int saved = errno;
  if (signal == SIGPWR) {
    g_shutdownSignal = 1;
  } else {
    g_stopSignal = 1;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalFd, &one, sizeof one);
  errno = saved;
}

void WakeDispatcher() {
  if (g_signalFd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalFd, &one, sizeof one);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool Accepts(const SERVICE_STATUS& s, DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    case SERVICE_CONTROL_SHUTDOWN:
      return (s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return (s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    default:
      return true;  // interrogate, and codes of the service's own
  }
}

// Calls the handler for control; the answer is the handler's code, or
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL when the status does not accept it.
DWORD Deliver(DWORD control) {
  ServiceState& st = State();
  LPHANDLER_FUNCTION_EX handlerEx;
  LPHANDLER_FUNCTION handler;
  LPVOID context;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.registered || st.status.dwCurrentState == SERVICE_STOPPED || !Accepts(st.status, control)) {
      return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    handlerEx = st.handlerEx;
    handler = st.handler;
    context = st.context;
  }
  if (handlerEx != nullptr) return handlerEx(control, 0, nullptr, context);
  handler(control);
  return NO_ERROR;
}

// Delivers recorded signals that the service now accepts.
void DeliverSignals() {
  if (g_shutdownSignal != 0 && Deliver(SERVICE_CONTROL_SHUTDOWN) != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    g_shutdownSignal = 0;
    g_stopSignal = 0;  // shutdown stops the service as well
  }
  if (g_stopSignal != 0 && Deliver(SERVICE_CONTROL_STOP) != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) g_stopSignal = 0;
}

void DrainSignals() {
  std::uint64_t v;
  [[maybe_unused]] ssize_t n = ::read(g_signalFd, &v, sizeof v);
}

struct MainArgs {
  LPSERVICE_MAIN_FUNCTIONW main;
  std::wstring name;
};

DWORD RunServiceMain(LPVOID parameter) {
  auto* args = static_cast<MainArgs*>(parameter);
  std::vector<wchar_t> name(args->name.begin(), args->name.end());
  name.push_back(L'\0');
  LPWSTR argv[] = {name.data(), nullptr};
  args->main(1, argv);
  return 0;
}


// Instances of the control pipe, so that a client that connects and stays
// silent does not shut out the control manager; such a client is dropped
// after kControlReadTimeoutMs.
constexpr DWORD kControlInstances = 4;
constexpr DWORD kControlReadTimeoutMs = 3000;

// One instance of the control pipe and where its client stands. Touched only
// by the dispatcher's thread.
struct ControlInstance {
  enum class State { Idle, Connecting, Reading };
  UniqueHandle pipe;
  UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED ov{};
  State state = State::Idle;
  DWORD control = 0;
  ULONGLONG deadline = 0;
};

// Answers the control that was read: only an administrator (uid 0 or the
// configured group) may send anything but INTERROGATE, as the control
// manager's access rights allow.
void AnswerControl(ControlInstance& c) {
  bool administrator = false;
  const DWORD peer = PeerIsAdministrator(c.pipe.get(), administrator);
  DWORD reply[8];
  if (peer != ERROR_SUCCESS) {
    reply[0] = peer;
  } else if (!administrator && c.control != SERVICE_CONTROL_INTERROGATE) {
    reply[0] = ERROR_ACCESS_DENIED;
  } else {
    reply[0] = Deliver(c.control);
  }
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::memcpy(reply + 1, &State().status, sizeof(SERVICE_STATUS));
  }
  // The writer waits for the reply, so it is taken up at once.
  WriteFile(c.pipe.get(), reply, sizeof reply, nullptr, nullptr);
  FlushFileBuffers(c.pipe.get());
}

void Release(ControlInstance& c) {
  if (c.state != ControlInstance::State::Idle) {
    CancelIoEx(c.pipe.get(), &c.ov);
    DWORD ignored = 0;
    GetOverlappedResult(c.pipe.get(), &c.ov, &ignored, TRUE);
  }
  DisconnectNamedPipe(c.pipe.get());
  c.state = ControlInstance::State::Idle;
}

void StartRead(ControlInstance& c) {
  ResetEvent(c.event.get());
  c.ov = OVERLAPPED{};
  c.ov.hEvent = c.event.get();
  DWORD got = 0;
  if (ReadFile(c.pipe.get(), &c.control, sizeof c.control, &got, &c.ov)) {
    c.state = ControlInstance::State::Idle;
    if (got == sizeof c.control) AnswerControl(c);
    Release(c);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    c.state = ControlInstance::State::Reading;
    c.deadline = GetTickCount64() + kControlReadTimeoutMs;
  } else {
    c.state = ControlInstance::State::Idle;
    Release(c);
  }
}

// Makes an idle instance wait for its next client; false when it could not.
bool StartConnect(ControlInstance& c) {
  ResetEvent(c.event.get());
  c.ov = OVERLAPPED{};
  c.ov.hEvent = c.event.get();
  if (ConnectNamedPipe(c.pipe.get(), &c.ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
    StartRead(c);
    return true;
  }
  if (GetLastError() == ERROR_IO_PENDING) {
    c.state = ControlInstance::State::Connecting;
    return true;
  }
  DisconnectNamedPipe(c.pipe.get());  // the client left already
  return false;
}

// The instance's operation completed: a client arrived, or its control did.
void Advance(ControlInstance& c) {
  DWORD got = 0;
  const BOOL done = GetOverlappedResult(c.pipe.get(), &c.ov, &got, TRUE);
  const bool reading = c.state == ControlInstance::State::Reading;
  c.state = ControlInstance::State::Idle;
  if (!done) {
    DisconnectNamedPipe(c.pipe.get());
  } else if (!reading) {
    StartRead(c);
  } else {
    if (got == sizeof c.control) AnswerControl(c);
    Release(c);
  }
}

// Drops clients whose control is overdue; the time to the next deadline.
DWORD ExpireSilent(std::vector<ControlInstance>& instances) {
  const ULONGLONG now = GetTickCount64();
  DWORD next = INFINITE;
  for (ControlInstance& c : instances) {
    if (c.state != ControlInstance::State::Reading) continue;
    if (c.deadline <= now) {
      Release(c);
    } else {
      next = std::min<DWORD>(next, static_cast<DWORD>(c.deadline - now));
    }
  }
  return next;
}

HANDLE CreateControlInstance(const std::wstring& pipeName) {
  return CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kControlInstances, 64, 64, 0,
                          nullptr);
}

// The dispatcher's loop: serves controls on every instance and signals until
// the service reports STOPPED (or ServiceMain ends without a handler).
void ServeControls(UniqueHandle first, const std::wstring& pipeName, HANDLE signals, HANDLE mainThread) {
  ServiceState& st = State();
  std::vector<ControlInstance> instances(kControlInstances);
  instances[0].pipe = std::move(first);
  for (DWORD i = 1; i < kControlInstances; ++i) instances[i].pipe.reset(CreateControlInstance(pipeName));
  std::erase_if(instances, [](const ControlInstance& c) { return !c.pipe || !c.event; });
  bool mainRunning = true;
  for (;;) {
    for (ControlInstance& c : instances) {
      // A client that leaves at once is retried on the next pass, not here.
      if (c.state == ControlInstance::State::Idle) StartConnect(c);
    }
    const DWORD timeout = ExpireSilent(instances);
    std::vector<HANDLE> waits{st.stopped, signals};
    for (ControlInstance& c : instances) waits.push_back(c.event.get());
    if (mainRunning) waits.push_back(mainThread);
    const DWORD w = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
    if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) break;
    if (w == WAIT_TIMEOUT) continue;
    const DWORD index = w - WAIT_OBJECT_0;
    if (index == 1) {
      DrainSignals();
      DeliverSignals();
    } else if (index - 2 < instances.size()) {
      if (instances[index - 2].state != ControlInstance::State::Idle) Advance(instances[index - 2]);
    } else {
      // ServiceMain returned without reporting STOPPED: go on serving the
      // handler it registered, or end when it never registered one.
      mainRunning = false;
      std::lock_guard<std::mutex> lock(st.mutex);
      if (!st.registered) break;
    }
  }
  for (ControlInstance& c : instances) Release(c);
}

void InstallSignals(bool install) {
  struct sigaction sa {};
  sa.sa_handler = install ? OnSignal : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : {SIGTERM, SIGINT, SIGPWR}) ::sigaction(s, &sa, nullptr);
}

}  // namespace

bool StartedWithoutWindow() { return ::isatty(STDIN_FILENO) == 0; }

}  // namespace platform

using platform::Fail;
using platform::State;
using platform::UniqueHandle;

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // Started by StartServiceW (which names the installed service) or by
  // systemd; anything else has no control manager to talk to.
  const char* installed = std::getenv("VANTREL_SERVICE_NAME");
  const char* systemd = std::getenv("INVOCATION_ID");
  std::wstring name;
  if (installed != nullptr && *installed != '\0') {
    name = platform::WideFromUtf8(installed);
  } else if (systemd != nullptr && *systemd != '\0') {
    name = table[0].lpServiceName;
  } else {
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  platform::ServiceState& st = State();
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.dispatching) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    st.dispatching = true;
    st.name = name;
    st.tableName = table[0].lpServiceName;
    st.stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  platform::g_signalFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  UniqueHandle signals(platform::CreateFdWaitHandle(platform::g_signalFd, POLLIN));
  const std::wstring pipeName = platform::service_detail::ControlPipeName(name);
  UniqueHandle pipe(platform::CreateControlInstance(pipeName));
  if (!pipe) {
    pipe.release();
    // The control pipe is served by the one process that runs the service.
    const DWORD error = GetLastError();
    return Fail(error == ERROR_ACCESS_DENIED ? ERROR_SERVICE_ALREADY_RUNNING : error);
  }
  platform::InstallSignals(true);

  platform::MainArgs args{table[0].lpServiceProc, name};
  UniqueHandle mainThread(CreateThread(nullptr, 0, platform::RunServiceMain, &args, 0, nullptr));
  if (!mainThread) return FALSE;
  platform::ServeControls(std::move(pipe), pipeName, signals.get(), mainThread.get());
  WaitForSingleObject(mainThread.get(), INFINITE);
  platform::InstallSignals(false);
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
  platform::ServiceState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (!st.dispatching || serviceName == nullptr ||
      !(platform::EqualsNoCase(serviceName, st.name) || platform::EqualsNoCase(serviceName, st.tableName))) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  st.handlerEx = handler;
  st.context = context;
  st.registered = true;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(&st);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Registered through the Ex form with a stand-in, then switched to the
  // plain handler, so both share one check of the name.
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerExW(
      serviceName, [](DWORD, DWORD, LPVOID, LPVOID) -> DWORD { return NO_ERROR; }, nullptr);
  if (h == nullptr) return nullptr;
  platform::ServiceState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  st.handlerEx = nullptr;
  st.handler = handler;
  return h;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  platform::ServiceState& st = State();
  if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&st)) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
    return Fail(ERROR_INVALID_DATA);
  }
  std::wstring name;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.status = *status;
    name = st.name;
    if (!platform::service_detail::WriteStatus(name, ::getpid(), *status)) return Fail(ERROR_CANTWRITE);
    if (status->dwCurrentState == SERVICE_STOPPED) SetEvent(st.stopped);
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    platform::service_detail::RemoveIfMarked(name);
  } else if (platform::g_stopSignal != 0 || platform::g_shutdownSignal != 0) {
    platform::WakeDispatcher();  // a kept signal may be accepted now
  }
  return TRUE;
}
