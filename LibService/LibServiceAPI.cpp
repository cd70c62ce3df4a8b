// LibServiceAPI.cpp - the administration pipe: request handling, the
// connection of one client, the pipe server, and their threads.
//
// Every overlapped operation is waited for together with the stop event;
// when the stop event wins, the operation is cancelled (or, for a write
// already on the wire, ended by closing the pipe) and its completion is
// awaited before its buffer or OVERLAPPED can go away.
#include "LibService/LibServiceAPI.h"

#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"

#include "platform/base/errors.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

namespace {

// How long the server waits before it tries again to create a pipe instance
// while every instance is serving a client.
constexpr DWORD kAllInstancesBusyRetryMs = 250;
// How often the server looks whether an instance got its client without
// its connect completing.
constexpr DWORD kConnectCheckMs = 1000;
// How often a read that waits for lines looks whether its client has gone.
constexpr DWORD kClientCheckMs = 1000;
// The first buffer of each connection; only a larger request grows it.
constexpr DWORD kInitialCapacity = 4096;
// What a malformed request is answered with before its connection ends
// (STATUS_INVALID_PARAMETER).
constexpr DWORD kMalformedRequestStatus = 0xC000000D;
// Bytes that all connections together may hold in buffers beyond their
// first: a request is at most SERVICE_API_MAX_MESSAGE, so this serves many
// large requests at once while bounding what hostile clients can pin.
constexpr std::size_t kBufferBudgetBytes = 32u << 20;
std::atomic<std::size_t> g_bufferBytes{0};

CStatus OutOfMemory(int line, ULONGLONG size) {
  return CStatus(NewErrorMessage(CSourcePos{__FILE__, line}, MSG_OUT_OF_MEMORY, {std::to_wstring(size)}));
}

// The smallest output capacity that holds the fixed part of a code's reply.
DWORD MinimumCapacity(DWORD controlCode) {
  switch (controlCode) {
    case SERVICE_API_READ_TRACE_LINES:
      return SERVICE_API_READ_LINES_REPLY_HEADER;
    case SERVICE_API_GET_SOURCE_NAME:
      return SERVICE_API_SOURCE_NAME_REPLY;
    default:
      return 0;
  }
}

// The request's payload area as the reply echoes it: capacity bytes, the
// message's bytes from offset 36 on and zeros past its end (never bytes of
// an earlier message).
std::vector<BYTE> PayloadArea(const BYTE* message, std::size_t length, DWORD capacity) {
  std::vector<BYTE> area(capacity, 0);
  const std::size_t available = length - SERVICE_API_REQUEST_HEADER;
  std::copy_n(message + SERVICE_API_REQUEST_HEADER, std::min<std::size_t>(available, capacity), area.begin());
  return area;
}

void AppendRecord(std::vector<BYTE>& data, ULONGLONG lineNumber, const CTraceLine& line, const BYTE* argBytes,
                  DWORD argLength) {
  const std::size_t at = data.size();
  data.resize(at + SERVICE_API_LINE_RECORD_HEADER + argLength, 0);
  BYTE* p = data.data() + at;
  platform::StoreLe64(p + 0, lineNumber);
  platform::StoreLe64(p + 8, line.GetTime());
  platform::StoreLe32(p + 16, line.GetMessageId());
  platform::StoreLe64(p + 24, static_cast<ULONGLONG>(reinterpret_cast<std::uintptr_t>(line.GetSource())));
  platform::StoreLe32(p + 32, argLength);
  if (argLength != 0) std::copy_n(argBytes, argLength, p + SERVICE_API_LINE_RECORD_HEADER);
}

// Read trace lines: records from the first line wanted (or the oldest held)
// while they fit, waiting up to the wait time for a first line.
void ReadTraceLines(const CServiceAPIContext& context, const BYTE* payload, DWORD capacity,
                    std::vector<BYTE>& data) {
  CTraceLogger& logger = *context.logger;
  const ULONGLONG wanted = platform::LoadLe64(payload + 8);
  const DWORD waitMs = platform::LoadLe32(payload + 16);
  const ULONGLONG waitStart = GetTickCount64();

  ULONGLONG first = logger.GetFirstLineNumber();
  ULONGLONG n = std::max(wanted, first);
  ULONGLONG space = ULONGLONG{capacity} - SERVICE_API_READ_LINES_REPLY_HEADER;
  bool written = false;
  data.assign(SERVICE_API_READ_LINES_REPLY_HEADER, 0);
  for (;;) {
    const CTraceLine line = logger.GetLine(n);
    if (!line.IsEmpty()) {
      const BYTE* argBytes = nullptr;
      DWORD argLength = 0;
      line.GetArgBytes(&argBytes, &argLength);
      const ULONGLONG size = ULONGLONG{SERVICE_API_LINE_RECORD_HEADER} + argLength;
      if (size >= space) break;  // left for the next request
      AppendRecord(data, n, line, argBytes, argLength);
      space -= size;
      ++n;
      written = true;
      continue;
    }
    if (written) break;
    const ULONGLONG held = logger.GetFirstLineNumber();
    if (held > first) {
      // Lines were dropped meanwhile: go on from the oldest still held, but
      // never back to lines before the one asked for.
      first = held;
      n = std::max(n, held);
      continue;
    }
    // Lines are numbered without gaps; a missing line below the next number
    // has nothing to wait for.
    if (n < logger.GetNextLineNumber()) break;
    DWORD remaining = INFINITE;
    if (waitMs != INFINITE) {
      const ULONGLONG elapsed = GetTickCount64() - waitStart;
      if (elapsed >= waitMs) break;
      remaining = static_cast<DWORD>(waitMs - elapsed);
    }
    if (context.clientGone) {
      // Waited in slices, so a client that left does not keep its
      // connection (and a pipe instance) until the next line or the stop.
      if (context.clientGone()) break;
      if (!logger.WaitForLines(n, std::min(remaining, kClientCheckMs), context.stopEvent)) {
        if (WaitForSingleObject(context.stopEvent, 0) == WAIT_OBJECT_0) break;
        continue;
      }
      continue;
    }
    if (!logger.WaitForLines(n, remaining, context.stopEvent)) break;
  }
  // First held line + lines held, read under one lock.
  platform::StoreLe64(data.data(), logger.GetNextLineNumber());
}

// Clients that could not be taken because the process ran out of
// descriptors are said once per server run, once the shortage is over (the
// event log needs a descriptor too): they waited in the socket's queue.
struct CAcceptStalls {
  ULONGLONG seen = 0;
  bool reported = false;
};

void ReportAcceptStallOnce(HANDLE pipe, const std::wstring& name, CAcceptStalls& stalls) {
  ULONGLONG now = 0;
  bool crowded = false;
  if (stalls.reported || platform::GetPipeAcceptStalls(pipe, now, crowded) != ERROR_SUCCESS || now == 0) return;
  if (now != stalls.seen || crowded) {
    stalls.seen = now;  // still short: wait for a quiet check
    return;
  }
  stalls.reported = true;
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  CStatus(NewLastError(VN_HERE, name)).Report();
}

}  // namespace

