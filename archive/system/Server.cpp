// Server.cpp - the in-process server's exports: class object, unload test and registration.
//
// The library registers itself under HKCR\CLSID\{B0E4A6E9-...}\InprocServer32
// with its own path, so CoCreateInstance of the archive system object loads
// it. The class factory is one static object that lives as long as the
// library; only the objects it makes and LockServer keep the library loaded.
#include "archive/system/ArchiveObjects.h"

#include "platform/com/registrar.h"

namespace vnarchive {
namespace {

class SystemFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // Static: counting would only tell when to delete what is never deleted.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    SystemObject* system = new SystemObject();
    const HRESULT hr = system->QueryInterface(riid, ppv);
    system->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ServerLocks().fetch_add(1);
    else
      ServerLocks().fetch_sub(1);
    return S_OK;
  }
};

SystemFactory g_factory;

const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C} = s 'Corvellane Archive System'\n"
    L"    {\n"
    L"      InprocServer32 = s '%MODULE%'\n"
    L"      {\n"
    L"        val ThreadingModel = s 'Both'\n"
    L"      }\n"
    L"    }\n"
    L"  }\n"
    L"}\n";

platform::RegistrarReplacements Replacements() {
  return {{L"MODULE", platform::ModulePathOf(reinterpret_cast<const void*>(&Replacements))}};
}

}  // namespace
}  // namespace vnarchive

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_ArchiveSystem) return CLASS_E_CLASSNOTAVAILABLE;
  return vnarchive::g_factory.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() {
  return vnarchive::LiveObjects().load() == 0 && vnarchive::ServerLocks().load() == 0 ? S_OK : S_FALSE;
}

VN_DLL_EXPORT HRESULT DllRegisterServer() {
  const platform::RegistrarReplacements replacements = vnarchive::Replacements();
  if (replacements.at(L"MODULE").empty()) return SELFREG_E_CLASS;
  return platform::RegisterServerFromRgs(vnarchive::kRegistrationScript, replacements);
}

VN_DLL_EXPORT HRESULT DllUnregisterServer() {
  return platform::UnregisterServerFromRgs(vnarchive::kRegistrationScript, vnarchive::Replacements());
}
