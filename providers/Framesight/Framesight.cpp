// Framesight.cpp - the provider object: interface map, IDispatch, settings, and which files get work.
//
// Initialise fixes the mode: preview mode makes one "Preview.webm" per
// accepted file, parameter-set mode one output per operation that the
// extension's rules give the file. ScheduleOperation asks the archive for
// the file's current version and its outputs' kept paths, and hands the file
// to the service's runner only when an output of that version is missing.
// The transcode jobs themselves are in TranscodeJob.cpp.
#include "providers/Framesight/Framesight.h"

#include "providers/Framesight/ArchivePaths.h"
#include "providers/Framesight/FramesightModule.h"
#include "providers/Framesight/OperationValues.h"
#include "providers/Framesight/OutputVersions.h"
#include "providers/Framesight/OutputWalk.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

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

namespace {

constexpr const wchar_t* kDefaultIncludeList =
    L"*.avi; *.mov; *.mp4; *.mpg; *.mxf; *.ts; *.wmv; *.jpg; *.png";
// The registration key's value that chooses the mode; "Operations" is
// parameter-set mode, anything else (or nothing) preview mode.
constexpr const wchar_t* kModeValue = L"Mode";
constexpr const wchar_t* kOperationsMode = L"Operations";

// A REG_SZ or REG_EXPAND_SZ value as stored (not expanded); none for any
// other type or a read error.
std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name) {
  std::wstring text;
  if (platform::RegReadString(key, name, text) != ERROR_SUCCESS) return std::nullopt;
  return text;
}

}  // namespace

HRESULT CFramesight::Initialise(BSTR key, IUnknown* system) {
  // The settings are read by every other call without a lock: they are
  // written once, here, before the service makes any other call.
  if (m_initialised) return E_UNEXPECTED;
  if (system == nullptr) return E_POINTER;
  platform::ComPtr<IArchiveSystem> archive;
  if (HRESULT hr = system->QueryInterface(IID_IArchiveSystem, archive.PutVoid()); FAILED(hr)) return hr;
  m_system = std::move(archive);
  m_initialised = true;

  // Only read here: the provider never writes its registration key.
  platform::RegKey settings;
  const bool opened = key != nullptr &&
                      RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, settings.put()) == ERROR_SUCCESS;
  if (opened) {
    const std::optional<std::wstring> mode = ReadText(settings.get(), kModeValue);
    if (mode && platform::EqualsNoCase(*mode, kOperationsMode)) return S_OK;
  }

  CPatternMatcher include;
  std::wstring includeText;
  std::wstring excludeText;
  if (opened) {
    includeText = ReadText(settings.get(), L"Include Path").value_or(L"");
    excludeText = ReadText(settings.get(), L"Exclude Path").value_or(L"");
    DWORD frames = 0;
    if (platform::RegReadDword(settings.get(), L"Frame Count", frames) == ERROR_SUCCESS) m_frameCount = frames;
    m_size = ReadText(settings.get(), L"Size");
    settings.reset();
  }
  if (includeText.empty()) includeText = kDefaultIncludeList;
  if (include.SetPatterns(includeText.c_str()) != ERROR_SUCCESS) include.SetPatterns(kDefaultIncludeList);
  m_include = std::move(include);
  if (!excludeText.empty()) {
    // A list the matcher refused would match nothing or everything; only an
    // accepted one excludes.
    CPatternMatcher exclude;
    if (exclude.SetPatterns(excludeText.c_str()) == ERROR_SUCCESS) m_exclude = std::move(exclude);
  }
  return S_OK;
}

// --- IProviderOperations ---

