// admin_pipe_test.cpp - the administration pipe server over real pipes: trace
// lines and source names for a C++ client, a hostile Python client's table of
// bad requests (as an administrator and, when the test runs as root, as
// nobody), a full set of instances, a reader waiting while the service stops,
// a reply that is never read while the service stops, two readers waiting
// for the same new line, and a client that leaves while its read waits.
#include "platform/base/testing/temp_dir.h"
#include "LibService/LibServiceAPI.h"
#include "LibService/ServiceDialog.h"
#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"

#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include "trace/tests/TraceTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kTempDir = [] {
  const std::string base = platform::testing::MakeTempDir("vn_admin_pipe_test.");
  ::chmod(base.c_str(), 0755);  // a client running as nobody must reach the socket
  ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  ::setenv("VANTREL_LOG_DIR", base.c_str(), 1);
  ::setenv("VANTREL_PIPE_DIR", base.c_str(), 1);
  ::unsetenv("VANTREL_ADMIN_GROUP");
  return base;
}();

constexpr DWORD TRC_TEST_TICK = 0x00010101;  // "Tick %u1"

using trace_test::NamedSource;

// The client lies beside this source; the build passes its folder, since
// __FILE__ may be relative to the build folder.
std::string ClientScript() { return std::string(LIBSERVICE_TESTS_DIR) + "/admin_client.py"; }

// Runs the Python client; its output goes to the test log.
int RunClient(const std::string& arguments, std::string& output) {
  const std::string command = "python3 " + ClientScript() + " " + arguments + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char line[512];
  while (std::fgets(line, sizeof line, p) != nullptr) output += line;
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class AdminPipeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(CTraceLogger::SetMessageModule(L"Evtlibservice_admin_pipe_test"), 0u); }

  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    m_serviceName = L"Api" + platform::WideFromUtf8(test->name());
    m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(m_api.StartAPIServer(m_stop.get(), m_serviceName).IsOK());
  }
  void TearDown() override {
    SetEvent(m_stop.get());
    EXPECT_TRUE(m_api.WaitForThreads(10000)) << "a thread did not end on the stop event";
    EXPECT_TRUE(m_api.GetServerStatus().IsOK()) << platform::Utf8FromWide(m_api.GetServerStatus().GetText());
  }

  std::string SocketPath() const { return platform::PipeSocketPath(ServiceAPIPipeName(m_serviceName).c_str()); }

  // A message-mode client; retried while the server makes its first instance.
  HANDLE Connect() {
    const std::wstring name = ServiceAPIPipeName(m_serviceName);
    for (int i = 0; i < 500; ++i) {
      HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        EXPECT_TRUE(SetNamedPipeHandleState(h, &mode, nullptr, nullptr));
        return h;
      }
      if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(name.c_str(), 1000);
      else Sleep(10);
    }
    ADD_FAILURE() << "cannot open the pipe";
    return INVALID_HANDLE_VALUE;
  }

  platform::UniqueHandle m_stop;  // outlives every thread of m_api
  CThreadSet m_threads{{}};
  CServiceAPI m_api{m_threads, g_ServiceLogger};
  std::wstring m_serviceName;
  NamedSource m_source{"PipeWorker"};
};

// A read of a line that will never come, waiting without limit; not answered.
void SendEndlessRead(HANDLE client) {
  std::vector<BYTE> request;
  ASSERT_TRUE(EncodeServiceAPIRequest(1, 0, SERVICE_API_READ_TRACE_LINES,
                                      EncodeReadTraceLinesInput(~0ull, INFINITE).data(), SERVICE_API_READ_LINES_INPUT,
                                      4096, request));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client, request.data(), static_cast<DWORD>(request.size()), &written, nullptr));
}

std::vector<ServiceAPITraceLineRecord> Records(const std::vector<BYTE>& data, ULONGLONG& next) {
  std::vector<ServiceAPITraceLineRecord> records;
  EXPECT_TRUE(DecodeTraceLineRecords(data.data(), data.size(), next, records));
  return records;
}

