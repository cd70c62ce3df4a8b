// vnsc.cpp - the service control tool: install, start, stop, query, delete.
//
// A thin command line over the control manager calls of service.h, so that
// a person (or a script) can drive services the way the programs' own
// install and remove code does. Failures print the Win32 code and its text
// and exit with 1; wrong usage exits with 2.

#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/service/service.h"
#include "platform/sync/sync.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kStopWaitMs = 30000;  // how long "stop" waits for STOPPED

int Usage() {
  std::fprintf(stderr,
               "usage: vnsc install NAME \"DISPLAY NAME\" PATH [ARGS...]\n"
               "       vnsc start NAME [ARGS...]\n"
               "       vnsc stop NAME\n"
               "       vnsc query NAME\n"
               "       vnsc delete NAME\n");
  return 2;
}

int Failed(const char* what, DWORD code) {
  std::fprintf(stderr, "vnsc: %s failed: error %u: %s", what, code,
               platform::Utf8FromWide(platform::SystemMessageText(code)).c_str());
  if (platform::SystemMessageText(code).empty()) std::fprintf(stderr, "\n");
  // The service database is the registry file: say which one was asked.
  if (code == ERROR_SERVICE_DOES_NOT_EXIST)
    std::fprintf(stderr, "vnsc: the service database is the registry %s (VANTREL_REGISTRY names another)\n",
                 platform::RegistryFileName().c_str());
  return 1;
}

const char* StateName(DWORD state) {
  static const char* const names[] = {"?",       "STOPPED",          "START_PENDING",  "STOP_PENDING",
                                      "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  return state < 8 ? names[state] : "?";
}

// Quotes an argument holding spaces, as ImagePath keeps them.
std::wstring Quoted(const std::string& arg) {
  std::wstring w = platform::WideFromUtf8(arg);
  return w.find(L' ') == std::wstring::npos ? w : L"\"" + w + L"\"";
}

struct Handles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ~Handles() {
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const std::wstring name = platform::WideFromUtf8(argv[2]);
  Handles h;
  h.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (h.manager == nullptr) return Failed("OpenSCManager", GetLastError());

  if (command == "install") {
    if (argc < 5) return Usage();
    std::wstring image = Quoted(argv[4]);
    for (int i = 5; i < argc; ++i) image += L" " + Quoted(argv[i]);
    const std::wstring display = platform::WideFromUtf8(argv[3]);
    h.service = CreateServiceW(h.manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                               image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (h.service == nullptr) return Failed("CreateService", GetLastError());
    std::printf("installed %s\n", argv[2]);
    return 0;
  }

  h.service = OpenServiceW(h.manager, name.c_str(), SERVICE_ALL_ACCESS);
  if (h.service == nullptr) return Failed("OpenService", GetLastError());

  if (command == "start") {
    std::vector<std::wstring> args;
    for (int i = 3; i < argc; ++i) args.push_back(platform::WideFromUtf8(argv[i]));
    std::vector<LPCWSTR> pointers;
    for (const auto& a : args) pointers.push_back(a.c_str());
    if (!StartServiceW(h.service, static_cast<DWORD>(pointers.size()), pointers.data())) {
      return Failed("StartService", GetLastError());
    }
    std::printf("started %s\n", argv[2]);
    return 0;
  }
  if (command == "stop") {
    SERVICE_STATUS s{};
    if (!ControlService(h.service, SERVICE_CONTROL_STOP, &s)) return Failed("ControlService", GetLastError());
    const ULONGLONG until = GetTickCount64() + kStopWaitMs;
    while (QueryServiceStatus(h.service, &s) && s.dwCurrentState != SERVICE_STOPPED) {
      if (GetTickCount64() >= until) return Failed("stop", ERROR_SERVICE_REQUEST_TIMEOUT);
      Sleep(100);
    }
    std::printf("stopped %s (exit code %u, service exit code %u)\n", argv[2], s.dwWin32ExitCode,
                s.dwServiceSpecificExitCode);
    return 0;
  }
  if (command == "query") {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(h.service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
      return Failed("QueryServiceStatusEx", GetLastError());
    }
    std::printf(
        "SERVICE_NAME: %s\nSTATE: %u %s\nCONTROLS_ACCEPTED: 0x%x\nWIN32_EXIT_CODE: %u\nSERVICE_EXIT_CODE: %u\n"
        "CHECKPOINT: %u\nWAIT_HINT: %u\nPID: %u\n",
        argv[2], s.dwCurrentState, StateName(s.dwCurrentState), s.dwControlsAccepted, s.dwWin32ExitCode,
        s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint, s.dwProcessId);
    return 0;
  }
  if (command == "delete") {
    if (!DeleteService(h.service)) return Failed("DeleteService", GetLastError());
    std::printf("deleted %s\n", argv[2]);
    return 0;
  }
  return Usage();
}
