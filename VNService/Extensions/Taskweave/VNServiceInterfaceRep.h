// VNServiceInterfaceRep.h - the body of the main-service client, shared by
// its pipe half (VNServiceInterface.cpp) and its volume half
// (VNServiceVolumes.cpp).
//
// Locking:
// - m_requestLock guards the pipe and volume state (m_pipe, m_pipeOpened,
//   m_readerThread, m_readerError, m_generation, m_volumes), the receive
//   buffers and m_pending, including every byte of a pending request's
//   reply: the reader fills it and Cancel completes it only under this lock.
//   It is never held while waiting for a reply.
// - m_subscriptionLock guards m_subscriptions, m_liveContexts, m_queue,
//   m_calling, m_reconnectWanted, the dispatcher and poller handles.
// - m_syncLock serialises SyncSubscriptions, so lists reach the service in
//   the order they were built; m_listBuilt is read and written under it
//   (others mark it stale through m_listStale, as they may not wait for it).
// The two locks are never taken in the order subscription -> request except
// by the poller, which holds no request lock while it calls back.
#pragma once

#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "platform/sync/sync.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class CVNServiceInterfaceImpl::CRep {
 public:
  explicit CRep(const CVNServiceOptions& options);
  ~CRep();
  CRep(const CRep&) = delete;
  CRep& operator=(const CRep&) = delete;

  void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
  void Release();

  bool IsConnected();
  bool IoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                 DWORD outputCapacity, DWORD* bytesReturned);
  void Cancel(HANDLE thread);
  bool Subscribe(ULONGLONG code, void* context, VNServiceCallback callback);
  bool Unsubscribe(ULONGLONG code, void* context, VNServiceCallback callback);
  void Shutdown();
  CVNServiceCounters GetCounters();

 private:
  struct CPendingRequest {
    HANDLE event = nullptr;  // manual-reset: the reply is there, or the request ended
    DWORD threadId = 0;
    DWORD capacity = 0;
    DWORD generation = 0;
    bool done = false;
    DWORD failure = ERROR_SUCCESS;  // set instead of a reply (a reply that broke the bounds)
    std::vector<BYTE> reply;
  };
  struct CSubscription {
    ULONGLONG id;  // unique, so a removal can be told from a later equal subscription
    void* context;
    VNServiceCallback callback;
  };
  struct CVolume {
    std::wstring root;
    HANDLE handle;
  };
  enum class Mode { kNone, kPipe, kVolumes };

  // Connecting.
  Mode ConnectLocked(bool& connectedNow);
  bool OpenPipeLocked();
  bool WaitForFreeInstance(const std::wstring& name);
  bool OpenVolumesLocked();
  void CloseVolumesLocked();
  // Requests.
  bool PipeIoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                     DWORD outputCapacity, DWORD* bytesReturned);
  DWORD EnsureReceiveBuffer(DWORD needed);
  DWORD WriteRequest(HANDLE pipe, const std::vector<BYTE>& message);
  DWORD AwaitReply(const std::shared_ptr<CPendingRequest>& pending, HANDLE reader);
  static bool FinishRequest(const CPendingRequest& pending, DWORD failure, void* output, DWORD outputCapacity,
                            DWORD* bytesReturned);
  bool VolumeIoControl(DWORD controlCode, const void* input, DWORD inputLength, void* output, DWORD outputCapacity,
                       DWORD* bytesReturned, bool foundNow);
  // The reader.
  static DWORD ReaderEntry(LPVOID self);
  DWORD ReaderLoop(HANDLE pipe, DWORD generation);
  DWORD ReadMessage(HANDLE pipe, HANDLE readEvent, DWORD& length);
  void HandleMessage(const BYTE* message, DWORD length);
  void EndReader(HANDLE pipe, DWORD generation, DWORD error);
  // Notifications.
  void QueueRecord(const BYTE* record, DWORD size);
  bool StartThreadLocked(HANDLE& thread, LPTHREAD_START_ROUTINE entry);
  static DWORD DispatcherEntry(LPVOID self);
  void DispatcherLoop();
  void Dispatch(const std::vector<BYTE>& record);
  void CallSubscription(ULONGLONG id, ULONGLONG code, const std::vector<BYTE>& record);
  void Reconnect(DWORD& backoff);
  bool SyncSubscriptions();
  std::vector<BYTE> BuildList(const std::vector<ULONGLONG>& codes, ULONGLONG cursor);
  // The volume poller.
  static DWORD PollerEntry(LPVOID self);
  void PollerLoop();
  bool PollOnce(ULONGLONG& cursor, std::vector<BYTE>& output);
  void DeliverPolled(const BYTE* data, DWORD length, ULONGLONG& cursor);
  void DeliverToCode(ULONGLONG code, const BYTE* record, DWORD size);
  static void WaitForThread(HANDLE thread, HANDLE wake);

  // The data model, in its order.
  HANDLE m_wakeEvent;         // auto-reset: wakes the pipe reader (new receive buffer, or stop)
  HANDLE m_bufferTakenEvent;  // manual-reset: the reader took the current receive buffer
  HANDLE m_queueEvent;        // auto-reset: wakes the dispatcher
  std::wstring m_pipeName;
  HANDLE m_pipe = nullptr;
  bool m_pipeOpened = false;
  HANDLE m_readerThread = nullptr;  // the pipe reader (the volume poller is m_pollerThread)
  HANDLE m_dispatcherThread = nullptr;
  DWORD m_readerError = ERROR_SUCCESS;
  std::vector<BYTE> m_receiveBuffer;  // the reader's; m_nextBuffer is handed over to it
  DWORD m_receiveSize = 0;
  std::optional<std::vector<ULONGLONG>> m_listBuilt;
  std::map<ULONGLONG, std::shared_ptr<CPendingRequest>> m_pending;
  std::multimap<ULONGLONG, CSubscription> m_subscriptions;
  std::multiset<void*> m_liveContexts;
  std::vector<CVolume> m_volumes;
  std::deque<std::vector<BYTE>> m_queue;
  std::atomic<bool> m_stopping{false};
  CRITICAL_SECTION m_requestLock;
  CRITICAL_SECTION m_subscriptionLock;

  // Beyond the data model.
  CVNServiceOptions m_options;
  std::atomic<int> m_refs{1};
  HANDLE m_stopEvent;      // manual-reset: every bounded wait also wakes on it
  HANDLE m_callDoneEvent;  // manual-reset: no callback is running
  CRITICAL_SECTION m_syncLock;
  std::vector<BYTE> m_nextBuffer;
  DWORD m_generation = 0;       // counts pipe connections, so an old reader touches nothing of a new one
  DWORD m_requestSequence = 0;  // with the thread id, the request id
  ULONGLONG m_nextSubscriptionId = 1;
  ULONGLONG m_calling = 0;  // the subscription whose callback runs now, 0 for none
  DWORD m_dispatcherThreadId = 0;
  DWORD m_pollerThreadId = 0;
  bool m_reconnectWanted = false;
  std::atomic<bool> m_listStale{false};  // set when a connection is new: m_listBuilt no longer holds
  HANDLE m_pollerThread = nullptr;
  CVNServiceCounters m_counters;  // guarded by m_requestLock (queue counts by m_subscriptionLock)
};
