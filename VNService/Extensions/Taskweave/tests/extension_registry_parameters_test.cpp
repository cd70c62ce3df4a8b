// extension_registry_parameters_test.cpp - key opening, change marks, value reading and caches.
#include "VNService/Extensions/Taskweave/ExtensionRegistryParameters.h"

#include "VNService/Extensions/Taskweave/tests/TestRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using namespace extrules_test;

const GUID kClsid = platform::GuidFromString(L"{1B353362-C59F-4258-9819-0C742EC7F32F}");
const GUID kOtherClsid = platform::GuidFromString(L"{2A000000-0000-0000-0000-000000000002}");
const std::wstring kBase = CExtensionRegistryParametersBase::kBasePath;
const std::wstring kExtension = kBase + L"\\{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::wstring kOtherExtension = kBase + L"\\{2A000000-0000-0000-0000-000000000002}";

// Exposes the protected pieces a provider uses.
class Parameters : public CExtensionRegistryParameters<&kClsid> {
 public:
  using CExtensionRegistryParametersBase::MarkChangedAgain;
};

class ExtensionRegistryParametersTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(kBase); }
};

TEST_F(ExtensionRegistryParametersTest, PathsFromTheClsid) {
  CExtensionRegistryParametersBase parameters(&kClsid);
  EXPECT_EQ(parameters.ClsidString(), L"{1B353362-C59F-4258-9819-0C742EC7F32F}");
  EXPECT_EQ(parameters.BasePathString(), L"Software\\Vantrel\\Vantrel Archive Extensions");
  EXPECT_EQ(parameters.ExtensionPath(), kExtension);

  CExtensionRegistryParametersBase generic(nullptr);
  EXPECT_EQ(generic.ClsidString(), L"");
  EXPECT_EQ(generic.ExtensionPath(), L"");
}

TEST_F(ExtensionRegistryParametersTest, MissingKeysFailEveryTimeAndAreRetried) {
  Parameters parameters;
  Parameters::RegistryParam<const wchar_t*, 0> level(parameters, L"Trace Level");
  Parameters::RegistryParam<unsigned long, 1> jobs(parameters, L"Maximum Transcode Jobs", 1);
  const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(parameters.CheckChanged(), missing);
  EXPECT_EQ(parameters.CheckChanged(), missing);
  EXPECT_EQ(level.Get(), std::nullopt);
  EXPECT_EQ(jobs.Get(), 1u);
  EXPECT_EQ(parameters.GetStringValue(L"Trace Level", L"fallback"), L"fallback");

  // Once the keys exist, the next read of each parameter opens them.
  SetDword(kExtension, L"Maximum Transcode Jobs", 4);
  SetString(kExtension, L"Trace Level", L"Info");
  EXPECT_EQ(level.Get(), L"Info");
  EXPECT_EQ(jobs.Get(), 4u);
  EXPECT_EQ(parameters.GetDWORDValue(L"Maximum Transcode Jobs", 1), 4u);
}

