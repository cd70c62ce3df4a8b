// BlockingWork.cpp - the three work queues of the HTTP service.
//
// The queues are made on first use and never destroyed: a thread stuck in a
// provider past the stop must not find its queue gone.
#include "REST APIs/HTTP Service/BlockingWork.h"

#include "platform/sync/workqueue.h"

#include <limits>

namespace {

platform::WorkQueue& BlockingQueue() {
  static auto* const queue =
      new platform::WorkQueue(L"BlockingWorker", kBlockingThreads, std::numeric_limits<std::size_t>::max());
  return *queue;
}

platform::WorkQueue& QueryQueue() {
  static auto* const queue = new platform::WorkQueue(L"QueryWorker", kQueryThreads, kQueryBound);
  return *queue;
}

platform::WorkQueue& ReplyQueue() {
  static auto* const queue = new platform::WorkQueue(L"ReplyWorker", kReplyThreads, kReplyBound);
  return *queue;
}

}  // namespace

void RunBlockingWork(std::function<void()> work) {
  BlockingQueue().Push([work = std::move(work)](bool) { work(); });
}

bool RunQueryWork(std::function<void(bool expired)> work, std::function<void()> cancel, DWORD timeoutMs,
                  bool admitted) {
  return QueryQueue().Push(std::move(work), std::move(cancel), timeoutMs, admitted);
}

bool RunReplyWork(std::function<void()> work) {
  return ReplyQueue().Push([work = std::move(work)](bool) { work(); });
}

void StopBlockingWork(DWORD timeoutMs) {
  // Queries first: their cancel frees the replies that wait for them.
  QueryQueue().Stop(timeoutMs);
  ReplyQueue().Stop(timeoutMs);
  BlockingQueue().Stop(timeoutMs);
}
