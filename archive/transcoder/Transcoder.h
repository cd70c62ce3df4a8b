// Transcoder.h - the archive's transcoder service stand-in: its pipes, its
// jobs and its journal.
//
// Each transcoder name is served as "\\.\pipe\Vantrel.Transcode.<NAME>" in
// message mode with a fixed number of instances, each on a thread of its
// own: an instance takes one client, reads its one request (Request.h), runs
// ffmpeg for it and answers with the ffmpeg log lines ({"log": {"line",
// "level"}}) and one result ({"result": {"message", "error"}}, "error" an
// errno in the Windows C runtime's numbering, 0 for success), then takes the
// next client. While every instance of a name is busy, clients get
// ERROR_PIPE_BUSY from the pipe layer.
//
// Paths must lie on the archive's volumes: "D:\..." (or "\\?\D:\...") with
// the letter in the drive map (platform/fs). ffmpeg writes to a temporary
// file beside the output, which is renamed onto the output only when ffmpeg
// exited with 0 and left a non-empty file; otherwise (ffmpeg failed, was
// ended by a signal, the client hung up, the service stopped) it is deleted.
// ffmpeg runs in a process group of its own that is killed when the client
// hangs up or the service stops.
//
// The journal is a file of JSON lines, one object a line, appended as jobs
// start and end (README.md lists the fields).
//
// Locking: m_lock guards the thread list and the job counter; the journal
// serialises its own writes. Each instance's pipe and job belong to its
// thread alone.
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <string>
#include <thread>
#include <vector>

namespace archive {

// The registry key of the stand-in's settings, under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kTranscoderKey = L"Software\\Vantrel\\Corvellane\\Transcoder";
inline constexpr const wchar_t* kTranscoderPipePrefix = L"\\\\.\\pipe\\Vantrel.Transcode.";

struct TranscoderSettings {
  std::vector<std::wstring> names{L"FFMPEG"};
  DWORD instances = 2;           // per name
  std::string ffmpeg = "ffmpeg"; // the program run, looked up in PATH
  std::string journal;           // host path of the journal file
  // How long a connected client may take to send its request: short, as a
  // silent client holds an instance that a waiting one could use.
  DWORD requestWaitMs = 2000;
  bool writeInPlace = false;     // ffmpeg writes the output itself, no temporary file, nothing cleaned up
};

// Deletes the temporary files of transcoders that no longer run, on every
// volume of the drive map.
void RemoveStaleTemporaries();

// The journal a setting-less run uses: "transcoder-journal.jsonl" in the
// pipe folder.
std::string DefaultJournalPath();

class Journal {
 public:
  Journal();
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  DWORD Open(const std::string& path);
  // One line (a serialised JSON object, without line feed).
  void Write(const std::string& line);

 private:
  CRITICAL_SECTION m_lock;  // guards m_file and serialises the lines
  HANDLE m_file = nullptr;
};

class TranscoderService {
 public:
  explicit TranscoderService(TranscoderSettings settings);
  ~TranscoderService();
  TranscoderService(const TranscoderService&) = delete;
  TranscoderService& operator=(const TranscoderService&) = delete;

  // Opens the journal and creates every instance of every name; a Win32
  // code (ERROR_ACCESS_DENIED when another process serves a name).
  DWORD Start();
  // Ends every job (ffmpeg killed, temporary files deleted), drops the
  // clients and waits for the instance threads.
  void Stop();

 private:
  void InstanceLoop(std::wstring name, HANDLE pipe);
  ULONGLONG NextJob();

  TranscoderSettings m_settings;
  Journal m_journal;
  HANDLE m_stopEvent = nullptr;  // manual reset: set by Stop
  CRITICAL_SECTION m_lock;
  std::vector<std::thread> m_threads;
  ULONGLONG m_jobs = 0;
};

}  // namespace archive
