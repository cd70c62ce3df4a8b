// format.h - printf in the MSVC dialect, and the FormatMessage insert engine.
//
// Formats given by the programs follow the Windows runtime: in a wide format
// %s is a wide string and %hs narrow (%S the opposite kind), %ls always wide,
// %I64d/%I64u/%I64X take 64-bit values, %p prints 16 upper-case hex digits.
// In a narrow format %s is narrow. Wide output is built here, never by
// swprintf, whose %s means narrow on Linux.
#pragma once

#include "platform/base/types.h"

#include <cstdarg>
#include <string>
#include <string_view>

namespace platform {

std::wstring FormatW(const wchar_t* format, ...);
std::wstring FormatWV(const wchar_t* format, va_list args);
std::string FormatA(const char* format, ...);
std::string FormatAV(const char* format, va_list args);

// FormatMessage's insert rules over a message text:
//   %1..%99 insert argument n (default !s!: a wide string), %n!fmt! formats
//   it with the printf spec fmt (MSVC dialect, e.g. !d!, !08X!, !hs!);
//   %n line break (\r\n), %r carriage return, %t tab, %0 ends the text with no
//   trailing break, %% %, %. ., %! !, %space space; other text is copied.
// Arguments are the DWORD_PTR array form (FORMAT_MESSAGE_ARGUMENT_ARRAY): a
// string argument is a pointer to a terminated string of the conversion's kind, an
// integer argument is the value itself. With ignoreInserts the %n inserts are
// copied as written (the escapes still apply).
// Returns ERROR_SUCCESS, or ERROR_INVALID_PARAMETER when an insert names an
// argument beyond argCount (out then holds nothing).
DWORD ExpandMessageInserts(std::wstring_view text, const DWORD_PTR* args, std::size_t argCount,
                           bool ignoreInserts, std::wstring& out);

}  // namespace platform
