// bench_search.cpp - the search index: query p50/p99 beside SQLite, indexing beside find.
//
// Makes a tree of N files (default 100,000) in 100-file folders on drive D:
// of a temporary registry, indexes it with vnsearch-index (timed, beside
// `find -printf` reading the same metadata), then runs each query of a small
// table through the search manager's provider and the same translated SQL
// through SQLite itself on one open connection of this process, both timed
// the same way (the same clock around one whole query: prepare, every row's
// text read, finish), and prints p50/p99 of both. See README.md.
#include "platform/base/testing/run_command.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"
#include "platform/oledb/oledb.h"
#include "platform/oledb/testing/text_rows.h"
#include "platform/registry/registry.h"
#include "platform/search/dialect.h"
#include "platform/search/index.h"
#include "platform/search/search.h"

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using platform::testing::RunCommand;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  platform::RegKey k;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr);
  platform::RegWriteString(k.get(), name, value);
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// Runs sql through the provider and reads every row (all columns by reference); the row count.
long RunProvider(IDBCreateCommand* commands, const std::wstring& sql) {
  platform::ComPtr<ICommandText> command;
  platform::ComPtr<IRowset> rowset;
  if (FAILED(commands->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(command.GetAddressOf()))))
    return -1;
  command->SetCommandText(DBGUID_DEFAULT, sql.c_str());
  if (FAILED(command->Execute(nullptr, IID_IRowset, nullptr, nullptr, reinterpret_cast<IUnknown**>(rowset.GetAddressOf()))))
    return -1;
  long rows = 0;
  platform::testing::ForEachTextRow(rowset.Get(), [&](const std::vector<const wchar_t*>&) { ++rows; });
  return rows;
}

// Runs sql on db the way the provider does: prepared each time, every column
// of every row read as text; the row count.
long RunSqlite(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
  long rows = 0;
  const int columns = sqlite3_column_count(statement);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    for (int c = 0; c < columns; ++c) sqlite3_column_text(statement, c);
    ++rows;
  }
  sqlite3_finalize(statement);
  return rows;
}

