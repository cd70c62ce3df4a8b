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
// one); the dirty flag is set by marking and cleared by a successful save.
//
// Ownership: the logger owns its files through CTraceFile handles; a file's
// body owns its buffers (TraceBuffer.h). Handles of a buffer, which lines
// hold, keep the file's body alive without owning the file: when the last
// CTraceFile handle goes, the file saves itself if marked and never writes
// again; the body and its buffers are freed when the last buffer handle goes
// too. So a buffer never outlives its file, and nothing refers back in a
// cycle. The counts are interlocked; everything else runs under the logger's
// lock.
//
// A file is named after its logger's CTraceFileNames, which it is given when
// made and shares with the logger: a folder or prefix set later (a service
// reads its folder after its first lines may have been traced) applies to
// the files already made. The "ServiceName" property is the prefix the file
// was made with.
#pragma once

#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include "trace/TraceLine.h"

#include <memory>
#include <string>

class CTraceBuffer;
class CTraceFileRep;
class CTraceLogger;
class CTraceLoggable;

// The names of one logger's trace files. Its lock guards the folder and the
// prefix, which the logger's setters change while files may be saving.
class CTraceFileNames {
 public:
  explicit CTraceFileNames(LONGLONG startTime) : m_startTime(startTime) {}
  virtual ~CTraceFileNames() = default;

  void SetDirectory(const std::wstring& directory);
  void SetPrefix(const std::wstring& prefix);
  std::wstring GetDirectory() const;
  std::wstring GetPrefix() const;
  // directory + "\" + prefix + start time "%Y%m%d%H%M%S".
  std::wstring MakeStem() const;
  // The stem + the file index "%.4X" + ".VNT".
  std::wstring MakeFileName(DWORD fileIndex) const;

 private:
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::wstring m_directory;
  std::wstring m_prefix;
  const LONGLONG m_startTime;
};

class CTraceFile {
 public:
  // The body (TraceFile.cpp), named on its own so that a buffer can point
  // at it without this header.
  using CRep = CTraceFileRep;
  static constexpr std::size_t kMaxBuffers = 8;

  CTraceFile();  // empty handle
  // A file named by the logger's file names (defined with the logger).
  CTraceFile(CTraceLogger* logger, ULONGLONG firstLine, DWORD fileIndex);
  // A file named by names.
  CTraceFile(std::shared_ptr<const CTraceFileNames> names, ULONGLONG firstLine, DWORD fileIndex);
  CTraceFile(const CTraceFile& other);
  CTraceFile(CTraceFile&& other) noexcept;
  CTraceFile& operator=(CTraceFile other) noexcept;
  virtual ~CTraceFile();

  explicit operator bool() const { return m_rep != nullptr; }

  BYTE* AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength, ULONGLONG lineNumber,
                CTraceBuffer& lineBuffer);
  // The same without a handle to the line's buffer, for a caller that fills
  // the place before it lets go of the logger's lock.
  BYTE* AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength, ULONGLONG lineNumber);
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
  // For buffer handles: keep and let go of the body; a new buffer the body
  // owns outside its run of lines; the source of an index.
  static void Hold(CRep* rep);
  static void Release(CRep* rep);
  static CTraceBuffer AddBuffer(CRep* rep, ULONGLONG firstLine);
  static CTraceLoggable* SourceOf(const CRep* rep, BYTE index);

  CRep* m_rep;
};