TEST_F(AdminPipeTest, AClientReadsTraceLinesAndNamesTheirSource) {
  const ULONGLONG first = g_ServiceLogger.GetNextLineNumber();
  ServiceTrace(&m_source, TRC_TEST_TICK, 41u);
  ServiceTrace(&m_source, TRC_TEST_TICK, 42u);
  platform::UniqueHandle client(Connect());
  DWORD status = 1;
  std::vector<BYTE> data;
  ASSERT_EQ(CallServiceAPI(client.get(), 7, SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(first, 0), 4096,
                           status, data),
            0u);
  EXPECT_EQ(status, 0u);
  ULONGLONG next = 0;
  const auto records = Records(data, next);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].lineNumber, first);
  EXPECT_EQ(records[1].lineNumber, first + 1);
  EXPECT_EQ(next, first + 2);
  EXPECT_EQ(std::vector<BYTE>(records[1].argBytes, records[1].argBytes + records[1].argLength),
            (std::vector<BYTE>{12, 42}));

  std::vector<BYTE> cookie(8);
  platform::StoreLe64(cookie.data(), records[0].sourceCookie);
  ASSERT_EQ(CallServiceAPI(client.get(), 8, SERVICE_API_GET_SOURCE_NAME, cookie, 64, status, data), 0u);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(DecodeSourceName(data.data(), data.size()), "PipeWorker");
  // A refusal answers the request and keeps the connection.
  ASSERT_EQ(CallServiceAPI(client.get(), 9, 0x12345, {}, 8, status, data), 0u);
  EXPECT_EQ(status, SERVICE_API_STATUS_INVALID_PARAMETER);
  ASSERT_EQ(CallServiceAPI(client.get(), 10, SERVICE_API_GET_SOURCE_NAME, cookie, 24, status, data), 0u);
  EXPECT_EQ(status, 0u);
}

TEST_F(AdminPipeTest, HostileRequestsGetTheirAnswerOrNoneAndTheServerGoesOn) {
  ServiceTrace(&m_source, TRC_TEST_TICK, 1u);
  platform::UniqueHandle keep(Connect());  // the server has its instance up
  std::string output;
  EXPECT_EQ(RunClient("badinput " + SocketPath(), output), 0) << output;
  if (::geteuid() == 0) {
    output.clear();
    EXPECT_EQ(RunClient("--as-nobody badinput " + SocketPath(), output), 0) << output;
  }
  // And a C++ client is still served.
  DWORD status = 1;
  std::vector<BYTE> data;
  EXPECT_EQ(CallServiceAPI(keep.get(), 1, SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(0, 0), 64, status,
                           data),
            0u);
  EXPECT_EQ(status, 0u);
}

TEST_F(AdminPipeTest, AFullSetOfInstancesDoesNotEndTheServer) {
  platform::UniqueHandle probe(Connect());
  probe.reset();
  std::string output;
  EXPECT_EQ(RunClient("full " + SocketPath() + " " + std::to_string(PIPE_UNLIMITED_INSTANCES), output), 0) << output;
}

TEST_F(AdminPipeTest, AReaderWaitingWithoutLimitDoesNotHoldUpTheStop) {
  platform::UniqueHandle client(Connect());
  SendEndlessRead(client.get());
  Sleep(200);  // let the connection reach its wait
  SetEvent(m_stop.get());
  EXPECT_TRUE(m_api.WaitForThreads(5000)) << "the waiting read held up the stop";
}

TEST_F(AdminPipeTest, AReplyTheClientNeverReadsDoesNotHoldUpTheStop) {
  // A 1 MiB reply does not fit the socket's buffers: its write has begun and
  // cannot be cancelled, so the stop must end it another way, and only then
  // free what the write uses.
  platform::UniqueHandle client(Connect());
  std::vector<BYTE> request;
  ASSERT_TRUE(EncodeServiceAPIRequest(1, 0, 0x12345, nullptr, 0, SERVICE_API_MAX_OUTPUT, request));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr));
  Sleep(300);  // let the connection start its write
  SetEvent(m_stop.get());
  EXPECT_TRUE(m_api.WaitForThreads(5000)) << "the unread reply held up the stop";
}

