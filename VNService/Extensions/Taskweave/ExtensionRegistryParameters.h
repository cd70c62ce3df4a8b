// ExtensionRegistryParameters.h - one extension's settings key, watched for changes.
//
// Every extension has a key HKLM "Software\Vantrel\Vantrel Archive
// Extensions\{CLSID}" below the extension service's own key, which also holds
// the "Rules" shared by all extensions. CExtensionRegistryParametersBase opens
// both keys on first use, arms one change notification on the whole base
// subtree, and runs a watcher thread that marks everything changed whenever
// anything below the base key changes (another extension's key included).
//
// Users consume a change through CheckChanged and reload what they keep:
// the value caches here (RefreshValues), the rules and operations of the
// extension service (CExtensionRegistryOperations), or single named values of
// a provider (CExtensionRegistryParameters<&CLSID>::RegistryParam). A reload
// is built aside and swapped in only when it succeeded whole; a failed one
// leaves the previous values in force and marks the key changed again, so the
// next read retries instead of settling on half a configuration.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/guid.h"
#include "platform/base/text.h"
#include "platform/base/types.h"
#include "platform/com/comptr.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class CExtensionRegistryParametersBase {
 public:
  // One registered parameter; the watcher and every reload mark it changed.
  class CParameterBase {
   public:
    virtual void MarkChanged() = 0;

   protected:
    ~CParameterBase() = default;
  };

  // The values of one key in enumeration order; a multi-string value gives
  // one pair per string under the same name.
  using ValueList = std::vector<std::pair<std::wstring, platform::ComVariant>>;
  using ValuesFunction = std::function<HRESULT(const std::wstring& keyName, const ValueList& values)>;

  // The extension service's own key, below HKLM; its display name is the last
  // component.
  static constexpr wchar_t kBasePath[] = L"Software\\Vantrel\\Vantrel Archive Extensions";
  // RegNotifyChangeKeyValue filter: names, values, and any thread may re-arm.
  static constexpr DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC;

  // Starts the watcher; opens no key. A null clsid makes the generic reader:
  // no extension key, only the base key. Throws std::system_error when the
  // events or the thread cannot be created.
  explicit CExtensionRegistryParametersBase(const GUID* clsid);
  // Stops and joins the watcher before anything else goes.
  ~CExtensionRegistryParametersBase();
  CExtensionRegistryParametersBase(const CExtensionRegistryParametersBase&) = delete;
  CExtensionRegistryParametersBase& operator=(const CExtensionRegistryParametersBase&) = delete;

  const std::wstring& ClsidString() const { return clsidString_; }
  const std::wstring& BasePathString() const { return basePath_; }
  const std::wstring& ExtensionPath() const { return extensionPath_; }

  // S_OK: the caller must (re)load; S_FALSE: nothing changed since the last
  // S_OK; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): a key does not exist;
  // E_FAIL: a key cannot be opened otherwise (both retried at every call); or the
  // notification's arming error as an HRESULT (also retried). Safe on any
  // number of threads at once; each change is answered S_OK to one caller.
  HRESULT CheckChanged();

  // Reloads both value caches from the extension key after a change: S_OK
  // when reloaded, S_FALSE when nothing changed, or the failure (the caches
  // then stay as they were).
  HRESULT RefreshValues();
  // A value of the extension key (names without regard to case), or the
  // default (for strings: none, when defaultValue is null).
  std::optional<std::wstring> GetStringValue(std::wstring_view name, const wchar_t* defaultValue = nullptr);
  DWORD GetDWORDValue(std::wstring_view name, DWORD defaultValue);

  // Reads every value of key and calls function once with keyName and the
  // list. REG_SZ (non-empty) and each string of REG_MULTI_SZ become VT_BSTR,
  // REG_DWORD VT_UI4, REG_QWORD VT_UI8; other types, and numbers of the wrong
  // size, give no pair. A registry error is returned as an HRESULT and the
  // function is not called.
  static HRESULT EnumValues(HKEY key, const std::wstring& keyName, const ValuesFunction& function);
  // EnumValues on every subkey of key in enumeration (case-insensitive
  // sorted) order, until the first failure, which is returned; S_OK when
  // there is none.
  static HRESULT EnumSubkeyValues(HKEY key, const ValuesFunction& function);
  // EnumSubkeyValues on parent\name: S_FALSE when that subkey does not exist,
  // any other failure to open it as an HRESULT.
  static HRESULT EnumNamedSubkeys(HKEY parent, const wchar_t* name, const ValuesFunction& function);

 protected:
  // Keys as CheckChanged opened them (null before); valid for the object's
  // life once set.
  HKEY BaseKey();
  HKEY ExtensionKey();

  // Marks the key changed again, for a reload that failed.
  void MarkChangedAgain() { changed_.store(true); }

  // Held by each consumer around CheckChanged and the reload it triggers, so
  // that a caller arriving meanwhile waits for the new values instead of
  // reading the old (or, at first use, none).
  SRWLOCK reloadLock_ = SRWLOCK_INIT;

  class CParameterCore;
  void RegisterParameter(CParameterCore* parameter);
  void UnregisterParameter(CParameterCore* parameter);

  // Values and change marks of one named value, shared by both kinds of
  // RegistryParam. The value is guarded by valueLock_, held across the
  // look-up that refreshes it; changed_ is atomic because the watcher sets it
  // while readers test it.
  class CParameterCore : public CParameterBase {
   public:
    CParameterCore(CExtensionRegistryParametersBase& owner, std::wstring name);
    ~CParameterCore();
    CParameterCore(const CParameterCore&) = delete;
    CParameterCore& operator=(const CParameterCore&) = delete;
    void MarkChanged() final { SetChanged(); }
    // What the owner calls: no virtual dispatch, because a parameter being
    // destroyed has already lost its derived parts (and their vtable) when it
    // unregisters, while the watcher may still reach it until then.
    void SetChanged() { changed_.store(true); }
    bool IsChanged() const { return changed_.load(); }
    const std::wstring& Name() const { return name_; }

   protected:
    // True when the mark was set (and is now cleared): the owner's values are
    // then refreshed. A refresh that failed (no key yet, a read error) marks
    // the parameter again, so that every read retries until one succeeds.
    bool TakeChangeAndRefresh();
    CExtensionRegistryParametersBase& owner_;
    const std::wstring name_;
    SRWLOCK valueLock_ = SRWLOCK_INIT;

   private:
    std::atomic<bool> changed_{true};
  };

  class CStringParameter : public CParameterCore {
   public:
    using CParameterCore::CParameterCore;
    // The value, reloaded first when marked changed; none when absent.
    std::optional<std::wstring> Get();

   private:
    std::optional<std::wstring> value_;
  };

  class CDwordParameter : public CParameterCore {
   public:
    CDwordParameter(CExtensionRegistryParametersBase& owner, std::wstring name, DWORD defaultValue)
        : CParameterCore(owner, std::move(name)), default_(defaultValue), value_(defaultValue) {}
    DWORD Get();

   private:
    const DWORD default_;
    DWORD value_;
  };

 private:
  // RefreshValues for a parameter about to reload itself: every other
  // parameter is marked changed, the reader is not (it reads next anyway).
  HRESULT RefreshValuesFor(CParameterCore* reader);
  // Cache lookups without a refresh.
  std::optional<std::wstring> LookupString(std::wstring_view name, const wchar_t* defaultValue);
  DWORD LookupDword(std::wstring_view name, DWORD defaultValue);

  void WatchKey();
  HRESULT ArmNotification();  // called with keysLock_ held

  const std::wstring basePath_;
  std::wstring clsidString_;
  std::wstring extensionPath_;

  // keysLock_ guards baseKey_ and extensionKey_ while they are opened, and
  // the re-arming of the notification on baseKey_. armed_ publishes both keys:
  // once it is set they stay as they are until the destructor.
  SRWLOCK keysLock_ = SRWLOCK_INIT;
  platform::RegKey baseKey_;
  platform::RegKey extensionKey_;
  std::atomic<bool> armed_{false};

  // Set after construction, by the watcher on every change and by a failed
  // reload; cleared by the CheckChanged that answers S_OK.
  std::atomic<bool> changed_{true};
  std::atomic<bool> stopping_{false};
  platform::UniqueHandle stopEvent_;
  platform::UniqueHandle changeEvent_;
  std::thread watcher_;  // runs WatchKey; joined by the destructor

  // lock_ guards parameters_, strings_ and numbers_: shared for lookups and
  // for the watcher's walk over the parameters, exclusive for registration
  // and for swapping in reloaded caches.
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::vector<CParameterCore*> parameters_;
  std::map<std::wstring, std::wstring, platform::LessNoCase> strings_;
  std::map<std::wstring, DWORD, platform::LessNoCase> numbers_;
};

