// extension_registry_operations_test.cpp - rules, operations and their choice for a path.
#include "VNService/Extensions/Taskweave/ExtensionRegistryOperations.h"

#include "VNService/Extensions/Taskweave/tests/TestRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

namespace {

using namespace extrules_test;

const GUID kClsid = platform::GuidFromString(L"{1B353362-C59F-4258-9819-0C742EC7F32F}");
const std::wstring kClsidText = L"{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::wstring kOtherText = L"{2A000000-0000-0000-0000-000000000002}";
const std::wstring kBase = CExtensionRegistryParametersBase::kBasePath;
const std::wstring kRules = kBase + L"\\Rules\\";
const std::wstring kOperations = kBase + L"\\" + kClsidText + L"\\Operations\\";

std::vector<std::wstring> Names(const std::vector<CExtensionRegistryOperations::Operation>& operations) {
  std::vector<std::wstring> names;
  for (const auto& operation : operations) names.push_back(operation.name);
  return names;
}

class ExtensionRegistryOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(kBase); }

  static void Rule(const std::wstring& name, const std::wstring& include, const std::vector<std::wstring>& operations,
                   const std::wstring& valueName = kClsidText) {
    SetString(kRules + name, L"Include Path", include);
    if (operations.size() == 1) {
      SetString(kRules + name, valueName, operations[0]);
    } else {
      SetMulti(kRules + name, valueName, operations);
    }
  }
  static void Operation(const std::wstring& name, const std::wstring& transcoder = L"FFMPEG") {
    SetString(kOperations + name, L"Transcoder", transcoder);
  }

  // Paths to test and the operation names each gets.
  struct Case {
    const wchar_t* path;
    std::vector<std::wstring> expected;
  };
  static void Expect(CExtensionRegistryOperations& rules, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      std::vector<CExtensionRegistryOperations::Operation> found;
      EXPECT_EQ(rules.FindOperations(c.path, found), S_OK) << c.path;
      EXPECT_EQ(Names(found), c.expected) << c.path;
    }
  }
};

TEST(ExtensionRulePaths, RootIsCutAsTheRootExpressionCutsIt) {
  const std::wregex root(L"^([0-9]+|(\\\\\\\\\\?\\\\)?[A-Za-z]:)[\\\\/]",
                         std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"D:\\Media\\a.mov", L"\\Media\\a.mov"},
      {L"\\\\?\\D:/x/clip.mov", L"/x/clip.mov"},
      {L"17\\dir\\clip.mov", L"\\dir\\clip.mov"},
      {L"d:/x", L"/x"},
      {L"Z:\\", L"\\"},
      {L"\\\\host\\share\\clip.mov", nullptr},  // UNC paths match no rule
      {L"D:x", nullptr},
      {L"17x\\a", nullptr},
      {L"\\\\?\\17\\x", nullptr},
      {L"\\\\?D:\\x", nullptr},
      {L"1:\\x", nullptr},
      {L"DD:\\x", nullptr},
      {L"D:", nullptr},
      {L"", nullptr},
      {L"\\Media\\a.mov", nullptr},
  };
  for (const auto& [path, expected] : cases) {
    const std::wstring text(path);
    std::wsmatch m;
    const bool found = std::regex_search(text, m, root);
    const std::wstring byRegex = found ? std::wstring(m[1].second, text.cend()) : L"<none>";
    const auto remainder = CExtensionRegistryOperations::PathRemainder(path);
    EXPECT_EQ(remainder ? std::wstring(*remainder) : L"<none>", expected ? expected : L"<none>") << path;
    EXPECT_EQ(remainder ? std::wstring(*remainder) : L"<none>", byRegex) << path;
  }
  // A long run of digits is a linear scan, not a recursion per character.
  EXPECT_EQ(CExtensionRegistryOperations::PathRemainder(std::wstring(100000, L'7') + L"\\x"), L"\\x");
}

