// BlockingWork.cpp - the three work queues of the HTTP service.
//
// The queues are made on first use and never destroyed: a thread stuck in a
// provider past the stop must not find its queue gone.
//
// A flood of slow queries takes every thread of the query and reply queues
// and leaves what it allocated freed but kept by the C library's per-thread
// arenas. So idle threads end after a while, and when the last query or
// reply of a burst is done the free memory is handed back.
#include "REST APIs/HTTP Service/BlockingWork.h"

#include "platform/base/process.h"
#include "platform/sync/workqueue.h"

#include <atomic>
#include <limits>

namespace {

constexpr DWORD kIdleThreadMs = 10000;
// Items in flight at once that make a burst worth handing memory back after.
constexpr std::size_t kBurstItems = 32;
constexpr DWORD kHandBackDelayMs = 1500;

platform::WorkQueue& BlockingQueue() {
  static auto* const queue = new platform::WorkQueue(L"BlockingWorker", kBlockingThreads,
                                                     std::numeric_limits<std::size_t>::max(), kIdleThreadMs);
  return *queue;
}

platform::WorkQueue& QueryQueue() {
  static auto* const queue = new platform::WorkQueue(L"QueryWorker", kQueryThreads, kQueryBound, kIdleThreadMs);
  return *queue;
}

platform::WorkQueue& ReplyQueue() {
  static auto* const queue = new platform::WorkQueue(L"ReplyWorker", kReplyThreads, kReplyBound, kIdleThreadMs);
  return *queue;
}

// Queries and replies queued or running, and the most since the last hand-back.
std::atomic<std::size_t> g_inFlight{0};
std::atomic<std::size_t> g_peak{0};

void Began() {
  const std::size_t now = g_inFlight.fetch_add(1) + 1;
  std::size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

// Set by the stop, so that a hand-back waiting for the replies' last writes ends at once.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

void Ended() {
  if (g_inFlight.fetch_sub(1) != 1) return;
  // The last of a burst: a trickle of single requests never gets here with
  // a peak this high, so it never pays for the hand-back.
  if (g_peak.load() < kBurstItems || g_peak.exchange(0) < kBurstItems) return;
  // The replies' bodies and connections are freed by the HTTP library's
  // threads once their last bytes are written: hand back a moment later,
  // and again once the idle threads have ended (what their arenas kept).
  BlockingQueue().Push([](bool expired) {
    for (const DWORD delay : {kHandBackDelayMs, kIdleThreadMs + kHandBackDelayMs}) {
      if (expired || WaitForSingleObject(StopEvent(), delay) != WAIT_TIMEOUT) return;
      if (g_inFlight.load() != 0) return;  // a new burst hands back when it ends
      platform::ReleaseFreeMemory();
    }
  });
}

// Pushes work counted in flight until it has run (or was refused).
bool PushCounted(platform::WorkQueue& queue, std::function<void(bool expired)> work, std::function<void()> cancel,
                 DWORD timeoutMs, bool admitted) {
  Began();
  const bool queued = queue.Push(
      [work = std::move(work)](bool expired) mutable {
        work(expired);
        work = nullptr;  // what it holds is freed before the hand-back
        Ended();
      },
      std::move(cancel), timeoutMs, admitted);
  if (!queued) Ended();
  return queued;
}

}  // namespace

void RunBlockingWork(std::function<void()> work) {
  BlockingQueue().Push([work = std::move(work)](bool) { work(); });
}

bool RunQueryWork(std::function<void(bool expired)> work, std::function<void()> cancel, DWORD timeoutMs,
                  bool admitted) {
  return PushCounted(QueryQueue(), std::move(work), std::move(cancel), timeoutMs, admitted);
}

bool RunReplyWork(std::function<void()> work) {
  return PushCounted(ReplyQueue(), [work = std::move(work)](bool) { work(); }, {}, INFINITE, false);
}

void StopBlockingWork(DWORD timeoutMs) {
  SetEvent(StopEvent());
  // Queries first: their cancel frees the replies that wait for them.
  QueryQueue().Stop(timeoutMs);
  ReplyQueue().Stop(timeoutMs);
  BlockingQueue().Stop(timeoutMs);
}
