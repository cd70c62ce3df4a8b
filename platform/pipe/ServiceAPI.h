// ServiceAPI.h - the wire format of the administration pipe.
//
// A service program answers requests on its pipe "\\.\pipe\Vantrel." + service
// name; the extension service's client of the archive's main service speaks
// the same format toward that server. Both sides build and read the bytes
// here, so nothing else touches the layout. All numbers are little-endian.
//
// Request (one message, 176 + input length bytes):
//   0 u32 total length   4 u32 20   8 u64 request id (sender's thread id)
//   16 u32 argument   20 u32 0   24 u32 control code   28 u32 input length
//   32 u32 output capacity   36 input   36 + input length: 140 zero bytes
// Reply (one message, 24 + data length bytes):
//   0 u64 request id (0 marks a notification)   8 u32 status
//   12 u32 data length   16 data   16 + data length: 8 zero bytes
//
// Every length read from the wire is checked with 64-bit arithmetic before
// it is used, so no field value can make a reader step outside the message.
#pragma once

#include "platform/base/bytes.h"  // the fields are read and written with LoadLe32/StoreLe32 and kin
#include "platform/base/types.h"

#include <cstddef>
#include <string>
#include <vector>

// Request layout.
constexpr DWORD SERVICE_API_REQUEST_HEADER = 36;
constexpr DWORD SERVICE_API_REQUEST_TRAILER = 140;
constexpr DWORD SERVICE_API_REQUEST_OVERHEAD = SERVICE_API_REQUEST_HEADER + SERVICE_API_REQUEST_TRAILER;  // 176
constexpr DWORD SERVICE_API_REQUEST_MARK = 20;  // the u32 at offset 4
// Reply layout.
constexpr DWORD SERVICE_API_REPLY_HEADER = 16;
constexpr DWORD SERVICE_API_REPLY_TRAILER = 8;
constexpr DWORD SERVICE_API_REPLY_OVERHEAD = SERVICE_API_REPLY_HEADER + SERVICE_API_REPLY_TRAILER;  // 24

// Control codes served by every service program. Bit 0x4000 of a code means
// that only members of the local Administrators group may send it.
constexpr DWORD SERVICE_API_ADMINISTRATORS_ONLY = 0x4000;
constexpr DWORD SERVICE_API_READ_TRACE_LINES = 0x930C4;
constexpr DWORD SERVICE_API_GET_SOURCE_NAME = 0x930C8;

// Statuses a reply carries (NT status values).
constexpr DWORD SERVICE_API_STATUS_SUCCESS = 0;
constexpr DWORD SERVICE_API_STATUS_ACCESS_DENIED = 0xC0000022;      // administrators only
constexpr DWORD SERVICE_API_STATUS_INVALID_PARAMETER = 0xC000000D;  // code not served, capacity refused
constexpr DWORD SERVICE_API_STATUS_NOT_FOUND = 0xC0000225;          // no trace source has the cookie

// Read-trace-lines payload: +0 u64 ignored, +8 u64 first line wanted, +16 u32
// wait time in ms. Reply data: +0 u64 next line number, then records.
constexpr DWORD SERVICE_API_READ_LINES_INPUT = 20;
constexpr DWORD SERVICE_API_READ_LINES_REPLY_HEADER = 8;
// One trace line record: +0 u64 line number, +8 u64 time (ms since 1970),
// +16 u32 message id, +20 pad, +24 u64 source cookie, +32 u32 argument
// length, +36 pad, +40 the argument bytes.
constexpr DWORD SERVICE_API_LINE_RECORD_HEADER = 40;
// Source-name payload: +0 u64 cookie. Reply data: the payload area with the
// name in bytes 8..23 (not terminated when it fills them).
constexpr DWORD SERVICE_API_SOURCE_NAME_OFFSET = 8;
constexpr DWORD SERVICE_API_SOURCE_NAME_BYTES = 16;
constexpr DWORD SERVICE_API_SOURCE_NAME_REPLY = SERVICE_API_SOURCE_NAME_OFFSET + SERVICE_API_SOURCE_NAME_BYTES;

// The most data bytes a reply may carry and the longest request a server
// reads; larger values are refused rather than allocated.
constexpr DWORD SERVICE_API_MAX_OUTPUT = 1u << 20;
constexpr DWORD SERVICE_API_MAX_MESSAGE = (1u << 20) + SERVICE_API_REQUEST_OVERHEAD;
// A connection whose first request does not arrive within this is closed.
constexpr DWORD SERVICE_API_FIRST_REQUEST_TIMEOUT_MS = 10000;

// The fields of a request a server reads. input points into the message.
struct ServiceAPIRequest {
  ULONGLONG requestId = 0;
  DWORD argument = 0;
  DWORD controlCode = 0;
  DWORD inputLength = 0;
  DWORD outputCapacity = 0;
  const BYTE* input = nullptr;
};

// The header of a reply. data points into the message.
struct ServiceAPIReply {
  ULONGLONG requestId = 0;
  DWORD status = 0;
  DWORD dataLength = 0;
  const BYTE* data = nullptr;
};

enum class ServiceAPIParse {
  kOk,
  kTooShort,       // shorter than the fixed part
  kLengthMismatch  // the length field does not match the bytes received
};

// Builds a request message; false (and out empty) when 176 + inputLength does
// not fit a u32 message length.
bool EncodeServiceAPIRequest(ULONGLONG requestId, DWORD argument, DWORD controlCode, const void* input,
                             DWORD inputLength, DWORD outputCapacity, std::vector<BYTE>& out);
// Accepts a message only when it holds at least 176 bytes and exactly its
// input length plus 176 (the total-length field at offset 0 is not read, as
// servers never did).
ServiceAPIParse DecodeServiceAPIRequest(const BYTE* message, std::size_t length, ServiceAPIRequest& out);

// Builds a reply message: header, dataLength bytes of data (zeros when data
// is null), 8 zero bytes. False when 24 + dataLength does not fit a u32.
bool EncodeServiceAPIReply(ULONGLONG requestId, DWORD status, const void* data, DWORD dataLength,
                           std::vector<BYTE>& out);
// Accepts a message of at least 24 bytes whose data length plus 24 is its
// length.
ServiceAPIParse DecodeServiceAPIReply(const BYTE* message, std::size_t length, ServiceAPIReply& out);

// The read-trace-lines payload (20 bytes).
std::vector<BYTE> EncodeReadTraceLinesInput(ULONGLONG firstLine, DWORD waitMilliseconds);

// One trace line record as a client reads it; argBytes points into the data.
struct ServiceAPITraceLineRecord {
  ULONGLONG lineNumber = 0;
  ULONGLONG time = 0;
  DWORD messageId = 0;
  ULONGLONG sourceCookie = 0;
  DWORD argLength = 0;
  const BYTE* argBytes = nullptr;
};
// Splits the data of a read-trace-lines reply; false when it is shorter than
// 8 bytes or a record runs past its end.
bool DecodeTraceLineRecords(const BYTE* data, std::size_t length, ULONGLONG& nextLine,
                            std::vector<ServiceAPITraceLineRecord>& records);
// The source name in the data of a source-name reply (up to 16 bytes, ends
// at the first zero); empty when the data is too short to hold it.
std::string DecodeSourceName(const BYTE* data, std::size_t length);
