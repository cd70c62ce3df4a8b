// fs.h - files, folders and Windows paths in the Windows shape.
//
// The system's code names files as Windows does ("D:\Media\clip.mov",
// "\\?\D:\a", "C:\www\index.htm"). A drive letter is the folder named by the
// REG_SZ value "D:" under HKLM "SYSTEM\CurrentControlSet\Control\Session
// Manager\DOS Devices"; a path without a drive letter is a host path. "\" and
// "/" both separate, ".." is resolved lexically before the host is asked, and
// a path that climbs above its drive's root, or a symbolic link that leads out
// of the drive's folder, is ERROR_BAD_PATHNAME. "\\.\pipe\NAME" opens a pipe
// client (platform/pipe).
//
// Handles are sync.h handles: CloseHandle (or platform::UniqueHandle, the
// owning form) closes them. ReadFile, WriteFile, GetOverlappedResult,
// CancelIo and FlushFileBuffers (handle_io.h, shared with the pipes) serve
// files and folder watches as they serve pipes. Every call answers the Win32
// codes Windows gives: 2 file not found, 3 path not found, 5 access denied,
// 32 sharing violation, 123 invalid name, 161 bad path name; see README.md
// for where the behaviour differs from Windows.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/handle_io.h"
#include "platform/base/types.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <string>
#include <string_view>

constexpr DWORD MAX_PATH = 260;

// Access rights beyond GENERIC_READ/GENERIC_WRITE (handle_io.h).
constexpr DWORD GENERIC_EXECUTE = 0x20000000u;
constexpr DWORD FILE_READ_DATA = 0x0001u;
constexpr DWORD FILE_LIST_DIRECTORY = 0x0001u;
constexpr DWORD FILE_WRITE_DATA = 0x0002u;
constexpr DWORD FILE_APPEND_DATA = 0x0004u;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080u;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100u;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions (OPEN_EXISTING is in handle_io.h).
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000u;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000u;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000u;
constexpr DWORD FILE_FLAG_POSIX_SEMANTICS = 0x01000000u;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

// File mappings.
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD FILE_MAP_COPY = 0x01;
constexpr DWORD FILE_MAP_WRITE = 0x02;
constexpr DWORD FILE_MAP_READ = 0x04;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0xF001F;

// MoveFileExW flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// ReadDirectoryChangesW filters and actions.
constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x8;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;
constexpr DWORD FILE_ACTION_ADDED = 1;
constexpr DWORD FILE_ACTION_REMOVED = 2;
constexpr DWORD FILE_ACTION_MODIFIED = 3;
constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

// One record of a ReadDirectoryChangesW buffer. The buffer stays in the
// process, so FileNameLength counts bytes of wchar_t (characters x
// sizeof(wchar_t)); the name is relative to the watched folder, "\"-separated
// and not terminated. Records are DWORD aligned.
struct FILE_NOTIFY_INFORMATION {
  DWORD NextEntryOffset;
  DWORD Action;
  DWORD FileNameLength;
  WCHAR FileName[1];
};

using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD bytes, OVERLAPPED* overlapped);

// --- Opening ---
// Files, and folders with FILE_FLAG_BACKUP_SEMANTICS (without it a folder is
// ERROR_ACCESS_DENIED). Share modes are checked as Windows checks them among
// the handles of this process; across processes a handle that denies read or
// write sharing holds the file exclusively (flock), one that shares both holds
// it shared. CREATE_ALWAYS and OPEN_ALWAYS on an existing file succeed with
// last error ERROR_ALREADY_EXISTS, as Windows does. FILE_FLAG_OVERLAPPED on a
// file completes reads and writes at once (at the OVERLAPPED's offset).
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* attributes,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);

// --- Position, size, times, attributes ---
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;  // files and folders
constexpr DWORD FILE_TYPE_CHAR = 2;  // devices
constexpr DWORD FILE_TYPE_PIPE = 3;  // pipes, FIFOs and sockets
// FILE_TYPE_UNKNOWN with ERROR_INVALID_HANDLE for a handle of another kind
// (pipe handles of platform/pipe answer FILE_TYPE_PIPE).
DWORD GetFileType(HANDLE file);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod);
// INVALID_SET_FILE_POINTER with last error set on failure (ERROR_SUCCESS when
// the new position's low part happens to be 0xFFFFFFFF).
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod);
// The file ends at the current position.
BOOL SetEndOfFile(HANDLE file);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
DWORD GetFileAttributesW(LPCWSTR name);
BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, void* information);

// --- Mappings ---
// A mapping of an open file (no page-file mappings, no names). A size larger
// than a PAGE_READWRITE file grows the file, as Windows does.
HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES* attributes, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name);
// bytes 0 maps from the offset to the mapping's end. The view outlives the
// mapping handle until UnmapViewOfFile.
LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
BOOL UnmapViewOfFile(LPCVOID baseAddress);
BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T bytes);

// --- Search ---
// The pattern's last component may hold "*" and "?" ("*.*" is "*"); names
// match case-insensitively and come in case-insensitive name order (ties in
// byte order), so the same request always finds the same file. "." and ".."
// are listed for a folder other than a drive's root, as Windows lists them.
// ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND when the
// folder is missing; FindNextFileW ends with ERROR_NO_MORE_FILES.
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE search);