namespace {
// The identity mode that covers the file's second and third identity values
// and leaves the first to match any.
constexpr ULONG kModeVersionIdentity = 2;
// The identity pair answer of the archived file.
constexpr ULONG kIdentityPairBytes = 8;
// The output and log of preview mode.
constexpr const wchar_t* kPreviewOutput = L"Preview.webm";

// The archived file's identity pair as it is now (I1, I2); a pin holds the
// pair of the version it was taken for as its second and third values.
HRESULT ReadIdentityPair(IArchiveFileControl* control, ULONG (&pair)[2]) {
  BYTE bytes[kIdentityPairBytes] = {};
  ULONG returned = 0;
  if (HRESULT hr = control->Control(framesight::kControlIdentityPair, nullptr, 0, bytes, sizeof bytes, &returned);
      FAILED(hr))
    return hr;
  if (returned != kIdentityPairBytes) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  pair[0] = platform::LoadLe32(bytes);
  pair[1] = platform::LoadLe32(bytes + 4);
  return S_OK;
}

}  // namespace

HRESULT CFramesight::QueryCapacity(BSTR, ULONG* mode) {
  const HRESULT lastFailure = m_lastFailure.load();
  if (FAILED(lastFailure)) {
    if (GetTickCount64() < m_failureUntil.load()) return lastFailure;
    // The transcoder had its time to come back: try it again.
    HRESULT expected = lastFailure;
    m_lastFailure.compare_exchange_strong(expected, S_OK);
  }
  const auto active = static_cast<DWORD>(m_activeJobs.load());
  // Compared unsigned: a maximum of 0 refuses every job.
  if (active >= static_cast<DWORD>(m_maximumJobs.Get())) return S_FALSE;
  if (mode == nullptr) return E_POINTER;
  *mode = kModeVersionIdentity;
  return S_OK;
}

void CFramesight::MarkTranscoderUnavailable() {
  m_failureUntil.store(GetTickCount64() + kTranscoderUnavailableBackoffMs);
  m_lastFailure.store(E_FAIL);
}

HRESULT CFramesight::NeedsOutput(IPostProcessParameters* parameters, const std::wstring& name, bool& needed) {
  needed = false;
  platform::ComBstr kept;
  if (HRESULT hr = framesight::MapArchivePath(parameters, framesight::kControlCompanionPath, name, kept); FAILED(hr))
    return hr;
  framesight::OutputVersions versions(kept.Str());
  return versions.NeedsOutput(needed);
}

HRESULT CFramesight::Accept(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) {
  ++m_activeJobs;
  const HRESULT hr = support->PostProcess(operation, parameters);
  // A failure, or the worker's answer that the file joined a job already
  // running: no job of this call will end, so none is counted.
  if (FAILED(hr)) {
    EndJob();
    return hr;
  }
  return E_PENDING;
}

void CFramesight::EndJob() {
  // Never below zero: an end without its start (a caller's mistake) must not
  // leave a count that, compared unsigned, refuses every job for good.
  LONG active = m_activeJobs.load();
  while (active > 0 && !m_activeJobs.compare_exchange_weak(active, active - 1)) {
  }
}

HRESULT CFramesight::ScheduleOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) {
  if (parameters == nullptr || support == nullptr) return E_POINTER;
  if (!m_initialised) return E_UNEXPECTED;
  platform::ComPtr<IArchiveFile> file;
  if (HRESULT hr = parameters->QueryInterface(IID_IArchiveFile, file.PutVoid()); FAILED(hr)) return hr;
  ULONG identity[3] = {};
  if (HRESULT hr = parameters->GetItem(framesight::kItemIdentity, identity); FAILED(hr)) return hr;
  platform::ComPtr<IArchiveFileControl> control;
  if (HRESULT hr = file->QueryInterface(IID_IArchiveFileControl, control.PutVoid()); FAILED(hr)) return hr;
  ULONG pair[2] = {};
  if (HRESULT hr = ReadIdentityPair(control.Get(), pair); FAILED(hr)) return hr;
  // Rewritten since it was pinned: the pin's version needs nothing.
  if (pair[0] != identity[1] || pair[1] != identity[2]) return S_OK;

  if (!PreviewMode()) return ScheduleOperations(operation, parameters, support);
  bool needed = false;
  if (HRESULT hr = NeedsOutput(parameters, kPreviewOutput, needed); FAILED(hr)) return hr;
  return needed ? Accept(operation, parameters, support) : S_OK;
}

