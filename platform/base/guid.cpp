// guid.cpp - GUID text form.
#include "platform/base/guid.h"

#include "platform/base/bytes.h"

#include <stdexcept>

namespace platform {

namespace {
constexpr wchar_t kHex[] = L"0123456789ABCDEF";

void PutHex(std::wstring& out, std::uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) out += kHex[(v >> (4 * i)) & 0xF];
}

bool ReadHex(std::wstring_view s, std::size_t pos, int digits, std::uint64_t& v) {
  v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexDigitValue(s[pos + static_cast<std::size_t>(i)]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<std::uint64_t>(h);
  }
  return true;
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (36 characters, no braces).
bool ParseBare(std::wstring_view s, GUID& out) {
  if (s.size() != 36 || s[8] != L'-' || s[13] != L'-' || s[18] != L'-' || s[23] != L'-') return false;
  std::uint64_t d1, d2, d3, d4a, d4b;
  if (!ReadHex(s, 0, 8, d1) || !ReadHex(s, 9, 4, d2) || !ReadHex(s, 14, 4, d3) || !ReadHex(s, 19, 4, d4a) ||
      !ReadHex(s, 24, 12, d4b))
    return false;
  GUID g;
  g.Data1 = static_cast<DWORD>(d1);
  g.Data2 = static_cast<WORD>(d2);
  g.Data3 = static_cast<WORD>(d3);
  StoreBe(g.Data4, d4a, 2);
  StoreBe(g.Data4 + 2, d4b, 6);
  out = g;
  return true;
}
}  // namespace

std::wstring FormatGuid(const GUID& g) {
  std::wstring out;
  out.reserve(38);
  out += L'{';
  PutHex(out, g.Data1, 8);
  out += L'-';
  PutHex(out, g.Data2, 4);
  out += L'-';
  PutHex(out, g.Data3, 4);
  out += L'-';
  PutHex(out, g.Data4[0], 2);
  PutHex(out, g.Data4[1], 2);
  out += L'-';
  for (int i = 2; i < 8; ++i) PutHex(out, g.Data4[i], 2);
  out += L'}';
  return out;
}

bool ParseGuid(std::wstring_view text, GUID& out) {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  return ParseBare(text.substr(1, 36), out);
}

GUID GuidFromString(std::wstring_view text) {
  GUID g;
  if (text.size() == 38 ? ParseGuid(text, g) : ParseBare(text, g)) return g;
  throw std::invalid_argument("GuidFromString: malformed GUID literal");
}

}  // namespace platform
