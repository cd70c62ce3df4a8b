// status_test.cpp - error kinds, CStatus sharing, and events written for them.
#include "LibService/Status.h"
#include "platform/base/testing/temp_registry.h"

#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class StatusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-status-");
  }
  static std::string dir_;
};
std::string StatusTest::dir_;

TEST_F(StatusTest, CodesAndHRESULTs) {
  struct Case {
    CError* error;
    int code;
    HRESULT hr;
    DWORD id;
    const char* category;
  } cases[] = {
      {new CErrorNumber(VN_HERE, MSG_SYSTEM_ERROR, 5), 5, static_cast<HRESULT>(0x80070005u), MSG_SYSTEM_ERROR, "System"},
      {new CErrorNumber(VN_HERE, MSG_SYSTEM_ERROR, 0), 0, 0, MSG_SYSTEM_ERROR, "System"},
      {new CErrorHRESULT(VN_HERE, E_ACCESSDENIED), 5, E_ACCESSDENIED, MSG_SYSTEM_ERROR, "HRESULT"},
      {new CErrorHRESULT(VN_HERE, E_FAIL), 0x4005, E_FAIL, MSG_SYSTEM_ERROR, "HRESULT"},
      {new CErrorMessage(VN_HERE, 0xC0000070, {}), 0, 0, 0xC0000070, "Message"},
  };
  for (auto& c : cases) {
    CStatus status(c.error);
    EXPECT_FALSE(status.IsOK());
    EXPECT_EQ(c.error->GetCode(), c.code);
    EXPECT_EQ(c.error->GetHRESULT(), c.hr);
    EXPECT_EQ(c.error->GetMessageId(), c.id);
    EXPECT_EQ(c.error->GetCategory(), c.category);
  }
}

TEST_F(StatusTest, InsertsAndTexts) {
  CErrorNumber number(VN_HERE, MSG_SYSTEM_ERROR, 2);
  EXPECT_EQ(number.GetInsertCount(), 2);
  EXPECT_EQ(number.GetInsert(0), L"2");
  EXPECT_EQ(number.GetInsert(1), L"The system cannot find the file specified.\r\n");
  EXPECT_EQ(number.GetInsert(7), L"");
  CErrorNumber unknown(VN_HERE, MSG_SYSTEM_ERROR, 0x7654);
  EXPECT_EQ(unknown.GetText(), L"Error message 30292");

  CErrorNumber withText(VN_HERE, MSG_SYSTEM_ERROR_TEXT, 5, L"opening the key");
  EXPECT_EQ(withText.GetInsertCount(), 3);
  EXPECT_EQ(withText.GetInsert(2), L"opening the key");

  CErrorHRESULT hr(VN_HERE, static_cast<HRESULT>(0x8004DEAD));
  EXPECT_EQ(hr.GetInsert(0), L"0x8004DEAD");
  EXPECT_EQ(hr.GetText(), L"HRESULT 0x8004DEAD.");

  CErrorMessage message(VN_HERE, 0xC0000064, {L"5", L"Access is denied."});
  EXPECT_EQ(message.GetText(), L"Error 5: Access is denied.\r\n");
  CErrorMessage missing(VN_HERE, 0xC0000099, {});
  EXPECT_EQ(missing.GetText(), L"Error message -1073741671");
}

TEST_F(StatusTest, GetTextIsOneLineWithoutTheFinalStop) {
  CStatus status(NewErrorNumber(VN_HERE, 2));
  EXPECT_EQ(status.GetText(), L"The system cannot find the file specified");
  EXPECT_EQ(CStatus().GetText(), L"");
}

TEST_F(StatusTest, SharedStatusKeepsItsErrorWhenTheOtherHolderChanges) {
  CStatus a(NewErrorNumber(VN_HERE, 5));
  CStatus b = a;
  b.SetError(NewErrorNumber(VN_HERE, 2));
  EXPECT_EQ(a.GetError()->GetCode(), 5);
  EXPECT_EQ(b.GetError()->GetCode(), 2);
  b.SetError(nullptr);
  EXPECT_TRUE(b.IsOK());
  EXPECT_FALSE(a.IsOK());
  CStatus c = std::move(a);
  EXPECT_TRUE(a.IsOK());
  EXPECT_EQ(c.GetError()->GetCode(), 5);
  c.SetError(NewErrorNumber(VN_HERE, 3));  // sole owner: replaced in place
  EXPECT_EQ(c.GetError()->GetCode(), 3);
}

