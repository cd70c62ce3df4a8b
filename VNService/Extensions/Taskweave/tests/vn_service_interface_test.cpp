// vn_service_interface_test.cpp - the main-service client in pipe mode against
// the stand-in, both inside this process and as its own program: requests
// and replies, subscriptions, and a table of hostile main-service behaviour.
#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "VNService/Extensions/Taskweave/tests/MainServiceDriver.h"
#include "VNService/Extensions/Taskweave/tests/Recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vnservice_test {
namespace {

constexpr DWORD kEcho = archive::MAIN_SERVICE_ECHO;
constexpr DWORD kOtherType = 8;  // a type the client does not coalesce
constexpr ULONGLONG kCode = 5;

std::wstring PipeNameForTest(const std::string& suffix) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  // Socket paths are short: a number stands for the test's name.
  const std::string full = std::string(info->test_suite_name()) + "." + info->name();
  return platform::WideFromUtf8("VT." + std::to_string(std::hash<std::string>{}(full) % 1000000007u) + suffix);
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class VNServiceTest : public ::testing::TestWithParam<Where> {
 protected:
  void SetUp() override {
    m_driver = std::make_unique<MainServiceDriver>(GetParam(), PipeNameForTest(""));
    m_driver->Start();
    m_options.pipeName = m_driver->PipeName();
    m_options.requestTimeoutMs = 1500;
    m_options.pipeBusyWaitMs = 200;
    m_options.reconnectFirstMs = 50;
    m_options.reconnectMaxMs = 400;
  }

  std::unique_ptr<CVNServiceInterface> Client() { return std::make_unique<CVNServiceInterface>(m_options); }

  // An echo request; the data that came back, or the Win32 code in error.
  static bool Echo(CVNServiceInterface& client, const std::string& input, std::string& output, DWORD& error) {
    output.assign(64, '\0');
    DWORD returned = 0;
    const bool ok = client.IoControl(0, kEcho, input.data(), static_cast<DWORD>(input.size()), output.data(),
                                     static_cast<DWORD>(output.size()), &returned);
    error = ok ? ERROR_SUCCESS : GetLastError();
    output.resize(returned);
    return ok;
  }

  std::unique_ptr<MainServiceDriver> m_driver;
  CVNServiceOptions m_options;
};

// --- requests ---

TEST_P(VNServiceTest, EchoesThroughThePipe) {
  auto client = Client();
  std::string output;
  DWORD error = 0;
  ASSERT_TRUE(Echo(*client, "hello", output, error)) << error;
  EXPECT_EQ(output, "hello");
  EXPECT_TRUE(client->IsConnected());
  EXPECT_FALSE(client->QueryReserved());
}

struct RequestRow {
  const char* name;
  const char* fault;
  bool ok;
  DWORD error;
  std::size_t lateReplies;
  std::size_t malformed;
};

TEST_P(VNServiceTest, HostileRepliesTable) {
  const RequestRow rows[] = {
      {"plain reply", "fault none", true, ERROR_SUCCESS, 0, 0},
      {"data length over the capacity", "fault overcapacity", false, ERROR_INVALID_DATA, 0, 0},
      {"a message under 16 bytes", "fault short", false, ERROR_TIMEOUT, 0, 1},
      {"an unknown request id first", "fault unknownid", true, ERROR_SUCCESS, 1, 0},
      {"the reply twice", "fault duplicate", true, ERROR_SUCCESS, 1, 0},
      {"status cancelled", "fault status 0xC0000120", false, ERROR_OPERATION_ABORTED, 0, 0},
      {"an unknown NT status", "fault status 0xC0DEF00D", false, ERROR_MR_MID_NOT_FOUND, 0, 0},
      {"a Win32 status", "fault status 5", false, ERROR_ACCESS_DENIED, 0, 0},
  };
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto client = Client();
    ASSERT_EQ(m_driver->Command(row.fault), "ok");
    std::string output;
    DWORD error = 0;
    EXPECT_EQ(Echo(*client, "abc", output, error), row.ok);
    EXPECT_EQ(error, row.error);
    if (row.ok) {
      EXPECT_EQ(output, "abc");
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
          const CVNServiceCounters c = client->GetCounters();
          return c.lateReplies == row.lateReplies && c.malformedMessages == row.malformed;
        },
        3000))
        << "late " << client->GetCounters().lateReplies << ", malformed " << client->GetCounters().malformedMessages;
  }
}