bool HandleServiceAPIRequest(const CServiceAPIContext& context, bool isAdministrator, const BYTE* message,
                             std::size_t length, CServiceAPIAnswer& answer) {
  ServiceAPIRequest request;
  if (DecodeServiceAPIRequest(message, length, request) != ServiceAPIParse::kOk) return false;
  answer = CServiceAPIAnswer{};
  answer.requestId = request.requestId;

  if ((request.controlCode & SERVICE_API_ADMINISTRATORS_ONLY) != 0 && !isAdministrator) {
    answer.status = SERVICE_API_STATUS_ACCESS_DENIED;
    return true;
  }
  // The lines request fills what room it has, so more than a reply may carry
  // is only an offer: it gets the bound. Other codes echo their whole area.
  if (request.controlCode == SERVICE_API_READ_TRACE_LINES)
    request.outputCapacity = std::min(request.outputCapacity, SERVICE_API_MAX_OUTPUT);
  if (request.outputCapacity > SERVICE_API_MAX_OUTPUT || request.outputCapacity < MinimumCapacity(request.controlCode)) {
    answer.status = SERVICE_API_STATUS_INVALID_PARAMETER;
    return true;
  }
  // The payload fields lie inside the message: it holds at least 140 bytes
  // after the header.
  const BYTE* payload = message + SERVICE_API_REQUEST_HEADER;
  switch (request.controlCode) {
    case SERVICE_API_READ_TRACE_LINES:
      if (context.logger == nullptr) {
        answer.status = SERVICE_API_STATUS_INVALID_PARAMETER;
        return true;
      }
      ReadTraceLines(context, payload, request.outputCapacity, answer.data);
      return true;
    case SERVICE_API_GET_SOURCE_NAME: {
      std::string name;
      const CStatus found = context.lookup ? context.lookup(platform::LoadLe64(payload), name)
                                           : CStatus(NewErrorMessage(VN_HERE, MSG_ITEM_NOT_FOUND, {L"COOKIE"}));
      if (!found.IsOK()) {
        // The lookup's error carries no Win32 code; success would be a lie.
        answer.status = SERVICE_API_STATUS_NOT_FOUND;
        return true;
      }
      answer.data = PayloadArea(message, length, request.outputCapacity);
      BYTE* place = answer.data.data() + SERVICE_API_SOURCE_NAME_OFFSET;
      std::fill_n(place, SERVICE_API_SOURCE_NAME_BYTES, 0);
      std::copy_n(name.data(), std::min<std::size_t>(name.size(), SERVICE_API_SOURCE_NAME_BYTES), place);
      return true;
    }
    default:
      answer.status = SERVICE_API_STATUS_INVALID_PARAMETER;
      answer.data = PayloadArea(message, length, request.outputCapacity);
      return true;
  }
}

