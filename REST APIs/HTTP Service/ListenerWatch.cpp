// ListenerWatch.cpp - the watcher of a listener's root folders, which empties the handler cache.
//
// One worker per listener (a thread of the service named "DirectoryWatcher")
// waits for name changes under any root (files and folders, whole subtrees)
// and empties the handler cache when one arrives; what changed is never
// looked at. Each folder has a buffer of its own, and
// the thread cancels its reads and waits for them to complete before the
// buffers go, so no read ever completes into freed memory. When a root
// cannot be watched (the kernel's watch limit), that is an event, and the
// cache from then on trusts an entry only for a short while.
#include "REST APIs/HTTP Service/Listener.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include <vector>

namespace {

// Event: the watcher of a host's roots failed.
constexpr DWORD MSG_WATCH_FAILED = 0xC00000CD;  // (host name, Win32 code, seconds handlers are kept)

constexpr DWORD kWatchBufferBytes = 65536;
constexpr DWORD kWatchFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kWatcherStopWaitMs = 10000;

// One watched root: its buffer and the read pending on it.
struct Watch {
  HANDLE directory = nullptr;
  platform::UniqueHandle event;
  OVERLAPPED overlapped{};
  std::vector<BYTE> buffer;
  bool pending = false;
};

DWORD Issue(Watch& watch) {
  ResetEvent(watch.event.get());
  watch.overlapped = OVERLAPPED{};
  watch.overlapped.hEvent = watch.event.get();
  if (!ReadDirectoryChangesW(watch.directory, watch.buffer.data(), kWatchBufferBytes, TRUE, kWatchFilter, nullptr,
                             &watch.overlapped, nullptr))
    return GetLastError();
  watch.pending = true;
  return ERROR_SUCCESS;
}

// Cancels the reads still pending and waits until each has completed.
void Drain(std::vector<Watch>& watches) {
  for (Watch& watch : watches) {
    if (!watch.pending) continue;
    CancelIo(watch.directory);
    DWORD bytes = 0;
    GetOverlappedResult(watch.directory, &watch.overlapped, &bytes, TRUE);
    watch.pending = false;
  }
}

}  // namespace

void CHTTPServer::CListener::ReportWatchFailure(DWORD code) {
  m_watchFailed.store(true);
  ClearHandlerCache();
  ReportEvent(nullptr, MSG_WATCH_FAILED,
              {platform::WideFromUtf8(m_host), platform::FormatW(L"%lu", code),
               platform::FormatW(L"%lu", static_cast<unsigned long>(kUnwatchedCacheLifetimeMs / 1000))});
}

DWORD CHTTPServer::CListener::WatchDirectories() {
  std::vector<Watch> watches(m_rootHandles.size());
  std::vector<HANDLE> waitList{m_watchWake.get()};
  DWORD result = ERROR_SUCCESS;
  std::size_t i = 0;
  for (auto& [level, handle] : m_rootHandles) {
    Watch& watch = watches[i++];
    watch.directory = handle.get();
    watch.event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    watch.buffer.resize(kWatchBufferBytes);
    waitList.push_back(watch.event.get());
    if (result == ERROR_SUCCESS) result = Issue(watch);
  }
  if (result != ERROR_SUCCESS) ReportWatchFailure(result);

  while (result == ERROR_SUCCESS && m_watchStop.load() == 0) {
    const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waitList.size()), waitList.data(), FALSE, INFINITE);
    if (woke == WAIT_FAILED) {
      result = GetLastError();
      break;
    }
    if (woke == WAIT_OBJECT_0) continue;  // the stop flag is looked at above
    Watch& watch = watches[woke - WAIT_OBJECT_0 - 1];
    DWORD bytes = 0;
    watch.pending = false;
    if (!GetOverlappedResult(watch.directory, &watch.overlapped, &bytes, FALSE)) {
      const DWORD code = GetLastError();
      if (code != ERROR_OPERATION_ABORTED) {
        ReportWatchFailure(code);
        result = code;
        break;
      }
    } else {
      // Any completed read (also one that lost records: 0 bytes) empties
      // the cache; the records are not examined.
      ClearHandlerCache();
    }
    if (m_watchStop.load() != 0) break;
    result = Issue(watch);
    if (result != ERROR_SUCCESS) ReportWatchFailure(result);
  }
  Drain(watches);
  return result;
}

void CHTTPServer::CListener::StopWatcher() {
  m_watchStop.store(1);
  // Woken until it has ended: it looks at the stop flag each time it wakes.
  while (m_watchDone && WaitForSingleObject(m_watchDone.get(), 0) != WAIT_OBJECT_0) {
    SetEvent(m_watchWake.get());
    WaitForSingleObject(m_watchDone.get(), kWatcherStopWaitMs);
  }
  m_watchDone.reset();
  m_watchWake.reset();
}
