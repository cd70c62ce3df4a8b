// VNServiceInterface.h - the extension service's client of the archive's main
// service: control requests, and notifications for the codes subscribed to.
//
// The first choice is the main service's pipe "\\.\pipe\Vantrel.VNService",
// spoken in the administration pipe format (platform/pipe/ServiceAPI.h); while
// that pipe has never been opened, the client falls back to the volumes of
// the archive's kernel file system (CDriveLetterFinder) and sends the same
// control codes to the first one. Subscribers receive notification records
// (u32 size, u32 type, u32 code, data) on a thread of the client's own.
//
// Beyond the plain protocol the client defends itself against a main service
// that dies, restarts, stalls or sends garbage: every wire length is checked,
// replies are matched by a per-request id, every wait is bounded and wakes
// on destruction, a broken pipe is followed by a reconnect with backoff that
// re-sends the subscription list, and the notification queue is bounded.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <string>
#include <vector>

// Control codes and notification types the client itself knows.
constexpr DWORD VN_CONTROL_SUBSCRIBE = 0x93134;    // input: the subscription list
constexpr DWORD VN_CONTROL_FILE_SYSTEM = 0x92000;  // volume: file-system name and flags
constexpr DWORD VN_NOTIFY_CHANGED = 7;             // what the extension service acts on
constexpr DWORD VN_NOTIFY_PIPE_BROKEN = 9999;      // made by the client when the pipe breaks
constexpr DWORD VN_NOTIFY_CURSOR = 0xFFFFFFFFu;    // volume mode: the next poll cursor in the code field
constexpr DWORD VN_NOTIFY_RECORD_HEADER = 12;      // u32 size, u32 type, u32 code
constexpr ULONGLONG VN_SUBSCRIBE_ALL = ~0ull;      // the code that subscribes to every code

// Called on the client's thread with the subscription's code, its context,
// and the record (its size bytes, the header included).
using VNServiceCallback = void (*)(ULONGLONG code, void* context, DWORD type, DWORD size, const BYTE* record);

// The bounds of the client; the defaults are the service's own.
struct CVNServiceOptions {
  std::wstring pipeName = L"Vantrel.VNService";
  DWORD pipeBusyWaitMs = 10000;    // one WaitNamedPipeW
  DWORD pipeBusyAttempts = 3;      // waits before the busy pipe counts as unavailable
  DWORD requestTimeoutMs = 30000;  // a reply that has not come by then will not be waited for
  DWORD reconnectFirstMs = 100;    // backoff after a broken pipe or a failed poller, doubled
  DWORD reconnectMaxMs = 5000;     // up to this
  DWORD pollWaitMs = 1000;         // volume mode: how long one poll may wait for records
  std::size_t queueLimit = 4096;   // notifications held for the dispatcher
};

// What the client dropped, for tests and diagnostics.
struct CVNServiceCounters {
  std::size_t lateReplies = 0;             // replies for no pending request (late, unknown, duplicate)
  std::size_t malformedMessages = 0;       // messages whose lengths do not hold
  std::size_t droppedNotifications = 0;    // a full queue
  std::size_t coalescedNotifications = 0;  // type 7 already queued for the same code
};

// A value handle over the reference-counted body; the client's threads hold
// references of their own, so the body outlives every one of them.
class CVNServiceInterfaceImpl {
 public:
  class CRep;
  explicit CVNServiceInterfaceImpl(const CVNServiceOptions& options);
  CVNServiceInterfaceImpl(const CVNServiceInterfaceImpl& other);
  CVNServiceInterfaceImpl& operator=(const CVNServiceInterfaceImpl& other);
  ~CVNServiceInterfaceImpl();
  CRep* operator->() const { return m_rep; }

 private:
  CRep* m_rep;
};

class CVNServiceInterface {
 public:
  CVNServiceInterface();
  explicit CVNServiceInterface(const CVNServiceOptions& options);
  // Stops the client's threads (each wait is bounded) and sends an empty
  // subscription list in pipe mode.
  virtual ~CVNServiceInterface();
  CVNServiceInterface(const CVNServiceInterface&) = delete;
  CVNServiceInterface& operator=(const CVNServiceInterface&) = delete;

  // The pipe is open or archive volumes are held.
  virtual bool IsConnected();
  // A query that always answers false.
  virtual bool QueryReserved();
  // One control request; on false the Win32 code is in GetLastError
  // (ERROR_NOT_READY with no main service, ERROR_TIMEOUT for a reply that did
  // not come, 1067 when the reader ended, the reply's status converted).
  virtual bool IoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                         DWORD outputCapacity, DWORD* bytesReturned);
  // Ends the pending IoControl of that thread with ERROR_OPERATION_ABORTED.
  virtual void Cancel(HANDLE thread);

  // code VN_SUBSCRIBE_ALL receives every notification. False when the list
  // could not be sent (GetLastError).
  bool Subscribe(ULONGLONG code, void* context, VNServiceCallback callback);
  // Removes the first subscription with the three; once it returns, that
  // callback is not running and will not run again for it.
  bool Unsubscribe(ULONGLONG code, void* context, VNServiceCallback callback);

  CVNServiceCounters GetCounters();

 private:
  CVNServiceInterfaceImpl m_impl;
};

// The roots ("X:\") of the fixed drives that run the archive's kernel file
// system, found once on first use.
class CDriveLetterFinder {
 public:
  std::size_t GetCount();
  // "" when the index is out of range.
  std::wstring GetRoot(std::size_t index);

 private:
  void Search();

  bool m_searched = false;
  std::vector<std::wstring> m_roots;
};
