// provider_support_test.cpp - the worker as its provider's IProviderSupport, called the way providers call it.
#include "VNService/Extensions/Taskweave/tests/WorkerFixture.h"

namespace worker_test {
namespace {

class ProviderSupportTest : public WorkerFixture {
 protected:
  void SetUp() override {
    WorkerFixture::SetUp();
    m_extension = &AddExtension({{L"Execute Delay", 300}});
    m_file = MakeFile(m_system.Get(), "support/clip.mov");
    m_pinName = Pin(m_extension->elements, m_file, m_extension->clsidString, 1, L"Preview");
  }
  CExtensionWorker& Worker() { return *m_extension->worker; }
  ComPtr<CPostProcessParameters> Parameters() {
    return ComPtr<CPostProcessParameters>(new CPostProcessParameters(
        m_file.file.Get(), PinOf(m_file, m_pinName).Get(), m_pinName,
        m_extension->worker->Rules()));
  }
  static SAFEARRAY* Strings(int count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, count);
    for (LONG i = 0; i < count; ++i) SafeArrayPutElement(array, &i, ComBstr(platform::FormatW(L"s%d", int(i))).Get());
    return array;
  }

  Extension* m_extension = nullptr;
  TestFile m_file;
  std::wstring m_pinName;
};

TEST_F(ProviderSupportTest, LogMessageWritesSeveritiesZeroToThree) {
  std::vector<std::pair<ULONG, std::wstring>> lines;
  CExtensionWorker worker(m_system.Get(), m_extension->provider.Get(), TestClsid(50),
                          [&](IProviderSupport*, ULONG id, const wchar_t* text) { lines.push_back({id, text}); });
  for (ULONG severity : {0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu}) EXPECT_EQ(worker.LogMessage(nullptr, severity, L"t"), S_OK);
  const std::vector<std::pair<ULONG, std::wstring>> expected{
      {0x0001012C, L"t"}, {0x4001012C, L"t"}, {0x8001012C, L"t"}, {0xC001012C, L"t"}};
  EXPECT_EQ(lines, expected);
}

TEST_F(ProviderSupportTest, ReportEventTakesUpToSevenStrings) {
  std::vector<std::pair<DWORD, std::vector<std::wstring>>> events;
  Worker().SetEventFunction([&](DWORD id, const std::vector<std::wstring>& s) { events.push_back({id, s}); });
  const struct {
    const char* name;
    int strings;
    bool withItem;
    HRESULT expected;
  } cases[] = {
      {"NoStrings", 0, false, S_OK},
      {"Seven", 7, false, S_OK},
      {"Eight", 8, false, E_INVALIDARG},
      {"ThreeAndAnItem", 3, true, S_OK},
      {"FourAndAnItem", 4, true, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    events.clear();
    SAFEARRAY* array = Strings(c.strings);
    EXPECT_EQ(Worker().ReportEvent(0xC00007D0, c.withItem ? m_file.file.Get() : nullptr, array), c.expected) << c.name;
    SafeArrayDestroy(array);
    EXPECT_EQ(events.size(), c.expected == S_OK ? 1u : 0u) << c.name;
  }
  SAFEARRAY* array = Strings(3);
  ASSERT_EQ(Worker().ReportEvent(0xC00007D0, m_file.file.Get(), array), S_OK);
  SafeArrayDestroy(array);
  const std::vector<std::wstring> expected{L"s0", L"s1", L"s2", m_file.path,
                                           platform::FormatW(L"%d", int(m_file.id1)),
                                           platform::FormatW(L"%d", int(m_file.id2)),
                                           platform::FormatW(L"%d", int(m_file.id0))};
  EXPECT_EQ(events.at(0).second, expected);
  EXPECT_EQ(Worker().ReportEvent(0xC00007D0, nullptr, nullptr), E_INVALIDARG);
  SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(Worker().ReportEvent(0xC00007D0, nullptr, numbers), E_INVALIDARG);
  SafeArrayDestroy(numbers);
}

TEST_F(ProviderSupportTest, NullParametersAreRefused) {
  EXPECT_EQ(Worker().PostProcess(ComBstr(L"Preview"), nullptr), E_INVALIDARG);
  EXPECT_EQ(Worker().Unpin(ComBstr(L"Preview"), nullptr), E_INVALIDARG);
  EXPECT_EQ(Worker().InProgressCount(), 0u);
}

TEST_F(ProviderSupportTest, UnpinOfNothingRecordedReleasesNothing) {
  EXPECT_EQ(Worker().Unpin(ComBstr(L"Preview"), Parameters().Get()), S_OK);
  EXPECT_TRUE(IsPinned(m_file, m_pinName));
  EXPECT_EQ(ReadPinLog().total, 0);
}

TEST_F(ProviderSupportTest, ASecondPostProcessJoinsTheRunningRecord) {
  ComPtr<CPostProcessParameters> first = Parameters();
  ComPtr<CPostProcessParameters> second = Parameters();
  ASSERT_EQ(Worker().PostProcess(ComBstr(L"Preview"), first.Get()), S_OK);
  EXPECT_EQ(Worker().PostProcess(ComBstr(L"Preview"), second.Get()), CExtensionWorker::kMergedIntoRunning);
  EXPECT_TRUE(second->WasPostProcessed());
  EXPECT_EQ(Worker().InProgressCount(), 1u);
  ASSERT_TRUE(WaitLong([&] { return Worker().InProgressCount() == 0; }));
  EXPECT_EQ(CountCalls(L"Execute"), 1);
  EXPECT_EQ(ReadPinLog().total, 1);
}

TEST_F(ProviderSupportTest, PostProcessForAReleasedPinStartsNothing) {
  ASSERT_EQ(PinOf(m_file, m_pinName)->SetValue(ComVariant()), S_OK);
  EXPECT_EQ(Worker().PostProcess(ComBstr(L"Preview"), Parameters().Get()), CExtensionWorker::kMergedIntoRunning);
  EXPECT_EQ(Worker().InProgressCount(), 0u);
  Sleep(100);
  EXPECT_EQ(CountCalls(L"Execute"), 0);
}

TEST_F(ProviderSupportTest, ARunnerThatCannotStartLeavesNoRecordAndTheFailure) {
  const struct {
    const char* name;
    HRESULT start;
  } cases[] = {{"OutOfMemory", E_OUTOFMEMORY}, {"Failed", E_FAIL}, {"Win32", HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)}};
  for (const auto& c : cases) {
    Worker().SetPostProcessFunction([&](std::shared_ptr<COperationRun>) { return c.start; });
    ComPtr<CPostProcessParameters> params = Parameters();
    EXPECT_EQ(Worker().PostProcess(ComBstr(L"Preview"), params.Get()), c.start) << c.name;
    EXPECT_EQ(Worker().InProgressCount(), 0u) << c.name;
    EXPECT_FALSE(params->WasPostProcessed()) << c.name;
    EXPECT_TRUE(IsPinned(m_file, m_pinName)) << c.name;
  }
}

TEST(StartResultTest, AFailedStartIsNeverSuccess) {
  const struct {
    const char* name;
    CError* error;
    HRESULT expected;
  } cases[] = {
      {"OutOfMemoryMessage", NewErrorMessage(VN_HERE, MSG_OUT_OF_MEMORY, {L"64"}), E_OUTOFMEMORY},
      {"OtherMessage", NewErrorMessage(VN_HERE, MSG_ITEM_NOT_FOUND, {L"x"}), E_FAIL},
      {"HRESULTKeepsItsValue", NewHRESULT(VN_HERE, E_FAIL), E_FAIL},
      {"Win32Code", NewErrorNumber(VN_HERE, ERROR_NOT_ENOUGH_MEMORY), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)},
  };
  for (const auto& c : cases) EXPECT_EQ(CExtensionWorker::StartResult(CStatus(c.error)), c.expected) << c.name;
  EXPECT_EQ(CExtensionWorker::StartResult(CStatus()), S_OK);
}

TEST_F(ProviderSupportTest, TheRunnerErasesItsOwnRecordWhenTheFileWasRenamed) {
  ComPtr<CPostProcessParameters> params = Parameters();
  ASSERT_EQ(Worker().PostProcess(ComBstr(L"Preview"), params.Get()), S_OK);
  // Renamed while it works: no record can be rebuilt from the parameters.
  std::filesystem::rename(Env().volume / "support/clip.mov", Env().volume / "support/renamed.mov");
  ASSERT_TRUE(WaitLong([&] { return CountCalls(L"Execute") == 1 && Worker().InProgressCount() == 0; }));
}

TEST_F(ProviderSupportTest, ThePostProcessFunctionDoesNotKeepTheWorkerAlive) {
  std::weak_ptr<CExtensionWorker> watched = m_extension->worker;
  m_extension->worker.reset();
  EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace worker_test
