// bench_fragments.cpp - the fragment list beside a sqlite3 table: walking one name's pins, and inserting and
// removing from two processes at once.
//
// The table is what one would use instead: pins(name, value, key, op) in WAL
// mode with an index on (name, value), one transaction per insert or removal
// as the list commits each one. Walks read every element of one name in
// value order (the list through find and the record loader, the table through
// one indexed SELECT). Two-process rates: this program starts itself twice
// ("--worker list|sqlite PATH FIRST COUNT"), each child inserting COUNT pins
// and then removing them. Sizes: "bench_fragments [max elements]" (default
// 1000000). Files go to a temporary folder.
#include "archive/interfaces/FragmentList/FragmentList.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"

#include <sqlite3.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

extern char** environ;

namespace {

const std::wstring kName = L"{1B353362-C59F-4258-9819-0C742EC7F32F}";
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

CPinnedElem Pin(ULONGLONG value) {
  return CPinnedElem(platform::FormatW(L"%08X@D:\\bench\\%I64u.mov", static_cast<DWORD>(value), value),
                     static_cast<DWORD>(value), 1, 2, kName, value, L"Preview");
}

// --- the list ---

bool ListInsert(CFileListInternal& list, ULONGLONG first, ULONGLONG count) {
  for (ULONGLONG v = first; v < first + count; ++v) {
    CPinnedElem pin = Pin(v);
    if (list.Insert(pin) != ERROR_SUCCESS) return false;
  }
  return true;
}

bool ListRemove(CFileListInternal& list, ULONGLONG first, ULONGLONG count) {
  for (ULONGLONG v = first; v < first + count; ++v) {
    CPinnedElem pin = Pin(v);
    const std::wstring key = pin.KeyString();
    if (list.RemoveFirst(pin, CFragmentItem::kPinIndex, [&](const CFileListFile& r) { return r.KeyString() == key; }) !=
        ERROR_SUCCESS)
      return false;
  }
  return true;
}

ULONGLONG ListWalk(CFileListInternal& list) {
  CFragmentSearchKey key;
  key.name = kName;
  CFragmentSearch search(key);
  ULONGLONG seen = 0;
  for (auto it = list.find(search, CFragmentItem::kPinIndex); it != list.end(CFragmentItem::kPinIndex); ++it) {
    CFileListPointer<CFragmentItem> pointer(list, it);
    const CFragmentItem* item = pointer.Load(true);
    if (item->Name() == nullptr || *item->Name() != kName) break;
    ++seen;
  }
  return seen;
}

// --- the table ---

sqlite3* OpenTable(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db, 10000);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE IF NOT EXISTS pins(name TEXT, value INTEGER, key TEXT, op TEXT);"
               "CREATE INDEX IF NOT EXISTS pins_by_name ON pins(name, value);",
               nullptr, nullptr, nullptr);
  return db;
}

bool TableRun(sqlite3* db, const char* sql, ULONGLONG first, ULONGLONG count, bool withOp) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return false;
  const std::string name = "{1B353362-C59F-4258-9819-0C742EC7F32F}";
  bool ok = true;
  for (ULONGLONG v = first; ok && v < first + count; ++v) {
    const std::string key = platform::FormatA("%08X@D:\\bench\\%llu.mov", static_cast<DWORD>(v),
                                              static_cast<unsigned long long>(v));
    sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(v));
    sqlite3_bind_text(stmt, 3, key.c_str(), -1, SQLITE_TRANSIENT);
    if (withOp) sqlite3_bind_text(stmt, 4, "Preview", -1, SQLITE_STATIC);
    ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  return ok;
}

bool TableInsert(sqlite3* db, ULONGLONG first, ULONGLONG count) {
  return TableRun(db, "INSERT INTO pins VALUES(?1, ?2, ?3, ?4)", first, count, true);
}
bool TableRemove(sqlite3* db, ULONGLONG first, ULONGLONG count) {
  return TableRun(db, "DELETE FROM pins WHERE name = ?1 AND value = ?2 AND key = ?3", first, count, false);
}

