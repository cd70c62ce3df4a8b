// ExtensionRegistryParameters.cpp - key opening, the watcher thread, value reading and caches.
//
// Lock order: reloadLock_, then lock_ or a derived class's own lock; a
// parameter's valueLock_, then lock_ (shared); keysLock_ is taken alone.
// SetChanged only stores an atomic flag, so it may be called under lock_.
#include "VNService/Extensions/Taskweave/ExtensionRegistryParameters.h"
#include "platform/base/bytes.h"
#include "platform/sync/sync.h"


#include <algorithm>
#include <new>
#include <system_error>

namespace {

// A value added while a key is read can outgrow the buffers sized before;
// they are resized and the same index read again, a few times at most.
constexpr int kMaxRegrowths = 8;

std::wstring BstrText(const VARIANT& v) {
  return v.bstrVal == nullptr ? std::wstring() : std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
}

void AppendBstr(CExtensionRegistryParametersBase::ValueList& values, const std::wstring& name, std::wstring_view text) {
  platform::ComVariant value(text);
  if (value.bstrVal == nullptr) throw std::bad_alloc();
  values.emplace_back(name, std::move(value));
}

// Files one registry value under the conversion rules of EnumValues.
void AppendValue(CExtensionRegistryParametersBase::ValueList& values, const std::wstring& name, DWORD type,
                 const BYTE* data, DWORD size) {
  switch (type) {
    case REG_SZ: {
      std::wstring text = platform::RegStringFromBytes(data, size);
      if (!text.empty()) AppendBstr(values, name, text);
      break;
    }
    case REG_MULTI_SZ: {
      const std::wstring all = platform::WideFromUtf16le(data, size);
      std::size_t begin = 0;
      while (begin < all.size()) {
        std::size_t end = all.find(L'\0', begin);
        if (end == std::wstring::npos) end = all.size();
        if (end == begin) break;  // the empty string ends the list
        AppendBstr(values, name, std::wstring_view(all).substr(begin, end - begin));
        begin = end + 1;
      }
      break;
    }
    case REG_DWORD:
      // A number of any other size is malformed; reading it would run past the data.
      if (size == sizeof(DWORD)) {
        values.emplace_back(name, platform::ComVariant(static_cast<UINT>(platform::LoadLe32(data))));
      }
      break;
    case REG_QWORD:
      if (size == sizeof(ULONGLONG)) {
        values.emplace_back(name, platform::ComVariant(platform::LoadLe64(data)));
      }
      break;
    default:
      break;  // REG_EXPAND_SZ, REG_BINARY and the rest are not parameters
  }
}

std::system_error SystemError(const char* what) {
  return std::system_error(static_cast<int>(GetLastError()), platform::Win32Category(), what);
}

}  // namespace

// --- construction ---

CExtensionRegistryParametersBase::CExtensionRegistryParametersBase(const GUID* clsid) : basePath_(kBasePath) {
  if (clsid != nullptr) {
    clsidString_ = platform::FormatGuid(*clsid);
    extensionPath_ = basePath_ + L"\\" + clsidString_;
  }
  stopEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  changeEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stopEvent_ || !changeEvent_) throw SystemError("CreateEventW");
  // std::thread throws std::system_error when no thread can be made.
  watcher_ = std::thread([this] { WatchKey(); });
}

CExtensionRegistryParametersBase::~CExtensionRegistryParametersBase() {
  stopping_.store(true);
  SetEvent(stopEvent_.get());
  watcher_.join();
  {
    platform::SrwExclusiveLock hold(lock_);
    strings_.clear();
    numbers_.clear();
    parameters_.clear();
  }
  // Keys before events: closing the base key ends its pending watch, which
  // still names the change event.
  extensionKey_.reset();
  baseKey_.reset();
}

// --- change tracking ---

HRESULT CExtensionRegistryParametersBase::ArmNotification() {
  return HRESULT_FROM_WIN32(static_cast<DWORD>(
      RegNotifyChangeKeyValue(baseKey_.get(), TRUE, kNotifyFilter, changeEvent_.get(), TRUE)));
}

namespace {
// A key that is not there is a state of its own (registration never creates
// an extension's settings key); any other open failure is E_FAIL.
HRESULT OpenFailure(LSTATUS status) {
  return status == ERROR_FILE_NOT_FOUND ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : E_FAIL;
}
}  // namespace

