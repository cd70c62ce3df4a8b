// FramesightModule.h - the in-process server module: lock count, class factory, registration.
//
// One module object per loaded library. It counts the locks that keep the
// library loaded (live objects and IClassFactory::LockServer), hands out the
// one class factory, created on first request and cached, and registers or
// unregisters the server:
//   register:   the module's script 101, the class's script 106, the type library;
//   unregister: the class's script 106, the type library, the module's script 101;
// both with the thread locale set to LOCALE_SYSTEM_DEFAULT and restored on
// every path. Per-user registration (set by DllInstall's "user") writes the
// HKCR keys to HKCU\Software\Classes; script 101 names HKLM itself and
// stays there.
//
// Locking: m_objectMapLock guards the creation of m_factory; once set,
// m_factory is never changed until the module goes away. The lock count, the
// initialised mark and the per-user switch are atomics.
#pragma once

#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <atomic>

class CFramesightModule {
 public:
  CFramesightModule();
  ~CFramesightModule();
  CFramesightModule(const CFramesightModule&) = delete;
  CFramesightModule& operator=(const CFramesightModule&) = delete;

  LONG Lock();
  LONG Unlock();
  LONG GetLockCount() const { return m_locks.load(); }

  // DllGetClassObject: E_POINTER, E_UNEXPECTED before the module is set up,
  // CLASS_E_CLASSNOTAVAILABLE for another class, else the factory's answer for riid.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
  // S_OK when no lock is held, S_FALSE otherwise.
  HRESULT CanUnloadNow() const;

  // The first failing step's HRESULT, or S_OK.
  HRESULT RegisterServer();
  // Runs every step; the first failure, or S_OK.
  HRESULT UnregisterServer();

  // Switches the HKCR keys to HKCU\Software\Classes for the rest of the process.
  void SetPerUserRegistration(bool perUser) { m_perUser = perUser; }
  bool PerUserRegistration() const { return m_perUser.load(); }

 private:
  HRESULT RegisterSteps();
  HRESULT UnregisterSteps();

  std::atomic<LONG> m_locks{0};
  std::atomic<bool> m_initialised{false};
  std::atomic<bool> m_perUser{false};
  CRITICAL_SECTION m_objectMapLock;
  IClassFactory* m_factory = nullptr;  // created under m_objectMapLock, one reference held
};

// The module of this library.
CFramesightModule& FramesightModule();
