// ExtensionWorkerScan.cpp - the scan step: passes over the pinned elements, the waits between them, the retry.
//
// A pass ends at the first element that is not pinned for this extension.
// Within a pass one bad element does not stop the others: its failure is
// logged the first time it is seen (and again only after it went away) and
// the element is skipped. A failure of the list itself or of the wait ends
// the attempt, which is retried after a backoff.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"

#include "LibService/ServiceLogger.h"

#include <optional>

using namespace extension_worker;

namespace {

constexpr DWORD MSG_ARCHIVE_LOOKUP_FAILED = 0x8000012C;

}  // namespace

CStatus CExtensionWorker::ProcessRecords(CStatus& status, std::function<bool()> keepRunning, HANDLE stopEvent) {
  SetNames();
  // A failure of the list or of the wait ends only the current attempt: the
  // worker tries again after a backoff, so its pins do not wait for a restart.
  m_backoff.Recovered();
  for (;;) {
    const CStatus failure = RunWorker(keepRunning, stopEvent);
    if (failure.IsOK()) break;  // only the stop ends a healthy attempt
    // One event per outage: the next one only after a pass has run again.
    if (m_backoff.FirstReport()) failure.Report();
    if (WaitForSingleObject(stopEvent, m_backoff.Wait()) != WAIT_TIMEOUT || !keepRunning()) break;
    m_backoff.Grow();
  }
  return status;
}

CStatus CExtensionWorker::RunWorker(const std::function<bool()>& keepRunning, HANDLE stopEvent) {
  std::unique_ptr<CPinnedElementWalk> walk = m_walkFactory ? m_walkFactory() : nullptr;
  if (!walk) return CStatus(NewErrorNumber(kAttachFailed, ERROR_NOT_READY));
  if (const DWORD code = walk->Open()) return CStatus(NewErrorNumber(kAttachFailed, code));

  m_busy.Clear();
  while (keepRunning()) {
    if (!m_busy.Busy()) {
      bool busy = false;
      CStatus failure = RunPass(*walk, busy, keepRunning);
      if (!failure.IsOK()) return failure;
      // A pass that ran ends the outage.
      m_backoff.Recovered();
      if (busy) m_busy.Begin(GetTickCount64());
    }
    const HANDLE handles[] = {m_rescanEvent, m_completionEvent, stopEvent};
    const DWORD timeout = m_busy.Limit(WaitTimeout(), GetTickCount64());
    const DWORD woke = WaitForMultipleObjects(3, handles, FALSE, timeout);
    if (woke == WAIT_FAILED) return CStatus(NewLastError(kWaitFailed));
    // A rescan alone does not end the busy state; a completion or the stop does.
    m_busy.AfterWait(woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2, GetTickCount64());
  }
  return CStatus();
}

DWORD CExtensionWorker::WaitTimeout() {
  const ULONGLONG now = GetTickCount64();
  platform::SrwExclusiveLock hold(m_lock);
  return m_keptPins.NextWait(now, kRescanIntervalMs);
}

