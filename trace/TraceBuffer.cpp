// TraceBuffer.cpp - records of one block: adding, counting, closing, reading.
//
// A record is found by walking from the block start or from a checkpoint
// {line, record, time base}; the list keeps the 8 most recently used and a
// new one is made only after a walk of more than an eighth of the lines.
// Every walk is bounded by the end of the records, so a damaged or short
// block yields empty lines rather than reads past it.
#include "trace/TraceBuffer.h"

#include "platform/base/bytes.h"
#include "trace/TraceFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

struct Checkpoint {
  ULONGLONG line;
  const BYTE* record;
  ULONGLONG timeBase;
};

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

}  // namespace

class CTraceBuffer::CRep {
 public:
  CRep(ULONGLONG firstLine, const CTraceFile& file) : m_firstLine(firstLine), m_file(file) {}
  virtual ~CRep() { delete[] m_block; }

  std::atomic<long> m_refs{1};
  ULONGLONG m_firstLine;
  ULONGLONG m_keepLow = ~0ULL;
  ULONGLONG m_keepHigh = 0;
  ULONGLONG m_previousTime = 0;
  CTraceFile m_file;
  BYTE* m_block = nullptr;
  BYTE* m_writePos = nullptr;
  DWORD m_lineCount = 0xFFFFFFFF;
  DWORD m_blockSize = 0;
  std::map<DWORD, BYTE> m_slots;
  std::map<BYTE, DWORD> m_ids;
  std::list<Checkpoint> m_checkpoints;
  std::mutex m_checkpointLock;

  // The end of the records: the table offset once closed, else the write
  // position. Null without a block.
  const BYTE* RecordsEnd() const {
    if (m_block == nullptr) return nullptr;
    const WORD table = platform::LoadLe16(m_block);
    if (table != 0) return m_block + std::min<DWORD>(table, static_cast<DWORD>(m_writePos - m_block));
    return m_writePos;
  }
};

