// ExtensionWorker.cpp - the worker itself: its names, its trace, and the provider's log and event calls.
//
// Every IProviderSupport method is a COM method called from provider code:
// nothing thrown may leave it, so each one catches at its edge. The steps of
// a pinned file are in ExtensionWorker{Scan,Capacity,Schedule,Run,Unpin}.cpp.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"
#include "VNService/Extensions/Taskweave/FragmentWalk.h"

#include "LibService/ServiceLogger.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

using namespace extension_worker;

namespace {

// Trace ids of provider log lines, by severity 0-3.
constexpr DWORD kLogMessageIds[] = {0x0001012C, 0x4001012C, 0x8001012C, 0xC001012C};

// The insertion strings of a SAFEARRAY of BSTR, lower to upper bound.
HRESULT ReadStrings(SAFEARRAY* strings, std::vector<std::wstring>& out) {
  if (strings == nullptr || SafeArrayGetDim(strings) != 1) return E_INVALIDARG;
  VARTYPE type = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(strings, &type)) || type != VT_BSTR) return E_INVALIDARG;
  LONG lower = 0;
  LONG upper = -1;
  HRESULT hr = SafeArrayGetLBound(strings, 1, &lower);
  if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(strings, 1, &upper);
  if (FAILED(hr)) return hr;
  for (LONG i = lower; i <= upper; ++i) {
    BSTR text = nullptr;
    hr = SafeArrayGetElement(strings, &i, &text);
    if (FAILED(hr)) return hr;
    out.push_back(platform::ComBstr::FromBstr(text).Str());
    SysFreeString(text);
  }
  return S_OK;
}

// The item's full path, then its identity values id1, id2, id0 when it has one.
HRESULT ReadItemStrings(IUnknown* item, std::vector<std::wstring>& out) {
  platform::ComPtr<IArchiveFile> file;
  HRESULT hr = item->QueryInterface(IID_IArchiveFile, file.PutVoid());
  if (FAILED(hr)) return hr;
  platform::ComBstr path;
  hr = file->GetFullPath(path.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  out.push_back(path.Str());
  platform::ComPtr<IUnknown> identity;
  if (FAILED(item->QueryInterface(IID_IArchiveIdentity, identity.PutVoid()))) return S_OK;
  platform::ComPtr<IArchiveItems> items;
  hr = identity->QueryInterface(IID_IArchiveItems, items.PutVoid());
  if (FAILED(hr)) return hr;
  ULONG values[3] = {0, 0, 0};
  hr = items->GetItem(kPostProcessIdentityItem, values, sizeof values);
  if (FAILED(hr)) return hr;
  for (int index : {1, 2, 0}) out.push_back(platform::FormatW(L"%d", static_cast<int>(values[index])));
  return S_OK;
}

}  // namespace

bool StillPinned(IArchivePin* pin) {
  platform::ComVariant value;
  // A pin that cannot be read is treated as set: the work goes ahead.
  return FAILED(pin->GetValue(&value)) || value.vt != VT_EMPTY;
}

CExtensionWorker::CExtensionWorker(IArchiveSystem* system, IProviderOperations* provider, const GUID& clsid,
                                   LogFunction log)
    : m_log(std::move(log)),
      m_reportEvent([](DWORD id, const std::vector<std::wstring>& strings) { ::ReportEvent(nullptr, id, strings); }),
      m_walkFactory(&MakeFragmentListWalk),
      m_system(system),
      m_provider(provider),
      m_rescanEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_completionEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_rules(&clsid) {
  m_registeredName = ClsidString();
}

CExtensionWorker::~CExtensionWorker() {
  CloseHandle(m_rescanEvent);
  CloseHandle(m_completionEvent);
}

void CExtensionWorker::TraceLog(IProviderSupport* worker, ULONG messageId, const wchar_t* text) {
  ServiceTrace(static_cast<CExtensionWorker*>(worker), messageId, text);
}

std::string CExtensionWorker::GetTraceName() const {
  platform::SrwSharedLock hold(m_nameLock);
  return platform::Utf8FromWide(m_logName);
}

std::wstring CExtensionWorker::RegisteredName() const {
  platform::SrwSharedLock hold(m_nameLock);
  return m_registeredName;
}

std::wstring CExtensionWorker::LogNameOf(const std::wstring& registeredName) {
  const std::size_t dot = registeredName.rfind(L'.');
  return dot == std::wstring::npos ? registeredName : registeredName.substr(dot + 1);
}

void CExtensionWorker::SetNames() {
  std::wstring registered = ExtensionNameCache::Instance().TranslateOrKeep(ClsidString());
  platform::SrwExclusiveLock hold(m_nameLock);
  m_logName = LogNameOf(registered);
  m_registeredName = std::move(registered);
}

std::size_t CExtensionWorker::InProgressCount() {
  platform::SrwSharedLock hold(m_lock);
  return m_inProgress.size();
}

STDMETHODIMP CExtensionWorker::LogMessage(IUnknown*, ULONG severity, const wchar_t* text) {
  try {
    if (severity < std::size(kLogMessageIds) && m_log) m_log(this, kLogMessageIds[severity], text != nullptr ? text : L"");
  } catch (...) {
    // A log line that cannot be written is not the provider's failure.
  }
  return S_OK;
}

STDMETHODIMP CExtensionWorker::ReportEvent(ULONG eventId, IUnknown* item, SAFEARRAY* strings) {
  try {
    return ReportEventUnguarded(eventId, item, strings);
  } catch (...) {
    return FromException();
  }
}

HRESULT CExtensionWorker::ReportEventUnguarded(ULONG eventId, IUnknown* item, SAFEARRAY* strings) {
  std::vector<std::wstring> inserts;
  HRESULT hr = ReadStrings(strings, inserts);
  if (FAILED(hr)) return hr;
  if (item != nullptr) {
    hr = ReadItemStrings(item, inserts);
    if (FAILED(hr)) return hr;
  }
  // An event carries at most seven strings; more is the caller's mistake,
  // and a silent S_OK would hide it.
  if (inserts.size() > kMaxEventStrings) return E_INVALIDARG;
  if (m_reportEvent) m_reportEvent(eventId, inserts);
  return S_OK;
}
