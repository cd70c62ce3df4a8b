// response_test.cpp - cache modes, the order a response is read in, and the 303/304 handlers.
#include "REST APIs/HTTP Service/DeferredResponse.h"
#include "REST APIs/HTTP Service/LocalHandlers.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/base/text.h"

#include <cpprest/containerstream.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <string>
#include <vector>

using web::http::http_response;
using web::http::methods;
using CResponse = CHTTPServer::CRequestHandler::CResponse;

namespace {

// A response that notes each operation it is asked for. CacheMode is a data
// member, so its read cannot be recorded; the tests see it through the reply.
class RecordingResponse : public CResponse {
 public:
  RecordingResponse(std::uint16_t status, std::int32_t cacheMode, std::string body = "payload")
      : m_status(status),
        m_body(concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>(body.begin(), body.end()))) {
    CacheMode = cacheMode;
    m_headers.add("X-Test", "yes");
  }

  std::uint16_t GetStatusCode() override {
    calls.push_back("GetStatusCode");
    return m_status;
  }
  web::http::http_headers& GetHeaders() override {
    calls.push_back("GetHeaders");
    return m_headers;
  }
  concurrency::streams::istream& GetBody() override {
    calls.push_back("GetBody");
    return m_body;
  }
  std::wstring GetContentType() override {
    calls.push_back("GetContentType");
    return L"video/mp4";
  }

  std::vector<std::string> calls;

 private:
  std::uint16_t m_status;
  web::http::http_headers m_headers;
  concurrency::streams::istream m_body;
};

std::optional<std::string> Header(const http_response& reply, const std::string& name) {
  std::string value;
  if (!reply.headers().match(name, value)) return std::nullopt;
  return value;
}

std::string BodyOf(const http_response& reply) {
  concurrency::streams::container_buffer<std::vector<unsigned char>> out;
  reply.body().read_to_end(out).get();
  return std::string(out.collection().begin(), out.collection().end());
}

TEST(CacheControl, EachModeGivesItsHeader) {
  const struct {
    std::int32_t mode;
    const char* header;
  } cases[] = {{-1, nullptr},           {0, nullptr},     {1, "max-age=3600"}, {2, nullptr},
               {3, "private"},          {4, "no-store"},  {5, "private"},      {6, "private"},
               {7, nullptr},            {0x7FFFFFFF, nullptr}};
  for (const auto& c : cases) {
    const char* got = CacheControlHeader(c.mode);
    if (c.header == nullptr)
      EXPECT_EQ(got, nullptr) << "mode " << c.mode;
    else
      EXPECT_STREQ(got, c.header) << "mode " << c.mode;
  }
}

TEST(CResponseLayout, CacheModeFollowsTheVirtualTablePointer) {
  RecordingResponse response(200, 0);
  const auto base = reinterpret_cast<const char*>(static_cast<CResponse*>(&response));
  EXPECT_EQ(reinterpret_cast<const char*>(&response.CacheMode) - base, static_cast<std::ptrdiff_t>(sizeof(void*)));
  static_assert(sizeof(CResponse::CacheMode) == 4 && std::is_signed_v<decltype(CResponse::CacheMode)>);
}

struct OrderCase {
  const char* name;
  const web::http::method method;
  std::uint16_t status;
  std::vector<std::string> calls;
};

