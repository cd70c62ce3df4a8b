// TraceTestSupport.h - what every trace test needs: a registry and a folder of
// its own, the test message module, and sources with names.
#pragma once

#include "platform/base/testing/temp_dir.h"
#include "trace/TraceLogger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace trace_test {

// A fresh registry file and temp folder for this process (each test case
// runs in a process of its own).
inline const std::filesystem::path& TempDir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path path = platform::testing::MakeTempDir("vn_trace_test_");
    setenv("VANTREL_REGISTRY", (path / "registry.db").c_str(), 1);
    return path;
  }();
  return dir;
}

inline std::wstring Wide(const std::filesystem::path& p) { return p.wstring(); }

class NamedSource : public CTraceLoggable {
 public:
  explicit NamedSource(std::string name) : m_name(std::move(name)) {}
  std::string GetTraceName() const override { return m_name; }

 private:
  std::string m_name;
};

// Loads the module built from TrcTest.mc (beside the test program).
inline void LoadTestMessages() {
  TempDir();
  ASSERT_EQ(CTraceLogger::SetMessageModule(L"TrcTest"), 0u);
}

// A logger writing into a folder of the test's temp folder.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadTestMessages();
    // A folder of its own, also when all tests run in one process.
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = TempDir() / (std::string(test->test_suite_name()) + "." + test->name()) / "logs";
    std::filesystem::create_directories(m_dir.parent_path());
    m_logger.SetDirectory(Wide(m_dir));
    m_logger.SetFilePrefix(L"Test");
  }
  std::filesystem::path m_dir;
  CTraceLogger m_logger;
  NamedSource m_source{"Worker"};
};

}  // namespace trace_test
