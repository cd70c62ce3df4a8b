// format.cpp - the MSVC printf dialect (one engine for wide and narrow
// output) and the FormatMessage insert engine built on it.
#include "platform/base/format.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <vector>

namespace platform {

namespace {

// --- Argument sources: a va_list, or FormatMessage's DWORD_PTR array ---

struct VaSource {
  va_list ap;
  int Int() { return va_arg(ap, int); }
  std::int64_t I64() { return va_arg(ap, long long); }
  double Dbl() { return va_arg(ap, double); }
  const void* Ptr() { return va_arg(ap, const void*); }
};

// Reads args[next++], never beyond count; a read past the end marks failure.
struct ArraySource {
  const DWORD_PTR* args;
  std::size_t count;
  std::size_t next;
  bool failed = false;
  DWORD_PTR Take() {
    if (!args || next >= count) {
      failed = true;
      return 0;
    }
    return args[next++];
  }
  int Int() { return static_cast<int>(static_cast<std::uint32_t>(Take())); }
  std::int64_t I64() { return static_cast<std::int64_t>(Take()); }
  double Dbl() {  // FormatMessage has no floating point: the slot's bits
    DWORD_PTR v = Take();
    double d = 0;
    static_assert(sizeof(d) == sizeof(v));
    std::memcpy(&d, &v, sizeof(d));
    return d;
  }
  const void* Ptr() { return reinterpret_cast<const void*>(Take()); }
};

enum class Size { None, hh, h, l, ll, I, I32, I64, L };

// --- Output helpers, per character type ---

template <typename Ch>
void Pad(std::basic_string<Ch>& out, std::size_t n, Ch c) {
  out.append(n, c);
}

// Appends body justified in width; zero padding goes between prefix and body.
template <typename Ch>
void Emit(std::basic_string<Ch>& out, const std::basic_string<Ch>& prefix, const std::basic_string<Ch>& body,
          int width, bool left, bool zero) {
  std::size_t len = prefix.size() + body.size();
  std::size_t fill = width > 0 && static_cast<std::size_t>(width) > len ? static_cast<std::size_t>(width) - len : 0;
  if (left) {
    out += prefix;
    out += body;
    Pad(out, fill, static_cast<Ch>(' '));
  } else if (zero) {
    out += prefix;
    Pad(out, fill, static_cast<Ch>('0'));
    out += body;
  } else {
    Pad(out, fill, static_cast<Ch>(' '));
    out += prefix;
    out += body;
  }
}

template <typename Ch>
std::basic_string<Ch> Widen(const std::string& ascii) {
  return std::basic_string<Ch>(ascii.begin(), ascii.end());
}

// Text of a string argument in the output's character type, reading at most
// prec source units (so counted, unterminated buffers are safe with %.*s).
std::wstring WideText(const void* p, bool wideArg, int prec) {
  if (!p) {
    std::wstring s = L"(null)";
    if (prec >= 0 && static_cast<std::size_t>(prec) < s.size()) s.resize(static_cast<std::size_t>(prec));
    return s;
  }
  if (wideArg) {
    const auto* w = static_cast<const wchar_t*>(p);
    std::size_t n = 0;
    while ((prec < 0 || n < static_cast<std::size_t>(prec)) && w[n]) ++n;
    return std::wstring(w, n);
  }
  const auto* a = static_cast<const char*>(p);
  std::size_t n = prec < 0 ? std::strlen(a) : strnlen(a, static_cast<std::size_t>(prec));
  return WideFromUtf8(std::string_view(a, n));
}

std::string NarrowText(const void* p, bool wideArg, int prec) {
  if (!p) {
    std::string s = "(null)";
    if (prec >= 0 && static_cast<std::size_t>(prec) < s.size()) s.resize(static_cast<std::size_t>(prec));
    return s;
  }
  if (!wideArg) {
    const auto* a = static_cast<const char*>(p);
    std::size_t n = prec < 0 ? std::strlen(a) : strnlen(a, static_cast<std::size_t>(prec));
    return std::string(a, n);
  }
  const auto* w = static_cast<const wchar_t*>(p);
  std::size_t n = 0;
  while ((prec < 0 || n < static_cast<std::size_t>(prec)) && w[n]) ++n;
  std::string s = Utf8FromWide(std::wstring_view(w, n));
  if (prec >= 0 && s.size() > static_cast<std::size_t>(prec)) {
    // Whole characters only: cut before a continuation byte run.
    std::size_t cut = static_cast<std::size_t>(prec);
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  return s;
}

inline void AppendText(std::wstring& out, const void* p, bool wideArg, int prec) { out += WideText(p, wideArg, prec); }
inline void AppendText(std::string& out, const void* p, bool wideArg, int prec) { out += NarrowText(p, wideArg, prec); }

inline std::wstring CharText(wchar_t*, int c, bool wideArg) {
  if (wideArg) return std::wstring(1, static_cast<wchar_t>(c));
  auto b = static_cast<unsigned char>(c);
  return std::wstring(1, b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(0xFFFD));
}
inline std::string CharText(char*, int c, bool wideArg) {
  if (!wideArg) return std::string(1, static_cast<char>(c));
  wchar_t w = static_cast<wchar_t>(c);
  if (w == 0) return std::string(1, '\0');
  return Utf8FromWide(std::wstring_view(&w, 1));
}

// --- The engine: a conversion's spec, then its rendering ---

// One conversion as written: flags, width, precision, size modifier.
struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1;  // -1: none
  int prec = -1;   // -1: none
  Size size = Size::None;
  bool wideMod = false, narrowMod = false;  // l/w, h
};

template <typename Ch>
void ReadFlags(std::basic_string_view<Ch> fmt, std::size_t& i, Spec& spec) {
  for (; i < fmt.size(); ++i) {
    Ch f = fmt[i];
    if (f == '-') spec.left = true;
    else if (f == '+') spec.plus = true;
    else if (f == ' ') spec.space = true;
    else if (f == '#') spec.alt = true;
    else if (f == '0') spec.zero = true;
    else break;
  }
}

// Digits of a width or precision, bounded so that no text can ask for more.
template <typename Ch>
int ReadCount(std::basic_string_view<Ch> fmt, std::size_t& i, int value) {
  while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
    value = (value < 0 ? 0 : value) * 10 + static_cast<int>(fmt[i] - '0');
    if (value > 1000000) value = 1000000;
    ++i;
  }
  return value;
}

// Width: digits, or '*' from the arguments (negative: left-justified).
template <typename Ch, typename Src>
void ReadWidth(std::basic_string_view<Ch> fmt, std::size_t& i, Src& src, Spec& spec) {
  if (i < fmt.size() && fmt[i] == '*') {
    spec.width = src.Int();
    if (spec.width < 0) {
      spec.left = true;
      spec.width = spec.width == INT32_MIN ? INT32_MAX : -spec.width;
    }
    ++i;
  } else {
    spec.width = ReadCount(fmt, i, -1);
  }
}

// Precision: '.' then digits (none: 0), or '*' from the arguments (negative: none).
template <typename Ch, typename Src>
void ReadPrecision(std::basic_string_view<Ch> fmt, std::size_t& i, Src& src, Spec& spec) {
  if (i >= fmt.size() || fmt[i] != '.') return;
  ++i;
  spec.prec = 0;
  if (i < fmt.size() && fmt[i] == '*') {
    spec.prec = src.Int();
    if (spec.prec < 0) spec.prec = -1;
    ++i;
  } else {
    spec.prec = ReadCount(fmt, i, 0);
  }
}

// The size modifiers MSVC knows: h hh l ll w L j z t I I32 I64.
template <typename Ch>
void ReadSize(std::basic_string_view<Ch> fmt, std::size_t& i, Spec& spec) {
  const std::size_t end = fmt.size();
  if (i >= end) return;
  Ch s = fmt[i];
  if (s == 'h') {
    spec.narrowMod = true;
    ++i;
    spec.size = Size::h;
    if (i < end && fmt[i] == 'h') {
      spec.size = Size::hh;
      ++i;
    }
  } else if (s == 'l') {
    spec.wideMod = true;
    ++i;
    spec.size = Size::l;
    if (i < end && fmt[i] == 'l') {
      spec.size = Size::ll;
      ++i;
    }
  } else if (s == 'w') {
    spec.wideMod = true;
    spec.size = Size::l;
    ++i;
  } else if (s == 'L') {
    spec.size = Size::L;
    ++i;
  } else if (s == 'j') {
    spec.size = Size::ll;
    ++i;
  } else if (s == 'z' || s == 't') {
    spec.size = Size::I;
    ++i;
  } else if (s == 'I') {
    ++i;
    if (i + 1 < end && fmt[i] == '6' && fmt[i + 1] == '4') {
      spec.size = Size::I64;
      i += 2;
    } else if (i + 1 < end && fmt[i] == '3' && fmt[i + 1] == '2') {
      spec.size = Size::I32;
      i += 2;
    } else {
      spec.size = Size::I;
    }
  }
}

// %d %i %u %x %X %o.
template <typename Ch, typename Src>
void FormatInteger(std::basic_string<Ch>& out, Ch conv, const Spec& spec, Src& src) {
  const bool isSigned = conv == 'd' || conv == 'i';
  std::uint64_t mag;
  bool neg = false;
  std::int64_t sv;
  switch (spec.size) {
    case Size::hh: sv = isSigned ? static_cast<signed char>(src.Int()) : static_cast<unsigned char>(src.Int()); break;
    case Size::h: sv = isSigned ? static_cast<short>(src.Int()) : static_cast<unsigned short>(src.Int()); break;
    case Size::ll:
    case Size::I64:
    case Size::I:
    case Size::L: sv = src.I64(); break;
    default:  // none, l, I32: 32 bits (MSVC's long is 32 bits)
      sv = isSigned ? static_cast<std::int64_t>(src.Int())
                    : static_cast<std::int64_t>(static_cast<std::uint32_t>(src.Int()));
      break;
  }
  if (isSigned && sv < 0) {
    neg = true;
    mag = static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(sv);
  } else {
    mag = static_cast<std::uint64_t>(sv);
  }
  const unsigned base = (conv == 'x' || conv == 'X') ? 16 : conv == 'o' ? 8 : 10;
  const char* digitsSet = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string digits;
  for (std::uint64_t v = mag; v; v /= base) digits.insert(digits.begin(), digitsSet[v % base]);
  if (mag == 0 && spec.prec != 0) digits = "0";
  if (spec.prec > 0 && digits.size() < static_cast<std::size_t>(spec.prec))
    digits.insert(0, static_cast<std::size_t>(spec.prec) - digits.size(), '0');
  if (conv == 'o' && spec.alt && (digits.empty() || digits[0] != '0')) digits.insert(digits.begin(), '0');
  std::string prefix;
  if (isSigned) {
    if (neg) prefix = "-";
    else if (spec.plus) prefix = "+";
    else if (spec.space) prefix = " ";
  }
  if (spec.alt && mag != 0 && base == 16) prefix += conv == 'X' ? "0X" : "0x";
  const bool leftZero = spec.zero && !spec.left;
  Emit<Ch>(out, Widen<Ch>(prefix), Widen<Ch>(digits), spec.width, spec.left, leftZero && spec.prec < 0);
}

// %p: all the pointer's hex digits, upper case.
template <typename Ch, typename Src>
void FormatPointer(std::basic_string<Ch>& out, const Spec& spec, Src& src) {
  auto v = reinterpret_cast<std::uintptr_t>(src.Ptr());
  std::string digits;
  for (int k = static_cast<int>(sizeof(v)) * 2 - 1; k >= 0; --k) digits += "0123456789ABCDEF"[(v >> (4 * k)) & 0xF];
  Emit<Ch>(out, {}, Widen<Ch>(digits), spec.width, spec.left, false);
}

// Whether a %c/%C/%s/%S argument is wide. Wide format: lower case wide,
// upper case narrow; narrow format: the other way. h forces narrow, l/w wide.
template <typename Ch>
bool WideArgument(Ch conv, const Spec& spec) {
  constexpr bool kWideOut = std::is_same_v<Ch, wchar_t>;
  bool wideArg = (conv == 'c' || conv == 's') == kWideOut;
  if (spec.narrowMod) wideArg = false;
  if (spec.wideMod) wideArg = true;
  return wideArg;
}

// %c %C.
template <typename Ch, typename Src>
void FormatChar(std::basic_string<Ch>& out, Ch conv, const Spec& spec, Src& src) {
  const bool wideArg = WideArgument(conv, spec);
  int ch = src.Int();
  Emit<Ch>(out, {}, CharText(static_cast<Ch*>(nullptr), ch, wideArg), spec.width, spec.left,
           spec.zero && !spec.left);
}

// %s %S.
template <typename Ch, typename Src>
void FormatString(std::basic_string<Ch>& out, Ch conv, const Spec& spec, Src& src) {
  const bool wideArg = WideArgument(conv, spec);
  const void* p = src.Ptr();
  std::basic_string<Ch> body;
  AppendText(body, p, wideArg, spec.prec);
  Emit<Ch>(out, {}, body, spec.width, spec.left, spec.zero && !spec.left);
}

// %f %F %e %E %g %G %a %A, through the C library with the same spec.
template <typename Ch, typename Src>
void FormatFloat(std::basic_string<Ch>& out, Ch conv, const Spec& spec, Src& src) {
  double v = src.Dbl();  // L too: MSVC's long double is double
  std::string text = "%";
  if (spec.left) text += '-';
  if (spec.plus) text += '+';
  if (spec.space) text += ' ';
  if (spec.alt) text += '#';
  if (spec.zero) text += '0';
  if (spec.width >= 0) text += std::to_string(spec.width);
  if (spec.prec >= 0) text += "." + std::to_string(spec.prec);
  text += static_cast<char>(conv);
  char small[128];
  int n = std::snprintf(small, sizeof small, text.c_str(), v);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    out += Widen<Ch>(std::string(small, static_cast<std::size_t>(n)));
  } else {
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::snprintf(big.data(), big.size(), text.c_str(), v);
    out += Widen<Ch>(std::string(big.data(), static_cast<std::size_t>(n)));
  }
}