CStatus CExtensionWorker::RunPass(CPinnedElementWalk& walk, bool& busy, const std::function<bool()>& keepRunning) {
  DWORD found = 0;
  try {
    found = walk.Find(ClsidString());
  } catch (const std::bad_alloc&) {
    found = ERROR_NOT_ENOUGH_MEMORY;
  } catch (DWORD code) {
    found = code != 0 ? code : ERROR_INVALID_DATA;
  } catch (...) {
    found = ERROR_INVALID_DATA;
  }
  if (found != 0) return CStatus(NewErrorNumber(kPassFailed, found));
  std::set<std::pair<ULONGLONG, LONG>> seen;
  auto note = [&](ULONGLONG position, const CStatus& failure) {
    const CError* error = failure.GetError();
    const std::pair<ULONGLONG, LONG> key{position, error->GetHRESULT() != 0 ? error->GetHRESULT() : error->GetCode()};
    if (!m_loggedFailures.count(key)) failure.Report();
    seen.insert(key);
  };
  // A stop ends the pass at the next element: a pass over a long list would
  // otherwise hold the stop and keep handing over work nobody waits for.
  std::optional<ULONGLONG> failedAt;
  while (!busy && keepRunning()) {
    CPinnedElement element;
    DWORD code = 0;
    CPinnedElementWalk::Step step = CPinnedElementWalk::Step::kEnd;
    try {
      step = walk.Next(element, code);
    } catch (...) {
      // A walk that cannot say where it is ends the pass; the next one finds again.
      break;
    }
    if (step == CPinnedElementWalk::Step::kEnd) break;
    if (step == CPinnedElementWalk::Step::kFailed) {
      // A walk that failed twice at one place did not move on: end the pass
      // rather than spin on the element.
      if (failedAt && *failedAt == element.position) break;
      failedAt = element.position;
      // An element being deleted is simply gone; any other code spoils only it.
      if (code != ERROR_DELETE_PENDING) note(element.position, CStatus(NewErrorNumber(kLoadFailed, code)));
      continue;
    }
    if (!element.pinned || element.name != ClsidString()) break;
    const CStatus failure = HandleElement(element, busy);
    if (!failure.IsOK()) note(element.position, failure);
  }
  m_loggedFailures.swap(seen);
  return CStatus();
}

CStatus CExtensionWorker::HandleElement(const CPinnedElement& element, bool& busy) {
  const platform::ComBstr key(element.keyString);
  platform::ComPtr<IArchiveObject> object;
  HRESULT hr = m_system->GetArchiveObject(key, object.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return CStatus(NewHRESULTMessage(kObjectFailed, hr, MSG_ARCHIVE_LOOKUP_FAILED, {element.keyString}));
  platform::ComPtr<IArchiveFile> file;
  hr = object->GetFile(element.id1, element.id2, element.id0, file.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return CStatus(NewHRESULTMessage(kFileFailed, hr, MSG_ARCHIVE_LOOKUP_FAILED, {element.keyString}));
  platform::ComPtr<IArchivePins> pins;
  hr = file.As(&pins);
  if (FAILED(hr)) return CStatus(NewHRESULT(kNoPins, hr));

  const std::wstring pinName = ExtensionNameCache::HasPinPrefix(element.name)
                                   ? element.name
                                   : ExtensionNameCache::PinNameText(element.name, element.value);
  if (IsKept(element.keyString, pinName)) return CStatus();
  const ULONGLONG erasures = m_erasures.load();
  platform::ComPtr<IArchivePin> pin;
  // A pin released while the scan looks at it (its operation ended
  // meanwhile, and the archive reads its record as going) leaves nothing to
  // hand over: no error, and the next pass sees whether it is still there.
  const HRESULT kPinGoing = HRESULT_FROM_WIN32(ERROR_DELETE_PENDING);
  hr = pins->GetPin(platform::ComVariant(pinName), pin.ReleaseAndGetAddressOf());
  if (hr == kPinGoing) return CStatus();
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinLookupFailed, hr));
  platform::ComVariant value;
  hr = pin->GetValue(&value);
  if (hr == kPinGoing) return CStatus();
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinReadFailed, hr));
  if (value.vt == VT_EMPTY) return CStatus();
  platform::ComVariant text;
  hr = VariantChangeType(&text, &value, 0, VT_BSTR);
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinNotText, hr));
  const std::wstring operation = platform::ComBstr::FromBstr(text.bstrVal).Str();
  return HandOver(operation, element.keyString, element, file.Get(), pin.Get(), pinName, erasures, busy);
}

bool CExtensionWorker::IsKept(const std::wstring& keyString, const std::wstring& pinName) {
  platform::SrwExclusiveLock hold(m_lock);
  return m_keptPins.IsKept(keyString, pinName, GetTickCount64());
}
