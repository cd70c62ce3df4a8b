// oleauto.h - automation types: BSTR, VARIANT, SAFEARRAY and IDispatch.
//
// BSTR is a wchar_t* to the first character of a length-prefixed string: a
// 32-bit byte count sits just before it and a terminator just after, so a
// BSTR can be passed wherever a terminated wide string is read, yet may hold
// embedded nulls. A null BSTR means the empty string to every function here.
// SysStringByteLen is SysStringLen * sizeof(wchar_t), i.e. four bytes per
// character on Linux, because wchar_t is 32 bits; the byte count of
// SysAllocStringByteLen is kept exactly (an odd count of bytes stays odd).
//
// VARIANT holds the VT types the programs use. VariantChangeType follows the
// Windows conversion rules for the types below (see the function); types it
// does not know answer DISP_E_BADVARTYPE, pairs it does not convert
// DISP_E_TYPEMISMATCH.
//
// SAFEARRAY is one-dimensional (cDims == 1): arrays of BSTR, VARIANT,
// IUnknown*, IDispatch* and the scalar VT types. Put/Get copy (a BSTR put is
// copied in, a BSTR got is a fresh copy the caller frees); Destroy frees the
// elements. An index outside the bounds answers DISP_E_BADINDEX.
#pragma once

#include "platform/com/com.h"

using BSTR = wchar_t*;
using VARTYPE = USHORT;
using VARIANT_BOOL = SHORT;
using DATE = double;
using FLOAT = float;
using DOUBLE = double;
using CHAR = char;
using DISPID = LONG;
using MEMBERID = DISPID;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// --- BSTR ---
// Copies text up to its terminator; nullptr for a null text.
BSTR SysAllocString(const OLECHAR* text);
// length characters from text (which may hold nulls); with a null text the
// characters are left zeroed. Always terminated.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// byteCount bytes from bytes (zeroed when null), terminated by a whole
// wchar_t of zeros after them.
BSTR SysAllocStringByteLen(const char* bytes, UINT byteCount);
// Replaces *target with a copy of text (the old string freed); FALSE when
// out of memory (then *target is unchanged).
BOOL SysReAllocString(BSTR* target, const OLECHAR* text);
BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// Characters (0 for a null BSTR).
UINT SysStringLen(BSTR text);
// Bytes as stored (0 for a null BSTR).
UINT SysStringByteLen(BSTR text);

// --- VARIANT ---
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

struct IDispatch;
struct SAFEARRAY;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    // VT_BYREF forms.
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    void* byref;
    // Room for the largest Windows member (a DECIMAL or a record: 16 bytes).
    BYTE reserved_[16];
  };
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 24, "VARIANT keeps the 64-bit Windows size");

#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (((v)->vt & VT_BYREF) != 0)
#define V_ISARRAY(v) (((v)->vt & VT_ARRAY) != 0)
#define V_I1(v) ((v)->cVal)
#define V_UI1(v) ((v)->bVal)
#define V_I2(v) ((v)->iVal)
#define V_UI2(v) ((v)->uiVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I8(v) ((v)->llVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BSTRREF(v) ((v)->pbstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)
#define V_VARIANTREF(v) ((v)->pvarVal)
#define V_BYREF(v) ((v)->byref)

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
// VT_BOOL to VT_BSTR gives "True"/"False" (without it "-1"/"0", as Windows).
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// vt = VT_EMPTY; nothing else is touched.
void VariantInit(VARIANT* v);
// Frees what v owns (BSTR, interface reference, array) and sets VT_EMPTY;
// by-reference values are not freed. DISP_E_BADVARTYPE for an unknown vt
// (v is then unchanged).
HRESULT VariantClear(VARIANT* v);
// Clears dest, then makes it a deep copy of src (BSTR and arrays copied,
// interfaces AddRef'ed). By-reference values copy the reference.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference src is copied as the value it names.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Converts src to vt into dest (dest may be src). Rules, as Windows:
//  - VT_EMPTY gives 0, "" (an empty BSTR) or VARIANT_FALSE;
//  - VT_NULL to any other type is DISP_E_TYPEMISMATCH;
//  - integers and reals convert among themselves; a value that does not fit
//    the target is DISP_E_OVERFLOW; reals round half to even;
//  - numbers to VT_BSTR in decimal (reals with 15, VT_R4 7 significant
//    digits, "1E+20" form for large exponents);
//  - VT_BOOL to VT_BSTR: "True"/"False" with VARIANT_ALPHABOOL or
//    VARIANT_LOCALBOOL, otherwise "-1"/"0"; VT_BOOL to numbers -1/0;
//  - numbers to VT_BOOL: nonzero is VARIANT_TRUE;
//  - VT_BSTR to VT_BOOL: "True"/"False"/"#TRUE#"/"#FALSE#" in any case, or a
//    number (nonzero is VARIANT_TRUE); VT_BSTR to numbers: decimal text with
//    optional sign, fraction and exponent, or "&H"/"&O" hex/octal, blanks
//    around it allowed; anything else is DISP_E_TYPEMISMATCH;
//  - VT_DISPATCH/VT_UNKNOWN convert to each other by QueryInterface;
//    VT_ERROR converts to nothing but itself.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt);

// --- SAFEARRAY ---
struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

// nullptr for dims other than 1 or an element type not supported.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
// DISP_E_ARRAYISLOCKED while locked or accessed.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
// Keeps the elements that remain inside the new bounds, frees those
// dropped, zero-fills those added.
HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* newBound);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
// As Windows passes them: for VT_BSTR, VT_UNKNOWN and VT_DISPATCH value is
// the BSTR or interface pointer itself; for every other type (VT_VARIANT
// included) it points to the value. Put copies value in (freeing the old
// element); Get writes a copy into value without freeing what was there.
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, const void* value);
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* value);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, const LONG* indices, void** element);
HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out);

// --- IDispatch (named methods only; there is no type information) ---
struct ITypeInfo;  // never implemented here: GetTypeInfo answers E_NOTIMPL.

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // arguments in reverse order, as Windows passes them
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;

constexpr LCID LOCALE_USER_DEFAULT = 0x400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x800;

// The calling thread's locale, as the registrar brackets of in-process servers
// set and restore it. Every thread starts with the user's default locale,
// English (United States) here. SetThreadLocale takes any value and always
// succeeds: no text of this layer depends on it.
constexpr LCID kDefaultThreadLocale = 0x0409;
LCID GetThreadLocale();
BOOL SetThreadLocale(LCID locale);

constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007u);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001u);

struct IDispatch : IUnknown {
  STDMETHOD(GetTypeInfoCount)(UINT* count) PURE;                                         // slot 3
  STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** info) PURE;                  // slot 4
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) PURE;  // slot 5
  STDMETHOD(Invoke)(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                    EXCEPINFO* excepInfo, UINT* argErr) PURE;                            // slot 6
};
VN_DECLARE_IID(IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

namespace platform {

// Calls the named method (DISPATCH_METHOD) or property of target with args
// in their natural order (first argument first); result may be null.
// Answers GetIDsOfNames' failure (DISP_E_UNKNOWNNAME) or Invoke's.
HRESULT InvokeByName(IDispatch* target, const wchar_t* name, WORD flags, const VARIANT* args, UINT argCount,
                     VARIANT* result);

}  // namespace platform
