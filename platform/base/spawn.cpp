// spawn.cpp - child processes through posix_spawn, each in a group of its own.
#include "platform/base/spawn.h"

#include "platform/base/errors.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
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

// What posix_spawn below does, by fork and exec, with the parent-death
// signal set between them (posix_spawn has no way to ask for it). Only
// async-signal-safe calls in the child; an exec failure comes back as its
// errno through a close-on-exec pipe.
int ForkTiedChild(std::vector<char*>& argp, std::vector<char*>& envp, int errorFd, pid_t& pid) {
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return errno;
  const pid_t parent = ::getpid();
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid = ::fork();
  if (pid == 0) {
    ::close(status[0]);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent died before the signal was asked for: nobody reads the
    // child's output or would ever kill it.
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    for (int sig = 1; sig < NSIG; ++sig)
      if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    const int in = ::open("/dev/null", O_RDONLY);
    const int outFd = ::open("/dev/null", O_WRONLY);
    if (in < 0 || outFd < 0 || ::dup2(in, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errorFd, 2) < 0) ::_exit(127);
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvpe(argp[0], argp.data(), envp.data());
    const int e = errno;
    (void)!::write(status[1], &e, sizeof e);
    ::_exit(127);
  }
  const int forkError = pid < 0 ? errno : 0;
  if (pid > 0) ::setpgid(pid, pid);  // the group exists before anyone kills it
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(status[1]);
  if (pid < 0) {
    ::close(status[0]);
    return forkError;
  }
  int e = 0;
  ssize_t n;
  do {
    n = ::read(status[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  if (n == static_cast<ssize_t>(sizeof e)) {
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return e;
  }
  return 0;
}

}  // namespace

DWORD StartChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                        ChildProcess& out, bool dieWithParent) {
  if (argv.empty()) return ERROR_INVALID_PARAMETER;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Win32FromErrno(errno);
  if (dieWithParent) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(environment);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);
    pid_t pid = -1;
    const int rc = ForkTiedChild(argp, envp, fds[1], pid);
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
