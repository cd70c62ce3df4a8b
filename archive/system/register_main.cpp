// register_main.cpp - vnarchive-register: registers or unregisters the archive system object.
//
//   vnarchive-register [/u] [path-to-library]
//
// Loads the library (by default libvnarchive_system.so beside this program)
// and calls its DllRegisterServer or, with /u, DllUnregisterServer, as
// regsvr32 does. The registry is the one VANTREL_REGISTRY names.
#include "platform/base/errors.h"
#include "platform/com/com.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  bool unregister = false;
  std::string library;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "/u") == 0 || std::strcmp(argv[i], "-u") == 0) {
      unregister = true;
    } else if (library.empty()) {
      library = argv[i];
    } else {
      std::fprintf(stderr, "usage: vnarchive-register [/u] [path-to-library]\n");
      return 2;
    }
  }
  if (library.empty()) {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    library = (self.parent_path() / "libvnarchive_system.so").string();
  }
  // The library registers the path it was loaded from, so make it absolute
  // (a bare name would also send dlopen searching the library path).
  library = std::filesystem::absolute(library).string();

  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "vnarchive-register: cannot load %s: %s\n", library.c_str(), dlerror());
    return 1;
  }
  const char* exportName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<PFN_DllRegisterServer>(dlsym(module, exportName));
  if (entry == nullptr) {
    std::fprintf(stderr, "vnarchive-register: %s has no %s\n", library.c_str(), exportName);
    dlclose(module);
    return 1;
  }
  const HRESULT hr = entry();
  dlclose(module);
  if (FAILED(hr)) {
    std::fprintf(stderr, "vnarchive-register: %s failed: 0x%08X\n", exportName, static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("%s succeeded for %s\n", exportName, library.c_str());
  return 0;
}
