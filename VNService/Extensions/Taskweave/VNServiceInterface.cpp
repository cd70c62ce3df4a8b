// VNServiceInterface.cpp - the main-service client: connecting, requests over
// the pipe, the pipe reader, the notification queue and its dispatcher, and
// the subscription list.
#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "VNService/Extensions/Taskweave/VNServiceInterfaceRep.h"

#include "platform/pipe/ServiceAPI.h"
#include "platform/base/ntstatus.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr DWORD kFirstReceiveSize = 4096;
constexpr DWORD kMaxMessage = SERVICE_API_MAX_MESSAGE + SERVICE_API_REPLY_OVERHEAD;
constexpr DWORD kWriteWaitMs = 5000;
constexpr DWORD kBusyWaitSliceMs = 250;

std::wstring FullPipeName(const std::wstring& name) { return L"\\\\.\\pipe\\" + name; }

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

}  // namespace

// --- handles ---

CVNServiceInterfaceImpl::CVNServiceInterfaceImpl(const CVNServiceOptions& options) : m_rep(new CRep(options)) {}
CVNServiceInterfaceImpl::CVNServiceInterfaceImpl(const CVNServiceInterfaceImpl& other) : m_rep(other.m_rep) {
  m_rep->AddRef();
}
CVNServiceInterfaceImpl& CVNServiceInterfaceImpl::operator=(const CVNServiceInterfaceImpl& other) {
  other.m_rep->AddRef();
  m_rep->Release();
  m_rep = other.m_rep;
  return *this;
}
CVNServiceInterfaceImpl::~CVNServiceInterfaceImpl() { m_rep->Release(); }

CVNServiceInterface::CVNServiceInterface() : m_impl(CVNServiceOptions{}) {}
CVNServiceInterface::CVNServiceInterface(const CVNServiceOptions& options) : m_impl(options) {}
CVNServiceInterface::~CVNServiceInterface() { m_impl->Shutdown(); }
bool CVNServiceInterface::IsConnected() { return m_impl->IsConnected(); }
bool CVNServiceInterface::QueryReserved() { return false; }
bool CVNServiceInterface::IoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength,
                                    void* output, DWORD outputCapacity, DWORD* bytesReturned) {
  return m_impl->IoControl(argument, controlCode, input, inputLength, output, outputCapacity, bytesReturned);
}
void CVNServiceInterface::Cancel(HANDLE thread) { m_impl->Cancel(thread); }
bool CVNServiceInterface::Subscribe(ULONGLONG code, void* context, VNServiceCallback callback) {
  return m_impl->Subscribe(code, context, callback);
}
bool CVNServiceInterface::Unsubscribe(ULONGLONG code, void* context, VNServiceCallback callback) {
  return m_impl->Unsubscribe(code, context, callback);
}
CVNServiceCounters CVNServiceInterface::GetCounters() { return m_impl->GetCounters(); }

// --- the body ---

using CRep = CVNServiceInterfaceImpl::CRep;

CRep::CRep(const CVNServiceOptions& options)
    : m_wakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_bufferTakenEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_queueEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_pipeName(options.pipeName),
      m_options(options),
      m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_callDoneEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  InitializeCriticalSection(&m_requestLock);
  InitializeCriticalSection(&m_subscriptionLock);
  InitializeCriticalSection(&m_syncLock);
}

CRep::~CRep() {
  if (m_pipe != nullptr) CloseHandle(m_pipe);
  for (HANDLE h : {m_readerThread, m_dispatcherThread, m_pollerThread}) {
    if (h != nullptr) CloseHandle(h);
  }
  for (HANDLE h : {m_wakeEvent, m_bufferTakenEvent, m_queueEvent, m_stopEvent, m_callDoneEvent}) CloseHandle(h);
  DeleteCriticalSection(&m_syncLock);
  DeleteCriticalSection(&m_subscriptionLock);
  DeleteCriticalSection(&m_requestLock);
}

