// service_logger_test.cpp - settings from the registry, cookies, ServiceTrace
// from many threads, fault texts and CCException.
#include "LibService/ServiceLogger.h"
#include "platform/base/testing/temp_registry.h"

#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

const wchar_t* const kDisplay = L"Vantrel Logger Test";
constexpr DWORD kTestLine = 0x00010020;  // "Worker %d1 wrote line %s2"

class Named : public CTraceLoggable {
 public:
  explicit Named(std::string name) : m_name(std::move(name)) {}
  std::string GetTraceName() const override { return m_name; }

 private:
  std::string m_name;
};

class ServiceLoggerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-svclog-");
    const std::string module =
        platform::Utf8FromWide(platform::ExecutableDirectory()) + "Evtlibservice_service_logger_test.msg";
    std::filesystem::copy_file(module, dir_ + "/TrcLoggerTest.msg");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\COM API", &key), ERROR_SUCCESS);
    platform::RegWriteString(key, L"installed", platform::WideFromUtf8(dir_ + "/"));
    RegCloseKey(key);
  }
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceSettingsKey(kDisplay).c_str());
    g_ServiceLogger.SetLevelMask(CTraceLogger::kDefaultLevelMask);
  }
  static HKEY SettingsKey() {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, ServiceSettingsKey(kDisplay).c_str(), &key), ERROR_SUCCESS);
    return key;
  }
  static std::string dir_;
};
std::string ServiceLoggerTest::dir_;

