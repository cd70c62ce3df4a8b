// privileges.cpp - privileges as Linux capabilities.
//
// The token is a plain kernel object; whether a privilege is held is read from
// the process's permitted capability set each time, so a process that drops
// capabilities sees it at once.
#include "platform/crash/privileges.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/sync/sync.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace {

struct PrivilegeName {
  const wchar_t* name;
  int capability;  // -1: held by every process (Windows gives it to everyone)
};

// The LUID of a privilege is its index here + 2 (Windows numbers from 2).
const PrivilegeName kPrivileges[] = {
    {L"SeCreateTokenPrivilege", CAP_SETUID},
    {L"SeAssignPrimaryTokenPrivilege", CAP_SETUID},
    {L"SeLockMemoryPrivilege", CAP_IPC_LOCK},
    {L"SeIncreaseQuotaPrivilege", CAP_SYS_RESOURCE},
    {L"SeMachineAccountPrivilege", CAP_SYS_ADMIN},
    {L"SeTcbPrivilege", CAP_SYS_ADMIN},
    {L"SeSecurityPrivilege", CAP_AUDIT_CONTROL},
    {L"SeTakeOwnershipPrivilege", CAP_CHOWN},
    {L"SeLoadDriverPrivilege", CAP_SYS_MODULE},
    {L"SeSystemProfilePrivilege", CAP_SYS_ADMIN},
    {L"SeSystemtimePrivilege", CAP_SYS_TIME},
    {L"SeProfileSingleProcessPrivilege", CAP_SYS_ADMIN},
    {L"SeIncreaseBasePriorityPrivilege", CAP_SYS_NICE},
    {L"SeCreatePagefilePrivilege", CAP_SYS_ADMIN},
    {L"SeCreatePermanentPrivilege", CAP_SYS_ADMIN},
    {L"SeBackupPrivilege", CAP_DAC_READ_SEARCH},
    {L"SeRestorePrivilege", CAP_DAC_OVERRIDE},
    {L"SeShutdownPrivilege", CAP_SYS_BOOT},
    {L"SeDebugPrivilege", CAP_SYS_PTRACE},
    {L"SeAuditPrivilege", CAP_AUDIT_WRITE},
    {L"SeSystemEnvironmentPrivilege", CAP_SYS_ADMIN},
    {L"SeChangeNotifyPrivilege", -1},
    {L"SeRemoteShutdownPrivilege", CAP_SYS_BOOT},
    {L"SeUndockPrivilege", CAP_SYS_ADMIN},
    {L"SeManageVolumePrivilege", CAP_SYS_ADMIN},
    {L"SeImpersonatePrivilege", CAP_SETUID},
    {L"SeCreateGlobalPrivilege", -1},
    {L"SeIncreaseWorkingSetPrivilege", -1},
    {L"SeTimeZonePrivilege", CAP_SYS_TIME},
    {L"SeCreateSymbolicLinkPrivilege", -1},
};
constexpr DWORD kFirstLuid = 2;

class Token : public platform::KernelObject {};

bool CapabilityPermitted(int capability) {
  if (capability < 0) return true;
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned word = static_cast<unsigned>(capability) / 32;
  const unsigned bit = static_cast<unsigned>(capability) % 32;
  return word < 2 && (data[word].permitted & (1u << bit)) != 0;
}

bool IsToken(HANDLE handle) { return dynamic_cast<Token*>(platform::ObjectFromHandle(handle)) != nullptr; }

}  // namespace

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL OpenThreadToken(HANDLE thread, DWORD /*access*/, BOOL /*openAsSelf*/, HANDLE* token) {
  if (thread != GetCurrentThread() || token == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = nullptr;
  SetLastError(ERROR_NO_TOKEN);
  return FALSE;
}

BOOL OpenProcessToken(HANDLE process, DWORD /*access*/, HANDLE* token) {
  if (process != GetCurrentProcess() || token == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *token = platform::MakeHandle(new Token);
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, LUID* luid) {
  if (systemName != nullptr && *systemName != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (name == nullptr || luid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (DWORD i = 0; i < sizeof kPrivileges / sizeof kPrivileges[0]; ++i) {
    if (platform::EqualsNoCase(kPrivileges[i].name, name)) {
      luid->LowPart = kFirstLuid + i;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD /*bufferLength*/,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  if (!IsToken(token)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (previousState != nullptr || returnLength != nullptr) {
    // Previous states are not kept; nobody here asks for them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (disableAll) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (newState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD count = sizeof kPrivileges / sizeof kPrivileges[0];
  bool allAssigned = true;
  for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
    const LUID& luid = newState->Privileges[i].Luid;
    if (luid.HighPart != 0 || luid.LowPart < kFirstLuid || luid.LowPart - kFirstLuid >= count) {
      SetLastError(ERROR_NO_SUCH_PRIVILEGE);
      return FALSE;
    }
    const bool enabling = (newState->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    if (enabling && !CapabilityPermitted(kPrivileges[luid.LowPart - kFirstLuid].capability)) allAssigned = false;
  }
  SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