CServiceAPISourceLookup ServiceLoggerSourceLookup(CServiceLogger& logger) {
  return [&logger](ULONGLONG cookie, std::string& name) {
    if (logger.GetNameOfCookie(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(cookie)), name))
      return CStatus();
    return CStatus(NewErrorMessage(CSourcePos{__FILE__, 118}, MSG_ITEM_NOT_FOUND, {L"COOKIE"}));
  };
}

// --- CServiceAPIConnection ---

CServiceAPIConnection::CServiceAPIConnection(CTraceLogger& logger, CServiceAPISourceLookup lookup, HANDLE pipe,
                                             std::shared_ptr<const SID> administrators)
    : m_logger(logger),
      m_lookup(std::move(lookup)),
      m_pipe(pipe),
      m_administrators(std::move(administrators)),
      m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CServiceAPIConnection::~CServiceAPIConnection() {
  ReleaseLargeBuffer();
  ClosePipe();
}

void CServiceAPIConnection::ClosePipe() {
  if (m_pipe != nullptr && m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  m_pipe = nullptr;
}

DWORD CServiceAPIConnection::AwaitPending(HANDLE stopEvent, DWORD timeoutMs) {
  HANDLE handles[2] = {m_event.get(), stopEvent};
  const DWORD result = WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, handles, FALSE, timeoutMs);
  if (result == WAIT_OBJECT_0) return result;
  const DWORD waitError = GetLastError();
  CancelIoEx(m_pipe, &m_overlapped);
  DWORD bytes = 0;
  if (!GetOverlappedResult(m_pipe, &m_overlapped, &bytes, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
    // A write already on the wire is finished rather than cancelled, and a
    // client that never reads would hold it for ever: closing the pipe ends
    // it. Its completion still signals the event.
    ClosePipe();
    m_closed = true;
    WaitForSingleObject(m_event.get(), INFINITE);
  }
  SetLastError(waitError);
  return result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT ? result : WAIT_FAILED;
}

bool CServiceAPIConnection::GrowBuffer(DWORD capacity, std::size_t held) {
  const std::size_t more = capacity - m_buffer.size();
  if (g_bufferBytes.fetch_add(more) + more > kBufferBudgetBytes) {
    g_bufferBytes -= more;
    return false;
  }
  try {
    std::vector<BYTE> larger(capacity);
    std::copy_n(m_buffer.begin(), held, larger.begin());
    m_buffer.swap(larger);
    m_capacity = capacity;
    return true;
  } catch (const std::bad_alloc&) {
    g_bufferBytes -= more;
    throw;
  }
}

void CServiceAPIConnection::ReleaseLargeBuffer() {
  m_refusing = false;
  if (m_buffer.size() <= kInitialCapacity) return;
  g_bufferBytes -= m_buffer.size() - kInitialCapacity;
  std::vector<BYTE>(kInitialCapacity).swap(m_buffer);
  m_capacity = kInitialCapacity;
}

CStatus CServiceAPIConnection::Read(HANDLE stopEvent, ULONGLONG& length) {
  length = 0;
  std::size_t held = 0;  // bytes of this message in m_buffer
  ULONGLONG total = 0;   // bytes of this message read, including dropped ones
  std::vector<BYTE> drop;
  for (;;) {
    // Past the largest request served, the rest of the message is read into
    // a small buffer and dropped, so the next message starts cleanly.
    const bool dropping = held == m_buffer.size() && (m_buffer.size() >= SERVICE_API_MAX_MESSAGE || m_refusing);
    if (dropping && drop.empty()) drop.resize(4096);
    BYTE* target = dropping ? drop.data() : m_buffer.data() + held;
    const DWORD room = static_cast<DWORD>(dropping ? drop.size() : m_buffer.size() - held);

    ResetEvent(m_event.get());
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_event.get();
    DWORD bytes = 0;
    BOOL ok = ReadFile(m_pipe, target, room, &bytes, &m_overlapped);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      // A client that connects and never asks anything is not kept.
      const DWORD wait = AwaitPending(stopEvent, m_identityKnown ? INFINITE : SERVICE_API_FIRST_REQUEST_TIMEOUT_MS);
      if (wait == WAIT_OBJECT_0 + 1 || wait == WAIT_TIMEOUT) {
        m_closed = true;
        return {};
      }
      if (wait != WAIT_OBJECT_0) return CStatus(NewErrorNumber(CSourcePos{__FILE__, 322}, GetLastError()));
      ok = GetOverlappedResult(m_pipe, &m_overlapped, &bytes, FALSE);
      error = ok ? 0 : GetLastError();
    }
    if (ok || error == ERROR_MORE_DATA) {
      total += bytes;
      if (!dropping) held += bytes;
      if (ok) {
        length = total;
        return {};
      }
      if (held == m_buffer.size() && m_buffer.size() < SERVICE_API_MAX_MESSAGE && !m_refusing) {
        // The pipe knows the whole message's length: one longer than any
        // request served is dropped without growing the buffer at all.
        DWORD left = 0;
        PeekNamedPipe(m_pipe, nullptr, 0, nullptr, nullptr, &left);
        const ULONGLONG whole = ULONGLONG{held} + left;
        const DWORD capacity = static_cast<DWORD>(std::max<ULONGLONG>(whole, m_capacity * 2ull));
        try {
          // Past the budget the rest of the message is dropped unanswered.
          m_refusing = whole > SERVICE_API_MAX_MESSAGE || !GrowBuffer(std::min(capacity, SERVICE_API_MAX_MESSAGE), held);
        } catch (const std::bad_alloc&) {
          return OutOfMemory(317, capacity);
        }
      }
      continue;
    }
    if (error == ERROR_BROKEN_PIPE) {
      m_closed = true;
      return {};
    }
    return CStatus(NewErrorNumber(CSourcePos{__FILE__, 322}, error));
  }
}

