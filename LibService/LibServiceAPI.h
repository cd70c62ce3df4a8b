// LibServiceAPI.h - the administration pipe of a service program.
//
// The server listens on "\\.\pipe\Vantrel." + service name on its thread
// "APIServer" and hands each client to a CServiceAPIConnection served on a
// thread "APIConnection" of its own. A client reads the trace lines of the
// service as they are written (SERVICE_API_READ_TRACE_LINES) and learns the
// names of their sources (SERVICE_API_GET_SOURCE_NAME); codes with bit
// 0x4000 are answered only for members of the local Administrators group.
//
// The handling of one request (HandleServiceAPIRequest) needs no pipe and no
// thread: it turns a message into the reply's status and data, given the
// trace logger, a way to name a source cookie and the stop event.
//
// Bounds: a reply carries at most SERVICE_API_MAX_OUTPUT data bytes and a
// request longer than SERVICE_API_MAX_MESSAGE is read to its end and dropped,
// so no client can make the service allocate more than a few MiB for it.
// Refused requests are answered and the connection goes on; malformed ones
// get no reply.
#pragma once

#include "platform/pipe/ServiceAPI.h"
#include "LibService/Status.h"

#include "platform/eventlog/eventlog.h"
#include "platform/pipe/pipe.h"
#include "trace/TraceLogger.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CServiceLogger;
class CThreadSet;

// The name of a trace source by its cookie (the address of the source object
// that a trace line record carries). Answers an error when no source has the
// cookie; a found name is cut to 16 bytes by the caller.
using CServiceAPISourceLookup = std::function<CStatus(ULONGLONG cookie, std::string& name)>;
// The service logger's cookies: its CLoggedObject addresses, looked up under
// its lock (a cookie is compared, never followed).
CServiceAPISourceLookup ServiceLoggerSourceLookup(CServiceLogger& logger);

// What a request is handled with.
struct CServiceAPIContext {
  CTraceLogger* logger = nullptr;
  CServiceAPISourceLookup lookup;
  HANDLE stopEvent = nullptr;  // ends a wait for new lines; may be null
  // Whether the client has gone; when set, a wait for lines also ends then.
  std::function<bool()> clientGone;
};

// The answer to one request.
struct CServiceAPIAnswer {
  ULONGLONG requestId = 0;
  DWORD status = SERVICE_API_STATUS_SUCCESS;
  std::vector<BYTE> data;
};

// Handles one request message from a client that is (or is not) an
// administrator. False when the message gets no reply: shorter than 176
// bytes, or its length is not its input length plus 176. Otherwise answer
// holds the reply. Refusals: 0xC0000022 for a code with bit 0x4000 from a
// non-administrator (no data); 0xC000000D for a code not served (the payload
// area echoed) or an output capacity outside [fixed part of the reply,
// SERVICE_API_MAX_OUTPUT] (no data; the lines request takes a larger capacity
// as SERVICE_API_MAX_OUTPUT); SERVICE_API_STATUS_NOT_FOUND for a cookie
// no source has. Throws std::bad_alloc only.
bool HandleServiceAPIRequest(const CServiceAPIContext& context, bool isAdministrator, const BYTE* message,
                             std::size_t length, CServiceAPIAnswer& answer);

// One connected client; owned by its "APIConnection" thread.
// Not shared: only that thread touches its members.
class CServiceAPIConnection {
 public:
  // Takes the pipe instance: it is closed when the connection ends.
  CServiceAPIConnection(CTraceLogger& logger, CServiceAPISourceLookup lookup, HANDLE pipe,
                        std::shared_ptr<const SID> administrators);
  ~CServiceAPIConnection();
  CServiceAPIConnection(const CServiceAPIConnection&) = delete;
  CServiceAPIConnection& operator=(const CServiceAPIConnection&) = delete;

  // Answers the client's requests until it disconnects, the stop event is set
  // or an error occurs (the error is returned).
  CStatus Serve(HANDLE stopEvent);
  // Reads one message into the buffer; length is its full length (more than
  // the buffer holds when it was longer than SERVICE_API_MAX_MESSAGE or the
  // buffer budget was spent). Marks the connection closed when the client
  // has gone, the stop event is set, or the first message does not come
  // within SERVICE_API_FIRST_REQUEST_TIMEOUT_MS.
  CStatus Read(HANDLE stopEvent, ULONGLONG& length);
  // Sends one reply. ERROR_NO_DATA and a closed connection are ignored; other
  // failures are reported to the event log and the connection goes on.
  void Write(ULONGLONG requestId, DWORD status, DWORD length, const BYTE* data, HANDLE stopEvent);

  bool IsClosed() const { return m_closed; }

