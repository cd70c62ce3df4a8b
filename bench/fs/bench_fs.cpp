// bench_fs.cpp - how fast FindFirstFileW searches a large folder, beside find(1).
//
// One folder of 10,000 files on drive D: (a temporary registry maps it). The
// search reads and sorts the whole folder on every FindFirstFileW, so a
// search for one exact name costs about as much as listing everything; find
// runs as a process of its own (its start-up included), printing to
// /dev/null, over the same folder with the same patterns.
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kFiles = 10000;

struct Folder {
  std::string host;
  Folder() {
    const std::string base = platform::testing::MakeTempDir("vnfs-bench-");
    ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
    host = base + "/big";
    ::mkdir(host.c_str(), 0755);
    for (int i = 0; i < kFiles; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "/File-%05d.%s", i, i % 10 == 7 ? "TXT" : "dat");
      const int fd = ::open((host + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
    platform::RegKey map;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::kDriveMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, map.put(),
                    nullptr);
    platform::RegWriteString(map.get(), L"D:", platform::WideFromUtf8(base));
  }
};

const Folder& TheFolder() {
  static const Folder folder;
  return folder;
}

std::size_t Search(const wchar_t* pattern) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::size_t found = 1;
  while (FindNextFileW(search, &data)) ++found;
  FindClose(search);
  return found;
}

void RunSearch(benchmark::State& state, const wchar_t* pattern, std::size_t expected) {
  TheFolder();
  for (auto _ : state) {
    const std::size_t found = Search(pattern);
    if (found != expected) state.SkipWithError("unexpected number of names");
    benchmark::DoNotOptimize(found);
  }
  state.counters["names/s"] = benchmark::Counter(static_cast<double>(kFiles) * state.iterations(),
                                                 benchmark::Counter::kIsRate);
}

void RunFind(benchmark::State& state, std::vector<std::string> args) {
  args.insert(args.begin(), {"find", TheFolder().host, "-maxdepth", "1"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("find could not start");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  state.counters["names/s"] = benchmark::Counter(static_cast<double>(kFiles) * state.iterations(),
                                                 benchmark::Counter::kIsRate);
}

// "." and ".." are listed too.
void BM_FindFirstFile_All(benchmark::State& state) { RunSearch(state, L"D:\\big\\*", kFiles + 2); }
void BM_FindFirstFile_Suffix(benchmark::State& state) { RunSearch(state, L"D:\\big\\*7.txt", kFiles / 10); }
void BM_FindFirstFile_OneName(benchmark::State& state) { RunSearch(state, L"D:\\big\\file-05000.DAT", 1); }
void BM_Find_All(benchmark::State& state) { RunFind(state, {}); }
void BM_Find_Suffix(benchmark::State& state) { RunFind(state, {"-iname", "*7.txt"}); }
void BM_Find_OneName(benchmark::State& state) { RunFind(state, {"-iname", "file-05000.DAT"}); }

void BM_OpenClose(benchmark::State& state) {
  TheFolder();
  for (auto _ : state) {
    HANDLE h = CreateFileW(L"D:\\big\\File-05000.dat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) state.SkipWithError("open failed");
    CloseHandle(h);
  }
}

BENCHMARK(BM_FindFirstFile_All)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Find_All)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FindFirstFile_Suffix)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Find_Suffix)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FindFirstFile_OneName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Find_OneName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenClose)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