void CServiceAPIConnection::Write(ULONGLONG requestId, DWORD status, DWORD length, const BYTE* data,
                                  HANDLE stopEvent) {
  if (m_closed || m_pipe == nullptr) return;
  std::vector<BYTE> reply;
  try {
    if (!EncodeServiceAPIReply(requestId, status, data, length, reply)) throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    OutOfMemory(361, ULONGLONG{length} + SERVICE_API_REPLY_OVERHEAD).Report();
    return;
  }
  ResetEvent(m_event.get());
  m_overlapped = OVERLAPPED{};
  m_overlapped.hEvent = m_event.get();
  DWORD bytes = 0;
  BOOL ok = WriteFile(m_pipe, reply.data(), static_cast<DWORD>(reply.size()), &bytes, &m_overlapped);
  DWORD error = ok ? 0 : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    const DWORD wait = AwaitPending(stopEvent);
    if (wait == WAIT_OBJECT_0 + 1) {
      m_closed = true;
      return;
    }
    if (wait != WAIT_OBJECT_0) {
      CStatus(NewErrorNumber(CSourcePos{__FILE__, 356}, GetLastError())).Report();
      return;
    }
    ok = GetOverlappedResult(m_pipe, &m_overlapped, &bytes, FALSE);
    error = ok ? 0 : GetLastError();
  }
  if (ok || error == ERROR_NO_DATA) return;
  CStatus(NewErrorNumber(CSourcePos{__FILE__, 358}, error)).Report();
}

