// OperationValues.cpp - an operation's values, converted without taking them over.
#include "providers/Framesight/OperationValues.h"

#include "platform/com/comptr.h"

namespace framesight {

namespace {

// The value as stored (VT_EMPTY when absent), or the call's failure.
HRESULT StoredValue(IPostProcessOperation* operation, const wchar_t* name, VARIANT& value) {
  VariantInit(&value);
  platform::ComBstr valueName(name);
  if (valueName.Get() == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = operation->GetValue(valueName.Get(), &value);
  if (hr == S_FALSE) VariantInit(&value);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace

HRESULT OperationText(IPostProcessOperation* operation, const wchar_t* name, std::wstring& out) {
  out.clear();
  VARIANT value;  // the operation's own
  if (HRESULT hr = StoredValue(operation, name, value); FAILED(hr)) return hr;
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return S_OK;
  platform::ComVariant text;
  if (HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR); FAILED(hr)) return hr;
  out = platform::ComBstr::FromBstr(text.bstrVal).Str();
  return S_OK;
}

std::wstring OperationName(IPostProcessOperation* operation) {
  BSTR own = nullptr;  // the operation's own string
  if (FAILED(operation->GetName(&own)) || own == nullptr) return std::wstring();
  return std::wstring(own, SysStringLen(own));
}

HRESULT UnpinOnError(IPostProcessOperation* operation, bool& unpin) {
  unpin = true;
  VARIANT value;  // the operation's own
  if (HRESULT hr = StoredValue(operation, L"Unpin On Error", value); FAILED(hr)) return hr;
  if (value.vt == VT_EMPTY) return S_OK;
  platform::ComVariant flag;
  if (HRESULT hr = VariantChangeType(&flag, &value, 0, VT_BOOL); FAILED(hr)) return hr;
  unpin = flag.boolVal != VARIANT_FALSE;
  return S_OK;
}

}  // namespace framesight
