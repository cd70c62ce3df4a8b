// temp_registry.h - points VANTREL_REGISTRY at a fresh file for one test program.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace platform::testing {

// Created before main (and so before the registry is first opened); the
// file is removed when the program ends.
class TempRegistry {
 public:
  TempRegistry() {
    char path[] = "/tmp/vn_com_test_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    path_ = path;
    std::remove(path_.c_str());  // the registry creates its own database
    setenv("VANTREL_REGISTRY", path_.c_str(), 1);
  }
  ~TempRegistry() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path_ + suffix).c_str());
  }

 private:
  std::string path_;
};

inline TempRegistry g_tempRegistry;

}  // namespace platform::testing
