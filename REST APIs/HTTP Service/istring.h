// istring.h - vantrel::basic_istring, the string whose comparisons ignore case.
//
// User names travel in this type so that "Admin" and "admin" are one account
// wherever they are compared, ordered or used as map keys. It is a
// std::basic_string with its own character traits: characters are ordered by
// their UTF-16 code units after towlower, compared as unsigned 16-bit values,
// which is the order the account tables were designed for. It converts to and
// from std::basic_string<C> by copying.
#pragma once

#include "platform/base/text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

template <class C>
struct ichar_traits;

template <>
struct ichar_traits<wchar_t> : std::char_traits<wchar_t> {
  // A key whose unsigned order is the order of the character's UTF-16 units
  // after towlower: a BMP character is one unit in the high half; a character
  // above U+FFFF becomes its surrogate pair, which towlower leaves alone.
  static std::uint32_t key(char_type c) {
    const auto v = static_cast<std::uint32_t>(c);
    if (v > 0xFFFFu) {
      const std::uint32_t s = v - 0x10000u;
      return ((0xD800u + (s >> 10)) << 16) | (0xDC00u + (s & 0x3FFu));
    }
    // The platform's one case mapping; a one-character string stays in the
    // small-string buffer, so this does not allocate.
    const std::wstring lower = platform::ToLower(std::wstring_view(&c, 1));
    return (static_cast<std::uint32_t>(lower.empty() ? c : lower[0]) & 0xFFFFu) << 16;
  }

  static bool eq(char_type a, char_type b) { return key(a) == key(b); }
  static bool lt(char_type a, char_type b) { return key(a) < key(b); }

  static int compare(const char_type* a, const char_type* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t ka = key(a[i]);
      const std::uint32_t kb = key(b[i]);
      if (ka != kb) return ka < kb ? -1 : 1;
    }
    return 0;
  }

  static const char_type* find(const char_type* s, std::size_t n, const char_type& c) {
    const std::uint32_t kc = key(c);
    for (std::size_t i = 0; i < n; ++i)
      if (key(s[i]) == kc) return s + i;
    return nullptr;
  }
};

template <class C>
class basic_istring : public std::basic_string<C, ichar_traits<C>> {
  using base_type = std::basic_string<C, ichar_traits<C>>;

 public:
  using base_type::base_type;
  basic_istring() = default;
  basic_istring(const base_type& other) : base_type(other) {}
  basic_istring(base_type&& other) : base_type(std::move(other)) {}
  basic_istring(const std::basic_string<C>& other) : base_type(other.data(), other.size()) {}
  basic_istring(std::basic_string_view<C> other) : base_type(other.data(), other.size()) {}

  // The same characters as an ordinary, case-sensitive string.
  std::basic_string<C> str() const { return std::basic_string<C>(this->data(), this->size()); }
  operator std::basic_string<C>() const { return str(); }
};

using istring = basic_istring<wchar_t>;

}  // namespace vantrel
