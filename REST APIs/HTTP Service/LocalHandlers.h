// LocalHandlers.h - the two handlers that handler selection makes for itself.
//
// CNotModifiedHandler answers 304 when a mapped archive file's ETag matches
// If-None-Match; CRedirectHandler answers 303 to "/" (the login page) for a
// request that finds nothing. Neither looks at the request. Their responses
// share Resp, which carries no headers, an empty body and no content type, so
// the listener sends them without a body and without Cache-Control.
#pragma once

#include "REST APIs/HTTP Service/RequestHandler.h"

// The common response of the local handlers; only the status differs.
class Resp : public CHTTPServer::CRequestHandler::CResponse {
 public:
  Resp();
  web::http::http_headers& GetHeaders() override { return m_headers; }
  concurrency::streams::istream& GetBody() override { return m_body; }
  std::wstring GetContentType() override { return {}; }

 protected:
  web::http::http_headers m_headers;
  // A valid stream at its end, so that a POST, whose reply always carries the
  // body, reads nothing instead of an unopened stream.
  concurrency::streams::istream m_body;
};

class CNotModifiedHandler : public CHTTPServer::CRequestHandler {
 public:
  class Response : public Resp {
   public:
    std::uint16_t GetStatusCode() override { return web::http::status_codes::NotModified; }
  };

  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;
};

class CRedirectHandler : public CHTTPServer::CRequestHandler {
 public:
  class Response : public Resp {
   public:
    Response();
    std::uint16_t GetStatusCode() override { return web::http::status_codes::SeeOther; }
  };

  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;
};
