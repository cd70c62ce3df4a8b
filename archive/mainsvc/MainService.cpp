// MainService.cpp - the archive main service stand-in's pipe server.
//
// One accept thread keeps one free pipe instance; each client is served on a
// thread of its own that reads whole request messages (growing its buffer
// for long ones) and answers them, through the fault settings, in the
// administration pipe format.
#include "archive/mainsvc/MainService.h"

#include "platform/pipe/ServiceAPI.h"
#include "platform/base/ntstatus.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_internal.h"
#include "platform/base/text.h"
#include "platform/volume/volume.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/socket.h>

namespace archive {

namespace {

constexpr DWORD kFirstReadSize = 4096;
constexpr DWORD kWriteWaitMs = 5000;
constexpr ULONGLONG kUnknownIdMask = 0x8000000000000000ull;

constexpr std::size_t kLogLimit = 1024;

std::wstring FullName(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

// A record of bytes bytes (at least the header) whose header says size.
std::vector<BYTE> RecordBytes(DWORD size, DWORD type, DWORD code, DWORD bytes) {
  std::vector<BYTE> record(bytes);
  platform::StoreLe32(record.data(), size);
  platform::StoreLe32(record.data() + 4, type);
  platform::StoreLe32(record.data() + 8, code);
  for (std::size_t i = MAIN_SERVICE_RECORD_HEADER; i < record.size(); ++i) record[i] = static_cast<BYTE>(i);
  return record;
}

std::vector<BYTE> NotificationRecord(DWORD type, DWORD code, DWORD dataSize) {
  const DWORD size = MAIN_SERVICE_RECORD_HEADER + dataSize;
  return RecordBytes(size, type, code, size);
}

// The frame of a message of message.size() bytes with only its first
// headBytes after it. Whole messages are all the pipe layer sends, so this
// goes beneath it, to the connection's socket; false when the connection is
// gone or a message is still going out on it.
bool SendMessageHead(HANDLE pipe, const std::vector<BYTE>& message, std::size_t headBytes) {
  namespace detail = platform::pipe_detail;
  std::vector<BYTE> frame(detail::kFrameHeader + headBytes);
  platform::StoreLe32(frame.data(), static_cast<DWORD>(message.size()));
  std::memcpy(frame.data() + detail::kFrameHeader, message.data(), headBytes);
  std::lock_guard<std::mutex> hold(detail::PipeLock());
  const auto it = detail::LivePipes().find(static_cast<const platform::KernelObject*>(pipe));
  if (it == detail::LivePipes().end() || it->second->fd < 0 || !it->second->writes.empty()) return false;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    // Never waits under the pipe layer's lock: a head that does not fit the
    // socket's buffer now is cut shorter.
    const ssize_t n = ::send(it->second->fd, frame.data() + sent, frame.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return sent > 0;
    }
  }
  return true;
}

}  // namespace

struct MainService::Connection {
  HANDLE pipe = nullptr;
  HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CRITICAL_SECTION writeLock;
  std::vector<ULONGLONG> list;  // guarded by the service's m_lock
  bool alive = true;            // guarded by the service's m_lock
  bool stalled = false;         // guarded by writeLock: nothing more is written
  bool mainPipe;                // else a volume endpoint's client
  std::thread thread;

