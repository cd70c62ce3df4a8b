// Diagnostics.h - what the archive stand-in offers tests and people: injected
// failures per interface slot, and the log of event reports.
//
// Failures: a REG_DWORD value named "<interface>.<slot>" (for example
// "IArchiveSystem.26") under HKLM "Software\Vantrel\Corvellane\Archive\Fail"
// makes that slot answer the value as its HRESULT, before it does anything.
//
// Events: each IProviderEventSink report becomes one line in "events.log" in
// the folder named by the environment variable VANTREL_ARCHIVE_EVENTS, else by
// the REG_SZ value "Event Folder" of HKLM "Software\Vantrel\Corvellane\Archive",
// else the system's temporary folder. A line is the UTC time, the event id as
// 0x%08X and the strings, separated by tabs; tabs, line breaks and
// backslashes inside strings are written as \t, \n, \r and \\.
//
// Pin releases: when the environment variable VANTREL_ARCHIVE_PIN_LOG names a
// file, each release of a pin appends one line to it: the file's volume and
// id0 ("D-1234"), the pin's name and the release's HRESULT as 0x%08X, tab
// separated, so that a test can count how often each pin was released.
#pragma once

#include "platform/base/types.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vnarchive {

// The HRESULT injected for the slot, or S_OK when none is.
HRESULT InjectedFailure(const wchar_t* interfaceName, int slot);

// Where event reports go.
std::filesystem::path EventLogPath();
// Appends one report; a write failure is returned, never hidden.
HRESULT RecordEvent(DWORD eventId, const std::vector<std::wstring>& strings);
// Appends one release to the pin log, when one is named.
void RecordPinRelease(wchar_t drive, DWORD id0, const std::wstring& name, HRESULT result);

}  // namespace vnarchive
