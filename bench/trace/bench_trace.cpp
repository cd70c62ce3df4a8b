// bench_trace.cpp - what a trace line costs: filtered, stored (1 and 8
// threads, beside spdlog writing the same lines to an in-memory sink), an
// error trigger and the wait it imposes on other tracing threads, and the
// block coder's speed and ratio on real blocks beside zlib level 1.
#include "platform/base/bytes.h"
#include "trace/HuffmanCoder.h"
#include "trace/TraceBuffer.h"
#include "trace/TraceFile.h"
#include "trace/TraceLogger.h"

#include "TrcBench.h"

#include <benchmark/benchmark.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

class Source : public CTraceLoggable {
 public:
  std::string GetTraceName() const override { return "BenchSource"; }
};

std::filesystem::path g_dir;
Source g_source;

CTraceLogger& Logger() {
  static CTraceLogger* logger = [] {
    auto* l = new CTraceLogger;
    l->SetDirectory((g_dir / "logs").wstring());
    l->SetFilePrefix(L"Bench");
    return l;
  }();
  return *logger;
}

void BM_FilteredLine(benchmark::State& state) {
  CTraceLogger& logger = Logger();
  int i = 0;
  for (auto _ : state) logger.Trace(&g_source, BENCH_FILTERED, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredLine);

void BM_StoredLine(benchmark::State& state) {
  CTraceLogger& logger = Logger();
  int i = 0;
  for (auto _ : state) logger.Trace(&g_source, BENCH_REQUEST, L"/api/items", L"10.0.0.7", 200, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoredLine)->Threads(1)->Threads(8)->UseRealTime();

std::shared_ptr<spdlog::logger> Spdlog() {
  static auto logger = [] {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10000);
    auto l = std::make_shared<spdlog::logger>("bench", sink);
    l->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
    return l;
  }();
  return logger;
}

void BM_SpdlogLine(benchmark::State& state) {
  auto logger = Spdlog();
  unsigned i = 0;
  for (auto _ : state)
    logger->info("Request {} from {} answered {} in {} ms.", "/api/items", "10.0.0.7", 200, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogLine)->Threads(1)->Threads(8)->UseRealTime();

// An error line with 10000 lines held: keep the last 1000 and save every
// held file.
void BM_ErrorTrigger(benchmark::State& state) {
  CTraceLogger logger;
  logger.SetDirectory((g_dir / "trigger").wstring());
  logger.SetFilePrefix(L"Trigger");
  for (int i = 0; i < 10000; ++i) logger.Trace(&g_source, BENCH_REQUEST, L"/api/items", L"10.0.0.7", 200, i);
  for (auto _ : state) logger.Trace(&g_source, BENCH_ERROR, L"/api/items", 0x80004005u);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ErrorTrigger)->Unit(benchmark::kMicrosecond);

// Real blocks: closed blocks of a buffer filled with request lines.
std::vector<std::vector<BYTE>> RealBlocks() {
  CTraceLogger logger;
  std::vector<std::vector<BYTE>> blocks;
  ULONGLONG line = 0, time = 1700000000000ULL;
  const wchar_t* paths[] = {L"/api/items", L"/index.html", L"/api/search?q=alpha", L"/media/clip-0042.mp4"};
  for (int b = 0; b < 32; ++b) {
    CTraceFile file(&logger, line, 0);
    CTraceBuffer buffer(line, file);
    while (true) {
      // Encode the arguments as the logger would: two strings, two integers.
      std::vector<BYTE> args;
      auto str = [&](const wchar_t* s) {
        const std::size_t n = std::wcslen(s);
        args.push_back(1);
        platform::AppendBe(args, n, 2);
        for (std::size_t k = 0; k < n; ++k) args.push_back(static_cast<BYTE>(s[k]));
      };
      str(paths[line % 4]);
      str(L"10.0.0.7");
      args.insert(args.end(), {5, 200, 0});
      args.push_back(13);
      platform::AppendLe16(args, static_cast<WORD>(line));
      CTraceBuffer lineBuffer;
      time += line % 3;
      BYTE* place = buffer.AddLine(BENCH_REQUEST + static_cast<DWORD>(line % 3), 0, time,
                                   static_cast<DWORD>(args.size()), lineBuffer);
      if (place == nullptr) break;
      std::copy(args.begin(), args.end(), place);
      ++line;
    }
    const BYTE* block = buffer.CloseBlock();
    blocks.emplace_back(block, block + buffer.GetClosedLength());
  }
  return blocks;
}

void BM_HuffmanBlocks(benchmark::State& state) {
  static const auto blocks = RealBlocks();
  std::vector<BYTE> out(40000);
  std::size_t in = 0, packed = 0;
  for (auto _ : state) {
    for (const auto& block : blocks) {
      CHuffmanCoder coder;
      coder.BuildCodes(block.data(), static_cast<DWORD>(block.size()));
      coder.Encode(block.data(), static_cast<DWORD>(block.size()), out.data(), out.size());
      in += block.size();
      packed += coder.GetCompressedSize();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(in));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(in);
}
BENCHMARK(BM_HuffmanBlocks)->Unit(benchmark::kMicrosecond);

void BM_ZlibLevel1Blocks(benchmark::State& state) {
  static const auto blocks = RealBlocks();
  std::vector<BYTE> out(compressBound(40000));
  std::size_t in = 0, packed = 0;
  // One stream reset per block, so the window is not allocated every time.
  z_stream stream{};
  deflateInit(&stream, 1);
  for (auto _ : state) {
    for (const auto& block : blocks) {
      deflateReset(&stream);
      stream.next_in = const_cast<BYTE*>(block.data());
      stream.avail_in = static_cast<uInt>(block.size());
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, Z_FINISH);
      in += block.size();
      packed += out.size() - stream.avail_out;
    }
  }
  deflateEnd(&stream);
  state.SetBytesProcessed(static_cast<int64_t>(in));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(in);
}
BENCHMARK(BM_ZlibLevel1Blocks)->Unit(benchmark::kMicrosecond);

// How long tracing threads wait while another thread's error line saves:
// the longest and the mean Trace call of 4 threads, with and without a
// trigger every 20 ms.
void MeasureTriggerWait() {
  for (bool triggers : {false, true}) {
    CTraceLogger logger;
    logger.SetDirectory((g_dir / (triggers ? "wait-on" : "wait-off")).wstring());
    for (int i = 0; i < 10000; ++i) logger.Trace(&g_source, BENCH_REQUEST, L"/warm", L"10.0.0.7", 200, i);
    std::atomic<bool> stop{false};
    std::atomic<long long> longestNs{0}, totalNs{0}, calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        long long longest = 0, total = 0, n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
          const auto start = std::chrono::steady_clock::now();
          logger.Trace(&g_source, BENCH_REQUEST, L"/api/items", L"10.0.0.7", 200, static_cast<unsigned>(n));
          const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start).count();
          longest = std::max(longest, ns);
          total += ns;
          ++n;
        }
        long long seen = longestNs.load();
        while (longest > seen && !longestNs.compare_exchange_weak(seen, longest)) {
        }
        totalNs += total;
        calls += n;
      });
    int saves = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (triggers) {
        logger.Trace(&g_source, BENCH_ERROR, L"/api/items", 0x80004005u);
        ++saves;
      }
    }
    stop = true;
    for (auto& t : threads) t.join();
    std::printf("trace wait, 4 threads, %s: %lld calls, mean %.0f ns, longest %.1f us (%d triggers)\n",
                triggers ? "error trigger every 20 ms" : "no triggers", calls.load(),
                static_cast<double>(totalNs.load()) / static_cast<double>(calls.load()), longestNs.load() / 1000.0,
                saves);
  }
}

}  // namespace

// The machine is shared: every run says on what load it was taken.
void PrintLoad(const char* when) {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3)
    std::printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
  std::fflush(stdout);
}

int main(int argc, char** argv) {
  char pattern[] = "/tmp/vn_bench_trace_XXXXXX";
  g_dir = mkdtemp(pattern);
  setenv("VANTREL_REGISTRY", (g_dir / "registry.db").c_str(), 1);
  if (CTraceLogger::SetMessageModule(L"TrcBench") != 0) {
    std::fprintf(stderr, "bench_trace: TrcBench.msg not found beside the program\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  PrintLoad("before");
  benchmark::RunSpecifiedBenchmarks();
  MeasureTriggerWait();
  PrintLoad("after");
  benchmark::Shutdown();
  std::filesystem::remove_all(g_dir);
  return 0;
}
