// automation_test.cpp - BSTR, VARIANT conversion and SAFEARRAY behaviour.
#include "platform/com/comptr.h"
#include "platform/com/oleauto.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using platform::ComBstr;
using platform::ComVariant;

std::wstring Text(BSTR b) { return b == nullptr ? std::wstring() : std::wstring(b, SysStringLen(b)); }

TEST(Bstr, LengthsAndEmbeddedNulls) {
  const wchar_t withNull[] = {L'a', L'\0', L'b'};
  BSTR s = SysAllocStringLen(withNull, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 3 * sizeof(wchar_t));
  EXPECT_EQ(s[1], L'\0');
  EXPECT_EQ(s[3], L'\0');  // terminated after the length
  EXPECT_EQ(Text(s), std::wstring(withNull, 3));
  SysFreeString(s);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);

  BSTR zeroed = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(SysStringLen(zeroed), 4u);
  EXPECT_EQ(zeroed[0], L'\0');
  SysFreeString(zeroed);
}

TEST(Bstr, ByteLengthIsKeptExactly) {
  BSTR s = SysAllocStringByteLen("abcde", 5);
  EXPECT_EQ(SysStringByteLen(s), 5u);
  EXPECT_EQ(SysStringLen(s), 1u);  // whole wchar_t only
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s), 5), "abcde");
  SysFreeString(s);
}

TEST(Bstr, ReAllocFromItsOwnText) {
  BSTR s = SysAllocString(L"hello world");
  ASSERT_TRUE(SysReAllocString(&s, s + 6));
  EXPECT_EQ(Text(s), L"world");
  ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 2));
  EXPECT_EQ(SysStringLen(s), 2u);
  SysFreeString(s);
}

TEST(Bstr, OwnerCopiesAndCompares) {
  ComBstr a(L"abc");
  ComBstr b = a;
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_TRUE(a == b);
  EXPECT_EQ(ComBstr().Length(), 0u);
  EXPECT_TRUE(ComBstr() == std::wstring_view());
  ASSERT_EQ(b.Append(L"de"), S_OK);
  EXPECT_EQ(b.Str(), L"abcde");
  BSTR out = nullptr;
  ASSERT_EQ(b.CopyTo(&out), S_OK);
  EXPECT_EQ(Text(out), L"abcde");
  SysFreeString(out);
}

// --- VariantChangeType ---

ComVariant Make(VARTYPE vt, LONGLONG value) {
  ComVariant v;
  v.vt = vt;
  v.llVal = 0;
  switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(value); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(value); break;
    case VT_I2: v.iVal = static_cast<SHORT>(value); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(value); break;
    case VT_I4: v.lVal = static_cast<LONG>(value); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(value); break;
    case VT_INT: v.intVal = static_cast<INT>(value); break;
    case VT_UINT: v.uintVal = static_cast<UINT>(value); break;
    case VT_BOOL: v.boolVal = static_cast<VARIANT_BOOL>(value); break;
    case VT_ERROR: v.scode = static_cast<SCODE>(value); break;
    default: v.llVal = value; break;
  }
  return v;
}

struct ToTextCase {
  const char* name;
  ComVariant source;
  USHORT flags;
  HRESULT hr;
  const wchar_t* text;
};

TEST(VariantChangeType, ToBstr) {
  const ToTextCase cases[] = {
      {"int32 decimal", Make(VT_I4, -42), 0, S_OK, L"-42"},
      {"uint8", Make(VT_UI1, 200), 0, S_OK, L"200"},
      {"int64 max", Make(VT_I8, INT64_MAX), 0, S_OK, L"9223372036854775807"},
      {"uint64 max", ComVariant(ULONGLONG(~0ull)), 0, S_OK, L"18446744073709551615"},
      {"real fraction", ComVariant(2.5), 0, S_OK, L"2.5"},
      {"real one tenth", ComVariant(0.1), 0, S_OK, L"0.1"},
      {"large real uses exponent", ComVariant(1e20), 0, S_OK, L"1E+20"},
      {"bool true alpha", ComVariant(true), VARIANT_ALPHABOOL, S_OK, L"True"},
      {"bool false alpha", ComVariant(false), VARIANT_ALPHABOOL, S_OK, L"False"},
      {"bool true numeric", ComVariant(true), 0, S_OK, L"-1"},
      {"bool false numeric", ComVariant(false), 0, S_OK, L"0"},
      {"empty gives empty", ComVariant(), 0, S_OK, L""},
      {"null mismatches", Make(VT_NULL, 0), 0, DISP_E_TYPEMISMATCH, nullptr},
      {"error mismatches", Make(VT_ERROR, E_FAIL), 0, DISP_E_TYPEMISMATCH, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComVariant out;
    EXPECT_EQ(VariantChangeType(&out, &c.source, c.flags, VT_BSTR), c.hr);
    if (c.hr == S_OK) {
      ASSERT_EQ(out.vt, VT_BSTR);
      ASSERT_NE(out.bstrVal, nullptr);
      EXPECT_EQ(Text(out.bstrVal), c.text);
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY);
    }
  }
}

