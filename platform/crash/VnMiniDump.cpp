// VnMiniDump.cpp - the dump tool a service runs when one of its threads faults.
//
// Command line: -p PID -t TID -e 0xPOINTERS -f FILE, with PID and TID in hex
// as the service formats them. It has gdb attach to the process and write a
// core file named FILE ("\" separators become "/"), and puts gdb's output
// (the backtraces of all threads, the faulting one named) beside it as
// FILE.log. Exit code 0 when the core file was written, 1 otherwise, 2 for a
// bad command line.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

int Usage() {
  std::fprintf(stderr, "usage: VnMiniDump -p PID -t TID -e 0xADDRESS -f FILE\n");
  return 2;
}

bool ParseHex(const char* text, unsigned long& out) {
  if (text == nullptr || *text == 0) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, 16);
  return errno == 0 && end != nullptr && *end == 0 && out != 0;
}

void MakeParents(const std::string& file) {
  for (std::size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1)) {
    ::mkdir(file.substr(0, at).c_str(), 0755);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* pidText = nullptr;
  const char* tidText = "";
  const char* pointers = "";
  std::string file;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "-p") {
      pidText = argv[i + 1];
    } else if (flag == "-t") {
      tidText = argv[i + 1];
    } else if (flag == "-e") {
      pointers = argv[i + 1];
    } else if (flag == "-f") {
      file = argv[i + 1];
    } else {
      return Usage();
    }
  }
  unsigned long pid = 0;
  if (argc % 2 == 0 || !ParseHex(pidText, pid) || file.empty()) return Usage();
  for (char& ch : file) {
    if (ch == '\\') ch = '/';
  }
  MakeParents(file);
  unsigned long tid = 0;
  const bool haveThread = ParseHex(tidText, tid);

  const std::string pidArg = std::to_string(pid);
  const std::string core = "generate-core-file " + file;
  const std::string header = "echo fault of thread " + (haveThread ? std::to_string(tid) : std::string("?")) +
                             ", exception pointers " + pointers + "\\n";
  std::vector<std::string> args = {"gdb",        "-nx", "-batch", "-p",  pidArg, "-ex", header,
                                   "-ex",        "set pagination off", "-ex", "thread apply all bt",
                                   "-ex",        core};
  std::vector<char*> gdbArgv;
  for (std::string& a : args) gdbArgv.push_back(a.data());
  gdbArgv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = file + ".log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t child = 0;
  const int rc = ::posix_spawnp(&child, "gdb", &actions, nullptr, gdbArgv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "VnMiniDump: cannot start gdb: %s\n", std::strerror(rc));
    return 1;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  struct stat info{};
  return ::stat(file.c_str(), &info) == 0 && info.st_size > 0 ? 0 : 1;
}
