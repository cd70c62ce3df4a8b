// TraceLineHandle.cpp - the trace line handle: the line's buffer, its source, storing and reading it.
//
// A handle shares one body; the body keeps the buffer that holds the line's
// argument bytes, and with it the buffer's file, alive. Storing goes through
// the logger (AddLine under its lock); reading renders through the id's
// argument list and template from the process-wide cache.
#include "trace/TraceLine.h"

#include "trace/TraceBuffer.h"
#include "trace/TraceCache.h"
#include "trace/TraceLogger.h"

#include "platform/com/oleauto.h"

#include <cstring>
#include <mutex>

class CTraceLine::CRep {
 public:
  explicit CRep(CTraceLogger* logger) : m_logger(logger) {}
  virtual ~CRep() = default;

  std::atomic<long> m_refs{1};
  BYTE m_sourceIndex = 255;
  ULONGLONG m_time = 0;
  const CArgs* m_args = nullptr;
  CTraceLogger* m_logger;
  CTraceBuffer m_buffer;
  const BYTE* m_argBytes = nullptr;
  DWORD m_argLength = 0;
};

// --- the handle ---

CTraceLine::CTraceLine(CTraceLogger* logger) : m_rep(new CRep(logger)) {}

CTraceLine::CTraceLine(CTraceLogger* logger, const CTraceBuffer& buffer, DWORD messageId, BYTE sourceIndex,
                       ULONGLONG time, const BYTE* argBytes, DWORD argLength)
    : m_rep(new CRep(logger)) {
  m_rep->m_buffer = buffer;
  m_rep->m_args = &GetArgs(messageId);
  m_rep->m_sourceIndex = sourceIndex;
  m_rep->m_time = time;
  m_rep->m_argBytes = argBytes;
  m_rep->m_argLength = argLength;
}

CTraceLine::CTraceLine(const CTraceLine& other) : m_rep(other.m_rep) {
  m_rep->m_refs.fetch_add(1, std::memory_order_relaxed);
}
CTraceLine::CTraceLine(CTraceLine&& other) noexcept : m_rep(other.m_rep) { other.m_rep = nullptr; }
CTraceLine& CTraceLine::operator=(CTraceLine other) noexcept {
  std::swap(m_rep, other.m_rep);
  return *this;
}
CTraceLine::~CTraceLine() {
  if (m_rep != nullptr && m_rep->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_rep;
}

bool CTraceLine::IsEmpty() const { return !m_rep->m_buffer; }

void CTraceLine::GetArgBytes(const BYTE** bytes, DWORD* length) const {
  *bytes = m_rep->m_argBytes;
  *length = m_rep->m_argLength;
}
DWORD CTraceLine::GetMessageId() const {
  return m_rep->m_args != nullptr ? m_rep->m_args->GetMessageId() : 0xFFFFFFFF;
}
CTraceLoggable* CTraceLine::GetSource() const {
  if (!m_rep->m_buffer) return nullptr;
  return m_rep->m_buffer.GetSourcePointer(m_rep->m_sourceIndex);
}
BYTE CTraceLine::GetSourceIndex() const { return m_rep->m_sourceIndex; }
ULONGLONG CTraceLine::GetTime() const { return m_rep->m_time; }
CTraceBuffer CTraceLine::GetBuffer() const { return m_rep->m_buffer; }

void CTraceLine::Encode(CTraceLoggable* source, DWORD messageId, va_list args) {
  const CArgs& list = GetArgs(messageId);
  m_rep->m_args = &list;
  CArgBytes bytes;
  EncodeArgs(list, args, bytes);
  BYTE* place = m_rep->m_logger->AddLine(messageId, source, bytes.Length(), m_rep->m_buffer);
  if (place == nullptr) return;
  std::memcpy(place, bytes.Data(), bytes.Length());
  m_rep->m_argBytes = place;
  m_rep->m_argLength = bytes.Length();
}

std::wstring CTraceLine::FormatText() const {
  if (m_rep->m_argBytes == nullptr || m_rep->m_args == nullptr) return L"";
  std::wstring templateText;
  {
    trace_cache::State& state = trace_cache::Get();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.templates.find(m_rep->m_args->GetMessageId());
    if (found == state.templates.end()) return L"";
    templateText = found->second;
  }
  return m_rep->m_args->Render(templateText, m_rep->m_argBytes, m_rep->m_argLength);
}

void CTraceLine::GetArgVariant(int number, VARIANT* out) const {
  VariantInit(out);
  if (m_rep->m_argBytes == nullptr || m_rep->m_args == nullptr) return;
  m_rep->m_args->ArgVariant(number, m_rep->m_argBytes, m_rep->m_argLength, out);
}
