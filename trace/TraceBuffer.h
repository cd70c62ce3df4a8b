// TraceBuffer.h - a run of consecutive trace lines in one 16 KiB block.
//
// Block layout (little-endian): u16 offset of the id table (0 while the block
// is open), then one record per line: u8 message slot, u8 source index,
// u16 (argument length | (delta bytes - 1) << 13), 1-8 bytes of time delta in
// ms since the previous line of the block (the first line: since 1970), the
// argument bytes. A closed block ends with the u32 message id of each slot.
//
// Invariants: a record's argument length is below 8192, so it never spills
// into the delta bits; at most 255 distinct ids (slots 0-254), a new id
// taking its slot only when its line is stored, so the id table always fits
// behind the records; the previous time is that of the last line stored; a
// buffer whose block was never allocated holds 0 lines.
//
// Ownership: a buffer's body belongs to its file and is freed with the file's
// body, so a buffer never outlives its file. The body points to its file
// without owning it; a CTraceBuffer handle (held by a line, or by the encoder
// while it writes the arguments) keeps the file's body, and with it the
// buffer, alive. All operations run under the logger's lock; the body's mutex
// additionally guards the checkpoint list that GetLine keeps.
#pragma once

#include "platform/base/types.h"

#include "trace/TraceLine.h"

#include <list>
#include <map>
#include <mutex>

class CTraceFile;
class CTraceFileRep;
class CTraceLoggable;
class CTraceLogger;

class CTraceBuffer {
 public:
  class CRep;
  static constexpr DWORD kBlockSize = 16384;
  static constexpr DWORD kMaxArgLength = 8191;  // the 13-bit length field
  static constexpr DWORD kMaxSlots = 255;

  CTraceBuffer();  // empty handle
  // A new buffer owned by file, outside the file's own run of lines.
  CTraceBuffer(ULONGLONG firstLine, const CTraceFile& file);
  explicit CTraceBuffer(CRep* rep);  // holds rep's file
  CTraceBuffer(const CTraceBuffer& other);
  CTraceBuffer(CTraceBuffer&& other) noexcept;
  CTraceBuffer& operator=(CTraceBuffer other) noexcept;
  virtual ~CTraceBuffer();

  explicit operator bool() const { return m_rep != nullptr; }
  CRep* GetRep() const { return m_rep; }

  BYTE* AddLine(DWORD messageId, BYTE sourceIndex, ULONGLONG time, DWORD argLength, CTraceBuffer& lineBuffer);
  CTraceLine GetLine(CTraceLogger* logger, ULONGLONG lineNumber) const;
  DWORD GetLineCount() const;
  ULONGLONG GetFirstLineNumber() const;
  void MarkRange(ULONGLONG first, DWORD count);
  bool HasKeepRange() const;
  // Null when the buffer has no block.
  BYTE* CloseBlock();
  DWORD GetClosedLength() const;
  // The source a line's index stands for in the buffer's file (null when unknown).
  CTraceLoggable* GetSourcePointer(BYTE index) const;

 private:
  CRep* m_rep;
};

// The buffer itself, made by its file (CTraceFile) and freed with it; it is
// not counted, and its file pointer does not own the file.
class CTraceBuffer::CRep {
 public:
  CRep(ULONGLONG firstLine, CTraceFileRep* file) : m_firstLine(firstLine), m_file(file) {}
  CRep(const CRep&) = delete;
  CRep& operator=(const CRep&) = delete;
  virtual ~CRep();  // the block goes back to the blocks kept for reuse

  // lineBuffer (when not null) receives a handle to this buffer when the
  // line is stored.
  BYTE* AddLine(DWORD messageId, BYTE sourceIndex, ULONGLONG time, DWORD argLength, CTraceBuffer* lineBuffer);
  CTraceLine GetLine(CTraceLogger* logger, ULONGLONG lineNumber);
  DWORD GetLineCount();
  ULONGLONG GetFirstLineNumber() const { return m_firstLine; }
  void MarkRange(ULONGLONG first, DWORD count);
  bool HasKeepRange();
  BYTE* CloseBlock();
  DWORD GetClosedLength() const;
  CTraceFileRep* GetFile() const { return m_file; }

 private:
  struct Checkpoint {
    ULONGLONG line;
    const BYTE* record;
    ULONGLONG timeBase;
  };

  // The end of the records: the table offset once closed, else the write
  // position. Null without a block.
  const BYTE* RecordsEnd() const;

  ULONGLONG m_firstLine;
  ULONGLONG m_keepLow = ~0ULL;
  ULONGLONG m_keepHigh = 0;
  ULONGLONG m_previousTime = 0;
  CTraceFileRep* const m_file;  // the owner
  BYTE* m_block = nullptr;
  BYTE* m_writePos = nullptr;
  DWORD m_lineCount = 0xFFFFFFFF;
  DWORD m_blockSize = 0;
  std::map<DWORD, BYTE> m_slots;
  std::map<BYTE, DWORD> m_ids;
  std::list<Checkpoint> m_checkpoints;
  std::mutex m_checkpointLock;
};
