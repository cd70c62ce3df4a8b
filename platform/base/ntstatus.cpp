// ntstatus.cpp - the one NT status -> Win32 table.
#include "platform/base/ntstatus.h"

#include "platform/base/errors.h"

#include <iterator>

namespace {

struct StatusMapping {
  NTSTATUS status;
  DWORD code;
};

constexpr StatusMapping kStatusTable[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING_NT, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_PIPE_BUSY, ERROR_PIPE_BUSY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_PIPE_BROKEN, ERROR_BROKEN_PIPE},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
};

constexpr DWORD kNtWin32FacilityMask = 0xFFFF0000u;
constexpr DWORD kNtWin32Facility = 0xC0070000u;

}  // namespace

DWORD RtlNtStatusToDosError(NTSTATUS status) {
  for (const StatusMapping& m : kStatusTable) {
    if (m.status == status) return m.code;
  }
  const DWORD raw = static_cast<DWORD>(status);
  if ((raw & kNtWin32FacilityMask) == kNtWin32Facility) return raw & 0xFFFFu;
  return ERROR_MR_MID_NOT_FOUND;
}