struct ToBoolCase {
  const char* name;
  ComVariant source;
  HRESULT hr;
  VARIANT_BOOL value;
};

TEST(VariantChangeType, ToBool) {
  const ToBoolCase cases[] = {
      {"True", ComVariant(L"True"), S_OK, VARIANT_TRUE},
      {"false any case", ComVariant(L"fALSE"), S_OK, VARIANT_FALSE},
      {"#TRUE#", ComVariant(L"#TRUE#"), S_OK, VARIANT_TRUE},
      {"text 1", ComVariant(L"1"), S_OK, VARIANT_TRUE},
      {"text 0", ComVariant(L"0"), S_OK, VARIANT_FALSE},
      {"text -1", ComVariant(L"-1"), S_OK, VARIANT_TRUE},
      {"text with blanks", ComVariant(L"  true "), S_OK, VARIANT_TRUE},
      {"text yes", ComVariant(L"yes"), DISP_E_TYPEMISMATCH, 0},
      {"empty text", ComVariant(L""), DISP_E_TYPEMISMATCH, 0},
      {"number nonzero", Make(VT_I2, 7), S_OK, VARIANT_TRUE},
      {"number zero", Make(VT_UI4, 0), S_OK, VARIANT_FALSE},
      {"real nonzero", ComVariant(0.25), S_OK, VARIANT_TRUE},
      {"empty is false", ComVariant(), S_OK, VARIANT_FALSE},
      {"null mismatches", Make(VT_NULL, 0), DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComVariant out;
    EXPECT_EQ(VariantChangeType(&out, &c.source, 0, VT_BOOL), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(out.vt, VT_BOOL);
      EXPECT_EQ(out.boolVal, c.value);
    }
  }
}

struct NumberCase {
  const char* name;
  ComVariant source;
  VARTYPE to;
  HRESULT hr;
  LONGLONG value;  // compared through V_I8 of a copy changed to VT_I8, or as below
};

TEST(VariantChangeType, BetweenNumbersAndFromText) {
  const NumberCase cases[] = {
      {"i4 to i2 fits", Make(VT_I4, -32768), VT_I2, S_OK, -32768},
      {"i4 to i2 overflows", Make(VT_I4, 32768), VT_I2, DISP_E_OVERFLOW, 0},
      {"negative to ui4 overflows", Make(VT_I4, -1), VT_UI4, DISP_E_OVERFLOW, 0},
      {"ui8 max to i8 overflows", ComVariant(ULONGLONG(~0ull)), VT_I8, DISP_E_OVERFLOW, 0},
      {"ui1 to i1 overflows", Make(VT_UI1, 200), VT_I1, DISP_E_OVERFLOW, 0},
      {"real rounds half to even (2.5)", ComVariant(2.5), VT_I4, S_OK, 2},
      {"real rounds half to even (3.5)", ComVariant(3.5), VT_I4, S_OK, 4},
      {"real rounds -1.5", ComVariant(-1.5), VT_I4, S_OK, -2},
      {"real too big for i4", ComVariant(3e9), VT_I4, DISP_E_OVERFLOW, 0},
      {"real nan overflows", ComVariant(std::nan("")), VT_I4, DISP_E_OVERFLOW, 0},
      {"bool true to i4", ComVariant(true), VT_I4, S_OK, -1},
      {"empty to i4", ComVariant(), VT_I4, S_OK, 0},
      {"text decimal", ComVariant(L" 123 "), VT_I4, S_OK, 123},
      {"text negative", ComVariant(L"-5"), VT_I2, S_OK, -5},
      {"text fraction rounds", ComVariant(L"7.5"), VT_I4, S_OK, 8},
      {"text exponent", ComVariant(L"1e3"), VT_I4, S_OK, 1000},
      {"text hex", ComVariant(L"&HFF"), VT_I4, S_OK, 255},
      {"text octal", ComVariant(L"&O17"), VT_I4, S_OK, 15},
      {"text too big", ComVariant(L"70000"), VT_I2, DISP_E_OVERFLOW, 0},
      {"text i8 exact", ComVariant(L"9223372036854775807"), VT_I8, S_OK, INT64_MAX},
      {"text garbage", ComVariant(L"12abc"), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {"text inf is no number", ComVariant(L"inf"), VT_R8, DISP_E_TYPEMISMATCH, 0},
      {"empty text", ComVariant(L""), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {"null to i4", Make(VT_NULL, 0), VT_I4, DISP_E_TYPEMISMATCH, 0},
      {"error to i4", Make(VT_ERROR, 5), VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComVariant out;
    ASSERT_EQ(VariantChangeType(&out, &c.source, 0, c.to), c.hr);
    if (c.hr != S_OK) continue;
    ASSERT_EQ(out.vt, c.to);
    ComVariant wide;
    ASSERT_EQ(VariantChangeType(&wide, &out, 0, VT_I8), S_OK);
    EXPECT_EQ(wide.llVal, c.value);
  }
}

TEST(VariantChangeType, ToRealAndBack) {
  ComVariant out;
  ComVariant text(L"2.75");
  ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_R8), S_OK);
  EXPECT_DOUBLE_EQ(out.dblVal, 2.75);
  ComVariant big(1e300);
  EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_R4), DISP_E_OVERFLOW);
  EXPECT_EQ(out.vt, VT_R8);  // a failed conversion leaves the destination alone
  ComVariant i = Make(VT_I4, 3);
  ASSERT_EQ(VariantChangeType(&out, &i, 0, VT_R8), S_OK);
  EXPECT_DOUBLE_EQ(out.dblVal, 3.0);
}

