// unprivileged.h - a test acting as an ordinary user while run as root.
//
// CI runs as root, and root opens any file whatever its mode. While a
// ScopedUnprivileged lives, the process's effective user and group are
// "nobody" (65534), so a test of a file nobody may read sees what an
// ordinary user's service would. glibc applies the change to every thread,
// so servers already running in the process are covered. The folders on the
// way to the test's files must let others pass (mode 0711).
#pragma once

#include <unistd.h>

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

}  // namespace platform::testing
