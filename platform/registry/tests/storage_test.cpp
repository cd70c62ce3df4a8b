// storage_test.cpp - what the database file holds: a key costs the same at
// any depth, and a file of the previous layout still opens.
#include "platform/registry/registry.h"
#include "platform/registry/tests/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using platform::RegKey;

namespace {

using registry_test::Sqlite;

// The tool run on file; its exit code, its standard output in *out.
int RunTool(const std::string& file, const std::string& arguments, std::string* out = nullptr) {
  const std::string command = "VANTREL_REGISTRY='" + file + "' " + VNREG_PATH + " " + arguments + " 2>&1";
  auto [code, text] = platform::testing::RunCommand(command);
  if (out != nullptr) *out = std::move(text);
  return code;
}

// The database's size in bytes as SQLite sees it (the write-ahead log included).
long long DatabaseBytes() {
  return std::atoll(
      Sqlite(std::getenv("VANTREL_REGISTRY"), "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size")
          .c_str());
}

}  // namespace

// 512 levels of 32-character names: with every row repeating its whole path
// the file grew by about 14 MB; each level now costs its own name.
TEST(RegistryStorage, ADeepKeyCostsItsNamesNotItsPathPerLevel) {
  RegKey k;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software", k.put()), ERROR_SUCCESS);
  const long long before = DatabaseBytes();
  ASSERT_GT(before, 0);
  std::wstring path = L"Deep";
  for (int level = 2; level <= 511; ++level) path += L"\\" + std::wstring(32, static_cast<wchar_t>(L'a' + level % 26));
  RegKey deep;
  ASSERT_EQ(RegCreateKeyW(k.get(), path.c_str(), deep.put()), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(deep.get(), L"v", 1), ERROR_SUCCESS);
  const long long grown = DatabaseBytes() - before;
  EXPECT_LT(grown, 1024 * 1024) << "bytes for one key 511 levels below HKCU\\Software";

  // The tree still deletes whole, from any level.
  ASSERT_EQ(RegDeleteTreeW(k.get(), L"Deep"), ERROR_SUCCESS);
  RegKey gone;
  EXPECT_EQ(RegOpenKeyExW(k.get(), path.c_str(), 0, KEY_READ, gone.put()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Sqlite(std::getenv("VANTREL_REGISTRY"), "SELECT COUNT(*) FROM keys WHERE name LIKE 'aaaa%'"), "0");
}

// A file written by the previous layout (each key row with its full path and
// a unique index on it) opens, reads, writes and deletes as before.
TEST(RegistryStorage, AFileOfThePreviousLayoutStillOpens) {
  const std::string file = registry_test::TempDir() + "/previous.db";
  const std::string previous =
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL, name TEXT NOT NULL,"
      " fold TEXT NOT NULL, path TEXT NOT NULL, last_write INTEGER NOT NULL);"
      "CREATE UNIQUE INDEX keys_child ON keys(parent, fold);"
      "CREATE UNIQUE INDEX keys_path ON keys(path);"
      "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL, name TEXT NOT NULL,"
      " fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
      "CREATE UNIQUE INDEX vals_name ON vals(key, fold);"
      "CREATE INDEX vals_order ON vals(key, id);"
      "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL, kind INTEGER NOT NULL,"
      " at INTEGER NOT NULL);"
      "INSERT INTO keys VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0);"
      "INSERT INTO keys VALUES(2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0);"
      "INSERT INTO keys VALUES(3, 1, 'SOFTWARE', 'SOFTWARE', 'HKEY_LOCAL_MACHINE\\SOFTWARE', 0);"
      "INSERT INTO keys VALUES(4, 3, 'Classes', 'CLASSES', 'HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES', 0);"
      "INSERT INTO keys VALUES(5, 2, 'Software', 'SOFTWARE', 'HKEY_CURRENT_USER\\SOFTWARE', 0);"
      "INSERT INTO keys VALUES(6, 5, 'Kept', 'KEPT', 'HKEY_CURRENT_USER\\SOFTWARE\\KEPT', 0);"
      "INSERT INTO keys VALUES(7, 4, '.kept', '.KEPT', 'HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES\\.KEPT', 0);"
      "INSERT INTO vals(key, name, fold, type, data) VALUES(6, 'Answer', 'ANSWER', 4, X'2A000000');"
      "INSERT INTO vals(key, name, fold, type, data) VALUES(7, '', '', 1, X'6B0065007000740000000000');"
      "PRAGMA user_version=2;";
  ASSERT_EQ(Sqlite(file, previous), "");
  ASSERT_EQ(Sqlite(file, "SELECT COUNT(*) FROM keys"), "7");

  std::string out;
  ASSERT_EQ(RunTool(file, "query 'HKCU\\Software\\Kept'", &out), 0) << out;
  EXPECT_NE(out.find("Answer    REG_DWORD    0x2a"), std::string::npos) << out;
  ASSERT_EQ(RunTool(file, "query 'HKCR\\.kept'", &out), 0) << out;
  EXPECT_NE(out.find("kept"), std::string::npos) << out;
  // The layout was brought up to date once, keeping every row.
  EXPECT_EQ(Sqlite(file, "PRAGMA user_version"), "3");
  EXPECT_EQ(Sqlite(file, "SELECT COUNT(*) FROM pragma_table_info('keys') WHERE name = 'path'"), "0");
  EXPECT_EQ(Sqlite(file, "SELECT COUNT(*) FROM keys"), "7");

  ASSERT_EQ(RunTool(file, "add 'HKCU\\Software\\Kept\\New' /v n /t REG_DWORD /d 7 /f", &out), 0) << out;
  ASSERT_EQ(RunTool(file, "query 'HKCU\\Software\\Kept\\New' /v n", &out), 0) << out;
  EXPECT_NE(out.find("0x7"), std::string::npos) << out;
  ASSERT_EQ(RunTool(file, "delete 'HKCU\\Software\\Kept' /f", &out), 0) << out;
  EXPECT_NE(RunTool(file, "query 'HKCU\\Software\\Kept'", &out), 0) << out;
  EXPECT_EQ(Sqlite(file, "SELECT COUNT(*) FROM keys"), "6");  // Kept and New gone
  EXPECT_EQ(Sqlite(file, "SELECT COUNT(*) FROM vals"), "1");
}
