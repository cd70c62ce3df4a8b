// ExtensionNameCache.cpp - the one load of the extension names, lookups and pin names.
#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"
#include "platform/sync/sync.h"

#include "platform/base/format.h"
#include "platform/registry/registry.h"

#include <vector>

namespace {

constexpr wchar_t kProductKey[] = L"Software\\Vantrel\\Corvellane";
constexpr wchar_t kExtensionsKey[] = L"Extensions";
constexpr std::wstring_view kPinPrefix = L"Pinned-";

}  // namespace

ExtensionNameCache& ExtensionNameCache::Instance() {
  static ExtensionNameCache cache;
  return cache;
}

void ExtensionNameCache::EnsureLoaded() {
  {
    platform::SrwSharedLock hold(lock_);
    if (loaded_) return;
  }
  platform::SrwExclusiveLock hold(lock_);
  if (loaded_) return;
  Load();
  // Also after a failure: the cache is never retried while the process runs.
  loaded_ = true;
}

void ExtensionNameCache::Load() {
  platform::RegKey product, extensions;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, product.put()) != ERROR_SUCCESS) return;
  if (RegOpenKeyExW(product.get(), kExtensionsKey, 0, KEY_READ, extensions.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0, longest = 0;
  if (RegQueryInfoKeyW(extensions.get(), nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return;

  std::vector<wchar_t> name(longest + 1);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    // The first subkey that cannot be read ends the load; those before it stay.
    if (RegEnumKeyExW(extensions.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      return;
    const std::wstring clsid(name.data(), length);
    platform::RegKey subkey;
    if (RegOpenKeyExW(extensions.get(), clsid.c_str(), 0, KEY_READ, subkey.put()) != ERROR_SUCCESS) return;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(subkey.get(), L"", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(subkey.get(), L"", nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return;
    if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
    std::wstring registered = platform::RegStringFromBytes(data.data(), size);
    nameByClsid_.emplace(clsid, registered);
    clsidByName_.emplace(std::move(registered), clsid);
  }
}

std::wstring ExtensionNameCache::Lookup(std::wstring_view text, int mode) {
  if (mode != kNameFromClsid && mode != kClsidFromName) return std::wstring(text);
  EnsureLoaded();
  platform::SrwSharedLock hold(lock_);
  const auto& map = mode == kNameFromClsid ? nameByClsid_ : clsidByName_;
  auto found = map.find(text);
  return found == map.end() ? std::wstring() : found->second;
}

std::wstring ExtensionNameCache::TranslateOrKeep(std::wstring_view clsid) {
  std::wstring name = Lookup(clsid, kNameFromClsid);
  return name.empty() ? std::wstring(clsid) : name;
}

bool ExtensionNameCache::HasPinPrefix(std::wstring_view text) {
  return text.size() >= kPinPrefix.size() && platform::EqualsNoCase(text.substr(0, kPinPrefix.size()), kPinPrefix);
}

std::wstring ExtensionNameCache::PinNameText(std::wstring_view name, ULONGLONG id) {
  std::wstring text(kPinPrefix);
  text += name;
  // %p in the Windows dialect: 16 upper-case hex digits, the pin's id.
  text += platform::FormatW(L"-%p", reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)));
  return text;
}

VARIANT ExtensionNameCache::PinName(const NamedVariant& entry) {
  const BSTR raw = entry.name.Get();
  std::wstring_view name = raw == nullptr ? std::wstring_view() : std::wstring_view(raw, SysStringLen(raw));
  std::wstring text = PinNameText(name, entry.id);
  VARIANT result;
  VariantInit(&result);
  result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (result.bstrVal == nullptr) throw std::bad_alloc();
  result.vt = VT_BSTR;
  return result;
}
