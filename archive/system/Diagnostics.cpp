// Diagnostics.cpp - injected failures and the event report log.
//
// The event log's place is read from its settings on every call, so a test
// can move the log while the library stays loaded. Injected failures are
// read once and again after their key changed (see InjectionSettings).
#include "archive/system/Diagnostics.h"

#include "archive/system/Volumes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vnarchive {

namespace {

// The values under the Fail key, read once and again only after a change
// the key's watch reports: a change of the key itself, or, while it does not
// exist, a key created below the nearest key above it that does. The
// registry signals this process's own writes before they return, so a
// failure set by a test is seen by its next call; another process's within
// the registry's poll interval.
class InjectionSettings {
 public:
  InjectionSettings() : changed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  InjectionSettings(const InjectionSettings&) = delete;
  InjectionSettings& operator=(const InjectionSettings&) = delete;

  HRESULT Value(const std::wstring& valueName) {
    const std::wstring folded = platform::ToUpper(valueName);
    {
      platform::SrwSharedLock hold(lock_);
      if (Current()) return Find(folded);
    }
    platform::SrwExclusiveLock hold(lock_);
    if (!Current()) Reload();
    if (!watching_) return ReadOnce(valueName);
    return Find(folded);
  }

 private:
  // Held shared or exclusive.
  bool Current() const {
    return watching_ && pid_ == GetCurrentProcessId() && WaitForSingleObject(changed_, 0) == WAIT_TIMEOUT;
  }

  HRESULT Find(const std::wstring& folded) const {
    const auto found = values_.find(folded);
    return found == values_.end() ? S_OK : found->second;
  }

  // Held exclusive. A watch that cannot be set leaves watching_ false: every
  // call then reads the registry itself.
  void Reload() {
    values_.clear();
    watching_ = false;
    pid_ = GetCurrentProcessId();
    const std::wstring keyName = std::wstring(kArchiveKey) + L"\\Fail";
    // Two rounds cover the key created between the failed open and the
    // watch set on the key above it.
    for (int round = 0; round < 2; ++round) {
      // Closing the watched key signals its watch: close before the reset.
      watched_.reset();
      ResetEvent(changed_);
      platform::RegKey key;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ | KEY_NOTIFY, key.put()) == ERROR_SUCCESS) {
        if (RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed_,
                                    TRUE) != ERROR_SUCCESS)
          return;
        // Read after the watch is set, so that no change falls between them.
        watching_ = ReadValues(key.get());
        watched_ = std::move(key);
        return;
      }
      if (!WatchCreation(keyName)) return;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        watching_ = true;
        return;
      }
    }
  }

  // Watches the nearest existing key above keyName for new subkeys.
  bool WatchCreation(const std::wstring& keyName) {
    std::wstring above = keyName;
    for (;;) {
      const std::size_t cut = above.rfind(L'\\');
      above = cut == std::wstring::npos ? std::wstring() : above.substr(0, cut);
      platform::RegKey key;
      const LSTATUS opened = above.empty() ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_NOTIFY, key.put())
                                           : RegOpenKeyExW(HKEY_LOCAL_MACHINE, above.c_str(), 0, KEY_NOTIFY, key.put());
      if (opened == ERROR_SUCCESS) {
        if (RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_NAME, changed_, TRUE) != ERROR_SUCCESS)
          return false;
        watched_ = std::move(key);
        return true;
      }
      if (above.empty()) return false;
    }
  }

  bool ReadValues(HKEY key) {
    DWORD longestName = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
      return false;
    std::vector<wchar_t> name(longestName + 1);
    for (DWORD index = 0;; ++index) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD type = REG_NONE;
      DWORD value = 0;
      DWORD size = sizeof value;
      const LSTATUS rc =
          RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
      if (rc == ERROR_NO_MORE_ITEMS) return true;
      // A value too long for a DWORD is not an injected failure; a longer
      // name than the key reported means it changed meanwhile (read again).
      if (rc == ERROR_MORE_DATA && nameLength < name.size()) continue;
      if (rc != ERROR_SUCCESS) return false;
      if (type == REG_DWORD && size == sizeof value)
        values_[platform::ToUpper(std::wstring_view(name.data(), nameLength))] = static_cast<HRESULT>(value);
    }
  }

  static HRESULT ReadOnce(const std::wstring& valueName) {
    platform::RegKey key;
    const std::wstring keyName = std::wstring(kArchiveKey) + L"\\Fail";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return S_OK;
    DWORD value = 0;
    if (platform::RegReadDword(key.get(), valueName, value) != ERROR_SUCCESS) return S_OK;
    return static_cast<HRESULT>(value);
  }

  SRWLOCK lock_ = SRWLOCK_INIT;  // guards everything below
  HANDLE changed_;               // manual reset, set by the watch
  platform::RegKey watched_;
  bool watching_ = false;
  DWORD pid_ = 0;  // a forked child reads again: the watch is its parent's
  std::unordered_map<std::wstring, HRESULT> values_;  // by upper-cased name
};

