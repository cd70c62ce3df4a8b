// TraceLogger.cpp - tracing, the roll-over of files, marking, saving, reading,
// the message module and the trace clock.
//
// Lines are numbered without gaps: a line that is not stored does not use
// its number. Files are dropped only at a roll-over, and only while the files
// after the oldest still hold at least `window` lines.
#include "trace/TraceLogger.h"

#include "platform/base/errors.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include "trace/MarkRange.h"
#include "trace/TraceCache.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <system_error>

namespace {

constexpr DWORD kMaxPath = 260;

DWORD Severity(DWORD id) { return id >> 30; }
DWORD Category(DWORD id) { return (id >> 16) & 0xF; }
DWORD Selected(DWORD id) { return Category(id) << (4 * Severity(id)); }

}  // namespace

// A file the logger makes shares the logger's names; defined here, beside
// the logger it reads, so that the file's own code needs nothing of it.
CTraceFile::CTraceFile(CTraceLogger* logger, ULONGLONG firstLine, DWORD fileIndex)
    : CTraceFile(logger->GetFileNames(), firstLine, fileIndex) {}

CTraceLogger::CTraceLogger()
    : m_names(std::make_shared<CTraceFileNames>(static_cast<LONGLONG>(std::time(nullptr)))) {
  m_newLineEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (m_newLineEvent == nullptr)
    throw std::system_error(HRESULT_FROM_WIN32(GetLastError()), platform::Win32Category(), "CreateEventW");
  InitializeCriticalSection(&m_lock);
}

CTraceLogger::~CTraceLogger() {
  {
    platform::CriticalSectionLock guard(m_lock);
    // Oldest first; a marked file saves itself when its last handle goes.
    while (!m_files.empty()) m_files.erase(m_files.begin());
  }
  DeleteCriticalSection(&m_lock);
  CloseHandle(m_newLineEvent);
}

void CTraceLogger::Trace(CTraceLoggable* source, DWORD messageId, ...) {
  // Filtered here already, so a line not selected costs one load and a branch.
  if ((Selected(messageId) & m_levelMask.load(std::memory_order_relaxed)) == 0) return;
  va_list args;
  va_start(args, messageId);
  TraceV(source, messageId, false, args);
  va_end(args);
}

void CTraceLogger::TraceNoTrigger(CTraceLoggable* source, DWORD messageId, ...) {
  if ((Selected(messageId) & m_levelMask.load(std::memory_order_relaxed)) == 0) return;
  va_list args;
  va_start(args, messageId);
  TraceV(source, messageId, true, args);
  va_end(args);
}

void CTraceLogger::TraceV(CTraceLoggable* source, DWORD messageId, bool noTrigger, va_list args) {
  // The filter comes first: no lock, no allocation for a line not selected.
  const DWORD selected = Selected(messageId);
  const DWORD mask = m_levelMask.load(std::memory_order_relaxed);
  if ((selected & mask) == 0) return;
  try {
    // The argument bytes depend on nothing the lock guards: encoded before
    // it, so the lock covers only numbering, stamping and storing.
    CTraceLine::CArgBytes bytes;
    CTraceLine::EncodeArgs(CTraceLine::GetArgs(messageId), args, bytes);
    platform::CriticalSectionLock guard(m_lock);
    if (BYTE* place = AddLineLocked(messageId, source, bytes.Length(), nullptr))
      std::memcpy(place, bytes.Data(), bytes.Length());
    if (((selected << 16) & mask) != 0 && !noTrigger) {
      KeepLast(kTriggerKeep);
      if (Severity(messageId) >= 2) SaveAll();
    }
    SignalNewLineLocked();
  } catch (const std::exception&) {
    // Tracing never fails its caller: a line that cannot be kept is lost.
  }
}

