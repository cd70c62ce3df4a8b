// crt_errno_test.cpp - Linux errno values in the Windows C runtime's numbering.
#include "platform/base/crt_errno.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

using platform::CrtErrnoFromErrno;

namespace {

struct CrtRow {
  const char* name;
  int linuxErrno;
  int crt;
};

const CrtRow kRows[] = {
    {"success", 0, 0},
    {"same number below 35", ENOENT, 2},
    {"EACCES", EACCES, 13},
    {"ERANGE, the last shared number", ERANGE, 34},
    {"EDEADLK moves", EDEADLK, 36},
    {"ENAMETOOLONG", ENAMETOOLONG, 38},
    {"ENOLCK", ENOLCK, 39},
    {"ENOSYS", ENOSYS, 40},
    {"ENOTEMPTY", ENOTEMPTY, 41},
    {"EILSEQ", EILSEQ, 42},
    {"EADDRINUSE opens the POSIX block", EADDRINUSE, 100},
    {"ECANCELED", ECANCELED, 105},
    {"ENOBUFS is not the runtime's 105", ENOBUFS, 119},
    {"EHOSTUNREACH", EHOSTUNREACH, 110},
    {"ELOOP", ELOOP, 114},
    {"ETIMEDOUT", ETIMEDOUT, 138},
    {"ETXTBSY", ETXTBSY, 139},
    {"EWOULDBLOCK is EAGAIN here", EWOULDBLOCK, 11},
    {"EOPNOTSUPP is ENOTSUP here", EOPNOTSUPP, 129},
    {"no runtime number: ENOTBLK", ENOTBLK, platform::kCrtErrnoOther},
    {"no runtime number: EHOSTDOWN", EHOSTDOWN, platform::kCrtErrnoOther},
    {"not an errno", 100000, platform::kCrtErrnoOther},
};

}  // namespace

TEST(CrtErrno, Table) {
  for (const auto& row : kRows) EXPECT_EQ(CrtErrnoFromErrno(row.linuxErrno), row.crt) << row.name;
}

TEST(CrtErrno, NoTwoErrnoValuesShareANumber) {
  std::map<int, int> seen;  // runtime number -> the Linux errno that gave it
  for (int e = 1; e < 200; ++e) {
    const int crt = CrtErrnoFromErrno(e);
    if (crt == platform::kCrtErrnoOther) continue;
    const auto [at, fresh] = seen.emplace(crt, e);
    EXPECT_TRUE(fresh) << "errno " << e << " and " << at->second << " both give " << crt;
  }
  EXPECT_EQ(seen.size(), 76u);  // every number the runtime defines but STRUNCATE, EOTHER and EWOULDBLOCK
}
