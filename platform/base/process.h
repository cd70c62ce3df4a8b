// process.h - where the running program lies, and its heap.
#pragma once

#include <string>

namespace platform {

// The running executable's full path; empty with the last error set when it
// cannot be read.
std::wstring ExecutablePath();
// The folder of the running executable, with a trailing '/'.
std::wstring ExecutableDirectory();

// Hands the allocator's free memory back to the system. The C library keeps
// what a burst of work freed in its per-thread arenas, so after a flood the
// resident size stays at the flood's peak until this is called.
void ReleaseFreeMemory();
// Bounds the C library's allocation arenas (by default eight per core, one
// per thread up to that). A service with hundreds of threads otherwise keeps
// a partly used arena for nearly every one of them. Call before threads start.
void LimitAllocatorArenas(int arenas);

}  // namespace platform
