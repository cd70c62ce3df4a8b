// drive_map.h - test fixtures that map drive letters in the drive map.
#pragma once

#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/volume/volume.h"

#include <string>

namespace platform::testing {

// Maps "D:" (or any value name) to a host folder; a Win32 code.
inline DWORD MapDrive(const std::wstring& name, const std::string& folder) {
  RegKey key;
  LSTATUS status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriveMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  return static_cast<DWORD>(RegWriteString(key.get(), name, WideFromUtf8(folder)));
}

}  // namespace platform::testing