TEST_F(ExtensionRegistryOperationsTest, FirstRuleThatAppliesChooses) {
  Rule(L"B second", L"*.mov", {L"Preview"});
  Rule(L"a first", L"\\special\\*", {L"Undefined"});  // sorts first, names nothing defined
  Rule(L"c multi", L"*.mxf; *.ts", {L"Preview", L"Undefined", L"Proxy"});
  Rule(L"d no clsid", L"*.avi", {L"Preview"}, kOtherText);  // not this extension's: not kept
  Rule(L"e lower case", L"*.avi", {L"Proxy"}, L"{1b353362-c59f-4258-9819-0c742ec7f32f}");
  SetString(kRules + L"f excluded", L"Include Path", L"*.png");
  SetString(kRules + L"f excluded", L"Exclude Path", L"\\private\\...\\*");
  SetString(kRules + L"f excluded", kClsidText, L"Still");
  Operation(L"Preview");
  Operation(L"Proxy");
  Operation(L"Still");
  CreateKey(kOperations + L"Undefined");  // a subkey without values defines nothing

  CExtensionRegistryOperations rules(&kClsid);
  Expect(rules, {
                    {L"D:\\special\\a.mov", {}},  // first rule wins, even with nothing defined
                    {L"D:\\other\\a.mov", {L"Preview"}},
                    {L"D:\\a.MXF", {L"Preview", L"Proxy"}},
                    {L"D:\\x\\y.avi", {L"Proxy"}},
                    {L"D:\\pics\\a.png", {L"Still"}},
                    {L"D:\\private\\deep\\a.png", {}},
                    {L"\\\\?\\D:/x/clip.mov", {L"Preview"}},
                    {L"17\\dir\\clip.mov", {L"Preview"}},
                    {L"\\\\host\\share\\clip.mov", {}},
                    {L"D:\\a.doc", {}},
                });
  EXPECT_EQ(rules.Rules().size(), 5u);
}

TEST_F(ExtensionRegistryOperationsTest, OperationParameters) {
  Rule(L"r", L"*", {L"Job"});
  SetString(kOperations + L"Job", L"Transcoder", L"FFMPEG");
  SetMulti(kOperations + L"Job", L"Options", {L"-first", L"-second"});
  SetDword(kOperations + L"Job", L"Count", 7);
  SetString(kOperations + L"Job", L"Skipped", L"x", REG_EXPAND_SZ);
  CExtensionRegistryOperations rules(&kClsid);
  std::vector<CExtensionRegistryOperations::Operation> found;
  ASSERT_EQ(rules.FindOperations(L"D:\\a", found), S_OK);
  ASSERT_EQ(found.size(), 1u);
  const auto& parameters = found[0].parameters;
  ASSERT_EQ(parameters.size(), 3u);
  EXPECT_EQ(std::wstring(parameters.at(L"Transcoder").bstrVal), L"FFMPEG");
  EXPECT_EQ(std::wstring(parameters.at(L"Options").bstrVal), L"-first");  // a multi-string gives its first
  EXPECT_EQ(parameters.at(L"Count").vt, VT_UI4);
  EXPECT_EQ(parameters.at(L"Count").ulVal, 7u);
  EXPECT_EQ(parameters.count(L"transcoder"), 0u);  // names are case-sensitive
}

// Registration never creates an extension's settings key: without it, or
// without the service's key, nothing is configured and no rule applies; the
// keys are looked for again at every call.
TEST_F(ExtensionRegistryOperationsTest, MissingKeysMeanNoRuleAndAreLookedForAgain) {
  CExtensionRegistryOperations rules(&kClsid);
  std::vector<CExtensionRegistryOperations::Operation> found;
  found.push_back({L"stale", {}});
  EXPECT_EQ(rules.FindOperations(L"D:\\a.mov", found), S_FALSE);
  EXPECT_TRUE(found.empty());
  CreateKey(kBase);  // the extension's own key is still missing
  EXPECT_EQ(rules.FindOperations(L"D:\\a.mov", found), S_FALSE);

  Rule(L"r", L"*.mov", {L"Preview"});
  Operation(L"Preview");
  Expect(rules, {{L"D:\\a.mov", {L"Preview"}}});
}

TEST_F(ExtensionRegistryOperationsTest, MissingRulesKeyIsNoRuleAtAll) {
  Operation(L"Preview");
  CExtensionRegistryOperations rules(&kClsid);
  std::vector<CExtensionRegistryOperations::Operation> found;
  EXPECT_EQ(rules.FindOperations(L"D:\\a.mov", found), S_FALSE);
  EXPECT_EQ(rules.FindOperations(L"D:\\a.mov", found), S_OK);  // nothing changed since
  EXPECT_TRUE(found.empty());
}

