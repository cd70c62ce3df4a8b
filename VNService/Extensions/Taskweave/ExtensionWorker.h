// ExtensionWorker.h - one extension's worker: the scan of its pins, its provider's callbacks, the work in progress.
//
// A pinned file goes through steps, each in its own source file:
// - scan (ExtensionWorkerScan.cpp): passes over the pinned elements, the
//   wait between them, the retry after a failure;
// - capacity (ExtensionWorkerCapacity.cpp): a running record that covers
//   the file takes the pin, else QueryCapacity;
// - schedule (ExtensionWorkerSchedule.cpp): ScheduleOperation and what its
//   answer means for the pin;
// - post-process and run (ExtensionWorkerRun.cpp): PostProcess records the
//   operation, its COperationRun runs ExecuteOperation;
// - unpin and complete (ExtensionWorkerUnpin.cpp): Unpin, OperationComplete,
//   the record's erase and the pins it kept.
// The waits (kept pins, busy provider, backoff) are rule objects the worker
// holds (ExtensionWorkerRules.h), and so are the extension's rules and
// operations (m_rules).
//
// CExtensionWorker runs "ExtensionRecordsWorker" (ProcessRecords): passes
// over the fragment list's elements pinned for its extension, each resolved
// through the archive's system object to a file and its pin, whose value
// names the operation. A file goes to the provider (QueryCapacity, then
// ScheduleOperation) unless an operation in progress already covers it, in
// which case its pin joins that operation's record. The same object is the
// provider's IProviderSupport: PostProcess records an operation and starts
// its runner ("ExtensionsWorker", through the post-process function), Unpin
// releases the record's pins, OperationComplete wakes the scan.
//
// Rules that keep every pin released exactly once, after its work:
// - a record leaves the in-progress set only through its COperationRun,
//   which erases exactly the record it inserted, once, whether the runner
//   ran, threw, or never started;
// - a second PostProcess of a record in progress joins the running record
//   and answers kMergedIntoRunning (E_PENDING), which the provider passes on
//   and the scan reads as "taken", so no second runner starts and no
//   provider job is counted for it;
// - a pin that PostProcess took is never released by the scan, whatever
//   ScheduleOperation answers afterwards;
// - a pin that an operation released after the scan read it is not handed
//   over again, and a PostProcess for a pin no longer set starts nothing;
// - pins a finished operation left pinned wait kKeptPinRetryMs before the
//   scan hands them over again.
//
// Locking: m_lock guards m_inProgress (its records and their pin maps) and
// m_keptPins: exclusive to insert, erase, merge a pin, note or expire kept pins;
// shared to find a record for Unpin. Pin releases under
// the shared lock are claimed atomically per pin. No provider method is
// called with m_lock held. m_nameLock guards m_logName and m_registeredName.
#pragma once

#include "LibService/Status.h"
#include "VNService/Extensions/Taskweave/ExtensionRegistryOperations.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerRules.h"
#include "VNService/Extensions/Taskweave/PinnedElements.h"
#include "VNService/Extensions/Taskweave/PostProcess.h"
#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"
#include "platform/sync/sync.h"
#include "trace/TraceLogger.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class CExtensionWorker;

// Whether a pin is still set (a pin that cannot be read counts as set).
bool StillPinned(IArchivePin* pin);

// One accepted operation on its way through a runner: the operation, the
// parameters, and the record its PostProcess inserted, which it erases once.
class COperationRun {
 public:
  using RecordSet = std::set<PostProcessRecord, PostProcessRecord::StrictLess>;

  COperationRun(std::shared_ptr<CExtensionWorker> worker, RecordSet::iterator record, platform::ComBstr operation,
                platform::ComPtr<IPostProcessParameters> parameters);
  // A run that never reached its body still erases its record and wakes the
  // scan, whose provider will not call OperationComplete for it.
  ~COperationRun();
  COperationRun(const COperationRun&) = delete;
  COperationRun& operator=(const COperationRun&) = delete;

