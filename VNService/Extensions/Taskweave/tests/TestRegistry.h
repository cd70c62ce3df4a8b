// TestRegistry.h - registry fixtures for the extension tests.
//
// Each test program gets a fresh registry file (the registry's own test
// environment sets VANTREL_REGISTRY before main); these helpers write keys and
// values below HKLM by path, failing the test when a write fails.
#pragma once

#include "platform/registry/registry.h"
#include "platform/registry/tests/test_env.h"

#include <gtest/gtest.h>

#include "platform/sync/sync.h"

#include <functional>
#include <string>
#include <vector>

namespace extrules_test {

inline void DeleteTree(const std::wstring& path) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()); }

inline platform::RegKey CreateKey(const std::wstring& path) {
  platform::RegKey key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS)
      << "creating " << path;
  return key;
}

inline void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& value,
                      DWORD type = REG_SZ) {
  EXPECT_EQ(platform::RegWriteString(CreateKey(path).get(), name, value, type), ERROR_SUCCESS);
}

inline void SetDword(const std::wstring& path, const std::wstring& name, DWORD value) {
  EXPECT_EQ(platform::RegWriteDword(CreateKey(path).get(), name, value), ERROR_SUCCESS);
}

inline void SetQword(const std::wstring& path, const std::wstring& name, ULONGLONG value) {
  EXPECT_EQ(platform::RegWriteQword(CreateKey(path).get(), name, value), ERROR_SUCCESS);
}

inline void SetMulti(const std::wstring& path, const std::wstring& name, const std::vector<std::wstring>& values) {
  EXPECT_EQ(platform::RegWriteMultiString(CreateKey(path).get(), name, values), ERROR_SUCCESS);
}

inline void SetBinary(const std::wstring& path, const std::wstring& name, const std::string& bytes, DWORD type) {
  EXPECT_EQ(platform::RegWriteBinary(CreateKey(path).get(), name, bytes.data(), static_cast<DWORD>(bytes.size()), type),
            ERROR_SUCCESS);
}

// Change notifications arrive on the watcher thread; this waits (up to ten
// seconds) for their effect. The condition is what tests assert, never the
// time it took.
inline bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    Sleep(5);
  }
  return condition();
}

}  // namespace extrules_test
