// ExtensionWorkerRun.cpp - the post-process and run step: PostProcess records an operation, its runner executes it.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

using namespace extension_worker;

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

// --- PostProcess and the runner ---

HRESULT CExtensionWorker::StartResult(const CStatus& status) {
  const CError* error = status.GetError();
  if (error == nullptr) return S_OK;
  const HRESULT hr = error->GetHRESULT();
  if (FAILED(hr)) return hr;
  // A message error has no code of its own; the framework's only one on a
  // thread start is the failed allocation.
  return error->GetMessageId() == MSG_OUT_OF_MEMORY ? E_OUTOFMEMORY : E_FAIL;
}

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
