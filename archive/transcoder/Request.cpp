// Request.cpp - parsing the request message and translating its options.
#include "archive/transcoder/Request.h"

#include "platform/base/text.h"

#include <cpprest/json.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace archive {

namespace {

// The kinds of value an allowed option takes. None of them can name a file,
// a protocol or a program: every path ffmpeg sees is the request's own
// source and output, which the service resolves itself.
enum class Value {
  kWord,       // a name: codec, preset, profile, pixel format ("libvpx-vp9", "yuv420p")
  kNumber,     // an integer or decimal, maybe signed ("30", "-1", "0.5")
  kBitRate,    // a number with an optional k, M or G ("200k", "1.5M", "-1")
  kRate,       // a number or a ratio ("30", "30000/1001")
  kSize,       // WxH, or a size name ("320x180", "hd720")
  kTime,       // seconds or [HH:]MM:SS[.m] ("1.5", "00:00:02.5")
  kFlags,      // flag words joined by + and - ("+faststart", "-global_header")
  kMap,        // a stream of the only input ("0:v:0", "0:a?", "-0:s")
  kFormat,     // a muxer of kAllowedFormats, compared without case
  kFilters,    // a chain of kAllowedFilters with numeric arguments
  kMetadata,   // key=value, the value plain text
};

// The output options a client may give, and what each takes. A stream
// specifier (":v", ":a:0") may follow any of them.
const std::map<std::string, Value, std::less<>> kAllowedOptions = {
    {"c", Value::kWord},          {"codec", Value::kWord},       {"vcodec", Value::kWord},
    {"acodec", Value::kWord},     {"scodec", Value::kWord},      {"b", Value::kBitRate},
    {"ab", Value::kBitRate},      {"maxrate", Value::kBitRate},  {"minrate", Value::kBitRate},
    {"bufsize", Value::kBitRate}, {"s", Value::kSize},           {"r", Value::kRate},
    {"fpsmax", Value::kRate},     {"aspect", Value::kRate},      {"pix_fmt", Value::kWord},
    {"sample_fmt", Value::kWord}, {"ar", Value::kNumber},        {"ac", Value::kNumber},
    {"frames", Value::kNumber},   {"vframes", Value::kNumber},   {"aframes", Value::kNumber},
    {"t", Value::kTime},          {"to", Value::kTime},          {"ss", Value::kTime},
    {"fs", Value::kBitRate},      {"g", Value::kNumber},         {"keyint_min", Value::kNumber},
    {"bf", Value::kNumber},       {"q", Value::kNumber},         {"qscale", Value::kNumber},
    {"crf", Value::kNumber},      {"qmin", Value::kNumber},      {"qmax", Value::kNumber},
    {"threads", Value::kNumber},  {"cpu-used", Value::kNumber},  {"row-mt", Value::kNumber},
    {"speed", Value::kNumber},    {"lag-in-frames", Value::kNumber}, {"auto-alt-ref", Value::kNumber},
    {"tile-columns", Value::kNumber}, {"frame-parallel", Value::kNumber}, {"level", Value::kRate},
    {"deadline", Value::kWord},   {"quality", Value::kWord},     {"preset", Value::kWord},
    {"tune", Value::kWord},       {"profile", Value::kWord},     {"fps_mode", Value::kWord},
    {"vsync", Value::kWord},      {"strict", Value::kWord},      {"tag", Value::kWord},
    {"vtag", Value::kWord},       {"update", Value::kNumber},    {"max_muxing_queue_size", Value::kNumber},
    {"movflags", Value::kFlags},  {"flags", Value::kFlags},      {"sws_flags", Value::kFlags},
    {"map", Value::kMap},         {"f", Value::kFormat},         {"vf", Value::kFilters},
    {"af", Value::kFilters},      {"filter", Value::kFilters},   {"metadata", Value::kMetadata},
};

// Muxers that write the one output file and nothing beside it (not hls,
// dash, segment, tee, fifo and the like).
const std::set<std::string, std::less<>> kAllowedFormats = {
    "webm", "matroska", "mp4", "mov", "ipod", "ogg", "ogv", "oga", "opus", "mp3", "wav", "flac", "adts",
    "avi", "mpegts", "mpeg", "gif", "mjpeg", "image2", "apng", "webp", "null"};

// Filters whose arguments are all numbers (or, for "format", pixel format
// names): none of them opens a file, a device or another input.
const std::set<std::string, std::less<>> kAllowedFilters = {
    "scale", "fps", "crop", "pad", "setsar", "setdar", "format", "null", "anull", "realtime", "arealtime",
    "hflip", "vflip", "transpose", "trim", "atrim", "aresample", "volume", "thumbnail", "framestep",
    "deinterlace", "yadif", "gblur", "boxblur", "unsharp", "hqdn3d", "eq"};

// The output extensions ffmpeg picks a one-file muxer for, when no "-f" is
// given (".m3u8" or ".mpd" would pick muxers that write files beside it).
const std::set<std::string, std::less<>> kAllowedExtensions = {
    "webm", "mkv", "mka", "mp4", "m4v", "m4a", "mov", "ogg", "ogv", "oga", "opus", "mp3", "wav", "flac",
    "aac", "avi", "ts", "mpg", "mpeg", "gif", "jpg", "jpeg", "png", "apng", "webp", "bmp"};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_'; }

bool AllDigits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit); }

