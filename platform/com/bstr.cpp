// bstr.cpp - length-prefixed wide strings.
//
// Layout of one allocation: a 32-bit byte count, the characters, then one
// zero wchar_t (more when an odd byte count needs padding). The BSTR points
// just past the count, so the count is at ((UINT*)bstr)[-1].
#include "platform/com/oleauto.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t kPrefix = sizeof(UINT);

// Allocates room for byteCount bytes plus the terminator, zeroed.
BSTR Allocate(UINT byteCount) {
  // Round the character part up to whole wchar_t so the terminator is aligned.
  std::size_t body = (static_cast<std::size_t>(byteCount) + sizeof(wchar_t) - 1) / sizeof(wchar_t) * sizeof(wchar_t);
  void* block = std::calloc(1, kPrefix + body + sizeof(wchar_t));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &byteCount, sizeof(byteCount));
  return reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefix);
}

void* BlockOf(BSTR s) { return reinterpret_cast<char*>(s) - kPrefix; }

constexpr UINT kMaxChars = (std::numeric_limits<UINT>::max() - 64) / sizeof(wchar_t);

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(std::wcslen(text)));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxChars) return nullptr;
  BSTR s = Allocate(length * static_cast<UINT>(sizeof(wchar_t)));
  if (s != nullptr && text != nullptr) std::memcpy(s, text, length * sizeof(wchar_t));
  return s;
}

BSTR SysAllocStringByteLen(const char* bytes, UINT byteCount) {
  if (byteCount > kMaxChars * sizeof(wchar_t)) return nullptr;
  BSTR s = Allocate(byteCount);
  if (s != nullptr && bytes != nullptr) std::memcpy(s, bytes, byteCount);
  return s;
}

BOOL SysReAllocString(BSTR* target, const OLECHAR* text) {
  return SysReAllocStringLen(target, text, text == nullptr ? 0 : static_cast<UINT>(std::wcslen(text)));
}

BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (target == nullptr) return FALSE;
  // Copy first: text may point into *target.
  BSTR fresh = SysAllocStringLen(text, length);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*target);
  *target = fresh;
  return TRUE;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(BlockOf(text));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  UINT bytes;
  std::memcpy(&bytes, BlockOf(text), sizeof(bytes));
  return bytes;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / static_cast<UINT>(sizeof(wchar_t)); }
