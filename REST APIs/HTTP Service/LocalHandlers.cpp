// LocalHandlers.cpp - the not-modified (304) and redirect (303) handlers.
//
// Each Handle makes a new response, so no two requests share header
// collections or body streams.
#include "REST APIs/HTTP Service/LocalHandlers.h"

#include <cpprest/containerstream.h>

#include <cstdint>
#include <vector>

// A byte container, not a std::string: a string buffer would be reread as a
// buffer of another character type, which the sanitizers rightly reject.
Resp::Resp() : m_body(concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>())) {}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CNotModifiedHandler::Handle(
    std::shared_ptr<CResponse>& response, web::http::http_request, vantrel::basic_istring<wchar_t>,
    const CParameterMap&) {
  response = std::make_shared<Response>();
  return response;
}

CRedirectHandler::Response::Response() { m_headers.add(web::http::header_names::location, "/"); }

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CRedirectHandler::Handle(
    std::shared_ptr<CResponse>& response, web::http::http_request, vantrel::basic_istring<wchar_t>,
    const CParameterMap&) {
  response = std::make_shared<Response>();
  return response;
}
