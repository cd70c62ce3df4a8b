// PinStore.cpp - the registry pin store and the process's current store.
//
// The registry store needs no lock of its own: each call is one registry
// operation, and the registry serialises them across threads and processes.
#include "archive/system/PinStore.h"

#include "archive/system/Volumes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
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

// Guards g_store (the pointer only; stores guard themselves).
std::mutex g_storeLock;
std::shared_ptr<PinStore> g_store;

}  // namespace

std::shared_ptr<PinStore> MakeRegistryPinStore() { return std::make_shared<RegistryPinStore>(); }

std::shared_ptr<PinStore> CurrentPinStore() {
  std::lock_guard<std::mutex> lock(g_storeLock);
  if (!g_store) g_store = MakeRegistryPinStore();
  return g_store;
}

void SetPinStore(std::shared_ptr<PinStore> store) {
  std::lock_guard<std::mutex> lock(g_storeLock);
  g_store = std::move(store);
}

}  // namespace vnarchive
