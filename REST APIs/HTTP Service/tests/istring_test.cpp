// istring_test.cpp - ordering, equality and conversions of vantrel::basic_istring.
#include "REST APIs/HTTP Service/istring.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using vantrel::istring;

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

struct OrderCase {
  const char* name;
  const wchar_t* a;
  const wchar_t* b;
  int expected;  // sign of a compared with b
};

class IStringOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(IStringOrder, ComparesByLowerCasedUtf16Units) {
  const OrderCase& c = GetParam();
  const istring a(c.a), b(c.b);
  EXPECT_EQ(Sign(a.compare(b)), c.expected);
  EXPECT_EQ(a == b, c.expected == 0);
  EXPECT_EQ(a < b, c.expected < 0);
  EXPECT_EQ(Sign(b.compare(a)), -c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IStringOrder,
    ::testing::Values(OrderCase{"CaseOnlyDiffers", L"Admin", L"admin", 0},
                      OrderCase{"MixedCase", L"ADMIN", L"aDmIn", 0}, OrderCase{"BothEmpty", L"", L"", 0},
                      // a prefix in any case comes first
                      OrderCase{"PrefixFirst", L"adm", L"ADMIN", -1}, OrderCase{"EmptyFirst", L"", L"a", -1},
                      OrderCase{"ShorterFirst", L"ADMIN", L"admin2", -1},
                      // folded to lower case before comparing: 'a' < 'B' and '_' < 'A',
                      // although ordinally 'B' < 'a' and 'A' < '_'
                      OrderCase{"LowerBeforeUpper", L"a", L"B", -1},
                      OrderCase{"FoldsToLowerNotUpper", L"_", L"A", -1},
                      OrderCase{"PunctuationBeforeLetters", L"_", L"a", -1},
                      // units compare as UTF-16: U+10000 is a surrogate pair (0xD800 ...), below U+E000
                      OrderCase{"SurrogatesBelowPrivateUse", L"\U00010000", L"\uE000", -1},
                      OrderCase{"SupplementaryCharacters", L"x\U0001F600", L"x\U0001F601", -1}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

TEST(IString, IsACaseInsensitiveMapKeyAndSearch) {
  std::map<istring, int> users{{L"Alice", 1}, {L"bob", 2}};
  EXPECT_EQ(users.count(L"ALICE"), 1u);
  EXPECT_EQ(users.at(L"BoB"), 2);
  EXPECT_FALSE(users.emplace(L"alice", 3).second);

  const istring name(L"Vantrel Admin");
  EXPECT_EQ(name.find(L"ADMIN"), 8u);
  EXPECT_EQ(name.find(L'V'), 0u);
  EXPECT_EQ(name.find(L"v"), 0u);
}

TEST(IString, ConvertsToAndFromWstringByCopyingCharacters) {
  const std::wstring original = L"MiXeD Case";
  const istring i = original;
  EXPECT_EQ(i.size(), original.size());
  const std::wstring back = i;
  EXPECT_EQ(back, original);  // letters keep their case
  EXPECT_EQ(i.str(), original);
  EXPECT_EQ(istring(L"mixed case"), i);
  EXPECT_EQ(istring(i + L"!"), istring(L"MIXED CASE!"));
}

}  // namespace
