// eventlog.h - the Windows event log, written to JSON-lines files and syslog.
//
// An event source is registered under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>, whose
// "EventMessageFile" names the message module that formats its events. Each
// ReportEventW appends one record (time, log, source, type, category, id, user
// SID, insertion strings, raw data, formatted text) as one JSON line to
// <log dir>/eventlog/<log>.jsonl and sends the text to syslog. The log folder is
// VANTREL_LOG_DIR (default /var/log/vantrel). `vnevent` prints the records.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <vector>

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// A security identifier. Linux users have none, so a user is named by the
// convention for Unix accounts: uid 0 is the local system account "S-1-5-18",
// any other uid u is "S-1-22-1-u".
struct SID {
  std::wstring text;
};
using PSID = SID*;

// Null with GetLastError on failure. The server name must be null or empty
// (the local machine).
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
BOOL DeregisterEventSource(HANDLE eventSource);
BOOL ReportEventW(HANDLE eventSource, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

namespace platform {

// The SID of the identity the calling thread acts as: the impersonated pipe
// client while impersonating, else the process's user.
SID CurrentUserSid();
SID SidFromUid(unsigned uid);

// The folder holding the event log files (created on first write).
std::string EventLogDirectory();

// One record as stored.
struct EventRecord {
  ULONGLONG timeMs = 0;  // milliseconds since 1970
  std::wstring log;
  std::wstring source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::wstring sid;
  std::vector<std::wstring> strings;
  std::vector<BYTE> data;
  std::wstring text;  // formatted from the source's message module; empty when it could not be
};

// Reads back the records of one log, oldest first (malformed lines skipped).
std::vector<EventRecord> ReadEventLog(const std::wstring& logName);

}  // namespace platform
