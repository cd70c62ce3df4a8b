// pipe_client_test.cpp - the stand-in program through the platform's own pipe
// client calls, as the provider reaches it: CreateFileW, ERROR_PIPE_BUSY and
// WaitNamedPipeW, message read mode, and replies read in 1024-byte steps.
#include "platform/base/spawn.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/volume/testing/drive_map.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kPipe[] = L"\\\\.\\pipe\\Vantrel.Transcode.FFMPEG";

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = platform::testing::MakeTempDir("vntranscoder-pipe-");
    ::setenv("VANTREL_PIPE_DIR", (root + "/pipes").c_str(), 1);
    ::setenv("VANTREL_REGISTRY", (root + "/registry.db").c_str(), 1);
    ASSERT_EQ(platform::CreateDirectoryTree(platform::WideFromUtf8(root + "/volume")), ERROR_SUCCESS);
    ASSERT_EQ(platform::testing::MapDrive(L"D:", root + "/volume"), ERROR_SUCCESS);
    ASSERT_EQ(platform::StartChildProcess({VNARCHIVE_TRANSCODER, "--instances", "1"}, {}, m_server), ERROR_SUCCESS);
    // Served once a wait finds the name (a generous bound for a loaded machine).
    for (int i = 0; i < 600 && !WaitNamedPipeW(kPipe, 100); ++i) Sleep(100);
    ASSERT_TRUE(WaitNamedPipeW(kPipe, 60000)) << GetLastError();
  }
  void TearDown() override {
    if (m_server.pid < 0) return;
    ::kill(m_server.pid, SIGTERM);
    platform::ChildExit exit;
    platform::WaitChildProcess(m_server, exit);
    ::close(m_server.errorFd);
    EXPECT_FALSE(exit.signalled);
    EXPECT_EQ(exit.exitCode, 0);
  }

  static HANDLE Open() {
    return CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  platform::ChildProcess m_server;
};

// One reply, read as the provider reads it: 1024 bytes first, 1024 more on
// each ERROR_MORE_DATA.
DWORD ReadReply(HANDLE pipe, std::string& reply) {
  std::vector<char> buffer(1024);
  DWORD have = 0;
  for (;;) {
    DWORD n = 0;
    const BOOL ok = ReadFile(pipe, buffer.data() + have, static_cast<DWORD>(buffer.size()) - have, &n, nullptr);
    have += n;
    if (ok) break;
    if (GetLastError() != ERROR_MORE_DATA) return GetLastError();
    buffer.resize(buffer.size() + 1024);
  }
  reply.assign(buffer.data(), have);
  return ERROR_SUCCESS;
}

TEST_F(StandIn, TheBusyInstanceAnswers231AndAWaitLetsTheNextClientIn) {
  platform::UniqueHandle first(Open());
  ASSERT_TRUE(first) << GetLastError();
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  first.reset();  // hanging up before any request frees the instance
  ASSERT_TRUE(WaitNamedPipeW(kPipe, 60000)) << GetLastError();
  platform::UniqueHandle next;
  // The freed instance may be taken between the wait and the open only by
  // another client; there is none here, but the provider's loop is kept.
  for (int i = 0; i < 10 && !next; ++i) {
    next.reset(Open());
    if (!next && GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(kPipe, 60000);
  }
  EXPECT_TRUE(next) << GetLastError();
}

TEST_F(StandIn, RepliesComeAsMessagesOfAnySize) {
  platform::UniqueHandle pipe(Open());
  ASSERT_TRUE(pipe) << GetLastError();
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr));
  // A missing source 1200 characters long: ffmpeg's error line about it is
  // longer than the first read.
  std::string name;
  for (int i = 0; i < 6; ++i) name += std::string(200, 'n') + "\\\\";
  const std::string request =
      "{\"loglevel\":32,\"transcode\":[\"D:\\\\" + name + "x.mp4\",\"D:\\\\out.webm\"]}";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe.get(), request.c_str(), static_cast<DWORD>(request.size() + 1), &written, nullptr));
  EXPECT_EQ(written, request.size() + 1);
  std::vector<std::string> replies;
  for (;;) {
    std::string reply;
    ASSERT_EQ(ReadReply(pipe.get(), reply), ERROR_SUCCESS);
    replies.push_back(reply);
    if (reply.rfind("{\"result\":", 0) == 0) break;
    ASSERT_EQ(reply.rfind("{\"log\":", 0), 0u) << reply;
  }
  EXPECT_TRUE(replies.back().ends_with(",\"error\":2}}")) << replies.back().substr(0, 200);
  bool longLine = false;
  for (const std::string& reply : replies)
    longLine = longLine || (reply.size() > 1200 && reply.find(name) != std::string::npos);
  EXPECT_TRUE(longLine);
  // The stand-in drops the client after the result.
  std::string after;
  EXPECT_EQ(ReadReply(pipe.get(), after), ERROR_BROKEN_PIPE);
}

}  // namespace
