// activation_test.cpp - apartments and in-process activation through the registry.
#include "platform/com/comptr.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/com/tests/temp_registry.h"
#include "platform/com/tests/test_server.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using platform::ComPtr;

struct InitStep {
  DWORD model;
  HRESULT expected;
};

TEST(Apartment, InitialiseAnswers) {
  // Each row runs on a fresh thread: the answers are per thread.
  const struct {
    const char* name;
    std::vector<InitStep> steps;
  } cases[] = {
      {"first is S_OK, again S_FALSE", {{COINIT_MULTITHREADED, S_OK}, {COINIT_MULTITHREADED, S_FALSE}}},
      {"apartment then multithreaded",
       {{COINIT_APARTMENTTHREADED, S_OK}, {COINIT_MULTITHREADED, RPC_E_CHANGED_MODE}, {COINIT_APARTMENTTHREADED, S_FALSE}}},
      {"multithreaded then apartment", {{COINIT_MULTITHREADED, S_OK}, {COINIT_APARTMENTTHREADED, RPC_E_CHANGED_MODE}}},
      {"extra flags keep the model",
       {{COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE, S_OK}, {COINIT_MULTITHREADED, S_FALSE}}},
      {"unknown flag", {{0x100, E_INVALIDARG}, {COINIT_MULTITHREADED, S_OK}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::thread([&] {
      int counted = 0;
      for (const InitStep& s : c.steps) {
        EXPECT_EQ(CoInitializeEx(nullptr, s.model), s.expected);
        if (SUCCEEDED(s.expected)) ++counted;
      }
      while (counted-- > 0) CoUninitialize();
      // Balanced: the thread is uninitialised again.
      void* p = nullptr;
      EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
                CO_E_NOTINITIALIZED);
    }).join();
  }
}

TEST(Apartment, CountedUntilBalanced) {
  std::thread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    // Still initialised once: a different model is still refused.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
    CoUninitialize();  // unbalanced extra call is ignored
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
}

TEST(Apartment, ThreadsAreIndependent) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  }).join();
  CoUninitialize();
}

void RegisterServer(REFCLSID clsid, const std::wstring& path, const std::wstring& serverKey = L"InprocServer32") {
  platform::RegKey key;
  std::wstring sub = L"CLSID\\" + platform::FormatGuid(clsid) + L"\\" + serverKey;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(key.get(), L"", path), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(key.get(), L"ThreadingModel", L"Both"), ERROR_SUCCESS);
}

std::wstring Wide(const char* s) { return platform::WideFromUtf8(s); }

class Activation : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }
};

