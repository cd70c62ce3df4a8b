// com.h - the component object model: interfaces, apartments and activation.
//
// Interfaces are abstract structs whose pure virtual methods sit in COM's slot
// order, with no virtual destructor, so a vtable built by g++ has the layout a
// COM client expects (slot 0 QueryInterface, 1 AddRef, 2 Release, ...).
// Apartments are counted per thread as CoInitializeEx counts them, and a
// thread that never called it is in the implicit multithreaded apartment
// while another thread is in the MTA. Activation is in-process only:
// HKCR\CLSID\{clsid}\InprocServer32 (or, for servers Windows would start
// out of process, the program of LocalServer32) names a shared library that
// is dlopen'ed once per process and asked through its exported
// DllGetClassObject; classes registered in the process with
// CoRegisterClassObject are found first.
//
// Answers of activation, as Windows gives them:
//   REGDB_E_CLASSNOTREG            no process-local class and no server key for the contexts asked
//   CO_E_DLLNOTFOUND               the server key's value is empty
//   HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) (0x8007007E) the library cannot be loaded
//   CO_E_ERRORINDLL                the library has no DllGetClassObject export
//   anything else                  passed through from DllGetClassObject / CreateInstance
#pragma once

#include "platform/base/errors.h"
#include "platform/base/guid.h"
#include "platform/base/types.h"

#include <cstddef>
#include <type_traits>

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using OLECHAR = wchar_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using SCODE = LONG;
using LCID = DWORD;

// Declaration helpers in the style interface headers are written in.
#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT method
#define STDMETHOD_(type, method) virtual type method
#define STDMETHODIMP HRESULT
#define STDMETHODIMP_(type) type
#define PURE = 0

// Declares IID_<Interface> and makes it known to ComPtr and IID_PPV_ARGS.
// Use at namespace scope, in the namespace of the interface, after its
// declaration: VN_DECLARE_IID(IFoo, 0x12345678, 0x1234, 0x1234, 0xC0, 0, 0, 0, 0, 0, 0, 0x46)
#define VN_DECLARE_IID(Interface, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                    \
  inline constexpr IID IID_##Interface = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};          \
  inline constexpr const IID& VnIidOf(const Interface*) { return IID_##Interface; }

// The IID of an interface type declared with VN_DECLARE_IID (found by ADL).
template <class T>
constexpr const IID& IidOf() {
  return VnIidOf(static_cast<const T*>(nullptr));
}
#define IID_PPV_ARGS(pp) IidOf<std::remove_pointer_t<std::remove_reference_t<decltype(*(pp))>>>(), \
                         reinterpret_cast<void**>(pp)

// --- HRESULTs of this layer not in platform/base/errors.h ---
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FBu);
constexpr HRESULT REGDB_E_IIDNOTREG = static_cast<HRESULT>(0x80040155u);
constexpr HRESULT REGDB_E_WRITEREGDB = static_cast<HRESULT>(0x80040151u);
constexpr HRESULT E_CLASS_NOTLICENSED = static_cast<HRESULT>(0x80040112u);
constexpr HRESULT SELFREG_E_TYPELIB = static_cast<HRESULT>(0x80040200u);
constexpr HRESULT TYPE_E_REGISTRYACCESS = static_cast<HRESULT>(0x8002801Cu);

// --- IUnknown ---
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) PURE;  // slot 0
  STDMETHOD_(ULONG, AddRef)() PURE;                          // slot 1
  STDMETHOD_(ULONG, Release)() PURE;                         // slot 2

};
VN_DECLARE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

// --- IClassFactory ---
struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) PURE;  // slot 3
  STDMETHOD(LockServer)(BOOL lock) PURE;                                    // slot 4
};
VN_DECLARE_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

