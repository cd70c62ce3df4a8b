// Status.cpp - the error kinds, CStatus, and writing events.
//
// The event message module is loaded twice: once by RegisterEventLog into
// g_EventLog (before other threads start), and once, on first need and under
// a once-flag, for insert counts and message texts from any thread.
#include "LibService/Status.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include <algorithm>
#include <mutex>
#include <new>

CEventLog g_EventLog;

namespace {

constexpr wchar_t kErrorMessageFormat[] = L"Error message %d";  // string resource 10005

// The error an allocation failure turns into, so that it never reads as
// success. Never deleted: CStatus recognises it.
class COutOfMemoryError final : public CErrorNumber {
 public:
  COutOfMemoryError() : CErrorNumber(CSourcePos{__FILE__, __LINE__}, MSG_SYSTEM_ERROR, ERROR_NOT_ENOUGH_MEMORY) {}
};
COutOfMemoryError g_outOfMemory;

void DeleteError(CError* error) {
  if (error != &g_outOfMemory) delete error;
}

template <class T, class... Args>
CError* Make(Args&&... args) {
  CError* e = new (std::nothrow) T(std::forward<Args>(args)...);
  return e != nullptr ? e : &g_outOfMemory;
}

// The module for insert counts and texts, loaded once for the process.
HMODULE MessageModule() {
  static std::once_flag once;
  static HMODULE module = nullptr;
  std::call_once(once, [] {
    std::wstring path = EventMessageModulePath();
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  });
  return module;
}

std::wstring FormatFromSystem(DWORD code) {
  LPWSTR text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring result = n != 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
  if (text != nullptr) LocalFree(text);
  return result;
}

// Every CR and LF removed, then one final '.' cut.
std::wstring OneLine(std::wstring text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text)
    if (c != L'\r' && c != L'\n') out += c;
  if (!out.empty() && out.back() == L'.') out.pop_back();
  return out;
}

WORD EventType(DWORD id, DWORD mask, bool& accepted) {
  static const WORD types[4] = {EVENTLOG_SUCCESS, EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,
                                EVENTLOG_ERROR_TYPE};
  static const DWORD bits[4] = {0x8, 0x8, 0x4, 0x2};
  DWORD severity = id >> 30;
  accepted = (mask & bits[severity]) != 0;
  return types[severity];
}

// The highest insert number of the id's text, or -1 when the module or the
// text is missing.
int InsertCountOrUnknown(DWORD messageId);

// The strings the id's text declares; all of them when there is no text to
// count (a missing text must not lose what the error says).
template <class TStrings>
std::vector<std::wstring> TakeInserts(DWORD messageId, const TStrings& strings, int skip = 0) {
  const int declared = InsertCountOrUnknown(messageId);
  const int wanted = declared < 0 ? static_cast<int>(strings.size()) : declared - skip;
  std::vector<std::wstring> out;
  for (const auto& s : strings) {
    if (static_cast<int>(out.size()) >= wanted) break;
    out.push_back(s);
  }
  return out;
}

}  // namespace

// --- CError ---

HRESULT CError::GetHRESULT() const {
  int code = GetCode();
  return code <= 0 ? static_cast<HRESULT>(code) : static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(code) & 0xFFFFu));
}

std::wstring CErrorNumber::GetInsert(int index) const {
  switch (index) {
    case 0: return platform::FormatW(L"%d", static_cast<int>(m_code));
    case 1: return GetText();
    case 2: return m_extra;
    default: return {};
  }
}

std::wstring CErrorNumber::GetText() const {
  std::wstring text = FormatFromSystem(m_code);
  return text.empty() ? platform::FormatW(kErrorMessageFormat, static_cast<int>(m_code)) : text;
}

std::wstring CErrorHRESULT::GetInsert(int index) const {
  switch (index) {
    case 0: return platform::FormatW(L"0x%8.8X", m_hr);
    case 1: return GetText();
    default: return {};
  }
}

std::wstring CErrorHRESULT::GetText() const {
  std::wstring text = FormatFromSystem(m_hr);
  return text.empty() ? platform::FormatW(L"HRESULT 0x%8.8X.", m_hr) : text;
}

std::wstring CErrorMessage::GetInsert(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < m_inserts.size() ? m_inserts[index] : std::wstring();
}

std::wstring CErrorMessage::GetText() const {
  std::wstring result;
  if (HMODULE module = MessageModule()) result = platform::FormatModuleMessage(module, m_messageId, m_inserts);
  return result.empty() ? platform::FormatW(kErrorMessageFormat, static_cast<int>(m_messageId)) : result;
}

// --- CStatus ---

CStatus::CStatus(CError* error) {
  if (error != nullptr) SetError(error);
}

