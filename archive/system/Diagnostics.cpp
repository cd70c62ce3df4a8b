// Diagnostics.cpp - injected failures and the event report log.
//
// Both are read from their settings on every call, so a test can switch a
// failure on and off, or move the log, while the library stays loaded.
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

namespace vnarchive {

namespace {

HRESULT InjectedValue(const std::wstring& valueName) {
  platform::RegKey key;
  const std::wstring keyName = std::wstring(kArchiveKey) + L"\\Fail";
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return S_OK;
  DWORD value = 0;
  if (platform::RegReadDword(key.get(), valueName, value) != ERROR_SUCCESS) return S_OK;
  return static_cast<HRESULT>(value);
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