TEST(ReadResponse, CallsTheResponseInTheListenersOrder) {
  const std::vector<std::string> withBody = {"GetContentType", "GetBody", "GetHeaders", "GetStatusCode"};
  auto after = [&](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const OrderCase cases[] = {
      {"GET 200", methods::GET, 200, after({"GetStatusCode"}, withBody)},
      {"GET 206", methods::GET, 206, after({"GetStatusCode", "GetStatusCode"}, withBody)},
      {"GET 404", methods::GET, 404, {"GetStatusCode", "GetStatusCode", "GetHeaders", "GetStatusCode"}},
      {"GET 304", methods::GET, 304, {"GetStatusCode", "GetStatusCode", "GetHeaders", "GetStatusCode"}},
      {"POST 200", methods::POST, 200, withBody},
      {"POST 500", methods::POST, 500, withBody},
  };
  for (const auto& c : cases) {
    RecordingResponse response(c.status, 0);
    const http_response reply = ReadResponse(c.method, response);
    EXPECT_EQ(response.calls, c.calls) << c.name;
    EXPECT_EQ(reply.status_code(), c.status) << c.name;
    EXPECT_EQ(Header(reply, "X-Test"), "yes") << c.name;
  }
}

TEST(ReadResponse, StatusAndCacheModeDecideBodyAndCacheControl) {
  const struct {
    const web::http::method method;
    std::uint16_t status;
    std::int32_t mode;
    bool body;
    const char* cacheControl;
  } cases[] = {
      {methods::GET, 200, 2, true, nullptr},          // a root's static file is not cached
      {methods::GET, 200, 1, true, "max-age=3600"},   // the same file of a web application is
      {methods::GET, 206, 1, true, "max-age=3600"},   // 206 exactly as 200
      {methods::GET, 206, 5, true, "private"},
      {methods::GET, 200, 4, true, "no-store"},
      {methods::GET, 204, 4, false, nullptr},         // headers only, whatever the body holds
      {methods::GET, 304, 5, false, nullptr},
      {methods::GET, 500, 1, false, nullptr},
      {methods::POST, 204, 4, true, "no-store"},      // a POST always reads and sends the body
      {methods::POST, 200, 0, true, nullptr},
  };
  for (const auto& c : cases) {
    RecordingResponse response(c.status, c.mode);
    const http_response reply = ReadResponse(c.method, response);
    const std::string label = c.method + " " + std::to_string(c.status) + " mode " + std::to_string(c.mode);
    EXPECT_EQ(reply.status_code(), c.status) << label;
    EXPECT_EQ(Header(reply, "Cache-Control"), c.cacheControl ? std::optional<std::string>(c.cacheControl) : std::nullopt)
        << label;
    if (c.body) {
      EXPECT_EQ(BodyOf(reply), "payload") << label;
      EXPECT_EQ(Header(reply, "Content-Type"), "video/mp4") << label;
    } else {
      EXPECT_FALSE(reply.body().is_valid()) << label;
      EXPECT_EQ(Header(reply, "Content-Type"), std::nullopt) << label;
    }
  }
}

std::shared_ptr<CResponse> HandleWith(CHTTPServer::CRequestHandler& handler) {
  web::http::http_request request(methods::GET);
  std::shared_ptr<CResponse> response;
  const std::map<std::wstring, std::wstring> parameters{{L"Registry$Port", L"443"}};
  std::shared_ptr<CResponse>& returned = handler.Handle(response, request, vantrel::istring(L"Admin"), parameters);
  EXPECT_EQ(&returned, &response);
  return response;
}

TEST(LocalHandlers, NotModifiedIs304WithoutBodyOrHeaders) {
  auto handler = std::make_shared<CNotModifiedHandler>();
  const std::shared_ptr<CResponse> response = HandleWith(*handler);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->CacheMode, 0);
  EXPECT_EQ(response->GetStatusCode(), 304);
  EXPECT_TRUE(response->GetHeaders().empty());
  EXPECT_TRUE(response->GetContentType().empty());

  const http_response reply = ReadResponse(methods::GET, *response);
  EXPECT_EQ(reply.status_code(), 304);
  EXPECT_FALSE(reply.body().is_valid());
  EXPECT_TRUE(reply.headers().empty());
}

TEST(LocalHandlers, RedirectGoesToRootWithoutCacheControl) {
  auto handler = std::make_shared<CRedirectHandler>();
  const std::shared_ptr<CResponse> response = HandleWith(*handler);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatusCode(), 303);
  EXPECT_EQ(response->CacheMode, 0);

  for (const auto& method : {methods::GET, methods::POST}) {
    const http_response reply = ReadResponse(method, *response);
    EXPECT_EQ(reply.status_code(), 303) << method;
    EXPECT_EQ(Header(reply, "Location"), "/") << method;
    EXPECT_EQ(Header(reply, "Cache-Control"), std::nullopt) << method;
  }
  // A POST reply carries the body: it must be a readable, empty stream.
  const http_response post = ReadResponse(methods::POST, *response);
  ASSERT_TRUE(post.body().is_valid());
  EXPECT_EQ(BodyOf(post), "");
  EXPECT_EQ(Header(post, "Content-Type"), std::nullopt) << "no empty Content-Type header";
}

TEST(LocalHandlers, EachHandleMakesAFreshResponse) {
  auto handler = std::make_shared<CRedirectHandler>();
  const auto first = HandleWith(*handler);
  const auto second = HandleWith(*handler);
  EXPECT_NE(first, second);
  first->GetHeaders().add("X-Extra", "1");
  EXPECT_FALSE(second->GetHeaders().has("X-Extra"));
}

}  // namespace

