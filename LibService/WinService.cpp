// WinService.cpp - the application object's service control and command line.
//
// InitInstance picks the mode from how the process was started and from the
// command line: as a service (the dispatcher runs ServiceMain), "debug" (the
// service runs in this process while the service dialog is open), "install"
// and "remove" (through the service control manager), or only the service
// dialog. Status reports of ServiceMain and the control handler go through
// ReportStatus, one at a time.
#include "LibService/WinService.h"

#include "platform/messages/messages.h"

#include "LibService/ServiceDialog.h"
#include "LibService/ServiceLogger.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <clocale>
#include <cstdio>
#include <unistd.h>

namespace {

CWinApp* g_app = nullptr;

// The text of string 10000: shown when COM cannot be set up for the dialog.
constexpr wchar_t kComFailedText[] = L"The service program could not initialise COM for its window.";

void ShowMessageBox(const std::wstring& text) {
  std::fprintf(stderr, "%s\n", platform::Utf8FromWide(text).c_str());
}

// Closes a service control handle however the scope is left.
struct ScHandle {
  SC_HANDLE h = nullptr;
  ~ScHandle() {
    if (h != nullptr) CloseServiceHandle(h);
  }
};

}  // namespace

// --- CCommandLineInfo, CWinApp ---

void CCommandLineInfo::ParseParam(const wchar_t* param, BOOL flag, BOOL last) {
  if (!flag && m_strFileName.empty()) m_strFileName = param;
  ParseLast(last);
}

void CCommandLineInfo::ParseLast(BOOL last) {
  if (last && m_nShellCommand == FileNew && !m_strFileName.empty()) m_nShellCommand = FileOpen;
}

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

void CWinApp::ParseCommandLine(CCommandLineInfo& info) const {
  for (std::size_t i = 0; i < m_args.size(); ++i) {
    const std::wstring& arg = m_args[i];
    const bool flag = !arg.empty() && (arg[0] == L'-' || arg[0] == L'/');
    const bool last = i + 1 == m_args.size();
    info.ParseParam(flag ? arg.c_str() + 1 : arg.c_str(), flag, last);
  }
}

CWinApp* AfxGetApp() { return g_app; }

int VantrelAppMain(int argc, char** argv) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 1;
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(platform::WideFromUtf8(argv[i]));
  app->SetCommandLine(std::move(args));
  app->InitInstance();
  return app->ExitInstance();
}

DWORD ServiceExitCode(const CStatus& status, DWORD* serviceSpecific) {
  if (serviceSpecific != nullptr) *serviceSpecific = 0;
  const CError* error = status.GetError();
  if (error == nullptr) return NO_ERROR;
  if (error->GetCode() != 0) return static_cast<DWORD>(error->GetCode());
  // A message error carries no Win32 code; the service still ends as failed.
  if (serviceSpecific != nullptr) *serviceSpecific = error->GetMessageId();
  return ERROR_SERVICE_SPECIFIC_ERROR;
}

// --- CWinService ---

std::atomic<CWinService*> CWinService::s_service{nullptr};

void CWinService::CServiceCommandLineInfo::ParseParam(const wchar_t* param, BOOL flag, BOOL last) {
  if (!flag) {
    CCommandLineInfo::ParseParam(param, flag, last);
    return;
  }
  if (platform::EqualsNoCase(param, L"install")) {
    m_runAsService = false;
    m_nShellCommand = AppRegister;
    ParseLast(last);
  } else if (platform::EqualsNoCase(param, L"remove")) {
    m_runAsService = false;
    m_nShellCommand = AppUnregister;
    ParseLast(last);
  } else if (platform::EqualsNoCase(param, L"debug")) {
    m_runAsService = false;
    m_debug = true;
    ParseLast(last);
  } else {
    const int before = m_nShellCommand;
    CCommandLineInfo::ParseParam(param, flag, last);
    if (m_nShellCommand == before) {
      m_nShellCommand = FileNothing;
      if (m_unrecognisedFlag.empty()) m_unrecognisedFlag = param;
    }
  }
}

CWinService::CWinService(std::wstring serviceName, std::wstring displayName)
    : m_serviceName(std::move(serviceName)), m_displayName(std::move(displayName)) {
  m_serviceNameBuffer.assign(m_serviceName.begin(), m_serviceName.end());
  m_serviceNameBuffer.push_back(L'\0');
  m_serviceTable[0] = {m_serviceNameBuffer.data(), m_serviceMain};
  m_serviceTable[1] = {nullptr, nullptr};
  s_service.store(this);
}

