// VNServiceVolumes.cpp - the main-service client's fallback to the archive's
// volumes: finding them, sending control codes to the first one, and the
// volume poller that stands in for pushed notifications.
#include "VNService/Extensions/Taskweave/VNServiceInterfaceRep.h"

#include "platform/pipe/ServiceAPI.h"
#include "platform/pipe/pipe.h"
#include "platform/volume/volume.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr DWORD kFileSystemRecordSize = 264;  // name (256 bytes), u32, u32 flags
constexpr DWORD kFileSystemNameUnits = 128;   // UTF-16 units of the name field
constexpr DWORD kFileSystemFlagsOffset = 260;
constexpr DWORD kArchiveVolumeFlag = 0x1;
constexpr wchar_t kArchiveFileSystemName[] = L"Vantrel kernel file system";
constexpr DWORD kPollOutput = 4096;
constexpr DWORD kLostCursorRecordSize = 16;

// The name field holds the wanted name with its terminator, read within the
// field's 128 units and nothing beyond.
bool IsArchiveFileSystem(const BYTE* record) {
  const std::size_t length = std::wcslen(kArchiveFileSystemName);
  for (std::size_t i = 0; i <= length && i < kFileSystemNameUnits; ++i) {
    const WORD unit = static_cast<WORD>(record[2 * i] | (record[2 * i + 1] << 8));
    if (unit != (i < length ? static_cast<WORD>(kArchiveFileSystemName[i]) : 0)) return false;
  }
  return length < kFileSystemNameUnits;
}

// The answer of one fixed drive: ERROR_SUCCESS with archive set when it runs
// the archive's file system, else the open or control error.
DWORD ProbeDrive(const wchar_t* root, bool& archive) {
  archive = false;
  HANDLE volume = OpenVolumeRootW(root, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY);
  if (volume == INVALID_HANDLE_VALUE) return GetLastError();
  BYTE record[kFileSystemRecordSize] = {};
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(volume, VN_CONTROL_FILE_SYSTEM, nullptr, 0, record, sizeof record, &returned, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(volume);
  if (error != ERROR_SUCCESS) return error;
  archive = returned == sizeof record && IsArchiveFileSystem(record) &&
            (platform::LoadLe32(record + kFileSystemFlagsOffset) & kArchiveVolumeFlag) != 0;
  return ERROR_SUCCESS;
}

}  // namespace

using CRep = CVNServiceInterfaceImpl::CRep;

// --- CDriveLetterFinder ---

std::size_t CDriveLetterFinder::GetCount() {
  if (!m_searched) Search();
  return m_roots.size();
}

std::wstring CDriveLetterFinder::GetRoot(std::size_t index) {
  if (!m_searched) Search();
  return index < m_roots.size() ? m_roots[index] : std::wstring();
}

void CDriveLetterFinder::Search() {
  m_searched = true;
  std::vector<wchar_t> drives(GetLogicalDriveStringsW(0, nullptr) + 1);
  const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(drives.size()), drives.data());
  if (length == 0 || length >= drives.size()) drives.assign(1, 0);
  DWORD firstError = ERROR_SUCCESS;
  for (const wchar_t* root = drives.data(); *root != 0; root += std::wcslen(root) + 1) {
    if (GetDriveTypeW(root) != DRIVE_FIXED) continue;
    bool archive = false;
    const DWORD error = ProbeDrive(root, archive);
    // A file system that does not know the request is simply not ours.
    if (error != ERROR_SUCCESS && error != ERROR_INVALID_FUNCTION && firstError == ERROR_SUCCESS) firstError = error;
    if (archive) m_roots.push_back(std::wstring(1, root[0]) + L":\\");
  }
  if (m_roots.empty()) SetLastError(firstError != ERROR_SUCCESS ? firstError : ERROR_NOT_FOUND);
}

// --- volume mode ---

// Called with the request lock held.
bool CRep::OpenVolumesLocked() {
  CDriveLetterFinder finder;
  for (std::size_t i = 0; i < finder.GetCount(); ++i) {
    const std::wstring root = finder.GetRoot(i);
    HANDLE volume = OpenVolumeRootW(root.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_POSIX_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY);
    if (volume == INVALID_HANDLE_VALUE) {
      CloseVolumesLocked();
      return false;
    }
    m_volumes.push_back({root, volume});
  }
  return !m_volumes.empty();
}

void CRep::CloseVolumesLocked() {
  for (const CVolume& v : m_volumes) {
    platform::CancelVolumeIo(v.handle);
    CloseHandle(v.handle);
  }
  m_volumes.clear();
}

