// pipe_test.cpp - named pipes: instances and busy clients, message framing,
// broken pipes, overlapped waits with a stop event, cancels, and the client's
// identity, with a Python client (pipe_peer.py) as the peer where the bytes on
// the wire matter.

#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/pipe/testing/peer_script.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/base/text.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::testing::PipePeerScript;

using platform::UniqueHandle;

const bool kEnvironment = [] {
  const std::string pipes = platform::testing::MakeTempDir("vn_pipe_test.");
  const std::string registry = platform::testing::MakeTempDir("vn_pipe_reg.");
  ::setenv("VANTREL_PIPE_DIR", pipes.c_str(), 1);
  ::setenv("VANTREL_REGISTRY", (registry + "/registry.db").c_str(), 1);
  ::chmod(pipes.c_str(), 0755);  // a client running as nobody must reach the socket
  return true;
}();

std::wstring PipeName(const char* test) {
  return L"\\\\.\\pipe\\Vantrel.Test." + std::wstring(test, test + std::strlen(test));
}

HANDLE Server(const std::wstring& name, DWORD instances = PIPE_UNLIMITED_INSTANCES, bool overlapped = true) {
  return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | (overlapped ? FILE_FLAG_OVERLAPPED : 0),
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, instances, 4096, 4096, 0, nullptr);
}

HANDLE Client(const std::wstring& name, bool messageMode = true, DWORD flags = 0) {
  HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h != INVALID_HANDLE_VALUE && messageMode) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(h, &mode, nullptr, nullptr));
  }
  return h;
}

bool Write(HANDLE h, const std::string& data) {
  DWORD n = 0;
  return WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
}

// Reads one whole message in steps of `step` bytes; every step but the last
// must answer ERROR_MORE_DATA.
std::string ReadMessage(HANDLE h, DWORD step, int* moreDataCount = nullptr) {
  std::string out;
  std::vector<char> buf(step);
  for (;;) {
    DWORD n = 0;
    BOOL ok = ReadFile(h, buf.data(), step, &n, nullptr);
    out.append(buf.data(), n);
    if (ok) return out;
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    if (GetLastError() != ERROR_MORE_DATA) return out;
    if (moreDataCount != nullptr) ++*moreDataCount;
  }
}

