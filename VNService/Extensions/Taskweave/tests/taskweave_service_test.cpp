// taskweave_service_test.cpp - Run of the extension service: what each registry layout gives, and what Run leaves behind.
//
// The service runs in this process against the archive stand-in and the
// main service stand-in on the pipe the service uses; each extension's
// stub is this program's own (registered as the process's class object for
// its CLSID), so the stubs' call log shows which providers were made,
// initialised and released, and in which order.
#include "VNService/Extensions/Taskweave/TaskweaveService.h"
#include "VNService/Extensions/Taskweave/tests/WorkerTestSupport.h"

#include "archive/mainsvc/MainService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace worker_test;

const bool kPipeFolder = [] {
  ::setenv("VANTREL_PIPE_DIR", platform::testing::MakeTempDir("vn_taskweave_service_test.").c_str(), 1);
  return true;
}();

const std::wstring kExtensions = L"Software\\Vantrel\\Corvellane\\Extensions";


// An extension subkey: its name, whether a stub answers for it, and what
// its Initialise answers.
struct SubKey {
  std::wstring name;
  bool registered = true;
  HRESULT initialise = S_OK;
};

// Polls for up to a minute (a loaded machine under sanitizers).
bool WaitLong(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(5);
  }
  return true;
}

std::wstring Clsid(int n) { return platform::FormatGuid(TestClsid(n)); }

class TaskweaveServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    CreateSystem().Reset();  // the archive registered once per program
    Clean();
  }
  void TearDown() override {
    Clean();
    CoUninitialize();
  }
  void Clean() {
    for (DWORD cookie : m_cookies) CoRevokeClassObject(cookie);
    m_cookies.clear();
    extrules_test::DeleteTree(kExtensions);
    ClearStubProviderCalls();
  }

  void Register(const std::vector<SubKey>& keys) {
    extrules_test::CreateKey(kExtensions);
    for (const SubKey& key : keys) {
      const std::wstring path = kExtensions + L"\\" + key.name;
      extrules_test::CreateKey(path);
      extrules_test::SetDword(path, L"Initialise Result", static_cast<DWORD>(key.initialise));
      GUID clsid{};
      if (!key.registered || !platform::ParseGuid(key.name, clsid)) continue;
      DWORD cookie = 0;
      ASSERT_EQ(CoRegisterClassObject(clsid, StubProviderClassObject(), CLSCTX_INPROC_SERVER, 0, &cookie), S_OK);
      m_cookies.push_back(cookie);
    }
  }

  // Runs the service's Run on a thread of its own (as "MainThread" does);
  // when it waits for the stop, stops it once every worker is listed.
  CStatus RunService(CTaskweaveService& service, std::size_t workersBeforeStop) {
    CStatus status;
    std::atomic<bool> done{false};
    std::thread main([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      service.Run(status);
      CoUninitialize();
      done = true;
    });
    if (workersBeforeStop > 0) {
      WaitLong([&] { return done || service.WorkerCount() == workersBeforeStop; });
      SetEvent(service.GetStopEvent());
    }
    main.join();
    return status;
  }

  std::vector<DWORD> m_cookies;
};