// A rule that cannot be read is answered once; the rules read before it then
// serve, with their operations, until the next change.
TEST_F(ExtensionRegistryOperationsTest, AFailedReloadIsAnsweredOnceAndTheRulesBeforeItServe) {
  Rule(L"m", L"*.mov", {L"Preview"});
  Operation(L"Preview");
  Operation(L"Proxy");
  CExtensionRegistryOperations rules(&kClsid);
  Expect(rules, {{L"D:\\a.mov", {L"Preview"}}});

  // Sorted after "m"; without its include list it is no rule yet, so any
  // reload in between still gives the set above.
  SetString(kRules + L"z bad", kClsidText, L"Proxy");
  const std::wstring tooLong(CPatternMatcher::kMaxStates + 1, L'x');
  SetString(kRules + L"z bad", L"Include Path", tooLong);
  const HRESULT rejected = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
  std::vector<CExtensionRegistryOperations::Operation> found;
  EXPECT_TRUE(WaitUntil([&] { return rules.FindOperations(L"D:\\a.mov", found) == rejected; }));
  EXPECT_TRUE(found.empty());
  // Answered once per change (each write of the two above may be one): once
  // the changes are read, the rules before the bad one serve, and go on.
  EXPECT_TRUE(WaitUntil([&] { return rules.FindOperations(L"D:\\a.mov", found) == S_OK; }));
  EXPECT_EQ(Names(found), std::vector<std::wstring>{L"Preview"});
  EXPECT_EQ(rules.FindOperations(L"D:\\a.mov", found), S_OK);
  EXPECT_EQ(rules.Rules().size(), 1u);

  SetString(kRules + L"z bad", L"Include Path", L"*.ts");
  EXPECT_TRUE(WaitUntil([&] { return rules.FindOperations(L"D:\\a.ts", found) == S_OK && !found.empty(); }));
  EXPECT_EQ(Names(found), std::vector<std::wstring>{L"Proxy"});
  EXPECT_EQ(rules.Rules().size(), 2u);
}

TEST_F(ExtensionRegistryOperationsTest, GenericReaderCollectsExtensions) {
  SetString(kRules + L"r", L"Include Path", L"*.mov");
  SetString(kRules + L"r", kClsidText, L"Preview");
  SetString(kRules + L"r", kOtherText, L"Other");
  CExtensionRegistryOperations generic(nullptr);
  std::vector<CExtensionRegistryOperations::Operation> found;
  EXPECT_EQ(generic.FindOperations(L"D:\\a.mov", found), S_OK);
  EXPECT_TRUE(found.empty());  // the generic reader has no operations
  const auto read = generic.Rules();
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].operations, (std::vector<std::wstring>{kClsidText, kOtherText}));
  EXPECT_EQ(read[0].extensions.size(), 2u);
  EXPECT_EQ(read[0].extensions.count(kClsid), 1u);

  SetString(kRules + L"s", L"Include Path", L"*.ts");
  SetString(kRules + L"s", L"not a clsid", L"x");
  EXPECT_TRUE(WaitUntil([&] { return generic.FindOperations(L"D:\\a.mov", found) == CO_E_CLASSSTRING; }));
}

// Scan and provider threads look up while the rules are rewritten: every
// answer is one of the two configurations, never a failure or "no rule".
TEST_F(ExtensionRegistryOperationsTest, ConcurrentLookupsDuringReloads) {
  Rule(L"r", L"*.mov", {L"A"});
  Operation(L"A");
  Operation(L"B");
  CExtensionRegistryOperations rules(&kClsid);
  std::atomic<bool> done{false};
  std::atomic<int> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      std::vector<CExtensionRegistryOperations::Operation> found;
      while (!done.load()) {
        ASSERT_EQ(rules.FindOperations(L"D:\\clip.mov", found), S_OK);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_TRUE(found[0].name == L"A" || found[0].name == L"B") << found[0].name;
        lookups.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    SetString(kRules + L"r", kClsidText, i % 2 == 0 ? L"B" : L"A");
    Sleep(2);
  }
  EXPECT_TRUE(WaitUntil([&] {
    std::vector<CExtensionRegistryOperations::Operation> found;
    return rules.FindOperations(L"D:\\clip.mov", found) == S_OK && Names(found) == std::vector<std::wstring>{L"A"};
  }));
  done.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(lookups.load(), 0);
}

}  // namespace
