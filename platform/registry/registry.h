// registry.h - the Windows registry over one SQLite database file.
//
// The database is the file named by VANTREL_REGISTRY (default
// /var/lib/vantrel/registry.db). Hives: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER;
// HKEY_CLASSES_ROOT is HKLM\Software\Classes. Key and value names compare
// case-insensitively and keep their case. Subkeys enumerate in
// case-insensitive sorted order, values in creation order.
//
// Value data is raw bytes exactly as Windows stores them: REG_SZ,
// REG_EXPAND_SZ and REG_MULTI_SZ are UTF-16LE with their terminators, REG_DWORD
// 4 bytes little-endian, REG_QWORD 8. Sizes passed in and out are those byte
// counts, so size probes, ERROR_MORE_DATA and malformed values (an odd-sized
// string, a 3-byte DWORD) behave as on Windows. Names are wchar_t; name
// lengths count characters. Use the helpers at the end to read and write
// typed values.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/types.h"

#include <string>
#include <vector>

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct SECURITY_ATTRIBUTES;

// Predefined keys (never closed).
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access masks are accepted and kept; every open handle may read, and may
// write when it was opened with a write right.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD REG_NOTIFY_CHANGE_NAME = 0x1;
constexpr DWORD REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x4;
constexpr DWORD REG_NOTIFY_CHANGE_SECURITY = 0x8;
constexpr DWORD REG_NOTIFY_THREAD_AGNOSTIC = 0x10000000;

// RegGetValueW flags.
constexpr DWORD RRF_RT_REG_NONE = 0x1;
constexpr DWORD RRF_RT_REG_SZ = 0x2;
constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x4;
constexpr DWORD RRF_RT_REG_BINARY = 0x8;
constexpr DWORD RRF_RT_REG_DWORD = 0x10;
constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x20;
constexpr DWORD RRF_RT_REG_QWORD = 0x40;
constexpr DWORD RRF_RT_ANY = 0xFFFF;
constexpr DWORD RRF_NOEXPAND = 0x10000000;

// All calls answer Win32 codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_KEY_DELETED, ERROR_INVALID_HANDLE,
// ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER, ERROR_REGISTRY_IO_FAILED).
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                        SECURITY_ATTRIBUTES* security, PHKEY result, DWORD* disposition);
LSTATUS RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);
LSTATUS RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, DWORD* type, void* data,
                     DWORD* dataSize);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise, as Windows).
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM access, DWORD reserved);
// Deletes subKey and everything below it; with a null subKey, everything below key.
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classLength, FILETIME* lastWrite);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, DWORD* valueNameLength, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* dataSize);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,
                         DWORD* maxValueLength, DWORD* securityDescriptor, FILETIME* lastWrite);
// One-shot: event is signalled once after the first matching change (made by
// any process), then the caller re-arms with another call. Only asynchronous
// use (with an event) is supported; synchronous calls answer
// ERROR_INVALID_PARAMETER. Closing the key signals a pending watch.
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous);

namespace platform {

// Limits as Windows sets them: UTF-16 units of a key name and of a value
// name, and levels of keys below a hive's root.
constexpr std::size_t kRegMaxKeyNameChars = 255;
constexpr std::size_t kRegMaxValueNameChars = 16383;
constexpr std::size_t kRegMaxKeyDepth = 512;

// Typed helpers over the raw calls (they share their error codes).
LSTATUS RegReadString(HKEY key, const std::wstring& valueName, std::wstring& out, DWORD* type = nullptr);
LSTATUS RegReadDword(HKEY key, const std::wstring& valueName, DWORD& out);
LSTATUS RegReadQword(HKEY key, const std::wstring& valueName, ULONGLONG& out);
LSTATUS RegReadMultiString(HKEY key, const std::wstring& valueName, std::vector<std::wstring>& out);
LSTATUS RegReadBinary(HKEY key, const std::wstring& valueName, std::vector<BYTE>& out, DWORD* type = nullptr);
LSTATUS RegWriteString(HKEY key, const std::wstring& valueName, const std::wstring& value, DWORD type = REG_SZ);
LSTATUS RegWriteDword(HKEY key, const std::wstring& valueName, DWORD value);
LSTATUS RegWriteQword(HKEY key, const std::wstring& valueName, ULONGLONG value);
LSTATUS RegWriteMultiString(HKEY key, const std::wstring& valueName, const std::vector<std::wstring>& values);
LSTATUS RegWriteBinary(HKEY key, const std::wstring& valueName, const void* data, DWORD size, DWORD type = REG_BINARY);

// Bytes of a string value as stored (UTF-16LE plus terminator), and back
// (stops at the first terminator; an odd trailing byte is dropped).
std::string RegStringBytes(const std::wstring& value);
std::wstring RegStringFromBytes(const BYTE* data, DWORD size);

// The database file this process uses: VANTREL_REGISTRY, or the default for
// installed use. Tools name it when a key or service is missing, since a
// wrong or unset variable is the usual cause.
std::string RegistryFileName();

// An owning HKEY.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY key) : key_(key) {}
  ~RegKey() { reset(); }
  RegKey(RegKey&& o) noexcept : key_(o.release()) {}
  RegKey& operator=(RegKey&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  HKEY get() const { return key_; }
  HKEY* put() {
    reset();
    return &key_;
  }
  explicit operator bool() const { return key_ != nullptr; }
  HKEY release() {
    HKEY k = key_;
    key_ = nullptr;
    return k;
  }
  void reset(HKEY k = nullptr) {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = k;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace platform