void CTraceLogger::SignalNewLineLocked() {
  // Only a reader asleep in WaitForLines needs the event itself; otherwise
  // the signal is kept as a flag for the next one to take.
  if (m_newLineSleepers > 0)
    SetEvent(m_newLineEvent);
  else
    m_newLinePending = true;
  // A waiter's event is manual-reset: once set, it needs no second signal.
  if (!m_lineWaiters.empty()) {
    for (HANDLE waiter : m_lineWaiters) SetEvent(waiter);
    m_lineWaiters.clear();
  }
}

CTraceFile& CTraceLogger::NewFile() {
  auto added = m_files.emplace(m_nextLine, CTraceFile(this, m_nextLine, m_fileCounter));
  ++m_fileCounter;
  return added.first->second;
}

BYTE* CTraceLogger::AddLine(DWORD messageId, CTraceLoggable* source, DWORD argLength, CTraceBuffer& lineBuffer) {
  platform::CriticalSectionLock guard(m_lock);
  return AddLineLocked(messageId, source, argLength, &lineBuffer);
}

BYTE* CTraceLogger::AddLineLocked(DWORD messageId, CTraceLoggable* source, DWORD argLength,
                                  CTraceBuffer* lineBuffer) {
  // No block could hold it; refusing here keeps it from starting a file.
  if (argLength > CTraceBuffer::kMaxArgLength) return nullptr;
  const ULONGLONG time = GetTraceTime();
  if (m_files.empty()) NewFile();
  CTraceFile& current = m_files.rbegin()->second;
  if (BYTE* place = Offer(current, messageId, source, time, argLength, lineBuffer)) {
    ++m_nextLine;
    return place;
  }
  // A file that holds nothing refused the line for itself, not for being
  // full; another file of the same first line would do no better.
  if (current.GetLineCount() == 0) return nullptr;

  CTraceFile& next = NewFile();
  BYTE* place = Offer(next, messageId, source, time, argLength, lineBuffer);
  if (place != nullptr) ++m_nextLine;
  // Drop the oldest file only while the files after it still hold the
  // whole window.
  const DWORD window = m_window.load(std::memory_order_relaxed);
  while (window != 0 && m_files.size() > 1) {
    const ULONGLONG secondFirst = std::next(m_files.begin())->first;
    if (m_nextLine - secondFirst < window) break;
    m_files.erase(m_files.begin());
  }
  return place;
}

BYTE* CTraceLogger::Offer(CTraceFile& file, DWORD messageId, CTraceLoggable* source, ULONGLONG time,
                          DWORD argLength, CTraceBuffer* lineBuffer) {
  return lineBuffer != nullptr ? file.AddLine(messageId, source, time, argLength, m_nextLine, *lineBuffer)
                               : file.AddLine(messageId, source, time, argLength, m_nextLine);
}

ULONGLONG CTraceLogger::GetFirstLineNumber() {
  platform::CriticalSectionLock guard(m_lock);
  return m_files.empty() ? 0 : m_files.begin()->first;
}

CTraceLine CTraceLogger::GetLine(ULONGLONG lineNumber) {
  platform::CriticalSectionLock guard(m_lock);
  auto it = m_files.upper_bound(lineNumber);
  if (it == m_files.begin()) return CTraceLine(this);
  --it;
  return it->second.GetLine(this, lineNumber);
}

DWORD CTraceLogger::GetLineCount() {
  platform::CriticalSectionLock guard(m_lock);
  if (m_files.empty()) return 0;
  const auto& current = *m_files.rbegin();
  return static_cast<DWORD>(current.first + current.second.GetLineCount() - m_files.begin()->first);
}

ULONGLONG CTraceLogger::GetNextLineNumber() {
  platform::CriticalSectionLock guard(m_lock);
  return m_nextLine;
}

std::size_t CTraceLogger::GetFileCount() {
  platform::CriticalSectionLock guard(m_lock);
  return m_files.size();
}

