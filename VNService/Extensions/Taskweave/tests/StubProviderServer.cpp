// StubProviderServer.cpp - the stub provider as an in-process COM server, for tests that run the service.
//
// Every CLSID whose InprocServer32 names this library gets a new stub, so
// one library stands for any number of extensions; each stub reads its
// behaviour from its own extension key. The library never unloads.
#include "VNService/Extensions/Taskweave/tests/StubProvider.h"

#include "platform/com/com.h"

namespace {

class CStubFactory final : public IClassFactory {
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
  // Static: never deleted.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    IExtensionInit* stub = nullptr;
    HRESULT hr = CreateStubProvider(&stub);
    if (FAILED(hr)) return hr;
    hr = stub->QueryInterface(riid, ppv);
    stub->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

CStubFactory g_factory;

}  // namespace

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return g_factory.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }
