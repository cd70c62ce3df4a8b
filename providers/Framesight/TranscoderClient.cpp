// TranscoderClient.cpp - one transcode over the transcoder's pipe: request, log lines, result.
#include "providers/Framesight/TranscoderClient.h"

#include "platform/base/cmdline.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/sync.h"

#include <cpprest/json.h>

#include <array>
#include <exception>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace {

// Level index -> the transcoder's "loglevel".
constexpr std::array<int, 9> kLevels = {-8, 0, 8, 16, 24, 32, 40, 48, 56};

// Replies are read in steps of this size within one message.
constexpr DWORD kReadStep = 1024;

// A result's "error" (Windows C runtime errno) -> Win32 code.
struct ErrnoRow {
  int error;
  DWORD code;
};
constexpr ErrnoRow kErrnoRows[] = {
    {1, 5},       // EPERM -> ERROR_ACCESS_DENIED
    {2, 2},       // ENOENT -> ERROR_FILE_NOT_FOUND
    {4, 1223},    // EINTR -> ERROR_CANCELLED
    {105, 1223},  // ECANCELED
    {5, 1117},    // EIO -> ERROR_IO_DEVICE
    {6, 110},     // ENXIO -> ERROR_OPEN_FAILED
    {7, 122},     // E2BIG -> ERROR_INSUFFICIENT_BUFFER
    {119, 122},   // ENOBUFS
    {9, 6},       // EBADF -> ERROR_INVALID_HANDLE
    {12, 8},      // ENOMEM -> ERROR_NOT_ENOUGH_MEMORY
    {13, 5},      // EACCES -> ERROR_ACCESS_DENIED (not "device not ready")
    {14, 13},     // EFAULT -> ERROR_INVALID_DATA
    {42, 13},     // EILSEQ
    {16, 170},    // EBUSY -> ERROR_BUSY
    {17, 80},     // EEXIST -> ERROR_FILE_EXISTS
    {18, 17},     // EXDEV -> ERROR_NOT_SAME_DEVICE
    {19, 20},     // ENODEV -> ERROR_BAD_UNIT
    {24, 4},      // EMFILE -> ERROR_TOO_MANY_OPEN_FILES
    {27, 223},    // EFBIG -> ERROR_FILE_TOO_LARGE
    {28, 112},    // ENOSPC -> ERROR_DISK_FULL
    {29, 132},    // ESPIPE -> ERROR_SEEK_ON_DEVICE
    {30, 19},     // EROFS -> ERROR_WRITE_PROTECT
    {32, 109},    // EPIPE -> ERROR_BROKEN_PIPE
    {33, 534},    // EDOM -> ERROR_ARITHMETIC_OVERFLOW
    {34, 534},    // ERANGE
    {36, 1131},   // EDEADLK -> ERROR_POSSIBLE_DEADLOCK
    {38, 206},    // ENAMETOOLONG -> ERROR_FILENAME_EXCED_RANGE
    {40, 1},      // ENOSYS -> ERROR_INVALID_FUNCTION
    {41, 145},    // ENOTEMPTY -> ERROR_DIR_NOT_EMPTY
    {112, 997},   // EINPROGRESS -> ERROR_IO_PENDING
    {120, 259},   // ENODATA -> ERROR_NO_MORE_ITEMS
    {129, 50},    // ENOTSUP -> ERROR_NOT_SUPPORTED
    {138, 121},   // ETIMEDOUT -> ERROR_SEM_TIMEOUT
};

// Whether text nests arrays and objects deeper than the limit (looked at
// before parsing, so a hostile reply cannot exhaust the parser's stack).
bool NestsTooDeep(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// The field's text when it is a JSON string.
std::optional<std::wstring> StringField(const web::json::object& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->second.is_string()) return std::nullopt;
  return platform::WideFromUtf8(it->second.as_string());
}

