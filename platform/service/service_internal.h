// service_internal.h - what the control manager side and the service side share.
//
// Not part of the contract: the status file and the control pipe are the
// two ends' private agreement.
//
// Status file "$VANTREL_PIPE_DIR/service.NAME.status" (name lower-cased):
// one line "pid state controls win32 specific checkpoint waithint", replaced
// whole (write and rename) on every report. Control pipe
// "\\.\pipe\Vantrel.ServiceControl.NAME": a request is one message of a u32
// control code; the reply is one message of a u32 result followed by the
// seven u32 fields of SERVICE_STATUS after the handler ran.
#pragma once

#include "platform/service/service.h"

#include <sys/types.h>

#include <string>

namespace platform::service_detail {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

std::string StatusPath(const std::wstring& name);
std::wstring ControlPipeName(const std::wstring& name);

// Publishes status for the service name as reported by process pid.
bool WriteStatus(const std::wstring& name, pid_t pid, const SERVICE_STATUS& status);
// The last published status; STOPPED (exit code 0) when none was published,
// and STOPPED with ERROR_PROCESS_ABORTED when the publishing process died
// before it reported SERVICE_STOPPED. dwProcessId is 0 when stopped.
SERVICE_STATUS_PROCESS ReadStatus(const std::wstring& name);
void RemoveStatus(const std::wstring& name);

// Removes the service's key when DeleteService marked it.
void RemoveIfMarked(const std::wstring& name);

}  // namespace platform::service_detail
