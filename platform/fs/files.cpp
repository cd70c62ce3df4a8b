// files.cpp - opening files and folders, their I/O, size, times and attributes,
// and the calls that create, delete and rename by name.
#include "platform/fs/fs_internal.h"

#include "platform/base/text.h"
#include "platform/fs/host.h"
#include "platform/sync/sync_internal.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform::fs_detail {
namespace {

constexpr LONGLONG kEpochDifference = 11644473600LL;  // seconds from 1601 to 1970
constexpr LONGLONG kTicksPerSecond = 10000000LL;      // FILETIME counts 100 ns

using FileRef = sync_detail::ObjectRef<FileObject>;

int OpenFlags(DWORD access, DWORD disposition) {
  int o = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not wait for its peer
  const bool read = WantsRead(access);
  const bool write = WantsWrite(access);
  if (read && write) o |= O_RDWR;
  else if (write) o |= O_WRONLY;
  else if (read || disposition != OPEN_EXISTING) o |= O_RDONLY;
  else o |= O_PATH;  // attributes only
  if ((access & (FILE_APPEND_DATA | GENERIC_WRITE | FILE_WRITE_DATA)) == FILE_APPEND_DATA) o |= O_APPEND;
  return o;
}

// Opens (creating as the disposition says); existed tells whether the file
// was there before. Answers -1 with errno set.
int OpenDisposed(const std::string& path, int base, DWORD disposition, bool& existed) {
  existed = true;
  switch (disposition) {
    case CREATE_NEW:
      existed = false;
      return ::open(path.c_str(), base | O_CREAT | O_EXCL, 0666);
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
          existed = false;
          return fd;
        }
        fd = ::open(path.c_str(), base);
        if (fd >= 0 || errno != ENOENT) return fd;  // deleted in between: try again
      }
      errno = EAGAIN;
      return -1;
    default:
      return ::open(path.c_str(), base);
  }
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// The resolved host path of a name, or the failure's code.
DWORD Resolve(LPCWSTR name, std::string& host) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return ResolvePath(name, host);
}

// Files complete overlapped I/O inside the call: the result goes where
// GetOverlappedResult finds it, and the event is set.
BOOL Complete(OVERLAPPED* overlapped, DWORD code, DWORD done) {
  if (overlapped != nullptr) {
    overlapped->Internal = code;
    overlapped->InternalHigh = done;
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }
  return code == ERROR_SUCCESS ? TRUE : Fail(code);
}

DWORD CodeForPath(int err, const std::string& path, ErrnoContext ctx) {
  return Win32FromErrnoForPath(err, path, ctx);
}

}  // namespace

FileObject::FileObject(int fd, std::string path, DWORD access, DWORD flags, bool directory)
    : m_fd(fd), m_path(std::move(path)), m_access(access), m_flags(flags), m_directory(directory) {}

FileObject::~FileObject() {
  m_watch.reset();
  ReleaseOpener(m_ticket);
  if ((m_flags & FILE_FLAG_DELETE_ON_CLOSE) != 0) {
    if (m_directory) ::rmdir(m_path.c_str());
    else ::unlink(m_path.c_str());
  }
  ::close(m_fd);
}

BOOL FileObject::Read(void* buffer, DWORD size, DWORD* bytesRead, OVERLAPPED* overlapped) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (m_directory) return Fail(ERROR_INVALID_FUNCTION);
  if (!WantsRead(m_access)) return Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  ssize_t n;
  do {
    n = overlapped != nullptr
            ? ::pread(m_fd, buffer, size, static_cast<off_t>(overlapped->Offset | (ULONGLONG{overlapped->OffsetHigh} << 32)))
            : ::read(m_fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  const DWORD code = n < 0 ? Win32FromErrno(errno) : (overlapped != nullptr && n == 0 && size > 0) ? ERROR_HANDLE_EOF
                                                                                                  : ERROR_SUCCESS;
  const DWORD done = n < 0 ? 0 : static_cast<DWORD>(n);
  if (bytesRead != nullptr) *bytesRead = done;
  return Complete(overlapped, code, done);
}

BOOL FileObject::Write(const void* buffer, DWORD size, DWORD* bytesWritten, OVERLAPPED* overlapped) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (m_directory) return Fail(ERROR_INVALID_FUNCTION);
  if (!WantsWrite(m_access)) return Fail(ERROR_ACCESS_DENIED);
  if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_PARAMETER);
  const auto* bytes = static_cast<const char*>(buffer);
  const off_t at = overlapped != nullptr
                       ? static_cast<off_t>(overlapped->Offset | (ULONGLONG{overlapped->OffsetHigh} << 32))
                       : 0;
  DWORD done = 0;
  DWORD code = ERROR_SUCCESS;
  while (done < size) {
    const ssize_t n = overlapped != nullptr ? ::pwrite(m_fd, bytes + done, size - done, at + done)
                                            : ::write(m_fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      code = Win32FromErrno(errno);
      break;
    }
    done += static_cast<DWORD>(n);
  }
  if (bytesWritten != nullptr) *bytesWritten = done;
  return Complete(overlapped, code, done);
}

