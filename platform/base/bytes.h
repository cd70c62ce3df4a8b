// bytes.h - little-endian loads and stores, hex and Base64: the one place bytes are packed.
//
// Wire formats, file-control records, trace blocks and registry values fix
// their numbers as little-endian bytes at any alignment; the loads and stores
// here read and write them byte by byte, so they hold on any host and any
// address (the compiler turns them into single moves). A few trace fields are
// big-endian and have their own pair. Hex and Base64 text is ASCII; the wide
// forms give the same characters as wchar_t.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// --- Little-endian numbers at any address ---

// The low `size` bytes (at most 8) of a little-endian number.
inline ULONGLONG LoadLe(const void* at, std::size_t size) {
  const auto* p = static_cast<const BYTE*>(at);
  ULONGLONG v = 0;
  for (std::size_t i = size; i-- > 0;) v = (v << 8) | p[i];
  return v;
}
// Writes the low `size` bytes (at most 8) of value, least significant first.
inline void StoreLe(void* at, ULONGLONG value, std::size_t size) {
  auto* p = static_cast<BYTE*>(at);
  for (std::size_t i = 0; i < size; ++i, value >>= 8) p[i] = static_cast<BYTE>(value);
}

inline WORD LoadLe16(const void* at) { return static_cast<WORD>(LoadLe(at, 2)); }
inline DWORD LoadLe32(const void* at) { return static_cast<DWORD>(LoadLe(at, 4)); }
inline ULONGLONG LoadLe64(const void* at) { return LoadLe(at, 8); }
inline void StoreLe16(void* at, WORD value) { StoreLe(at, value, 2); }
inline void StoreLe32(void* at, DWORD value) { StoreLe(at, value, 4); }
inline void StoreLe64(void* at, ULONGLONG value) { StoreLe(at, value, 8); }

// Appends the little-endian bytes of value to a byte string or vector.
template <typename Bytes>
void AppendLe(Bytes& out, ULONGLONG value, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  StoreLe(out.data() + at, value, size);
}
template <typename Bytes> void AppendLe16(Bytes& out, WORD value) { AppendLe(out, value, 2); }
template <typename Bytes> void AppendLe32(Bytes& out, DWORD value) { AppendLe(out, value, 4); }
template <typename Bytes> void AppendLe64(Bytes& out, ULONGLONG value) { AppendLe(out, value, 8); }

// --- Big-endian numbers (trace argument lengths, REG_DWORD_BIG_ENDIAN) ---
inline ULONGLONG LoadBe(const void* at, std::size_t size) {
  const auto* p = static_cast<const BYTE*>(at);
  ULONGLONG v = 0;
  for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}
inline void StoreBe(void* at, ULONGLONG value, std::size_t size) {
  auto* p = static_cast<BYTE*>(at);
  for (std::size_t i = size; i-- > 0; value >>= 8) p[i] = static_cast<BYTE>(value);
}
inline WORD LoadBe16(const void* at) { return static_cast<WORD>(LoadBe(at, 2)); }
inline void StoreBe16(void* at, WORD value) { StoreBe(at, value, 2); }
template <typename Bytes>
void AppendBe(Bytes& out, ULONGLONG value, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  StoreBe(out.data() + at, value, size);
}

// --- Hex ---
enum class HexCase { Upper, Lower };

// Two digits a byte, no separators.
std::string HexEncode(const void* data, std::size_t size, HexCase letters = HexCase::Upper);
std::wstring HexEncodeW(const void* data, std::size_t size, HexCase letters = HexCase::Upper);
// 0-15 for a hex digit of either case, -1 for anything else.
int HexDigitValue(wchar_t c);
// Pairs of hex digits of either case, nothing else: false (and out unchanged)
// for an odd count or any other character.
bool HexDecode(std::string_view text, std::vector<BYTE>& out);
bool HexDecode(std::wstring_view text, std::vector<BYTE>& out);

// --- Base64: RFC 4648, standard alphabet, "=" padding, no line breaks ---
std::string Base64Encode(const void* data, std::size_t size);

// How a decoder treats a character outside the alphabet.
enum class Base64Foreign {
  Reject,  // the text is not Base64
  Skip,    // ignored, as line breaks and stray characters are by lenient readers
};
// Skip reads up to the first "=" or NUL and ignores what follows. Reject
// takes alphabet digits only, then at most two "="; a foreign character
// (NUL included) or anything after the padding fails. Either way the digits
// must end a whole quantum or leave 2 or 3 (1 digit cannot hold a byte).
// On failure out is unchanged.
bool Base64Decode(std::string_view text, std::vector<BYTE>& out, Base64Foreign foreign = Base64Foreign::Reject);
bool Base64Decode(std::wstring_view text, std::vector<BYTE>& out, Base64Foreign foreign = Base64Foreign::Reject);

}  // namespace platform