  Connection(HANDLE p, bool main) : pipe(p), mainPipe(main) { InitializeCriticalSection(&writeLock); }
  ~Connection() {
    CloseHandle(pipe);
    CloseHandle(stopEvent);
    CloseHandle(writeEvent);
    DeleteCriticalSection(&writeLock);
  }
};

MainService::MainService(std::wstring pipeName) : m_pipeName(std::move(pipeName)) {
  InitializeCriticalSection(&m_lock);
  m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

MainService::~MainService() {
  Stop();
  CloseHandle(m_stopEvent);
  DeleteCriticalSection(&m_lock);
}

DWORD MainService::Start() {
  // The first instance is made here, so that a second server fails at once
  // and not later on its accept thread.
  const std::wstring name = FullName(m_pipeName);
  HANDLE first = NewInstance(name);
  if (first == INVALID_HANDLE_VALUE) return GetLastError();
  ResetEvent(m_stopEvent);
  std::vector<wchar_t> volumes;
  {
    platform::CriticalSectionLock hold(m_lock);
    m_serving = true;
    volumes = m_volumes;
  }
  StartAcceptor(name, first, true);
  for (wchar_t letter : volumes) StartAcceptor(platform::VolumeEndpointName(letter), nullptr, false);
  return ERROR_SUCCESS;
}

DWORD MainService::ServeVolume(wchar_t letter) {
  const std::wstring name = platform::VolumeEndpointName(letter);
  HANDLE first = NewInstance(name);
  if (first == INVALID_HANDLE_VALUE) return GetLastError();
  {
    platform::CriticalSectionLock hold(m_lock);
    m_volumes.push_back(letter);
  }
  StartAcceptor(name, first, false);
  return ERROR_SUCCESS;
}

void MainService::StartAcceptor(const std::wstring& name, HANDLE firstInstance, bool mainPipe) {
  platform::CriticalSectionLock hold(m_lock);
  m_acceptors.emplace_back([this, name, firstInstance, mainPipe] { AcceptLoop(name, firstInstance, mainPipe); });
}

void MainService::Stop() {
  StopServing();
  for (std::thread& t : m_lateReplies) t.join();
  m_lateReplies.clear();
}

void MainService::StopServing() {
  SetEvent(m_stopEvent);
  std::vector<std::thread> acceptors;
  {
    platform::CriticalSectionLock hold(m_lock);
    acceptors.swap(m_acceptors);
  }
  for (std::thread& t : acceptors) t.join();
  Occupy(false);
  DropConnections();
  platform::CriticalSectionLock hold(m_lock);
  m_serving = false;
}

void MainService::AcceptLoop(std::wstring name, HANDLE firstInstance, bool mainPipe) {
  platform::UniqueHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  while (WaitForSingleObject(m_stopEvent, 0) != WAIT_OBJECT_0) {
    bool busy;
    {
      platform::CriticalSectionLock hold(m_lock);
      busy = mainPipe && m_busy;
    }
    if (busy) {
      // The one instance is taken by our occupant; make no new one.
      WaitForSingleObject(m_stopEvent, 20);
      continue;
    }
    HANDLE pipe = firstInstance != nullptr ? firstInstance : NewInstance(name);
    firstInstance = nullptr;
    if (pipe == INVALID_HANDLE_VALUE) {
      // Every instance taken: those of clients that left are freed now.
      ReapConnections();
      WaitForSingleObject(m_stopEvent, 50);
      continue;
    }
    AcceptOne(pipe, connectEvent.get(), mainPipe);
  }
  if (firstInstance != nullptr) CloseHandle(firstInstance);
}

HANDLE MainService::NewInstance(const std::wstring& name) {
  return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096,
                          0, nullptr);
}

// Waits for a client on the instance (or stop) and serves it on a thread of
// its own.
void MainService::AcceptOne(HANDLE pipe, HANDLE connectEvent, bool mainPipe) {
  OVERLAPPED ov;
  ov.hEvent = connectEvent;
  ResetEvent(connectEvent);
  bool connected = ConnectNamedPipe(pipe, &ov) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
  if (!connected && GetLastError() == ERROR_IO_PENDING) {
    HANDLE waits[] = {m_stopEvent, connectEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      DWORD n = 0;
      connected = GetOverlappedResult(pipe, &ov, &n, TRUE) != FALSE;
    } else {
      CancelIoEx(pipe, &ov);
    }
  }
  if (!connected) {
    CloseHandle(pipe);
    return;
  }
  ReapConnections();
  auto connection = std::make_shared<Connection>(pipe, mainPipe);
  platform::CriticalSectionLock hold(m_lock);
  m_connections.push_back(connection);
  connection->thread = std::thread([this, connection] { Serve(connection); });
}

void MainService::Serve(std::shared_ptr<Connection> connection) {
  std::vector<BYTE> buffer(kFirstReadSize);
  platform::UniqueHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD have = 0;
  for (;;) {
    OVERLAPPED ov;
    ov.hEvent = readEvent.get();
    ResetEvent(readEvent.get());
    DWORD n = 0;
    BOOL ok = ReadFile(connection->pipe, buffer.data() + have, static_cast<DWORD>(buffer.size()) - have, &n, &ov);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
      HANDLE waits[] = {connection->stopEvent, readEvent.get()};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        CancelIoEx(connection->pipe, &ov);
        break;
      }
      ok = GetOverlappedResult(connection->pipe, &ov, &n, TRUE);
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (error == ERROR_MORE_DATA && buffer.size() < SERVICE_API_MAX_MESSAGE) {
      have += n;
      buffer.resize(std::min<std::size_t>(buffer.size() * 2, SERVICE_API_MAX_MESSAGE));
      continue;
    }
    if (error != ERROR_SUCCESS) break;
    if (connection->mainPipe) {
      Answer(connection, buffer.data(), have + n);
    } else {
      AnswerVolume(connection, buffer.data(), have + n);
    }
    have = 0;
  }
  platform::CriticalSectionLock hold(m_lock);
  connection->alive = false;
}

