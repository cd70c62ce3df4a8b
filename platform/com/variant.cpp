// variant.cpp - VARIANT lifetime, copies and type conversion.
//
// Conversions go through one intermediate number (signed, unsigned or real)
// so that every pair of numeric types shares the same range checks and the
// same rounding (half to even, as the automation runtime rounds).
#include "platform/com/oleauto.h"

#include "platform/base/text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

bool IsScalarType(VARTYPE t) {
  switch (t) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_BOOL: case VT_ERROR: case VT_CY: case VT_DATE:
      return true;
    default:
      return false;
  }
}

// Whether vt (with its flags) is a type a VARIANT may hold here.
bool IsValidVariantType(VARTYPE vt) {
  VARTYPE base = vt & VT_TYPEMASK;
  bool array = (vt & VT_ARRAY) != 0;
  bool byref = (vt & VT_BYREF) != 0;
  if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) return false;
  if (IsScalarType(base) || base == VT_BSTR || base == VT_UNKNOWN || base == VT_DISPATCH) return true;
  if (base == VT_VARIANT) return array || byref;
  if ((base == VT_EMPTY || base == VT_NULL) && !array && !byref) return true;
  if (base == VT_DECIMAL && byref) return true;
  return false;
}

// Size of the value a by-reference VARIANT points to.
std::size_t ByrefSize(VARTYPE base) {
  switch (base) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    default: return 8;  // 64-bit numbers, dates, currency and every pointer
  }
}

struct Number {
  enum Kind { Signed, Unsigned, Real } kind = Signed;
  LONGLONG s = 0;
  ULONGLONG u = 0;
  double d = 0;
};

// Decimal, "&H" hex or "&O" octal text, blanks around it allowed.
HRESULT ParseNumber(std::wstring_view text, Number& out) {
  std::string t = platform::Utf8FromWide(platform::Trim(text, platform::Blanks::Space));
  if (t.empty()) return DISP_E_TYPEMISMATCH;
  if (t.size() > 2 && t[0] == '&' && (t[1] == 'H' || t[1] == 'h' || t[1] == 'O' || t[1] == 'o')) {
    int base = (t[1] == 'H' || t[1] == 'h') ? 16 : 8;
    for (std::size_t i = 2; i < t.size(); ++i)
      if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(t[i])) : (t[i] >= '0' && t[i] <= '7')))
        return DISP_E_TYPEMISMATCH;
    errno = 0;
    ULONGLONG v = std::strtoull(t.c_str() + 2, nullptr, base);
    if (errno == ERANGE) return DISP_E_OVERFLOW;
    out.kind = Number::Unsigned;
    out.u = v;
    return S_OK;
  }
  // Validate the decimal grammar ourselves: strtod also takes "inf", "nan", hex floats.
  std::size_t i = 0;
  bool negative = false;
  if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
  std::size_t intDigits = 0, fracDigits = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++intDigits;
  bool integral = true;
  if (i < t.size() && t[i] == '.') {
    integral = false;
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return DISP_E_TYPEMISMATCH;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    integral = false;
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++expDigits;
    if (expDigits == 0) return DISP_E_TYPEMISMATCH;
  }
  if (i != t.size()) return DISP_E_TYPEMISMATCH;
  errno = 0;
  if (integral) {
    // Exact for the 64-bit types; fall back to a real beyond them.
    if (negative) {
      LONGLONG v = std::strtoll(t.c_str(), nullptr, 10);
      if (errno != ERANGE) {
        out.kind = Number::Signed;
        out.s = v;
        return S_OK;
      }
    } else {
      ULONGLONG v = std::strtoull(t.c_str(), nullptr, 10);
      if (errno != ERANGE) {
        out.kind = Number::Unsigned;
        out.u = v;
        return S_OK;
      }
    }
    errno = 0;
  }
  double d = std::strtod(t.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(d)) return DISP_E_OVERFLOW;
  out.kind = Number::Real;
  out.d = d;
  return S_OK;
}

