// handle_io.h - the I/O calls every readable handle answers, and their vocabulary.
//
// Files and folders (platform/fs) and pipes (platform/pipe) are read, written,
// waited on and cancelled through the same calls, and both are opened with
// the same access, share and creation values. This header holds what the two
// share so that neither borrows it from the other. The calls are defined by
// the pipe layer, which serves pipe handles itself and every other handle
// kind through platform::HandleIo (pipe.h); whoever links platform/fs or
// platform/pipe has them.
#pragma once

#include "platform/base/types.h"

// Kept opaque (as sync.h and registry.h declare it): no layer reads a
// security descriptor.
struct SECURITY_ATTRIBUTES;

// The part of OVERLAPPED the handle kinds use. Internal holds the operation's
// Win32 result (STATUS_PENDING while it runs) and InternalHigh its byte
// count; both are written under the serving layer's lock, so read them
// through GetOverlappedResult only. Offset/OffsetHigh give a file read or
// write its position.
struct OVERLAPPED {
  ULONG_PTR Internal = 0;
  ULONG_PTR InternalHigh = 0;
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = nullptr;
};
using LPOVERLAPPED = OVERLAPPED*;

constexpr ULONG_PTR STATUS_PENDING = 0x103;

// Access, share and creation values both CreateFileW and CreateNamedPipeW take.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD GENERIC_ALL = 0x10000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// With an overlapped handle and an OVERLAPPED: TRUE when done at once (the
// event is set as well), else FALSE with ERROR_IO_PENDING. Otherwise the call
// waits. A message-mode read into a buffer shorter than the message returns
// its first part with ERROR_MORE_DATA and the rest on the next reads.
// Errors: ERROR_BROKEN_PIPE (peer gone, nothing left to read), ERROR_NO_DATA
// (write to a pipe whose peer has gone), ERROR_PIPE_LISTENING /
// ERROR_PIPE_NOT_CONNECTED (server instance without a client),
// ERROR_OPERATION_ABORTED (cancelled).
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten, OVERLAPPED* overlapped);
// The result of an operation started with overlapped. With wait FALSE and
// the operation still running: FALSE with ERROR_IO_INCOMPLETE.
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait);
// CancelIo ends the calling thread's operations on the handle, CancelIoEx the
// one started with overlapped (all of them when null); FALSE with
// ERROR_NOT_FOUND when there was none. A write that has begun to go out on a
// pipe is finished instead, so that the peer never sees half a message.
BOOL CancelIo(HANDLE file);
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
// Waits until everything written so far has been handed on (a pipe's socket,
// a file's disk).
BOOL FlushFileBuffers(HANDLE file);