TEST(VariantChangeType, InPlaceAndByReference) {
  ComVariant v(L"41");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the BSTR is freed, not leaked
  EXPECT_EQ(v.lVal, 41);

  LONG target = 17;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_I4 | VT_BYREF;
  ref.plVal = &target;
  ComVariant out;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(out.bstrVal), L"17");
  ComVariant ind;
  ASSERT_EQ(VariantCopyInd(&ind, &ref), S_OK);
  EXPECT_EQ(ind.vt, VT_I4);
  EXPECT_EQ(ind.lVal, 17);
  EXPECT_EQ(VariantClear(&ref), S_OK);  // by reference: nothing is freed
  EXPECT_EQ(target, 17);
}

TEST(Variant, ClearAndCopy) {
  ComVariant s(L"text");
  ComVariant copy;
  ASSERT_EQ(VariantCopy(&copy, &s), S_OK);
  EXPECT_NE(copy.bstrVal, s.bstrVal);
  EXPECT_EQ(Text(copy.bstrVal), L"text");

  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x7F;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  ComVariant out;
  EXPECT_EQ(VariantCopy(&out, &bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &s, 0, 0x7F), DISP_E_BADVARTYPE);
}

// --- SAFEARRAY ---

SAFEARRAY* BstrVector(std::initializer_list<const wchar_t*> items, LONG lower = 0) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(items.size()));
  LONG i = lower;
  for (const wchar_t* item : items) {
    ComBstr b(item);
    EXPECT_EQ(SafeArrayPutElement(a, &i, b.Get()), S_OK);
    ++i;
  }
  return a;
}

std::wstring GetText(SAFEARRAY* a, LONG i) {
  BSTR b = nullptr;
  EXPECT_EQ(SafeArrayGetElement(a, &i, &b), S_OK);
  std::wstring t = Text(b);
  SysFreeString(b);
  return t;
}