// What a handler sees of the listener's map and one request's values over it.
TEST(ParameterMap, RequestValuesLieOverTheSharedMapAndNeverHideIt) {
  const auto shared = std::make_shared<const CParameterMap::Map>(
      CParameterMap::Map{{L"Registry$Color", L"blue"}, {L"Directory$media", L"Q:\\Media"}});
  CParameterMap map(shared);
  map.AddRequestValue(L"Registry$Color", L"red");
  map.AddRequestValue(L"Extra", L"first");
  map.AddRequestValue(L"Extra", L"second");
  struct Row {
    const wchar_t* name;
    const wchar_t* value;  // null: absent
  };
  for (const Row& row : {Row{L"Registry$Color", L"blue"}, Row{L"Directory$media", L"Q:\\Media"},
                         Row{L"Extra", L"first"}, Row{L"extra", nullptr}, Row{L"Missing", nullptr}}) {
    SCOPED_TRACE(platform::Utf8FromWide(row.name));
    const std::wstring* found = map.Find(row.name);
    ASSERT_EQ(found != nullptr, row.value != nullptr);
    if (found != nullptr) EXPECT_EQ(*found, row.value);
    EXPECT_EQ(map.Contains(row.name), row.value != nullptr);
  }
  EXPECT_EQ(&map.Shared(), shared.get()) << "the listener's map itself, not a copy";
  EXPECT_EQ(map.RequestValues(), (CParameterMap::Map{{L"Extra", L"first"}}));
  EXPECT_EQ(shared->size(), 2u) << "the shared map is never written";

  const CParameterMap copy = map;
  EXPECT_EQ(&copy.Shared(), shared.get()) << "a copy shares the map";
  EXPECT_TRUE(CParameterMap().Shared().empty());
  EXPECT_TRUE(CParameterMap(std::shared_ptr<const CParameterMap::Map>()).Shared().empty());
}

namespace {

// A deferred response whose outcome the test fixes.
class TestDeferred : public CDeferredResponse {
 public:
  void Fail(std::exception_ptr error) {
    SetFailure(std::move(error));
    MarkReady();
  }
  void Succeed() { MarkReady(); }
};

std::exception_ptr Win32(DWORD code) {
  return std::make_exception_ptr(std::system_error(static_cast<int>(code), platform::Win32Category()));
}

}  // namespace

// How a failed outcome is answered, and that every outcome has a body the
// reply can read (an empty one when the work gave none).
TEST(DeferredResponse, FailureStatusesAndAnEmptyBody) {
  struct Row {
    const char* name;
    std::exception_ptr error;
    std::uint16_t status;
    const char* retryAfter;  // nullptr: none
  };
  const Row rows[] = {
      {"every thread taken", Win32(ERROR_BUSY), 503, "1"},
      {"timed out", Win32(ERROR_TIMEOUT), 503, nullptr},
      {"cancelled", Win32(ERROR_CANCELLED), 503, nullptr},
      {"no such file", Win32(ERROR_FILE_NOT_FOUND), 404, nullptr},
      {"access denied", Win32(ERROR_ACCESS_DENIED), 403, nullptr},
      {"another Win32 code", Win32(ERROR_INVALID_PARAMETER), 500, nullptr},
      {"not a system error", std::make_exception_ptr(std::runtime_error("x")), 500, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TestDeferred response;
    response.Fail(row.error);
    EXPECT_EQ(response.GetStatusCode(), row.status);
    std::string retry;
    EXPECT_EQ(response.GetHeaders().match(web::http::header_names::retry_after, retry), row.retryAfter != nullptr);
    if (row.retryAfter != nullptr) EXPECT_EQ(retry, row.retryAfter);
    ASSERT_TRUE(static_cast<bool>(response.GetBody())) << "an empty, valid body";
    EXPECT_TRUE(response.GetBody().is_open());
  }
  TestDeferred ok;
  ok.Succeed();
  EXPECT_EQ(ok.GetStatusCode(), 200);
  EXPECT_TRUE(ok.GetBody().is_open());
  EXPECT_EQ(ok.ReplyDeadline(), CDeferredResponse::kNoDeadline) << "read where it stands unless it says otherwise";
  EXPECT_EQ(static_cast<CResponse&>(ok).Deferred(), &ok);
}

// The wait the listener's reply thread uses: it ends at its timeout or at the
// cancel event while the outcome is not fixed, and at once after.
TEST(DeferredResponse, WaitEndsAtTheTimeoutTheCancelOrTheOutcome) {
  TestDeferred response;
  EXPECT_FALSE(response.WaitReady(0, nullptr));
  EXPECT_FALSE(response.WaitReady(20, nullptr)) << "not ready: the timeout ends the wait";
  platform::UniqueHandle cancel(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  EXPECT_FALSE(response.WaitReady(INFINITE, cancel.get())) << "the cancel event ends the wait";

  std::thread finisher([&response] {
    Sleep(20);
    response.Succeed();
  });
  EXPECT_TRUE(response.WaitReady(INFINITE, nullptr));
  finisher.join();
  EXPECT_TRUE(response.WaitReady(0, cancel.get())) << "ready wins over a set cancel event";
  EXPECT_EQ(response.GetStatusCode(), 200);
}
