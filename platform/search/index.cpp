// index.cpp - filling the index from the folders and keeping it current.
#include "platform/search/index.h"

#include "platform/search/dialect.h"

#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <sys/stat.h>

#include <atomic>
#include <cwctype>
#include <ctime>
#include <filesystem>
#include <thread>

namespace vnsearch {

const char kIndexSchema[] =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS items("
    "  url_key TEXT PRIMARY KEY,"  // LocationKey of the url: lower case, "/" separators
    "  url TEXT NOT NULL,"         // file:D:/Archive/a.txt
    "  folder_key TEXT NOT NULL,"  // url_key of the folder holding it
    "  name TEXT NOT NULL,"
    "  type TEXT NOT NULL,"        // ".txt", "Directory" for folders
    "  extension TEXT NOT NULL,"
    "  path TEXT NOT NULL,"        // D:\Archive\a.txt
    "  folder_path TEXT NOT NULL," // D:\Archive
    "  size INTEGER,"              // bytes; NULL for folders
    "  modified TEXT,"             // UTC, YYYY-MM-DD HH:MM:SS
    "  created TEXT,"
    "  kind TEXT NOT NULL,"        // "folder" or "file"
    "  words TEXT NOT NULL"        // what CONTAINS(*) matches: name and path, lower case
    ") WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS items_folder ON items(folder_key);";

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr DWORD kChangeBufferBytes = 64 * 1024;

std::string Utf8(const std::wstring& s) { return platform::Utf8FromWide(s); }

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

std::wstring Slashed(std::wstring s) {
  for (auto& c : s)
    if (c == L'\\') c = L'/';
  return s;
}

// "D:\a\b" from "D:\a" and "b" (no doubled separator after a drive root).
std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) return folder + name;
  return folder + L"\\" + name;
}

std::wstring Parent(const std::wstring& path) {
  if (path.size() <= 3 && path.size() >= 2 && path[1] == L':') return L"";  // a drive's root has none
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L"";
  if (cut == 2 && path.size() > 1 && path[1] == L':') return path.substr(0, 3);  // "D:\"
  return path.substr(0, cut);
}

