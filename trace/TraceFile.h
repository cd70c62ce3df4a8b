// TraceFile.h - one trace file: up to 8 buffers in memory, a ".VNT" on disk.
//
// File layout (little-endian, no padding): u8 entry count (sources +
// properties); per source in index order u8 length + the name's bytes; per
// property in key order u8 length + "key::value"; then per buffer with a keep
// range, in first-line order, the u64 first line number and the compressed
// block (HuffmanCoder.h). Names and properties longer than 255 bytes are cut
// to 255 bytes (at a UTF-8 character boundary).
//
// Invariants: sources + properties <= 255; no two buffers share a first line
// (an empty last buffer is offered the next line again instead of a new
// one); the dirty flag is set by marking and cleared by a successful save;
// once the file has given up its buffers (its last outside handle went) it
// never writes again, so a failed save cannot later replace a good file with
// one that holds no buffers. The handle's count is interlocked; everything
// else runs under the logger's lock.
#pragma once

#include "platform/base/types.h"

#include "trace/TraceBuffer.h"
#include "trace/TraceLine.h"

#include <array>
#include <atomic>
#include <map>
#include <string>

class CTraceLogger;
class CTraceLoggable;

class CTraceFile {
 public:
  class CRep;
  static constexpr std::size_t kMaxBuffers = 8;

  CTraceFile();  // empty handle
  CTraceFile(CTraceLogger* logger, ULONGLONG firstLine, DWORD fileIndex);
  CTraceFile(const CTraceFile& other);
  CTraceFile(CTraceFile&& other) noexcept;
  CTraceFile& operator=(CTraceFile other) noexcept;
  virtual ~CTraceFile();

  explicit operator bool() const { return m_rep != nullptr; }

  BYTE* AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength, ULONGLONG lineNumber,
                CTraceBuffer& lineBuffer);
  CTraceLine GetLine(CTraceLogger* logger, ULONGLONG lineNumber) const;
  DWORD GetLineCount() const;
  ULONGLONG GetFirstLineNumber() const;
  void MarkRange(ULONGLONG first, DWORD count);
  bool IsDirty() const;
  // Win32 code, 0 on success (and when there is nothing to save).
  DWORD SaveFile();
  // The ".VNT" path this file saves to.
  std::wstring GetFileName() const;
  // The source a line's index stands for (null when unknown).
  CTraceLoggable* GetSourcePointer(BYTE index) const;

 private:
  friend class CTraceBuffer;
  CRep* m_rep;
};
