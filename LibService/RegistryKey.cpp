// RegistryKey.cpp - EnumRegistryKeys and EnumRegistryValues.
//
// Values are read into buffers sized from RegQueryInfoKeyW. The data of a
// value is taken only as far as its reported size reaches, so a malformed
// string (odd byte count, no terminator), DWORD or QWORD never reads past
// what was stored; a number of the wrong size is skipped.
#include "LibService/RegistryKey.h"

#include "platform/base/bytes.h"
#include "platform/base/text.h"

#include <vector>

CStatus EnumRegistryKeys(HKEY key, const KeyCallback& onKey) {
  DWORD count = 0, longest = 0;
  LSTATUS rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 37}, rc));
  CStatus status;
  std::vector<wchar_t> name(longest + 1);
  for (DWORD i = 0; i < count && status.IsOK(); ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    rc = RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 52}, rc));
    status = onKey(std::wstring(name.data(), length));
  }
  return status;
}

namespace {

// The text of string data: the bytes less the final terminator when present.
std::wstring StringData(const BYTE* data, DWORD size) {
  DWORD bytes = size >= 2 ? size - 2 : 0;
  // A string stored without its terminator keeps its last character.
  if (size >= 2 && (data[size - 2] != 0 || data[size - 1] != 0)) bytes = size;
  return platform::WideFromUtf16le(data, bytes & ~1u);
}

}  // namespace

CStatus EnumRegistryValues(HKEY key, const StringValueCallback& onString, const DwordValueCallback& onDword,
                           const QwordValueCallback& onQword) {
  DWORD count = 0, longestName = 0, longestData = 0;
  LSTATUS rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                                &longestData, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 70}, rc));
  CStatus status;
  std::vector<wchar_t> name(longestName + 1);
  std::vector<BYTE> data(longestData + 8);
  for (DWORD i = 0; i < count && status.IsOK(); ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = longestData, type = 0;
    rc = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 88}, rc));
    std::wstring valueName(name.data(), nameLength);
    switch (type) {
      case REG_SZ:
        if (onString) status = onString(valueName, StringData(data.data(), size));
        break;
      case REG_EXPAND_SZ:
        if (onString) {
          std::wstring raw = StringData(data.data(), size);
          DWORD needed = ExpandEnvironmentStringsW(raw.c_str(), nullptr, 0);
          if (needed == 0) break;
          std::vector<wchar_t> expanded(needed + 2);
          DWORD got = ExpandEnvironmentStringsW(raw.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
          if (got == 0 || got > expanded.size()) break;
          status = onString(valueName, std::wstring(expanded.data(), got - 1));
        }
        break;
      case REG_DWORD:
        // A value of another size is malformed: skipped, as every other
        // reader of numbers here skips it, rather than read past its bytes.
        if (onDword && size == sizeof(DWORD)) {
          status = onDword(valueName, platform::LoadLe32(data.data()));
        }
        break;
      case REG_QWORD:
        if (onQword && size == sizeof(ULONGLONG)) {
          status = onQword(valueName, platform::LoadLe64(data.data()));
        }
        break;
      default:
        break;
    }
  }
  return status;
}
