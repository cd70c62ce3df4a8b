// TraceLine.cpp - trace line handles, argument parsing, encoding and rendering.
//
// Encoding reads each variadic argument with the C type its format spec
// names, as the System V x86-64 ABI requires: va_arg must name the promoted
// type of what was passed (int for 16- and 32-bit kinds, long long for I64,
// double, const wchar_t* or const char* for strings). The Windows habit of
// reading every argument as one 8-byte slot would read the wrong registers
// here once ints, pointers and doubles are mixed.
#include "trace/TraceLine.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include "platform/com/oleauto.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <system_error>

namespace {

using CArg = CTraceLine::CArgs::CArg;
constexpr DWORD kMaxStringUnits = 0xFFFF;  // the u16 length of a string entry
constexpr INT kMaxFieldWidth = 4096;       // bounds what one text may ask FormatW for

// --- integers ---

// Bytes of the shortest little-endian form that sign-extends back to v.
unsigned SignedBytes(LONGLONG v, unsigned width) {
  unsigned k = width;
  while (k > 1) {
    const BYTE top = static_cast<BYTE>(static_cast<ULONGLONG>(v) >> (8 * (k - 1)));
    const bool nextHigh = (static_cast<ULONGLONG>(v) >> (8 * (k - 1) - 1)) & 1;
    if ((top == 0x00 && !nextHigh) || (top == 0xFF && nextHigh))
      --k;
    else
      break;
  }
  return k;
}
unsigned UnsignedBytes(ULONGLONG v, unsigned width) {
  unsigned k = width;
  while (k > 1 && ((v >> (8 * (k - 1))) & 0xFF) == 0) --k;
  return k;
}
unsigned IntWidth(WORD size) { return size == 'I' ? 8 : size == 'h' ? 2 : 4; }

DWORD MeasureInt(const CArg& arg, va_list* args, CArg::Value& value) {
  switch (arg.m_size) {
    case 'L':
      return 1;  // nothing is read: always the zero byte
    case 'I':
      value.i = va_arg(*args, long long);
      break;
    case 'h':
      value.i = static_cast<SHORT>(va_arg(*args, int));
      break;
    default:
      value.i = va_arg(*args, int);
      break;
  }
  return value.i == 0 ? 1 : 1 + SignedBytes(value.i, IntWidth(arg.m_size));
}
DWORD MeasureUInt(const CArg& arg, va_list* args, CArg::Value& value) {
  switch (arg.m_size) {
    case 'L':
      value.u = 0;
      return 1;
    case 'I':
      value.u = va_arg(*args, unsigned long long);
      break;
    case 'h':
      value.u = static_cast<WORD>(va_arg(*args, int));
      break;
    default:
      value.u = va_arg(*args, unsigned int);
      break;
  }
  return value.u == 0 ? 1 : 1 + UnsignedBytes(value.u, IntWidth(arg.m_size));
}
void EncodeInt(const CArg& arg, const CArg::Value& value, BYTE* out, DWORD size) {
  if (arg.m_size == 'L' || value.i == 0) {
    out[0] = 3;
    return;
  }
  out[0] = static_cast<BYTE>(4 + size - 2);
  platform::StoreLe(out + 1, static_cast<ULONGLONG>(value.i), size - 1);
}
void EncodeUInt(const CArg&, const CArg::Value& value, BYTE* out, DWORD size) {
  if (value.u == 0) {
    out[0] = 3;
    return;
  }
  out[0] = static_cast<BYTE>(12 + size - 2);
  platform::StoreLe(out + 1, value.u, size - 1);
}

// Reads an integer entry (3, 4..11 signed, 12..19 unsigned) as 64 bits.
// Returns the bytes consumed; ok is false when the entry is not an integer
// or is cut short.
DWORD ReadInteger(const BYTE* bytes, DWORD length, ULONGLONG& v, bool& ok) {
  ok = false;
  const BYTE tag = bytes[0];
  if (tag < 3 || tag > 19) return 1;
  if (tag == 3) {
    v = 0;
    ok = true;
    return 1;
  }
  const bool isSigned = tag <= 11;
  const DWORD k = isSigned ? tag - 3 : tag - 11;
  if (k >= length) return length;
  v = platform::LoadLe(bytes + 1, k);
  if (isSigned && k < 8 && (bytes[k] & 0x80)) v |= ~0ULL << (8 * k);
  ok = true;
  return 1 + k;
}

DWORD IntegerToText(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text, bool unsignedKind) {
  ULONGLONG v = 0;
  bool ok = false;
  const DWORD used = ReadInteger(bytes, length, v, ok);
  if (!ok) return used;
  const std::wstring spec = arg.MakeSpec();
  if (arg.m_size == 'I')
    text = unsignedKind ? platform::FormatW(spec.c_str(), static_cast<unsigned long long>(v))
                        : platform::FormatW(spec.c_str(), static_cast<long long>(v));
  else
    text = unsignedKind ? platform::FormatW(spec.c_str(), static_cast<unsigned int>(v))
                        : platform::FormatW(spec.c_str(), static_cast<int>(static_cast<unsigned int>(v)));
  return used;
}
DWORD IntToText(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text) {
  return IntegerToText(arg, bytes, length, text, false);
}
DWORD UIntToText(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text) {
  return IntegerToText(arg, bytes, length, text, true);
}

// --- doubles ---

DWORD MeasureDouble(const CArg&, va_list* args, CArg::Value& value) {
  value.d = va_arg(*args, double);
  return 9;
}
void EncodeDouble(const CArg&, const CArg::Value& value, BYTE* out, DWORD) {
  ULONGLONG bits;
  std::memcpy(&bits, &value.d, 8);
  out[0] = 20;
  platform::StoreLe64(out + 1, bits);
}
DWORD DoubleToText(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text) {
  if (length < 9) return length;
  const ULONGLONG bits = platform::LoadLe64(bytes + 1);
  double d;
  std::memcpy(&d, &bits, 8);
  text = platform::FormatW(arg.MakeSpec().c_str(), d);
  return 9;
}

// --- strings ---

// The wide string a caller passed, cut to what a u16 length can count.
struct WideForm {
  bool narrow;        // every character fits one byte: entry kind 1
  std::size_t chars;  // characters taken
};

thread_local std::string t_utf16;  // scratch for UTF-16LE bytes, reused

WideForm MeasureWide(const wchar_t* s, bool allowNarrow) {
  WideForm form{allowNarrow, 0};
  std::size_t units = 0;
  for (; s[form.chars] != 0; ++form.chars) {
    const wchar_t c = s[form.chars];
    const std::size_t u = (static_cast<std::uint32_t>(c) > 0xFFFF && static_cast<std::uint32_t>(c) <= 0x10FFFF) ? 2 : 1;
    if (units + u > kMaxStringUnits) break;
    units += u;
    if (static_cast<std::uint32_t>(c) > 255) form.narrow = false;
  }
  return form;
}

DWORD MeasureString(const CArg& arg, va_list* args, CArg::Value& value) {
  if (arg.m_size == 'I' || arg.m_size == 'L') return 0;  // nothing is read: absent
  value.p = arg.m_size == 'h' ? static_cast<const void*>(va_arg(*args, const char*))
                              : static_cast<const void*>(va_arg(*args, const wchar_t*));
  if (value.p == nullptr) return 0;
  if (arg.m_size == 'h') return 3 + static_cast<DWORD>(strnlen(static_cast<const char*>(value.p), kMaxStringUnits));
  const auto* s = static_cast<const wchar_t*>(value.p);
  const WideForm form = MeasureWide(s, arg.m_size != 'l');
  if (form.narrow) return 3 + static_cast<DWORD>(form.chars);
  t_utf16.clear();
  platform::AppendUtf16le(t_utf16, std::wstring_view(s, form.chars));
  return 3 + static_cast<DWORD>(std::min<std::size_t>(t_utf16.size() / 2, kMaxStringUnits) * 2);
}

void EncodeString(const CArg& arg, const CArg::Value& value, BYTE* out, DWORD size) {
  const DWORD n = size - 3;
  if (arg.m_size == 'h') {
    out[0] = 1;
    std::memcpy(out + 3, value.p, n);
  } else {
    const auto* s = static_cast<const wchar_t*>(value.p);
    const WideForm form = MeasureWide(s, arg.m_size != 'l');
    if (form.narrow) {
      out[0] = 1;
      for (DWORD i = 0; i < n; ++i) out[3 + i] = static_cast<BYTE>(s[i]);
    } else {
      // Measuring left this string's bytes in the scratch.
      out[0] = 2;
      std::memcpy(out + 3, t_utf16.data(), n);
      platform::StoreBe16(out + 1, static_cast<WORD>(n / 2));
      return;
    }
  }
  platform::StoreBe16(out + 1, static_cast<WORD>(n));
}

// Narrow entries hold UTF-8 (narrow text is UTF-8 here) or the low bytes of a
// wide string whose characters are all below 256; the latter is Latin-1.
std::wstring WideFromNarrowEntry(const BYTE* bytes, std::size_t n) {
  std::wstring out;
  const std::string_view view(reinterpret_cast<const char*>(bytes), n);
  if (platform::WideFromUtf8Strict(view, out)) return out;
  out.assign(bytes, bytes + n);
  return out;
}

DWORD StringToText(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text) {
  if (length < 3) return length;
  const DWORD n = platform::LoadBe16(bytes + 1);
  std::wstring value;
  DWORD used = 3;
  if (bytes[0] == 1 && n <= length - 3) {
    value = WideFromNarrowEntry(bytes + 3, n);
    used += n;
  } else if (bytes[0] == 2 && 2 * n <= length - 3) {
    value = platform::WideFromUtf16le(bytes + 3, 2 * std::size_t{n});
    used += 2 * n;
  } else if (bytes[0] == 1 || bytes[0] == 2) {
    return length;  // cut short: nothing behind it can be trusted
  }
  text = platform::FormatW(arg.MakeSpec().c_str(), value.c_str());
  return used;
}

// --- parsing ---

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// A run of ASCII digits; saturates at INT_MAX. -1 when there is none.
int ReadNumber(std::wstring_view text, std::size_t& at) {
  if (at >= text.size() || !IsDigit(text[at])) return -1;
  long long v = 0;
  while (at < text.size() && IsDigit(text[at])) {
    v = std::min<long long>(v * 10 + (text[at] - L'0'), INT_MAX);
    ++at;
  }
  return static_cast<int>(v);
}

// --- VARIANT forms ---

[[noreturn]] void ThrowHresult(HRESULT hr, const char* what) {
  throw std::system_error(hr, platform::Win32Category(), what);
}

DWORD IntToVariant(const CArg& arg, const BYTE* bytes, DWORD length, VARIANT* out) {
  ULONGLONG v = 0;
  bool ok = false;
  const DWORD used = ReadInteger(bytes, length, v, ok);
  if (!ok) return used;
  const BYTE tag = bytes[0];
  if (tag == 3) {
    out->vt = VT_I4;
    out->lVal = 0;
  } else if (tag <= 11) {
    out->vt = arg.m_size == 'I' ? VT_I8 : VT_I4;
    if (arg.m_size == 'I')
      out->llVal = static_cast<LONGLONG>(v);
    else
      out->lVal = static_cast<LONG>(static_cast<DWORD>(v));
  } else {
    out->vt = arg.m_size == 'I' ? VT_UI8 : VT_UI4;
    if (arg.m_size == 'I')
      out->ullVal = v;
    else
      out->ulVal = static_cast<ULONG>(v);
  }
  return used;
}

DWORD DoubleToVariant(const CArg&, const BYTE* bytes, DWORD length, VARIANT* out) {
  if (length < 9) return length;
  const ULONGLONG bits = platform::LoadLe64(bytes + 1);
  out->vt = VT_R8;
  std::memcpy(&out->dblVal, &bits, 8);
  return 9;
}

DWORD StringToVariant(const CArg& arg, const BYTE* bytes, DWORD length, VARIANT* out) {
  std::wstring text;
  const DWORD used = StringToText(arg, bytes, length, text);
  BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (value == nullptr) ThrowHresult(E_OUTOFMEMORY, "SysAllocStringLen");
  out->vt = VT_BSTR;
  out->bstrVal = value;
  return used;
}

}  // namespace

