// location_test.cpp - the location factory, the login location and the system-information document.
#include "ArchiveFixture.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "TestServer.h"

#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

using Instance = std::shared_ptr<CHTTPServer::CLocation::CInstance>;

// The archive stand-in's version text, as its slot 7 answers it.
constexpr char kVersion[] = "Corvellane Archive 1.0 (Vantrel stand-in)";

class Locations : public ::testing::Test {
 protected:
  void SetUp() override {
    archive = archive_fixture::CreateArchiveSystem();
    listener = std::make_unique<CHTTPServer::CListener>(nullptr, CHTTPServer::CListener::Roots{},
                                                        CHTTPServer::CListener::Mappings{},
                                                        CHTTPServer::CListener::Applications{},
                                                        CHTTPServer::CListener::Parameters{}, 0, archive.Get(), "test");
    hostPath = L"Software\\Vantrel\\Webbridge\\Hosts\\" + platform::WideFromUtf8(scratch.path().filename().string());
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, hostPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              hostKey.put(), nullptr),
              ERROR_SUCCESS);
    setenv("VANTREL_KEYSTORE_DIR", (scratch.path() / "keys").c_str(), 1);
    stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    app.stopEvent = stop.get();
    app.startWorker = [this](const std::wstring& name, std::function<CStatus()> body) {
      workers.emplace_back([name, body] {
        platform::SetCurrentThreadName(name);
        body();
      });
      return CStatus();
    };
  }
  void TearDown() override {
    SetEvent(stop.get());
    listener.reset();
    for (auto& t : workers) t.join();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, hostPath.c_str());
  }

  CStatus Create(Instance& instance, const std::wstring& name, std::map<std::wstring, std::wstring> properties) {
    CHTTPServer::CLocation location(name);
    location.m_Properties = std::move(properties);
    CStatus status;
    CreateLocationInstance(instance, status, app, L"test", hostKey.get(), location, *listener);
    return status;
  }

  TempDir scratch;
  platform::ComPtr<IArchiveSystem> archive;
  std::unique_ptr<CHTTPServer::CListener> listener;
  std::wstring hostPath;
  platform::RegKey hostKey;
  platform::UniqueHandle stop;
  ServiceApplication app;
  std::vector<std::thread> workers;
};

struct FactoryCase {
  const char* name;
  std::map<std::wstring, std::wstring> properties;
  DWORD messageId;  // 0: success
  std::vector<std::wstring> inserts;
};

class LocationFactory : public Locations, public ::testing::WithParamInterface<FactoryCase> {};

