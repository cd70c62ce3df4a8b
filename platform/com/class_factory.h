// class_factory.h - the class object and registration exports of a simple in-process server.
//
// Most in-process servers here make one class whose objects need nothing from
// the class object: one static StaticClassFactory per class lives as long as
// the library, counts no references (there is nothing to delete), and moves
// the library's lock count in LockServer, which DllCanUnloadNow reads with
// the live-object count. Servers with their own rules for the class object
// (one cached under a lock, say) write their own.
#pragma once

#include "platform/com/com.h"
#include "platform/com/registrar.h"

#include <atomic>

namespace platform {

class StaticClassFactory final : public IClassFactory {
 public:
  // Makes one object and answers riid of it.
  using Create = HRESULT (*)(REFIID riid, void** ppv);

  StaticClassFactory(Create create, std::atomic<long>& locks) : m_create(create), m_locks(locks) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return m_create(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      m_locks.fetch_add(1);
    else
      m_locks.fetch_sub(1);
    return S_OK;
  }

  // DllGetClassObject for a server of this one class.
  HRESULT GetClassObject(REFCLSID wanted, REFCLSID served, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (wanted != served) return CLASS_E_CLASSNOTAVAILABLE;
    return QueryInterface(riid, ppv);
  }

 private:
  Create m_create;
  std::atomic<long>& m_locks;
};

// DllRegisterServer and DllUnregisterServer of a script whose %MODULE% is
// the library holding address (an object or function of internal linkage in
// that library: an exported name may resolve to another library's copy).
inline HRESULT RegisterModuleScript(const wchar_t* script, const void* address) {
  const std::wstring module = ModulePathOf(address);
  if (module.empty()) return SELFREG_E_CLASS;
  return RegisterServerFromRgs(script, {{L"MODULE", module}});
}
inline HRESULT UnregisterModuleScript(const wchar_t* script, const void* address) {
  return UnregisterServerFromRgs(script, {{L"MODULE", ModulePathOf(address)}});
}

}  // namespace platform
