// ThreadSet.cpp - pool threads: start, reuse, idle exit, privileges.
#include "LibService/ThreadSet.h"

#include "LibService/ServiceLogger.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/crash/crash.h"
#include "platform/crash/privileges.h"

#include <mutex>
#include <new>
#include <set>

struct CThreadSet::CState {
  CState(const std::vector<const wchar_t*>& names, DWORD timeout) : idleTimeout(timeout) {
    for (const wchar_t* name : names) privileges.emplace_back(name != nullptr ? name : L"");
    InitializeCriticalSection(&lock);
    InitializeCriticalSection(&idleLock);
    idleEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  ~CState() {
    if (idleEvent != nullptr) CloseHandle(idleEvent);
    DeleteCriticalSection(&idleLock);
    DeleteCriticalSection(&lock);
  }

  DWORD threadCount = 0;
  std::list<CThread*> idle;
  DWORD idleCount = 0;
  CRITICAL_SECTION idleLock;
  HANDLE idleEvent;
  std::map<DWORD, CThread*> busy;
  std::vector<std::wstring> privileges;
  const DWORD idleTimeout;
  bool closing = false;
  CRITICAL_SECTION lock;
};

namespace {

// A failure to enable privilege i is reported once per process.
std::mutex g_reportedLock;
std::set<std::size_t> g_reportedPrivileges;

bool FirstFailureOf(std::size_t index) {
  std::lock_guard<std::mutex> guard(g_reportedLock);
  return g_reportedPrivileges.insert(index).second;
}

}  // namespace

CThreadSet::CThread::CThread(std::shared_ptr<CState> state)
    : m_set(std::move(state)), m_work(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CThreadSet::CThread::~CThread() {
  if (m_work != nullptr) CloseHandle(m_work);
  if (m_com) CoUninitialize();
}

CThreadSet::CThreadSet(const std::vector<const wchar_t*>& privileges, DWORD idleTimeoutMs)
    : m_state(std::make_shared<CState>(privileges, idleTimeoutMs)) {}

CThreadSet::~CThreadSet() {
  // The idle threads are told to end under the lock, but waited for without
  // it: one that timed out at the same moment needs the lock to see the quit.
  std::vector<HANDLE> ending;
  {
    platform::CriticalSectionLock guard(m_state->lock);
    m_state->closing = true;
    platform::CriticalSectionLock idleGuard(m_state->idleLock);
    while (!m_state->idle.empty()) {
      CThread* thread = m_state->idle.front();
      m_state->idle.pop_front();
      --m_state->idleCount;
      thread->m_idle = false;
      thread->m_quit = true;
      if (HANDLE handle = DuplicateHandleRef(thread->m_thread)) ending.push_back(handle);
      SetEvent(thread->m_work);
    }
    SetEvent(m_state->idleEvent);
  }
  for (HANDLE handle : ending) {
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
  }
}

CStatus CThreadSet::Start(CStatus& status, WorkFunction function, void* context, const char* threadName,
                          WorkFunction done) {
  CState& s = *m_state;
  CThread* created = nullptr;
  CThread* chosen = nullptr;
  int failures = 0;
  platform::CriticalSectionLock guard(s.lock);
  while (true) {
    {
      platform::CriticalSectionLock idleGuard(s.idleLock);
      if (!s.idle.empty()) {
        chosen = s.idle.front();
        s.idle.pop_front();
        --s.idleCount;
        chosen->m_idle = false;
        SetEvent(s.idleEvent);
      }
    }
    if (chosen != nullptr) break;
    if (created == nullptr) {
      created = new (std::nothrow) CThread(m_state);
      if (created == nullptr) {
        status = CStatus(NewErrorMessage(CSourcePos{__FILE__, 166}, MSG_OUT_OF_MEMORY,
                                         {platform::FormatW(L"%d", static_cast<int>(sizeof(CThread)))}));
        break;
      }
    }
    HANDLE thread = created->m_work != nullptr ? CreateThread(nullptr, 0, CThread::Body, created, 0, nullptr) : nullptr;
    if (thread != nullptr) {
      created->m_thread = thread;
      chosen = created;
      break;
    }
    const DWORD error = created->m_work != nullptr ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
    if (++failures > 100) {
      status = CStatus(NewErrorNumber(CSourcePos{__FILE__, 161}, error));
      break;
    }
    // Without the lock while waiting, so a thread that finishes meanwhile can
    // go idle and be taken instead.
    guard.Unlock();
    Sleep(100);
    guard.Relock();
  }
  if (chosen != nullptr) {
    chosen->m_function = function;
    chosen->m_context = context;
    chosen->m_done = done;
    chosen->m_name = threadName != nullptr ? threadName : "";
    SetEvent(chosen->m_work);
    status = CStatus();
  }
  if (created != nullptr) {
    if (created == chosen) {
      ++s.threadCount;
      created->m_counted = true;
    } else {
      delete created;
    }
  }
  return status;
}

void CThreadSet::Lock() { EnterCriticalSection(&m_state->lock); }
void CThreadSet::Unlock() { LeaveCriticalSection(&m_state->lock); }

CThreadSet::CThread* CThreadSet::FindBusyThread(DWORD threadId) {
  const auto found = m_state->busy.find(threadId);
  return found != m_state->busy.end() ? found->second : nullptr;
}

std::vector<DWORD> CThreadSet::GetBusyThreadIds() {
  platform::CriticalSectionLock guard(m_state->lock);
  std::vector<DWORD> ids;
  for (const auto& entry : m_state->busy) ids.push_back(entry.first);
  return ids;
}

DWORD CThreadSet::GetThreadCount() {
  platform::CriticalSectionLock guard(m_state->lock);
  return m_state->threadCount;
}

DWORD CThreadSet::GetIdleCount() {
  platform::CriticalSectionLock guard(m_state->idleLock);
  return m_state->idleCount;
}

bool CThreadSet::EnablePrivilege(const wchar_t* name, bool enable) {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, &token)) {
    if (GetLastError() != ERROR_NO_TOKEN) return false;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  }
  bool ok = false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    ok = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
         GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  }
  return CloseHandle(token) && ok;
}