BOOL FileObject::OverlappedResult(OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) {
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (m_directory) {
    DirectoryWatch* watch = nullptr;
    {
      SrwSharedLock hold(m_watchLock);
      watch = m_watch.get();
    }
    if (watch == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return WatchResult(*watch, overlapped, bytes, wait);
  }
  // File I/O completes inside the call that starts it.
  if (bytes != nullptr) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
  const auto code = static_cast<DWORD>(overlapped->Internal);
  return code == ERROR_SUCCESS ? TRUE : Fail(code);
}

BOOL FileObject::Cancel(OVERLAPPED* overlapped) {
  SrwSharedLock hold(m_watchLock);
  if (m_watch == nullptr) return Fail(ERROR_NOT_FOUND);
  return CancelWatch(*m_watch, overlapped);
}

BOOL FileObject::Flush() {
  if (!WantsWrite(m_access)) return Fail(ERROR_ACCESS_DENIED);
  return ::fsync(m_fd) == 0 ? TRUE : Fail(Win32FromErrno(errno));
}

DirectoryWatch* FileObject::Watch(DWORD& error, bool subtree, DWORD filter) {
  error = ERROR_SUCCESS;
  SrwExclusiveLock hold(m_watchLock);
  if (m_watch == nullptr) m_watch = StartDirectoryWatch(m_path, subtree, filter, error);
  return m_watch.get();
}

FILETIME FileTimeFromTimespec(const struct timespec& ts) {
  const LONGLONG ticks = (static_cast<LONGLONG>(ts.tv_sec) + kEpochDifference) * kTicksPerSecond + ts.tv_nsec / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32)};
}

DWORD AttributesOf(const struct stat& st, bool isLink) {
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if (isLink) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

HANDLE OpenHostPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return FailHandle(ERROR_INVALID_PARAMETER);
  if (disposition == TRUNCATE_EXISTING && !WantsWrite(access)) return FailHandle(ERROR_INVALID_PARAMETER);
  bool existed = true;
  int fd = OpenDisposed(path, OpenFlags(access, disposition), disposition, existed);
  if (fd < 0 && errno == EISDIR && (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 && !WantsWrite(access)) {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) return FailHandle(CodeForPath(errno, path, ErrnoContext::CreateFile));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return FailHandle(Win32FromErrno(err));
  }
  const bool directory = S_ISDIR(st.st_mode);
  // A folder opens only for backup semantics, as on Windows.
  if (directory && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    ::close(fd);
    return FailHandle(ERROR_ACCESS_DENIED);
  }
  if ((OpenFlags(access, disposition) & O_PATH) == 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto file = std::make_unique<FileObject>(fd, path, access, flags, directory);
  if (DWORD e = AdmitOpener(st, fd, access, share, file->Ticket()); e != ERROR_SUCCESS) return FailHandle(e);
  // Truncation comes after the share check, so a refused opener changes nothing.
  const bool truncate = existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncate && !directory && ::ftruncate(fd, 0) != 0) return FailHandle(Win32FromErrno(errno));
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                      : ERROR_SUCCESS);
  return MakeHandle(file.release());
}

