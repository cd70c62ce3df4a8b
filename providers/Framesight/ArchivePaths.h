// ArchivePaths.h - companion paths of an archived file, asked of the archive.
//
// The provider never chooses where an output goes. It sends the archived
// file a file-control request naming the output and the file version (I1,
// I2), and the archive answers with a path relative to the file's volume;
// the provider puts the volume root of the file's own full path in front of
// it. The name in the answer carries the version: "stem.ext" comes back as
// "stem-ID1-ID2.ext" (OutputVersions.h relies on that).
//
// The request record leaves the process, so it holds UTF-16LE and counts
// bytes as 2 per UTF-16 unit (little-endian, packed):
//   0  u32 I1
//   4  u32 I2
//   8  u16 bytes of the name (UTF-16 units x 2, no terminator)
//   10 the name, UTF-16LE, in a zero-filled 128-byte field
// and is sent with the length 10 + the name's bytes. The answer is UTF-16LE
// without terminator, as long as the returned byte count says.
#pragma once

#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/types.h"
#include "platform/com/comptr.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct IPostProcessParameters;

namespace framesight {

// File-control codes of the archived file.
inline constexpr ULONG kControlOutputPath = 0x9618C;     // where a transcoder writes a named output
inline constexpr ULONG kControlCompanionPath = 0x96190;  // where a named output is kept
inline constexpr ULONG kControlIdentityPair = 0x96194;   // the file's current (I1, I2), 8 bytes out

// The identity item of IPostProcessParameters::GetItem: [I0, I1, I2].
inline constexpr unsigned short kItemIdentity = 12;

// Layout of the path request.
inline constexpr std::size_t kPathRequestHeader = 10;
inline constexpr std::size_t kPathRequestNameField = 128;
inline constexpr std::size_t kPathRequestSize = kPathRequestHeader + kPathRequestNameField;
// UTF-16 units a name may have: the field holds 63 and a terminator.
inline constexpr std::size_t kMaxOutputNameUnits = 63;
// Room for the answer beyond the file's full path, in UTF-16 units.
inline constexpr std::size_t kReplyReserveUnits = 260;

// Fills record (kPathRequestSize bytes) with the request for name of version
// (i1, i2) and gives the length to send in inputBytes. E_INVALIDARG for a
// name of 64 or more UTF-16 units.
HRESULT BuildPathRequest(ULONG i1, ULONG i2, std::wstring_view name, std::vector<BYTE>& record, ULONG& inputBytes);

// The volume root of an archived file's full path followed by the archive's
// volume-relative answer:
//   "D:\Media\clip.mov"        -> "D:\" + reply
//   "\\?\D:\x\clip.mov"        -> "\\?\D:\" + reply (also "\\.\")
//   "D:" and "D:clip.mov"      -> "D:\" + reply (the root, not the folder)
//   "\\srv\share\x\clip.mov"   -> "\\srv\share\" + reply (also "\\?\UNC\")
//   "\Media\clip.mov"          -> "\" + reply (the current drive's root)
// The separator after the root is the one the path uses; separators that
// begin the reply are not doubled. ERROR_BAD_PATHNAME (as an HRESULT) for a
// path that names no root: empty, relative, or a UNC path without its share.
HRESULT JoinArchivePath(std::wstring_view fullPath, std::wstring_view reply, std::wstring& out);

// The path of the output named name of file version (i1, i2), from the
// file-control call code (kControlOutputPath or kControlCompanionPath) of
// file. On failure out is empty and the archive's failure is returned
// unchanged; a name that is too long is E_INVALIDARG before any call.
HRESULT QueryArchivePath(IArchiveFile* file, ULONG i1, ULONG i2, ULONG code, std::wstring_view name,
                         std::wstring& out);

// QueryArchivePath for the file and the version (I1, I2) that parameters
// carry (its IArchiveFile and its identity item). On success path holds the
// output's path; on failure it keeps what it held.
HRESULT MapArchivePath(IPostProcessParameters* parameters, ULONG code, std::wstring_view name,
                       platform::ComBstr& path);

}  // namespace framesight
