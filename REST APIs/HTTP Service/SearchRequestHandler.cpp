// SearchRequestHandler.cpp - settings, substitution, the query step and the row filter of SEARCH.
#include "REST APIs/HTTP Service/SearchRequestHandler.h"

#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"
#include "platform/search/search.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <cwctype>
#include <vector>

namespace {

constexpr DWORD kMsgManagerFailed = 0xC0000A28;
constexpr DWORD kMsgConnectionStringFailed = 0xC0000A29;
constexpr DWORD kMsgDataSourceFailed = 0xC0000A2A;
constexpr DWORD kMsgSettingFailed = 0xC0000A2B;
constexpr DWORD kMsgQueryFailed = 0xC0000A2C;
// The messages are the query handlers' own, raised in the SQL handler's file.
constexpr const char* kSourceFile = "SQLRequestHandler";
// What a directory mapping may put before a folder's path. The archive's
// directory objects give plain "D:\..." paths, so the prefix is removed
// only where it is there: cutting four characters off "D:\Docs" would
// leave a relative "ocs" and a scope matching nothing.
constexpr std::wstring_view kDirectoryPrefix = L"\\\\?\\";

const auto g_registered = RegisterRequestHandlerFactory(L"SEARCH", &CreateSearchQueryRequestHandler);

// The one search manager of the process, made at the first SEARCH request;
// g_managerLock guards g_manager and the acquisition of each query helper.
CRITICAL_SECTION& ManagerLock() {
  static CRITICAL_SECTION* const lock = [] {
    auto* cs = new CRITICAL_SECTION;
    InitializeCriticalSection(cs);
    return cs;
  }();
  return *lock;
}
ISearchManager* g_manager = nullptr;
std::atomic<bool> g_managerFailureLogged{false};

const std::wstring_view kReserved[] = {L"Session$", L"Registry$", L"Directory$"};
constexpr std::wstring_view kDirectory = L"Directory$";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && platform::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsReserved(std::wstring_view reference) {
  for (auto prefix : kReserved)
    if (StartsWithNoCase(reference, prefix)) return true;
  return false;
}

bool IsNameChar(wchar_t c) { return std::iswalnum(c) || c == L'_'; }

// A path resolved lexically, Windows style: "." and empty elements dropped,
// ".." taking the element before it but never a root ("D:", "file:D:") nor
// anything at all when clamped, "\" separators.
std::wstring Normalise(std::wstring_view path, bool clamped = false) {
  std::vector<std::wstring> parts;
  std::wstring part;
  const bool leading = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
  auto flush = [&] {
    if (part.empty() || part == L".") {
    } else if (part == L"..") {
      const bool root = parts.size() == 1 && !clamped && parts[0].back() == L':';
      if (!parts.empty() && !root) parts.pop_back();
      else if (!clamped && parts.empty() && !leading) parts.push_back(part);
    } else {
      parts.push_back(part);
    }
    part.clear();
  };
  for (wchar_t c : path) {
    if (c == L'\\' || c == L'/')
      flush();
    else
      part += c;
  }
  flush();
  std::wstring out = leading ? L"\\" : L"";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += L'\\';
    out += parts[i];
  }
  if (parts.size() == 1 && parts[0].back() == L':') out += L'\\';  // a drive's root
  return out;
}

std::wstring Slashed(std::wstring text) {
  for (auto& c : text)
    if (c == L'\\') c = L'/';
  return text;
}

std::wstring DoubleQuotes(std::wstring_view text) {
  std::wstring out;
  for (wchar_t c : text) {
    out += c;
    if (c == L'\'') out += L'\'';
  }
  return out;
}

bool InsideLiteral(const std::wstring& text) {
  std::size_t quotes = 0;
  for (wchar_t c : text) quotes += c == L'\'';
  return quotes % 2 == 1;
}

bool IsNumber(std::wstring_view v) {
  std::size_t i = !v.empty() && v[0] == L'-' ? 1 : 0;
  bool digits = false, dot = false;
  for (; i < v.size(); ++i) {
    if (std::iswdigit(v[i])) digits = true;
    else if (v[i] == L'.' && !dot) dot = true;
    else return false;
  }
  return digits;
}

