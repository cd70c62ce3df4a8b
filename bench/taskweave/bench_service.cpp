// bench_service.cpp - the extension service's Run: one pass over many pinned files, and a stop with many idle workers.
//
// Runs CTaskweaveService::Run in this process against the archive stand-in
// (pins kept in a fragment-list file), the main service stand-in and the
// stub provider as this program's class object, and prints one line per run:
//   pass/<n>        n files pinned for one extension whose provider has
//                   nothing to do: the time from Run's start until the
//                   worker has handed over and released every one (its
//                   first pass), and the files per second
//   stop/<n> idle   n extensions with nothing pinned, every worker waiting:
//                   the time from the stop event until Run has returned
// Usage: bench_service [largest pass] (100000 by default; passes of 1,000,
// 10,000 and 100,000 up to it).
#include "VNService/Extensions/Taskweave/TaskweaveService.h"
#include "VNService/Extensions/Taskweave/tests/WorkerTestSupport.h"

#include "archive/mainsvc/MainService.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace worker_test;

namespace {

using Clock = std::chrono::steady_clock;

const std::wstring kExtensions = L"Software\\Vantrel\\Corvellane\\Extensions";


// Registers n extensions (stubs answering S_OK); their cookies.
std::vector<DWORD> RegisterExtensions(int n) {
  extrules_test::DeleteTree(kExtensions);
  extrules_test::CreateKey(kExtensions);
  std::vector<DWORD> cookies;
  for (int i = 0; i < n; ++i) {
    const GUID clsid = TestClsid(i);
    const std::wstring key = kExtensions + L"\\" + platform::FormatGuid(clsid);
    extrules_test::CreateKey(key);
    extrules_test::SetString(key, L"Schedule", L"ok");
    DWORD cookie = 0;
    if (CoRegisterClassObject(clsid, StubProviderClassObject(), CLSCTX_INPROC_SERVER, 0, &cookie) != S_OK) std::abort();
    cookies.push_back(cookie);
  }
  return cookies;
}

void Revoke(const std::vector<DWORD>& cookies) {
  for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Pins files up to n for extension 0 (files made once and kept for the larger runs).
void PinFiles(IArchiveSystem* system, std::vector<TestFile>& files, std::size_t n, ULONGLONG run) {
  while (files.size() < n) files.push_back(MakeFile(system, "bench/f" + std::to_string(files.size()) + ".dat"));
  const std::wstring clsid = platform::FormatGuid(TestClsid(0));
  for (std::size_t i = 0; i < n; ++i) {
    const std::wstring pinName = ExtensionNameCache::PinNameText(clsid, run * 1000000 + i + 1);
    if (PinOf(files[i], pinName)->SetValue(ComVariant(L"Bench")) != S_OK) std::abort();
  }
}

int CountCalls(const wchar_t* prefix) {
  int n = 0;
  for (const auto& call : StubProviderCalls()) n += call.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

void Pass(IArchiveSystem* system, std::vector<TestFile>& files, std::size_t n, ULONGLONG run) {
  const std::vector<DWORD> cookies = RegisterExtensions(1);
  PinFiles(system, files, n, run);
  ClearStubProviderCalls();
  CTaskweaveService service;
  const auto start = Clock::now();
  std::thread main([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    service.Run();
    CoUninitialize();
  });
  // Every file goes to Schedule once; its release follows before the next.
  while (CountCalls(L"Schedule") < static_cast<int>(n)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const double seconds = Seconds(Clock::now() - start);
  SetEvent(service.GetStopEvent());
  main.join();
  Revoke(cookies);
  std::printf("pass/%zu\t%.3f s\t%.0f files/s\n", n, seconds, n / seconds);
  std::fflush(stdout);
}

void Stop(int n) {
  const std::vector<DWORD> cookies = RegisterExtensions(n);
  CTaskweaveService service;
  std::thread main([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    service.Run();
    CoUninitialize();
  });
  while (service.WorkerCount() < static_cast<std::size_t>(n) || CountCalls(L"Initialise") < n)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every worker in its wait
  const auto start = Clock::now();
  SetEvent(service.GetStopEvent());
  main.join();
  const double seconds = Seconds(Clock::now() - start);
  Revoke(cookies);
  std::printf("stop/%d idle\t%.1f ms\n", n, seconds * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  ::setenv("VANTREL_PIPE_DIR", platform::testing::MakeTempDir("vn_bench_service.").c_str(), 1);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    ComPtr<IArchiveSystem> system = CreateSystem();
    const std::string list = (Env().root / "fragments.vnl").string();
    extrules_test::SetString(L"Software\\Vantrel\\Corvellane\\Archive", L"Pin Store", L"Fragment List");
    extrules_test::SetString(L"Software\\Vantrel\\Corvellane\\Archive", L"Fragment List", platform::WideFromUtf8(list));
    archive::MainService mainService;
    if (mainService.Start() != ERROR_SUCCESS) return 1;
    std::vector<TestFile> files;
    ULONGLONG run = 0;
    for (std::size_t n : {1000u, 10000u, 100000u}) {
      if (n <= largest) Pass(system.Get(), files, n, ++run);
    }
    Stop(50);
    mainService.Stop();
  }
  CoUninitialize();
  return 0;
}
