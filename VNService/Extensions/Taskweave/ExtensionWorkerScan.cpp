// ExtensionWorkerScan.cpp - the worker's passes: find pinned files, ask the provider, release what it leaves.
//
// A pass ends at the first element that is not pinned for this extension.
// Within a pass one bad element does not stop the others: its failure is
// logged the first time it is seen (and again only after it went away) and
// the element is skipped. Only a failure of the list itself or of the wait
// ends the worker.
#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"

#include "LibService/ServiceLogger.h"

#include <algorithm>
#include <optional>

namespace {

// Positions of the worker's errors.
constexpr const char* kSource = "ExtensionWorker";
constexpr CSourcePos kAttachFailed{kSource, 65};
constexpr CSourcePos kLoadFailed{kSource, 88};
constexpr CSourcePos kObjectFailed{kSource, 99};
constexpr CSourcePos kFileFailed{kSource, 102};
constexpr CSourcePos kNoPins{kSource, 105};
constexpr CSourcePos kPinLookupFailed{kSource, 115};
constexpr CSourcePos kPinReadFailed{kSource, 118};
constexpr CSourcePos kPinNotText{kSource, 120};
constexpr CSourcePos kCapacityFailed{kSource, 131};
constexpr CSourcePos kCapacityError{kSource, 133};
constexpr CSourcePos kReleaseFailed{kSource, 167};
constexpr CSourcePos kScheduleFailed{kSource, 172};
constexpr CSourcePos kPassFailed{kSource, 195};
constexpr CSourcePos kWaitFailed{kSource, 210};

// Events and trace lines of the scan.
constexpr DWORD MSG_ARCHIVE_LOOKUP_FAILED = 0x8000012C;
constexpr DWORD MSG_PROVIDER_FAILED = 0xC00001F4;
constexpr DWORD TRC_HAND_OVER_MODE[] = {0x000100C8, 0x000100C9, 0x000100CA, 0x000100CB};
constexpr DWORD TRC_RELEASED_UNUSED = 0x000100CC;

constexpr HRESULT kPinOffline = HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE);

HRESULT CallProvider(const std::function<HRESULT()>& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

void CExtensionWorker::SetNames() {
  std::wstring registered = ExtensionNameCache::Instance().TranslateOrKeep(ClsidString());
  platform::SrwExclusiveLock hold(m_nameLock);
  m_logName = LogNameOf(registered);
  m_registeredName = std::move(registered);
}

CStatus CExtensionWorker::ProcessRecords(CStatus& status, std::function<bool()> keepRunning, HANDLE stopEvent) {
  SetNames();
  // A failure of the list or of the wait ends only the current attempt: the
  // worker tries again after a backoff, so its pins do not wait for a restart.
  DWORD backoff = kRetryFirstMs;
  bool reported = false;
  for (;;) {
    const CStatus failure = RunWorker(keepRunning, stopEvent, backoff, reported);
    if (failure.IsOK()) break;  // only the stop ends a healthy attempt
    if (!reported) {
      // One event per outage: the next one only after a pass has run again.
      failure.Report();
      reported = true;
    }
    if (WaitForSingleObject(stopEvent, backoff) != WAIT_TIMEOUT || !keepRunning()) break;
    backoff = std::min<DWORD>(backoff * 2, kRetryMaxMs);
  }
  return status;
}

CStatus CExtensionWorker::RunWorker(const std::function<bool()>& keepRunning, HANDLE stopEvent, DWORD& backoff,
                                    bool& reported) {
  std::unique_ptr<CPinnedElementWalk> walk = m_walkFactory ? m_walkFactory() : nullptr;
  if (!walk) return CStatus(NewErrorNumber(kAttachFailed, ERROR_NOT_READY));
  if (const DWORD code = walk->Open()) return CStatus(NewErrorNumber(kAttachFailed, code));

  bool busy = false;
  ULONGLONG busySince = 0;
  while (keepRunning()) {
    if (!busy) {
      CStatus failure = RunPass(*walk, busy, keepRunning);
      if (!failure.IsOK()) return failure;
      // A pass that ran ends the outage.
      backoff = kRetryFirstMs;
      reported = false;
      if (busy) busySince = GetTickCount64();
    }
    const HANDLE handles[] = {m_rescanEvent, m_completionEvent, stopEvent};
    DWORD timeout = WaitTimeout();
    if (busy) {
      // The busy state lasts its bound from when it began, whatever wakes
      // the worker meanwhile.
      const ULONGLONG elapsed = GetTickCount64() - busySince;
      timeout = elapsed >= m_busyBoundMs ? 0 : std::min<DWORD>(timeout, static_cast<DWORD>(m_busyBoundMs - elapsed));
    }
    const DWORD woke = WaitForMultipleObjects(3, handles, FALSE, timeout);
    if (woke == WAIT_FAILED) return CStatus(NewLastError(kWaitFailed));
    if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_OBJECT_0 + 2) {
      busy = false;
    } else if (busy && GetTickCount64() - busySince >= m_busyBoundMs) {
      // A provider that never reports completion must not stop the worker for good.
      busy = false;
    }
  }
  return CStatus();
}