// The field's value when it is a JSON number; integral tells whether it has
// no fraction, and value is then exact when it fits 64 bits.
struct NumberField {
  bool integral = false;
  bool fits = false;  // an integer within the signed 64-bit range
  long long value = 0;
};
std::optional<NumberField> NumberFieldOf(const web::json::object& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->second.is_number()) return std::nullopt;
  const web::json::number& number = it->second.as_number();
  NumberField field;
  field.integral = number.is_integral();
  field.fits = field.integral && number.is_int64();
  if (field.fits) field.value = number.to_int64();
  return field;
}

// One reply, checked.
struct Reply {
  enum Kind { Malformed, Log, Result } kind = Malformed;
  std::wstring text;  // the log line, or the result's message
  int levelIndex = kTranscoderDefaultLevelIndex;
  DWORD code = ERROR_INVALID_PARAMETER;  // the result's Win32 code
};

Reply ParseReply(std::string message) {
  Reply reply;
  // A transcoder that ends its replies as the client ends its request is understood too.
  if (!message.empty() && message.back() == '\0') message.pop_back();
  // Taken as text first, so a byte that is not UTF-8 becomes U+FFFD in its line
  // instead of failing the whole reply.
  message = platform::Utf8FromWide(platform::WideFromUtf8(message));
  if (NestsTooDeep(message, kMaxTranscoderReplyDepth)) return reply;
  std::error_code error;
  const web::json::value value = web::json::value::parse(message, error);
  if (error || !value.is_object()) return reply;
  const web::json::object& top = value.as_object();
  if (auto log = top.find("log"); log != top.end()) {
    if (!log->second.is_object()) return reply;
    const web::json::object& fields = log->second.as_object();
    auto line = StringField(fields, "line");
    auto level = NumberFieldOf(fields, "level");
    if (!line || !level) return reply;
    reply.kind = Reply::Log;
    reply.text = std::move(*line);
    // A fraction or a number beyond 64 bits is simply not a listed level.
    reply.levelIndex = level->fits ? LevelIndexFromTranscoderLevel(level->value) : kTranscoderDefaultLevelIndex;
    return reply;
  }
  if (auto result = top.find("result"); result != top.end()) {
    if (!result->second.is_object()) return reply;
    const web::json::object& fields = result->second.as_object();
    auto text = StringField(fields, "message");
    auto number = NumberFieldOf(fields, "error");
    // An "error" with a fraction or beyond 32 bits is no errno: refused
    // rather than truncated to one.
    if (!text || !number || !number->fits || number->value < INT32_MIN || number->value > INT32_MAX) return reply;
    reply.kind = Reply::Result;
    reply.text = std::move(*text);
    reply.code = Win32FromTranscoderError(number->value);
    return reply;
  }
  return reply;
}

// The request message: UTF-8 JSON and its terminating NUL.
std::string BuildRequest(const std::wstring& source, const std::wstring& output, const std::wstring& options,
                         int levelIndex) {
  web::json::value request = web::json::value::object(true);  // keeps "loglevel" first
  request["loglevel"] = web::json::value::number(TranscoderLogLevel(levelIndex));
  std::vector<web::json::value> arguments;
  arguments.push_back(web::json::value::string(platform::Utf8FromWide(source)));
  arguments.push_back(web::json::value::string(platform::Utf8FromWide(output)));
  if (!options.empty()) {
    for (const std::wstring& argument : platform::CommandLineToArgvW(options)) {
      arguments.push_back(web::json::value::string(platform::Utf8FromWide(argument)));
    }
  }
  request["transcode"] = web::json::value::array(std::move(arguments));
  std::string text = request.serialize();
  text.push_back('\0');
  return text;
}

// Opens the transcoder's pipe, waiting for a free instance while it is busy.
DWORD OpenTranscoderPipe(const std::wstring& pipeName, platform::UniqueHandle& pipe) {
  for (;;) {
    HANDLE handle = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      pipe.reset(handle);
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return ERROR_PIPE_NOT_CONNECTED;  // the service is not running
    if (error != ERROR_PIPE_BUSY) return error;
    if (!WaitNamedPipeW(pipeName.c_str(), kTranscoderBusyWaitMs)) {
      // Still busy after the whole wait: the transcoder is there, only full.
      const DWORD waited = GetLastError();
      return waited == ERROR_SEM_TIMEOUT ? ERROR_PIPE_BUSY : waited;
    }
  }
}

