// TranscoderClient.h - the client of the archive's transcoder service, one job per call.
//
// Each transcoder of the service listens on its own message-mode pipe,
// "\\.\pipe\Vantrel.Transcode." followed by its name. A job is one
// connection: the client writes one request message,
//   {"loglevel":N,"transcode":[source,output,option...]}
// (UTF-8, in that key order, with a terminating NUL byte), then reads replies
// until the result:
//   {"log":{"line":"...","level":N}}        any number of times
//   {"result":{"message":"...","error":N}}  once, last
// "error" is a C runtime errno number (0 = success) and comes back as a
// Win32 code.
//
// The transcoder is another program, so its replies are checked before they
// are believed: a reply that is not JSON, lacks a field, has a field of the
// wrong type, an "error" that is not a 32-bit integer, nests deeper than
// kMaxTranscoderReplyDepth or is longer than kMaxTranscoderReplyBytes ends
// the job with ERROR_INVALID_PARAMETER and the "Failed to communicate" text.
// Nothing here throws to the caller.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <string>

// The longest reply message read (a log line of ffmpeg is a few hundred bytes).
inline constexpr std::size_t kMaxTranscoderReplyBytes = 1024 * 1024;
// The deepest nesting of arrays and objects a reply may have (the protocol uses 2).
inline constexpr int kMaxTranscoderReplyDepth = 16;
// How long a client waits for a busy transcoder's instance to be free, per wait.
inline constexpr DWORD kTranscoderBusyWaitMs = 10000;
// The level index sent when the caller's is outside 0-8, and the one a
// received level outside the table maps to.
inline constexpr int kTranscoderDefaultSendLevel = 16;
inline constexpr int kTranscoderDefaultLevelIndex = 5;

// "\\.\pipe\Vantrel.Transcode." + name.
std::wstring TranscoderPipeName(const std::wstring& transcoder);

// The transcoder's "loglevel" for a level index (0-8 give -8, 0, 8, ... 56;
// anything else 16), and the level index of a received level (the same table
// backwards; any other value gives 5).
int TranscoderLogLevel(int levelIndex);
int LevelIndexFromTranscoderLevel(long long level);

// The Win32 code for a result's "error" (a Windows C runtime errno number):
// 0 for 0, ERROR_INVALID_PARAMETER for a number the table does not hold.
DWORD Win32FromTranscoderError(long long error);

// Receives each log line with its level index, on the calling thread,
// before the next reply is read.
using TranscoderLineCallback = void (*)(void* context, int levelIndex, const std::wstring& line);

// Runs one transcode of source into output with the transcoder's options
// (one command line, split the Windows way) and the log level index. Returns
// 0 on success or a Win32 code; failureText gets the transcoder's "message"
// (on success too), or, for a failure without one, "Failed to find
// transcoder '<name>'" (it could not be reached: 233 when it is not running)
// or "Failed to communicate with transcoder '<name>'". A transcoder whose
// every instance stayed busy for a whole wait gives ERROR_PIPE_BUSY and
// "Transcoder '<name>' is busy". *answered (when given) tells whether a
// result message came back at all: a result with an error is a refusal or
// failure of this job, no result means the transcoder could not be asked.
DWORD RunTranscoder(const std::wstring& transcoder, const std::wstring& source, const std::wstring& options,
                    const std::wstring& output, int levelIndex, TranscoderLineCallback callback, void* context,
                    std::wstring& failureText, bool* answered = nullptr);