CStatus::CStatus(const CStatus& other) : m_rep(other.m_rep) {
  if (m_rep != nullptr) m_rep->refs.fetch_add(1, std::memory_order_relaxed);
}

CStatus& CStatus::operator=(const CStatus& other) {
  if (other.m_rep != nullptr) other.m_rep->refs.fetch_add(1, std::memory_order_relaxed);
  Release();
  m_rep = other.m_rep;
  return *this;
}

CStatus& CStatus::operator=(CStatus&& other) noexcept {
  if (this != &other) {
    Release();
    m_rep = other.m_rep;
    other.m_rep = nullptr;
  }
  return *this;
}

void CStatus::Release() {
  if (m_rep != nullptr && m_rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    DeleteError(m_rep->error);
    delete m_rep;
  }
  m_rep = nullptr;
}

void CStatus::SetError(CError* error) {
  if (m_rep != nullptr && m_rep->refs.load(std::memory_order_acquire) == 1) {
    DeleteError(m_rep->error);
    m_rep->error = error;
    return;
  }
  Release();
  if (error == nullptr) return;
  m_rep = new (std::nothrow) CRep{{1}, error};
  if (m_rep == nullptr) {
    // Without a body the failure would read as success; keep the out-of-memory
    // error instead, in a body of its own when even that can be had.
    DeleteError(error);
    m_rep = new (std::nothrow) CRep{{1}, &g_outOfMemory};
    if (m_rep == nullptr) std::terminate();
  }
}

void CStatus::Report() const {
  if (const CError* error = GetError()) ReportError(*error);
}

std::wstring CStatus::GetText() const {
  const CError* error = GetError();
  return error != nullptr ? OneLine(error->GetText()) : std::wstring();
}

// --- factories ---

CError* NewErrorNumber(const CSourcePos& pos, DWORD code) { return Make<CErrorNumber>(pos, MSG_SYSTEM_ERROR, code); }

CError* NewHRESULT(const CSourcePos& pos, HRESULT hr) { return Make<CErrorHRESULT>(pos, hr); }

CError* NewLastError(const CSourcePos& pos) { return NewErrorNumber(pos, GetLastError()); }

CError* NewLastError(const CSourcePos& pos, const std::wstring& text) {
  DWORD code = GetLastError();
  return Make<CErrorNumber>(pos, MSG_SYSTEM_ERROR_TEXT, code, text);
}

CError* NewErrorMessage(const CSourcePos& pos, DWORD messageId, std::initializer_list<std::wstring> strings) {
  return Make<CErrorMessage>(pos, messageId, TakeInserts(messageId, strings));
}

CError* NewHRESULTMessage(const CSourcePos& pos, HRESULT hr, DWORD messageId, std::initializer_list<std::wstring> strings) {
  if (hr == 0) return nullptr;
  std::vector<std::wstring> inserts;
  inserts.push_back(platform::FormatW(L"0x%8.8X", static_cast<DWORD>(hr)));
  std::wstring text = FormatFromSystem(static_cast<DWORD>(hr));
  inserts.push_back(text.empty() ? platform::FormatW(L"HRESULT 0x%8.8X.", static_cast<DWORD>(hr)) : text);
  for (auto& s : TakeInserts(messageId, strings, 2)) inserts.push_back(std::move(s));
  return Make<CErrorMessage>(pos, messageId, std::move(inserts), hr);
}

CError* NewExceptionMessage(const CSourcePos& pos, const std::exception& e, DWORD messageId) {
  return Make<CErrorMessage>(pos, messageId, std::vector<std::wstring>{platform::WideFromUtf8(e.what())});
}

int GetInsertCount(DWORD messageId) { return std::max(InsertCountOrUnknown(messageId), 0); }

namespace {
int InsertCountOrUnknown(DWORD messageId) {
  HMODULE module = MessageModule();
  if (module == nullptr) return -1;
  LPWSTR text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           module, messageId, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (text == nullptr) return -1;
  int highest = 0;
  for (DWORD i = 0; text != nullptr && i < n; ++i) {
    if (text[i] != L'%') continue;
    if (i + 1 < n && text[i + 1] == L'%') {  // an escaped percent sign is no insert
      ++i;
      continue;
    }
    int number = 0;
    DWORD j = i + 1;
    while (j < n && text[j] >= L'0' && text[j] <= L'9' && number < 1000) number = number * 10 + (text[j++] - L'0');
    if (number > highest) highest = number;
  }
  LocalFree(text);
  return highest;
}
}  // namespace

// --- event log ---

CEventLog::~CEventLog() {
  if (m_source != nullptr) DeregisterEventSource(m_source);
  if (m_module != nullptr) FreeLibrary(static_cast<HMODULE>(m_module));
}

