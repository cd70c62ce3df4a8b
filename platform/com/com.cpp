// com.cpp - apartments, class objects, in-process activation, task memory.
//
// The library is shared (libvn_com.so) so that the program and every
// in-process server it loads see one apartment state per thread and one
// table of loaded libraries per process.
//
// Locking: g_state.mutex (recursive, because a server's DllGetClassObject
// may itself activate another class) guards g_state.libraries, the
// process-local class table g_state.classes and g_state.nextCookie. It is
// held across dlopen, DllGetClassObject and DllCanUnloadNow so that a
// library cannot be unloaded while it is being asked for a class object.
// The count of initialised threads is an atomic of its own.
#include "platform/com/com.h"

#include "platform/base/cmdline.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// --- Apartments ---

std::atomic<int> g_initialisedThreads{0};
// Threads that entered the multithreaded apartment themselves. While there is
// one, every thread that never initialised COM belongs to it implicitly.
std::atomic<int> g_multithreadedThreads{0};

void FreeUnusedLibraries();

struct ThreadApartment {
  int count = 0;
  DWORD model = COINIT_MULTITHREADED;
  ~ThreadApartment() {
    // A thread that ends without balancing its calls leaves its apartment.
    if (count > 0) Leave();
  }
  void Enter(DWORD newModel) {
    model = newModel;
    count = 1;
    g_initialisedThreads.fetch_add(1);
    if (model == COINIT_MULTITHREADED) g_multithreadedThreads.fetch_add(1);
  }
  // True when this was the last initialised thread of the process.
  bool Leave() {
    count = 0;
    if (model == COINIT_MULTITHREADED) g_multithreadedThreads.fetch_sub(1);
    return g_initialisedThreads.fetch_sub(1) == 1;
  }
};

thread_local ThreadApartment t_apartment;

bool ThreadInitialised() { return t_apartment.count > 0; }
bool ImplicitlyMultithreaded() { return !ThreadInitialised() && g_multithreadedThreads.load() > 0; }
// May the calling thread use COM: its own apartment, or the implicit MTA.
bool ThreadInApartment() { return ThreadInitialised() || ImplicitlyMultithreaded(); }

// --- Class objects and libraries ---

struct LoadedLibrary {
  std::string path;
  PFN_DllGetClassObject getClassObject = nullptr;
  PFN_DllCanUnloadNow canUnloadNow = nullptr;
};

struct RegisteredClass {
  CLSID clsid;
  IUnknown* object;
  DWORD clsCtx;
};

struct State {
  std::recursive_mutex mutex;
  std::map<void*, LoadedLibrary> libraries;  // by dlopen handle
  std::map<DWORD, RegisteredClass> classes;  // by cookie
  DWORD nextCookie = 1;
};

State& GlobalState() {
  // Never destroyed: libraries may still be asked during exit.
  static State* state = new State;
  return *state;
}

void FreeUnusedLibraries() {
  State& s = GlobalState();
  std::lock_guard lock(s.mutex);
  for (auto it = s.libraries.begin(); it != s.libraries.end();) {
    if (it->second.canUnloadNow != nullptr && it->second.canUnloadNow() == S_OK) {
      dlclose(it->first);
      it = s.libraries.erase(it);
    } else {
      ++it;
    }
  }
}

// The default value of a server key, expanded when it is REG_EXPAND_SZ.
HRESULT ServerKeyValue(HKEY classKey, const wchar_t* serverKeyName, std::wstring& value) {
  platform::RegKey serverKey;
  if (RegOpenKeyExW(classKey, serverKeyName, 0, KEY_READ, serverKey.put()) != ERROR_SUCCESS)
    return REGDB_E_CLASSNOTREG;
  DWORD type = REG_SZ;
  if (platform::RegReadString(serverKey.get(), L"", value, &type) != ERROR_SUCCESS) return CO_E_DLLNOTFOUND;
  if (type == REG_EXPAND_SZ) value = platform::ExpandEnvironment(value);
  return S_OK;
}

