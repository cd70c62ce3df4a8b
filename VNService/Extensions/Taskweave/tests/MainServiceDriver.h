// MainServiceDriver.h - the archive main service stand-in, run inside the
// test process or as its own program, driven by the same command lines.
//
// Every test program gets private pipe and registry folders. A driver owns
// one main service under a pipe name of the test's own; Command() runs a
// control command (archive/mainsvc/ControlChannel.h) either directly or over
// the program's control pipe, so one table of hostile behaviour runs both
// ways. Kill() ends the program the hard way (the in-process server drops
// every client and stops serving), Start() brings it back.
#pragma once

#include "archive/mainsvc/ControlChannel.h"
#include "archive/mainsvc/MainService.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

extern char** environ;

namespace vnservice_test {

inline const bool kEnvironment = [] {
  const std::string base = platform::testing::MakeTempDir("vn_vnservice_test.");
  ::setenv("VANTREL_PIPE_DIR", base.c_str(), 1);
  ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  return true;
}();

// Polls until the condition holds or the generous bound has passed.
inline bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

enum class Where { kInProcess, kProgram };

inline std::string WhereName(Where where) { return where == Where::kInProcess ? "InProcess" : "Program"; }

class MainServiceDriver {
 public:
  MainServiceDriver(Where where, std::wstring pipeName) : m_where(where), m_pipeName(std::move(pipeName)) {}
  ~MainServiceDriver() { Kill(); }

  const std::wstring& PipeName() const { return m_pipeName; }

  void Start() {
    if (m_where == Where::kInProcess) {
      m_service = std::make_unique<archive::MainService>(m_pipeName);
      ASSERT_EQ(m_service->Start(), ERROR_SUCCESS);
      return;
    }
    const std::string name = platform::Utf8FromWide(m_pipeName);
    char* argv[] = {const_cast<char*>(VNARCHIVE_MAINSVC_PROGRAM), const_cast<char*>(name.c_str()), nullptr};
    ASSERT_EQ(::posix_spawn(&m_pid, VNARCHIVE_MAINSVC_PROGRAM, nullptr, nullptr, argv, environ), 0);
    const std::wstring control = L"\\\\.\\pipe\\" + m_pipeName + L".Control";
    ASSERT_TRUE(WaitUntil([&] {
      m_control.reset(
          CreateFileW(control.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      return static_cast<bool>(m_control);
    }));
    DWORD mode = PIPE_READMODE_MESSAGE;
    ASSERT_TRUE(SetNamedPipeHandleState(m_control.get(), &mode, nullptr, nullptr));
  }

  void Kill() {
    if (m_where == Where::kInProcess) {
      if (m_service) m_service->Stop();
      m_service.reset();
      return;
    }
    m_control.reset();
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      int status = 0;
      ::waitpid(m_pid, &status, 0);
      m_pid = 0;
    }
  }

  // Runs a control command; the reply line ("ok ...").
  std::string Command(const std::string& line) {
    if (m_where == Where::kInProcess) {
      bool quit = false;
      return archive::RunControlCommand(*m_service, line, quit);
    }
    std::string reply(4096, '\0');
    DWORD n = 0;
    if (!TransactNamedPipe(m_control.get(), line.data(), static_cast<DWORD>(line.size()), reply.data(),
                           static_cast<DWORD>(reply.size()), &n, nullptr))
      return "error transact " + std::to_string(GetLastError());
    reply.resize(n);
    return reply;
  }

  // A number from the "state" reply ("lists", "connections", ...).
  std::size_t StateValue(const std::string& key) {
    const std::string state = Command("state");
    const std::size_t at = state.find(" " + key + "=");
    if (at == std::string::npos) return 0;
    return std::stoul(state.substr(at + key.size() + 2));
  }
  std::string LastList() {
    const std::string state = Command("state");
    const std::size_t at = state.find(" last=");
    return at == std::string::npos ? std::string() : state.substr(at + 6);
  }

 private:
  Where m_where;
  std::wstring m_pipeName;
  std::unique_ptr<archive::MainService> m_service;
  pid_t m_pid = 0;
  platform::UniqueHandle m_control;
};

}  // namespace vnservice_test
