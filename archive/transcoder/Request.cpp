// Request.cpp - parsing the request message and translating its options.
#include "archive/transcoder/Request.h"

#include "platform/base/text.h"

#include <cpprest/json.h>

#include <algorithm>
#include <charconv>
#include <set>

namespace archive {

namespace {

// What ffmpeg must not be given by a client: a second input, options that
// read or write files beside the output, its logging and prompting (the
// stand-in sets those), and the options that print help and exit.
const std::set<std::string, std::less<>> kRefusedOptions = {
    "i", "y", "n", "loglevel", "v", "report", "stdin", "nostdin", "hide_banner", "stats", "nostats",
    "stats_period", "progress", "vstats", "vstats_file", "vstats_version", "pass", "passlogfile", "attach",
    "dump_attachment", "filter_script", "filter_complex", "filter_complex_script", "lavfi", "sdp_file",
    "benchmark", "benchmark_all", "dump", "hex", "debug_ts", "init_hw_device", "filter_hw_device", "h", "help",
    "?", "version", "buildconf", "formats", "muxers", "demuxers", "devices", "codecs", "decoders", "encoders",
    "bsfs", "protocols", "filters", "pix_fmts", "layouts", "sample_fmts", "dispositions", "colors", "hwaccels",
    "L", "sources", "sinks", "vnpreview"};

// Formats that write files of their own beside the output.
const std::set<std::string, std::less<>> kRefusedFormats = {"hls", "dash", "segment", "ssegment",
                                                             "stream_segment", "tee", "fifo"};

// ffmpeg's output options that take no value; the boolean ones also answer
// to "no" + name.
const std::set<std::string, std::less<>> kFlagOptions = {
    "an", "vn", "sn", "dn", "shortest", "copyts", "start_at_zero", "copyinkf", "bitexact", "autoscale",
    "force_fps", "xerror", "ignore_unknown", "copy_unknown", "psnr", "qphist", "auto_conversion_filters"};

bool IsFlag(std::string_view name) {
  if (kFlagOptions.contains(name)) return true;
  return name.starts_with("no") && kFlagOptions.contains(name.substr(2));
}

// "-name" or "-name:stream": the name, or empty when token is no option.
std::string OptionName(std::string_view token) {
  if (token.size() < 2 || token[0] != '-') return {};
  const std::string_view name = token.substr(1, token.find(':') == std::string_view::npos ? token.npos
                                                                                            : token.find(':') - 1);
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.empty() || !(letter(name[0]) || name == "?")) return {};
  for (char c : name)
    if (!letter(c) && !digit(c) && c != '-' && c != '?') return {};
  for (char c : token)
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return {};
  return std::string(name);
}

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
    const std::string name = OptionName(token);
    if (name.empty()) {
      why = "positional argument '" + token + "' refused";
      return false;
    }
    if (kRefusedOptions.contains(name)) {
      why = "option '" + token + "' refused";
      return false;
    }
    if (IsFlag(name)) {
      rest.push_back(token);
      i += 1;
      continue;
    }
    if (i + 1 >= tokens.size()) {
      why = "option '" + token + "' needs a value";
      return false;
    }
    if (name == "f" && kRefusedFormats.contains(tokens[i + 1])) {
      why = "format '" + tokens[i + 1] + "' refused";
      return false;
    }
    rest.push_back(token);
    rest.push_back(tokens[i + 1]);
    i += 2;
  }
  // The preview's settings first, so that the client's options can refine them.
  ffmpegOptions = std::move(preview);
  ffmpegOptions.insert(ffmpegOptions.end(), rest.begin(), rest.end());
  return true;
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
