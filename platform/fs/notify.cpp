// notify.cpp - folder change notification (ReadDirectoryChangesW) over inotify.
//
// A DirectoryWatch belongs to one folder handle. Its thread reads inotify
// (one watch per folder of the subtree; folders that appear are watched as
// they come, and what they already hold is reported as added, since inotify
// says nothing of what was made before its watch) and queues the changes as
// Windows records them. A read takes what is queued, or stays pending until
// something arrives, then completes its OVERLAPPED and sets its event.
//
// m_lock guards m_changes, m_overflow, m_error, m_pending and m_stop; the
// watch-descriptor map m_folders belongs to the thread alone once it runs.
#include "platform/fs/fs_internal.h"

#include "platform/base/text.h"
#include "platform/sync/sync_internal.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <thread>
#include <vector>

namespace platform::fs_detail {
namespace {

// Bytes of a record before its name.
constexpr DWORD kRecordHeader = offsetof(FILE_NOTIFY_INFORMATION, FileName);

struct Change {
  DWORD action;
  std::wstring name;  // relative, "\"-separated
};

struct PendingRead {
  void* buffer;
  DWORD size;
  OVERLAPPED* overlapped;
};

// A MOVED_FROM waiting for the MOVED_TO with its cookie.
struct MoveFrom {
  bool waiting = false;
  uint32_t cookie = 0;
  std::string relative;
  bool directory = false;
};

// How long a MOVED_FROM waits for its other half.
constexpr int kMoveToWaitMs = 50;

DWORD WatchCap() {
  const char* text = std::getenv("VANTREL_FS_MAX_WATCHES");
  const long cap = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return cap > 0 ? static_cast<DWORD>(cap) : 0;
}

}  // namespace

class DirectoryWatch {
 public:
  DirectoryWatch(std::string root, bool subtree, DWORD filter)
      : m_root(std::move(root)), m_subtree(subtree), m_filter(filter), m_cap(WatchCap()) {
    InitializeCriticalSection(&m_lock);
  }
  ~DirectoryWatch();

  DWORD Start();
  BOOL Read(void* buffer, DWORD size, OVERLAPPED* overlapped);
  BOOL Result(OVERLAPPED* overlapped, DWORD* bytes, BOOL wait);
  BOOL Cancel(OVERLAPPED* overlapped);

 private:
  uint32_t InotifyMask() const;
  // Watches folder (relative to the root) and, for a subtree, every folder
  // below it; report adds a record for each entry found below it.
  DWORD AddFolder(const std::string& relative, bool report);
  void ForgetFolder(const std::string& relative);
  void RenameFolder(const std::string& from, const std::string& to);
  void Run();
  void Handle(const inotify_event& event, MoveFrom& moveFrom);
  void FlushMoveFrom(MoveFrom& moveFrom);
  void Queue(DWORD action, const std::string& relative, bool directory);
  void Fault(DWORD error);
  void CompleteLocked(DWORD code);
  void DeliverLocked();

  const std::string m_root;
  const bool m_subtree;
  const DWORD m_filter;
  const DWORD m_cap;  // 0: only the kernel's limit
  int m_inotify = -1;
  int m_wake = -1;
  std::map<int, std::string> m_folders;  // watch descriptor -> relative folder ("" is the root)
  std::thread m_thread;

