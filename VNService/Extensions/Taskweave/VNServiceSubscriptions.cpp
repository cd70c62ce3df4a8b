// VNServiceSubscriptions.cpp - the main-service client's subscriptions: the
// notification queue and its dispatcher, the subscription list, the
// reconnect after a broken pipe, and stopping.
#include "VNService/Extensions/Taskweave/VNServiceInterfaceRep.h"

#include "platform/pipe/ServiceAPI.h"
#include "platform/volume/volume.h"

#include <algorithm>
#include <set>

namespace {

constexpr DWORD kIdleWaitMs = 1000;    // the dispatcher looks at its state at least this often
constexpr DWORD kStopRecheckMs = 100;  // how often a stopping client looks at a thread again
constexpr DWORD kListHeader = 16;      // u64 cursor, u32 count, u32 0

}  // namespace

using CRep = CVNServiceInterfaceImpl::CRep;

// --- the queue and the dispatcher ---

void CRep::QueueRecord(const BYTE* record, DWORD size) {
  const DWORD type = platform::LoadLe32(record + 4);
  const DWORD code = platform::LoadLe32(record + 8);
  platform::CriticalSectionLock hold(m_subscriptionLock);
  if (m_stopping) return;
  if (type == VN_NOTIFY_CHANGED) {
    // One queued "changed" per code says all that a second one would.
    const bool queued = std::any_of(m_queue.begin(), m_queue.end(), [code](const std::vector<BYTE>& r) {
      return platform::LoadLe32(r.data() + 4) == VN_NOTIFY_CHANGED && platform::LoadLe32(r.data() + 8) == code;
    });
    if (queued) {
      ++m_counters.coalescedNotifications;
      return;
    }
  }
  if (m_queue.size() >= m_options.queueLimit && type != VN_NOTIFY_PIPE_BROKEN) {
    ++m_counters.droppedNotifications;
    return;
  }
  m_queue.emplace_back(record, record + size);
  StartThreadLocked(m_dispatcherThread, &CRep::DispatcherEntry);
  SetEvent(m_queueEvent);
}

// Starts the thread unless it runs; each thread holds a reference.
bool CRep::StartThreadLocked(HANDLE& thread, LPTHREAD_START_ROUTINE entry) {
  if (thread != nullptr) {
    if (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) return true;
    CloseHandle(thread);
    thread = nullptr;
  }
  AddRef();
  thread = CreateThread(nullptr, 0, entry, this, 0, nullptr);
  if (thread != nullptr) return true;
  Release();
  return false;
}

DWORD CRep::DispatcherEntry(LPVOID self) {
  CRep* rep = static_cast<CRep*>(self);
  rep->DispatcherLoop();
  rep->Release();
  return 0;
}

void CRep::DispatcherLoop() {
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    m_dispatcherThreadId = GetCurrentThreadId();
  }
  DWORD backoff = m_options.reconnectFirstMs;
  while (!m_stopping) {
    std::vector<BYTE> record;
    bool reconnect;
    {
      platform::CriticalSectionLock hold(m_subscriptionLock);
      if (!m_queue.empty()) {
        record = std::move(m_queue.front());
        m_queue.pop_front();
      }
      if (m_subscriptions.empty()) m_reconnectWanted = false;
      reconnect = m_reconnectWanted;
    }
    if (!record.empty()) {
      Dispatch(record);
    } else if (reconnect) {
      Reconnect(backoff);
    } else {
      backoff = m_options.reconnectFirstMs;
      HANDLE waits[] = {m_queueEvent, m_stopEvent};
      WaitForMultipleObjects(2, waits, FALSE, kIdleWaitMs);
    }
  }
}

void CRep::Dispatch(const std::vector<BYTE>& record) {
  const DWORD code = platform::LoadLe32(record.data() + 8);
  std::vector<std::pair<ULONGLONG, ULONGLONG>> chosen;  // subscription id, its code
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    for (const auto& [subscribed, subscription] : m_subscriptions) {
      if (code == 0 || subscribed == code || subscribed == VN_SUBSCRIBE_ALL)
        chosen.emplace_back(subscription.id, subscribed);
    }
  }
  for (const auto& [id, subscribed] : chosen) CallSubscription(id, subscribed, record);
}

// Calls one subscription outside the lock, unless it was removed meanwhile;
// Unsubscribe waits for m_calling to move on, so no callback outlives it.
void CRep::CallSubscription(ULONGLONG id, ULONGLONG code, const std::vector<BYTE>& record) {
  void* context = nullptr;
  VNServiceCallback callback = nullptr;
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    for (const auto& [subscribed, subscription] : m_subscriptions) {
      if (subscription.id != id) continue;
      if (m_liveContexts.count(subscription.context) == 0) return;
      context = subscription.context;
      callback = subscription.callback;
    }
    if (callback == nullptr || m_stopping) return;
    m_calling = id;
    ResetEvent(m_callDoneEvent);
  }
  std::vector<BYTE> copy = record;
  // The record names the subscription's code; one for every code keeps the
  // record's own.
  if (code != VN_SUBSCRIBE_ALL) platform::StoreLe32(copy.data() + 8, static_cast<DWORD>(code));
  callback(code, context, platform::LoadLe32(copy.data() + 4), static_cast<DWORD>(copy.size()), copy.data());
  platform::CriticalSectionLock hold(m_subscriptionLock);
  m_calling = 0;
  SetEvent(m_callDoneEvent);
}

// After a broken pipe nothing else would call IoControl again: the
// dispatcher reconnects, waiting longer after each failure, and stops
// waiting when the client stops.
void CRep::Reconnect(DWORD& backoff) {
  HANDLE waits[] = {m_stopEvent, m_queueEvent};
  const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, backoff);
  if (wait != WAIT_TIMEOUT) return;  // stop, or a record to dispatch first
  if (SyncSubscriptions() && IsConnected()) {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    m_reconnectWanted = false;
    backoff = m_options.reconnectFirstMs;
    return;
  }
  backoff = std::min(backoff * 2, m_options.reconnectMaxMs);
}

