// workqueue.h - a bounded, stoppable queue of work run on named threads of its own.
//
// Work that may block (a query, a file open, a reply waiting for either)
// runs here rather than on the HTTP library's pool. A queue starts its
// threads as work arrives, up to its thread count, and names them. It holds
// at most `bound` items running and queued together; beyond that Push
// refuses at once, so a flood is answered instead of piling up. A thread
// that has waited idleMs with nothing to do ends (INFINITE: threads stay),
// so the threads, descriptors and stacks a flood took are given back.
//
// Each item carries a deadline taken when it is pushed: an item that is
// still queued when its deadline passes is run with expired = true (it
// should only report its failure), never started as if fresh. An item may
// also carry a cancel hook, which Stop calls while the item runs.
//
// Stop ends everything in bounded time: queued items run at once with
// expired = true on the stopping thread, running items get their cancel
// hook, then Stop waits up to its timeout for the threads to end. After
// Stop, Push refuses.
//
// Locks: m_lock guards the queue, the counts and the running items; cancel
// hooks are called with it held, so a hook must never call back into its
// queue. Work itself runs without it.
#pragma once

#include "platform/sync/sync.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class WorkQueue {
 public:
  using Work = std::function<void(bool expired)>;
  using Cancel = std::function<void()>;

  WorkQueue(std::wstring name, std::size_t threads, std::size_t bound, DWORD idleMs = INFINITE);
  ~WorkQueue();  // stops with a short timeout, then leaves threads that did not end
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // Queues work to start within timeoutMs (INFINITE: no deadline). false,
  // with nothing queued, when the queue is stopped, or when it is full and
  // admitted is false (admitted work belongs to a request already taken in,
  // such as the next piece of a body, and is queued past the bound).
  bool Push(Work work, Cancel cancel = Cancel(), DWORD timeoutMs = INFINITE, bool admitted = false);

  // Ends the queue as described above; true when every thread ended in time.
  bool Stop(DWORD timeoutMs);

  // Running plus queued items, and the threads that have not ended, for tests and traces.
  std::size_t Load() const;
  std::size_t Threads() const;

 private:
  struct Item {
    Work work;
    Cancel cancel;
    ULONGLONG deadline;
  };
  struct Slot {
    Cancel cancel;            // of the item this thread runs, empty when idle
    HANDLE thread = nullptr;  // its handle once recorded
    bool used = false;        // a thread owns the slot
  };
  struct Start;

  static DWORD ThreadMain(LPVOID parameter);
  void Run(std::size_t slot);
  // Ends the idle thread of slot unless work or a stop came in; true when it may return.
  bool Retire(std::size_t slot);

  const std::wstring m_name;
  const std::size_t m_maxThreads;
  const std::size_t m_bound;
  const DWORD m_idleMs;

  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::deque<Item> m_queue;
  std::vector<Slot> m_slots;          // one per thread started; a slot is reused once its thread ended
  std::vector<HANDLE> m_threads;      // handles of the threads not ended idle, closed by the destructor
  std::size_t m_live = 0;             // slots in use
  std::size_t m_running = 0;
  std::size_t m_idle = 0;
  bool m_stopping = false;

  HANDLE m_ready;    // auto-reset: an item was queued
  HANDLE m_stopped;  // manual-reset: set by Stop
};

}  // namespace platform
