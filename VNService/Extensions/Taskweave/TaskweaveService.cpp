// TaskweaveService.cpp - Run: the subscription, the providers and their workers, and the orderly end.
#include "VNService/Extensions/Taskweave/TaskweaveService.h"

#include "platform/registry/registry.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace {

// Error positions in the source file TaskweaveService (fixed numbers).
constexpr const char* kSource = "TaskweaveService";
constexpr CSourcePos kSubscribeFailed{kSource, 21};
constexpr CSourcePos kSystemFailed{kSource, 23};
constexpr CSourcePos kProductKeyFailed{kSource, 25};
constexpr CSourcePos kQueryInfoFailed{kSource, 32};
constexpr CSourcePos kEnumFailed{kSource, 48};
constexpr CSourcePos kNotAClsid{kSource, 52};
constexpr CSourcePos kCreateFailed{kSource, 55};
constexpr CSourcePos kKeyStringSeparator1{kSource, 58};
constexpr CSourcePos kKeyStringExtensions{kSource, 60};
constexpr CSourcePos kKeyStringSeparator2{kSource, 62};
constexpr CSourcePos kKeyStringName{kSource, 64};
constexpr CSourcePos kInitialiseFailed{kSource, 66};
constexpr CSourcePos kNoOperations{kSource, 69};
constexpr CSourcePos kWaitFailed{kSource, 123};

}  // namespace

// --- CThreadActivity ---

CThreadActivity::CThreadActivity() : m_idle(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  InitializeCriticalSection(&m_lock);
}

CThreadActivity::~CThreadActivity() {
  CloseHandle(m_idle);
  DeleteCriticalSection(&m_lock);
}

CThreadActivity::Ticket CThreadActivity::Enter() {
  {
    platform::CriticalSectionLock hold(m_lock);
    if (m_count++ == 0) ResetEvent(m_idle);
  }
  // Should the ticket's allocation fail, its deleter is called at once.
  return Ticket(static_cast<void*>(this), [](void* self) { static_cast<CThreadActivity*>(self)->Leave(); });
}

void CThreadActivity::Leave() {
  platform::CriticalSectionLock hold(m_lock);
  if (--m_count == 0) SetEvent(m_idle);
}

bool CThreadActivity::WaitIdle(DWORD timeoutMs) { return WaitForSingleObject(m_idle, timeoutMs) == WAIT_OBJECT_0; }

LONG CThreadActivity::Count() {
  platform::CriticalSectionLock hold(m_lock);
  return m_count;
}

// --- CTaskweaveService ---

namespace {
constexpr DWORD MSG_STOP_LEFT_OPERATIONS = 0x800001F5;
}  // namespace

CTaskweaveService::CTaskweaveService()
    : CTaskweaveApp(L"Taskweave", L"Vantrel Archive Extensions", {}),
      m_workerStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  m_mainServiceOptions.requestTimeoutMs = kMainServiceRequestTimeoutMs;
}

CTaskweaveService::~CTaskweaveService() {
  // The stop left runners inside a provider: nothing they use may be torn
  // down under them, and none of their pins is to be released now.
  if (m_leftRunning.load()) std::_Exit(0);
  // Run has dropped everything it made; what is left is only what a Run
  // still running at exit holds.
  SetEvent(m_workerStop);
  {
    platform::SrwExclusiveLock hold(m_workersLock);
    m_workers.clear();
  }
  m_system.Reset();
  CloseHandle(m_workerStop);
}

std::size_t CTaskweaveService::WorkerCount() {
  platform::SrwSharedLock hold(m_workersLock);
  return m_workers.size();
}

CStatus CTaskweaveService::Run() {
  CStatus status;
  return Run(status);
}

