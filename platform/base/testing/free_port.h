// free_port.h - a port for a test's or bench's server to listen on.
//
// The port is one no socket of the machine holds (a bind to every address
// succeeds), chosen below the ephemeral range: a port the kernel hands out for
// bind(0) is one it also gives client sockets as their source, so a client of
// another test could hold it by the time the server comes to listen. A
// process is never given the same port twice, so ports taken one after the
// other for several listeners differ even before any of them listens.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <random>
#include <set>

namespace platform::testing {

// 0 only when no port in the range could be bound at all.
inline int FreePort() {
  static std::mutex lock;
  static std::set<int> given;
  static std::mt19937 random{std::random_device{}()};
  int low = 32768;  // the kernel's default start of the ephemeral range
  if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); !(range >> low)) low = 32768;
  std::uniform_int_distribution<int> pick(std::max(1024, low - 12000), std::max(1025, low) - 1);
  std::lock_guard<std::mutex> hold(lock);
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const int port = pick(random);
    if (given.count(port) != 0) continue;
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(s);
    if (free) {
      given.insert(port);
      return port;
    }
  }
  return 0;
}

}  // namespace platform::testing
