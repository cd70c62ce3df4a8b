// ServiceLogger.h - the service's trace logger, ServiceTrace and crash support.
//
// One process-wide CServiceLogger (g_ServiceLogger) is the trace logger of a
// service program. It gives each distinct source name one stable
// CLoggedObject, whose address is the cookie the administration pipe hands
// out and resolves. StartServiceLogger configures it from the service's
// registry key and installs the crash support: the structured-exception
// translator for pool threads (InstallCrashTranslator), the invalid-parameter
// handler, and the dump tool beside the program.
//
// Locking: m_lock (spin count 0) guards m_cookies and m_names. It is never
// held together with the trace logger's own lock.
#pragma once

#include "LibService/Status.h"
#include "platform/crash/crash.h"
#include "platform/sync/sync.h"
#include "trace/TraceLogger.h"

#include <cstdarg>
#include <map>
#include <set>
#include <string>

// The exception a structured exception or an invalid runtime parameter turns
// into; thrown by pointer, deleted by the catcher (Delete).
class CCException : public CException {
 public:
  explicit CCException(std::wstring text) : m_text(std::move(text)) {}
  BOOL GetErrorMessage(wchar_t* buffer, UINT maximum, UINT* helpContext = nullptr) const override;
  const std::wstring& GetText() const { return m_text; }

 private:
  std::wstring m_text;
};

class CServiceLogger : public CTraceLogger {
 public:
  // The one trace source object of a source name; never removed.
  class CLoggedObject : public CTraceLoggable {
   public:
    explicit CLoggedObject(std::string name) : m_name(std::move(name)) {}
    std::string GetTraceName() const override { return m_name; }

   private:
    std::string m_name;
  };

  CServiceLogger();
  ~CServiceLogger() override;

  // The body of ServiceTrace.
  void Log(CTraceLoggable* source, DWORD messageId, va_list args);

  // For the administration pipe; each takes m_lock.
  // True when cookie is the address of a CLoggedObject handed out.
  bool IsCookie(const void* cookie);
  // The source name of a cookie; false (name untouched) when it is none.
  bool GetNameOfCookie(const void* cookie, std::string& name);
  // The cookie of a source name, or null when no line of it was written.
  const CLoggedObject* FindCookie(const std::string& name);

 private:
  std::set<const CLoggedObject*> m_cookies;
  std::map<std::string, CLoggedObject> m_names;
  CRITICAL_SECTION m_lock;
};

extern CServiceLogger g_ServiceLogger;

// Writes one trace line; the arguments are those the message text declares.
// Usable from any thread.
void ServiceTrace(CTraceLoggable* source, DWORD messageId, ...);

// Configures the logger and the crash support from HKLM
// "Software\Vantrel\" + displayName; called once at service start.
CStatus StartServiceLogger(const std::wstring& serviceName, const std::wstring& displayName);

// The registry key of a service's settings, and the defaults.
std::wstring ServiceSettingsKey(const std::wstring& displayName);
constexpr const wchar_t* kDefaultLogDirectory = L"\\VantrelLog";

// The structured-exception translator of the pool threads: requests no dump
// itself (the fault handler's dump hook has already had the dump written at
// the fault) and throws a new CCException describing the fault; when none can
// be made, reports the fault (event 0xC0000067) and ends the process with the
// exception code.
void CrashTranslator(unsigned int code, EXCEPTION_POINTERS* pointers);
// The text CrashTranslator gives a fault.
std::wstring DescribeFault(const EXCEPTION_RECORD& record, const CONTEXT& context, bool fatalFormat);
// The event-source name the fatal report registers (the display name).
void SetCrashEventSource(const std::wstring& displayName);

constexpr DWORD MSG_FATAL_EXCEPTION = 0xC0000067;
