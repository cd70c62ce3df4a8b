// server_test.cpp - the library's exports, its class factory and the object's interface map.
//
// The library is loaded as COM loads it (dlopen of the built .so, its
// exports looked up by name), against a registry file of this program's own;
// activation through the registry is checked with CoCreateInstance after the
// library registered itself. The interfaces' vtable slots are pinned here as
// well, since every caller indexes them.
#include "providers/Framesight/FramesightInterfaces.h"

#include "platform/base/guid.h"
#include "platform/com/comptr.h"
#include "platform/com/oleauto.h"
#include "platform/com/testing/vtable_slot.h"
#include "platform/com/tests/temp_registry.h"
#include "platform/registry/registry.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::ComPtr;
using platform::testing::VtableSlot;

struct Exports {
  void* library = nullptr;
  PFN_DllGetClassObject getClassObject = nullptr;
  PFN_DllCanUnloadNow canUnloadNow = nullptr;
  PFN_DllRegisterServer registerServer = nullptr;
  PFN_DllUnregisterServer unregisterServer = nullptr;
  PFN_DllInstall install = nullptr;
};

// Loaded once and kept: COM's own loading of the same path shares it.
const Exports& Library() {
  static Exports exports = [] {
    Exports e;
    e.library = ::dlopen(FRAMESIGHT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (e.library == nullptr) return e;
    e.getClassObject = reinterpret_cast<PFN_DllGetClassObject>(::dlsym(e.library, "DllGetClassObject"));
    e.canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(::dlsym(e.library, "DllCanUnloadNow"));
    e.registerServer = reinterpret_cast<PFN_DllRegisterServer>(::dlsym(e.library, "DllRegisterServer"));
    e.unregisterServer = reinterpret_cast<PFN_DllUnregisterServer>(::dlsym(e.library, "DllUnregisterServer"));
    e.install = reinterpret_cast<PFN_DllInstall>(::dlsym(e.library, "DllInstall"));
    return e;
  }();
  return exports;
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Library().library, nullptr) << ::dlerror();
    ASSERT_NE(Library().getClassObject, nullptr);
    ASSERT_NE(Library().canUnloadNow, nullptr);
    ASSERT_NE(Library().registerServer, nullptr);
    ASSERT_NE(Library().unregisterServer, nullptr);
    ASSERT_NE(Library().install, nullptr);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  }
  void TearDown() override { CoUninitialize(); }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(Library().getClassObject(CLSID_Framesight, IID_IClassFactory, factory.PutVoid()), S_OK);
    return factory;
  }

  ComPtr<IUnknown> NewObject() {
    ComPtr<IUnknown> object;
    ComPtr<IClassFactory> factory = Factory();
    if (factory) {
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
    }
    return object;
  }
};

// --- The vtable slots every caller indexes ---

TEST(FramesightInterfaces, SlotsStandWhereCallersIndexThem) {
  struct Row {
    const char* name;
    std::size_t slot;
    std::size_t expected;
  };
  const Row rows[] = {
      {"IProviderOperations::QueryCapacity", VtableSlot(&IProviderOperations::QueryCapacity), 3},
      {"IProviderOperations::ScheduleOperation", VtableSlot(&IProviderOperations::ScheduleOperation), 4},
      {"IProviderOperations::ExecuteOperation", VtableSlot(&IProviderOperations::ExecuteOperation), 5},
      {"IProviderOperations slot 6", VtableSlot(&IProviderOperations::Reserved6), 6},
      {"IServiceOperations::FilterFile", VtableSlot(&IServiceOperations::FilterFile), 3},
      {"IServiceOperations::RequestPreparePreview", VtableSlot(&IServiceOperations::RequestPreparePreview), 4},
      {"IServiceOperations slot 5", VtableSlot(&IServiceOperations::Reserved5), 5},
      {"IServiceOperations slot 6", VtableSlot(&IServiceOperations::Reserved6), 6},
      {"IServiceOperations slot 7", VtableSlot(&IServiceOperations::Reserved7), 7},
      {"IServiceOperations slot 8", VtableSlot(&IServiceOperations::Reserved8), 8},
      {"IServiceOperations::RenameOutputs", VtableSlot(&IServiceOperations::RenameOutputs), 9},
      {"IServiceOperations::DeleteOutputs", VtableSlot(&IServiceOperations::DeleteOutputs), 10},
      {"IExtensionInit::GetTypeInfoCount", VtableSlot(&IExtensionInit::GetTypeInfoCount), 3},
      {"IExtensionInit::Invoke", VtableSlot(&IExtensionInit::Invoke), 6},
      {"IExtensionInit::Initialise", VtableSlot(&IExtensionInit::Initialise), 7},
  };
  for (const Row& row : rows) EXPECT_EQ(row.slot, row.expected) << row.name;
  // Nothing after the last slot: an interface is exactly its slots.
  static_assert(sizeof(IServiceOperations) == sizeof(void*));
  static_assert(sizeof(IProviderOperations) == sizeof(void*));
  static_assert(sizeof(IExtensionInit) == sizeof(void*));
}

