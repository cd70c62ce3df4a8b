// WorkerFixture.h - one or more extension workers running against the archive with stub providers,
// their runners started by the service's own post-process function.
#pragma once

#include "VNService/Extensions/Taskweave/TaskweaveService.h"
#include "VNService/Extensions/Taskweave/tests/WorkerTestSupport.h"

#include <chrono>
#include <thread>

namespace worker_test {

class WorkerFixture : public ::testing::Test {
 protected:
  struct Extension {
    GUID clsid{};
    std::wstring clsidString;
    ComPtr<IProviderOperations> provider;
    std::shared_ptr<CExtensionWorker> worker;
    CTestElements elements;
  };

  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    m_system = CreateSystem();
    ClearStubProviderCalls();
    ClearPinLog();
  }
  void TearDown() override {
    StopAll();
    m_extensions.clear();
    m_system.Reset();
    CoUninitialize();
  }

  // An extension whose stub reads these settings (DWORD or string values).
  Extension& AddExtension(const std::map<std::wstring, DWORD>& numbers,
                          const std::map<std::wstring, std::wstring>& texts = {}) {
    auto e = std::make_unique<Extension>();
    e->clsid = TestClsid(static_cast<int>(m_extensions.size()) + m_clsidBase);
    e->clsidString = platform::FormatGuid(e->clsid);
    const std::wstring key = kExtensionsKey + e->clsidString;
    extrules_test::DeleteTree(key);
    extrules_test::CreateKey(key);
    for (const auto& [name, value] : numbers) extrules_test::SetDword(key, name, value);
    for (const auto& [name, value] : texts) extrules_test::SetString(key, name, value);
    ComPtr<IExtensionInit> init;
    EXPECT_EQ(CreateStubProvider(init.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(init->Initialise(ComBstr(key), m_system.Get()), S_OK);
    EXPECT_EQ(init.As(&e->provider), S_OK);
    e->worker = std::make_shared<CExtensionWorker>(m_system.Get(), e->provider.Get(), e->clsid,
                                                   &CExtensionWorker::TraceLog);
    e->worker->SetPostProcessFunction(m_app.PostProcessFunctionOf(e->worker));
    e->worker->SetElementWalkFactory(e->elements.Factory());
    e->worker->SetKeptPinRetry(m_keptRetryMs);
    m_extensions.push_back(std::move(e));
    return *m_extensions.back();
  }

  void Start(Extension& e) {
    HANDLE stop = m_app.GetStopEvent();
    auto keepRunning = [stop] { return WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; };
    ASSERT_TRUE(m_app.StartThread("ExtensionRecordsWorker", e.worker.get(), &CExtensionWorker::ProcessRecords,
                                  std::function<bool()>(keepRunning), stop)
                    .IsOK());
  }

  void StopAll() {
    SetEvent(m_app.GetStopEvent());
    m_app.WaitForExit(60000);
    EXPECT_EQ(m_app.GetRunningThreads(), 0);
  }

  // Waits (bounded) until every listed pin is released and nothing is in progress.
  bool Drained(const std::vector<std::pair<const TestFile*, std::wstring>>& pins, Extension& e) {
    return WaitLong([&] {
      if (e.worker->InProgressCount() != 0) return false;
      for (const auto& [file, name] : pins) {
        if (IsPinned(*file, name)) return false;
      }
      return true;
    });
  }

  // Up to a minute: drains of many pins on a loaded machine under sanitizers.
  static bool WaitLong(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      Sleep(10);
    }
    return condition();
  }

  static int CountCalls(const std::wstring& prefix) {
    int n = 0;
    for (const auto& call : StubProviderCalls()) n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  CTaskweaveService m_app;  // starts the runners as the service does
  ComPtr<IArchiveSystem> m_system;
  std::vector<std::unique_ptr<Extension>> m_extensions;
  DWORD m_keptRetryMs = 200;
  int m_clsidBase = 0;
};

}  // namespace worker_test
