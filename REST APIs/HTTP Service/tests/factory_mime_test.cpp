// factory_mime_test.cpp - the handler factory map, the MIME table and location properties.
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/LocalHandlers.h"
#include "REST APIs/HTTP Service/Location.h"
#include "REST APIs/HTTP Service/MIMEMap.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// What the factory saw, so a test can tell which factory answered.
std::wstring g_lastRoot, g_lastPath;
int g_sqlCalls = 0;

std::shared_ptr<CHTTPServer::CRequestHandler> MakeSql(std::wstring root, std::wstring path) {
  g_lastRoot = root;
  g_lastPath = path;
  ++g_sqlCalls;
  return std::make_shared<CRedirectHandler>();
}

std::shared_ptr<CHTTPServer::CRequestHandler> MakeOther(std::wstring, std::wstring) {
  return std::make_shared<CNotModifiedHandler>();
}

// Registered from static initialisation, as the query handlers do; the
// second registration under another case must not replace the first.
const bool g_registered = RegisterRequestHandlerFactory(L"SQL", MakeSql).second;
const bool g_duplicate = RegisterRequestHandlerFactory(L"sql", MakeOther).second;

TEST(HandlerFactory, FirstRegistrationOfANameStays) {
  EXPECT_TRUE(g_registered);
  EXPECT_FALSE(g_duplicate);
}

TEST(HandlerFactory, TypeIsLookedUpWithoutCase) {
  const struct {
    const wchar_t* type;
    bool found;
  } cases[] = {{L"SQL", true}, {L"sql", true}, {L"SqL", true},  {L"SQLX", false},
               {L"SQ", false}, {L"", false},   {nullptr, false}, {L"html", false}};
  for (const auto& c : cases) {
    const int before = g_sqlCalls;
    std::shared_ptr<CHTTPServer::CRequestHandler> handler = std::make_shared<CNotModifiedHandler>();
    CreateRequestHandler(handler, c.type, L"/root", L"/root/a.GET.SQL");
    EXPECT_EQ(handler != nullptr, c.found) << (c.type ? platform::Utf8FromWide(c.type) : "null");
    EXPECT_EQ(g_sqlCalls - before, c.found ? 1 : 0);
  }
}

TEST(HandlerFactory, FactoryGetsRootAndPath) {
  std::shared_ptr<CHTTPServer::CRequestHandler> handler;
  CreateRequestHandler(handler, L"sql", L"/srv/Anon Root", L"/srv/Anon Root/q.GET.SQL");
  EXPECT_EQ(g_lastRoot, L"/srv/Anon Root");
  EXPECT_EQ(g_lastPath, L"/srv/Anon Root/q.GET.SQL");
}

TEST(MIMEMap, LookupRules) {
  const struct {
    const wchar_t* extension;
    const wchar_t* type;
  } cases[] = {
      {L"jpg", L"image/jpeg"},        {L"JPG", L"image/jpeg"},       {L".jpg", L"image/jpeg"},
      {L".JpEg", L"image/jpeg"},      {L"gz", L"gzip"},              {L"7z", L"application/x-7z-compressed"},
      {L"3g2", L"video/3gpp2"},       {L"html", L"text/html"},       {L"mp4", L"video/mp4"},
      {L"", L"application/octet-stream"}, {L".", L"application/octet-stream"},
      {L"..jpg", L"application/octet-stream"},  // only one leading dot is skipped
      {L"jpgx", L"application/octet-stream"},   {L"exe", L"application/octet-stream"},
      {nullptr, L"application/octet-stream"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(CMIMEMap::GetMIMEType(c.extension), c.type) << (c.extension ? platform::Utf8FromWide(c.extension) : "null");
}

TEST(MIMEMap, ConcurrentFirstUseGivesOneTable) {
  std::vector<std::thread> threads;
  std::vector<const wchar_t*> seen(8);
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = CMIMEMap::GetMIMEType(L"png"); });
  for (auto& t : threads) t.join();
  for (const wchar_t* s : seen) EXPECT_EQ(s, seen[0]);  // the same stored text
  EXPECT_STREQ(seen[0], L"image/png");
}

TEST(Location, PropertyNamesAreCaseSensitive) {
  CHTTPServer::CLocation location(L"/login");
  location.m_Properties[L"Handler"] = L"Authenticate";
  location.m_Properties[L"Auth Cookie"] = L"session";
  EXPECT_EQ(location.GetProperty(L"Handler"), L"Authenticate");
  EXPECT_EQ(location.GetProperty(L"Auth Cookie"), L"session");
  EXPECT_EQ(location.GetProperty(L"handler"), L"");
  EXPECT_EQ(location.GetProperty(L"Missing"), L"");
  // Every missing property answers the same empty string.
  EXPECT_EQ(&location.GetProperty(L"a"), &location.GetProperty(L"b"));
}

}  // namespace
