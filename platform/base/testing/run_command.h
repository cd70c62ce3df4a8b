// run_command.h - a shell command run to its end by a test or bench, its output kept.
//
// The tests and benches drive real peers (sqlite3, wrk, curl, the system's
// own tools, Python clients) through the shell; this is the one way they run
// one and read what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>

namespace platform::testing {

// The command's exit code (-1 when it could not start or did not exit
// normally) and everything it wrote to standard output. The caller quotes
// what it puts into the command and adds "2>&1" where it wants the errors.
inline std::pair<int, std::string> RunCommand(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, {}};
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::move(out)};
}

}  // namespace platform::testing
