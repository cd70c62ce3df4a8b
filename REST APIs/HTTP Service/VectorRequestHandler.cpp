// VectorRequestHandler.cpp - the format choice and the finished XML or JSON body.
#include "REST APIs/HTTP Service/VectorRequestHandler.h"

#include <cpprest/containerstream.h>

#include <cstdint>
#include <vector>

namespace {

// The XML declaration line that starts every XML body.
constexpr char kXMLDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";

}  // namespace

CVectorRequestHandler::CVectorRequestHandler(std::string name, std::function<CHTTPObject()> object)
    : m_name(std::move(name)), m_object(std::move(object)) {}

bool CVectorRequestHandler::WantsJSON(const std::string* accept) {
  if (accept == nullptr) return false;
  std::size_t start = 0;
  while (start <= accept->size()) {
    std::size_t end = accept->find(',', start);
    if (end == std::string::npos) end = accept->size();
    std::string token = accept->substr(start, end - start);
    token = token.substr(0, token.find(';'));
    if (token == "application/xml") return false;
    if (token == "application/json") return true;
    if (token == "*/*") return false;
    start = end + 1;
  }
  return false;
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CVectorRequestHandler::Handle(
    std::shared_ptr<CResponse>& response, web::http::http_request request, vantrel::basic_istring<wchar_t>,
    const CParameterMap&) {
  const auto& headers = request.headers();
  const auto accept = headers.find(web::http::header_names::accept);
  const bool json = WantsJSON(accept != headers.end() ? &accept->second : nullptr);
  const CHTTPObject object = m_object();  // an empty function throws std::bad_function_call
  std::shared_ptr<Response> built;
  if (json) {
    built = std::make_shared<JsonResponse>();
  } else {
    built = std::make_shared<XMLResponse>();
  }
  built->Build(m_name, object);
  response = std::move(built);
  return response;
}

CVectorRequestHandler::Response::Response() { CacheMode = CacheModes::Vector; }

void CVectorRequestHandler::Response::Build(const std::string& name, const CHTTPObject& object) {
  std::string text = GetPrefix(name);
  text += Render(object);
  text += GetSuffix(name);
  m_body = concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string CVectorRequestHandler::XMLResponse::GetPrefix(const std::string& name) {
  return kXMLDeclaration + ("<" + name + ">");
}

std::string CVectorRequestHandler::XMLResponse::GetSuffix(const std::string& name) { return "</" + name + ">"; }