// The library path registered for clsid in the contexts asked, or the
// activation error. InprocServer32 names the library; LocalServer32 holds a
// server's command line, whose program is here a library loaded in-process
// (its arguments, such as "-Embedding", mean nothing in-process).
HRESULT RegisteredLibraryPath(REFCLSID clsid, DWORD clsCtx, std::wstring& path) {
  std::wstring subKey = L"CLSID\\" + platform::FormatGuid(clsid);
  platform::RegKey classKey;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, classKey.put()) != ERROR_SUCCESS)
    return REGDB_E_CLASSNOTREG;
  HRESULT hr = REGDB_E_CLASSNOTREG;
  std::wstring value;
  if (clsCtx & CLSCTX_INPROC_SERVER) hr = ServerKeyValue(classKey.get(), L"InprocServer32", value);
  if (hr == REGDB_E_CLASSNOTREG && (clsCtx & CLSCTX_LOCAL_SERVER)) {
    hr = ServerKeyValue(classKey.get(), L"LocalServer32", value);
    // An empty command line would name the running program: keep it empty.
    if (SUCCEEDED(hr) && !value.empty()) value = platform::CommandLineToArgvW(value).front();
  }
  if (FAILED(hr)) return hr;
  if (value.empty()) return CO_E_DLLNOTFOUND;
  path = std::move(value);
  return S_OK;
}

// Loads path once per process. Called with the state's mutex held.
HRESULT LoadLibraryLocked(State& s, const std::wstring& path, LoadedLibrary*& out) {
  std::string utf8 = platform::Utf8FromWide(path);
  void* handle = dlopen(utf8.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  auto found = s.libraries.find(handle);
  if (found != s.libraries.end()) {
    dlclose(handle);  // drop the extra reference: the table holds one
    out = &found->second;
    return S_OK;
  }
  auto get = reinterpret_cast<PFN_DllGetClassObject>(dlsym(handle, "DllGetClassObject"));
  if (get == nullptr) {
    dlclose(handle);
    return CO_E_ERRORINDLL;
  }
  LoadedLibrary lib;
  lib.path = utf8;
  lib.getClassObject = get;
  lib.canUnloadNow = reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(handle, "DllCanUnloadNow"));
  out = &s.libraries.emplace(handle, std::move(lib)).first->second;
  return S_OK;
}

}  // namespace

// --- Apartments ---

HRESULT CoInitializeEx(void*, DWORD coInit) {
  constexpr DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (coInit & ~known) return E_INVALIDARG;
  DWORD model = coInit & COINIT_APARTMENTTHREADED;
  ThreadApartment& a = t_apartment;
  if (a.count > 0) {
    if (a.model != model) return RPC_E_CHANGED_MODE;
    ++a.count;
    return S_FALSE;
  }
  a.Enter(model);
  return S_OK;
}

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier) {
  if (type == nullptr || qualifier == nullptr) return E_INVALIDARG;
  *type = APTTYPE_CURRENT;
  *qualifier = APTTYPEQUALIFIER_NONE;
  if (ImplicitlyMultithreaded()) {
    *type = APTTYPE_MTA;
    *qualifier = APTTYPEQUALIFIER_IMPLICIT_MTA;
    return S_OK;
  }
  if (!ThreadInitialised()) return CO_E_NOTINITIALIZED;
  *type = t_apartment.model == COINIT_MULTITHREADED ? APTTYPE_MTA : APTTYPE_STA;
  return S_OK;
}

void CoUninitialize() {
  ThreadApartment& a = t_apartment;
  if (a.count == 0) return;  // unbalanced call: Windows ignores it too
  if (a.count > 1) {
    --a.count;
    return;
  }
  if (a.Leave()) FreeUnusedLibraries();
}

