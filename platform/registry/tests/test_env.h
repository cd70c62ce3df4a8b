// test_env.h - a fresh registry database for each test program run.
//
// Included by every test source of the registry: before main, points
// VANTREL_REGISTRY at a new file in a private temporary folder, removed when
// the program exits.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace registry_test {

inline std::string& TempDir() {
  static std::string dir;
  return dir;
}

inline bool SetUpRegistryFile() {
  std::string templ = (std::filesystem::temp_directory_path() / "vnreg-test-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) std::abort();
  TempDir() = templ;
  ::setenv("VANTREL_REGISTRY", (templ + "/registry.db").c_str(), 1);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(TempDir(), ec);
  });
  return true;
}

inline const bool kRegistryFileReady = SetUpRegistryFile();

}  // namespace registry_test
