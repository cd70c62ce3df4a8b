// ThreadSet.h - the pool of named worker threads of a service program.
//
// Every framework thread runs one work item on a thread of this set. A thread
// that finishes its work item goes idle and is reused for the next one (the
// one idle longest first); an idle thread that gets no work for the idle
// timeout (10000 ms) ends. Each pool thread installs the crash translator,
// enables the set's privileges, and runs its work items as recovery points:
// a CException (a CCException from a fault or an invalid runtime parameter
// included) or a standard exception leaving a work item is reported as event
// 0xC0000068 and the thread goes idle as if the item had returned.
//
// Locking: the set's lock (CState::lock) guards the busy map, the thread
// count, the start of threads, each CThread's work item and flags, and an idle
// thread's decision to end. The idle list's own lock guards the list and its
// count; the set's lock is always taken before the list's lock. The state is
// shared with the pool threads, so a thread still busy when the set is
// destroyed ends safely after its work item instead of going idle.
#pragma once

#include "LibService/Status.h"
#include "platform/sync/sync.h"

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

constexpr DWORD MSG_WORK_ITEM_EXCEPTION = 0xC0000068;

class CThreadSet {
 public:
  using WorkFunction = void (*)(void* context);
  static constexpr DWORD kDefaultIdleTimeout = 10000;

  class CThread;
  struct CState;

  // privileges: the names every pool thread enables (copied).
  explicit CThreadSet(const std::vector<const wchar_t*>& privileges, DWORD idleTimeoutMs = kDefaultIdleTimeout);
  CThreadSet(const CThreadSet&) = delete;
  CThreadSet& operator=(const CThreadSet&) = delete;
  // Ends the idle threads and waits for them; busy threads end after their
  // work item.
  ~CThreadSet();

  // Runs function(context) on a pool thread named threadName; does not wait
  // for it. On failure the function is never run; on success it runs exactly
  // once and then, when given, done(context) runs on the same thread however
  // the work item ended (returned, threw, or faulted), so a caller that counts
  // running work items can raise its count before Start, lower it in done,
  // and lower it itself when Start fails. status also receives the result.
  CStatus Start(CStatus& status, WorkFunction function, void* context, const char* threadName,
                WorkFunction done = nullptr);

  // The busy map, for the main thread's COM set-up: call FindBusyThread with
  // the set's lock held (Lock/Unlock).
  void Lock();
  void Unlock();
  CThread* FindBusyThread(DWORD threadId);

  // A scoped hold of the set's lock (Lock on construction, Unlock on every
  // way out of the scope).
  class CLock {
   public:
    explicit CLock(CThreadSet& set) : m_set(set) { m_set.Lock(); }
    ~CLock() { m_set.Unlock(); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

   private:
    CThreadSet& m_set;
  };

  // For status displays and tests.
  std::vector<DWORD> GetBusyThreadIds();
  DWORD GetThreadCount();
  DWORD GetIdleCount();

  // Operations of the pool threads.
  static bool EnablePrivilege(const wchar_t* name, bool enable);
  static void SetThreadName(const char* name);

 private:
  std::shared_ptr<CState> m_state;
};

class CThreadSet::CThread {
 public:
  explicit CThread(std::shared_ptr<CState> state);
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  ~CThread();  // CoUninitialize when the COM flag is set

  // With the set's lock held.
  bool GetCOMFlag() const { return m_com; }
  void SetCOMFlag() { m_com = true; }

 private:
  friend class CThreadSet;
  static DWORD Body(LPVOID parameter);
  void Run();
  void RunWorkItem(WorkFunction function, void* context);

  std::shared_ptr<CState> m_set;
  HANDLE m_thread = nullptr;
  bool m_quit = false;
  bool m_com = false;
  bool m_idle = false;     // in the idle list
  bool m_counted = false;  // counted in the thread count
  WorkFunction m_function = nullptr;
  void* m_context = nullptr;
  WorkFunction m_done = nullptr;
  std::string m_name;
  HANDLE m_work = nullptr;  // auto-reset: a work item was handed over or the thread must end
};
