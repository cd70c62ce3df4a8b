// transcoder_units_test.cpp - the log reader, the errno of error texts and the option rules.
#include "archive/transcoder/FfmpegLog.h"
#include "archive/transcoder/Request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace archive {
// For comparing lines in tests.
bool operator==(const LogLine& a, const LogLine& b) { return a.text == b.text && a.level == b.level; }
void PrintTo(const LogLine& line, std::ostream* os) { *os << line.level << ":" << ::testing::PrintToString(line.text); }
}  // namespace archive

namespace {

using archive::LogLine;

std::vector<LogLine> ReadAll(const std::vector<std::string_view>& chunks) {
  archive::FfmpegLogReader reader;
  std::vector<LogLine> lines;
  for (std::string_view chunk : chunks) reader.Feed(chunk, lines);
  reader.Finish(lines);
  return lines;
}

// ffmpeg's output reaches the reader in chunks cut anywhere: every cut into
// two and into single bytes must read as the whole does.
TEST(FfmpegLogReader, ChunkBoundariesDoNotMatter) {
  const std::string log =
      "[info] Input #0\n[mov @ 0x12] [warning] w\xc3\xa9\nrest of it\n[error] bad \xe2\x82\n[fatal] end";
  const std::vector<LogLine> whole = ReadAll({log});
  const std::vector<LogLine> expected = {{"Input #0\n", 32},
                                         {"[mov @ 0x12] w\xc3\xa9\n", 24},
                                         {"rest of it\n", 24},
                                         {"bad \xef\xbf\xbd\n", 16},
                                         {"end", 8}};
  EXPECT_EQ(whole, expected);
  for (std::size_t cut = 0; cut <= log.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(ReadAll({std::string_view(log).substr(0, cut), std::string_view(log).substr(cut)}), expected);
  }
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < log.size(); ++i) bytes.push_back(std::string_view(log).substr(i, 1));
  EXPECT_EQ(ReadAll(bytes), expected);
}

struct TagRow {
  const char* name;
  const char* line;
  const char* text;
  int level;
};

TEST(FfmpegLogReader, TagRows) {
  const TagRow rows[] = {
      {"tag first", "[debug] x\n", "x\n", 48},
      {"after two contexts", "[a @ 0x1] [b @ 0x2] [trace] x\n", "[a @ 0x1] [b @ 0x2] x\n", 56},
      {"only the first tag goes", "[error] [info] x\n", "[info] x\n", 16},
      {"a bracket that is no context", "[0][0] x\n", "[0][0] x\n", 32},
      {"an unknown level word", "[loud] x\n", "[loud] x\n", 32},
      {"tag without blank", "[error]x\n", "[error]x\n", 32},
      {"empty line", "\n", "\n", 32},
  };
  for (const TagRow& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<LogLine> lines = ReadAll({row.line});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, row.text);
    EXPECT_EQ(lines[0].level, row.level);
  }
}

TEST(FfmpegLogReader, LongLinesAreCutAtACharacter) {
  std::string text(archive::kMaxLineBytes - 1, 'a');
  text += "\xc3\xa9 tail\n";  // the two-byte character straddles the limit
  // An untagged line continues the warning before it.
  const std::vector<LogLine> lines = ReadAll({"[warning] w\n" + text});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].text + lines[2].text, text);
  EXPECT_EQ(lines[2].text, "\xc3\xa9 tail\n");
  EXPECT_EQ(lines[1].level, 24);
  EXPECT_EQ(lines[2].level, 24);
}

TEST(ErrnoFromErrorLines, Rows) {
  const struct {
    std::vector<std::string> lines;
    int error;
  } rows[] = {
      {{"[mov @ 0x1] moov atom not found\n", "D:\\a.mp4: Invalid data found when processing input\n"}, EILSEQ},
      {{"D:\\a.mp4: No such file or directory\n"}, ENOENT},
      {{"D:\\out: Permission denied\n"}, EACCES},
      {{"Error splitting the argument list: Option not found\n"}, EINVAL},
      {{"Unknown encoder 'x'\n"}, EINVAL},
      {{"av_interleaved_write_frame(): No space left on device\n"}, ENOSPC},
      {{"Conversion failed!\n"}, 0},
      {{}, 0},
      {{"first: Invalid argument\n", "second: No such file or directory\n"}, EINVAL},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines.empty() ? std::string("none") : row.lines.front());
    EXPECT_EQ(archive::ErrnoFromErrorLines(row.lines), row.error);
  }
}

