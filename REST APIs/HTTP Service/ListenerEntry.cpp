// ListenerEntry.cpp - the listener's entry points: trace, handler, response.
//
// Every request is traced, matched to a handler under the configuration lock
// held for reading, given to the handler, and its response handed to the
// reply (ListenerReply.cpp). A POST's form is decoded here, once.
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
constexpr DWORD TRC_METHOD_REFUSED = 0xC00100CF;   // (method, request URI)

constexpr char kFormContentType[] = "application/x-www-form-urlencoded";

// Request headers whose values the trace never records.
bool IsSecretHeader(const std::string& name) {
  return platform::EqualsNoCaseA(name, "Cookie") || platform::EqualsNoCaseA(name, "Authorization") ||
         platform::EqualsNoCaseA(name, "Proxy-Authorization");
}

// One form part: "+" is a space, then percent-decoding; throws
// web::uri_exception for a malformed escape.
std::wstring DecodeFormPart(std::string part) {
  for (char& c : part)
    if (c == '+') c = ' ';
  return platform::WideFromUtf8(web::uri::decode(part));
}

}  // namespace

// The decoded relative URI (path and query) for trace lines; the raw text
// when it does not decode.
std::wstring CHTTPServer::CListener::DecodedRelativeUri(const web::http::http_request& request) {
  const std::string raw = request.relative_uri().to_string();
  try {
    return platform::WideFromUtf8(web::uri::decode(raw));
  } catch (const std::exception&) {
    return platform::WideFromUtf8(raw);
  }
}

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
    ReplyFailure(request, e);
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
      ReplyFailure(request, e);
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