TEST_F(Activation, AnswersForEachRegistration) {
  const CLSID missingLib = {0x5A0C1E20, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const CLSID noExport = {0x5A0C1E21, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const CLSID unregistered = {0x5A0C1E22, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const CLSID emptyPath = {0x5A0C1E23, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  RegisterServer(CLSID_TestObject, Wide(VN_TEST_SERVER_PATH));
  RegisterServer(CLSID_NotServed, Wide(VN_TEST_SERVER_PATH));
  RegisterServer(missingLib, L"/nonexistent/libmissing.so");
  RegisterServer(noExport, Wide(VN_TEST_NO_EXPORT_PATH));
  RegisterServer(emptyPath, L"");

  const struct {
    const char* name;
    CLSID clsid;
    DWORD ctx;
    HRESULT expected;
  } cases[] = {
      {"registered", CLSID_TestObject, CLSCTX_INPROC_SERVER, S_OK},
      {"any context holding in-process", CLSID_TestObject, CLSCTX_ALL, S_OK},
      {"out-of-process only", CLSID_TestObject, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
      {"not registered", unregistered, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
      {"library missing", missingLib, CLSCTX_INPROC_SERVER, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {"no DllGetClassObject", noExport, CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
      {"empty server path", emptyPath, CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND},
      {"class not served by the DLL", CLSID_NotServed, CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ITestObject* object = reinterpret_cast<ITestObject*>(0x1);
    EXPECT_EQ(CoCreateInstance(c.clsid, nullptr, c.ctx, IID_PPV_ARGS(&object)), c.expected);
    if (SUCCEEDED(c.expected)) {
      ASSERT_NE(object, nullptr);
      object->Release();
    } else {
      EXPECT_EQ(object, nullptr);
    }
  }
  // The failures loaded nothing that stays.
  EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
}

TEST_F(Activation, LibraryLoadedOnceAndUnloadedWhenItAllows) {
  RegisterServer(CLSID_TestObject, Wide(VN_TEST_SERVER_PATH));
  ComPtr<ITestObject> first, second;
  ASSERT_EQ(first.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  ASSERT_EQ(second.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
  LONG live = 0;
  ASSERT_EQ(second->LiveObjects(&live), S_OK);
  EXPECT_EQ(live, 2);  // both objects come from one loaded copy

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(first.As(&unknown), S_OK);
  ComPtr<IClassFactory> notThere;
  EXPECT_EQ(first.As(&notThere), E_NOINTERFACE);

  // Objects alive: DllCanUnloadNow says S_FALSE, the library stays.
  CoFreeUnusedLibraries();
  EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
  first.Reset();
  unknown.Reset();
  second.Reset();

  // A locked server stays too.
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(CLSID_TestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  CoFreeUnusedLibraries();
  EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();

  CoFreeUnusedLibraries();
  EXPECT_EQ(platform::LoadedComLibraryCount(), 0u);

  // And it is loaded again on the next activation.
  ASSERT_EQ(first.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
}

TEST(ActivationShutdown, LastUninitialiseUnloadsIdleLibraries) {
  RegisterServer(CLSID_TestObject, Wide(VN_TEST_SERVER_PATH));
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ITestObject* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object)), S_OK);
    object->Release();
    EXPECT_EQ(platform::LoadedComLibraryCount(), 1u);
    CoUninitialize();
  }).join();
  EXPECT_EQ(platform::LoadedComLibraryCount(), 0u);
}

// What a thread that never initialised COM may do, by what the rest of the
// process has entered.
struct ImplicitRow {
  const char* name;
  DWORD mainModel;  // the model the test's main thread enters, or kNone
  HRESULT activation;
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
};
constexpr DWORD kNone = 0xFFFFFFFF;

TEST(ImplicitMta, ThreadsWithoutACallUseTheProcessMta) {
  RegisterServer(CLSID_TestObject, Wide(VN_TEST_SERVER_PATH));
  const ImplicitRow rows[] = {
      {"no apartment anywhere", kNone, CO_E_NOTINITIALIZED, APTTYPE_CURRENT, APTTYPEQUALIFIER_NONE},
      {"another thread in the MTA", COINIT_MULTITHREADED, S_OK, APTTYPE_MTA, APTTYPEQUALIFIER_IMPLICIT_MTA},
      {"another thread in an STA only", COINIT_APARTMENTTHREADED, CO_E_NOTINITIALIZED, APTTYPE_CURRENT,
       APTTYPEQUALIFIER_NONE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.mainModel != kNone) {
      ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, row.mainModel)));
    }
    std::thread([&] {
      ComPtr<ITestObject> object;
      EXPECT_EQ(object.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), row.activation);
      APTTYPE type = APTTYPE_NA;
      APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
      EXPECT_EQ(CoGetApartmentType(&type, &qualifier), SUCCEEDED(row.activation) ? S_OK : CO_E_NOTINITIALIZED);
      EXPECT_EQ(type, row.type);
      EXPECT_EQ(qualifier, row.qualifier);
    }).join();
    if (row.mainModel != kNone) CoUninitialize();
  }
}

TEST(ImplicitMta, AThreadMayStillChooseItsOwnApartment) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  std::thread([] {
    // Implicit membership is no initialisation: the first call answers S_OK.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    APTTYPE type = APTTYPE_NA;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
    EXPECT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_EQ(type, APTTYPE_STA);
    EXPECT_EQ(qualifier, APTTYPEQUALIFIER_NONE);
    CoUninitialize();
    // Balanced again: back in the implicit MTA.
    EXPECT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_EQ(qualifier, APTTYPEQUALIFIER_IMPLICIT_MTA);
  }).join();
  CoUninitialize();
}

TEST(ImplicitMta, EndsWhenTheLastMtaThreadLeaves) {
  RegisterServer(CLSID_TestObject, Wide(VN_TEST_SERVER_PATH));
  // A thread that ends without CoUninitialize leaves the MTA all the same.
  std::thread([] { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }).join();
  ComPtr<ITestObject> object;
  EXPECT_EQ(object.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), CO_E_NOTINITIALIZED);

  platform::UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle leave(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread member([&] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    SetEvent(entered.get());
    WaitForSingleObject(leave.get(), INFINITE);
    CoUninitialize();
  });
  ASSERT_EQ(WaitForSingleObject(entered.get(), 60000), WAIT_OBJECT_0);
  EXPECT_EQ(object.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  object.Reset();
  SetEvent(leave.get());
  member.join();
  EXPECT_EQ(object.CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER), CO_E_NOTINITIALIZED);
}

TEST_F(Activation, LocalServerIsActivatedInProcessFromItsLibrary) {
  const std::wstring library = Wide(VN_TEST_SERVER_PATH);
  const CLSID emptyCommand = {0x5A0C1E24, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  RegisterServer(emptyCommand, L"", L"LocalServer32");
  const struct {
    const char* name;
    std::wstring command;  // LocalServer32 of CLSID_TestObject
    CLSID clsid;
    DWORD ctx;
    HRESULT expected;
  } cases[] = {
      {"local server asked", library, CLSID_TestObject, CLSCTX_LOCAL_SERVER, S_OK},
      {"any server context", library, CLSID_TestObject, CLSCTX_SERVER, S_OK},
      {"in-process only finds no InprocServer32", library, CLSID_TestObject, CLSCTX_INPROC_SERVER,
       REGDB_E_CLASSNOTREG},
      {"quoted command line with arguments", L"\"" + library + L"\" -Embedding", CLSID_TestObject,
       CLSCTX_LOCAL_SERVER, S_OK},
      {"program of the command line missing", L"/nonexistent/server -Embedding", CLSID_TestObject,
       CLSCTX_LOCAL_SERVER, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
      {"empty command line", L"", emptyCommand, CLSCTX_LOCAL_SERVER, CO_E_DLLNOTFOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.clsid == CLSID_TestObject) RegisterServer(CLSID_TestObject, c.command, L"LocalServer32");
    ComPtr<ITestObject> object;
    EXPECT_EQ(object.CoCreateInstance(c.clsid, nullptr, c.ctx), c.expected);
    EXPECT_EQ(object.Get() != nullptr, SUCCEEDED(c.expected));
  }
}

// A class object registered in the process.
class LocalObject : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

class LocalFactory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return object.QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  std::atomic<ULONG> refs{1};
  LocalObject object;
};

TEST_F(Activation, ProcessLocalClassComesFirstUntilRevoked) {
  const CLSID local = {0x5A0C1E30, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
  LocalFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(local, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(factory.refs, 2u);
  ComPtr<IUnknown> object;
  ASSERT_EQ(object.CoCreateInstance(local, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  EXPECT_EQ(object.Get(), &factory.object);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(CoCreateInstance(local, object.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, aggregated.PutVoid()),
            CLASS_E_NOAGGREGATION);
  object.Reset();
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs, 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(object.CoCreateInstance(local, nullptr, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, ClsidFromTextAndProgId) {
  platform::RegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Vantrel.TestObject\\CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(key.get(), L"", platform::FormatGuid(CLSID_TestObject)), ERROR_SUCCESS);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromString(L"Vantrel.TestObject", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TestObject);
  ASSERT_EQ(CLSIDFromString(platform::FormatGuid(CLSID_NotServed).c_str(), &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_NotServed);
  EXPECT_EQ(CLSIDFromString(L"{not-a-guid}", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(L"No.Such.ProgId", &clsid), CO_E_CLASSSTRING);

  wchar_t text[39];
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 39), 39);
  EXPECT_STREQ(text, L"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, text, 38), 0);
}

}  // namespace
