// sync_internal.h - the object kinds behind sync.h, shared by its sources.
//
// Not part of the contract: callers only ever see HANDLEs. The wait code
// needs to know events from other kinds so that waitAll can check and consume
// several events as one step.
#pragma once

#include "platform/sync/sync.h"

#include <mutex>

namespace platform::sync_detail {

// An event: its eventfd counter is 1 exactly while the event is signalled and
// 0 otherwise, so poll() reports it readable only while set.
// mutex_ guards signalled_ and the eventfd counter (they change together).
class Event final : public KernelObject {
 public:
  Event(int fd, bool manualReset, bool initialState);
  ~Event() override;

  int WaitFd() const override { return fd_; }
  bool TryAcquire() override;

  void Set();
  void Reset();

  // For waitAll, which holds mutex() of every event it checks.
  std::mutex& mutex() { return mutex_; }
  bool SignalledLocked() const { return signalled_; }
  void ConsumeLocked();  // auto-reset: back to non-signalled

 private:
  void DrainLocked();

  const int fd_;
  const bool manualReset_;
  std::mutex mutex_;
  bool signalled_ = false;
};

// Looks the handle up and takes a reference the caller must Release; null for
// handles that are not (or no longer) live objects.
KernelObject* AcquireObject(HANDLE handle);

// AcquireObject as a scoped reference, narrowed to kind T (null when the
// handle is not live or not a T).
template <class T>
class ObjectRef {
 public:
  explicit ObjectRef(HANDLE handle) : object_(AcquireObject(handle)) {
    if (object_ != nullptr && dynamic_cast<T*>(object_) == nullptr) {
      object_->Release();
      object_ = nullptr;
    }
  }
  ~ObjectRef() {
    if (object_ != nullptr) object_->Release();
  }
  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;
  T* get() const { return static_cast<T*>(object_); }
  T* operator->() const { return get(); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  KernelObject* object_;
};

}  // namespace platform::sync_detail