// Renders one conversion; false for a conversion it does not know.
template <typename Ch, typename Src>
bool FormatConversion(std::basic_string<Ch>& out, Ch conv, const Spec& spec, Src& src) {
  switch (conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': FormatInteger(out, conv, spec, src); return true;
    case 'p': FormatPointer(out, spec, src); return true;
    case 'c':
    case 'C': FormatChar(out, conv, spec, src); return true;
    case 's':
    case 'S': FormatString(out, conv, spec, src); return true;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': FormatFloat(out, conv, spec, src); return true;
    default: return false;
  }
}

template <typename Ch, typename Src>
void FormatEngine(std::basic_string<Ch>& out, std::basic_string_view<Ch> fmt, Src& src) {
  const std::size_t end = fmt.size();
  std::size_t i = 0;
  while (i < end) {
    Ch c = fmt[i];
    if (c != static_cast<Ch>('%')) {
      out += c;
      ++i;
      continue;
    }
    const std::size_t start = i++;
    if (i >= end) {  // a lone '%' at the end stays as written
      out += c;
      break;
    }
    if (fmt[i] == static_cast<Ch>('%')) {
      out += c;
      ++i;
      continue;
    }
    Spec spec;
    ReadFlags(fmt, i, spec);
    ReadWidth(fmt, i, src, spec);
    ReadPrecision(fmt, i, src, spec);
    ReadSize(fmt, i, spec);
    if (i >= end) {  // unfinished conversion: copy as written
      out.append(fmt.substr(start));
      break;
    }
    const Ch conv = fmt[i++];
    // Unknown conversions (and %n, which MSVC disables): copied as written;
    // no argument is consumed for the conversion itself.
    if (!FormatConversion(out, conv, spec, src)) out.append(fmt.substr(start, i - start));
  }
}

}  // namespace

