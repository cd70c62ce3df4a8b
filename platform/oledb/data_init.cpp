// data_init.cpp - the data-initialisation service (CLSID_MSDAINITIALIZE) as an in-process server.
//
// GetDataSource reads the connection string, finds the provider's class by
// the "Provider" keyword (a ProgID or a braced CLSID), creates it and hands
// it the other keywords through IDBConnectionProperties when it offers that
// interface (a provider without it gets none and must not need them). The
// service keeps no state, so one static object answers every client and
// only the clients' own objects keep the library loaded.
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/com/registrar.h"
#include "platform/oledb/connection_string.h"
#include "platform/oledb/oledb.h"

namespace {

using platform::ComPtr;

class DataInitialize final : public IDataInitialize, public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDataInitialize) {
      *ppv = static_cast<IDataInitialize*>(this);
      return S_OK;
    }
    if (riid == IID_IClassFactory) {
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
    return QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  STDMETHODIMP GetDataSource(IUnknown* outer, DWORD clsCtx, LPCOLESTR initString, REFIID riid,
                             IUnknown** dataSource) override {
    if (dataSource == nullptr) return E_POINTER;
    *dataSource = nullptr;
    platform::ConnectionProperties properties;
    HRESULT hr = platform::ParseConnectionString(initString == nullptr ? L"" : initString, properties);
    if (FAILED(hr)) return hr;
    const auto provider = platform::FindKeyword(properties, L"Provider");
    if (!provider || provider->empty()) return E_INVALIDARG;
    CLSID clsid{};
    hr = CLSIDFromString(provider->c_str(), &clsid);
    if (FAILED(hr)) return REGDB_E_CLASSNOTREG;
    ComPtr<IUnknown> source;
    hr = CreateDBInstance(clsid, outer, clsCtx, nullptr, IID_IUnknown, source.GetAddressOf());
    if (FAILED(hr)) return hr;
    hr = PassProperties(source, properties);
    if (FAILED(hr)) return hr;
    return source->QueryInterface(riid, reinterpret_cast<void**>(dataSource));
  }

  STDMETHODIMP GetInitializationString(IUnknown*, BOOLEAN, LPOLESTR* initString) override {
    if (initString != nullptr) *initString = nullptr;
    return E_NOTIMPL;
  }

  STDMETHODIMP CreateDBInstance(REFCLSID provider, IUnknown* outer, DWORD clsCtx, LPOLESTR, REFIID riid,
                                IUnknown** dataSource) override {
    if (dataSource == nullptr) return E_POINTER;
    return CoCreateInstance(provider, outer, clsCtx, riid, reinterpret_cast<void**>(dataSource));
  }

 private:
  static HRESULT PassProperties(const ComPtr<IUnknown>& source, const platform::ConnectionProperties& properties) {
    ComPtr<IDBConnectionProperties> sink;
    if (FAILED(source.As(&sink))) return S_OK;
    for (const auto& [name, value] : properties) {
      if (platform::EqualsNoCase(name, L"Provider")) continue;
      const HRESULT hr = sink->SetConnectionProperty(name.c_str(), value.c_str());
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
};

DataInitialize g_service;

const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {2206CDB0-19C1-11D1-89E0-00C04FD7A829} = s 'Data Links'\n"
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

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_MSDAINITIALIZE) return CLASS_E_CLASSNOTAVAILABLE;
  return g_service.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

VN_DLL_EXPORT HRESULT DllRegisterServer() {
  const platform::RegistrarReplacements replacements = Replacements();
  if (replacements.at(L"MODULE").empty()) return SELFREG_E_CLASS;
  return platform::RegisterServerFromRgs(kRegistrationScript, replacements);
}

VN_DLL_EXPORT HRESULT DllUnregisterServer() {
  return platform::UnregisterServerFromRgs(kRegistrationScript, Replacements());
}