DWORD CExtensionWorker::WaitTimeout() {
  const ULONGLONG now = GetTickCount64();
  ULONGLONG wait = kRescanIntervalMs;
  platform::SrwExclusiveLock hold(m_lock);
  // A kept pin whose wait is over is forgotten: the pass just run has handed
  // it over if it is still there, and a note left behind would end every wait at once.
  for (auto it = m_kept.begin(); it != m_kept.end();) {
    if (it->second <= now) {
      it = m_kept.erase(it);
    } else {
      wait = std::min(wait, it->second - now);
      ++it;
    }
  }
  return static_cast<DWORD>(wait);
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
  hr = pins->GetPin(platform::ComVariant(pinName), pin.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinLookupFailed, hr));
  platform::ComVariant value;
  hr = pin->GetValue(&value);
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinReadFailed, hr));
  if (value.vt == VT_EMPTY) return CStatus();
  platform::ComVariant text;
  hr = VariantChangeType(&text, &value, 0, VT_BSTR);
  if (FAILED(hr)) return CStatus(NewHRESULT(kPinNotText, hr));
  const std::wstring operation = platform::ComBstr::FromBstr(text.bstrVal).Str();
  return HandOver(operation, element.keyString, element, file.Get(), pin.Get(), pinName, erasures, busy);
}

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

CStatus CExtensionWorker::Schedule(BSTR operation, const std::wstring& keyString, IArchiveFile* file,
                                   IArchivePin* pin, const std::wstring& pinName, ULONG mode, bool& busy) {
  platform::ComPtr<CPostProcessParameters> parameters(new CPostProcessParameters(
      file, pin, pinName, std::shared_ptr<CExtensionRegistryOperations>(shared_from_this(), this)));
  parameters->SetMode(mode);
  parameters->SetKeyString(keyString);
  const HRESULT hr = CallProvider([&] { return m_provider->ScheduleOperation(operation, parameters.Get(), this); });
  // E_PENDING: the provider took the work (or it joined work in progress).
  if (hr == E_PENDING) return CStatus();
  if (FAILED(hr)) return CStatus(NewHRESULT(kScheduleFailed, hr));
  // S_FALSE: the provider cannot take it now. Only S_OK is "nothing to do".
  if (hr != S_OK) {
    if (!parameters->WasPostProcessed()) busy = true;
    return CStatus();
  }
  // A pin that PostProcess gave to an operation is that operation's to release.
  if (parameters->WasPostProcessed()) return CStatus();
  ServiceTrace(this, TRC_RELEASED_UNUSED, platform::ComBstr::FromBstr(operation).Str().c_str(), keyString.c_str());
  const HRESULT released = pin->SetValue(platform::ComVariant());
  if (FAILED(released) && released != kPinOffline) return CStatus(NewHRESULT(kReleaseFailed, released));
  return CStatus();
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
  return IsKeptLocked(record.KeyString(), pinName) || !StillPinned(pin);
}

bool CExtensionWorker::IsKept(const std::wstring& keyString, const std::wstring& pinName) {
  platform::SrwExclusiveLock hold(m_lock);
  return IsKeptLocked(keyString, pinName);
}

bool CExtensionWorker::IsKeptLocked(const std::wstring& keyString, const std::wstring& pinName) {
  const auto found = m_kept.find({keyString, pinName});
  if (found == m_kept.end()) return false;
  if (found->second > GetTickCount64()) return true;
  m_kept.erase(found);
  return false;
}
