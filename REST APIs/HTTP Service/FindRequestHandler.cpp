// FindRequestHandler.cpp - which handler answers a request: mapped archive files, the cache,
// exact-path locations and handler files on disk.
//
// A request path is refused before anything is looked up when it could leave
// the folder it is searched in or act as a search pattern (a "." or ".."
// segment, "\", ":", "*", "?", NUL or another control character); a file a
// search finds is served only when it still lies under the root it was
// searched in once symbolic links are followed. A handler file is named
// exactly after the handler key, "." and a type without "."; a type with a
// registered factory wins over a static file of the same key.
#include "REST APIs/HTTP Service/Listener.h"

#include "LibService/Status.h"
#include "REST APIs/HTTP Service/Authenticator.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/LocalHandlers.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "REST APIs/HTTP Service/MIMEMap.h"
#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include <cwctype>
#include <cpprest/base_uri.h>

#include <array>
#include <cstring>
#include <optional>
#include <regex>

namespace {

using HandlerPtr = std::shared_ptr<CHTTPServer::CRequestHandler>;

// Event written when a request at a level other than 0 finds no handler.
constexpr DWORD MSG_NO_REQUEST_HANDLER = 0xC00007D0;  // (host name, request path)

// The archive's item record and the view request sent with the view control.
constexpr ULONG kItemRecord = 48;
constexpr std::size_t kRecordIdOffset1 = 32;
constexpr std::size_t kRecordIdOffset2 = 36;
constexpr ULONG kControlViewPath = 0x96190;
constexpr std::size_t kViewNameChars = 64;  // the name field, terminator included
constexpr std::size_t kViewHeaderBytes = 10;
constexpr std::size_t kViewOutputSlack = 260;  // wide characters beyond the item path's length

// The ETag hash: 64-bit FNV-1a.
constexpr std::uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;

// The levels whose roots a level searches: its own and the lower ones down to
// 1; level 0 only its own.
std::vector<std::int32_t> SearchLevels(std::int32_t level) {
  if (level <= 0) return {0};
  std::vector<std::int32_t> levels;
  for (std::int32_t l = level; l >= 1; --l) levels.push_back(l);
  return levels;
}

// Whether a decoded request path may be looked up at all.
bool IsSafeRequestPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return false;
  for (wchar_t c : path)
    if (platform::IsRefusedCharacter(c, platform::RefusedIn::RequestPath)) return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find(L'/', start);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring_view segment(path.data() + start, end - start);
    if (segment == L"." || segment == L"..") return false;
    start = end + 1;
  }
  return true;
}

// A query value that becomes part of a file name: no separator, no pattern,
// no climbing.
bool IsSafeNamePart(const std::wstring& value) {
  if (value == L"." || value == L"..") return false;
  for (wchar_t c : value)
    if (platform::IsRefusedCharacter(c, platform::RefusedIn::RequestPath) || c == L'/') return false;
  return true;
}

std::uint64_t Fnv1a(const std::string& bytes) {
  std::uint64_t hash = kFnvOffsetBasis;
  for (unsigned char b : bytes) {
    hash ^= b;
    hash *= kFnvPrime;
  }
  return hash;
}

// The ETag of an ETag text: Base64 of the FNV-1a hash of its UTF-16LE bytes,
// the hash's eight bytes least significant first.
std::wstring MakeETag(const std::wstring& text) {
  if (text.empty()) return {};
  BYTE hash[8];
  platform::StoreLe64(hash, Fnv1a(platform::Utf16leFromWide(text)));
  return platform::WideFromUtf8(platform::Base64Encode(hash, sizeof hash));
}

// The text after the last "." of the last segment ("/dir.v2/file" has none).
std::wstring LastExtension(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"/\\");
  const std::size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return {};
  return path.substr(dot + 1);
}

// The file's final path when it lies inside root once links are followed
// (empty otherwise): what is served is what was checked.
std::wstring FinalPathUnder(const std::wstring& root, const std::wstring& file) {
  std::string realRoot, realFile;
  if (platform::FinalPath(root, realRoot) != ERROR_SUCCESS) return {};
  if (platform::FinalPath(file, realFile) != ERROR_SUCCESS) return {};
  if (!realRoot.empty() && realRoot.back() == '/') realRoot.pop_back();
  const bool inside = realFile.size() > realRoot.size() && realFile.compare(0, realRoot.size(), realRoot) == 0 &&
                      realFile[realRoot.size()] == '/';
  return inside ? platform::WideFromUtf8(realFile) : std::wstring();
}

