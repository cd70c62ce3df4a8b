// messages_test.cpp - message modules built from TestMessages.mc, read back
// through LoadLibraryExW and FormatMessageW.
#include "platform/base/testing/temp_dir.h"
#include "platform/messages/messages.h"

#include "TestMessages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <string>

namespace {

// Every test program gets a registry of its own, though these tests need none.
const bool kRegistry = [] {
  setenv("VANTREL_REGISTRY", (platform::testing::MakeTempDir("vn_messages_registry_") + "/registry.db").c_str(), 1);
  return true;
}();

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(L"TestMessages", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) {
      EXPECT_TRUE(FreeLibrary(module_));
    }
  }
  // The text FormatMessageW gives, or "error N".
  std::wstring Format(DWORD flags, DWORD id, DWORD language, const DWORD_PTR* args = nullptr) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE, module_, id,
                                   language, reinterpret_cast<LPWSTR>(&text), 0,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    if (n == 0) return L"error " + std::to_wstring(GetLastError());
    std::wstring result(text, n);
    LocalFree(text);
    return result;
  }
  HMODULE module_ = nullptr;
};

TEST(MessageCompilerTest, IdsCarrySeverityFacilityAndCode) {
  EXPECT_EQ(MSG_PLAIN, 0x00000001u);
  EXPECT_EQ(MSG_INSERTS, 0x00000002u);  // an empty MessageId= follows the previous one
  EXPECT_EQ(MSG_TWO_LINES, 0xC0010020u);
  EXPECT_EQ(MSG_WARNING, 0x80010022u);  // +2, facility carried over
}

TEST_F(ModuleTest, TextsAreStoredAsTheSourceGivesThem) {
  struct Case {
    DWORD flags;
    DWORD id;
    DWORD language;
    std::wstring text;
  } cases[] = {
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_PLAIN, 0, L"A plain text.\r\n"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_PLAIN, LANG_USER_DEFAULT, L"A plain text.\r\n"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_INSERTS, 0, L"File %1 has %2!d! lines.\r\n"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_INSERTS, 0x407, L"Datei %1 hat %2!d! Zeilen.\r\n"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_INSERTS, 0x40C, L"error 317"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_TWO_LINES, 0, L"First line\r\nsecond line %1\r\n"},
      {FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF, MSG_TWO_LINES, 0, L"First line second line %1"},
      {FORMAT_MESSAGE_IGNORE_INSERTS | 12, MSG_TWO_LINES, 0, L"First line\r\nsecond line\r\n%1"},
      {FORMAT_MESSAGE_IGNORE_INSERTS | 4, MSG_PLAIN, 0, L"A\r\nplai\r\nn\r\ntext\r\n."},
      {FORMAT_MESSAGE_IGNORE_INSERTS, 0x12345, 0, L"error 317"},
      {FORMAT_MESSAGE_IGNORE_INSERTS, MSG_WARNING, 0, L"Careful: %%1 is not an insert.\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.flags, c.id, c.language), c.text) << c.id;
}

TEST_F(ModuleTest, InsertsComeFromTheArgumentArray) {
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(L"a.txt"), 12};
  EXPECT_EQ(Format(FORMAT_MESSAGE_ARGUMENT_ARRAY, MSG_INSERTS, 0, args), L"File a.txt has 12 lines.\r\n");
  EXPECT_EQ(Format(FORMAT_MESSAGE_ARGUMENT_ARRAY, MSG_WARNING, 0, args), L"Careful: %1 is not an insert.\r\n");
  // An insert without arguments is refused rather than read from nowhere.
  EXPECT_EQ(Format(0, MSG_INSERTS, 0), L"error 87");
}

DWORD FormatFromList(wchar_t* out, DWORD size, const wchar_t* text, ...) {
  va_list args;
  va_start(args, text);
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING, text, 0, 0, out, size, &args);
  va_end(args);
  return n;
}

TEST(FormatMessageTest, FromStringWithAVaListAndACallerBuffer) {
  wchar_t out[64];
  EXPECT_EQ(FormatFromList(out, 64, L"%2 before %1!d!%0", static_cast<DWORD_PTR>(7),
                           reinterpret_cast<DWORD_PTR>(L"x")),
            10u);
  EXPECT_EQ(std::wstring(out), L"x before 7");
  EXPECT_EQ(FormatFromList(out, 4, L"too long for four"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(FormatMessageTest, SystemTextsAndBadSources) {
  wchar_t* text = nullptr;
  ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(std::wstring(text), platform::SystemMessageText(ERROR_FILE_NOT_FOUND));
  LocalFree(text);

  wchar_t out[16];
  auto bogus = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x1000));
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, bogus, 1, 0, out, 16, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FreeLibrary(bogus));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LoadLibraryTest, SearchAndFailures) {
  const std::wstring here = platform::ExecutableDirectory();
  // Full paths in either separator, with the extension given or added.
  for (const std::wstring& name : {here + L"TestMessages", here + L"TestMessages.msg"}) {
    HMODULE m = LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(m, nullptr) << std::string(name.begin(), name.end());
    if (m) FreeLibrary(m);
  }
  EXPECT_EQ(LoadLibraryExW(L"NoSuchModule", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryExW(L"\\no\\such\\folder\\TestMessages", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  // A file that is no message table loads, but has no texts to give.
  HMODULE plain = LoadLibraryExW(L"NotAModule.bin", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(plain, nullptr);
  wchar_t out[16];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, plain, 1, 0, out, 16, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  FreeLibrary(plain);
}

}  // namespace
