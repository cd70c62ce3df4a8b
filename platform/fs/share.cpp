// share.cpp - share modes: which openers of one file may coexist.
//
// Within the process the table applies Windows's rule exactly: a new opener
// is admitted when every current opener shares what the new one wants (read,
// write, delete) and the new one shares what every current opener has.
// Across processes the table holds one flock per file on a descriptor of its
// own: exclusive while any opener here denies read or write sharing, shared
// otherwise, so another process's conflicting opener is refused too (more
// coarsely than Windows: two processes that share reading but deny writing
// exclude each other).
//
// g_shareLock guards the whole table.
#include "platform/fs/fs_internal.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>
#include <vector>

namespace platform::fs_detail {
namespace {

struct Opener {
  std::uint64_t id;
  DWORD access;
  DWORD share;
};

struct Entry {
  std::vector<Opener> openers;
  int lockFd = -1;
  int lockMode = 0;  // LOCK_SH, LOCK_EX or 0
};

using Key = std::pair<dev_t, ino_t>;

SRWLOCK g_shareLock{};
std::map<Key, Entry>& Table() {
  static auto* table = new std::map<Key, Entry>();  // lives until exit: openers may close late
  return *table;
}
std::uint64_t g_nextId = 1;

constexpr DWORD kGenericAll = 0x10000000u;

bool Conflicts(DWORD access, DWORD share, const Opener& other) {
  if (WantsRead(access) && (other.share & FILE_SHARE_READ) == 0) return true;
  if (WantsWrite(access) && (other.share & FILE_SHARE_WRITE) == 0) return true;
  if (WantsDelete(access) && (other.share & FILE_SHARE_DELETE) == 0) return true;
  if (WantsRead(other.access) && (share & FILE_SHARE_READ) == 0) return true;
  if (WantsWrite(other.access) && (share & FILE_SHARE_WRITE) == 0) return true;
  if (WantsDelete(other.access) && (share & FILE_SHARE_DELETE) == 0) return true;
  return false;
}

int WantedLock(const std::vector<Opener>& openers) {
  int wanted = 0;
  for (const Opener& o : openers) {
    // Delete-only openers hold no descriptor to lock with (and read nothing).
    if (!WantsRead(o.access) && !WantsWrite(o.access)) continue;
    wanted = LOCK_SH;
    if ((o.share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) != (FILE_SHARE_READ | FILE_SHARE_WRITE)) return LOCK_EX;
  }
  return wanted;
}

// Brings the entry's flock to what its openers need; false when another
// process holds the file against it.
bool SetLockLocked(Entry& entry, int fd) {
  const int wanted = WantedLock(entry.openers);
  if (wanted == entry.lockMode) return true;
  if (wanted == 0) {
    ::close(entry.lockFd);
    entry.lockFd = -1;
    entry.lockMode = 0;
    return true;
  }
  if (entry.lockFd < 0) entry.lockFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (entry.lockFd < 0) return false;
  if (::flock(entry.lockFd, wanted | LOCK_NB) != 0) {
    if (entry.lockMode == 0) {
      ::close(entry.lockFd);
      entry.lockFd = -1;
    }
    return false;
  }
  entry.lockMode = wanted;
  return true;
}

}  // namespace

bool WantsRead(DWORD access) { return (access & (GENERIC_READ | FILE_READ_DATA | GENERIC_EXECUTE | kGenericAll)) != 0; }
bool WantsWrite(DWORD access) {
  return (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | kGenericAll)) != 0;
}
bool WantsDelete(DWORD access) { return (access & (DELETE | kGenericAll)) != 0; }

DWORD AdmitOpener(const struct stat& st, int fd, DWORD access, DWORD share, ShareTicket& ticket) {
  // Opening for attributes only takes no part in sharing.
  if (!WantsRead(access) && !WantsWrite(access) && !WantsDelete(access)) return ERROR_SUCCESS;
  SrwExclusiveLock hold(g_shareLock);
  const Key key{st.st_dev, st.st_ino};
  Entry& entry = Table()[key];
  for (const Opener& other : entry.openers) {
    if (Conflicts(access, share, other)) return ERROR_SHARING_VIOLATION;
  }
  entry.openers.push_back(Opener{g_nextId, access, share});
  if (!SetLockLocked(entry, fd)) {
    entry.openers.pop_back();
    if (entry.openers.empty() && entry.lockFd < 0) Table().erase(key);
    return ERROR_SHARING_VIOLATION;
  }
  ticket = ShareTicket{st.st_dev, st.st_ino, g_nextId++};
  return ERROR_SUCCESS;
}

void ReleaseOpener(ShareTicket& ticket) {
  if (ticket.id == 0) return;
  SrwExclusiveLock hold(g_shareLock);
  auto it = Table().find(Key{ticket.dev, ticket.ino});
  if (it != Table().end()) {
    auto& openers = it->second.openers;
    std::erase_if(openers, [&](const Opener& o) { return o.id == ticket.id; });
    // Loosening a lock cannot fail for want of other holders.
    SetLockLocked(it->second, it->second.lockFd);
    if (openers.empty()) Table().erase(it);
  }
  ticket.id = 0;
}

DWORD CheckDeleteSharing(const struct stat& st) {
  SrwSharedLock hold(g_shareLock);
  auto it = Table().find(Key{st.st_dev, st.st_ino});
  if (it == Table().end()) return ERROR_SUCCESS;
  for (const Opener& o : it->second.openers) {
    if ((o.share & FILE_SHARE_DELETE) == 0) return ERROR_SHARING_VIOLATION;
  }
  return ERROR_SUCCESS;
}

}  // namespace platform::fs_detail
