// console.cpp - the wait of a program's console dialog for its closing key.
//
// A dialog in debug mode stays open until the person at the terminal presses
// Enter, the input ends, or Ctrl-C arrives. Ctrl-C is turned into a byte on a
// private pipe while the wait runs (a signal handler may only write), and the
// previous SIGINT handling is put back afterwards.
#include "platform/service/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>

namespace platform {
namespace {

std::atomic<int> g_interruptFd{-1};

void OnInterrupt(int) {
  const int fd = g_interruptFd.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
}

}  // namespace

void WaitForConsoleClose(int inputFd) {
  int interrupt[2] = {-1, -1};
  struct sigaction previous {};
  bool handled = false;
  if (::pipe2(interrupt, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_interruptFd.store(interrupt[1]);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    handled = ::sigaction(SIGINT, &action, &previous) == 0;
  }
  for (;;) {
    pollfd fds[2] = {{inputFd, POLLIN, 0}, {interrupt[0], POLLIN, 0}};
    const int n = ::poll(fds, interrupt[0] >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) break;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      char buffer[256];
      const ssize_t got = ::read(inputFd, buffer, sizeof buffer);
      if (got <= 0 || std::string_view(buffer, static_cast<std::size_t>(got)).find('\n') != std::string_view::npos)
        break;
    }
  }
  if (handled) ::sigaction(SIGINT, &previous, nullptr);
  g_interruptFd.store(-1);
  if (interrupt[0] >= 0) {
    ::close(interrupt[0]);
    ::close(interrupt[1]);
  }
}

}  // namespace platform
