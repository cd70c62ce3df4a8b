// guid.h - GUIDs in memory and in their braced, upper-case text form.
#pragma once

#include "platform/base/types.h"

#include <cstring>
#include <string>
#include <string_view>

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool operator<(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace platform {

// "{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}" (38 characters, upper case).
std::wstring FormatGuid(const GUID& guid);
// Accepts the braced form in either case; false for anything else.
bool ParseGuid(std::wstring_view text, GUID& out);
// Compile-time-friendly literal from the braced or unbraced text; throws
// std::invalid_argument on a malformed literal.
GUID GuidFromString(std::wstring_view text);

}  // namespace platform