TEST_F(ServiceLoggerTest, AMissingTraceModuleFailsTheStart) {
  CStatus status = StartServiceLogger(L"NoSuchService", kDisplay);
  ASSERT_FALSE(status.IsOK());
  EXPECT_EQ(status.GetError()->GetLine(), 13);
  EXPECT_EQ(static_cast<DWORD>(status.GetError()->GetCode()), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ServiceLoggerTest, SettingsComeFromTheServiceKey) {
  struct Value {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
  };
  auto sz = [](const std::wstring& s) { return platform::RegStringBytes(s); };
  auto dw = [](DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  struct Case {
    const char* name;
    bool createKey;
    std::vector<Value> values;
    std::wstring directory;
    DWORD mask;
  } cases[] = {
      {"no key: defaults", false, {}, L"\\VantrelLog", 0xF000FF0F},
      {"empty key: defaults", true, {}, L"\\VantrelLog", 0xF000FF0F},
      {"all three", true,
       {{L"Log file directory", REG_SZ, sz(L"/srv/log")}, {L"Log level", REG_DWORD, dw(0x3)},
        {L"Log size", REG_DWORD, dw(500)}},
       L"/srv/log", 0x3},
      {"level as REG_SZ is ignored", true, {{L"Log level", REG_SZ, sz(L"3")}}, L"\\VantrelLog", 0xF000FF0F},
      {"expand string is not expanded", true, {{L"Log file directory", REG_EXPAND_SZ, sz(L"%TEMP%\\x")}},
       L"%TEMP%\\x", 0xF000FF0F},
      {"directory as DWORD is ignored", true, {{L"Log file directory", REG_DWORD, dw(1)}}, L"\\VantrelLog",
       0xF000FF0F},
      {"directory without a terminator", true, {{L"Log file directory", REG_SZ, std::string("d\0i\0r\0", 6)}}, L"dir",
       0xF000FF0F},
      {"directory with an odd size", true, {{L"Log file directory", REG_SZ, std::string("d\0i\0r", 5)}}, L"di",
       0xF000FF0F},
      {"level of two bytes is ignored", true, {{L"Log level", REG_DWORD, std::string("\x01\x00", 2)}}, L"\\VantrelLog",
       0xF000FF0F},
      {"level of eight bytes is ignored", true, {{L"Log level", REG_DWORD, std::string(8, '\x01')}}, L"\\VantrelLog",
       0xF000FF0F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceSettingsKey(kDisplay).c_str());
    g_ServiceLogger.SetLevelMask(CTraceLogger::kDefaultLevelMask);
    if (c.createKey) {
      HKEY key = SettingsKey();
      for (const Value& v : c.values) {
        ASSERT_EQ(RegSetValueExW(key, v.name, 0, v.type, reinterpret_cast<const BYTE*>(v.bytes.data()),
                                 static_cast<DWORD>(v.bytes.size())),
                  ERROR_SUCCESS);
      }
      RegCloseKey(key);
    }
    CStatus status = StartServiceLogger(L"LoggerTest", kDisplay);
    ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
    EXPECT_EQ(g_ServiceLogger.GetDirectory(), c.directory);
    EXPECT_EQ(g_ServiceLogger.GetLevelMask(), c.mask);
    EXPECT_EQ(g_ServiceLogger.GetFilePrefix(), L"LoggerTest");
  }
}

// A line traced before the start is in a file made before the folder and
// prefix were read; that file is saved under the ones the start set.
TEST_F(ServiceLoggerTest, LinesBeforeTheStartAreSavedWhereTheStartSays) {
  const std::filesystem::path logs = std::filesystem::path(dir_) / "early-logs";
  Named early("Early");
  ServiceTrace(&early, kTestLine, 1, L"before the start");
  ASSERT_GT(g_ServiceLogger.GetFileCount(), 0u);
  const ULONGLONG line = g_ServiceLogger.GetNextLineNumber() - 1;
  HKEY key = SettingsKey();
  ASSERT_EQ(platform::RegWriteString(key, L"Log file directory", logs.wstring()), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_TRUE(StartServiceLogger(L"LoggerTest", kDisplay).IsOK());
  ASSERT_EQ(g_ServiceLogger.GetDirectory(), logs.wstring());
  g_ServiceLogger.KeepRange(line, 1);
  ASSERT_EQ(g_ServiceLogger.SaveAll(), 0u);
  const std::wstring stem = g_ServiceLogger.MakeFileName();
  const std::wstring prefix = stem.substr(stem.rfind(L'\\') + 1);
  EXPECT_EQ(prefix.substr(0, 10), L"LoggerTest");
  std::size_t saved = 0;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    const std::wstring name = entry.path().filename().wstring();
    EXPECT_EQ(name.substr(0, prefix.size()), prefix);
    EXPECT_EQ(name.substr(name.size() - 4), L".VNT");
    ++saved;
  }
  EXPECT_GT(saved, 0u);
}

TEST_F(ServiceLoggerTest, ObjectsOfOneNameShareOneCookie) {
  ASSERT_TRUE(StartServiceLogger(L"LoggerTest", kDisplay).IsOK());
  EXPECT_EQ(CTraceLogger::GetMessageText(kTestLine), L"Worker %d1 wrote line %s2\r\n");
  Named a("Shared"), b("Shared"), c("Other");
  const ULONGLONG first = g_ServiceLogger.GetNextLineNumber();
  ServiceTrace(&a, kTestLine, 1, L"from a");
  ServiceTrace(&b, kTestLine, 2, L"from b");
  ServiceTrace(&c, kTestLine, 3, L"from c");
  CTraceLoggable* sa = g_ServiceLogger.GetLine(first).GetSource();
  CTraceLoggable* sb = g_ServiceLogger.GetLine(first + 1).GetSource();
  CTraceLoggable* sc = g_ServiceLogger.GetLine(first + 2).GetSource();
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa, sb);
  EXPECT_NE(sa, sc);
  EXPECT_NE(sa, static_cast<CTraceLoggable*>(&a)) << "the line carries the logger's object";
  EXPECT_EQ(g_ServiceLogger.FindCookie("Shared"), sa);
  EXPECT_EQ(g_ServiceLogger.FindCookie("Nobody"), nullptr);

  struct Case {
    const void* cookie;
    bool known;
    std::string name;
  } cases[] = {{sa, true, "Shared"}, {sc, true, "Other"}, {&a, false, "untouched"}, {nullptr, false, "untouched"},
               {reinterpret_cast<const char*>(sa) + 1, false, "untouched"}};
  for (const Case& k : cases) {
    std::string name = "untouched";
    EXPECT_EQ(g_ServiceLogger.IsCookie(k.cookie), k.known);
    EXPECT_EQ(g_ServiceLogger.GetNameOfCookie(k.cookie, name), k.known);
    EXPECT_EQ(name, k.name);
  }
  EXPECT_EQ(g_ServiceLogger.GetLine(first + 1).FormatText(), L"Worker 2 wrote line from b\r\n");
}

TEST_F(ServiceLoggerTest, ServiceTraceFromManyThreads) {
  ASSERT_TRUE(StartServiceLogger(L"LoggerTest", kDisplay).IsOK());
  const ULONGLONG first = g_ServiceLogger.GetNextLineNumber();
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      Named source("Worker" + std::to_string(t % 4));
      for (int i = 0; i < kLines; ++i) ServiceTrace(&source, kTestLine, t, L"x");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(g_ServiceLogger.GetNextLineNumber() - first, static_cast<ULONGLONG>(kThreads * kLines));
  std::set<CTraceLoggable*> sources;
  for (ULONGLONG n = first; n < first + kThreads * kLines; ++n) sources.insert(g_ServiceLogger.GetLine(n).GetSource());
  EXPECT_EQ(sources.size(), 4u);
}

TEST_F(ServiceLoggerTest, FaultTexts) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(0x401000);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;
  record.ExceptionInformation[1] = 0x7FFD12345678ull;
  CONTEXT context{};
  context.Rip = 0x401000;
  context.FrameCount = 2;
  context.FrameChain[0][0] = 0x7FFD00001000ull;
  context.FrameChain[0][1] = 0x402000;
  context.FrameChain[1][0] = 0x7FFD00002000ull;
  context.FrameChain[1][1] = 0x403000;
  EXPECT_EQ(DescribeFault(record, context, false),
            L"0xC0000005@0x0000000000401000 (0x1, 0x7FFD12345678)\nRIP: 0x401000\n"
            L"0x00007FFD00001000 0x0000000000402000\n0x00007FFD00002000 0x0000000000403000");
  EXPECT_EQ(DescribeFault(record, context, true),
            L"0xC0000005@0x0000000000401000 (0x1, 0x7FFD12345678)\nRIP: 0x401000\n"
            L"0x7FFD00001000 0x402000\n0x7FFD00002000 0x403000");
  record.NumberParameters = 0;
  context.FrameCount = 0;
  EXPECT_EQ(DescribeFault(record, context, false), L"0xC0000005@0x0000000000401000 ()\nRIP: 0x401000");
}

TEST_F(ServiceLoggerTest, CCExceptionGetErrorMessage) {
  const CCException e(L"abcdef");
  struct Case {
    bool buffer;
    UINT maximum;
    BOOL result;
    const wchar_t* text;
  } cases[] = {{false, 10, FALSE, nullptr}, {true, 0, FALSE, L"zz"}, {true, 1, TRUE, L""},
               {true, 4, TRUE, L"abc"},     {true, 7, TRUE, L"abcdef"}, {true, 16, TRUE, L"abcdef"}};
  for (const Case& c : cases) {
    wchar_t buffer[16] = L"zz";
    EXPECT_EQ(e.GetErrorMessage(c.buffer ? buffer : nullptr, c.maximum), c.result) << c.maximum;
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer, c.text) << c.maximum;
    }
  }
}

}  // namespace