CStatus& CTaskweaveService::Run(CStatus& status) {
  ResetEvent(m_workerStop);
  CVNServiceInterface mainService(m_mainServiceOptions);
  if (!mainService.Subscribe(VN_SUBSCRIBE_ALL, this, &CTaskweaveService::OnServiceNotification))
    return status = CStatus(NewLastError(kSubscribeFailed));

  platform::RegKey product;
  platform::RegKey extensions;
  const HRESULT hr = m_system.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER);
  if (FAILED(hr)) {
    status = CStatus(NewHRESULT(kSystemFailed, hr));
  } else if (const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, kKeyAccess, product.put());
             rc != ERROR_SUCCESS) {
    status = CStatus(NewErrorNumber(kProductKeyFailed, static_cast<DWORD>(rc)));
  } else if (RegOpenKeyExW(product.get(), kExtensionsKey, 0, kKeyAccess, extensions.put()) == ERROR_SUCCESS) {
    // A missing "Extensions" key is no error: the service runs idle.
    bool wait = false;
    status = StartExtensions(extensions.get(), wait);
    if (wait) status = WaitForStop();
  }
  extensions.reset();
  // The workers end before the subscription does, so that no rescan is
  // asked of a worker being dropped, and all of it before Run returns.
  EndWorkers();
  mainService.Unsubscribe(VN_SUBSCRIBE_ALL, this, &CTaskweaveService::OnServiceNotification);
  m_system.Reset();
  return status;
}

DWORD CTaskweaveService::WaitForExit(DWORD timeout) {
  const ULONGLONG start = GetTickCount64();
  constexpr DWORD kSliceMs = 200;
  for (;;) {
    if (m_leftRunning.load()) {
      // Run has returned or is about to; its exit code is stored right after.
      return CTaskweaveApp::WaitForExit(kSliceMs * 5);
    }
    DWORD slice = kSliceMs;
    if (timeout != INFINITE) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= timeout) return CTaskweaveApp::WaitForExit(0);
      slice = static_cast<DWORD>(std::min<ULONGLONG>(kSliceMs, timeout - spent));
    }
    const DWORD code = CTaskweaveApp::WaitForExit(slice);
    if (GetRunningThreads() == 0) return code;
  }
}

CStatus CTaskweaveService::StartExtensions(HKEY extensions, bool& wait) {
  wait = false;
  DWORD count = 0;
  DWORD longest = 0;
  const LSTATUS rc = RegQueryInfoKeyW(extensions, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(kQueryInfoFailed, static_cast<DWORD>(rc)));
  if (longest == 0) return CStatus();  // no extension: idle success
  CStatus status;
  for (DWORD index = 0; index < count && status.IsOK(); ++index) status = StartExtension(extensions, index, longest);
  wait = status.IsOK();
  return status;
}

CStatus CTaskweaveService::StartExtension(HKEY extensions, DWORD index, DWORD longestName) {
  std::vector<wchar_t> name(longestName + 1, L'\0');
  DWORD length = longestName + 1;
  const LSTATUS rc = RegEnumKeyExW(extensions, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(kEnumFailed, static_cast<DWORD>(rc)));
  const std::wstring subkey(name.data(), length);

  CLSID clsid{};
  HRESULT hr = CLSIDFromString(subkey.c_str(), &clsid);
  if (FAILED(hr)) return CStatus(NewHRESULT(kNotAClsid, hr));
  platform::ComPtr<IExtensionInit> init;
  hr = init.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER);
  if (FAILED(hr)) return CStatus(NewHRESULT(kCreateFailed, hr));

  platform::ComBstr key(kProductKey);
  if (key.Get() == nullptr) throw E_OUTOFMEMORY;
  if (FAILED(hr = key.Append(L"\\"))) return CStatus(NewHRESULT(kKeyStringSeparator1, hr));
  if (FAILED(hr = key.Append(kExtensionsKey))) return CStatus(NewHRESULT(kKeyStringExtensions, hr));
  if (FAILED(hr = key.Append(L"\\"))) return CStatus(NewHRESULT(kKeyStringSeparator2, hr));
  if (FAILED(hr = key.Append(subkey))) return CStatus(NewHRESULT(kKeyStringName, hr));

  hr = init->Initialise(key.Get(), m_system.Get());
  if (hr != S_OK) return CStatus(NewHRESULT(kInitialiseFailed, hr));
  platform::ComPtr<IProviderOperations> operations;
  hr = init.As(&operations);
  if (FAILED(hr)) return CStatus(NewHRESULT(kNoOperations, hr));

  auto worker =
      std::make_shared<CExtensionWorker>(m_system.Get(), operations.Get(), clsid, &CExtensionWorker::TraceLog);
  worker->SetPostProcessFunction(PostProcessFunctionOf(worker));

  platform::SrwExclusiveLock hold(m_workersLock);
  m_workers.push_back(worker);
  return StartThread("ExtensionRecordsWorker", this, &CTaskweaveService::RecordsWorkerBody,
                     CWorkerThread{m_activity.Enter(), std::move(worker)});
}