CTraceBuffer::CTraceBuffer() : m_rep(nullptr) {}
CTraceBuffer::CTraceBuffer(ULONGLONG firstLine, const CTraceFile& file) : m_rep(new CRep(firstLine, file)) {}
CTraceBuffer::CTraceBuffer(CRep* rep) : m_rep(rep) {
  if (m_rep) m_rep->m_refs.fetch_add(1, std::memory_order_relaxed);
}
CTraceBuffer::CTraceBuffer(const CTraceBuffer& other) : CTraceBuffer(other.m_rep) {}
CTraceBuffer::CTraceBuffer(CTraceBuffer&& other) noexcept : m_rep(other.m_rep) { other.m_rep = nullptr; }
CTraceBuffer& CTraceBuffer::operator=(CTraceBuffer other) noexcept {
  std::swap(m_rep, other.m_rep);
  return *this;
}
CTraceBuffer::~CTraceBuffer() {
  if (m_rep != nullptr && m_rep->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_rep;
}

BYTE* CTraceBuffer::AddLine(DWORD messageId, BYTE sourceIndex, ULONGLONG time, DWORD argLength,
                            CTraceBuffer& lineBuffer) {
  CRep& r = *m_rep;
  // A new id takes a slot only once its line is stored: a slot entered for a
  // refused line would grow the id table past the room the records left.
  auto known = r.m_slots.find(messageId);
  const bool newId = known == r.m_slots.end();
  if (newId && r.m_slots.size() >= kMaxSlots) return nullptr;
  const BYTE slot = newId ? static_cast<BYTE>(r.m_slots.size()) : known->second;
  const DWORD slots = static_cast<DWORD>(r.m_slots.size()) + (newId ? 1 : 0);

  // The previous time moves only when the line is stored, so the next
  // line's delta is measured from a line that exists.
  const ULONGLONG delta = time - r.m_previousTime;
  const unsigned d = DeltaBytes(delta);

  const DWORD reserve = 4 * slots + 6;
  if (argLength > kMaxArgLength || argLength > kBlockSize - reserve) return nullptr;

  if (r.m_block == nullptr) {
    r.m_block = new (std::nothrow) BYTE[kBlockSize];
    if (r.m_block == nullptr) {
      r.m_blockSize = 0;
      return nullptr;
    }
    r.m_blockSize = kBlockSize;
    r.m_lineCount = 0;
    r.m_writePos = r.m_block + 2;
  }
  platform::StoreLe16(r.m_block, 0);  // open again after a save
  const std::size_t room = static_cast<std::size_t>(r.m_block + r.m_blockSize - r.m_writePos);
  if (!(room > reserve + argLength && room >= 4 + d + argLength + 4 * slots)) return nullptr;

  if (newId) {
    r.m_slots.emplace(messageId, slot);
    r.m_ids.emplace(slot, messageId);
  }
  BYTE* p = r.m_writePos;
  p[0] = slot;
  p[1] = sourceIndex;
  platform::StoreLe16(p + 2, static_cast<WORD>(argLength | ((d - 1) << 13)));
  platform::StoreLe(p + 4, delta, d);
  BYTE* args = p + 4 + d;
  r.m_writePos = args + argLength;
  r.m_previousTime = time;
  r.m_lineCount += 1;
  lineBuffer = *this;
  return args;
}

DWORD CTraceBuffer::GetLineCount() const {
  CRep& r = *m_rep;
  if (r.m_block == nullptr) return 0;
  if (r.m_lineCount != 0xFFFFFFFF) return r.m_lineCount;
  DWORD count = 0;
  const BYTE* end = r.RecordsEnd();
  Record rec;
  for (const BYTE* p = r.m_block + 2; ReadRecord(p, end, rec); p = rec.next) ++count;
  r.m_lineCount = count;
  return count;
}

ULONGLONG CTraceBuffer::GetFirstLineNumber() const { return m_rep->m_firstLine; }

CTraceLine CTraceBuffer::GetLine(CTraceLogger* logger, ULONGLONG lineNumber) const {
  CRep& r = *m_rep;
  if (r.m_block == nullptr || lineNumber < r.m_firstLine) return CTraceLine(logger);
  const BYTE* end = r.RecordsEnd();
  const bool closed = platform::LoadLe16(r.m_block) != 0;
  const DWORD lineCount = GetLineCount();

  ULONGLONG startLine = r.m_firstLine;
  const BYTE* p = r.m_block + 2;
  ULONGLONG timeBase = 0;
  Record rec;
  {
    std::lock_guard<std::mutex> guard(r.m_checkpointLock);
    auto best = r.m_checkpoints.end();
    for (auto it = r.m_checkpoints.begin(); it != r.m_checkpoints.end(); ++it)
      if (it->line <= lineNumber && (best == r.m_checkpoints.end() || it->line > best->line)) best = it;
    if (best != r.m_checkpoints.end()) {
      startLine = best->line;
      p = best->record;
      timeBase = best->timeBase;
      r.m_checkpoints.splice(r.m_checkpoints.begin(), r.m_checkpoints, best);
    }
    const ULONGLONG walk = lineNumber - startLine;
    for (ULONGLONG i = 0; i < walk; ++i) {
      if (!ReadRecord(p, end, rec)) return CTraceLine(logger);
      timeBase += rec.delta;
      p = rec.next;
    }
    if (walk > lineCount / 8) {
      r.m_checkpoints.push_front({lineNumber, p, timeBase});
      if (r.m_checkpoints.size() > 8) r.m_checkpoints.pop_back();
    }
  }
  if (!ReadRecord(p, end, rec)) return CTraceLine(logger);

  DWORD id = 0xFFFFFFFF;
  if (closed) {
    const std::size_t at = static_cast<std::size_t>(end - r.m_block) + 4 * std::size_t{rec.slot};
    if (at + 4 <= r.m_blockSize)
      id = platform::LoadLe32(r.m_block + at);
  } else {
    auto found = r.m_ids.find(rec.slot);
    if (found != r.m_ids.end()) id = found->second;
  }
  return CTraceLine(logger, *this, id, rec.source, timeBase + rec.delta, rec.args, rec.argLength);
}

void CTraceBuffer::MarkRange(ULONGLONG first, DWORD count) {
  m_rep->m_keepLow = std::min(m_rep->m_keepLow, first);
  m_rep->m_keepHigh = std::max(m_rep->m_keepHigh, first + count);
}

// A buffer without a block or without lines has nothing a save could keep.
bool CTraceBuffer::HasKeepRange() const {
  return m_rep->m_keepLow < m_rep->m_keepHigh && m_rep->m_block != nullptr && GetLineCount() > 0;
}

BYTE* CTraceBuffer::CloseBlock() {
  CRep& r = *m_rep;
  if (r.m_block == nullptr) return nullptr;
  platform::StoreLe16(r.m_block, static_cast<WORD>(r.m_writePos - r.m_block));
  for (const auto& [id, slot] : r.m_slots) platform::StoreLe32(r.m_writePos + 4 * std::size_t{slot}, id);
  return r.m_block;
}

DWORD CTraceBuffer::GetClosedLength() const {
  if (m_rep->m_block == nullptr) return 0;
  return 4 * static_cast<DWORD>(m_rep->m_slots.size()) + static_cast<DWORD>(m_rep->m_writePos - m_rep->m_block);
}

const CTraceFile& CTraceBuffer::GetFile() const { return m_rep->m_file; }
