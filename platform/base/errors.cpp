// errors.cpp - last error, the errno -> Win32 table and the system message texts.
#include "platform/base/errors.h"

#include "platform/base/format.h"
#include "platform/base/text.h"

#include <sys/stat.h>

#include <cerrno>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

namespace platform {

DWORD Win32FromErrno(int err, ErrnoContext ctx) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      // rmdir of something that is not a folder: RemoveDirectory answers 267.
      return ctx == ErrnoContext::RemoveDirectory ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:  // opening/deleting a folder as a file: Windows says access denied
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      switch (ctx) {
        case ErrnoContext::CreateFile: return ERROR_FILE_EXISTS;
        case ErrnoContext::RemoveDirectory: return ERROR_DIR_NOT_EMPTY;  // POSIX allows EEXIST for rmdir
        default: return ERROR_ALREADY_EXISTS;
      }
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOMEM:
    case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case E2BIG:
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      // A lock held elsewhere: CreateFile reads that as a sharing violation,
      // everything else (flock/fcntl/trylock, non-blocking I/O) as a lock violation.
      return ctx == ErrnoContext::CreateFile ? ERROR_SHARING_VIOLATION : ERROR_LOCK_VIOLATION;
    case ENOLCK: return ERROR_LOCK_VIOLATION;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ECONNREFUSED:
      // Connecting to a pipe (socket) nobody listens on: CreateFile of a pipe
      // with no server answers ERROR_FILE_NOT_FOUND.
      return ctx == ErrnoContext::CreateFile ? ERROR_FILE_NOT_FOUND : ERROR_CONNECTION_REFUSED;
    case ECONNRESET: return ERROR_NETNAME_DELETED;
    case ECONNABORTED: return ERROR_CONNECTION_ABORTED;
    case ENOTCONN: return ERROR_PIPE_NOT_CONNECTED;
    case EADDRINUSE: return ERROR_ADDRESS_ALREADY_ASSOCIATED;
    case ENETUNREACH:
    case ENETDOWN: return ERROR_NETWORK_UNREACHABLE;
    case EHOSTUNREACH: return ERROR_HOST_UNREACHABLE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EFAULT: return ERROR_NOACCESS;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
      return ERROR_NOT_SUPPORTED;
    case EINTR:
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EIO: return ERROR_IO_DEVICE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case ECHILD: return ERROR_WAIT_NO_CHILDREN;
    case ERANGE: return ERROR_INSUFFICIENT_BUFFER;
    case EOVERFLOW: return ERROR_ARITHMETIC_OVERFLOW;
    case ENOEXEC: return ERROR_BAD_FORMAT;
    case EDEADLK: return ERROR_POSSIBLE_DEADLOCK;
    case EILSEQ: return ERROR_NO_UNICODE_TRANSLATION;
    case ENODATA: return ERROR_NOT_FOUND;
    case EMLINK: return ERROR_TOO_MANY_LINKS;
    case EMSGSIZE: return ERROR_MORE_DATA;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;  // binding an address this machine does not have
    case ESPIPE: return ERROR_INVALID_FUNCTION;
    default: return ERROR_INVALID_FUNCTION;  // documented default for anything unknown
  }
}

