// ServiceApp.h - CServiceApp<T>: the running service on the thread set.
//
// The service class T derives from CServiceApp<T> and implements Run. Only
// what needs T (a registry worker that is a member of T) is in the template;
// the rest is CServiceAppBase (ServiceApp.cpp). OnStart
// runs "MainThread", which sets up COM, starts the administration pipe
// through CServiceAPI, the one runner of its threads ("APIServer", one
// "APIConnection" per client), and calls Run; Stop sets the stop event every
// long-running thread waits on; WaitForExit waits until the last framework
// thread and the last pipe thread have ended. Framework threads are started by one
// template (StartThread) that counts them: the running-thread counter is
// raised before a thread is started and lowered by the thread set's done
// callback, which runs however the work item ended (returned, threw,
// faulted), so the all-done event is set exactly when nothing runs any more.
//
// Shared state: m_running, m_exitCode and the service-specific exit code are
// atomics; the stop and all-done events are manual reset and never reset.
#pragma once

#include "LibService/LibServiceAPI.h"
#include "LibService/ServiceLogger.h"
#include "LibService/Status.h"
#include "LibService/ThreadSet.h"
#include "LibService/WinService.h"
#include "platform/base/format.h"
#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// Trace ids of the framework (module "Trc" + service name).
constexpr DWORD TRC_SERVICE_STARTING = 0x00010000;
constexpr DWORD TRC_SERVICE_RUNNING = 0x00010001;
constexpr DWORD TRC_SERVICE_STOPPING = 0x00010002;
constexpr DWORD TRC_MAIN_THREAD_NOT_STARTED = 0xC0010001;

namespace service_app_detail {
// What a work package that never ran still owns (nothing, for the framework's
// own threads: the pipe's connections are started by CServiceAPI).
template <class TArg>
void ReleaseUnrun(const TArg&) {}
}  // namespace service_app_detail

class CServiceAppBase : public CWinService {
 public:
  CServiceAppBase(std::wstring serviceName, std::wstring displayName, std::vector<const wchar_t*> privileges,
                  DWORD idleTimeoutMs = CThreadSet::kDefaultIdleTimeout);
  ~CServiceAppBase() override;