void MainService::Answer(const std::shared_ptr<Connection>& connection, const BYTE* message, DWORD length) {
  ServiceAPIRequest request;
  if (DecodeServiceAPIRequest(message, length, request) != ServiceAPIParse::kOk) return;
  {
    platform::CriticalSectionLock hold(m_lock);
    ++m_requests;
  }
  DWORD status = SERVICE_API_STATUS_SUCCESS;
  std::vector<BYTE> data;
  if (request.controlCode == MAIN_SERVICE_SUBSCRIBE) {
    Subscribe(*connection, request.input, request.inputLength, status);
  } else if (request.controlCode == MAIN_SERVICE_ECHO) {
    data.assign(request.input, request.input + std::min(request.inputLength, request.outputCapacity));
  } else {
    status = static_cast<DWORD>(STATUS_INVALID_PARAMETER);
  }
  Reply(connection, request.requestId, status, data, request.outputCapacity);
}

void MainService::Subscribe(Connection& connection, const BYTE* input, DWORD length, DWORD& status) {
  if (length < MAIN_SERVICE_LIST_HEADER) {
    status = static_cast<DWORD>(STATUS_INVALID_PARAMETER);
    return;
  }
  const ULONGLONG count = platform::LoadLe32(input + 8);
  if (MAIN_SERVICE_LIST_HEADER + 8 * count != length) {
    status = static_cast<DWORD>(STATUS_INVALID_PARAMETER);
    return;
  }
  std::vector<ULONGLONG> codes(count);
  for (ULONGLONG i = 0; i < count; ++i) codes[i] = platform::LoadLe64(input + MAIN_SERVICE_LIST_HEADER + 8 * i);
  platform::CriticalSectionLock hold(m_lock);
  connection.list = codes;
  m_lastList = std::move(codes);
  ++m_listsReceived;
}

void MainService::Reply(const std::shared_ptr<Connection>& connection, ULONGLONG id, DWORD status,
                        const std::vector<BYTE>& data, DWORD capacity) {
  ReplyFault fault;
  DWORD argument;
  {
    platform::CriticalSectionLock hold(m_lock);
    fault = m_fault;
    argument = m_faultArgument;
  }
  std::vector<BYTE> message;
  switch (fault) {
    case ReplyFault::kNone:
    case ReplyFault::kDuplicate:
    case ReplyFault::kUnknownId:
    case ReplyFault::kLate:
      EncodeServiceAPIReply(id, status, data.data(), static_cast<DWORD>(data.size()), message);
      break;
    case ReplyFault::kOverCapacity: {
      std::vector<BYTE> over(static_cast<std::size_t>(capacity) + 16, 0xAB);
      EncodeServiceAPIReply(id, status, over.data(), static_cast<DWORD>(over.size()), message);
      break;
    }
    case ReplyFault::kTooShort:
      message.assign(12, 0);
      platform::StoreLe64(message.data(), id);
      break;
    case ReplyFault::kStatus:
      EncodeServiceAPIReply(id, argument, nullptr, 0, message);
      break;
    case ReplyFault::kSilent:
      return;
  }
  if (fault == ReplyFault::kUnknownId) {
    std::vector<BYTE> stray;
    EncodeServiceAPIReply(id ^ kUnknownIdMask, status, data.data(), static_cast<DWORD>(data.size()), stray);
    Write(*connection, stray);
  }
  if (fault == ReplyFault::kLate) {
    platform::CriticalSectionLock hold(m_lock);
    m_lateReplies.emplace_back([connection, message, argument] {
      std::this_thread::sleep_for(std::chrono::milliseconds(argument));
      Write(*connection, message);
    });
    return;
  }
  Write(*connection, message);
  if (fault == ReplyFault::kDuplicate) Write(*connection, message);
}

