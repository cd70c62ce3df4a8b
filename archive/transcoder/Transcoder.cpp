// Transcoder.cpp - the instances of every transcoder name, and the journal.
#include "archive/transcoder/Transcoder.h"

#include "archive/transcoder/Job.h"

#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/base/text.h"

#include <signal.h>

#include <cwchar>

namespace archive {

namespace {

// A temporary file of a transcoder that is gone (".~vntranscode-PID-N.name"
// whose PID no longer runs): a killed stand-in could not delete it.
bool StaleTemporary(const std::wstring& name) {
  const std::wstring prefix = L".~vntranscode-";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const unsigned long pid = std::wcstoul(name.c_str() + prefix.size(), nullptr, 10);
  if (pid == 0 || pid > 0x7fffffff) return true;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void RemoveStaleTemporaries(const std::wstring& folder, int depth) {
  if (depth > 64) return;
  WIN32_FIND_DATAW data{};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;  // links lead off the walk
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) RemoveStaleTemporaries(folder + L"\\" + name, depth + 1);
    else if (StaleTemporary(name)) DeleteFileW((folder + L"\\" + name).c_str());
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

}  // namespace

void RemoveStaleTemporaries() {
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    std::string host;
    if (platform::DriveFolder(letter, host) != ERROR_SUCCESS) continue;
    RemoveStaleTemporaries(std::wstring(1, letter) + L":", 0);
  }
}

std::string DefaultJournalPath() { return platform::PipeDirectory() + "/transcoder-journal.jsonl"; }

Journal::Journal() { InitializeCriticalSection(&m_lock); }

Journal::~Journal() {
  if (m_file != nullptr) CloseHandle(m_file);
  DeleteCriticalSection(&m_lock);
}

DWORD Journal::Open(const std::string& path) {
  // Appending only: every line lands whole at the end, whoever else reads it.
  HANDLE file = CreateFileW(platform::WideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  platform::CriticalSectionLock hold(m_lock);
  if (m_file != nullptr) CloseHandle(m_file);
  m_file = file;
  return ERROR_SUCCESS;
}

void Journal::Write(const std::string& line) {
  const std::string text = line + "\n";
  platform::CriticalSectionLock hold(m_lock);
  if (m_file == nullptr) return;
  DWORD written = 0;
  WriteFile(m_file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

TranscoderService::TranscoderService(TranscoderSettings settings) : m_settings(std::move(settings)) {
  InitializeCriticalSection(&m_lock);
  m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_settings.journal.empty()) m_settings.journal = DefaultJournalPath();
}

TranscoderService::~TranscoderService() {
  Stop();
  CloseHandle(m_stopEvent);
  DeleteCriticalSection(&m_lock);
}

DWORD TranscoderService::Start() {
  if (m_settings.names.empty() || m_settings.instances == 0 || m_settings.instances > PIPE_UNLIMITED_INSTANCES)
    return ERROR_INVALID_PARAMETER;
  ResetEvent(m_stopEvent);
  // Clients of this process's own user and group only: a request runs
  // ffmpeg as that user.
  for (const std::wstring& name : m_settings.names)
    platform::SetPipeAccess((kTranscoderPipePrefix + name).c_str(), platform::PipeAccess::kOwnerAndGroup);
  // Every instance is made before any is served, so that a name served by
  // another process fails the start as a whole.
  std::vector<std::pair<std::wstring, HANDLE>> instances;
  for (const std::wstring& name : m_settings.names) {
    const std::wstring full = kTranscoderPipePrefix + name;
    for (DWORD i = 0; i < m_settings.instances; ++i) {
      HANDLE pipe = CreateNamedPipeW(full.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, m_settings.instances,
                                     65536, 65536, 0, nullptr);
      if (pipe == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        for (auto& made : instances) CloseHandle(made.second);
        return e;
      }
      instances.emplace_back(name, pipe);
    }
  }
  // The journal after the pipes: the default one lies in the pipe folder,
  // which the first instance creates.
  if (DWORD e = m_journal.Open(m_settings.journal); e != ERROR_SUCCESS) {
    for (auto& made : instances) CloseHandle(made.second);
    return e;
  }
  // Left by a stand-in that was killed; before any job makes new ones.
  RemoveStaleTemporaries();
  platform::CriticalSectionLock hold(m_lock);
  for (auto& [name, pipe] : instances)
    m_threads.emplace_back([this, name = name, pipe = pipe] { InstanceLoop(name, pipe); });
  return ERROR_SUCCESS;
}

void TranscoderService::Stop() {
  SetEvent(m_stopEvent);
  std::vector<std::thread> threads;
  {
    platform::CriticalSectionLock hold(m_lock);
    threads.swap(m_threads);
  }
  for (std::thread& t : threads) t.join();
}

ULONGLONG TranscoderService::NextJob() {
  platform::CriticalSectionLock hold(m_lock);
  return ++m_jobs;
}

void TranscoderService::InstanceLoop(std::wstring name, HANDLE pipe) {
  platform::SetCurrentThreadName(L"Transcode." + name);
  platform::UniqueHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  while (WaitForSingleObject(m_stopEvent, 0) != WAIT_OBJECT_0) {
    OVERLAPPED ov;
    ov.hEvent = connectEvent.get();
    ResetEvent(connectEvent.get());
    bool connected = ConnectNamedPipe(pipe, &ov) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && GetLastError() == ERROR_IO_PENDING) {
      HANDLE waits[] = {m_stopEvent, connectEvent.get()};
      DWORD n = 0;
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        connected = GetOverlappedResult(pipe, &ov, &n, TRUE) != FALSE;
      } else {
        CancelIoEx(pipe, &ov);
        GetOverlappedResult(pipe, &ov, &n, TRUE);
      }
    }
    if (connected) {
      JobContext context{m_settings, m_journal, m_stopEvent, name, NextJob()};
      ServeClient(pipe, context);
      // What was written goes out before the client is dropped (every
      // message has been handed over once its write completed, so this
      // waits for nothing a stalled client could hold up).
      if (WaitForSingleObject(m_stopEvent, 0) != WAIT_OBJECT_0) FlushFileBuffers(pipe);
    }
    DisconnectNamedPipe(pipe);
  }
  CloseHandle(pipe);
}

}  // namespace archive