CStatus CServiceAPIConnection::Serve(HANDLE stopEvent) {
  if (!m_event) return CStatus(NewLastError(VN_HERE));
  if (m_buffer.empty()) {
    try {
      m_buffer.resize(m_capacity);
    } catch (const std::bad_alloc&) {
      return OutOfMemory(191, m_capacity);
    }
  }
  CServiceAPIContext context{&m_logger, m_lookup, stopEvent, {}};
  context.clientGone = [this] {
    DWORD available = 0;
    return !PeekNamedPipe(m_pipe, nullptr, 0, nullptr, &available, nullptr) && GetLastError() == ERROR_BROKEN_PIPE;
  };
  CStatus status;
  while (!m_closed && status.IsOK()) {
    // Requests already received are not served once the service stops.
    if (stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
      m_closed = true;
      break;
    }
    // The last message's large buffer goes back before the next wait.
    ReleaseLargeBuffer();
    ULONGLONG length = 0;
    status = Read(stopEvent, length);
    if (!status.IsOK() || m_closed) break;

    if (!m_identityKnown) {
      // Once per connection: the client's membership holds for all of it.
      if (!ImpersonateNamedPipeClient(m_pipe)) {
        status = CStatus(NewLastError(CSourcePos{__FILE__, 199}));
        break;
      }
      bool isAdministrator = false;
      const DWORD checkError =
          m_administrators != nullptr ? platform::CheckImpersonatedAdministrator(isAdministrator) : 0;
      // Reverted on every path before anything else can fail.
      const BOOL reverted = RevertToSelf();
      const DWORD revertError = reverted ? 0 : GetLastError();
      if (checkError != 0) {
        status = CStatus(NewErrorNumber(CSourcePos{__FILE__, 204}, checkError));
        break;
      }
      if (!reverted) {
        status = CStatus(NewErrorNumber(CSourcePos{__FILE__, 209}, revertError));
        break;
      }
      m_isAdministrator = isAdministrator;
      m_identityKnown = true;
    }

    // Longer than any request served, or than the buffer budget allowed: no reply.
    if (length > SERVICE_API_MAX_MESSAGE || length > m_buffer.size()) continue;
    CServiceAPIAnswer answer;
    try {
      if (!HandleServiceAPIRequest(context, m_isAdministrator, m_buffer.data(), static_cast<std::size_t>(length),
                                   answer)) {
        // A malformed request (short, empty, an input length that is not the
        // message's): the client would wait for ever for a reply, so it gets
        // an error, with the request id when the message holds one, and the
        // connection ends. Its framing cannot be trusted any further.
        const ULONGLONG id = length >= 16 ? platform::LoadLe64(m_buffer.data() + 8) : 0;
        Write(id, kMalformedRequestStatus, 0, nullptr, stopEvent);
        if (!m_closed) FlushFileBuffers(m_pipe);
        m_closed = true;
        break;
      }
    } catch (const std::bad_alloc&) {
      status = OutOfMemory(229, ULONGLONG{SERVICE_API_MAX_OUTPUT} + SERVICE_API_REQUEST_HEADER);
      break;
    }
    Write(answer.requestId, answer.status, static_cast<DWORD>(answer.data.size()), answer.data.data(), stopEvent);
  }
  return status;
}

// --- the server ---

std::wstring ServiceAPIPipeName(const std::wstring& serviceName) { return L"\\\\.\\pipe\\Vantrel." + serviceName; }

namespace {

// What a step of the accept loop leaves the loop to do.
enum class AcceptStep {
  kGoOn,   // the step is done: on to the next
  kRetry,  // start the pass again
  kStop    // leave the loop (status says why; OK when stopped)
};

HANDLE CreateServiceAPIInstance(const std::wstring& name) {
  HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                 4096, 4096, 0, nullptr);
  return pipe == INVALID_HANDLE_VALUE ? nullptr : pipe;
}

// The listening instance of one server run and its overlapped connect. The
// instance that is left when the run ends is cancelled and closed with it.
class CServiceAPIAcceptor {
 public:
  CServiceAPIAcceptor(HANDLE stopEvent, const std::wstring& name, HANDLE connectEvent)
      : m_stopEvent(stopEvent), m_name(name), m_connectEvent(connectEvent) {}
  CServiceAPIAcceptor(const CServiceAPIAcceptor&) = delete;
  CServiceAPIAcceptor& operator=(const CServiceAPIAcceptor&) = delete;
  ~CServiceAPIAcceptor() {
    if (m_pipe == nullptr) return;
    if (m_pending) CancelConnect();
    CloseHandle(m_pipe);
  }

