// transcoder_client_test.cpp - the transcoder client against a scripted transcoder.
//
// The transcoder is transcoder_fake.py, a separate process that listens on
// the pipe's socket and speaks the pipe layer's wire format: it records the
// bytes the client sent and answers with the replies a row scripts, byte for
// byte (malformed ones included). Each row runs one job and compares the
// Win32 code, the failure text and the lines the callback received; request
// rows compare what arrived. The level and errno tables are also checked
// directly, row by row.
#include "providers/Framesight/TranscoderClient.h"

#include "platform/base/errors.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/pipe/pipe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::wstring kName = L"FFMPEG";
const std::wstring kFindText = L"Failed to find transcoder 'FFMPEG'";
const std::wstring kTalkText = L"Failed to communicate with transcoder 'FFMPEG'";

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Script lines.
std::string Send(const std::string& bytes) { return "send " + Hex(bytes); }
std::string Log(const std::string& line, const std::string& level) {
  return Send("{\"log\":{\"line\":\"" + line + "\",\"level\":" + level + "}}");
}
std::string Result(const std::string& message, const std::string& error) {
  return Send("{\"result\":{\"message\":\"" + message + "\",\"error\":" + error + "}}");
}
const std::vector<std::string> kServe = {"admit", "request"};

std::vector<std::string> Serve(std::vector<std::string> replies) {
  std::vector<std::string> script = kServe;
  script.insert(script.end(), replies.begin(), replies.end());
  return script;
}

using Lines = std::vector<std::pair<int, std::wstring>>;

struct Job {
  std::wstring source = L"D:\\Media\\clip.mov";
  std::wstring output = L"D:\\Media\\clip-1-2.webm";
  std::wstring options;
  int levelIndex = 5;
};

struct Outcome {
  DWORD code = 0xFFFFFFFF;
  std::wstring failure;
  bool answered = false;
  Lines lines;
  std::vector<std::string> record;  // the fake's record, line by line
  std::string flagFile;             // created by the callback on its first line

  std::vector<std::string> Recorded(const std::string& kind) const {
    std::vector<std::string> out;
    for (const std::string& line : record) {
      if (line.rfind(kind + " ", 0) == 0) out.push_back(line.substr(kind.size() + 1));
      else if (line == kind) out.push_back("");
    }
    return out;
  }
};

void OnLine(void* context, int levelIndex, const std::wstring& line) {
  auto* outcome = static_cast<Outcome*>(context);
  outcome->lines.emplace_back(levelIndex, line);
  if (!outcome->flagFile.empty()) std::ofstream(outcome->flagFile) << "seen";
}

class TranscoderClient : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = platform::testing::MakeTempDir("framesight_tc_");
    ::setenv("VANTREL_PIPE_DIR", m_dir.c_str(), 1);
  }

  // Runs one job against a fake that follows script; no fake when script is empty.
  Outcome RunJob(const std::vector<std::string>& script, const Job& job = {}, const std::string& flagFile = "") {
    Outcome outcome;
    outcome.flagFile = flagFile;
    const std::string scriptFile = m_dir + "/script";
    const std::string recordFile = m_dir + "/record";
    FILE* fake = nullptr;
    if (!script.empty()) {
      std::ofstream(scriptFile, std::ios::trunc) << Join(script);
      const std::string socket = platform::PipeSocketPath(TranscoderPipeName(kName).c_str());
      const std::string command = std::string("'" PYTHON3_EXECUTABLE "' '" TRANSCODER_FAKE_SCRIPT "' '") + socket +
                                  "' '" + scriptFile + "' '" + recordFile + "'";
      fake = ::popen(command.c_str(), "r");
      char ready[16] = {};
      if (fake == nullptr || std::fgets(ready, sizeof ready, fake) == nullptr || std::string(ready) != "ready\n") {
        ADD_FAILURE() << "the fake transcoder did not start";
        if (fake != nullptr) ::pclose(fake);
        return outcome;
      }
    }
    outcome.code = RunTranscoder(kName, job.source, job.options, job.output, job.levelIndex, OnLine, &outcome,
                                 outcome.failure, &outcome.answered);
    if (fake != nullptr) {
      EXPECT_EQ(::pclose(fake), 0);
      std::ifstream in(recordFile);
      for (std::string line; std::getline(in, line);) outcome.record.push_back(line);
    }
    return outcome;
  }

  static std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  std::string m_dir;
};

