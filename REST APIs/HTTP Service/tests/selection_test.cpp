// selection_test.cpp - which handler answers a request, over real HTTP against a fixture tree.
//
// Two hosts: one with a login location (levels 1 to 3, roots "Anon",
// "User", "Admin", web applications, an archive mapping) and one without
// (level 0, the "Unlicensed" root). Each request goes through
// FindRequestHandler under the configuration lock, as the listener calls it.
#include "ArchiveFixture.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "REST APIs/HTTP Service/MIMEMap.h"
#include "TestServer.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <cpprest/containerstream.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;
using Listener = CHTTPServer::CListener;

namespace {

constexpr char kMarker[] = "MARKER-OUTSIDE-THE-ROOT";

// A query handler stand-in: answers with the file it was made for.
class QueryStandIn : public CHTTPServer::CRequestHandler {
 public:
  explicit QueryStandIn(std::wstring path) : m_path(std::move(path)) {}
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request,
                                     vantrel::basic_istring<wchar_t>, const CParameterMap&) override {
    struct Body : CResponse {
      explicit Body(const std::string& text)
          : body(concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>(text.begin(), text.end()))) {}
      std::uint16_t GetStatusCode() override { return 200; }
      web::http::http_headers& GetHeaders() override { return headers; }
      concurrency::streams::istream& GetBody() override { return body; }
      std::wstring GetContentType() override { return L"text/plain"; }
      web::http::http_headers headers;
      concurrency::streams::istream body;
    };
    const std::wstring name = m_path.substr(m_path.find_last_of(L"/\\") + 1);
    response = std::make_shared<Body>("query " + platform::Utf8FromWide(name));
    return response;
  }

 private:
  std::wstring m_path;
};

const bool g_factories = [] {
  for (const wchar_t* type : {L"SQL", L"SEARCH"})
    RegisterRequestHandlerFactory(type, [](std::wstring, std::wstring path) -> std::shared_ptr<CHTTPServer::CRequestHandler> {
      return std::make_shared<QueryStandIn>(std::move(path));
    });
  return true;
}();

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::wstring Wide(const fs::path& p) { return platform::WideFromUtf8(p.string()); }

// Serves every request through the listener's selection.
Router SelectionRouter(Listener& listener) {
  return [&listener](web::http::http_request& request) {
    Route route;
    {
      platform::SrwSharedLock hold(listener.ConfigLock());
      auto [user, handler] = listener.FindRequestHandler(request);
      route.handler = std::move(handler);
      route.user = std::move(user);
      route.parameters = listener.GetParameters();
    }
    if (request.method() == web::http::methods::POST)
      for (auto& [name, value] : FormFields(request.extract_utf8string(true).get())) route.parameters.emplace(name, value);
    return route;
  };
}

class Selection : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared = new Shared(); }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }

  // The fixture tree, the hosts and the logins, made once for the program.
  struct Shared {
    Shared();
    ~Shared();
    ProbeReply Get(const std::string& path, const std::string& who,
                   std::vector<std::pair<std::string, std::string>> headers = {}) const;
    std::string Login(const std::string& user, const std::string& password) const;

    TempDir tree;
    platform::ComPtr<IArchiveSystem> archive;
    std::unique_ptr<Listener> login;    // levels 1 to 3
    std::unique_ptr<Listener> open;     // level 0
    std::unique_ptr<TestServer> loginServer, openServer;
    std::wstring hostPath;
    platform::RegKey hostKey;
    platform::UniqueHandle stop;
    std::vector<std::thread> workers;
    std::map<std::string, std::string> cookies;  // "anonymous", "user", "admin" -> Cookie header
  };
  static Shared* shared;
};
Selection::Shared* Selection::shared = nullptr;

