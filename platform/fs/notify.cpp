// notify.cpp - folder change notification (ReadDirectoryChangesW).
#include "platform/fs/fs_internal.h"

namespace platform::fs_detail {

class DirectoryWatch {};

void WatchDeleter::operator()(DirectoryWatch* watch) const { delete watch; }

WatchPtr StartDirectoryWatch(const std::string&, bool, DWORD, DWORD& error) {
  error = ERROR_NOT_SUPPORTED;
  return nullptr;
}
BOOL ReadChanges(DirectoryWatch&, void*, DWORD, DWORD*, OVERLAPPED*) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL WatchResult(DirectoryWatch&, OVERLAPPED*, DWORD*, BOOL) { return Fail(ERROR_NOT_SUPPORTED); }
BOOL CancelWatch(DirectoryWatch&, OVERLAPPED*) { return Fail(ERROR_NOT_FOUND); }

}  // namespace platform::fs_detail

BOOL ReadDirectoryChangesW(HANDLE, LPVOID, DWORD, BOOL, DWORD, DWORD*, OVERLAPPED*, LPOVERLAPPED_COMPLETION_ROUTINE) {
  return platform::fs_detail::Fail(ERROR_NOT_SUPPORTED);
}