bool CTraceLogger::WaitForLines(DWORD milliseconds) {
  {
    platform::CriticalSectionLock guard(m_lock);
    if (m_newLinePending) {
      // One signal, whether kept as the flag or left in the event by a
      // sleeper that timed out as it was set: both are taken.
      m_newLinePending = false;
      WaitForSingleObject(m_newLineEvent, 0);
      return true;
    }
    ++m_newLineSleepers;
  }
  const bool signalled = WaitForSingleObject(m_newLineEvent, milliseconds) == WAIT_OBJECT_0;
  platform::CriticalSectionLock guard(m_lock);
  --m_newLineSleepers;
  return signalled;
}

bool CTraceLogger::WaitForLines(ULONGLONG afterLine, DWORD milliseconds, HANDLE stopEvent) {
  platform::UniqueHandle waiter(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!waiter) return false;
  {
    // Checked and registered under the lock, so a line stored between the
    // reader's last look and this wait is never missed.
    platform::CriticalSectionLock guard(m_lock);
    if (m_nextLine > afterLine) return true;
    m_lineWaiters.push_back(waiter.get());
  }
  HANDLE handles[2] = {waiter.get(), stopEvent};
  const DWORD result = WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, handles, FALSE, milliseconds);
  {
    // A line clears the list once it has set every waiter's event.
    platform::CriticalSectionLock guard(m_lock);
    auto it = std::find(m_lineWaiters.begin(), m_lineWaiters.end(), waiter.get());
    if (it != m_lineWaiters.end()) m_lineWaiters.erase(it);
  }
  return result == WAIT_OBJECT_0;
}

void CTraceLogger::KeepLast(DWORD count) {
  platform::CriticalSectionLock guard(m_lock);
  const ULONGLONG n = m_nextLine;
  ULONGLONG first = 0;
  if (count < n)
    first = n - count;
  else
    count = static_cast<DWORD>(n);
  KeepRange(first, count);
}

void CTraceLogger::KeepRange(ULONGLONG first, DWORD count) {
  platform::CriticalSectionLock guard(m_lock);
  // A range that starts before the oldest file is clipped to start there.
  trace_detail::MarkAcross(m_files, first, count, true);
}

DWORD CTraceLogger::SaveAll() {
  platform::CriticalSectionLock guard(m_lock);
  for (auto& [firstLine, file] : m_files)
    if (const DWORD result = file.SaveFile(); result != ERROR_SUCCESS) return result;
  return ERROR_SUCCESS;
}

DWORD CTraceLogger::SetMessageModule(const std::wstring& moduleName) {
  trace_cache::State& state = trace_cache::Get();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.module != nullptr) {
    if (!FreeLibrary(state.module)) return GetLastError();
    state.module = nullptr;
  }
  if (HMODULE module = LoadLibraryExW(moduleName.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    state.module = module;
    return ERROR_SUCCESS;
  }

  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\COM API", 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  platform::RegKey keyOwner(key);
  // The folder is read into MAX_PATH characters and the joined path must fit
  // there with its terminator; a longer value or path is refused, not cut.
  std::string raw(kMaxPath * 2, '\0');
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(raw.size());
  status = RegQueryValueExW(key, L"installed", nullptr, &type, reinterpret_cast<BYTE*>(raw.data()), &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  const std::wstring installed = platform::RegStringFromBytes(reinterpret_cast<const BYTE*>(raw.data()), size);
  if (installed.size() + moduleName.size() + 1 > kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
  const std::wstring path = installed + moduleName;
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const DWORD result = module != nullptr ? ERROR_SUCCESS : GetLastError();
  state.module = module;
  return result;
}

std::wstring CTraceLogger::GetMessageText(DWORD messageId) {
  trace_cache::State& state = trace_cache::Get();
  std::lock_guard<std::mutex> guard(state.lock);
  return trace_cache::TextLocked(state, messageId);
}

// The system's precise wall clock; the interpolation and timer-period
// fallbacks of older systems are not needed where CLOCK_REALTIME is precise.
ULONGLONG CTraceLogger::GetTraceTime() { return platform::UnixTimeMs(); }
