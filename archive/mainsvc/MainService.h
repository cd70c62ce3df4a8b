// MainService.h - the archive main service stand-in: its pipe, subscriptions,
// notifications and the faults tests ask of it.
//
// The archive's main service is outside the system; this stand-in answers
// "\\.\pipe\Vantrel.VNService" in the administration pipe format (request
// ids echoed unchanged), keeps each client's subscription list (control code
// 0x93134), and pushes notifications as replies with request id 0 whose data
// is one record (u32 size, u32 type, u32 code, data). Everything a test needs
// to make the service misbehave is a method here, so the same server runs
// inside a test process or as the program vnarchive-mainsvc behind its
// control pipe (ControlChannel.h).
//
// Locking: m_lock guards the connection list, the fault settings, the busy
// and stopped flags, the counters and the volume state (record log, cursors); each connection's m_writeLock
// serialises the messages written to it, so replies and notifications never
// interleave.
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace archive {

// Control codes the stand-in serves.
constexpr DWORD MAIN_SERVICE_SUBSCRIBE = 0x93134;    // cursor, count, 0, count u64 codes
constexpr DWORD MAIN_SERVICE_ECHO = 0x930F0;         // the stand-in's own: input returned as data
constexpr ULONGLONG MAIN_SERVICE_ALL_CODES = ~0ull;  // in a list: every code
constexpr DWORD MAIN_SERVICE_RECORD_HEADER = 12;     // u32 size, u32 type, u32 code
constexpr DWORD MAIN_SERVICE_LIST_HEADER = 16;       // u64 cursor, u32 count, u32 0

// How the next replies misbehave.
enum class ReplyFault {
  kNone,
  kOverCapacity,  // data length beyond the request's output capacity
  kTooShort,      // a message of fewer than 16 bytes instead of the reply
  kUnknownId,     // a reply for an id nobody asked for, then the real one
  kDuplicate,     // the reply twice
  kLate,          // the reply after faultArgument ms
  kStatus,        // the reply carries status faultArgument and no data
  kSilent,        // no reply at all
};

// How the volume endpoints misbehave.
enum class VolumeFault {
  kNone,
  kWrongName,  // 0x92000 names another file system
  kFlagClear,  // 0x92000 without the archive-volume flag
  kOpenError,  // opening the root fails with faultArgument
};

// What a test can ask about the service.
struct MainServiceState {
  std::size_t connections = 0;
  std::size_t listsReceived = 0;
  std::vector<ULONGLONG> lastList;  // the codes of the last subscription list
  std::size_t requests = 0;
  std::size_t pendingPolls = 0;  // volume polls waiting for records
};

class MainService {
 public:
  explicit MainService(std::wstring pipeName = L"Vantrel.VNService");
  ~MainService();
  MainService(const MainService&) = delete;
  MainService& operator=(const MainService&) = delete;

  // Starts serving; a Win32 code (ERROR_ACCESS_DENIED when another process
  // serves the name).
  DWORD Start();
  void Stop();

  // A notification to every client whose list holds the code (or all codes).
  // The record's size field is 12 + dataSize; data is filled with a pattern.
  void Notify(DWORD type, DWORD code, DWORD dataSize);
  // Any message, unchecked, to every client.
  void SendRaw(const std::vector<BYTE>& message);
  // A notification message (request id 0) whose data is dataBytes long and
  // begins with the record header {sizeField, type, code}, cut off where
  // dataBytes ends: a well-formed record when sizeField == dataBytes >= 12.
  static std::vector<BYTE> NotificationMessage(DWORD sizeField, DWORD type, DWORD code, DWORD dataBytes);
  void SetFault(ReplyFault fault, DWORD argument = 0);
  // A message of totalBytes (a notification header that claims them all)
  // whose last bytes are NotificationMessage(16, type, code, 16): a reader
  // that loses the long message's boundary reports that record.
  void SendOversize(DWORD totalBytes, DWORD type, DWORD code);
  // To every client: the first headBytes of a notification message twice as
  // long and more, then nothing more on those connections (their requests go
  // unanswered) until they end.
  void StallMidMessage(DWORD headBytes);
  // Drops every client (they read ERROR_BROKEN_PIPE).
  void DropConnections();
  // Stops serving for pauseMs (clients find no pipe), then serves again.
  void Restart(DWORD pauseMs);
  // While busy, no instance is free: clients get ERROR_PIPE_BUSY.
  void SetBusy(bool busy);
  MainServiceState State();

  // Also plays the archive's kernel file system for the drive letter: serves
  // its volume endpoint (platform/volume). Start first.
  DWORD ServeVolume(wchar_t letter);
  void SetVolumeFault(VolumeFault fault, DWORD argument = 0);
  // How long a volume poll waits for records (1000 ms at first).
  void SetPollWait(DWORD milliseconds);
  // Forgets every poll cursor handed out: the next poll with one answers
  // ERROR_NOT_FOUND.
  void LoseCursors();

 private:
  struct Connection;
  struct LoggedRecord {
    ULONGLONG sequence;
    DWORD code;
    std::vector<BYTE> record;
  };
  void AcceptLoop(std::wstring name, HANDLE firstInstance, bool mainPipe);
  HANDLE NewInstance(const std::wstring& name);
  void ReapConnections();
  void AcceptOne(HANDLE pipe, HANDLE connectEvent, bool mainPipe);
  void Serve(std::shared_ptr<Connection> connection);
  void AnswerVolume(const std::shared_ptr<Connection>& connection, const BYTE* message, DWORD length);
  void FileSystemRecord(std::vector<BYTE>& data);
  DWORD Poll(const BYTE* input, DWORD length, DWORD capacity, std::vector<BYTE>& data);
  bool CollectLocked(ULONGLONG cursor, const std::vector<ULONGLONG>& codes, DWORD capacity, std::vector<BYTE>& data);
  void StartAcceptor(const std::wstring& name, HANDLE firstInstance, bool mainPipe);
  void Answer(const std::shared_ptr<Connection>& connection, const BYTE* message, DWORD length);
  void Subscribe(Connection& connection, const BYTE* input, DWORD length, DWORD& status);
  void Reply(const std::shared_ptr<Connection>& connection, ULONGLONG id, DWORD status, const std::vector<BYTE>& data,
             DWORD capacity);
  static void Write(Connection& connection, const std::vector<BYTE>& message);
  void Occupy(bool busy);
  void StopServing();

  std::wstring m_pipeName;
  CRITICAL_SECTION m_lock;
  std::vector<std::shared_ptr<Connection>> m_connections;
  ReplyFault m_fault = ReplyFault::kNone;
  DWORD m_faultArgument = 0;
  bool m_busy = false;
  bool m_serving = false;
  std::size_t m_listsReceived = 0;
  std::size_t m_requests = 0;
  std::vector<ULONGLONG> m_lastList;
  HANDLE m_stopEvent = nullptr;  // manual-reset: ends the accept loop
  HANDLE m_occupant = nullptr;   // our own client on the one instance while busy
  std::vector<std::thread> m_acceptors;
  std::vector<wchar_t> m_volumes;  // letters whose endpoints are served
  VolumeFault m_volumeFault = VolumeFault::kNone;
  DWORD m_volumeFaultArgument = 0;
  DWORD m_pollWaitMs = 1000;
  std::vector<LoggedRecord> m_log;  // notifications for volume polls, oldest first
  ULONGLONG m_nextSequence = 1;     // a cursor is the sequence of the next record wanted
  ULONGLONG m_validFrom = 1;        // cursors below this were lost
  std::size_t m_pendingPolls = 0;
  std::vector<std::thread> m_lateReplies;
};

}  // namespace archive
