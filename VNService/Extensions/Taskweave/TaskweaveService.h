// TaskweaveService.h - the extension service: one worker per registered extension provider.
//
// CTaskweaveService is the service class of the program Taskweave. Its Run
// subscribes to every notification of the archive's main service, creates
// the archive's system object, creates the provider of each subkey of HKLM
// "Software\Vantrel\Corvellane\Extensions" (named by its CLSID), hands it
// its key and the system object, and gives it a CExtensionWorker on a
// thread "ExtensionRecordsWorker"; each operation a provider accepts runs
// on its own "ExtensionsWorker". A type-7 notification asks every worker to
// scan again.
//
// Run owns everything it makes: after the stop (or a failure while starting
// an extension) it stops the workers, waits a bounded time for them and for
// the operation runners, drops the workers in the order they were started
// (which releases their providers), releases the system object and only then
// returns. Nothing is left for static destruction, where provider libraries
// and the parameter watchers' statics may already be gone.
//
// Locking: m_workersLock (SRW) guards m_workers: exclusive to append a
// worker and start its thread and to take the list at the end, shared for
// the notification walk. m_activity counts the threads Run waits for
// (its own lock). m_system is written only by Run on "MainThread".
#pragma once

#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "LibService/ServiceApp.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// The application class between the framework and the service class.
template <class T>
class CTaskweaveApp : public CServiceApp<T> {
 public:
  using CServiceApp<T>::CServiceApp;
  ~CTaskweaveApp() override = default;
};

// Threads in flight that a stop waits for. Enter gives a ticket; the count
// goes down when the last copy of the ticket is dropped.
class CThreadActivity {
 public:
  using Ticket = std::shared_ptr<void>;

  CThreadActivity();
  ~CThreadActivity();
  CThreadActivity(const CThreadActivity&) = delete;
  CThreadActivity& operator=(const CThreadActivity&) = delete;

  Ticket Enter();
  // True when nothing was in flight within timeoutMs.
  bool WaitIdle(DWORD timeoutMs);
  LONG Count();

 private:
  void Leave();

  CRITICAL_SECTION m_lock;  // guards m_count and the state of m_idle
  LONG m_count = 0;
  HANDLE m_idle;  // manual reset: set while m_count is 0
};

class CTaskweaveService : public CTaskweaveApp<CTaskweaveService> {
 public:
  // The product key and its extension list (opened with KEY_READ plus
  // KEY_SET_VALUE and KEY_CREATE_SUB_KEY).
  static constexpr const wchar_t* kProductKey = L"Software\\Vantrel\\Corvellane";
  static constexpr const wchar_t* kExtensionsKey = L"Extensions";
  static constexpr REGSAM kKeyAccess = 0x2001F;
  // How long a stop waits for workers and operations still running: short
  // of a controller's 30 s wait for STOPPED, with room for the rest of the stop.
  static constexpr DWORD kStopWaitMs = 25000;
  // A healthy main service answers a subscription list at once; a silent
  // one must not hold the stop for the client's general request bound.
  static constexpr DWORD kMainServiceRequestTimeoutMs = 5000;
  // What an operation handed over after the stop is answered.
  static constexpr HRESULT kStopping = static_cast<HRESULT>(0x8007045B);  // ERROR_SHUTDOWN_IN_PROGRESS

  CTaskweaveService();
  ~CTaskweaveService() override;

  std::string GetTraceName() const override { return "Taskweave"; }
  CStatus Run() override;
  // As the framework's, but once a stop has left runners inside a provider
  // it waits only for the main thread, so the stop ends within its bound.
  DWORD WaitForExit(DWORD timeout) override;
  CStatus& Run(CStatus& status);

  // The subscription's callback: type 7 asks every worker for a rescan.
  static void OnServiceNotification(ULONGLONG code, void* context, DWORD type, DWORD size, const BYTE* record);
  // The post-process function of a worker: starts the runner of an accepted
  // operation on a thread "ExtensionsWorker".
  HRESULT StartPostProcess(const std::weak_ptr<CExtensionWorker>& worker, std::shared_ptr<COperationRun> run);
  // The one way a worker's runners start: StartPostProcess of this service,
  // holding the worker without owning it.
  CExtensionWorker::PostProcessFunction PostProcessFunctionOf(std::weak_ptr<CExtensionWorker> worker);

  // For tests: the main-service client's bounds, how many workers Run holds,
  // and how many threads it still waits for.
  void SetMainServiceOptions(const CVNServiceOptions& options) { m_mainServiceOptions = options; }
  std::size_t WorkerCount();
  LONG ActiveThreads() { return m_activity.Count(); }

 private:
  CStatus StartExtensions(HKEY extensions, bool& wait);
  CStatus StartExtension(HKEY extensions, DWORD index, DWORD longestName);
  CStatus WaitForStop();
  // Stops the workers, waits for them and the runners, drops the workers in order.
  void EndWorkers();
  bool Stopping() const { return WaitForSingleObject(m_workerStop, 0) != WAIT_TIMEOUT; }

  struct CWorkerThread {
    CThreadActivity::Ticket ticket;  // declared first: dropped last
    std::shared_ptr<CExtensionWorker> worker;
  };
  struct CRunnerThread {
    CThreadActivity::Ticket ticket;  // declared first: dropped last
    std::shared_ptr<COperationRun> run;
  };
  CStatus RecordsWorkerBody(CStatus& status, CWorkerThread thread);
  CStatus OperationRunnerBody(CStatus& status, CRunnerThread thread);

  platform::ComPtr<IArchiveSystem> m_system;
  std::vector<std::shared_ptr<CExtensionWorker>> m_workers;
  SRWLOCK m_workersLock = SRWLOCK_INIT;
  // Set when the workers are to end (the stop, or a failed start); manual reset.
  HANDLE m_workerStop;
  CThreadActivity m_activity;
  CVNServiceOptions m_mainServiceOptions;
  // Set when the stop's bound passed with runners still inside a provider.
  std::atomic<bool> m_leftRunning{false};
};
