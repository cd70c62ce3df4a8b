// safearray.cpp - one-dimensional SAFEARRAYs.
//
// Each array is one allocation: a hidden header holding the element VARTYPE
// (SafeArrayGetVartype reads it, as Windows keeps it just before the
// descriptor) followed by the SAFEARRAY descriptor; the elements are a
// separate zeroed block in pvData. cLocks counts Lock/AccessData; a locked
// array cannot be destroyed or resized. Arrays are not synchronised: like
// Windows', one array is used by one thread at a time.
#include "platform/com/oleauto.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

struct ArrayBlock {
  DWORD reserved;
  DWORD vt;  // element type, at the four bytes just before the descriptor
  SAFEARRAY array;
};
static_assert(offsetof(ArrayBlock, array) == 8);

ArrayBlock* BlockOf(SAFEARRAY* a) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(a) - offsetof(ArrayBlock, array));
}

VARTYPE TypeOf(SAFEARRAY* a) { return static_cast<VARTYPE>(BlockOf(a)->vt); }

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_UNKNOWN: case VT_DISPATCH: return sizeof(IUnknown*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN: return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
    default: return FADF_HAVEVARTYPE;
  }
}

// Frees what the elements [first, first+count) own and zeroes them.
void ReleaseElements(SAFEARRAY* a, ULONG first, ULONG count) {
  VARTYPE vt = TypeOf(a);
  char* base = static_cast<char*>(a->pvData) + static_cast<std::size_t>(first) * a->cbElements;
  for (ULONG i = 0; i < count; ++i) {
    void* e = base + static_cast<std::size_t>(i) * a->cbElements;
    if (vt == VT_BSTR) {
      SysFreeString(*static_cast<BSTR*>(e));
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (IUnknown* p = *static_cast<IUnknown**>(e)) p->Release();
    } else if (vt == VT_VARIANT) {
      VariantClear(static_cast<VARIANT*>(e));
    }
  }
  if (count > 0) std::memset(base, 0, static_cast<std::size_t>(count) * a->cbElements);
}

HRESULT ElementPtr(SAFEARRAY* a, const LONG* indices, void** out) {
  if (a == nullptr || indices == nullptr) return E_INVALIDARG;
  long long offset = static_cast<long long>(indices[0]) - a->rgsabound[0].lLbound;
  if (offset < 0 || offset >= static_cast<long long>(a->rgsabound[0].cElements)) return DISP_E_BADINDEX;
  *out = static_cast<char*>(a->pvData) + offset * a->cbElements;
  return S_OK;
}

