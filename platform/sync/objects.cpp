// objects.cpp - kernel objects, the handle table and descriptor wait handles.
//
// A HANDLE is the address of its KernelObject. The handle table counts the
// open handles of each object apart from its references: a duplicate has the
// same value as the original, and the object may live on after its last
// handle (a running thread, a wait in progress), yet closing a handle more
// often than it was opened must fail instead of releasing someone else's
// reference. Lookups answer null for values that are not open handles, and
// never dereference them.

#include "platform/sync/sync_internal.h"

#include <poll.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

// g_tableMutex guards the table (object -> open handles). Each open handle
// holds one reference. Lookups take their reference under the mutex with
// TryAddRef, and an object leaves the table under it before it is deleted,
// so a lookup never revives or touches a dying object.
std::mutex g_tableMutex;
std::unordered_map<const KernelObject*, int>& Table() {
  // Never destroyed: handles may be closed from static destructors and
  // detached threads after main returns.
  static auto* table = new std::unordered_map<const KernelObject*, int>();
  return *table;
}

// Signalled while fd polls ready for the requested events. Nothing to
// consume: readiness is the descriptor's own state.
class FdWaitHandle final : public KernelObject {
 public:
  FdWaitHandle(int fd, short events) : fd_(fd), events_(events) {}
  int WaitFd() const override { return fd_; }
  short WaitEvents() const override { return events_; }
  bool TryAcquire() override {
    pollfd p{fd_, events_, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & POLLNVAL) == 0;
  }

 private:
  const int fd_;
  const short events_;
};

}  // namespace

KernelObject::~KernelObject() = default;

short KernelObject::WaitEvents() const { return POLLIN; }

bool KernelObject::TryAddRef() {
  int n = refs_.load(std::memory_order_relaxed);
  while (n > 0) {
    if (refs_.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

void KernelObject::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    Table().erase(this);  // normally gone with its last handle already
  }
  delete this;
}

HANDLE MakeHandle(KernelObject* object) {
  if (object == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(g_tableMutex);
  Table().emplace(object, 1);  // the new object's own reference is the handle's
  return object;
}

KernelObject* ObjectFromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* object = static_cast<KernelObject*>(handle);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  return Table().count(object) != 0 ? object : nullptr;
}

namespace sync_detail {

KernelObject* AcquireObject(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* object = static_cast<KernelObject*>(handle);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  if (Table().count(object) == 0 || !object->TryAddRef()) return nullptr;
  return object;
}

}  // namespace sync_detail

HANDLE CreateFdWaitHandle(int fd, short events) {
  if (fd < 0 || events == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return MakeHandle(new FdWaitHandle(fd, events));
}

}  // namespace platform

BOOL CloseHandle(HANDLE handle) {
  platform::KernelObject* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(platform::g_tableMutex);
    auto it = platform::Table().find(static_cast<platform::KernelObject*>(handle));
    if (it != platform::Table().end()) {
      object = static_cast<platform::KernelObject*>(handle);
      if (--it->second == 0) platform::Table().erase(it);
    }
  }
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Release();  // the closed handle's reference
  return TRUE;
}

HANDLE DuplicateHandleRef(HANDLE handle) {
  {
    std::lock_guard<std::mutex> lock(platform::g_tableMutex);
    auto it = platform::Table().find(static_cast<platform::KernelObject*>(handle));
    if (it != platform::Table().end() && static_cast<platform::KernelObject*>(handle)->TryAddRef()) {
      ++it->second;
      return handle;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}