void CRep::Release() {
  if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool CRep::IsConnected() {
  platform::CriticalSectionLock hold(m_requestLock);
  return m_pipe != nullptr || !m_volumes.empty();
}

CVNServiceCounters CRep::GetCounters() {
  CVNServiceCounters counters;
  {
    platform::CriticalSectionLock hold(m_requestLock);
    counters = m_counters;
  }
  platform::CriticalSectionLock hold(m_subscriptionLock);
  counters.droppedNotifications = m_counters.droppedNotifications;
  counters.coalescedNotifications = m_counters.coalescedNotifications;
  return counters;
}

// --- connecting ---

// The mode to send in, connecting first when neither pipe nor volumes are
// held. Called with the request lock held.
CRep::Mode CRep::ConnectLocked(bool& connectedNow) {
  connectedNow = false;
  if (m_pipe != nullptr) return Mode::kPipe;
  if (!m_volumes.empty()) return Mode::kVolumes;
  if (m_stopping) return Mode::kNone;
  if (OpenPipeLocked()) {
    connectedNow = true;
    return Mode::kPipe;
  }
  // Volumes only while the pipe was never opened: after a main service that
  // went away, the client waits for it to come back.
  if (!m_pipeOpened && OpenVolumesLocked()) {
    connectedNow = true;
    return Mode::kVolumes;
  }
  return Mode::kNone;
}

// WaitNamedPipeW in slices, so that a stopping client is not held by a busy
// pipe; true once an instance was free.
bool CRep::WaitForFreeInstance(const std::wstring& name) {
  const ULONGLONG deadline = GetTickCount64() + m_options.pipeBusyWaitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (m_stopping || now >= deadline) return false;
    if (WaitNamedPipeW(name.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kBusyWaitSliceMs))))
      return true;
    if (GetLastError() != ERROR_SEM_TIMEOUT) return false;
  }
}

bool CRep::OpenPipeLocked() {
  const std::wstring name = FullPipeName(m_pipeName);
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (DWORD attempt = 0;; ++attempt) {
    pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) break;
    // Bounded: a service whose every instance stays busy counts as absent.
    if (attempt + 1 >= m_options.pipeBusyAttempts || !WaitForFreeInstance(name)) break;
  }
  if (pipe == INVALID_HANDLE_VALUE) return false;
  m_pipeOpened = true;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    m_pipe = pipe;
    ++m_generation;
    if (m_readerThread != nullptr) CloseHandle(m_readerThread);
    m_readerThread = nullptr;
    AddRef();
    m_readerThread = CreateThread(nullptr, 0, &CRep::ReaderEntry, this, 0, nullptr);
    if (m_readerThread != nullptr) {
      m_readerError = ERROR_SUCCESS;
      return true;
    }
    Release();
    m_pipe = nullptr;
  }
  CloseHandle(pipe);
  return false;
}

// --- requests ---

bool CRep::IoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                     DWORD outputCapacity, DWORD* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  Mode mode;
  bool connectedNow = false;
  {
    platform::CriticalSectionLock hold(m_requestLock);
    mode = ConnectLocked(connectedNow);
  }
  // A new connection gets the subscription list first (unless this request
  // is that list), so a main service that came back hears it again.
  if (connectedNow && controlCode != VN_CONTROL_SUBSCRIBE) {
    m_listStale = true;
    SyncSubscriptions();
  }
  switch (mode) {
    case Mode::kPipe:
      return PipeIoControl(argument, controlCode, input, inputLength, output, outputCapacity, bytesReturned);
    case Mode::kVolumes:
      return VolumeIoControl(controlCode, input, inputLength, output, outputCapacity, bytesReturned, connectedNow);
    case Mode::kNone:
      break;
  }
  return Fail(ERROR_NOT_READY);
}