// --- subscriptions ---

bool CRep::Subscribe(ULONGLONG code, void* context, VNServiceCallback callback) {
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    m_subscriptions.emplace(code, CSubscription{m_nextSubscriptionId++, context, callback});
    m_liveContexts.insert(context);
  }
  return SyncSubscriptions();
}

bool CRep::Unsubscribe(ULONGLONG code, void* context, VNServiceCallback callback) {
  ULONGLONG id = 0;
  bool onOwnThread;
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    auto [first, last] = m_subscriptions.equal_range(code);
    auto it = std::find_if(first, last, [&](const auto& entry) {
      return entry.second.context == context && entry.second.callback == callback;
    });
    if (it != last) {
      id = it->second.id;
      m_subscriptions.erase(it);
      if (auto live = m_liveContexts.find(context); live != m_liveContexts.end()) m_liveContexts.erase(live);
    }
    const DWORD self = GetCurrentThreadId();
    onOwnThread = self == m_dispatcherThreadId || self == m_pollerThreadId;
  }
  if (id == 0) {
    SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  // A callback of this subscription may be running on the dispatcher (not
  // when this is that callback itself): wait for it to return.
  while (!onOwnThread) {
    {
      platform::CriticalSectionLock hold(m_subscriptionLock);
      if (m_calling != id) break;
    }
    WaitForSingleObject(m_callDoneEvent, kStopRecheckMs);
  }
  return SyncSubscriptions();
}

std::vector<BYTE> CRep::BuildList(const std::vector<ULONGLONG>& codes, ULONGLONG cursor) {
  std::vector<BYTE> list(kListHeader + 8 * codes.size());
  platform::StoreLe64(list.data(), cursor);
  platform::StoreLe32(list.data() + 8, static_cast<DWORD>(codes.size()));
  for (std::size_t i = 0; i < codes.size(); ++i) platform::StoreLe64(list.data() + kListHeader + 8 * i, codes[i]);
  return list;
}

// Sends the list of distinct non-zero codes when it differs from the one
// last sent (the lists are compared, not their lengths), or when the
// connection is new. In volume mode the poller carries the list instead.
bool CRep::SyncSubscriptions() {
  platform::CriticalSectionLock sync(m_syncLock);
  if (m_listStale.exchange(false)) m_listBuilt.reset();
  std::vector<ULONGLONG> codes;
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    std::set<ULONGLONG> distinct;
    for (const auto& entry : m_subscriptions) {
      if (entry.first != 0) distinct.insert(entry.first);
    }
    codes.assign(distinct.begin(), distinct.end());
  }
  bool volumes;
  {
    platform::CriticalSectionLock hold(m_requestLock);
    volumes = !m_volumes.empty();
  }
  if (!volumes) {
    if (m_listBuilt && *m_listBuilt == codes) return true;
    if (!m_listBuilt && codes.empty()) {
      m_listBuilt = codes;  // a new connection with nothing subscribed has nothing to say
      return true;
    }
    const std::vector<BYTE> list = BuildList(codes, 0);
    if (!IoControl(0, VN_CONTROL_SUBSCRIBE, list.data(), static_cast<DWORD>(list.size()), nullptr, 0, nullptr))
      return false;
    platform::CriticalSectionLock hold(m_requestLock);
    volumes = !m_volumes.empty();  // the list may have found the volumes
  }
  m_listBuilt = codes;
  if (!volumes || codes.empty() || m_stopping) return true;
  platform::CriticalSectionLock hold(m_subscriptionLock);
  if (StartThreadLocked(m_pollerThread, &CRep::PollerEntry)) return true;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return false;
}

// --- stopping ---

void CRep::WaitForThread(HANDLE thread, HANDLE wake) {
  if (thread == nullptr || GetThreadId(thread) == GetCurrentThreadId()) return;
  for (;;) {
    if (wake != nullptr) SetEvent(wake);
    if (WaitForSingleObject(thread, kStopRecheckMs) != WAIT_TIMEOUT) return;
  }
}

void CRep::Shutdown() {
  m_stopping = true;
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    m_subscriptions.clear();
    m_liveContexts.clear();
    m_queue.clear();
  }
  // Stopping is set, so the empty list goes out without waiting for its
  // answer; then every wait of the client's threads wakes, a pending poll
  // included.
  SyncSubscriptions();
  SetEvent(m_stopEvent);
  {
    platform::CriticalSectionLock hold(m_requestLock);
    for (const CVolume& v : m_volumes) platform::CancelVolumeIo(v.handle);
  }
  SetEvent(m_bufferTakenEvent);
  platform::UniqueHandle reader, poller, dispatcher;
  {
    platform::CriticalSectionLock hold(m_requestLock);
    if (m_readerThread != nullptr) reader.reset(DuplicateHandleRef(m_readerThread));
  }
  {
    platform::CriticalSectionLock hold(m_subscriptionLock);
    if (m_pollerThread != nullptr) poller.reset(DuplicateHandleRef(m_pollerThread));
    if (m_dispatcherThread != nullptr) dispatcher.reset(DuplicateHandleRef(m_dispatcherThread));
  }
  WaitForThread(reader.get(), m_wakeEvent);
  WaitForThread(poller.get(), nullptr);
  WaitForThread(dispatcher.get(), m_queueEvent);
  platform::CriticalSectionLock hold(m_requestLock);
  CloseVolumesLocked();
  if (m_pipe != nullptr) CloseHandle(m_pipe);
  m_pipe = nullptr;
}
