// main.cpp - vnarchive-transcoder: the archive's transcoder service stand-in
// as a program.
//
//   vnarchive-transcoder [--name NAME]... [--instances K] [--ffmpeg PROGRAM]
//                        [--journal FILE] [--detach]
// serves "\\.\pipe\Vantrel.Transcode.NAME" for every name until SIGTERM or
// SIGINT. Settings not given on the command line come from HKLM
// "Software\Vantrel\Corvellane\Transcoder" ("Names" REG_MULTI_SZ,
// "Instances" REG_DWORD, "FFmpeg" and "Journal" REG_SZ), else the defaults
// (FFMPEG, 2 instances, ffmpeg from PATH, transcoder-journal.jsonl in the
// pipe folder). "ready" on standard output says every pipe is served; with
// --detach the program goes to the background and prints the service's
// process id instead once it serves.
#include "archive/transcoder/Transcoder.h"

#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: vnarchive-transcoder [--name NAME]... [--instances K] [--ffmpeg PROGRAM] [--journal FILE] "
               "[--detach]\n");
}

// The registry's settings under the command line's.
void ReadRegistry(archive::TranscoderSettings& settings, bool haveNames, bool haveInstances, bool haveFfmpeg,
                  bool haveJournal) {
  platform::RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, archive::kTranscoderKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  std::vector<std::wstring> names;
  if (!haveNames && platform::RegReadMultiString(key.get(), L"Names", names) == ERROR_SUCCESS && !names.empty())
    settings.names = names;
  DWORD instances = 0;
  if (!haveInstances && platform::RegReadDword(key.get(), L"Instances", instances) == ERROR_SUCCESS)
    settings.instances = instances;
  std::wstring text;
  if (!haveFfmpeg && platform::RegReadString(key.get(), L"FFmpeg", text) == ERROR_SUCCESS && !text.empty())
    settings.ffmpeg = platform::Utf8FromWide(text);
  if (!haveJournal && platform::RegReadString(key.get(), L"Journal", text) == ERROR_SUCCESS && !text.empty())
    settings.journal = platform::Utf8FromWide(text);
  DWORD inPlace = 0;
  if (platform::RegReadDword(key.get(), L"Write In Place", inPlace) == ERROR_SUCCESS) settings.writeInPlace = inPlace != 0;
}

// Forks; the parent waits until the child serves (or fails) and exits with
// its verdict, the child goes on in a session of its own.
int Detach(int& readyFd) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child > 0) {
    ::close(fds[1]);
    char verdict = 0;
    const bool served = ::read(fds[0], &verdict, 1) == 1 && verdict == 1;
    if (served) std::printf("%d\n", static_cast<int>(child));
    std::fflush(stdout);
    ::_exit(served ? 0 : 1);
  }
  ::close(fds[0]);
  ::setsid();
  // No terminal and no pipe of the starter's stays open in the background.
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  readyFd = fds[1];
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  archive::TranscoderSettings settings;
  bool haveNames = false, haveInstances = false, haveFfmpeg = false, haveJournal = false, detach = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--name" && hasValue) {
      if (!haveNames) settings.names.clear();
      settings.names.push_back(platform::WideFromUtf8(argv[++i]));
      haveNames = true;
    } else if (arg == "--instances" && hasValue) {
      char* end = nullptr;
      const unsigned long k = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || k == 0 || k > 255) {
        std::fprintf(stderr, "vnarchive-transcoder: --instances takes 1 to 255\n");
        return 2;
      }
      settings.instances = static_cast<DWORD>(k);
      haveInstances = true;
    } else if (arg == "--ffmpeg" && hasValue) {
      settings.ffmpeg = argv[++i];
      haveFfmpeg = true;
    } else if (arg == "--journal" && hasValue) {
      settings.journal = argv[++i];
      haveJournal = true;
    } else if (arg == "--detach") {
      detach = true;
    } else {
      Usage();
      return 2;
    }
  }
  // Detached before the registry is opened: a forked child drops the
  // parent's registry connection, so only the child opens one.
  int readyFd = -1;
  if (detach && Detach(readyFd) != 0) {
    std::fprintf(stderr, "vnarchive-transcoder: cannot detach\n");
    return 1;
  }
  ReadRegistry(settings, haveNames, haveInstances, haveFfmpeg, haveJournal);
  // SIGTERM and SIGINT are taken by sigwait below; blocked before any
  // thread starts, so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  archive::TranscoderService service(settings);
  const DWORD error = service.Start();
  if (readyFd >= 0) {
    const char verdict = error == ERROR_SUCCESS ? 1 : 0;
    (void)!::write(readyFd, &verdict, 1);
    ::close(readyFd);
  }
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "vnarchive-transcoder: cannot serve the pipes (error %u)\n", error);
    return 1;
  }
  if (!detach) {
    std::printf("ready\n");
    std::fflush(stdout);
  }
  int signal = 0;
  sigwait(&stopSignals, &signal);
  service.Stop();
  return 0;
}
