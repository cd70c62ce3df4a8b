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
// buffer whose block was never allocated holds 0 lines. All operations run under the logger's lock; the
// body's mutex additionally guards the checkpoint list that GetLine keeps.
#pragma once

#include "platform/base/types.h"

#include "trace/TraceLine.h"

#include <atomic>
#include <list>
#include <map>
#include <mutex>

class CTraceFile;

class CTraceBuffer {
 public:
  class CRep;
  static constexpr DWORD kBlockSize = 16384;
  static constexpr DWORD kMaxArgLength = 8191;  // the 13-bit length field
  static constexpr DWORD kMaxSlots = 255;

  CTraceBuffer();  // empty handle
  CTraceBuffer(ULONGLONG firstLine, const CTraceFile& file);
  explicit CTraceBuffer(CRep* rep);  // takes a reference
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
  const CTraceFile& GetFile() const;

 private:
  CRep* m_rep;
};
