// text.cpp - UTF-16/UTF-8 conversion, case mapping, trimming and environment expansion.
#include "platform/base/text.h"

#include "platform/base/errors.h"

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

extern char** environ;

namespace platform {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

// A wchar_t as a Unicode scalar value; lone surrogates and values beyond
// U+10FFFF (or negative) become U+FFFD.
inline char32_t Scalar(wchar_t c) {
  auto v = static_cast<std::uint32_t>(c);
  if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return kReplacement;
  return v;
}

template <typename Sink>
inline void EmitUtf16(char32_t c, Sink&& sink) {
  if (c < 0x10000) {
    sink(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    sink(static_cast<char16_t>(0xD800 + (c >> 10)));
    sink(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

inline void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; advances i. Returns false for an
// ill-formed sequence, in which case i has skipped its maximal subpart (the
// Unicode "substitution of maximal subparts" practice: one U+FFFD each).
bool DecodeUtf8(std::string_view s, std::size_t& i, char32_t& out) {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    out = b0;
    ++i;
    return true;
  }
  int need;
  char32_t c;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    ++i;  // continuation byte, C0/C1, F5..FF
    return false;
  }
  ++i;
  for (int k = 0; k < need; ++k) {
    if (i >= s.size()) return false;
    auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return false;
    lo = 0x80;
    hi = 0xBF;
    c = (c << 6) | (b & 0x3F);
    ++i;
  }
  out = c;
  return true;
}

// Case mapping with towlower/towupper under C.UTF-8, independent of the
// process locale. A small table stands in when that locale is missing.
locale_t CaseLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

wchar_t FallbackLower(wchar_t c) {
  auto v = static_cast<std::uint32_t>(c);
  if (v >= 'A' && v <= 'Z') return static_cast<wchar_t>(v + 32);
  if ((v >= 0xC0 && v <= 0xDE && v != 0xD7)) return static_cast<wchar_t>(v + 32);
  if (v >= 0x100 && v <= 0x17F && v != 0x130 && v != 0x131 && v != 0x138 && v != 0x149 && v != 0x17F) {
    bool evenUpper = (v < 0x139) || (v >= 0x14A && v < 0x178);
    if (evenUpper ? (v % 2 == 0) : (v % 2 == 1)) return static_cast<wchar_t>(v + 1);
    if (v == 0x178) return 0xFF;
  }
  if (v >= 0x391 && v <= 0x3AB && v != 0x3A2) return static_cast<wchar_t>(v + 32);
  if (v >= 0x410 && v <= 0x42F) return static_cast<wchar_t>(v + 32);
  if (v >= 0x400 && v <= 0x40F) return static_cast<wchar_t>(v + 80);
  return c;
}
wchar_t FallbackUpper(wchar_t c) {
  auto v = static_cast<std::uint32_t>(c);
  if (v >= 'a' && v <= 'z') return static_cast<wchar_t>(v - 32);
  if (v >= 0xE0 && v <= 0xFE && v != 0xF7) return static_cast<wchar_t>(v - 32);
  if (v == 0xFF) return 0x178;
  if (v >= 0x101 && v <= 0x17E && FallbackLower(static_cast<wchar_t>(v - 1)) == static_cast<wchar_t>(v))
    return static_cast<wchar_t>(v - 1);
  if (v >= 0x3B1 && v <= 0x3CB && v != 0x3C2) return static_cast<wchar_t>(v - 32);
  if (v >= 0x430 && v <= 0x44F) return static_cast<wchar_t>(v - 32);
  if (v >= 0x450 && v <= 0x45F) return static_cast<wchar_t>(v - 80);
  return c;
}

inline wchar_t Lower(wchar_t c) {
  if (static_cast<std::uint32_t>(c) < 0x80) return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  locale_t l = CaseLocale();
  return l ? static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), l)) : FallbackLower(c);
}
inline wchar_t Upper(wchar_t c) {
  if (static_cast<std::uint32_t>(c) < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
  locale_t l = CaseLocale();
  return l ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), l)) : FallbackUpper(c);
}
inline char LowerA(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

// --- UTF-16 ---
std::size_t Utf16Length(std::wstring_view text) {
  std::size_t n = 0;
  for (wchar_t c : text) n += Scalar(c) >= 0x10000 ? 2 : 1;
  return n;
}

std::u16string Utf16FromWide(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) EmitUtf16(Scalar(c), [&](char16_t u) { out += u; });
  return out;
}

namespace {
// Decodes count units; an unpaired surrogate becomes U+FFFD, and the index of
// the first one goes to *bad when bad is given.
template <typename Get>
std::wstring DecodeUtf16(std::size_t count, Get&& get, std::size_t* bad = nullptr) {
  auto unpaired = [bad](std::size_t i) {
    if (bad != nullptr && *bad == std::wstring::npos) *bad = i;
    return static_cast<wchar_t>(kReplacement);
  };
  std::wstring out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char16_t u = get(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < count) {
        char16_t u2 = get(i + 1);
        if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
          out += static_cast<wchar_t>(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (u2 - 0xDC00));
          ++i;
          continue;
        }
      }
      out += unpaired(i);
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      out += unpaired(i);
    } else {
      out += static_cast<wchar_t>(u);
    }
  }
  return out;
}
}  // namespace

std::wstring WideFromUtf16(std::u16string_view units) {
  return DecodeUtf16(units.size(), [&](std::size_t i) { return units[i]; });
}

std::string Utf16leFromWide(std::wstring_view text) {
  std::string out;
  AppendUtf16le(out, text);
  return out;
}

