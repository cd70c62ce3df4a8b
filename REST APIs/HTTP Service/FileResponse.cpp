// FileResponse.cpp - ranges, the asynchronous open and the status of a failed open.
//
// The open runs on the blocking-work threads and is the only writer of the
// response after construction; it sets the ready event last and touches
// nothing of the response afterwards, so the destructor may run as soon as
// the event is set.
#include "REST APIs/HTTP Service/FileResponse.h"

#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include <cpprest/containerstream.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string_view>
#include <vector>

using Concurrency::streams::details::basic_file_range_buffer;


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

// A boundary no file holds by chance: 64 random bits.
std::string NewBoundary() {
  static SRWLOCK lock = SRWLOCK_INIT;  // guards random
  static std::mt19937_64 random{std::random_device{}()};
  platform::SrwExclusiveLock hold(lock);
  return platform::FormatA("vantrel-%016llX", static_cast<unsigned long long>(random()));
}

FileRange WholeFile(std::uint64_t size, bool announce) { return FileRange{200, 0, size, announce, {}}; }

}  // namespace

namespace {

// One range of the list; false when it does not parse. satisfiable tells
// whether it names bytes of the file, window which.
bool ReadRangeSpec(std::string_view s, std::uint64_t size, std::uint64_t maxOpenRange, bool& satisfiable,
                   ByteRange& window) {
  std::uint64_t a = 0, b = 0;
  const bool hasFirst = ReadNumber(s, a);
  SkipSpaces(s);
  if (s.empty() || s.front() != '-') return false;
  s.remove_prefix(1);
  SkipSpaces(s);
  const bool hasLast = ReadNumber(s, b);
  SkipSpaces(s);
  if (!s.empty() || (!hasFirst && !hasLast)) return false;
  if (hasFirst) {
    if (hasLast && b < a) return false;  // invalid: the header is ignored
    satisfiable = a < size;
    if (satisfiable) window = {a, hasLast ? std::min(b, size - 1) - a + 1 : std::min(maxOpenRange, size - a)};
  } else {
    // "-n": the last n bytes.
    satisfiable = b != 0 && size != 0;
    if (satisfiable) window = {size - std::min(b, size), std::min(b, size)};
  }
  return true;
}

bool Overlap(const ByteRange& x, const ByteRange& y) {
  return x.first < y.first + y.length && y.first < x.first + x.length;
}

// Merges overlapping windows into the first of them, until none overlap.
void Coalesce(std::vector<ByteRange>& windows) {
  for (size_t i = 0; i < windows.size(); ++i) {
    for (size_t j = i + 1; j < windows.size();) {
      if (!Overlap(windows[i], windows[j])) {
        ++j;
        continue;
      }
      const std::uint64_t first = std::min(windows[i].first, windows[j].first);
      const std::uint64_t end = std::max(windows[i].first + windows[i].length, windows[j].first + windows[j].length);
      windows[i] = {first, end - first};
      windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(j));
      j = i + 1;  // the grown window may now reach one passed over
    }
  }
}

}  // namespace