// The ".xslt" retry's expression, compiled once for the process.
const std::wregex& XsltKeyPattern() {
  static const std::wregex pattern(L"(.*).xslt.GET$", std::regex::icase | std::regex::ECMAScript);
  return pattern;
}

// The names a search for pattern finds, in the search's order.
std::vector<std::wstring> FindNames(const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(data.cFileName);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return names;
}

std::wstring Backslashed(std::wstring path) {
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

}  // namespace

CHTTPServer::CListener::Result CHTTPServer::CListener::FindRequestHandler(const web::http::http_request& request) {
  Result result;
  std::int32_t level = 0;
  if (m_authenticator) {
    auto [user, userLevel] = m_authenticator->GetUser(request);
    result.first = std::move(user);
    level = userLevel;
  }
  // A path that does not decode to text, or that could leave its folder,
  // finds nothing; nothing about it is cached or reported.
  std::wstring path;
  if (!platform::WideFromUtf8Strict(web::uri::decode(request.relative_uri().path()), path) || !IsSafeRequestPath(path))
    return result;
  const std::wstring key = path + L"." + platform::WideFromUtf8(request.method());

  if ((level == CAuthenticator::kUser || level == CAuthenticator::kAdministrator) &&
      request.method() == web::http::methods::GET && !m_settings->mappings.empty()) {
    if (HandlerPtr mapped = FindMappedFile(request, path)) {
      result.second = std::move(mapped);
      return result;
    }
  }

  const CacheKey cacheKey{level, key};
  if (LookUpCache(cacheKey, result.second)) return result;

  HandlerPtr handler;
  const auto location = m_locations.find(path);
  if (location != m_locations.end()) {
    handler = location->second->GetHandler(request);
  } else {
    handler = SearchHandlerFiles(level, path, key);
    if (!handler && level != 0) ReportMiss(level, path);
  }
  if (handler || level != 0) {
    result.second = InsertIntoCache(cacheKey, std::move(handler));
  } else if (path.size() >= 2) {
    result.second = std::make_shared<CRedirectHandler>();
  }
  return result;
}

void CHTTPServer::CListener::ReportMiss(std::int32_t level, const std::wstring& path) {
  {
    platform::SrwExclusiveLock hold(m_cacheLock);
    if (m_reportedMisses.size() >= kMissEventLimit) return;
    if (!m_reportedMisses.emplace(level, path).second) return;
  }
  ReportEvent(nullptr, MSG_NO_REQUEST_HANDLER, {platform::WideFromUtf8(m_host), path});
}

std::shared_ptr<CHTTPServer::CRequestHandler> CHTTPServer::CListener::SearchHandlerFiles(std::int32_t level,
                                                                                       const std::wstring& path,
                                                                                       const std::wstring& key) const {
  std::vector<Candidate> candidates;
  const std::vector<std::int32_t> levels = SearchLevels(level);
  for (std::int32_t l : levels) {
    const auto root = m_settings->roots.find(l);
    if (root != m_settings->roots.end()) candidates.push_back({&root->second, 0, CacheModes::RootFile});
  }
  const std::size_t second = path.find(L'/', 1);
  if (second != std::wstring::npos) {
    const std::wstring application = path.substr(0, second);
    for (std::int32_t l : levels) {
      const auto apps = m_settings->applications.find(l);
      if (apps == m_settings->applications.end()) continue;
      const auto app = apps->second.find(application);
      if (app != apps->second.end()) candidates.push_back({&app->second, application.size(), CacheModes::ApplicationFile});
    }
  }
  for (const Candidate& candidate : candidates)
    if (HandlerPtr handler = SearchCandidate(candidate, key)) return handler;
  return {};
}

