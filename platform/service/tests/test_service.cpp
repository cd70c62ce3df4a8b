// test_service.cpp - a tiny service program for the service tests.
//
// Arguments (any order): exit=N reports N as the Win32 exit code when it
// stops; hold=PATH stays START_PENDING until the file PATH exists; crash
// aborts once it reports RUNNING; nostop never accepts STOP. It prints one
// line per control it gets ("control N") and whether it has a window, so a
// test can read its log file.

#include "platform/service/service.h"
#include "platform/sync/sync.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Set by ServiceMain, read by the handler on the dispatcher thread.
std::atomic<SERVICE_STATUS_HANDLE> g_handle{nullptr};
SERVICE_STATUS g_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
HANDLE g_stop = nullptr;
DWORD g_exitCode = 0;
std::string g_hold;
bool g_crash = false;
bool g_noStop = false;

// Reports come from ServiceMain and from the handler's thread; the lock
// guards g_status.
std::mutex g_statusLock;

void Report(DWORD state, DWORD accepted, DWORD exitCode) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwWin32ExitCode = exitCode;
  SetServiceStatus(g_handle, &g_status);
}

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  std::printf("control %u\n", control);
  std::fflush(stdout);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0, 0);
      SetEvent(g_stop);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard<std::mutex> lock(g_statusLock);
      SetServiceStatus(g_handle, &g_status);
      return NO_ERROR;
    }
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void ServiceMain(DWORD, LPWSTR* argv) {
  g_handle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  if (g_handle == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.dwWaitHint = 3000;
  }
  Report(SERVICE_START_PENDING, 0, 0);
  while (!g_hold.empty() && ::access(g_hold.c_str(), F_OK) != 0) Sleep(10);
  {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.dwWaitHint = 0;
  }
  Report(SERVICE_RUNNING, g_noStop ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
  if (g_crash) std::abort();
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED, 0, g_exitCode);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "exit=", 5) == 0) g_exitCode = static_cast<DWORD>(std::atoi(argv[i] + 5));
    if (std::strncmp(argv[i], "hold=", 5) == 0) g_hold = argv[i] + 5;
    if (std::strcmp(argv[i], "crash") == 0) g_crash = true;
    if (std::strcmp(argv[i], "nostop") == 0) g_noStop = true;
  }
  std::printf("without window %d\n", platform::StartedWithoutWindow() ? 1 : 0);
  std::fflush(stdout);
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"VnTestService";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    std::printf("dispatcher failed %u\n", GetLastError());
    return 3;
  }
  std::printf("dispatcher returned\n");
  return 0;
}