  // Erases the record (the first call only); wake also signals completion.
  void Finish(bool wake);
  CExtensionWorker& Worker() const { return *m_worker; }
  BSTR Operation() const { return m_operation.Get(); }
  IPostProcessParameters* Parameters() const { return m_parameters.Get(); }

 private:
  std::shared_ptr<CExtensionWorker> m_worker;
  RecordSet::iterator m_record;
  platform::ComBstr m_operation;
  platform::ComPtr<IPostProcessParameters> m_parameters;
  std::atomic<bool> m_finished{false};
};

class CExtensionWorker : public CComBase<IProviderSupport, 1>,
                         public CTraceLoggable,
                         public std::enable_shared_from_this<CExtensionWorker> {
 public:
  using LogFunction = std::function<void(IProviderSupport*, ULONG, const wchar_t*)>;
  using EventFunction = std::function<void(DWORD, const std::vector<std::wstring>&)>;
  using PostProcessFunction = std::function<HRESULT(std::shared_ptr<COperationRun>)>;
  using RecordSet = COperationRun::RecordSet;

  // What PostProcess answers when the record is already in progress: the
  // pin joined the running operation, no runner was started.
  static constexpr HRESULT kMergedIntoRunning = E_PENDING;
  // Fixed waits of the scan.
  static constexpr DWORD kRescanIntervalMs = 60000;
  static constexpr DWORD kKeptPinRetryMs = 60000;
  // Backoff after a failure of the list or the wait: doubled up to the most.
  static constexpr DWORD kRetryFirstMs = 1000;
  static constexpr DWORD kRetryMaxMs = 60000;
  // The mode offered to QueryCapacity.
  static constexpr ULONG kOfferedMode = 3;
  // Insertion strings an event can carry.
  static constexpr std::size_t kMaxEventStrings = 7;

  // Takes its own references on both interfaces.
  CExtensionWorker(IArchiveSystem* system, IProviderOperations* provider, const GUID& clsid, LogFunction log);
  ~CExtensionWorker() override;

  // Writes one trace line with the worker as source (the usual log function).
  static void TraceLog(IProviderSupport* worker, ULONG messageId, const wchar_t* text);

  void SetPostProcessFunction(PostProcessFunction function) { m_postProcess = std::move(function); }
  // Where the scan reads pinned elements (the fragment list unless replaced).
  void SetElementWalkFactory(PinnedElementWalkFactory factory) { m_walkFactory = std::move(factory); }
  // Where ReportEvent's events go (the event log unless replaced).
  void SetEventFunction(EventFunction function) { m_reportEvent = std::move(function); }
  // How long kept pins wait (kKeptPinRetryMs unless changed, for tests).
  void SetKeptPinRetry(DWORD ms) { m_keptPins.SetRetry(ms); }
  // How long a busy state lasts at most (kRescanIntervalMs unless changed, for tests).
  void SetBusyBound(DWORD ms) { m_busy.SetBound(ms); }

  // The thread body: passes until keepRunning is false; a failure of the
  // list or the wait is reported once per outage and retried. Returns status.
  CStatus ProcessRecords(CStatus& status, std::function<bool()> keepRunning, HANDLE stopEvent);
  // The body of "ExtensionsWorker": the provider's ExecuteOperation, then the
  // record's erase. The thread's status is a failure for any result but S_OK.
  CStatus RunOperation(CStatus& status, std::shared_ptr<COperationRun> run);
  // The HRESULT a failed thread start answers through PostProcess (never 0).
  static HRESULT StartResult(const CStatus& status);

  // Set by the service on a notification that asks for a rescan.
  void Rescan() { SetEvent(m_rescanEvent); }

  // IProviderSupport.
  STDMETHODIMP PostProcess(BSTR operation, IPostProcessParameters* parameters) override;
  STDMETHODIMP Unpin(BSTR operation, IPostProcessParameters* parameters) override;
  STDMETHODIMP OperationComplete() override;
  STDMETHODIMP LogMessage(IUnknown* unused, ULONG severity, const wchar_t* text) override;
  STDMETHODIMP ReportEvent(ULONG eventId, IUnknown* item, SAFEARRAY* strings) override;

  std::string GetTraceName() const override;
  // The extension's rules and operations, kept alive with the worker (what
  // the post-process parameters read).
  std::shared_ptr<CExtensionRegistryOperations> Rules() {
    return std::shared_ptr<CExtensionRegistryOperations>(shared_from_this(), &m_rules);
  }
  // The extension's registered name (its CLSID string until the scan starts).
  std::wstring RegisteredName() const;
  // Operations in progress now (for tests and diagnostics).
  std::size_t InProgressCount();

 private:
  friend class COperationRun;

  const std::wstring& ClsidString() const { return m_rules.ClsidString(); }
  // The trace name of a registered name: the text after its last ".".
  static std::wstring LogNameOf(const std::wstring& registeredName);
  void SetNames();
  // One attempt: opens the walk and runs passes until the stop (OK) or a
  // failure of the list or the wait (returned).
  CStatus RunWorker(const std::function<bool()>& keepRunning, HANDLE stopEvent);
  // One pass over the pinned elements, until keepRunning turns false; only
  // an error that ends the worker is returned.
  CStatus RunPass(CPinnedElementWalk& walk, bool& busy, const std::function<bool()>& keepRunning);
  // One element: a failure here is logged (once) and the element skipped.
  CStatus HandleElement(const CPinnedElement& element, bool& busy);
  CStatus HandOver(const std::wstring& operation, const std::wstring& keyString, const CPinnedElement& element,
                   IArchiveFile* file, IArchivePin* pin, const std::wstring& pinName, ULONGLONG erasures, bool& busy);
  CStatus Schedule(BSTR operation, const std::wstring& keyString, IArchiveFile* file, IArchivePin* pin,
                   const std::wstring& pinName, ULONG mode, bool& busy);
  void TraceHandOver(ULONG mode, const std::wstring& operation, const std::wstring& keyString,
                     const CPinnedElement& element);
  // True when the pin needs no hand-over: it joined a running record that
  // covers the file, or an operation released it since it was read (erasures
  // is m_erasures as it was before the read).
  bool JoinRunning(const PostProcessRecord& record, IArchiveFile* file, IArchivePin* pin, const std::wstring& pinName,
                   ULONGLONG erasures);
  bool IsKept(const std::wstring& keyString, const std::wstring& pinName);
  // The scan's wait: the rescan interval, or less until a kept pin is due.
  DWORD WaitTimeout();
  // Erases a record and notes the pins it kept; called by COperationRun.
  void EraseRecord(RecordSet::iterator record);

  HRESULT PostProcessUnguarded(BSTR operation, IPostProcessParameters* parameters);
  HRESULT UnpinUnguarded(BSTR operation, IPostProcessParameters* parameters);
  HRESULT ReportEventUnguarded(ULONG eventId, IUnknown* item, SAFEARRAY* strings);

  RecordSet m_inProgress;
  SRWLOCK m_lock = SRWLOCK_INIT;
  // Pins a finished operation kept, and when the scan may hand them over again.
  CKeptPins m_keptPins{kKeptPinRetryMs};
  // Records erased so far; changed under m_lock held exclusive.
  std::atomic<ULONGLONG> m_erasures{0};

  mutable SRWLOCK m_nameLock = SRWLOCK_INIT;
  std::wstring m_logName;
  std::wstring m_registeredName;

  LogFunction m_log;
  PostProcessFunction m_postProcess;
  EventFunction m_reportEvent;
  PinnedElementWalkFactory m_walkFactory;
  platform::ComPtr<IArchiveSystem> m_system;
  platform::ComPtr<IProviderOperations> m_provider;
  HANDLE m_rescanEvent;
  HANDLE m_completionEvent;
  // The extension's rules and operations, read by its post-process parameters.
  CExtensionRegistryOperations m_rules;
  // Used by the scan thread alone.
  CBusyState m_busy{kRescanIntervalMs};
  CRetryBackoff m_backoff{kRetryFirstMs, kRetryMaxMs};

  // Per-element failures already logged, by (element position, code); kept
  // only while they recur, pass after pass. Used by the scan thread alone.
  std::set<std::pair<ULONGLONG, LONG>> m_loggedFailures;
};

