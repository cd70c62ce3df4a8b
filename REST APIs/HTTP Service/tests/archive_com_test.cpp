// archive_com_test.cpp - the archive system object created on the HTTP library's threads.
//
// Requests over real HTTP reach a handler on a cpprestsdk pool thread, which
// creates the archive's system object there or on a blocking-work thread and
// reads its version. Neither thread initialises COM: once the test's main
// thread (as the service's "MainThread") is in the multithreaded apartment,
// both use it implicitly.
#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "TestServer.h"

#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"

#include <cpprest/containerstream.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

using platform::ComBstr;
using platform::ComPtr;

namespace {

// What one activation saw, as text for the reply body.
std::string ActivateArchiveSystem() {
  APTTYPE type = APTTYPE_NA;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const HRESULT apartment = CoGetApartmentType(&type, &qualifier);
  ComPtr<IArchiveSystem> system;
  HRESULT hr = system.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER);
  ComBstr version;
  if (SUCCEEDED(hr)) {
    ComPtr<IArchiveVersion> versionObject;
    hr = system->GetVersion(versionObject.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = versionObject->GetVersionText(version.ReleaseAndGetAddressOf());
  }
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return platform::FormatA("hr=0x%08X apartment=0x%08X implicit=%d thread=%s version=%s", static_cast<unsigned>(hr),
                           static_cast<unsigned>(apartment), qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA ? 1 : 0, name,
                           platform::Utf8FromWide(version.Str()).c_str());
}

class TextResponse : public CHTTPServer::CRequestHandler::CResponse {
 public:
  explicit TextResponse(const std::string& text)
      : m_body(concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>(text.begin(), text.end()))) {}
  std::uint16_t GetStatusCode() override { return web::http::status_codes::OK; }
  web::http::http_headers& GetHeaders() override { return m_headers; }
  concurrency::streams::istream& GetBody() override { return m_body; }
  std::wstring GetContentType() override { return L"text/plain"; }

 private:
  web::http::http_headers m_headers;
  concurrency::streams::istream m_body;
};

// "/pool" activates on the thread the HTTP library called it on, "/blocking"
// on a blocking-work thread while the pool thread waits.
class ActivationHandler : public CHTTPServer::CRequestHandler {
 public:
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t>, const CParameterMap&) override {
    std::string text;
    if (request.relative_uri().path() == "/blocking") {
      std::promise<std::string> done;
      RunBlockingWork([&done] { done.set_value(ActivateArchiveSystem()); });
      text = done.get_future().get();
    } else {
      text = ActivateArchiveSystem();
    }
    if (std::this_thread::get_id() == m_mainThread) text += " on-main-thread";
    response = std::make_shared<TextResponse>(text);
    return response;
  }

 private:
  std::thread::id m_mainThread = std::this_thread::get_id();
};

class ArchiveOnHttpThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto [status, output] = RunProgram({VN_REGSVR_PATH, "/s", VNARCHIVE_LIBRARY});
    ASSERT_EQ(status, 0) << output;
  }
  // The reply body of a GET of path.
  std::string Get(const std::string& path) {
    const ProbeReply reply = Probe("GET", m_server.base() + path);
    EXPECT_EQ(reply.status, 200);
    return reply.body;
  }

  std::shared_ptr<ActivationHandler> m_handler = std::make_shared<ActivationHandler>();
  TestServer m_server{[this](web::http::http_request&) { return Route{m_handler, {}, {}}; }};
};

struct ThreadRow {
  const char* path;
  const char* threadName;  // the thread's name, or "" for any
};

const ThreadRow kThreads[] = {{"/pool", ""}, {"/blocking", "BlockingWorker"}};

TEST_F(ArchiveOnHttpThreads, CreatedFromThePoolAndFromBlockingWork) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  for (const auto& row : kThreads) {
    SCOPED_TRACE(row.path);
    const std::string body = Get(row.path);
    EXPECT_NE(body.find("hr=0x00000000 apartment=0x00000000 implicit=1 "), std::string::npos) << body;
    EXPECT_NE(body.find("version=Corvellane Archive"), std::string::npos) << body;
    EXPECT_EQ(body.find("on-main-thread"), std::string::npos) << body;
    if (*row.threadName) {
      EXPECT_NE(body.find(std::string("thread=") + row.threadName), std::string::npos) << body;
    }
  }
  CoUninitialize();
}

TEST_F(ArchiveOnHttpThreads, WithoutTheMultithreadedApartmentThereIsNone) {
  for (const auto& row : kThreads) {
    SCOPED_TRACE(row.path);
    const std::string body = Get(row.path);
    EXPECT_NE(body.find("hr=0x800401F0 apartment=0x800401F0 implicit=0 "), std::string::npos) << body;
  }
}

}  // namespace