// --- DllGetClassObject, the factory and DllCanUnloadNow ---

TEST_F(Server, GetClassObjectAnswers) {
  EXPECT_EQ(Library().getClassObject(CLSID_Framesight, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Library().getClassObject(IID_IServiceOperations, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(Library().getClassObject(CLSID_Framesight, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(Server, TheFactoryIsMadeOnceAndKept) {
  ComPtr<IClassFactory> first = Factory();
  ComPtr<IUnknown> second;
  ASSERT_EQ(Library().getClassObject(CLSID_Framesight, IID_IUnknown, second.PutVoid()), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(first.Get()), second.Get());
  // Holding the factory does not keep the library; creating and locking does.
  EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

TEST_F(Server, ThreadsAskingAtOnceGetTheOneFactory) {
  constexpr int kThreads = 8;
  std::vector<IUnknown*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&seen, i] {
      IUnknown* factory = nullptr;
      if (Library().getClassObject(CLSID_Framesight, IID_IUnknown, reinterpret_cast<void**>(&factory)) == S_OK) {
        seen[i] = factory;
        // Each thread makes and drops an object through it as well.
        IUnknown* object = nullptr;
        if (static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, IID_IUnknown,
                                                                 reinterpret_cast<void**>(&object)) == S_OK) {
          object->Release();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_NE(seen[i], nullptr);
    EXPECT_EQ(seen[i], seen[0]);
    seen[i]->Release();
  }
  EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

TEST_F(Server, LiveObjectsAndServerLocksKeepTheLibraryLoaded) {
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> object = NewObject();
  ComPtr<IUnknown> another = NewObject();
  EXPECT_EQ(Library().canUnloadNow(), S_FALSE);
  object = nullptr;
  EXPECT_EQ(Library().canUnloadNow(), S_FALSE);
  another = nullptr;
  EXPECT_EQ(Library().canUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(Library().canUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

TEST_F(Server, CreateInstanceRefusesAggregationAndUnknownInterfaces) {
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> outer = NewObject();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  outer = nullptr;
  // A refused creation leaves no object behind.
  EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

// --- The interface map ---

TEST_F(Server, InterfaceMap) {
  ComPtr<IUnknown> object = NewObject();
  ASSERT_TRUE(object);
  struct Row {
    const char* name;
    const IID* iid;
    HRESULT expected;
  };
  const Row rows[] = {
      {"IUnknown", &IID_IUnknown, S_OK},
      {"IProviderOperations", &IID_IProviderOperations, S_OK},
      {"IServiceOperations", &IID_IServiceOperations, S_OK},
      {"IExtensionInit", &IID_IExtensionInit, S_OK},
      {"IDispatch", &IID_IDispatch, S_OK},
      {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE},
      {"IProviderSupport", &IID_IProviderSupport, E_NOINTERFACE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<IUnknown> asked;
    ASSERT_EQ(object->QueryInterface(*row.iid, asked.PutVoid()), row.expected);
    if (FAILED(row.expected)) {
      EXPECT_FALSE(asked);
      continue;
    }
    // Every interface leads back to the one identity.
    ComPtr<IUnknown> identity;
    ASSERT_EQ(asked->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    EXPECT_EQ(identity.Get(), object.Get());
  }
  ComPtr<IDispatch> dispatch;
  ComPtr<IExtensionInit> init;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
  ASSERT_EQ(object->QueryInterface(IID_IExtensionInit, init.PutVoid()), S_OK);
  EXPECT_EQ(dispatch.Get(), static_cast<IDispatch*>(init.Get()));
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(Server, ReservedSlotsAnswerOkAndFilterFileLetsTheFallbackStand) {
  ComPtr<IUnknown> object = NewObject();
  ComPtr<IServiceOperations> service;
  ComPtr<IProviderOperations> provider;
  ASSERT_EQ(object->QueryInterface(IID_IServiceOperations, service.PutVoid()), S_OK);
  ASSERT_EQ(object->QueryInterface(IID_IProviderOperations, provider.PutVoid()), S_OK);
  EXPECT_EQ(provider->Reserved6(), S_OK);
  EXPECT_EQ(service->Reserved5(), S_OK);
  EXPECT_EQ(service->Reserved6(), S_OK);
  EXPECT_EQ(service->Reserved7(), S_OK);
  EXPECT_EQ(service->Reserved8(), S_OK);
  EXPECT_EQ(service->FilterFile(nullptr, S_FALSE), S_FALSE);
  EXPECT_EQ(service->FilterFile(nullptr, E_ACCESSDENIED), E_ACCESSDENIED);
}

// --- IDispatch by hand: "Initialise" as DISPID 1 ---

TEST_F(Server, DispatchNamesInitialise) {
  ComPtr<IUnknown> object = NewObject();
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
  struct Row {
    const char* name;
    std::vector<std::wstring> names;
    const IID* riid;
    HRESULT expected;
    std::vector<DISPID> ids;
  };
  const Row rows[] = {
      {"the method", {L"Initialise"}, &GUID_NULL, S_OK, {1}},
      {"any case", {L"INITIALISE"}, &GUID_NULL, S_OK, {1}},
      {"with its parameters", {L"Initialise", L"pSystem", L"bstrKey"}, &GUID_NULL, S_OK, {1, 1, 0}},
      {"an unknown parameter", {L"Initialise", L"key"}, &GUID_NULL, DISP_E_UNKNOWNNAME, {1, DISPID_UNKNOWN}},
      {"the other spelling", {L"Initialize"}, &GUID_NULL, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {"a non-null interface id", {L"Initialise"}, &IID_IExtensionInit, DISP_E_UNKNOWNINTERFACE, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::wstring> names = row.names;
    std::vector<LPOLESTR> pointers;
    for (std::wstring& n : names) pointers.push_back(n.data());
    std::vector<DISPID> ids(names.size(), 1234);
    EXPECT_EQ(dispatch->GetIDsOfNames(*row.riid, pointers.data(), static_cast<UINT>(pointers.size()),
                                      LOCALE_USER_DEFAULT, ids.data()),
              row.expected);
    if (!row.ids.empty()) {
      EXPECT_EQ(ids, row.ids);
    }
  }
  UINT count = 7;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
}

TEST_F(Server, DispatchInvokesInitialise) {
  ComPtr<IUnknown> object = NewObject();
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(object->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);

  // The object itself is no archive system: Initialise's E_NOINTERFACE reaches the late-bound
  // caller as an exception.
  platform::ComBstr key(L"Software\\Vantrel\\Corvellane\\Extensions\\{1B353362-C59F-4258-9819-0C742EC7F32F}");
  VARIANT arguments[2];  // in reverse order: pSystem, bstrKey
  VariantInit(&arguments[0]);
  VariantInit(&arguments[1]);
  arguments[0].vt = VT_UNKNOWN;
  arguments[0].punkVal = object.Get();
  arguments[1].vt = VT_BSTR;
  arguments[1].bstrVal = key.Get();

  struct Row {
    const char* name;
    DISPID id;
    WORD flags;
    UINT argumentCount;
    VARTYPE systemType;
    HRESULT expected;
    UINT argErr;
  };
  const Row rows[] = {
      {"Initialise", DISPID_Initialise, DISPATCH_METHOD, 2, VT_UNKNOWN, DISP_E_EXCEPTION, 99},
      {"another member", 2, DISPATCH_METHOD, 2, VT_UNKNOWN, DISP_E_MEMBERNOTFOUND, 99},
      {"a property get", DISPID_Initialise, DISPATCH_PROPERTYGET, 2, VT_UNKNOWN, DISP_E_MEMBERNOTFOUND, 99},
      {"one argument", DISPID_Initialise, DISPATCH_METHOD, 1, VT_UNKNOWN, DISP_E_BADPARAMCOUNT, 99},
      {"a number for the system", DISPID_Initialise, DISPATCH_METHOD, 2, VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    VARIANT args[2];
    std::memcpy(args, arguments, sizeof args);
    if (row.systemType == VT_I4) {
      args[0].vt = VT_I4;
      args[0].lVal = 5;
    }
    DISPPARAMS params{args + (2 - row.argumentCount), nullptr, row.argumentCount, 0};
    EXCEPINFO excepInfo{};
    UINT argErr = 99;
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(dispatch->Invoke(row.id, GUID_NULL, LOCALE_USER_DEFAULT, row.flags, &params, &result, &excepInfo,
                               &argErr),
              row.expected);
    EXPECT_EQ(argErr, row.argErr);
    if (row.expected == DISP_E_EXCEPTION) {
      EXPECT_EQ(excepInfo.scode, E_NOINTERFACE);
    }
  }
  // The same call by name, as a script would make it.
  VARIANT natural[2] = {arguments[1], arguments[0]};
  EXPECT_EQ(platform::InvokeByName(dispatch.Get(), L"Initialise", DISPATCH_METHOD, natural, 2, nullptr),
            DISP_E_EXCEPTION);
}

// --- Registration in the process ---

TEST_F(Server, RegistrationRestoresTheThreadLocale) {
  ASSERT_TRUE(SetThreadLocale(0x0407));
  EXPECT_EQ(Library().registerServer(), S_OK);
  EXPECT_EQ(GetThreadLocale(), 0x0407u);
  EXPECT_EQ(Library().unregisterServer(), S_OK);
  EXPECT_EQ(GetThreadLocale(), 0x0407u);
  SetThreadLocale(kDefaultThreadLocale);
}

TEST_F(Server, ARegisteredServerIsCreatedByClsid) {
  ASSERT_EQ(Library().registerServer(), S_OK);
  ComPtr<IExtensionInit> init;
  ASSERT_EQ(CoCreateInstance(CLSID_Framesight, nullptr, CLSCTX_INPROC_SERVER, IID_IExtensionInit, init.PutVoid()), S_OK);
  ComPtr<IProviderOperations> provider;
  EXPECT_EQ(init->QueryInterface(IID_IProviderOperations, provider.PutVoid()), S_OK);
  init = nullptr;
  provider = nullptr;
  EXPECT_EQ(Library().unregisterServer(), S_OK);
  ComPtr<IExtensionInit> gone;
  EXPECT_EQ(CoCreateInstance(CLSID_Framesight, nullptr, CLSCTX_INPROC_SERVER, IID_IExtensionInit, gone.PutVoid()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(Server, InstallTakesANullCommandLine) {
  EXPECT_EQ(Library().install(TRUE, nullptr), S_OK);
  platform::RegKey key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{1B353362-C59F-4258-9819-0C742EC7F32F}", 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  EXPECT_EQ(Library().install(FALSE, nullptr), S_OK);
  platform::RegKey gone;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{1B353362-C59F-4258-9819-0C742EC7F32F}", 0, KEY_READ, gone.put()),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace

// --- QueryCapacity against the live job limit of the extension's key ---

// Sets or (when value is null) removes "Maximum Transcode Jobs" of the
// extension's settings key, creating the key as needed.
void SetMaximumJobs(const DWORD* value) {
  const std::wstring path = L"Software\\Vantrel\\Vantrel Archive Extensions\\" + platform::FormatGuid(CLSID_Framesight);
  platform::RegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS);
  if (value == nullptr) {
    const LSTATUS status = RegDeleteValueW(key.get(), L"Maximum Transcode Jobs");
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
  } else {
    ASSERT_EQ(RegSetValueExW(key.get(), L"Maximum Transcode Jobs", 0, REG_DWORD, reinterpret_cast<const BYTE*>(value),
                             sizeof *value),
              ERROR_SUCCESS);
  }
}

TEST_F(Server, QueryCapacityWeighsTheJobLimitAgainstNoRunningJobs) {
  const DWORD zero = 0;
  const DWORD one = 1;
  const DWORD four = 4;
  struct Row {
    const char* name;
    const DWORD* maximum;
    HRESULT expected;
    ULONG expectedMode;  // the mode left behind (3 when untouched)
  };
  const Row rows[] = {
      {"absent: one job at a time", nullptr, S_OK, 2},
      {"zero refuses every job", &zero, S_FALSE, 3},
      {"one admits the first job", &one, S_OK, 2},
      {"four admits the first job", &four, S_OK, 2},
  };
  for (const Row& row : rows) {
    SetMaximumJobs(row.maximum);
    ComPtr<IUnknown> object = NewObject();
    ASSERT_TRUE(object) << row.name;
    ComPtr<IProviderOperations> provider;
    ASSERT_EQ(object->QueryInterface(IID_IProviderOperations, provider.PutVoid()), S_OK) << row.name;
    platform::ComBstr operation(L"Preview");
    ULONG mode = 3;  // what the extension service passes
    EXPECT_EQ(provider->QueryCapacity(operation.Get(), &mode), row.expected) << row.name;
    EXPECT_EQ(mode, row.expectedMode) << row.name;
  }
  SetMaximumJobs(nullptr);
}

TEST_F(Server, QueryCapacityFollowsAChangedJobLimitWithoutANewObject) {
  const DWORD one = 1;
  const DWORD zero = 0;
  SetMaximumJobs(&one);
  ComPtr<IProviderOperations> provider;
  ComPtr<IUnknown> object = NewObject();
  ASSERT_TRUE(object);
  ASSERT_EQ(object->QueryInterface(IID_IProviderOperations, provider.PutVoid()), S_OK);
  platform::ComBstr operation(L"Preview");
  ULONG mode = 3;
  ASSERT_EQ(provider->QueryCapacity(operation.Get(), &mode), S_OK);

  // The key's watcher marks the limit changed some time after the write;
  // ask until it did (generous bound for loaded machines).
  SetMaximumJobs(&zero);
  HRESULT hr = S_OK;
  for (int attempt = 0; attempt < 6000 && hr == S_OK; ++attempt) {
    mode = 3;
    hr = provider->QueryCapacity(operation.Get(), &mode);
    if (hr == S_OK) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(hr, S_FALSE);
  SetMaximumJobs(nullptr);
}
