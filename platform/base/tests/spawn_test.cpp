// spawn_test.cpp - child processes: their standard error, exit, group and environment.
#include "platform/base/spawn.h"

#include "platform/base/errors.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Everything the child writes to standard error, until it closes it.
std::string ReadAll(int fd) {
  std::string text;
  for (;;) {
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return text;
    } else if (errno == EAGAIN) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, -1);
    } else if (errno != EINTR) {
      return text;
    }
  }
}

struct ShellRun {
  std::string error;
  platform::ChildExit exit;
};

// Both ways of starting a child: each row holds for a child tied to its
// parent's life as for any other.
bool g_tied = false;

ShellRun RunShell(const std::string& script, const std::vector<std::string>& environment = {}) {
  platform::ChildProcess child;
  ShellRun run;
  EXPECT_EQ(platform::StartChildProcess({"/bin/sh", "-c", script}, environment, child, g_tied), ERROR_SUCCESS);
  if (child.pid < 0) return run;
  run.error = ReadAll(child.errorFd);
  ::close(child.errorFd);
  EXPECT_EQ(platform::WaitChildProcess(child, run.exit), ERROR_SUCCESS);
  return run;
}

struct ShellRow {
  const char* name;
  const char* script;
  std::vector<std::string> environment;
  std::string error;  // what the child writes to standard error
  int exitCode;
};

TEST(ChildProcess, ShellRows) {
  ::setenv("SPAWN_TEST_KEPT", "kept", 1);
  ::setenv("SPAWN_TEST_DROPPED", "dropped", 1);
  const ShellRow rows[] = {
      {"standard error is the pipe", "echo one >&2; echo two >&2", {}, "one\ntwo\n", 0},
      {"standard output is discarded", "echo out; echo err >&2", {}, "err\n", 0},
      {"exit code", "exit 7", {}, "", 7},
      {"standard input is empty", "cat >&2", {}, "", 0},
      {"own process group", "[ \"$(ps -o pgid= $$ | tr -d ' ')\" = \"$$\" ] && echo own >&2", {}, "own\n", 0},
      {"environment inherited", "echo $SPAWN_TEST_KEPT >&2", {}, "kept\n", 0},
      {"environment replaced", "echo $SPAWN_TEST_KEPT >&2", {"SPAWN_TEST_KEPT=new"}, "new\n", 0},
      {"environment removed", "echo x${SPAWN_TEST_DROPPED}x >&2", {"SPAWN_TEST_DROPPED="}, "xx\n", 0},
  };
  for (const bool tied : {false, true}) {
    g_tied = tied;
    for (const ShellRow& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (tied ? ", tied" : ""));
      const ShellRun run = RunShell(row.script, row.environment);
      EXPECT_EQ(run.error, row.error);
      EXPECT_FALSE(run.exit.signalled);
      EXPECT_EQ(run.exit.exitCode, row.exitCode);
    }
  }
  g_tied = false;
}

TEST(ChildProcess, TiedChildDiesWithTheThreadThatStartedIt) {
  platform::ChildProcess child;
  DWORD started = ERROR_GEN_FAILURE;
  // The parent-death signal follows the starting thread: a thread that ends
  // stands for a parent killed with SIGKILL.
  std::thread starter([&] { started = platform::StartChildProcess({"/bin/sh", "-c", "exec sleep 300"}, {}, child, true); });
  starter.join();
  ASSERT_EQ(started, ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(child.errorFd), "");
  ::close(child.errorFd);
  platform::ChildExit exit;
  ASSERT_EQ(platform::WaitChildProcess(child, exit), ERROR_SUCCESS);
  EXPECT_TRUE(exit.signalled);
  EXPECT_EQ(exit.signal, SIGKILL);
}

TEST(ChildProcess, InheritableDescriptorsStayBehind) {
  const int inheritable = ::dup(2);  // dup sets no close-on-exec
  ASSERT_GE(inheritable, 3);
  const std::string fd = "/proc/$$/fd/" + std::to_string(inheritable);
  const ShellRun run = RunShell("[ -e /proc/$$/fd/2 ] && echo two >&2; [ -e " + fd + " ] && echo leaked >&2; true");
  ::close(inheritable);
  EXPECT_EQ(run.error, "two\n");
}

TEST(ChildProcess, BlockedSignalsAreNotInherited) {
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &old), 0);
  const ShellRun run = RunShell("kill -TERM $$; sleep 5");
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_TRUE(run.exit.signalled);
  EXPECT_EQ(run.exit.signal, SIGTERM);
}

TEST(ChildProcess, KillEndsTheWholeGroup) {
  platform::ChildProcess child;
  // The grandchild holds standard error open; only killing the group closes it.
  ASSERT_EQ(platform::StartChildProcess({"/bin/sh", "-c", "sleep 300 & echo started >&2; wait"}, {}, child),
            ERROR_SUCCESS);
  std::string first;
  while (first.find('\n') == std::string::npos) {
    pollfd p{child.errorFd, POLLIN, 0};
    ::poll(&p, 1, -1);
    char c;
    if (::read(child.errorFd, &c, 1) == 1) first += c;
  }
  EXPECT_EQ(first, "started\n");
  platform::KillChildProcessGroup(child);
  EXPECT_EQ(ReadAll(child.errorFd), "");  // EOF: no process of the group holds the pipe
  ::close(child.errorFd);
  platform::ChildExit exit;
  ASSERT_EQ(platform::WaitChildProcess(child, exit), ERROR_SUCCESS);
  EXPECT_TRUE(exit.signalled);
  EXPECT_EQ(exit.signal, SIGKILL);
}

TEST(ChildProcess, MissingProgram) {
  platform::ChildProcess child;
  EXPECT_EQ(platform::StartChildProcess({"/nonexistent/program"}, {}, child), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(platform::StartChildProcess({}, {}, child), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(platform::StartChildProcess({"/nonexistent/program"}, {}, child, true), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(child.pid, -1);
}

}  // namespace
