// ServiceLogger.cpp - the service logger, its settings and the crash support.
//
// The crash support has three parts: the dump hook of the fault handler (the
// faulting thread has the watcher run the dump tool while its stack is still
// at the fault), CrashTranslator (the fault becomes a CCException at the pool
// body's recovery point), and the invalid-parameter handler. The event-source
// name of the fatal report is written once at start, before any pool thread.
#include "LibService/ServiceLogger.h"

#include "platform/base/format.h"
#include "platform/eventlog/eventlog.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include <cstdlib>
#include <cwchar>
#include <new>

CServiceLogger g_ServiceLogger;

namespace {

std::wstring g_crashEventSource;

// Under the temporary translator any further fault is only a signal to give up.
struct CThrowaway {};
void ThrowAway(unsigned int, EXCEPTION_POINTERS*) { throw CThrowaway{}; }

// Runs on the crash watcher, not in the signal handler: the faulting thread
// waits (bounded) while the event is written, then the process exits with
// the exception code.
void FatalReport(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  std::wstring text = DescribeFault(record, context, true);
  if (text.size() > 1023) text.resize(1023);  // the report's 1024-character buffer
  if (HANDLE source = RegisterEventSourceW(nullptr, g_crashEventSource.c_str())) {
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, MSG_FATAL_EXCEPTION, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }
}

void FatalHook(EXCEPTION_POINTERS* pointers) { platform::EndProcessAfterFault(pointers); }

void DumpHook(EXCEPTION_POINTERS* pointers) { platform::RequestDump(pointers, nullptr); }

void InvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {
  try {
    platform::RequestDump(nullptr, nullptr);
  } catch (...) {
  }
  CCException* exception = nullptr;
  try {
    exception = new (std::nothrow) CCException(L"\"invalid system call parameter\"");
  } catch (...) {
  }
  if (exception != nullptr) throw exception;
}

struct CDescribeContext {
  const EXCEPTION_RECORD* record;
  const CONTEXT* context;
  CCException* result;
};

}  // namespace

BOOL CCException::GetErrorMessage(wchar_t* buffer, UINT maximum, UINT* /*helpContext*/) const {
  if (buffer == nullptr || maximum == 0) return FALSE;
  // lstrcpyn: at most maximum - 1 characters and the terminator.
  const std::size_t count = std::min<std::size_t>(m_text.size(), maximum - 1);
  std::wmemcpy(buffer, m_text.data(), count);
  buffer[count] = 0;
  return TRUE;
}

CServiceLogger::CServiceLogger() { InitializeCriticalSection(&m_lock); }

CServiceLogger::~CServiceLogger() {
  DeleteCriticalSection(&m_lock);
  m_names.clear();
  m_cookies.clear();
}

void CServiceLogger::Log(CTraceLoggable* source, DWORD messageId, va_list args) {
  const std::string name = source != nullptr ? source->GetTraceName() : std::string();
  CLoggedObject* object = nullptr;
  try {
    platform::CriticalSectionLock guard(m_lock);
    auto found = m_names.find(name);
    if (found == m_names.end()) {
      found = m_names.emplace(name, CLoggedObject(name)).first;
      m_cookies.insert(&found->second);
    }
    object = &found->second;
  } catch (const std::bad_alloc&) {
    return;  // tracing never fails its caller
  }
  TraceV(object, messageId, false, args);
}

bool CServiceLogger::IsCookie(const void* cookie) {
  platform::CriticalSectionLock guard(m_lock);
  return m_cookies.count(static_cast<const CLoggedObject*>(cookie)) != 0;
}

bool CServiceLogger::GetNameOfCookie(const void* cookie, std::string& name) {
  platform::CriticalSectionLock guard(m_lock);
  const auto* object = static_cast<const CLoggedObject*>(cookie);
  if (m_cookies.count(object) == 0) return false;
  name = object->GetTraceName();
  return true;
}

const CServiceLogger::CLoggedObject* CServiceLogger::FindCookie(const std::string& name) {
  platform::CriticalSectionLock guard(m_lock);
  const auto found = m_names.find(name);
  return found != m_names.end() ? &found->second : nullptr;
}

void ServiceTrace(CTraceLoggable* source, DWORD messageId, ...) {
  va_list args;
  va_start(args, messageId);
  g_ServiceLogger.Log(source, messageId, args);
  va_end(args);
}

std::wstring ServiceSettingsKey(const std::wstring& displayName) { return L"Software\\Vantrel\\" + displayName; }

void SetCrashEventSource(const std::wstring& displayName) { g_crashEventSource = displayName; }

