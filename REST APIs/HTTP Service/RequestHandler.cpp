// RequestHandler.cpp - cache modes and the reading of a response into a reply.
//
// The listener calls ReadResponse for every handler response; the order of the
// calls below is part of the contract with responses that block until their
// result is ready, so it is written once, here.
#include "REST APIs/HTTP Service/RequestHandler.h"

#include "platform/base/text.h"

using CResponse = CHTTPServer::CRequestHandler::CResponse;

namespace {

const std::shared_ptr<const CParameterMap::Map>& EmptyParameters() {
  static const auto* const empty = new std::shared_ptr<const CParameterMap::Map>(std::make_shared<CParameterMap::Map>());
  return *empty;
}

}  // namespace

CParameterMap::CParameterMap() : m_shared(EmptyParameters()), m_queryTimeoutMs(kDefaultQuerySeconds * 1000) {}

CParameterMap::CParameterMap(Map values)
    : m_shared(std::make_shared<const Map>(std::move(values))), m_queryTimeoutMs(kDefaultQuerySeconds * 1000) {}

CParameterMap::CParameterMap(std::shared_ptr<const Map> shared, DWORD queryTimeoutMs)
    : m_shared(shared ? std::move(shared) : EmptyParameters()), m_queryTimeoutMs(queryTimeoutMs) {}

void CParameterMap::AddRequestValue(std::wstring name, std::wstring value) {
  if (m_shared->count(name) != 0) return;
  m_request.emplace(std::move(name), std::move(value));
}

const std::wstring* CParameterMap::Find(const std::wstring& name) const {
  if (const auto found = m_shared->find(name); found != m_shared->end()) return &found->second;
  if (const auto found = m_request.find(name); found != m_request.end()) return &found->second;
  return nullptr;
}

const utility::char_t* CacheControlHeader(std::int32_t cacheMode) {
  switch (cacheMode) {
    case CacheModes::ApplicationFile:
      return "max-age=3600";
    case CacheModes::Vector:
    case CacheModes::ArchiveFile:
    case CacheModes::ArchiveView:
      return "private";
    case CacheModes::Query:
      return "no-store";
    default:
      return nullptr;
  }
}

namespace {

void CopyHeaders(const web::http::http_headers& from, web::http::http_response& to) {
  for (const auto& [name, value] : from) to.headers().add(name, value);
}

}  // namespace

web::http::http_response BuildReplyWithBody(std::uint16_t status, const web::http::http_headers& headers,
                                            const concurrency::streams::istream& body,
                                            const std::wstring& contentType, std::int32_t cacheMode) {
  web::http::http_response reply(status);
  reply.set_body(body, platform::Utf8FromWide(contentType));
  // A response without a content type (the local 303 and 304 responses) must
  // not go out with an empty Content-Type header, which is malformed.
  if (contentType.empty()) reply.headers().remove(web::http::header_names::content_type);
  CopyHeaders(headers, reply);
  if (const utility::char_t* cacheControl = CacheControlHeader(cacheMode))
    reply.headers().add(web::http::header_names::cache_control, cacheControl);
  return reply;
}

web::http::http_response BuildReplyStatus(std::uint16_t status, const web::http::http_headers& headers) {
  web::http::http_response reply(status);
  CopyHeaders(headers, reply);
  return reply;
}

namespace {

// CacheMode, GetContentType, GetBody, GetHeaders, GetStatusCode: the order of
// a reply with a body, for GET 200/206 and for every POST. Each value is read
// into a local first, because the order in which function arguments are
// evaluated is unspecified.
web::http::http_response ReadWithBody(CResponse& response) {
  const std::int32_t cacheMode = response.CacheMode;
  const std::wstring contentType = response.GetContentType();
  const concurrency::streams::istream& body = response.GetBody();
  const web::http::http_headers& headers = response.GetHeaders();
  const std::uint16_t status = response.GetStatusCode();
  return BuildReplyWithBody(status, headers, body, contentType, cacheMode);
}

}  // namespace

web::http::http_response ReadResponse(const web::http::method& method, CResponse& response) {
  if (method == web::http::methods::POST) return ReadWithBody(response);

  // The second call for 206 is part of the order: a response may count them.
  const std::uint16_t first = response.GetStatusCode();
  if (first == web::http::status_codes::OK || response.GetStatusCode() == web::http::status_codes::PartialContent)
    return ReadWithBody(response);

  const web::http::http_headers& headers = response.GetHeaders();
  const std::uint16_t status = response.GetStatusCode();
  return BuildReplyStatus(status, headers);
}