// What a value found for a reference may add to the setting NAME.
std::wstring Sanitised(const std::wstring& name, const std::wstring& value, const std::wstring& sofar) {
  if (name == L"SELECTCOLUMNS" || name == L"SORTING") {
    std::wstring out;
    // Names, the list's commas and the blank before ASC or DESC; the helper checks the names.
    for (wchar_t c : value)
      if (IsNameChar(c) || c == L'.' || c == L',' || c == L' ') out += c;
    return out;
  }
  if (name == L"WHERERESTRICTIONS" || name == L"COMMAND") {
    if (InsideLiteral(sofar)) return DoubleQuotes(value);
    if (IsNumber(value)) return value;
    return L"'" + DoubleQuotes(value) + L"'";
  }
  return value;
}

// The listener's lookup: the greatest key not greater than reference, when
// it is a prefix of it (both of the map's parts read as one ordered map).
const std::pair<const std::wstring, std::wstring>* ListenerMatch(const CParameterMap& map,
                                                                 const std::wstring& reference) {
  const std::pair<const std::wstring, std::wstring>* best = nullptr;
  for (const CParameterMap::Map* part : {&map.Shared(), &map.RequestValues()}) {
    auto it = part->upper_bound(reference);
    if (it == part->begin()) continue;
    --it;
    if (best == nullptr || best->first < it->first) best = &*it;
  }
  return best != nullptr && StartsWith(reference, best->first) ? best : nullptr;
}

// A client's parameter matches only by its whole name: the longest name
// that the reference starts with and that no name character follows.
const std::pair<const std::wstring, std::wstring>* QueryMatch(const std::map<std::wstring, std::wstring>& map,
                                                              const std::wstring& reference) {
  const std::pair<const std::wstring, std::wstring>* best = nullptr;
  for (const auto& entry : map) {
    if (entry.first.empty() || !StartsWith(reference, entry.first) || IsReserved(entry.first)) continue;
    if (reference.size() > entry.first.size() && IsNameChar(reference[entry.first.size()])) continue;
    if (best == nullptr || entry.first.size() > best->first.size()) best = &entry;
  }
  return best;
}

const std::pair<const std::wstring, std::wstring>* QueryMatch(const CParameterMap& map, const std::wstring& reference) {
  const auto* shared = QueryMatch(map.Shared(), reference);
  const auto* own = QueryMatch(map.RequestValues(), reference);
  if (shared == nullptr) return own;
  return own != nullptr && own->first.size() > shared->first.size() ? own : shared;
}

std::wstring Substitute(const std::wstring& name, const std::wstring& value,
                        const std::map<std::wstring, std::wstring>& query,
                        const CParameterMap& listener, SearchPathMap& paths) {
  std::wstring result;
  std::size_t pos = 0;
  bool first = true;
  for (;;) {
    const std::size_t dollar = value.find(L'$', pos);
    if (dollar == std::wstring::npos) {
      result += value.substr(pos);
      break;
    }
    result += value.substr(pos, dollar - pos);
    const std::wstring reference = value.substr(dollar + 1);
    const std::pair<const std::wstring, std::wstring>* match = nullptr;
    bool fromQuery = false;
    if (IsReserved(reference)) {
      match = ListenerMatch(listener, reference);
    } else {
      match = QueryMatch(query, reference);
      fromQuery = match != nullptr;
      if (match == nullptr) {
        match = QueryMatch(listener, reference);
      }
    }
    if (match == nullptr) {
      const std::size_t next = value.find(L'$', dollar + 1);
      if (next == std::wstring::npos) break;
      pos = next;
      first = false;
      continue;
    }
    const std::wstring& key = match->first;
    if (!StartsWith(key, kDirectory)) {
      const std::wstring found =
          fromQuery ? platform::WideFromUtf8(web::uri::decode(platform::Utf8FromWide(match->second))) : match->second;
      result += Sanitised(name, found, result);
    } else {
      const std::wstring urlPath = L"/" + key.substr(kDirectory.size());
      const std::wstring& mapped = match->second;
      std::wstring_view folder(mapped);
      if (StartsWith(folder, kDirectoryPrefix)) folder.remove_prefix(kDirectoryPrefix.size());
      const std::wstring location = Normalise(folder);
      if (name == L"SCOPE" && first && (dollar == 0 || value[dollar - 1] != L':')) result += L"file:";
      result += name == L"WHERERESTRICTIONS" || name == L"COMMAND" ? Sanitised(name, location, result) : location;
      result = Slashed(std::move(result));
      paths.emplace(L"file:" + Slashed(location), urlPath);
    }
    pos = dollar + 1 + key.size();
    first = false;
  }
  return result;
}