HRESULT InjectedValue(const std::wstring& valueName) {
  // Never destroyed: archive objects may be called during process exit.
  static InjectionSettings* const settings = new InjectionSettings();
  return settings->Value(valueName);
}

}  // namespace

HRESULT InjectedFailure(const wchar_t* interfaceName, int slot) {
  return InjectedValue(platform::FormatW(L"%s.%d", interfaceName, slot));
}

HRESULT InjectedFailure(const wchar_t* interfaceName, int slot, const std::wstring& keyString) {
  return InjectedValue(platform::FormatW(L"%s.%d:%s", interfaceName, slot, keyString.c_str()));
}

std::filesystem::path EventLogPath() {
  if (const char* env = std::getenv("VANTREL_ARCHIVE_EVENTS"); env != nullptr && *env != '\0')
    return std::filesystem::path(env) / "events.log";
  platform::RegKey key;
  std::wstring folder;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArchiveKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS &&
      platform::RegReadString(key.get(), L"Event Folder", folder) == ERROR_SUCCESS && !folder.empty())
    return std::filesystem::path(platform::Utf8FromWide(folder)) / "events.log";
  std::error_code ec;
  return std::filesystem::temp_directory_path(ec) / "events.log";
}

namespace {

// Serialises appends so that lines of concurrent reports never interleave.
std::mutex g_logLock;

std::string Escaped(const std::wstring& text) {
  std::string out;
  for (char c : platform::Utf8FromWide(text)) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

// Appends one line to a log file; a Win32 code.
HRESULT AppendLine(const std::filesystem::path& path, const std::string& line) {
  std::lock_guard<std::mutex> lock(g_logLock);
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return HRESULT_FROM_WIN32(platform::Win32FromErrnoForPath(errno, path.string()));
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed ? S_OK : HRESULT_FROM_WIN32(ERROR_CANTWRITE);
}

std::string Stamp(bool milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  return milliseconds ? platform::FormatA("%s.%03ldZ", stamp, now.tv_nsec / 1000000) : std::string(stamp) + "Z";
}

}  // namespace

HRESULT RecordEvent(DWORD eventId, const std::vector<std::wstring>& strings) {
  std::string line = platform::FormatA("%s\t0x%08X", Stamp(false).c_str(), eventId);
  for (const auto& s : strings) line += "\t" + Escaped(s);
  line += "\n";
  return AppendLine(EventLogPath(), line);
}

std::filesystem::path PinLogPath() { return EventLogPath().parent_path() / "pins.log"; }

void RecordPin(bool release, const std::wstring& keyString, const std::wstring& pinName, const std::wstring& value,
               HRESULT result) {
  const std::string line = platform::FormatA("%s\t%u\t%u\t%s\t%s\t%s\t%s\t0x%08X\n", Stamp(true).c_str(),
                                             GetCurrentProcessId(), GetCurrentThreadId(), release ? "release" : "pin",
                                             Escaped(keyString).c_str(), Escaped(pinName).c_str(),
                                             Escaped(value).c_str(), static_cast<DWORD>(result));
  AppendLine(PinLogPath(), line);
}

}  // namespace vnarchive
