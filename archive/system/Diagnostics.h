// Diagnostics.h - what the archive stand-in offers tests and people: injected
// failures per interface slot, and the log of event reports.
//
// Failures: a REG_DWORD value named "<interface>.<slot>" (for example
// "IArchiveSystem.26") under HKLM "Software\Vantrel\Corvellane\Archive\Fail"
// makes that slot answer the value as its HRESULT, before it does anything.
// A value named "<interface>.<slot>:<key string>" does so for one file only
// (slots IArchiveSystem.26, IArchiveObject.20, IArchivePins.8, IArchivePin.8
// and .9), after the file is known. The values are read once and again after
// the key changed: a change made by this process shows at its next call, one
// made by another process within the registry's poll interval.
//
// Pins: every pin and release through IArchivePin slot 9 becomes one line of
// "pins.log" beside "events.log": the UTC time with milliseconds, the process
// id, the thread id, "pin" or "release", the key string, the pin name, the
// value written (empty for a release) and the result as 0x%08X, separated by
// tabs and escaped as the event lines are.
//
// Events: each IProviderEventSink report becomes one line in "events.log" in
// the folder named by the environment variable VANTREL_ARCHIVE_EVENTS, else by
// the REG_SZ value "Event Folder" of HKLM "Software\Vantrel\Corvellane\Archive",
// else the system's temporary folder. A line is the UTC time, the event id as
// 0x%08X and the strings, separated by tabs; tabs, line breaks and
// backslashes inside strings are written as \t, \n, \r and \\.
#pragma once

#include "platform/base/types.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vnarchive {

// The HRESULT injected for the slot, or S_OK when none is.
HRESULT InjectedFailure(const wchar_t* interfaceName, int slot);
// The same for the slot as called for one file.
HRESULT InjectedFailure(const wchar_t* interfaceName, int slot, const std::wstring& keyString);

std::filesystem::path PinLogPath();
// Appends one pin or release; the log is best effort and never changes the result.
void RecordPin(bool release, const std::wstring& keyString, const std::wstring& pinName, const std::wstring& value,
               HRESULT result);

// Where event reports go.
std::filesystem::path EventLogPath();
// Appends one report; a write failure is returned, never hidden.
HRESULT RecordEvent(DWORD eventId, const std::vector<std::wstring>& strings);

}  // namespace vnarchive