// Throws the holder's failure after logging message (once per text).
[[noreturn]] void Fail(HRESULT hr, int line, DWORD messageId, std::initializer_list<std::wstring> inserts = {}) {
  CStatus status;
  status.SetError(NewHRESULTMessage(CSourcePos{kSourceFile, line}, hr, messageId, inserts));
  LogErrorOnce(status);
  throw std::system_error(hr & 0xFFFF, platform::Win32Category(), "search");
}

std::string ReadHandlerFile(const std::wstring& path) {
  using Concurrency::streams::details::basic_file_range_buffer;
  const auto file = basic_file_range_buffer<unsigned char>::OpenRange(path, 0, kNoRangeLimit);
  std::string bytes(static_cast<std::size_t>(file->size()), '\0');
  const std::size_t done = file->getn(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()).get();
  bytes.resize(done);
  return bytes;
}

// The helper of this request, from the process's one search manager.
platform::ComPtr<ISearchQueryHelper> AcquireHelper() {
  platform::ComPtr<ISearchQueryHelper> helper;
  platform::CriticalSectionLock hold(ManagerLock());
  if (g_manager == nullptr) {
    const HRESULT hr = CoCreateInstance(CLSID_CSearchManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ISearchManager,
                                        reinterpret_cast<void**>(&g_manager));
    if (FAILED(hr)) {
      g_manager = nullptr;
      // Logged once for the process, whatever else fills the reported set.
      if (!g_managerFailureLogged.exchange(true)) {
        CStatus status;
        status.SetError(NewHRESULTMessage(CSourcePos{kSourceFile, __LINE__}, hr, kMsgManagerFailed));
        LogErrorOnce(status);
      }
      throw std::system_error(hr & 0xFFFF, platform::Win32Category(), "search manager");
    }
  }
  platform::ComPtr<ISearchCatalogManager> catalog;
  HRESULT hr = g_manager->GetCatalog(kSearchCatalogName, catalog.GetAddressOf());
  if (SUCCEEDED(hr)) hr = catalog->GetQueryHelper(helper.GetAddressOf());
  if (FAILED(hr)) throw std::system_error(hr & 0xFFFF, platform::Win32Category(), "query helper");
  return helper;
}

std::wstring TakeTaskString(LPWSTR text) {
  std::wstring out = text == nullptr ? L"" : text;
  CoTaskMemFree(text);
  return out;
}