Selection::Shared::Shared() {
  const fs::path& t = tree.path();
  WriteFile(t / "outside" / "secret.txt", kMarker);
  WriteFile(t / "outside" / "secret.GET.txt", kMarker);
  WriteFile(t / "unlicensed" / "free.GET.txt", "free");
  WriteFile(t / "anon" / "a.GET.txt", "anon file");
  WriteFile(t / "anon" / "report.GET.SQL", "SELECT secret FROM anon");
  WriteFile(t / "anon" / "report.GET.SQL~", "SELECT secret FROM backup");
  WriteFile(t / "anon" / "report.GET.SQL.bak", "SELECT secret FROM bak");
  WriteFile(t / "anon" / "old.GET.SQL.bak", "SELECT only FROM bak");
  WriteFile(t / "anon" / "logo.GET.png", "PNG");
  WriteFile(t / "anon" / "sub" / "deep.GET.txt", "deep");
  WriteFile(t / "anon" / "small.bin.GET.txt", "small");
  WriteFile(t / "anon" / "post.POST.txt", "posted");
  WriteFile(t / "user" / "u.GET.txt", "user file");
  WriteFile(t / "admin" / "x.GET.txt", "admin file");
  WriteFile(t / "apps" / "anon" / "page.GET.txt", "anon app");
  WriteFile(t / "apps" / "anon" / "report.GET.SQL", "SELECT app");
  WriteFile(t / "apps" / "user" / "page.GET.txt", "user app");
  WriteFile(t / "apps" / "admin" / "page.GET.txt", "admin app");
  WriteFile(t / "archive" / "Media" / "clip.mov", "movie bytes");
  WriteFile(t / "archive" / "Media" / "clip.webm", "webm bytes");
  WriteFile(t / "archive" / "Mediafiles" / "x", "sibling folder");
  WriteFile(t / "archive" / "A" / "x", "a file");
  fs::create_symlink(t / "outside" / "secret.GET.txt", t / "anon" / "link.GET.txt");
  fs::create_symlink(t / "outside", t / "anon" / "dirlink");
  archive_fixture::MapDrive(L"Q", t / "archive");

  archive = archive_fixture::CreateArchiveSystem();
  const Listener::Roots roots{{1, Wide(t / "anon")}, {2, Wide(t / "user")}, {3, Wide(t / "admin")}};
  const Listener::Applications apps{{1, {{L"/app", Wide(t / "apps" / "anon")}}},
                                    {2, {{L"/uapp", Wide(t / "apps" / "user")}}},
                                    {3, {{L"/xapp", Wide(t / "apps" / "admin")}}}};
  const Listener::Mappings mappings{{L"/media", L"Q:\\Media"}, {L"/a", L"Q:\\A"}, {L"/a-b", L"Q:\\Mediafiles"}};
  login = std::make_unique<Listener>(nullptr, roots, mappings, apps, Listener::Parameters{{L"Registry$Name", L"x"}},
                                     1 << 20, archive.Get(), "login-host");
  open = std::make_unique<Listener>(nullptr, Listener::Roots{{0, Wide(t / "unlicensed")}}, Listener::Mappings{},
                                    Listener::Applications{}, Listener::Parameters{}, 1 << 20, archive.Get(),
                                    "open-host");

  // The login host's accounts and its "Authenticate" location.
  setenv("VANTREL_KEYSTORE_DIR", (t / "keys").c_str(), 1);
  hostPath = L"Software\\Vantrel\\Webbridge\\Hosts\\" + platform::WideFromUtf8(t.filename().string());
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, hostPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hostKey.put(), nullptr);
  for (const auto& [name, admin] : {std::pair{L"alice", 0u}, std::pair{L"root", 1u}}) {
    platform::RegKey user;
    RegCreateKeyExW(hostKey.get(), (std::wstring(L"Users\\") + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    user.put(), nullptr);
    platform::RegWriteString(user.get(), L"Password", L"pw");
    platform::RegWriteDword(user.get(), L"Administrator", admin);
  }
  stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ServiceApplication app{[this](const std::wstring&, std::function<CStatus()> body) {
                           workers.emplace_back([body] { body(); });
                           return CStatus();
                         },
                         stop.get()};
  CHTTPServer::CLocation location(L"/login");
  location.m_Properties = {{L"Handler", L"Authenticate"}, {L"Auth Cookie", L"sid"}};
  std::shared_ptr<CHTTPServer::CLocation::CInstance> instance;
  CStatus status;
  CreateLocationInstance(instance, status, app, L"login-host", hostKey.get(), location, *login);
  EXPECT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  login->AddLocation(L"/login", instance);
  CHTTPServer::CLocation info(L"/info");
  info.m_Properties = {{L"Handler", L"SystemInfo"}};
  CreateLocationInstance(instance, status, app, L"login-host", hostKey.get(), info, *login);
  login->AddLocation(L"/info", instance);

  loginServer = std::make_unique<TestServer>(SelectionRouter(*login));
  openServer = std::make_unique<TestServer>(SelectionRouter(*open));
  cookies["anonymous"] = "";
  cookies["user"] = Login("alice", "pw");
  cookies["admin"] = Login("root", "pw");
}