ULONGLONG TableWalk(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT value, key, op FROM pins WHERE name = ?1 ORDER BY value", -1, &stmt, nullptr);
  sqlite3_bind_text(stmt, 1, "{1B353362-C59F-4258-9819-0C742EC7F32F}", -1, SQLITE_STATIC);
  ULONGLONG seen = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    sqlite3_column_text(stmt, 1);
    ++seen;
  }
  sqlite3_finalize(stmt);
  return seen;
}

// --- programs ---

int Worker(const std::string& kind, const std::string& path, ULONGLONG first, ULONGLONG count) {
  if (kind == "list") {
    CFragmentList fragments(std::wstring(path.begin(), path.end()));
    if (fragments.Attach() != ERROR_SUCCESS) return 1;
    return ListInsert(fragments.List(), first, count) && ListRemove(fragments.List(), first, count) ? 0 : 1;
  }
  sqlite3* db = OpenTable(path);
  const bool ok = db != nullptr && TableInsert(db, first, count) && TableRemove(db, first, count);
  sqlite3_close(db);
  return ok ? 0 : 1;
}

// Two workers at once; the rate counts both processes' inserts and removals.
void TwoProcesses(const char* self, const char* kind, const std::string& path, ULONGLONG count) {
  const auto start = Clock::now();
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    const std::string first = std::to_string(10000000ull * (i + 1)), n = std::to_string(count);
    const char* argv[] = {self, "--worker", kind, path.c_str(), first.c_str(), n.c_str(), nullptr};
    posix_spawn(&pids[i], self, nullptr, nullptr, const_cast<char**>(argv), environ);
  }
  bool ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  const double s = Seconds(start);
  std::printf("%-8s two processes, %llu inserts + %llu removals each: %.2f s, %.0f changes/s%s\n", kind,
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(count), s, 4.0 * count / s,
              ok ? "" : " (a worker failed)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--worker")
    return Worker(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
  const ULONGLONG maxElements = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("bench-fragments-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  CFragmentList fragments((dir / "walk.ldg").wstring());
  if (fragments.Attach() != ERROR_SUCCESS) return 1;
  sqlite3* db = OpenTable((dir / "walk.db").string());
  ULONGLONG have = 0;
  for (ULONGLONG size : {10000ull, 100000ull, 1000000ull}) {
    if (size > maxElements) break;
    auto start = Clock::now();
    ListInsert(fragments.List(), have + 1, size - have);
    const double listInsert = Seconds(start);
    start = Clock::now();
    TableInsert(db, have + 1, size - have);
    const double tableInsert = Seconds(start);
    const double added = static_cast<double>(size - have);
    have = size;
    start = Clock::now();
    const ULONGLONG listSeen = ListWalk(fragments.List());
    const double listWalk = Seconds(start);
    start = Clock::now();
    const ULONGLONG tableSeen = TableWalk(db);
    const double tableWalk = Seconds(start);
    std::printf("%8llu elements: walk list %.3f s (%.2f us each, %llu seen), sqlite %.3f s (%.2f us each); "
                "insert list %.0f/s, sqlite %.0f/s\n",
                static_cast<unsigned long long>(size), listWalk, 1e6 * listWalk / size,
                static_cast<unsigned long long>(listSeen), tableWalk, 1e6 * tableWalk / size,
                added / listInsert, added / tableInsert);
    if (tableSeen != size) std::printf("sqlite saw %llu\n", static_cast<unsigned long long>(tableSeen));
  }
  sqlite3_close(db);
  TwoProcesses(argv[0], "list", (dir / "shared.ldg").string(), 20000);
  TwoProcesses(argv[0], "sqlite", (dir / "shared.db").string(), 20000);
  std::filesystem::remove_all(dir);
  return 0;
}
