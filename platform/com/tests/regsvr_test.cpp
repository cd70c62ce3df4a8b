// regsvr_test.cpp - the registration tool against the tests' in-process server.
//
// Each row runs vnregsvr as its own process, with the server's call log in a
// temporary file, and compares the exit code, the calls the server saw (in
// order, with DllInstall's arguments) and what the tool printed.
#include "platform/base/testing/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct RunResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

RunResult RunTool(const std::string& environment, const std::string& arguments) {
  RunResult result;
  const std::string command = environment + " '" VN_REGSVR_PATH "' " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
  const int status = ::pclose(pipe);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string kServer = VN_TEST_SERVER_PATH;

struct ToolRow {
  const char* name;
  std::string arguments;
  const char* failingExport;  // the server's export that answers E_ACCESSDENIED, or ""
  int exitCode;
  std::string calls;    // the server's log
  std::string printed;  // a part of the tool's output (empty: the output must be empty)
};

const ToolRow kRows[] = {
    {"register", "'" + kServer + "'", "", 0, "DllRegisterServer\n", "DllRegisterServer in " + kServer + " succeeded."},
    {"unregister", "/u '" + kServer + "'", "", 0, "DllUnregisterServer\n", "DllUnregisterServer in"},
    {"register and install", "/i:user '" + kServer + "'", "", 0, "DllRegisterServer\nDllInstall 1 [user]\n",
     "DllRegisterServer and DllInstall in"},
    {"install alone", "/n /i:user '" + kServer + "'", "", 0, "DllInstall 1 [user]\n", "DllInstall in"},
    {"uninstall runs before the unregistration", "/u /i:all '" + kServer + "'", "", 0,
     "DllInstall 0 [all]\nDllUnregisterServer\n", "DllInstall and DllUnregisterServer in"},
    {"uninstall alone, no command line", "-U -N -I '" + kServer + "'", "", 0, "DllInstall 0 []\n", "DllInstall in"},
    {"command line with spaces", "/n '/i:a b' '" + kServer + "'", "", 0, "DllInstall 1 [a b]\n", "succeeded"},
    {"silent", "/s '" + kServer + "'", "", 0, "DllRegisterServer\n", ""},
    {"/n without /i", "/n '" + kServer + "'", "", 1, "", "/n must be used with /i."},
    {"unknown flag", "-x '" + kServer + "'", "", 1, "", "Unrecognized flag: -x"},
    {"no module", "/u", "", 1, "", "No module name specified."},
    {"module that does not load", "/s /nonexistent/libnone.so", "", 3, "",
     "The module \"/nonexistent/libnone.so\" failed to load."},
    {"module without the export", "'" VN_TEST_NO_EXPORT_PATH "'", "", 4, "",
     "was loaded but the entry-point DllRegisterServer was not found."},
    {"failing registration, reported even when silent", "/s '" + kServer + "'", "DllRegisterServer", 5,
     "DllRegisterServer\n", "call to DllRegisterServer failed with error code 0x80070005.\nAccess is denied."},
    {"failing install after the registration", "/i '" + kServer + "'", "DllInstall", 5,
     "DllRegisterServer\nDllInstall 1 []\n", "call to DllInstall failed"},
    {"first failure ends the run", "'" VN_TEST_NO_EXPORT_PATH "' '" + kServer + "'", "", 4, "", "entry-point"},
    {"every module in order", "'" + kServer + "' '" + kServer + "'", "", 0, "DllRegisterServer\nDllRegisterServer\n",
     "succeeded"},
};

TEST(RegistrationTool, CallsExitCodesAndMessages) {
  const std::string folder = platform::testing::MakeTempDir("vnregsvr");
  int n = 0;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const std::string log = folder + "/calls-" + std::to_string(n++);
    const RunResult run =
        RunTool("VN_TEST_SERVER_LOG='" + log + "' VN_TEST_SERVER_FAIL='" + row.failingExport + "'", row.arguments);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_EQ(ReadAll(log), row.calls);
    if (row.printed.empty())
      EXPECT_EQ(run.output, "");
    else
      EXPECT_NE(run.output.find(row.printed), std::string::npos) << run.output;
  }
}

}  // namespace