TEST(TranslateOptions, AcceptedRows) {
  const struct {
    const char* name;
    std::vector<std::wstring> options;
    std::vector<std::string> ffmpeg;
  } rows[] = {
      {"none", {}, {}},
      {"value options", {L"-c:v", L"libvpx", L"-b:v", L"-1"}, {"-c:v", "libvpx", "-b:v", "-1"}},
      {"flags and no-flags", {L"-an", L"-noautoscale", L"-vn"}, {"-an", "-noautoscale", "-vn"}},
      {"a value with blanks", {L"-metadata", L"title=a b"}, {"-metadata", "title=a b"}},
      {"an allowed format", {L"-f", L"matroska"}, {"-f", "matroska"}},
      {"a format in upper case", {L"-f", L"WebM"}, {"-f", "webm"}},
      {"a numeric filter chain", {L"-vf", L"scale=w=320:h=-2,fps=30000/1001,format=yuv420p"},
       {"-vf", "scale=w=320:h=-2,fps=30000/1001,format=yuv420p"}},
      {"a map of the input", {L"-map", L"0:v:0"}, {"-map", "0:v:0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> out;
    std::string why;
    ASSERT_TRUE(archive::TranslateOptions(row.options, out, why)) << why;
    EXPECT_EQ(out, row.ffmpeg);
  }
}

TEST(TranslateOptions, RefusedRows) {
  const struct {
    const char* name;
    std::vector<std::wstring> options;
  } rows[] = {
      {"a filter off the list", {L"-vf", L"null;ladspa=file=/x.so"}},
      {"a path in a filter", {L"-vf", L"drawtext=textfile=/etc/passwd"}},
      {"an expression", {L"-vf", L"scale=iw/2:-2"}},
      {"a quoted argument", {L"-vf", L"scale='2'"}},
      {"upper-case segment", {L"-f", L"SEGMENT"}},
      {"an option off the list", {L"-dump_attachment:t", L"/x"}},
      {"a codec with a slash", {L"-c:v", L"/x"}},
      {"a map of a second input", {L"-map", L"1"}},
      {"a malformed stream specifier", {L"-c:", L"libvpx"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> out;
    std::string why;
    EXPECT_FALSE(archive::TranslateOptions(row.options, out, why));
    EXPECT_FALSE(why.empty());
  }
}

TEST(OutputNameAllowed, Rows) {
  std::string why;
  EXPECT_TRUE(archive::OutputNameAllowed(L"D:\\a\\Preview.webm", {}, why));
  EXPECT_TRUE(archive::OutputNameAllowed(L"D:\\a\\Thumb.PNG", {}, why));
  EXPECT_FALSE(archive::OutputNameAllowed(L"D:\\a\\list.m3u8", {}, why));
  EXPECT_TRUE(archive::OutputNameAllowed(L"D:\\a\\list.m3u8", {"-f", "webm"}, why));
  EXPECT_FALSE(archive::OutputNameAllowed(L"D:\\a\\img%03d.png", {"-f", "image2"}, why));
}

TEST(TranslateOptions, PreviewComesFirstAndTheClientsOptionsAfter) {
  std::vector<std::string> out;
  std::string why;
  ASSERT_TRUE(archive::TranslateOptions({L"-b:v", L"200k", L"-vnpreview", L"1", L"2x2"}, out, why)) << why;
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(out.end() - 2, out.end()), (std::vector<std::string>{"-b:v", "200k"}));
  const auto frames = std::find(out.begin(), out.end(), "-frames:v");
  ASSERT_NE(frames, out.end());
  EXPECT_EQ(*(frames + 1), "1");
  const auto codec = std::find(out.begin(), out.end(), "libvpx");
  EXPECT_NE(codec, out.end());
  const auto format = std::find(out.begin(), out.end(), "-f");
  ASSERT_NE(format, out.end());
  EXPECT_EQ(*(format + 1), "webm");
}

TEST(FfmpegLogLevel, NamesAndNumbers) {
  EXPECT_EQ(archive::FfmpegLogLevel(-8), "level+quiet");
  EXPECT_EQ(archive::FfmpegLogLevel(16), "level+error");
  EXPECT_EQ(archive::FfmpegLogLevel(32), "level+info");
  EXPECT_EQ(archive::FfmpegLogLevel(56), "level+trace");
  EXPECT_EQ(archive::FfmpegLogLevel(33), "level+33");
  EXPECT_EQ(archive::FfmpegLogLevel(-100), "level+-100");
}

}  // namespace