HRESULT CFramesight::ScheduleOperations(BSTR operation, IPostProcessParameters* parameters,
                                        IProviderSupport* support) {
  platform::ComPtr<IPostProcessOperations> operations;
  HRESULT hr = parameters->GetOperations(operations.ReleaseAndGetAddressOf());
  if (hr == S_FALSE) return S_OK;  // no rule gives the file an operation
  if (FAILED(hr)) return hr;
  if (!operations) return E_POINTER;
  // Every operation is looked at before the file is taken, so that each
  // name the archive refuses is reported here, once, and the others still run.
  bool needed = false;
  for (;;) {
    platform::ComPtr<IPostProcessOperation> each;
    hr = operations->Next(each.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    if (!each) break;
    std::wstring output;
    if (hr = framesight::OperationText(each.Get(), L"OutputFile", output); FAILED(hr)) return hr;
    if (output.empty()) {
      // Said once; the file is then released rather than refused, since a
      // refused file comes back on every pass with the same event.
      if (hr = ReportProviderEvent(support, MSG_MISSING_PARAMETER, parameters,
                                   {framesight::OperationName(each.Get()), L"OutputFile"});
          FAILED(hr))
        return hr;
      continue;
    }
    if (hr = CheckOperationNames(parameters, each.Get(), support, true); FAILED(hr)) return hr;
    if (hr == S_FALSE || needed) continue;
    if (hr = NeedsOutput(parameters, output, needed); FAILED(hr)) return hr;
  }
  return needed ? Accept(operation, parameters, support) : S_OK;
}

namespace {

// The archive's answers for an output or log name it will not map: the
// same on every pass, so the file is reported and released, not retried.
bool IsRefusedName(HRESULT hr) {
  return hr == E_INVALIDARG || hr == HRESULT_FROM_WIN32(ERROR_INVALID_NAME) ||
         hr == HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME) || hr == HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) ||
         hr == HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
}

}  // namespace

HRESULT CFramesight::CheckOperationNames(IPostProcessParameters* parameters, IPostProcessOperation* operation,
                                         IProviderSupport* support, bool report) {
  for (const wchar_t* value : {L"OutputFile", L"LogFile"}) {
    std::wstring name;
    if (HRESULT hr = framesight::OperationText(operation, value, name); FAILED(hr)) return hr;
    if (name.empty()) continue;
    platform::ComBstr mapped;
    const HRESULT hr = framesight::MapArchivePath(parameters, framesight::kControlCompanionPath, name, mapped);
    if (SUCCEEDED(hr)) continue;
    if (!IsRefusedName(hr)) return hr;
    if (report) {
      const std::wstring text = platform::FormatW(L"Operation '%s': the archive refuses the %s '%s'",
                                                  framesight::OperationName(operation).c_str(), value, name.c_str());
      if (HRESULT reported = ReportProviderEvent(support, MSG_TRANSCODE_FAILED, hr, parameters, {text});
          FAILED(reported))
        return reported;
    }
    return S_FALSE;
  }
  return S_OK;
}