  // An instance to listen on.
  AcceptStep MakeInstance(CStatus& status) {
    if (m_pipe != nullptr) return AcceptStep::kGoOn;
    m_pipe = CreateServiceAPIInstance(m_name);
    if (m_pipe != nullptr) return AcceptStep::kGoOn;
    if (GetLastError() == ERROR_PIPE_BUSY || GetLastError() == ERROR_TOO_MANY_OPEN_FILES) {
      // Every instance serves a client, or the process is out of
      // descriptors: one will be free when a client leaves.
      if (WaitForSingleObject(m_stopEvent, kAllInstancesBusyRetryMs) == WAIT_OBJECT_0) return AcceptStep::kStop;
      return AcceptStep::kRetry;
    }
    status = CStatus(NewLastError(CSourcePos{__FILE__, 92}, m_name));
    return AcceptStep::kStop;
  }

  // Starts a connect unless one is pending; connected when a client is
  // there at once.
  AcceptStep StartConnect(bool& connected, CStatus& status) {
    connected = false;
    if (m_pending) return AcceptStep::kGoOn;
    ResetEvent(m_connectEvent);
    m_overlapped = OVERLAPPED{};
    m_overlapped.hEvent = m_connectEvent;
    if (ConnectNamedPipe(m_pipe, &m_overlapped)) {
      connected = true;
      return AcceptStep::kGoOn;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      connected = true;
    } else if (error == ERROR_IO_PENDING) {
      m_pending = true;
    } else if (error == ERROR_NO_DATA) {
      // The client came and went before it was served: serve the next.
      DisconnectNamedPipe(m_pipe);
      return AcceptStep::kRetry;
    } else {
      status = CStatus(NewLastError(CSourcePos{__FILE__, 108}, m_name));
      return AcceptStep::kStop;
    }
    return AcceptStep::kGoOn;
  }

  // Waits for the pending connect (or the stop event); kGoOn once a client
  // is connected.
  AcceptStep AwaitConnect(CStatus& status) {
    HANDLE handles[2] = {m_stopEvent, m_connectEvent};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, kConnectCheckMs);
    if (result == WAIT_OBJECT_0) return AcceptStep::kStop;
    if (result == WAIT_TIMEOUT) {
      ReportAcceptStallOnce(m_pipe, m_name, m_stalls);
      // A client admitted while the connect was being queued leaves the
      // connect pending for ever; an instance that is no longer listening
      // has its client, so it is handed over all the same.
      DWORD available = 0;
      if (!PeekNamedPipe(m_pipe, nullptr, 0, nullptr, &available, nullptr) && GetLastError() == ERROR_PIPE_LISTENING)
        return AcceptStep::kRetry;
      CancelConnect();
      return AcceptStep::kGoOn;
    }
    if (result != WAIT_OBJECT_0 + 1) {
      status = CStatus(NewErrorNumber(CSourcePos{__FILE__, 131}, result));
      return AcceptStep::kStop;
    }
    DWORD bytes = 0;
    const BOOL done = GetOverlappedResult(m_pipe, &m_overlapped, &bytes, TRUE);
    m_pending = false;
    if (done) return AcceptStep::kGoOn;
    const DWORD error = GetLastError();
    if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) {
      DisconnectNamedPipe(m_pipe);
      return AcceptStep::kRetry;
    }
    status = CStatus(NewErrorNumber(CSourcePos{__FILE__, 128}, error));
    return AcceptStep::kStop;
  }

  // The connected instance, which belongs to its connection from now on.
  // The next one is made before the handover: a connection that ends at
  // once (a malformed request) would otherwise close the name's last
  // instance, and its socket file with it, before another exists. When none
  // can be made now, the next pass tries again.
  HANDLE HandOver() {
    HANDLE handed = m_pipe;
    m_pipe = CreateServiceAPIInstance(m_name);
    return handed;
  }

 private:
  void CancelConnect() {
    CancelIoEx(m_pipe, &m_overlapped);
    DWORD bytes = 0;
    GetOverlappedResult(m_pipe, &m_overlapped, &bytes, TRUE);
    m_pending = false;
  }

  HANDLE m_stopEvent;
  const std::wstring& m_name;
  HANDLE m_connectEvent;
  HANDLE m_pipe = nullptr;
  bool m_pending = false;
  CAcceptStalls m_stalls;
  OVERLAPPED m_overlapped{};
};

}  // namespace