HRESULT NumberFrom(const VARIANT& v, Number& n) {
  switch (v.vt) {
    case VT_EMPTY: n.kind = Number::Signed; n.s = 0; return S_OK;
    case VT_I1: n.s = v.cVal; return S_OK;
    case VT_I2: n.s = v.iVal; return S_OK;
    case VT_I4: n.s = v.lVal; return S_OK;
    case VT_INT: n.s = v.intVal; return S_OK;
    case VT_I8: n.s = v.llVal; return S_OK;
    case VT_BOOL: n.s = v.boolVal; return S_OK;
    case VT_UI1: n.kind = Number::Unsigned; n.u = v.bVal; return S_OK;
    case VT_UI2: n.kind = Number::Unsigned; n.u = v.uiVal; return S_OK;
    case VT_UI4: n.kind = Number::Unsigned; n.u = v.ulVal; return S_OK;
    case VT_UINT: n.kind = Number::Unsigned; n.u = v.uintVal; return S_OK;
    case VT_UI8: n.kind = Number::Unsigned; n.u = v.ullVal; return S_OK;
    case VT_R4: n.kind = Number::Real; n.d = v.fltVal; return S_OK;
    case VT_R8: n.kind = Number::Real; n.d = v.dblVal; return S_OK;
    case VT_BSTR:
      return ParseNumber(v.bstrVal == nullptr ? std::wstring_view()
                                              : std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal)),
                         n);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// The number as a signed value in [lo, hi] (reals rounded half to even).