CWinService::~CWinService() {
  CWinService* self = this;
  s_service.compare_exchange_strong(self, nullptr);
}

BOOL CWinService::InitInstance() {
  SetCrashEventSource(m_displayName);
  if (!CWinApp::InitInstance()) return FALSE;
  // The application's own apartment (what OLE initialisation gives a windowed program).
  const HRESULT ole = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(ole)) {
    ShowMessageBox(kComFailedText);
    m_exitStatus = 1;
    return FALSE;
  }
  m_oleInitialised = true;

  CServiceCommandLineInfo info;
  if (platform::StartedWithoutWindow()) info.m_runAsService = true;
  ParseCommandLine(info);

  CStatus status;
  bool dialogs = !info.m_runAsService;
  if (info.m_debug) status = Start(false);
  if (info.m_runAsService) {
    status = Start(true);
    // Not started by the control manager after all: what a person started
    // without a terminal gets the dialog path rather than a silent exit.
    if (const CError* error = status.GetError();
        error != nullptr && error->GetCode() == static_cast<int>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)) {
      status = CStatus();
      dialogs = true;
    } else if (status.IsOK() && GetStatus().dwWin32ExitCode != NO_ERROR) {
      m_exitStatus = 1;  // the service failed: so a supervisor of the process sees it too
    }
  }
  if (dialogs) {
    switch (info.m_nShellCommand) {
      case CCommandLineInfo::FileNew:
      case CCommandLineInfo::RestartByRestartManager: {
        const HRESULT hr = CoInitialize(nullptr);
        if (FAILED(hr)) {
          ShowMessageBox(kComFailedText);
          break;
        }
        RunServiceDialog();
        if (info.m_debug) {
          Stop();
          WaitForExit(INFINITE);
        }
        CoUninitialize();
        break;
      }
      case CCommandLineInfo::AppRegister:
        status = Install();
        break;
      case CCommandLineInfo::AppUnregister:
        status = Remove();
        break;
      default:
        RunInvalidParameterDialog(info.m_unrecognisedFlag);
        m_exitStatus = 2;
        break;
    }
  }
  if (!status.IsOK()) {
    ReportError(*status.GetError());
    m_exitStatus = 1;
  }
  return FALSE;
}

int CWinService::ExitInstance() {
  if (m_oleInitialised) CoUninitialize();
  m_oleInitialised = false;
  return CWinApp::ExitInstance();
}

CStatus CWinService::Start(bool asService) {
  std::setlocale(LC_ALL, "");
  CStatus status = RegisterEventLog(m_displayName);
  if (status.IsOK()) status = StartServiceLogger(m_serviceName, m_displayName);
  if (status.IsOK()) {
    if (asService) {
      if (!StartServiceCtrlDispatcherW(m_serviceTable)) status = CStatus(NewLastError(CSourcePos{__FILE__, 96}));
    } else {
      status = OnStart();
    }
  }
  return status;
}

CStatus CWinService::Install() {
  const std::wstring path = platform::ExecutablePath();
  if (path.empty()) return CStatus(NewLastError(CSourcePos{__FILE__, 51}));
  ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (manager.h == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 77}));
  // A path with a space would be split into program and arguments (and could
  // start another program); quoted, it is one path.
  const std::wstring image = path.find(L' ') != std::wstring::npos ? L"\"" + path + L"\"" : path;
  ScHandle service{CreateServiceW(manager.h, m_serviceName.c_str(), m_displayName.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                  nullptr, nullptr, L"", nullptr, nullptr)};
  if (service.h == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 73}));
  return CStatus();
}

CStatus CWinService::Remove(DWORD maxWaitSteps) {
  ScHandle manager{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (manager.h == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 137}));
  ScHandle service{OpenServiceW(manager.h, m_serviceName.c_str(), SERVICE_ALL_ACCESS)};
  if (service.h == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 133}));
  SERVICE_STATUS status{};
  if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
    // Bounded: a service that never leaves STOP_PENDING does not hold "remove" forever.
    for (DWORD step = 0; step < maxWaitSteps; ++step) {
      Sleep(1000);
      if (!QueryServiceStatus(service.h, &status) || status.dwCurrentState != SERVICE_STOP_PENDING) break;
    }
  }
  if (!DeleteService(service.h)) return CStatus(NewLastError(CSourcePos{__FILE__, 129}));
  return CStatus();
}