void MainService::Write(Connection& connection, const std::vector<BYTE>& message) {
  platform::CriticalSectionLock hold(connection.writeLock);
  if (connection.stalled) return;
  OVERLAPPED ov;
  ov.hEvent = connection.writeEvent;
  ResetEvent(connection.writeEvent);
  DWORD n = 0;
  if (WriteFile(connection.pipe, message.data(), static_cast<DWORD>(message.size()), &n, &ov)) return;
  if (GetLastError() != ERROR_IO_PENDING) return;  // the client has gone: nothing to tell
  if (WaitForSingleObject(connection.writeEvent, kWriteWaitMs) != WAIT_OBJECT_0) CancelIoEx(connection.pipe, &ov);
  GetOverlappedResult(connection.pipe, &ov, &n, TRUE);
}

std::vector<BYTE> MainService::NotificationMessage(DWORD sizeField, DWORD type, DWORD code, DWORD dataBytes) {
  std::vector<BYTE> record = RecordBytes(sizeField, type, code, std::max<DWORD>(dataBytes, MAIN_SERVICE_RECORD_HEADER));
  std::vector<BYTE> message;
  EncodeServiceAPIReply(0, 0, record.data(), dataBytes, message);
  return message;
}

void MainService::Notify(DWORD type, DWORD code, DWORD dataSize) {
  const DWORD size = MAIN_SERVICE_RECORD_HEADER + dataSize;
  const std::vector<BYTE> message = NotificationMessage(size, type, code, size);
  std::vector<std::shared_ptr<Connection>> targets;
  {
    platform::CriticalSectionLock hold(m_lock);
    for (const auto& c : m_connections) {
      const bool wanted = std::any_of(c->list.begin(), c->list.end(), [code](ULONGLONG listed) {
        return listed == code || listed == MAIN_SERVICE_ALL_CODES;
      });
      if (c->alive && c->mainPipe && wanted) targets.push_back(c);
    }
    if (!m_volumes.empty()) {
      m_log.push_back({m_nextSequence++, code, NotificationRecord(type, code, dataSize)});
      if (m_log.size() > kLogLimit) m_log.erase(m_log.begin());
    }
  }
  for (const auto& c : targets) Write(*c, message);
}

void MainService::SendRaw(const std::vector<BYTE>& message) {
  std::vector<std::shared_ptr<Connection>> targets;
  {
    platform::CriticalSectionLock hold(m_lock);
    for (const auto& c : m_connections) {
      if (c->alive && c->mainPipe) targets.push_back(c);
    }
  }
  for (const auto& c : targets) Write(*c, message);
}

void MainService::SendOversize(DWORD totalBytes, DWORD type, DWORD code) {
  const std::vector<BYTE> tail = NotificationMessage(16, type, code, 16);
  const DWORD total = std::max<DWORD>(totalBytes, static_cast<DWORD>(tail.size()) + SERVICE_API_REPLY_OVERHEAD);
  std::vector<BYTE> message;
  const std::vector<BYTE> record = RecordBytes(total - SERVICE_API_REPLY_OVERHEAD, type, code,
                                               total - SERVICE_API_REPLY_OVERHEAD);
  EncodeServiceAPIReply(0, 0, record.data(), static_cast<DWORD>(record.size()), message);
  message.resize(total);
  std::copy(tail.begin(), tail.end(), message.end() - static_cast<std::ptrdiff_t>(tail.size()));
  SendRaw(message);
}

void MainService::StallMidMessage(DWORD headBytes) {
  const DWORD size = 2 * headBytes + 64;
  const std::vector<BYTE> message = NotificationMessage(size, 8, 0, size);
  std::vector<std::shared_ptr<Connection>> targets;
  {
    platform::CriticalSectionLock hold(m_lock);
    for (const auto& c : m_connections) {
      if (c->alive && c->mainPipe) targets.push_back(c);
    }
  }
  for (const auto& c : targets) {
    platform::CriticalSectionLock hold(c->writeLock);
    if (c->stalled) continue;
    c->stalled = true;
    SendMessageHead(c->pipe, message, std::min<std::size_t>(headBytes, message.size()));
  }
}

void MainService::SetFault(ReplyFault fault, DWORD argument) {
  platform::CriticalSectionLock hold(m_lock);
  m_fault = fault;
  m_faultArgument = argument;
}