void AppendUtf16le(std::string& out, std::wstring_view text) {
  out.reserve(out.size() + text.size() * 2);
  for (wchar_t c : text)
    EmitUtf16(Scalar(c), [&](char16_t u) {
      out += static_cast<char>(u & 0xFF);
      out += static_cast<char>(u >> 8);
    });
}

std::wstring WideFromUtf16le(const void* bytes, std::size_t byteCount) {
  if (!bytes || byteCount == 0) return std::wstring();
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::wstring out = DecodeUtf16(byteCount / 2, [&](std::size_t i) {
    return static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  });
  if (byteCount % 2) out += static_cast<wchar_t>(kReplacement);
  return out;
}

bool WideFromUtf16leStrict(const void* bytes, std::size_t byteCount, std::wstring& out, std::size_t* badUnit) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::size_t bad = std::wstring::npos;
  std::wstring result = DecodeUtf16(byteCount / 2, [&](std::size_t i) {
    return static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  }, &bad);
  if (bad == std::wstring::npos && byteCount % 2 != 0) bad = byteCount / 2;
  if (bad != std::wstring::npos) {
    if (badUnit != nullptr) *badUnit = bad;
    return false;
  }
  out = std::move(result);
  return true;
}

// --- UTF-8 ---
void AppendUtf8(std::string& out, std::wstring_view text) {
  for (wchar_t c : text) {
    // Most text is ASCII: one byte, no scalar check.
    if (static_cast<std::uint32_t>(c) < 0x80)
      out += static_cast<char>(c);
    else
      AppendUtf8(out, Scalar(c));
  }
}

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

void AppendWideFromUtf8(std::wstring& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c;
    out += DecodeUtf8(utf8, i, c) ? static_cast<wchar_t>(c) : static_cast<wchar_t>(kReplacement);
  }
}

std::wstring WideFromUtf8(std::string_view utf8) {
  std::wstring out;
  AppendWideFromUtf8(out, utf8);
  return out;
}

bool WideFromUtf8Strict(std::string_view utf8, std::wstring& out) {
  std::wstring result;
  result.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t c;
    if (!DecodeUtf8(utf8, i, c)) return false;
    result += static_cast<wchar_t>(c);
  }
  out = std::move(result);
  return true;
}

// --- Case ---
std::wstring ToLower(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = Lower(c);
  return out;
}

std::wstring ToUpper(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = Upper(c);
  return out;
}

int CompareNoCase(std::wstring_view a, std::wstring_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto x = static_cast<std::uint32_t>(Lower(a[i]));
    auto y = static_cast<std::uint32_t>(Lower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

int CompareNoCaseA(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(LowerA(a[i]));
    auto y = static_cast<unsigned char>(LowerA(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCaseA(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCaseA(a, b) == 0;
}

// --- Blanks ---
namespace {
template <typename Char>
bool IsBlankOf(Char c, Blanks set) {
  switch (set) {
    case Blanks::SpaceTab: return c == ' ' || c == '\t';
    case Blanks::SpaceTabLine: return c == ' ' || c == '\t' || c == '\r' || c == '\n';
    case Blanks::Space:
      if constexpr (sizeof(Char) == 1) return std::isspace(static_cast<unsigned char>(c)) != 0;
      else return std::iswspace(static_cast<wint_t>(c)) != 0;
  }
  return false;
}

template <typename Char>
std::basic_string_view<Char> TrimBlanks(std::basic_string_view<Char> text, Blanks set) {
  while (!text.empty() && IsBlankOf(text.front(), set)) text.remove_prefix(1);
  while (!text.empty() && IsBlankOf(text.back(), set)) text.remove_suffix(1);
  return text;
}
}  // namespace

bool IsBlank(wchar_t c, Blanks set) { return IsBlankOf(c, set); }
std::wstring_view Trim(std::wstring_view text, Blanks set) { return TrimBlanks(text, set); }
std::string_view Trim(std::string_view text, Blanks set) { return TrimBlanks(text, set); }

// --- Environment ---
namespace {
// Exact name first, then a case-insensitive match (Windows names are).
bool LookupEnv(const std::string& name, std::string& value) {
  if (const char* v = std::getenv(name.c_str())) {
    value = v;
    return true;
  }
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq || eq == *e) continue;
    std::string_view key(*e, static_cast<std::size_t>(eq - *e));
    if (EqualsNoCaseA(key, name)) {
      value = eq + 1;
      return true;
    }
  }
  return false;
}
}  // namespace

std::wstring ExpandEnvironment(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t c = text[i];
    if (c != L'%') {
      out += c;
      ++i;
      continue;
    }
    std::size_t close = text.find(L'%', i + 1);
    if (close == std::wstring_view::npos) {  // lone '%': the rest as written
      out.append(text.substr(i));
      break;
    }
    std::wstring_view name = text.substr(i + 1, close - i - 1);
    std::string value;
    if (!name.empty() && LookupEnv(Utf8FromWide(name), value)) {
      out += WideFromUtf8(value);
      i = close + 1;
    } else {
      // Unknown (or empty) name: keep "%NAME" and let the closing '%' start
      // the next candidate, as ExpandEnvironmentStrings does.
      out.append(text.substr(i, close - i));
      i = close;
    }
  }
  return out;
}

}  // namespace platform

DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size) {
  if (!src) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::wstring expanded = platform::ExpandEnvironment(src);
  auto needed = static_cast<DWORD>(expanded.size() + 1);
  if (dst && size > 0) {
    if (needed <= size) {
      std::wmemcpy(dst, expanded.data(), expanded.size());
      dst[expanded.size()] = L'\0';
    } else {
      // Too small: as much as fits, always terminated; the caller sees the
      // needed count (> size) and retries.
      std::wmemcpy(dst, expanded.data(), size - 1);
      dst[size - 1] = L'\0';
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
  }
  return needed;
}