TEST_P(VNServiceTest, LateReplyIsDroppedAndTheNextRequestGetsItsOwn) {
  m_options.requestTimeoutMs = 300;
  auto client = Client();
  ASSERT_EQ(m_driver->Command("fault late 900"), "ok");
  std::string output;
  DWORD error = 0;
  EXPECT_FALSE(Echo(*client, "first", output, error));
  EXPECT_EQ(error, ERROR_TIMEOUT);
  ASSERT_EQ(m_driver->Command("fault none"), "ok");
  // Same thread, so the same thread id: only the request id tells the late
  // reply from this one's.
  ASSERT_TRUE(Echo(*client, "second", output, error)) << error;
  EXPECT_EQ(output, "second");
  EXPECT_TRUE(WaitUntil([&] { return client->GetCounters().lateReplies == 1; }));
  ASSERT_TRUE(Echo(*client, "third", output, error)) << error;
  EXPECT_EQ(output, "third");
}

TEST_P(VNServiceTest, SilentServerFailsSubscribeWithinItsBound) {
  auto client = Client();
  ASSERT_EQ(m_driver->Command("fault silent"), "ok");
  Recorder recorder;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->Subscribe(kCode, &recorder, &Recorder::Callback));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_LT(MillisecondsSince(start), m_options.requestTimeoutMs + 3000);
}

TEST_P(VNServiceTest, EveryInstanceBusyIsABoundedFailure) {
  ASSERT_EQ(m_driver->Command("busy on"), "ok");
  auto client = Client();
  std::string output;
  DWORD error = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Echo(*client, "x", output, error));
  EXPECT_EQ(error, ERROR_NOT_READY);
  EXPECT_LT(MillisecondsSince(start), m_options.pipeBusyAttempts * m_options.pipeBusyWaitMs + 3000);
  ASSERT_EQ(m_driver->Command("busy off"), "ok");
  // The service makes its next instance a moment later; the client connects
  // again on its next request.
  EXPECT_TRUE(WaitUntil([&] { return Echo(*client, "y", output, error); })) << error;
}

// --- notifications ---

struct NotificationRow {
  const char* name;
  const char* command;
  std::size_t delivered;  // records of kOtherType that reach the subscriber
  DWORD size;             // their size
};

TEST_P(VNServiceTest, HostileNotificationsTable) {
  const NotificationRow rows[] = {
      {"a well-formed record", "record 16 8 5 16", 1, 16},
      {"data of 15 bytes", "record 15 8 5 15", 0, 0},
      {"record size 0", "record 0 8 5 16", 0, 0},
      {"record size 11", "record 11 8 5 16", 0, 0},
      {"record size beyond the data", "record 17 8 5 16", 0, 0},
      {"a 64 KiB record", "notify 8 5 65536", 1, 65536 + VN_NOTIFY_RECORD_HEADER},
      {"a message of 15 bytes", "short 15", 0, 0},
  };
  for (const NotificationRow& row : rows) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    auto client = Client();
    ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback)) << GetLastError();
    ASSERT_EQ(m_driver->Command(row.command), "ok");
    // A type 7 behind it must still arrive, and after it nothing more can.
    ASSERT_EQ(m_driver->Command("notify 7 5 4"), "ok");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(VN_NOTIFY_CHANGED) == 1; }));
    EXPECT_EQ(recorder.Count(kOtherType), row.delivered);
    for (const Heard& h : recorder.All()) {
      if (h.type == kOtherType) {
        EXPECT_EQ(h.size, row.size);
      }
    }
    EXPECT_TRUE(client->Unsubscribe(kCode, &recorder, &Recorder::Callback));
  }
}

TEST_P(VNServiceTest, KillAndRestart) {
  Recorder first, second;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &first, &Recorder::Callback));
  ASSERT_TRUE(client->Subscribe(kCode, &second, &Recorder::Callback));
  m_driver->Kill();
  ASSERT_TRUE(
      WaitUntil([&] { return first.Count(VN_NOTIFY_PIPE_BROKEN) == 1 && second.Count(VN_NOTIFY_PIPE_BROKEN) == 1; }));
  m_driver->Start();
  // The client comes back on its own and tells the new service its list.
  ASSERT_TRUE(WaitUntil([&] { return m_driver->StateValue("lists") >= 1; }));
  EXPECT_EQ(m_driver->LastList(), "0x5");
  ASSERT_EQ(m_driver->Command("notify 7 5 4"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return first.Count(VN_NOTIFY_CHANGED) == 1 && second.Count(VN_NOTIFY_CHANGED) == 1; }));
  EXPECT_EQ(first.Count(VN_NOTIFY_PIPE_BROKEN), 1u);
  EXPECT_EQ(second.Count(VN_NOTIFY_PIPE_BROKEN), 1u);
}

