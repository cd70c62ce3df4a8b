// workqueue.cpp - the bounded work queue: its threads, its deadline check and its stop.
#include "platform/sync/workqueue.h"

#include <utility>

namespace platform {

struct WorkQueue::Start {
  WorkQueue* queue;
  std::size_t slot;
};

WorkQueue::WorkQueue(std::wstring name, std::size_t threads, std::size_t bound, DWORD idleMs)
    : m_name(std::move(name)), m_maxThreads(threads == 0 ? 1 : threads), m_bound(bound), m_idleMs(idleMs),
      m_ready(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

WorkQueue::~WorkQueue() {
  const bool ended = Stop(2000);
  for (HANDLE thread : m_threads) CloseHandle(thread);
  if (!ended) return;  // a thread still inside its work may yet touch the events
  CloseHandle(m_ready);
  CloseHandle(m_stopped);
}

bool WorkQueue::Push(Work work, Cancel cancel, DWORD timeoutMs, bool admitted) {
  const ULONGLONG deadline = timeoutMs == INFINITE ? ~0ull : GetTickCount64() + timeoutMs;
  bool start = false;
  std::size_t slot = 0;
  {
    SrwExclusiveLock hold(m_lock);
    if (m_stopping) return false;
    if (!admitted && m_running + m_queue.size() >= m_bound) return false;
    m_queue.push_back(Item{std::move(work), std::move(cancel), deadline});
    if (m_idle < m_queue.size() && m_live < m_maxThreads) {
      start = true;
      slot = 0;
      while (slot < m_slots.size() && m_slots[slot].used) ++slot;
      if (slot == m_slots.size()) m_slots.emplace_back();
      m_slots[slot].used = true;
      ++m_live;
      ++m_idle;  // counted idle until it takes its first item
    }
  }
  if (start) {
    auto* parameter = new Start{this, slot};
    HANDLE thread = CreateThread(nullptr, 0, &WorkQueue::ThreadMain, parameter, 0, nullptr);
    SrwExclusiveLock hold(m_lock);
    if (thread == nullptr) {
      delete parameter;
      --m_idle;  // the other threads take the work
      --m_live;
      m_slots[slot].used = false;
    } else {
      m_threads.push_back(thread);
      m_slots[slot].thread = thread;
    }
  }
  SetEvent(m_ready);
  return true;
}

DWORD WorkQueue::ThreadMain(LPVOID parameter) {
  const Start start = *static_cast<Start*>(parameter);
  delete static_cast<Start*>(parameter);
  start.queue->Run(start.slot);
  return 0;
}

void WorkQueue::Run(std::size_t slot) {
  SetCurrentThreadName(m_name);
  for (;;) {
    Item item;
    bool have = false, more = false;
    {
      SrwExclusiveLock hold(m_lock);
      if (m_stopping) {
        --m_idle;
        return;
      }
      if (!m_queue.empty()) {
        item = std::move(m_queue.front());
        m_queue.pop_front();
        have = true;
        more = !m_queue.empty();
        --m_idle;
        ++m_running;
        m_slots[slot].cancel = item.cancel;
      }
    }
    if (!have) {
      const HANDLE waits[] = {m_ready, m_stopped};
      if (WaitForMultipleObjects(2, waits, FALSE, m_idleMs) == WAIT_TIMEOUT && Retire(slot)) return;
      continue;
    }
    // Another item waits: wake another thread for it (the event is auto-reset).
    if (more) SetEvent(m_ready);
    const bool expired = GetTickCount64() > item.deadline;
    item.work(expired);
    item.work = nullptr;  // what the work holds is freed here, not at the next item
    {
      SrwExclusiveLock hold(m_lock);
      m_slots[slot].cancel = nullptr;
      --m_running;
      ++m_idle;
    }
    item.cancel = nullptr;
  }
}

bool WorkQueue::Retire(std::size_t slot) {
  HANDLE self = nullptr;
  {
    SrwExclusiveLock hold(m_lock);
    // Work that came in, a stop, or a handle not yet recorded: not now.
    if (m_stopping || !m_queue.empty() || m_slots[slot].thread == nullptr) return false;
    self = m_slots[slot].thread;
    m_slots[slot] = Slot();
    for (auto it = m_threads.begin(); it != m_threads.end(); ++it) {
      if (*it == self) {
        m_threads.erase(it);
        break;
      }
    }
    --m_idle;
    --m_live;
  }
  // Nothing of the queue is touched after this: the thread only returns.
  CloseHandle(self);
  return true;
}

bool WorkQueue::Stop(DWORD timeoutMs) {
  std::deque<Item> queued;
  std::vector<HANDLE> threads;
  {
    SrwExclusiveLock hold(m_lock);
    const bool first = !m_stopping;
    m_stopping = true;
    queued.swap(m_queue);
    if (first)
      for (Slot& s : m_slots)
        if (s.cancel) s.cancel();
    threads = m_threads;
  }
  SetEvent(m_stopped);
  for (Item& item : queued) item.work(true);
  queued.clear();
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (HANDLE thread : threads) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
    if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) return false;
  }
  return true;
}

std::size_t WorkQueue::Load() const {
  SrwSharedLock hold(m_lock);
  return m_running + m_queue.size();
}

std::size_t WorkQueue::Threads() const {
  SrwSharedLock hold(m_lock);
  return m_threads.size();
}

}  // namespace platform
