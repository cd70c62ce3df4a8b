// BlockingWork.cpp - the blocking-work threads and their queue.
//
// The pool is made on first use and never destroyed (its threads may still be
// waiting when static destructors run); a fixed number of threads bounds how
// many opens can be in flight at once.
#include "REST APIs/HTTP Service/BlockingWork.h"

#include "platform/sync/sync.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr int kBlockingThreads = 8;
constexpr int kQueryThreads = 32;
constexpr int kReplyThreads = 64;

// m_lock guards m_queue; workers sleep on m_ready while it is empty.
class BlockingPool {
 public:
  BlockingPool(const wchar_t* name, int threads) : m_name(name) {
    for (int i = 0; i < threads; ++i) std::thread([this] { Run(); }).detach();
  }

  void Push(std::function<void()> work) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_queue.push_back(std::move(work));
    }
    m_ready.notify_one();
  }

 private:
  void Run() {
    platform::SetCurrentThreadName(m_name);
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock<std::mutex> hold(m_lock);
        m_ready.wait(hold, [this] { return !m_queue.empty(); });
        work = std::move(m_queue.front());
        m_queue.pop_front();
      }
      work();
    }
  }

  const wchar_t* const m_name;
  std::mutex m_lock;
  std::condition_variable m_ready;
  std::deque<std::function<void()>> m_queue;
};

}  // namespace

void RunBlockingWork(std::function<void()> work) {
  static BlockingPool* const pool = new BlockingPool(L"BlockingWorker", kBlockingThreads);
  pool->Push(std::move(work));
}

void RunQueryWork(std::function<void()> work) {
  static BlockingPool* const pool = new BlockingPool(L"QueryWorker", kQueryThreads);
  pool->Push(std::move(work));
}

void RunReplyWork(std::function<void()> work) {
  static BlockingPool* const pool = new BlockingPool(L"ReplyWorker", kReplyThreads);
  pool->Push(std::move(work));
}
