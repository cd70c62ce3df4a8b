// ArchiveFixture.h - the archive stand-in, the event log and drive letters for the selection tests.
//
// The test program registers the archive system object into its own registry
// (TestServer.cpp picks the file) before any test runs, enters COM's
// multithreaded apartment and points the event log at a temporary folder.
// MapDrive maps a letter to a folder in the one drive map.
#pragma once

#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"

#include <filesystem>
#include <string>
#include <vector>

namespace archive_fixture {

// A new reference to a freshly created system object (asserts on failure).
platform::ComPtr<IArchiveSystem> CreateArchiveSystem();

// Maps drive letter ("D") to folder.
void MapDrive(const std::wstring& letter, const std::filesystem::path& folder);

// Makes the archive's interface slot fail with hr (0 clears it).
void InjectFailure(const std::wstring& interfaceSlot, HRESULT hr);

// The event log name the test program writes to, and the insertion strings
// of every record with id so far.
std::vector<std::vector<std::wstring>> EventsWithId(DWORD id);

}  // namespace archive_fixture
