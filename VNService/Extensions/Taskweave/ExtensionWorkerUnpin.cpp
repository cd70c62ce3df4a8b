// ExtensionWorkerUnpin.cpp - the unpin and complete step: Unpin, OperationComplete, the record's erase and its kept pins.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

using namespace extension_worker;

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

void CExtensionWorker::EraseRecord(RecordSet::iterator record) {
  bool kept = false;
  {
    platform::SrwExclusiveLock hold(m_lock);
    kept = m_keptPins.Keep(record->KeyString(), record->KeptPinNames(), GetTickCount64());
    m_inProgress.erase(record);
    m_erasures.fetch_add(1);
  }
  // The scan may be waiting with a timeout chosen before this pin was kept.
  if (kept) SetEvent(m_rescanEvent);
}