// --- kinds ---

namespace {
void Install(CArg& arg, CArg::ToTextFn toText, CArg::ToVariantFn toVariant, CArg::MeasureFn measure,
             CArg::EncodeFn encode) {
  arg.m_toText = toText;
  arg.m_toVariant = toVariant;
  arg.m_measure = measure;
  arg.m_encode = encode;
}
}  // namespace

CStringArg::CStringArg() {
  m_conversion = 's';
  Install(*this, StringToText, StringToVariant, MeasureString, EncodeString);
}
CIntArg::CIntArg() { Install(*this, IntToText, IntToVariant, MeasureInt, EncodeInt); }
CUIntArg::CUIntArg() { Install(*this, UIntToText, IntToVariant, MeasureUInt, EncodeUInt); }
CDoubleArg::CDoubleArg() { Install(*this, DoubleToText, DoubleToVariant, MeasureDouble, EncodeDouble); }

// "%", flag, width, "." precision, size, conversion. Integer and double
// sizes other than I64 are dropped: MSVC treats "l" (and "L" for integers)
// as the default width, and passing the value at that width keeps FormatW
// reading exactly what it is given.
std::wstring CTraceLine::CArgs::CArg::MakeSpec() const {
  std::wstring spec = L"%";
  if (m_flag) spec += static_cast<wchar_t>(m_flag);
  if (m_width != -1) spec += std::to_wstring(std::min(m_width, kMaxFieldWidth));
  if (m_precision != -1) spec += L"." + std::to_wstring(std::min(m_precision, kMaxFieldWidth));
  if (m_size == 'I') spec += L"I64";
  if (m_size == 'l' && m_conversion == 's') spec += L"l";
  spec += static_cast<wchar_t>(m_conversion);
  return spec;
}

