// spawn.cpp - child processes through posix_spawn, each in a group of its own.
#include "platform/base/spawn.h"

#include "platform/base/errors.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace platform {

namespace {

// The parent's environment with the entries of changes applied in order.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) merged.emplace_back(*entry);
  for (const std::string& change : changes) {
    const std::size_t equals = change.find('=');
    if (equals == std::string::npos) continue;
    const std::string prefix = change.substr(0, equals + 1);
    std::erase_if(merged, [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
    if (equals + 1 < change.size()) merged.push_back(change);
  }
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

DWORD StartChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                        ChildProcess& out) {
  if (argv.empty()) return ERROR_INVALID_PARAMETER;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Win32FromErrno(errno);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  // Descriptors made without close-on-exec (by libraries) must not keep a
  // client's socket open in the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigdefault(&attributes, &all);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(environment);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return Win32FromErrno(rc);
  }
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  out.pid = pid;
  out.errorFd = fds[0];
  return ERROR_SUCCESS;
}

void KillChildProcessGroup(const ChildProcess& child) {
  if (child.pid > 0) ::kill(-child.pid, SIGKILL);
}

DWORD WaitChildProcess(const ChildProcess& child, ChildExit& exit) {
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(child.pid, &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return Win32FromErrno(errno);
  exit.signalled = WIFSIGNALED(status);
  exit.signal = exit.signalled ? WTERMSIG(status) : 0;
  exit.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  return ERROR_SUCCESS;
}

}  // namespace platform
