// bytes_test.cpp - little-endian fields, hex and Base64.
#include "platform/base/bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace {

std::vector<BYTE> Bytes(std::string_view text) { return std::vector<BYTE>(text.begin(), text.end()); }

}  // namespace

TEST(LittleEndian, FieldsAtOddAddresses) {
  BYTE buffer[1 + 2 + 4 + 8] = {};
  BYTE* at = buffer + 1;  // deliberately unaligned
  StoreLe16(at, 0xA1B2);
  StoreLe32(at + 2, 0xC1C2C3C4u);
  StoreLe64(at + 6, 0x0102030405060708ull);
  const BYTE expected[] = {0, 0xB2, 0xA1, 0xC4, 0xC3, 0xC2, 0xC1, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + sizeof buffer), std::vector<BYTE>(expected, expected + sizeof expected));
  EXPECT_EQ(LoadLe16(at), 0xA1B2);
  EXPECT_EQ(LoadLe32(at + 2), 0xC1C2C3C4u);
  EXPECT_EQ(LoadLe64(at + 6), 0x0102030405060708ull);
  // High bits set in every byte: no sign extension on the way up.
  const BYTE ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(LoadLe32(ones), 0xFFFFFFFFu);
  EXPECT_EQ(LoadLe64(ones), ~0ull);
}

TEST(LittleEndian, VariableWidthKeepsOnlyTheLowBytes) {
  BYTE buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  StoreLe(buffer, 0x11223344556677ull, 3);
  EXPECT_EQ(buffer[0], 0x77);
  EXPECT_EQ(buffer[2], 0x55);
  EXPECT_EQ(buffer[3], 0xEE);  // nothing written past the width
  EXPECT_EQ(LoadLe(buffer, 3), 0x556677u);
  EXPECT_EQ(LoadLe(buffer, 0), 0u);
  StoreLe(buffer, ~0ull, 8);
  EXPECT_EQ(LoadLe(buffer, 8), ~0ull);
}