// [-]digits[.digits]
bool IsNumber(std::string_view text) {
  if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return AllDigits(text);
  return AllDigits(text.substr(0, dot)) && AllDigits(text.substr(dot + 1));
}

bool IsWord(std::string_view text) {
  return !text.empty() && IsWordChar(text[0]) &&
         std::all_of(text.begin(), text.end(), [](char c) { return IsWordChar(c) || c == '-' || c == '.'; });
}

bool IsRate(std::string_view text) {
  const std::size_t slash = text.find_first_of("/:");
  if (slash == std::string_view::npos) return IsNumber(text);
  return IsNumber(text.substr(0, slash)) && IsNumber(text.substr(slash + 1));
}

bool IsTime(std::string_view text) {
  if (text.empty() || text.size() > 20) return false;
  std::size_t colons = 0;
  for (const char c : text) {
    if (c == ':') ++colons;
    else if (!IsDigit(c) && c != '.') return false;
  }
  return colons <= 2 && IsNumber(text.substr(text.rfind(':') == std::string_view::npos ? 0 : text.rfind(':') + 1));
}

bool IsBitRate(std::string_view text) {
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K' || text.back() == 'M' || text.back() == 'G'))
    text.remove_suffix(1);
  return IsNumber(text);
}

bool IsSize(std::string_view text) {
  const std::size_t x = text.find('x');
  if (x != std::string_view::npos && AllDigits(text.substr(0, x)) && AllDigits(text.substr(x + 1))) return true;
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return IsWordChar(c); });
}

bool IsFlags(std::string_view text) {
  if (text.empty()) return false;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '+' || text[i] == '-') ++i;
    const std::size_t begin = i;
    while (i < text.size() && IsWordChar(text[i])) ++i;
    if (i == begin) return false;
  }
  return true;
}

