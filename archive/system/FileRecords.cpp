// FileRecords.cpp - identities, key strings, the item record and companion names.
//
// Records are written byte by byte in little-endian order, so their layout
// does not depend on the host's structure packing.
#include "archive/system/FileRecords.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace vnarchive {

DWORD ReadIdentity(const ArchivePath& path, FileIdentity& out) {
  struct stat st {};
  if (::stat(path.host.c_str(), &st) != 0) return platform::Win32FromErrnoForPath(errno, path.host.string());
  out.id0 = static_cast<DWORD>(st.st_ino);
  out.id1 = static_cast<DWORD>(st.st_mtim.tv_sec);
  out.id2 = static_cast<DWORD>(st.st_mtim.tv_nsec);
  return ERROR_SUCCESS;
}

std::wstring MakeKeyString(const ArchivePath& path, const FileIdentity& identity) {
  return platform::FormatW(L"%08X@", identity.id0) + path.Text();
}

bool ParseKeyString(std::wstring_view text, DWORD& id0, std::wstring_view& path) {
  if (text.size() < 10 || text[8] != L'@') return false;
  DWORD value = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const int digit = platform::HexDigitValue(text[i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<DWORD>(digit);
  }
  id0 = value;
  path = text.substr(9);
  return true;
}

void FillRecord(const ArchivePath& path, const FileIdentity& identity, BYTE (&record)[kRecordSize]) {
  std::memset(record, 0, kRecordSize);
  struct stat st {};
  const bool known = ::stat(path.host.c_str(), &st) == 0;
  platform::StoreLe32(record + 0, identity.id0);
  platform::StoreLe32(record + 4, identity.id1);
  platform::StoreLe32(record + 8, identity.id2);
  platform::StoreLe32(record + 12, known && S_ISDIR(st.st_mode) ? 0x10 : 0x20);
  platform::StoreLe64(record + 16, known ? static_cast<ULONGLONG>(st.st_size) : 0);
  // 100 ns units between 1601-01-01 and 1970-01-01.
  constexpr ULONGLONG kEpochDelta = 116444736000000000ull;
  if (known)
    platform::StoreLe64(record + 24, kEpochDelta + static_cast<ULONGLONG>(st.st_mtim.tv_sec) * 10000000ull +
                                         static_cast<ULONGLONG>(st.st_mtim.tv_nsec) / 100);
  platform::StoreLe32(record + 32, identity.id1);
  platform::StoreLe32(record + 36, identity.id2);
  platform::StoreLe32(record + 40, static_cast<DWORD>(path.drive));
}

bool IsValidCompanionName(std::wstring_view name) {
  if (name.empty() || name.size() > kCompanionNameMaxChars) return false;
  if (name.find_first_of(std::wstring_view(L"\\/:\0", 4)) != std::wstring_view::npos) return false;
  return name.find(L"..") == std::wstring_view::npos;
}

std::wstring CompanionPath(const ArchivePath& file, DWORD id1, DWORD id2, std::wstring_view name) {
  const std::size_t dot = name.rfind(L'.');
  const std::wstring_view stem = dot == std::wstring_view::npos ? name : name.substr(0, dot);
  const std::wstring_view ext = dot == std::wstring_view::npos ? std::wstring_view{} : name.substr(dot);
  std::wstring path = L".companions\\" + file.Relative() + L"\\";
  path.append(stem);
  path += platform::FormatW(L"-%X-%X", id1, id2);
  path.append(ext);
  return path;
}

}  // namespace vnarchive
