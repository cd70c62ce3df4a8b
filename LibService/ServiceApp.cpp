// ServiceApp.cpp - CServiceAppBase: the parts of the running service that do
// not depend on the service class.
#include "LibService/ServiceApp.h"

CServiceAppBase::CServiceAppBase(std::wstring serviceName, std::wstring displayName,
                                 std::vector<const wchar_t*> privileges, DWORD idleTimeoutMs)
    : CWinService(std::move(serviceName), std::move(displayName)),
      m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_allDoneEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_threads(privileges, idleTimeoutMs),
      m_api(m_threads, g_ServiceLogger) {}

CServiceAppBase::~CServiceAppBase() {
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

CStatus CServiceAppBase::OnStart() {
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

void CServiceAppBase::Stop() {
  ReportEvent(nullptr, MSG_SERVICE_STOPPED, {GetDisplayName()});
  ServiceTrace(this, TRC_SERVICE_STOPPING);
  SetEvent(m_stopEvent);
}

DWORD CServiceAppBase::WaitForExit(DWORD timeout) {
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

CStatus CServiceAppBase::OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators) {
  return m_api.OnAPIConnection(pipe, std::move(administrators));
}

CStatus CServiceAppBase::StartAPIServer(HANDLE stopEvent, const std::wstring& serviceName) {
  return m_api.StartAPIServer(stopEvent, serviceName);
}

LONG CServiceAppBase::GetRunningThreads() { return m_running.load() + m_api.GetRunningThreads(); }

CStatus CServiceAppBase::FunctionBody(CStatus& status, std::function<CStatus()> body) {
  status = body();
  return status;
}

void CServiceAppBase::ThreadEnded() {
  if (m_running.fetch_sub(1) == 1) SetEvent(m_allDoneEvent);
}

void CServiceAppBase::StoreExit(const CStatus& status) {
  DWORD specific = 0;
  const DWORD code = ServiceExitCode(status, &specific);
  SetServiceSpecificExitCode(specific);
  m_exitCode.store(code);
}

void CServiceAppBase::MainThreadBody(void* context) {
  CServiceAppBase* app = static_cast<CServiceAppBase*>(context);
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

void CServiceAppBase::MainThreadDone(void* context) {
  CServiceAppBase* app = static_cast<CServiceAppBase*>(context);
  if (!app->m_mainCompleted.load()) {
    app->SetServiceSpecificExitCode(MSG_WORK_ITEM_EXCEPTION);
    app->m_exitCode.store(ERROR_SERVICE_SPECIFIC_ERROR);
    app->Stop();
  }
  app->ThreadEnded();
}

CStatus CServiceAppBase::SetUpMainThreadCOM() {
  bool ok = false;
  HRESULT hr = S_OK;
  {
    CThreadSet::CLock hold(m_threads);
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
  }
  if (ok) return CStatus();
  return CStatus(NewHRESULT(CSourcePos{__FILE__, 163}, hr));
}
