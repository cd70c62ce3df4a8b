// extension_name_cache_test.cpp - the extension name cache's loading rules, lookups and pin names.
#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"

#include "VNService/Extensions/Taskweave/tests/TestRegistry.h"
#include "platform/com/comptr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace extrules_test;

const std::wstring kProduct = L"Software\\Vantrel\\Corvellane";
const std::wstring kExtensions = kProduct + L"\\Extensions";
// Enumerated in this (sorted) order.
const std::wstring kAlpha = L"{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::wstring kBeta = L"{2A000000-0000-0000-0000-000000000002}";
const std::wstring kGamma = L"{3C000000-0000-0000-0000-000000000003}";
const std::wstring kDelta = L"{4D000000-0000-0000-0000-000000000004}";

class ExtensionNameCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(kProduct); }
};

TEST_F(ExtensionNameCacheTest, LookupsBothWaysWithoutCase) {
  SetString(kExtensions + L"\\" + kAlpha, L"", L"Framesight.Provider");
  SetString(kExtensions + L"\\" + kBeta, L"", L"Other", REG_EXPAND_SZ);
  ExtensionNameCache cache;
  EXPECT_EQ(cache.Lookup(kAlpha, ExtensionNameCache::kNameFromClsid), L"Framesight.Provider");
  EXPECT_EQ(cache.Lookup(L"{1b353362-c59f-4258-9819-0c742ec7f32f}", 0), L"Framesight.Provider");
  EXPECT_EQ(cache.Lookup(kBeta, 0), L"Other");
  EXPECT_EQ(cache.Lookup(L"FRAMESIGHT.provider", ExtensionNameCache::kClsidFromName), kAlpha);
  EXPECT_EQ(cache.Lookup(L"unknown", 1), L"");
  EXPECT_EQ(cache.Lookup(L"unknown", 0), L"");
  EXPECT_EQ(cache.Lookup(kAlpha, 2), kAlpha);  // any other mode keeps the text
  EXPECT_EQ(cache.Lookup(kAlpha, -1), kAlpha);
  EXPECT_EQ(cache.TranslateOrKeep(kAlpha), L"Framesight.Provider");
  EXPECT_EQ(cache.TranslateOrKeep(kGamma), kGamma);
}

TEST_F(ExtensionNameCacheTest, LoadingStopsAtTheFirstSubkeyWithoutADefaultValue) {
  SetString(kExtensions + L"\\" + kAlpha, L"", L"First");
  SetDword(kExtensions + L"\\" + kBeta, L"", 7);  // wrong type: skipped, loading goes on
  SetString(kExtensions + L"\\" + kGamma, L"Other value", L"x");  // no default value: loading stops
  SetString(kExtensions + L"\\" + kDelta, L"", L"Never seen");
  ExtensionNameCache cache;
  EXPECT_EQ(cache.Lookup(kAlpha, 0), L"First");
  EXPECT_EQ(cache.Lookup(kBeta, 0), L"");
  EXPECT_EQ(cache.Lookup(kGamma, 0), L"");
  EXPECT_EQ(cache.Lookup(kDelta, 0), L"");
  EXPECT_EQ(cache.TranslateOrKeep(kDelta), kDelta);
}

TEST_F(ExtensionNameCacheTest, LoadedOnceEvenWhenTheKeyIsMissing) {
  ExtensionNameCache cache;
  EXPECT_EQ(cache.Lookup(kAlpha, 0), L"");
  SetString(kExtensions + L"\\" + kAlpha, L"", L"Late");
  EXPECT_EQ(cache.Lookup(kAlpha, 0), L"");  // never refreshed
  EXPECT_EQ(cache.Lookup(L"Late", 1), L"");

  ExtensionNameCache other;
  EXPECT_EQ(other.Lookup(kAlpha, 0), L"Late");
  SetString(kExtensions + L"\\" + kAlpha, L"", L"Renamed");
  EXPECT_EQ(other.Lookup(kAlpha, 0), L"Late");
}

TEST_F(ExtensionNameCacheTest, ProcessWideInstanceIsOne) {
  EXPECT_EQ(&ExtensionNameCache::Instance(), &ExtensionNameCache::Instance());
}

TEST(ExtensionPinNames, PrefixTest) {
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"Pinned-clip-0000000000000001", true},
      {L"PINNED-x", true},
      {L"pInNeD-", true},
      {L"Pinned", false},  // the prefix's first six characters only
      {L"Pinned_x", false},
      {L"", false},
      {L"xPinned-", false},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ExtensionNameCache::HasPinPrefix(text), expected) << text;
}

TEST(ExtensionPinNames, NameBuilder) {
  struct Case {
    const wchar_t* name;
    ULONGLONG id;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"{1B353362-C59F-4258-9819-0C742EC7F32F}", 0x1A2Bull, L"Pinned-{1B353362-C59F-4258-9819-0C742EC7F32F}-0000000000001A2B"},
      {L"clip", 0xFFFFFFFFFFFFFFFFull, L"Pinned-clip-FFFFFFFFFFFFFFFF"},
      {L"clip", 0, L"Pinned-clip-0000000000000000"},
      {L"", 0xabcdef0123456789ull, L"Pinned--ABCDEF0123456789"},
      {nullptr, 1, L"Pinned--0000000000000001"},
  };
  for (const Case& c : cases) {
    ExtensionNameCache::NamedVariant entry;
    if (c.name != nullptr) entry.name = c.name;
    entry.id = c.id;
    platform::ComVariant pin;
    VARIANT made = ExtensionNameCache::PinName(entry);
    ASSERT_EQ(pin.Attach(&made), S_OK);
    ASSERT_EQ(pin.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(pin.bstrVal, SysStringLen(pin.bstrVal)), c.expected);
  }
}

// An element owns its name and value: copies are independent, a move leaves
// the source empty, and each is freed once (the sanitizer build checks).
TEST(ExtensionNameCacheEntryTest, AnElementOwnsItsCopies) {
  ExtensionNameCache::NamedVariant first;
  first.name = L"clip";
  first.value = platform::ComVariant(L"Preview");
  first.id = 7;
  ExtensionNameCache::NamedVariant copy = first;
  ASSERT_NE(static_cast<BSTR>(copy.name), static_cast<BSTR>(first.name));
  ASSERT_NE(copy.value.bstrVal, first.value.bstrVal);
  first.name = L"other";
  EXPECT_EQ(std::wstring(copy.name), L"clip");
  ExtensionNameCache::NamedVariant moved = std::move(copy);
  EXPECT_EQ(static_cast<BSTR>(copy.name), nullptr);
  EXPECT_EQ(std::wstring(moved.value.bstrVal), L"Preview");
  EXPECT_EQ(moved.id, 7u);
  std::vector<ExtensionNameCache::NamedVariant> list(3, moved);  // copies freed with the vector
  EXPECT_EQ(std::wstring(list[2].name), L"clip");
}

}  // namespace