bool CRep::PipeIoControl(DWORD argument, DWORD controlCode, const void* input, DWORD inputLength, void* output,
                         DWORD outputCapacity, DWORD* bytesReturned) {
  const ULONGLONG needed = ULONGLONG{outputCapacity} + SERVICE_API_REPLY_OVERHEAD;
  if (needed > kMaxMessage) return Fail(ERROR_INVALID_PARAMETER);
  if (DWORD error = EnsureReceiveBuffer(static_cast<DWORD>(needed)); error != ERROR_SUCCESS) return Fail(error);
  auto pending = std::make_shared<CPendingRequest>();
  std::vector<BYTE> message;
  ULONGLONG requestId;
  platform::UniqueHandle pipe, reader, event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  {
    platform::CriticalSectionLock hold(m_requestLock);
    if (m_pipe == nullptr) return Fail(m_readerError != ERROR_SUCCESS ? m_readerError : ERROR_NOT_READY);
    if (m_readerError != ERROR_SUCCESS) return Fail(m_readerError);
    // The thread id alone would let a late reply answer the thread's next
    // request; the sequence number tells them apart.
    requestId = (ULONGLONG{GetCurrentThreadId()} << 32) | ++m_requestSequence;
    try {
      if (!EncodeServiceAPIRequest(requestId, argument, controlCode, input, inputLength, outputCapacity, message))
        return Fail(ERROR_INVALID_PARAMETER);
      pending->reply.reserve(static_cast<std::size_t>(needed));
    } catch (const std::bad_alloc&) {
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    pending->event = event.get();
    pending->threadId = GetCurrentThreadId();
    pending->capacity = outputCapacity;
    pending->generation = m_generation;
    m_pending[requestId] = pending;
    pipe.reset(DuplicateHandleRef(m_pipe));
    reader.reset(DuplicateHandleRef(m_readerThread));
  }
  DWORD failure = WriteRequest(pipe.get(), message);
  if (failure == ERROR_SUCCESS) failure = AwaitReply(pending, reader.get());
  platform::CriticalSectionLock hold(m_requestLock);
  m_pending.erase(requestId);
  return FinishRequest(*pending, failure, output, outputCapacity, bytesReturned);
}

// Makes the reader's buffer hold a reply of needed bytes before the request
// goes out. The reader also grows it for longer messages; this only spares
// it the second read.
DWORD CRep::EnsureReceiveBuffer(DWORD needed) {
  {
    platform::CriticalSectionLock hold(m_requestLock);
    if (needed <= m_receiveSize) return ERROR_SUCCESS;
    DWORD size = kFirstReceiveSize;
    while (size < needed) size *= 2;
    try {
      m_nextBuffer.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    m_receiveSize = size;
    ResetEvent(m_bufferTakenEvent);
    SetEvent(m_wakeEvent);
  }
  HANDLE waits[] = {m_bufferTakenEvent, m_stopEvent};
  WaitForMultipleObjects(2, waits, FALSE, m_options.requestTimeoutMs);
  return ERROR_SUCCESS;  // a reader that did not take it yet grows its own buffer
}

DWORD CRep::WriteRequest(HANDLE pipe, const std::vector<BYTE>& message) {
  platform::UniqueHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov;
  ov.hEvent = written.get();
  DWORD n = 0;
  if (WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &n, &ov)) return ERROR_SUCCESS;
  if (GetLastError() != ERROR_IO_PENDING) return GetLastError();
  HANDLE waits[] = {written.get(), m_stopEvent};
  if (WaitForMultipleObjects(2, waits, FALSE, kWriteWaitMs) != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
  return GetOverlappedResult(pipe, &ov, &n, TRUE) ? ERROR_SUCCESS : GetLastError();
}

// Waits for the reply, the end of the reader, stop or the request's bound.
DWORD CRep::AwaitReply(const std::shared_ptr<CPendingRequest>& pending, HANDLE reader) {
  // A stopping client sends its last list without waiting for the answer.
  if (m_stopping) return ERROR_OPERATION_ABORTED;
  HANDLE waits[] = {pending->event, reader, m_stopEvent};
  const DWORD wait = WaitForMultipleObjects(3, waits, FALSE, m_options.requestTimeoutMs);
  platform::CriticalSectionLock hold(m_requestLock);
  if (pending->done) return ERROR_SUCCESS;
  if (wait == WAIT_OBJECT_0 || wait == WAIT_OBJECT_0 + 1)
    return m_readerError != ERROR_SUCCESS ? m_readerError : ERROR_PROCESS_ABORTED;
  if (wait == WAIT_OBJECT_0 + 2) return ERROR_OPERATION_ABORTED;
  return ERROR_TIMEOUT;
}

// Turns the reply (or the failure) into the answer. Called with the request
// lock held: the reply's bytes were written under it.
bool CRep::FinishRequest(const CPendingRequest& pending, DWORD failure, void* output, DWORD outputCapacity,
                         DWORD* bytesReturned) {
  if (failure != ERROR_SUCCESS) return Fail(failure);
  if (pending.failure != ERROR_SUCCESS) return Fail(pending.failure);
  const DWORD status = platform::LoadLe32(pending.reply.data() + 8);
  const DWORD length = platform::LoadLe32(pending.reply.data() + 12);
  if (status == SERVICE_API_STATUS_SUCCESS) {
    const DWORD copied = std::min(length, outputCapacity);  // the reader already refused more
    if (copied != 0 && output != nullptr) std::memcpy(output, pending.reply.data() + SERVICE_API_REPLY_HEADER, copied);
    if (bytesReturned != nullptr) *bytesReturned = copied;
    return true;
  }
  // A negative status is an NT status; a positive one a Win32 code.
  if (static_cast<NTSTATUS>(status) < 0) return Fail(RtlNtStatusToDosError(static_cast<NTSTATUS>(status)));
  return Fail(status);
}

void CRep::Cancel(HANDLE thread) {
  const DWORD threadId = GetThreadId(thread);
  platform::CriticalSectionLock hold(m_requestLock);
  if (!m_volumes.empty()) {
    // Volume mode: a request is bounded by its poll wait; ending it early is
    // the same as letting it time out, so only the pipe mode needs more.
    return;
  }
  for (auto& [id, pending] : m_pending) {
    if (pending->threadId != threadId || pending->done) continue;
    // The reader writes replies only under this lock and never into a
    // request that is done, so this header is the reply the caller reads.
    pending->reply.assign(SERVICE_API_REPLY_HEADER, 0);
    platform::StoreLe64(pending->reply.data(), id);
    platform::StoreLe32(pending->reply.data() + 8, static_cast<DWORD>(STATUS_CANCELLED));
    pending->done = true;
    SetEvent(pending->event);
  }
}

// --- the reader ---

DWORD CRep::ReaderEntry(LPVOID self) {
  CRep* rep = static_cast<CRep*>(self);
  HANDLE pipe;
  DWORD generation;
  {
    platform::CriticalSectionLock hold(rep->m_requestLock);
    pipe = DuplicateHandleRef(rep->m_pipe);
    generation = rep->m_generation;
  }
  const DWORD error = rep->ReaderLoop(pipe, generation);
  rep->EndReader(pipe, generation, error);
  CloseHandle(pipe);
  rep->Release();
  return error;
}

DWORD CRep::ReaderLoop(HANDLE pipe, DWORD generation) {
  platform::UniqueHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (;;) {
    if (m_stopping) return ERROR_SUCCESS;
    {
      platform::CriticalSectionLock hold(m_requestLock);
      if (generation != m_generation) return ERROR_SUCCESS;
      if (!m_nextBuffer.empty()) m_receiveBuffer.swap(m_nextBuffer);
      m_nextBuffer.clear();
      if (m_receiveBuffer.empty()) m_receiveBuffer.assign(kFirstReceiveSize, 0);
      SetEvent(m_bufferTakenEvent);
    }
    DWORD length = 0;
    const DWORD error = ReadMessage(pipe, readEvent.get(), length);
    if (error == ERROR_OPERATION_ABORTED) continue;  // woken: take the new buffer, or stop
    if (error != ERROR_SUCCESS) return error;
    HandleMessage(m_receiveBuffer.data(), length);
  }
}

// Reads one whole message into the receive buffer, growing it as the message
// needs; ERROR_OPERATION_ABORTED when the wake event interrupted the read
// between messages or the client stops. A message longer than any reply is
// read away whole and dropped; a message that stops arriving for the request
// bound is a broken connection.
DWORD CRep::ReadMessage(HANDLE pipe, HANDLE readEvent, DWORD& length) {
  length = 0;
  bool oversize = false;
  for (;;) {
    OVERLAPPED ov;
    ov.hEvent = readEvent;
    ResetEvent(readEvent);
    DWORD n = 0;
    const bool midMessage = length != 0 || oversize;
    const DWORD room = static_cast<DWORD>(m_receiveBuffer.size()) - length;
    BOOL ok = ReadFile(pipe, m_receiveBuffer.data() + length, room, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      HANDLE waits[] = {readEvent, m_wakeEvent};
      // Mid-message only the stop (or the bound) interrupts the read.
      const DWORD timeout = midMessage ? m_options.requestTimeoutMs : INFINITE;
      DWORD wait;
      for (;;) {
        wait = WaitForMultipleObjects(2, waits, FALSE, timeout);
        if (wait != WAIT_OBJECT_0 + 1 || !midMessage || m_stopping) break;
      }
      // The pipe layer consumes nothing for a cancelled read.
      if (wait != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
      ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
      if (!ok && GetLastError() == ERROR_OPERATION_ABORTED && midMessage) {
        // A stop ends the read whatever the peer does; a peer that sent part
        // of a message and nothing more for the bound has broken the connection.
        return m_stopping ? ERROR_OPERATION_ABORTED : ERROR_BROKEN_PIPE;
      }
    }
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    length += n;
    if (error == ERROR_SUCCESS && oversize) {
      // The last piece of a message too long for any reply: not a message of its own.
      {
        platform::CriticalSectionLock hold(m_requestLock);
        ++m_counters.malformedMessages;
      }
      length = 0;
      oversize = false;
      if (m_stopping) return ERROR_OPERATION_ABORTED;
      continue;
    }
    if (error != ERROR_MORE_DATA) return error;
    if (m_receiveBuffer.size() >= kMaxMessage) {
      // Longer than any reply can be: read the rest away and drop it.
      oversize = true;
      length = 0;
      continue;
    }
    m_receiveBuffer.resize(std::min<std::size_t>(m_receiveBuffer.size() * 2, kMaxMessage));
  }
}

// One message from the service: a reply for a pending request, or a
// notification. Every length is checked before it is used.
void CRep::HandleMessage(const BYTE* message, DWORD length) {
  if (length < SERVICE_API_REPLY_HEADER) {
    platform::CriticalSectionLock hold(m_requestLock);
    ++m_counters.malformedMessages;
    return;
  }
  const ULONGLONG id = platform::LoadLe64(message);
  const DWORD dataLength = platform::LoadLe32(message + 12);
  const BYTE* data = message + SERVICE_API_REPLY_HEADER;
  const bool fits = ULONGLONG{SERVICE_API_REPLY_HEADER} + dataLength <= length;
  if (id == 0) {
    const DWORD size = fits && dataLength >= 16 ? platform::LoadLe32(data) : 0;
    if (size >= VN_NOTIFY_RECORD_HEADER && size <= dataLength) {
      QueueRecord(data, size);
      return;
    }
    platform::CriticalSectionLock hold(m_requestLock);
    ++m_counters.malformedMessages;
    return;
  }
  platform::CriticalSectionLock hold(m_requestLock);
  if (!fits) {
    ++m_counters.malformedMessages;
    return;
  }
  auto it = m_pending.find(id);
  if (it == m_pending.end() || it->second->done) {
    ++m_counters.lateReplies;  // timed out, cancelled, duplicated or never asked for
    return;
  }
  CPendingRequest& pending = *it->second;
  if (dataLength > pending.capacity) {
    pending.failure = ERROR_INVALID_DATA;
  } else {
    pending.reply.assign(message, message + SERVICE_API_REPLY_HEADER + dataLength);
  }
  pending.done = true;
  SetEvent(pending.event);
}

void CRep::EndReader(HANDLE pipe, DWORD generation, DWORD error) {
  const bool broken = error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
  if (broken && !m_stopping) {
    BYTE record[16] = {};
    platform::StoreLe32(record, sizeof record);
    platform::StoreLe32(record + 4, VN_NOTIFY_PIPE_BROKEN);
    QueueRecord(record, sizeof record);
  }
  {
    platform::CriticalSectionLock hold(m_requestLock);
    if (generation == m_generation) {
      m_readerError = error != ERROR_SUCCESS ? error : ERROR_PROCESS_ABORTED;
      if (m_pipe == pipe || broken) {
        if (m_pipe != nullptr) CloseHandle(m_pipe);
        m_pipe = nullptr;
      }
    }
    for (auto& [id, pending] : m_pending) {
      if (pending->generation == generation) SetEvent(pending->event);
    }
  }
  if (broken && !m_stopping) {
    m_listStale = true;  // the next connection hears the whole list again
    platform::CriticalSectionLock hold(m_subscriptionLock);
    m_reconnectWanted = true;
    SetEvent(m_queueEvent);
  }
}
