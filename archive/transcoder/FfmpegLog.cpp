// FfmpegLog.cpp - level tags, continuation lines and error texts of ffmpeg.
#include "archive/transcoder/FfmpegLog.h"

#include "platform/base/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace archive {

namespace {

struct LevelName {
  const char* name;
  int level;
};
constexpr LevelName kLevelNames[] = {{"quiet", -8},   {"panic", 0},    {"fatal", 8},  {"error", 16}, {"warning", 24},
                                     {"info", 32},    {"verbose", 40}, {"debug", 48}, {"trace", 56}};

// Removes the first "[level] " tag of a line start, looking past context
// prefixes ("[name @ 0x...] "); false when the line has no tag.
bool StripLevelTag(std::string& text, int& level) {
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == '[') {
    const std::size_t close = text.find("] ", pos);
    if (close == std::string::npos) return false;
    const std::string_view inside(text.data() + pos + 1, close - pos - 1);
    if (LevelFromName(inside, level)) {
      text.erase(pos, close + 2 - pos);
      return true;
    }
    if (inside.find(" @ ") == std::string_view::npos) return false;
    pos = close + 2;
  }
  return false;
}

// ffmpeg's own error texts (libavutil's table) and the errno each stands for.
const std::pair<const char*, int> kFfmpegErrors[] = {
    {"Invalid data found when processing input", EILSEQ},
    {"Bitstream filter not found", EINVAL},
    {"Decoder not found", EINVAL},
    {"Demuxer not found", EINVAL},
    {"Encoder not found", EINVAL},
    {"Unknown encoder", EINVAL},
    {"Unknown decoder", EINVAL},
    {"Filter not found", EINVAL},
    {"Muxer not found", EINVAL},
    {"Option not found", EINVAL},
    {"Protocol not found", EINVAL},
    {"Stream not found", EINVAL},
    {"Experimental feature", EINVAL},
    {"Immediate exit requested", EINTR},
    {"Not yet implemented in FFmpeg, patches welcome", ENOSYS},
    {"End of file", EIO},
    {"Generic error in an external library", EIO},
    {"Unknown error occurred", EIO},
};

struct ErrorText {
  std::string text;
  int error;
};

// Every known text, the longest first so that a text inside another never
// wins over it.
const std::vector<ErrorText>& ErrorTexts() {
  static const std::vector<ErrorText> texts = [] {
    std::vector<ErrorText> all;
    for (const auto& [text, error] : kFfmpegErrors) all.push_back({text, error});
    for (int e = 1; e < 134; ++e) {
      const char* text = std::strerror(e);
      if (text != nullptr && std::strncmp(text, "Unknown error", 13) != 0) all.push_back({text, e});
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const ErrorText& a, const ErrorText& b) { return a.text.size() > b.text.size(); });
    return all;
  }();
  return texts;
}

}  // namespace

bool LevelFromName(std::string_view name, int& level) {
  for (const LevelName& n : kLevelNames) {
    if (name == n.name) {
      level = n.level;
      return true;
    }
  }
  return false;
}

void FfmpegLogReader::Emit(std::string text, bool lineStart, std::vector<LogLine>& out) {
  int level = m_level;
  if (lineStart && StripLevelTag(text, level)) m_level = level;
  out.push_back({platform::Utf8FromWide(platform::WideFromUtf8(text)), m_level});
}

void FfmpegLogReader::Feed(std::string_view bytes, std::vector<LogLine>& out) {
  while (!bytes.empty()) {
    const std::size_t feed = bytes.find('\n');
    const std::size_t take = feed == std::string_view::npos ? bytes.size() : feed + 1;
    std::size_t room = kMaxLineBytes - m_partial.size();
    if (take > room) {
      // Cut before a character's continuation bytes, so that a character
      // is never split into two replacement marks.
      for (int back = 0; back < 3 && room > 0 && (static_cast<unsigned char>(bytes[room]) & 0xC0) == 0x80; ++back)
        --room;
      // Too long: send what fits, the rest continues the line.
      m_partial.append(bytes.substr(0, room));
      bytes.remove_prefix(room);
      Emit(std::exchange(m_partial, {}), !std::exchange(m_partialIsContinuation, true), out);
      continue;
    }
    m_partial.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (feed != std::string_view::npos)
      Emit(std::exchange(m_partial, {}), !std::exchange(m_partialIsContinuation, false), out);
  }
}

void FfmpegLogReader::Finish(std::vector<LogLine>& out) {
  if (!m_partial.empty()) Emit(std::exchange(m_partial, {}), !std::exchange(m_partialIsContinuation, false), out);
}

int ErrnoFromErrorLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    for (const ErrorText& known : ErrorTexts())
      if (line.find(known.text) != std::string::npos) return known.error;
  return 0;
}

}  // namespace archive