// Waits for a client on a server instance opened without FILE_FLAG_OVERLAPPED.
void AwaitClient(HANDLE server) {
  if (!ConnectNamedPipe(server, nullptr)) {
    EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
  }
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

// Runs the Python peer against name with the given steps; returns its exit
// code and what it printed.
int RunPeer(const std::wstring& name, const std::string& steps, std::string* output = nullptr) {
  const std::string cmd = std::string(PYTHON3_EXECUTABLE) + " " + PipePeerScript() + " '" +
                          platform::PipeSocketPath(name.c_str()) + "' " + steps;
  auto [code, text] = platform::testing::RunCommand(cmd);
  if (output != nullptr) *output += text;
  return code;
}

TEST(PipeNames, ErrorsForMissingAndForeignNames) {
  struct Case {
    const wchar_t* name;
    DWORD openError;
  } cases[] = {
      {L"\\\\.\\pipe\\Vantrel.Test.NobodyServesThis", ERROR_FILE_NOT_FOUND},
      {L"C:\\not\\a\\pipe", ERROR_PATH_NOT_FOUND},
      {L"\\\\.\\pipe\\", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::Utf8FromWide(c.name));
    EXPECT_EQ(Client(c.name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.openError);
  }
  EXPECT_FALSE(WaitNamedPipeW(L"\\\\.\\pipe\\Vantrel.Test.NobodyServesThis", 10));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Server(L"C:\\tmp\\x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST(PipeNames, NameIsCaseInsensitiveAndGoesWithTheLastInstance) {
  const std::wstring name = PipeName("CaseName");
  UniqueHandle server(Server(name));
  ASSERT_TRUE(server);
  const std::string path = platform::PipeSocketPath(name.c_str());
  EXPECT_EQ(::access(path.c_str(), F_OK), 0);
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  UniqueHandle client(Client(L"\\\\.\\PIPE\\vantrel.test.casename"));
  EXPECT_TRUE(client);
  client.reset();
  server.reset();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  EXPECT_EQ(Client(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PipeInstances, ThirdClientIsBusyUntilAnInstanceReconnects) {
  const std::wstring name = PipeName("Instances");
  UniqueHandle a(Server(name, 2, false));
  UniqueHandle b(Server(name, 2, false));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(Server(name, 2), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);

  UniqueHandle c1(Client(name));
  UniqueHandle c2(Client(name));
  ASSERT_TRUE(c1 && c2);
  // Clients that came before ConnectNamedPipe are reported, not waited for.
  EXPECT_FALSE(ConnectNamedPipe(a.get(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_CONNECTED);

  EXPECT_EQ(Client(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  EXPECT_FALSE(WaitNamedPipeW(name.c_str(), 20));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
  // The default wait is the server's time-out (0 given: 50 ms).
  EXPECT_FALSE(WaitNamedPipeW(name.c_str(), NMPWAIT_USE_DEFAULT_WAIT));
  EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);

  // Which instance took which client is the server's business: find c1's.
  ASSERT_TRUE(Write(c1.get(), "who"));
  HANDLE firstServer = nullptr;
  while (firstServer == nullptr) {
    for (HANDLE s : {a.get(), b.get()}) {
      DWORD avail = 0;
      if (PeekNamedPipe(s, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) firstServer = s;
    }
  }

  std::atomic<bool> waited{false};
  std::thread waiter([&] { waited = WaitNamedPipeW(name.c_str(), NMPWAIT_WAIT_FOREVER) != FALSE; });
  c1.reset();
  EXPECT_EQ(ReadMessage(firstServer, 16), "who");
  ASSERT_TRUE(DisconnectNamedPipe(firstServer));
  // Disconnected but not yet reconnected: still busy.
  EXPECT_EQ(Client(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  std::thread connector([&] { EXPECT_TRUE(ConnectNamedPipe(firstServer, nullptr)); });
  waiter.join();
  EXPECT_TRUE(waited);
  UniqueHandle c3(Client(name));
  EXPECT_TRUE(c3);
  connector.join();
  ASSERT_TRUE(Write(c3.get(), "third"));
  EXPECT_EQ(ReadMessage(firstServer, 16), "third");
}

TEST(PipeMessages, BoundariesAndPartialReadsAtEverySize) {
  const std::wstring name = PipeName("Messages");
  UniqueHandle server(Server(name, 1, false));
  UniqueHandle client(Client(name));
  ASSERT_TRUE(server && client);
  struct Case {
    std::size_t size;
    DWORD step;
  } cases[] = {{0, 16}, {1, 1}, {5, 4}, {4096, 4096}, {4097, 4096}, {1 << 20, 1000}, {4 << 20, 64 * 1024},
               {4 << 20, 4 << 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " in steps of " + std::to_string(c.step));
    const std::string data = Pattern(c.size);
    // Both directions, the writer on its own thread since big messages
    // wait for the reader.
    for (bool toServer : {true, false}) {
      std::thread writer([&] { EXPECT_TRUE(Write(toServer ? client.get() : server.get(), data)); });
      int more = 0;
      const std::string got = ReadMessage(toServer ? server.get() : client.get(), c.step, &more);
      writer.join();
      EXPECT_EQ(got.size(), data.size());
      EXPECT_TRUE(got == data);
      EXPECT_EQ(more, c.size == 0 ? 0 : static_cast<int>((c.size - 1) / c.step));
    }
  }
}

TEST(PipeMessages, ByteModeReadsAcrossMessagesAndPeekCountsThem) {
  const std::wstring name = PipeName("ByteMode");
  UniqueHandle server(Server(name, 1, false));
  UniqueHandle client(Client(name, false));
  ASSERT_TRUE(server && client);
  ASSERT_TRUE(Write(server.get(), "abc"));
  ASSERT_TRUE(Write(server.get(), "defg"));
  ASSERT_TRUE(FlushFileBuffers(server.get()));
  char buf[16] = {};
  DWORD n = 0, total = 0, left = 0;
  // Peek until both messages have arrived (they are on their way already).
  do {
    ASSERT_TRUE(PeekNamedPipe(client.get(), buf, 2, &n, &total, &left));
  } while (total < 7);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(left, 0u);  // byte read mode counts no message
  ASSERT_TRUE(ReadFile(client.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "abcdefg");

  // The server reads in message mode: Peek tells what is left of the first.
  ASSERT_TRUE(Write(client.get(), "12345"));
  ASSERT_TRUE(Write(client.get(), "678"));
  do {
    ASSERT_TRUE(PeekNamedPipe(server.get(), buf, 2, &n, &total, &left));
  } while (total < 8);
  EXPECT_EQ(std::string(buf, n), "12");
  EXPECT_EQ(left, 3u);
  EXPECT_EQ(ReadMessage(server.get(), 64), "12345");
  EXPECT_EQ(ReadMessage(server.get(), 64), "678");

  char reply[8];
  ASSERT_TRUE(Write(server.get(), "pong"));
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
  std::thread echo([&] {
    EXPECT_EQ(ReadMessage(server.get(), 64), "ping");
    EXPECT_TRUE(Write(server.get(), "pong2"));
  });
  EXPECT_EQ(ReadMessage(client.get(), 64), "pong");
  ASSERT_TRUE(TransactNamedPipe(client.get(), "ping", 4, reply, sizeof reply, &n, nullptr));
  EXPECT_EQ(std::string(reply, n), "pong2");
  echo.join();
}

TEST(PipeBroken, EitherEndSeesThePeerGo) {
  const std::wstring name = PipeName("Broken");
  struct Case {
    const char* label;
    bool closeClient;
  } cases[] = {{"client closes", true}, {"server closes", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    UniqueHandle server(Server(name, 1, false));
    UniqueHandle client(Client(name));
    ASSERT_TRUE(server && client);
    // A message written before the close is still delivered.
    ASSERT_TRUE(Write(c.closeClient ? client.get() : server.get(), "last words"));
    HANDLE survivor = c.closeClient ? server.get() : client.get();
    (c.closeClient ? client : server).reset();
    EXPECT_EQ(ReadMessage(survivor, 64), "last words");
    char buf[8];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(survivor, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    EXPECT_FALSE(WriteFile(survivor, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  }
}

TEST(PipeBroken, ConnectAfterTheClientLeftAnswersNoData) {
  const std::wstring name = PipeName("GoneBeforeConnect");
  UniqueHandle server(Server(name));
  ASSERT_TRUE(server);
  EXPECT_EQ(RunPeer(name, ""), 0);
  OVERLAPPED ov;
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ov.hEvent = event.get();
  // The peer is admitted at once but may still be on its way out.
  while (ConnectNamedPipe(server.get(), &ov) == FALSE && GetLastError() == ERROR_PIPE_CONNECTED) {
    ::usleep(1000);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  ASSERT_TRUE(DisconnectNamedPipe(server.get()));
  EXPECT_FALSE(ConnectNamedPipe(server.get(), &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
}

TEST(PipeOverlapped, ConnectWaitIsWokenByTheStopEventAndCancelled) {
  const std::wstring name = PipeName("StopConnect");
  UniqueHandle server(Server(name));
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle connected(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_TRUE(server && stop && connected);
  OVERLAPPED ov;
  ov.hEvent = connected.get();
  ASSERT_FALSE(ConnectNamedPipe(server.get(), &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(server.get(), &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  std::thread stopper([&] { SetEvent(stop.get()); });
  HANDLE waits[] = {stop.get(), connected.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, INFINITE), WAIT_OBJECT_0);
  stopper.join();
  ASSERT_TRUE(CancelIoEx(server.get(), &ov));
  EXPECT_FALSE(GetOverlappedResult(server.get(), &ov, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(server.get(), &ov));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

  // Connect again: this time a client comes and the connect event wins.
  ResetEvent(stop.get());
  ASSERT_FALSE(ConnectNamedPipe(server.get(), &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  UniqueHandle client(Client(name));
  ASSERT_TRUE(client);
  EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(GetOverlappedResult(server.get(), &ov, &bytes, TRUE));
}

TEST(PipeOverlapped, CancelledReadConsumesNothingAndCloseAbortsPendingWork) {
  const std::wstring name = PipeName("CancelRead");
  UniqueHandle server(Server(name));
  UniqueHandle client(Client(name, true, FILE_FLAG_OVERLAPPED));
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(server && client && event);
  OVERLAPPED ov;
  ov.hEvent = event.get();
  {
    std::vector<char> buffer(64);
    ASSERT_FALSE(ReadFile(server.get(), buffer.data(), 64, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIo(server.get()));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(server.get(), &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  }  // the buffer is gone; the pipe must never touch it again

  // Data that arrives now goes to the next read, whole.
  OVERLAPPED wov;
  UniqueHandle wevent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  wov.hEvent = wevent.get();
  if (!WriteFile(client.get(), "after", 5, nullptr, &wov)) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(client.get(), &wov, &n, TRUE));
  EXPECT_EQ(n, 5u);
  char buf[16];
  BOOL done = ReadFile(server.get(), buf, sizeof buf, nullptr, &ov);
  if (!done) {
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  ASSERT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(server.get(), &ov, &n, FALSE));
  EXPECT_EQ(std::string(buf, n), "after");

  // A read still pending when its handle closes ends as cancelled.
  ASSERT_FALSE(ReadFile(client.get(), buf, sizeof buf, nullptr, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  client.reset();
  ASSERT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(ov.Internal, ERROR_OPERATION_ABORTED);
}

TEST(PipePeer, PythonClientSpeaksTheFrameFormat) {
  const std::wstring name = PipeName("Python");
  UniqueHandle server(Server(name, 1, false));
  ASSERT_TRUE(server);
  std::thread serve([&] {
    AwaitClient(server.get());
    EXPECT_EQ(ReadMessage(server.get(), 4), "hello, pipe");
    EXPECT_EQ(ReadMessage(server.get(), 1 << 16).size(), 3000000u);
    EXPECT_TRUE(Write(server.get(), "w\xc3\xa4rm"));
    EXPECT_TRUE(Write(server.get(), Pattern(5000000)));
  });
  std::string out;
  EXPECT_EQ(RunPeer(name, "'send:hello, pipe' sendn:3000000 recv recvn", &out), 0);
  serve.join();
  unsigned long long sum = 0;
  for (unsigned char ch : Pattern(5000000)) sum += ch;
  EXPECT_EQ(out, "recv w\xc3\xa4rm\nrecvn 5000000 " + std::to_string(sum % (1ull << 32)) + "\n");
  // The only instance is taken: the Python client is told it is busy.
  UniqueHandle other(Server(PipeName("PythonBusy"), 1, false));
  UniqueHandle taker(Client(PipeName("PythonBusy")));
  EXPECT_EQ(RunPeer(PipeName("PythonBusy"), ""), 3);
}

// The identity seen by the server for a client running as `uid`.
struct Identity {
  DWORD impersonated;
  bool administrator;
  uid_t uid;
};

Identity IdentityOfClient(const std::wstring& name, uid_t uid) {
  Identity id{};
  UniqueHandle server(Server(name, 1, true));
  UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_TRUE(server && connected);
  OVERLAPPED ov;
  ov.hEvent = connected.get();
  EXPECT_FALSE(ConnectNamedPipe(server.get(), &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  const std::string path = platform::PipeSocketPath(name.c_str());
  const std::string& script = PipePeerScript();
  pid_t child = ::fork();
  if (child == 0) {
    // Nothing but system calls between fork and exec.
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(90);
    ::execl("/usr/bin/python3", "python3", script.c_str(), path.c_str(), "send:hi", nullptr);
    ::_exit(91);
  }
  // Wait for the connect or for the child to end without one.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  UniqueHandle exited(platform::CreateFdWaitHandle(pidfd, POLLIN));
  HANDLE waits[] = {connected.get(), exited.get()};
  const DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  int status = 0;
  bool reaped = false;
  if (w != WAIT_OBJECT_0) {
    // A client that sent its message and ended at once may be seen ending
    // before its connect completes here: only one that never connected fails.
    ::waitpid(child, &status, 0);
    reaped = true;
    if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
        WaitForSingleObject(connected.get(), 10000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "client ended before it connected, status " << status;
      CancelIoEx(server.get(), &ov);
      ::close(pidfd);
      return id;
    }
  }
  EXPECT_EQ(ReadMessage(server.get(), 16), "hi");
  bool before = true;
  EXPECT_EQ(platform::CheckImpersonatedAdministrator(before), ERROR_NO_TOKEN);
  EXPECT_TRUE(ImpersonateNamedPipeClient(server.get()));
  platform::PeerCredentials creds;
  id.impersonated = platform::GetImpersonatedCredentials(creds);
  id.uid = creds.uid;
  EXPECT_EQ(platform::CheckImpersonatedAdministrator(id.administrator), ERROR_SUCCESS);
  bool direct = false;
  EXPECT_EQ(platform::PeerIsAdministrator(server.get(), direct), ERROR_SUCCESS);
  EXPECT_EQ(direct, id.administrator);
  EXPECT_TRUE(RevertToSelf());
  EXPECT_EQ(platform::GetImpersonatedCredentials(creds), ERROR_NO_TOKEN);
  if (!reaped) ::waitpid(child, &status, 0);
  ::close(pidfd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return id;
}

TEST(PipeIdentity, AdministratorsAreRootOrTheConfiguredGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  struct Case {
    const char* label;
    uid_t uid;
    const char* adminGroup;
    bool administrator;
  } cases[] = {
      {"root", 0, nullptr, true},
      {"nobody", 65534, nullptr, false},
      {"nobody in the admin group by gid", 65534, "65534", true},
      {"nobody, another group", 65534, "4242", false},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.adminGroup != nullptr) {
      ::setenv("VANTREL_ADMIN_GROUP", c.adminGroup, 1);
    } else {
      ::unsetenv("VANTREL_ADMIN_GROUP");
    }
    const Identity id = IdentityOfClient(PipeName(("Identity" + std::to_string(i++)).c_str()), c.uid);
    EXPECT_EQ(id.impersonated, ERROR_SUCCESS);
    EXPECT_EQ(id.uid, c.uid);
    EXPECT_EQ(id.administrator, c.administrator);
  }
  ::unsetenv("VANTREL_ADMIN_GROUP");
}

}  // namespace
