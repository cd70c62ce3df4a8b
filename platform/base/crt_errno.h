// crt_errno.h - Linux errno values as the Windows C runtime numbers them.
//
// Programs that speak to the original components report failures as C
// runtime errno numbers (the transcoder protocol's "error"), and those are
// the Windows runtime's: ENAMETOOLONG is 38 there, ETIMEDOUT 138. This table
// turns a Linux errno into that number. It is not the errno -> Win32 table of
// errors.h and shares nothing with it.
#pragma once

namespace platform {

// The Windows C runtime's number for a Linux errno; 0 for 0. An errno the
// runtime has no number for gives its EOTHER (131). Linux has one value for
// EAGAIN/EWOULDBLOCK (the runtime's EAGAIN, 11) and one for
// ENOTSUP/EOPNOTSUPP (the runtime's ENOTSUP, 129).
int CrtErrnoFromErrno(int linuxErrno);

// The runtime's EOTHER: "another error", for errno values it does not number.
constexpr int kCrtErrnoOther = 131;

}  // namespace platform