// The universal marshaler's class, named by registered dispatch interfaces.
inline constexpr CLSID CLSID_PSOAInterface = {0x00020424, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

// --- Apartments ---
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

// S_OK for the thread's first call, S_FALSE when already initialised in the
// same model (counted: balance it with CoUninitialize), RPC_E_CHANGED_MODE
// for the other model (not counted). E_INVALIDARG for unknown flags.
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
// CoInitializeEx(reserved, COINIT_APARTMENTTHREADED).
HRESULT CoInitialize(void* reserved);
// Undoes one successful CoInitializeEx; the last one of the last apartment
// in the process also unloads libraries whose DllCanUnloadNow answers S_OK.
void CoUninitialize();

// A thread that never called CoInitializeEx (or balanced all its calls)
// belongs to the multithreaded apartment while any other thread of the
// process is in it, as on Windows: pool threads of libraries can activate and
// call objects without initialising COM themselves. CoInitializeEx on such a
// thread answers as on a fresh thread.
enum APTTYPE { APTTYPE_CURRENT = -1, APTTYPE_STA = 0, APTTYPE_MTA = 1, APTTYPE_NA = 2, APTTYPE_MAINSTA = 3 };
enum APTTYPEQUALIFIER { APTTYPEQUALIFIER_NONE = 0, APTTYPEQUALIFIER_IMPLICIT_MTA = 1 };
// The calling thread's apartment; APTTYPE_MTA with
// APTTYPEQUALIFIER_IMPLICIT_MTA for a thread in the MTA without a call of its
// own; CO_E_NOTINITIALIZED for a thread in no apartment.
HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier);

// --- Activation ---
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;

struct COSERVERINFO;

// CO_E_NOTINITIALIZED on a thread in no apartment (neither its own nor the
// implicit MTA). With CLSCTX_INPROC_SERVER the class's InprocServer32 library
// is used; with CLSCTX_LOCAL_SERVER (and no InprocServer32 when both are
// asked) the program of its LocalServer32 command line, which here is a
// library activated in-process like any other: there are no out-of-process
// servers. REGDB_E_CLASSNOTREG when clsCtx holds neither context or the
// class has no key for it. See the top of this file for the other answers.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsCtx, COSERVERINFO* serverInfo, REFIID riid, void** ppv);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsCtx, REFIID riid, void** ppv);
// Makes factory the process's class object for clsid until revoked; found
// before the registry by CoGetClassObject/CoCreateInstance.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsCtx, DWORD flags, DWORD* cookie);
// CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD cookie);
// Unloads every loaded library whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// --- Task memory (malloc underneath; CoTaskMemFree(nullptr) is allowed) ---
void* CoTaskMemAlloc(SIZE_T size);
void* CoTaskMemRealloc(void* block, SIZE_T size);
void CoTaskMemFree(void* block);

// --- GUID text ---
// Writes the braced form and its terminator; returns the characters written
// (39) or 0 when max is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR out, int max);
// The braced form in task memory (free with CoTaskMemFree).
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out);
HRESULT StringFromIID(REFIID iid, LPOLESTR* out);
// The braced form, or a ProgID looked up under HKCR\<progid>\CLSID;
// CO_E_CLASSSTRING when neither.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
// HKCR\<progid>\CLSID; CO_E_CLASSSTRING when absent or malformed.
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);

// --- What an in-process server exports ---
using PFN_DllGetClassObject = HRESULT (*)(REFCLSID clsid, REFIID riid, void** ppv);
using PFN_DllCanUnloadNow = HRESULT (*)();
using PFN_DllRegisterServer = HRESULT (*)();
using PFN_DllUnregisterServer = HRESULT (*)();
using PFN_DllInstall = HRESULT (*)(BOOL install, LPCWSTR cmdLine);

// Marks the exports of an in-process server: extern "C", default visibility.
#define VN_DLL_EXPORT extern "C" __attribute__((visibility("default")))

namespace platform {

// Number of libraries the process has loaded for activation (for tests and
// diagnostics).
std::size_t LoadedComLibraryCount();

}  // namespace platform
