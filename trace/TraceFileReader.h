// TraceFileReader.h - reads a saved ".VNT" trace file back into its lines.
//
// The service programs only write trace files; people read them, with the
// trace viewer. A file is: a count byte, that many length-prefixed entries
// (the source names by index, then "key::value" properties), then blocks of
// a u64 first line number and a Huffman-coded block (TraceBuffer.h has the
// record layout). Files come from disk and may be cut short or damaged:
// every length is checked, and a damaged file is ERROR_INVALID_DATA.
#pragma once

#include "platform/base/types.h"

#include <map>
#include <string>
#include <vector>

struct TraceFileLine {
  ULONGLONG number = 0;
  DWORD messageId = 0;
  BYTE sourceIndex = 255;  // 255: a line without a source
  ULONGLONG time = 0;      // ms since 1970
  std::vector<BYTE> args;  // the encoded arguments, as CTraceLine reads them
};

struct TraceFileContents {
  std::vector<std::string> sources;  // by source index
  std::map<std::string, std::string> properties;
  std::vector<TraceFileLine> lines;  // in file order
};

// The contents of data (a whole file). 0 or ERROR_INVALID_DATA.
DWORD ParseTraceFile(const BYTE* data, std::size_t size, TraceFileContents& contents);
// Reads and parses the file at path (through platform/fs). 0 or a Win32 code.
DWORD ReadTraceFile(const std::wstring& path, TraceFileContents& contents);