TEST_F(AdminPipeTest, TwoWaitingReadersBothGetTheNewLine) {
  const ULONGLONG next = g_ServiceLogger.GetNextLineNumber();
  platform::UniqueHandle a(Connect()), b(Connect());
  std::vector<std::vector<ServiceAPITraceLineRecord>> seen(2);
  std::vector<std::vector<BYTE>> replies(2);
  std::atomic<int> sent{0};
  auto reader = [&](int i, HANDLE pipe) {
    DWORD status = 1;
    ++sent;
    EXPECT_EQ(CallServiceAPI(pipe, 20 + i, SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(next, 60000), 4096,
                             status, replies[i]),
              0u);
    EXPECT_EQ(status, 0u);
  };
  std::thread first(reader, 0, a.get()), second(reader, 1, b.get());
  while (sent < 2) Sleep(1);
  Sleep(300);  // let both reach their wait; they get the line either way
  const ULONGLONG start = GetTickCount64();
  ServiceTrace(&m_source, TRC_TEST_TICK, 7u);
  first.join();
  second.join();
  EXPECT_LT(GetTickCount64() - start, 5000u) << "one reader waited for its full time";
  for (const auto& reply : replies) {
    ULONGLONG replyNext = 0;
    const auto records = Records(reply, replyNext);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].lineNumber, next);
  }
}

TEST_F(AdminPipeTest, AClientThatLeavesDuringAWaitFreesItsConnection) {
  platform::UniqueHandle client(Connect());
  SendEndlessRead(client.get());
  for (int i = 0; i < 200 && m_api.GetRunningThreads() < 2; ++i) Sleep(10);
  ASSERT_EQ(m_api.GetRunningThreads(), 2) << "server and one connection";
  client.reset();
  for (int i = 0; i < 500 && m_api.GetRunningThreads() > 1; ++i) Sleep(10);
  EXPECT_EQ(m_api.GetRunningThreads(), 1) << "the connection outlived its client";
}

// The activity display follows a service that restarts: the new process's
// line numbers start again from the beginning, and so must the reader.
TEST(TraceViewerRestartTest, AfterARestartTheNewProcessesLinesAreShown) {
  const std::wstring service = L"ApiViewerRestart";
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  ASSERT_NE(out, nullptr);
  CTraceViewer viewer(out);
  ASSERT_EQ(viewer.MessageLib(L"Evtlibservice_admin_pipe_test"), 0u);
  ASSERT_EQ(viewer.Connect(L":" + service), 0u);
  auto lookup = [](ULONGLONG, std::string& name) {
    name = "Src";
    return CStatus();
  };
  auto runOnce = [&](DWORD firstTick, int lines, const std::wstring& wanted) {
    CTraceLogger logger;
    NamedSource source{"Src"};
    for (int i = 0; i < lines; ++i) logger.Trace(&source, TRC_TEST_TICK, firstTick + i);
    platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CThreadSet threads{{}};
    CServiceAPI api(threads, logger, lookup);
    ASSERT_TRUE(api.StartAPIServer(stop.get(), service).IsOK());
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
      if (!viewer.ReadOnce(50)) Sleep(20);
      std::fflush(out);
      seen = std::string(text, size).find(platform::Utf8FromWide(wanted)) != std::string::npos;
    }
    SetEvent(stop.get());
    EXPECT_TRUE(api.WaitForThreads(10000));
    EXPECT_TRUE(seen) << "not shown: " << platform::Utf8FromWide(wanted);
  };
  runOnce(100, 40, L"Tick 139");  // the first process: lines 0 to 39
  runOnce(900, 2, L"Tick 901");   // the second: lines 0 and 1 again
  std::fclose(out);
  std::free(text);
}

}  // namespace