// --- Folders, delete, rename ---
// One level; ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND when
// its parent is missing.
BOOL CreateDirectoryW(LPCWSTR name, SECURITY_ATTRIBUTES* attributes);
BOOL RemoveDirectoryW(LPCWSTR name);
// ERROR_SHARING_VIOLATION while a handle of this process holds the file
// without FILE_SHARE_DELETE.
BOOL DeleteFileW(LPCWSTR name);
// Never replaces an existing target unless MOVEFILE_REPLACE_EXISTING is given
// (ERROR_ALREADY_EXISTS); a folder is never replaced (ERROR_ACCESS_DENIED).
// Across file systems ERROR_NOT_SAME_DEVICE (no copy is made).
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);

// --- Folder change notification ---
// On a folder opened with FILE_FLAG_BACKUP_SEMANTICS. Changes are collected
// from the first call on (between calls too; the first call's subtree flag
// and filter hold for the handle's life) and handed to the next read. With an
// OVERLAPPED the call answers TRUE once the read is queued; when changes
// arrive hEvent is set and GetOverlappedResult answers the byte count. Lost
// changes (a kernel queue overflow) or more than the buffer holds complete
// with 0 bytes: the caller must look at the folder again, as on Windows (a
// synchronous read answers ERROR_NOTIFY_ENUM_DIR instead). CancelIo, or
// closing the handle, completes a pending read with ERROR_OPERATION_ABORTED.
// New folders below a subtree watch are watched as they appear, and what they
// already hold is reported as added. When a folder cannot be watched (the
// kernel's inotify watch limit, or the cap VANTREL_FS_MAX_WATCHES sets per
// handle) the call, or the pending read, fails with ERROR_NOT_ENOUGH_QUOTA.
// One read at a time; completion routines are not supported
// (ERROR_INVALID_PARAMETER).
BOOL ReadDirectoryChangesW(HANDLE directory, LPVOID buffer, DWORD bufferLength, BOOL watchSubtree,
                           DWORD notifyFilter, DWORD* bytesReturned, OVERLAPPED* overlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine);

namespace platform {

// The registry key of the drive map, under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kDriveMapKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices";

// The host folder behind drive letter (either case), without a trailing "/".
// ERROR_PATH_NOT_FOUND when the letter is not mapped (or maps to a relative
// folder).
DWORD DriveFolder(wchar_t letter, std::string& folder);

// A Windows or host path as the host path it names: "D:\a", "D:/a", "D:"
// (the root), "D:a", "\\?\D:\a" and host paths ("/srv/x", "rel\x" from the
// current folder). Codes: ERROR_INVALID_NAME for characters Windows refuses
// in names (<>:"|?* and control characters), ERROR_PATH_NOT_FOUND for an
// unknown drive, ERROR_BAD_PATHNAME for a climb above the root or a link out
// of the drive's folder, or a UNC or device path.
DWORD ResolvePath(std::wstring_view path, std::string& hostPath);

// The host path of an existing file or folder once every symbolic link in
// it is followed (what GetFinalPathNameByHandleW gives for an open file), so
// that a caller can check that what a search found lies under the folder it
// searched. The codes of ResolvePath, and 2 or 3 when nothing is there.
DWORD FinalPath(std::wstring_view path, std::string& finalPath);

// The same with "*" and "?" allowed in the last component (for searches).
DWORD ResolvePattern(std::wstring_view pattern, std::string& hostFolder, std::wstring& namePattern);

// Which characters a path text may not hold, by what the text becomes.
enum class RefusedIn {
  Name,         // a file or folder name: control characters and <>:"|?*, as Windows refuses them
  PatternName,  // the last name of a search pattern: the same with "*" and "?" allowed
  RequestPath,  // a URL path joined to a folder and searched there: control characters, DEL, and
                // what would name another folder or act as a pattern ("\", ":", "*", "?")
};
bool IsRefusedCharacter(wchar_t c, RefusedIn where);

// Whether name matches a search pattern ("*", "?"; "*.*" is "*"),
// case-insensitively.
bool MatchesFilePattern(std::wstring_view pattern, std::wstring_view name);

// Creates the folder and every missing parent; ERROR_SUCCESS when it already
// exists as a folder.
DWORD CreateDirectoryTree(std::wstring_view path);

// Writes a file whole through a temporary file beside it and a rename, so
// that a reader sees either the old content or the new one, never a part.
DWORD WriteFileReplacing(std::wstring_view path, const void* data, std::size_t size);

// A file written under a temporary name beside its target and renamed onto
// it by Commit; dropped (deleted) when it is destroyed uncommitted.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file (read and write access, no sharing). The
  // codes are CreateFileW's for the target's folder.
  DWORD Create(std::wstring_view target);
  HANDLE Handle() const { return m_file.get(); }
  // Closes the file and renames it onto the target (replacing it unless
  // replace is false, then ERROR_ALREADY_EXISTS keeps the old one).
  DWORD Commit(bool replace = true);

 private:
  void Drop();

  UniqueHandle m_file;
  std::string m_temporary;  // host path of the temporary file
  std::string m_target;     // host path of the target
};

// The host path a handle of this facility was opened with (empty for other
// handles).
std::string HandlePath(HANDLE handle);

// Every byte of the file at path (opened for reading, shared for reading),
// for the small files read whole: certificates, saved trace files. A file
// larger than maxBytes is ERROR_FILE_TOO_LARGE and is not read; a file that
// shrinks while it is read gives what was there. 0 or a Win32 code.
DWORD ReadWholeFile(std::wstring_view path, std::size_t maxBytes, std::string& bytes);

}  // namespace platform
