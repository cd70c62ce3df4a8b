// privileges.h - access tokens and privileges in the Windows shape.
//
// A Linux process has capabilities where a Windows token has privileges. The
// known privilege names map to the capability that grants the same power
// (SeBackupPrivilege -> CAP_DAC_READ_SEARCH, SeDebugPrivilege -> CAP_SYS_PTRACE,
// ...); a privilege counts as held when that capability is in the process's
// permitted set. Enabling one that is not held answers success with
// GetLastError ERROR_NOT_ALL_ASSIGNED, as Windows does. Threads have no token
// of their own (OpenThreadToken: ERROR_NO_TOKEN); the process token is a
// handle to close with CloseHandle.
#pragma once

#include "platform/base/types.h"

constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};

// Pseudo handles of the calling thread and process.
HANDLE GetCurrentThread();
HANDLE GetCurrentProcess();

BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// System name must be null or empty. ERROR_NO_SUCH_PRIVILEGE for an unknown name.
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, LUID* luid);
// Only the first privileges->PrivilegeCount entries are read.
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
