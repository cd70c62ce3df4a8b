// pipe.h - named pipes in the Windows shape, over Unix-domain sockets.
//
// "\\.\pipe\NAME" is the socket file NAME in the folder VANTREL_PIPE_DIR
// (default /run/vantrel, created when missing). Every instance of one name in
// a process shares one listening socket; the first instance creates it and
// the last one to close removes it. A client is admitted only while an
// instance is free (created, or reconnected after DisconnectNamedPipe), so
// CreateFileW answers ERROR_PIPE_BUSY exactly when Windows would. Messages
// keep their boundaries at any size; see README.md for the wire format. A
// connection that does not ask to open within 5 s is closed, and accepting
// pauses briefly while the process has no descriptor left.
//
// Overlapped operations complete on the pipe layer's own I/O thread, which
// signals the OVERLAPPED's hEvent (a sync.h event), so a caller may wait on
// it together with a stop event. Received bytes are staged inside the pipe
// and copied into the caller's buffer only when a read completes, so a
// cancelled read never consumes data and never touches its buffer again.
// Write data is copied when WriteFile is called.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/handle_io.h"
#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The pipe layer reads no security descriptor (SECURITY_ATTRIBUTES stays
// opaque). The socket file is created mode 0666 (anyone may connect), which
// is the intent of the only DACL the system builds for a pipe (Everyone
// read/write, creator owner all); platform::SetPipeAccess narrows that for a
// name. OVERLAPPED, the access, share and creation values and the I/O calls
// are those of handle_io.h, which files share.

constexpr DWORD FILE_FLAG_FIRST_PIPE_INSTANCE = 0x00080000u;

// CreateNamedPipeW open mode and pipe mode.
constexpr DWORD PIPE_ACCESS_INBOUND = 0x1;
constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x2;
constexpr DWORD PIPE_ACCESS_DUPLEX = 0x3;
constexpr DWORD PIPE_TYPE_BYTE = 0x0;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x4;
constexpr DWORD PIPE_READMODE_BYTE = 0x0;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x2;
constexpr DWORD PIPE_WAIT = 0x0;
constexpr DWORD PIPE_NOWAIT = 0x1;
constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;

// WaitNamedPipeW time-outs.
constexpr DWORD NMPWAIT_USE_DEFAULT_WAIT = 0;
constexpr DWORD NMPWAIT_WAIT_FOREVER = 0xFFFFFFFFu;

// --- Server ---
// Creates one instance of the pipe. ERROR_INVALID_NAME for a name outside
// "\\.\pipe\", ERROR_PIPE_BUSY when maxInstances instances already exist,
// ERROR_ACCESS_DENIED when the name is served by another process (or with
// FILE_FLAG_FIRST_PIPE_INSTANCE when it already exists here), and
// ERROR_INVALID_PARAMETER for a different instance count than the first
// instance gave. defaultTimeout is what NMPWAIT_USE_DEFAULT_WAIT waits
// (0 means 50 ms). Buffer sizes are accepted and ignored.
HANDLE CreateNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outBufferSize,
                        DWORD inBufferSize, DWORD defaultTimeout, SECURITY_ATTRIBUTES* attributes);
// Makes the instance available to one client and waits for it. FALSE with
// ERROR_PIPE_CONNECTED when a client is already connected, ERROR_NO_DATA when
// that client already went away, ERROR_IO_PENDING (overlapped) while waiting.
BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped);
// Drops the client (it reads ERROR_BROKEN_PIPE); the instance takes no new
// client until ConnectNamedPipe is called again. Pending reads and writes end
// with ERROR_PIPE_NOT_CONNECTED.
BOOL DisconnectNamedPipe(HANDLE pipe);

// --- Client ---
// A client opens a pipe with CreateFileW of platform/fs, which hands
// "\\.\pipe\" names to platform::OpenPipeClient.
// TRUE as soon as an instance is free (it may be taken again before the
// caller's CreateFileW); FALSE with ERROR_SEM_TIMEOUT after timeout ms, or
// ERROR_FILE_NOT_FOUND when no server has the name.
BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeout);
// Read mode (PIPE_READMODE_MESSAGE or PIPE_READMODE_BYTE); the other two
// arguments must be null. Either end may call it.
BOOL SetNamedPipeHandleState(HANDLE pipe, DWORD* mode, DWORD* maxCollectionCount, DWORD* collectDataTimeout);
// Writes one message and reads one reply message (ERROR_MORE_DATA when the
// reply is longer than outSize; the rest stays for ReadFile). Synchronous
// only: overlapped must be null.
BOOL TransactNamedPipe(HANDLE pipe, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesRead,
                       OVERLAPPED* overlapped);

