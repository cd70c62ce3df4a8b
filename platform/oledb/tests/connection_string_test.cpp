// connection_string_test.cpp - the keyword=value parser, as named cases.
#include "platform/oledb/connection_string.h"

#include "platform/base/errors.h"

#include <gtest/gtest.h>

namespace {

using platform::ConnectionProperties;

struct ParseCase {
  const char* name;
  const wchar_t* text;
  ConnectionProperties expected;
};

TEST(ConnectionString, ParsesPairs) {
  const ParseCase cases[] = {
      {"ProviderAlone", L"Provider=Vantrel.OLEDBProvider", {{L"Provider", L"Vantrel.OLEDBProvider"}}},
      {"BlanksTrimmed", L"  Provider = X ;  Data Source = a b  ", {{L"Provider", L"X"}, {L"Data Source", L"a b"}}},
      {"SingleQuotesKeepSemicolon", L"A='x;y'", {{L"A", L"x;y"}}},
      {"DoubleQuotesKeepBlanks", L"A=\"  x \"", {{L"A", L"  x "}}},
      {"DoubledQuoteIsOne", L"A='it''s';B=\"say \"\"hi\"\"\"", {{L"A", L"it's"}, {L"B", L"say \"hi\""}}},
      {"OtherQuoteInside", L"A=\"it's\"", {{L"A", L"it's"}}},
      {"DoubledEqualsInKeyword", L"a==b=c", {{L"a=b", L"c"}}},
      {"EmptyPairsSkipped", L";;A=1;;B=;", {{L"A", L"1"}, {L"B", L""}}},
      {"EmptyText", L"", {}},
      {"OrderAndDuplicatesKept", L"B=1;A=2;b=3", {{L"B", L"1"}, {L"A", L"2"}, {L"b", L"3"}}},
  };
  for (const auto& c : cases) {
    ConnectionProperties out;
    EXPECT_EQ(platform::ParseConnectionString(c.text, out), S_OK) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(ConnectionString, RejectsMalformedText) {
  const struct {
    const char* name;
    const wchar_t* text;
  } cases[] = {
      {"NoEquals", L"Provider"},
      {"EmptyKeyword", L"=x"},
      {"UnterminatedQuote", L"A='x"},
      {"TextAfterQuote", L"A='x'y;B=1"},
      {"SemicolonInKeyword", L"A;B=1"},
  };
  for (const auto& c : cases) {
    ConnectionProperties out{{L"stale", L"1"}};
    EXPECT_EQ(platform::ParseConnectionString(c.text, out), E_INVALIDARG) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(ConnectionString, FindsKeywordsInAnyCase) {
  ConnectionProperties p;
  ASSERT_EQ(platform::ParseConnectionString(L"PROVIDER=P;provider=Q", p), S_OK);
  EXPECT_EQ(platform::FindKeyword(p, L"Provider"), L"P");
  EXPECT_FALSE(platform::FindKeyword(p, L"Data Source"));
}

}  // namespace