FileRange ComputeFileRange(const std::optional<std::string>& range, std::uint64_t size, std::uint64_t maxOpenRange) {
  if (!range) return WholeFile(size, false);
  // A "Default Range" of 0 means no limit; taken literally it would announce
  // a range ending before it starts, with no body.
  if (maxOpenRange == 0) maxOpenRange = kNoRangeLimit;
  // Any header that is not a well-formed list of ranges gets the whole file,
  // announced with its length.
  std::string_view s(*range);
  SkipSpaces(s);
  if (s.size() < 5 || !platform::EqualsNoCaseA(s.substr(0, 5), "bytes")) return WholeFile(size, true);
  s.remove_prefix(5);
  SkipSpaces(s);
  if (s.empty() || s.front() != '=') return WholeFile(size, true);
  s.remove_prefix(1);

  std::vector<ByteRange> windows;
  size_t listed = 0;
  while (true) {
    const size_t comma = s.find(',');
    std::string_view spec = s.substr(0, comma);
    SkipSpaces(spec);
    // Empty elements of the list (",,") are allowed and count for nothing.
    if (!spec.empty()) {
      if (++listed > kMaxRanges) return WholeFile(size, true);
      bool satisfiable = false;
      ByteRange window;
      if (!ReadRangeSpec(spec, size, maxOpenRange, satisfiable, window)) return WholeFile(size, true);
      if (satisfiable) windows.push_back(window);
    }
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  if (listed == 0) return WholeFile(size, true);
  if (windows.empty()) return FileRange{416, 0, 0, false, {}};

  Coalesce(windows);
  std::uint64_t covered = 0;
  for (const ByteRange& w : windows) covered += w.length;
  if (covered == size) return WholeFile(size, true);
  if (windows.size() == 1) return FileRange{206, windows[0].first, windows[0].length, true, {}};
  FileRange multipart{206, 0, 0, true, std::move(windows)};
  return multipart;
}

std::vector<std::string> MultipartHeads(const std::string& boundary, const std::string& contentType,
                                        const std::vector<ByteRange>& parts, std::uint64_t size) {
  std::vector<std::string> heads;
  heads.reserve(parts.size() + 1);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string head = i == 0 ? "--" : "\r\n--";
    head += boundary + "\r\n";
    if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Range: bytes " + std::to_string(parts[i].first) + "-" +
            std::to_string(parts[i].first + parts[i].length - 1) + "/" + std::to_string(size) + "\r\n\r\n";
    heads.push_back(std::move(head));
  }
  heads.push_back("\r\n--" + boundary + "--\r\n");
  return heads;
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
    const CParameterMap&) {
  response = std::make_shared<CFileResponseHandler>(m_path, m_mimeType, m_etag, m_cacheMode, m_maxRange,
                                                    request.headers());
  return response;
}

CFileResponseHandler::CFileResponseHandler(std::wstring path, std::wstring contentType, std::wstring etag,
                                           std::int32_t cacheMode, std::uint64_t maxRange,
                                           const web::http::http_headers& requestHeaders)
    : m_path(std::move(path)), m_fileType(contentType) {
  CacheMode = cacheMode;
  SetContentType(std::move(contentType));
  std::optional<std::string> range;
  std::string value;
  if (requestHeaders.match(web::http::header_names::range, value)) range = value;
  if (!etag.empty()) m_headers.add(web::http::header_names::etag, platform::Utf8FromWide(etag));
  RunBlockingWork([this, range = std::move(range), maxRange] { Open(range, maxRange); });
}

CFileResponseHandler::~CFileResponseHandler() { WaitUntilReady(); }

void CFileResponseHandler::Open(std::optional<std::string> range, std::uint64_t maxRange) {
  OpenedFile file;
  try {
    file = OpenFileForReading(m_path);
    const FileRange r = ComputeFileRange(range, file.size, maxRange);
    m_status = r.status;
    if (r.status == 416) {
      m_headers.add(web::http::header_names::content_range, "bytes */" + std::to_string(file.size));
    } else if (!r.parts.empty()) {
      const std::string boundary = NewBoundary();
      const std::vector<std::string> heads =
          MultipartHeads(boundary, platform::Utf8FromWide(m_fileType), r.parts, file.size);
      std::vector<FileBodyPiece> pieces;
      std::uint64_t length = 0;
      for (size_t i = 0; i < heads.size(); ++i) {
        const ByteRange window = i < r.parts.size() ? r.parts[i] : ByteRange{};
        length += heads[i].size() + window.length;
        pieces.push_back(FileBodyPiece{heads[i], window.first, window.length});
      }
      m_headers.add(web::http::header_names::content_length, std::to_string(length));
      SetContentType(L"multipart/byteranges; boundary=" + platform::WideFromUtf8(boundary));
      auto buffer = std::make_shared<basic_file_range_buffer<unsigned char>>(std::move(file), std::move(pieces));
      m_body = basic_file_range_buffer<unsigned char>::as_istream(std::move(buffer));
    } else {
      if (r.status == 206)
        m_headers.add(web::http::header_names::content_range, "bytes " + std::to_string(r.first) + "-" +
                                                                  std::to_string(r.first + r.length - 1) + "/" +
                                                                  std::to_string(file.size));
      if (r.contentLength) m_headers.add(web::http::header_names::content_length, std::to_string(r.length));
      auto buffer = std::make_shared<basic_file_range_buffer<unsigned char>>(std::move(file), r.first, r.length);
      m_body = basic_file_range_buffer<unsigned char>::as_istream(std::move(buffer));
    }
  } catch (...) {
    SetFailure(std::current_exception());
  }
  MarkReady();
}
