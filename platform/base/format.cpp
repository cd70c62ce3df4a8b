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

// --- The engine ---

template <typename Ch, typename Src>
void FormatEngine(std::basic_string<Ch>& out, std::basic_string_view<Ch> fmt, Src& src) {
  constexpr bool kWideOut = std::is_same_v<Ch, wchar_t>;
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
    bool left = false, plus = false, space = false, alt = false, zero = false;
    for (; i < end; ++i) {
      Ch f = fmt[i];
      if (f == '-') left = true;
      else if (f == '+') plus = true;
      else if (f == ' ') space = true;
      else if (f == '#') alt = true;
      else if (f == '0') zero = true;
      else break;
    }
    int width = -1;
    if (i < end && fmt[i] == '*') {
      width = src.Int();
      if (width < 0) {
        left = true;
        width = width == INT32_MIN ? INT32_MAX : -width;
      }
      ++i;
    } else {
      while (i < end && fmt[i] >= '0' && fmt[i] <= '9') {
        width = (width < 0 ? 0 : width) * 10 + static_cast<int>(fmt[i] - '0');
        if (width > 1000000) width = 1000000;
        ++i;
      }
    }
    int prec = -1;
    if (i < end && fmt[i] == '.') {
      ++i;
      prec = 0;
      if (i < end && fmt[i] == '*') {
        prec = src.Int();
        if (prec < 0) prec = -1;
        ++i;
      } else {
        while (i < end && fmt[i] >= '0' && fmt[i] <= '9') {
          prec = prec * 10 + static_cast<int>(fmt[i] - '0');
          if (prec > 1000000) prec = 1000000;
          ++i;
        }
      }
    }
    Size size = Size::None;
    bool wideMod = false, narrowMod = false;
    if (i < end) {
      Ch s = fmt[i];
      if (s == 'h') {
        narrowMod = true;
        ++i;
        size = Size::h;
        if (i < end && fmt[i] == 'h') {
          size = Size::hh;
          ++i;
        }
      } else if (s == 'l') {
        wideMod = true;
        ++i;
        size = Size::l;
        if (i < end && fmt[i] == 'l') {
          size = Size::ll;
          ++i;
        }
      } else if (s == 'w') {
        wideMod = true;
        size = Size::l;
        ++i;
      } else if (s == 'L') {
        size = Size::L;
        ++i;
      } else if (s == 'j') {
        size = Size::ll;
        ++i;
      } else if (s == 'z' || s == 't') {
        size = Size::I;
        ++i;
      } else if (s == 'I') {
        ++i;
        if (i + 1 < end && fmt[i] == '6' && fmt[i + 1] == '4') {
          size = Size::I64;
          i += 2;
        } else if (i + 1 < end && fmt[i] == '3' && fmt[i + 1] == '2') {
          size = Size::I32;
          i += 2;
        } else {
          size = Size::I;
        }
      }
    }
    if (i >= end) {  // unfinished conversion: copy as written
      out.append(fmt.substr(start));
      break;
    }
    const Ch conv = fmt[i++];
    const bool leftZero = zero && !left;
    switch (conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const bool isSigned = conv == 'd' || conv == 'i';
        std::uint64_t mag;
        bool neg = false;
        std::int64_t sv;
        switch (size) {
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
        if (mag == 0 && prec != 0) digits = "0";
        if (prec > 0 && digits.size() < static_cast<std::size_t>(prec))
          digits.insert(0, static_cast<std::size_t>(prec) - digits.size(), '0');
        if (conv == 'o' && alt && (digits.empty() || digits[0] != '0')) digits.insert(digits.begin(), '0');
        std::string prefix;
        if (isSigned) {
          if (neg) prefix = "-";
          else if (plus) prefix = "+";
          else if (space) prefix = " ";
        }
        if (alt && mag != 0 && base == 16) prefix += conv == 'X' ? "0X" : "0x";
        Emit<Ch>(out, Widen<Ch>(prefix), Widen<Ch>(digits), width, left, leftZero && prec < 0);
        break;
      }
      case 'p': {
        auto v = reinterpret_cast<std::uintptr_t>(src.Ptr());
        std::string digits;
        for (int k = static_cast<int>(sizeof(v)) * 2 - 1; k >= 0; --k) digits += "0123456789ABCDEF"[(v >> (4 * k)) & 0xF];
        Emit<Ch>(out, {}, Widen<Ch>(digits), width, left, false);
        break;
      }
      case 'c':
      case 'C': {
        // Wide format: %c wide, %C narrow. Narrow format: %c narrow, %C wide.
        // h forces narrow, l/w wide.
        bool wideArg = (conv == 'c') == kWideOut;
        if (narrowMod) wideArg = false;
        if (wideMod) wideArg = true;
        int ch = src.Int();
        Emit<Ch>(out, {}, CharText(static_cast<Ch*>(nullptr), ch, wideArg), width, left, leftZero);
        break;
      }
      case 's':
      case 'S': {
        bool wideArg = (conv == 's') == kWideOut;
        if (narrowMod) wideArg = false;
        if (wideMod) wideArg = true;
        const void* p = src.Ptr();
        std::basic_string<Ch> body;
        AppendText(body, p, wideArg, prec);
        Emit<Ch>(out, {}, body, width, left, leftZero);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        double v = src.Dbl();  // L too: MSVC's long double is double
        std::string spec = "%";
        if (left) spec += '-';
        if (plus) spec += '+';
        if (space) spec += ' ';
        if (alt) spec += '#';
        if (zero) spec += '0';
        if (width >= 0) spec += std::to_string(width);
        if (prec >= 0) spec += "." + std::to_string(prec);
        spec += static_cast<char>(conv);
        char small[128];
        int n = std::snprintf(small, sizeof small, spec.c_str(), v);
        if (n < 0) break;
        if (static_cast<std::size_t>(n) < sizeof small) {
          out += Widen<Ch>(std::string(small, static_cast<std::size_t>(n)));
        } else {
          std::vector<char> big(static_cast<std::size_t>(n) + 1);
          std::snprintf(big.data(), big.size(), spec.c_str(), v);
          out += Widen<Ch>(std::string(big.data(), static_cast<std::size_t>(n)));
        }
        break;
      }
      default:
        // Unknown conversions (and %n, which MSVC disables): copied as
        // written; no argument is consumed for the conversion itself.
        out.append(fmt.substr(start, i - start));
        break;
    }
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
