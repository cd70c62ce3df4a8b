// PinStore.cpp - the registry pin store and the process's current store.
//
// The registry store needs no lock of its own: each call is one registry
// operation, and the registry serialises them across threads and processes.
#include "archive/system/PinStore.h"

#include "archive/ledgerhold/Ledgerhold.h"
#include "archive/system/Volumes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <mutex>

namespace vnarchive {

namespace {

class RegistryPinStore final : public PinStore {
 public:
  HRESULT Read(const PinnedFile& file, const std::wstring& name, std::optional<std::wstring>& value) override {
    value.reset();
    platform::RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyName(file).c_str(), 0, KEY_READ, key.put());
    if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    std::wstring text;
    rc = platform::RegReadString(key.get(), name, text);
    if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    value = std::move(text);
    return S_OK;
  }

  HRESULT Write(const PinnedFile& file, const std::wstring& name, const std::wstring& value) override {
    platform::RegKey key;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyName(file).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
    if (rc == ERROR_SUCCESS) rc = platform::RegWriteString(key.get(), name, value);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
  }

  HRESULT Release(const PinnedFile& file, const std::wstring& name) override {
    platform::RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyName(file).c_str(), 0, KEY_READ | KEY_WRITE, key.put());
    // Deleting the value is the test and the release in one step, so two
    // concurrent releases cannot both see the pin.
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(key.get(), name.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
  }

 private:
  static std::wstring KeyName(const PinnedFile& file) {
    return std::wstring(kArchiveKey) + platform::FormatW(L"\\Pins\\%c-%08X", file.drive, file.id0);
  }
};

// Guards the pointers below (the stores guard themselves).
std::mutex g_storeLock;
std::shared_ptr<PinStore> g_store;          // a test's replacement
std::shared_ptr<PinStore> g_registryStore;
std::shared_ptr<PinStore> g_listStore;      // kept open while the configuration names it
std::wstring g_listPath;

constexpr const wchar_t* kStoreValue = L"Pin Store";
constexpr const wchar_t* kListStoreName = L"Fragment List";

bool ListStoreConfigured(std::wstring& path) {
  platform::RegKey key;
  std::wstring kind;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArchiveKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      platform::RegReadString(key.get(), kStoreValue, kind) != ERROR_SUCCESS || !platform::EqualsNoCase(kind, kListStoreName))
    return false;
  path.clear();
  platform::RegReadString(key.get(), ledgerhold::kListValue, path);
  return true;
}

}  // namespace

std::shared_ptr<PinStore> MakeRegistryPinStore() { return std::make_shared<RegistryPinStore>(); }

std::shared_ptr<PinStore> CurrentPinStore() {
  std::wstring listPath;
  const bool list = ListStoreConfigured(listPath);
  std::lock_guard<std::mutex> lock(g_storeLock);
  if (g_store) return g_store;
  if (list) {
    if (!g_listStore || g_listPath != listPath) {
      g_listStore = MakeFragmentListPinStore(listPath);
      g_listPath = listPath;
    }
    return g_listStore;
  }
  if (!g_registryStore) g_registryStore = MakeRegistryPinStore();
  return g_registryStore;
}

void SetPinStore(std::shared_ptr<PinStore> store) {
  std::lock_guard<std::mutex> lock(g_storeLock);
  g_store = std::move(store);
}

}  // namespace vnarchive