void RunSearchQuery(std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
                    ResultStream<unsigned char>::CallbackOpen* holder, const web::http::http_request& request,
                    const CParameterMap& parameters, const std::string& bytes,
                    const std::shared_ptr<SearchPathMap>& paths) {
  const platform::ComPtr<ISearchQueryHelper> helper = AcquireHelper();
  LPWSTR connectionText = nullptr;
  HRESULT hr = helper->get_ConnectionString(&connectionText);
  if (FAILED(hr)) Fail(hr, __LINE__, kMsgConnectionStringFailed);
  const std::wstring connection = TakeTaskString(connectionText);
  hr = query->Open(connection);
  if (FAILED(hr)) Fail(hr, __LINE__, kMsgDataSourceFailed, {connection});

  // A client's name is decoded before it is judged; a reserved one, or one
  // the listener's map holds, is never a client's.
  std::map<std::wstring, std::wstring> queryParameters;
  for (const auto& [name, value] : web::uri::split_query(request.relative_uri().query())) {
    std::wstring wideName;
    try {
      wideName = platform::WideFromUtf8(web::uri::decode(name));
    } catch (const std::exception&) {
      continue;
    }
    if (IsReserved(wideName) || parameters.Contains(wideName)) continue;
    queryParameters.emplace(std::move(wideName), platform::WideFromUtf8(value));
  }
  const auto settings = ReadSearchSettings(bytes, queryParameters, parameters, *paths);

  std::wstring scope, path, userQuery = L"*", where, command;
  for (const auto& [name, value] : settings) {
    if (value.empty()) continue;
    hr = S_OK;
    if (name == L"SCOPE") scope = value;
    else if (name == L"PATH") path = value;
    else if (name == L"QUERY") userQuery = value;
    else if (name == L"WHERERESTRICTIONS") where = value;
    else if (name == L"COMMAND") command = value;
    else if (name == L"SYNTAX") {
      const std::wstring upper = platform::ToUpper(value);
      hr = helper->put_QuerySyntax(upper == L"ADVANCED" ? SEARCH_ADVANCED_QUERY_SYNTAX
                                   : upper == L"NATURAL" ? SEARCH_NATURAL_QUERY_SYNTAX : SEARCH_NO_QUERY_SYNTAX);
    } else if (name == L"CONTENTPROPERTIES") hr = helper->put_QueryContentProperties(value.c_str());
    else if (name == L"SELECTCOLUMNS") hr = helper->put_QuerySelectColumns(value.c_str());
    else if (name == L"SORTING") hr = helper->put_QuerySorting(value.c_str());
    else if (name == L"MAXRESULTS") {
      const long long asked = std::wcstoll(value.c_str(), nullptr, 10);
      hr = helper->put_QueryMaxResults(static_cast<LONG>(std::clamp<long long>(asked, 0, kMaxSearchResults)));
    }
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgSettingFailed);
  }
  std::wstring restriction = where;
  if (!scope.empty()) {
    restriction = SearchScopeRestriction(scope, path, *paths);
    // Both given: the scope still holds, the restrictions narrow it.
    std::wstring rest(platform::Trim(where, platform::Blanks::Space));
    if (StartsWithNoCase(rest, L"AND") && (rest.size() == 3 || !IsNameChar(rest[3])))
      rest = std::wstring(platform::Trim(std::wstring_view(rest).substr(3), platform::Blanks::Space));
    if (!rest.empty()) restriction += L" AND (" + rest + L")";
  }
  if (!restriction.empty()) {
    hr = helper->put_QueryWhereRestrictions(restriction.c_str());
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgSettingFailed);
  }
  std::wstring sql = command;
  if (sql.empty()) {
    LPWSTR generated = nullptr;
    hr = helper->GenerateSQLFromUserQuery(userQuery.c_str(), &generated);
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgSettingFailed);
    sql = TakeTaskString(generated);
  }
  hr = query->Execute(sql, !query->NeedsRows());
  if (query->IsCancelled()) throw std::system_error(ERROR_CANCELLED, platform::Win32Category(), "search");
  if (FAILED(hr)) Fail(hr, __LINE__, kMsgQueryFailed, {sql});
  holder->Start(std::move(query));
}

}  // namespace

std::map<std::wstring, std::wstring> ReadSearchSettings(const std::string& bytes,
                                                        const std::map<std::wstring, std::wstring>& query,
                                                        const CParameterMap& listener,
                                                        SearchPathMap& paths) {
  std::map<std::wstring, std::wstring> settings;
  const std::string text = bytes.substr(0, bytes.find('\0'));
  const std::wstring wide = platform::WideFromUtf8(text);
  std::size_t start = 0;
  while (start <= wide.size()) {
    std::size_t end = wide.find_first_of(L"\r\n", start);
    if (end == std::wstring::npos) end = wide.size();
    const std::wstring line = wide.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const std::size_t hash = line.find(L'#'), equals = line.find(L'=');
    if (hash != std::wstring::npos && (equals == std::wstring::npos || equals > hash)) continue;
    std::wstring name, value;
    if (equals == std::wstring::npos) {
      value = platform::Trim(line, platform::Blanks::Space);
    } else {
      name = platform::ToUpper(platform::Trim(std::wstring_view(line).substr(0, equals), platform::Blanks::Space));
      value = platform::Trim(std::wstring_view(line).substr(equals + 1), platform::Blanks::Space);
    }
    if (settings.count(name) != 0) continue;
    settings.emplace(name, Substitute(name, value, query, listener, paths));
  }
  return settings;
}

