// bench_pattern_matcher.cpp - CPatternMatcher::Match on archive paths, typical and pathological.
//
// Typical: the provider's default include list and a rule with directory
// levels against paths of everyday length. Pathological: paths of thousands
// of characters, many "...\" levels, and many "*" that a backtracking engine
// would retry at every position. BM_LongestPathUnderOneMs reports, as the
// counter "chars", the longest deep path that a levels pattern still matches
// in under a millisecond. BM_StdRegexTypical is the same typical case through
// std::regex, for comparison (it cannot run the long cases at all).
#include "VNService/Extensions/Taskweave/PatternMatcher.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <regex>
#include <string>

namespace {

const wchar_t kDefaultList[] = L"*.avi; *.mov; *.mp4; *.mpg; *.mxf; *.ts; *.wmv; *.jpg; *.png";
const wchar_t kLevelsList[] = L"\\Media\\...\\Clips\\...\\*.mp4; \\Archive\\...\\*.mxf";

CPatternMatcher Make(const wchar_t* list) {
  CPatternMatcher m;
  m.SetPatterns(list);
  return m;
}

// "\Media\d\d\...\Clips\clip.mp4" of about the given length.
std::wstring DeepPath(std::size_t length, const wchar_t* leaf = L"\\Clips\\clip.mp4") {
  std::wstring path = L"\\Media";
  while (path.size() + 16 < length) path += L"\\d";
  return path + leaf;
}

void BM_MatchTypical(benchmark::State& state) {
  const CPatternMatcher m = Make(kDefaultList);
  const std::wstring hit = L"\\Media\\2024\\Interviews\\take3_final.mov";
  const std::wstring miss = L"\\Media\\2024\\Interviews\\take3_final.txt";
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Match(hit, false));
    benchmark::DoNotOptimize(m.Match(miss, false));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_MatchTypical);

void BM_MatchTypicalLevels(benchmark::State& state) {
  const CPatternMatcher m = Make(kLevelsList);
  const std::wstring hit = L"\\Media\\2024\\Spring\\Clips\\Raw\\interview.mp4";
  const std::wstring miss = L"\\Media\\2024\\Spring\\Stills\\Raw\\interview.mp4";
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Match(hit, false));
    benchmark::DoNotOptimize(m.Match(miss, false));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_MatchTypicalLevels);

void BM_StdRegexTypical(benchmark::State& state) {
  const CPatternMatcher m = Make(kDefaultList);
  const std::wregex re(m.Expression(), std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
  const std::wstring hit = L"\\Media\\2024\\Interviews\\take3_final.mov";
  const std::wstring miss = L"\\Media\\2024\\Interviews\\take3_final.txt";
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::regex_match(hit, re));
    benchmark::DoNotOptimize(std::regex_match(miss, re));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_StdRegexTypical);

// Path length in characters; a hit and a miss (the leaf differs at the end).
void BM_MatchLongPath(benchmark::State& state) {
  const CPatternMatcher m = Make(kLevelsList);
  const std::wstring hit = DeepPath(static_cast<std::size_t>(state.range(0)));
  const std::wstring miss = DeepPath(static_cast<std::size_t>(state.range(0)), L"\\Clips\\clip.mp3");
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Match(hit, false));
    benchmark::DoNotOptimize(m.Match(miss, false));
  }
  state.SetItemsProcessed(state.iterations() * 2);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_MatchLongPath)->RangeMultiplier(4)->Range(64, 65536)->Complexity();

// Number of "...\" levels in the pattern, against a 4096-character path.
void BM_MatchManyLevels(benchmark::State& state) {
  std::wstring list = L"\\Media";
  for (int i = 0; i < state.range(0); ++i) list += L"\\...";
  list += L"\\*.mp4";
  const CPatternMatcher m = Make(list.c_str());
  const std::wstring hit = DeepPath(4096);
  const std::wstring miss = DeepPath(4096, L"\\Clips\\clip.mpx");
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.Match(hit, false));
    benchmark::DoNotOptimize(m.Match(miss, false));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_MatchManyLevels)->RangeMultiplier(4)->Range(1, 64);

// "*a*a*a...*b" against a run of "a": the worst case of backtracking.
void BM_MatchManyStars(benchmark::State& state) {
  std::wstring list;
  for (int i = 0; i < 16; ++i) list += L"*a";
  list += L"*b";
  const CPatternMatcher m = Make(list.c_str());
  const std::wstring text(static_cast<std::size_t>(state.range(0)), L'a');
  for (auto _ : state) benchmark::DoNotOptimize(m.Match(text, false));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MatchManyStars)->RangeMultiplier(8)->Range(64, 32768);

double MatchMs(const CPatternMatcher& m, const std::wstring& path) {
  constexpr int kRepeats = 5;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRepeats; ++i) benchmark::DoNotOptimize(m.Match(path, false));
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / kRepeats;
}

void BM_LongestPathUnderOneMs(benchmark::State& state) {
  const CPatternMatcher m = Make(kLevelsList);
  std::size_t longest = 0;
  for (auto _ : state) {
    std::size_t low = 64, high = 64;
    while (MatchMs(m, DeepPath(high)) < 1.0 && high < (std::size_t{1} << 26)) {
      low = high;
      high *= 2;
    }
    while (high - low > 64) {
      const std::size_t middle = low + (high - low) / 2;
      (MatchMs(m, DeepPath(middle)) < 1.0 ? low : high) = middle;
    }
    longest = low;
  }
  state.counters["chars"] = static_cast<double>(longest);
}
BENCHMARK(BM_LongestPathUnderOneMs)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
