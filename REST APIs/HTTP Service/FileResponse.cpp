// FileResponse.cpp - ranges, the asynchronous open and the status of a failed open.
//
// The open runs on the blocking-work threads and is the only writer of the
// response after construction; it sets the ready event last and touches
// nothing of the response afterwards, so the destructor may run as soon as
// the event is set.
#include "REST APIs/HTTP Service/FileResponse.h"

#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "platform/base/text.h"

#include <cpprest/containerstream.h>

#include <cctype>
#include <string_view>
#include <vector>

using Concurrency::streams::details::basic_file_range_buffer;

std::uint16_t StatusFromSystemError(const std::system_error& error) {
  switch (error.code().value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return web::http::status_codes::NotFound;
    case ERROR_ACCESS_DENIED:
      return web::http::status_codes::Forbidden;
    case ERROR_SHARING_VIOLATION:
      return 423;
    case ERROR_UNSUPPORTED_TYPE:
      return web::http::status_codes::UnsupportedMediaType;
    default:
      return web::http::status_codes::InternalError;
  }
}

namespace {

void SkipSpaces(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
}

// Decimal digits into value; false when there are none or they overflow.
bool ReadNumber(std::string_view& s, std::uint64_t& value) {
  if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.front()))) return false;
  value = 0;
  while (!s.empty() && std::isdigit(static_cast<unsigned char>(s.front()))) {
    const std::uint64_t digit = static_cast<std::uint64_t>(s.front() - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    s.remove_prefix(1);
  }
  return true;
}

FileRange WholeFile(std::uint64_t size, bool announce) { return FileRange{200, 0, size, announce}; }

}  // namespace

FileRange ComputeFileRange(const std::optional<std::string>& range, std::uint64_t size, std::uint64_t maxOpenRange) {
  if (!range) return WholeFile(size, false);
  // A "Default Range" of 0 means no limit; taken literally it would announce
  // a range ending before it starts, with no body.
  if (maxOpenRange == 0) maxOpenRange = kNoRangeLimit;
  // Any header that is not one well-formed first range gets the whole file,
  // announced with its length.
  std::string_view s(*range);
  SkipSpaces(s);
  if (s.size() < 5 || !platform::EqualsNoCaseA(s.substr(0, 5), "bytes")) return WholeFile(size, true);
  s.remove_prefix(5);
  SkipSpaces(s);
  if (s.empty() || s.front() != '=') return WholeFile(size, true);
  s.remove_prefix(1);
  SkipSpaces(s);
  s = s.substr(0, s.find(','));  // only the first range of a list is served

  std::uint64_t a = 0, b = 0;
  const bool hasFirst = ReadNumber(s, a);
  SkipSpaces(s);
  if (s.empty() || s.front() != '-') return WholeFile(size, true);
  s.remove_prefix(1);
  SkipSpaces(s);
  const bool hasLast = ReadNumber(s, b);
  SkipSpaces(s);
  if (!s.empty() || (!hasFirst && !hasLast)) return WholeFile(size, true);

  std::uint64_t first = 0, length = 0;
  if (hasFirst) {
    if (hasLast && b < a) return WholeFile(size, true);  // invalid: the header is ignored
    if (a >= size) return FileRange{416, 0, 0, false};
    first = a;
    length = hasLast ? std::min(b, size - 1) - a + 1 : std::min(maxOpenRange, size - a);
  } else {
    // "-n": the last n bytes.
    if (b == 0 || size == 0) return FileRange{416, 0, 0, false};
    length = std::min(b, size);
    first = size - length;
  }
  if (first == 0 && length == size) return WholeFile(size, true);
  return FileRange{206, first, length, true};
}

CFileRequestHandler::CFileRequestHandler(std::wstring path, const wchar_t* mimeType, std::wstring etag,
                                         std::int32_t cacheMode, std::uint64_t maxRange)
    : m_path(std::move(path)),
      m_mimeType(mimeType != nullptr ? mimeType : L""),
      m_etag(std::move(etag)),
      m_cacheMode(cacheMode),
      m_maxRange(maxRange) {}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CFileRequestHandler::Handle(
    std::shared_ptr<CResponse>& response, web::http::http_request request, vantrel::basic_istring<wchar_t>,
    const std::map<std::wstring, std::wstring>&) {
  response = std::make_shared<CFileResponseHandler>(m_path, m_mimeType, m_etag, m_cacheMode, m_maxRange,
                                                    request.headers());
  return response;
}

CFileResponseHandler::CFileResponseHandler(std::wstring path, std::wstring contentType, std::wstring etag,
                                           std::int32_t cacheMode, std::uint64_t maxRange,
                                           const web::http::http_headers& requestHeaders)
    : m_path(std::move(path)),
      m_contentType(std::move(contentType)),
      m_ready(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  CacheMode = cacheMode;
  if (!m_ready) throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent");
  std::optional<std::string> range;
  std::string value;
  if (requestHeaders.match(web::http::header_names::range, value)) range = value;
  if (!etag.empty()) m_headers.add(web::http::header_names::etag, platform::Utf8FromWide(etag));
  RunBlockingWork([this, range = std::move(range), maxRange] { Open(range, maxRange); });
}

CFileResponseHandler::~CFileResponseHandler() { WaitReady(); }

void CFileResponseHandler::WaitReady() { WaitForSingleObject(m_ready.get(), INFINITE); }

std::uint16_t CFileResponseHandler::GetStatusCode() {
  WaitReady();
  return m_status;
}

web::http::http_headers& CFileResponseHandler::GetHeaders() {
  WaitReady();
  return m_headers;
}

concurrency::streams::istream& CFileResponseHandler::GetBody() {
  WaitReady();
  return m_body;
}

void CFileResponseHandler::Open(std::optional<std::string> range, std::uint64_t maxRange) {
  // Our own reference: the response may be destroyed the moment the event is set.
  platform::UniqueHandle ready(DuplicateHandleRef(m_ready.get()));
  OpenedFile file;
  try {
    file = OpenFileForReading(m_path);
    const FileRange r = ComputeFileRange(range, file.size, maxRange);
    m_status = r.status;
    if (r.status == 416) {
      m_headers.add(web::http::header_names::content_range, "bytes */" + std::to_string(file.size));
    } else {
      if (r.status == 206)
        m_headers.add(web::http::header_names::content_range, "bytes " + std::to_string(r.first) + "-" +
                                                                  std::to_string(r.first + r.length - 1) + "/" +
                                                                  std::to_string(file.size));
      if (r.contentLength) m_headers.add(web::http::header_names::content_length, std::to_string(r.length));
      auto buffer = std::make_shared<basic_file_range_buffer<unsigned char>>(std::move(file), r.first, r.length);
      m_body = basic_file_range_buffer<unsigned char>::as_istream(std::move(buffer));
    }
  } catch (const std::system_error& e) {
    m_status = StatusFromSystemError(e);
  } catch (...) {
    m_status = web::http::status_codes::InternalError;
  }
  // A reply without a file still reads as an empty, valid body.
  if (!m_body) {
    try {
      m_body = concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>());
    } catch (...) {
    }
  }
  SetEvent(ready.get());
}
