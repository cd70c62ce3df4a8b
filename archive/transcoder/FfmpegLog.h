// FfmpegLog.h - ffmpeg's standard error as log lines with levels, and the
// errno its error text names.
//
// ffmpeg runs with "-loglevel level+..." so that every message begins with
// its level tag, after the context prefixes: "[libvpx @ 0x55d0] [warning]
// text". A line's level is its tag's (the tag and its blank removed, the
// context kept); a line without a tag continues the message before it and
// keeps that level. Lines are sent with their line feed; bytes that are not
// UTF-8 become U+FFFD. A line longer than kMaxLineBytes is cut there, and the
// rest continues it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace archive {

// ffmpeg's level numbers (AV_LOG_...), the numbers of the protocol.
constexpr int kLevelQuiet = -8;
constexpr int kLevelPanic = 0;
constexpr int kLevelFatal = 8;
constexpr int kLevelError = 16;
constexpr int kLevelWarning = 24;
constexpr int kLevelInfo = 32;

constexpr std::size_t kMaxLineBytes = 4096;

struct LogLine {
  std::string text;  // UTF-8, with its line feed when the line was ended
  int level = kLevelInfo;
};

class FfmpegLogReader {
 public:
  // Appends the lines that bytes complete to out.
  void Feed(std::string_view bytes, std::vector<LogLine>& out);
  // Appends what is left (a last line without line feed).
  void Finish(std::vector<LogLine>& out);

 private:
  void Emit(std::string text, bool lineStart, std::vector<LogLine>& out);

  std::string m_partial;
  bool m_partialIsContinuation = false;  // m_partial continues a line already cut
  int m_level = kLevelInfo;
};

// The level tag's number for its name ("error" -> 16); false for a name that
// is not one.
bool LevelFromName(std::string_view name, int& level);

// The Linux errno that ffmpeg's error lines name: the first line (in order)
// that holds a text of ffmpeg's error table or of strerror gives it; 0 when
// none does.
int ErrnoFromErrorLines(const std::vector<std::string>& lines);

}  // namespace archive