TEST(LittleEndian, AppendGrowsStringsAndVectors) {
  std::string s = "x";
  AppendLe32(s, 0x64636261u);
  AppendLe16(s, 0x6665);
  EXPECT_EQ(s, "xabcdef");
  std::vector<BYTE> v;
  AppendLe64(v, 0x0807060504030201ull);
  EXPECT_EQ(v, (std::vector<BYTE>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(BigEndian, MostSignificantFirst) {
  BYTE b[4];
  StoreBe16(b, 0x1234);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(b[1], 0x34);
  EXPECT_EQ(LoadBe16(b), 0x1234);
  std::string s;
  AppendBe(s, 0x61626364u, 4);
  EXPECT_EQ(s, "abcd");
  EXPECT_EQ(LoadBe(s.data(), 4), 0x61626364u);
  EXPECT_EQ(LoadBe(s.data(), 3), 0x616263u);
}

TEST(Hex, EncodeBothCasesAndWide) {
  const BYTE data[] = {0x00, 0x0F, 0xA0, 0xFF, 0x5c};
  EXPECT_EQ(HexEncode(data, sizeof data), "000FA0FF5C");
  EXPECT_EQ(HexEncode(data, sizeof data, HexCase::Lower), "000fa0ff5c");
  EXPECT_EQ(HexEncodeW(data, sizeof data), L"000FA0FF5C");
  EXPECT_EQ(HexEncode(data, 0), "");
}

struct HexRow {
  const char* name;
  std::string text;
  bool ok;
  std::vector<BYTE> bytes;
};

TEST(Hex, DecodeTable) {
  const HexRow rows[] = {
      {"empty", "", true, {}},
      {"mixed case", "0aF0fF", true, {0x0A, 0xF0, 0xFF}},
      {"odd count", "ABC", false, {}},
      {"not a digit", "0G", false, {}},
      {"sign is not a digit", "+1", false, {}},
      {"space inside", "0 1", false, {}},
  };
  for (const auto& row : rows) {
    std::vector<BYTE> narrow = {0x99};
    EXPECT_EQ(HexDecode(row.text, narrow), row.ok) << row.name;
    EXPECT_EQ(narrow, row.ok ? row.bytes : std::vector<BYTE>{0x99}) << row.name;
    std::vector<BYTE> wide = {0x99};
    EXPECT_EQ(HexDecode(std::wstring(row.text.begin(), row.text.end()), wide), row.ok) << row.name;
    EXPECT_EQ(wide, narrow) << row.name;
  }
  std::vector<BYTE> out;
  EXPECT_FALSE(HexDecode(std::wstring_view(L"\uFF10\uFF11"), out));  // full-width digits are not hex
  EXPECT_EQ(HexDigitValue(L'7'), 7);
  EXPECT_EQ(HexDigitValue(L'e'), 14);
  EXPECT_EQ(HexDigitValue(L'g'), -1);
}

TEST(Base64, EncodesTheStandardVectors) {
  // The test vectors of RFC 4648, section 10.
  const std::pair<const char*, const char*> rows[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : rows) {
    const std::string p(plain);
    EXPECT_EQ(Base64Encode(p.data(), p.size()), encoded) << plain;
    std::vector<BYTE> out;
    EXPECT_TRUE(Base64Decode(std::string_view(encoded), out)) << encoded;
    EXPECT_EQ(out, Bytes(p)) << encoded;
  }
  const BYTE high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(Base64Encode(high, sizeof high), "+/+/");
}

struct Base64Row {
  const char* name;
  std::string text;
  Base64Foreign foreign;
  bool ok;
  std::string bytes;
};

TEST(Base64, DecodeTable) {
  using enum Base64Foreign;
  const Base64Row rows[] = {
      {"unpadded", "Zm8", Reject, true, "fo"},
      {"one digit left cannot hold a byte", "Zm9vY", Reject, false, ""},
      {"line break rejected", "Zm9v\r\nYmFy", Reject, false, ""},
      {"line break skipped", "Zm9v\r\nYmFy", Skip, true, "foobar"},
      {"foreign characters skipped", "Z*m.9-v", Skip, true, "foo"},
      {"wide-only characters skipped", "Zm\xC3\xA4" "9v", Skip, true, "foo"},
      {"skip stops at the padding", "Zg==garbage", Skip, true, "f"},
      {"reject refuses text after the padding", "Zg==Zg==", Reject, false, ""},
      {"three padding characters", "Zg===", Reject, false, ""},
      {"skip stops at a NUL", std::string("Zm9v\0Zm9v", 9), Skip, true, "foo"},
      {"reject refuses a NUL", std::string("Zm9v\0", 5), Reject, false, ""},
      {"skip with one digit left", "Zm9vY", Skip, false, ""},
      {"only foreign characters", "***", Skip, true, ""},
  };
  for (const auto& row : rows) {
    std::vector<BYTE> out = {0x99};
    EXPECT_EQ(Base64Decode(std::string_view(row.text), out, row.foreign), row.ok) << row.name;
    EXPECT_EQ(out, row.ok ? Bytes(row.bytes) : std::vector<BYTE>{0x99}) << row.name;
  }
}

TEST(Base64, WideTextDecodesAsNarrow) {
  std::vector<BYTE> out;
  EXPECT_TRUE(Base64Decode(std::wstring_view(L"Zm\u00E49v\U0001F600YmFy"), out, Base64Foreign::Skip));
  EXPECT_EQ(out, Bytes("foobar"));
  EXPECT_FALSE(Base64Decode(std::wstring_view(L"Zm\u00E49v"), out));
}

TEST(Base64, RoundTripsEveryByte) {
  std::vector<BYTE> all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<BYTE>(i));
  for (std::size_t n = 0; n <= all.size(); n += 37) {
    const std::string text = Base64Encode(all.data(), n);
    EXPECT_EQ(text.size() % 4, 0u);
    std::vector<BYTE> back;
    ASSERT_TRUE(Base64Decode(text, back));
    EXPECT_EQ(back, std::vector<BYTE>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n)));
  }
}