CStatus CTaskweaveService::WaitForStop() {
  const HANDLE stop = GetStopEvent();
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    if (WaitForMultipleObjects(1, &stop, FALSE, INFINITE) == WAIT_FAILED) return CStatus(NewLastError(kWaitFailed));
  }
  return CStatus();
}

void CTaskweaveService::EndWorkers() {
  SetEvent(m_workerStop);
  // Workers end at their next element or wake-up, runners when their
  // provider's ExecuteOperation returns.
  if (!m_activity.WaitIdle(kStopWaitMs)) {
    // A provider that does not return must not hold the stop: its runners
    // keep the workers and the provider, and the process ends without them
    // (~CTaskweaveService). Their pins stay, so the files come back at the
    // next start.
    const LONG running = m_activity.Count();
    ::ReportEvent(nullptr, MSG_STOP_LEFT_OPERATIONS, {std::to_wstring(running)});
    m_leftRunning.store(true);
    return;
  }
  std::vector<std::shared_ptr<CExtensionWorker>> workers;
  {
    platform::SrwExclusiveLock hold(m_workersLock);
    workers.swap(m_workers);
  }
  // In the order they were started; the last reference releases the provider.
  for (std::shared_ptr<CExtensionWorker>& worker : workers) worker.reset();
}

void CTaskweaveService::OnServiceNotification(ULONGLONG, void* context, DWORD type, DWORD, const BYTE*) {
  if (type != VN_NOTIFY_CHANGED || context == nullptr) return;
  auto* service = static_cast<CTaskweaveService*>(context);
  platform::SrwSharedLock hold(service->m_workersLock);
  for (const std::shared_ptr<CExtensionWorker>& listed : service->m_workers) {
    const std::shared_ptr<CExtensionWorker> worker = listed;  // held around the wake-up
    worker->Rescan();
  }
}

CExtensionWorker::PostProcessFunction CTaskweaveService::PostProcessFunctionOf(std::weak_ptr<CExtensionWorker> worker) {
  return [this, worker](std::shared_ptr<COperationRun> run) { return StartPostProcess(worker, std::move(run)); };
}

HRESULT CTaskweaveService::StartPostProcess(const std::weak_ptr<CExtensionWorker>& worker,
                                            std::shared_ptr<COperationRun> run) {
  const std::shared_ptr<CExtensionWorker> target = worker.lock();
  if (!target) return E_UNEXPECTED;
  CThreadActivity::Ticket ticket;
  try {
    ticket = m_activity.Enter();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // Entered before the check: a stop that waits has either seen this
  // ticket or is seen here.
  if (Stopping()) return kStopping;
  const CStatus status = StartThread("ExtensionsWorker", this, &CTaskweaveService::OperationRunnerBody,
                                     CRunnerThread{std::move(ticket), std::move(run)});
  if (status.IsOK()) return S_OK;
  ReportError(*status.GetError());
  return CExtensionWorker::StartResult(status);
}

CStatus CTaskweaveService::RecordsWorkerBody(CStatus& status, CWorkerThread thread) {
  const HANDLE stop = m_workerStop;
  auto keepRunning = [stop] { return WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; };
  return thread.worker->ProcessRecords(status, keepRunning, stop);
}

CStatus CTaskweaveService::OperationRunnerBody(CStatus& status, CRunnerThread thread) {
  return thread.run->Worker().RunOperation(status, thread.run);
}
