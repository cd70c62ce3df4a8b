// ServiceApp.h - CServiceApp<T>: the running service on the thread set.
//
// The service class T derives from CServiceApp<T> and implements Run. OnStart
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

template <class T>
class CServiceApp : public CWinService {
 public:
  CServiceApp(std::wstring serviceName, std::wstring displayName, std::vector<const wchar_t*> privileges,
              DWORD idleTimeoutMs = CThreadSet::kDefaultIdleTimeout)
      : CWinService(std::move(serviceName), std::move(displayName)),
        m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        m_allDoneEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        m_threads(privileges, idleTimeoutMs),
        m_api(m_threads, g_ServiceLogger) {}

  ~CServiceApp() override {
    // Threads still counted use the events; a program that ends normally has
    // waited for them (WaitForExit) before static destruction.
    if (m_running.load() != 0 || m_api.GetRunningThreads() != 0) {
      SetEvent(m_stopEvent);
      if (m_running.load() != 0) WaitForSingleObject(m_allDoneEvent, 30000);
      m_api.WaitForThreads(30000);
    }
    CloseHandle(m_stopEvent);
    CloseHandle(m_allDoneEvent);
  }

  CStatus OnStart() override {
    ServiceTrace(this, TRC_SERVICE_STARTING);
    ReportEvent(nullptr, MSG_SERVICE_STARTED, {GetDisplayName()});
    m_running.fetch_add(1);
    CStatus status;
    m_threads.Start(status, &MainThreadBody, this, "MainThread", &MainThreadDone);
    if (!status.IsOK()) {
      ThreadEnded();
      ServiceTrace(this, TRC_MAIN_THREAD_NOT_STARTED);
      Stop();
      WaitForExit(INFINITE);
    }
    return status;
  }

  void Stop() override {
    ReportEvent(nullptr, MSG_SERVICE_STOPPED, {GetDisplayName()});
    ServiceTrace(this, TRC_SERVICE_STOPPING);
    SetEvent(m_stopEvent);
  }

  // Nothing counted means nothing runs (also when nothing was ever started),
  // so the wait ends at once instead of waiting for an event nobody sets.
  // The pipe's threads end on the stop event too; they are waited for after
  // the framework's, within the same time.
  DWORD WaitForExit(DWORD timeout) override {
    const ULONGLONG start = GetTickCount64();
    if (m_running.load() != 0) WaitForSingleObject(m_allDoneEvent, timeout);
    if (timeout == INFINITE) {
      m_api.WaitForThreads(INFINITE);
    } else {
      const ULONGLONG spent = GetTickCount64() - start;
      m_api.WaitForThreads(spent >= timeout ? 0 : static_cast<DWORD>(timeout - spent));
    }
    return m_exitCode.load();
  }

  CStatus OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators) override {
    return m_api.OnAPIConnection(pipe, std::move(administrators));
  }

  virtual CStatus Run() = 0;

  // "RegistryChangeWorker": body(status, object) on the service class.
  template <class TObject>
  CStatus StartRegistryChangeWorker(CStatus (T::*body)(CStatus& status, TObject* object), TObject* object) {
    return StartThread("RegistryChangeWorker", static_cast<T*>(this), body, object);
  }
  // "RegistryChangeWorker" for a body that is no member of the service class
  // (a component's own watcher, such as a host's authenticator).
  CStatus StartRegistryChangeWorker(std::function<CStatus()> body) {
    return StartThread("RegistryChangeWorker", this, &CServiceApp::FunctionBody, std::move(body));
  }
  // "APIServer": the administration pipe's server, which starts one
  // "APIConnection" per client.
  CStatus StartAPIServer(HANDLE stopEvent, const std::wstring& serviceName) {
    return m_api.StartAPIServer(stopEvent, serviceName);
  }

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
  LONG GetRunningThreads() { return m_running.load() + m_api.GetRunningThreads(); }

 private:
  template <class TTarget, class... TArgs>
  struct CWork {
    CServiceApp* app;
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
      CServiceApp* app = work->app;
      if (!work->ran) std::apply([](auto&... a) { (service_app_detail::ReleaseUnrun(a), ...); }, work->args);
      if (work->comInitialised) CoUninitialize();
      delete work;
      app->ThreadEnded();
    }
  };

  CStatus FunctionBody(CStatus& status, std::function<CStatus()> body) {
    status = body();
    return status;
  }

  void ThreadEnded() {
    if (m_running.fetch_sub(1) == 1) SetEvent(m_allDoneEvent);
  }

  void StoreExit(const CStatus& status) {
    DWORD specific = 0;
    const DWORD code = ServiceExitCode(status, &specific);
    SetServiceSpecificExitCode(specific);
    m_exitCode.store(code);
  }

  // "MainThread": COM, the administration pipe, then Run.
  static void MainThreadBody(void* context) {
    CServiceApp* app = static_cast<CServiceApp*>(context);
    CStatus status = app->SetUpMainThreadCOM();
    if (status.IsOK()) status = app->StartAPIServer(app->m_stopEvent, app->GetServiceName());
    if (status.IsOK()) {
      ServiceTrace(app, TRC_SERVICE_RUNNING);
      status = app->Run();
    }
    if (!status.IsOK()) ReportError(*status.GetError());
    app->StoreExit(status);
    app->m_mainCompleted.store(true);
    // Before the counter is lowered, so that nothing of this object is used
    // once WaitForExit has returned.
    if (!status.IsOK()) app->Stop();
  }
  // A Run that threw (already reported by the thread set) still ends the
  // service, with a non-zero exit code.
  static void MainThreadDone(void* context) {
    CServiceApp* app = static_cast<CServiceApp*>(context);
    if (!app->m_mainCompleted.load()) {
      app->SetServiceSpecificExitCode(MSG_WORK_ITEM_EXCEPTION);
      app->m_exitCode.store(ERROR_SERVICE_SPECIFIC_ERROR);
      app->Stop();
    }
    app->ThreadEnded();
  }

  CStatus SetUpMainThreadCOM() {
    bool ok = false;
    HRESULT hr = S_OK;
    m_threads.Lock();
    CThreadSet::CThread* thread = m_threads.FindBusyThread(GetCurrentThreadId());
    if (thread != nullptr) {
      if (thread->GetCOMFlag()) {
        ok = true;
      } else {
        hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (hr == S_OK || hr == RPC_E_CHANGED_MODE) {
          thread->SetCOMFlag();
          ok = true;
        } else if (hr == S_FALSE) {
          CoUninitialize();
          thread->SetCOMFlag();
          ok = true;
        }
      }
    } else {
      hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (hr == S_FALSE) CoUninitialize();
      ok = hr == S_OK || hr == S_FALSE;
    }
    m_threads.Unlock();
    if (ok) return CStatus();
    return CStatus(NewHRESULT(CSourcePos{__FILE__, 163}, hr));
  }

  std::atomic<LONG> m_running{0};
  HANDLE m_stopEvent;
  HANDLE m_allDoneEvent;
  std::atomic<DWORD> m_exitCode{0};
  std::atomic<bool> m_mainCompleted{false};
  CThreadSet m_threads;
  // After m_threads, so that it is destroyed (its threads waited for) first.
  CServiceAPI m_api;
};
