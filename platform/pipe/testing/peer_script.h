// peer_script.h - where a test finds the Python pipe peer (pipe_peer.py).
//
// The script and the framing module it imports are copied where a client
// run as nobody can read them too (see ReadableByAnyone). The including
// test defines PIPE_PEER_SCRIPT, the script's path in the source tree.
#pragma once

#include "platform/base/testing/unprivileged.h"

#include <string>

namespace platform::testing {

inline const std::string& PipePeerScript() {
  static const std::string script = ReadableByAnyone(PIPE_PEER_SCRIPT, {"../testing/pipe_wire.py"});
  return script;
}

}  // namespace platform::testing