  CStatus OnStart() override;
  void Stop() override;
  // Nothing counted means nothing runs (also when nothing was ever started),
  // so the wait ends at once instead of waiting for an event nobody sets.
  // The pipe's threads end on the stop event too; they are waited for after
  // the framework's, within the same time.
  DWORD WaitForExit(DWORD timeout) override;
  CStatus OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators) override;

  virtual CStatus Run() = 0;

  // "RegistryChangeWorker" for a body that is no member of the service class
  // (a component's own watcher, such as a host's authenticator).
  CStatus StartRegistryChangeWorker(std::function<CStatus()> body) {
    return StartWorker("RegistryChangeWorker", std::move(body));
  }
  // A worker named name (copied) for a body that is no member of the
  // service class, counted like every framework thread.
  CStatus StartWorker(const char* name, std::function<CStatus()> body) {
    return StartThread(name, this, &CServiceAppBase::FunctionBody, std::move(body));
  }
  // "APIServer": the administration pipe's server, which starts one
  // "APIConnection" per client.
  CStatus StartAPIServer(HANDLE stopEvent, const std::wstring& serviceName);

  // The thread-start template: runs (target->*function)(status, args...) on a
  // thread of the set, named name, counted while it runs.
  template <class TTarget, class... TParams, class... TArgs>
  CStatus StartThread(const char* name, TTarget* target, CStatus (TTarget::*function)(CStatus&, TParams...),
                      TArgs&&... args) {
    using Work = CWork<TTarget, std::decay_t<TParams>...>;
    Work* work = nullptr;
    try {
      work = new (std::nothrow) Work{this, target, function, {std::forward<TArgs>(args)...}};
    } catch (const std::bad_alloc&) {
      work = nullptr;
    }
    if (work == nullptr) {
      std::tuple<std::decay_t<TArgs>...> unrun{std::forward<TArgs>(args)...};
      std::apply([](auto&... a) { (service_app_detail::ReleaseUnrun(a), ...); }, unrun);
      return CStatus(
          NewErrorMessage(CSourcePos{__FILE__, 64}, MSG_OUT_OF_MEMORY, {platform::FormatW(L"%d", int(sizeof(Work)))}));
    }
    m_running.fetch_add(1);
    CStatus status;
    m_threads.Start(status, &Work::Body, work, name, &Work::Done);
    if (!status.IsOK()) {
      std::apply([](auto&... a) { (service_app_detail::ReleaseUnrun(a), ...); }, work->args);
      delete work;
      ThreadEnded();
    }
    return status;
  }

  HANDLE GetStopEvent() const { return m_stopEvent; }
  CThreadSet& GetThreadSet() { return m_threads; }
  // Framework and pipe threads counted as running (for tests and status
  // displays).
  LONG GetRunningThreads();

 private:
  template <class TTarget, class... TArgs>
  struct CWork {
    CServiceAppBase* app;
    TTarget* target;
    CStatus (TTarget::*function)(CStatus&, TArgs...);
    std::tuple<TArgs...> args;
    bool ran = false;             // the function was called
    bool comInitialised = false;  // CoUninitialize still owed by this thread

    // Pool threads are reused, so COM may already be initialised on this
    // thread (S_FALSE): that is success, and the count is paired either way.
    static void Body(void* context) {
      CWork* work = static_cast<CWork*>(context);
      CStatus status;
      const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (hr == S_OK || hr == S_FALSE) {
        work->comInitialised = true;
        work->ran = true;
        status = std::apply(
            [work, &status](auto&... a) { return (work->target->*work->function)(status, a...); }, work->args);
        work->comInitialised = false;
        CoUninitialize();
      } else {
        status = CStatus(NewHRESULT(CSourcePos{__FILE__, 115}, hr));
      }
      if (!status.IsOK()) status.Report();
    }
    // Runs after Body however it ended.
    static void Done(void* context) {
      CWork* work = static_cast<CWork*>(context);
      CServiceAppBase* app = work->app;
      if (!work->ran) std::apply([](auto&... a) { (service_app_detail::ReleaseUnrun(a), ...); }, work->args);
      if (work->comInitialised) CoUninitialize();
      delete work;
      app->ThreadEnded();
    }
  };

  CStatus FunctionBody(CStatus& status, std::function<CStatus()> body);
  void ThreadEnded();
  void StoreExit(const CStatus& status);
  // "MainThread": COM, the administration pipe, then Run.
  static void MainThreadBody(void* context);
  // A Run that threw (already reported by the thread set) still ends the
  // service, with a non-zero exit code.
  static void MainThreadDone(void* context);
  CStatus SetUpMainThreadCOM();

  std::atomic<LONG> m_running{0};
  HANDLE m_stopEvent;
  HANDLE m_allDoneEvent;
  std::atomic<DWORD> m_exitCode{0};
  std::atomic<bool> m_mainCompleted{false};
  CThreadSet m_threads;
  // After m_threads, so that it is destroyed (its threads waited for) first.
  CServiceAPI m_api;
};

// The service class T derives from this and implements Run; what needs T is
// here, the rest in CServiceAppBase.
template <class T>
class CServiceApp : public CServiceAppBase {
 public:
  using CServiceAppBase::CServiceAppBase;

  using CServiceAppBase::StartRegistryChangeWorker;
  // "RegistryChangeWorker": body(status, object) on the service class.
  template <class TObject>
  CStatus StartRegistryChangeWorker(CStatus (T::*body)(CStatus& status, TObject* object), TObject* object) {
    return StartThread("RegistryChangeWorker", static_cast<T*>(this), body, object);
  }
};
