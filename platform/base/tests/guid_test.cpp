#include "platform/base/guid.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace platform;

static const GUID kSample = {0xB0E4A6E9, 0x6EC0, 0x4453, {0xB9, 0xFC, 0xBD, 0x32, 0x73, 0x30, 0xAC, 0x1C}};

TEST(Guid, Format) {
  EXPECT_EQ(FormatGuid(kSample), L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}");
  EXPECT_EQ(FormatGuid(GUID_NULL), L"{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(FormatGuid(kSample).size(), 38u);
}

TEST(Guid, RoundTrip) {
  GUID g;
  ASSERT_TRUE(ParseGuid(L"{b0e4a6e9-6ec0-4453-b9fc-bd327330ac1c}", g));
  EXPECT_EQ(g, kSample);
  ASSERT_TRUE(ParseGuid(FormatGuid(kSample), g));
  EXPECT_EQ(g, kSample);
  GUID m = {0xFFFFFFFF, 0x0001, 0xABCD, {1, 2, 3, 4, 5, 6, 7, 0xFF}};
  ASSERT_TRUE(ParseGuid(FormatGuid(m), g));
  EXPECT_EQ(g, m);
}

TEST(Guid, Malformed) {
  const wchar_t* bad[] = {
      L"",
      L"B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C",     // no braces (ParseGuid wants them)
      L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C",    // missing close
      L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}}",  // extra
      L"{B0E4A6E96EC0-4453-B9FC-BD327330AC1C0}",   // hyphen moved
      L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1G}",   // non-hex
      L"{B0E4A6E9-6EC0-4453-B9FC_BD327330AC1C}",   // wrong separator
      L"(B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C)",
      L"{ B0E4A6E9-6EC0-4453-B9FC-BD327330AC1}",
      L"{+0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}",
  };
  for (const wchar_t* s : bad) {
    GUID g = kSample;
    EXPECT_FALSE(ParseGuid(s, g)) << s;
    EXPECT_EQ(g, kSample) << "unchanged on failure";
  }
}

TEST(Guid, FromString) {
  EXPECT_EQ(GuidFromString(L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}"), kSample);
  EXPECT_EQ(GuidFromString(L"b0e4a6e9-6ec0-4453-b9fc-bd327330ac1c"), kSample);
  EXPECT_THROW(GuidFromString(L"nonsense"), std::invalid_argument);
  EXPECT_THROW(GuidFromString(L"{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C"), std::invalid_argument);
}

TEST(Guid, Ordering) {
  EXPECT_NE(kSample, GUID_NULL);
  EXPECT_TRUE(GUID_NULL < kSample);
}