DWORD CWinService::OnDeviceEvent(DWORD eventType, LPVOID eventData) {
  (void)eventType;
  (void)eventData;
  return NO_ERROR;
}

SERVICE_STATUS CWinService::GetStatus() {
  std::lock_guard<std::mutex> lock(m_statusLock);
  return m_status;
}

void CWinService::ReportStatus(DWORD state, DWORD controls, DWORD win32ExitCode, DWORD specificExitCode,
                               CheckPoint checkPoint, const DWORD* waitHint) {
  std::lock_guard<std::mutex> lock(m_statusLock);
  ReportStatusLocked(state, controls, win32ExitCode, specificExitCode, checkPoint, waitHint);
}

void CWinService::ReportStatusLocked(DWORD state, DWORD controls, DWORD win32ExitCode, DWORD specificExitCode,
                                     CheckPoint checkPoint, const DWORD* waitHint) {
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = state;
  m_status.dwControlsAccepted = controls;
  m_status.dwWin32ExitCode = win32ExitCode;
  m_status.dwServiceSpecificExitCode = specificExitCode;
  if (checkPoint == CheckPoint::kZero) m_status.dwCheckPoint = 0;
  if (checkPoint == CheckPoint::kNext) m_status.dwCheckPoint = m_checkPoint++;
  if (waitHint != nullptr) m_status.dwWaitHint = *waitHint;
  SetServiceStatus(m_statusHandle, &m_status);
  OnStatusReported(m_status);
}

void CWinService::ServiceMain(DWORD argc, LPWSTR* argv) {
  (void)argc;
  (void)argv;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(m_serviceName.c_str(), m_handler, nullptr);
  if (handle == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_statusHandle = handle;
  }
  const DWORD startHint = 3000;
  const DWORD noHint = 0;
  ReportStatus(SERVICE_START_PENDING, 0, NO_ERROR, 0, CheckPoint::kNext, &startHint);
  ReportStatus(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0, CheckPoint::kZero, &noHint);
  const CStatus status = OnStart();
  DWORD specific = 0;
  DWORD exitCode;
  if (!status.IsOK()) {
    exitCode = ServiceExitCode(status, &specific);
  } else {
    exitCode = WaitForExit(INFINITE);
    specific = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? GetServiceSpecificExitCode() : 0;
  }
  ReportStatus(SERVICE_STOPPED, 0, exitCode, specific, CheckPoint::kZero, &noHint);
}

DWORD CWinService::HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  (void)context;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      {
        // After STOPPED nothing is reported any more: the stop has happened.
        std::lock_guard<std::mutex> lock(m_statusLock);
        if (m_status.dwCurrentState == SERVICE_STOPPED) return NO_ERROR;
        ReportStatusLocked(SERVICE_STOP_PENDING, 0, NO_ERROR, 0, CheckPoint::kNext, nullptr);
      }
      Stop();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard<std::mutex> lock(m_statusLock);
      const DWORD state = m_status.dwCurrentState;
      const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
      // A stopped service keeps the exit code it ended with.
      const DWORD exitCode = state == SERVICE_STOPPED ? m_status.dwWin32ExitCode : NO_ERROR;
      const DWORD specific = state == SERVICE_STOPPED ? m_status.dwServiceSpecificExitCode : 0;
      ReportStatusLocked(state, state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0, exitCode,
                         specific, settled ? CheckPoint::kZero : CheckPoint::kNext, nullptr);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_DEVICEEVENT:
      return OnDeviceEvent(eventType, eventData);
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void CWinService::StaticServiceMain(DWORD argc, LPWSTR* argv) {
  if (CWinService* service = s_service.load()) service->ServiceMain(argc, argv);
}

DWORD CWinService::StaticHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  CWinService* service = s_service.load();
  if (service == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  return service->HandlerEx(control, eventType, eventData, context);
}

void CWinService::RunServiceDialog() {
  CServiceDlg dialog(m_serviceName);
  dialog.DoModal();
}

void CWinService::RunInvalidParameterDialog(const std::wstring& flag) {
  CInvalidParameterDlg dialog(flag);
  dialog.DoModal();
}
