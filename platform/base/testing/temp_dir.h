// temp_dir.h - private temporary folders for test programs.
//
// CTest runs every test case in a process of its own, so a folder made per
// process must also go away with it: MakeTempDir's folders are removed, with
// all they hold, when the process that made them exits. A forked child that
// exits removes nothing of its parent's.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace platform::testing {

namespace detail {
struct TempDirs {
  pid_t owner = ::getpid();
  std::vector<std::string> paths;
  ~TempDirs() {
    if (::getpid() != owner) return;
    for (const auto& p : paths) {
      std::error_code ec;
      std::filesystem::remove_all(p, ec);
    }
  }
};
inline TempDirs& Registered() {
  static TempDirs dirs;
  return dirs;
}
}  // namespace detail

// A new folder "<temp>/<prefix>XXXXXX"; aborts when none can be made.
inline std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  detail::Registered().paths.push_back(pattern);
  return pattern;
}

}  // namespace platform::testing
