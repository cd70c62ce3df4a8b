// host.h - folder creation on host paths, for the layers below the drive map.
//
// The registry store, the pipes and the event log keep their own files on
// host paths ("/var/lib/vantrel", "/run/vantrel") and sit below the drive map
// (which reads the registry), so they cannot use fs.h. This small library has
// no dependency beyond platform/base and is the one place they make folders.
#pragma once

#include "platform/base/types.h"

#include <string>

namespace platform {

// Creates the host folder and every missing parent, with mode (less the
// umask). ERROR_SUCCESS when it already exists as a folder; a part of the
// path that is a file answers ERROR_PATH_NOT_FOUND (ERROR_ALREADY_EXISTS when
// it is the folder itself), other failures their Win32 code.
DWORD CreateHostDirectoryTree(const std::string& path, unsigned mode = 0755);

}  // namespace platform