// "[-]0[:spec...][?]": the only input there is.
bool IsMap(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  if (text.ends_with('?')) text.remove_suffix(1);
  if (!text.starts_with('0')) return false;
  text.remove_prefix(1);
  while (!text.empty()) {
    if (text[0] != ':') return false;
    text.remove_prefix(1);
    std::size_t n = 0;
    while (n < text.size() && IsWordChar(text[n])) ++n;
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

bool IsMetadata(std::string_view text) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0) return false;
  if (!std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(eq), IsWordChar)) return false;
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// "name[=args],name[=args],...": one chain (no ";", no link labels, no
// quoting or escapes), each filter of kAllowedFilters and each argument
// "[key=]number" ("format" takes pixel format names).
bool IsFilterChain(std::string_view text, std::string& why) {
  if (text.empty() || text.size() > 4096) {
    why = "empty or overlong filter chain";
    return false;
  }
  for (std::string_view filter : Split(text, ',')) {
    const std::size_t eq = filter.find('=');
    const std::string_view name = filter.substr(0, eq);
    if (!kAllowedFilters.contains(name)) {
      why = "filter '" + std::string(name) + "' refused";
      return false;
    }
    if (eq == std::string_view::npos) continue;
    for (std::string_view argument : Split(filter.substr(eq + 1), ':')) {
      const std::size_t keyEnd = argument.find('=');
      if (keyEnd != std::string_view::npos) {
        const std::string_view key = argument.substr(0, keyEnd);
        if (key.empty() || !std::all_of(key.begin(), key.end(), IsWordChar)) {
          why = "filter argument '" + std::string(argument) + "' refused";
          return false;
        }
        argument.remove_prefix(keyEnd + 1);
      }
      const bool pixelFormat = name == "format" && !argument.empty() &&
                               std::all_of(argument.begin(), argument.end(), IsWordChar);
      if (!pixelFormat && !IsRate(argument)) {
        why = "filter argument '" + std::string(argument) + "' is not a number";
        return false;
      }
    }
  }
  return true;
}

// ffmpeg's output options that take no value; the boolean ones also answer
// to "no" + name.
const std::set<std::string, std::less<>> kFlagOptions = {
    "an", "vn", "sn", "dn", "shortest", "copyts", "start_at_zero", "copyinkf", "bitexact", "autoscale",
    "force_fps", "xerror", "ignore_unknown", "copy_unknown", "psnr", "qphist", "auto_conversion_filters"};

bool IsFlag(std::string_view name) {
  if (kFlagOptions.contains(name)) return true;
  return name.starts_with("no") && kFlagOptions.contains(name.substr(2));
}

// "-name" or "-name:stream" split into the name and its stream specifier
// (":v", ":a:0"); false when token is no option of that shape.
bool SplitOption(std::string_view token, std::string& name, std::string& stream) {
  if (token.size() < 2 || token[0] != '-') return false;
  token.remove_prefix(1);
  const std::size_t colon = token.find(':');
  name = std::string(token.substr(0, colon));
  stream = colon == std::string_view::npos ? std::string() : std::string(token.substr(colon));
  if (name.empty() || !IsWordChar(name[0]) ||
      !std::all_of(name.begin(), name.end(), [](char c) { return IsWordChar(c) || c == '-'; }))
    return false;
  for (std::string_view rest(stream); !rest.empty();) {
    rest.remove_prefix(1);
    std::size_t n = 0;
    while (n < rest.size() && IsWordChar(rest[n])) ++n;
    if (n == 0 || (n < rest.size() && rest[n] != ':')) return false;
    rest.remove_prefix(n);
  }
  return true;
}

// value checked as kind; the text ffmpeg gets in out.
bool CheckValue(Value kind, const std::string& value, std::string& out, std::string& why) {
  out = value;
  bool ok = false;
  switch (kind) {
    case Value::kWord: ok = IsWord(value); break;
    case Value::kNumber: ok = IsNumber(value); break;
    case Value::kBitRate: ok = IsBitRate(value); break;
    case Value::kRate: ok = IsRate(value); break;
    case Value::kSize: ok = IsSize(value); break;
    case Value::kTime: ok = IsTime(value); break;
    case Value::kFlags: ok = IsFlags(value); break;
    case Value::kMap: ok = IsMap(value); break;
    case Value::kMetadata: ok = IsMetadata(value); break;
    case Value::kFormat:
      out = Lower(value);
      if (!kAllowedFormats.contains(out)) {
        why = "format '" + value + "' refused";
        return false;
      }
      return true;
    case Value::kFilters:
      return IsFilterChain(value, why);
  }
  if (!ok) why = "value '" + value + "' refused";
  return ok;
}

}  // namespace

bool OutputNameAllowed(const std::wstring& output, const std::vector<std::string>& ffmpegOptions, std::string& why) {
  const bool formatGiven = std::find(ffmpegOptions.begin(), ffmpegOptions.end(), "-f") != ffmpegOptions.end();
  const std::size_t slash = output.find_last_of(L"\\/");
  const std::wstring name = slash == std::wstring::npos ? output : output.substr(slash + 1);
  // image2 reads a "%d" in the name as a sequence of files.
  if (name.find(L'%') != std::wstring::npos) {
    why = "the output name holds '%'";
    return false;
  }
  if (formatGiven) return true;
  const std::size_t dot = name.rfind(L'.');
  const std::string extension = dot == std::wstring::npos ? std::string() : Lower(platform::Utf8FromWide(name.substr(dot + 1)));
  if (!kAllowedExtensions.contains(extension)) {
    why = "the output's extension '" + extension + "' names no allowed format; give one with -f";
    return false;
  }
  return true;
}

namespace {

bool ParseUnsigned(std::string_view text, unsigned& value) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  return std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc();
}

// "-vnpreview N WxH" as ffmpeg output options.
bool PreviewOptions(std::string_view frames, std::string_view size, std::vector<std::string>& out, std::string& why) {
  unsigned n = 0, w = 0, h = 0;
  const std::size_t x = size.find('x');
  if (!ParseUnsigned(frames, n) || n < 1 || n > kPreviewMaxFrames) {
    why = "-vnpreview: the frame count must be 1 to 10000";
    return false;
  }
  if (x == std::string_view::npos || !ParseUnsigned(size.substr(0, x), w) || !ParseUnsigned(size.substr(x + 1), h) ||
      w < 2 || h < 2 || w > kPreviewMaxSide || h > kPreviewMaxSide || w % 2 != 0 || h % 2 != 0) {
    why = "-vnpreview: the size must be WxH with even W and H from 2 to 16382";
    return false;
  }
  const std::string W = std::to_string(w), H = std::to_string(h);
  // Fit by the display aspect (dar counts the sample aspect), even sides,
  // then pad to the full size and make the pixels square.
  const std::string fit = "scale=w='if(gte(dar," + W + "/" + H + ")," + W + ",max(2,trunc(" + H + "*dar/2)*2))'" +
                          ":h='if(gte(dar," + W + "/" + H + "),max(2,trunc(" + W + "/dar/2)*2)," + H + ")'";
  const std::string filter =
      fit + ",setsar=1,pad=" + W + ":" + H + ":(ow-iw)/2:(oh-ih)/2,format=yuv420p";
  // One encoder thread: libvpx's own threading is far slower on a busy machine.
  const std::vector<std::string> options = {"-map", "0:v:0", "-frames:v", std::to_string(n), "-vf", filter,
                                            "-c:v", "libvpx", "-b:v", "1M", "-threads", "1",
                                            "-an", "-sn", "-dn", "-f", "webm"};
  out.insert(out.end(), options.begin(), options.end());
  return true;
}

}  // namespace

