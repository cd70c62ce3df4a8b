// ExtensionWorkerCapacity.cpp - the capacity step: a running record takes the pin, else the provider's QueryCapacity.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

#include "LibService/ServiceLogger.h"

using namespace extension_worker;

namespace {

constexpr DWORD MSG_PROVIDER_FAILED = 0xC00001F4;
constexpr DWORD TRC_HAND_OVER_MODE[] = {0x000100C8, 0x000100C9, 0x000100CA, 0x000100CB};

}  // namespace

CStatus CExtensionWorker::HandOver(const std::wstring& operation, const std::wstring& keyString,
                                   const CPinnedElement& element, IArchiveFile* file, IArchivePin* pin,
                                   const std::wstring& pinName, ULONGLONG erasures, bool& busy) {
  const PostProcessRecord record(operation, keyString, element.id1, element.id2, element.id0);
  if (JoinRunning(record, file, pin, pinName, erasures)) return CStatus();

  const platform::ComBstr op(operation);
  ULONG mode = kOfferedMode;
  const HRESULT hr = CallProvider([&] { return m_provider->QueryCapacity(op, &mode); });
  if (hr == S_FALSE) {
    busy = true;
    return CStatus();
  }
  if (hr == E_FAIL) return CStatus(NewErrorMessage(kCapacityFailed, MSG_PROVIDER_FAILED, {RegisteredName()}));
  if (FAILED(hr)) return CStatus(NewHRESULT(kCapacityError, hr));
  TraceHandOver(mode, operation, keyString, element);
  return Schedule(op, keyString, file, pin, pinName, mode, busy);
}

void CExtensionWorker::TraceHandOver(ULONG mode, const std::wstring& operation, const std::wstring& keyString,
                                     const CPinnedElement& element) {
  if (mode >= std::size(TRC_HAND_OVER_MODE)) return;
  ServiceTrace(this, TRC_HAND_OVER_MODE[mode], operation.c_str(), keyString.c_str(), element.id1, element.id2,
               element.id0);
}

bool CExtensionWorker::JoinRunning(const PostProcessRecord& record, IArchiveFile* file, IArchivePin* pin,
                                   const std::wstring& pinName, ULONGLONG erasures) {
  platform::SrwExclusiveLock hold(m_lock);
  // Masked identities sort anywhere among the file's records: test them all.
  const PostProcessRecord first(record.Operation(), record.KeyString(), 0, 0, 0);
  for (auto it = m_inProgress.lower_bound(first); it != m_inProgress.end() && it->SameFile(record); ++it) {
    if (it->Compare(record, true) != 0) continue;
    PostProcessRecord::PinKey key;
    if (FAILED(PostProcessRecord::MakePinKey(file, pinName, key))) return false;
    it->AddPin(key, pin);
    return true;
  }
  // An operation that ended since the pin was read may have released it or
  // kept it; releases happen under the shared lock, so this read sees the last one.
  if (m_erasures.load() == erasures) return false;
  return m_keptPins.IsKept(record.KeyString(), pinName, GetTickCount64()) || !StillPinned(pin);
}
