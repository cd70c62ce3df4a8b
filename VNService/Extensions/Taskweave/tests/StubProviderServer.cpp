// StubProviderServer.cpp - the stub provider as an in-process COM server, for tests that run the service.
//
// Every CLSID whose InprocServer32 names this library gets a new stub, so
// one library stands for any number of extensions; each stub reads its
// behaviour from its own extension key. The library never unloads.
#include "VNService/Extensions/Taskweave/tests/StubProvider.h"

#include "platform/com/class_factory.h"

namespace {

HRESULT CreateStub(REFIID riid, void** ppv) {
  IExtensionInit* stub = nullptr;
  HRESULT hr = CreateStubProvider(&stub);
  if (FAILED(hr)) return hr;
  hr = stub->QueryInterface(riid, ppv);
  stub->Release();
  return hr;
}

std::atomic<long> g_locks{0};  // counted, but the library never unloads
platform::StaticClassFactory g_factory(CreateStub, g_locks);

}  // namespace

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return g_factory.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }
