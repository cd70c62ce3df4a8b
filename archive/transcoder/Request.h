// Request.h - the transcoder's request: parsing, checking and the ffmpeg
// options it becomes.
//
// A request is one pipe message: UTF-8 JSON text followed by exactly one NUL
// byte, {"loglevel": N, "transcode": [source, output, options...]}.
// Everything that is not exactly that (no NUL, invalid UTF-8, other JSON,
// keys missing, twice or unknown, a level that is not a signed 32-bit
// integer, fewer than two strings, NUL characters in a string) is refused;
// the service answers a refused request with EINVAL.
//
// Options are ffmpeg output options from an allow-list, with one of the
// stand-in's own:
// "-vnpreview N WxH" (N frames, 1 to 10000; W and H even, 2 to 16382) makes
// the preview clip: the first N frames of the first video stream, scaled to
// fit WxH with the source's display aspect kept, padded to WxH, square
// pixels, yuv420p, VP8 in WebM, no audio. Every other token must be an
// allowed option ("-name" or "-name:stream") followed by a value of its kind
// (codec names, sizes, rates, bit rates, pixel formats, one-file muxers, a
// chain of a few filters with numeric arguments), or a flag that takes none.
// No value can name a file, a protocol or another input.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace archive {

struct TranscodeRequest {
  int logLevel = 0;
  std::wstring source;  // as the client wrote them ("D:\Media\clip.mov")
  std::wstring output;
  std::vector<std::wstring> options;
};

// Parses one request message as read from the pipe, its NUL included.
// false with the reason in why.
bool ParseRequest(std::string_view message, TranscodeRequest& out, std::string& why);

// The frame count and size limits of "-vnpreview".
constexpr unsigned kPreviewMaxFrames = 10000;
constexpr unsigned kPreviewMaxSide = 16382;  // VP8 takes at most 16383, and the side must be even

// The request's options as ffmpeg output options (UTF-8). false with the
// reason in why.
bool TranslateOptions(const std::vector<std::wstring>& options, std::vector<std::string>& ffmpegOptions,
                      std::string& why);

// Whether ffmpeg writes the output, named so, as one file: no "%" (a
// sequence of images) and, without "-f" among the translated options, an
// extension that picks a one-file muxer. false with the reason in why.
bool OutputNameAllowed(const std::wstring& output, const std::vector<std::string>& ffmpegOptions, std::string& why);

// The options before "-i": the source is read through the file protocol
// only and by a demuxer of media (not a playlist or a list of other files,
// which would read files off the volume).
std::vector<std::string> InputOptions();

// The "-loglevel" argument for a request's level: ffmpeg's level name (or
// the number) behind "level+", so that every line carries its "[level]" tag.
std::string FfmpegLogLevel(int level);

}  // namespace archive