Selection::Shared::~Shared() {
  loginServer.reset();
  openServer.reset();
  SetEvent(stop.get());
  login.reset();
  open.reset();
  for (auto& w : workers) w.join();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, hostPath.c_str());
}

std::string Selection::Shared::Login(const std::string& user, const std::string& password) const {
  const ProbeReply reply = Probe("POST", loginServer->base() + "/login",
                                 {{"Content-Type", "application/x-www-form-urlencoded"}},
                                 "user=" + user + "&password=" + password);
  const std::string cookie = reply.Header("Set-Cookie").value_or("");
  EXPECT_FALSE(cookie.empty()) << user << " " << reply.status;
  return cookie.substr(0, cookie.find(';'));
}

ProbeReply Selection::Shared::Get(const std::string& path, const std::string& who,
                                  std::vector<std::pair<std::string, std::string>> headers) const {
  if (who == "open") return Probe("GET", openServer->base() + path, headers);
  const std::string& cookie = cookies.at(who);
  if (!cookie.empty()) headers.emplace_back("Cookie", cookie);
  return Probe("GET", loginServer->base() + path, headers);
}

// --- levels x roots and web applications ---

struct LevelCase {
  const char* who;
  const char* path;
  int status;
  const char* body;
  const char* cacheControl;  // nullptr: none
};

TEST_F(Selection, LevelsSearchTheirRootAndTheLowerOnes) {
  const LevelCase cases[] = {
      {"anonymous", "/a", 200, "anon file", nullptr},
      {"anonymous", "/u", 404, "", nullptr},
      {"anonymous", "/x", 404, "", nullptr},
      {"anonymous", "/free", 404, "", nullptr},
      {"anonymous", "/sub/deep", 200, "deep", nullptr},
      {"anonymous", "/app/page", 200, "anon app", "max-age=3600"},
      {"anonymous", "/uapp/page", 404, "", nullptr},
      {"anonymous", "/app", 404, "", nullptr},
      {"user", "/a", 200, "anon file", nullptr},
      {"user", "/u", 200, "user file", nullptr},
      {"user", "/x", 404, "", nullptr},
      {"user", "/free", 404, "", nullptr},
      {"user", "/uapp/page", 200, "user app", "max-age=3600"},
      {"user", "/app/page", 200, "anon app", "max-age=3600"},
      {"user", "/xapp/page", 404, "", nullptr},
      {"admin", "/a", 200, "anon file", nullptr},
      {"admin", "/u", 200, "user file", nullptr},
      {"admin", "/x", 200, "admin file", nullptr},
      {"admin", "/free", 404, "", nullptr},
      {"admin", "/xapp/page", 200, "admin app", "max-age=3600"},
      {"admin", "/app/page", 200, "anon app", "max-age=3600"},
      {"open", "/free", 200, "free", nullptr},
      {"open", "/a", 303, "", nullptr},
      {"open", "/ab", 303, "", nullptr},
      {"open", "/", 404, "", nullptr},
      {"anonymous", "/logo", 200, "PNG", nullptr},
      {"admin", "/info", 200, nullptr, "private"},
  };
  for (const LevelCase& c : cases) {
    const ProbeReply reply = shared->Get(c.path, c.who);
    SCOPED_TRACE(std::string(c.who) + " " + c.path);
    EXPECT_EQ(reply.status, c.status);
    if (c.body != nullptr) {
      EXPECT_EQ(reply.body, c.body);
    }
    EXPECT_EQ(reply.Header("Cache-Control"), c.cacheControl ? std::optional<std::string>(c.cacheControl) : std::nullopt);
  }
  EXPECT_EQ(shared->Get("/logo", "anonymous").Header("Content-Type").value_or(""), "image/png");
  EXPECT_EQ(shared->Get("/open-redirect", "open").Header("Location").value_or(""), "/");
}

TEST_F(Selection, HandlerFilesAreTheirKeyAndOneTypeExactly) {
  struct Case {
    const char* who;
    const char* path;
    int status;
    const char* body;
  } cases[] = {
      // The registered type wins over the backups beside it.
      {"anonymous", "/report", 200, "query report.GET.SQL"},
      // A backup alone is no handler file; neither is a longer name.
      {"anonymous", "/old", 404, ""},
      {"anonymous", "/rep", 404, ""},
      {"anonymous", "/report.GET", 404, ""},
      // The ".xslt" retry finds the query handler, also inside a web application.
      {"anonymous", "/report.xslt", 200, "query report.GET.SQL"},
      {"anonymous", "/app/report.xslt", 200, "query report.GET.SQL"},
      // The method is part of the key.
      {"anonymous", "/post", 404, ""},
  };
  for (const auto& c : cases) {
    const ProbeReply reply = shared->Get(c.path, c.who);
    SCOPED_TRACE(c.path);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);
    EXPECT_EQ(reply.body.find("SELECT"), std::string::npos);
  }
  const ProbeReply posted = Probe("POST", shared->loginServer->base() + "/post", {}, "x");
  EXPECT_EQ(posted.status, 200);
  EXPECT_EQ(posted.body, "posted");
}

