// Job.cpp - one transcode: request, ffmpeg, log lines, result.
//
// The job's thread waits on three things at once: ffmpeg's standard error
// (log lines to relay), a read posted on the pipe (it completes with an
// error when the client hangs up) and the service's stop event. Whatever
// ends the job early kills ffmpeg's process group and deletes the temporary
// file before the client is dropped.
#include "archive/transcoder/Job.h"

#include "archive/transcoder/FfmpegLog.h"
#include "archive/transcoder/Request.h"

#include "platform/base/crt_errno.h"
#include "platform/base/format.h"
#include "platform/base/spawn.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"

#include <cpprest/json.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace archive {

namespace {

constexpr DWORD kFirstReadSize = 4096;
constexpr std::size_t kMaxRequestBytes = 1 << 20;
constexpr std::size_t kStderrChunk = 65536;

std::atomic<unsigned> g_temporaryCounter{0};

using json = web::json::value;

enum class Wake { kStop, kPipe, kOther, kTimeout };

Wake WaitFor(HANDLE stopEvent, HANDLE pipeEvent, HANDLE other, DWORD timeoutMs) {
  HANDLE handles[3] = {stopEvent, pipeEvent, other};
  const DWORD count = other != nullptr ? 3 : 2;
  switch (WaitForMultipleObjects(count, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0: return Wake::kStop;
    case WAIT_OBJECT_0 + 1: return Wake::kPipe;
    case WAIT_OBJECT_0 + 2: return Wake::kOther;
    case WAIT_TIMEOUT: return Wake::kTimeout;
    default: return Wake::kStop;
  }
}

// The client's connection: whole-message reads and writes that give up when
// the service stops.
class Connection {
 public:
  Connection(HANDLE pipe, HANDLE stopEvent) : m_pipe(pipe), m_stop(stopEvent) {}
  ~Connection() { CancelWatch(); }

  // One whole message; false when the client went away, the service
  // stopped, the wait ran out or the message is longer than limit.
  bool ReadMessage(std::string& message, DWORD timeoutMs, std::size_t limit, bool& tooLong) {
    message.clear();
    tooLong = false;
    std::vector<char> buffer(kFirstReadSize);
    for (;;) {
      OVERLAPPED ov;
      ov.hEvent = m_readEvent.get();
      ResetEvent(m_readEvent.get());
      DWORD n = 0;
      BOOL ok = ReadFile(m_pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &n, &ov);
      DWORD error = ok ? ERROR_SUCCESS : GetLastError();
      if (error == ERROR_IO_PENDING) {
        if (WaitFor(m_stop, m_readEvent.get(), nullptr, timeoutMs) != Wake::kPipe) {
          CancelIoEx(m_pipe, &ov);
          GetOverlappedResult(m_pipe, &ov, &n, TRUE);
          return false;
        }
        ok = GetOverlappedResult(m_pipe, &ov, &n, TRUE);
        error = ok ? ERROR_SUCCESS : GetLastError();
      }
      if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return false;
      message.append(buffer.data(), n);
      if (message.size() > limit) {
        tooLong = true;
        return false;
      }
      if (error == ERROR_SUCCESS) return true;
    }
  }

  // One message; false when it could not be written (client gone, stop).
  bool WriteMessage(const std::string& message) {
    OVERLAPPED ov;
    ov.hEvent = m_writeEvent.get();
    ResetEvent(m_writeEvent.get());
    DWORD n = 0;
    BOOL ok = WriteFile(m_pipe, message.data(), static_cast<DWORD>(message.size()), &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (WaitFor(m_stop, m_writeEvent.get(), nullptr, INFINITE) != Wake::kPipe) {
        // A write that began to go out finishes anyway; the caller drops
        // the client, which ends it.
        CancelIoEx(m_pipe, &ov);
        return false;
      }
      ok = GetOverlappedResult(m_pipe, &ov, &n, TRUE);
    }
    return ok != FALSE;
  }

  // A read posted only to learn that the client hung up; whatever else the
  // client sends is not part of the protocol and is dropped.
  void Watch() {
    if (m_watching) return;
    ResetEvent(m_watchEvent.get());
    m_watchOv = OVERLAPPED{};
    m_watchOv.hEvent = m_watchEvent.get();
    DWORD n = 0;
    BOOL ok = ReadFile(m_pipe, m_watchBuffer, sizeof m_watchBuffer, &n, &m_watchOv);
    m_watching = ok == FALSE && GetLastError() == ERROR_IO_PENDING;
    if (!m_watching) {
      m_hungUp = !ok && GetLastError() != ERROR_MORE_DATA;
      SetEvent(m_watchEvent.get());
    }
  }
  // After the watch event fired: true when the client is gone.
  bool HungUp() {
    if (m_watching) {
      DWORD n = 0;
      BOOL ok = GetOverlappedResult(m_pipe, &m_watchOv, &n, TRUE);
      m_watching = false;
      m_hungUp = !ok && GetLastError() != ERROR_MORE_DATA;
    }
    const bool gone = m_hungUp;
    if (!gone) Watch();
    return gone;
  }
  HANDLE WatchEvent() const { return m_watchEvent.get(); }
  void CancelWatch() {
    if (!m_watching) return;
    CancelIoEx(m_pipe, &m_watchOv);
    DWORD n = 0;
    GetOverlappedResult(m_pipe, &m_watchOv, &n, TRUE);
    m_watching = false;
  }

 private:
  HANDLE m_pipe;
  HANDLE m_stop;
  platform::UniqueHandle m_readEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  platform::UniqueHandle m_writeEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  platform::UniqueHandle m_watchEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED m_watchOv{};
  char m_watchBuffer[256];
  bool m_watching = false;
  bool m_hungUp = false;
};

std::string LogMessage(const std::string& line, int level) {
  json log = json::object(true);
  log["line"] = json::string(line);
  log["level"] = json::number(level);
  json reply = json::object(true);
  reply["log"] = log;
  return reply.serialize();
}

std::string ResultMessage(const std::string& message, int error) {
  json result = json::object(true);
  result["message"] = json::string(message);
  result["error"] = json::number(error);
  json reply = json::object(true);
  reply["result"] = result;
  return reply.serialize();
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

std::string TrimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The journal's record of a job.
struct JobRecord {
  ULONGLONG job = 0;
  std::wstring transcoder;
  pid_t pid = 0;
  std::vector<std::string> argv;
  ULONGLONG start = 0;
  ULONGLONG end = 0;
  std::string status;  // succeeded, failed, refused, hung up, stopped
  int error = 0;       // the errno sent, in the C runtime's numbering
  int exitCode = -1;   // ffmpeg's exit code, -1 when it did not exit by itself
  int signal = 0;
  std::string message;

  std::string Line(bool ended) const {
    json record = json::object(true);
    record["event"] = json::string(ended ? "end" : "start");
    record["job"] = json::number(static_cast<uint64_t>(job));
    record["transcoder"] = json::string(platform::Utf8FromWide(transcoder));
    record["pid"] = json::number(static_cast<int32_t>(pid));
    json args = json::array(argv.size());
    for (std::size_t i = 0; i < argv.size(); ++i) args[i] = json::string(platform::Utf8FromWide(platform::WideFromUtf8(argv[i])));
    record["argv"] = args;
    record["start"] = json::number(static_cast<uint64_t>(start));
    if (ended) {
      record["end"] = json::number(static_cast<uint64_t>(end));
      record["status"] = json::string(status);
      record["error"] = json::number(error);
      record["exit"] = json::number(exitCode);
      record["signal"] = json::number(signal);
      record["message"] = json::string(platform::Utf8FromWide(platform::WideFromUtf8(message)));
    }
    return record.serialize();
  }
};

// The temporary file beside output ("D:\a\.~vntranscode-PID-N.Preview.webm"):
// the output's own name at the end keeps the extension ffmpeg reads the
// format from.
std::wstring TemporaryPath(const std::wstring& output) {
  const std::size_t slash = output.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : output.substr(0, slash + 1);
  const std::wstring name = slash == std::wstring::npos ? output : output.substr(slash + 1);
  return folder + platform::FormatW(L".~vntranscode-%u-%u.", static_cast<unsigned>(::getpid()),
                                    g_temporaryCounter.fetch_add(1)) + name;
}

class Job {
 public:
  Job(HANDLE pipe, const JobContext& context) : m_connection(pipe, context.stopEvent), m_context(context) {
    m_record.job = context.job;
    m_record.transcoder = context.name;
  }

  void Run() {
    std::string message;
    bool tooLong = false;
    if (!m_connection.ReadMessage(message, m_context.settings.requestWaitMs, kMaxRequestBytes, tooLong)) {
      if (tooLong) Refuse(EINVAL, "the request is longer than 1 MiB");
      return;
    }
    TranscodeRequest request;
    std::string why;
    if (!ParseRequest(message, request, why)) return Refuse(EINVAL, why);
    std::vector<std::string> options;
    if (!TranslateOptions(request.options, options, why)) return Refuse(EINVAL, why);
    if (int e = Prepare(request, options, why); e != 0) return Refuse(e, why);
    Transcode(request);
  }

 private:
  void Refuse(int error, const std::string& why) {
    m_record.start = m_record.end = platform::UnixTimeMs();
    Finish("refused", error, why);
  }

  void Finish(const std::string& status, int error, const std::string& message) {
    m_record.status = status;
    m_record.error = platform::CrtErrnoFromErrno(error);
    m_record.message = message;
    if (m_record.end == 0) m_record.end = platform::UnixTimeMs();
    // The journal first: a client holding its result finds the job recorded.
    m_context.journal.Write(m_record.Line(true));
    if (status != "hung up" && status != "stopped") {
      m_connection.WriteMessage(ResultMessage(m_record.message, m_record.error));
    }
  }

  // Paths, the temporary file and ffmpeg's command line; an errno.
  int Prepare(const TranscodeRequest& request, const std::vector<std::string>& options, std::string& why) {
    if (int e = ResolveVolumePath(request.source, m_hostSource, why); e != 0) return e;
    if (int e = ResolveVolumePath(request.output, m_hostOutput, why); e != 0) return e;
    if (m_hostSource == m_hostOutput) {
      why = "the output is the source";
      return EINVAL;
    }
    DWORD attributes = GetFileAttributesW(request.output.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      why = "the output is a folder";
      return EISDIR;
    }
    if (!OutputNameAllowed(request.output, options, why) || !OutputNameAllowed(request.source, {"-f"}, why))
      return EINVAL;
    if (m_context.settings.writeInPlace) {
      // The other kind of transcoder: ffmpeg writes the output's own name,
      // and whatever it leaves there stays.
      m_hostTemporary = m_hostOutput;
      SetCommandLine(request, options);
      return 0;
    }
    m_temporary = TemporaryPath(request.output);
    // The name is taken here (CREATE_NEW), so that no other writer shares it.
    HANDLE file = CreateFileW(m_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      m_temporary.clear();
      why = "cannot create a file beside the output (error " + std::to_string(code) + ")";
      return ErrnoFromWin32(code);
    }
    CloseHandle(file);
    std::string hostTemporary;
    platform::ResolvePath(m_temporary, hostTemporary);
    m_hostTemporary = hostTemporary;
    SetCommandLine(request, options);
    return 0;
  }

  void SetCommandLine(const TranscodeRequest& request, const std::vector<std::string>& options) {
    m_record.argv = {m_context.settings.ffmpeg, "-nostdin", "-hide_banner", "-nostats", "-loglevel",
                     FfmpegLogLevel(request.logLevel)};
    const std::vector<std::string> input = InputOptions();
    m_record.argv.insert(m_record.argv.end(), input.begin(), input.end());
    m_record.argv.insert(m_record.argv.end(), {"-i", "file:" + m_hostSource});
    m_record.argv.insert(m_record.argv.end(), options.begin(), options.end());
    m_record.argv.insert(m_record.argv.end(), {"-y", "file:" + m_hostTemporary});
    m_source = platform::Utf8FromWide(request.source);
    m_output = platform::Utf8FromWide(request.output);
  }

  void DropTemporary() {
    if (!m_temporary.empty()) DeleteFileW(m_temporary.c_str());
    m_temporary.clear();
  }

  void Transcode(const TranscodeRequest& request) {
    m_record.start = platform::UnixTimeMs();
    // ffmpeg's messages in English whatever the locale, so that the error
    // texts can be read; no colour codes in the lines.
    const DWORD started =
        platform::StartChildProcess(m_record.argv, {"LC_ALL=C", "LANGUAGE=", "AV_LOG_FORCE_NOCOLOR=1"}, m_child,
                                    /*dieWithParent=*/true);
    if (started != ERROR_SUCCESS) {
      DropTemporary();
      return Finish("failed", ErrnoFromWin32(started),
                    "cannot run " + m_context.settings.ffmpeg + " (error " + std::to_string(started) + ")");
    }
    m_record.pid = m_child.pid;
    m_context.journal.Write(m_record.Line(false));
    const std::string ended = Relay();
    ::close(m_child.errorFd);
    if (!ended.empty()) {
      // The client hung up or the service stops: ffmpeg and all it started go.
      platform::KillChildProcessGroup(m_child);
    }
    platform::ChildExit exit;
    platform::WaitChildProcess(m_child, exit);
    m_record.end = platform::UnixTimeMs();
    m_record.exitCode = exit.signalled ? -1 : exit.exitCode;
    m_record.signal = exit.signal;
    if (!ended.empty()) {
      DropTemporary();
      return Finish(ended, EINTR, "");
    }
    Conclude(request, exit);
  }

  // Relays ffmpeg's lines until it closes standard error; "" then, or why
  // the job ended early ("hung up", "stopped").
  std::string Relay() {
    platform::UniqueHandle readable(platform::CreateFdWaitHandle(m_child.errorFd, POLLIN));
    FfmpegLogReader reader;
    std::vector<LogLine> lines;
    m_connection.Watch();
    for (;;) {
      switch (WaitFor(m_context.stopEvent, m_connection.WatchEvent(), readable.get(), INFINITE)) {
        case Wake::kStop:
        case Wake::kTimeout:
          return "stopped";
        case Wake::kPipe:
          if (m_connection.HungUp()) return "hung up";
          continue;
        case Wake::kOther:
          break;
      }
      char chunk[kStderrChunk];
      const ssize_t n = ::read(m_child.errorFd, chunk, sizeof chunk);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      lines.clear();
      if (n > 0) reader.Feed(std::string_view(chunk, static_cast<std::size_t>(n)), lines);
      else reader.Finish(lines);
      for (LogLine& line : lines) {
        ReplaceAll(line.text, "file:" + m_hostSource, m_source);
        ReplaceAll(line.text, "file:" + m_hostTemporary, m_output);
        ReplaceAll(line.text, m_hostTemporary, m_output);
        ReplaceAll(line.text, m_hostSource, m_source);
        if (line.level <= kLevelError && line.level > kLevelQuiet) m_errorLines.push_back(line.text);
        if (!m_connection.WriteMessage(LogMessage(line.text, line.level))) {
          return WaitForSingleObject(m_context.stopEvent, 0) == WAIT_OBJECT_0 ? "stopped" : "hung up";
        }
      }
      if (n <= 0) return "";
    }
  }

  // ffmpeg has ended by itself: keep its file or say why not.
  void Conclude(const TranscodeRequest& request, const platform::ChildExit& exit) {
    const std::string firstError = m_errorLines.empty() ? std::string() : TrimLineEnd(m_errorLines.front());
    if (exit.signalled || exit.exitCode != 0) {
      DropTemporary();
      int error = exit.signalled ? EINTR : ErrnoFromErrorLines(m_errorLines);
      if (error == 0) error = EIO;
      std::string message = firstError;
      if (message.empty())
        message = exit.signalled ? "ffmpeg was ended by signal " + std::to_string(exit.signal)
                                 : "ffmpeg ended with exit code " + std::to_string(exit.exitCode);
      return Finish("failed", error, message);
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    const std::wstring& written = m_context.settings.writeInPlace ? request.output : m_temporary;
    if (!GetFileAttributesExW(written.c_str(), GetFileExInfoStandard, &data) ||
        (data.nFileSizeHigh == 0 && data.nFileSizeLow == 0)) {
      DropTemporary();
      return Finish("failed", ENODATA, firstError.empty() ? "ffmpeg wrote nothing" : firstError);
    }
    if (m_context.settings.writeInPlace) return Finish("succeeded", 0, "");
    if (!MoveFileExW(m_temporary.c_str(), request.output.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      const DWORD code = GetLastError();
      DropTemporary();
      return Finish("failed", ErrnoFromWin32(code), "cannot rename onto the output (error " + std::to_string(code) + ")");
    }
    m_temporary.clear();
    Finish("succeeded", 0, "");
  }

  Connection m_connection;
  const JobContext& m_context;
  JobRecord m_record;
  platform::ChildProcess m_child;
  std::string m_hostSource, m_hostOutput, m_hostTemporary;
  std::string m_source, m_output;  // the client's paths, UTF-8
  std::wstring m_temporary;        // while it exists
  std::vector<std::string> m_errorLines;
};

}  // namespace

int ErrnoFromWin32(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION: return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

int ResolveVolumePath(const std::wstring& path, std::string& host, std::string& why) {
  std::wstring_view rest(path);
  if (rest.starts_with(L"\\\\?\\")) rest.remove_prefix(4);
  const bool drivePath = rest.size() >= 3 && ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z')) &&
                         rest[1] == L':' && (rest[2] == L'\\' || rest[2] == L'/');
  const std::string text = platform::Utf8FromWide(path);
  if (!drivePath) {
    why = "'" + text + "' is not a path on the archive's volumes";
    return EACCES;
  }
  std::string volume;
  if (platform::DriveFolder(rest[0], volume) != ERROR_SUCCESS) {
    why = "no volume has the drive letter of '" + text + "'";
    return ENOENT;
  }
  switch (const DWORD code = platform::ResolvePath(path, host)) {
    case ERROR_SUCCESS: return 0;
    case ERROR_BAD_PATHNAME:
      why = "'" + text + "' leads off its volume";
      return EACCES;
    case ERROR_INVALID_NAME:
      why = "'" + text + "' is not a valid path";
      return EINVAL;
    default:
      why = "'" + text + "' cannot be resolved (error " + std::to_string(code) + ")";
      return ErrnoFromWin32(code);
  }
}

void ServeClient(HANDLE pipe, const JobContext& context) {
  Job job(pipe, context);
  job.Run();
}

}  // namespace archive
