// process.h - where the running program lies.
#pragma once

#include <string>

namespace platform {

// The running executable's full path; empty with the last error set when it
// cannot be read.
std::wstring ExecutablePath();
// The folder of the running executable, with a trailing '/'.
std::wstring ExecutableDirectory();

}  // namespace platform
