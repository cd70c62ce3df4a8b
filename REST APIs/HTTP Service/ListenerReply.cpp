// ListenerReply.cpp - how the listener answers: the reply helpers and their one finishing step.
//
// A handler's response is read here (ReadResponse, RequestHandler.h) and
// every reply but the Allow answers ends in AddCommonHeaders, which adds the
// common headers and sends. How a response is read is its own word: a
// deferred response with a deadline (a query's, DeferredResponse.h) is read
// on a reply thread, never on the HTTP library's pool; that wait ends at its
// deadline or when the listener closes, so a hanging query holds neither the
// pool nor the stop. Every other response is read where the handler returned
// it. Every reply's task is observed: a failed send that nobody looks at
// would end the process.
#include "REST APIs/HTTP Service/Listener.h"

#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"
#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/DeferredResponse.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "platform/base/text.h"

#include <cpprest/base_uri.h>

#include <algorithm>

namespace {

using CResponse = CHTTPServer::CRequestHandler::CResponse;

// Trace ids of the replies.
constexpr DWORD TRC_REQUEST_FAILED = 0xC00100CD;   // (error text, request URI)
constexpr DWORD TRC_QUERY_TIMED_OUT = 0xC00100D0;  // (request URI)

// The source lines the exception events of GET and POST carry.
constexpr int kGetFailureLine = 1041;
constexpr int kPostFailureLine = 1078;

// The "Server" value: product name, "/", version.
constexpr char kServerValue[] = "Corvellane/7.28";

std::wstring DecodedPath(const web::http::http_request& request) {
  try {
    return platform::WideFromUtf8(web::uri::decode(request.relative_uri().path()));
  } catch (const std::exception&) {
    return {};
  }
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

void CHTTPServer::CListener::ReplyFailure(web::http::http_request& request, const std::exception& e) {
  const int line = request.method() == web::http::methods::POST ? kPostFailureLine : kGetFailureLine;
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
      ReplyFailure(request, e);
    } catch (...) {
      ReplyStatus(request, web::http::status_codes::InternalError, {});
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