TEST_P(LocationFactory, MakesTheNamedHandlerOrFails) {
  Instance instance;
  const CStatus status = Create(instance, L"/where", GetParam().properties);
  if (GetParam().messageId == 0) {
    EXPECT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
    EXPECT_TRUE(instance);
    return;
  }
  ASSERT_FALSE(status.IsOK());
  EXPECT_FALSE(instance);
  EXPECT_EQ(status.GetError()->GetMessageId(), GetParam().messageId);
  ASSERT_EQ(status.GetError()->GetInsertCount(), static_cast<int>(GetParam().inserts.size()));
  for (std::size_t i = 0; i < GetParam().inserts.size(); ++i)
    EXPECT_EQ(status.GetError()->GetInsert(static_cast<int>(i)), GetParam().inserts[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Locations, LocationFactory,
    ::testing::Values(FactoryCase{"SystemInfo", {{L"Handler", L"SystemInfo"}}, 0, {}},
                      FactoryCase{"Authenticate", {{L"Handler", L"Authenticate"}, {L"Auth Cookie", L"sid"}}, 0, {}},
                      FactoryCase{"AuthenticateWithoutCookie", {{L"Handler", L"Authenticate"}}, 0, {}},
                      FactoryCase{"NoHandler", {{L"Other", L"x"}}, 0xC00000CB, {L"/where"}},
                      FactoryCase{"EmptyHandler", {{L"Handler", L""}}, 0xC00000CB, {L"/where"}},
                      FactoryCase{"OtherCase", {{L"Handler", L"systeminfo"}}, 0xC00000CC, {L"/where", L"systeminfo"}},
                      FactoryCase{"Unknown", {{L"Handler", L"Files"}}, 0xC00000CC, {L"/where", L"Files"}}),
    [](const auto& info) { return std::string(info.param.name); });

web::http::http_request Request(const std::string& method) { return web::http::http_request(method); }

TEST_F(Locations, EachInstanceServesOnlyItsMethodExactly) {
  Instance info, login;
  ASSERT_TRUE(Create(info, L"/info", {{L"Handler", L"SystemInfo"}}).IsOK());
  ASSERT_TRUE(Create(login, L"/login", {{L"Handler", L"Authenticate"}}).IsOK());
  struct Case {
    const char* method;
    bool info;
    bool login;
  } cases[] = {{"GET", true, false}, {"POST", false, true}, {"HEAD", false, false},
               {"get", false, false}, {"post", false, false}, {"PUT", false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(bool(info->GetHandler(Request(c.method))), c.info) << c.method;
    EXPECT_EQ(bool(login->GetHandler(Request(c.method))), c.login) << c.method;
  }
}

TEST_F(Locations, TheLastLoginLocationIsTheHostsAuthenticator) {
  EXPECT_FALSE(listener->AuthenticatorSlot());
  Instance first, second;
  ASSERT_TRUE(Create(first, L"/a", {{L"Handler", L"Authenticate"}, {L"Auth Cookie", L"one"}}).IsOK());
  ASSERT_EQ(listener->AuthenticatorSlot().get(),
            static_cast<CHTTPServer::CAuthenticator*>(static_cast<AuthenticateHandler*>(first.get())));
  ASSERT_TRUE(Create(second, L"/b", {{L"Handler", L"Authenticate"}, {L"Auth Cookie", L"two"}}).IsOK());
  EXPECT_EQ(listener->AuthenticatorSlot().get(),
            static_cast<CHTTPServer::CAuthenticator*>(static_cast<AuthenticateHandler*>(second.get())));
  // The slot shares the handler's ownership: the instance outlives its map entry.
  std::weak_ptr<CHTTPServer::CLocation::CInstance> watch = second;
  second.reset();
  EXPECT_FALSE(watch.expired());
  // A handler made for POST keeps the authenticator alive too.
  auto handler = listener->AuthenticatorSlot() ? watch.lock()->GetHandler(Request("POST")) : nullptr;
  listener->AuthenticatorSlot().reset();
  EXPECT_FALSE(watch.expired());
  handler.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(Locations, SystemInfoFailuresComeBackAsTheirHRESULT) {
  for (const wchar_t* slot : {L"IArchiveSystem.7", L"IArchiveVersion.7"}) {
    archive_fixture::InjectFailure(slot, E_ACCESSDENIED);
    Instance instance;
    const CStatus status = Create(instance, L"/info", {{L"Handler", L"SystemInfo"}});
    archive_fixture::InjectFailure(slot, 0);
    ASSERT_FALSE(status.IsOK());
    EXPECT_EQ(status.GetError()->GetHRESULT(), E_ACCESSDENIED) << platform::Utf8FromWide(slot);
    EXPECT_EQ(status.GetError()->GetCategory(), "HRESULT");
  }
}

// The document over HTTP, in both forms, from a handler that outlives the
// instance that made it (a cached handler after a rebuilt listener).
TEST_F(Locations, SystemInfoDocumentByteForByte) {
  Instance instance;
  ASSERT_TRUE(Create(instance, L"/info", {{L"Handler", L"SystemInfo"}}).IsOK());
  auto handler = instance->GetHandler(Request("GET"));
  instance.reset();
  listener.reset();
  TestServer server([&](web::http::http_request&) { return Route{handler, {}, {}}; });

  const ProbeReply xml = Probe("GET", server.base() + "/info");
  ASSERT_EQ(xml.status, 200);
  EXPECT_EQ(xml.body, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SystemInfo><Version>") + kVersion +
                          "</Version></SystemInfo>");
  EXPECT_EQ(xml.Header("Content-Type").value_or(""), "text/xml");

  const ProbeReply json = Probe("GET", server.base() + "/info", {{"Accept", "application/json"}});
  ASSERT_EQ(json.status, 200);
  EXPECT_EQ(json.body, std::string("{\"Version\":\"") + kVersion + "\"}");
  const auto file = scratch.Write("info.json", json.body);
  EXPECT_EQ(RunProgram({"jq", "-r", ".Version", file.string()}).second, std::string(kVersion) + "\n");
}

// The service object's adapter starts a body on a "RegistryChangeWorker" thread.
class LocationTestService : public CServiceApp<LocationTestService> {
 public:
  LocationTestService() : CServiceApp(L"VnLocationTest", L"Location Test", {}) {}
  CStatus Run() override { return CStatus(); }
  std::string GetTraceName() const override { return "VnLocationTest"; }
};

TEST(ServiceApplicationOf, StartsTheServicesRegistryChangeWorker) {
  // The authenticator's watcher and a listener's directory watcher, each on
  // a service of its own (a service's all-done event is set only once).
  for (const wchar_t* worker : {L"RegistryChangeWorker", L"DirectoryWatcher"}) {
    SCOPED_TRACE(platform::Utf8FromWide(worker));
    LocationTestService service;
    const ServiceApplication app = ServiceApplicationOf(service);
    EXPECT_EQ(app.stopEvent, service.GetStopEvent());
    std::promise<std::wstring> name;
    auto seen = name.get_future();
    ASSERT_TRUE(app.startWorker(worker, [&name] {
                     name.set_value(platform::GetCurrentThreadName());
                     return CStatus();
                   }).IsOK());
    ASSERT_EQ(seen.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(seen.get(), worker) << "the worker is named as asked";
    service.WaitForExit(60000);
    EXPECT_EQ(service.GetRunningThreads(), 0);
  }
}

}  // namespace
