// TraceBuffer.cpp - records of one block: adding, counting, closing, reading.
//
// A record is found by walking from the block start or from a checkpoint
// {line, record, time base}; the list keeps the 8 most recently used and a
// new one is made only after a walk of more than an eighth of the lines.
// Every walk is bounded by the end of the records, so a damaged or short
// block yields empty lines rather than reads past it.
#include "trace/TraceBuffer.h"

#include "platform/base/bytes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

unsigned DeltaBytes(ULONGLONG delta) {
  unsigned d = 1;
  while (d < 8 && (delta >> (8 * d)) != 0) ++d;
  return d;
}

// One record's header, or false when it does not lie wholly before end.
struct Record {
  BYTE slot;
  BYTE source;
  DWORD argLength;
  unsigned deltaBytes;
  ULONGLONG delta;
  const BYTE* args;
  const BYTE* next;
};
bool ReadRecord(const BYTE* p, const BYTE* end, Record& r) {
  if (end - p < 4) return false;
  const WORD bits = platform::LoadLe16(p + 2);
  r.slot = p[0];
  r.source = p[1];
  r.argLength = bits & 0x1FFF;
  r.deltaBytes = (bits >> 13) + 1;
  if (static_cast<std::size_t>(end - p) < 4 + r.deltaBytes + std::size_t{r.argLength}) return false;
  r.delta = platform::LoadLe(p + 4, r.deltaBytes);
  r.args = p + 4 + r.deltaBytes;
  r.next = r.args + r.argLength;
  return true;
}

// Blocks of buffers freed, kept for the next buffers: a logger drops and
// starts files all the time, and fresh heap pages cost a fault each. Holds at
// most 64 blocks (1 MiB); never destroyed, as buffers may go at exit.
class BlockPool {
 public:
  static BlockPool& Get() {
    static auto* pool = new BlockPool;
    return *pool;
  }
  BYTE* Take() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (!m_free.empty()) {
        BYTE* block = m_free.back();
        m_free.pop_back();
        return block;
      }
    }
    return new (std::nothrow) BYTE[CTraceBuffer::kBlockSize];
  }
  void Give(BYTE* block) {
    if (block == nullptr) return;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_free.size() < kKept) {
        m_free.push_back(block);
        return;
      }
    }
    delete[] block;
  }

 private:
  static constexpr std::size_t kKept = 64;
  BlockPool() { m_free.reserve(kKept); }
  std::mutex m_lock;
  std::vector<BYTE*> m_free;
};

}  // namespace

CTraceBuffer::CRep::~CRep() { BlockPool::Get().Give(m_block); }

CTraceBuffer::CTraceBuffer() : m_rep(nullptr) {}
// The handles that hold and let go of their file's body are TraceFile.cpp's.
CTraceBuffer::CTraceBuffer(const CTraceBuffer& other) : CTraceBuffer(other.m_rep) {}
CTraceBuffer::CTraceBuffer(CTraceBuffer&& other) noexcept : m_rep(other.m_rep) { other.m_rep = nullptr; }
CTraceBuffer& CTraceBuffer::operator=(CTraceBuffer other) noexcept {
  std::swap(m_rep, other.m_rep);
  return *this;
}

BYTE* CTraceBuffer::AddLine(DWORD messageId, BYTE sourceIndex, ULONGLONG time, DWORD argLength,
                            CTraceBuffer& lineBuffer) {
  return m_rep->AddLine(messageId, sourceIndex, time, argLength, &lineBuffer);
}
CTraceLine CTraceBuffer::GetLine(CTraceLogger* logger, ULONGLONG lineNumber) const {
  return m_rep->GetLine(logger, lineNumber);
}
DWORD CTraceBuffer::GetLineCount() const { return m_rep->GetLineCount(); }
ULONGLONG CTraceBuffer::GetFirstLineNumber() const { return m_rep->GetFirstLineNumber(); }
void CTraceBuffer::MarkRange(ULONGLONG first, DWORD count) { m_rep->MarkRange(first, count); }
bool CTraceBuffer::HasKeepRange() const { return m_rep->HasKeepRange(); }
BYTE* CTraceBuffer::CloseBlock() { return m_rep->CloseBlock(); }
DWORD CTraceBuffer::GetClosedLength() const { return m_rep->GetClosedLength(); }

// --- the body ---

const BYTE* CTraceBuffer::CRep::RecordsEnd() const {
  if (m_block == nullptr) return nullptr;
  const WORD table = platform::LoadLe16(m_block);
  if (table != 0) return m_block + std::min<DWORD>(table, static_cast<DWORD>(m_writePos - m_block));
  return m_writePos;
}