CStatus StartServiceLogger(const std::wstring& serviceName, const std::wstring& displayName) {
  const DWORD moduleResult = CTraceLogger::SetMessageModule(L"Trc" + serviceName);
  if (moduleResult != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 13}, moduleResult));

  std::wstring directory = kDefaultLogDirectory;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceSettingsKey(displayName).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    platform::RegKey owner(key);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"Log file directory", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      std::string bytes(size, '\0');
      if (RegQueryValueExW(key, L"Log file directory", nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
              ERROR_SUCCESS &&
          (type == REG_SZ || type == REG_EXPAND_SZ)) {
        // Up to the terminating null; an odd trailing byte is not a character.
        directory = platform::RegStringFromBytes(reinterpret_cast<const BYTE*>(bytes.data()), size);
      }
    }
    DWORD value = 0;
    size = sizeof value;
    if (RegQueryValueExW(key, L"Log level", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value) {
      g_ServiceLogger.SetLevelMask(value);
    }
    size = sizeof value;
    if (RegQueryValueExW(key, L"Log size", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value) {
      g_ServiceLogger.SetLogSize(value);
    }
  }

  _set_invalid_parameter_handler(InvalidParameterHandler);
  if (g_crashEventSource.empty()) g_crashEventSource = displayName;

  // The dump tool lies beside the program: its folder, "\VnMiniDump.exe".
  std::wstring toolPath = platform::ExecutableDirectory();
  for (wchar_t& ch : toolPath) {
    if (ch == L'/') ch = L'\\';
  }
  const std::size_t lastSeparator = toolPath.rfind(L'\\');
  if (lastSeparator == std::wstring::npos) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 78}, ERROR_FILE_NOT_FOUND));
  toolPath = toolPath.substr(0, lastSeparator) + L"\\VnMiniDump.exe";
  const DWORD dumpResult = platform::StartCrashDumps(toolPath, directory, serviceName);
  if (dumpResult != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 82}, dumpResult));
  platform::SetFatalReport(FatalReport);
  platform::SetFaultDumpHook(DumpHook);
  platform::SetFatalFaultHook(FatalHook);

  g_ServiceLogger.SetFilePrefix(serviceName);
  g_ServiceLogger.SetDirectory(directory);
  return CStatus();
}

std::wstring DescribeFault(const EXCEPTION_RECORD& record, const CONTEXT& context, bool fatalFormat) {
  std::wstring text = platform::FormatW(L"0x%X@0x%p (", record.ExceptionCode, record.ExceptionAddress);
  const DWORD count = std::min<DWORD>(record.NumberParameters, EXCEPTION_MAXIMUM_PARAMETERS);
  for (DWORD i = 0; i < count; ++i) {
    if (i > 0) text += L", ";
    // The whole parameter: an address cut to 32 bits would point elsewhere.
    text += platform::FormatW(L"0x%I64X", static_cast<ULONGLONG>(record.ExceptionInformation[i]));
  }
  text += L")\n";
  text += platform::FormatW(L"RIP: 0x%I64X\n", context.Rip);
  const DWORD frames = std::min<DWORD>(context.FrameCount, kMaxCapturedFrames);
  for (DWORD i = 0; i < frames; ++i) {
    if (fatalFormat) {
      text += platform::FormatW(L"0x%llX 0x%llX\n", context.FrameChain[i][0], context.FrameChain[i][1]);
    } else {
      text += platform::FormatW(L"0x%p 0x%p\n", reinterpret_cast<void*>(context.FrameChain[i][0]),
                                reinterpret_cast<void*>(context.FrameChain[i][1]));
    }
  }
  const std::size_t first = text.find_first_not_of(L" \t\r\n");
  const std::size_t last = text.find_last_not_of(L" \t\r\n");
  return first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
}

void CrashTranslator(unsigned int /*code*/, EXCEPTION_POINTERS* pointers) {
  // Copied first: a fault while describing this one refills the thread's record.
  const EXCEPTION_RECORD record = *pointers->ExceptionRecord;
  const CONTEXT context = *pointers->ContextRecord;
  const _se_translator_function previous = _set_se_translator(ThrowAway);
  CDescribeContext describe{&record, &context, nullptr};
  try {
    platform::CallWithFaultRecovery(
        [](void* p) {
          auto* d = static_cast<CDescribeContext*>(p);
          d->result = new (std::nothrow) CCException(DescribeFault(*d->record, *d->context, false));
        },
        &describe);
  } catch (...) {
    delete describe.result;
    describe.result = nullptr;
  }
  _set_se_translator(previous);
  if (describe.result == nullptr) {
    EXCEPTION_RECORD recordCopy = record;
    CONTEXT contextCopy = context;
    EXCEPTION_POINTERS fatal{&recordCopy, &contextCopy};
    platform::EndProcessAfterFault(&fatal);
  }
  throw describe.result;
}
