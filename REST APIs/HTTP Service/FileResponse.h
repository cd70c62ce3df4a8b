// FileResponse.h - the handler and response that answer a request with a file.
//
// Static files and mapped archive files are answered by CFileRequestHandler.
// Each request gets a CFileResponseHandler, a deferred response (DeferredResponse.h)
// that opens the file on the blocking-work threads (never on the HTTP
// library's pool), reads its size from the opened file, applies the request's
// "Range" header and then is ready. It has no deadline: the listener reads it
// where the handler returned it.
#pragma once

#include "REST APIs/HTTP Service/DeferredResponse.h"
#include "REST APIs/HTTP Service/RequestHandler.h"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

constexpr std::uint64_t kNoRangeLimit = UINT64_MAX;
// The most ranges one "Range" header may list; a longer list is ignored
// (a whole-file 200), as RFC 9110 allows for what looks like an attack.
constexpr std::size_t kMaxRanges = 16;

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t length = 0;
  bool operator==(const ByteRange& other) const = default;
};

// What a "Range" header asks of a file of size bytes.
struct FileRange {
  std::uint16_t status = 200;  // 200 whole file, 206 one window or several, 416 unsatisfiable
  std::uint64_t first = 0;     // the window of a 200 or single-window 206
  std::uint64_t length = 0;
  bool contentLength = false;  // announce Content-Length (the library adds it otherwise)
  // Two or more disjoint windows in the order the header asked for them: a
  // 206 with a multipart/byteranges body.
  std::vector<ByteRange> parts;
};

// Reads a "bytes=" header (absent: nullopt) in the RFC 9110 way. Each range
// of the list is "a-b" (b clipped to the end), "a-" (at most maxOpenRange
// bytes; 0 is no limit) or "-n" (the last n bytes). Ranges starting at or
// beyond the end are dropped, overlapping ones merged (where the first of
// them stood); none left is 416. One window is a single-part 206, several a
// multipart one. The whole file is a 200: a header that does not parse, a
// range with b < a, more than kMaxRanges ranges, or windows that together
// cover the file.
FileRange ComputeFileRange(const std::optional<std::string>& range, std::uint64_t size, std::uint64_t maxOpenRange);

// The head of each part of a multipart/byteranges body and its closing
// delimiter: part i of parts is heads[i] followed by its bytes, and the body
// ends with heads.back(). contentType may be empty (the parts then carry no
// Content-Type).
std::vector<std::string> MultipartHeads(const std::string& boundary, const std::string& contentType,
                                        const std::vector<ByteRange>& parts, std::uint64_t size);

class CFileRequestHandler : public CHTTPServer::CRequestHandler {
 public:
  CFileRequestHandler(std::wstring path, const wchar_t* mimeType, std::wstring etag, std::int32_t cacheMode,
                      std::uint64_t maxRange);

  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;

 private:
  const std::wstring m_path;
  const std::wstring m_mimeType;
  const std::wstring m_etag;
  const std::int32_t m_cacheMode;
  const std::uint64_t m_maxRange;  // longest window for an open-ended range
};

class CFileResponseHandler : public CDeferredResponse {
 public:
  CFileResponseHandler(std::wstring path, std::wstring contentType, std::wstring etag, std::int32_t cacheMode,
                       std::uint64_t maxRange, const web::http::http_headers& requestHeaders);
  // Waits for the open, which writes into this object.
  ~CFileResponseHandler();

  // GetContentType is the file's type, or multipart/byteranges with its
  // boundary for a reply of several windows.

 private:
  void Open(std::optional<std::string> range, std::uint64_t maxRange);

  const std::wstring m_path;
  const std::wstring m_fileType;  // the Content-Type of the file (and of each part)
};
