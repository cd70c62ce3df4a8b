// bindings.h - what a provider writes into a consumer's row buffer through one binding.
//
// A binding names where in the consumer's buffer a column's value, length
// and status go (DBPART_VALUE, DBPART_LENGTH, DBPART_STATUS). The providers
// here hand every value over as text: into a WSTR array of cbMaxLen bytes
// (cut to whole characters and terminated), a WSTR by reference (a copy the
// consumer frees with CoTaskMemFree) or a BSTR (freed with SysFreeString).
#pragma once

#include "platform/oledb/oledb.h"

#include <algorithm>
#include <cwchar>
#include <string>

namespace platform::oledb {

// The object of type T at offset in the consumer's buffer.
template <class T>
T& BindingAt(BYTE* data, DBBYTEOFFSET offset) {
  return *reinterpret_cast<T*>(data + offset);
}
template <class T>
const T& BindingAt(const BYTE* data, DBBYTEOFFSET offset) {
  return *reinterpret_cast<const T*>(data + offset);
}

inline void PutLengthAndStatus(const DBBINDING& binding, BYTE* data, DBLENGTH length, DBSTATUS status) {
  if (binding.dwPart & DBPART_LENGTH) BindingAt<DBLENGTH>(data, binding.obLength) = length;
  if (binding.dwPart & DBPART_STATUS) BindingAt<DBSTATUS>(data, binding.obStatus) = status;
}

// text (null: the column is NULL) through binding; a type other than the
// three text forms is DBSTATUS_E_CANTCONVERTVALUE.
inline void PutTextBinding(const DBBINDING& binding, BYTE* data, const std::wstring* text) {
  const bool byReference = binding.wType == (DBTYPE_WSTR | DBTYPE_BYREF);
  const bool bstr = binding.wType == DBTYPE_BSTR;
  if (text == nullptr) {
    // A by-reference slot must not keep the previous row's pointer.
    if ((byReference || bstr) && (binding.dwPart & DBPART_VALUE)) BindingAt<void*>(data, binding.obValue) = nullptr;
    PutLengthAndStatus(binding, data, 0, DBSTATUS_S_ISNULL);
    return;
  }
  DBSTATUS status = DBSTATUS_S_OK;
  if (binding.dwPart & DBPART_VALUE) {
    if (byReference) {
      auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text->size() + 1) * sizeof(wchar_t)));
      if (copy != nullptr) std::wmemcpy(copy, text->c_str(), text->size() + 1);
      BindingAt<wchar_t*>(data, binding.obValue) = copy;
      if (copy == nullptr) status = DBSTATUS_E_UNAVAILABLE;
    } else if (bstr) {
      BindingAt<BSTR>(data, binding.obValue) = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
    } else if (binding.wType == DBTYPE_WSTR) {
      const std::size_t room = binding.cbMaxLen / sizeof(wchar_t);
      if (room == 0) {
        status = DBSTATUS_S_TRUNCATED;
      } else {
        const std::size_t count = std::min(text->size(), room - 1);
        wchar_t* out = &BindingAt<wchar_t>(data, binding.obValue);
        std::wmemcpy(out, text->data(), count);
        out[count] = L'\0';
        if (count < text->size()) status = DBSTATUS_S_TRUNCATED;
      }
    } else {
      status = DBSTATUS_E_CANTCONVERTVALUE;
    }
  }
  PutLengthAndStatus(binding, data, text->size() * sizeof(wchar_t), status);
}

}  // namespace platform::oledb
