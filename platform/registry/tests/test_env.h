// test_env.h - a fresh registry database for each test program run.
//
// Included by every test source of the registry: before main, points
// VANTREL_REGISTRY (and the event log and pipe folders) into a private
// temporary folder, removed when the program exits.
#pragma once

#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_registry.h"

#include <string>

namespace registry_test {

inline std::string& TempDir() {
  static std::string dir;
  return dir;
}

inline bool SetUpRegistryFile() {
  TempDir() = platform::testing::UseTempRegistry("vnreg-test-");
  return true;
}

inline const bool kRegistryFileReady = SetUpRegistryFile();

// sqlite3 run on a database file with sql: its output without the last
// newlines. The tests read the store's tables as an outside reader would.
inline std::string Sqlite(const std::string& file, const std::string& sql) {
  std::string out = platform::testing::RunCommand("sqlite3 '" + file + "' \"" + sql + "\"").second;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace registry_test
