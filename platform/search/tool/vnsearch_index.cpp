// vnsearch-index - fills the search index now and, with --watch, keeps it current.
//
//   vnsearch-index            reindex every configured folder, print the counts
//   vnsearch-index --watch    the same, then follow changes until SIGINT/SIGTERM
//
// Settings: HKLM "Software\Vantrel\Search" ("Index File", "Folders").
#include "platform/search/index.h"

#include "platform/base/text.h"
#include "platform/sync/sync.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv) {
  const bool watch = argc > 1 && std::strcmp(argv[1], "--watch") == 0;
  if (argc > 2 || (argc == 2 && !watch)) {
    std::fprintf(stderr, "usage: vnsearch-index [--watch]\n");
    return 1;
  }
  // Blocked before any thread starts, so only the signal thread takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  vnsearch::IndexSettings settings;
  if (vnsearch::ReadIndexSettings(settings) != ERROR_SUCCESS) {
    std::fprintf(stderr, "vnsearch-index: no \"Index File\" under HKLM\\Software\\Vantrel\\Search\n");
    return 2;
  }
  vnsearch::Index index;
  DWORD rc = index.Open(settings.indexFile, true);
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "vnsearch-index: cannot open %s (error %lu)\n",
                 platform::Utf8FromWide(settings.indexFile).c_str(), static_cast<unsigned long>(rc));
    return 3;
  }
  int failures = 0;
  for (const auto& folder : settings.folders) {
    vnsearch::IndexCounts counts;
    rc = index.Reindex(folder, &counts);
    const std::string name = platform::Utf8FromWide(folder);
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "vnsearch-index: %s: error %lu\n", name.c_str(), static_cast<unsigned long>(rc));
      ++failures;
      continue;
    }
    std::printf("%s: %llu files, %llu folders\n", name.c_str(), static_cast<unsigned long long>(counts.files),
                static_cast<unsigned long long>(counts.folders));
  }
  std::fflush(stdout);
  if (!watch || failures > 0) return failures > 0 ? 4 : 0;

  platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread([&signals, handle = stop.get()] {
    int which = 0;
    sigwait(&signals, &which);
    SetEvent(handle);
  }).detach();
  rc = vnsearch::Follow(settings.indexFile, settings.folders, stop.get(), [] {
    std::printf("watching\n");
    std::fflush(stdout);
  });
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "vnsearch-index: watch failed (error %lu)\n", static_cast<unsigned long>(rc));
    return 5;
  }
  return 0;
}