// --- hostile paths ---

TEST_F(Selection, HostilePathsNeverLeaveTheRoot) {
  const char* paths[] = {
      "/../outside/secret",        "/../outside/secret.GET.txt", "/%2e%2e/outside/secret", "/%2E%2E/outside/secret",
      "/sub/../../outside/secret", "/..%2foutside%2fsecret",     "/..%5coutside%5csecret", "/sub%5c..%5c..%5coutside%5csecret",
      "/./a",                      "/a%00.html",                 "/small.bin%00.html",     "/%00",
      "/a%01",                     "/a%0d%0a",                   "/Q:%5csecret",           "/*",
      "/%2a",                      "/a%3f",                      "/%3f",                   "/link",
      "/dirlink/secret",           "/dirlink/../a",              "/media/../../outside/secret.txt",
      "/media/%2e%2e/%2e%2e/outside/secret.txt",                "/sub/.",                 "/a%ff",
  };
  for (const char* who : {"anonymous", "admin", "open"}) {
    for (const char* path : paths) {
      std::vector<std::string> argv{"curl", "-s", "--path-as-is", "-o", "-", "-w", "\n%{http_code}"};
      if (std::string(who) != "open" && !shared->cookies.at(who).empty()) {
        argv.push_back("-H");
        argv.push_back("Cookie: " + shared->cookies.at(who));
      }
      argv.push_back((std::string(who) == "open" ? shared->openServer->base() : shared->loginServer->base()) + path);
      const auto [rc, out] = RunProgram(argv);
      SCOPED_TRACE(std::string(who) + " " + path);
      ASSERT_EQ(rc, 0);
      const std::string code = out.substr(out.rfind('\n') + 1);
      EXPECT_NE(code, "200");
      EXPECT_EQ(out.find(kMarker), std::string::npos);
    }
  }
}

// --- mapped archive files ---

std::pair<DWORD, DWORD> Identity(IArchiveSystem* archive, const std::wstring& path) {
  platform::ComPtr<IArchiveObject> item;
  EXPECT_EQ(archive->GetArchiveObject(platform::ComBstr(path), item.ReleaseAndGetAddressOf()), S_OK);
  platform::ComPtr<IArchiveItems> items;
  EXPECT_EQ(item.As(&items), S_OK);
  BYTE record[48] = {};
  EXPECT_EQ(items->GetItem(48, record, sizeof record), S_OK);
  auto u32 = [&](int at) { return DWORD(record[at] | record[at + 1] << 8 | record[at + 2] << 16 | DWORD(record[at + 3]) << 24); };
  return {u32(32), u32(36)};
}

// The ETag an independent implementation gives for an ETag text.
std::string ETagOf(const std::wstring& text) {
  return RunProgram({"/usr/bin/python3", "-c",
                     "import base64,struct,sys\nh=0xCBF29CE484222325\nfor b in sys.argv[1].encode('utf-16-le'):\n"
                     " h^=b\n h=(h*0x100000001B3)&0xFFFFFFFFFFFFFFFF\n"
                     "print(base64.b64encode(struct.pack('<Q',h)).decode(),end='')",
                     platform::Utf8FromWide(text)})
      .second;
}

