// test_server.cpp - a tiny in-process server for the activation tests.
//
// One class, CLSID_TestObject. DllCanUnloadNow answers S_OK only while no
// object is alive and the server is not locked. The registration exports
// write nothing to the registry: they append a line naming the call to the
// file VN_TEST_SERVER_LOG names, and the one VN_TEST_SERVER_FAIL names answers
// E_ACCESSDENIED, so the registration tool's tests see every call and failure.
#include "platform/com/tests/test_server.h"

#include "platform/base/text.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class TestObject : public ITestObject {
 public:
  TestObject() { ++g_objects; }
  virtual ~TestObject() { --g_objects; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestObject) {
      *ppv = static_cast<ITestObject*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP LiveObjects(LONG* count) override {
    *count = g_objects;
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class Factory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // A static object: its count does not matter.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new TestObject;
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

Factory g_factory;

HRESULT RecordCall(const char* name, const std::string& detail = "") {
  if (const char* log = std::getenv("VN_TEST_SERVER_LOG")) {
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%s%s\n", name, detail.c_str());
      std::fclose(f);
    }
  }
  const char* fail = std::getenv("VN_TEST_SERVER_FAIL");
  return fail != nullptr && std::string(fail) == name ? E_ACCESSDENIED : S_OK;
}

}  // namespace

VN_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_TestObject) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

VN_DLL_EXPORT HRESULT DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

VN_DLL_EXPORT HRESULT DllRegisterServer() { return RecordCall("DllRegisterServer"); }
VN_DLL_EXPORT HRESULT DllUnregisterServer() { return RecordCall("DllUnregisterServer"); }
VN_DLL_EXPORT HRESULT DllInstall(BOOL install, LPCWSTR cmdLine) {
  return RecordCall("DllInstall", std::string(" ") + (install ? "1" : "0") + " [" + platform::Utf8FromWide(cmdLine) + "]");
}