namespace {
// The folder part of a path: "" stands for the current folder.
std::string ParentOf(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // trailing separators
  std::size_t slash = path.rfind('/', end - 1);
  if (end == 0 || slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

DWORD Win32FromErrnoForPath(int err, const std::string& utf8Path, ErrnoContext ctx) {
  if (err == ENOENT) {
    if (!utf8Path.empty() && !IsDirectory(ParentOf(utf8Path))) return ERROR_PATH_NOT_FOUND;
    return Win32FromErrno(err, ctx);
  }
  if (err == ENOTDIR) {
    // RemoveDirectory of a file (its folder exists) is ERROR_DIRECTORY; a file
    // used as a folder further up the path is ERROR_PATH_NOT_FOUND.
    if (ctx == ErrnoContext::RemoveDirectory && !utf8Path.empty() && IsDirectory(ParentOf(utf8Path)))
      return ERROR_DIRECTORY;
    return ERROR_PATH_NOT_FOUND;
  }
  return Win32FromErrno(err, ctx);
}

DWORD SetLastErrorFromErrno(int err, ErrnoContext ctx) {
  DWORD code = Win32FromErrno(err, ctx);
  SetLastError(code);
  return code;
}

namespace {
struct MessageEntry {
  DWORD code;
  const wchar_t* text;
};

// Standard English texts of the system message table (without the line break).
constexpr MessageEntry kMessages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {11, L"An attempt was made to load a program with an incorrect format."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {17, L"The system cannot move the file to a different disk drive."},
    {19, L"The media is write protected."},
    {21, L"The device is not ready."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {33, L"The process cannot access the file because another process has locked a portion of the file."},
    {38, L"Reached the end of the file."},
    {50, L"The request is not supported."},
    {64, L"The specified network name is no longer available."},
    {80, L"The file exists."},
    {87, L"The parameter is incorrect."},
    {109, L"The pipe has been ended."},
    {111, L"The file name is too long."},
    {112, L"There is not enough space on the disk."},
    {120, L"This function is not supported on this system."},
    {121, L"The semaphore timeout period has expired."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {128, L"There are no child processes to wait for."},
    {145, L"The directory is not empty."},
    {161, L"The specified path is invalid."},
    {170, L"The requested resource is in use."},
    {183, L"Cannot create a file when that file already exists."},
    {206, L"The filename or extension is too long."},
    {223, L"The file size exceeds the limit allowed and cannot be saved."},
    {231, L"All pipe instances are busy."},
    {232, L"The pipe is being closed."},
    {233, L"No process is on the other end of the pipe."},
    {234, L"More data is available."},
    {258, L"The wait operation timed out."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {303, L"The file cannot be opened because it is in the process of being deleted."},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2."},
    {534, L"Arithmetic result exceeded 32 bits."},
    {535, L"There is a process on other end of the pipe."},
    {536, L"Waiting for a process to open the other end of the pipe."},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, L"Overlapped I/O event is not in a signaled state."},
    {997, L"Overlapped I/O operation is in progress."},
    {998, L"Invalid access to memory location."},
    {1004, L"Invalid flags."},
    {1008, L"An attempt was made to reference a token that does not exist."},
    {1009, L"The configuration registry database is corrupt."},
    {1010, L"The configuration registry key is invalid."},
    {1011, L"The configuration registry key could not be opened."},
    {1012, L"The configuration registry key could not be read."},
    {1013, L"The configuration registry key could not be written."},
    {1016, L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           L"write out, or flush, one of the files that contain the system's image of the registry."},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1021, L"Cannot create a stable subkey under a volatile parent key."},
    {1053, L"The service did not respond to the start or control request in a timely fashion."},
    {1056, L"An instance of the service is already running."},
    {1060, L"The specified service does not exist as an installed service."},
    {1061, L"The service cannot accept control messages at this time."},
    {1062, L"The service has not been started."},
    {1063, L"The service process could not connect to the service controller."},
    {1064, L"An exception occurred in the service when handling the control request."},
    {1066, L"The service has returned a service-specific error code."},
    {1072, L"The specified service has been marked for deletion."},
    {1073, L"The specified service already exists."},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, L"The request could not be performed because of an I/O device error."},
    {1131, L"A potential deadlock condition has been detected."},
    {1142, L"An attempt was made to create more links on a file than the file system supports."},
    {1168, L"Element not found."},
    {1223, L"The operation was canceled by the user."},
    {1225, L"The remote computer refused the network connection."},
    {1227, L"The network transport endpoint already has an address associated with it."},
    {1231, L"The network location cannot be reached. For information about network troubleshooting, see Windows Help."},
    {1232, L"The network location cannot be reached. For information about network troubleshooting, see Windows Help."},
    {1236, L"The network connection was aborted by the local system."},
    {1300, L"Not all privileges or groups referenced are assigned to the caller."},
    {1359, L"An internal error occurred."},
    {1392, L"The file or directory is corrupted and unreadable."},
    {1460, L"This operation returned because the timeout period expired."},
    {1615, L"SQL query syntax invalid or unsupported."},
    {1630, L"Data of this type is not supported."},
    {1812, L"The specified image file did not contain a resource section."},
    {1813, L"The specified resource type cannot be found in the image file."},
    {1814, L"The specified resource name cannot be found in the image file."},
    {1921, L"The name of the file cannot be resolved by the system."},
    {4350, L"This file is currently not available for use on this computer."},
    {5023, L"The group or resource is not in the correct state to perform the requested operation."},
    {10049, L"The requested address is not valid in its context."},
    {11001, L"No such host is known."},
    {11002, L"This is usually a temporary error during hostname resolution and means that the local server did not "
            L"receive a response from an authoritative server."},
    {11003, L"A non-recoverable error occurred during a database lookup."},
    {11004, L"The requested name is valid, but no data of the requested type was found."},
    // HRESULTs that are not FACILITY_WIN32 wrappers.
    {0x80004001u, L"Not implemented"},
    {0x80004002u, L"No such interface supported"},
    {0x80004003u, L"Invalid pointer"},
    {0x80004004u, L"Operation aborted"},
    {0x80004005u, L"Unspecified error"},
    {0x8000FFFFu, L"Catastrophic failure"},
    {0x8000000Au, L"The data necessary to complete this operation is not yet available."},
    {0x8000000Bu, L"The operation attempted to access data outside the valid range"},
    {0x80040110u, L"Class does not support aggregation (or class object is remote)"},
    {0x80040111u, L"ClassFactory cannot supply requested class"},
    {0x80040150u, L"Could not read key from registry"},
    {0x80040154u, L"Class not registered"},
    {0x800401F0u, L"CoInitialize has not been called."},
    {0x800401F8u, L"DLL for class not found"},
    {0x800401F9u, L"Error in the DLL"},
    {0x80010106u, L"Cannot change thread mode after it is set."},
    {0x80020003u, L"Member not found."},
    {0x80020004u, L"Parameter not found."},
    {0x80020005u, L"Type mismatch."},
    {0x80020006u, L"Unknown name."},
    {0x80020008u, L"Bad variable type."},
    {0x80020009u, L"Exception occurred."},
    {0x8002000Au, L"Out of present range."},
    {0x8002000Bu, L"Invalid index."},
    {0x8002000Du, L"Memory is locked."},
    {0x8002000Eu, L"Invalid number of parameters."},
    {0x8002802Bu, L"Element not found."},
    {0x80040201u, L"Error registering class"},
};

const wchar_t* FindMessage(DWORD code) {
  for (const auto& e : kMessages)
    if (e.code == code) return e.text;
  return nullptr;
}
}  // namespace

std::wstring SystemMessageText(DWORD code) {
  const wchar_t* text = FindMessage(code);
  // An HRESULT of FACILITY_WIN32 reads as the Win32 code it wraps.
  if (!text && (code & 0xFFFF0000u) == 0x80070000u) text = FindMessage(code & 0xFFFFu);
  if (!text) return std::wstring();
  std::wstring out(text);
  out += L"\r\n";
  return out;
}

namespace {
class Win32ErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "win32"; }
  std::string message(int value) const override {
    const DWORD code = static_cast<DWORD>(value);
    std::wstring text = SystemMessageText(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (text.empty()) return FormatA("Unknown error %lu (0x%08lX)", code, code);
    return Utf8FromWide(text);
  }
};
}  // namespace

const std::error_category& Win32Category() {
  static const Win32ErrorCategory category;
  return category;
}

}  // namespace platform