CTraceLine::CArgs CTraceLine::CArgs::Parse(DWORD messageId, std::wstring_view text, std::wstring& templateText) {
  CArgs list(messageId);
  templateText.clear();
  std::size_t at = 0;
  while (true) {
    const std::size_t percent = text.find(L'%', at);
    if (percent == std::wstring_view::npos) {
      templateText.append(text.substr(at));
      break;
    }
    templateText.append(text.substr(at, percent - at));
    std::size_t j = percent + 1;
    CArg spec;
    if (j < text.size() && std::wcschr(L" #+-0", text[j]) != nullptr && text[j] != 0) spec.m_flag = text[j++];
    spec.m_width = ReadNumber(text, j);
    if (j < text.size() && text[j] == L'.') {
      ++j;
      spec.m_precision = ReadNumber(text, j);
    }
    if (j < text.size()) {
      const wchar_t size = text[j];
      if (size == L'I') {
        spec.m_size = 'I';
        j = std::min(j + 3, text.size());
      } else if (size == L'L' || size == L'h' || size == L'l') {
        spec.m_size = static_cast<WORD>(size);
        ++j;
      }
    }
    wchar_t conversion = 0;
    if (j < text.size()) conversion = text[j++];
    const int number = ReadNumber(text, j);
    templateText += L"^" + std::to_wstring(number);

    CArg kind;
    switch (conversion) {
      case L'X': case L'o': case L'u': case L'x':
        kind = CUIntArg();
        break;
      case L'd': case L'i':
        kind = CIntArg();
        break;
      case L'f': case L'g':
        kind = CDoubleArg();
        break;
      case L's':
        kind = CStringArg();
        break;
      default:
        break;  // C E G S c n p, or anything else: a placeholder only
    }
    if (kind.m_measure != nullptr && list.m_args.count(number) == 0) {
      kind.m_conversion = static_cast<WORD>(conversion);
      kind.m_flag = spec.m_flag;
      kind.m_width = spec.m_width;
      kind.m_precision = spec.m_precision;
      kind.m_size = spec.m_size;
      list.m_args.emplace(number, kind);
    }
    at = j;
  }
  return list;
}