TEST_F(StatusTest, InsertCountsFollowTheTextAndTheArgumentsGiven) {
  EXPECT_EQ(GetInsertCount(0x00000001), 1);
  EXPECT_EQ(GetInsertCount(0xC0000070), 3);  // %1 and %3, no %2
  EXPECT_EQ(GetInsertCount(0x80000071), 1);  // %% is no insert
  EXPECT_EQ(GetInsertCount(0xC0000099), 0);
  CStatus gap(NewErrorMessage(VN_HERE, 0xC0000070, {L"a", L"b", L"c", L"d"}));
  EXPECT_EQ(gap.GetError()->GetInsertCount(), 3);
  CStatus fewer(NewErrorMessage(VN_HERE, 0xC0000070, {L"a"}));
  EXPECT_EQ(fewer.GetError()->GetInsertCount(), 1);

  EXPECT_EQ(NewHRESULTMessage(VN_HERE, 0, 0xC0000070, {L"x"}), nullptr);
  CStatus hr(NewHRESULTMessage(VN_HERE, E_FAIL, 0xC0000070, {L"x", L"y"}));
  ASSERT_EQ(hr.GetError()->GetInsertCount(), 3);
  EXPECT_EQ(hr.GetError()->GetInsert(0), L"0x80004005");
  EXPECT_EQ(hr.GetError()->GetInsert(2), L"x");
  EXPECT_EQ(hr.GetError()->GetHRESULT(), E_FAIL);

  CStatus ex(NewExceptionMessage(VN_HERE, std::runtime_error("bad thing"), 0xC0000068));
  EXPECT_EQ(ex.GetError()->GetInsert(0), L"bad thing");
}

TEST_F(StatusTest, RegisterAndReportWriteTheEventLog) {
  CStatus status = RegisterEventLog(L"Vantrel Status Test");
  ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  platform::RegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Vantrel Status Test\\Vantrel Status Test", 0,
                          KEY_READ, key.put()),
            ERROR_SUCCESS);
  std::wstring file;
  DWORD type = 0, types = 0;
  ASSERT_EQ(platform::RegReadString(key.get(), L"EventMessageFile", file, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(file, EventMessageModulePath());
  ASSERT_EQ(platform::RegReadDword(key.get(), L"TypesSupported", types), ERROR_SUCCESS);
  EXPECT_EQ(types, 31u);

  // Two sentences on two lines reach the log as one line; only the final stop goes.
  CErrorMessage twoLines(CSourcePos{"C:\\src\\LibService\\Thing.cpp", 42}, 0xC0000064,
                         {L"7", L"First sentence.\r\nSecond one."});
  ReportError(twoLines);
  EXPECT_TRUE(ReportEvent(nullptr, 0x00000001, {L"Vantrel Status Test", L"ignored"}));

  auto records = platform::ReadEventLog(L"Vantrel Status Test");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"7", L"First sentence.Second one"}));
  EXPECT_EQ(std::string(records[0].data.begin(), records[0].data.end()), "Thing.cpp 42");
  EXPECT_EQ(records[0].sid, L"S-1-5-18");
  EXPECT_EQ(records[1].type, EVENTLOG_SUCCESS);
  EXPECT_EQ(records[1].strings, (std::vector<std::wstring>{L"Vantrel Status Test"}));
  EXPECT_TRUE(records[1].data.empty());
  EXPECT_EQ(records[1].text, L"The Vantrel Status Test service started.\r\n");

  // A second registration leaves the matching values alone and still succeeds.
  EXPECT_TRUE(RegisterEventLog(L"Vantrel Status Test").IsOK());
}

// A registered message file longer than the buffer it is read into (a program
// installed under a long path) is written again, not a failure of every start.
TEST_F(StatusTest, ALongRegisteredMessageFileIsRewritten) {
  const std::wstring keyPath =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Vantrel Long Path\\Vantrel Long Path";
  platform::RegKey key;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str(), key.put()), ERROR_SUCCESS);
  const std::wstring longPath = L"/opt/" + std::wstring(400, L'x') + L"/Evtprogram.msg";
  ASSERT_EQ(platform::RegWriteString(key.get(), L"EventMessageFile", longPath, REG_EXPAND_SZ), ERROR_SUCCESS);
  CStatus status = RegisterEventLog(L"Vantrel Long Path");
  ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  std::wstring file;
  DWORD type = 0;
  ASSERT_EQ(platform::RegReadString(key.get(), L"EventMessageFile", file, &type), ERROR_SUCCESS);
  EXPECT_EQ(file, EventMessageModulePath());
}

}  // namespace
