// bench_worker.cpp - pins drained by an extension worker, beside a bare loop doing the same archive work.
//
// Runs against the archive stand-in (registered into a private registry) with
// the stub provider, as the worker tests do, and prints one line per run:
//   instant/ok       10,000 pins whose provider has nothing to do (the worker releases)
//   instant/pending  10,000 pins accepted with E_PENDING and run on "ExtensionsWorker"
//   bare loop        the same walk and archive calls without a worker or provider
//   burst/<cap>      10,000 pins, E_PENDING, 10 ms of work each, capacity unlimited or 16:
//                    drain time, peak threads of the process, peak resident memory
// Usage: bench_worker [pins [run]] (10000 pins by default; run: a name prefix, all runs by default).
#include "VNService/Extensions/Taskweave/TaskweaveService.h"
#include "VNService/Extensions/Taskweave/tests/WorkerTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace worker_test;

namespace {

using Clock = std::chrono::steady_clock;

long StatusField(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return 0;
}

// Samples the process's thread count until stopped; keeps the peak.
class ThreadPeak {
 public:
  ThreadPeak() : m_sampler([this] {
    while (!m_stop.load()) {
      m_peak.store(std::max(m_peak.load(), StatusField("Threads")));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }) {}
  ~ThreadPeak() { Stop(); }
  long Stop() {
    m_stop.store(true);
    if (m_sampler.joinable()) m_sampler.join();
    return m_peak.load();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_peak{0};
  std::thread m_sampler;
};

struct Run {
  const char* name;
  std::map<std::wstring, DWORD> numbers;
  std::map<std::wstring, std::wstring> texts;
};

int g_clsid = 100;

std::vector<TestFile> MakeFiles(IArchiveSystem* system, const std::string& folder, int count) {
  std::vector<TestFile> files;
  files.reserve(count);
  for (int i = 0; i < count; ++i) files.push_back(MakeFile(system, folder + "/f" + std::to_string(i) + ".mov"));
  return files;
}

void RunWorker(IArchiveSystem* system, const Run& run, int pins) {
  CTaskweaveService app;
  const GUID clsid = TestClsid(g_clsid++);
  const std::wstring clsidString = platform::FormatGuid(clsid);
  const std::wstring key = kExtensionsKey + clsidString;
  for (const auto& [name, value] : run.numbers) extrules_test::SetDword(key, name, value);
  for (const auto& [name, value] : run.texts) extrules_test::SetString(key, name, value);
  ComPtr<IExtensionInit> init;
  CreateStubProvider(init.ReleaseAndGetAddressOf());
  init->Initialise(ComBstr(key), system);
  ComPtr<IProviderOperations> provider;
  init.As(&provider);

  CTestElements elements;
  const std::vector<TestFile> files = MakeFiles(system, run.name, pins);
  std::vector<std::wstring> names;
  names.reserve(pins);
  for (int i = 0; i < pins; ++i) names.push_back(Pin(elements, files[i], clsidString, i + 1, L"Preview"));

  auto worker = std::make_shared<CExtensionWorker>(system, provider.Get(), clsid, &CExtensionWorker::TraceLog);
  worker->SetPostProcessFunction(app.PostProcessFunctionOf(worker));
  worker->SetElementWalkFactory(elements.Factory());
  const long rssBefore = StatusField("VmRSS");
  ThreadPeak threads;
  const auto begin = Clock::now();
  HANDLE stop = app.GetStopEvent();
  app.StartThread("ExtensionRecordsWorker", worker.get(), &CExtensionWorker::ProcessRecords,
                  std::function<bool()>([stop] { return WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; }), stop);
  // The check reads pins through the same registry the worker writes: while
  // it runs it reads only the last pin, every 5 ms, so that it does not
  // compete with the worker (the bare loop has no such reader). Pins come
  // out in walk order, more or less: once the last one is released, every
  // pin is checked, and a pin still set moves the end to when it is released.
  while (IsPinned(files.back(), names.back())) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto end = Clock::now();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!IsPinned(files[i], names[i])) continue;
    while (IsPinned(files[i], names[i])) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    end = Clock::now();
  }
  while (worker->InProgressCount() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    end = Clock::now();
  }
  const double seconds = std::chrono::duration<double>(end - begin).count();
  const long peak = threads.Stop();
  SetEvent(stop);
  app.WaitForExit(120000);
  // Passes over the list: over the tests' list a released pin stays, so each
  // pass after the first reads every released pin again.
  std::printf("%-18s %6d pins  %8.3f s  %9.0f pins/s  passes %3d  peak threads %5ld  peak RSS %7ld KiB (+%ld)\n",
              run.name, pins, seconds, pins / seconds, elements.Finds(), peak, StatusField("VmHWM"),
              StatusField("VmRSS") - rssBefore);
  std::fflush(stdout);
}

// The same walk and archive calls, with the pin released at once.
void RunBareLoop(IArchiveSystem* system, int pins) {
  CTestElements elements;
  const std::wstring clsidString = platform::FormatGuid(TestClsid(g_clsid++));
  const std::vector<TestFile> files = MakeFiles(system, "bare", pins);
  for (int i = 0; i < pins; ++i) Pin(elements, files[i], clsidString, i + 1, L"Preview");
  const auto begin = Clock::now();
  auto walk = elements.Factory()();
  walk->Open();
  walk->Find(clsidString);
  CPinnedElement e;
  DWORD code = 0;
  while (walk->Next(e, code) == CPinnedElementWalk::Step::kElement) {
    ComPtr<IArchiveObject> object;
    system->GetArchiveObject(ComBstr(e.keyString), object.ReleaseAndGetAddressOf());
    ComPtr<IArchiveFile> file;
    object->GetFile(e.id1, e.id2, e.id0, file.ReleaseAndGetAddressOf());
    ComPtr<IArchivePins> pinsFace;
    file.As(&pinsFace);
    ComPtr<IArchivePin> pin;
    pinsFace->GetPin(ComVariant(ExtensionNameCache::PinNameText(e.name, e.value)), pin.ReleaseAndGetAddressOf());
    ComVariant value;
    pin->GetValue(&value);
    pin->SetValue(ComVariant());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  std::printf("%-18s %6d pins  %8.3f s  %9.0f pins/s\n", "bare loop", pins, seconds, pins / seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int pins = argc > 1 ? std::atoi(argv[1]) : 10000;
  const std::string only = argc > 2 ? argv[2] : "";
  const Run runs[] = {
      {"instant/ok", {}, {{L"Schedule", L"ok"}}},
      {"instant/pending", {}, {{L"Schedule", L"pending"}}},
      {"bare loop", {}, {}},
      {"burst/unlimited", {{L"Execute Delay", 10}}, {{L"Schedule", L"pending"}}},
      {"burst/16", {{L"Execute Delay", 10}, {L"Capacity", 16}}, {{L"Schedule", L"pending"}}},
  };
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    ComPtr<IArchiveSystem> system = CreateSystem();
    for (const Run& run : runs) {
      if (std::string(run.name).rfind(only, 0) != 0) continue;
      if (std::string(run.name) == "bare loop") RunBareLoop(system.Get(), pins);
      else RunWorker(system.Get(), run, pins);
    }
  }
  CoUninitialize();
  return 0;
}
