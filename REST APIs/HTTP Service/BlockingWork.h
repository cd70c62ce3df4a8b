// BlockingWork.h - the work queues of the HTTP service for work that may block.
//
// The HTTP library runs request handlers, task continuations and socket I/O
// on one shared pool. A handler that waits for work queued on that same pool
// can freeze the server once every pool thread is such a waiter, so file
// opens, queries and the replies that wait for them run on queues of their
// own (platform::WorkQueue: named threads, a bound on running plus queued
// work, a deadline per item, a stop that ends in bounded time). Their idle
// threads end after a while, and the memory a burst of queries freed is
// handed back to the system when the burst is over.
#pragma once

#include "platform/sync/sync.h"

#include <functional>

// Threads and bounds of the three queues.
constexpr std::size_t kBlockingThreads = 8;
constexpr std::size_t kQueryThreads = 64;
constexpr std::size_t kQueryBound = 128;
constexpr std::size_t kReplyThreads = 160;
constexpr std::size_t kReplyBound = 320;

// Queues work on the blocking-work threads ("BlockingWorker"): file opens.
// Never refused before the stop; after it the work is dropped. work must not
// throw.
void RunBlockingWork(std::function<void()> work);

// Queues a query's work on the query threads ("QueryWorker"), in the
// implicit multithreaded apartment. false, with nothing queued, when the
// queue is full or stopped (admitted: the next piece of a request already
// taken in, queued past the bound). work is told expired when it did not
// start within timeoutMs; cancel is called when the queue stops while it
// runs. work must not throw.
bool RunQueryWork(std::function<void(bool expired)> work, std::function<void()> cancel, DWORD timeoutMs,
                  bool admitted = false);

// Queues a reply that waits for a query's outcome on the reply threads
// ("ReplyWorker"); false when full or stopped. work must not throw.
bool RunReplyWork(std::function<void()> work);

// Stops the three queues (replies, queries, file opens): queued work ends as
// expired, running queries are cancelled. Bounded by timeoutMs for each.
void StopBlockingWork(DWORD timeoutMs);