// A provider's parameters: the base built from the template's CLSID, and
// named values that reload themselves after a change.
template <const GUID* Clsid>
class CExtensionRegistryParameters : public CExtensionRegistryParametersBase {
 public:
  CExtensionRegistryParameters() : CExtensionRegistryParametersBase(Clsid) {}

  // RegistryParam<const wchar_t*, 0>: a string value (Get() gives a copy of
  // the text, or none when absent). RegistryParam<unsigned long, 1> (or
  // DWORD): a 32-bit value with a default. Both register with their owner
  // while they live, and Get() reloads only after the owner saw a change.
  template <typename T, int Kind>
  class RegistryParam;

  template <typename T>
  class RegistryParam<T, 0> : public CStringParameter {
    static_assert(std::is_same_v<T, const wchar_t*>, "kind 0 is a string value");

   public:
    RegistryParam(CExtensionRegistryParameters& owner, std::wstring name) : CStringParameter(owner, std::move(name)) {}
  };

  template <typename T>
  class RegistryParam<T, 1> : public CDwordParameter {
    static_assert(std::is_unsigned_v<T>, "kind 1 is a DWORD value");

   public:
    RegistryParam(CExtensionRegistryParameters& owner, std::wstring name, T defaultValue)
        : CDwordParameter(owner, std::move(name), static_cast<DWORD>(defaultValue)) {}
    T Get() { return static_cast<T>(CDwordParameter::Get()); }
  };
};
