// index.h - the search index: a SQLite file of the files and folders under configured folders.
//
// Settings (HKLM "Software\Vantrel\Search"): REG_SZ "Index File", the host
// path of the index database; REG_MULTI_SZ "Folders", the folders indexed,
// as Windows paths through the drive map ("D:\Archive"). Each file and
// folder under them (the folders themselves included) is one row of
// "items"; symbolic links are not followed. Reindex replaces a folder's rows
// in one transaction; Follow keeps them current from folder change
// notification until its stop event is set. Readers (the OLE DB provider)
// see the last committed state (WAL).
//
// An Index is used by one thread at a time.
#pragma once

#include "platform/base/types.h"

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vnsearch {

inline constexpr wchar_t kSearchKey[] = L"Software\\Vantrel\\Search";

struct IndexSettings {
  std::wstring indexFile;
  std::vector<std::wstring> folders;
};
// ERROR_FILE_NOT_FOUND when the key or "Index File" is missing.
DWORD ReadIndexSettings(IndexSettings& settings);

// The schema, for the provider's and the tools' use.
extern const char kIndexSchema[];

struct IndexCounts {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;
};

class Index {
 public:
  Index() = default;
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Opens (creating when asked) the database; a Win32 code.
  DWORD Open(const std::wstring& path, bool create);
  // Replaces the rows of folder (a Windows path) and everything below it.
  DWORD Reindex(const std::wstring& folder, IndexCounts* counts = nullptr);
  // The row of one path as it is now: added or updated when it exists (a
  // folder with what is below it), removed with what is below it when not.
  DWORD Refresh(const std::wstring& path);
  // Rows in the index.
  std::int64_t Count();

 private:
  DWORD Exec(const char* sql);
  DWORD Store(const std::wstring& windowsPath, const std::string& hostPath, IndexCounts* counts);
  DWORD Remove(const std::wstring& windowsPath);
  DWORD Walk(const std::wstring& windowsPath, const std::string& hostPath, IndexCounts* counts);

  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_insert = nullptr;
};

// Follows changes under the folders (Windows paths) and refreshes their rows
// until stop (an event handle) is set; one thread per folder. watching, when
// given, is called once every folder's watch is in place (changes from then
// on are seen). A Win32 code when a folder cannot be watched.
DWORD Follow(const std::wstring& indexFile, const std::vector<std::wstring>& folders, HANDLE stop,
             const std::function<void()>& watching = {});

}  // namespace vnsearch