// What Run gives for each layout of the "Extensions" key: success at once
// with nothing to run, the error of the step that failed (and none of the
// extensions after it), or the wait for the stop with one worker each.
TEST_F(TaskweaveServiceTest, RunFollowsTheExtensionsKey) {
  const std::wstring bad = L"{00000000-not-a-clsid}";  // sorts before the test CLSIDs
  const struct Case {
    const char* name;
    bool haveKey;
    std::vector<SubKey> keys;
    std::size_t workers;  // the workers a waiting Run lists; 0: Run returns by itself
    int line;             // the error's line, 0 for success
    HRESULT hr;           // the error's HRESULT
    std::vector<std::wstring> initialised;
    std::vector<std::wstring> released;  // a provider that failed goes at once, then the workers' in order
  } cases[] = {
      {"no Extensions key: idle success", false, {}, 0, 0, S_OK, {}, {}},
      {"no subkeys: idle success", true, {}, 0, 0, S_OK, {}, {}},
      {"two extensions: one worker each until the stop", true, {{Clsid(1)}, {Clsid(2)}}, 2, 0, S_OK,
       {Clsid(1), Clsid(2)}, {Clsid(1), Clsid(2)}},
      {"a name that is no CLSID stops at line 52", true, {{bad}, {Clsid(1)}}, 0, 52,
       static_cast<HRESULT>(0x800401F3), {}, {}},  // CO_E_CLASSSTRING
      {"an unregistered CLSID stops at line 55; the one before is released", true,
       {{Clsid(1)}, {Clsid(2), false}, {Clsid(3)}}, 0, 55, static_cast<HRESULT>(0x80040154), {Clsid(1)},
       {Clsid(1)}},  // REGDB_E_CLASSNOTREG
      {"Initialise failing stops at line 66 with its result", true,
       {{Clsid(1)}, {Clsid(2), true, E_ACCESSDENIED}, {Clsid(3)}}, 0, 66, E_ACCESSDENIED, {Clsid(1), Clsid(2)},
       {Clsid(2), Clsid(1)}},
      {"Initialise answering S_FALSE is a failure too", true, {{Clsid(1), true, S_FALSE}}, 0, 66, S_FALSE,
       {Clsid(1)}, {Clsid(1)}},
  };
  archive::MainService mainService;
  ASSERT_EQ(mainService.Start(), ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clean();
    if (c.haveKey) Register(c.keys);
    {
      CTaskweaveService service;
      const CStatus status = RunService(service, c.workers);
      EXPECT_EQ(status.IsOK(), c.line == 0);
      if (!status.IsOK()) {
        EXPECT_EQ(status.GetError()->GetFile(), "TaskweaveService");
        EXPECT_EQ(status.GetError()->GetLine(), c.line);
        EXPECT_EQ(status.GetError()->GetHRESULT(), c.hr);
      }
      // Nothing of Run outlives it: no thread, no worker, no provider.
      EXPECT_EQ(service.ActiveThreads(), 0);
      EXPECT_EQ(service.WorkerCount(), 0u);
      EXPECT_EQ(StubProvidersAlive(), 0);
      std::vector<std::wstring> initialised;
      for (const std::wstring& call : StubProviderCalls())
        if (call.rfind(L"Initialise ", 0) == 0) initialised.push_back(call.substr(call.rfind(L'\\') + 1));
      EXPECT_EQ(initialised, c.initialised);
      // Providers are released in the order they were made.
      std::vector<std::wstring> released;
      for (const std::wstring& call : StubProviderCalls())
        if (call.rfind(L"Released ", 0) == 0) released.push_back(call.substr(9));
      EXPECT_EQ(released, c.released);
      EXPECT_EQ(service.GetRunningThreads(), 0);
    }
  }
}

// Without the main service the subscription fails with ERROR_NOT_READY at
// line 21, before any provider is made.
TEST_F(TaskweaveServiceTest, NoMainServiceFailsTheStart) {
  Register({{Clsid(1)}});
  CTaskweaveService service;
  const CStatus status = RunService(service, 0);
  ASSERT_FALSE(status.IsOK());
  EXPECT_EQ(status.GetError()->GetLine(), 21);
  EXPECT_EQ(status.GetError()->GetCode(), static_cast<int>(ERROR_NOT_READY));
  EXPECT_TRUE(StubProviderCalls().empty());
}

// A type-7 notification with no worker yet, or of any other type, does nothing.
TEST_F(TaskweaveServiceTest, NotificationsWithoutWorkersDoNothing) {
  CTaskweaveService service;
  const BYTE record[12] = {12, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0};
  CTaskweaveService::OnServiceNotification(~0ull, &service, 7, 12, record);
  CTaskweaveService::OnServiceNotification(~0ull, &service, 9999, 12, record);
  EXPECT_EQ(service.WorkerCount(), 0u);
}

}  // namespace
