// TraceLogger.h - the process-wide trace of a service program.
//
// Components write lines as a message id plus the arguments its text
// declares. The logger numbers the lines, keeps at least the last `window` of
// them in trace files in memory, and, when a line of a configured kind
// arrives, marks the last 1000 lines and saves every marked file (".VNT").
// Readers fetch held lines by number and wait for new ones.
//
// Level mask: for each severity s (bits 31-30 of an id) four trace bits at
// 4s..4s+3 and four trigger bits at 16+4s..16+4s+3, indexed by the id's
// category nibble (bits 19-16). A line the mask filters out takes no lock and
// allocates nothing.
//
// Locking: m_lock guards the line number, file counter, files and the buffers
// reached through them and the list of waiting readers, and is held while
// saving. The level mask and window are atomic; the folder and prefix live in
// the file names the files share (CTraceFileNames, its own lock), so a
// service may set them after its first lines. The message module and the
// text, argument and template caches are process-wide and guarded by their
// own lock (taken after m_lock, never the other way).
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include "trace/TraceBuffer.h"
#include "trace/TraceFile.h"
#include "trace/TraceLine.h"

#include <atomic>
#include <cstdarg>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CTraceLogger {
 public:
  static constexpr DWORD kDefaultLevelMask = 0xF000FF0Fu;
  static constexpr DWORD kDefaultWindow = 10000;
  static constexpr DWORD kTriggerKeep = 1000;

  CTraceLogger();
  CTraceLogger(const CTraceLogger&) = delete;
  CTraceLogger& operator=(const CTraceLogger&) = delete;
  // Releases every file, so each marked file is saved.
  virtual ~CTraceLogger();

  // Variadic arguments in the order of their argument numbers 1, 2, 3, ...
  // Integers of the 16- and 32-bit kinds are passed as int (C promotes them),
  // "I64" kinds as a 64-bit integer, doubles as double, strings as
  // const wchar_t* (or const char* for "%hs").
  virtual void Trace(CTraceLoggable* source, DWORD messageId, ...);
  virtual void TraceNoTrigger(CTraceLoggable* source, DWORD messageId, ...);
  void TraceV(CTraceLoggable* source, DWORD messageId, bool noTrigger, va_list args);

  // Stamps the time and stores a record; the place of the argument bytes, or
  // null when the line was not stored. Called by the line encoder.
  BYTE* AddLine(DWORD messageId, CTraceLoggable* source, DWORD argLength, CTraceBuffer& lineBuffer);

  ULONGLONG GetFirstLineNumber();
  CTraceLine GetLine(ULONGLONG lineNumber);
  DWORD GetLineCount();
  ULONGLONG GetNextLineNumber();
  bool WaitForLines(DWORD milliseconds);
  // Waits for a line numbered afterLine or later: true at once when the next
  // line number is already past afterLine, else when a line is stored within
  // the time; false on time-out or when stopEvent (may be null) is set. Every
  // reader waiting here wakes for each new line, unlike the auto-reset
  // new-line event, which releases one waiter per line.
  bool WaitForLines(ULONGLONG afterLine, DWORD milliseconds, HANDLE stopEvent);
  void KeepLast(DWORD count);
  void KeepRange(ULONGLONG first, DWORD count);
  DWORD SaveAll();
  // The number of files held (for the service logger's status and tests).
  std::size_t GetFileCount();

  // The folder and prefix apply also to the files already made.
  void SetDirectory(const std::wstring& directory) { m_names->SetDirectory(directory); }
  void SetLevelMask(DWORD mask) { m_levelMask.store(mask, std::memory_order_relaxed); }
  void SetLogSize(DWORD lines) { m_window.store(lines, std::memory_order_relaxed); }
  void SetFilePrefix(const std::wstring& prefix) { m_names->SetPrefix(prefix); }
  std::wstring GetDirectory() const { return m_names->GetDirectory(); }
  std::wstring GetFilePrefix() const { return m_names->GetPrefix(); }
  DWORD GetLevelMask() const { return m_levelMask.load(std::memory_order_relaxed); }

  // directory + "\" + prefix + start time "%Y%m%d%H%M%S".
  std::wstring MakeFileName() const { return m_names->MakeStem(); }
  // What every file of this logger is named by; given to a file when it is made.
  const std::shared_ptr<CTraceFileNames>& GetFileNames() const { return m_names; }

  // Process-wide. Loads the module as a data file by name, or else from the
  // folder in HKLM "SOFTWARE\Vantrel\COM API" value "installed".
  static DWORD SetMessageModule(const std::wstring& moduleName);
  // Process-wide cached raw text of an id ("" when there is none; not cached).
  static std::wstring GetMessageText(DWORD messageId);

  // Milliseconds since 1970, the clock every line is stamped with.
  static ULONGLONG GetTraceTime();

 private:
  CTraceFile& NewFile();  // with m_lock held
  // AddLine with m_lock held; lineBuffer may be null.
  BYTE* AddLineLocked(DWORD messageId, CTraceLoggable* source, DWORD argLength, CTraceBuffer* lineBuffer);
  BYTE* Offer(CTraceFile& file, DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength,
              CTraceBuffer* lineBuffer);
  // The new-line signal of a stored line, with m_lock held.
  void SignalNewLineLocked();

  ULONGLONG m_nextLine = 0;
  DWORD m_fileCounter = 0;
  std::atomic<DWORD> m_window{kDefaultWindow};  // atomic: read by TraceV before the lock
  std::atomic<DWORD> m_levelMask{kDefaultLevelMask};
  const std::shared_ptr<CTraceFileNames> m_names;  // the folder, prefix and start time
  std::map<ULONGLONG, CTraceFile> m_files;
  // The auto-reset new-line signal is the event while a reader sleeps in
  // WaitForLines(ms) and m_newLinePending otherwise, so a line with no
  // reader waiting only sets a flag.
  HANDLE m_newLineEvent;
  bool m_newLinePending = false;
  int m_newLineSleepers = 0;
  std::vector<HANDLE> m_lineWaiters;  // one event per WaitForLines(afterLine, ...) caller not yet signalled
  CRITICAL_SECTION m_lock;
};