// A message longer than any reply is read away whole: its tail, though it
// reads as a notification, is never taken for one, and the connection goes on.
TEST_P(VNServiceTest, AnOversizeMessageIsSkippedWhole) {
  const std::size_t longest = SERVICE_API_MAX_MESSAGE + SERVICE_API_REPLY_OVERHEAD;
  const std::size_t tail = archive::MainService::NotificationMessage(16, kOtherType, kCode, 16).size();
  const struct {
    const char* name;
    std::size_t bytes;
  } rows[] = {{"the longest message and a tail", longest + tail}, {"three times that", 3 * longest + tail}};
  Recorder recorder;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback)) << GetLastError();
  std::size_t sent = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(m_driver->Command("oversize " + std::to_string(row.bytes) + " 8 5"), "ok");
    ASSERT_EQ(m_driver->Command("notify 7 5 4"), "ok");
    ++sent;
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count(VN_NOTIFY_CHANGED) == sent; }));
    EXPECT_EQ(recorder.Count(kOtherType), 0u);
    EXPECT_EQ(client->GetCounters().malformedMessages, sent);
  }
  EXPECT_TRUE(client->IsConnected());
}

// A service that sends part of a message and then nothing: once the request
// bound passes without progress the client takes it for a broken connection,
// connects again and tells the service its list.
TEST_P(VNServiceTest, AStallMidMessageIsABrokenConnection) {
  Recorder recorder;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback)) << GetLastError();
  ASSERT_EQ(m_driver->StateValue("lists"), 1u);
  ASSERT_EQ(m_driver->Command("stall 40000"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return m_driver->StateValue("lists") >= 2; }, 30000));
  EXPECT_EQ(m_driver->LastList(), "0x5");
  ASSERT_EQ(m_driver->Command("notify 7 5 4"), "ok");
  EXPECT_TRUE(WaitUntil([&] { return recorder.Count(VN_NOTIFY_CHANGED) >= 1; }));
  EXPECT_EQ(recorder.Count(kOtherType), 0u);
}

// A client that goes away while the service is stalled mid-message does not
// wait for the rest, whatever its request bound.
TEST_P(VNServiceTest, AClientStalledMidMessageShutsDown) {
  m_options.requestTimeoutMs = 120000;
  Recorder recorder;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback)) << GetLastError();
  ASSERT_EQ(m_driver->Command("stall 40000"), "ok");
  Sleep(500);  // the head is read meanwhile; the rest never comes
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(MillisecondsSince(start), 10000);
}

INSTANTIATE_TEST_SUITE_P(Both, VNServiceTest, ::testing::Values(Where::kInProcess, Where::kProgram),
                         [](const auto& info) { return WhereName(info.param); });

// --- behaviour that needs no second process ---

class VNServiceLocalTest : public VNServiceTest {};

TEST_P(VNServiceLocalTest, TheSameCodeTwiceSendsTheListOnce) {
  Recorder a, b;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &a, &Recorder::Callback));
  ASSERT_TRUE(client->Subscribe(kCode, &b, &Recorder::Callback));
  EXPECT_EQ(m_driver->StateValue("lists"), 1u);
  ASSERT_TRUE(client->Unsubscribe(kCode, &a, &Recorder::Callback));
  EXPECT_EQ(m_driver->StateValue("lists"), 1u);
  ASSERT_TRUE(client->Unsubscribe(kCode, &b, &Recorder::Callback));
  EXPECT_EQ(m_driver->StateValue("lists"), 2u);
  EXPECT_EQ(m_driver->LastList(), "");
  EXPECT_FALSE(client->Unsubscribe(kCode, &b, &Recorder::Callback));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

TEST_P(VNServiceLocalTest, EveryCodeSubscriptionHearsEveryCode) {
  Recorder all, five;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(VN_SUBSCRIBE_ALL, &all, &Recorder::Callback));
  ASSERT_TRUE(client->Subscribe(kCode, &five, &Recorder::Callback));
  ASSERT_EQ(m_driver->Command("notify 8 9 4"), "ok");
  ASSERT_EQ(m_driver->Command("notify 8 5 4"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return all.Count(kOtherType) == 2 && five.Count(kOtherType) == 1; }));
  const std::vector<Heard> heard = all.All();
  EXPECT_EQ(heard[0].recordCode, 9u);
  EXPECT_EQ(heard[1].recordCode, 5u);
  // A record of code 0 goes to everyone, named after each one's code.
  ASSERT_EQ(m_driver->Command("record 16 8 0 16"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return five.Count(kOtherType) == 2; }));
  EXPECT_EQ(five.All().back().recordCode, kCode);
}

