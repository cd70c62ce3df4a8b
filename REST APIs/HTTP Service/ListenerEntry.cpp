// ListenerEntry.cpp - the listener's entry points and the replies they send.
//
// Every request is traced, matched to a handler under the configuration lock
// held for reading, and answered through one of the reply helpers, which add
// the common headers. How a response is read is its own word: a deferred
// response with a deadline (a query's, DeferredResponse.h) is read on a reply
// thread, never on the HTTP library's pool; that wait ends at its deadline or
// when the listener closes, so a hanging query holds neither the pool nor the
// stop. Every other response is read where the handler returned it. Every reply's task is
// observed: a failed send that nobody looks at would end the process.
#include "REST APIs/HTTP Service/Listener.h"

#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"
#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/DeferredResponse.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "REST APIs/HTTP Service/SQLRequestHandler.h"
#include "platform/base/text.h"

#include <cpprest/base_uri.h>

#include <algorithm>

namespace {

using CResponse = CHTTPServer::CRequestHandler::CResponse;

// Trace ids of the listener.
constexpr DWORD TRC_REQUEST = 0x000100CC;          // (request line)
constexpr DWORD TRC_REQUEST_FAILED = 0xC00100CD;   // (error text, request URI)
constexpr DWORD TRC_METHOD_REFUSED = 0xC00100CF;   // (method, request URI)
constexpr DWORD TRC_QUERY_TIMED_OUT = 0xC00100D0;  // (request URI)

// The source lines the exception events of GET and POST carry.
constexpr int kGetFailureLine = 1041;
constexpr int kPostFailureLine = 1078;

// The "Server" value: product name, "/", version.
constexpr char kServerValue[] = "Corvellane/7.28";

constexpr char kFormContentType[] = "application/x-www-form-urlencoded";

// Request headers whose values the trace never records.
bool IsSecretHeader(const std::string& name) {
  return platform::EqualsNoCaseA(name, "Cookie") || platform::EqualsNoCaseA(name, "Authorization") ||
         platform::EqualsNoCaseA(name, "Proxy-Authorization");
}

// The decoded relative URI (path and query) for trace lines; the raw text
// when it does not decode.
std::wstring DecodedRelativeUri(const web::http::http_request& request) {
  const std::string raw = request.relative_uri().to_string();
  try {
    return platform::WideFromUtf8(web::uri::decode(raw));
  } catch (const std::exception&) {
    return platform::WideFromUtf8(raw);
  }
}

std::wstring DecodedPath(const web::http::http_request& request) {
  try {
    return platform::WideFromUtf8(web::uri::decode(request.relative_uri().path()));
  } catch (const std::exception&) {
    return {};
  }
}

// One form part: "+" is a space, then percent-decoding; throws
// web::uri_exception for a malformed escape.
std::wstring DecodeFormPart(std::string part) {
  for (char& c : part)
    if (c == '+') c = ' ';
  return platform::WideFromUtf8(web::uri::decode(part));
}

// Every reply's task is looked at, so that a failed send (the client went
// away) never becomes an unobserved exception.
void Send(web::http::http_request& request, const web::http::http_response& reply) {
  try {
    request.reply(reply).then([](pplx::task<void> sent) {
      try {
        sent.get();
      } catch (...) {
      }
    });
  } catch (...) {
  }
}

}  // namespace

// The decoded form fields of a POST body, each decoded exactly once, here.
// Throws web::uri_exception for a malformed escape.
std::map<std::wstring, std::wstring> DecodeFormFields(const std::string& body) {
  std::map<std::wstring, std::wstring> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    if (!pair.empty()) {
      const std::size_t eq = pair.find('=');
      std::wstring name = DecodeFormPart(pair.substr(0, eq));
      std::wstring value = eq == std::string::npos ? std::wstring() : DecodeFormPart(pair.substr(eq + 1));
      fields.emplace(std::move(name), std::move(value));
    }
    start = end + 1;
  }
  return fields;
}

CParameterMap CHTTPServer::CListener::RequestParameters() const {
  // The parameters live as long as the settings they are part of.
  return CParameterMap(std::shared_ptr<const Parameters>(m_settings, &m_settings->parameters),
                       m_settings->limits.queryTimeoutMs);
}

void CHTTPServer::CListener::Dispatch(web::http::http_request request) {
  const auto& method = request.method();
  if (method == web::http::methods::GET)
    HandleGet(std::move(request));
  else if (method == web::http::methods::POST)
    HandlePost(std::move(request));
  else if (method == web::http::methods::OPTIONS)
    HandleOptions(std::move(request));
  else
    HandleOther(std::move(request));
}