// Connections whose client hung up: their threads joined and their
// instances closed, so that a departed client holds no instance, thread or
// descriptor.
void MainService::ReapConnections() {
  std::vector<std::shared_ptr<Connection>> ended;
  {
    platform::CriticalSectionLock hold(m_lock);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if ((*it)->alive) {
        ++it;
      } else {
        ended.push_back(std::move(*it));
        it = m_connections.erase(it);
      }
    }
  }
  for (const auto& c : ended)
    if (c->thread.joinable()) c->thread.join();
}

void MainService::DropConnections() {
  std::vector<std::shared_ptr<Connection>> dropped;
  {
    platform::CriticalSectionLock hold(m_lock);
    dropped.swap(m_connections);
  }
  for (const auto& c : dropped) {
    SetEvent(c->stopEvent);
    if (c->thread.joinable()) c->thread.join();
    DisconnectNamedPipe(c->pipe);
  }
}

void MainService::Restart(DWORD pauseMs) {
  StopServing();
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  Start();
}

void MainService::SetBusy(bool busy) {
  {
    platform::CriticalSectionLock hold(m_lock);
    m_busy = busy;
  }
  Occupy(busy);
}

// While busy, our own client holds the free instance, so no other is free.
void MainService::Occupy(bool busy) {
  HANDLE occupant = nullptr;
  if (busy) {
    occupant =
        CreateFileW(FullName(m_pipeName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (occupant == INVALID_HANDLE_VALUE) return;
  }
  platform::CriticalSectionLock hold(m_lock);
  if (m_occupant != nullptr) CloseHandle(m_occupant);
  m_occupant = occupant;
}

MainServiceState MainService::State() {
  platform::CriticalSectionLock hold(m_lock);
  MainServiceState state;
  state.connections = static_cast<std::size_t>(
      std::count_if(m_connections.begin(), m_connections.end(), [](const auto& c) { return c->alive; }));
  state.listsReceived = m_listsReceived;
  state.lastList = m_lastList;
  state.requests = m_requests;
  state.pendingPolls = m_pendingPolls;
  return state;
}

}  // namespace archive

namespace archive {

namespace {

constexpr DWORD kFileSystemControl = 0x92000;
constexpr DWORD kFileSystemRecordSize = 264;
constexpr DWORD kFileSystemFlagsOffset = 260;
constexpr DWORD kArchiveVolumeFlag = 0x1;
constexpr DWORD kPollRecheckMs = 5;
constexpr DWORD kCursorRecord = 0xFFFFFFFFu;

}  // namespace

void MainService::AnswerVolume(const std::shared_ptr<Connection>& connection, const BYTE* message, DWORD length) {
  if (length < platform::VOLUME_ENDPOINT_REQUEST_HEADER) return;
  const DWORD operation = platform::LoadLe32(message);
  const DWORD code = platform::LoadLe32(message + 4);
  const DWORD capacity = platform::LoadLe32(message + 8);
  const BYTE* input = message + platform::VOLUME_ENDPOINT_REQUEST_HEADER;
  const DWORD inputLength = length - platform::VOLUME_ENDPOINT_REQUEST_HEADER;
  DWORD error = ERROR_SUCCESS;
  std::vector<BYTE> data;
  if (operation == platform::VOLUME_ENDPOINT_OPEN) {
    platform::CriticalSectionLock hold(m_lock);
    if (m_volumeFault == VolumeFault::kOpenError) error = m_volumeFaultArgument;
  } else if (code == kFileSystemControl) {
    FileSystemRecord(data);
  } else if (code == MAIN_SERVICE_SUBSCRIBE) {
    error = Poll(input, inputLength, capacity, data);
  } else {
    error = ERROR_INVALID_FUNCTION;
  }
  if (data.size() > capacity) data.resize(capacity);
  std::vector<BYTE> reply(platform::VOLUME_ENDPOINT_REPLY_HEADER + data.size());
  platform::StoreLe32(reply.data(), error);
  std::copy(data.begin(), data.end(), reply.begin() + platform::VOLUME_ENDPOINT_REPLY_HEADER);
  Write(*connection, reply);
}

void MainService::FileSystemRecord(std::vector<BYTE>& data) {
  VolumeFault fault;
  {
    platform::CriticalSectionLock hold(m_lock);
    fault = m_volumeFault;
  }
  const std::wstring name = fault == VolumeFault::kWrongName ? L"NTFS" : L"Vantrel kernel file system";
  data.assign(kFileSystemRecordSize, 0);
  const std::string utf16 = platform::Utf16leFromWide(name);
  std::copy(utf16.begin(), utf16.end(), data.begin());
  platform::StoreLe32(data.data() + kFileSystemFlagsOffset, fault == VolumeFault::kFlagClear ? 0 : kArchiveVolumeFlag);
}

// A bounded long poll: the records for the listed codes from the cursor on,
// then a cursor record naming where the next poll starts.
DWORD MainService::Poll(const BYTE* input, DWORD length, DWORD capacity, std::vector<BYTE>& data) {
  if (length < MAIN_SERVICE_LIST_HEADER) return ERROR_INVALID_PARAMETER;
  const ULONGLONG cursor = platform::LoadLe64(input);
  const ULONGLONG count = platform::LoadLe32(input + 8);
  if (MAIN_SERVICE_LIST_HEADER + 8 * count != length) return ERROR_INVALID_PARAMETER;
  std::vector<ULONGLONG> codes(count);
  for (ULONGLONG i = 0; i < count; ++i) codes[i] = platform::LoadLe64(input + MAIN_SERVICE_LIST_HEADER + 8 * i);
  {
    platform::CriticalSectionLock hold(m_lock);
    if (cursor != 0 && (cursor < m_validFrom || cursor > m_nextSequence)) return ERROR_NOT_FOUND;
    ++m_listsReceived;
    m_lastList = codes;
    // No codes or no room for a record: the list is only being handed over.
    if (codes.empty() || capacity < 2 * MAIN_SERVICE_RECORD_HEADER) return ERROR_SUCCESS;
    ++m_pendingPolls;
  }
  ULONGLONG deadline;
  {
    platform::CriticalSectionLock hold(m_lock);
    deadline = GetTickCount64() + m_pollWaitMs;
  }
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    {
      platform::CriticalSectionLock hold(m_lock);
      if (cursor != 0 && cursor < m_validFrom) {
        error = ERROR_NOT_FOUND;
        break;
      }
      if (CollectLocked(cursor, codes, capacity, data) || GetTickCount64() >= deadline) break;
    }
    if (WaitForSingleObject(m_stopEvent, kPollRecheckMs) == WAIT_OBJECT_0) break;
  }
  platform::CriticalSectionLock hold(m_lock);
  --m_pendingPolls;
  if (error == ERROR_SUCCESS && data.empty()) CollectLocked(cursor, codes, capacity, data);
  return error;
}

// Fills data with the wanted records from cursor on that fit, and the cursor
// record; true when at least one record was wanted.
bool MainService::CollectLocked(ULONGLONG cursor, const std::vector<ULONGLONG>& codes, DWORD capacity,
                                std::vector<BYTE>& data) {
  data.clear();
  ULONGLONG next = std::max(cursor, m_validFrom);
  bool any = false;
  for (const LoggedRecord& r : m_log) {
    if (r.sequence < next) continue;
    const bool wanted = std::any_of(codes.begin(), codes.end(),
                                    [&r](ULONGLONG c) { return c == r.code || c == MAIN_SERVICE_ALL_CODES; });
    if (wanted) {
      if (data.size() + r.record.size() + MAIN_SERVICE_RECORD_HEADER > capacity) break;
      data.insert(data.end(), r.record.begin(), r.record.end());
      any = true;
    }
    next = r.sequence + 1;
  }
  if (!any) next = m_nextSequence;
  const std::vector<BYTE> mark =
      RecordBytes(MAIN_SERVICE_RECORD_HEADER, kCursorRecord, static_cast<DWORD>(next), MAIN_SERVICE_RECORD_HEADER);
  data.insert(data.end(), mark.begin(), mark.end());
  return any;
}

void MainService::SetVolumeFault(VolumeFault fault, DWORD argument) {
  platform::CriticalSectionLock hold(m_lock);
  m_volumeFault = fault;
  m_volumeFaultArgument = argument;
}

void MainService::SetPollWait(DWORD milliseconds) {
  platform::CriticalSectionLock hold(m_lock);
  m_pollWaitMs = milliseconds;
}

void MainService::LoseCursors() {
  platform::CriticalSectionLock hold(m_lock);
  m_log.clear();
  m_validFrom = m_nextSequence + 1;
  m_nextSequence = m_validFrom;
}

}  // namespace archive