// --- Activation ---

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsCtx, COSERVERINFO*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (!ThreadInApartment()) return CO_E_NOTINITIALIZED;
  State& s = GlobalState();
  std::unique_lock lock(s.mutex);
  for (auto& [cookie, entry] : s.classes) {
    if (entry.clsid == clsid && (entry.clsCtx & clsCtx) != 0) {
      IUnknown* object = entry.object;
      object->AddRef();
      lock.unlock();
      HRESULT hr = object->QueryInterface(riid, ppv);
      object->Release();
      return hr;
    }
  }
  if ((clsCtx & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) == 0) return REGDB_E_CLASSNOTREG;
  std::wstring path;
  HRESULT hr = RegisteredLibraryPath(clsid, clsCtx, path);
  if (FAILED(hr)) return hr;
  LoadedLibrary* lib = nullptr;
  hr = LoadLibraryLocked(s, path, lib);
  if (FAILED(hr)) return hr;
  return lib->getClassObject(clsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsCtx, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(clsid, clsCtx, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsCtx, DWORD, DWORD* cookie) {
  if (factory == nullptr || cookie == nullptr) return E_INVALIDARG;
  *cookie = 0;
  if (!ThreadInApartment()) return CO_E_NOTINITIALIZED;
  State& s = GlobalState();
  std::lock_guard lock(s.mutex);
  factory->AddRef();
  DWORD id = s.nextCookie++;
  s.classes.emplace(id, RegisteredClass{clsid, factory, clsCtx});
  *cookie = id;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  IUnknown* object = nullptr;
  {
    State& s = GlobalState();
    std::lock_guard lock(s.mutex);
    auto it = s.classes.find(cookie);
    if (it == s.classes.end()) return CO_E_OBJNOTREG;
    object = it->second.object;
    s.classes.erase(it);
  }
  object->Release();  // outside the lock: the factory's destructor may call back
  return S_OK;
}

void CoFreeUnusedLibraries() { FreeUnusedLibraries(); }

// --- Task memory ---

void* CoTaskMemAlloc(SIZE_T size) { return std::malloc(size == 0 ? 1 : size); }
void* CoTaskMemRealloc(void* block, SIZE_T size) { return std::realloc(block, size == 0 ? 1 : size); }
void CoTaskMemFree(void* block) { std::free(block); }

// --- GUID text ---

int StringFromGUID2(REFGUID guid, LPOLESTR out, int max) {
  std::wstring text = platform::FormatGuid(guid);
  if (out == nullptr || max < static_cast<int>(text.size()) + 1) return 0;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return static_cast<int>(text.size()) + 1;
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(wchar_t)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(clsid, *out, 39);
  return S_OK;
}

HRESULT StringFromIID(REFIID iid, LPOLESTR* out) { return StringFromCLSID(iid, out); }

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
  if (progId == nullptr || clsid == nullptr) return E_INVALIDARG;
  platform::RegKey key;
  std::wstring subKey = std::wstring(progId) + L"\\CLSID";
  std::wstring text;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      platform::RegReadString(key.get(), L"", text) != ERROR_SUCCESS || !platform::ParseGuid(text, *clsid))
    return CO_E_CLASSSTRING;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  if (text == nullptr || *text == 0) {
    *clsid = GUID_NULL;
    return S_OK;
  }
  if (text[0] == L'{') return platform::ParseGuid(text, *clsid) ? S_OK : CO_E_CLASSSTRING;
  return CLSIDFromProgID(text, clsid);
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) {
  if (iid == nullptr) return E_INVALIDARG;
  if (text == nullptr) {
    *iid = GUID_NULL;
    return S_OK;
  }
  return platform::ParseGuid(text, *iid) ? S_OK : E_INVALIDARG;
}

namespace platform {

std::size_t LoadedComLibraryCount() {
  State& s = GlobalState();
  std::lock_guard lock(s.mutex);
  return s.libraries.size();
}

}  // namespace platform
