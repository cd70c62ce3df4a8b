// bytes.cpp - hex and Base64 text of byte strings.
#include "platform/base/bytes.h"

namespace platform {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kMaxPadding = 2;

template <typename String>
String HexText(const void* data, std::size_t size, HexCase letters) {
  const char* digits = letters == HexCase::Upper ? kUpperDigits : kLowerDigits;
  const auto* p = static_cast<const BYTE*>(data);
  String out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += static_cast<typename String::value_type>(digits[p[i] >> 4]);
    out += static_cast<typename String::value_type>(digits[p[i] & 15]);
  }
  return out;
}

template <typename Char>
bool HexBytes(std::basic_string_view<Char> text, std::vector<BYTE>& out) {
  if (text.size() % 2 != 0) return false;
  std::vector<BYTE> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigitValue(static_cast<wchar_t>(text[i]));
    const int low = HexDigitValue(static_cast<wchar_t>(text[i + 1]));
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<BYTE>(high << 4 | low));
  }
  out = std::move(bytes);
  return true;
}

int Base64DigitValue(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

// In Reject mode, what follows the first "=" must be padding and nothing else.
template <typename Char>
bool OnlyPadding(std::basic_string_view<Char> rest) {
  if (rest.size() > kMaxPadding) return false;
  for (Char c : rest)
    if (c != static_cast<Char>('=')) return false;
  return true;
}

template <typename Char>
bool Base64Bytes(std::basic_string_view<Char> text, std::vector<BYTE>& out, Base64Foreign foreign) {
  std::vector<BYTE> bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  unsigned buffer = 0;
  int bits = 0;
  std::size_t digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = static_cast<wchar_t>(text[i]);
    if (c == L'=') {
      if (foreign == Base64Foreign::Reject && !OnlyPadding(text.substr(i))) return false;
      break;
    }
    if (c == L'\0' && foreign == Base64Foreign::Skip) break;
    const int value = Base64DigitValue(c);
    if (value < 0) {
      if (foreign == Base64Foreign::Reject) return false;
      continue;
    }
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    ++digits;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<BYTE>(buffer >> bits));
    }
  }
  if (digits % 4 == 1) return false;
  out = std::move(bytes);
  return true;
}

}  // namespace

std::string HexEncode(const void* data, std::size_t size, HexCase letters) {
  return HexText<std::string>(data, size, letters);
}

std::wstring HexEncodeW(const void* data, std::size_t size, HexCase letters) {
  return HexText<std::wstring>(data, size, letters);
}

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

bool HexDecode(std::string_view text, std::vector<BYTE>& out) { return HexBytes(text, out); }
bool HexDecode(std::wstring_view text, std::vector<BYTE>& out) { return HexBytes(text, out); }

std::string Base64Encode(const void* data, std::size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t left = size - i;
    const unsigned v = (p[i] << 16) | (left > 1 ? p[i + 1] << 8 : 0) | (left > 2 ? p[i + 2] : 0);
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += left > 1 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += left > 2 ? kBase64Alphabet[v & 63] : '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::vector<BYTE>& out, Base64Foreign foreign) {
  return Base64Bytes(text, out, foreign);
}

bool Base64Decode(std::wstring_view text, std::vector<BYTE>& out, Base64Foreign foreign) {
  return Base64Bytes(text, out, foreign);
}

}  // namespace platform