bool ParseRequest(std::string_view message, TranscodeRequest& out, std::string& why) {
  if (message.empty() || message.back() != '\0') {
    why = "the request does not end with a NUL byte";
    return false;
  }
  message.remove_suffix(1);
  std::wstring wide;
  if (!platform::WideFromUtf8Strict(message, wide)) {
    why = "the request is not UTF-8";
    return false;
  }
  if (message.find('\0') != std::string_view::npos) {
    why = "the request holds a NUL byte before its end";
    return false;
  }
  web::json::value root;
  try {
    root = web::json::value::parse(std::string(message));
  } catch (const std::exception&) {
    why = "the request is not JSON";
    return false;
  }
  if (!root.is_object()) {
    why = "the request is not a JSON object";
    return false;
  }
  bool haveLevel = false, haveTranscode = false;
  TranscodeRequest request;
  for (const auto& [key, value] : root.as_object()) {
    if (key == "loglevel" && !haveLevel) {
      if (!value.is_number() || !value.as_number().is_int32()) {
        why = "\"loglevel\" is not a signed 32-bit integer";
        return false;
      }
      request.logLevel = value.as_number().to_int32();
      haveLevel = true;
    } else if (key == "transcode" && !haveTranscode) {
      if (!value.is_array() || value.size() < 2) {
        why = "\"transcode\" is not an array of at least two strings";
        return false;
      }
      std::vector<std::wstring> items;
      for (const auto& item : value.as_array()) {
        std::wstring text;
        if (!item.is_string() || !platform::WideFromUtf8Strict(item.as_string(), text) ||
            text.find(L'\0') != std::wstring::npos) {
          why = "\"transcode\" holds an element that is not a string without NUL";
          return false;
        }
        items.push_back(std::move(text));
      }
      request.source = items[0];
      request.output = items[1];
      request.options.assign(items.begin() + 2, items.end());
      haveTranscode = true;
    } else {
      why = "the request holds the key \"" + key + "\" once too often or unknown";
      return false;
    }
  }
  if (!haveLevel || !haveTranscode) {
    why = haveLevel ? "the request has no \"transcode\"" : "the request has no \"loglevel\"";
    return false;
  }
  if (request.source.empty() || request.output.empty()) {
    why = "the source or output path is empty";
    return false;
  }
  out = std::move(request);
  return true;
}

bool TranslateOptions(const std::vector<std::wstring>& options, std::vector<std::string>& ffmpegOptions,
                      std::string& why) {
  std::vector<std::string> tokens;
  for (const std::wstring& option : options) tokens.push_back(platform::Utf8FromWide(option));
  std::vector<std::string> preview;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < tokens.size();) {
    const std::string& token = tokens[i];
    if (token == "-vnpreview") {
      if (!preview.empty()) {
        why = "-vnpreview is given twice";
        return false;
      }
      if (i + 2 >= tokens.size()) {
        why = "-vnpreview needs a frame count and a size";
        return false;
      }
      if (!PreviewOptions(tokens[i + 1], tokens[i + 2], preview, why)) return false;
      i += 3;
      continue;
    }
    std::string name, stream;
    if (!SplitOption(token, name, stream)) {
      why = "positional argument '" + token + "' refused";
      return false;
    }
    if (stream.empty() && IsFlag(name)) {
      rest.push_back(token);
      i += 1;
      continue;
    }
    const auto allowed = kAllowedOptions.find(name);
    if (allowed == kAllowedOptions.end()) {
      why = "option '" + token + "' refused";
      return false;
    }
    if (i + 1 >= tokens.size()) {
      why = "option '" + token + "' needs a value";
      return false;
    }
    std::string value;
    if (!CheckValue(allowed->second, tokens[i + 1], value, why)) {
      why = "option '" + token + "': " + why;
      return false;
    }
    rest.push_back(token);
    rest.push_back(value);
    i += 2;
  }
  // The preview's settings first, so that the client's options can refine them.
  ffmpegOptions = std::move(preview);
  ffmpegOptions.insert(ffmpegOptions.end(), rest.begin(), rest.end());
  return true;
}

std::vector<std::string> InputOptions() {
  return {"-protocol_whitelist", "file", "-format_whitelist",
          "mov,mp4,matroska,webm,avi,mpegts,mpeg,mpegvideo,flv,ogg,wav,w64,aiff,mp3,aac,flac,asf,mxf,dv,ivf,"
          "h264,hevc,m4v,mjpeg,gif,apng,image2,png_pipe,jpeg_pipe,webp_pipe,bmp_pipe,tiff_pipe,yuv4mpegpipe"};
}

std::string FfmpegLogLevel(int level) {
  static const struct {
    int level;
    const char* name;
  } kNames[] = {{-8, "quiet"},   {0, "panic"},    {8, "fatal"},  {16, "error"}, {24, "warning"},
                {32, "info"},    {40, "verbose"}, {48, "debug"}, {56, "trace"}};
  for (const auto& n : kNames)
    if (n.level == level) return std::string("level+") + n.name;
  return "level+" + std::to_string(level);
}

}  // namespace archive
