// bench_registry.cpp - how fast the registry reads, writes and notifies.
//
// Reads and writes run against an open key. Notification latency is measured
// across processes: this program starts itself again as a writer ("--writer")
// that takes a CLOCK_MONOTONIC stamp just before each write and sends it
// back; the latency is the time from that stamp until our event fires.
// Reported as median and p99 in microseconds. Listing walks every value of
// a key by index through a fresh handle (2,000, 8,000 and 32,000 values);
// the import parses and applies a .reg text of 1,000,000 values, and
// reports the process's peak resident memory. The database is a temporary
// file unless VANTREL_REGISTRY names one.
#include "platform/registry/registry.h"
#include "platform/registry/tool/reg_file.h"
#include "platform/sync/sync.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

const wchar_t kKey[] = L"Software\\VantrelBench";

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The writer process: for each byte read from stdin, stamp, write a value,
// and send the stamp back on stdout.
int WriterMain() {
  platform::RegKey key;
  if (RegCreateKeyW(HKEY_CURRENT_USER, kKey, key.put()) != ERROR_SUCCESS) return 1;
  char c;
  DWORD n = 0;
  while (::read(0, &c, 1) == 1) {
    std::int64_t stamp = MonotonicNs();
    if (platform::RegWriteDword(key.get(), L"tick", ++n) != ERROR_SUCCESS) return 1;
    if (::write(1, &stamp, sizeof stamp) != sizeof stamp) return 1;
  }
  return 0;
}

void BM_QueryValueDword(benchmark::State& state) {
  platform::RegKey key;
  RegCreateKeyW(HKEY_CURRENT_USER, kKey, key.put());
  platform::RegWriteDword(key.get(), L"Level", 7);
  for (auto _ : state) {
    DWORD v = 0, size = sizeof v, type = 0;
    LSTATUS st = RegQueryValueExW(key.get(), L"Level", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (st != ERROR_SUCCESS) state.SkipWithError("query failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryValueDword);

void BM_QueryValueString(benchmark::State& state) {
  platform::RegKey key;
  RegCreateKeyW(HKEY_CURRENT_USER, kKey, key.put());
  platform::RegWriteString(key.get(), L"Log file directory", L"/var/log/vantrel/webbridge");
  for (auto _ : state) {
    std::wstring s;
    if (platform::RegReadString(key.get(), L"Log file directory", s) != ERROR_SUCCESS)
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryValueString);

void BM_SetValueDword(benchmark::State& state) {
  platform::RegKey key;
  RegCreateKeyW(HKEY_CURRENT_USER, kKey, key.put());
  DWORD n = 0;
  for (auto _ : state) {
    if (platform::RegWriteDword(key.get(), L"Counter", ++n) != ERROR_SUCCESS) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetValueDword);

void BM_NotifyLatencyCrossProcess(benchmark::State& state) {
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
    state.SkipWithError("pipe failed");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  char self[] = "/proc/self/exe", mode[] = "--writer";
  char* argv[] = {self, mode, nullptr};
  pid_t child = 0;
  int rc = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (rc != 0) {
    state.SkipWithError("spawn failed");
    return;
  }
  platform::RegKey key;
  RegCreateKeyW(HKEY_CURRENT_USER, kKey, key.put());
  platform::UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::vector<double> samplesUs;
  for (auto _ : state) {
    RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event.get(), TRUE);
    char go = 'g';
    std::int64_t stamp = 0;
    if (::write(toChild[1], &go, 1) != 1) break;
    if (WaitForSingleObject(event.get(), 5000) != WAIT_OBJECT_0) {
      state.SkipWithError("notification did not arrive");
      break;
    }
    std::int64_t fired = MonotonicNs();
    if (::read(fromChild[0], &stamp, sizeof stamp) != sizeof stamp) break;
    samplesUs.push_back(static_cast<double>(fired - stamp) / 1000.0);
    state.SetIterationTime(static_cast<double>(fired - stamp) / 1e9);
  }
  ::close(toChild[1]);
  ::close(fromChild[0]);
  ::waitpid(child, nullptr, 0);
  if (samplesUs.empty()) return;
  std::sort(samplesUs.begin(), samplesUs.end());
  state.counters["median_us"] = samplesUs[samplesUs.size() / 2];
  state.counters["p99_us"] = samplesUs[std::min(samplesUs.size() - 1, samplesUs.size() * 99 / 100)];
}
BENCHMARK(BM_NotifyLatencyCrossProcess)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

// Peak resident set of this process so far, in MiB.
double PeakResidentMiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_ListValues(benchmark::State& state) {
  const auto count = static_cast<DWORD>(state.range(0));
  const std::wstring path = std::wstring(kKey) + L"\\List" + std::to_wstring(count);
  {
    platform::RegKey key;
    RegCreateKeyW(HKEY_CURRENT_USER, path.c_str(), key.put());
    for (DWORD i = 0; i < count; ++i) platform::RegWriteDword(key.get(), L"value" + std::to_wstring(i), i);
  }
  for (auto _ : state) {
    platform::RegKey key;
    RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put());
    DWORD listed = 0;
    for (;; ++listed) {
      wchar_t name[64];
      DWORD nameLength = 64, value = 0, size = sizeof value;
      if (RegEnumValueW(key.get(), listed, name, &nameLength, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                        &size) != ERROR_SUCCESS)
        break;
    }
    if (listed != count) state.SkipWithError("listing stopped early");
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ListValues)->Arg(2000)->Arg(8000)->Arg(32000)->Unit(benchmark::kMillisecond);

void BM_ImportMillionValues(benchmark::State& state) {
  constexpr int kKeys = 1000, kValuesPerKey = 1000;
  std::string text = "Windows Registry Editor Version 5.00\r\n";
  for (int k = 0; k < kKeys; ++k) {
    text += "\r\n[HKEY_CURRENT_USER\\Software\\VantrelBench\\Import\\key" + std::to_string(k) + "]\r\n";
    for (int v = 0; v < kValuesPerKey; ++v) text += "\"value" + std::to_string(v) + "\"=dword:0000002a\r\n";
  }
  for (auto _ : state) {
    std::vector<vnreg::RegOp> ops;
    vnreg::ParseError error;
    if (!vnreg::ParseRegFile(text, ops, error) || vnreg::ApplyRegOps(ops) != ERROR_SUCCESS)
      state.SkipWithError("import failed");
  }
  state.SetItemsProcessed(state.iterations() * kKeys * kValuesPerKey);
  state.counters["file_MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = PeakResidentMiB();
}
BENCHMARK(BM_ImportMillionValues)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--writer") return WriterMain();
  std::string dir;
  if (std::getenv("VANTREL_REGISTRY") == nullptr) {
    dir = (std::filesystem::temp_directory_path() / "vnreg-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return 1;
    ::setenv("VANTREL_REGISTRY", (dir + "/registry.db").c_str(), 1);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!dir.empty()) std::filesystem::remove_all(dir);
  return 0;
}