TEST_F(Selection, MappedFilesCarryTheirETagAndAnswer304) {
  const auto [id1, id2] = Identity(shared->archive.Get(), L"Q:\\Media\\clip.mov");
  const std::string etag = ETagOf(platform::FormatW(L"Q:\\Media\\clip.mov-%8.8X-%8.8X", id1, id2));
  const ProbeReply reply = shared->Get("/media/clip.mov", "user");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "movie bytes");
  EXPECT_EQ(reply.Header("ETag").value_or(""), etag);
  EXPECT_EQ(reply.Header("Cache-Control").value_or(""), "private");
  EXPECT_EQ(reply.Header("Content-Type").value_or(""), platform::Utf8FromWide(CMIMEMap::GetMIMEType(L"mov")));

  EXPECT_EQ(shared->Get("/media/clip.mov", "admin", {{"If-None-Match", etag}}).status, 304);
  EXPECT_EQ(shared->Get("/media/clip.mov", "user", {{"If-None-Match", "\"" + etag + "\""}}).status, 200);
  // A level 1 request never reaches the mapping.
  EXPECT_EQ(shared->Get("/media/clip.mov", "anonymous").status, 404);

  // A rewritten file has a new identity, so a new ETag.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteFile(shared->tree.path() / "archive" / "Media" / "clip.mov", "movie bytes, edited");
  const ProbeReply again = shared->Get("/media/clip.mov", "user", {{"If-None-Match", etag}});
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.Header("ETag").value_or(etag), etag);
  EXPECT_EQ(again.body, "movie bytes, edited");
  WriteFile(shared->tree.path() / "archive" / "Media" / "clip.mov", "movie bytes");
}

TEST_F(Selection, MappedExtensionsViewsAndBoundaries) {
  // "extension" opens the other file and keeps the original's MIME type.
  const ProbeReply webm = shared->Get("/media/clip.mov?extension=webm", "user");
  EXPECT_EQ(webm.status, 200);
  EXPECT_EQ(webm.body, "webm bytes");
  EXPECT_EQ(webm.Header("Content-Type").value_or(""), platform::Utf8FromWide(CMIMEMap::GetMIMEType(L"mov")));
  for (const char* bad : {"?extension=..%2f..%2foutside%2fsecret.txt", "?extension=/etc/passwd", "?extension=w%00",
                          "?extension=..", "?extension=a%5cb"})
    EXPECT_NE(shared->Get(std::string("/media/clip.mov") + bad, "user").status, 200) << bad;

  // "view": the companion the archive names, with its own ETag.
  const auto [id1, id2] = Identity(shared->archive.Get(), L"Q:\\Media\\clip.mov");
  const std::wstring companion = platform::FormatW(L".companions\\Media\\clip.mov\\thumb-%X-%X.jpg", id1, id2);
  WriteFile(shared->tree.path() / "archive" / ".companions" / "Media" / "clip.mov" /
                platform::Utf8FromWide(platform::FormatW(L"thumb-%X-%X.jpg", id1, id2)),
            "thumbnail");
  const ProbeReply view = shared->Get("/media/clip.mov?view=thumb.jpg", "user");
  EXPECT_EQ(view.status, 200);
  EXPECT_EQ(view.body, "thumbnail");
  EXPECT_EQ(view.Header("ETag").value_or(""), ETagOf(companion));
  EXPECT_EQ(view.Header("Cache-Control").value_or(""), "private");
  EXPECT_EQ(shared->Get("/media/clip.mov?view=thumb.jpg", "user", {{"If-None-Match", ETagOf(companion)}}).status, 304);
  EXPECT_NE(shared->Get("/media/clip.mov?view=" + std::string(64, 'v'), "user").status, 200);
  EXPECT_NE(shared->Get("/media/clip.mov?view=missing.jpg", "user").status, 200);

  // Boundaries: a sibling folder is not the mapping; the longest prefix wins.
  EXPECT_EQ(shared->Get("/mediafiles/x", "user").status, 404);
  const ProbeReply a = shared->Get("/a/x", "user");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "a file");
  // An extension is the last segment's only: "extension" is added to the
  // file's name, not put in place of the folder's dotted part.
  WriteFile(shared->tree.path() / "archive" / "Media" / "dir.v2" / "file.webm", "file in a dotted folder");
  const ProbeReply dotted = shared->Get("/media/dir.v2/file?extension=webm", "user");
  EXPECT_EQ(dotted.status, 200);
  EXPECT_EQ(dotted.body, "file in a dotted folder");
  EXPECT_EQ(dotted.Header("Content-Type").value_or(""), platform::Utf8FromWide(CMIMEMap::GetMIMEType(L"")));
}

