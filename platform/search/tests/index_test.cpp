// index_test.cpp - the indexer against find, the COM classes and their provider, and change following.
//
// One fixture volume (drive D: in a per-program registry) holds files and
// folders whose names test the path boundary ("Docs" beside "DocsOld"), a
// quote and a blank. The index is filled by the vnsearch-index tool and
// read back through the search manager, its query helper and the provider,
// exactly as a consumer would; sqlite3 and find are the peers.
#include "platform/search/search.h"

#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/com/testing/vtable_slot.h"
#include "platform/fs/fs.h"
#include "platform/oledb/oledb.h"
#include "platform/oledb/testing/text_rows.h"
#include "platform/registry/registry.h"
#include "platform/search/index.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Before main: the registry is opened on first use.
const std::string g_base = [] {
  const std::string base = platform::testing::MakeTempDir("vn-search-");
  setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  return base;
}();
const std::string g_volume = g_base + "/volume";
const std::string g_index = g_base + "/index.db";

std::pair<int, std::string> RunTool(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& a : argv) {
    command += " '";
    for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  return platform::testing::RunCommand(command);
}

void WriteFile(const std::string& relative, const std::string& bytes) {
  const fs::path path = fs::path(g_volume) / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

bool WriteValue(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  platform::RegKey handle;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle.put(), nullptr) != 0)
    return false;
  return platform::RegWriteString(handle.get(), name, value) == ERROR_SUCCESS;
}

class SearchEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    WriteFile("Docs/a.txt", "a");
    WriteFile("Docs/report 1.pdf", std::string(1000, 'r'));
    WriteFile("Docs/it's.txt", "q");
    WriteFile("Docs/sub/b.txt", "bb");
    WriteFile("Docs/sub/deeper/c.doc", "ccc");
    WriteFile("DocsOld/old.txt", "o");
    WriteFile("Media/clip.mov", "m");
    fs::create_directories(g_volume + "/Docs/empty");
    ASSERT_TRUE(WriteValue(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(g_volume)));
    ASSERT_TRUE(WriteValue(vnsearch::kSearchKey, L"Index File", platform::WideFromUtf8(g_index)));
    platform::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, vnsearch::kSearchKey, 0, KEY_ALL_ACCESS, key.put()), 0);
    ASSERT_EQ(platform::RegWriteMultiString(key.get(), L"Folders", {L"D:\\"}), ERROR_SUCCESS);
    ASSERT_EQ(RunTool({REGISTER_TOOL, "/s", SEARCH_LIBRARY}).first, 0);
    ASSERT_EQ(RunTool({REGISTER_TOOL, "/s", DATA_INIT_LIBRARY}).first, 0);
    ASSERT_EQ(RunTool({INDEX_TOOL}).first, 0);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new SearchEnvironment);

int FindCount(const std::string& folder, const char* type) {
  return std::stoi(RunTool({"sh", "-c", "find \"$1\" -type " + std::string(type) + " | wc -l", "sh", folder}).second);
}

