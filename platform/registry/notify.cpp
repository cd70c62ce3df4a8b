// notify.cpp - change notification: one-shot watches signalled by a watcher
// thread that follows the database's change log.
//
// Every write appends rows to `changes` in its own transaction, so a change
// is visible to watchers exactly when it is committed, whichever process made
// it. This process's own commits read the new rows and signal before the
// write returns. One watcher thread per process (started by the first
// watch) reads the rows past the last sequence it saw for the others: it
// wakes when any process writes the database files (inotify on their
// folder), every 20 ms in case a wakeup was missed, and on the eventfd that
// stops it. It holds the store's lock only while it reads and signals; it
// stops and is joined at process exit.
#include "platform/registry/store.h"
#include "platform/sync/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include <cstdlib>

namespace platform::registry_detail {
namespace {

// The longest a change of another process waits when inotify missed it.
constexpr int kPollIntervalMs = 20;

void Drain(int fd) {
  char buf[4096];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

Store* g_watched = nullptr;  // the store whose watcher runs; set once
pid_t g_watcherPid = 0;      // the process that started it (atexit survives fork)

// True when path lies strictly below root.
bool Below(const std::string& path, const std::string& root) {
  return path.size() > root.size() && path[root.size()] == '\\' && path.compare(0, root.size(), root) == 0;
}

bool Matches(const Watch& w, const std::string& path, DWORD kind) {
  // Deleting the watched key (or a key above it) always signals.
  if (kind == kChangeDeleted) return w.path == path || Below(w.path, path);
  if ((w.filter & kind) == 0) return false;
  return w.path == path || (w.subtree && Below(path, w.path));
}

void Fire(Watch& w) {
  SetEvent(w.event);
  CloseHandle(w.event);
}

}  // namespace

LSTATUS Store::AddWatch(KeyHandle* owner, const std::string& path, bool subtree, DWORD filter, HANDLE event) {
  HANDLE ref = DuplicateHandleRef(event);
  if (ref == nullptr || ref == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  std::int64_t seq = MaxSeq();
  // With no watch pending nobody needs the older rows; otherwise the pending
  // watches still do, and the new one skips them by its own sequence.
  if (watches.empty() && seq > lastSeq_) lastSeq_ = seq;
  watches.push_back(Watch{owner, path, subtree, filter, seq, ref});
  if (!watcher_.joinable()) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0) {
      std::filesystem::path dir = std::filesystem::absolute(file_).parent_path();
      ::inotify_add_watch(inotifyFd_, dir.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
    }
    g_watched = this;
    g_watcherPid = ::getpid();
    watcher_ = std::thread([this] { WatcherLoop(); });
    std::atexit(&Store::StopWatcher);
  }
  return ERROR_SUCCESS;
}

void Store::EndWatches(KeyHandle* owner) {
  for (auto it = watches.begin(); it != watches.end();) {
    if (it->owner == owner) {
      Fire(*it);
      it = watches.erase(it);
    } else {
      ++it;
    }
  }
}

void Store::WatcherLoop() {
  SetCurrentThreadName(L"registry watcher");
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
  for (;;) {
    ::poll(fds, inotifyFd_ >= 0 ? 2 : 1, kPollIntervalMs);
    if (wakeFd_ >= 0) Drain(wakeFd_);
    if (inotifyFd_ >= 0) Drain(inotifyFd_);
    std::lock_guard<std::recursive_mutex> lock(mu);
    if (stop_) return;
    if (!watches.empty()) ScanChanges();
  }
}

void Store::WakeWatcher() {
  if (wakeFd_ < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

// Called with mu held.
void Store::ScanChanges() {
  Stmt q(*this, "SELECT seq, path, kind FROM changes WHERE seq > ?1 ORDER BY seq");
  q.Bind(1, lastSeq_);
  while (q.Step() == SQLITE_ROW) {
    std::int64_t seq = q.Int(0);
    std::string path = q.Text(1);
    auto kind = static_cast<DWORD>(q.Int(2));
    lastSeq_ = seq;
    for (auto it = watches.begin(); it != watches.end();) {
      if (seq > it->armSeq && Matches(*it, path, kind)) {
        Fire(*it);
        it = watches.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void Store::StopWatcher() {
  Store* s = g_watched;
  if (s == nullptr || ::getpid() != g_watcherPid) return;
  {
    std::lock_guard<std::recursive_mutex> lock(s->mu);
    s->stop_ = true;
    s->WakeWatcher();
  }
  if (s->watcher_.joinable()) s->watcher_.join();
}

}  // namespace platform::registry_detail
