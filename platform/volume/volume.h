// volume.h - drive letters, volume roots and file-system control requests.
//
// Drive letters are platform/fs's drive map (kDriveMapKey, DriveFolder):
// every mapped letter whose folder exists is a fixed drive. A program that plays a file system for a volume (the archive's
// kernel file system stand-in) serves the volume's endpoint, the pipe
// "\\.\pipe\Vantrel.Volume.D"; a volume root opened while its endpoint is
// served carries DeviceIoControl requests to it, and the endpoint may refuse
// the open itself. A volume without an endpoint answers every control code
// with ERROR_INVALID_FUNCTION, as a file system that does not know it.
//
// Endpoint messages (message mode, little-endian):
//   request: u32 operation (1 open, 2 control), u32 control code,
//            u32 output capacity, then the input bytes
//   reply:   u32 Win32 code, then the output bytes (at most the capacity)
#pragma once

#include "platform/base/types.h"
#include "platform/fs/fs.h"

#include <string>
#include <vector>

// GetDriveTypeW answers.
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_FIXED = 3;

// The roots "C:\<NUL>D:\<NUL>...<NUL>" of the mapped letters in order. The
// number of characters written (without the final NUL), or the size needed
// (with it) when size is too small; 0 with GetLastError on failure.
DWORD GetLogicalDriveStringsW(DWORD size, LPWSTR buffer);
// DRIVE_FIXED for a mapped letter whose folder exists, DRIVE_NO_ROOT_DIR
// otherwise (and for anything but "X:\" or "X:").
UINT GetDriveTypeW(LPCWSTR root);
// Opens the root "X:\" of a fixed drive: the folder through CreateFileW
// (so its answers hold: FILE_FLAG_BACKUP_SEMANTICS required, 3 for an
// unmapped letter), then the endpoint's answer to the open when one serves
// the volume; ERROR_INVALID_NAME for anything but a root. The handle also
// carries DeviceIoControl, which an fs handle cannot. INVALID_HANDLE_VALUE on
// failure; close with CloseHandle.
HANDLE OpenVolumeRootW(LPCWSTR root, DWORD access, DWORD shareMode, DWORD creationDisposition, DWORD flags);
// One control request on an opened volume root, synchronous (overlapped
// must be null). ERROR_INVALID_FUNCTION when no endpoint serves the volume,
// ERROR_MORE_DATA (with the first outputCapacity bytes) for a longer answer,
// ERROR_OPERATION_ABORTED after CancelVolumeIo, ERROR_INVALID_HANDLE for a
// handle OpenVolumeRootW did not give.
struct OVERLAPPED;
BOOL DeviceIoControl(HANDLE volume, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                     DWORD outputCapacity, DWORD* bytesReturned, OVERLAPPED* overlapped);

namespace platform {

constexpr DWORD VOLUME_ENDPOINT_OPEN = 1;
constexpr DWORD VOLUME_ENDPOINT_CONTROL = 2;
constexpr DWORD VOLUME_ENDPOINT_REQUEST_HEADER = 12;
constexpr DWORD VOLUME_ENDPOINT_REPLY_HEADER = 4;

// The endpoint's pipe name for a letter.
std::wstring VolumeEndpointName(wchar_t letter);
// The mapped letters (upper case, in order) and their folders.
struct DriveMapping {
  wchar_t letter;
  std::string folder;
};
std::vector<DriveMapping> ReadDriveMap();

// Ends the pending and every later control request on the volume handle with
// ERROR_OPERATION_ABORTED (so a closing owner is never held by a long poll).
BOOL CancelVolumeIo(HANDLE volume);

}  // namespace platform