// The rows of sql through the provider, every column as text ("" for NULL).
std::vector<std::vector<std::wstring>> Rows(const std::wstring& sql, HRESULT* failure = nullptr) {
  std::vector<std::vector<std::wstring>> rows;
  platform::ComPtr<IDataInitialize> service;
  HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(service.GetAddressOf()));
  platform::ComPtr<ISearchManager> manager;
  platform::ComPtr<ISearchCatalogManager> catalog;
  platform::ComPtr<ISearchQueryHelper> helper;
  LPWSTR connection = nullptr;
  if (SUCCEEDED(hr)) hr = CoCreateInstance(CLSID_CSearchManager, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(manager.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = manager->GetCatalog(L"SystemIndex", catalog.GetAddressOf());
  if (SUCCEEDED(hr)) hr = catalog->GetQueryHelper(helper.GetAddressOf());
  if (SUCCEEDED(hr)) hr = helper->get_ConnectionString(&connection);
  platform::ComPtr<IUnknown> source;
  if (SUCCEEDED(hr)) hr = service->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, connection, IID_IUnknown, source.GetAddressOf());
  CoTaskMemFree(connection);
  platform::ComPtr<IDBInitialize> init;
  platform::ComPtr<IDBCreateSession> sessions;
  platform::ComPtr<IDBCreateCommand> commands;
  platform::ComPtr<ICommandText> command;
  platform::ComPtr<IRowset> rowset;
  if (SUCCEEDED(hr)) hr = source->QueryInterface(IID_PPV_ARGS(init.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = init->Initialize();
  if (SUCCEEDED(hr)) hr = init->QueryInterface(IID_PPV_ARGS(sessions.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = sessions->CreateSession(nullptr, IID_IDBCreateCommand, reinterpret_cast<IUnknown**>(commands.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = commands->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(command.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = command->SetCommandText(DBGUID_DEFAULT, sql.c_str());
  if (SUCCEEDED(hr)) hr = command->Execute(nullptr, IID_IRowset, nullptr, nullptr, reinterpret_cast<IUnknown**>(rowset.GetAddressOf()));
  if (failure != nullptr) *failure = hr;
  if (FAILED(hr)) return rows;
  std::vector<DBTYPE> types;
  EXPECT_EQ(platform::testing::ForEachTextRow(
                rowset.Get(),
                [&](const std::vector<const wchar_t*>& values) {
                  std::vector<std::wstring> row;
                  for (const wchar_t* value : values) row.push_back(value == nullptr ? L"" : value);
                  rows.push_back(std::move(row));
                },
                &types),
            S_OK);
  for (DBTYPE type : types) EXPECT_EQ(type, DBTYPE_VARIANT);
  return rows;
}

TEST(SearchIndex, CountsEqualFind) {
  const std::string files = RunTool({"sqlite3", g_index, "SELECT count(*) FROM items WHERE kind = 'file'"}).second;
  const std::string folders = RunTool({"sqlite3", g_index, "SELECT count(*) FROM items WHERE kind = 'folder'"}).second;
  EXPECT_EQ(std::stoi(files), FindCount(g_volume, "f"));
  EXPECT_EQ(std::stoi(folders), FindCount(g_volume, "d"));
  EXPECT_EQ(RunTool({"sqlite3", g_index, "SELECT url, type, size FROM items WHERE name = 'report 1.pdf'"}).second,
            "file:D:/Docs/report 1.pdf|.pdf|1000\n");
  EXPECT_EQ(RunTool({"sqlite3", g_index, "SELECT url, type, size IS NULL FROM items WHERE name = 'sub'"}).second,
            "file:D:/Docs/sub|Directory|1\n");
}

TEST(SearchIndex, InterfacesKeepTheirSlots) {
  using platform::testing::VtableSlot;
  EXPECT_EQ(VtableSlot(&ISearchManager::GetCatalog), 10u);
  EXPECT_EQ(VtableSlot(&ISearchCatalogManager::GetQueryHelper), 25u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::get_ConnectionString), 3u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QuerySyntax), 10u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QueryContentProperties), 12u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QuerySelectColumns), 14u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QueryWhereRestrictions), 16u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QuerySorting), 18u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::GenerateSQLFromUserQuery), 20u);
  EXPECT_EQ(VtableSlot(&ISearchQueryHelper::put_QueryMaxResults), 22u);
}

TEST(SearchIndex, ManagerIsALocalServer) {
  platform::ComPtr<ISearchManager> manager;
  EXPECT_EQ(CoCreateInstance(CLSID_CSearchManager, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(manager.GetAddressOf())),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoCreateInstance(CLSID_CSearchManager, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(manager.GetAddressOf())), S_OK);
  platform::ComPtr<ISearchCatalogManager> catalog;
  EXPECT_EQ(manager->GetCatalog(L"Other", catalog.GetAddressOf()), E_INVALIDARG);
  ASSERT_EQ(manager->GetCatalog(L"SystemIndex", catalog.GetAddressOf()), S_OK);
  LONG items = 0;
  ASSERT_EQ(catalog->NumberOfItems(&items), S_OK);
  EXPECT_EQ(items, FindCount(g_volume, "f") + FindCount(g_volume, "d"));
  platform::ComPtr<ISearchQueryHelper> helper;
  ASSERT_EQ(catalog->GetQueryHelper(helper.GetAddressOf()), S_OK);
  EXPECT_EQ(helper->put_QuerySelectColumns(L"System.ItemUrl, nothing"), E_INVALIDARG);
  EXPECT_EQ(helper->put_QuerySorting(L"System.Size DESC"), S_OK);
  ASSERT_EQ(helper->put_QueryWhereRestrictions(L"AND SCOPE='file:D:/Docs'"), S_OK);
  LPWSTR sql = nullptr;
  ASSERT_EQ(helper->GenerateSQLFromUserQuery(L"*", &sql), S_OK);
  EXPECT_EQ(platform::Utf8FromWide(sql),
            "SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE (SCOPE='file:D:/Docs') ORDER BY \"System.Size\" DESC");
  const auto rows = Rows(sql);
  CoTaskMemFree(sql);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front()[0], L"file:D:/Docs/report 1.pdf");  // the largest
}

