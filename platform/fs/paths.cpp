// paths.cpp - the drive map and the resolution of Windows paths to host paths.
//
// Resolution is lexical first (separators, ".", "..", trailing dots and
// spaces, refused characters), so that a path can never climb out of its
// drive by spelling; then the longest existing prefix is resolved by the host
// to catch symbolic links that lead out of the drive's folder.
#include "platform/fs/fs.h"

#include "platform/base/text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "\\?\" (and "//?/") turns normalisation of names off on Windows; here only
// the trailing dots and spaces are kept.
bool StripLiteralPrefix(std::wstring_view& path) {
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == L'?' && IsSeparator(path[3])) {
    path.remove_prefix(4);
    return true;
  }
  return false;
}

// Splits rest into components onto parts, resolving "." and ".." lexically.
// wildcardsLast allows "*" and "?" in the last component.
DWORD AddComponents(std::wstring_view rest, bool literal, bool wildcardsLast, std::vector<std::wstring>& parts) {
  std::vector<std::wstring_view> names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= rest.size(); ++i) {
    if (i == rest.size() || IsSeparator(rest[i])) {
      names.push_back(rest.substr(start, i - start));
      start = i + 1;
    }
  }
  for (std::size_t n = 0; n < names.size(); ++n) {
    std::wstring_view name = names[n];
    if (name.empty() || name == L".") continue;
    if (name == L"..") {
      if (parts.empty()) return ERROR_BAD_PATHNAME;
      parts.pop_back();
      continue;
    }
    const bool last = n + 1 == names.size();
    for (wchar_t c : name) {
      if (IsRefusedCharacter(c, wildcardsLast && last ? RefusedIn::PatternName : RefusedIn::Name))
        return ERROR_INVALID_NAME;
    }
    // Windows drops trailing dots and spaces from every name it normalises.
    if (!literal) {
      while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.remove_suffix(1);
      if (name.empty()) continue;
    }
    parts.emplace_back(name);
  }
  return ERROR_SUCCESS;
}

std::string Join(const std::string& root, const std::vector<std::wstring>& parts) {
  std::string out = root;
  for (const auto& part : parts) {
    out += '/';
    out += Utf8FromWide(part);
  }
  return out.empty() ? "/" : out;
}

std::string CanonicalOrEmpty(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool IsInside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// The longest existing prefix of root + parts, resolved by the host, must
// stay inside the drive's folder. A name that exists but cannot be resolved
// (a dangling link) is refused too: creating through it would write outside.
DWORD CheckLinks(const std::string& root, const std::vector<std::wstring>& parts) {
  const std::string realRoot = CanonicalOrEmpty(root.empty() ? "/" : root);
  if (realRoot.empty()) return ERROR_PATH_NOT_FOUND;
  std::vector<std::wstring> prefix = parts;
  for (;;) {
    const std::string candidate = Join(root, prefix);
    const std::string real = CanonicalOrEmpty(candidate);
    if (!real.empty()) return IsInside(real, realRoot) ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return ERROR_BAD_PATHNAME;
    if (prefix.empty()) return ERROR_PATH_NOT_FOUND;
    prefix.pop_back();
  }
}

DWORD ResolveWith(std::wstring_view path, bool wildcardsLast, std::string& hostPath) {
  const bool literal = StripLiteralPrefix(path);
  // UNC shares and device paths ("\\server\share", "\\.\C:") are not served.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return ERROR_BAD_PATHNAME;
  std::vector<std::wstring> parts;
  if (path.size() >= 2 && path[1] == L':' && IsDriveLetter(path[0])) {
    std::string root;
    if (DWORD e = DriveFolder(path[0], root); e != ERROR_SUCCESS) return e;
    if (DWORD e = AddComponents(path.substr(2), literal, wildcardsLast, parts); e != ERROR_SUCCESS) return e;
    if (DWORD e = CheckLinks(root, parts); e != ERROR_SUCCESS && e != ERROR_PATH_NOT_FOUND) return e;
    hostPath = Join(root, parts);
    return ERROR_SUCCESS;
  }
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (!IsSeparator(path[0])) {
    // Relative host path: from the current folder.
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return Win32FromErrno(errno);
    if (DWORD e = AddComponents(WideFromUtf8(buffer), false, false, parts); e != ERROR_SUCCESS) return e;
  }
  if (DWORD e = AddComponents(path, literal, wildcardsLast, parts); e != ERROR_SUCCESS) return e;
  hostPath = Join(std::string(), parts);
  return ERROR_SUCCESS;
}

}  // namespace

bool IsRefusedCharacter(wchar_t c, RefusedIn where) {
  if (c < 32) return true;
  if (where == RefusedIn::RequestPath) return c == 0x7F || c == L'\\' || c == L':' || c == L'*' || c == L'?';
  switch (c) {
    case L'<': case L'>': case L':': case L'"': case L'|': return true;
    case L'*': case L'?': return where == RefusedIn::Name;
    default: return false;
  }
}

DWORD DriveFolder(wchar_t letter, std::string& folder) {
  if (!IsDriveLetter(letter)) return ERROR_INVALID_NAME;
  RegKey map;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriveMapKey, 0, KEY_READ, map.put()) != ERROR_SUCCESS)
    return ERROR_PATH_NOT_FOUND;
  const wchar_t name[3] = {static_cast<wchar_t>(letter & ~0x20), L':', 0};
  std::wstring value;
  DWORD type = REG_NONE;
  if (RegReadString(map.get(), name, value, &type) != ERROR_SUCCESS || type != REG_SZ) return ERROR_PATH_NOT_FOUND;
  std::string host = Utf8FromWide(value);
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (host.empty() || host[0] != '/') return ERROR_PATH_NOT_FOUND;
  folder = host == "/" ? std::string() : host;
  return ERROR_SUCCESS;
}

DWORD ResolvePath(std::wstring_view path, std::string& hostPath) { return ResolveWith(path, false, hostPath); }

DWORD ResolvePattern(std::wstring_view pattern, std::string& hostFolder, std::wstring& namePattern) {
  std::size_t cut = pattern.size();
  while (cut > 0 && !IsSeparator(pattern[cut - 1])) --cut;
  // "D:*" searches the drive's root.
  if (cut == 0 && pattern.size() >= 2 && pattern[1] == L':' && IsDriveLetter(pattern[0])) cut = 2;
  namePattern.assign(pattern.substr(cut));
  for (wchar_t c : namePattern) {
    if (IsRefusedCharacter(c, RefusedIn::PatternName)) return ERROR_INVALID_NAME;
  }
  std::wstring_view folder = pattern.substr(0, cut);
  if (folder.empty()) folder = L".";
  return ResolveWith(folder, false, hostFolder);
}

DWORD FinalPath(std::wstring_view path, std::string& finalPath) {
  std::string host;
  if (DWORD e = ResolvePath(path, host); e != ERROR_SUCCESS) return e;
  char buffer[PATH_MAX];
  if (::realpath(host.c_str(), buffer) == nullptr) return Win32FromErrnoForPath(errno, host);
  finalPath = buffer;
  return ERROR_SUCCESS;
}

}  // namespace platform