// --- I/O on either end ---
// ReadFile, WriteFile, GetOverlappedResult, CancelIo(Ex) and FlushFileBuffers
// (handle_io.h) are defined here: they serve pipes, and every other handle
// kind that implements platform::HandleIo (the files and folders of
// platform/fs).
// Copies up to size bytes of what can be read now without removing them;
// totalAvailable counts every byte waiting, bytesLeftThisMessage what
// remains of the current message after the copied part (0 in byte mode).
BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD size, DWORD* bytesRead, DWORD* totalAvailable,
                   DWORD* bytesLeftThisMessage);

// --- The client's identity ---
// Takes the identity of the pipe's client (from the socket's peer
// credentials) for the calling thread, without changing the process's own
// ids. RevertToSelf drops it.
BOOL ImpersonateNamedPipeClient(HANDLE pipe);
BOOL RevertToSelf();

namespace platform {

// How often the server's name could not take a client because the process
// had no descriptor left (the client then waits in the socket's queue, and
// accepting pauses briefly), and whether connections that have not yet
// asked to open still hold descriptors. ERROR_INVALID_HANDLE for a client
// handle.
DWORD GetPipeAcceptStalls(HANDLE pipe, ULONGLONG& stalls, bool& crowded);

// Who may connect to a pipe this process serves. kEveryone is the default
// (socket file mode 0666). kOwnerAndGroup: mode 0660, and a client that is
// neither root, the process's user nor a member of its group is closed
// before it is admitted. Applies to a name's socket file made after the
// call (its first instance).
enum class PipeAccess { kEveryone, kOwnerAndGroup };
void SetPipeAccess(LPCWSTR name, PipeAccess access);

// Opens a pipe client: ERROR_FILE_NOT_FOUND when no server has the name,
// ERROR_PIPE_BUSY when no instance is free, ERROR_PATH_NOT_FOUND for a name
// outside "\\.\pipe\".
HANDLE OpenPipeClient(LPCWSTR name, DWORD access, DWORD flags);
// Whether handle is a live pipe end of this layer.
bool IsPipeHandle(HANDLE handle);

// A handle kind other than a pipe that ReadFile, WriteFile,
// GetOverlappedResult, CancelIo(Ex) and FlushFileBuffers serve. Cancel with a
// null OVERLAPPED cancels every pending operation of the handle.
class HandleIo : public KernelObject {
 public:
  virtual BOOL Read(void* buffer, DWORD size, DWORD* bytesRead, OVERLAPPED* overlapped) = 0;
  virtual BOOL Write(const void* buffer, DWORD size, DWORD* bytesWritten, OVERLAPPED* overlapped) = 0;
  virtual BOOL OverlappedResult(OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) = 0;
  virtual BOOL Cancel(OVERLAPPED* overlapped) = 0;
  virtual BOOL Flush() = 0;
};

// The folder the socket files live in (VANTREL_PIPE_DIR or /run/vantrel), and
// the socket file of a "\\.\pipe\NAME" name (empty when it is not one).
std::string PipeDirectory();
std::string PipeSocketPath(LPCWSTR name);

// A process's identity as the kernel reports it for a socket peer.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, when known
};

// The identity the calling thread is impersonating (ERROR_NO_TOKEN when it is
// not impersonating).
DWORD GetImpersonatedCredentials(PeerCredentials& out);
// The credentials of the process at the other end of the pipe
// (ERROR_PIPE_NOT_CONNECTED on a server instance without a client).
DWORD GetPipePeerCredentials(HANDLE pipe, PeerCredentials& out);

// Whether the identity counts as a member of the local Administrators group:
// uid 0, or a member (primary or supplementary) of the group named by
// VANTREL_ADMIN_GROUP (a group name or a numeric gid).
bool IsAdministrator(const PeerCredentials& credentials);
// The check of the administration gate for the impersonated client
// (ERROR_NO_TOKEN when the thread is not impersonating).
DWORD CheckImpersonatedAdministrator(bool& isAdministrator);
// The same check for a pipe's peer, without impersonating.
DWORD PeerIsAdministrator(HANDLE pipe, bool& isAdministrator);

}  // namespace platform
