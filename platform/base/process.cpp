// process.cpp - the running program's path, from /proc/self/exe, and its heap.
#include "platform/base/process.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

std::wstring ExecutablePath() {
  std::vector<char> path(4096);
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) {
    SetLastError(Win32FromErrno(errno));
    return {};
  }
  return WideFromUtf8(std::string(path.data(), static_cast<std::size_t>(n)));
}

std::wstring ExecutableDirectory() {
  std::wstring path = ExecutablePath();
  if (path.empty()) return L"./";
  path.erase(path.rfind(L'/') + 1);
  return path;
}

void CompactHeap() {
  // glibc returns memory at the top of an arena by itself, but not free
  // pages below live blocks, nor those of the other threads' arenas.
  malloc_trim(0);
}

}  // namespace platform
