// messages.h - message modules: loading them by name and FormatMessage.
//
// A message module is the file that the message compiler (mc.py, driven by
// vantrel_message_module in CMake) builds from a .mc source: a table of
// message id -> text, named "<name>.msg" and placed beside the programs that
// use it. A module is only ever loaded as a data file; its handle stays valid
// until FreeLibrary. FormatMessageW reads texts from a module, from a given
// string or from the system's texts (platform::SystemMessageText) and expands
// inserts through platform::ExpandMessageInserts, the one insert engine.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/process.h"  // ExecutablePath, ExecutableDirectory: module names resolve beside the program
#include "platform/base/types.h"

#include <cstdarg>
#include <string>
#include <vector>

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
using HLOCAL = void*;

constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD LANG_USER_DEFAULT = 0x400;

// Loads a message module as a data file (the only kind of load there is; the
// flags are accepted for the Windows shape). A name without a path is looked
// for in the folder of the running executable; a name whose last component
// has no extension gets ".msg" appended, as Windows appends ".dll". Path
// separators may be '\' or '/'. Null with GetLastError ERROR_MOD_NOT_FOUND
// when no file is there, or the errno-derived code when it cannot be read.
HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
// ERROR_INVALID_HANDLE (FALSE) for a handle that LoadLibraryExW did not give.
BOOL FreeLibrary(HMODULE module);

// The Windows call. Returns the characters stored (without the terminator), 0
// on failure with GetLastError set: ERROR_MR_MID_NOT_FOUND for an id the
// module (or the system) has no text for, ERROR_RESOURCE_TYPE_NOT_FOUND for a
// file that holds no message table, ERROR_INSUFFICIENT_BUFFER when size is too
// small, ERROR_INVALID_PARAMETER for an insert without an argument, and
// ERROR_INVALID_HANDLE for a module handle that is not loaded.
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really a LPWSTR* that
// receives a buffer to free with LocalFree (size is then a minimum).
// args is a va_list* or, with FORMAT_MESSAGE_ARGUMENT_ARRAY, a DWORD_PTR
// array. From a va_list each insert reads one pointer-sized argument, so
// integers must be passed as DWORD_PTR there, as Windows requires on 64 bits.
// With FORMAT_MESSAGE_IGNORE_INSERTS the text comes back exactly as stored,
// escapes such as %% and %n included, for formatting later.
// Language 0 and LANG_USER_DEFAULT take the module's first language for the
// id; any other language must match exactly.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* args);
HLOCAL LocalFree(HLOCAL memory);

namespace platform {

// The text of a module's message with string inserts. An insert beyond the
// strings given stays as written ("%3"), as event viewers show it, instead of
// reading past the argument array. Empty when the module has no such message.
std::wstring FormatModuleMessage(HMODULE module, DWORD messageId, const std::vector<std::wstring>& strings);

}  // namespace platform