TEST(SearchIndex, QueriesThroughTheProvider) {
  const struct {
    const char* name;
    const wchar_t* sql;
    std::size_t rows;  // or the count of find below
    const char* find;  // folder of the volume whose files and folders are the answer
  } cases[] = {
      {"scope keeps its boundary", L"SELECT System.ItemUrl FROM SystemIndex WHERE SCOPE='file:D:\\Docs'", 0, "Docs"},
      {"scope case and slashes do not matter", L"SELECT System.ItemUrl FROM SystemIndex WHERE SCOPE='file:d:/docs/'", 0, "Docs"},
      {"directory is one level", L"SELECT System.ItemUrl FROM SystemIndex WHERE DIRECTORY='file:D:/Docs/sub'", 2, nullptr},
      {"a quote in a literal is a name", L"SELECT System.ItemName FROM SystemIndex WHERE System.ItemName = 'it''s.txt'", 1, nullptr},
      {"an injected OR stays a literal",
       L"SELECT System.ItemName FROM SystemIndex WHERE System.ItemName = 'x'' OR ''1''=''1'", 0, nullptr},
      {"contains on the name", L"SELECT System.ItemName FROM SystemIndex WHERE CONTAINS(System.ItemName, 'REPORT')", 1, nullptr},
      {"files only, by size", L"SELECT System.ItemUrl, System.Size FROM SystemIndex WHERE System.Size > 1", 3, nullptr},
      {"top", L"SELECT TOP 2 System.ItemUrl FROM SystemIndex", 2, nullptr},
      {"folders by IsFolder", L"SELECT System.ItemUrl FROM SystemIndex WHERE System.IsFolder = 1 AND SCOPE='D:/Docs'", 4,
       nullptr},
  };
  for (const auto& c : cases) {
    HRESULT hr = E_FAIL;
    const auto rows = Rows(c.sql, &hr);
    ASSERT_EQ(hr, S_OK) << c.name;
    const std::size_t expected =
        c.find == nullptr ? c.rows
                          : static_cast<std::size_t>(FindCount(g_volume + "/" + c.find, "f") + FindCount(g_volume + "/" + c.find, "d"));
    EXPECT_EQ(rows.size(), expected) << c.name;
  }
  // A BOOL property is written as OLE DB writes a BOOL as text.
  const auto flags = Rows(L"SELECT System.IsFolder FROM SystemIndex WHERE DIRECTORY='D:/Docs/sub' ORDER BY System.IsFolder");
  ASSERT_EQ(flags.size(), 2u);
  EXPECT_EQ(flags[0][0], L"False");
  EXPECT_EQ(flags[1][0], L"True");
  HRESULT hr = S_OK;
  Rows(L"SELECT System.ItemUrl FROM SystemIndex; DELETE FROM items", &hr);
  EXPECT_EQ(hr, DB_E_ERRORSINCOMMAND);
  EXPECT_EQ(std::stoi(RunTool({"sqlite3", g_index, "SELECT count(*) FROM items"}).second),
            FindCount(g_volume, "f") + FindCount(g_volume, "d"));
}

// Polls the index until query answers expected (generous: the machine may be loaded).
bool IndexAnswers(const std::string& query, const std::string& expected) {
  for (int i = 0; i < 600; ++i) {
    if (RunTool({"sqlite3", g_index, query}).second == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(SearchIndex, FollowsChanges) {
  const std::string log = g_base + "/watch.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char* argv[] = {const_cast<char*>(INDEX_TOOL), const_cast<char*>("--watch"), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, INDEX_TOOL, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  bool watching = false;
  for (int i = 0; i < 600 && !watching; ++i) {
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    watching = text.find("watching") != std::string::npos;
    if (!watching) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(watching);
  // The tool says "watching" once its watches are in place.
  WriteFile("Media/new/late.txt", "late");
  EXPECT_TRUE(IndexAnswers("SELECT url FROM items WHERE name = 'late.txt'", "file:D:/Media/new/late.txt\n"));
  EXPECT_TRUE(IndexAnswers("SELECT count(*) FROM items WHERE url = 'file:D:/Media/new'", "1\n"));
  fs::remove_all(g_volume + "/Media/new");
  EXPECT_TRUE(IndexAnswers("SELECT count(*) FROM items WHERE url LIKE 'file:D:/Media/new%'", "0\n"));
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