// --- What the client sends ---

struct RequestRow {
  const char* name;
  Job job;
  std::string loglevel;
  std::vector<std::string> argv;  // UTF-8
};

const RequestRow kRequestRows[] = {
    {"no options: source and output only", {L"D:\\a.mov", L"D:\\a.webm", L"", 5}, "32", {"D:\\a.mov", "D:\\a.webm"}},
    {"preview options", {L"D:\\a.mov", L"D:\\a.webm", L"-vnpreview 29 640x360", 5}, "32",
     {"D:\\a.mov", "D:\\a.webm", "-vnpreview", "29", "640x360"}},
    {"a quoted argument with blanks stays one",
     {L"D:\\a.mov", L"D:\\b.webm", L"-metadata \"title=Two Words\" -an", 8}, "56",
     {"D:\\a.mov", "D:\\b.webm", "-metadata", "title=Two Words", "-an"}},
    {"escaped quotes and backslashes",
     {L"s", L"o", L"-x a\\\"b \"c\\\\\" d\\e", 0}, "-8", {"s", "o", "-x", "a\"b", "c\\", "d\\e"}},
    {"a quoted first option", {L"s", L"o", L"\"-vf scale=2:2\" -y", 1}, "0", {"s", "o", "-vf scale=2:2", "-y"}},
    {"blanks and tabs between options", {L"s", L"o", L"-a \t  -b", 7}, "48", {"s", "o", "-a", "-b"}},
    {"text beyond ASCII", {L"D:\\M\u00e9dia\\\u65e5\u672c.mov", L"D:\\\u00e9.webm", L"-metadata title=\u00e9", 6},
     "40", {"D:\\M\xc3\xa9" "dia\\\xe6\x97\xa5\xe6\x9c\xac.mov", "D:\\\xc3\xa9.webm", "-metadata", "title=\xc3\xa9"}},
    {"level index below the table", {L"s", L"o", L"", -1}, "16", {"s", "o"}},
    {"level index above the table", {L"s", L"o", L"", 9}, "16", {"s", "o"}},
};

TEST_F(TranscoderClient, SendsOneRequestMessageInKeyOrderWithItsNul) {
  for (const RequestRow& row : kRequestRows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = RunJob(Serve({Result("", "0")}), row.job);
    EXPECT_EQ(outcome.code, 0u);
    const std::vector<std::string> requests = outcome.Recorded("request");
    ASSERT_EQ(requests.size(), 1u);
    const std::string bytes = Unhex(requests[0]);
    // One JSON text, then one NUL, and no other NUL.
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\0');
    EXPECT_EQ(bytes.find('\0'), bytes.size() - 1);
    EXPECT_EQ(bytes.rfind("{\"loglevel\":", 0), 0u) << bytes;
    EXPECT_EQ(outcome.Recorded("keys"), std::vector<std::string>{"loglevel,transcode"});
    EXPECT_EQ(outcome.Recorded("loglevel"), std::vector<std::string>{row.loglevel});
    std::vector<std::string> argv;
    for (const std::string& arg : outcome.Recorded("arg")) argv.push_back(Unhex(arg));
    EXPECT_EQ(argv, row.argv);
    EXPECT_TRUE(outcome.Recorded("extra").empty());  // nothing after the request
  }
}

TEST_F(TranscoderClient, TheRequestIsCompactJson) {
  const Outcome outcome = RunJob(Serve({Result("", "0")}), {L"D:\\a.mov", L"D:\\a.webm", L"-an", 3});
  ASSERT_EQ(outcome.Recorded("request").size(), 1u);
  EXPECT_EQ(Unhex(outcome.Recorded("request")[0]),
            std::string("{\"loglevel\":16,\"transcode\":[\"D:\\\\a.mov\",\"D:\\\\a.webm\",\"-an\"]}") + '\0');
}