TEST_F(ExtensionRegistryParametersTest, GenericReaderOpensOnlyTheBaseKey) {
  CExtensionRegistryParametersBase generic(nullptr);
  EXPECT_EQ(generic.CheckChanged(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  CreateKey(kBase);
  EXPECT_EQ(generic.CheckChanged(), S_OK);
  EXPECT_EQ(generic.CheckChanged(), S_FALSE);
  EXPECT_EQ(generic.GetDWORDValue(L"x", 9), 9u);
}

TEST_F(ExtensionRegistryParametersTest, EnumValuesConvertsByType) {
  SetString(kExtension, L"text", L"hello");
  SetString(kExtension, L"empty", L"");
  SetMulti(kExtension, L"multi", {L"a", L"b"});
  SetBinary(kExtension, L"gap", std::string("a\0\0\0\0\0\0\0c\0\0\0\0\0\0\0\0\0\0\0", 20), REG_MULTI_SZ);
  SetDword(kExtension, L"dword", 0x12345678);
  SetQword(kExtension, L"qword", 0x1122334455667788ull);
  SetString(kExtension, L"expand", L"%TEMP%", REG_EXPAND_SZ);
  SetBinary(kExtension, L"binary", "xyz", REG_BINARY);
  SetBinary(kExtension, L"short dword", std::string("\x01\x02\x03", 3), REG_DWORD);
  SetBinary(kExtension, L"short qword", std::string("\x01\x02\x03\x04", 4), REG_QWORD);
  SetBinary(kExtension, L"long dword", std::string("\x01\x02\x03\x04\x05", 5), REG_DWORD);

  platform::RegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExtension.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
  std::vector<std::pair<std::wstring, std::wstring>> seen;  // name, type and text
  int calls = 0;
  HRESULT hr = CExtensionRegistryParametersBase::EnumValues(
      key.get(), L"the key", [&](const std::wstring& keyName, const CExtensionRegistryParametersBase::ValueList& values) {
        ++calls;
        EXPECT_EQ(keyName, L"the key");
        for (const auto& [name, value] : values) {
          platform::ComVariant text;
          EXPECT_EQ(VariantChangeType(&text, &value, 0, VT_BSTR), S_OK);
          seen.emplace_back(name, std::to_wstring(value.vt) + L":" + std::wstring(text.bstrVal));
        }
        return S_FALSE;
      });
  EXPECT_EQ(hr, S_FALSE);  // the function's result
  EXPECT_EQ(calls, 1);
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"text", L"8:hello"},
      {L"multi", L"8:a"},
      {L"multi", L"8:b"},
      {L"gap", L"8:a"},  // the empty string ends a multi-string
      {L"dword", L"19:305419896"},
      {L"qword", L"21:1234605616436508552"},
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(ExtensionRegistryParametersTest, EnumValuesOnADeletedKeyFailsWithoutCalling) {
  SetString(kExtension, L"text", L"hello");
  platform::RegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kExtension.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
  DeleteTree(kExtension);
  bool called = false;
  HRESULT hr = CExtensionRegistryParametersBase::EnumValues(key.get(), L"", [&](auto&, auto&) {
    called = true;
    return S_OK;
  });
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_KEY_DELETED));
  EXPECT_FALSE(called);
}

TEST_F(ExtensionRegistryParametersTest, SubkeyWalks) {
  SetString(kBase + L"\\Walk\\b", L"v", L"2");
  SetString(kBase + L"\\Walk\\A", L"v", L"1");
  SetString(kBase + L"\\Walk\\c", L"v", L"3");
  CreateKey(kBase + L"\\Empty");
  platform::RegKey base;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBase.c_str(), 0, KEY_READ, base.put()), ERROR_SUCCESS);

  struct Case {
    const wchar_t* subkey;
    HRESULT stopAt;  // the function's answer for subkey "b"
    HRESULT expected;
    std::vector<std::wstring> visited;
  };
  const Case cases[] = {
      {L"Walk", S_OK, S_OK, {L"A", L"b", L"c"}},          // case-insensitive sorted order
      {L"Walk", S_FALSE, S_OK, {L"A", L"b", L"c"}},       // S_FALSE goes on; the last result counts
      {L"Walk", E_ABORT, E_ABORT, {L"A", L"b"}},          // the first failure ends the walk
      {L"Empty", S_OK, S_OK, {}},
      {L"Missing", S_OK, S_FALSE, {}},                    // an absent subkey is "nothing there"
  };
  for (const Case& c : cases) {
    std::vector<std::wstring> visited;
    HRESULT hr = CExtensionRegistryParametersBase::EnumNamedSubkeys(base.get(), c.subkey, [&](const std::wstring& name, auto&) {
      visited.push_back(name);
      return name == L"b" ? c.stopAt : S_OK;
    });
    EXPECT_EQ(hr, c.expected) << c.subkey;
    EXPECT_EQ(visited, c.visited) << c.subkey;
  }
}

// Names compare without case; a multi-string value gives its first string.
TEST_F(ExtensionRegistryParametersTest, CacheLookups) {
  SetString(kExtension, L"Size", L"640x360");
  SetMulti(kExtension, L"Names", {L"first", L"second"});
  SetString(kExtension, L"Expanded", L"x", REG_EXPAND_SZ);
  SetDword(kExtension, L"Count", 3);
  SetQword(kExtension, L"Wide", 5);
  Parameters parameters;
  EXPECT_EQ(parameters.GetStringValue(L"size"), L"640x360");
  EXPECT_EQ(parameters.GetStringValue(L"Names"), L"first");
  EXPECT_EQ(parameters.GetStringValue(L"Expanded"), std::nullopt);
  EXPECT_EQ(parameters.GetDWORDValue(L"COUNT", 0), 3u);
  EXPECT_EQ(parameters.GetDWORDValue(L"Wide", 0), 0u);  // 64-bit values are no DWORD
  EXPECT_EQ(parameters.GetDWORDValue(L"Size", 9), 9u);  // nor is text
}

