// vector_handler_test.cpp - the vector handler's format choice and bodies, over real HTTP.
#include "REST APIs/HTTP Service/VectorRequestHandler.h"
#include "TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

class Builder : public CHTTPObject::Complex<CHTTPObject> {
 public:
  Builder() { AddMember(CHTTPObject("Version", CHTTPObject::String(CHTTPObject::Quoted, "7.28"))); }
};

constexpr char kXML[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SystemInfo><Version>7.28</Version></SystemInfo>";
constexpr char kJSON[] = "{\"Version\":\"7.28\"}";

struct AcceptCase {
  const char* name;
  const char* accept;  // nullptr: no header
  bool json;
};

const AcceptCase kAcceptCases[] = {
    {"NoHeader", nullptr, false},
    {"Json", "application/json", true},
    {"Xml", "application/xml", false},
    {"BlankBeforeSecondTokenMatchesNothing", "text/html, application/json", false},
    {"FirstMatchWinsAndParametersAreCut", "application/json;q=0.9, application/xml", true},
    {"XmlBeforeJson", "application/xml,application/json", false},
    {"CaseSensitive", "Application/JSON", false},
    {"TextXmlByDefault", "text/xml", false},
    {"AnyIsXml", "*/*", false},
    {"AnyBeforeJson", "*/*,application/json", false},
    {"Empty", "", false},
    {"JsonAfterUnknown", "text/html,application/json", true},
};

class AcceptChoice : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptChoice, PicksTheFormat) {
  std::atomic<int> calls{0};
  auto handler = std::make_shared<CVectorRequestHandler>("SystemInfo", [&calls] {
    ++calls;
    return Builder().Take();
  });
  TestServer server([&](web::http::http_request&) { return Route{handler, {}, {}}; });
  std::vector<std::pair<std::string, std::string>> headers;
  if (GetParam().accept != nullptr) headers.emplace_back("Accept", GetParam().accept);
  const ProbeReply reply = Probe("GET", server.base() + "/info", headers);
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(reply.Header("Cache-Control").value_or(""), "private");
  if (GetParam().json) {
    EXPECT_EQ(reply.Header("Content-Type").value_or(""), "application/json");
    EXPECT_EQ(reply.body, kJSON);
  } else {
    EXPECT_EQ(reply.Header("Content-Type").value_or(""), "text/xml");
    EXPECT_EQ(reply.body, kXML);
  }
}

INSTANTIATE_TEST_SUITE_P(VectorHandler, AcceptChoice, ::testing::ValuesIn(kAcceptCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VectorHandler, XmlIsWellFormedForXmllint) {
  auto handler = std::make_shared<CVectorRequestHandler>("SystemInfo", [] { return Builder().Take(); });
  TestServer server([&](web::http::http_request&) { return Route{handler, {}, {}}; });
  const TempDir dir;
  const auto file = dir.Write("doc.xml", Probe("GET", server.base() + "/").body);
  const auto [rc, out] = RunProgram({"xmllint", "--xpath", "string(/SystemInfo/Version)", file.string()});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "7.28\n");
}

TEST(VectorHandler, EmptyFunctionThrowsOutOfHandle) {
  CVectorRequestHandler handler("SystemInfo", {});
  std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response;
  web::http::http_request request(web::http::methods::GET);
  EXPECT_THROW(handler.Handle(response, request, {}, {}), std::bad_function_call);
  // Over HTTP the exception becomes a 500.
  auto shared = std::make_shared<CVectorRequestHandler>("SystemInfo", std::function<CHTTPObject()>());
  TestServer server([&](web::http::http_request&) { return Route{shared, {}, {}}; });
  EXPECT_EQ(Probe("GET", server.base() + "/").status, 500);
}

}  // namespace