void CEventLog::Write(PSID sid, DWORD eventId, WORD type, const char* fileName, int line,
                      const std::vector<std::wstring>& strings) {
  SID own;
  if (sid == nullptr) {
    own = platform::CurrentUserSid();
    sid = &own;
  }
  std::string raw;
  if ((type == EVENTLOG_ERROR_TYPE || type == EVENTLOG_WARNING_TYPE) && fileName != nullptr)
    raw = platform::FormatA("%s %d", fileName, line);
  std::vector<LPCWSTR> pointers;
  for (const auto& s : strings) pointers.push_back(s.c_str());
  // A failed write is reported nowhere: there is nowhere left to report it.
  ReportEventW(m_source, type, 0, eventId, sid, static_cast<WORD>(pointers.size()), static_cast<DWORD>(raw.size()),
               pointers.empty() ? nullptr : pointers.data(), raw.empty() ? nullptr : raw.data());
}

std::wstring EventMessageModulePath() {
  const std::wstring path = platform::ExecutablePath();
  if (path.empty()) return {};
  const std::size_t slash = path.find_last_of(L'/');
  std::wstring name = path.substr(slash + 1);
  std::size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos && dot != 0) name.resize(dot);
  return path.substr(0, slash + 1) + L"Evt" + name + L".msg";
}

CStatus RegisterEventLog(const std::wstring& displayName) {
  CStatus status;
  std::wstring path = EventMessageModulePath();
  if (path.empty()) return CStatus(NewLastError(CSourcePos{__FILE__, 83}));
  g_EventLog.m_module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (g_EventLog.m_module == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 86}));

  platform::RegKey key;
  std::wstring keyPath = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + displayName + L"\\" + displayName;
  LSTATUS rc = RegCreateKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str(), key.put());
  if (rc != ERROR_SUCCESS) return CStatus(NewHRESULT(CSourcePos{__FILE__, 120}, static_cast<HRESULT>(rc)));

  BYTE data[520];
  DWORD size = sizeof data, type = 0;
  rc = RegQueryValueExW(key.get(), L"EventMessageFile", nullptr, &type, data, &size);
  // A value longer than the buffer (a long install path) is written again.
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_MORE_DATA)
    return CStatus(NewErrorNumber(CSourcePos{__FILE__, 145}, rc));
  bool same = rc == ERROR_SUCCESS && type == REG_EXPAND_SZ && platform::RegStringFromBytes(data, size) == path;
  if (!same) {
    rc = platform::RegWriteString(key.get(), L"EventMessageFile", path, REG_EXPAND_SZ);
    if (rc != ERROR_SUCCESS) return CStatus(NewHRESULT(CSourcePos{__FILE__, 138}, static_cast<HRESULT>(rc)));
  }

  DWORD types = 0;
  size = sizeof types;
  rc = RegQueryValueExW(key.get(), L"TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &size);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_MORE_DATA)
    return CStatus(NewErrorNumber(CSourcePos{__FILE__, 164}, rc));
  if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof types || types != 31) {
    rc = platform::RegWriteDword(key.get(), L"TypesSupported", 31);
    if (rc != ERROR_SUCCESS) return CStatus(NewHRESULT(CSourcePos{__FILE__, 157}, static_cast<HRESULT>(rc)));
  }

  g_EventLog.m_source = RegisterEventSourceW(nullptr, displayName.c_str());
  if (g_EventLog.m_source == nullptr) return CStatus(NewLastError(CSourcePos{__FILE__, 168}));
  return status;
}

void ReportError(const CError& error) {
  DWORD id = error.GetMessageId();
  bool accepted = false;
  WORD type = EventType(id, g_EventLog.m_mask, accepted);
  if (!accepted) return;
  int n = error.GetInsertCount();
  std::vector<std::wstring> strings;
  for (int i = 0; i < n; ++i) {
    strings.push_back(OneLine(error.GetInsert(i)));
  }
  const std::string& file = error.GetFile();
  const char* name = nullptr;
  std::string base;
  if (!file.empty()) {
    std::size_t sep = file.find_last_of("\\/");
    base = sep == std::string::npos ? file : file.substr(sep + 1);
    name = base.c_str();
  }
  g_EventLog.Write(nullptr, id, type, name, error.GetLine(), strings);
}

bool ReportEvent(PSID sid, DWORD messageId, std::initializer_list<std::wstring> strings) {
  return ReportEvent(sid, messageId, std::vector<std::wstring>(strings));
}

bool ReportEvent(PSID sid, DWORD messageId, const std::vector<std::wstring>& strings) {
  bool accepted = false;
  WORD type = EventType(messageId, g_EventLog.m_mask, accepted);
  if (!accepted) return false;
  g_EventLog.Write(sid, messageId, type, nullptr, 0, TakeInserts(messageId, strings));
  return true;
}
