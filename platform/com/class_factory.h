// class_factory.h - the one class object and the four server exports of the in-process servers here.
//
// ClassFactory<Lifetime> makes the objects of one class through a creation
// function and moves its library's lock count in LockServer, which the
// library's DllCanUnloadNow reads with its live-object count. Its references
// follow platform/com's counting (com_object.h):
//   StaticClassFactory (kOwnedElsewhere): one static object per class that
//     lives as long as the library; references count, nothing is deleted;
//   ClassFactory<ComLifetime::kFirstAddRef>: made on the heap (cached by a
//     module, say) and deleted by its last Release.
// Aggregation is refused. InprocServer answers DllGetClassObject from a table
// of (CLSID, class object), DllCanUnloadNow from the two counts, and
// registers a script whose %MODULE% is the library; VN_INPROC_SERVER_EXPORTS
// writes the four exports over any object with those four methods.
#pragma once

#include "platform/com/com.h"
#include "platform/com/com_object.h"
#include "platform/com/registrar.h"

#include <atomic>
#include <initializer_list>
#include <utility>
#include <vector>

namespace platform {

template <ComLifetime kLifetime, class Count = long>
class ClassFactory final : public RefCounted<kLifetime, IClassFactory> {
 public:
  // Makes one object and answers riid of it.
  using Create = HRESULT (*)(REFIID riid, void** ppv);

  ClassFactory(Create create, std::atomic<Count>& locks) : m_create(create), m_locks(locks) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return this->Answer(riid, ppv, {{&IID_IUnknown, static_cast<IClassFactory*>(this)},
                                    {&IID_IClassFactory, static_cast<IClassFactory*>(this)}});
  }
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

 private:
  Create m_create;
  std::atomic<Count>& m_locks;
};

using StaticClassFactory = ClassFactory<ComLifetime::kOwnedElsewhere>;

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

// A library's in-process server of static class objects. Define one, of
// internal linkage, in the library it serves: its own address tells the
// registration which library that is.
class InprocServer {
 public:
  struct Class {
    const CLSID* clsid;
    StaticClassFactory* factory;
  };

  InprocServer(std::initializer_list<Class> classes, std::atomic<long>& live, std::atomic<long>& locks,
               const wchar_t* script)
      : m_classes(classes), m_live(live), m_locks(locks), m_script(script) {}
  InprocServer(const InprocServer&) = delete;
  InprocServer& operator=(const InprocServer&) = delete;

  // E_POINTER, CLASS_E_CLASSNOTAVAILABLE for a class not served, else the
  // class object's answer for riid.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (const Class& served : m_classes) {
      if (*served.clsid == clsid) return served.factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  // S_OK once no object is alive and no LockServer lock is held.
  HRESULT CanUnloadNow() const { return m_live.load() == 0 && m_locks.load() == 0 ? S_OK : S_FALSE; }
  HRESULT RegisterServer() const { return RegisterModuleScript(m_script, this); }
  HRESULT UnregisterServer() const { return UnregisterModuleScript(m_script, this); }

 private:
  std::vector<Class> m_classes;
  std::atomic<long>& m_live;
  std::atomic<long>& m_locks;
  const wchar_t* m_script;
};

}  // namespace platform

// The four exports of an in-process server, each forwarded to server (an
// object with GetClassObject, CanUnloadNow, RegisterServer and
// UnregisterServer). Written once, at namespace scope, in the library.
#define VN_INPROC_SERVER_EXPORTS(server)                                              \
  VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { \
    return (server).GetClassObject(clsid, riid, ppv);                                 \
  }                                                                                   \
  VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return (server).CanUnloadNow(); }         \
  VN_DLL_EXPORT HRESULT DllRegisterServer() { return (server).RegisterServer(); }     \
  VN_DLL_EXPORT HRESULT DllUnregisterServer() { return (server).UnregisterServer(); }