  CRITICAL_SECTION m_lock{};
  std::vector<Change> m_changes;
  bool m_overflow = false;
  DWORD m_error = ERROR_SUCCESS;  // sticky: a folder could not be watched
  std::optional<PendingRead> m_pending;
  bool m_stop = false;
};

namespace {

std::string Child(const std::string& folder, const char* name) {
  return folder.empty() ? std::string(name) : folder + "/" + name;
}

std::wstring WindowsName(const std::string& relative) {
  std::wstring name = WideFromUtf8(relative);
  for (wchar_t& c : name) {
    if (c == L'/') c = L'\\';
  }
  return name;
}

bool IsUnder(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

}  // namespace

DirectoryWatch::~DirectoryWatch() {
  {
    CriticalSectionLock hold(m_lock);
    m_stop = true;
    // A read still pending when its handle closes ends as cancelled.
    if (m_pending) CompleteLocked(ERROR_OPERATION_ABORTED);
  }
  if (m_wake >= 0) {
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
  }
  if (m_thread.joinable()) m_thread.join();
  if (m_inotify >= 0) ::close(m_inotify);
  if (m_wake >= 0) ::close(m_wake);
  DeleteCriticalSection(&m_lock);
}

uint32_t DirectoryWatch::InotifyMask() const {
  uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_EXCL_UNLINK;
  if ((m_filter & (FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE)) != 0) mask |= IN_MODIFY;
  if ((m_filter & FILE_NOTIFY_CHANGE_ATTRIBUTES) != 0) mask |= IN_ATTRIB;
  return mask;
}

DWORD DirectoryWatch::Start() {
  m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_inotify < 0) return errno == EMFILE ? ERROR_NOT_ENOUGH_QUOTA : Win32FromErrno(errno);
  m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wake < 0) return Win32FromErrno(errno);
  if (DWORD e = AddFolder("", false); e != ERROR_SUCCESS) return e;
  m_thread = std::thread([this] { Run(); });
  return ERROR_SUCCESS;
}

DWORD DirectoryWatch::AddFolder(const std::string& relative, bool report) {
  if (m_cap != 0 && m_folders.size() >= m_cap) return ERROR_NOT_ENOUGH_QUOTA;
  const std::string path = relative.empty() ? m_root : m_root + "/" + relative;
  const int wd = ::inotify_add_watch(m_inotify, path.c_str(), InotifyMask());
  if (wd < 0) {
    if (errno == ENOSPC) return ERROR_NOT_ENOUGH_QUOTA;  // the kernel's watch limit
    // Gone again before it could be watched: nothing left to report.
    return errno == ENOENT || errno == ENOTDIR ? ERROR_SUCCESS : Win32FromErrnoForPath(errno, path);
  }
  m_folders[wd] = relative;
  if (!m_subtree && !report) return ERROR_SUCCESS;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return ERROR_SUCCESS;
  std::vector<std::pair<std::string, bool>> entries;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.emplace_back(Child(relative, entry->d_name), entry->d_type == DT_DIR);
  }
  ::closedir(dir);
  for (const auto& [child, isDir] : entries) {
    if (report) Queue(FILE_ACTION_ADDED, child, isDir);
    if (isDir && m_subtree) {
      if (DWORD e = AddFolder(child, report); e != ERROR_SUCCESS) return e;
    }
  }
  return ERROR_SUCCESS;
}

void DirectoryWatch::ForgetFolder(const std::string& relative) {
  for (auto it = m_folders.begin(); it != m_folders.end();) {
    if (!it->second.empty() && IsUnder(it->second, relative)) {
      ::inotify_rm_watch(m_inotify, it->first);
      it = m_folders.erase(it);
    } else {
      ++it;
    }
  }
}

void DirectoryWatch::RenameFolder(const std::string& from, const std::string& to) {
  for (auto& [wd, folder] : m_folders) {
    if (!folder.empty() && IsUnder(folder, from)) folder = to + folder.substr(from.size());
  }
}

void DirectoryWatch::Queue(DWORD action, const std::string& relative, bool directory) {
  const DWORD wanted = directory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  const bool nameChange = action != FILE_ACTION_MODIFIED;
  if (nameChange && (m_filter & wanted) == 0) return;
  CriticalSectionLock hold(m_lock);
  m_changes.push_back(Change{action, WindowsName(relative)});
}

void DirectoryWatch::Fault(DWORD error) {
  CriticalSectionLock hold(m_lock);
  if (m_error == ERROR_SUCCESS) m_error = error;
}

void DirectoryWatch::FlushMoveFrom(MoveFrom& moveFrom) {
  if (!moveFrom.waiting) return;
  // Moved out of the watched tree: gone, as far as this folder knows.
  Queue(FILE_ACTION_REMOVED, moveFrom.relative, moveFrom.directory);
  if (moveFrom.directory) ForgetFolder(moveFrom.relative);
  moveFrom.waiting = false;
}