bool CRep::VolumeIoControl(DWORD controlCode, const void* input, DWORD inputLength, void* output, DWORD outputCapacity,
                           DWORD* bytesReturned, bool foundNow) {
  platform::UniqueHandle volume;
  {
    platform::CriticalSectionLock hold(m_requestLock);
    if (m_volumes.empty()) {
      SetLastError(ERROR_NOT_READY);
      return false;
    }
    volume.reset(DuplicateHandleRef(m_volumes.front().handle));
  }
  if (DeviceIoControl(volume.get(), controlCode, input, inputLength, output, outputCapacity, bytesReturned, nullptr))
    return true;
  const DWORD error = GetLastError();
  if (foundNow) {
    // So that the next call looks for the volumes again.
    platform::CriticalSectionLock hold(m_requestLock);
    CloseVolumesLocked();
  }
  SetLastError(error);
  return false;
}

DWORD CRep::PollerEntry(LPVOID self) {
  CRep* rep = static_cast<CRep*>(self);
  {
    platform::CriticalSectionLock hold(rep->m_subscriptionLock);
    rep->m_pollerThreadId = GetCurrentThreadId();
  }
  rep->PollerLoop();
  rep->Release();
  return 0;
}

void CRep::PollerLoop() {
  ULONGLONG cursor = 0;
  DWORD backoff = m_options.reconnectFirstMs;
  std::vector<BYTE> output(kPollOutput);
  while (!m_stopping) {
    if (PollOnce(cursor, output)) {
      backoff = m_options.reconnectFirstMs;
      continue;
    }
    if (m_stopping) break;
    {
      platform::CriticalSectionLock hold(m_syncLock);
      if (!m_listBuilt || m_listBuilt->empty()) break;  // nothing left to hear
    }
    // A failed poll is tried again, later each time: nothing else would. The
    // volumes are found afresh, as their file system may have restarted.
    {
      platform::CriticalSectionLock hold(m_requestLock);
      CloseVolumesLocked();
    }
    if (WaitForSingleObject(m_stopEvent, backoff) == WAIT_OBJECT_0) break;
    backoff = std::min(backoff * 2, m_options.reconnectMaxMs);
  }
  const std::vector<BYTE> last = BuildList({}, cursor);
  IoControl(0, VN_CONTROL_SUBSCRIBE, last.data(), static_cast<DWORD>(last.size()), nullptr, 0, nullptr);
}

// One bounded long poll; false when it failed (a lost cursor is no failure:
// everyone hears of it and the next poll starts afresh).
bool CRep::PollOnce(ULONGLONG& cursor, std::vector<BYTE>& output) {
  std::vector<ULONGLONG> codes;
  {
    platform::CriticalSectionLock hold(m_syncLock);
    if (m_listBuilt) codes = *m_listBuilt;
  }
  if (codes.empty()) return false;
  const std::vector<BYTE> list = BuildList(codes, cursor);
  DWORD returned = 0;
  if (IoControl(0, VN_CONTROL_SUBSCRIBE, list.data(), static_cast<DWORD>(list.size()), output.data(),
                static_cast<DWORD>(output.size()), &returned)) {
    DeliverPolled(output.data(), std::min<DWORD>(returned, static_cast<DWORD>(output.size())), cursor);
    return true;
  }
  if (GetLastError() != ERROR_NOT_FOUND || cursor == 0) return false;
  BYTE lost[kLostCursorRecordSize] = {};
  platform::StoreLe32(lost, sizeof lost);
  DeliverToCode(0, lost, sizeof lost);
  cursor = 0;
  return true;
}

// Walks the records by their size fields; a size under the header or past
// the end ends the walk.
void CRep::DeliverPolled(const BYTE* data, DWORD length, ULONGLONG& cursor) {
  DWORD offset = 0;
  while (length - offset >= VN_NOTIFY_RECORD_HEADER) {
    const DWORD size = platform::LoadLe32(data + offset);
    if (size < VN_NOTIFY_RECORD_HEADER || size > length - offset) {
      platform::CriticalSectionLock hold(m_requestLock);
      ++m_counters.malformedMessages;
      return;
    }
    const DWORD type = platform::LoadLe32(data + offset + 4);
    const DWORD code = platform::LoadLe32(data + offset + 8);
    if (type == VN_NOTIFY_CURSOR) {
      cursor = code;
    } else {
      DeliverToCode(code, data + offset, size);
    }
    offset += size;
  }
}

// Calls, under the subscription lock, every live subscription of the code
// (every one for code 0) and those for every code.
void CRep::DeliverToCode(ULONGLONG code, const BYTE* record, DWORD size) {
  const DWORD type = platform::LoadLe32(record + 4);
  platform::CriticalSectionLock hold(m_subscriptionLock);
  for (const auto& [subscribed, subscription] : m_subscriptions) {
    if (code != 0 && subscribed != code && subscribed != VN_SUBSCRIBE_ALL) continue;
    if (m_liveContexts.count(subscription.context) == 0 || m_stopping) continue;
    subscription.callback(code == 0 ? subscribed : code, subscription.context, type, size, record);
  }
}
