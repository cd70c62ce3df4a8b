// TraceFileReader.cpp - parsing of ".VNT" files: entries, blocks, records.
#include "trace/TraceFileReader.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/fs/fs.h"

#include "trace/HuffmanCoder.h"
#include "trace/TraceBuffer.h"


namespace {

constexpr std::size_t kBlockHeader = 8;       // u64 first line number
constexpr std::size_t kRecordHeader = 4;      // slot, source, u16 length and delta size
constexpr std::size_t kMaxFileBytes = 1u << 30;  // far above any file the logger writes

// The records of one decoded block, appended to lines.
DWORD ParseBlock(const std::vector<BYTE>& block, ULONGLONG firstLine, std::vector<TraceFileLine>& lines) {
  if (block.size() < 2) return ERROR_INVALID_DATA;
  const std::size_t table = platform::LoadLe16(block.data());
  if (table < 2 || table > block.size() || (block.size() - table) % 4 != 0) return ERROR_INVALID_DATA;
  const std::size_t slots = (block.size() - table) / 4;
  std::size_t at = 2;
  ULONGLONG time = 0;
  ULONGLONG number = firstLine;
  while (at < table) {
    if (table - at < kRecordHeader) return ERROR_INVALID_DATA;
    const BYTE slot = block[at];
    const unsigned bits = platform::LoadLe16(&block[at + 2]);
    const std::size_t argLength = bits & CTraceBuffer::kMaxArgLength;
    const std::size_t deltaBytes = (bits >> 13) + 1;
    if (slot >= slots || table - at - kRecordHeader < deltaBytes + argLength) return ERROR_INVALID_DATA;
    TraceFileLine line;
    line.number = number++;
    line.sourceIndex = block[at + 1];
    line.messageId = platform::LoadLe32(&block[table + 4 * std::size_t{slot}]);
    ULONGLONG delta = 0;
    for (std::size_t k = 0; k < deltaBytes; ++k) delta |= ULONGLONG{block[at + kRecordHeader + k]} << (8 * k);
    time += delta;
    line.time = time;
    const BYTE* args = &block[at + kRecordHeader + deltaBytes];
    line.args.assign(args, args + argLength);
    lines.push_back(std::move(line));
    at += kRecordHeader + deltaBytes + argLength;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ParseTraceFile(const BYTE* data, std::size_t size, TraceFileContents& contents) {
  contents = TraceFileContents{};
  if (size == 0) return ERROR_INVALID_DATA;
  std::size_t at = 1;
  for (unsigned e = 0; e < data[0]; ++e) {
    if (at >= size || size - at - 1 < data[at]) return ERROR_INVALID_DATA;
    std::string entry(reinterpret_cast<const char*>(&data[at + 1]), data[at]);
    at += 1 + data[at];
    // Sources come first; the writer's properties are "key::value".
    const std::size_t split = entry.find("::");
    if (split != std::string::npos)
      contents.properties.emplace(entry.substr(0, split), entry.substr(split + 2));
    else if (contents.properties.empty())
      contents.sources.push_back(std::move(entry));
    else
      return ERROR_INVALID_DATA;
  }
  std::vector<BYTE> block;
  while (at < size) {
    if (size - at < kBlockHeader) return ERROR_INVALID_DATA;
    const ULONGLONG firstLine = platform::LoadLe64(&data[at]);
    at += kBlockHeader;
    std::size_t used = 0;
    if (CHuffmanCoder::Decode(&data[at], size - at, CTraceBuffer::kBlockSize, block, used) != ERROR_SUCCESS)
      return ERROR_INVALID_DATA;
    at += used;
    if (DWORD rc = ParseBlock(block, firstLine, contents.lines)) return rc;
  }
  return ERROR_SUCCESS;
}

DWORD ReadTraceFile(const std::wstring& path, TraceFileContents& contents) {
  std::string data;
  const DWORD rc = platform::ReadWholeFile(path, kMaxFileBytes, data);
  if (rc == ERROR_FILE_TOO_LARGE) return ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) return rc;
  return ParseTraceFile(reinterpret_cast<const BYTE*>(data.data()), data.size(), contents);
}
