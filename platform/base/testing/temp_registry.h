// temp_registry.h - a private registry for a test program.
//
// UseTempRegistry makes a folder with MakeTempDir (removed when the process
// exits) and points the registry file, the event log folder and the pipe
// folder into it, so that no test program sees another's keys, events or
// pipes. Call it before the first registry call of the process: the registry
// opens its file once.
#pragma once

#include "platform/base/testing/temp_dir.h"

#include <cstdlib>
#include <string>

namespace platform::testing {

// The folder made; VANTREL_REGISTRY is "<folder>/registry.db", and
// VANTREL_LOG_DIR and VANTREL_PIPE_DIR are the folder.
inline std::string UseTempRegistry(const std::string& prefix) {
  const std::string dir = MakeTempDir(prefix);
  ::setenv("VANTREL_REGISTRY", (dir + "/registry.db").c_str(), 1);
  ::setenv("VANTREL_LOG_DIR", dir.c_str(), 1);
  ::setenv("VANTREL_PIPE_DIR", dir.c_str(), 1);
  return dir;
}

}  // namespace platform::testing