CStatus RunServiceAPIServer(HANDLE stopEvent, const std::wstring& serviceName,
                            const CServiceAPIConnectionHandler& onConnection) {
  const std::wstring name = ServiceAPIPipeName(serviceName);
  // The pipe layer grants everyone read and write through the socket file's
  // mode; the Administrators group is what connections check membership of.
  std::shared_ptr<const SID> administrators;
  try {
    administrators = std::make_shared<const SID>(SID{L"S-1-5-32-544"});
  } catch (const std::bad_alloc&) {
    return OutOfMemory(144, sizeof(SID));
  }
  // Manual reset, reset before each connect: a completion signalled at once
  // must not be taken for the next instance's connect.
  platform::UniqueHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!connectEvent) return CStatus(NewLastError(VN_HERE));

  CServiceAPIAcceptor acceptor(stopEvent, name, connectEvent.get());
  CStatus status;
  while (status.IsOK()) {
    AcceptStep step = acceptor.MakeInstance(status);
    if (step == AcceptStep::kRetry) continue;
    if (step == AcceptStep::kStop) break;
    bool connected = false;
    step = acceptor.StartConnect(connected, status);
    if (step == AcceptStep::kRetry) continue;
    if (step == AcceptStep::kStop) break;
    if (!connected) {
      step = acceptor.AwaitConnect(status);
      if (step == AcceptStep::kRetry) continue;
      if (step == AcceptStep::kStop) break;
    }
    status = onConnection(acceptor.HandOver(), administrators);
  }
  return status;
}

CStatus RunServiceAPIConnection(HANDLE stopEvent, CServiceAPIConnection* connection) {
  const std::unique_ptr<CServiceAPIConnection> owned(connection);
  return owned->Serve(stopEvent);
}

// --- CServiceAPI ---

struct CServiceAPI::CWork {
  CServiceAPI* api;
  HANDLE stopEvent;
  std::wstring serviceName;                         // the server's
  CServiceAPIConnection* connection = nullptr;  // a connection's
  bool counted = false;                         // holds one of its user's connections
  uid_t user = 0;
};

CServiceAPI::CServiceAPI(CThreadSet& threads, CTraceLogger& logger, CServiceAPISourceLookup lookup)
    : m_threads(threads), m_logger(logger), m_lookup(std::move(lookup)) {}

CServiceAPI::CServiceAPI(CThreadSet& threads, CServiceLogger& logger)
    : CServiceAPI(threads, logger, ServiceLoggerSourceLookup(logger)) {}

CServiceAPI::~CServiceAPI() { WaitForThreads(INFINITE); }

void CServiceAPI::ThreadBody(void* context) {
  CWork* work = static_cast<CWork*>(context);
  CServiceAPI* api = work->api;
  CStatus status;
  if (work->connection != nullptr) {
    CServiceAPIConnection* connection = work->connection;
    work->connection = nullptr;  // deleted by RunServiceAPIConnection, whatever happens
    status = RunServiceAPIConnection(work->stopEvent, connection);
  } else {
    status = RunServiceAPIServer(work->stopEvent, work->serviceName,
                                 [api](HANDLE pipe, std::shared_ptr<const SID> administrators) {
                                   return api->OnAPIConnection(pipe, std::move(administrators));
                                 });
    std::lock_guard<std::mutex> lock(api->m_lock);
    api->m_serverStatus = status;
  }
  if (!status.IsOK()) status.Report();
}

void CServiceAPI::ThreadDone(void* context) {
  CWork* work = static_cast<CWork*>(context);
  CServiceAPI* api = work->api;
  delete work->connection;  // still set only when the work item never got to it
  api->ReleaseUserConnection(work->counted, work->user);
  delete work;
  api->ThreadEnded();
}

CStatus CServiceAPI::StartThread(CWork* work, const char* name) {
  {
    // Counted before the start, so a wait never misses a thread that is
    // about to run.
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_running;
  }
  CStatus status;
  status = m_threads.Start(status, &CServiceAPI::ThreadBody, work, name, &CServiceAPI::ThreadDone);
  if (!status.IsOK()) ThreadEnded();
  return status;
}

void CServiceAPI::ThreadEnded() {
  std::lock_guard<std::mutex> lock(m_lock);
  // Notified under the lock: once it is released the waiter may destroy us.
  if (--m_running == 0) m_threadsDone.notify_all();
}

