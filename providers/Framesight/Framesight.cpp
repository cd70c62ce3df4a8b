// Framesight.cpp - the provider object: interface map, IDispatch, and the provider methods.
//
// QueryCapacity weighs the live job limit of the extension's key against the
// jobs running. The rest of the provider's work (which files need previews,
// the transcode jobs, the outputs' versions) is not here yet: those methods
// answer E_NOTIMPL.
#include "providers/Framesight/Framesight.h"

#include "providers/Framesight/FramesightModule.h"

#include "platform/base/text.h"

#include <cstring>
#include <exception>

namespace {

// Positions of Initialise's parameters, which are also their DISPIDs as a
// type library numbers them.
constexpr DISPID kKeyParameter = 0;
constexpr DISPID kSystemParameter = 1;
constexpr UINT kInitialiseParameters = 2;

// The argument for parameter position from the dispatch parameters
// (positional arguments come last-first, named ones by DISPID); null when
// the caller gave none. *slot is its index in rgvarg.
VARIANTARG* ArgumentAt(DISPPARAMS& params, DISPID position, UINT* slot) {
  for (UINT i = 0; i < params.cNamedArgs; ++i) {
    if (params.rgdispidNamedArgs[i] == position) {
      *slot = i;
      return &params.rgvarg[i];
    }
  }
  const UINT positional = params.cArgs - params.cNamedArgs;
  if (static_cast<UINT>(position) >= positional) return nullptr;
  *slot = params.cArgs - 1 - static_cast<UINT>(position);
  return &params.rgvarg[*slot];
}

}  // namespace

CFramesight::CFramesight() { FramesightModule().Lock(); }

CFramesight::~CFramesight() { FramesightModule().Unlock(); }

HRESULT CFramesight::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  CFramesight* object = nullptr;
  try {
    object = new CFramesight;
  } catch (const std::exception&) {
    // No memory, or no thread or event for watching the extension's key:
    // no exception may leave a COM call.
    return E_OUTOFMEMORY;
  }
  object->AddRef();
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

// --- IUnknown ---

HRESULT CFramesight::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IProviderOperations) {
    *ppv = static_cast<IProviderOperations*>(this);
  } else if (riid == IID_IServiceOperations) {
    *ppv = static_cast<IServiceOperations*>(this);
  } else if (riid == IID_IExtensionInit || riid == IID_IDispatch) {
    *ppv = static_cast<IExtensionInit*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CFramesight::AddRef() { return ++m_references; }

ULONG CFramesight::Release() {
  const ULONG left = --m_references;
  if (left == 0) delete this;
  return left;
}

// --- IDispatch ---

HRESULT CFramesight::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;  // the platform has no type information to hand out
  return S_OK;
}

HRESULT CFramesight::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return index == 0 ? E_NOTIMPL : DISP_E_BADINDEX;
}

HRESULT CFramesight::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (names == nullptr || ids == nullptr) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (names[0] == nullptr || !platform::EqualsNoCase(names[0], L"Initialise")) return DISP_E_UNKNOWNNAME;
  ids[0] = DISPID_Initialise;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    if (names[i] != nullptr && platform::EqualsNoCase(names[i], L"bstrKey")) {
      ids[i] = kKeyParameter;
    } else if (names[i] != nullptr && platform::EqualsNoCase(names[i], L"pSystem")) {
      ids[i] = kSystemParameter;
    } else {
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

HRESULT CFramesight::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                            EXCEPINFO* excepInfo, UINT* argErr) {
  if (riid != GUID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (id != DISPID_Initialise || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr) return E_INVALIDARG;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr)) {
    return E_INVALIDARG;
  }
  if (params->cArgs != kInitialiseParameters) return DISP_E_BADPARAMCOUNT;
  for (UINT i = 0; i < params->cNamedArgs; ++i) {
    if (params->rgdispidNamedArgs[i] != kKeyParameter && params->rgdispidNamedArgs[i] != kSystemParameter) {
      if (argErr != nullptr) *argErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
  }
  UINT keySlot = 0;
  UINT systemSlot = 0;
  VARIANTARG* keyArgument = ArgumentAt(*params, kKeyParameter, &keySlot);
  VARIANTARG* systemArgument = ArgumentAt(*params, kSystemParameter, &systemSlot);
  if (keyArgument == nullptr || systemArgument == nullptr) return DISP_E_PARAMNOTOPTIONAL;

  VARIANT key;
  VariantInit(&key);
  if (FAILED(VariantChangeType(&key, keyArgument, 0, VT_BSTR))) {
    if (argErr != nullptr) *argErr = keySlot;
    return DISP_E_TYPEMISMATCH;
  }
  IUnknown* system = nullptr;
  if (systemArgument->vt == VT_UNKNOWN) {
    system = systemArgument->punkVal;
  } else if (systemArgument->vt == VT_DISPATCH) {
    system = systemArgument->pdispVal;
  } else {
    VariantClear(&key);
    if (argErr != nullptr) *argErr = systemSlot;
    return DISP_E_TYPEMISMATCH;
  }

  const HRESULT hr = Initialise(key.bstrVal, system);
  VariantClear(&key);
  if (FAILED(hr)) {
    // A dual method's failure reaches a late-bound caller as an exception.
    if (excepInfo != nullptr) {
      std::memset(excepInfo, 0, sizeof *excepInfo);
      excepInfo->scode = hr;
    }
    return DISP_E_EXCEPTION;
  }
  if (result != nullptr) VariantInit(result);
  return S_OK;
}

// --- IExtensionInit ---

HRESULT CFramesight::Initialise(BSTR, IUnknown*) { return E_NOTIMPL; }

// --- IProviderOperations ---

namespace {
// The identity mode that covers the file's second and third identity values
// and leaves the first to match any.
constexpr ULONG kModeVersionIdentity = 2;
}  // namespace

HRESULT CFramesight::QueryCapacity(BSTR, ULONG* mode) {
  const HRESULT lastFailure = m_lastFailure.load();
  if (FAILED(lastFailure)) return lastFailure;
  const auto active = static_cast<DWORD>(m_activeJobs.load());
  // Compared unsigned: a maximum of 0 refuses every job.
  if (active >= static_cast<DWORD>(m_maximumJobs.Get())) return S_FALSE;
  if (mode == nullptr) return E_POINTER;
  *mode = kModeVersionIdentity;
  return S_OK;
}

HRESULT CFramesight::ScheduleOperation(BSTR, IPostProcessParameters*, IProviderSupport*) { return E_NOTIMPL; }

HRESULT CFramesight::ExecuteOperation(BSTR, IPostProcessParameters*, IProviderSupport*) { return E_NOTIMPL; }

HRESULT CFramesight::Reserved6() { return S_OK; }

// --- IServiceOperations ---

// A provider that does not filter lets the caller's own answer stand.
HRESULT CFramesight::FilterFile(const void*, HRESULT fallback) { return fallback; }

HRESULT CFramesight::RequestPreparePreview(LPCWSTR, ULONG, ULONG, ULONG, IProviderSupport*) { return E_NOTIMPL; }

HRESULT CFramesight::Reserved5() { return S_OK; }
HRESULT CFramesight::Reserved7() { return S_OK; }
HRESULT CFramesight::Reserved8() { return S_OK; }

HRESULT CFramesight::RenameOutputs(BSTR, ULONG, ULONG, BSTR, ULONG, ULONG, IUnknown*) { return E_NOTIMPL; }

HRESULT CFramesight::DeleteOutputs(BSTR, ULONG, ULONG, IUnknown*) { return E_NOTIMPL; }