// Writes a copy of the value that value stands for (see SafeArrayPutElement)
// into the empty, zeroed slot e.
HRESULT CopyIn(VARTYPE vt, ULONG size, void* e, const void* value) {
  switch (vt) {
    case VT_BSTR: {
      BSTR src = static_cast<BSTR>(const_cast<void*>(value));
      BSTR copy = nullptr;
      if (src != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src), SysStringByteLen(src));
        if (copy == nullptr) return E_OUTOFMEMORY;
      }
      *static_cast<BSTR*>(e) = copy;
      return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* p = static_cast<IUnknown*>(const_cast<void*>(value));
      if (p != nullptr) p->AddRef();
      *static_cast<IUnknown**>(e) = p;
      return S_OK;
    }
    case VT_VARIANT:
      VariantInit(static_cast<VARIANT*>(e));
      return VariantCopy(static_cast<VARIANT*>(e), static_cast<const VARIANT*>(value));
    default:
      std::memcpy(e, value, size);
      return S_OK;
  }
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
  if (dims != 1 || bounds == nullptr) return nullptr;
  ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
  if (block == nullptr) return nullptr;
  block->vt = vt;
  SAFEARRAY* a = &block->array;
  a->cDims = 1;
  a->fFeatures = FeaturesOf(vt);
  a->cbElements = size;
  a->rgsabound[0] = bounds[0];
  if (bounds[0].cElements > 0) {
    a->pvData = std::calloc(bounds[0].cElements, size);
    if (a->pvData == nullptr) {
      std::free(block);
      return nullptr;
    }
  }
  return a;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  SAFEARRAYBOUND bound{elements, lowerBound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* a) {
  if (a == nullptr) return S_OK;
  if (a->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  if (a->pvData != nullptr) ReleaseElements(a, 0, a->rgsabound[0].cElements);
  std::free(a->pvData);
  std::free(BlockOf(a));
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* a, const SAFEARRAYBOUND* bound) {
  if (a == nullptr || bound == nullptr) return E_INVALIDARG;
  if (a->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  ULONG oldCount = a->rgsabound[0].cElements;
  ULONG newCount = bound->cElements;
  if (newCount < oldCount) ReleaseElements(a, newCount, oldCount - newCount);
  if (newCount != oldCount) {
    void* data = nullptr;
    if (newCount > 0) {
      data = std::realloc(a->pvData, static_cast<std::size_t>(newCount) * a->cbElements);
      if (data == nullptr) return E_OUTOFMEMORY;
      if (newCount > oldCount)
        std::memset(static_cast<char*>(data) + static_cast<std::size_t>(oldCount) * a->cbElements, 0,
                    static_cast<std::size_t>(newCount - oldCount) * a->cbElements);
    } else {
      std::free(a->pvData);
    }
    a->pvData = data;
  }
  a->rgsabound[0] = *bound;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* a) { return a == nullptr ? 0 : a->cDims; }
UINT SafeArrayGetElemsize(SAFEARRAY* a) { return a == nullptr ? 0 : a->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* a, UINT dim, LONG* bound) {
  if (a == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  *bound = a->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* a, UINT dim, LONG* bound) {
  if (a == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  *bound = static_cast<LONG>(static_cast<long long>(a->rgsabound[0].lLbound) + a->rgsabound[0].cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* a, VARTYPE* vt) {
  if (a == nullptr || vt == nullptr) return E_INVALIDARG;
  *vt = TypeOf(a);
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* a, const LONG* indices, void** element) {
  if (element == nullptr) return E_INVALIDARG;
  return ElementPtr(a, indices, element);
}

HRESULT SafeArrayPutElement(SAFEARRAY* a, const LONG* indices, const void* value) {
  void* e = nullptr;
  HRESULT hr = ElementPtr(a, indices, &e);
  if (FAILED(hr)) return hr;
  VARTYPE vt = TypeOf(a);
  if (value == nullptr && vt != VT_BSTR && vt != VT_UNKNOWN && vt != VT_DISPATCH) return E_INVALIDARG;
  // Build the copy aside so a failure leaves the old element in place.
  alignas(VARIANT) unsigned char slot[sizeof(VARIANT)] = {};
  hr = CopyIn(vt, a->cbElements, slot, value);
  if (FAILED(hr)) return hr;
  long long index = static_cast<long long>(indices[0]) - a->rgsabound[0].lLbound;
  ReleaseElements(a, static_cast<ULONG>(index), 1);
  std::memcpy(e, slot, a->cbElements);
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* a, const LONG* indices, void* value) {
  void* e = nullptr;
  HRESULT hr = ElementPtr(a, indices, &e);
  if (FAILED(hr)) return hr;
  if (value == nullptr) return E_INVALIDARG;
  VARTYPE vt = TypeOf(a);
  switch (vt) {
    case VT_BSTR: return CopyIn(vt, a->cbElements, value, *static_cast<BSTR*>(e));
    case VT_UNKNOWN:
    case VT_DISPATCH: return CopyIn(vt, a->cbElements, value, *static_cast<IUnknown**>(e));
    default: return CopyIn(vt, a->cbElements, value, e);
  }
}

HRESULT SafeArrayLock(SAFEARRAY* a) {
  if (a == nullptr) return E_INVALIDARG;
  ++a->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* a) {
  if (a == nullptr) return E_INVALIDARG;
  if (a->cLocks == 0) return E_UNEXPECTED;
  --a->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* a, void** data) {
  if (a == nullptr || data == nullptr) return E_INVALIDARG;
  ++a->cLocks;
  *data = a->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* a) { return SafeArrayUnlock(a); }

HRESULT SafeArrayCopy(SAFEARRAY* a, SAFEARRAY** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  if (a == nullptr) return S_OK;
  VARTYPE vt = TypeOf(a);
  SAFEARRAY* copy = SafeArrayCreate(vt, 1, a->rgsabound);
  if (copy == nullptr) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < a->rgsabound[0].cElements; ++i) {
    void* from = static_cast<char*>(a->pvData) + static_cast<std::size_t>(i) * a->cbElements;
    void* to = static_cast<char*>(copy->pvData) + static_cast<std::size_t>(i) * a->cbElements;
    const void* value = from;
    if (vt == VT_BSTR) value = *static_cast<BSTR*>(from);
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) value = *static_cast<IUnknown**>(from);
    HRESULT hr = CopyIn(vt, a->cbElements, to, value);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *out = copy;
  return S_OK;
}