DWORD MoveHostPath(const std::string& from, const std::string& to, bool replace) {
  struct stat source {};
  if (::lstat(from.c_str(), &source) != 0) return CodeForPath(errno, from, ErrnoContext::MoveFile);
  if (DWORD e = CheckDeleteSharing(source); e != ERROR_SUCCESS) return e;
  if (replace) {
    struct stat target {};
    if (::lstat(to.c_str(), &target) == 0) {
      // Windows never replaces a folder, and a replaced file must be free to delete.
      if (S_ISDIR(target.st_mode)) return ERROR_ACCESS_DENIED;
      if (DWORD e = CheckDeleteSharing(target); e != ERROR_SUCCESS) return e;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) return CodeForPath(errno, to, ErrnoContext::MoveFile);
    return ERROR_SUCCESS;
  }
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return ERROR_SUCCESS;
  if (errno != EINVAL && errno != ENOSYS) return CodeForPath(errno, to, ErrnoContext::MoveFile);
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing
  // target just as well (files only).
  if (S_ISDIR(source.st_mode)) return ERROR_NOT_SUPPORTED;
  if (::link(from.c_str(), to.c_str()) != 0) return CodeForPath(errno, to, ErrnoContext::MoveFile);
  ::unlink(from.c_str());
  return ERROR_SUCCESS;
}

}  // namespace platform::fs_detail

using platform::fs_detail::Fail;
using platform::fs_detail::FileRef;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* /*attributes*/,
                   DWORD creationDisposition, DWORD flags, HANDLE /*templateFile*/) {
  // Device names ("\\.\pipe\NAME" and the like) belong to the pipe layer.
  const std::wstring_view device = name != nullptr ? std::wstring_view(name) : std::wstring_view();
  if (device.size() >= 4 && device.substr(0, 4) == L"\\\\.\\") {
    if (creationDisposition != OPEN_EXISTING) return platform::fs_detail::FailHandle(ERROR_INVALID_PARAMETER);
    return platform::OpenPipeClient(name, access, flags);
  }
  std::string host;
  if (DWORD e = platform::fs_detail::Resolve(name, host); e != ERROR_SUCCESS)
    return platform::fs_detail::FailHandle(e);
  return platform::fs_detail::OpenHostPath(host, access, shareMode, creationDisposition, flags);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod) {
  FileRef f(file);
  if (!f || f->IsDirectory()) return Fail(ERROR_INVALID_HANDLE);
  if (moveMethod > FILE_END) return Fail(ERROR_INVALID_PARAMETER);
  const int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(f->Fd(), static_cast<off_t>(distance.QuadPart), whence);
  // A negative position is ERROR_NEGATIVE_SEEK on Windows; lseek says EINVAL.
  if (at < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : platform::Win32FromErrno(errno));
  if (newPosition != nullptr) newPosition->QuadPart = at;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
  LARGE_INTEGER move{};
  move.QuadPart = distanceHigh != nullptr
                      ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                              static_cast<DWORD>(distance))
                      : static_cast<LONGLONG>(distance);
  LARGE_INTEGER at{};
  if (!SetFilePointerEx(file, move, &at, moveMethod)) return INVALID_SET_FILE_POINTER;
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<ULONGLONG>(at.QuadPart) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(at.QuadPart);
}