 private:
  // Waits for the pending operation on m_overlapped; on stop it is cancelled
  // and, if it still runs, ended by closing the pipe, so that it has
  // completed before the buffers and the OVERLAPPED go away. WAIT_OBJECT_0
  // when the operation completed by itself, else WAIT_OBJECT_0 + 1 (stop) or
  // WAIT_FAILED.
  // timeoutMs bounds the wait (the operation is then cancelled as on stop,
  // and WAIT_TIMEOUT is returned).
  DWORD AwaitPending(HANDLE stopEvent, DWORD timeoutMs = INFINITE);
  void ClosePipe();
  // Grows the buffer to capacity within the process-wide budget of buffer
  // bytes held beyond the first 4096 of each connection; false when the
  // budget is spent (the message is then refused) or memory is short.
  bool GrowBuffer(DWORD capacity, std::size_t held);
  // Gives a grown buffer back once its message is done.
  void ReleaseLargeBuffer();

  CTraceLogger& m_logger;
  CServiceAPISourceLookup m_lookup;
  HANDLE m_pipe;
  std::shared_ptr<const SID> m_administrators;  // shared with the server, so it outlives both
  DWORD m_capacity = 4096;
  std::vector<BYTE> m_buffer;
  bool m_refusing = false;  // the message being read is dropped: the budget is spent
  bool m_closed = false;
  bool m_identityKnown = false;
  bool m_isAdministrator = false;
  platform::UniqueHandle m_event;  // manual reset, for m_overlapped
  OVERLAPPED m_overlapped{};
};

// The pipe name of a service: "\\.\pipe\Vantrel." + service name.
std::wstring ServiceAPIPipeName(const std::wstring& serviceName);

// Called by the server for each connected client. It owns the pipe handle
// from then on, also when it fails; a failure ends the server.
using CServiceAPIConnectionHandler = std::function<CStatus(HANDLE pipe, std::shared_ptr<const SID> administrators)>;

// The pipe server body: serves until the stop event is set or an error ends
// it. A client that leaves before it is served and a full set of pipe
// instances do not end it.
CStatus RunServiceAPIServer(HANDLE stopEvent, const std::wstring& serviceName,
                            const CServiceAPIConnectionHandler& onConnection);
// The connection body: serves the client, then deletes the connection
// (closing its pipe).
CStatus RunServiceAPIConnection(HANDLE stopEvent, CServiceAPIConnection* connection);

// The administration pipe of one program on threads of its thread set: the
// server on "APIServer", each client on "APIConnection". Errors that end a
// thread are reported to the event log. The one runner of the pipe: every
// CServiceApp holds one, and the pipe's tests drive it directly.
//
// A client that is not an administrator holds at most this many connections
// at once (counted by its user); one more is closed at once, so one local
// user cannot hold every instance of the pipe.
constexpr int SERVICE_API_MAX_USER_CONNECTIONS = 4;

// Locking: m_lock guards m_running (threads started and not yet ended),
// m_userConnections and m_stopEvent; m_threadsDone is signalled under it when m_running drops to 0.
class CServiceAPI {
 public:
  CServiceAPI(CThreadSet& threads, CTraceLogger& logger, CServiceAPISourceLookup lookup);
  // The usual host: the program's service logger and its cookies.
  CServiceAPI(CThreadSet& threads, CServiceLogger& logger);
  // Waits for every thread this object started; they end on the stop event.
  ~CServiceAPI();
  CServiceAPI(const CServiceAPI&) = delete;
  CServiceAPI& operator=(const CServiceAPI&) = delete;

  // Starts the server thread "APIServer". The stop event must stay open until
  // WaitForThreads answered true.
  CStatus StartAPIServer(HANDLE stopEvent, const std::wstring& serviceName);
  // Makes the connection of a client and starts its "APIConnection" thread.
  CStatus OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators);
  // True once every thread started here has ended (within the time).
  bool WaitForThreads(DWORD milliseconds);
  // The status that ended the server thread (success while it runs).
  CStatus GetServerStatus();
  // Threads started here that have not ended (the server and connections).
  int GetRunningThreads();

 private:
  struct CWork;
  static void ThreadBody(void* work);
  static void ThreadDone(void* work);  // runs however ThreadBody ended
  CStatus StartThread(CWork* work, const char* name);
  void ThreadEnded();
  void ReleaseUserConnection(bool counted, uid_t user);

  CThreadSet& m_threads;
  CTraceLogger& m_logger;
  CServiceAPISourceLookup m_lookup;
  std::mutex m_lock;
  std::condition_variable m_threadsDone;
  int m_running = 0;
  std::map<uid_t, int> m_userConnections;  // connections of clients that are not administrators
  HANDLE m_stopEvent = nullptr;
  CStatus m_serverStatus;
};

// A synchronous client call for tools and tests: sends one request on a
// message-mode client pipe and reads its reply (messages up to
// SERVICE_API_MAX_OUTPUT + 24 bytes). 0 or a Win32 code (ERROR_INVALID_DATA
// for a malformed reply or one that answers another request).
DWORD CallServiceAPI(HANDLE pipe, ULONGLONG requestId, DWORD controlCode, const std::vector<BYTE>& input,
                     DWORD outputCapacity, DWORD& status, std::vector<BYTE>& data);