std::string TimeText(const struct timespec& t) {
  struct tm parts;
  gmtime_r(&t.tv_sec, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::wstring Trimmed(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

DWORD ReadIndexSettings(IndexSettings& settings) {
  platform::RegKey key;
  DWORD rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSearchKey, 0, KEY_READ, key.put());
  if (rc != ERROR_SUCCESS) return rc;
  rc = platform::RegReadString(key.get(), L"Index File", settings.indexFile);
  if (rc != ERROR_SUCCESS) return rc;
  settings.folders.clear();
  platform::RegReadMultiString(key.get(), L"Folders", settings.folders);
  return ERROR_SUCCESS;
}

Index::~Index() {
  sqlite3_finalize(m_insert);
  if (m_db != nullptr) sqlite3_close_v2(m_db);
}

DWORD Index::Exec(const char* sql) {
  return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

DWORD Index::Open(const std::wstring& path, bool create) {
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(Utf8(path).c_str(), &m_db, flags, nullptr) != SQLITE_OK) return ERROR_CANTOPEN;
  sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
  if (Exec(kIndexSchema) != ERROR_SUCCESS) return ERROR_CANTOPEN;
  const char* insert =
      "INSERT OR REPLACE INTO items(url_key, url, folder_key, name, type, extension, path, folder_path, size, "
      "modified, created, kind, words) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
  return sqlite3_prepare_v2(m_db, insert, -1, &m_insert, nullptr) == SQLITE_OK ? ERROR_SUCCESS : ERROR_CANTOPEN;
}

std::int64_t Index::Count() {
  sqlite3_stmt* statement = nullptr;
  std::int64_t count = -1;
  if (sqlite3_prepare_v2(m_db, "SELECT count(*) FROM items", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    count = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return count;
}

DWORD Index::Store(const std::wstring& windowsPath, const std::string& hostPath, IndexCounts* counts) {
  struct stat info;
  if (lstat(hostPath.c_str(), &info) != 0) return ERROR_FILE_NOT_FOUND;
  const bool folder = S_ISDIR(info.st_mode);
  if (!folder && !S_ISREG(info.st_mode)) return ERROR_SUCCESS;  // links, devices: not indexed
  const std::wstring path = Trimmed(windowsPath);
  const std::wstring url = L"file:" + Slashed(path);
  const std::size_t cut = path.find_last_of(L"\\/");
  std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
  if (name.empty()) name = path;  // a drive root
  const std::size_t dot = name.rfind(L'.');
  const std::wstring extension = folder || dot == std::wstring::npos || dot == 0 ? L"" : Lower(name.substr(dot));
  const std::wstring folderPath = Parent(path);
  const std::string key = LocationKey(url);
  sqlite3_reset(m_insert);
  sqlite3_clear_bindings(m_insert);
  auto text = [this](int i, const std::string& value) {
    sqlite3_bind_text(m_insert, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  };
  text(1, key);
  text(2, Utf8(url));
  text(3, folderPath.empty() ? std::string() : LocationKey(L"file:" + Slashed(folderPath)));
  text(4, Utf8(name));
  text(5, folder ? std::string("Directory") : Utf8(extension));
  text(6, Utf8(extension));
  text(7, Utf8(path));
  text(8, Utf8(folderPath));
  if (!folder) sqlite3_bind_int64(m_insert, 9, static_cast<sqlite3_int64>(info.st_size));
  text(10, TimeText(info.st_mtim));
  text(11, TimeText(info.st_ctim));
  text(12, folder ? "folder" : "file");
  text(13, Utf8(Lower(name + L" " + path)));
  if (sqlite3_step(m_insert) != SQLITE_DONE) return ERROR_CANTWRITE;
  if (counts != nullptr) ++(folder ? counts->folders : counts->files);
  return ERROR_SUCCESS;
}

DWORD Index::Walk(const std::wstring& windowsPath, const std::string& hostPath, IndexCounts* counts) {
  DWORD rc = Store(windowsPath, hostPath, counts);
  if (rc != ERROR_SUCCESS) return rc;
  std::error_code ec;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(hostPath, ec))) return ERROR_SUCCESS;
  const std::filesystem::path base(hostPath);
  for (auto it = std::filesystem::recursive_directory_iterator(
           base, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::filesystem::path relative = it->path().lexically_relative(base);
    std::wstring windows = windowsPath;
    for (const auto& part : relative) windows = Join(windows, platform::WideFromUtf8(part.string()));
    rc = Store(windows, it->path().string(), counts);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return ERROR_SUCCESS;
}

DWORD Index::Remove(const std::wstring& windowsPath) {
  const std::string key = LocationKey(L"file:" + Slashed(Trimmed(windowsPath)));
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(m_db, "DELETE FROM items WHERE url_key = ?1 OR (url_key >= ?2 AND url_key < ?3)", -1,
                         &statement, nullptr) != SQLITE_OK)
    return ERROR_CANTWRITE;
  const std::string below = key + "/", after = key + "0";
  sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 2, below.data(), static_cast<int>(below.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 3, after.data(), static_cast<int>(after.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(statement);
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

DWORD Index::Reindex(const std::wstring& folder, IndexCounts* counts) {
  std::string host;
  DWORD rc = platform::ResolvePath(folder, host);
  if (rc != ERROR_SUCCESS) return rc;
  if (Exec("BEGIN IMMEDIATE") != ERROR_SUCCESS) return ERROR_CANTWRITE;
  rc = Remove(folder);
  if (rc == ERROR_SUCCESS) rc = Walk(folder, host, counts);
  if (rc != ERROR_SUCCESS) {
    Exec("ROLLBACK");
    return rc;
  }
  return Exec("COMMIT");
}

DWORD Index::Refresh(const std::wstring& path) {
  std::string host;
  DWORD rc = platform::ResolvePath(path, host);
  if (rc != ERROR_SUCCESS) return rc;
  if (Exec("BEGIN IMMEDIATE") != ERROR_SUCCESS) return ERROR_CANTWRITE;
  rc = Remove(path);
  struct stat info;
  if (rc == ERROR_SUCCESS && lstat(host.c_str(), &info) == 0) rc = Walk(path, host, nullptr);
  if (rc != ERROR_SUCCESS) {
    Exec("ROLLBACK");
    return rc;
  }
  return Exec("COMMIT");
}

namespace {

// Reads the folder's changes until stop is set; each change refreshes the
// row of the path it names (a lost batch: the whole folder).
DWORD FollowFolder(const std::wstring& indexFile, const std::wstring& folder, HANDLE stop,
                   const std::function<void()>& watchingNow) {
  Index index;
  DWORD rc = index.Open(indexFile, true);
  if (rc != ERROR_SUCCESS) return rc;
  platform::UniqueHandle directory(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  if (directory.get() == INVALID_HANDLE_VALUE) return GetLastError();
  platform::UniqueHandle changed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::function<void()> watching = watchingNow;
  std::vector<DWORD> buffer(kChangeBufferBytes / sizeof(DWORD));
  const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_SIZE |
                       FILE_NOTIFY_CHANGE_LAST_WRITE;
  for (;;) {
    OVERLAPPED overlapped;
    overlapped.hEvent = changed.get();
    ResetEvent(changed.get());
    if (!ReadDirectoryChangesW(directory.get(), buffer.data(), kChangeBufferBytes, TRUE, filter, nullptr, &overlapped,
                               nullptr))
      return GetLastError();
    // Changes are collected from the first read on.
    if (watching) {
      watching();
      watching = nullptr;
    }
    const HANDLE waits[2] = {stop, changed.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
      CancelIoEx(directory.get(), &overlapped);
      DWORD ignored = 0;
      GetOverlappedResult(directory.get(), &overlapped, &ignored, TRUE);
      return ERROR_SUCCESS;
    }
    DWORD bytes = 0;
    if (!GetOverlappedResult(directory.get(), &overlapped, &bytes, TRUE)) return GetLastError();
    if (bytes == 0) {
      index.Reindex(folder);
      continue;
    }
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
      const std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
      index.Refresh(Join(folder, name));
      if (record->NextEntryOffset == 0) break;
      at += record->NextEntryOffset;
    }
  }
}

}  // namespace

DWORD Follow(const std::wstring& indexFile, const std::vector<std::wstring>& folders, HANDLE stop,
             const std::function<void()>& watching) {
  std::vector<DWORD> results(folders.size(), ERROR_SUCCESS);
  std::vector<std::thread> threads;
  std::atomic<std::size_t> waiting{folders.size()};
  const std::function<void()> oneMore = [&] {
    if (waiting.fetch_sub(1) == 1 && watching) watching();
  };
  if (folders.empty() && watching) watching();
  for (std::size_t i = 0; i < folders.size(); ++i)
    threads.emplace_back([&, i] {
      results[i] = FollowFolder(indexFile, folders[i], stop, oneMore);
      if (results[i] != ERROR_SUCCESS) SetEvent(stop);
    });
  for (auto& t : threads) t.join();
  for (DWORD rc : results)
    if (rc != ERROR_SUCCESS) return rc;
  return ERROR_SUCCESS;
}

}  // namespace vnsearch