// One candidate root: "<key>.<TYPE>" beside the content, then for a key
// ending in ".xslt.GET" the query handler of the same name.
std::shared_ptr<CHTTPServer::CRequestHandler> CHTTPServer::CListener::SearchCandidate(const Candidate& candidate,
                                                                                    const std::wstring& key) const {
  const std::wstring relative = key.substr(candidate.drop);
  struct Attempt {
    std::wstring stem;  // the handler file's name up to its type, relative to the root
    const wchar_t* onlyType;
  };
  std::vector<Attempt> attempts{{relative, nullptr}};
  std::wsmatch match;
  if (std::regex_match(relative, match, XsltKeyPattern())) {
    attempts.push_back({match[1].str() + L".GET", L"SQL"});
    attempts.push_back({match[1].str() + L".GET", L"SEARCH"});
  }
  for (const Attempt& attempt : attempts) {
    const std::wstring pattern = Backslashed(*candidate.root + attempt.stem + L".*");
    const std::wstring folder = pattern.substr(0, pattern.find_last_of(L'\\') + 1);
    const std::wstring stem = attempt.stem.substr(attempt.stem.find_last_of(L'/') + 1);
    std::optional<std::pair<std::wstring, std::wstring>> staticFile;  // (final path, type)
    for (const std::wstring& name : FindNames(pattern)) {
      // Exactly "<stem>.<type>": a backup such as "x.GET.SQL.bak" or a
      // longer stem is no handler file of this key.
      if (name.size() <= stem.size() + 1) continue;
      const std::wstring type = name.substr(stem.size() + 1);
      if (type.find(L'.') != std::wstring::npos) continue;
      if (!platform::EqualsNoCase(std::wstring_view(name).substr(0, stem.size()), stem)) continue;
      if (attempt.onlyType != nullptr && !platform::EqualsNoCase(type, attempt.onlyType)) continue;
      const std::wstring full = FinalPathUnder(*candidate.root, folder + name);
      if (full.empty()) continue;
      HandlerPtr handler;
      if (CreateRequestHandler(handler, type.c_str(), *candidate.root, full)) return handler;
      if (!staticFile && attempt.onlyType == nullptr) staticFile.emplace(full, type);
    }
    if (staticFile) {
      return std::make_shared<CFileRequestHandler>(staticFile->first, CMIMEMap::GetMIMEType(staticFile->second.c_str()),
                                                   std::wstring(), candidate.cacheMode, kNoRangeLimit);
    }
  }
  return {};
}

namespace {

// The mapping whose key is the longest prefix of path that ends at a "/"
// boundary of it ("/media" serves "/media/x", never "/mediafiles/x").
const std::pair<const std::wstring, std::wstring>* FindMapping(const std::map<std::wstring, std::wstring>& mappings,
                                                              const std::wstring& path) {
  const std::pair<const std::wstring, std::wstring>* best = nullptr;
  for (const auto& mapping : mappings) {
    const std::wstring& prefix = mapping.first;
    if (prefix.empty() || path.compare(0, prefix.size(), prefix) != 0) continue;
    const bool boundary = path.size() == prefix.size() || prefix.back() == L'/' || path[prefix.size()] == L'/';
    if (boundary && (best == nullptr || prefix.size() > best->first.size())) best = &mapping;
  }
  return best;
}

// The view request: id1, id2, the name's byte count, the name in a
// 64-character UTF-16 field. Empty when the name does not fit the field.
std::string ViewRequest(const BYTE* record, const std::wstring& view) {
  const std::string name = platform::Utf16leFromWide(view);
  if (name.size() / 2 >= kViewNameChars) return {};
  std::string request;
  platform::AppendLe32(request, platform::LoadLe32(record + kRecordIdOffset1));
  platform::AppendLe32(request, platform::LoadLe32(record + kRecordIdOffset2));
  platform::AppendLe16(request, static_cast<WORD>(name.size()));
  request += name;
  request.resize(kViewHeaderBytes + kViewNameChars * 2, '\0');
  return request;
}

struct ArchiveFile {
  std::wstring path;  // empty: nothing to serve
  std::wstring etagText;
  std::int32_t cacheMode = CacheModes::ArchiveFile;
};

// Steps 6 and 7 for an item that gave its path: the ETag text of the file
// itself, or the path and ETag text of a derived view.
void DescribeItem(IArchiveObject* item, const std::wstring& itemPath, const std::optional<std::wstring>& view,
                  ArchiveFile& file) {
  if (!view) file.path = itemPath;
  platform::ComPtr<IArchiveFileControl> control;
  platform::ComPtr<IArchiveItems> items;
  BYTE record[kItemRecord] = {};
  if (FAILED(item->QueryInterface(IidOf<IArchiveFileControl>(), control.PutVoid())) ||
      FAILED(item->QueryInterface(IidOf<IArchiveItems>(), items.PutVoid())) ||
      FAILED(items->GetItem(kItemRecord, record, sizeof record))) {
    if (view) file.path.clear();
    return;
  }
  if (!view) {
    file.etagText = platform::FormatW(L"%s-%8.8X-%8.8X", itemPath.c_str(),
                                      platform::LoadLe32(record + kRecordIdOffset1),
                                      platform::LoadLe32(record + kRecordIdOffset2));
    return;
  }
  file.path.clear();
  const std::string request = ViewRequest(record, *view);
  if (request.empty()) return;
  std::string output((itemPath.size() + kViewOutputSlack) * 2, '\0');
  ULONG returned = 0;
  const ULONG inputBytes = static_cast<ULONG>(platform::Utf16leFromWide(*view).size() + kViewHeaderBytes);
  if (FAILED(control->Control(kControlViewPath, request.data(), inputBytes, output.data(),
                              static_cast<ULONG>(output.size()), &returned)) ||
      returned > output.size())
    return;
  file.etagText = platform::WideFromUtf16le(output.data(), returned / 2 * 2);
  file.cacheMode = CacheModes::ArchiveView;
  const std::size_t colon = itemPath.find(L':');
  if (colon == std::wstring::npos || colon + 1 >= itemPath.size()) return;
  file.path = itemPath.substr(0, colon + 2) + file.etagText;
}

}  // namespace

