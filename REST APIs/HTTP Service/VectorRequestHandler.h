// VectorRequestHandler.h - CVectorRequestHandler, which serves one CHTTPObject as XML or JSON.
//
// The object comes from a function called anew on each request; the request's
// "Accept" header picks the format (XML unless a token asks for JSON). The
// whole body is built while Handle runs, so the response is complete when
// the listener reads it. The handler keeps no per-request state and may be
// shared by any number of request threads.
#pragma once

#include "REST APIs/HTTP Service/HTTPObject.h"
#include "REST APIs/HTTP Service/RequestHandler.h"

#include <functional>
#include <string>

class CVectorRequestHandler : public CHTTPServer::CRequestHandler {
 public:
  class Response;
  class XMLResponse;
  class JsonResponse;

  CVectorRequestHandler(std::string name, std::function<CHTTPObject()> object);

  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;

  // Whether the "Accept" header (absent: nullptr) chooses JSON: the first of
  // its ","-separated tokens, each cut at ";" and taken as written, that is
  // exactly "application/xml" or "*/*" (XML) or "application/json" decides.
  static bool WantsJSON(const std::string* accept);

 private:
  const std::string m_name;  // the XML root element
  const std::function<CHTTPObject()> m_object;
};

class CVectorRequestHandler::Response : public CHTTPServer::CRequestHandler::CResponse {
 public:
  std::uint16_t GetStatusCode() override { return web::http::status_codes::OK; }
  web::http::http_headers& GetHeaders() override { return m_headers; }
  concurrency::streams::istream& GetBody() override { return m_body; }

  virtual std::string GetPrefix(const std::string& name) = 0;
  virtual std::string GetSuffix(const std::string& name) = 0;
  virtual std::string Render(const CHTTPObject& object) = 0;

  // The body: prefix, rendered object, suffix.
  void Build(const std::string& name, const CHTTPObject& object);

 protected:
  Response();
  ~Response() = default;

 private:
  web::http::http_headers m_headers;  // always empty
  concurrency::streams::istream m_body;
};

class CVectorRequestHandler::XMLResponse : public CVectorRequestHandler::Response {
 public:
  std::wstring GetContentType() override { return L"text/xml"; }
  std::string GetPrefix(const std::string& name) override;
  std::string GetSuffix(const std::string& name) override;
  std::string Render(const CHTTPObject& object) override { return object.RenderXML(); }
};

class CVectorRequestHandler::JsonResponse : public CVectorRequestHandler::Response {
 public:
  std::wstring GetContentType() override { return L"application/json"; }
  std::string GetPrefix(const std::string&) override { return {}; }
  std::string GetSuffix(const std::string&) override { return {}; }
  std::string Render(const CHTTPObject& object) override { return object.RenderJSON(); }
};