void CThreadSet::SetThreadName(const char* name) {
  platform::SetCurrentThreadName(platform::WideFromUtf8(name != nullptr ? name : ""));
}

DWORD CThreadSet::CThread::Body(LPVOID parameter) {
  static_cast<CThread*>(parameter)->Run();
  return 0;
}

void CThreadSet::CThread::RunWorkItem(WorkFunction function, void* context) {
  std::wstring text;
  bool failed = true;
  try {
    platform::CallWithFaultRecovery(function, context);
    failed = false;
  } catch (CException* exception) {
    wchar_t buffer[1024];
    if (!exception->GetErrorMessage(buffer, 1024)) buffer[0] = 0;
    text = buffer;
    exception->Delete();
  } catch (const std::exception& exception) {
    // A standard exception would end the whole process from here; it is
    // reported like the framework's own.
    text = platform::WideFromUtf8(exception.what());
  } catch (...) {
    text = L"unknown exception";
  }
  if (failed) {
    if (text.size() > 1023) text.resize(1023);
    ReportError(CErrorMessage(CSourcePos{__FILE__, 395}, MSG_WORK_ITEM_EXCEPTION, {text}));
  }
}

void CThreadSet::CThread::Run() {
  CState& s = *m_set;
  _set_se_translator(CrashTranslator);
  for (std::size_t i = 0; i < s.privileges.size(); ++i) {
    if (!EnablePrivilege(s.privileges[i].c_str(), true) && FirstFailureOf(i)) {
      ReportEvent(nullptr, MSG_PRIVILEGE_NOT_ENABLED, {s.privileges[i]});
    }
  }
  const DWORD self = GetCurrentThreadId();
  while (true) {
    const DWORD wait = WaitForSingleObject(m_work, s.idleTimeout);
    WorkFunction function = nullptr;
    void* context = nullptr;
    WorkFunction done = nullptr;
    std::string name;
    {
      platform::CriticalSectionLock guard(s.lock);
      if (wait != WAIT_OBJECT_0 && WaitForSingleObject(m_work, 0) != WAIT_OBJECT_0) {
        // Idle for the whole timeout: end, unless Start took this thread meanwhile.
        if (m_idle) {
          platform::CriticalSectionLock idleGuard(s.idleLock);
          s.idle.remove(this);
          --s.idleCount;
          m_idle = false;
          SetEvent(s.idleEvent);
        }
        break;
      }
      if (m_quit) break;
      function = m_function;
      context = m_context;
      done = m_done;
      name = m_name;
      if (function != nullptr) s.busy.emplace(self, this);
    }
    if (function == nullptr) continue;

    SetThreadName(name.c_str());
    RunWorkItem(function, context);
    if (done != nullptr) done(context);
    SetThreadName("None");

    platform::CriticalSectionLock guard(s.lock);
    m_function = nullptr;
    m_context = nullptr;
    m_done = nullptr;
    m_name.clear();
    s.busy.erase(self);
    if (s.closing) break;
    platform::CriticalSectionLock idleGuard(s.idleLock);
    s.idle.push_back(this);
    ++s.idleCount;
    m_idle = true;
    SetEvent(s.idleEvent);
  }
  {
    platform::CriticalSectionLock guard(s.lock);
    if (m_counted) --s.threadCount;
    m_counted = false;
    CloseHandle(m_thread);
    m_thread = nullptr;
  }
  _set_se_translator(nullptr);
  delete this;
}
