// unprivileged.h - a test acting as an ordinary user while run as root.
//
// CI runs as root, and root opens any file whatever its mode. While a
// ScopedUnprivileged lives, the process's effective user and group are
// "nobody" (65534), so a test of a file nobody may read sees what an
// ordinary user's service would. glibc applies the change to every thread,
// so servers already running in the process are covered. The folders on the
// way to the test's files must let others pass (mode 0711).
#pragma once

#include "platform/base/testing/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>

namespace platform::testing {

class ScopedUnprivileged {
 public:
  static constexpr uid_t kNobody = 65534;

  ScopedUnprivileged() : m_active(::geteuid() == 0) {
    if (m_active) m_active = ::setegid(kNobody) == 0 && ::seteuid(kNobody) == 0;
  }
  ~ScopedUnprivileged() {
    if (m_active && ::seteuid(0) == 0) (void)::setegid(0);
  }
  ScopedUnprivileged(const ScopedUnprivileged&) = delete;
  ScopedUnprivileged& operator=(const ScopedUnprivileged&) = delete;

  // False where the process was root and could not give it up.
  bool Ok() const { return m_active || ::geteuid() != 0; }

 private:
  bool m_active;
};

// A copy of a test's script, with the modules it imports (paths relative to
// the script's folder), in one folder that every user may read. A child run
// as nobody cannot reach a source tree kept in a home folder of mode 0700;
// the copies sit side by side, so the script finds its modules beside it.
// One copy per script and process, removed when the process exits.
inline std::string ReadableByAnyone(const std::string& script, std::initializer_list<const char*> modules = {}) {
  namespace fs = std::filesystem;
  static std::mutex lock;
  static std::map<std::string, std::string> copies;
  const std::lock_guard<std::mutex> hold(lock);
  if (auto it = copies.find(script); it != copies.end()) return it->second;
  const fs::path dir = MakeTempDir("vn_script.");
  ::chmod(dir.c_str(), 0755);
  const fs::path from = fs::path(script).parent_path();
  auto copy = [&](const fs::path& file) {
    const fs::path to = dir / file.filename();
    fs::copy_file(file, to, fs::copy_options::overwrite_existing);
    ::chmod(to.c_str(), 0644);
    return to.string();
  };
  for (const char* module : modules) copy(from / module);
  return copies[script] = copy(script);
}

}  // namespace platform::testing

