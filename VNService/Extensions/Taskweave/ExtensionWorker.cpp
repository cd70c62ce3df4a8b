// ExtensionWorker.cpp - the worker's provider face (IProviderSupport), its runners and its records.
//
// Every IProviderSupport method is a COM method called from provider code:
// nothing thrown may leave it, so each one catches at its edge.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"

#include "VNService/Extensions/Taskweave/FragmentWalk.h"

#include "LibService/ServiceLogger.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include <new>

namespace {

// Trace ids of provider log lines, by severity 0-3.
constexpr DWORD kLogMessageIds[] = {0x0001012C, 0x4001012C, 0x8001012C, 0xC001012C};
// Where the runner's failures are reported from.
constexpr CSourcePos kRunnerFailed{"TaskweaveService", 219};

HRESULT FromException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (HRESULT hr) {
    return FAILED(hr) ? hr : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

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

// --- COperationRun ---

COperationRun::COperationRun(std::shared_ptr<CExtensionWorker> worker, RecordSet::iterator record,
                             platform::ComBstr operation, platform::ComPtr<IPostProcessParameters> parameters)
    : m_worker(std::move(worker)), m_record(record), m_operation(std::move(operation)),
      m_parameters(std::move(parameters)) {}

COperationRun::~COperationRun() { Finish(true); }

void COperationRun::Finish(bool wake) {
  if (m_finished.exchange(true)) return;
  m_worker->EraseRecord(m_record);
  if (wake) m_worker->OperationComplete();
}

// --- CExtensionWorker ---

CExtensionWorker::CExtensionWorker(IArchiveSystem* system, IProviderOperations* provider, const GUID& clsid,
                                   LogFunction log)
    : CExtensionRegistryOperations(&clsid),
      m_log(std::move(log)),
      m_reportEvent([](DWORD id, const std::vector<std::wstring>& strings) { ::ReportEvent(nullptr, id, strings); }),
      m_walkFactory(&MakeFragmentListWalk),
      m_system(system),
      m_provider(provider),
      m_rescanEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_completionEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
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

std::size_t CExtensionWorker::InProgressCount() {
  platform::SrwSharedLock hold(m_lock);
  return m_inProgress.size();
}

HRESULT CExtensionWorker::StartResult(const CStatus& status) {
  const CError* error = status.GetError();
  if (error == nullptr) return S_OK;
  const HRESULT hr = error->GetHRESULT();
  if (FAILED(hr)) return hr;
  // A message error has no code of its own; the framework's only one on a
  // thread start is the failed allocation.
  return error->GetMessageId() == MSG_OUT_OF_MEMORY ? E_OUTOFMEMORY : E_FAIL;
}

void CExtensionWorker::EraseRecord(RecordSet::iterator record) {
  const ULONGLONG retryAt = GetTickCount64() + m_keptRetryMs;
  bool kept = false;
  {
    platform::SrwExclusiveLock hold(m_lock);
    for (std::wstring& pinName : record->KeptPinNames()) {
      m_kept[{record->KeyString(), std::move(pinName)}] = retryAt;
      kept = true;
    }
    m_inProgress.erase(record);
    m_erasures.fetch_add(1);
  }
  // The scan may be waiting with a timeout chosen before this pin was kept.
  if (kept) SetEvent(m_rescanEvent);
}

// --- the runner ---

CStatus CExtensionWorker::RunOperation(CStatus& status, std::shared_ptr<COperationRun> run) {
  if (!run) return status = CStatus(NewHRESULT(kRunnerFailed, E_INVALIDARG));
  HRESULT hr = S_OK;
  bool threw = false;
  if (run->Parameters() == nullptr) {
    hr = E_INVALIDARG;
  } else {
    try {
      hr = m_provider->ExecuteOperation(run->Operation(), run->Parameters(), this);
    } catch (...) {
      hr = FromException();
      threw = true;
    }
  }
  // A provider that threw will not report completion itself.
  run->Finish(threw);
  if (hr != S_OK) status = CStatus(NewHRESULT(kRunnerFailed, hr));
  return status;
}

// --- IProviderSupport ---

STDMETHODIMP CExtensionWorker::PostProcess(BSTR operation, IPostProcessParameters* parameters) {
  try {
    return PostProcessUnguarded(operation, parameters);
  } catch (...) {
    return FromException();
  }
}

HRESULT CExtensionWorker::PostProcessUnguarded(BSTR operation, IPostProcessParameters* parameters) {
  if (parameters == nullptr) return E_INVALIDARG;
  PostProcessRecord record;
  HRESULT hr = PostProcessRecord::Build(operation, parameters, record);
  if (FAILED(hr)) return hr;
  platform::ComPtr<IUnknown> identity;
  hr = parameters->QueryInterface(IID_IArchiveIdentity, identity.PutVoid());
  if (FAILED(hr)) return hr;
  platform::ComPtr<IArchivePin> pin;
  hr = parameters->QueryInterface(IID_IArchivePin, pin.PutVoid());
  if (FAILED(hr)) return hr;
  auto* ours = dynamic_cast<CPostProcessParameters*>(parameters);
  PostProcessRecord::PinKey key;
  hr = PostProcessRecord::MakePinKey(identity.Get(), ours != nullptr ? ours->PinName() : std::wstring(), key);
  if (FAILED(hr)) return hr;

  RecordSet::iterator inserted;
  {
    platform::SrwExclusiveLock hold(m_lock);
    const auto found = m_inProgress.find(record);
    if (found == m_inProgress.end() && !StillPinned(pin.Get())) {
      // Its work is done and the pin released: a late or repeated hand-over.
      if (ours != nullptr) ours->MarkPostProcessed();
      return kMergedIntoRunning;
    }
    auto [where, added] = m_inProgress.insert(std::move(record));
    where->AddPin(key, pin.Get());
    if (ours != nullptr) ours->MarkPostProcessed();
    // The running operation owns the pin now; a second runner would erase
    // its record while it still works.
    if (!added) return kMergedIntoRunning;
    inserted = where;
  }
  auto run = std::make_shared<COperationRun>(shared_from_this(), inserted, platform::ComBstr::FromBstr(operation),
                                             platform::ComPtr<IPostProcessParameters>(parameters));
  hr = m_postProcess ? m_postProcess(run) : E_UNEXPECTED;
  if (FAILED(hr)) {
    // Nothing will run: the record goes, the pin stays for a later pass.
    if (ours != nullptr) ours->ClearPostProcessed();
    run->Finish(false);
  }
  return hr;
}

STDMETHODIMP CExtensionWorker::Unpin(BSTR operation, IPostProcessParameters* parameters) {
  try {
    return UnpinUnguarded(operation, parameters);
  } catch (...) {
    return FromException();
  }
}

HRESULT CExtensionWorker::UnpinUnguarded(BSTR operation, IPostProcessParameters* parameters) {
  if (parameters == nullptr) return E_INVALIDARG;
  PostProcessRecord record;
  const HRESULT hr = PostProcessRecord::Build(operation, parameters, record);
  if (FAILED(hr)) return hr;
  platform::SrwSharedLock hold(m_lock);
  const auto found = m_inProgress.find(record);
  if (found == m_inProgress.end()) return S_OK;
  return found->ReleasePins();
}

STDMETHODIMP CExtensionWorker::OperationComplete() {
  SetEvent(m_completionEvent);
  return S_OK;
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
