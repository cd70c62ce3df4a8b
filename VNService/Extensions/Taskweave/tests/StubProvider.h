// StubProvider.h - a provider for tests whose behaviour is read from its extension key.
//
// Initialise reads these values of HKLM\<key> (absent values take the default):
//   "Mode"              DWORD  the mode QueryCapacity answers (3)
//   "Capacity"          DWORD  jobs at once before QueryCapacity answers S_FALSE (unlimited)
//   "Schedule"          SZ     what ScheduleOperation does: "ok", "false", "fail" (answers
//                              "Schedule Failure", E_FAIL by default), "pending" (PostProcess,
//                              then E_PENDING), "later" (E_PENDING now, PostProcess after
//                              "Later Ms" on a thread of its own), "postprocess-ok"
//                              (PostProcess, then S_OK) ("pending")
//   "Execute Delay"     DWORD  milliseconds ExecuteOperation sleeps (0)
//   "Execute"           SZ     "ok", "throw", or "fail" (answers "Execute Result") ("ok")
//   "Unpin"             SZ     "yes", "no" or "twice" ("yes")
//   "Complete"          DWORD  0: no OperationComplete at the end (1)
//   "Event Strings"     DWORD  ExecuteOperation reports event "Event Id" with that many strings (none)
//   "Log Severity"      DWORD  ExecuteOperation logs one line at that severity (none)
//   "Null Parameters"   DWORD  1: PostProcess and Unpin get a null parameters object (0)
//   "Item 48"           DWORD  1: ScheduleOperation asks the parameters for item 48 (0)
//   "Initialise Result" DWORD  what Initialise answers (S_OK)
//   "Call Log"          SZ     a file every call is appended to, "<Unix ms> <key name> <call>" (none)
// Every call is logged ("Schedule <op>", "Execute <op>", "Unpin 0x%08X", ...)
// in one process-wide log that the test reads and clears. The library
// taskweave_stub_server (StubProviderServer.cpp) serves the same stub as an
// in-process COM server for every CLSID registered to it.
#pragma once

#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"

#include <string>
#include <vector>

// A new stub provider, one reference held by the caller.
HRESULT CreateStubProvider(IExtensionInit** provider);
// A class object that makes stubs, for CoRegisterClassObject under any
// CLSID; it lives as long as the process and counts no references.
IClassFactory* StubProviderClassObject();

// The log of every stub's calls, oldest first.
std::vector<std::wstring> StubProviderCalls();
void ClearStubProviderCalls();
// Jobs accepted (PostProcess succeeded) and not yet executed, over all stubs.
long StubProviderActiveJobs();
// Stubs made and not yet destroyed (each logs "Released" as it goes).
long StubProvidersAlive();