void DirectoryWatch::Handle(const inotify_event& event, MoveFrom& moveFrom) {
  if ((event.mask & IN_Q_OVERFLOW) != 0) {
    CriticalSectionLock hold(m_lock);
    m_overflow = true;
    return;
  }
  if ((event.mask & IN_IGNORED) != 0) {
    m_folders.erase(event.wd);
    return;
  }
  auto folder = m_folders.find(event.wd);
  if (folder == m_folders.end() || event.len == 0) return;
  const std::string relative = Child(folder->second, event.name);
  const bool directory = (event.mask & IN_ISDIR) != 0;
  if ((event.mask & IN_MOVED_TO) != 0 && moveFrom.waiting && moveFrom.cookie == event.cookie) {
    Queue(FILE_ACTION_RENAMED_OLD_NAME, moveFrom.relative, directory);
    Queue(FILE_ACTION_RENAMED_NEW_NAME, relative, directory);
    if (directory) RenameFolder(moveFrom.relative, relative);
    moveFrom.waiting = false;
    return;
  }
  FlushMoveFrom(moveFrom);
  if ((event.mask & IN_MOVED_FROM) != 0) {
    moveFrom = MoveFrom{true, event.cookie, relative, directory};
  } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
    Queue(FILE_ACTION_ADDED, relative, directory);
    if (directory && m_subtree) {
      if (DWORD e = AddFolder(relative, true); e != ERROR_SUCCESS) Fault(e);
    }
  } else if ((event.mask & IN_DELETE) != 0) {
    Queue(FILE_ACTION_REMOVED, relative, directory);
  } else if ((event.mask & (IN_MODIFY | IN_ATTRIB)) != 0) {
    Queue(FILE_ACTION_MODIFIED, relative, directory);
  }
}