std::wstring SearchScopeRestriction(const std::wstring& scope, const std::wstring& path, const SearchPathMap& paths) {
  // The scope, kept inside the mapping it starts with.
  const std::wstring slashed = Slashed(scope);
  const std::wstring* root = nullptr;
  for (const auto& [location, url] : paths) {
    if (!StartsWithNoCase(slashed, location)) continue;
    if (slashed.size() > location.size() && slashed[location.size()] != L'/') continue;
    if (root == nullptr || location.size() > root->size()) root = &location;
  }
  std::wstring normalised = Normalise(root == nullptr ? std::wstring_view(scope) : std::wstring_view(*root));
  // What lies below the root, and the path below that: nothing climbs above the root.
  const std::wstring rest = (root == nullptr ? L"" : scope.substr(root->size())) + L"\\" + path;
  std::wstring below = Normalise(rest, true);  // "\" or "\a\b"
  if (below == L"\\") below.clear();
  if (!below.empty() && !normalised.empty() && normalised.back() == L'\\') below.erase(0, 1);
  normalised += below;
  return L"AND SCOPE = '" + DoubleQuotes(normalised) + L"'";
}

HRESULT SkipDirectoryRows(const ColumnLookup& column) {
  for (DBORDINAL ordinal = 1;; ++ordinal) {
    const wchar_t* text = column(ordinal);
    if (text == nullptr) return S_OK;
    const std::wstring_view value(text);
    if (!StartsWith(value, L"file:")) continue;
    const std::wstring path(value.substr(5));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return S_FALSE;
  }
}

std::wstring MapResultValue(const SearchPathMap& paths, const wchar_t* text, DBORDINAL) {
  if (text == nullptr) return L"";
  const std::wstring value(text);
  if (paths.empty()) return value;
  const std::pair<const std::wstring, std::wstring>* best = nullptr;
  for (const auto& entry : paths) {
    if (!StartsWithNoCase(value, entry.first)) continue;
    if (value.size() > entry.first.size() && value[entry.first.size()] != L'/') continue;
    if (best == nullptr || entry.first.size() > best->first.size()) best = &entry;
  }
  if (best != nullptr) return best->second + value.substr(best->first.size());
  // A location outside every mapping is not the client's to see.
  if (StartsWithNoCase(value, L"file:")) return L"";
  return value;
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CSearchQueryRequestHandler::Handle(
    std::shared_ptr<CResponse>& out, web::http::http_request request, vantrel::basic_istring<wchar_t>,
    const CParameterMap& parameters) {
  auto response = std::make_shared<Response>(parameters.QueryTimeoutMs());
  auto paths = std::make_shared<SearchPathMap>();
  auto open = [response, path = m_path, request, parameters, paths](
                  std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
                  ResultStream<unsigned char>::CallbackOpen* holder) {
    try {
      response->SetContentType(query->GetContentType());
      if (!response->Attach(query)) throw std::system_error(ERROR_CANCELLED, platform::Win32Category(), "search");
      const std::string bytes = ReadHandlerFile(path);
      RunSearchQuery(std::move(query), holder, request, parameters, bytes, paths);
    } catch (const std::system_error& e) {
      holder->SetResultException(std::make_exception_ptr(std::system_error(e.code().value(), platform::Win32Category())));
    } catch (const std::exception&) {
      holder->SetResultException(std::make_exception_ptr(std::system_error(ERROR_INTERNAL_ERROR, platform::Win32Category())));
    }
  };
  ResultStream<unsigned char>::Create(
      m_root, request, open, false, &SkipDirectoryRows,
      [paths](const wchar_t* text, DBORDINAL ordinal) { return MapResultValue(*paths, text, ordinal); },
      [response](pplx::task<concurrency::streams::istream> done) { response->Complete(std::move(done)); },
      parameters.QueryTimeoutMs());
  out = response;
  return out;
}

std::shared_ptr<CHTTPServer::CRequestHandler> CreateSearchQueryRequestHandler(std::wstring root, std::wstring path) {
  return std::make_shared<CSearchQueryRequestHandler>(std::move(root), std::move(path));
}
