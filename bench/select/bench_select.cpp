// bench_select.cpp - what FindRequestHandler costs for a cached hit and for a search of a large folder.
//
// One run fills a temp folder with 10,000 handler files ("f00000.GET.txt" to
// "f09999.GET.txt") as the root of a host without a login location, and
// times in process, without HTTP: a cached hit (the same key again and
// again), a first look-up that searches and finds (the cache emptied before
// each), and a miss (level 0 misses are never cached, so each one searches
// the folder). The temp folder and its registry are removed at the end.
#include "REST APIs/HTTP Service/Listener.h"
#include "platform/base/testing/temp_dir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kFiles = 10000;

web::http::http_request RequestFor(const std::string& path) {
  web::http::http_request request(web::http::methods::GET);
  request.set_request_uri(web::uri(path));
  return request;
}

template <class F>
double NanosecondsPer(int count, F&& call) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) call(i);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / count;
}

}  // namespace

int main() {
  const std::string dir = platform::testing::MakeTempDir("bench-select-");
  setenv("VANTREL_REGISTRY", (dir + "/registry.db").c_str(), 1);
  const std::filesystem::path root = std::filesystem::path(dir) / "root";
  std::filesystem::create_directories(root);
  char name[32];
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "f%05d.GET.txt", i);
    std::ofstream(root / name) << "x";
  }
  CHTTPServer::CListener listener(nullptr, {{0, platform::WideFromUtf8(root.string())}}, {}, {}, {}, 0, nullptr,
                                  "bench");
  int failures = 0;
  auto find = [&](const std::string& path, bool expectFound) {
    const auto result = listener.FindRequestHandler(RequestFor(path));
    // A level 0 miss answers the redirect handler, so "found" means a file handler here.
    if ((listener.HandlerCacheSize() > 0) != expectFound) ++failures;
  };

  find("/f05000", true);
  const double hit = NanosecondsPer(200000, [&](int) { find("/f05000", true); });
  const double found = NanosecondsPer(500, [&](int i) {
    listener.ClearHandlerCache();
    std::snprintf(name, sizeof name, "/f%05d", (i * 7919) % kFiles);
    find(name, true);
  });
  listener.ClearHandlerCache();
  const double miss = NanosecondsPer(500, [&](int i) {
    std::snprintf(name, sizeof name, "/g%05d", i);
    find(name, false);
  });

  std::printf("FindRequestHandler over a folder of %d files\n", kFiles);
  std::printf("  %-40s %12.0f ns\n", "cached hit", hit);
  std::printf("  %-40s %12.0f ns\n", "uncached look-up that finds its file", found);
  std::printf("  %-40s %12.0f ns\n", "miss (searched every time at level 0)", miss);
  std::filesystem::remove_all(dir);
  if (failures != 0) std::printf("%d look-ups gave the wrong answer\n", failures);
  return failures == 0 ? 0 : 1;
}
