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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace vnarchive {

HRESULT InjectedFailure(const wchar_t* interfaceName, int slot) {
  platform::RegKey key;
  const std::wstring keyName = std::wstring(kArchiveKey) + L"\\Fail";
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return S_OK;
  DWORD value = 0;
  if (platform::RegReadDword(key.get(), platform::FormatW(L"%s.%d", interfaceName, slot), value) != ERROR_SUCCESS)
    return S_OK;
  return static_cast<HRESULT>(value);
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

}  // namespace

HRESULT RecordEvent(DWORD eventId, const std::vector<std::wstring>& strings) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = platform::FormatA("%s\t0x%08X", stamp, eventId);
  for (const auto& s : strings) line += "\t" + Escaped(s);
  line += "\n";

  const std::filesystem::path path = EventLogPath();
  std::lock_guard<std::mutex> lock(g_logLock);
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return HRESULT_FROM_WIN32(platform::Win32FromErrnoForPath(errno, path.string()));
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed ? S_OK : HRESULT_FROM_WIN32(ERROR_CANTWRITE);
}

void RecordPinRelease(wchar_t drive, DWORD id0, const std::wstring& name, HRESULT result) {
  const char* path = std::getenv("VANTREL_ARCHIVE_PIN_LOG");
  if (path == nullptr || *path == '\0') return;
  const std::string line = platform::FormatA("%c-%u\t%s\t0x%08X\n", static_cast<int>(drive), id0,
                                             Escaped(name).c_str(), static_cast<DWORD>(result));
  std::lock_guard<std::mutex> lock(g_logLock);
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
}

}  // namespace vnarchive
