// com_object.h - the one reference-counting base of the COM classes here, and a table-driven QueryInterface.
//
// RefCounted<Lifetime, Interfaces...> counts references and, by its lifetime,
// deletes the object on the last Release or leaves it to its owner:
//   kCreatorHolds   the count starts at 1, the creator's reference; the last
//                   Release deletes the object (a library's classes);
//   kFirstAddRef    the count starts at 0 and the first AddRef makes the
//                   object live; the last Release deletes it;
//   kOwnedElsewhere the count starts at 1 and COM never deletes the object
//                   (a static class object, or one owned by shared ownership).
// A class answers QueryInterface from its own table through Answer.
//
// ComObject<LiveCount, Interfaces...> is a kCreatorHolds object counted in its
// library's count of objects alive, which its DllCanUnloadNow reads (pass
// NoLiveCount where nothing reads it, in tests say).
#pragma once

#include "platform/com/com.h"

#include <atomic>
#include <initializer_list>
#include <utility>

namespace platform {

enum class ComLifetime { kCreatorHolds, kFirstAddRef, kOwnedElsewhere };

template <ComLifetime kLifetime, class... Interfaces>
class RefCounted : public Interfaces... {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if constexpr (kLifetime != ComLifetime::kOwnedElsewhere) {
      if (left == 0) delete this;
    }
    return left;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  // QueryInterface over a table of (IID, interface pointer of this object);
  // a null out pointer answers nullAnswer.
  HRESULT Answer(REFIID riid, void** ppv, std::initializer_list<std::pair<const IID*, void*>> table,
                 HRESULT nullAnswer = E_POINTER) {
    if (ppv == nullptr) return nullAnswer;
    for (const auto& [iid, face] : table) {
      if (*iid == riid) {
        AddRef();
        *ppv = face;
        return S_OK;
      }
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> m_refs{kLifetime == ComLifetime::kFirstAddRef ? 0u : 1u};
};

inline std::atomic<long>& NoLiveCount() {
  static std::atomic<long> count{0};
  return count;
}

template <std::atomic<long>& (*LiveCount)(), class... Interfaces>
class ComObject : public RefCounted<ComLifetime::kCreatorHolds, Interfaces...> {
 protected:
  ComObject() { LiveCount().fetch_add(1); }
  ~ComObject() override { LiveCount().fetch_sub(1); }
};

}  // namespace platform