BYTE* CTraceBuffer::CRep::AddLine(DWORD messageId, BYTE sourceIndex, ULONGLONG time, DWORD argLength,
                                  CTraceBuffer* lineBuffer) {
  // A new id takes a slot only once its line is stored: a slot entered for a
  // refused line would grow the id table past the room the records left.
  auto known = m_slots.find(messageId);
  const bool newId = known == m_slots.end();
  if (newId && m_slots.size() >= kMaxSlots) return nullptr;
  const BYTE slot = newId ? static_cast<BYTE>(m_slots.size()) : known->second;
  const DWORD slots = static_cast<DWORD>(m_slots.size()) + (newId ? 1 : 0);

  // The previous time moves only when the line is stored, so the next
  // line's delta is measured from a line that exists.
  const ULONGLONG delta = time - m_previousTime;
  const unsigned d = DeltaBytes(delta);

  const DWORD reserve = 4 * slots + 6;
  if (argLength > kMaxArgLength || argLength > kBlockSize - reserve) return nullptr;

  if (m_block == nullptr) {
    m_block = BlockPool::Get().Take();
    if (m_block == nullptr) {
      m_blockSize = 0;
      return nullptr;
    }
    m_blockSize = kBlockSize;
    m_lineCount = 0;
    m_writePos = m_block + 2;
  }
  platform::StoreLe16(m_block, 0);  // open again after a save
  const std::size_t room = static_cast<std::size_t>(m_block + m_blockSize - m_writePos);
  if (!(room > reserve + argLength && room >= 4 + d + argLength + 4 * slots)) return nullptr;

  if (newId) {
    m_slots.emplace(messageId, slot);
    m_ids.emplace(slot, messageId);
  }
  BYTE* p = m_writePos;
  p[0] = slot;
  p[1] = sourceIndex;
  platform::StoreLe16(p + 2, static_cast<WORD>(argLength | ((d - 1) << 13)));
  platform::StoreLe(p + 4, delta, d);
  BYTE* args = p + 4 + d;
  m_writePos = args + argLength;
  m_previousTime = time;
  m_lineCount += 1;
  if (lineBuffer != nullptr) *lineBuffer = CTraceBuffer(this);
  return args;
}

DWORD CTraceBuffer::CRep::GetLineCount() {
  if (m_block == nullptr) return 0;
  if (m_lineCount != 0xFFFFFFFF) return m_lineCount;
  DWORD count = 0;
  const BYTE* end = RecordsEnd();
  Record rec;
  for (const BYTE* p = m_block + 2; ReadRecord(p, end, rec); p = rec.next) ++count;
  m_lineCount = count;
  return count;
}

CTraceLine CTraceBuffer::CRep::GetLine(CTraceLogger* logger, ULONGLONG lineNumber) {
  if (m_block == nullptr || lineNumber < m_firstLine) return CTraceLine(logger);
  const BYTE* end = RecordsEnd();
  const bool closed = platform::LoadLe16(m_block) != 0;
  const DWORD lineCount = GetLineCount();

  ULONGLONG startLine = m_firstLine;
  const BYTE* p = m_block + 2;
  ULONGLONG timeBase = 0;
  Record rec;
  {
    std::lock_guard<std::mutex> guard(m_checkpointLock);
    auto best = m_checkpoints.end();
    for (auto it = m_checkpoints.begin(); it != m_checkpoints.end(); ++it)
      if (it->line <= lineNumber && (best == m_checkpoints.end() || it->line > best->line)) best = it;
    if (best != m_checkpoints.end()) {
      startLine = best->line;
      p = best->record;
      timeBase = best->timeBase;
      m_checkpoints.splice(m_checkpoints.begin(), m_checkpoints, best);
    }
    const ULONGLONG walk = lineNumber - startLine;
    for (ULONGLONG i = 0; i < walk; ++i) {
      if (!ReadRecord(p, end, rec)) return CTraceLine(logger);
      timeBase += rec.delta;
      p = rec.next;
    }
    if (walk > lineCount / 8) {
      m_checkpoints.push_front({lineNumber, p, timeBase});
      if (m_checkpoints.size() > 8) m_checkpoints.pop_back();
    }
  }
  if (!ReadRecord(p, end, rec)) return CTraceLine(logger);

  DWORD id = 0xFFFFFFFF;
  if (closed) {
    const std::size_t at = static_cast<std::size_t>(end - m_block) + 4 * std::size_t{rec.slot};
    if (at + 4 <= m_blockSize)
      id = platform::LoadLe32(m_block + at);
  } else {
    auto found = m_ids.find(rec.slot);
    if (found != m_ids.end()) id = found->second;
  }
  return CTraceLine(logger, CTraceBuffer(this), id, rec.source, timeBase + rec.delta, rec.args, rec.argLength);
}

void CTraceBuffer::CRep::MarkRange(ULONGLONG first, DWORD count) {
  m_keepLow = std::min(m_keepLow, first);
  m_keepHigh = std::max(m_keepHigh, first + count);
}

// A buffer without a block or without lines has nothing a save could keep.
bool CTraceBuffer::CRep::HasKeepRange() {
  return m_keepLow < m_keepHigh && m_block != nullptr && GetLineCount() > 0;
}

BYTE* CTraceBuffer::CRep::CloseBlock() {
  if (m_block == nullptr) return nullptr;
  platform::StoreLe16(m_block, static_cast<WORD>(m_writePos - m_block));
  for (const auto& [id, slot] : m_slots) platform::StoreLe32(m_writePos + 4 * std::size_t{slot}, id);
  return m_block;
}

DWORD CTraceBuffer::CRep::GetClosedLength() const {
  if (m_block == nullptr) return 0;
  return 4 * static_cast<DWORD>(m_slots.size()) + static_cast<DWORD>(m_writePos - m_block);
}

