// vntrace.cpp - the trace viewer: a running service's trace lines, or a saved ".VNT" file, as text.
//
//   vntrace follow SERVICE [--module FILE] [--seconds N]
//   vntrace read FILE.VNT... [--module FILE]
//
// Each line is printed as local time, source name and the message text
// formatted with its arguments from the program's trace message module
// ("Trc" + service name). The module is the one given with --module, else the
// one beside the service's installed program (its ImagePath), else the name
// as the message loader finds it. "follow" reads the service's administration
// pipe from its first held line on, until Ctrl-C, SIGTERM or N seconds; it
// waits for a service that is not (yet) running. "read" takes the service
// name from the file's "ServiceName" property. A line whose message the
// module lacks prints its id and its argument bytes in hex.
// Exit codes: 0 success, 1 bad arguments, 2 no message module, 3 a file could
// not be read.
#include "platform/pipe/ServiceAPI.h"
#include "LibService/ServiceDialog.h"
#include "platform/base/cmdline.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"
#include "trace/TraceFileReader.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

enum ExitCode { kSuccess = 0, kBadArguments = 1, kNoModule = 2, kUnreadable = 3 };

constexpr char kUsage[] =
    "Usage: vntrace follow SERVICE [--module FILE] [--seconds N]\n"
    "       vntrace read FILE.VNT... [--module FILE]\n";

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::wstring module;
  long seconds = -1;  // -1: until interrupted
};

int BadArguments(const std::string& problem) {
  std::fprintf(stderr, "vntrace: %s\n%s", problem.c_str(), kUsage);
  return kBadArguments;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& problem) {
  if (argc < 3) {
    problem = "a command and an operand are needed";
    return false;
  }
  o.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--module" || word == "--seconds") {
      if (i + 1 == argc) {
        problem = word + " needs a value";
        return false;
      }
      const std::string value = argv[++i];
      if (word == "--module") {
        o.module = platform::WideFromUtf8(value);
      } else {
        char* end = nullptr;
        o.seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || o.seconds < 0) {
          problem = "--seconds takes a whole number of seconds";
          return false;
        }
      }
    } else {
      o.operands.push_back(word);
    }
  }
  if (o.command != "follow" && o.command != "read") {
    problem = "unknown command '" + o.command + "'";
    return false;
  }
  if (o.operands.empty() || (o.command == "follow" && o.operands.size() != 1)) {
    problem = o.command == "follow" ? "follow takes one service name" : "read takes trace files";
    return false;
  }
  return true;
}

// A code's text without the line break Windows ends it with.
std::string CodeText(DWORD code) {
  std::string text = platform::Utf8FromWide(platform::SystemMessageText(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

// "Trc<service>.msg" beside the program the service database names, or ""
// when the service is not installed.
std::wstring ModuleBesideService(const std::wstring& service) {
  HKEY raw = nullptr;
  const std::wstring keyName = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return L"";
  platform::RegKey key(raw);
  std::wstring imagePath;
  if (platform::RegReadString(key.get(), L"ImagePath", imagePath) != ERROR_SUCCESS) return L"";
  std::vector<wchar_t> expanded(32768);
  if (ExpandEnvironmentStringsW(imagePath.c_str(), expanded.data(), static_cast<DWORD>(expanded.size())) == 0)
    return L"";
  const std::vector<std::wstring> words = platform::CommandLineToArgvW(expanded.data());
  if (words.empty()) return L"";
  const std::size_t slash = words[0].find_last_of(L"/\\");
  const std::wstring folder = slash == std::wstring::npos ? L"" : words[0].substr(0, slash + 1);
  return folder + L"Trc" + service + L".msg";
}

// Loads the trace module for service; false (with a message) when none loads.
bool LoadModule(const std::wstring& given, const std::wstring& service) {
  std::vector<std::wstring> candidates;
  if (!given.empty()) {
    candidates.push_back(given);
  } else if (!service.empty()) {
    if (std::wstring beside = ModuleBesideService(service); !beside.empty()) candidates.push_back(beside);
    candidates.push_back(L"Trc" + service);
  }
  DWORD rc = ERROR_FILE_NOT_FOUND;
  for (const std::wstring& name : candidates)
    if ((rc = CTraceViewer(stdout).MessageLib(name)) == ERROR_SUCCESS) return true;
  const std::string what = candidates.empty() ? std::string("no service name to find it by")
                                              : platform::Utf8FromWide(candidates.front());
  std::fprintf(stderr, "vntrace: no trace message module (%s): %s\n", what.c_str(),
               CodeText(rc).c_str());
  return false;
}

void PrintLine(const std::wstring& line) {
  const std::string text = platform::Utf8FromWide(line);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

int Read(const Options& o) {
  int result = kSuccess;
  bool loaded = false;
  for (const std::string& file : o.operands) {
    TraceFileContents contents;
    if (DWORD rc = ReadTraceFile(platform::WideFromUtf8(file), contents)) {
      std::fprintf(stderr, "vntrace: %s: %s\n", file.c_str(),
                   CodeText(rc).c_str());
      result = kUnreadable;
      continue;
    }
    if (!loaded) {
      auto name = contents.properties.find("ServiceName");
      const std::wstring service = name == contents.properties.end() ? L"" : platform::WideFromUtf8(name->second);
      if (!LoadModule(o.module, service)) return kNoModule;
      loaded = true;
    }
    for (const TraceFileLine& line : contents.lines) {
      ServiceAPITraceLineRecord record;
      record.lineNumber = line.number;
      record.time = line.time;
      record.messageId = line.messageId;
      record.argLength = static_cast<DWORD>(line.args.size());
      // A line without arguments still has an argument list to format.
      static const BYTE kNoArguments = 0;
      record.argBytes = line.args.empty() ? &kNoArguments : line.args.data();
      const std::string source =
          line.sourceIndex < contents.sources.size() ? contents.sources[line.sourceIndex] : std::string("-");
      PrintLine(CTraceViewer::FormatLine(record, source));
    }
  }
  std::fflush(stdout);
  return result;
}

int Follow(const Options& o) {
  const std::wstring service = platform::WideFromUtf8(o.operands[0]);
  if (!LoadModule(o.module, service)) return kNoModule;
  CTraceViewer viewer(stdout);
  if (viewer.Connect(L":" + service) != ERROR_SUCCESS) return BadArguments("bad service name");
  platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // Ctrl-C and SIGTERM are taken by a thread of their own, so that the
  // reader is stopped through its event rather than inside a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread reader([&] { viewer.Run(stop.get()); });
  if (o.seconds >= 0) {
    std::thread timer([&] {
      WaitForSingleObject(stop.get(), static_cast<DWORD>(o.seconds * 1000));
      SetEvent(stop.get());
    });
    std::thread waiter([&] {
      int signal = 0;
      sigwait(&signals, &signal);
      SetEvent(stop.get());
    });
    waiter.detach();  // blocked in sigwait; the process ends with it
    timer.join();
  } else {
    int signal = 0;
    sigwait(&signals, &signal);
    SetEvent(stop.get());
  }
  reader.join();
  std::fflush(stdout);
  return kSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string problem;
  if (!ParseOptions(argc, argv, options, problem)) return BadArguments(problem);
  return options.command == "read" ? Read(options) : Follow(options);
}