CFramesight::SourceFate CFramesight::FateOfSource(IPostProcessParameters* parameters, const std::wstring& source) {
  platform::ComPtr<IArchiveFile> file;
  platform::ComBstr key;
  ULONG identity[3] = {};
  if (!m_system || FAILED(parameters->QueryInterface(IID_IArchiveFile, file.PutVoid())) ||
      FAILED(file->GetKeyString(key.ReleaseAndGetAddressOf())) ||
      FAILED(parameters->GetItem(framesight::kItemIdentity, identity)))
    return SourceFate::kSame;  // nothing to tell by: taken as it was
  // The key names the file itself: the archive follows it through a rename.
  platform::ComPtr<IArchiveObject> object;
  const HRESULT hr = m_system->GetArchiveObject(key.Get(), object.ReleaseAndGetAddressOf());
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
    return SourceFate::kGone;
  platform::ComPtr<IArchiveFile> now;
  platform::ComPtr<IArchiveFileControl> control;
  platform::ComBstr path;
  if (FAILED(hr) || !object || FAILED(object->QueryInterface(IID_IArchiveFile, now.PutVoid())) ||
      FAILED(now->GetFullPath(path.ReleaseAndGetAddressOf())) ||
      FAILED(object->QueryInterface(IID_IArchiveFileControl, control.PutVoid())))
    return SourceFate::kSame;
  ULONG pair[2] = {};
  const HRESULT read = ReadIdentityPair(control.Get(), pair);
  // Gone between the lookup and the read.
  if (read == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || read == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
    return SourceFate::kGone;
  if (SUCCEEDED(read) && (pair[0] != identity[1] || pair[1] != identity[2]))
    return SourceFate::kRewritten;
  return path.Str() == source ? SourceFate::kSame : SourceFate::kRenamed;
}

HRESULT CFramesight::Reserved6() { return S_OK; }

// --- IServiceOperations ---

namespace {
// The record's path starts after its 16-bit field; it stays in the process,
// so it holds wchar_t, read unaligned.
constexpr std::size_t kFilterRecordPathOffset = sizeof(WORD);
constexpr std::size_t kMaxFilterPathChars = 32767;

std::wstring RecordPath(const void* record) {
  const auto* at = static_cast<const BYTE*>(record) + kFilterRecordPathOffset;
  std::wstring path;
  for (std::size_t i = 0; i < kMaxFilterPathChars; ++i, at += sizeof(wchar_t)) {
    wchar_t c = 0;
    std::memcpy(&c, at, sizeof c);
    if (c == L'\0') break;
    path += c;
  }
  return path;
}

// A walk's failure with its event: the walk's own failure stays the answer
// when the event was reported, so the caller never reads a failed walk as done.
HRESULT ReportWalk(IUnknown* support, ULONG eventId, HRESULT walk, const std::wstring& keyString) {
  const HRESULT reported = CFramesight::ReportProviderEvent(support, eventId, walk, nullptr, {keyString});
  return FAILED(walk) && SUCCEEDED(reported) ? walk : reported;
}

}  // namespace

HRESULT CFramesight::FilterFile(const void* record, HRESULT fallback) {
  if (!PreviewMode()) return fallback;
  if (record == nullptr) return E_POINTER;
  const std::wstring path = RecordPath(record);
  if (!m_include->Match(path, false)) return S_FALSE;
  if (m_exclude && m_exclude->Match(path, false)) return S_FALSE;
  return S_OK;
}

HRESULT CFramesight::RequestPreparePreview(LPCWSTR path, ULONG, ULONG, ULONG, IProviderSupport* support) {
  if (path == nullptr || support == nullptr) return E_POINTER;
  // The caller's object is asked for the interface, not trusted to be one.
  platform::ComPtr<IProviderSupport> service;
  if (HRESULT hr = support->QueryInterface(IID_IProviderSupport, service.PutVoid()); FAILED(hr)) return hr;
  // A job needs the pinned file's parameters object, and a path alone gives
  // none: the extension service refuses work without one. Asking for it
  // anyway would only fail later, so the request is answered as not done,
  // with its event, instead of looking accepted.
  const HRESULT hr = std::wcschr(path, L':') == nullptr ? E_NOTIMPL : S_OK;
  const HRESULT reported = ReportProviderEvent(service.Get(), MSG_PREPARE_PREVIEW_FAILED, hr, nullptr, {path});
  return FAILED(hr) && SUCCEEDED(reported) ? hr : reported;
}

HRESULT CFramesight::Reserved5() { return S_OK; }
HRESULT CFramesight::Reserved7() { return S_OK; }
HRESULT CFramesight::Reserved8() { return S_OK; }

HRESULT CFramesight::RenameOutputs(BSTR keyString, ULONG id1, ULONG id2, BSTR newKeyString, ULONG newId1,
                                   ULONG newId2, IUnknown* support) {
  const std::wstring key = platform::ComBstr::FromBstr(keyString).Str();
  const HRESULT walk = !m_system ? E_UNEXPECTED
                                 : framesight::RenameOutputs(m_system.Get(), key, id1, id2,
                                                             platform::ComBstr::FromBstr(newKeyString).Str(), newId1,
                                                             newId2);
  return ReportWalk(support, MSG_RENAME_OUTPUTS_FAILED, walk, key);
}

HRESULT CFramesight::DeleteOutputs(BSTR keyString, ULONG id1, ULONG id2, IUnknown* support) {
  const std::wstring key = platform::ComBstr::FromBstr(keyString).Str();
  const HRESULT walk = !m_system ? E_UNEXPECTED : framesight::DeleteOutputs(m_system.Get(), key, id1, id2);
  return ReportWalk(support, MSG_DELETE_OUTPUTS_FAILED, walk, key);
}

// --- events ---

namespace {

// The system's text of an HRESULT (that of its Win32 code for one made from
// a Win32 code), or "HRESULT 0x%8.8X." when it has none.
std::wstring HresultText(HRESULT hr) {
  const auto value = static_cast<DWORD>(hr);
  std::wstring text = platform::SystemMessageText(value);
  if (text.empty() && HRESULT_FACILITY(hr) == FACILITY_WIN32) text = platform::SystemMessageText(HRESULT_CODE(hr));
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text.empty() ? platform::FormatW(L"HRESULT 0x%8.8X.", value) : text;
}

HRESULT SendEvent(IUnknown* support, ULONG eventId, IUnknown* item, const std::vector<std::wstring>& strings) {
  if (support == nullptr) return E_POINTER;
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 0);
  if (array == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = S_OK;
  for (const std::wstring& text : strings) {
    SAFEARRAYBOUND bound{0, 0};
    LONG upper = -1;
    SafeArrayGetUBound(array, 1, &upper);
    bound.cElements = static_cast<ULONG>(upper + 2);
    if (hr = SafeArrayRedim(array, &bound); FAILED(hr)) break;
    platform::ComBstr element(text);
    if (element.Get() == nullptr) {
      hr = E_OUTOFMEMORY;
      break;
    }
    const LONG index = upper + 1;
    if (hr = SafeArrayPutElement(array, &index, element.Get()); FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) {
    platform::ComPtr<IProviderSupport> service;
    platform::ComPtr<IProviderEventSink> sink;
    if (SUCCEEDED(support->QueryInterface(IID_IProviderSupport, service.PutVoid()))) {
      hr = service->ReportEvent(eventId, item, array);
    } else if (SUCCEEDED(support->QueryInterface(IID_IProviderEventSink, sink.PutVoid()))) {
      hr = sink->ReportEvent(eventId, array);
    } else {
      hr = E_NOINTERFACE;
    }
  }
  SafeArrayDestroy(array);
  return hr;
}

}  // namespace

HRESULT CFramesight::ReportProviderEvent(IUnknown* support, ULONG eventId, HRESULT hr, IUnknown* item,
                                         std::initializer_list<std::wstring> extra) {
  if (SUCCEEDED(hr)) return hr;
  std::vector<std::wstring> strings{platform::FormatW(L"0x%8.8X", static_cast<DWORD>(hr)), HresultText(hr)};
  strings.insert(strings.end(), extra.begin(), extra.end());
  return SendEvent(support, eventId, item, strings);
}

HRESULT CFramesight::ReportProviderEvent(IUnknown* support, ULONG eventId, IUnknown* item,
                                         std::initializer_list<std::wstring> strings) {
  return SendEvent(support, eventId, item, std::vector<std::wstring>(strings));
}