TEST(SafeArray, PutAndGetCopy) {
  SAFEARRAY* a = BstrVector({L"one", L"two"}, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(SafeArrayGetDim(a), 1u);
  VARTYPE vt = VT_EMPTY;
  ASSERT_EQ(SafeArrayGetVartype(a, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  EXPECT_TRUE(a->fFeatures & FADF_BSTR);
  LONG lo = 0, hi = 0;
  ASSERT_EQ(SafeArrayGetLBound(a, 1, &lo), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(a, 1, &hi), S_OK);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 2);
  EXPECT_EQ(GetText(a, 2), L"two");

  // Get hands out a copy: freeing it leaves the element intact.
  LONG i = 1;
  BSTR got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(a, &i, &got), S_OK);
  BSTR* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(a, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_NE(data[0], got);
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(a), S_OK);
  SysFreeString(got);
  EXPECT_EQ(GetText(a, 1), L"one");

  // Put replaces (and frees) the old element; a null BSTR is allowed.
  ASSERT_EQ(SafeArrayPutElement(a, &i, nullptr), S_OK);
  EXPECT_EQ(GetText(a, 1), L"");
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
}

TEST(SafeArray, BoundsErrors) {
  SAFEARRAY* a = BstrVector({L"x"}, 5);
  BSTR b = nullptr;
  for (LONG index : {4, 6, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(SafeArrayGetElement(a, &index, &b), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(a, &index, L"y"), DISP_E_BADINDEX);
  }
  LONG bound = 0;
  EXPECT_EQ(SafeArrayGetLBound(a, 2, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(a, 0, &bound), DISP_E_BADINDEX);
  SafeArrayDestroy(a);

  SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
  ASSERT_NE(empty, nullptr);
  LONG zero = 0;
  EXPECT_EQ(SafeArrayGetElement(empty, &zero, &b), DISP_E_BADINDEX);
  ASSERT_EQ(SafeArrayGetUBound(empty, 1, &bound), S_OK);
  EXPECT_EQ(bound, -1);
  SafeArrayDestroy(empty);

  SAFEARRAYBOUND two[2] = {{1, 0}, {1, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_BSTR, 2, two), nullptr);  // one dimension only
}

TEST(SafeArray, RedimKeepsElements) {
  SAFEARRAY* a = BstrVector({L"a", L"b", L"c"});
  SAFEARRAYBOUND grow{5, 0};
  ASSERT_EQ(SafeArrayRedim(a, &grow), S_OK);
  EXPECT_EQ(GetText(a, 2), L"c");
  EXPECT_EQ(GetText(a, 4), L"");  // new elements are null BSTRs
  SAFEARRAYBOUND shrink{2, 0};
  ASSERT_EQ(SafeArrayRedim(a, &shrink), S_OK);  // "c" is freed (ASan checks)
  EXPECT_EQ(GetText(a, 1), L"b");
  LONG two = 2;
  BSTR b = nullptr;
  EXPECT_EQ(SafeArrayGetElement(a, &two, &b), DISP_E_BADINDEX);
  ASSERT_EQ(SafeArrayLock(a), S_OK);
  EXPECT_EQ(SafeArrayRedim(a, &grow), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnlock(a), S_OK);
  SafeArrayDestroy(a);
}

TEST(SafeArray, VariantElementsAndCopy) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  ComVariant text(L"v");
  ComVariant number(12);
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(a, &i, &text), S_OK);
  i = 1;
  ASSERT_EQ(SafeArrayPutElement(a, &i, &number), S_OK);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(a, &copy), S_OK);
  SafeArrayDestroy(a);  // the copy is deep
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(copy, &vt);
  EXPECT_EQ(vt, VT_VARIANT);
  ComVariant got;
  i = 0;
  ASSERT_EQ(SafeArrayGetElement(copy, &i, &got), S_OK);
  EXPECT_EQ(got.vt, VT_BSTR);
  EXPECT_EQ(Text(got.bstrVal), L"v");

  // An array inside a VARIANT is copied with it and destroyed by VariantClear.
  ComVariant holder;
  holder.vt = VT_ARRAY | VT_VARIANT;
  holder.parray = copy;
  ComVariant second(holder);
  EXPECT_NE(second.parray, holder.parray);
  i = 1;
  ComVariant n;
  ASSERT_EQ(SafeArrayGetElement(second.parray, &i, &n), S_OK);
  EXPECT_EQ(n.lVal, 12);
}

}  // namespace