// The translated SQL with its parameters written in as literals.
std::string Inline(const vnsearch::Translation& t) {
  std::string sql = t.sql;
  for (std::size_t i = t.parameters.size(); i-- > 0;) {
    std::string literal;
    if (const auto* n = std::get_if<std::int64_t>(&t.parameters[i])) literal = std::to_string(*n);
    else if (const auto* d = std::get_if<double>(&t.parameters[i])) literal = std::to_string(*d);
    else {
      literal = "'";
      for (char c : std::get<std::string>(t.parameters[i])) literal += c == '\'' ? std::string("''") : std::string(1, c);
      literal += "'";
    }
    const std::string mark = "?" + std::to_string(i + 1);
    for (std::size_t at; (at = sql.find(mark)) != std::string::npos;) sql.replace(at, mark.size(), literal);
  }
  return sql;
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::stol(argv[1]) : 100000;
  const int runs = argc > 2 ? std::stoi(argv[2]) : 200;
  char base[] = "/tmp/bench-search-XXXXXX";
  if (mkdtemp(base) == nullptr) return 1;
  const std::string root = base, volume = root + "/volume", index = root + "/index.db";
  setenv("VANTREL_REGISTRY", (root + "/registry.db").c_str(), 1);

  auto made = Clock::now();
  for (long i = 0; i < files; ++i) {
    const std::string folder = volume + "/f" + std::to_string(i / 1000) + "/g" + std::to_string(i / 100 % 10);
    if (i % 100 == 0) fs::create_directories(folder);
    std::ofstream(folder + "/file" + std::to_string(i) + (i % 10 == 0 ? ".pdf" : ".txt")) << std::string(i % 4096, 'x');
  }
  std::printf("tree: %ld files made in %.1f s\n", files, Seconds(made));

  SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(volume));
  SetString(vnsearch::kSearchKey, L"Index File", platform::WideFromUtf8(index));
  {
    platform::RegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, vnsearch::kSearchKey, 0, KEY_ALL_ACCESS, key.put());
    platform::RegWriteMultiString(key.get(), L"Folders", {L"D:\\"});
  }
  RunCommand(std::string("'") + REGISTER_TOOL + "' /s '" + SEARCH_LIBRARY + "' '" + DATA_INIT_LIBRARY + "'");

  // Indexing beside find reading the same metadata (name, size, time).
  RunCommand("sync");
  auto started = Clock::now();
  const auto [rc, out] = RunCommand(std::string("'") + INDEX_TOOL + "'");
  const double indexing = Seconds(started);
  started = Clock::now();
  const auto found = RunCommand("find '" + volume + "' -printf '%p %s %T@\\n' | wc -l");
  const double finding = Seconds(started);
  std::printf("indexing: %s", out.c_str());
  std::printf("indexing: %.0f items/s (%.2f s); find -printf: %.0f items/s (%.2f s) for %s", std::stol(found.second) / indexing,
              indexing, std::stol(found.second) / finding, finding, found.second.c_str());
  if (rc != 0) return 2;

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  platform::ComPtr<ISearchManager> manager;
  platform::ComPtr<ISearchCatalogManager> catalog;
  platform::ComPtr<ISearchQueryHelper> helper;
  platform::ComPtr<IDataInitialize> service;
  CoCreateInstance(CLSID_CSearchManager, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(manager.GetAddressOf()));
  manager->GetCatalog(L"SystemIndex", catalog.GetAddressOf());
  catalog->GetQueryHelper(helper.GetAddressOf());
  LPWSTR connection = nullptr;
  helper->get_ConnectionString(&connection);
  CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(service.GetAddressOf()));
  platform::ComPtr<IDBInitialize> init;
  service->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, connection, IID_IDBInitialize,
                         reinterpret_cast<IUnknown**>(init.GetAddressOf()));
  CoTaskMemFree(connection);
  if (!init || FAILED(init->Initialize())) return 3;
  platform::ComPtr<IDBCreateSession> sessions;
  platform::ComPtr<IDBCreateCommand> commands;
  init.As(&sessions);
  sessions->CreateSession(nullptr, IID_IDBCreateCommand, reinterpret_cast<IUnknown**>(commands.GetAddressOf()));

  const struct {
    const char* name;
    const wchar_t* sql;
  } queries[] = {
      {"scope of one folder (100 files)",
       L"SELECT System.ItemUrl, System.ItemName, System.Size FROM SystemIndex WHERE SCOPE='file:D:/f7/g3'"},
      {"scope of 1000 files, by size", L"SELECT System.ItemUrl, System.Size FROM SystemIndex WHERE SCOPE='file:D:/f42' ORDER BY System.Size DESC"},
      {"name word, TOP 100", L"SELECT TOP 100 System.ItemUrl FROM SystemIndex WHERE CONTAINS(System.ItemName, 'file777')"},
      {"directory, extension", L"SELECT System.ItemUrl FROM SystemIndex WHERE DIRECTORY='file:D:/f9/g9' AND System.FileExtension = '.pdf'"},
      {"TOP 1000 largest pdf", L"SELECT TOP 1000 System.ItemUrl, System.Size FROM SystemIndex WHERE System.ItemType = '.pdf' ORDER BY System.Size DESC"},
  };
  sqlite3* peerDb = nullptr;
  if (sqlite3_open_v2(index.c_str(), &peerDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 4;
  std::printf("%-34s %8s %12s %12s %12s %12s\n", "query", "rows", "p50 ms", "p99 ms", "SQLite p50", "SQLite p99");
  for (const auto& q : queries) {
    std::vector<double> times;
    long rows = 0;
    for (int i = 0; i < runs; ++i) {
      const auto t = Clock::now();
      rows = RunProvider(commands.Get(), q.sql);
      times.push_back(Seconds(t) * 1000);
    }
    vnsearch::Translation translation;
    vnsearch::TranslateQuery(q.sql, translation);
    const std::string inlined = Inline(translation);
    std::vector<double> peer;
    for (int i = 0; i < runs; ++i) {
      const auto t = Clock::now();
      RunSqlite(peerDb, inlined);
      peer.push_back(Seconds(t) * 1000);
    }
    std::printf("%-34s %8ld %12.3f %12.3f %12.3f %12.3f\n", q.name, rows, Percentile(times, 0.5), Percentile(times, 0.99),
                Percentile(peer, 0.5), Percentile(peer, 0.99));
  }
  sqlite3_close(peerDb);
  fs::remove_all(root);
  return 0;
}
