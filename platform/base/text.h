// text.h - the one place wide text is converted, compared, trimmed and expanded.
//
// Wide text is wchar_t (UTF-32 on Linux). Byte layouts that were designed as
// UTF-16LE (trace arguments, trace files, pipe messages, registry values) go
// through Utf16le*; the "ANSI" code page and cpprestsdk strings are UTF-8 and
// go through Utf8*. Invalid input never throws: the lenient forms replace each
// bad sequence with U+FFFD; the Strict forms report failure instead.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <string_view>

namespace platform {

// --- UTF-16 ---
// Number of UTF-16 code units the text takes (characters above U+FFFF count 2).
std::size_t Utf16Length(std::wstring_view text);
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view units);
// Little-endian bytes, no terminator, no BOM.
std::string Utf16leFromWide(std::wstring_view text);
// Appends the UTF-16LE bytes of text to out (no allocation beyond out's growth).
void AppendUtf16le(std::string& out, std::wstring_view text);
// Reads byteCount bytes of UTF-16LE; an odd last byte and unpaired surrogates
// become U+FFFD.
std::wstring WideFromUtf16le(const void* bytes, std::size_t byteCount);
// False (and out unchanged) when the bytes are not well-formed UTF-16LE: an
// odd byte count or an unpaired surrogate. badUnit, when given, receives the
// index of the first UTF-16 unit at fault.
bool WideFromUtf16leStrict(const void* bytes, std::size_t byteCount, std::wstring& out,
                           std::size_t* badUnit = nullptr);

// --- UTF-8 ---
std::string Utf8FromWide(std::wstring_view text);
// Appends the UTF-8 of text to out (no allocation beyond out's growth).
void AppendUtf8(std::string& out, std::wstring_view text);
std::wstring WideFromUtf8(std::string_view utf8);
// Appends the wide text of utf8 to out, as WideFromUtf8 decodes it.
void AppendWideFromUtf8(std::wstring& out, std::string_view utf8);
// False (and out unchanged) when utf8 is not well-formed UTF-8.
bool WideFromUtf8Strict(std::string_view utf8, std::wstring& out);

// --- Case (towlower semantics, as the registry, user names and paths use) ---
std::wstring ToLower(std::wstring_view text);
std::wstring ToUpper(std::wstring_view text);
// <0, 0, >0 comparing character by character after towlower.
int CompareNoCase(std::wstring_view a, std::wstring_view b);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
// Narrow (ASCII letters only) forms, for header names and the like.
int CompareNoCaseA(std::string_view a, std::string_view b);
bool EqualsNoCaseA(std::string_view a, std::string_view b);

struct LessNoCase {
  using is_transparent = void;
  bool operator()(std::wstring_view a, std::wstring_view b) const { return CompareNoCase(a, b) < 0; }
};

// --- Blanks at the ends of a text ---
// Which characters Trim strips: each set is the rule of the texts it serves.
enum class Blanks {
  SpaceTab,      // " \t": HTTP's optional white space, cookie pairs
  SpaceTabLine,  // " \t\r\n": connection strings
  Space,         // iswspace (isspace for narrow text) in the current locale: typed queries and lists
};
bool IsBlank(wchar_t c, Blanks set);
// The text without the set's characters at either end (a view into text).
std::wstring_view Trim(std::wstring_view text, Blanks set);
std::string_view Trim(std::string_view text, Blanks set);

// %NAME% replaced by the environment variable NAME; an unknown name or a
// lone '%' stays as written, as ExpandEnvironmentStrings leaves it.
std::wstring ExpandEnvironment(std::wstring_view text);

}  // namespace platform

// Win32 form: returns the characters needed including the terminator; when
// that exceeds size, dst is left unterminated-safe and the needed count is
// returned, as Windows does.
DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size);
