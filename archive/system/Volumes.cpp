// Volumes.cpp - drive letters to folders, and archive paths to files inside them.
//
// The mapping is read from the registry on every resolution: volumes are few,
// and a test or an administrator may change them while a program runs.
#include "archive/system/Volumes.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <cwctype>
#include <system_error>

namespace vnarchive {

namespace {

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The drive letter that volume "0" stands for, or 0 when no volume is mapped.
wchar_t DefaultDrive() {
  platform::RegKey volumes;
  std::wstring letter;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVolumesKey, 0, KEY_READ, volumes.put()) == ERROR_SUCCESS &&
      platform::RegReadString(volumes.get(), L"0", letter) == ERROR_SUCCESS && letter.size() >= 1 &&
      IsLetter(letter[0]))
    return Upper(letter[0]);
  platform::RegKey map;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, platform::kDriveMapKey, 0, KEY_READ, map.put()) != ERROR_SUCCESS) return 0;
  for (DWORD index = 0;; ++index) {
    wchar_t name[16];
    DWORD nameLength = 16;
    const LSTATUS rc = RegEnumValueW(map.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return 0;
    if (rc == ERROR_SUCCESS && nameLength == 2 && IsLetter(name[0]) && name[1] == L':') return Upper(name[0]);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return 0;
  }
}

bool IsUnder(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator of the root
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

}  // namespace

std::wstring ArchivePath::Relative() const {
  std::wstring text;
  for (const auto& c : components) {
    if (!text.empty()) text += L'\\';
    text += c;
  }
  return text;
}

std::wstring ArchivePath::Text() const { return std::wstring{drive, L':', L'\\'} + Relative(); }

std::filesystem::path VolumeFolder(wchar_t drive) {
  std::string folder;
  if (platform::DriveFolder(drive, folder) != ERROR_SUCCESS) return {};
  return std::filesystem::path(folder.empty() ? std::string("/") : folder);
}

DWORD ResolveArchivePath(std::wstring_view text, ArchivePath& out) {
  if (text.find(L'\0') != std::wstring_view::npos) return ERROR_INVALID_NAME;
  if (text.substr(0, 4) == L"\\\\?\\") text.remove_prefix(4);
  if (text.empty()) return ERROR_INVALID_NAME;

  wchar_t drive = 0;
  std::wstring_view rest;
  if (text[0] == L'0' && (text.size() == 1 || text[1] == L'\\' || text[1] == L'/')) {
    drive = DefaultDrive();
    rest = text.substr(1);
  } else if (text.size() >= 2 && IsLetter(text[0]) && text[1] == L':') {
    drive = Upper(text[0]);
    rest = text.substr(2);
  } else {
    return ERROR_INVALID_NAME;
  }
  if (drive == 0) return ERROR_PATH_NOT_FOUND;

  ArchivePath path;
  path.drive = drive;
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(L"\\/");
    const std::wstring_view part = rest.substr(0, end);
    rest = end == std::wstring_view::npos ? std::wstring_view{} : rest.substr(end + 1);
    if (part.empty() || part == L".") continue;
    if (part == L"..") return ERROR_BAD_PATHNAME;
    // ':' would name an alternate stream on the archive's file system.
    if (part.find(L':') != std::wstring_view::npos) return ERROR_INVALID_NAME;
    path.components.emplace_back(part);
  }

  const std::filesystem::path root = VolumeFolder(drive);
  if (root.empty()) return ERROR_PATH_NOT_FOUND;
  path.host = root;
  for (const auto& c : path.components) path.host /= platform::Utf8FromWide(c);
  out = std::move(path);
  return ERROR_SUCCESS;
}

DWORD Probe(const ArchivePath& path, bool& isDirectory) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(path.host, ec);
  if (ec) return platform::Win32FromErrnoForPath(ec.value(), path.host.string());
  const std::filesystem::path root = std::filesystem::canonical(VolumeFolder(path.drive), ec);
  if (ec) return ERROR_PATH_NOT_FOUND;
  // A symbolic link inside the volume must not lead out of it.
  if (!IsUnder(real, root)) return ERROR_BAD_PATHNAME;
  isDirectory = std::filesystem::is_directory(real, ec);
  return ERROR_SUCCESS;
}

}  // namespace vnarchive