TEST_F(Selection, ATranscodersTemporaryFileIsNeverServed) {
  // The same bytes under an ordinary name are served, so the name alone refuses them.
  WriteFile(shared->tree.path() / "archive" / "Media" / "vntranscode-77-0.clip.webm", "half a transcode");
  EXPECT_EQ(shared->Get("/media/vntranscode-77-0.clip.webm", "user").status, 200);
  WriteFile(shared->tree.path() / "archive" / "Media" / ".~vntranscode-77-0.clip.webm", "half a transcode");
  WriteFile(shared->tree.path() / "archive" / "Media" / ".~vntranscode-77-1.clip", "half a transcode");
  // A provider's own partial output (renamed into place once whole) likewise.
  WriteFile(shared->tree.path() / "archive" / "Media" / ".~framesight.Preview-1-2.webm", "half a transcode");
  for (const char* path : {"/media/.~vntranscode-77-0.clip.webm", "/media/.~VNTRANSCODE-77-0.clip.webm",
                           "/media/%2e%7evntranscode-77-0.clip.webm", "/media/.~vntranscode-77-1.clip?extension=webm",
                           "/media/.~framesight.Preview-1-2.webm", "/media/.~FRAMESIGHT.preview-1-2.webm"}) {
    const ProbeReply reply = shared->Get(path, "user");
    EXPECT_NE(reply.status, 200) << path;
    EXPECT_EQ(reply.body.find("half a transcode"), std::string::npos) << path;
  }
}

// --- the cache and the miss events ---

web::http::http_request RequestFor(const std::string& path) {
  web::http::http_request request(web::http::methods::GET);
  request.set_request_uri(web::uri(path));
  return request;
}

TEST_F(Selection, AMissIsReportedOnceAndRememberedUntilTheCacheEmpties) {
  const auto before = archive_fixture::EventsWithId(0xC00007D0).size();
  EXPECT_EQ(shared->Get("/later", "anonymous").status, 404);
  EXPECT_EQ(shared->Get("/later", "anonymous").status, 404);
  auto events = archive_fixture::EventsWithId(0xC00007D0);
  ASSERT_EQ(events.size(), before + 1);
  EXPECT_EQ(events.back(), (std::vector<std::wstring>{L"login-host", L"/later"}));
  WriteFile(shared->tree.path() / "anon" / "later.GET.txt", "now here");
  EXPECT_EQ(shared->Get("/later", "anonymous").status, 404);  // still the remembered miss
  shared->login->ClearHandlerCache();
  EXPECT_EQ(shared->Get("/later", "anonymous").body, "now here");
  // Level 0 misses are neither cached nor reported.
  EXPECT_EQ(shared->Get("/nothing", "open").status, 303);
  EXPECT_EQ(shared->open->HandlerCacheSize(), 0u);
  EXPECT_EQ(archive_fixture::EventsWithId(0xC00007D0).size(), before + 1);
}

TEST_F(Selection, ConcurrentRequestsForOneKeyShareTheFirstInsertedHandler) {
  for (int round = 0; round < 20; ++round) {
    shared->login->ClearHandlerCache();
    std::vector<std::shared_ptr<CHTTPServer::CRequestHandler>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
      threads.emplace_back([&seen, i] {
        const auto request = RequestFor("/a");
        platform::SrwSharedLock hold(shared->login->ConfigLock());
        seen[i] = shared->login->FindRequestHandler(request).second;
        // Misses beside it push the cache towards its limit while hits touch entries.
        for (int j = 0; j < 50; ++j) shared->login->FindRequestHandler(RequestFor("/c" + std::to_string(i * 100 + j)));
      });
    for (auto& t : threads) t.join();
    for (const auto& handler : seen) {
      ASSERT_TRUE(handler);
      EXPECT_EQ(handler, seen[0]);
    }
  }
}

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

TEST_F(Selection, RandomMissesKeepMemoryFlatAndTheEventsCapped) {
  shared->login->ClearHandlerCache();
  const auto before = archive_fixture::EventsWithId(0xC00007D0).size();
  std::mt19937_64 random(42);
  auto miss = [&] {
    const auto request = RequestFor(platform::Utf8FromWide(platform::FormatW(L"/miss-%I64u", random())));
    platform::SrwSharedLock hold(shared->login->ConfigLock());
    EXPECT_FALSE(shared->login->FindRequestHandler(request).second);
  };
  for (int i = 0; i < 20000; ++i) miss();
  const long warm = ResidentKiB();
  for (int i = 0; i < 80000; ++i) miss();
  const long after = ResidentKiB();
  EXPECT_LE(shared->login->HandlerCacheSize(), Listener::kHandlerCacheLimit);
  EXPECT_EQ(archive_fixture::EventsWithId(0xC00007D0).size() - before, Listener::kMissEventLimit);
  EXPECT_LT(after - warm, 16 * 1024) << "resident KiB " << warm << " -> " << after;
  // Known handlers are still found afterwards.
  EXPECT_EQ(shared->Get("/a", "anonymous").body, "anon file");
}

}  // namespace
