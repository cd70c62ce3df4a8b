// events.cpp - manual- and auto-reset events over eventfd.
//
// The eventfd counter mirrors the signalled flag (1 while set, 0 while not)
// and changes only under the event's mutex, so poll() on it is a hint that
// the event may be set and TryAcquire under the mutex is the decision. Setting
// an event that is already set leaves one signal, and an auto-reset event is
// taken by exactly one TryAcquire per set.

#include "platform/sync/sync_internal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform::sync_detail {

Event::Event(int fd, bool manualReset, bool initialState) : fd_(fd), manualReset_(manualReset) {
  if (initialState) Set();
}

Event::~Event() { ::close(fd_); }

void Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (signalled_) return;
  const std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(fd_, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  signalled_ = true;
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  DrainLocked();
}

void Event::DrainLocked() {
  if (!signalled_) return;
  std::uint64_t value;
  ssize_t n;
  do {
    n = ::read(fd_, &value, sizeof value);  // non-blocking; counter was 1
  } while (n < 0 && errno == EINTR);
  signalled_ = false;
}

void Event::ConsumeLocked() {
  if (!manualReset_) DrainLocked();
}

bool Event::TryAcquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!signalled_) return false;
  ConsumeLocked();
  return true;
}

}  // namespace platform::sync_detail

using platform::sync_detail::Event;
using EventRef = platform::sync_detail::ObjectRef<Event>;

HANDLE CreateEventW(SECURITY_ATTRIBUTES* /*attributes*/, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  // Named events would be shared across processes; nothing here needs that.
  if (name != nullptr && *name != L'\0') {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    platform::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  return platform::MakeHandle(new Event(fd, manualReset != FALSE, initialState != FALSE));
}

namespace {

BOOL OnEvent(HANDLE event, void (Event::*change)()) {
  EventRef e(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  (e.get()->*change)();
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return OnEvent(event, &Event::Set); }

BOOL ResetEvent(HANDLE event) { return OnEvent(event, &Event::Reset); }
