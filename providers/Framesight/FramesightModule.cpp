// FramesightModule.cpp - the module object, the class factory and the server's exports.
#include "providers/Framesight/FramesightModule.h"

#include "providers/Framesight/Framesight.h"
#include "providers/Framesight/FramesightInterfaces.h"
#include "providers/Framesight/Resources.h"

#include "platform/com/class_factory.h"
#include "platform/com/oleauto.h"
#include "platform/com/registrar.h"

#include <cwctype>
#include <new>

namespace {

// The factory of CFramesight objects: made on the heap and kept by its
// references. It holds no lock on the module by itself: only LockServer does,
// so a cached factory does not keep the library loaded.
using CFramesightFactory = platform::ClassFactory<platform::ComLifetime::kFirstAddRef, LONG>;

HRESULT CreateFramesight(REFIID riid, void** ppv) { return CFramesight::CreateInstance(nullptr, riid, ppv); }

// Sets the thread locale for the registrar and restores it on every path.
class ThreadLocaleBracket {
 public:
  explicit ThreadLocaleBracket(LCID locale) : m_saved(GetThreadLocale()) { SetThreadLocale(locale); }
  ~ThreadLocaleBracket() { SetThreadLocale(m_saved); }
  ThreadLocaleBracket(const ThreadLocaleBracket&) = delete;
  ThreadLocaleBracket& operator=(const ThreadLocaleBracket&) = delete;

 private:
  LCID m_saved;
};

// The path this library was loaded from.
std::wstring ThisModulePath() { return platform::ModulePathOf(reinterpret_cast<const void*>(&FramesightModule)); }

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

platform::RegistrarReplacements Replacements() {
  return {{L"MODULE", ThisModulePath()}, {L"APPID", GuidText(LIBID_FramesightLib)}};
}

// Whether a DllInstall command line selects per-user registration: "user"
// without regard to case over five characters, its terminator included, so
// that "users" does not.
bool IsUserSwitch(LPCWSTR commandLine) {
  if (commandLine == nullptr) return false;
  constexpr wchar_t kUser[] = L"user";
  for (std::size_t i = 0; i < sizeof kUser / sizeof kUser[0]; ++i) {
    if (static_cast<wchar_t>(std::towlower(commandLine[i])) != kUser[i]) return false;
    if (commandLine[i] == L'\0') break;
  }
  return true;
}

CFramesightModule g_module;

}  // namespace

CFramesightModule& FramesightModule() { return g_module; }

CFramesightModule::CFramesightModule() {
  InitializeCriticalSection(&m_objectMapLock);
  m_initialised = true;
}

CFramesightModule::~CFramesightModule() {
  m_initialised = false;
  if (m_factory != nullptr) m_factory->Release();
  m_factory = nullptr;
  DeleteCriticalSection(&m_objectMapLock);
}

LONG CFramesightModule::Lock() { return ++m_locks; }

LONG CFramesightModule::Unlock() { return --m_locks; }

HRESULT CFramesightModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!m_initialised) return E_UNEXPECTED;
  if (clsid != CLSID_Framesight) return CLASS_E_CLASSNOTAVAILABLE;
  IClassFactory* factory = nullptr;
  {
    platform::CriticalSectionLock hold(m_objectMapLock);
    if (m_factory == nullptr) {
      m_factory = new (std::nothrow) CFramesightFactory(CreateFramesight, m_locks);
      if (m_factory == nullptr) return E_OUTOFMEMORY;
      m_factory->AddRef();
    }
    factory = m_factory;
  }
  return factory->QueryInterface(riid, ppv);
}

HRESULT CFramesightModule::CanUnloadNow() const {
  // No framework state of its own keeps the library: the lock count decides.
  return m_locks.load() == 0 ? S_OK : S_FALSE;
}

HRESULT CFramesightModule::RegisterServer() {
  ThreadLocaleBracket locale(LOCALE_SYSTEM_DEFAULT);
  return RegisterSteps();
}

HRESULT CFramesightModule::UnregisterServer() {
  ThreadLocaleBracket locale(LOCALE_SYSTEM_DEFAULT);
  return UnregisterSteps();
}

HRESULT CFramesightModule::RegisterSteps() {
  platform::RegistrarOptions options;
  options.perUser = m_perUser;
  const platform::RegistrarReplacements replacements = Replacements();
  HRESULT hr = platform::RegisterServerFromRgs(FramesightRegistrarScript(IDR_FRAMESIGHT), replacements, options);
  if (FAILED(hr)) return hr;
  // The object map's one entry: its class script; it has no component categories.
  hr = platform::RegisterServerFromRgs(FramesightRegistrarScript(IDR_FRAMESIGHT_CLASS), replacements, options);
  if (FAILED(hr)) return hr;
  return platform::RegisterTypeLibrary(FramesightTypeLibrary(replacements.at(L"MODULE")), options);
}

HRESULT CFramesightModule::UnregisterSteps() {
  platform::RegistrarOptions options;
  options.perUser = m_perUser;
  const platform::RegistrarReplacements replacements = Replacements();
  // Every step runs, so that undoing a failed installation removes all it can.
  HRESULT first = S_OK;
  auto keep = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  keep(platform::UnregisterServerFromRgs(FramesightRegistrarScript(IDR_FRAMESIGHT_CLASS), replacements, options));
  keep(platform::UnregisterTypeLibrary(FramesightTypeLibrary(replacements.at(L"MODULE")), options));
  keep(platform::UnregisterServerFromRgs(FramesightRegistrarScript(IDR_FRAMESIGHT), replacements, options));
  return first;
}

// --- Exports ---

VN_INPROC_SERVER_EXPORTS(g_module)

VN_DLL_EXPORT HRESULT DllInstall(BOOL install, LPCWSTR commandLine) {
  if (IsUserSwitch(commandLine)) g_module.SetPerUserRegistration(true);
  if (!install) return DllUnregisterServer();
  const HRESULT hr = g_module.RegisterServer();
  if (FAILED(hr)) DllUnregisterServer();
  return hr;
}
