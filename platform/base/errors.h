// errors.h - Win32 error codes, HRESULTs and the one errno translation table.
//
// Codes keep their Windows values because statuses derived from them (HTTP
// 404/403/423/500, service exit codes, pipe replies, event ids) are part of
// the programs' contracts. Linux errors are turned into Win32 codes here and
// nowhere else.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <system_error>

// --- Win32 error codes (the ones the programs use; add here, never locally) ---
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_PIPE_CONNECTED = 535;
constexpr DWORD ERROR_PIPE_LISTENING = 536;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_CHILD_MUST_BE_VOLATILE = 1021;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_EXCEPTION_IN_SERVICE = 1064;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_INVALID_STATE = 5023;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_TOKEN = 1008;
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
constexpr DWORD ERROR_FILE_CORRUPT = 1392;
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_UNSUPPORTED_TYPE = 1630;
constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_DELETE_PENDING = 303;
constexpr DWORD ERROR_FILE_OFFLINE = 4350;
constexpr DWORD ERROR_BAD_QUERY_SYNTAX = 1615;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_NETNAME_DELETED = 64;
constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
// Added with the errno table (the codes Linux errors translate to).
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_WAIT_NO_CHILDREN = 128;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_ARITHMETIC_OVERFLOW = 534;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_POSSIBLE_DEADLOCK = 1131;
constexpr DWORD ERROR_TOO_MANY_LINKS = 1142;
constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
constexpr DWORD ERROR_ADDRESS_ALREADY_ASSOCIATED = 1227;
constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;
constexpr DWORD ERROR_HOST_UNREACHABLE = 1232;
constexpr DWORD ERROR_CONNECTION_ABORTED = 1236;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
// Added with the file layer (platform/fs).
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_FILE_INVALID = 1006;
constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_NOTIFY_ENUM_DIR = 1022;
// A folder watch that cannot watch every folder below it (watch limit).
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
// Added with host name resolution (the socket layer's codes).
constexpr DWORD WSAEADDRNOTAVAIL = 10049;
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_RECOVERY = 11003;
constexpr DWORD WSANO_DATA = 11004;

// --- HRESULT values ---
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000Au);
constexpr HRESULT E_BOUNDS = static_cast<HRESULT>(0x8000000Bu);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004u);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802Bu);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);

constexpr DWORD FACILITY_WIN32 = 7;
constexpr DWORD FACILITY_ITF = 4;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr DWORD HRESULT_CODE(HRESULT hr) { return static_cast<DWORD>(hr) & 0xFFFFu; }
constexpr DWORD HRESULT_FACILITY(HRESULT hr) { return (static_cast<DWORD>(hr) >> 16) & 0x1FFFu; }
constexpr DWORD HRESULT_SEVERITY(HRESULT hr) { return (static_cast<DWORD>(hr) >> 31) & 1u; }
// Zero stays S_OK; any other code becomes a failure of facility WIN32.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return static_cast<HRESULT>(code) <= 0 ? static_cast<HRESULT>(code)
                                         : static_cast<HRESULT>((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
constexpr HRESULT MAKE_HRESULT(DWORD sev, DWORD fac, DWORD code) {
  return static_cast<HRESULT>((sev << 31) | (fac << 16) | code);
}

// The calling thread's last error, as GetLastError/SetLastError keep it.
DWORD GetLastError();
void SetLastError(DWORD code);

namespace platform {

// Which Windows call a failing Linux call stands for. Some errno values
// answer differently by call (EEXIST is ERROR_FILE_EXISTS from CreateFile
// with CREATE_NEW but ERROR_ALREADY_EXISTS from CreateDirectory).
enum class ErrnoContext { Generic, CreateFile, CreateDirectory, MoveFile, RemoveDirectory };

// The one errno -> Win32 table. ENOENT is ERROR_FILE_NOT_FOUND; pass the path
// to the overload below when a missing parent folder must read as
// ERROR_PATH_NOT_FOUND, as Windows answers it.
DWORD Win32FromErrno(int err, ErrnoContext ctx = ErrnoContext::Generic);
// As above, but ENOENT for a path whose parent folder is missing (or ENOTDIR
// anywhere in it) answers ERROR_PATH_NOT_FOUND.
DWORD Win32FromErrnoForPath(int err, const std::string& utf8Path, ErrnoContext ctx = ErrnoContext::Generic);

// Sets the thread's last error from errno (through the table) and returns it.
DWORD SetLastErrorFromErrno(int err, ErrnoContext ctx = ErrnoContext::Generic);

// The system's English text for a Win32 code ("The system cannot find the
// file specified.\r\n" style, with the trailing line break Windows gives);
// empty when the code has no text.
std::wstring SystemMessageText(DWORD code);

// The error category of Win32 codes (and HRESULTs): what a std::system_error
// carrying a code of this layer is made with. Its message is the system's
// text above without the line break, so a code reads as Windows words it
// ("The parameter is incorrect."), never as the errno value that the number
// happens to be; a code without a text reads "Unknown error 1234 (0x000004D2)".
// std::system_category() is never used for these codes.
const std::error_category& Win32Category();

}  // namespace platform
