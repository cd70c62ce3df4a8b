// FileResponse.h - the handler and response that answer a request with a file.
//
// Static files and mapped archive files are answered by CFileRequestHandler.
// Each request gets a CFileResponseHandler, which opens the file on the
// blocking-work threads (never on the HTTP library's pool), reads its size
// from the opened file, applies the request's "Range" header and sets the
// ready event; GetStatusCode, GetHeaders and GetBody wait for that event.
// StatusFromSystemError is the one map from a Win32 code to an HTTP status.
#pragma once

#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/sync/sync.h"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

// The HTTP status for a std::system_error whose value is a Win32 code (the
// category is not consulted): 2, 3 -> 404; 5 -> 403; 32 -> 423; 1630 -> 415;
// anything else 500. Errors from errno must be translated before they get here.
std::uint16_t StatusFromSystemError(const std::system_error& error);

constexpr std::uint64_t kNoRangeLimit = UINT64_MAX;

// What a "Range" header asks of a file of size bytes.
struct FileRange {
  std::uint16_t status = 200;  // 200 whole file, 206 a window, 416 unsatisfiable
  std::uint64_t first = 0;
  std::uint64_t length = 0;    // bytes of the body
  bool contentLength = false;  // announce Content-Length (the library adds it otherwise)
};

// Reads the first range of a "bytes=" header (absent: nullopt) in the RFC 7233
// way: "a-b" (b clipped to the end; b < a ignores the header), "a-" (at most
// maxOpenRange bytes; 0 is no limit), "-n" (the last n bytes). A range starting at or beyond
// the end is 416; a range covering the whole file, or a header that does not
// parse, is a whole-file 200.
FileRange ComputeFileRange(const std::optional<std::string>& range, std::uint64_t size, std::uint64_t maxOpenRange);

class CFileRequestHandler : public CHTTPServer::CRequestHandler {
 public:
  CFileRequestHandler(std::wstring path, const wchar_t* mimeType, std::wstring etag, std::int32_t cacheMode,
                      std::uint64_t maxRange);

  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const std::map<std::wstring, std::wstring>& parameters) override;

 private:
  const std::wstring m_path;
  const std::wstring m_mimeType;
  const std::wstring m_etag;
  const std::int32_t m_cacheMode;
  const std::uint64_t m_maxRange;  // longest window for an open-ended range
};

class CFileResponseHandler : public CHTTPServer::CRequestHandler::CResponse {
 public:
  CFileResponseHandler(std::wstring path, std::wstring contentType, std::wstring etag, std::int32_t cacheMode,
                       std::uint64_t maxRange, const web::http::http_headers& requestHeaders);
  // Waits for the open, which writes into this object.
  ~CFileResponseHandler();
  CFileResponseHandler(const CFileResponseHandler&) = delete;
  CFileResponseHandler& operator=(const CFileResponseHandler&) = delete;

  std::uint16_t GetStatusCode() override;
  web::http::http_headers& GetHeaders() override;
  concurrency::streams::istream& GetBody() override;
  std::wstring GetContentType() override { return m_contentType; }

 private:
  void Open(std::optional<std::string> range, std::uint64_t maxRange);
  void WaitReady();

  // Written only by Open on a blocking-work thread before it sets m_ready,
  // read by the listener only after waiting for it; the event orders the two.
  std::uint16_t m_status = 200;
  web::http::http_headers m_headers;
  concurrency::streams::istream m_body;
  const std::wstring m_path;
  const std::wstring m_contentType;
  platform::UniqueHandle m_ready;  // manual reset; set when the open has finished
};