std::shared_ptr<CHTTPServer::CRequestHandler> CHTTPServer::CListener::FindMappedFile(
    const web::http::http_request& request, const std::wstring& path) const {
  const auto* mapping = FindMapping(m_settings->mappings, path);
  if (mapping == nullptr || !m_archive) return {};
  std::map<std::wstring, std::wstring> query;
  for (const auto& [name, value] : web::uri::split_query(request.relative_uri().query()))
    query.emplace(platform::WideFromUtf8(name), platform::WideFromUtf8(value));

  ArchiveFile file;
  file.path = mapping->second + path.substr(mapping->first.size());
  const std::wstring extension = LastExtension(file.path);
  if (const auto asked = query.find(L"extension"); asked != query.end()) {
    if (!IsSafeNamePart(asked->second)) return {};
    const std::size_t dot = file.path.find_last_of(L'.');
    const std::size_t slash = file.path.find_last_of(L"/\\");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) {
      file.path += L'.';
    } else {
      file.path.resize(dot + 1);
    }
    file.path += asked->second;
  }
  std::optional<std::wstring> view;
  if (const auto asked = query.find(L"view"); asked != query.end()) view = asked->second;

  platform::ComPtr<IArchiveObject> item;
  if (FAILED(m_archive->GetArchiveObject(platform::ComBstr(file.path), item.ReleaseAndGetAddressOf())) || !item) return {};
  platform::ComBstr itemPath;
  if (SUCCEEDED(item->GetPath(itemPath.ReleaseAndGetAddressOf()))) DescribeItem(item.Get(), itemPath.Str(), view, file);
  if (file.path.empty()) return {};

  // An output being written (the transcoder's ".~vntranscode-...", a
  // provider's ".~framesight...": every writer's partial file starts ".~"):
  // never a file to serve, whole or half.
  {
    const std::size_t slash = file.path.find_last_of(L"/\\");
    if (file.path.compare(slash == std::wstring::npos ? 0 : slash + 1, 2, L".~") == 0) return {};
  }
  // The file response opens host paths: the archive's "D:\..." is resolved
  // here, through the drive map, refusing a path that leaves its volume.
  std::string host;
  if (platform::ResolvePath(file.path, host) != ERROR_SUCCESS) return {};
  const std::wstring etag = MakeETag(file.etagText);
  const auto& headers = request.headers();
  const auto match = headers.find(web::http::header_names::if_none_match);
  if (!etag.empty() && match != headers.end() && platform::WideFromUtf8(match->second) == etag)
    return std::make_shared<CNotModifiedHandler>();
  return std::make_shared<CFileRequestHandler>(platform::WideFromUtf8(host), CMIMEMap::GetMIMEType(extension.c_str()), etag,
                                               file.cacheMode, m_settings->defaultRange);
}
