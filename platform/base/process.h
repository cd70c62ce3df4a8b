// process.h - where the running program lies, and its heap.
#pragma once

#include <string>

namespace platform {

// The running executable's full path; empty with the last error set when it
// cannot be read.
std::wstring ExecutablePath();
// The folder of the running executable, with a trailing '/'.
std::wstring ExecutableDirectory();

// Gives the heap's free pages back to the system (what HeapCompact does for
// a Windows heap): after a large structure is freed, the process's resident
// memory falls again instead of keeping the pages for later allocations.
void CompactHeap();

}  // namespace platform
