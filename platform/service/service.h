// service.h - the service control manager and the service side, in the Windows shape.
//
// The service database is HKLM\SYSTEM\CurrentControlSet\Services\NAME, with
// the values Windows keeps there (Type, Start, ErrorControl, ImagePath,
// DisplayName, ObjectName, Description, ...). StartServiceW launches the
// ImagePath program detached (new session, stdin from /dev/null, output to
// $VANTREL_LOG_DIR/NAME.log) with VANTREL_SERVICE_NAME set; its dispatcher
// publishes every SetServiceStatus in a status file that any process reads
// back, and takes controls on the pipe "\\.\pipe\Vantrel.ServiceControl.NAME".
// SIGTERM and SIGINT arrive as SERVICE_CONTROL_STOP, SIGPWR as
// SERVICE_CONTROL_SHUTDOWN. Under systemd (INVOCATION_ID set) the same
// program runs unchanged; see README.md.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/types.h"

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

// Added for the services this facility stands in for.

constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_DEVICEEVENT = 11;

constexpr DWORD SC_STATUS_PROCESS_INFO = 0;
constexpr DWORD SERVICE_CONFIG_DESCRIPTION = 1;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

struct SERVICE_DESCRIPTIONW {
  LPWSTR lpDescription;
};

using LPSERVICE_MAIN_FUNCTIONW = void (*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
using LPHANDLER_FUNCTION_EX = DWORD (*)(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

struct SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// --- Control manager side (any process) ---
// Machine and database names must be null or empty (local machine only).
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD access);
// ERROR_SERVICE_EXISTS when the key exists, ERROR_SERVICE_MARKED_FOR_DELETE
// while a deleted service still runs. Tag ids, dependencies and passwords are
// stored but not acted on.
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                         LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password);
// ERROR_SERVICE_DOES_NOT_EXIST when there is no such key.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access);
BOOL CloseServiceHandle(SC_HANDLE handle);
// Removes the key at once when the service is not running; a running one is
// marked (value "DeleteFlag") and removed when it reports SERVICE_STOPPED.
// ERROR_SERVICE_MARKED_FOR_DELETE on a second call.
BOOL DeleteService(SC_HANDLE service);
// Launches ImagePath (environment variables expanded, split at spaces
// outside double quotes) with argv appended; the status reads
// START_PENDING at once. ERROR_SERVICE_ALREADY_RUNNING,
// ERROR_SERVICE_MARKED_FOR_DELETE, or the launch failure's code
// (ERROR_FILE_NOT_FOUND for a missing program). Disabled services start like
// demand-start ones.
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
// Delivers control to the service's handler and returns the status after it
// ran. ERROR_SERVICE_NOT_ACTIVE when it is not running,
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL when it does not accept the control (or
// has no dispatcher yet), the handler's own non-zero answer otherwise.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
// The last status the service published. A process that died without
// reporting SERVICE_STOPPED reads as STOPPED with ERROR_PROCESS_ABORTED.
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufferSize, DWORD* bytesNeeded);
// SERVICE_CONFIG_DESCRIPTION only.
BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info);

// --- Service process side ---
// Runs the first table entry's ServiceMain on a thread of its own and serves
// controls on the calling thread (the handler runs there) until the service
// reports SERVICE_STOPPED and ServiceMain has returned.
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started as
// a service (neither VANTREL_SERVICE_NAME nor systemd's INVOCATION_ID set).
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

namespace platform {

// Whether the process was started without a window: its standard input is
// not a terminal (as under StartServiceW and systemd).
bool StartedWithoutWindow();

// Waits until a line is entered on inputFd (a terminal or any readable
// descriptor), the input ends, or Ctrl-C arrives: what closes a console
// dialog. Ctrl-C does not end the process while the wait runs.
void WaitForConsoleClose(int inputFd);

}  // namespace platform