HRESULT ToSigned(const Number& n, LONGLONG lo, LONGLONG hi, LONGLONG& out) {
  switch (n.kind) {
    case Number::Signed:
      if (n.s < lo || n.s > hi) return DISP_E_OVERFLOW;
      out = n.s;
      return S_OK;
    case Number::Unsigned:
      if (n.u > static_cast<ULONGLONG>(hi)) return DISP_E_OVERFLOW;
      out = static_cast<LONGLONG>(n.u);
      return S_OK;
    case Number::Real: {
      double r = std::nearbyint(n.d);  // default rounding mode: half to even
      // 2^63 is exactly representable; anything at or beyond it overflows.
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return DISP_E_OVERFLOW;
      LONGLONG v = static_cast<LONGLONG>(r);
      if (v < lo || v > hi) return DISP_E_OVERFLOW;
      out = v;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToUnsigned(const Number& n, ULONGLONG hi, ULONGLONG& out) {
  switch (n.kind) {
    case Number::Signed:
      if (n.s < 0 || static_cast<ULONGLONG>(n.s) > hi) return DISP_E_OVERFLOW;
      out = static_cast<ULONGLONG>(n.s);
      return S_OK;
    case Number::Unsigned:
      if (n.u > hi) return DISP_E_OVERFLOW;
      out = n.u;
      return S_OK;
    case Number::Real: {
      double r = std::nearbyint(n.d);
      if (!(r >= 0 && r < 18446744073709551616.0)) return DISP_E_OVERFLOW;
      ULONGLONG v = static_cast<ULONGLONG>(r);
      if (v > hi) return DISP_E_OVERFLOW;
      out = v;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

double ToReal(const Number& n) {
  switch (n.kind) {
    case Number::Signed: return static_cast<double>(n.s);
    case Number::Unsigned: return static_cast<double>(n.u);
    case Number::Real: return n.d;
  }
  return 0;
}

std::wstring Ascii(const char* s) { return std::wstring(s, s + std::strlen(s)); }

// %G with the given significant digits; C writes "1E+20" the way the
// automation runtime does.
std::wstring FormatReal(double d, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, d);
  if (std::strcmp(buf, "-0") == 0) return L"0";
  return Ascii(buf);
}

HRESULT ToText(const VARIANT& v, USHORT flags, std::wstring& out) {
  char buf[32];
  switch (v.vt) {
    case VT_EMPTY: out.clear(); return S_OK;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
        out = v.boolVal ? L"True" : L"False";
      else
        out = v.boolVal ? L"-1" : L"0";
      return S_OK;
    case VT_R4: out = FormatReal(v.fltVal, 7); return S_OK;
    case VT_R8: out = FormatReal(v.dblVal, 15); return S_OK;
    default: break;
  }
  Number n;
  HRESULT hr = NumberFrom(v, n);
  if (FAILED(hr)) return hr;
  if (n.kind == Number::Signed)
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n.s));
  else
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(n.u));
  out = Ascii(buf);
  return S_OK;
}

HRESULT ToBool(const VARIANT& v, VARIANT_BOOL& out) {
  if (v.vt == VT_BSTR) {
    std::wstring_view text = v.bstrVal == nullptr ? std::wstring_view() : std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal));
    const std::wstring_view word = platform::Trim(text, platform::Blanks::Space);
    if (platform::EqualsNoCase(word, L"True") || platform::EqualsNoCase(word, L"#TRUE#")) {
      out = VARIANT_TRUE;
      return S_OK;
    }
    if (platform::EqualsNoCase(word, L"False") || platform::EqualsNoCase(word, L"#FALSE#")) {
      out = VARIANT_FALSE;
      return S_OK;
    }
  }
  Number n;
  HRESULT hr = NumberFrom(v, n);
  if (FAILED(hr)) return hr;
  bool nonzero = n.kind == Number::Signed ? n.s != 0 : n.kind == Number::Unsigned ? n.u != 0 : n.d != 0;
  out = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// Converts a by-value src into the empty result.
HRESULT Convert(VARIANT& result, const VARIANT& src, USHORT flags, VARTYPE vt) {
  if (src.vt == vt) return VariantCopy(&result, &src);
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY) return S_OK;  // result is already empty
  if ((src.vt & VT_ARRAY) || src.vt == VT_ERROR || vt == VT_ERROR || vt == VT_NULL) return DISP_E_TYPEMISMATCH;

  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
    IUnknown* p = src.punkVal;
    if (p == nullptr) {
      result.vt = vt;
      result.punkVal = nullptr;
      return S_OK;
    }
    void* out = nullptr;
    HRESULT hr = p->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &out);
    if (FAILED(hr)) return hr;
    result.vt = vt;
    result.punkVal = static_cast<IUnknown*>(out);
    return S_OK;
  }
  // An object's value property would be asked here; there is no type
  // information to find it, so objects convert to nothing else.
  if (src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH) return DISP_E_TYPEMISMATCH;

  if (vt == VT_BSTR) {
    std::wstring text;
    HRESULT hr = ToText(src, flags, text);
    if (FAILED(hr)) return hr;
    BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (b == nullptr) return E_OUTOFMEMORY;
    result.vt = VT_BSTR;
    result.bstrVal = b;
    return S_OK;
  }
  if (vt == VT_BOOL) {
    VARIANT_BOOL b;
    HRESULT hr = ToBool(src, b);
    if (FAILED(hr)) return hr;
    result.vt = VT_BOOL;
    result.boolVal = b;
    return S_OK;
  }
  Number n;
  HRESULT hr = NumberFrom(src, n);
  if (FAILED(hr)) return hr;
  // True is all bits set, also in the unsigned types.
  if (src.vt == VT_BOOL && n.s != 0) {
    n.kind = Number::Unsigned;
    n.u = 0;
    switch (vt) {
      case VT_UI1: n.u = 0xFF; break;
      case VT_UI2: n.u = 0xFFFF; break;
      case VT_UI4: case VT_UINT: n.u = 0xFFFFFFFFu; break;
      case VT_UI8: n.u = ~0ull; break;
      default: n.kind = Number::Signed; break;
    }
  }
  LONGLONG s = 0;
  ULONGLONG u = 0;
  switch (vt) {
    case VT_I1: hr = ToSigned(n, -128, 127, s); result.cVal = static_cast<CHAR>(s); break;
    case VT_I2: hr = ToSigned(n, -32768, 32767, s); result.iVal = static_cast<SHORT>(s); break;
    case VT_I4: hr = ToSigned(n, INT32_MIN, INT32_MAX, s); result.lVal = static_cast<LONG>(s); break;
    case VT_INT: hr = ToSigned(n, INT32_MIN, INT32_MAX, s); result.intVal = static_cast<INT>(s); break;
    case VT_I8: hr = ToSigned(n, INT64_MIN, INT64_MAX, s); result.llVal = s; break;
    case VT_UI1: hr = ToUnsigned(n, 0xFF, u); result.bVal = static_cast<BYTE>(u); break;
    case VT_UI2: hr = ToUnsigned(n, 0xFFFF, u); result.uiVal = static_cast<USHORT>(u); break;
    case VT_UI4: hr = ToUnsigned(n, 0xFFFFFFFFu, u); result.ulVal = static_cast<ULONG>(u); break;
    case VT_UINT: hr = ToUnsigned(n, 0xFFFFFFFFu, u); result.uintVal = static_cast<UINT>(u); break;
    case VT_UI8: hr = ToUnsigned(n, UINT64_MAX, u); result.ullVal = u; break;
    case VT_R8: result.dblVal = ToReal(n); break;
    case VT_R4: {
      double d = ToReal(n);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
      result.fltVal = static_cast<float>(d);
      break;
    }
    default:
      return DISP_E_TYPEMISMATCH;  // currency, dates and decimals are not converted here
  }
  if (FAILED(hr)) {
    result.llVal = 0;
    return hr;
  }
  result.vt = vt;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANT* v) {
  if (v == nullptr) return;
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if ((v->vt == VT_UNKNOWN || v->vt == VT_DISPATCH) && v->punkVal != nullptr) {
      v->punkVal->Release();
    }
  }
  v->vt = VT_EMPTY;
  v->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
      copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal), SysStringByteLen(src->bstrVal));
      if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal != nullptr) {
      src->punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  if (src->byref == nullptr) return E_INVALIDARG;
  VARTYPE base = src->vt & ~VT_BYREF;
  VARIANT value;
  VariantInit(&value);
  if (base == VT_VARIANT) {
    if (src->pvarVal->vt & VT_BYREF) return E_INVALIDARG;  // one level of indirection only
    value = *src->pvarVal;
  } else if (base == VT_DECIMAL) {
    return DISP_E_TYPEMISMATCH;
  } else {
    value.vt = base;
    value.llVal = 0;
    if (base & VT_ARRAY)
      value.parray = *src->pparray;
    else
      std::memcpy(&value.llVal, src->byref, ByrefSize(base));
  }
  // value borrows src's referent; VariantCopy makes dest its own copy.
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = VariantCopy(&result, &value);
  if (FAILED(hr)) return hr;
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  if (!IsValidVariantType(vt) || (vt & VT_BYREF)) return DISP_E_BADVARTYPE;
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = VariantCopyInd(&value, src);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  result.llVal = 0;
  hr = Convert(result, value, flags, vt);
  VariantClear(&value);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  // On failure dest is left as it was; on success it is replaced.
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, USHORT flags, VARTYPE vt) {
  return VariantChangeType(dest, src, flags, vt);
}

namespace platform {

HRESULT InvokeByName(IDispatch* target, const wchar_t* name, WORD flags, const VARIANT* args, UINT argCount,
                     VARIANT* result) {
  if (target == nullptr || name == nullptr) return E_POINTER;
  if (argCount > 0 && args == nullptr) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = target->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  // Automation passes arguments last first.
  std::vector<VARIANT> reversed(args, args + argCount);
  for (UINT i = 0; i < argCount; ++i) reversed[i] = args[argCount - 1 - i];
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, argCount, 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  UINT argErr = 0;
  return target->Invoke(id, GUID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, &argErr);
}

}  // namespace platform