// --- The replies ---

struct ReplyRow {
  const char* name;
  std::vector<std::string> replies;  // after the request
  DWORD code;
  std::wstring failure;
  Lines lines;
};

std::vector<ReplyRow> ReplyRows() {
  const std::string longLine(5000, 'x');
  const std::string hugeReply = "{\"log\":{\"line\":\"" + std::string(kMaxTranscoderReplyBytes, 'y') + "\",\"level\":0}}";
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += '[';
  return {
      {"success", {Result("", "0")}, 0, L"", {}},
      {"success keeps the message", {Result("done", "0")}, 0, L"done", {}},
      {"lines, then success",
       {Log("first", "32"), Log("second", "24"), Result("", "0")}, 0, L"", {{5, L"first"}, {4, L"second"}}},
      {"a failure with its text", {Result("Invalid data found", "22")}, 87, L"Invalid data found", {}},
      {"a failure without text", {Result("", "2")}, 2, kTalkText, {}},
      {"error -1", {Result("bad", "-1")}, 87, L"bad", {}},
      {"error 1.5 is no errno", {Result("bad", "1.5")}, 87, kTalkText, {}},
      {"error 2.0 is no integer", {Result("bad", "2.0")}, 87, kTalkText, {}},
      {"error beyond 32 bits is not wrapped", {Result("bad", "4294967298")}, 87, kTalkText, {}},
      {"error just beyond 32 bits", {Result("bad", "2147483648")}, 87, kTalkText, {}},
      {"error beyond 64 bits", {Result("bad", "36893488147419103232")}, 87, kTalkText, {}},
      {"error as text", {Send("{\"result\":{\"message\":\"x\",\"error\":\"2\"}}")}, 87, kTalkText, {}},
      {"result without error", {Send("{\"result\":{\"message\":\"x\"}}")}, 87, kTalkText, {}},
      {"result without message", {Send("{\"result\":{\"error\":0}}")}, 87, kTalkText, {}},
      {"message not a string", {Send("{\"result\":{\"message\":5,\"error\":2}}")}, 87, kTalkText, {}},
      {"result not an object", {Send("{\"result\":0}")}, 87, kTalkText, {}},
      {"neither log nor result", {Send("{\"progress\":{}}")}, 87, kTalkText, {}},
      {"not JSON", {Send("frame=1 fps=0")}, 87, kTalkText, {}},
      {"cut JSON", {Send("{\"result\":{\"message\":\"\",\"err")}, 87, kTalkText, {}},
      {"an array", {Send("[1,2]")}, 87, kTalkText, {}},
      {"an empty message", {Send("")}, 87, kTalkText, {}},
      {"two replies in one message", {Send("{\"log\":{\"line\":\"a\",\"level\":0}}{\"result\":{\"message\":\"\",\"error\":0}}")},
       87, kTalkText, {}},
      {"nesting too deep", {Send(deep)}, 87, kTalkText, {}},
      {"log not an object", {Send("{\"log\":\"x\"}"), Result("", "0")}, 87, kTalkText, {}},
      {"log without level", {Send("{\"log\":{\"line\":\"x\"}}"), Result("", "0")}, 87, kTalkText, {}},
      {"log line not a string", {Send("{\"log\":{\"line\":7,\"level\":0}}"), Result("", "0")}, 87, kTalkText, {}},
      {"log level as text", {Send("{\"log\":{\"line\":\"x\",\"level\":\"0\"}}"), Result("", "0")}, 87, kTalkText, {}},
      {"lines before a malformed reply still arrive", {Log("kept", "16"), Send("{")}, 87, kTalkText, {{3, L"kept"}}},
      {"a reply ending in a NUL", {Send(std::string("{\"result\":{\"message\":\"ok\",\"error\":0}}") + '\0')}, 0, L"ok", {}},
      {"a 5,000-byte line", {Log(longLine, "16"), Result("", "0")}, 0, L"", {{3, std::wstring(5000, L'x')}}},
      {"a line split across two replies",
       {Log("half a ", "32"), Log("line\\n", "32"), Result("", "0")}, 0, L"", {{5, L"half a "}, {5, L"line\n"}}},
      {"escapes and text beyond ASCII", {Log("caf\\u00e9 \xe6\x97\xa5 \\\"q\\\"", "16"), Result("", "0")}, 0, L"",
       {{3, L"caf\u00e9 \u65e5 \"q\""}}},
      {"invalid UTF-8 in a line is replaced", {Log("a\xff" "b", "16"), Result("", "0")}, 0, L"", {{3, L"a\ufffd" L"b"}}},
      {"a reply beyond the bound", {Send(hugeReply), Result("", "0")}, 87, kTalkText, {}},
      {"a hang-up before the result", {Log("partial", "16"), "close"}, ERROR_BROKEN_PIPE, kTalkText, {{3, L"partial"}}},
      {"a hang-up before any reply", {"close"}, ERROR_BROKEN_PIPE, kTalkText, {}},
  };
}

