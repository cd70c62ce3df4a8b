// spawn.h - running another program as a child process.
//
// The archive's stand-ins run outside programs (the transcoder runs ffmpeg)
// and must be able to end them whole: a child is started directly (no
// shell), in a process group of its own, with standard input from /dev/null,
// standard output discarded and standard error on a pipe whose read end the
// caller gets (non-blocking, close-on-exec). No other descriptor of the
// parent reaches the child, and its signal mask and dispositions are reset,
// so a parent that blocks SIGTERM for a signal thread does not pass that on.
#pragma once

#include "platform/base/types.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

struct ChildProcess {
  pid_t pid = -1;     // also the id of the child's process group
  int errorFd = -1;   // read end of the child's standard error
};

// How a child ended.
struct ChildExit {
  bool signalled = false;  // ended by a signal (signal holds it), else exitCode
  int exitCode = 0;
  int signal = 0;
};

// Starts program (a path, or a name looked up in PATH) with argv (argv[0]
// included). environment entries "NAME=VALUE" replace or add to the parent's
// environment; "NAME=" alone removes NAME. A Win32 code (ERROR_FILE_NOT_FOUND
// when the program cannot be found or run).
// With dieWithParent the child gets SIGKILL when the calling thread ends
// (a parent killed with SIGKILL included), and exits at once when that
// happened before it could ask for it.
DWORD StartChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                        ChildProcess& out, bool dieWithParent = false);

// Sends SIGKILL to the child's whole process group (a no-op for pid -1).
void KillChildProcessGroup(const ChildProcess& child);

// Waits for the child to end and reaps it; closes nothing. A Win32 code.
DWORD WaitChildProcess(const ChildProcess& child, ChildExit& exit);

}  // namespace platform