CStatus CServiceAPI::StartAPIServer(HANDLE stopEvent, const std::wstring& serviceName) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stopEvent = stopEvent;
    m_serverStatus = CStatus();
  }
  CWork* work = new (std::nothrow) CWork{this, stopEvent, serviceName};
  if (work == nullptr) return OutOfMemory(64, sizeof(CWork));
  CStatus status = StartThread(work, "APIServer");
  if (!status.IsOK()) delete work;
  return status;
}

void CServiceAPI::ReleaseUserConnection(bool counted, uid_t user) {
  if (!counted) return;
  std::lock_guard<std::mutex> lock(m_lock);
  const auto it = m_userConnections.find(user);
  if (it != m_userConnections.end() && --it->second <= 0) m_userConnections.erase(it);
}

CStatus CServiceAPI::OnAPIConnection(HANDLE pipe, std::shared_ptr<const SID> administrators) {
  // Counted by the peer's user before anything is made for it; a client the
  // pipe cannot name (it has gone already) is served and fails as it reads.
  platform::PeerCredentials peer;
  const bool limited = platform::GetPipePeerCredentials(pipe, peer) == 0 && !platform::IsAdministrator(peer);
  if (limited) {
    std::lock_guard<std::mutex> lock(m_lock);
    int& held = m_userConnections[peer.uid];
    if (held >= SERVICE_API_MAX_USER_CONNECTIONS) {
      // Over its share: closed unserved, and the server goes on.
      CloseHandle(pipe);
      return CStatus();
    }
    ++held;
  }
  CServiceAPIConnection* connection =
      new (std::nothrow) CServiceAPIConnection(m_logger, m_lookup, pipe, std::move(administrators));
  if (connection == nullptr) {
    ReleaseUserConnection(limited, peer.uid);
    CloseHandle(pipe);
    return OutOfMemory(228, sizeof(CServiceAPIConnection));
  }
  HANDLE stopEvent;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    stopEvent = m_stopEvent;
  }
  CWork* work = new (std::nothrow) CWork{this, stopEvent, {}, connection, limited, peer.uid};
  if (work == nullptr) {
    ReleaseUserConnection(limited, peer.uid);
    delete connection;
    return OutOfMemory(64, sizeof(CWork));
  }
  CStatus status = StartThread(work, "APIConnection");
  if (!status.IsOK()) {
    ReleaseUserConnection(limited, peer.uid);
    delete work;
    delete connection;
  }
  return status;
}

bool CServiceAPI::WaitForThreads(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m_lock);
  auto done = [this] { return m_running == 0; };
  if (milliseconds == INFINITE) {
    m_threadsDone.wait(lock, done);
    return true;
  }
  return m_threadsDone.wait_for(lock, std::chrono::milliseconds(milliseconds), done);
}

int CServiceAPI::GetRunningThreads() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_running;
}

CStatus CServiceAPI::GetServerStatus() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_serverStatus;
}

// --- a client ---

DWORD CallServiceAPI(HANDLE pipe, ULONGLONG requestId, DWORD controlCode, const std::vector<BYTE>& input,
                     DWORD outputCapacity, DWORD& status, std::vector<BYTE>& data) {
  status = 0;
  data.clear();
  std::vector<BYTE> request;
  if (!EncodeServiceAPIRequest(requestId, 0, controlCode, input.data(), static_cast<DWORD>(input.size()),
                               outputCapacity, request))
    return ERROR_INVALID_PARAMETER;
  DWORD bytes = 0;
  if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &bytes, nullptr)) return GetLastError();
  std::vector<BYTE> reply(4096);
  std::size_t held = 0;
  for (;;) {
    bytes = 0;
    const BOOL ok = ReadFile(pipe, reply.data() + held, static_cast<DWORD>(reply.size() - held), &bytes, nullptr);
    held += bytes;
    if (ok) break;
    if (GetLastError() != ERROR_MORE_DATA) return GetLastError();
    if (reply.size() >= ULONGLONG{SERVICE_API_MAX_OUTPUT} + SERVICE_API_REPLY_OVERHEAD) return ERROR_INVALID_DATA;
    reply.resize(reply.size() * 2);
  }
  ServiceAPIReply header;
  if (DecodeServiceAPIReply(reply.data(), held, header) != ServiceAPIParse::kOk || header.requestId != requestId)
    return ERROR_INVALID_DATA;
  status = header.status;
  data.assign(header.data, header.data + header.dataLength);
  return 0;
}
