// Volumes.h - archive paths ("D:\Media\clip.mov") and the volume folders behind them.
//
// The archive presents its files on drive letters, and a letter is the
// folder the platform's drive map names (platform/fs: REG_SZ "D:" under HKLM
// "SYSTEM\CurrentControlSet\Control\Session Manager\DOS Devices"), so the
// archive and the programs that open its paths agree on where "D:" lies. The
// volume "0" is the archive's default volume: the value "0" under HKLM
// "Software\Vantrel\Corvellane\Volumes" names its drive letter, or, without
// it, the first letter of the drive map. Every path handed in is resolved to
// a folder or file inside its volume; a path that would leave the volume
// ("..", or a symbolic link that points outside) is refused.
#pragma once

#include "platform/base/types.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vnarchive {

inline constexpr const wchar_t* kVolumesKey = L"Software\\Vantrel\\Corvellane\\Volumes";
inline constexpr const wchar_t* kArchiveKey = L"Software\\Vantrel\\Corvellane\\Archive";

struct ArchivePath {
  wchar_t drive = 0;                    // upper-case letter
  std::vector<std::wstring> components; // below the volume root, none for the root
  std::filesystem::path host;           // the folder or file on disk

  // "D:\Media\clip.mov"; "D:\" for the root.
  std::wstring Text() const;
  // "Media\clip.mov": the path below the volume root.
  std::wstring Relative() const;
};

// Parses and resolves an archive path. Accepted forms: "D:\a\b", "D:/a/b",
// "D:" (the root), "\\?\D:\a", and the default-volume forms "0", "0\a", "0/a".
// Both separators are accepted; empty and "." components are dropped.
// Returns a Win32 code: ERROR_PATH_NOT_FOUND for an unknown drive or volume,
// ERROR_BAD_PATHNAME for ".." or a path that escapes its volume,
// ERROR_INVALID_NAME for an empty or malformed path. It does not require the
// target to exist; see Probe below.
DWORD ResolveArchivePath(std::wstring_view text, ArchivePath& out);

// Whether the resolved target exists and what it is. Returns ERROR_SUCCESS,
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND, or ERROR_BAD_PATHNAME when the
// real location (after symbolic links) lies outside the volume.
DWORD Probe(const ArchivePath& path, bool& isDirectory);

// The folder the drive map gives a drive letter, or an empty path.
std::filesystem::path VolumeFolder(wchar_t drive);

}  // namespace vnarchive
