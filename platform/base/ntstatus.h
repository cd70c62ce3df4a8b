// ntstatus.h - NT status values and their translation to Win32 codes.
//
// Peers that speak the administration pipe format (the archive's main
// service, the service programs themselves) answer failures as NT statuses;
// a client turns them into the Win32 codes its callers test with
// RtlNtStatusToDosError, as Windows does. The table lives here once.
#pragma once

#include "platform/base/types.h"

// NT statuses this system sends or receives.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING_NT = 0x00000103;  // STATUS_PENDING is the pipe layer's OVERLAPPED value
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005u);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001u);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002u);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008u);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010u);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022u);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023u);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034u);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = static_cast<NTSTATUS>(0xC000003Au);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = static_cast<NTSTATUS>(0xC0000043u);
constexpr NTSTATUS STATUS_PIPE_BUSY = static_cast<NTSTATUS>(0xC00000AEu);
constexpr NTSTATUS STATUS_IO_TIMEOUT = static_cast<NTSTATUS>(0xC00000B5u);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BBu);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120u);
constexpr NTSTATUS STATUS_PIPE_BROKEN = static_cast<NTSTATUS>(0xC000014Bu);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225u);

// The Win32 code of an NT status: the table's entry; the code itself for a
// status of facility NTWIN32 (0xC007xxxx, a wrapped Win32 code);
// ERROR_MR_MID_NOT_FOUND (317) for any status the table does not know, as
// Windows answers it.
DWORD RtlNtStatusToDosError(NTSTATUS status);
