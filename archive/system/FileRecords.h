// FileRecords.h - identities, key strings, item records and companion paths of archived files.
//
// A file's identity is three 32-bit values: id0 names the file on its volume
// (the low half of its inode, so it survives renames), and the pair (id1, id2)
// names its content version (the seconds and nanoseconds of its last
// modification, so any rewrite gives a pair that orders after the old one).
// The key string is the archive's own name for a file: id0 in hexadecimal,
// "@", and the file's archive path; it stops resolving when the path comes to
// name another file.
//
// Companions (outputs derived from a file, such as previews) live in a
// per-file folder ".companions\<file's path>\" on the file's volume; a
// companion named stem.ext of version (id1, id2) is stem-ID1-ID2.ext with both
// values in upper-case hexadecimal.
#pragma once

#include "archive/system/Volumes.h"
#include "platform/base/types.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace vnarchive {

struct FileIdentity {
  DWORD id0 = 0;
  DWORD id1 = 0;
  DWORD id2 = 0;
};

// Reads the identity of an existing file or folder; a Win32 code.
DWORD ReadIdentity(const ArchivePath& path, FileIdentity& out);

// "0001A2B3@D:\Media\clip.mov".
std::wstring MakeKeyString(const ArchivePath& path, const FileIdentity& identity);
// Splits a key string; false when text is not one (then it is a path).
bool ParseKeyString(std::wstring_view text, DWORD& id0, std::wstring_view& path);

// Item codes of IArchiveItems: the code is also the record's size in bytes.
inline constexpr DWORD kItemIdentity = 12;
inline constexpr DWORD kItemRecord = 48;
inline constexpr std::size_t kRecordSize = 48;

// The 48-byte record: u32 id0, id1, id2, attributes (0x20 file, 0x10
// folder) at 0..15; u64 size at 16; u64 last write as 100 ns units since 1601
// at 24; u32 id1 and id2 again at 32 and 36 (the identity pair readers take);
// u32 drive letter at 40; 4 zero bytes. Little-endian.
void FillRecord(const ArchivePath& path, const FileIdentity& identity, BYTE (&record)[kRecordSize]);

// Control codes of IArchiveFileControl.
inline constexpr DWORD kControlCompanionPath = 0x96190;  // kept path of a named companion
inline constexpr DWORD kControlOutputPath = 0x9618C;     // path a transcoder writes a companion to
inline constexpr DWORD kControlIdentityPair = 0x96194;   // current (id1, id2)

// The companion request: u32 id1, u32 id2, u16 name bytes, then the name as
// UTF-16LE in a 128-byte field (63 characters at most).
inline constexpr std::size_t kCompanionHeaderSize = 10;
inline constexpr std::size_t kCompanionNameField = 128;
inline constexpr std::size_t kCompanionNameMaxChars = 63;

// A companion name is one file name: not empty, at most 63 characters, without
// "\", "/", ":", a NUL or "..". Names may carry wildcards ("(*).(*)") to form
// templates that callers match against.
bool IsValidCompanionName(std::wstring_view name);
// ".companions\Media\clip.mov\Preview-1A-2.webm": relative to the volume root.
std::wstring CompanionPath(const ArchivePath& file, DWORD id1, DWORD id2, std::wstring_view name);

}  // namespace vnarchive
