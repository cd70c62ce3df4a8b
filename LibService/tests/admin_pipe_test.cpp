// admin_pipe_test.cpp - the administration pipe server over real pipes: trace
// lines and source names for a C++ client, a hostile Python client's table of
// bad requests (as an administrator and, when the test runs as root, as
// nobody), a full set of instances, a reader waiting while the service stops,
// a reply that is never read while the service stops, two readers waiting
// for the same new line, and a client that leaves while its read waits.
#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_dir.h"
#include "LibService/LibServiceAPI.h"
#include "LibService/ServiceDialog.h"
#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"

#include "platform/base/text.h"
#include "platform/eventlog/eventlog.h"
#include "platform/fs/fs.h"

#include "trace/tests/TraceTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  auto [code, text] = platform::testing::RunCommand(command);
  output += text;
  return code;
}

// The event source the server's reports go to.
const std::wstring kEventLogName = L"Vantrel Admin Pipe Test";

class AdminPipeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(CTraceLogger::SetMessageModule(L"Evtlibservice_admin_pipe_test"), 0u);
    ASSERT_TRUE(RegisterEventLog(kEventLogName).IsOK());
  }

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
  // Served once now: a connection idle past the first-request time-out is
  // closed, and the clients below may take longer than that on a busy machine.
  DWORD status = 1;
  std::vector<BYTE> data;
  ASSERT_EQ(CallServiceAPI(keep.get(), 0, SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(0, 0), 64, status,
                           data),
            0u);
  std::string output;
  EXPECT_EQ(RunClient("badinput " + SocketPath(), output), 0) << output;
  if (::geteuid() == 0) {
    output.clear();
    EXPECT_EQ(RunClient("--as-nobody badinput " + SocketPath(), output), 0) << output;
  }
  // And a C++ client is still served.
  status = 1;
  EXPECT_EQ(CallServiceAPI(keep.get(), 1, SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(0, 0), 64, status,
                           data),
            0u);
  EXPECT_EQ(status, 0u);
}

TEST_F(AdminPipeTest, AClientThatIsNotAnAdministratorHoldsAFewConnectionsAtMost) {
  platform::UniqueHandle probe(Connect());
  probe.reset();
  const std::string limit = std::to_string(SERVICE_API_MAX_USER_CONNECTIONS);
  std::string output;
  // CI runs as root: the limited client is a child that drops to nobody.
  ASSERT_EQ(::geteuid(), 0u) << "needs root to run a client as nobody";
  EXPECT_EQ(RunClient("--as-nobody userlimit " + SocketPath() + " " + limit, output), 0) << output;
  output.clear();
  EXPECT_EQ(RunClient("userlimit " + SocketPath() + " " + limit, output), 0) << output;
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

namespace {

// Starts the Python client in mode with args as a process of its own and
// waits for its "held" line; the process's id.
pid_t StartHolder(const std::string& arguments, const rlimit* descriptors = nullptr) {
  int out[2];
  if (::pipe(out) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (descriptors != nullptr) ::setrlimit(RLIMIT_NOFILE, descriptors);  // the clients are not short of them
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl("/bin/sh", "sh", "-c", ("exec python3 " + ClientScript() + " " + arguments).c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string held;
  char c = 0;
  while (held.size() < 5 && ::read(out[0], &c, 1) == 1) held.push_back(c);
  ::close(out[0]);
  EXPECT_EQ(held, "held\n");
  return pid;
}

void StopHolder(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

}  // namespace

// Not in sanitizer builds: their runtimes need descriptors of their own
// (UBSan probes memory through a pipe).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Clients from outside that connect and never send their open byte, more of
// them than this process has descriptors: the pipe thread does not spin, a
// well-formed request is still answered, and one event says what happened.
TEST_F(AdminPipeTest, SilentClientsAtTheFdLimit) {
  platform::UniqueHandle(Connect()).reset();  // the server's instance is up
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Started before the limit drops: this process will have no descriptor
  // left to start a client with. Its output is read through a pipe made now.
  int pingOut[2];
  ASSERT_EQ(::pipe(pingOut), 0);
  const pid_t pinger = ::fork();
  if (pinger == 0) {
    ::dup2(pingOut[1], 1);
    ::close(pingOut[0]);
    ::execl("/bin/sh", "sh", "-c", ("exec python3 " + ClientScript() + " pingafter " + SocketPath() + " 5").c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pingOut[1]);
  rlimit low = saved;
  low.rlim_cur = OpenDescriptors() + 32;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const pid_t holder = StartHolder("silent " + SocketPath() + " 200 60", &saved);
  Sleep(1000);
  const double before = CpuSeconds();
  Sleep(3000);
  EXPECT_LT(CpuSeconds() - before, 1.5) << "a thread spins while descriptors are exhausted";
  std::string output;
  char c = 0;
  while (::read(pingOut[0], &c, 1) == 1) output.push_back(c);
  ::close(pingOut[0]);
  int status = 0;
  ::waitpid(pinger, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("ok a well-formed request is answered"), std::string::npos) << output;
  StopHolder(holder);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  // The server's quiet check reports the shortage once it is over; once the
  // server has stopped no other report can come, so the count is final.
  const std::wstring pipeName = ServiceAPIPipeName(m_serviceName);
  auto shortageEvents = [&] {
    int n = 0;
    for (const platform::EventRecord& record : platform::ReadEventLog(kEventLogName)) {
      const bool named = std::find(record.strings.begin(), record.strings.end(), pipeName) != record.strings.end();
      if (record.source == kEventLogName && named && record.type == EVENTLOG_ERROR_TYPE) ++n;
    }
    return n;
  };
  for (int i = 0; i < 600 && shortageEvents() == 0; ++i) Sleep(50);
  // Room for a few more of the server's quiet checks (one a second), any of
  // which would report again if the first report were not remembered.
  Sleep(3500);
  SetEvent(m_stop.get());
  ASSERT_TRUE(m_api.WaitForThreads(10000));
  EXPECT_EQ(shortageEvents(), 1) << "events for the descriptor shortage";
}
#endif

// Not in sanitizer builds: resident memory counts the sanitizer's shadow.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Clients whose first message is longer than any request served: the server
// refuses each and gives the memory back, so what they pin stays bounded.
TEST_F(AdminPipeTest, HugeFirstMessages) {
  platform::UniqueHandle(Connect()).reset();
  const long before = ResidentKiB();
  const pid_t holder = StartHolder("bigfirst " + SocketPath() + " 100 60");
  Sleep(3000);  // every message read to its end and dropped
  const long grown = ResidentKiB() - before;
  StopHolder(holder);
  EXPECT_LT(grown, 64L * 1024) << "KiB resident held for 100 refused clients";
  std::string output;
  EXPECT_EQ(RunClient("ping " + SocketPath(), output), 0) << output;
}
#endif