void CHTTPServer::CListener::TraceRequest(const web::http::http_request& request) {
  const web::http::http_version version = request.http_version();
  std::string line = std::to_string(version.major) + "." + std::to_string(version.minor) + " " + request.method() +
                     " " + request.relative_uri().path();
  const std::string query = request.relative_uri().query();
  if (!query.empty()) line += "?" + query;
  line += " headers{";
  for (const auto& [name, value] : request.headers())
    line += " " + name + "{" + (IsSecretHeader(name) ? std::string("*") : value) + "}";
  line += " }";
  ServiceTrace(this, TRC_REQUEST, platform::WideFromUtf8(line).c_str());
}

void CHTTPServer::CListener::HandleGet(web::http::http_request request) {
  TraceRequest(request);
  try {
    std::shared_ptr<CResponse> response;
    Result found;
    {
      platform::SrwSharedLock hold(m_configLock);
      found = FindRequestHandler(request);
      if (found.second) found.second->Handle(response, request, found.first, RequestParameters());
    }
    if (!found.second) {
      ReplyNoHandler(request, found.first, false);
      return;
    }
    if (!response) throw std::runtime_error("the handler gave no response");
    ReplyFromResponse(std::move(request), std::move(response));
  } catch (const std::exception& e) {
    ReplyFailure(request, e, kGetFailureLine);
  }
}

void CHTTPServer::CListener::HandlePost(web::http::http_request request) {
  TraceRequest(request);
  const auto type = request.headers().find(web::http::header_names::content_type);
  const bool form = type != request.headers().end() && platform::EqualsNoCaseA(type->second, kFormContentType);
  auto answer = [this](web::http::http_request& request, const std::map<std::wstring, std::wstring>& fields) {
    try {
      std::shared_ptr<CResponse> response;
      Result found;
      CParameterMap parameters;
      {
        platform::SrwSharedLock hold(m_configLock);
        found = FindRequestHandler(request);
        if (found.second) parameters = RequestParameters();
      }
      if (!found.second) {
        ReplyNoHandler(request, found.first, true);
        return;
      }
      // The form's fields lie over the listener's map, never in a copy of
      // it: configured parameters win over fields of the same name, and a
      // reserved name is never a client's.
      for (const auto& [name, value] : fields)
        if (!IsReservedParameterName(name)) parameters.AddRequestValue(name, value);
      found.second->Handle(response, request, found.first, parameters);
      if (!response) throw std::runtime_error("the handler gave no response");
      ReplyFromResponse(request, std::move(response));
    } catch (const std::exception& e) {
      ReplyFailure(request, e, kPostFailureLine);
    }
  };
  if (!form) {
    answer(request, {});
    return;
  }
  // The body arrives on the library's pool; no pool thread waits for it.
  PendingReply pending(*this);
  request.extract_string(true).then([this, request, answer, pending](pplx::task<std::string> body) mutable {
    std::map<std::wstring, std::wstring> fields;
    try {
      fields = DecodeFormFields(body.get());
    } catch (const std::exception&) {
      // A malformed escape, or a body that never fully came (the client
      // went away): the client's fault, not an event of the server's.
      ReplyStatus(request, web::http::status_codes::BadRequest, {});
      return;
    }
    answer(request, fields);
  });
}

void CHTTPServer::CListener::HandleOptions(web::http::http_request request) {
  TraceRequest(request);
  ReplyAllow(request, web::http::status_codes::OK);
}

void CHTTPServer::CListener::HandleOther(web::http::http_request request) {
  ServiceTrace(this, TRC_METHOD_REFUSED, platform::WideFromUtf8(request.method()).c_str(),
               DecodedRelativeUri(request).c_str());
  ReplyAllow(request, web::http::status_codes::MethodNotAllowed);
}

void CHTTPServer::CListener::ReplyNoHandler(web::http::http_request& request,
                                            const vantrel::basic_istring<wchar_t>& user, bool post) {
  // Only a request of nobody known is sent to the login page: one with a
  // cookie of a session that ended is sent there too, and "/" itself never
  // is, so a missing login page answers 404 instead of redirecting to itself.
  if (!post && m_authenticator && user.empty() && DecodedPath(request) != L"/") {
    web::http::http_headers headers;
    headers.add(web::http::header_names::location, "/");
    ReplyStatus(request, web::http::status_codes::SeeOther, headers);
    return;
  }
  ReplyStatus(request, web::http::status_codes::NotFound, {});
}

