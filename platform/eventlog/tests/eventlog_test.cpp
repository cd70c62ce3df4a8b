// eventlog_test.cpp - sources, records, formatting and the reader.
#include "platform/base/text.h"
#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_registry.h"
#include "platform/eventlog/eventlog.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class EventLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-eventlog-");
  }

  // Registers source under log with the test's message module.
  static void Register(const std::wstring& log, const std::wstring& source) {
    platform::RegKey key;
    std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + L"\\" + source;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, path.c_str(), key.put()), ERROR_SUCCESS);
    ASSERT_EQ(platform::RegWriteString(key.get(), L"EventMessageFile",
                                       platform::ExecutableDirectory() + L"EvtEventlogTest.msg", REG_EXPAND_SZ),
              ERROR_SUCCESS);
  }

  static std::string dir_;
};
std::string EventLogTest::dir_;

TEST_F(EventLogTest, RecordCarriesEverythingAndIsFormatted) {
  Register(L"Vantrel Test Service", L"Vantrel Test Service");
  HANDLE source = RegisterEventSourceW(nullptr, L"Vantrel Test Service");
  ASSERT_NE(source, nullptr);
  SID sid = platform::SidFromUid(1000);
  LPCWSTR strings[] = {L"5", L"Access is denied"};
  char raw[] = "Status.cpp 83";
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xC0000064, &sid, 2, sizeof raw - 1, strings, raw));
  LPCWSTR started[] = {L"Vantrel Test Service"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, &sid, 1, 0, started, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));

  auto records = platform::ReadEventLog(L"Vantrel Test Service");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].eventId, 0xC0000064u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].sid, L"S-1-22-1-1000");
  EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"5", L"Access is denied"}));
  EXPECT_EQ(std::string(records[0].data.begin(), records[0].data.end()), "Status.cpp 83");
  EXPECT_EQ(records[0].text, L"Error 5: Access is denied\r\n");
  EXPECT_EQ(records[1].text, L"The Vantrel Test Service service started.\r\n");

  // jq reads the same file: each record is one JSON object on one line.
  std::string cmd = "jq -r '.id' '" + dir_ + "/eventlog/Vantrel Test Service.jsonl'";
  const auto [code, out] = platform::testing::RunCommand(cmd);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, std::to_string(0xC0000064u) + "\n1\n");
}

TEST_F(EventLogTest, UnregisteredSourceLogsToApplicationWithoutText) {
  HANDLE source = RegisterEventSourceW(nullptr, L"Nobody");
  ASSERT_NE(source, nullptr);
  LPCWSTR strings[] = {L"x"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 1, 0, strings, nullptr));
  DeregisterEventSource(source);
  auto records = platform::ReadEventLog(L"Application");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().source, L"Nobody");
  EXPECT_EQ(records.back().text, L"");
  EXPECT_EQ(records.back().sid, L"");
}

TEST_F(EventLogTest, AMissingInsertStaysAsWritten) {
  Register(L"Inserts", L"Inserts");
  HANDLE source = RegisterEventSourceW(nullptr, L"Inserts");
  LPCWSTR strings[] = {L"only one"};
  ASSERT_TRUE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0xC0000064, nullptr, 1, 0, strings, nullptr));
  DeregisterEventSource(source);
  auto records = platform::ReadEventLog(L"Inserts");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].strings.size(), 1u);
  EXPECT_EQ(records[0].text, L"Error only one: %2\r\n");
}

TEST_F(EventLogTest, BadArgumentsAreRefused) {
  EXPECT_EQ(RegisterEventSourceW(L"\\\\remote", L"x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegisterEventSourceW(nullptr, L""), nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReportEventW(event, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeregisterEventSource(event));
  CloseHandle(event);
  HANDLE source = RegisterEventSourceW(nullptr, L"x");
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DeregisterEventSource(source);
}

}  // namespace
