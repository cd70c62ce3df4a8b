// registry_enum_test.cpp - EnumRegistryKeys and EnumRegistryValues.
#include "LibService/RegistryKey.h"
#include "platform/base/testing/temp_registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

class RegistryEnumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int n = 0;
    std::wstring path = L"Software\\EnumTest\\" + std::to_wstring(++n);
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, path.c_str(), key_.put()), ERROR_SUCCESS);
  }
  static void SetUpTestSuite() {
    dir_ = platform::testing::UseTempRegistry("vn-regenum-");
  }

  void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }

  platform::RegKey key_;
  static std::string dir_;
};
std::string RegistryEnumTest::dir_;

TEST_F(RegistryEnumTest, EmptyKeyCallsNothing) {
  int calls = 0;
  EXPECT_TRUE(EnumRegistryKeys(key_.get(), [&](const std::wstring&) { ++calls; return CStatus(); }).IsOK());
  EXPECT_TRUE(EnumRegistryValues(key_.get(), [&](const std::wstring&, const std::wstring&) { ++calls; return CStatus(); },
                                 [&](const std::wstring&, DWORD) { ++calls; return CStatus(); })
                  .IsOK());
  EXPECT_EQ(calls, 0);
}

TEST_F(RegistryEnumTest, ValuesByType) {
  setenv("VN_ENUM_TEST", "expanded", 1);
  platform::RegWriteString(key_.get(), L"empty", L"");
  platform::RegWriteString(key_.get(), L"text", L"hello");
  platform::RegWriteString(key_.get(), L"expand", L"a-%VN_ENUM_TEST%-b", REG_EXPAND_SZ);
  platform::RegWriteDword(key_.get(), L"dword", 42);
  platform::RegWriteQword(key_.get(), L"qword", 0x1122334455667788ull);
  platform::RegWriteBinary(key_.get(), L"binary", "\x01\x02", 2);
  platform::RegWriteMultiString(key_.get(), L"multi", {L"x", L"y"});

  std::map<std::wstring, std::wstring> strings;
  std::map<std::wstring, ULONGLONG> numbers;
  CStatus status = EnumRegistryValues(
      key_.get(), [&](const std::wstring& n, const std::wstring& v) { strings[n] = v; return CStatus(); },
      [&](const std::wstring& n, DWORD v) { numbers[n] = v; return CStatus(); },
      [&](const std::wstring& n, ULONGLONG v) { numbers[n] = v; return CStatus(); });
  ASSERT_TRUE(status.IsOK());
  EXPECT_EQ(strings, (std::map<std::wstring, std::wstring>{{L"empty", L""}, {L"text", L"hello"},
                                                           {L"expand", L"a-expanded-b"}}));
  EXPECT_EQ(numbers, (std::map<std::wstring, ULONGLONG>{{L"dword", 42}, {L"qword", 0x1122334455667788ull}}));

  // Without DWORD and QWORD callbacks those values are skipped, not failed.
  strings.clear();
  EXPECT_TRUE(EnumRegistryValues(key_.get(), [&](const std::wstring& n, const std::wstring& v) {
                strings[n] = v;
                return CStatus();
              }).IsOK());
  EXPECT_EQ(strings.size(), 3u);
}

TEST_F(RegistryEnumTest, MalformedSizesAreReadWithinTheStoredBytes) {
  const BYTE unterminated[] = {'a', 0, 'b', 0};
  const BYTE odd[] = {'a', 0, 'b'};
  const BYTE shortDword[] = {0x34, 0x12};
  const BYTE shortQword[] = {1, 2, 3};
  const BYTE longDword[] = {1, 0, 0, 0, 9, 9};
  Raw(L"unterminated", REG_SZ, unterminated, sizeof unterminated);
  Raw(L"odd", REG_SZ, odd, sizeof odd);
  Raw(L"shortDword", REG_DWORD, shortDword, sizeof shortDword);
  Raw(L"shortQword", REG_QWORD, shortQword, sizeof shortQword);
  Raw(L"longDword", REG_DWORD, longDword, sizeof longDword);
  Raw(L"emptyDword", REG_DWORD, nullptr, 0);

  std::map<std::wstring, std::wstring> strings;
  std::map<std::wstring, ULONGLONG> numbers;
  ASSERT_TRUE(EnumRegistryValues(
                  key_.get(), [&](const std::wstring& n, const std::wstring& v) { strings[n] = v; return CStatus(); },
                  [&](const std::wstring& n, DWORD v) { numbers[n] = v; return CStatus(); },
                  [&](const std::wstring& n, ULONGLONG v) { numbers[n] = v; return CStatus(); })
                  .IsOK());
  EXPECT_EQ(strings[L"unterminated"], L"ab");
  EXPECT_EQ(strings[L"odd"].substr(0, 1), L"a");
  // Numbers of the wrong size are malformed and skipped.
  EXPECT_EQ(numbers.size(), 0u);
}

TEST_F(RegistryEnumTest, FailingCallbackStopsTheWalk) {
  for (const wchar_t* name : {L"a", L"b", L"c"}) {
    platform::RegKey sub;
    RegCreateKeyW(key_.get(), name, sub.put());
  }
  std::vector<std::wstring> seen;
  CStatus status = EnumRegistryKeys(key_.get(), [&](const std::wstring& name) {
    seen.push_back(name);
    return name == L"b" ? CStatus(NewErrorNumber(VN_HERE, ERROR_INVALID_DATA)) : CStatus();
  });
  EXPECT_EQ(status.GetError()->GetCode(), static_cast<int>(ERROR_INVALID_DATA));
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"a", L"b"}));
}

TEST_F(RegistryEnumTest, DeletedKeyIsAFailureWithItsCode) {
  platform::RegKey sub;
  ASSERT_EQ(RegCreateKeyW(key_.get(), L"gone", sub.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(key_.get(), L"gone"), ERROR_SUCCESS);
  CStatus status = EnumRegistryKeys(sub.get(), [](const std::wstring&) { return CStatus(); });
  ASSERT_FALSE(status.IsOK());
  EXPECT_EQ(status.GetError()->GetCode(), static_cast<int>(ERROR_KEY_DELETED));
  EXPECT_EQ(status.GetError()->GetLine(), 37);
}

}  // namespace
