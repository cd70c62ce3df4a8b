// host.cpp - folder creation on host paths.
#include "platform/fs/host.h"

#include "platform/base/errors.h"

#include <sys/stat.h>

#include <cerrno>

namespace platform {

DWORD CreateHostDirectoryTree(const std::string& path, unsigned mode) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  // Each prefix ending before a "/" is a parent; the whole path is the last.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty() && ::mkdir(part.c_str(), mode) != 0) {
      const int err = errno;
      struct stat st {};
      if (err != EEXIST) return Win32FromErrnoForPath(err, part, ErrnoContext::CreateDirectory);
      if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return end == std::string::npos ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND;
    }
    if (end == std::string::npos) return ERROR_SUCCESS;
  }
}

}  // namespace platform
