// ServiceAPI.cpp - building and reading administration pipe messages.
//
// Lengths from the wire are widened to 64 bits before they are added, so a
// field near 0xFFFFFFFF can never wrap around into a small, valid-looking
// size.
#include "platform/pipe/ServiceAPI.h"

#include <algorithm>
#include <cstring>

bool EncodeServiceAPIRequest(ULONGLONG requestId, DWORD argument, DWORD controlCode, const void* input,
                             DWORD inputLength, DWORD outputCapacity, std::vector<BYTE>& out) {
  out.clear();
  const ULONGLONG total = ULONGLONG{SERVICE_API_REQUEST_OVERHEAD} + inputLength;
  if (total > 0xFFFFFFFFull) return false;
  out.assign(static_cast<std::size_t>(total), 0);
  BYTE* p = out.data();
  platform::StoreLe32(p + 0, static_cast<DWORD>(total));
  platform::StoreLe32(p + 4, SERVICE_API_REQUEST_MARK);
  platform::StoreLe64(p + 8, requestId);
  platform::StoreLe32(p + 16, argument);
  platform::StoreLe32(p + 20, 0);
  platform::StoreLe32(p + 24, controlCode);
  platform::StoreLe32(p + 28, inputLength);
  platform::StoreLe32(p + 32, outputCapacity);
  if (inputLength != 0 && input != nullptr) std::memcpy(p + SERVICE_API_REQUEST_HEADER, input, inputLength);
  return true;
}

ServiceAPIParse DecodeServiceAPIRequest(const BYTE* message, std::size_t length, ServiceAPIRequest& out) {
  out = ServiceAPIRequest{};
  if (message == nullptr || length < SERVICE_API_REQUEST_OVERHEAD) return ServiceAPIParse::kTooShort;
  const DWORD inputLength = platform::LoadLe32(message + 28);
  if (ULONGLONG{inputLength} + SERVICE_API_REQUEST_OVERHEAD != ULONGLONG{length})
    return ServiceAPIParse::kLengthMismatch;
  out.requestId = platform::LoadLe64(message + 8);
  out.argument = platform::LoadLe32(message + 16);
  out.controlCode = platform::LoadLe32(message + 24);
  out.inputLength = inputLength;
  out.outputCapacity = platform::LoadLe32(message + 32);
  out.input = message + SERVICE_API_REQUEST_HEADER;
  return ServiceAPIParse::kOk;
}

bool EncodeServiceAPIReply(ULONGLONG requestId, DWORD status, const void* data, DWORD dataLength,
                           std::vector<BYTE>& out) {
  out.clear();
  const ULONGLONG total = ULONGLONG{SERVICE_API_REPLY_OVERHEAD} + dataLength;
  if (total > 0xFFFFFFFFull) return false;
  out.assign(static_cast<std::size_t>(total), 0);
  platform::StoreLe64(out.data() + 0, requestId);
  platform::StoreLe32(out.data() + 8, status);
  platform::StoreLe32(out.data() + 12, dataLength);
  if (dataLength != 0 && data != nullptr) std::memcpy(out.data() + SERVICE_API_REPLY_HEADER, data, dataLength);
  return true;
}

ServiceAPIParse DecodeServiceAPIReply(const BYTE* message, std::size_t length, ServiceAPIReply& out) {
  out = ServiceAPIReply{};
  if (message == nullptr || length < SERVICE_API_REPLY_OVERHEAD) return ServiceAPIParse::kTooShort;
  const DWORD dataLength = platform::LoadLe32(message + 12);
  if (ULONGLONG{dataLength} + SERVICE_API_REPLY_OVERHEAD != ULONGLONG{length})
    return ServiceAPIParse::kLengthMismatch;
  out.requestId = platform::LoadLe64(message + 0);
  out.status = platform::LoadLe32(message + 8);
  out.dataLength = dataLength;
  out.data = message + SERVICE_API_REPLY_HEADER;
  return ServiceAPIParse::kOk;
}

std::vector<BYTE> EncodeReadTraceLinesInput(ULONGLONG firstLine, DWORD waitMilliseconds) {
  std::vector<BYTE> input(SERVICE_API_READ_LINES_INPUT, 0);
  platform::StoreLe64(input.data() + 8, firstLine);
  platform::StoreLe32(input.data() + 16, waitMilliseconds);
  return input;
}

bool DecodeTraceLineRecords(const BYTE* data, std::size_t length, ULONGLONG& nextLine,
                            std::vector<ServiceAPITraceLineRecord>& records) {
  records.clear();
  nextLine = 0;
  if (data == nullptr || length < SERVICE_API_READ_LINES_REPLY_HEADER) return false;
  nextLine = platform::LoadLe64(data);
  ULONGLONG at = SERVICE_API_READ_LINES_REPLY_HEADER;
  while (at < length) {
    if (length - at < SERVICE_API_LINE_RECORD_HEADER) return false;
    const BYTE* p = data + at;
    ServiceAPITraceLineRecord record;
    record.lineNumber = platform::LoadLe64(p + 0);
    record.time = platform::LoadLe64(p + 8);
    record.messageId = platform::LoadLe32(p + 16);
    record.sourceCookie = platform::LoadLe64(p + 24);
    record.argLength = platform::LoadLe32(p + 32);
    if (ULONGLONG{record.argLength} > length - at - SERVICE_API_LINE_RECORD_HEADER) return false;
    record.argBytes = p + SERVICE_API_LINE_RECORD_HEADER;
    records.push_back(record);
    at += ULONGLONG{SERVICE_API_LINE_RECORD_HEADER} + record.argLength;
  }
  return true;
}

std::string DecodeSourceName(const BYTE* data, std::size_t length) {
  if (data == nullptr || length < SERVICE_API_SOURCE_NAME_OFFSET) return {};
  const std::size_t available = std::min<std::size_t>(length - SERVICE_API_SOURCE_NAME_OFFSET,
                                                      SERVICE_API_SOURCE_NAME_BYTES);
  const char* name = reinterpret_cast<const char*>(data + SERVICE_API_SOURCE_NAME_OFFSET);
  return std::string(name, std::find(name, name + available, '\0'));
}
