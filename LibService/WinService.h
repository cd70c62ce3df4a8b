// WinService.h - the application object of a service program and its service control.
//
// A service program has one global application object (a CServiceApp<T>,
// ServiceApp.h). Its CWinService part reads the command line ("install",
// "remove", "debug" after "/" or "-", any letter case), installs and removes
// the service through the service control manager, runs the dispatcher,
// ServiceMain and the control handler with their status reports, and shows
// the two terminal dialogs. CWinApp and CCommandLineInfo are the small part
// of an application framework that the programs need: a main that calls
// InitInstance and ExitInstance (VANTREL_SERVICE_MAIN), and the command-line
// walk.
//
// Locking: m_statusLock guards m_status, m_checkPoint and the reports made
// from them (ServiceMain's thread and the control handler's thread both
// report); the handle and the table are written before the dispatcher runs.
#pragma once

#include "LibService/Status.h"
#include "platform/base/types.h"
#include "platform/service/service.h"
#include "trace/TraceLogger.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct SID;

// The command-line walk: every parameter, flags without their "/" or "-".
class CCommandLineInfo {
 public:
  enum {
    FileNew,
    FileOpen,
    FilePrint,
    FilePrintTo,
    FileDDE,
    AppRegister,
    AppUnregister,
    RestartByRestartManager,
    FileNothing = -1
  };
  virtual ~CCommandLineInfo() = default;
  // A flag is recognised by no one here; the first plain parameter is the
  // file name, which turns "no command" into FileOpen after the last one.
  virtual void ParseParam(const wchar_t* param, BOOL flag, BOOL last);

  int m_nShellCommand = FileNew;
  std::wstring m_strFileName;

 protected:
  void ParseLast(BOOL last);
};

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance() { return TRUE; }
  // The process's exit status.
  virtual int ExitInstance() { return m_exitStatus; }

  // Walks the parameters given to SetCommandLine.
  void ParseCommandLine(CCommandLineInfo& info) const;
  void SetCommandLine(std::vector<std::wstring> args) { m_args = std::move(args); }

 protected:
  std::vector<std::wstring> m_args;  // without the program name
  int m_exitStatus = 0;
};

// The one application object (null before it is built and after it is gone).
CWinApp* AfxGetApp();

// The body of a program's main: the command line, InitInstance, ExitInstance.
int VantrelAppMain(int argc, char** argv);
#define VANTREL_SERVICE_MAIN() \
  int main(int argc, char** argv) { return VantrelAppMain(argc, argv); }

// A service's Win32 exit code for the status that ended it: 0 for success,
// the error's GetCode when it has one, else ERROR_SERVICE_SPECIFIC_ERROR
// (1066) with the error's message id as the service-specific code.
DWORD ServiceExitCode(const CStatus& status, DWORD* serviceSpecific);

// How long "remove" waits for a stopping service: steps of 1000 ms.
constexpr DWORD kRemoveStopWaitSteps = 30;

class CWinService : public CWinApp, public CTraceLoggable {
 public:
  class CServiceCommandLineInfo : public CCommandLineInfo {
   public:
    void ParseParam(const wchar_t* param, BOOL flag, BOOL last) override;

    bool m_runAsService = false;
    bool m_debug = false;
    std::wstring m_unrecognisedFlag;  // the first one only
  };

  CWinService(std::wstring serviceName, std::wstring displayName);
  ~CWinService() override;

  BOOL InitInstance() override;
  int ExitInstance() override;

  virtual CStatus OnStart() = 0;
  virtual void Stop() = 0;
  virtual DWORD WaitForExit(DWORD timeout) = 0;
  virtual DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData);
  virtual void ServiceMain(DWORD argc, LPWSTR* argv);
  virtual DWORD HandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
  virtual CStatus OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators) = 0;

  // The common start of both modes: the event source, the service logger,
  // then the dispatcher (as a service) or OnStart (in this process).
  CStatus Start(bool asService);

  // The shell commands "install" and "remove".
  CStatus Install();
  // A running service is stopped first, waiting while it reports
  // STOP_PENDING for at most maxWaitSteps steps of 1000 ms.
  CStatus Remove(DWORD maxWaitSteps = kRemoveStopWaitSteps);

  const std::wstring& GetServiceName() const { return m_serviceName; }
  const std::wstring& GetDisplayName() const { return m_displayName; }
  SERVICE_STATUS GetStatus();
  // The service-specific exit code that goes with the exit code last stored.
  DWORD GetServiceSpecificExitCode() const { return m_serviceSpecificExitCode.load(); }

  static CWinService* GetService() { return s_service.load(); }

 protected:
  // The dialogs shown from a terminal; tests replace them.
  virtual void RunServiceDialog();
  virtual void RunInvalidParameterDialog(const std::wstring& flag);
  // Called with m_statusLock held after every status report (tests record them).
  virtual void OnStatusReported(const SERVICE_STATUS& status) { (void)status; }

  void SetServiceSpecificExitCode(DWORD code) { m_serviceSpecificExitCode.store(code); }

 private:
  enum class CheckPoint { kZero, kNext, kKeep };
  // Writes the status record and reports it, under m_statusLock.
  void ReportStatus(DWORD state, DWORD controls, DWORD win32ExitCode, DWORD specificExitCode, CheckPoint checkPoint,
                    const DWORD* waitHint);
  void ReportStatusLocked(DWORD state, DWORD controls, DWORD win32ExitCode, DWORD specificExitCode,
                          CheckPoint checkPoint, const DWORD* waitHint);  // m_statusLock held

  static void StaticServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD StaticHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

  std::wstring m_serviceName;
  std::wstring m_displayName;
  std::mutex m_statusLock;
  SERVICE_STATUS m_status{};
  SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
  std::vector<wchar_t> m_serviceNameBuffer;
  SERVICE_TABLE_ENTRYW m_serviceTable[2]{};
  LPSERVICE_MAIN_FUNCTIONW m_serviceMain = &StaticServiceMain;
  LPHANDLER_FUNCTION_EX m_handler = &StaticHandlerEx;
  DWORD m_checkPoint = 1;
  std::atomic<DWORD> m_serviceSpecificExitCode{0};
  bool m_oleInitialised = false;  // InitInstance's apartment, ended by ExitInstance

  static std::atomic<CWinService*> s_service;
};