// Reads one whole message, growing the buffer step by step.
DWORD ReadReply(HANDLE pipe, std::string& message) {
  message.assign(kReadStep, '\0');
  std::size_t used = 0;
  for (;;) {
    DWORD read = 0;
    if (ReadFile(pipe, message.data() + used, static_cast<DWORD>(message.size() - used), &read, nullptr)) {
      message.resize(used + read);
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) return error;
    used += read;
    if (message.size() + kReadStep > kMaxTranscoderReplyBytes) return ERROR_INVALID_PARAMETER;
    message.resize(message.size() + kReadStep);
  }
}

DWORD Exchange(HANDLE pipe, const std::string& request, TranscoderLineCallback callback, void* context,
               std::wstring& failureText, bool& answered) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) return GetLastError();
  std::string message;
  for (;;) {
    const DWORD error = ReadReply(pipe, message);
    if (error != ERROR_SUCCESS) return error;
    Reply reply = ParseReply(std::move(message));
    switch (reply.kind) {
      case Reply::Log:
        if (callback != nullptr) callback(context, reply.levelIndex, reply.text);
        break;
      case Reply::Result:
        answered = true;
        failureText = std::move(reply.text);
        return reply.code;
      case Reply::Malformed:
        return ERROR_INVALID_PARAMETER;
    }
  }
}

}  // namespace

std::wstring TranscoderPipeName(const std::wstring& transcoder) {
  return L"\\\\.\\pipe\\Vantrel.Transcode." + transcoder;
}

int TranscoderLogLevel(int levelIndex) {
  if (levelIndex < 0 || levelIndex >= static_cast<int>(kLevels.size())) return kTranscoderDefaultSendLevel;
  return kLevels[static_cast<std::size_t>(levelIndex)];
}

int LevelIndexFromTranscoderLevel(long long level) {
  for (std::size_t i = 0; i < kLevels.size(); ++i) {
    if (kLevels[i] == level) return static_cast<int>(i);
  }
  return kTranscoderDefaultLevelIndex;
}

DWORD Win32FromTranscoderError(long long error) {
  if (error == 0) return ERROR_SUCCESS;
  for (const ErrnoRow& row : kErrnoRows) {
    if (row.error == error) return row.code;
  }
  return ERROR_INVALID_PARAMETER;
}

DWORD RunTranscoder(const std::wstring& transcoder, const std::wstring& source, const std::wstring& options,
                    const std::wstring& output, int levelIndex, TranscoderLineCallback callback, void* context,
                    std::wstring& failureText, bool* answered) {
  failureText.clear();
  bool gotResult = false;
  if (answered != nullptr) *answered = false;
  std::wstring action;
  DWORD code = ERROR_SUCCESS;
  try {
    const std::wstring pipeName = TranscoderPipeName(transcoder);
    action = L"find transcoder '" + transcoder + L"'";
    platform::UniqueHandle pipe;
    code = OpenTranscoderPipe(pipeName, pipe);
    if (code == ERROR_SUCCESS) {
      action = L"communicate with transcoder '" + transcoder + L"'";
      code = Exchange(pipe.get(), BuildRequest(source, output, options, levelIndex), callback, context, failureText,
                      gotResult);
    } else if (code == ERROR_PIPE_BUSY) {
      failureText = L"Transcoder '" + transcoder + L"' is busy: no instance was free within " +
                    std::to_wstring(kTranscoderBusyWaitMs / 1000) + L" s";
    }
  } catch (const std::bad_alloc&) {
    code = ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    // The caller's callback is the only other source of exceptions.
    code = ERROR_GEN_FAILURE;
  }
  if (answered != nullptr) *answered = gotResult;
  if (code != ERROR_SUCCESS && failureText.empty()) {
    try {
      failureText = L"Failed to " + action;
    } catch (...) {
      failureText.clear();
    }
  }
  return code;
}
