// Server.cpp - the provider's in-process server exports: class object, unload test, registration.
//
// Registered by CLSID and by the ProgID "Vantrel.OLEDBProvider", which is
// what the "Provider" keyword of a connection string names.
#include "archive/oledb/Provider.h"

#include "archive/system/ComObject.h"
#include "platform/com/registrar.h"

namespace vnarchive {

std::atomic<long>& LiveObjects() {
  static std::atomic<long> count{0};
  return count;
}
std::atomic<long>& ServerLocks() {
  static std::atomic<long> count{0};
  return count;
}

}  // namespace vnarchive

namespace vnoledb {
namespace {

class ProviderFactory final : public IClassFactory {
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
    return CreateDataSource(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      vnarchive::ServerLocks().fetch_add(1);
    else
      vnarchive::ServerLocks().fetch_sub(1);
    return S_OK;
  }
};

ProviderFactory g_factory;

const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  ForceRemove Vantrel.OLEDBProvider = s 'Vantrel OLE DB Provider'\n"
    L"  {\n"
    L"    CLSID = s '{6A3F2C1E-8B4D-4E7A-9C35-2F1B0D7E4A91}'\n"
    L"  }\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {6A3F2C1E-8B4D-4E7A-9C35-2F1B0D7E4A91} = s 'Vantrel OLE DB Provider'\n"
    L"    {\n"
    L"      ProgID = s 'Vantrel.OLEDBProvider'\n"
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
}  // namespace vnoledb

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != vnoledb::CLSID_VantrelOLEDBProvider) return CLASS_E_CLASSNOTAVAILABLE;
  return vnoledb::g_factory.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() {
  return vnarchive::LiveObjects().load() == 0 && vnarchive::ServerLocks().load() == 0 ? S_OK : S_FALSE;
}

VN_DLL_EXPORT HRESULT DllRegisterServer() {
  const platform::RegistrarReplacements replacements = vnoledb::Replacements();
  if (replacements.at(L"MODULE").empty()) return SELFREG_E_CLASS;
  return platform::RegisterServerFromRgs(vnoledb::kRegistrationScript, replacements);
}

VN_DLL_EXPORT HRESULT DllUnregisterServer() {
  return platform::UnregisterServerFromRgs(vnoledb::kRegistrationScript, vnoledb::Replacements());
}