HRESULT CExtensionRegistryParametersBase::CheckChanged() {
  if (!armed_.load(std::memory_order_acquire)) {
    platform::SrwExclusiveLock hold(keysLock_);
    if (!armed_.load(std::memory_order_relaxed)) {
      // A key that opened stays open; the next call retries only what is missing.
      if (!extensionPath_.empty() && !extensionKey_) {
        const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, extensionPath_.c_str(), 0, KEY_READ, extensionKey_.put());
        if (status != ERROR_SUCCESS) {
          extensionKey_.reset();
          return OpenFailure(status);
        }
      }
      const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, basePath_.c_str(), 0, KEY_READ, baseKey_.put());
      if (status != ERROR_SUCCESS) {
        baseKey_.reset();
        return OpenFailure(status);
      }
      // Marked armed before the watch is set: a change that fires it at once
      // must find the watcher re-arming (it waits for keysLock_ until this
      // returns) and its mark must not be cleared here afterwards.
      changed_.store(false);
      armed_.store(true, std::memory_order_release);
      // Without an armed notification no change would ever be seen: keep the
      // base key closed so that the next call tries again.
      HRESULT hr = ArmNotification();
      if (FAILED(hr)) {
        armed_.store(false, std::memory_order_release);
        baseKey_.reset();
        return hr;
      }
      return S_OK;
    }
  }
  return changed_.exchange(false) ? S_OK : S_FALSE;
}

void CExtensionRegistryParametersBase::WatchKey() {
  const HANDLE handles[2] = {changeEvent_.get(), stopEvent_.get()};
  for (;;) {
    const DWORD wait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (wait == WAIT_OBJECT_0 + 1 || stopping_.load()) return;
    if (wait != WAIT_OBJECT_0) {
      // A failed wait is retried; the pause keeps a lasting failure from spinning.
      (void)GetLastError();
      Sleep(10);
      continue;
    }
    // Re-arm before marking, so that a change made while a reader reloads is
    // seen by the next CheckChanged rather than lost.
    if (armed_.load(std::memory_order_acquire)) {
      platform::SrwExclusiveLock hold(keysLock_);
      (void)ArmNotification();
    }
    changed_.store(true);
    platform::SrwSharedLock hold(lock_);
    for (CParameterCore* parameter : parameters_) parameter->SetChanged();
  }
}

HKEY CExtensionRegistryParametersBase::BaseKey() {
  return armed_.load(std::memory_order_acquire) ? baseKey_.get() : nullptr;
}

HKEY CExtensionRegistryParametersBase::ExtensionKey() {
  return armed_.load(std::memory_order_acquire) ? extensionKey_.get() : nullptr;
}

// --- value caches ---

HRESULT CExtensionRegistryParametersBase::RefreshValues() { return RefreshValuesFor(nullptr); }

HRESULT CExtensionRegistryParametersBase::RefreshValuesFor(CParameterCore* reader) {
  platform::SrwExclusiveLock reload(reloadLock_);
  HRESULT hr = CheckChanged();
  if (hr != S_OK) return hr;
  try {
    std::map<std::wstring, std::wstring, platform::LessNoCase> strings;
    std::map<std::wstring, DWORD, platform::LessNoCase> numbers;
    if (HKEY key = ExtensionKey()) {
      hr = EnumValues(key, extensionPath_, [&](const std::wstring&, const ValueList& values) {
        // emplace keeps the first of names that differ only in case, and the
        // first string of a multi-string value.
        for (const auto& [name, value] : values) {
          if (value.vt == VT_BSTR) {
            strings.emplace(name, BstrText(value));
          } else if (value.vt == VT_UI4) {
            numbers.emplace(name, value.ulVal);
          }
        }
        return S_OK;
      });
    }
    if (FAILED(hr)) {
      MarkChangedAgain();
      return hr;
    }
    platform::SrwExclusiveLock hold(lock_);
    strings_.swap(strings);
    numbers_.swap(numbers);
    for (CParameterCore* parameter : parameters_)
      if (parameter != reader) parameter->SetChanged();
    return S_OK;
  } catch (const std::bad_alloc&) {
    MarkChangedAgain();
    return E_OUTOFMEMORY;
  }
}

std::optional<std::wstring> CExtensionRegistryParametersBase::GetStringValue(std::wstring_view name,
                                                                            const wchar_t* defaultValue) {
  RefreshValues();
  return LookupString(name, defaultValue);
}

DWORD CExtensionRegistryParametersBase::GetDWORDValue(std::wstring_view name, DWORD defaultValue) {
  RefreshValues();
  return LookupDword(name, defaultValue);
}

std::optional<std::wstring> CExtensionRegistryParametersBase::LookupString(std::wstring_view name,
                                                                          const wchar_t* defaultValue) {
  platform::SrwSharedLock hold(lock_);
  auto found = strings_.find(name);
  if (found != strings_.end()) return found->second;
  if (defaultValue == nullptr) return std::nullopt;
  return std::wstring(defaultValue);
}

