// types.h - the fixed-width vocabulary the system's code is written in.
//
// The programs were designed against a Windows API; these names keep their
// sizes (DWORD is 32 bits on every platform, LONG too) so that byte layouts,
// codes and masks read exactly as designed. Wide text is wchar_t (32-bit on
// Linux); where bytes are fixed on the wire it is converted to UTF-16LE by the
// functions of text.h, never by hand.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using HRESULT = std::int32_t;
using NTSTATUS = std::int32_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;

// An opaque handle to a waitable or closable object (events, threads, pipes).
// What it points to is owned by platform/sync; CloseHandle releases it.
using HANDLE = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;

// The standard access right that services, files and keys share.
constexpr DWORD DELETE = 0x00010000u;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr WORD LOWORD(DWORD v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(DWORD v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr DWORD MAKELONG(WORD lo, WORD hi) { return static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16); }