// --- encoding and rendering through an argument list ---

BYTE* CTraceLine::CArgBytes::Extend(DWORD count) {
  if (m_length + count > m_capacity) {
    const std::size_t capacity = std::max<std::size_t>(2 * m_capacity, std::size_t{m_length} + count);
    if (capacity > 0xFFFFFFFFu) throw std::length_error("trace arguments");
    std::vector<BYTE> grown(capacity);
    std::memcpy(grown.data(), m_data, m_length);
    m_heap.swap(grown);
    m_data = m_heap.data();
    m_capacity = static_cast<DWORD>(capacity);
  }
  BYTE* at = m_data + m_length;
  m_length += count;
  return at;
}

void CTraceLine::EncodeArgs(const CArgs& list, va_list args, CArgBytes& out) {
  va_list encode;
  va_copy(encode, args);
  list.ForEachPassed([&](int, const CArg& arg) {
    CArg::Value value{};
    // Measured and written at once: a wide string's UTF-16 form is left in
    // the thread's scratch by measuring, for writing right after.
    const DWORD size = arg.m_measure(arg, &encode, value);
    if (size == 0) {
      *out.Extend(1) = 0;
    } else {
      arg.m_encode(arg, value, out.Extend(size), size);
    }
  });
  va_end(encode);
}

