// ComObject.h - reference counting and IDispatch stubs shared by the archive's objects.
//
// Each archive object derives from ComObject with the interfaces it offers and
// answers QueryInterface from its own list (platform/com/com_object.h). The dual interfaces carry no type
// information, so their IDispatch part answers that it has none; the system's
// programs call them through the vtable. A count of live objects lets
// DllCanUnloadNow tell when the library may go.
#pragma once

#include "platform/com/com.h"
#include "platform/com/com_object.h"
#include "platform/com/oleauto.h"

#include <atomic>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vnarchive {

// Objects alive and LockServer locks held, across the library.
std::atomic<long>& LiveObjects();
std::atomic<long>& ServerLocks();

template <class... Interfaces>
class ComObject : public platform::ComObject<LiveObjects, Interfaces...> {
 public:
  // IDispatch, for the interfaces that are dual; unused by the others.
  STDMETHODIMP GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return DISP_E_MEMBERNOTFOUND;
  }
};

// The text of an in BSTR (a null BSTR is empty).
inline std::wstring_view BstrView(BSTR text) {
  return text == nullptr ? std::wstring_view() : std::wstring_view(text, SysStringLen(text));
}

// Hands text out through a BSTR out parameter.
inline HRESULT ReturnBstr(std::wstring_view text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace vnarchive