TEST_F(TranscoderClient, Replies) {
  for (const ReplyRow& row : ReplyRows()) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = RunJob(Serve(row.replies));
    EXPECT_EQ(outcome.code, row.code);
    EXPECT_EQ(outcome.failure, row.failure);
    EXPECT_EQ(outcome.lines, row.lines);
  }
}

TEST_F(TranscoderClient, EveryLevelComesBackAsItsIndex) {
  const std::pair<std::string, int> levels[] = {
      {"-8", 0}, {"0", 1}, {"8", 2}, {"16", 3}, {"24", 4}, {"32", 5}, {"40", 6}, {"48", 7}, {"56", 8},
      {"7", 5},  {"-16", 5}, {"64", 5}, {"1.5", 5}, {"16.0", 5}, {"99999999999999999999", 5}, {"-1e300", 5},
  };
  std::vector<std::string> replies;
  Lines expected;
  for (const auto& [level, index] : levels) {
    replies.push_back(Log("at " + level, level));
    expected.emplace_back(index, platform::WideFromUtf8("at " + level));
  }
  replies.push_back(Result("", "0"));
  const Outcome outcome = RunJob(Serve(replies));
  EXPECT_EQ(outcome.code, 0u);
  EXPECT_EQ(outcome.lines, expected);
}

// The result's errno numbers, in the Windows C runtime's numbering.
struct ErrnoRow {
  long long error;
  DWORD code;
};
const ErrnoRow kErrnoRows[] = {
    {0, 0},       {1, 5},      {2, 2},      {4, 1223},   {105, 1223}, {5, 1117},  {6, 110},   {7, 122},
    {119, 122},   {9, 6},      {12, 8},     {13, 5},     {14, 13},    {42, 13},   {16, 170},  {17, 80},
    {18, 17},     {19, 20},    {24, 4},     {27, 223},   {28, 112},   {29, 132},  {30, 19},   {32, 109},
    {33, 534},    {34, 534},   {36, 1131},  {38, 206},   {40, 1},     {41, 145},  {112, 997}, {120, 259},
    {129, 50},    {138, 121},
    // Not in the table.
    {3, 87},      {22, 87},    {131, 87},   {-1, 87},    {2147483647, 87}, {-2147483648LL, 87},
};

TEST_F(TranscoderClient, EveryErrnoRowOverThePipe) {
  for (const ErrnoRow& row : kErrnoRows) {
    SCOPED_TRACE(row.error);
    const Outcome outcome = RunJob(Serve({Result("text", std::to_string(row.error))}));
    EXPECT_EQ(outcome.code, row.code);
    EXPECT_EQ(outcome.failure, L"text");
  }
}

TEST(TranscoderTables, ErrnoNumbersToWin32Codes) {
  for (const ErrnoRow& row : kErrnoRows) EXPECT_EQ(Win32FromTranscoderError(row.error), row.code) << row.error;
  EXPECT_EQ(Win32FromTranscoderError(4294967298LL), 87u);  // not 2
}

