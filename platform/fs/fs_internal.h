// fs_internal.h - the objects behind file, folder, mapping and search handles.
//
// A FileObject is one open file or folder: its descriptor, the access and
// share mode it was admitted with (see ShareTable in files.cpp), and for a
// folder the change watch that ReadDirectoryChangesW starts on first use.
#pragma once

#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"  // HandleIo, the pipe client

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace platform::fs_detail {

class DirectoryWatch;
struct WatchDeleter {
  void operator()(DirectoryWatch* watch) const;
};
using WatchPtr = std::unique_ptr<DirectoryWatch, WatchDeleter>;

// Sets the last error and answers FALSE, as failing Win32 calls do.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Where a handle stands in the share table (files.cpp).
struct ShareTicket {
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t id = 0;  // 0: not registered (no data access)
};

class FileObject final : public HandleIo {
 public:
  FileObject(int fd, std::string path, DWORD access, DWORD flags, bool directory);
  ~FileObject() override;

  BOOL Read(void* buffer, DWORD size, DWORD* bytesRead, OVERLAPPED* overlapped) override;
  BOOL Write(const void* buffer, DWORD size, DWORD* bytesWritten, OVERLAPPED* overlapped) override;
  BOOL OverlappedResult(OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) override;
  BOOL Cancel(OVERLAPPED* overlapped) override;
  BOOL Flush() override;

  int Fd() const { return m_fd; }
  const std::string& Path() const { return m_path; }
  DWORD Access() const { return m_access; }
  bool IsDirectory() const { return m_directory; }
  ShareTicket& Ticket() { return m_ticket; }
  // The folder's change watch, started on first use (null for files).
  DirectoryWatch* Watch(DWORD& error, bool subtree, DWORD filter);

 private:
  const int m_fd;
  const std::string m_path;
  const DWORD m_access;
  const DWORD m_flags;
  const bool m_directory;
  ShareTicket m_ticket;
  // Created once by the first ReadDirectoryChangesW; guarded by m_watchLock.
  SRWLOCK m_watchLock{};
  WatchPtr m_watch;
};

// Access bits that take part in sharing.
bool WantsRead(DWORD access);
bool WantsWrite(DWORD access);
bool WantsDelete(DWORD access);

// Admits a new opener of st's file (fd is its descriptor) under the share
// rules, or answers ERROR_SHARING_VIOLATION.
DWORD AdmitOpener(const struct stat& st, int fd, DWORD access, DWORD share, ShareTicket& ticket);
void ReleaseOpener(ShareTicket& ticket);
// ERROR_SHARING_VIOLATION while a handle holds the file without
// FILE_SHARE_DELETE.
DWORD CheckDeleteSharing(const struct stat& st);

// Host-level operations shared by the Win32 calls and ReplacementFile.
DWORD MoveHostPath(const std::string& from, const std::string& to, bool replace);
HANDLE OpenHostPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

FILETIME FileTimeFromTimespec(const struct timespec& ts);
DWORD AttributesOf(const struct stat& st, bool isLink);

// The ReadDirectoryChangesW watch of one folder handle (notify.cpp).
WatchPtr StartDirectoryWatch(const std::string& path, bool subtree, DWORD filter, DWORD& error);
BOOL ReadChanges(DirectoryWatch& watch, void* buffer, DWORD size, DWORD* bytesReturned, OVERLAPPED* overlapped);
BOOL WatchResult(DirectoryWatch& watch, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait);
BOOL CancelWatch(DirectoryWatch& watch, OVERLAPPED* overlapped);

}  // namespace platform::fs_detail
