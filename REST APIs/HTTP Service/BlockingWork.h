// BlockingWork.h - a small pool of threads of its own for work that may block.
//
// The HTTP library runs request handlers, task continuations and socket I/O
// on one shared pool. A handler that waits for work queued on that same pool
// can freeze the server once every pool thread is such a waiter, so file
// opens (and anything else a handler waits for) run here instead.
#pragma once

#include <functional>

// Queues work on the blocking-work threads ("BlockingWorker"), started on
// first use and kept for the life of the process. work must not throw.
void RunBlockingWork(std::function<void()> work);

// Queues work on the query threads ("QueryWorker"), a pool apart from the
// file opens, so that slow queries never hold up static files. The threads
// are in the implicit multithreaded apartment. work must not throw.
void RunQueryWork(std::function<void()> work);

// Queues work on the reply threads ("ReplyWorker"): replies that wait for a
// query's outcome wait here, off the HTTP library's pool and apart from the
// query threads they wait for. work must not throw.
void RunReplyWork(std::function<void()> work);
