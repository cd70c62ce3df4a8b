// eventlog.cpp - event sources, records in JSON-lines files, and syslog.
//
// A source handle remembers the log it belongs to and the message module
// named by the registration; records are appended with one write() each to a
// file opened O_APPEND, so writers in several processes never interleave
// within a record.
#include "platform/eventlog/eventlog.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "platform/fs/host.h"
#include "platform/sync/sync.h"

#define _TURN_OFF_PLATFORM_STRING
#include <cpprest/json.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace {

constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";

// What a source handle stands for. Immutable after RegisterEventSourceW.
class EventSource : public platform::KernelObject {
 public:
  std::wstring log;
  std::wstring source;
  std::wstring messageFile;  // expanded; may list several modules separated by ';'
};

// The log a source is registered under: the first log key that has a subkey
// of that name, else "Application", as Windows falls back.
void FindRegistration(const std::wstring& source, std::wstring& log, std::wstring& messageFile) {
  log = L"Application";
  messageFile.clear();
  platform::RegKey root;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_READ, root.put()) != ERROR_SUCCESS) return;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(root.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    platform::RegKey src;
    std::wstring sub = std::wstring(name) + L"\\" + source;
    if (RegOpenKeyExW(root.get(), sub.c_str(), 0, KEY_READ, src.put()) != ERROR_SUCCESS) continue;
    log = name;
    std::wstring file;
    if (platform::RegReadString(src.get(), L"EventMessageFile", file) == ERROR_SUCCESS)
      messageFile = platform::ExpandEnvironment(file);
    return;
  }
}

// The event's text from the first module of the list that has the id.
std::wstring FormatEventText(const std::wstring& moduleList, DWORD id, const std::vector<std::wstring>& strings) {
  std::size_t start = 0;
  while (start <= moduleList.size()) {
    std::size_t end = moduleList.find(L';', start);
    if (end == std::wstring::npos) end = moduleList.size();
    std::wstring path = moduleList.substr(start, end - start);
    start = end + 1;
    if (path.empty()) continue;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) continue;
    std::wstring text = platform::FormatModuleMessage(module, id, strings);
    FreeLibrary(module);
    if (!text.empty()) return text;
  }
  return {};
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_AUDIT_FAILURE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

std::string LogFilePath(const std::wstring& log) {
  std::string name = platform::Utf8FromWide(log);
  for (char& c : name)
    if (c == '/' || c == '\\') c = '_';
  return platform::EventLogDirectory() + "/" + name + ".jsonl";
}

utility::string_t ToJson(const std::wstring& s) { return platform::Utf8FromWide(s); }
std::wstring FromJson(const utility::string_t& s) { return platform::WideFromUtf8(s); }

}  // namespace

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (serverName != nullptr && serverName[0] != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // remote event logs do not exist here
    return nullptr;
  }
  if (sourceName == nullptr || sourceName[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* source = new EventSource;
  source->source = sourceName;
  FindRegistration(source->source, source->log, source->messageFile);
  return platform::MakeHandle(source);
}

BOOL DeregisterEventSource(HANDLE eventSource) {
  if (dynamic_cast<EventSource*>(platform::ObjectFromHandle(eventSource)) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseHandle(eventSource);
}

BOOL ReportEventW(HANDLE eventSource, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData) {
  auto* source = dynamic_cast<EventSource*>(platform::ObjectFromHandle(eventSource));
  if (source == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((numStrings != 0 && strings == nullptr) || (dataSize != 0 && rawData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::wstring> inserts;
  inserts.reserve(numStrings);
  for (WORD i = 0; i < numStrings; ++i) inserts.emplace_back(strings[i] != nullptr ? strings[i] : L"");
  std::wstring text = FormatEventText(source->messageFile, eventId, inserts);

  web::json::value record = web::json::value::object();
  record["time"] = web::json::value::number(static_cast<uint64_t>(platform::UnixTimeMs()));
  record["log"] = web::json::value::string(ToJson(source->log));
  record["source"] = web::json::value::string(ToJson(source->source));
  record["type"] = web::json::value::number(static_cast<int32_t>(type));
  record["category"] = web::json::value::number(static_cast<int32_t>(category));
  record["id"] = web::json::value::number(static_cast<uint32_t>(eventId));
  record["sid"] = web::json::value::string(userSid != nullptr ? ToJson(userSid->text) : std::string());
  web::json::value list = web::json::value::array(inserts.size());
  for (std::size_t i = 0; i < inserts.size(); ++i) list[i] = web::json::value::string(ToJson(inserts[i]));
  record["strings"] = list;
  record["data"] = web::json::value::string(platform::HexEncode(rawData, dataSize, platform::HexCase::Lower));
  record["text"] = web::json::value::string(ToJson(text));
  std::string line = record.serialize() + "\n";

  std::string dir = platform::EventLogDirectory();
  if (DWORD e = platform::CreateHostDirectoryTree(dir); e != ERROR_SUCCESS) {
    SetLastError(e);
    return FALSE;
  }
  int fd = open(LogFilePath(source->log).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    SetLastError(platform::Win32FromErrno(errno));
    return FALSE;
  }
  ssize_t written = write(fd, line.data(), line.size());
  int err = errno;
  close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    SetLastError(written < 0 ? platform::Win32FromErrno(err) : ERROR_DISK_FULL);
    return FALSE;
  }

  std::string ident = platform::Utf8FromWide(source->source);
  std::string message = platform::Utf8FromWide(text.empty() ? L"event " + std::to_wstring(eventId) : text);
  syslog(LOG_USER | SyslogPriority(type), "%s: %s", ident.c_str(), message.c_str());
  return TRUE;
}

namespace platform {

SID SidFromUid(unsigned uid) {
  if (uid == 0) return SID{L"S-1-5-18"};
  return SID{L"S-1-22-1-" + std::to_wstring(uid)};
}

SID CurrentUserSid() {
  PeerCredentials peer;
  if (GetImpersonatedCredentials(peer) == ERROR_SUCCESS) return SidFromUid(peer.uid);
  return SidFromUid(static_cast<unsigned>(geteuid()));
}

std::string EventLogDirectory() {
  const char* dir = std::getenv("VANTREL_LOG_DIR");
  std::string base = dir != nullptr && dir[0] != 0 ? dir : "/var/log/vantrel";
  return base + "/eventlog";
}

std::vector<EventRecord> ReadEventLog(const std::wstring& logName) {
  std::vector<EventRecord> records;
  std::ifstream in(LogFilePath(logName));
  std::string line;
  while (std::getline(in, line)) {
    try {
      web::json::value v = web::json::value::parse(line);
      EventRecord r;
      r.timeMs = v.at("time").as_number().to_uint64();
      r.log = FromJson(v.at("log").as_string());
      r.source = FromJson(v.at("source").as_string());
      r.type = static_cast<WORD>(v.at("type").as_integer());
      r.category = static_cast<WORD>(v.at("category").as_integer());
      r.eventId = v.at("id").as_number().to_uint32();
      r.sid = FromJson(v.at("sid").as_string());
      for (const auto& s : v.at("strings").as_array()) r.strings.push_back(FromJson(s.as_string()));
      const std::string hex = v.at("data").as_string();
      for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        r.data.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      r.text = FromJson(v.at("text").as_string());
      records.push_back(std::move(r));
    } catch (const std::exception&) {
      // A torn or foreign line is not a record; the rest of the log still reads.
    }
  }
  return records;
}

}  // namespace platform