TEST(TranscoderTables, LevelIndexesBothWays) {
  const int sent[] = {-8, 0, 8, 16, 24, 32, 40, 48, 56};
  for (int index = 0; index < 9; ++index) {
    EXPECT_EQ(TranscoderLogLevel(index), sent[index]) << index;
    EXPECT_EQ(LevelIndexFromTranscoderLevel(sent[index]), index) << index;
  }
  for (int index : {-100, -1, 9, 1000}) EXPECT_EQ(TranscoderLogLevel(index), 16) << index;
  for (long long level : {-9LL, 1LL, 31LL, 33LL, 57LL, 4294967296LL}) EXPECT_EQ(LevelIndexFromTranscoderLevel(level), 5);
  EXPECT_EQ(TranscoderPipeName(L"FFMPEG"), L"\\\\.\\pipe\\Vantrel.Transcode.FFMPEG");
}

// --- Reaching the transcoder ---

TEST_F(TranscoderClient, NoServerIsPipeNotConnected) {
  const Outcome outcome = RunJob({});
  EXPECT_EQ(outcome.code, ERROR_PIPE_NOT_CONNECTED);
  EXPECT_EQ(outcome.failure, kFindText);
  EXPECT_TRUE(outcome.lines.empty());
}

struct BusyRow {
  const char* name;
  std::vector<std::string> script;
  DWORD code;
  std::wstring failure;
  std::vector<std::string> opens;  // the first byte of each connection the fake saw
};

const BusyRow kBusyRows[] = {
    {"busy, then free", {"busy", "wait-free", "admit", "request", Result("", "0")}, 0, L"", {"C", "W", "C"}},
    {"busy again after the wait",
     {"busy", "wait-free", "busy", "wait-free", "admit", "request", Result("", "0")}, 0, L"",
     {"C", "W", "C", "W", "C"}},
    {"the transcoder goes away during the wait", {"busy", "wait-gone"}, ERROR_FILE_NOT_FOUND, kFindText,
     {"C", "W"}},
    // Busy for the whole wait is not "not found": the transcoder is there.
    {"busy for the whole wait", {"busy", "wait-out"}, ERROR_PIPE_BUSY,
     L"Transcoder 'FFMPEG' is busy: no instance was free within 10 s", {"C", "W"}},
};

TEST_F(TranscoderClient, BusyInstancesAreWaitedFor) {
  for (const BusyRow& row : kBusyRows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = RunJob(row.script);
    EXPECT_EQ(outcome.code, row.code);
    EXPECT_EQ(outcome.failure, row.failure);
    EXPECT_EQ(outcome.Recorded("open"), row.opens);
  }
}

// Whether a result came back is what tells a refusal (the file's failure)
// from a transcoder that could not be asked at all.
TEST_F(TranscoderClient, AnsweredTellsAResultFromNone) {
  const struct {
    const char* name;
    std::vector<std::string> script;
    bool answered;
  } rows[] = {
      {"success", Serve({Result("", "0")}), true},
      {"a refusal with its message and no line", Serve({Result("the size is not WxH with even sides", "22")}), true},
      {"a failure without a message", Serve({Result("", "5")}), true},
      {"no pipe", {}, false},
      {"the pipe closed before the result", Serve({Log("partial", "16"), "close"}), false},
      {"a malformed reply", Serve({Send("{")}), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = RunJob(row.script);
    EXPECT_EQ(outcome.answered, row.answered);
  }
}

TEST_F(TranscoderClient, EachLineReachesTheCallbackBeforeTheNextReplyIsRead) {
  // The fake sends nothing more until the callback has seen the first line.
  const std::string flag = m_dir + "/seen";
  const Outcome outcome =
      RunJob(Serve({Log("before the stall", "16"), "stall " + flag, Result("after", "0")}), Job{}, flag);
  EXPECT_EQ(outcome.code, 0u);
  EXPECT_EQ(outcome.failure, L"after");
  EXPECT_EQ(outcome.lines, (Lines{{3, L"before the stall"}}));
  EXPECT_TRUE(outcome.Recorded("stall-timeout").empty());
}

}  // namespace
