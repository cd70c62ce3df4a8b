// OutputVersions.cpp - version names, the folder scan, NeedsOutput and RemoveStale.
#include "providers/Framesight/OutputVersions.h"

#include "platform/base/errors.h"
#include "platform/fs/fs.h"

#include <algorithm>
#include <tuple>
#include <utility>

namespace framesight {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// 1 to 8 hexadecimal digits, the whole of text.
bool ParseHex(std::wstring_view text, DWORD& value) {
  if (text.empty() || text.size() > 8) return false;
  DWORD v = 0;
  for (wchar_t c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return false;
    v = (v << 4) | static_cast<DWORD>(digit);
  }
  value = v;
  return true;
}

bool Below(DWORD aId1, DWORD aId2, DWORD bId1, DWORD bId2) { return std::tie(aId1, aId2) < std::tie(bId1, bId2); }

}  // namespace

void SplitFileName(std::wstring_view name, std::wstring_view& stem, std::wstring_view& extension) {
  const std::size_t dot = name.rfind(L'.');
  if (name == L"." || name == L".." || dot == std::wstring_view::npos || dot == 0) {
    stem = name;
    extension = {};
    return;
  }
  stem = name.substr(0, dot);
  extension = name.substr(dot);
}

// The two groups of hexadecimal digits cannot hold "-", so they are what
// follows the last two "-"; the greedy base takes everything before them.
bool ParseVersionName(std::wstring_view stem, std::wstring& base, DWORD& id1, DWORD& id2) {
  const std::size_t last = stem.rfind(L'-');
  if (last == std::wstring_view::npos || last == 0) return false;
  const std::size_t before = stem.rfind(L'-', last - 1);
  if (before == std::wstring_view::npos) return false;
  DWORD first = 0;
  DWORD second = 0;
  if (!ParseHex(stem.substr(before + 1, last - before - 1), first) || !ParseHex(stem.substr(last + 1), second))
    return false;
  base.assign(stem.substr(0, before));
  id1 = first;
  id2 = second;
  return true;
}

HRESULT ListFolderFiles(std::wstring_view folder, std::vector<std::wstring>& names) {
  names.clear();
  std::wstring pattern(folder);
  pattern += L"\\*";
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // No folder, or nothing in it: no outputs.
    if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) return S_OK;
    return HRESULT_FROM_WIN32(error);
  }
  DWORD error = ERROR_SUCCESS;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(data.cFileName);
    if (!FindNextFileW(search, &data)) error = GetLastError();
  } while (error == ERROR_SUCCESS);
  FindClose(search);
  return error == ERROR_NO_MORE_FILES ? S_OK : HRESULT_FROM_WIN32(error);
}

bool SplitOutputPath(std::wstring_view path, std::wstring_view& folder, std::wstring_view& name) {
  std::size_t at = path.size();
  while (at > 0 && !IsSeparator(path[at - 1])) --at;
  if (at == 0) return false;
  folder = path.substr(0, at - 1);
  name = path.substr(at);
  return true;
}

OutputVersions::OutputVersions(std::wstring path) : m_path(std::move(path)) {
  std::wstring_view folder;
  std::wstring_view name;
  if (!SplitOutputPath(m_path, folder, name)) name = m_path;
  m_folder.assign(folder);
  m_name.assign(name);
  std::wstring_view stem;
  std::wstring_view extension;
  SplitFileName(m_name, stem, extension);
  m_hasWanted = ParseVersionName(stem, m_wanted.base, m_wanted.id1, m_wanted.id2);
  if (m_hasWanted) m_wanted.extension.assign(extension);
}

HRESULT OutputVersions::Scan() {
  m_found.clear();
  if (m_folder.empty()) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
  std::vector<std::wstring> names;
  if (HRESULT hr = ListFolderFiles(m_folder, names); FAILED(hr)) return hr;
  for (const std::wstring& name : names) {
    std::wstring_view stem;
    std::wstring_view extension;
    SplitFileName(name, stem, extension);
    if (extension != m_wanted.extension) continue;
    std::wstring base;
    Found found;
    if (!ParseVersionName(stem, base, found.id1, found.id2) || base != m_wanted.base) continue;
    found.path = m_folder + L"\\" + name;
    m_found.push_back(std::move(found));
  }
  std::sort(m_found.begin(), m_found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.id1, a.id2, a.path) < std::tie(b.id1, b.id2, b.path);
  });
  return S_OK;
}

HRESULT OutputVersions::NeedsOutput(bool& needed) {
  needed = true;
  if (!m_hasWanted) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  if (HRESULT hr = Scan(); FAILED(hr)) return hr;
  if (m_found.empty()) return S_OK;
  const Found& highest = m_found.back();
  needed = Below(highest.id1, highest.id2, m_wanted.id1, m_wanted.id2);
  return S_OK;
}

bool OutputVersions::WantedExists() const {
  const std::wstring wanted = m_folder + L"\\" + m_name;
  return std::any_of(m_found.begin(), m_found.end(), [&](const Found& f) { return f.path == wanted; });
}

HRESULT OutputVersions::RemoveStale() {
  if (!m_hasWanted) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  if (HRESULT hr = Scan(); FAILED(hr)) return hr;
  if (!WantedExists()) return S_FALSE;
  HRESULT result = S_OK;
  for (const Found& found : m_found) {
    if (!Below(found.id1, found.id2, m_wanted.id1, m_wanted.id2)) break;
    if (DeleteFileW(found.path.c_str())) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(error);
  }
  return result;
}

}  // namespace framesight