TEST_F(ExtensionRegistryParametersTest, ChangeAnywhereBelowTheBaseKeyMarksEveryParameter) {
  SetDword(kExtension, L"Maximum Transcode Jobs", 2);
  CreateKey(kOtherExtension);
  Parameters parameters;
  Parameters::RegistryParam<DWORD, 1> jobs(parameters, L"Maximum Transcode Jobs", 1);
  EXPECT_EQ(jobs.Get(), 2u);
  EXPECT_FALSE(jobs.IsChanged());
  EXPECT_EQ(parameters.CheckChanged(), S_FALSE);

  SetString(kOtherExtension, L"Unrelated", L"x");
  EXPECT_TRUE(WaitUntil([&] { return jobs.IsChanged(); }));
  EXPECT_EQ(jobs.Get(), 2u);  // reloaded, same value

  SetDword(kExtension, L"Maximum Transcode Jobs", 5);
  EXPECT_TRUE(WaitUntil([&] { return jobs.Get() == 5u; }));

  SetString(kBase + L"\\Rules\\r", L"Include Path", L"*");
  EXPECT_TRUE(WaitUntil([&] { return parameters.CheckChanged() == S_OK; }));
}

TEST_F(ExtensionRegistryParametersTest, FailedRefreshKeepsTheValuesAndRetries) {
  SetDword(kExtension, L"Maximum Transcode Jobs", 2);
  Parameters parameters;
  Parameters::RegistryParam<DWORD, 1> jobs(parameters, L"Maximum Transcode Jobs", 1);
  EXPECT_EQ(jobs.Get(), 2u);

  // The open extension key now answers ERROR_KEY_DELETED to every read.
  DeleteTree(kExtension);
  EXPECT_TRUE(WaitUntil([&] { return jobs.IsChanged(); }));
  EXPECT_EQ(parameters.GetDWORDValue(L"Maximum Transcode Jobs", 1), 2u);  // not emptied by the failure
  EXPECT_EQ(parameters.CheckChanged(), S_OK);                             // marked changed again
  EXPECT_EQ(parameters.GetDWORDValue(L"Maximum Transcode Jobs", 1), 2u);
  EXPECT_EQ(jobs.Get(), 2u);
}

TEST_F(ExtensionRegistryParametersTest, ParameterDestroyedBeforeItsOwnerIsNoLongerMarked) {
  CreateKey(kExtension);
  Parameters parameters;
  Parameters::RegistryParam<DWORD, 1> survivor(parameters, L"a", 0);
  {
    Parameters::RegistryParam<const wchar_t*, 0> shortLived(parameters, L"b");
    EXPECT_EQ(shortLived.Get(), std::nullopt);
  }
  EXPECT_EQ(survivor.Get(), 0u);
  for (DWORD i = 0; i < 5; ++i) {
    SetDword(kExtension, L"a", i + 1);
    // The watcher walks the parameters after each change; a dangling one would
    // be written to here.
    EXPECT_TRUE(WaitUntil([&] { return survivor.Get() == i + 1; }));
  }
}

