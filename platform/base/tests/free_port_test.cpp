// free_port_test.cpp - the test servers' ports: free, below the ephemeral range, never handed out twice.
#include "platform/base/testing/free_port.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace {

// Many ports taken back to back (as a test does for several hosts before any
// listens) are all distinct, below the range the kernel gives client sockets,
// and each can be listened on at once.
TEST(FreePort, DistinctListenablePortsBelowTheEphemeralRange) {
  int low = 32768;
  if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); !(range >> low)) low = 32768;
  std::set<int> seen;
  for (int i = 0; i < 200; ++i) {
    const int port = platform::testing::FreePort();
    ASSERT_GE(port, 1024);
    EXPECT_LT(port, low);
    EXPECT_TRUE(seen.insert(port).second) << "port " << port << " given twice";
  }
  // A port handed out is one a server can take: listen on the last one.
  const int port = *seen.rbegin();
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << port;
  EXPECT_EQ(::listen(s, 1), 0);
  ::close(s);
}

}  // namespace
