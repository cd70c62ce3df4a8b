// com_object.h - reference counting and a table-driven QueryInterface for a library's COM classes.
//
// A class derives from ComObject<LiveCount, Interfaces...> and answers
// QueryInterface from its own table through Answer. LiveCount is the
// library's count of objects alive, which its DllCanUnloadNow reads (pass
// NoLiveCount where nothing reads it, in tests say).
#pragma once

#include "platform/com/com.h"

#include <atomic>
#include <initializer_list>
#include <utility>

namespace platform {

inline std::atomic<long>& NoLiveCount() {
  static std::atomic<long> count{0};
  return count;
}

template <std::atomic<long>& (*LiveCount)(), class... Interfaces>
class ComObject : public Interfaces... {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() { LiveCount().fetch_add(1); }
  virtual ~ComObject() { LiveCount().fetch_sub(1); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // QueryInterface over a table of (IID, interface pointer of this object).
  HRESULT Answer(REFIID riid, void** ppv, std::initializer_list<std::pair<const IID*, void*>> table) {
    if (ppv == nullptr) return E_POINTER;
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
  std::atomic<ULONG> m_refs{1};
};

}  // namespace platform