void CHTTPServer::CListener::ReplyFailure(web::http::http_request& request, const std::exception& e, int line) {
  const CStatus status(NewExceptionMessage(CSourcePos{__FILE__, line}, e, MSG_WORK_ITEM_EXCEPTION));
  status.Report();
  ServiceTrace(this, TRC_REQUEST_FAILED, status.GetText().c_str(), DecodedRelativeUri(request).c_str());
  web::http::http_response reply(web::http::status_codes::InternalError);
  AddCommonHeaders(request, reply);
}

void CHTTPServer::CListener::ReplyStatus(web::http::http_request& request, std::uint16_t status,
                                         const web::http::http_headers& headers) {
  web::http::http_response reply = BuildReplyStatus(status, headers);
  AddCommonHeaders(request, reply);
}

void CHTTPServer::CListener::ReplyWithBody(web::http::http_request& request, std::uint16_t status,
                                           const web::http::http_headers& headers,
                                           const concurrency::streams::istream& body, const std::wstring& contentType,
                                           std::int32_t cacheMode) {
  web::http::http_response reply = BuildReplyWithBody(status, headers, body, contentType, cacheMode);
  AddCommonHeaders(request, reply);
}

void CHTTPServer::CListener::AddCommonHeaders(web::http::http_request& request, web::http::http_response& reply) {
  auto& headers = reply.headers();
  headers.add("Server", kServerValue);
  headers.add(web::http::header_names::accept_ranges, "bytes");
  headers.add("Content-Security-Policy", "frame-ancestors 'self'");
  if (platform::EqualsNoCaseA(GetURI().scheme(), "https")) headers.add("Strict-Transport-Security", "max-age=86400");
  headers.add("X-Content-Type-Options", "nosniff");
  headers.add("X-XSS-Protection", "0");
  Send(request, reply);
}

void CHTTPServer::CListener::ReplyAllow(web::http::http_request& request, std::uint16_t status) {
  const std::wstring path = DecodedPath(request);
  bool post = path == L"*" || request.relative_uri().path() == "*";
  if (!post) {
    const auto location = m_locations.find(path);
    if (location != m_locations.end()) {
      web::http::http_request probe(web::http::methods::POST);
      post = location->second->GetHandler(probe) != nullptr;
    }
  }
  web::http::http_response reply(status);
  reply.headers().add("Allow", post ? "GET, POST" : "GET");
  reply.headers().add("Server", kServerValue);
  Send(request, reply);
}

void CHTTPServer::CListener::SendResponse(web::http::http_request& request, CResponse& response) {
  web::http::http_response reply = ReadResponse(request.method(), response);
  AddCommonHeaders(request, reply);
}

void CHTTPServer::CListener::ReplyFromResponse(web::http::http_request request, std::shared_ptr<CResponse> response) {
  CDeferredResponse* deferred = response->Deferred();
  const ULONGLONG deadline = deferred != nullptr ? deferred->ReplyDeadline() : CDeferredResponse::kNoDeadline;
  if (deadline == CDeferredResponse::kNoDeadline) {
    SendResponse(request, *response);
    return;
  }
  PendingReply pending(*this);
  const bool queued = RunReplyWork([this, request, response, deferred, deadline, pending]() mutable {
    try {
      const ULONGLONG now = GetTickCount64();
      const DWORD timeoutMs = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF));
      if (deferred->WaitReady(timeoutMs, m_closing.get())) {
        SendResponse(request, *response);
        return;
      }
      // The work is stopped and its thread freed; the client is told now.
      deferred->Cancel();
      ServiceTrace(this, TRC_QUERY_TIMED_OUT, DecodedRelativeUri(request).c_str());
      ReplyStatus(request, web::http::status_codes::ServiceUnavailable, {});
    } catch (const std::exception& e) {
      ReplyFailure(request, e, request.method() == web::http::methods::POST ? kPostFailureLine : kGetFailureLine);
    } catch (...) {
      Send(request, web::http::http_response(web::http::status_codes::InternalError));
    }
  });
  if (!queued) {
    // Every reply thread waits already: answered at once.
    deferred->Cancel();
    web::http::http_headers headers;
    headers.add(web::http::header_names::retry_after, kRetryAfterSeconds);
    ReplyStatus(request, web::http::status_codes::ServiceUnavailable, headers);
  }
}