DWORD CExtensionRegistryParametersBase::LookupDword(std::wstring_view name, DWORD defaultValue) {
  platform::SrwSharedLock hold(lock_);
  auto found = numbers_.find(name);
  return found == numbers_.end() ? defaultValue : found->second;
}

// --- registered parameters ---

void CExtensionRegistryParametersBase::RegisterParameter(CParameterCore* parameter) {
  platform::SrwExclusiveLock hold(lock_);
  parameters_.push_back(parameter);
}

void CExtensionRegistryParametersBase::UnregisterParameter(CParameterCore* parameter) {
  platform::SrwExclusiveLock hold(lock_);
  std::erase(parameters_, parameter);
}

CExtensionRegistryParametersBase::CParameterCore::CParameterCore(CExtensionRegistryParametersBase& owner,
                                                                 std::wstring name)
    : owner_(owner), name_(std::move(name)) {
  owner_.RegisterParameter(this);
}

// A parameter usually dies before its owner (it is a member of the class
// that derives from the owner) while the watcher may still be marking it.
CExtensionRegistryParametersBase::CParameterCore::~CParameterCore() { owner_.UnregisterParameter(this); }

bool CExtensionRegistryParametersBase::CParameterCore::TakeChangeAndRefresh() {
  if (!changed_.exchange(false)) return false;
  if (FAILED(owner_.RefreshValuesFor(this))) SetChanged();
  return true;
}

// The look-up and the store are one step under valueLock_: two threads that
// both took a mark may look up caches of different ages, and the older must
// not land last (no mark would be left to correct it).
std::optional<std::wstring> CExtensionRegistryParametersBase::CStringParameter::Get() {
  if (TakeChangeAndRefresh()) {
    platform::SrwExclusiveLock hold(valueLock_);
    value_ = owner_.LookupString(name_, nullptr);
    return value_;
  }
  platform::SrwSharedLock hold(valueLock_);
  return value_;
}

DWORD CExtensionRegistryParametersBase::CDwordParameter::Get() {
  if (TakeChangeAndRefresh()) {
    platform::SrwExclusiveLock hold(valueLock_);
    value_ = owner_.LookupDword(name_, default_);
    return value_;
  }
  platform::SrwSharedLock hold(valueLock_);
  return value_;
}

// --- reading keys ---

HRESULT CExtensionRegistryParametersBase::EnumValues(HKEY key, const std::wstring& keyName,
                                                     const ValuesFunction& function) {
  try {
    DWORD longestName = 0, longestData = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    // Never a zero-sized data buffer: a null one would be a size probe.
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(std::max<DWORD>(longestData, 1));
    ValueList values;
    int regrowths = 0;
    for (DWORD index = 0;;) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD type = REG_NONE;
      DWORD size = static_cast<DWORD>(data.size());
      status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status == ERROR_MORE_DATA && regrowths++ < kMaxRegrowths) {
        status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                                  &longestData, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        name.resize(std::max<std::size_t>(name.size() * 2, longestName + 1));
        data.resize(std::max<std::size_t>({data.size() * 2, longestData, size}));
        continue;
      }
      if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
      AppendValue(values, std::wstring(name.data(), nameLength), type, data.data(), size);
      regrowths = 0;
      ++index;
    }
    return function(keyName, values);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CExtensionRegistryParametersBase::EnumSubkeyValues(HKEY key, const ValuesFunction& function) {
  DWORD longest = 0;
  LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  std::vector<wchar_t> name(longest + 1);
  HRESULT result = S_OK;
  int regrowths = 0;
  for (DWORD index = 0;;) {
    DWORD length = static_cast<DWORD>(name.size());
    status = RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA && regrowths++ < kMaxRegrowths) {
      name.resize(name.size() * 2);
      continue;
    }
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    const std::wstring subkeyName(name.data(), length);
    platform::RegKey subkey;
    status = RegOpenKeyExW(key, subkeyName.c_str(), 0, KEY_READ, subkey.put());
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    result = EnumValues(subkey.get(), subkeyName, function);
    if (FAILED(result)) return result;
    regrowths = 0;
    ++index;
  }
  return result;
}

HRESULT CExtensionRegistryParametersBase::EnumNamedSubkeys(HKEY parent, const wchar_t* name,
                                                           const ValuesFunction& function) {
  platform::RegKey key;
  const LSTATUS status = RegOpenKeyExW(parent, name, 0, KEY_READ, key.put());
  // Only a subkey that is not there means "nothing configured"; any other
  // failure is one the caller must see, not an empty configuration.
  if (status == ERROR_FILE_NOT_FOUND) return S_FALSE;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  return EnumSubkeyValues(key.get(), function);
}