void DirectoryWatch::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
  MoveFrom moveFrom;
  for (;;) {
    {
      CriticalSectionLock hold(m_lock);
      if (m_stop) return;
      DeliverLocked();
    }
    // A rename queues its two halves one after the other, so a read can fall
    // between them: a MOVED_FROM left waiting gets a moment for its MOVED_TO
    // before it is reported as a removal.
    const int ready = ::poll(fds, 2, moveFrom.waiting ? kMoveToWaitMs : -1);
    if (ready < 0 && errno != EINTR) return;
    if (ready == 0) {
      FlushMoveFrom(moveFrom);
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      (void)!::read(m_wake, &count, sizeof count);
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    ssize_t n;
    while ((n = ::read(m_inotify, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        Handle(*event, moveFrom);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
}

void DirectoryWatch::CompleteLocked(DWORD code) {
  OVERLAPPED* overlapped = m_pending->overlapped;
  m_pending.reset();
  overlapped->InternalHigh = 0;
  overlapped->Internal = code;
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

// Hands what is queued to the pending read, if there is one and something to say.
void DirectoryWatch::DeliverLocked() {
  if (!m_pending) return;
  if (m_error != ERROR_SUCCESS) {
    CompleteLocked(m_error);
    return;
  }
  if (m_changes.empty() && !m_overflow) return;
  std::size_t needed = 0;
  for (const Change& c : m_changes) needed += kRecordHeader + c.name.size() * sizeof(wchar_t);
  OVERLAPPED* overlapped = m_pending->overlapped;
  // Lost changes, or more than the buffer holds: 0 bytes tells the caller to
  // look at the folder again, as Windows does.
  DWORD bytes = 0;
  if (!m_overflow && needed <= m_pending->size) {
    auto* out = static_cast<BYTE*>(m_pending->buffer);
    FILE_NOTIFY_INFORMATION* last = nullptr;
    for (const Change& c : m_changes) {
      auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + bytes);
      const auto length = static_cast<DWORD>(c.name.size() * sizeof(wchar_t));
      record->Action = c.action;
      record->FileNameLength = length;
      std::memcpy(record->FileName, c.name.data(), length);
      record->NextEntryOffset = kRecordHeader + length;
      bytes += kRecordHeader + length;
      last = record;
    }
    last->NextEntryOffset = 0;
  }
  m_changes.clear();
  m_overflow = false;
  m_pending.reset();
  overlapped->InternalHigh = bytes;
  overlapped->Internal = ERROR_SUCCESS;
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

BOOL DirectoryWatch::Read(void* buffer, DWORD size, OVERLAPPED* overlapped) {
  CriticalSectionLock hold(m_lock);
  if (m_pending) return Fail(ERROR_INVALID_PARAMETER);  // one read at a time
  overlapped->Internal = STATUS_PENDING;
  overlapped->InternalHigh = 0;
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  m_pending = PendingRead{buffer, size, overlapped};
  DeliverLocked();
  return TRUE;
}

BOOL DirectoryWatch::Result(OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) {
  for (;;) {
    {
      CriticalSectionLock hold(m_lock);
      const auto code = static_cast<DWORD>(overlapped->Internal);
      if (code != STATUS_PENDING) {
        if (bytes != nullptr) *bytes = static_cast<DWORD>(overlapped->InternalHigh);
        return code == ERROR_SUCCESS ? TRUE : Fail(code);
      }
    }
    if (wait == FALSE) return Fail(ERROR_IO_INCOMPLETE);
    if (overlapped->hEvent == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
  }
}

BOOL DirectoryWatch::Cancel(OVERLAPPED* overlapped) {
  CriticalSectionLock hold(m_lock);
  if (!m_pending || (overlapped != nullptr && m_pending->overlapped != overlapped)) return Fail(ERROR_NOT_FOUND);
  CompleteLocked(ERROR_OPERATION_ABORTED);
  return TRUE;
}

void WatchDeleter::operator()(DirectoryWatch* watch) const { delete watch; }

WatchPtr StartDirectoryWatch(const std::string& path, bool subtree, DWORD filter, DWORD& error) {
  WatchPtr watch(new DirectoryWatch(path, subtree, filter));
  error = watch->Start();
  return error == ERROR_SUCCESS ? std::move(watch) : nullptr;
}

BOOL ReadChanges(DirectoryWatch& watch, void* buffer, DWORD size, DWORD* bytesReturned, OVERLAPPED* overlapped) {
  if (overlapped != nullptr) return watch.Read(buffer, size, overlapped);
  // Synchronous: an overlapped read of our own, waited for.
  OVERLAPPED own{};
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  own.hEvent = event.get();
  if (!watch.Read(buffer, size, &own)) return FALSE;
  DWORD bytes = 0;
  const BOOL ok = watch.Result(&own, &bytes, TRUE);
  if (bytesReturned != nullptr) *bytesReturned = bytes;
  // Windows answers a synchronous read that lost changes with ERROR_NOTIFY_ENUM_DIR.
  if (ok && bytes == 0) return Fail(ERROR_NOTIFY_ENUM_DIR);
  return ok;
}

BOOL WatchResult(DirectoryWatch& watch, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) {
  return watch.Result(overlapped, bytes, wait);
}

BOOL CancelWatch(DirectoryWatch& watch, OVERLAPPED* overlapped) { return watch.Cancel(overlapped); }

}  // namespace platform::fs_detail

BOOL ReadDirectoryChangesW(HANDLE directory, LPVOID buffer, DWORD bufferLength, BOOL watchSubtree,
                           DWORD notifyFilter, DWORD* bytesReturned, OVERLAPPED* overlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
  using namespace platform::fs_detail;
  platform::sync_detail::ObjectRef<FileObject> folder(directory);
  if (!folder) return Fail(ERROR_INVALID_HANDLE);
  if (!folder->IsDirectory()) return Fail(ERROR_INVALID_PARAMETER);
  if (completionRoutine != nullptr || notifyFilter == 0 || (buffer == nullptr && bufferLength > 0))
    return Fail(ERROR_INVALID_PARAMETER);
  if (bytesReturned != nullptr) *bytesReturned = 0;
  DWORD error = ERROR_SUCCESS;
  DirectoryWatch* watch = folder->Watch(error, watchSubtree != FALSE, notifyFilter);
  if (watch == nullptr) return Fail(error);
  return ReadChanges(*watch, buffer, bufferLength, bytesReturned, overlapped);
}
