// ControlChannel.h - the text commands that drive the main service stand-in
// from another process.
//
// The program vnarchive-mainsvc serves "\\.\pipe\<name>.Control" beside its
// main pipe; each message is one command line and gets one reply line
// ("ok ..." or "error ..."):
//   notify TYPE CODE DATABYTES        a well-formed notification to subscribers
//   record SIZEFIELD TYPE CODE BYTES  a notification with any header, to everyone
//   short BYTES                       a message of BYTES zero bytes, to everyone
//   oversize BYTES TYPE CODE          a message of BYTES ending in a notification of TYPE, CODE
//   stall BYTES                       BYTES of a longer message, then nothing on those connections
//   fault none|overcapacity|short|unknownid|duplicate|silent
//   fault late MS | fault status NUMBER
//   drop | restart MS | busy on|off | state | quit
//   volume LETTER                     also serve that drive's volume endpoint
//   vfault none|wrongname|flagclear | vfault open CODE
//   pollwait MS | losecursors
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include "archive/mainsvc/MainService.h"

#include <string>

namespace archive {

// Runs one command; quit is set by "quit".
std::string RunControlCommand(MainService& service, const std::string& line, bool& quit);

// Serves the control pipe until "quit" (one client at a time); a Win32 code.
DWORD ServeControlPipe(MainService& service, const std::wstring& controlPipeName);

}  // namespace archive