// The scan thread and provider threads ask at once while the key changes and
// the watcher marks; run under TSan this proves the flags and caches race-free.
TEST_F(ExtensionRegistryParametersTest, ConcurrentReadersWhileTheKeyChanges) {
  SetDword(kExtension, L"n", 0);
  SetString(kExtension, L"s", L"0");
  Parameters parameters;
  Parameters::RegistryParam<DWORD, 1> number(parameters, L"n", 0);
  Parameters::RegistryParam<const wchar_t*, 0> text(parameters, L"s");
  std::atomic<bool> done{false};
  std::atomic<int> reloads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      while (!done.load()) {
        switch (t) {
          case 0:
            if (parameters.RefreshValues() == S_OK) reloads.fetch_add(1);
            break;
          case 1: (void)number.Get(); break;
          case 2: (void)text.Get(); break;
          default: (void)parameters.GetDWORDValue(L"n", 0); break;
        }
      }
    });
  }
  constexpr DWORD kLast = 20;
  for (DWORD i = 1; i <= kLast; ++i) {
    SetDword(kExtension, L"n", i);
    SetString(kExtension, L"s", std::to_wstring(i));
    Sleep(2);
  }
  // Every reader keeps going until the last values are seen.
  EXPECT_TRUE(WaitUntil([&] { return number.Get() == kLast && text.Get() == std::to_wstring(kLast); }));
  done.store(true);
  for (std::thread& reader : readers) reader.join();
  // The other readers may have taken every change before the caller of
  // RefreshValues; alone it takes the next one.
  SetDword(kExtension, L"n", kLast + 1);
  if (WaitUntil([&] { return parameters.RefreshValues() == S_OK; })) reloads.fetch_add(1);
  EXPECT_GT(reloads.load(), 0);
  EXPECT_EQ(parameters.GetDWORDValue(L"n", 0), kLast + 1);
}

// One parameter read by many threads at once while it changes: a thread that
// looked up an older value must not store it over a newer one that another
// thread stored meanwhile (the mark is consumed by then, so the stale value
// would stay until the next change).
TEST_F(ExtensionRegistryParametersTest, OneParameterFromManyThreadsEndsOnEveryChange) {
  SetDword(kExtension, L"n", 0);
  Parameters parameters;
  Parameters::RegistryParam<DWORD, 1> number(parameters, L"n", 0);
  Parameters::RegistryParam<const wchar_t*, 0> text(parameters, L"s");
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      while (!done.load()) {
        if (t % 2 == 0) {
          (void)number.Get();
        } else {
          (void)text.Get();
        }
      }
    });
  }
  for (DWORD i = 1; i <= 100; ++i) {
    SetDword(kExtension, L"n", i);
    SetString(kExtension, L"s", std::to_wstring(i));
    ASSERT_TRUE(WaitUntil([&] { return number.Get() == i && text.Get() == std::to_wstring(i); }))
        << "change " << i << ": number " << number.Get() << ", text " << platform::Utf8FromWide(text.Get().value_or(L"-"))
        << ", cached " << parameters.GetDWORDValue(L"n", 0);
  }
  done.store(true);
  for (std::thread& reader : readers) reader.join();
}

// CheckChanged itself from several threads: every change is answered S_OK
// to some caller, and once changes stop, all answers become S_FALSE.
TEST_F(ExtensionRegistryParametersTest, CheckChangedFromManyThreads) {
  CreateKey(kExtension);
  CExtensionRegistryParametersBase parameters(&kClsid);
  std::atomic<bool> done{false};
  std::atomic<int> answers{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      while (!done.load()) {
        HRESULT hr = parameters.CheckChanged();
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << hr;
        if (hr == S_OK) answers.fetch_add(1);
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return answers.load() >= 1; }));  // the first open
  for (DWORD i = 0; i < 10; ++i) {
    const int before = answers.load();
    SetDword(kExtension, L"n", i);
    EXPECT_TRUE(WaitUntil([&] { return answers.load() > before; })) << i;
  }
  done.store(true);
  for (std::thread& caller : callers) caller.join();
}

// The threads of this process now (the kernel's list of them).
std::size_t ThreadCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A reader destroyed while its watcher is marking changes: the destructor
// returns, and the watcher thread is gone with it.
TEST_F(ExtensionRegistryParametersTest, DestroyedWhileChangesArrive) {
  CreateKey(kExtension);
  for (int round = 0; round < 10; ++round) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
      for (DWORD i = 0; !done.load(); ++i) SetDword(kExtension, L"n", i);
    });
    const std::size_t before = ThreadCount();
    {
      Parameters parameters;
      Parameters::RegistryParam<DWORD, 1> number(parameters, L"n", 0);
      // Changes are being delivered at the moment the reader goes away.
      const DWORD first = number.Get();
      EXPECT_TRUE(WaitUntil([&] { return number.Get() != first; })) << "round " << round;
    }
    // The first round may start threads the platform keeps for the process.
    if (round > 0) {
      EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= before; }))
          << "round " << round << ": " << ThreadCount() << " threads, " << before << " before";
    }
    done.store(true);
    writer.join();
  }
}

}  // namespace