std::wstring CTraceLine::CArgs::Render(const std::wstring& templateText, const BYTE* bytes, DWORD length) const {
  // Render the arguments that were encoded: numbers 1, 2, ... up to a gap.
  std::map<int, std::wstring> rendered;
  DWORD left = length;
  ForEachPassed([&](int number, const CArg& arg) {
    std::wstring text;
    if (left > 0) {
      const DWORD used = bytes[0] == 0 ? 1 : std::min(left, std::max<DWORD>(1, arg.m_toText(arg, bytes, left, text)));
      bytes += used;
      left -= used;
    }
    rendered[number] = std::move(text);
  });

  // "^" followed by a number (or "-1" for a format spec without one) is a
  // placeholder; one that names no rendered argument renders as nothing. A
  // "^" without digits is the text's own.
  std::wstring out;
  for (std::size_t i = 0; i < templateText.size(); ++i) {
    if (templateText[i] != L'^') {
      out += templateText[i];
      continue;
    }
    std::size_t j = i + 1;
    if (j < templateText.size() && templateText[j] == L'-') ++j;
    const int number = ReadNumber(templateText, j);
    if (number < 0) {
      out += L'^';
      continue;
    }
    auto found = rendered.find(templateText[i + 1] == L'-' ? -number : number);
    if (found != rendered.end()) out += found->second;
    i = j - 1;
  }
  return out;
}

void CTraceLine::CArgs::ArgVariant(int number, const BYTE* bytes, DWORD length, VARIANT* out) const {
  DWORD left = length;
  bool found = false;
  ForEachPassed([&](int n, const CArg& arg) {
    if (found || left == 0) return;
    if (n == number) {
      found = true;
      if (bytes[0] != 0) arg.m_toVariant(arg, bytes, left, out);
      return;
    }
    std::wstring skipped;
    const DWORD used = bytes[0] == 0 ? 1 : std::min(left, std::max<DWORD>(1, arg.m_toText(arg, bytes, left, skipped)));
    bytes += used;
    left -= used;
  });
}
