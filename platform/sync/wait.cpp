// wait.cpp - WaitForSingleObject and WaitForMultipleObjects over poll().
//
// Every waitable object has a descriptor that polls ready while it may be
// signalled; poll() finds candidates and the object's TryAcquire decides, so
// a wait that loses an auto-reset event to another thread simply goes on
// waiting with the time that is left. Timeouts run on the monotonic clock.

#include "platform/sync/sync_internal.h"

#include <poll.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <vector>

namespace {

using platform::KernelObject;
using platform::sync_detail::Event;
using Clock = std::chrono::steady_clock;

// Serialises waitAll acquisitions, so that two of them never interleave their
// checks of the same objects.
std::mutex g_waitAllMutex;

class Deadline {
 public:
  explicit Deadline(DWORD milliseconds)
      : infinite_(milliseconds == INFINITE), at_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}

  // Milliseconds for poll(): -1 for ever, rounded up so that a wait never
  // ends early, and capped to what poll takes (longer waits loop).
  int Remaining() const {
    if (infinite_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
  }

 private:
  bool infinite_;
  Clock::time_point at_;
};

// The references a wait holds on its objects, released however it ends.
class HeldObjects {
 public:
  ~HeldObjects() {
    for (KernelObject* o : objects_) o->Release();
  }
  void Add(KernelObject* o) { objects_.push_back(o); }
  KernelObject* operator[](std::size_t i) const { return objects_[i]; }
  std::size_t size() const { return objects_.size(); }

 private:
  std::vector<KernelObject*> objects_;
};

DWORD Fail(DWORD error) {
  SetLastError(error);
  return WAIT_FAILED;
}

// poll() that reports EINTR as "nothing ready yet"; -1 on a real failure with
// the last error set.
int PollOnce(pollfd* fds, nfds_t count, int timeout) {
  int rc = ::poll(fds, count, timeout);
  if (rc >= 0) return rc;
  if (errno == EINTR) return 0;
  platform::SetLastErrorFromErrno(errno);
  return -1;
}

bool AnyClosed(const pollfd* fds, std::size_t count) {
  return std::any_of(fds, fds + count, [](const pollfd& p) { return (p.revents & POLLNVAL) != 0; });
}

DWORD WaitAny(const HeldObjects& objects, pollfd* fds, Deadline deadline) {
  const std::size_t count = objects.size();
  for (;;) {
    const int timeout = deadline.Remaining();
    const int rc = PollOnce(fds, count, timeout);
    if (rc < 0) return WAIT_FAILED;
    if (rc > 0) {
      if (AnyClosed(fds, count)) return Fail(ERROR_INVALID_HANDLE);
      for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].revents != 0 && objects[i]->TryAcquire()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
      }
    }
    if (timeout == 0) return WAIT_TIMEOUT;
  }
}

// Takes every object at once or none. Events are checked and consumed with
// all their mutexes held, so no SetEvent, ResetEvent or other waiter can come
// between the check and the consumption. Other kinds are asked through
// TryAcquire after the events have been checked; threads and descriptor
// handles consume nothing, so for them this is exact as well.
bool TryAcquireAll(const HeldObjects& objects) {
  std::lock_guard<std::mutex> serial(g_waitAllMutex);
  std::vector<Event*> events;
  std::vector<KernelObject*> others;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (auto* e = dynamic_cast<Event*>(objects[i])) {
      events.push_back(e);
    } else {
      others.push_back(objects[i]);
    }
  }
  std::sort(events.begin(), events.end());  // one lock order for everyone
  std::vector<std::unique_lock<std::mutex>> locks;
  locks.reserve(events.size());
  for (Event* e : events) locks.emplace_back(e->mutex());

  for (Event* e : events) {
    if (!e->SignalledLocked()) return false;
  }
  for (KernelObject* o : others) {
    if (!o->TryAcquire()) return false;
  }
  for (Event* e : events) e->ConsumeLocked();
  return true;
}

DWORD WaitAll(const HeldObjects& objects, pollfd* fds, Deadline deadline) {
  const std::size_t count = objects.size();
  std::vector<pollfd> pending;
  pending.reserve(count);
  for (;;) {
    if (PollOnce(fds, count, 0) < 0) return WAIT_FAILED;
    if (AnyClosed(fds, count)) return Fail(ERROR_INVALID_HANDLE);
    pending.clear();
    for (std::size_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) pending.push_back(pollfd{fds[i].fd, fds[i].events, 0});
    }
    if (pending.empty() && TryAcquireAll(objects)) return WAIT_OBJECT_0;

    const int timeout = deadline.Remaining();
    if (timeout == 0) return WAIT_TIMEOUT;
    if (pending.empty()) {
      // All looked ready but one was taken meanwhile; let the taker run.
      sched_yield();
      continue;
    }
    // Sleep until one of the missing ones may have arrived, then look again
    // at all of them (the ready ones may have gone meanwhile).
    if (PollOnce(pending.data(), pending.size(), timeout) < 0) return WAIT_FAILED;
  }
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  const Deadline deadline(milliseconds);
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) return Fail(ERROR_INVALID_PARAMETER);

  HeldObjects objects;
  pollfd fds[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    KernelObject* o = platform::sync_detail::AcquireObject(handles[i]);
    if (o == nullptr) return Fail(ERROR_INVALID_HANDLE);
    objects.Add(o);
    if (o->WaitFd() < 0) return Fail(ERROR_INVALID_HANDLE);
    fds[i] = pollfd{o->WaitFd(), o->WaitEvents(), 0};
  }
  if (waitAll == FALSE) return WaitAny(objects, fds, deadline);

  // As on Windows, waiting for all of a set that names one object twice is
  // refused rather than left to deadlock on its own event.
  for (DWORD i = 0; i < count; ++i) {
    for (DWORD j = i + 1; j < count; ++j) {
      if (objects[i] == objects[j]) return Fail(ERROR_INVALID_PARAMETER);
    }
  }
  return WaitAll(objects, fds, deadline);
}