std::wstring FormatWV(const wchar_t* format, va_list args) {
  std::wstring out;
  if (!format) return out;
  VaSource src;
  va_copy(src.ap, args);
  FormatEngine<wchar_t>(out, std::wstring_view(format), src);
  va_end(src.ap);
  return out;
}

std::wstring FormatW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = FormatWV(format, args);
  va_end(args);
  return out;
}

std::string FormatAV(const char* format, va_list args) {
  std::string out;
  if (!format) return out;
  VaSource src;
  va_copy(src.ap, args);
  FormatEngine<char>(out, std::string_view(format), src);
  va_end(src.ap);
  return out;
}

std::string FormatA(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatAV(format, args);
  va_end(args);
  return out;
}

DWORD ExpandMessageInserts(std::wstring_view text, const DWORD_PTR* args, std::size_t argCount, bool ignoreInserts,
                           std::wstring& out) {
  std::wstring res;
  res.reserve(text.size());
  const std::size_t end = text.size();
  std::size_t i = 0;
  while (i < end) {
    wchar_t c = text[i];
    if (c != L'%') {
      res += c;
      ++i;
      continue;
    }
    if (i + 1 >= end) {  // '%' as the last character stays
      res += c;
      break;
    }
    wchar_t d = text[i + 1];
    if (d >= L'1' && d <= L'9') {
      std::size_t j = i + 2;
      std::size_t n = static_cast<std::size_t>(d - L'0');
      if (j < end && text[j] >= L'0' && text[j] <= L'9') {
        n = n * 10 + static_cast<std::size_t>(text[j] - L'0');
        ++j;
      }
      if (ignoreInserts) {
        res.append(text.substr(i, j - i));
        i = j;
        continue;
      }
      std::wstring spec = L"%s";
      if (j < end && text[j] == L'!') {
        std::size_t close = text.find(L'!', j + 1);
        if (close == std::wstring_view::npos) {
          out.clear();
          return ERROR_INVALID_PARAMETER;
        }
        spec = L"%";
        spec.append(text.substr(j + 1, close - j - 1));
        j = close + 1;
      }
      if (!args || n > argCount) {
        out.clear();
        return ERROR_INVALID_PARAMETER;
      }
      ArraySource src{args, argCount, n - 1};
      FormatEngine<wchar_t>(res, std::wstring_view(spec), src);
      if (src.failed) {
        out.clear();
        return ERROR_INVALID_PARAMETER;
      }
      i = j;
      continue;
    }
    i += 2;
    switch (d) {
      case L'0':
        out = std::move(res);
        return ERROR_SUCCESS;
      case L'n': res += L"\r\n"; break;
      case L'r': res += L'\r'; break;
      case L't': res += L'\t'; break;
      default: res += d; break;  // %% %. %! %space, and any other %x as x
    }
  }
  out = std::move(res);
  return ERROR_SUCCESS;
}

}  // namespace platform