TEST_P(VNServiceLocalTest, CancelEndsAPendingRequest) {
  auto client = Client();
  ASSERT_EQ(m_driver->Command("fault silent"), "ok");
  struct Call {
    CVNServiceInterface* client;
    DWORD error = 0;
  } call{client.get()};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* c = static_cast<Call*>(p);
        char out[8];
        c->error = c->client->IoControl(0, kEcho, "x", 1, out, sizeof out, nullptr) ? 0 : GetLastError();
        return 0;
      },
      &call, 0, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return m_driver->StateValue("requests") == 1; }));
  const auto start = std::chrono::steady_clock::now();
  client->Cancel(thread);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(call.error, ERROR_OPERATION_ABORTED);
  CloseHandle(thread);
}

TEST_P(VNServiceLocalTest, NoMainServiceIsNotReady) {
  m_options.pipeName = L"Vantrel.Test.NobodyServesThis";
  auto client = Client();
  std::string output;
  DWORD error = 0;
  EXPECT_FALSE(Echo(*client, "x", output, error));
  EXPECT_EQ(error, ERROR_NOT_READY);
  EXPECT_FALSE(client->IsConnected());
}

// A callback that holds the dispatcher until released, so records pile up.
struct Blocker {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> calls{0};
  ~Blocker() { CloseHandle(release); }
  static void Callback(ULONGLONG, void* context, DWORD, DWORD, const BYTE*) {
    auto* self = static_cast<Blocker*>(context);
    if (self->calls.fetch_add(1) == 0) WaitForSingleObject(self->release, 10000);
  }
};

TEST_P(VNServiceLocalTest, TheQueueIsBoundedAndChangesCoalesce) {
  m_options.queueLimit = 3;
  Blocker blocker;
  Recorder recorder;
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &blocker, &Blocker::Callback));
  ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback));
  ASSERT_EQ(m_driver->Command("notify 8 5 4"), "ok");  // taken by the dispatcher, which then waits
  ASSERT_TRUE(WaitUntil([&] { return blocker.calls == 1; }));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(m_driver->Command("notify 7 5 4"), "ok");
  for (int i = 0; i < 4; ++i) ASSERT_EQ(m_driver->Command("notify 8 5 4"), "ok");
  ASSERT_TRUE(WaitUntil([&] {
    const CVNServiceCounters c = client->GetCounters();
    return c.coalescedNotifications == 3 && c.droppedNotifications == 2;
  }));
  SetEvent(blocker.release);
  // The first record, one "changed" for the four, and two of the other four.
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(kOtherType) == 3 && recorder.Count(VN_NOTIFY_CHANGED) == 1; }));
  EXPECT_TRUE(client->Unsubscribe(kCode, &blocker, &Blocker::Callback));
}

// A notification queued for a subscription races its removal: once
// Unsubscribe has returned, the callback must never run for it.
struct RaceContext {
  std::atomic<bool> removed{false};
  std::atomic<int> lateCalls{0};
  static void Callback(ULONGLONG, void* context, DWORD, DWORD, const BYTE*) {
    auto* self = static_cast<RaceContext*>(context);
    if (self->removed.load()) self->lateCalls.fetch_add(1);
  }
};

TEST_P(VNServiceLocalTest, UnsubscribeRacingAQueuedNotification) {
  Recorder anchor;  // keeps the list unchanged, so each round stays local
  auto client = Client();
  ASSERT_TRUE(client->Subscribe(kCode, &anchor, &Recorder::Callback));
  constexpr int kRounds = 10000;
  int lateCalls = 0;
  for (int round = 0; round < kRounds; ++round) {
    RaceContext context;
    ASSERT_TRUE(client->Subscribe(kCode, &context, &RaceContext::Callback));
    if (round % 8 == 0) m_driver->Command("notify 8 5 4");
    ASSERT_TRUE(client->Unsubscribe(kCode, &context, &RaceContext::Callback));
    context.removed = true;
    lateCalls += context.lateCalls.load();
    // context goes out of scope here: a late callback would also touch freed memory.
  }
  EXPECT_EQ(lateCalls, 0);
  EXPECT_TRUE(WaitUntil([&] { return anchor.Count(kOtherType) == kRounds / 8; }, 30000));
}

INSTANTIATE_TEST_SUITE_P(Local, VNServiceLocalTest, ::testing::Values(Where::kInProcess),
                         [](const auto& info) { return WhereName(info.param); });

}  // namespace
}  // namespace vnservice_test