DWORD GetFileType(HANDLE file) {
  FileRef f(file);
  if (!f) {
    if (platform::IsPipeHandle(file)) return FILE_TYPE_PIPE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  struct stat st {};
  if (::fstat(f->Fd(), &st) != 0) {
    SetLastError(platform::Win32FromErrno(errno));
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
  return FILE_TYPE_PIPE;
}

BOOL SetEndOfFile(HANDLE file) {
  FileRef f(file);
  if (!f || f->IsDirectory()) return Fail(ERROR_INVALID_HANDLE);
  if (!platform::fs_detail::WantsWrite(f->Access())) return Fail(ERROR_ACCESS_DENIED);
  const off_t at = ::lseek(f->Fd(), 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(f->Fd(), at) != 0) return Fail(platform::Win32FromErrno(errno));
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  FileRef f(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st {};
  if (::fstat(f->Fd(), &st) != 0) return Fail(platform::Win32FromErrno(errno));
  size->QuadPart = S_ISDIR(st.st_mode) ? 0 : static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
  FileRef f(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  struct statx sx {};
  if (::statx(f->Fd(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return Fail(platform::Win32FromErrno(errno));
  auto toTimespec = [](const struct statx_timestamp& t) { return timespec{t.tv_sec, t.tv_nsec}; };
  // File systems that keep no birth time report the last change instead.
  const auto& born = (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime : sx.stx_mtime;
  if (creation != nullptr) *creation = platform::fs_detail::FileTimeFromTimespec(toTimespec(born));
  if (lastAccess != nullptr) *lastAccess = platform::fs_detail::FileTimeFromTimespec(toTimespec(sx.stx_atime));
  if (lastWrite != nullptr) *lastWrite = platform::fs_detail::FileTimeFromTimespec(toTimespec(sx.stx_mtime));
  return TRUE;
}

BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, void* information) {
  if (level != GetFileExInfoStandard || information == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::string host;
  if (DWORD e = platform::fs_detail::Resolve(name, host); e != ERROR_SUCCESS) return Fail(e);
  struct stat link {};
  struct stat st {};
  if (::lstat(host.c_str(), &link) != 0)
    return Fail(platform::fs_detail::CodeForPath(errno, host, platform::ErrnoContext::CreateFile));
  if (!S_ISLNK(link.st_mode) || ::stat(host.c_str(), &st) != 0) st = link;
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  data->dwFileAttributes = platform::fs_detail::AttributesOf(st, S_ISLNK(link.st_mode));
  data->ftCreationTime = platform::fs_detail::FileTimeFromTimespec(st.st_mtim);
  data->ftLastAccessTime = platform::fs_detail::FileTimeFromTimespec(st.st_atim);
  data->ftLastWriteTime = platform::fs_detail::FileTimeFromTimespec(st.st_mtim);
  const auto size = S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExW(name, GetFileExInfoStandard, &data) ? data.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

BOOL CreateDirectoryW(LPCWSTR name, SECURITY_ATTRIBUTES* /*attributes*/) {
  std::string host;
  if (DWORD e = platform::fs_detail::Resolve(name, host); e != ERROR_SUCCESS) return Fail(e);
  if (::mkdir(host.c_str(), 0777) != 0) {
    // A missing parent is ERROR_PATH_NOT_FOUND for CreateDirectory.
    const int err = errno;
    return Fail(err == ENOENT ? ERROR_PATH_NOT_FOUND
                              : platform::fs_detail::CodeForPath(err, host, platform::ErrnoContext::CreateDirectory));
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  std::string host;
  if (DWORD e = platform::fs_detail::Resolve(name, host); e != ERROR_SUCCESS) return Fail(e);
  if (::rmdir(host.c_str()) != 0)
    return Fail(platform::fs_detail::CodeForPath(errno, host, platform::ErrnoContext::RemoveDirectory));
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR name) {
  std::string host;
  if (DWORD e = platform::fs_detail::Resolve(name, host); e != ERROR_SUCCESS) return Fail(e);
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0)
    return Fail(platform::fs_detail::CodeForPath(errno, host, platform::ErrnoContext::Generic));
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (DWORD e = platform::fs_detail::CheckDeleteSharing(st); e != ERROR_SUCCESS) return Fail(e);
  if (::unlink(host.c_str()) != 0)
    return Fail(platform::fs_detail::CodeForPath(errno, host, platform::ErrnoContext::Generic));
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  std::string from;
  std::string to;
  if (DWORD e = platform::fs_detail::Resolve(existing, from); e != ERROR_SUCCESS) return Fail(e);
  if (DWORD e = platform::fs_detail::Resolve(target, to); e != ERROR_SUCCESS) return Fail(e);
  const DWORD e = platform::fs_detail::MoveHostPath(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
  return e == ERROR_SUCCESS ? TRUE : Fail(e);
}

namespace platform {

DWORD CreateDirectoryTree(std::wstring_view path) {
  std::string host;
  if (DWORD e = ResolvePath(path, host); e != ERROR_SUCCESS) return e;
  return CreateHostDirectoryTree(host, 0777);
}

std::string HandlePath(HANDLE handle) {
  fs_detail::FileRef f(handle);
  return f ? f->Path() : std::string();
}

DWORD ReadWholeFile(std::wstring_view path, std::size_t maxBytes, std::string& bytes) {
  bytes.clear();
  UniqueHandle file(
      CreateFileW(std::wstring(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return GetLastError();
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return GetLastError();
  if (size.QuadPart < 0 || static_cast<ULONGLONG>(size.QuadPart) > maxBytes) return ERROR_FILE_TOO_LARGE;
  bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    if (!ReadFile(file.get(), bytes.data() + done, want, &got, nullptr)) return GetLastError();
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return ERROR_SUCCESS;
}

}  // namespace platform
