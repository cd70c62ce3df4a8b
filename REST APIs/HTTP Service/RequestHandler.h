// RequestHandler.h - the request handler and response interface, and how a response is read.
//
// Every answer of the HTTP service except the listener's own few comes from a
// CRequestHandler: the listener calls Handle, receives a CResponse and turns it
// into the reply. ReadResponse is that turning, in the one order in which a
// response's operations are called, because responses that compute their
// result asynchronously block in GetStatusCode (and for POST in GetBody) and
// rely on being read in that order.
//
// CParameterMap is what a handler is given as the listener's parameter map:
// the host's values, built once per configuration change and shared whole by
// every request (never copied per request), and over them the few values of
// one request (a POST's form fields).
#pragma once

#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/istring.h"

#include <cpprest/http_msg.h>
#include <cpprest/streams.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// The parameters one request's handler sees. The listener's map is immutable
// and shared: a copy of a CParameterMap costs a reference count and its
// request values, however many values the host holds, and keeps the map it
// was made from alive after the listener has swapped in a newer one. A
// request value never hides one of the listener's.
class CDeferredResponse;  // DeferredResponse.h

// How long a reply waits for a query's outcome when the host's "Query
// Timeout" gives none, in seconds.
constexpr unsigned long kDefaultQuerySeconds = 120;

class CParameterMap {
 public:
  using Map = std::map<std::wstring, std::wstring>;

  CParameterMap();
  // A map of its own (handlers called without a listener, tests).
  CParameterMap(Map values);  // implicit: a plain map is one without request values
  // queryTimeoutMs: the host's "Query Timeout", read once with its settings.
  explicit CParameterMap(std::shared_ptr<const Map> shared, DWORD queryTimeoutMs = kDefaultQuerySeconds * 1000);

  // Adds a value of this request alone; ignored when the name is taken (the
  // listener's values win, and the first request value of a name is kept).
  void AddRequestValue(std::wstring name, std::wstring value);
  // The value of name, or null.
  const std::wstring* Find(const std::wstring& name) const;
  bool Contains(const std::wstring& name) const { return Find(name) != nullptr; }
  // The listener's values, and this request's over them.
  const Map& Shared() const { return *m_shared; }
  const Map& RequestValues() const { return m_request; }
  // How long a reply waits for a query's outcome (the host's "Query
  // Timeout"; kDefaultQuerySeconds for a map without a host).
  DWORD QueryTimeoutMs() const { return m_queryTimeoutMs; }

 private:
  std::shared_ptr<const Map> m_shared;  // never null
  Map m_request;                        // names not in *m_shared
  DWORD m_queryTimeoutMs;
};

// No virtual destructor: every handler is made with std::make_shared of its
// concrete class, so the shared pointer destroys the right class. The
// destructor is protected so that nothing deletes through the interface.
class CHTTPServer::CRequestHandler {
 public:
  class CResponse;

  // Makes the response for request; must not reply itself. On GET it runs
  // under the listener's configuration lock held for reading.
  virtual std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                             vantrel::basic_istring<wchar_t> user,
                                             const CParameterMap& parameters) = 0;

 protected:
  CRequestHandler() = default;
  ~CRequestHandler() = default;
};

class CHTTPServer::CRequestHandler::CResponse {
 public:
  // Which Cache-Control header a reply with a body gets; see CacheControlHeader.
  std::int32_t CacheMode = 0;

  // May block until the result is ready; gives the same value on every call.
  virtual std::uint16_t GetStatusCode() = 0;
  virtual web::http::http_headers& GetHeaders() = 0;
  // Read by the HTTP library after the reply is sent; the response lives as
  // long as that reading.
  virtual concurrency::streams::istream& GetBody() = 0;
  virtual std::wstring GetContentType() = 0;
  // The response as one whose outcome comes after Handle returned, which
  // says how long the listener may wait for it; null for one that is
  // complete when Handle returns.
  virtual CDeferredResponse* Deferred() { return nullptr; }

 protected:
  CResponse() = default;
  CResponse(const CResponse&) = default;
  CResponse& operator=(const CResponse&) = default;
  ~CResponse() = default;
};

namespace CacheModes {
// The values of CResponse::CacheMode and who sets them.
constexpr std::int32_t None = 0;            // default, local responses
constexpr std::int32_t ApplicationFile = 1; // static file of a web application
constexpr std::int32_t RootFile = 2;        // static file under a level root
constexpr std::int32_t Vector = 3;          // vector handler responses
constexpr std::int32_t Query = 4;           // SQL and SEARCH query responses
constexpr std::int32_t ArchiveFile = 5;     // a mapped archive file
constexpr std::int32_t ArchiveView = 6;     // a derived view of a mapped archive file
}  // namespace CacheModes

// The Cache-Control value for a cache mode, or nullptr when the reply gets
// none (modes 0 and 2 and every value not in the table).
const utility::char_t* CacheControlHeader(std::int32_t cacheMode);

// Reads response in the listener's order and builds the reply (status, the
// response's headers, for a reply with a body the body, its content type and
// Cache-Control). The common headers are the listener's to add.
//   GET (and any method but POST): GetStatusCode; when not 200, GetStatusCode
//     again for 206; 200/206: CacheMode, GetContentType, GetBody, GetHeaders,
//     GetStatusCode; other: GetHeaders, GetStatusCode.
//   POST: CacheMode, GetContentType, GetBody, GetHeaders, GetStatusCode.
web::http::http_response ReadResponse(const web::http::method& method, CHTTPServer::CRequestHandler::CResponse& response);

// The reply to a response with a body, as the listener sends it before the
// common headers (the body path of ReadResponse): the status, the body stream
// with its content type (none when it is empty) and no length, every header
// of the response, then Cache-Control.
web::http::http_response BuildReplyWithBody(std::uint16_t status, const web::http::http_headers& headers,
                                       const concurrency::streams::istream& body, const std::wstring& contentType,
                                       std::int32_t cacheMode);
// The reply to a response without a body (the listener's ReplyStatus): the
// status and every header of the response.
web::http::http_response BuildReplyStatus(std::uint16_t status, const web::http::http_headers& headers);
