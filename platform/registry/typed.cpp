// typed.cpp - typed reads and writes over the raw value calls.
//
// Strings are stored as UTF-16LE with their terminator, multi-strings as each
// string terminated plus one final terminator, so the byte sizes seen by the
// raw calls are the ones Windows programs expect.
#include "platform/base/bytes.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <cstring>

namespace platform {
namespace {

LSTATUS ReadRaw(HKEY key, const std::wstring& valueName, DWORD& type, std::string& bytes) {
  DWORD size = 0;
  LSTATUS st = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
  // Another writer may grow the value between the probe and the read.
  while (st == ERROR_SUCCESS) {
    bytes.resize(size);
    DWORD got = size;
    st = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &got);
    if (st == ERROR_MORE_DATA) {
      size = got;
      st = ERROR_SUCCESS;
      continue;
    }
    if (st == ERROR_SUCCESS) bytes.resize(got);
    break;
  }
  return st;
}

LSTATUS WriteRaw(HKEY key, const std::wstring& valueName, DWORD type, const std::string& bytes) {
  return RegSetValueExW(key, valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

// DWORD and QWORD values: little-endian, exactly their size.
template <typename T>
LSTATUS ReadNumber(HKEY key, const std::wstring& valueName, DWORD expectedType, T& out) {
  DWORD t = 0;
  std::string b;
  LSTATUS st = ReadRaw(key, valueName, t, b);
  if (st != ERROR_SUCCESS) return st;
  if (t != expectedType || b.size() != sizeof(T)) return ERROR_UNSUPPORTED_TYPE;
  out = static_cast<T>(LoadLe(b.data(), sizeof(T)));
  return ERROR_SUCCESS;
}

template <typename T>
std::string NumberBytes(T value) {
  std::string b;
  AppendLe(b, value, sizeof(T));
  return b;
}

}  // namespace

std::string RegStringBytes(const std::wstring& value) {
  std::string out = Utf16leFromWide(value);
  out.append(2, '\0');
  return out;
}

std::wstring RegStringFromBytes(const BYTE* data, DWORD size) {
  DWORD units = size / 2;
  DWORD n = 0;
  while (n < units && (data[2 * n] != 0 || data[2 * n + 1] != 0)) ++n;
  return WideFromUtf16le(data, 2 * static_cast<std::size_t>(n));
}

LSTATUS RegReadString(HKEY key, const std::wstring& valueName, std::wstring& out, DWORD* type) {
  DWORD t = 0;
  std::string b;
  LSTATUS st = ReadRaw(key, valueName, t, b);
  if (st != ERROR_SUCCESS) return st;
  if (t != REG_SZ && t != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
  out = RegStringFromBytes(reinterpret_cast<const BYTE*>(b.data()), static_cast<DWORD>(b.size()));
  if (type != nullptr) *type = t;
  return ERROR_SUCCESS;
}

LSTATUS RegReadDword(HKEY key, const std::wstring& valueName, DWORD& out) {
  return ReadNumber(key, valueName, REG_DWORD, out);
}

LSTATUS RegReadQword(HKEY key, const std::wstring& valueName, ULONGLONG& out) {
  return ReadNumber(key, valueName, REG_QWORD, out);
}

LSTATUS RegReadMultiString(HKEY key, const std::wstring& valueName, std::vector<std::wstring>& out) {
  DWORD t = 0;
  std::string b;
  LSTATUS st = ReadRaw(key, valueName, t, b);
  if (st != ERROR_SUCCESS) return st;
  if (t != REG_MULTI_SZ) return ERROR_UNSUPPORTED_TYPE;
  out.clear();
  // Strings end at each terminator; an empty string ends the list.
  std::wstring all = WideFromUtf16le(b.data(), b.size() & ~static_cast<std::size_t>(1));
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find(L'\0', start);
    if (end == std::wstring::npos) end = all.size();
    if (end == start) break;
    out.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LSTATUS RegReadBinary(HKEY key, const std::wstring& valueName, std::vector<BYTE>& out, DWORD* type) {
  DWORD t = 0;
  std::string b;
  LSTATUS st = ReadRaw(key, valueName, t, b);
  if (st != ERROR_SUCCESS) return st;
  out.assign(b.begin(), b.end());
  if (type != nullptr) *type = t;
  return ERROR_SUCCESS;
}

LSTATUS RegWriteString(HKEY key, const std::wstring& valueName, const std::wstring& value, DWORD type) {
  return WriteRaw(key, valueName, type, RegStringBytes(value));
}

LSTATUS RegWriteDword(HKEY key, const std::wstring& valueName, DWORD value) {
  return WriteRaw(key, valueName, REG_DWORD, NumberBytes(value));
}

LSTATUS RegWriteQword(HKEY key, const std::wstring& valueName, ULONGLONG value) {
  return WriteRaw(key, valueName, REG_QWORD, NumberBytes(value));
}

LSTATUS RegWriteMultiString(HKEY key, const std::wstring& valueName, const std::vector<std::wstring>& values) {
  std::string b;
  for (const std::wstring& v : values) {
    AppendUtf16le(b, v);
    b.append(2, '\0');
  }
  b.append(2, '\0');
  return WriteRaw(key, valueName, REG_MULTI_SZ, b);
}

LSTATUS RegWriteBinary(HKEY key, const std::wstring& valueName, const void* data, DWORD size, DWORD type) {
  return RegSetValueExW(key, valueName.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

}  // namespace platform
