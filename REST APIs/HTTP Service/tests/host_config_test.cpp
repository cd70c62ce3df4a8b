// host_config_test.cpp - a host's registry values, the listener built from them, and rebuilds.
//
// Each case writes a host (and shared "Applications" values) into the test's
// own registry, builds it with CHTTPServer::Start against the archive
// stand-in (drive Q: mapped to a fixture folder) and looks at what the
// listener was given. The event texts are the program's own message module,
// so the insert counts checked here are the ones Webbridge reports with.
#include "ArchiveFixture.h"
#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/Listener.h"
#include "REST APIs/HTTP Service/LocalHandlers.h"
#include "TestServer.h"

#include "LibService/Status.h"
#include "platform/base/testing/free_port.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>
#include <utility>

namespace fs = std::filesystem;
using Listener = CHTTPServer::CListener;

namespace {

std::wstring Wide(const fs::path& p) { return platform::WideFromUtf8(p.string()); }

// One registry key of the case, written through the platform's calls.
class Key {
 public:
  Key(HKEY parent, const std::wstring& path) {
    RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.put(), nullptr);
  }
  Key& Str(const std::wstring& name, const std::wstring& value) {
    platform::RegWriteString(m_key.get(), name, value);
    return *this;
  }
  Key& Dword(const std::wstring& name, DWORD value) {
    platform::RegWriteDword(m_key.get(), name, value);
    return *this;
  }
  // A number written as a DWORD or as its text.
  Key& Number(const std::wstring& name, const wchar_t* text, bool asDword) {
    return asDword ? Dword(name, static_cast<DWORD>(std::wcstoul(text, nullptr, 10))) : Str(name, text);
  }
  Key& Qword(const std::wstring& name, ULONGLONG value) {
    platform::RegWriteQword(m_key.get(), name, value);
    return *this;
  }
  HKEY get() const { return m_key.get(); }

 private:
  platform::RegKey m_key;
};

class HostConfig : public ::testing::Test {
 public:
  void SetUp() override {
    static std::atomic<int> counter{0};
    base = L"Software\\Vantrel\\HostConfigTests\\" + std::to_wstring(++counter);
    hosts.emplace(HKEY_LOCAL_MACHINE, base + L"\\Hosts");
    applications.emplace(HKEY_LOCAL_MACHINE, base + L"\\Applications");
    fs::create_directories(scratch.path() / "archive" / "Media");
    fs::create_directories(scratch.path() / "archive" / "rel");
    fs::create_directories(scratch.path() / "www");
    archive_fixture::MapDrive(L"Q", scratch.path() / "archive");
    archiveSystem = archive_fixture::CreateArchiveSystem();
  }
  void TearDown() override {
    server.reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, base.c_str());
  }

  Key Host(const std::wstring& name) { return Key(hosts->get(), name); }
  // A fresh registry and server for the next row of a table.
  void Fresh() {
    TearDown();
    SetUp();
  }
  // A host that opens: http on a free loopback port with a root.
  Key OpenHost(const std::wstring& name = L"127.0.0.1") {
    Key key = Host(name);
    key.Str(L"Protocol", L"http").Dword(L"Port", static_cast<DWORD>(FreePort())).Str(L"Unlicensed Root", Wide(www()));
    return key;
  }
  fs::path www() const { return scratch.path() / "www"; }

  // Starts the server; the first failing host's failure, if any (a host
  // fails alone: the start itself goes on).
  CStatus Start() {
    server = std::make_unique<CHTTPServer>();
    CStatus status;
    server->Start(status, archiveSystem.Get(), hosts->get(), applications->get());
    if (!status.IsOK()) return status;
    for (const auto& [name, failure] : server->GetHostFailures())
      if (!failure.IsOK()) return failure;
    return status;
  }
  // The start's own status, whatever the hosts do.
  CStatus StartAll() {
    server = std::make_unique<CHTTPServer>();
    CStatus status;
    server->Start(status, archiveSystem.Get(), hosts->get(), applications->get());
    return status;
  }
  CStatus Rebuild(const std::wstring& host) {
    CStatus status;
    server->CreateListener(status, applications->get(), hosts->get(), host);
    return status;
  }
  Listener* Get(const std::string& host) { return server->FindListener(host); }

  TempDir scratch;
  std::wstring base;
  std::optional<Key> hosts;
  std::optional<Key> applications;
  platform::ComPtr<IArchiveSystem> archiveSystem;
  std::unique_ptr<CHTTPServer> server;
};

std::wstring Parameter(Listener& listener, const std::wstring& name) {
  const auto found = listener.GetParameters().find(name);
  return found == listener.GetParameters().end() ? L"(none)" : found->second;
}

}  // namespace

struct GrammarCase {
  const char* name;
  const char* host;
  std::function<void(HostConfig&)> write;
  std::function<void(Listener&)> expect;
};

TEST_F(HostConfig, GrammarTable) {
  const std::vector<GrammarCase> cases = {
      {"no values: https, 443, path /, the default range, not opened", "h.example",
       [](HostConfig& t) { t.Host(L"h.example").Str(L"Name", L"x"); },
       [](Listener& l) {
         EXPECT_EQ(l.GetURI().to_string(), "https://h.example:443/");
         EXPECT_EQ(l.GetDefaultRange(), 0x100000u);
         EXPECT_FALSE(l.IsOpen());
       }},
      {"the host's Port string beats a Port DWORD under Applications", "h.example",
       [](HostConfig& t) {
         t.applications->Dword(L"Port", 8081);
         t.Host(L"h.example").Str(L"Port", L"8082");
       },
       [](Listener& l) { EXPECT_EQ(l.GetURI().port(), 8082); }},
      {"an empty Protocol or Port is ignored", "h.example",
       [](HostConfig& t) { t.Host(L"h.example").Str(L"Protocol", L"").Str(L"Port", L""); },
       [](Listener& l) { EXPECT_EQ(l.GetURI().to_string(), "https://h.example:443/"); }},
      {"the first root of a level wins: Applications before the host", "127.0.0.1",
       [this](HostConfig& t) {
         for (const char* d : {"shared", "own", "admin"}) fs::create_directories(www() / d);
         t.applications->Str(L"User Root", Wide(www() / "shared"));
         t.OpenHost().Str(L"User Root", Wide(www() / "own")).Str(L"admin root", Wide(www() / "admin"));
       },
       [this](Listener& l) {
         EXPECT_EQ(l.GetRoots(), (Listener::Roots{{0, Wide(www())}, {2, Wide(www() / "shared")},
                                                  {3, Wide(www() / "admin")}}));
         EXPECT_TRUE(l.IsOpen());
       }},
      {"DWORD, QWORD and other strings are parameters", "h.example",
       [](HostConfig& t) {
         t.Host(L"h.example")
             .Dword(L"Count", 7)
             .Qword(L"Big", 1ull << 40)
             .Qword(L"Port", 9)
             .Str(L"Default Range", L"5")
             .Str(L"Empty", L"")
             .Dword(L"Default Range", 64);
       },
       [](Listener& l) {
         EXPECT_EQ(Parameter(l, L"Registry$Count"), L"7");
         EXPECT_EQ(Parameter(l, L"Registry$Big"), L"1099511627776");
         EXPECT_EQ(Parameter(l, L"Registry$Port"), L"9");
         EXPECT_EQ(l.GetURI().port(), 443);
         EXPECT_EQ(Parameter(l, L"Registry$Empty"), L"(none)");
         EXPECT_EQ(l.GetDefaultRange(), 64u);
       }},
      {"the TLS files are no parameters", "h.example",
       [](HostConfig& t) { t.Host(L"h.example").Str(L"Certificate File", L"/c.pem").Str(L"Key File", L"/k.pem"); },
       [](Listener& l) {
         EXPECT_EQ(Parameter(l, L"Registry$Certificate File"), L"(none)");
         EXPECT_EQ(Parameter(l, L"Registry$Key File"), L"(none)");
       }},
      {"mappings: \\ gets 0, a relative value 0/, a drive value stays; empty adds nothing", "h.example",
       [](HostConfig& t) {
         t.Host(L"h.example")
             .Str(L"/a", L"\\Media")
             .Str(L"/b", L"rel")
             .Str(L"/c", L"Q:\\Media")
             .Str(L"/d", L"");
       },
       [](Listener& l) {
         const auto& m = l.GetMappings();
         ASSERT_EQ(m.size(), 3u);
         EXPECT_EQ(m.at(L"/a"), m.at(L"/c"));
         EXPECT_NE(m.at(L"/b"), m.at(L"/c"));
         EXPECT_EQ(Parameter(l, L"Directory$a"), m.at(L"/a"));
         EXPECT_EQ(Parameter(l, L"Directory$b"), m.at(L"/b"));
       }},
      {"web applications: the folder of the value; an unknown level word is dropped", "h.example",
       [](HostConfig& t) {
         t.Host(L"h.example")
             .Str(L"User/app", L"C:/apps/app/index.htm")
             .Str(L"anon/other", L"C:\\o\\start.htm")
             .Str(L"Guest/x", L"C:\\g\\x.htm");
       },
       [](Listener& l) {
         EXPECT_EQ(l.GetApplications(),
                   (Listener::Applications{{1, {{L"/other", L"C:\\o"}}}, {2, {{L"/app", L"C:\\apps\\app"}}}}));
       }},
      {"the named application's values come between Applications and the host", "h.example",
       [](HostConfig& t) {
         t.applications->Str(L"Tone", L"shared");
         Key(t.applications->get(), L"Gallery").Str(L"Tone", L"app").Str(L"Shade", L"app").Str(L"Port", L"8100");
         t.Host(L"h.example").Str(L"Application", L"Gallery").Str(L"Shade", L"host");
       },
       [](Listener& l) {
         EXPECT_EQ(Parameter(l, L"Registry$Tone"), L"shared");
         EXPECT_EQ(Parameter(l, L"Registry$Shade"), L"app");
         EXPECT_EQ(l.GetURI().port(), 8100);
       }},
  };
  for (const GrammarCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.write(*this);
    const CStatus status = Start();
    ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
    Listener* listener = Get(c.host);
    ASSERT_NE(listener, nullptr);
    c.expect(*listener);
  }
}

struct FailureCase {
  const char* name;
  std::function<void(HostConfig&)> write;
  DWORD messageId;
  std::vector<std::wstring> inserts;
};

TEST_F(HostConfig, FailingHostsTable) {
  const std::vector<FailureCase> cases = {
      {"an unresolvable mapping", [](HostConfig& t) { t.Host(L"h.example").Str(L"/x", L"missing"); }, 0xC00000C9,
       {L"0/missing", L"h.example"}},
      {"an empty root",
       [](HostConfig& t) { t.Host(L"h.example").Str(L"Protocol", L"http").Str(L"Unlicensed Root", L""); }, 0xC00000C9,
       {L"", L"h.example"}},
      {"a root that does not exist",
       [](HostConfig& t) {
         t.Host(L"h.example").Str(L"Protocol", L"http").Str(L"Anon Root", Wide(t.scratch.path() / "none"));
       },
       0xC00000C9, {Wide(scratch.path() / "none"), L"h.example"}},
      {"https without a certificate", [](HostConfig& t) { t.Host(L"h.example").Str(L"User Root", Wide(t.www())); },
       0xC00000D0, {L"h.example", L"Certificate File", L"no file is named"}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.write(*this);
    const CStatus status = Start();
    ASSERT_FALSE(status.IsOK());
    const CError* error = status.GetError();
    EXPECT_EQ(error->GetMessageId(), c.messageId);
    ASSERT_EQ(error->GetInsertCount(), static_cast<int>(c.inserts.size()));
    for (int i = 0; i < error->GetInsertCount(); ++i) EXPECT_EQ(error->GetInsert(i), c.inserts[i]) << i;
    EXPECT_EQ(Get("h.example"), nullptr);
  }
}

TEST_F(HostConfig, AHostWithoutRootsIsKeptButNeverOpens) {
  Host(L"127.0.0.1").Str(L"Protocol", L"http").Dword(L"Port", static_cast<DWORD>(FreePort()));
  ASSERT_TRUE(Start().IsOK());
  ASSERT_NE(Get("127.0.0.1"), nullptr);
  EXPECT_FALSE(Get("127.0.0.1")->IsOpen());
}

// "Port" as DWORD and as text: only 1..65535 is a port; anything else fails
// that host alone (no wrap to port % 65536, no port the kernel picks).
TEST_F(HostConfig, PortsOutsideOneTo65535FailTheirHostAlone) {
  struct PortCase {
    const wchar_t* text;
    bool accepted;
  };
  const PortCase cases[] = {{L"0", false}, {L"1", true}, {L"65535", true}, {L"65536", false}, {L"70000", false}};
  for (const bool asDword : {true, false}) {
    for (const PortCase& c : cases) {
      SCOPED_TRACE(platform::Utf8FromWide(c.text) + (asDword ? " as DWORD" : " as text"));
      Fresh();
      // No root: the host is built but never binds, so ports 1 and 65535 need not be free.
      Key host = Host(L"h.example");
      host.Str(L"Protocol", L"http").Number(L"Port", c.text, asDword);
      const CStatus status = Start();
      if (c.accepted) {
        ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
        ASSERT_NE(Get("h.example"), nullptr);
        EXPECT_EQ(Get("h.example")->GetURI().port(), static_cast<int>(std::wcstoul(c.text, nullptr, 10)));
      } else {
        ASSERT_FALSE(status.IsOK());
        EXPECT_EQ(status.GetError()->GetMessageId(), 0xC000012Cu);
        const std::wstring text = status.GetError()->GetInsert(0);
        EXPECT_NE(text.find(std::wstring(L"the port ") + c.text + L" of host h.example"), std::wstring::npos)
            << platform::Utf8FromWide(text);
        EXPECT_EQ(Get("h.example"), nullptr);
      }
    }
  }
}

// No host's failure stops the start or another host: hosts named by a name
// that resolves listen on its addresses, one that does not resolve fails
// alone, naming itself; so does a host with a missing root.
TEST_F(HostConfig, StartGoesPastFailingHostsAndResolvesNames) {
  // Sorted before the hosts that work, so a start that stopped there would miss them.
  Host(L"0-missing-root").Str(L"Protocol", L"http").Dword(L"Port", static_cast<DWORD>(FreePort()))
      .Str(L"Unlicensed Root", Wide(scratch.path() / "missing"));
  Host(L"1-no-such-host.invalid").Str(L"Protocol", L"http").Dword(L"Port", static_cast<DWORD>(FreePort()))
      .Str(L"Unlicensed Root", Wide(www()));
  OpenHost(L"localhost");
  OpenHost(L"127.0.0.1");
  std::ofstream(www() / "page.GET.htm") << "page";
  const CStatus status = StartAll();
  ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  for (const char* name : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(name);
    ASSERT_NE(Get(name), nullptr);
    ASSERT_TRUE(Get(name)->IsOpen());
    const std::string url = "http://127.0.0.1:" + std::to_string(Get(name)->GetURI().port()) + "/page";
    EXPECT_EQ(Probe("GET", url).body, "page");
  }
  const auto failures = server->GetHostFailures();
  ASSERT_EQ(failures.size(), 2u);
  const CError* root = failures.at("0-missing-root").GetError();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->GetMessageId(), 0xC00000C9u);
  const CError* name = failures.at("1-no-such-host.invalid").GetError();
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->GetMessageId(), 0xC000012Cu);
  const std::wstring text = name->GetInsert(0);
  EXPECT_NE(text.find(L"no-such-host.invalid"), std::wstring::npos) << platform::Utf8FromWide(text);
  EXPECT_NE(text.find(L"No such host is known."), std::wstring::npos) << platform::Utf8FromWide(text);
  EXPECT_EQ(Get("0-missing-root"), nullptr);
  EXPECT_EQ(Get("1-no-such-host.invalid"), nullptr);
}

// A failing host does not stop the walk over "Hosts": a new host still
// starts, a deleted one still goes, and the failing one is kept for a retry.
TEST_F(HostConfig, RefreshHostsWalksPastAFailingHost) {
  OpenHost(L"127.0.0.1");
  ASSERT_TRUE(Start().IsOK());
  const std::string deletedUrl = Get("127.0.0.1")->GetURI().to_string();
  // Sorted before the new host, so a walk that stopped there would miss it.
  Host(L"127.0.0.2").Str(L"Protocol", L"http").Str(L"Unlicensed Root", Wide(scratch.path() / "missing"));
  OpenHost(L"127.0.0.3");
  ASSERT_EQ(RegDeleteTreeW(hosts->get(), L"127.0.0.1"), ERROR_SUCCESS);
  server->RefreshHosts(hosts->get(), applications->get());
  EXPECT_EQ(Get("127.0.0.2"), nullptr) << "the failing host has no listener";
  ASSERT_NE(Get("127.0.0.3"), nullptr) << "the new host after it starts";
  EXPECT_TRUE(Get("127.0.0.3")->IsOpen());
  EXPECT_EQ(Get("127.0.0.1"), nullptr) << "the deleted host goes";
  EXPECT_EQ(Probe("GET", deletedUrl).status, 0) << "its port is closed";
  const auto events = server->GetHostKeyEvents();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& e) { return e.first == L"127.0.0.2"; }))
      << "the failing host is watched for a retry";

  // Fixed, it is built at its next look.
  fs::create_directories(scratch.path() / "missing");
  Host(L"127.0.0.2").Dword(L"Port", static_cast<DWORD>(FreePort()));
  CStatus status;
  server->RefreshSignalledHost(status, hosts->get(), applications->get(), L"127.0.0.2");
  EXPECT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  ASSERT_NE(Get("127.0.0.2"), nullptr);
  EXPECT_TRUE(Get("127.0.0.2")->IsOpen());

  // A deleted host's own key event is no failure.
  ASSERT_EQ(RegDeleteTreeW(hosts->get(), L"127.0.0.3"), ERROR_SUCCESS);
  CStatus gone;
  server->RefreshSignalledHost(gone, hosts->get(), applications->get(), L"127.0.0.3");
  EXPECT_TRUE(gone.IsOK()) << platform::Utf8FromWide(gone.GetText());
}

namespace {

// Polls cond; the bound only keeps a broken watcher from hanging the run.
bool Eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 600; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond();
}

// A kept-alive client connection: one GET after another on the same socket.
class KeptConnection {
 public:
  KeptConnection(const char* address, int port) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    const timeval wait{30, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~KeptConnection() { close(m_fd); }
  // The status of one GET of path on this connection; 0 when it is cut.
  int Get(const std::string& path) {
    if (!m_connected) return 0;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    if (send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return 0;
    std::string reply;
    char buffer[4096];
    std::size_t end = std::string::npos;
    while ((end = reply.find("\r\n\r\n")) == std::string::npos) {
      const auto n = recv(m_fd, buffer, sizeof buffer, 0);
      if (n <= 0) return 0;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
    // Reads the whole body (sized or chunked) so that the next reply starts clean.
    const bool chunked = reply.find("Transfer-Encoding: chunked") < end;
    std::size_t length = 0;
    const auto at = reply.find("Content-Length: ");
    if (at < end) length = std::strtoul(reply.c_str() + at + 16, nullptr, 10);
    auto complete = [&] {
      if (!chunked) return reply.size() >= end + 4 + length;
      return reply.size() >= end + 9 && reply.compare(reply.size() - 5, 5, "0\r\n\r\n") == 0;
    };
    while (!complete()) {
      const auto n = recv(m_fd, buffer, sizeof buffer, 0);
      if (n <= 0) return 0;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
    return std::atoi(reply.c_str() + 9);
  }

 private:
  int m_fd;
  bool m_connected = false;
};

}  // namespace

// Each host owns its socket: replacing or removing one host neither closes
// another host's port nor cuts its open connections.
TEST_F(HostConfig, ReplacingOrRemovingAHostLeavesTheOthersAlone) {
  Key first = OpenHost(L"127.0.0.1");
  OpenHost(L"127.0.0.2");
  std::ofstream(www() / "page.GET.htm") << "page";
  ASSERT_TRUE(Start().IsOK());
  Listener* other = Get("127.0.0.2");
  ASSERT_TRUE(other != nullptr && other->IsOpen());
  KeptConnection client("127.0.0.2", other->GetURI().port());
  ASSERT_EQ(client.Get("/page"), 200);
  ASSERT_EQ(client.Get("/page"), 200) << "kept alive";

  first.Dword(L"Port", static_cast<DWORD>(FreePort()));  // replaces the first host
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  ASSERT_NE(Get("127.0.0.1"), nullptr);
  EXPECT_EQ(client.Get("/page"), 200) << "a replaced host leaves the other's connection open";

  ASSERT_EQ(RegDeleteTreeW(hosts->get(), L"127.0.0.1"), ERROR_SUCCESS);
  server->RefreshHosts(hosts->get(), applications->get());
  EXPECT_EQ(Get("127.0.0.1"), nullptr);
  EXPECT_EQ(client.Get("/page"), 200) << "a removed host leaves the other's connection open";
  EXPECT_EQ(Get("127.0.0.2"), other) << "the other host is the same listener";
}

// Every remembered login writes "Users\<name>\Cookie": such writes wake the
// host's watch but do not rebuild its listener (its cache stays); a change
// of its values or its locations still does.
TEST_F(HostConfig, AWriteBelowUsersDoesNotRebuildTheHost) {
  Key host = OpenHost();
  Key(host.get(), L"Users\\alice").Str(L"Password", L"pw");
  std::ofstream(www() / "page.GET.htm") << "page";
  ASSERT_TRUE(Start().IsOK());
  Listener* first = Get("127.0.0.1");
  ASSERT_NE(first, nullptr);
  const std::string url = first->GetURI().to_string();
  EXPECT_EQ(Probe("GET", url + "page").body, "page");
  ASSERT_GT(first->HandlerCacheSize(), 0u);

  for (int i = 0; i < 5; ++i) Key(host.get(), L"Users\\alice").Str(L"Cookie", L"sealed-" + std::to_wstring(i));
  ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(first->GetHostKeyEvent(), 0) == WAIT_OBJECT_0; }))
      << "the host's watch sees the write";
  SetEvent(first->GetHostKeyEvent());  // consumed by the look above; given back to RefreshHost
  CStatus status;
  server->RefreshHost(status, hosts->get(), applications->get(), L"127.0.0.1");
  EXPECT_TRUE(status.IsOK());
  EXPECT_EQ(Get("127.0.0.1"), first);
  EXPECT_GT(first->HandlerCacheSize(), 0u) << "not rebuilt: the cache is kept";

  Key(host.get(), L"Locations\\/info").Str(L"Handler", L"SystemInfo");
  ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(first->GetHostKeyEvent(), 0) == WAIT_OBJECT_0; }));
  CStatus changed;
  server->RefreshSignalledHost(changed, hosts->get(), applications->get(), L"127.0.0.1");
  EXPECT_TRUE(changed.IsOK()) << platform::Utf8FromWide(changed.GetText());
  EXPECT_NE(Get("127.0.0.1"), first) << "a new location rebuilds the host";
}

TEST_F(HostConfig, DefaultRangeUpdatesInPlacePortReplaces) {
  Key host = OpenHost();
  std::ofstream(www() / "page.GET.htm") << "page";
  ASSERT_TRUE(Start().IsOK());
  Listener* first = Get("127.0.0.1");
  ASSERT_TRUE(first != nullptr && first->IsOpen());
  const std::string url = first->GetURI().to_string();
  EXPECT_EQ(Probe("GET", url + "page").body, "page");
  EXPECT_GT(first->HandlerCacheSize(), 0u);

  host.Dword(L"Default Range", 4096);
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  EXPECT_EQ(Get("127.0.0.1"), first) << "same URL and roots: updated in place";
  EXPECT_EQ(first->GetDefaultRange(), 4096u);
  EXPECT_EQ(first->HandlerCacheSize(), 0u) << "an update empties the cache";

  const int port = FreePort();
  host.Dword(L"Port", static_cast<DWORD>(port));
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  Listener* second = Get("127.0.0.1");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetURI().port(), port);
  EXPECT_EQ(Probe("GET", second->GetURI().to_string() + "page").body, "page");
  EXPECT_EQ(Probe("GET", url + "page").status, 0) << "the old port is closed";
}

TEST_F(HostConfig, AChangedLocationReplacesTheListener) {
  Key host = OpenHost();
  Key(host.get(), L"Locations\\/info").Str(L"Handler", L"SystemInfo");
  ASSERT_TRUE(Start().IsOK());
  Listener* first = Get("127.0.0.1");
  ASSERT_NE(first, nullptr);
  Key(host.get(), L"Locations\\/info").Str(L"Note", L"changed");
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  EXPECT_NE(Get("127.0.0.1"), first) << "locations are not taken over in place";
}

TEST_F(HostConfig, AHostRemovedFromTheRegistryLosesItsListener) {
  OpenHost();
  ASSERT_TRUE(Start().IsOK());
  const std::string url = Get("127.0.0.1")->GetURI().to_string();
  ASSERT_EQ(RegDeleteTreeW(hosts->get(), L"127.0.0.1"), ERROR_SUCCESS);
  server->RefreshHosts(hosts->get(), applications->get());
  EXPECT_EQ(Get("127.0.0.1"), nullptr);
  EXPECT_EQ(Probe("GET", url).status, 0) << "its port is closed";
}

// The limit values: the bounds are inclusive, anything but a whole number
// within them keeps the default and is named with the default used.
TEST(HostLimits, ValuesWithinTheirBoundsAreTakenOthersKeepTheDefault) {
  const platform::http::FrontLimits defaults;
  struct Case {
    const char* name;
    const wchar_t* value;
    const wchar_t* text;
    bool taken;
    std::function<bool(const platform::http::FrontLimits&)> expect;
  };
  const Case cases[] = {
      {"head at its low bound", L"Request Head Limit", L"1024", true,
       [](const auto& l) { return l.maxHeadBytes == 1024; }},
      {"head below it", L"Request Head Limit", L"1023", false,
       [&](const auto& l) { return l.maxHeadBytes == defaults.maxHeadBytes; }},
      {"head at its high bound", L"Request Head Limit", L"1048576", true,
       [](const auto& l) { return l.maxHeadBytes == 1048576; }},
      {"body lowered", L"Request Body Limit", L"4096", true, [](const auto& l) { return l.maxBodyBytes == 4096; }},
      {"body of 1 GiB", L"Request Body Limit", L"1073741824", true,
       [](const auto& l) { return l.maxBodyBytes == 1073741824ull; }},
      {"body above 1 GiB", L"Request Body Limit", L"1073741825", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
      {"body of zero", L"Request Body Limit", L"0", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
      {"header timeout in seconds", L"Request Header Timeout", L"3", true,
       [](const auto& l) { return l.headerTimeoutMs == 3000; }},
      {"header timeout of an hour", L"Request Header Timeout", L"3600", false,
       [&](const auto& l) { return l.headerTimeoutMs == defaults.headerTimeoutMs; }},
      {"idle timeout of an hour", L"Idle Connection Timeout", L"3600", true,
       [](const auto& l) { return l.idleTimeoutMs == 3600000; }},
      {"connections lowered", L"Connection Limit", L"64", true, [](const auto& l) { return l.maxConnections == 64; }},
      {"connections too few", L"Connection Limit", L"15", false,
       [&](const auto& l) { return l.maxConnections == defaults.maxConnections; }},
      {"a word", L"Connection Limit", L"lots", false,
       [&](const auto& l) { return l.maxConnections == defaults.maxConnections; }},
      {"a sign", L"Request Body Limit", L"+4096", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
      {"blanks", L"Request Body Limit", L" 4096", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
      {"empty", L"Request Body Limit", L"", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
      {"too many digits to hold", L"Request Body Limit", L"18446744073709551617", false,
       [&](const auto& l) { return l.maxBodyBytes == defaults.maxBodyBytes; }},
  };
  for (const Case& c : cases) {
    std::vector<CRejectedLimit> rejected;
    const platform::http::FrontLimits limits =
        HostLimitsFrom({{std::wstring(L"Registry$") + c.value, c.text}, {L"Registry$Other", L"1"}}, rejected).front;
    EXPECT_TRUE(c.expect(limits)) << c.name;
    ASSERT_EQ(rejected.size(), c.taken ? 0u : 1u) << c.name;
    if (!c.taken) {
      EXPECT_EQ(rejected[0].name, c.value) << c.name;
      EXPECT_EQ(rejected[0].value, c.text) << c.name;
    }
  }
  std::vector<CRejectedLimit> rejected;
  HostLimitsFrom({{L"Registry$Request Header Timeout", L"0"}}, rejected);
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].low, L"1");
  EXPECT_EQ(rejected[0].high, L"600");
  EXPECT_EQ(rejected[0].used, L"10") << "in the value's own unit, seconds";
}

// A new limit needs a new front: the host is replaced, not updated in place,
// and the new front applies it.
TEST_F(HostConfig, AChangedLimitReplacesTheListener) {
  Key host = OpenHost();
  std::ofstream(www() / "page.POST.htm") << "page";
  ASSERT_TRUE(Start().IsOK());
  Listener* first = Get("127.0.0.1");
  ASSERT_TRUE(first != nullptr && first->IsOpen());
  const std::string body(8192, 'x');
  const std::vector<std::pair<std::string, std::string>> plain = {{"Content-Type", "text/plain"}};
  EXPECT_EQ(Probe("POST", first->GetURI().to_string() + "page", plain, body).body, "page");

  host.Dword(L"Request Body Limit", 4096);
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  Listener* second = Get("127.0.0.1");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first) << "the front's limits are not taken over in place";
  EXPECT_EQ(Probe("POST", second->GetURI().to_string() + "page", plain, body).status, 413);
  EXPECT_EQ(Probe("POST", second->GetURI().to_string() + "page", plain, std::string(2048, 'x')).body, "page");

  host.Str(L"Color", L"blue");
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  EXPECT_EQ(Get("127.0.0.1"), second) << "other values still update in place";
}

// Every id of the program's event module with the number of strings the
// code gives it: an error keeps only as many strings as its text declares.
TEST(WebbridgeMessages, InsertCountsMatchWhatTheCodePasses) {
  const std::vector<std::pair<DWORD, int>> ids = {
      {0xC00000C9, 2}, {0xC00000CA, 1}, {0xC00000CB, 1}, {0xC00000CC, 2}, {0xC00000CD, 3},
      {0xC00000CF, 3}, {0xC00000D0, 3}, {0xC000012C, 1}, {0xC000012D, 1}, {0xC00007D0, 2},
      {0xC00009C4, 3}, {0xC00009C5, 3}, {0xC0000068, 1}, {0xC0000A28, 2}, {0xC0000A29, 2},
      {0xC0000A2A, 3}, {0xC0000A2B, 2}, {0xC0000A2C, 3}, {0x800000D1, 6},
  };
  for (const auto& [id, count] : ids) EXPECT_EQ(GetInsertCount(id), count) << std::hex << id;
}


TEST_F(HostConfig, ANameChangeUnderARootEmptiesTheCache) {
  fs::create_directories(www() / "deep" / "er");
  std::ofstream(www() / "page.GET.htm") << "page";
  OpenHost();
  ASSERT_TRUE(Start().IsOK());
  Listener* listener = Get("127.0.0.1");
  const std::string url = listener->GetURI().to_string();
  ASSERT_EQ(Probe("GET", url + "page").status, 200);
  ASSERT_GT(listener->HandlerCacheSize(), 0u);
  std::ofstream(www() / "deep" / "er" / "new.txt") << "x";
  EXPECT_TRUE(Eventually([&] { return listener->HandlerCacheSize() == 0; }));
  EXPECT_FALSE(listener->IsWatchFailed());
}

TEST_F(HostConfig, AFailedWatchIsAnEventAndTheCacheForgetsSoon) {
  fs::create_directories(www() / "sub");
  std::ofstream(www() / "page.GET.htm") << "page";
  OpenHost();
  // One watch per handle: the root's subfolder cannot be watched.
  setenv("VANTREL_FS_MAX_WATCHES", "1", 1);
  const CStatus status = Start();
  ASSERT_TRUE(status.IsOK());
  Listener* listener = Get("127.0.0.1");
  EXPECT_TRUE(Eventually([&] { return listener->IsWatchFailed(); }));
  unsetenv("VANTREL_FS_MAX_WATCHES");
  std::vector<std::vector<std::wstring>> events;
  ASSERT_TRUE(Eventually([&] { return !(events = archive_fixture::EventsWithId(0xC00000CD)).empty(); }));
  EXPECT_EQ(events.back().at(0), L"127.0.0.1");
  EXPECT_EQ(events.back().at(1), L"1816");  // ERROR_NOT_ENOUGH_QUOTA

  const std::string url = listener->GetURI().to_string();
  ASSERT_EQ(Probe("GET", url + "page").body, "page");
  // A query handler file of the same key now wins over the static file.
  // Nothing tells the listener; the cached handler is let go all the same.
  std::ofstream(www() / "page.GET.SQL") << "SELECT 1";
  EXPECT_TRUE(Eventually([&] { return Probe("GET", url + "page").body != "page"; }));
}

namespace {

// A handler type whose handler throws, and one whose response throws as it
// is read: both must come back as a 500 with the common headers.
class ThrowingHandler : public CHTTPServer::CRequestHandler {
 public:
  explicit ThrowingHandler(bool inResponse) : m_inResponse(inResponse) {}
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request,
                                     vantrel::basic_istring<wchar_t>, const CParameterMap&) override {
    struct Failing : CResponse {
      std::uint16_t GetStatusCode() override { throw std::runtime_error("status failed.\r\n"); }
      web::http::http_headers& GetHeaders() override { return headers; }
      concurrency::streams::istream& GetBody() override { return body; }
      std::wstring GetContentType() override { return {}; }
      web::http::http_headers headers;
      concurrency::streams::istream body;
    };
    if (!m_inResponse) throw std::runtime_error("handler failed");
    response = std::make_shared<Failing>();
    return response;
  }

 private:
  bool m_inResponse;
};

const bool g_throwingTypes = [] {
  RegisterRequestHandlerFactory(L"THROW", [](std::wstring, std::wstring) -> std::shared_ptr<CHTTPServer::CRequestHandler> {
    return std::make_shared<ThrowingHandler>(false);
  });
  RegisterRequestHandlerFactory(L"THROWLATE", [](std::wstring, std::wstring) -> std::shared_ptr<CHTTPServer::CRequestHandler> {
    return std::make_shared<ThrowingHandler>(true);
  });
  return true;
}();

}  // namespace

TEST_F(HostConfig, AnExceptionIsAnEventAndA500) {
  std::ofstream(www() / "now.GET.THROW") << "";
  std::ofstream(www() / "late.GET.THROWLATE") << "";
  std::ofstream(www() / "post.POST.THROW") << "";
  OpenHost();
  ASSERT_TRUE(Start().IsOK());
  const std::string url = Get("127.0.0.1")->GetURI().to_string();
  struct Row {
    const char* name;
    const char* method;
    const char* path;
    const wchar_t* text;
  };
  for (const Row& row : {Row{"Handle throws on GET", "GET", "now", L"handler failed"},
                         Row{"the response throws as it is read", "GET", "late", L"status failed"},
                         Row{"Handle throws on POST", "POST", "post", L"handler failed"}}) {
    SCOPED_TRACE(row.name);
    const ProbeReply reply = Probe(row.method, url + row.path);
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.Header("Server").value_or(""), "Corvellane/7.28");
    EXPECT_TRUE(reply.Header("X-Content-Type-Options").has_value());
    EXPECT_TRUE(Eventually([&] {
      for (const auto& strings : archive_fixture::EventsWithId(0xC0000068))
        if (!strings.empty() && strings[0] == row.text) return true;
      return false;
    })) << [] {
      std::string all;
      for (const auto& strings : archive_fixture::EventsWithId(0xC0000068))
        for (const auto& text : strings) all += "[" + platform::Utf8FromWide(text) + "]";
      return all;
    }();
  }
  EXPECT_EQ(Probe("GET", url + "now").status, 500) << "the listener goes on answering";
}

namespace {

// A handler type that keeps the parameters each request's handler was given
// (as a query does until its statement is bound) and answers 303.
std::mutex g_keptLock;
std::vector<CParameterMap> g_kept;

class KeepingHandler : public CHTTPServer::CRequestHandler {
 public:
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user, const CParameterMap& parameters) override {
    {
      std::lock_guard<std::mutex> hold(g_keptLock);
      g_kept.push_back(parameters);
    }
    CRedirectHandler redirect;
    return redirect.Handle(response, std::move(request), std::move(user), parameters);
  }
};

const bool g_keepingType = [] {
  RegisterRequestHandlerFactory(L"KEEP", [](std::wstring, std::wstring) -> std::shared_ptr<CHTTPServer::CRequestHandler> {
    return std::make_shared<KeepingHandler>();
  });
  return true;
}();

std::vector<CParameterMap> TakeKept() {
  std::lock_guard<std::mutex> hold(g_keptLock);
  return std::exchange(g_kept, {});
}

// Starts t's server with "keep" handler files (GET and POST) under the root:
// the listener of 127.0.0.1 if it opened (nullptr otherwise), nothing kept yet.
Listener* StartKeeping(HostConfig& t) {
  std::ofstream(t.www() / "keep.GET.KEEP") << "";
  std::ofstream(t.www() / "keep.POST.KEEP") << "";
  if (!t.Start().IsOK()) return nullptr;
  Listener* listener = t.Get("127.0.0.1");
  TakeKept();
  return listener != nullptr && listener->IsOpen() ? listener : nullptr;
}

}  // namespace

// Every request is given the listener's one map, never a copy of it; a POST's
// fields lie over it; a change swaps in a new map whole while a request that
// still holds the old one keeps it unchanged.
TEST_F(HostConfig, HostValuesAreSharedByRequestsAndSwappedWhole) {
  Key host = OpenHost();
  host.Str(L"Color", L"blue");
  for (int i = 0; i < 1000; ++i) host.Str(L"Bulk" + std::to_wstring(i), L"value " + std::to_wstring(i));
  Listener* listener = StartKeeping(*this);
  ASSERT_TRUE(listener != nullptr);
  const std::string url = listener->GetURI().to_string();

  EXPECT_EQ(Probe("GET", url + "keep").status, 303);
  EXPECT_EQ(Probe("GET", url + "keep?Registry%24Color=red").status, 303);
  EXPECT_EQ(Probe("POST", url + "keep", {{"Content-Type", "application/x-www-form-urlencoded"}},
                  "Extra=mine&Color=plain&Registry%24Color=red&registry%24New=x&Directory%24media=y")
                .status,
            303);
  std::vector<CParameterMap> kept = TakeKept();
  ASSERT_EQ(kept.size(), 3u);
  const CParameterMap::Map* first = &listener->GetParameters();
  EXPECT_EQ(first->size(), 1001u);
  for (const CParameterMap& map : kept) EXPECT_EQ(&map.Shared(), first) << "the listener's map, not a copy";
  EXPECT_TRUE(kept[0].RequestValues().empty());
  EXPECT_TRUE(kept[1].RequestValues().empty()) << "the query string is the handler's to read, not the map's";
  EXPECT_EQ(kept[2].RequestValues(), (CParameterMap::Map{{L"Color", L"plain"}, {L"Extra", L"mine"}}))
      << "reserved names are never a client's";
  EXPECT_EQ(*kept[2].Find(L"Registry$Color"), L"blue");

  host.Str(L"Color", L"green");
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  ASSERT_EQ(Get("127.0.0.1"), listener) << "updated in place";
  EXPECT_NE(&listener->GetParameters(), first) << "a new map swapped in";
  EXPECT_EQ(Parameter(*listener, L"Registry$Color"), L"green");
  EXPECT_EQ(&kept[0].Shared(), first);
  EXPECT_EQ(*kept[0].Find(L"Registry$Color"), L"blue") << "a request's map is kept whole and unchanged";
  EXPECT_EQ(Probe("GET", url + "keep").status, 303);
  kept = TakeKept();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(&kept[0].Shared(), &listener->GetParameters());
}

// A host's typed settings, read once with their defaults: each limit and
// "Query Timeout" at and beyond its bounds, as a DWORD and as text. A value
// outside its bounds keeps the default (and is reported); the value reaches
// the request's parameters and changes in place, without a new front.
TEST_F(HostConfig, TypedSettingsTable) {
  const CHostLimits defaults;
  ASSERT_EQ(defaults.queryTimeoutMs, 120000u) << "the default query timeout";
  struct Row {
    const char* name;
    const wchar_t* value;  // nullptr: no value at all
    const wchar_t* text;
    std::function<bool(const CHostLimits&)> expect;
  };
  const Row rows[] = {
      {"no values: every default", nullptr, L"", [&](const CHostLimits& l) { return l == defaults; }},
      {"query timeout of 1 s", L"Query Timeout", L"1", [](const CHostLimits& l) { return l.queryTimeoutMs == 1000; }},
      {"query timeout of 0 keeps the default", L"Query Timeout", L"0",
       [&](const CHostLimits& l) { return l.queryTimeoutMs == defaults.queryTimeoutMs; }},
      {"query timeout at its high bound", L"Query Timeout", L"2147483",
       [](const CHostLimits& l) { return l.queryTimeoutMs == 2147483000u; }},
      {"query timeout above it keeps the default", L"Query Timeout", L"2147484",
       [&](const CHostLimits& l) { return l.queryTimeoutMs == defaults.queryTimeoutMs; }},
      {"head at its low bound", L"Request Head Limit", L"1024",
       [](const CHostLimits& l) { return l.front.maxHeadBytes == 1024; }},
      {"head below it", L"Request Head Limit", L"1023",
       [&](const CHostLimits& l) { return l.front.maxHeadBytes == defaults.front.maxHeadBytes; }},
      {"body at its high bound", L"Request Body Limit", L"1073741824",
       [](const CHostLimits& l) { return l.front.maxBodyBytes == 1073741824ull; }},
      {"body below its low bound", L"Request Body Limit", L"1023",
       [&](const CHostLimits& l) { return l.front.maxBodyBytes == defaults.front.maxBodyBytes; }},
      {"header timeout at its high bound", L"Request Header Timeout", L"600",
       [](const CHostLimits& l) { return l.front.headerTimeoutMs == 600000; }},
      {"header timeout above it", L"Request Header Timeout", L"601",
       [&](const CHostLimits& l) { return l.front.headerTimeoutMs == defaults.front.headerTimeoutMs; }},
      {"idle timeout at its low bound", L"Idle Connection Timeout", L"1",
       [](const CHostLimits& l) { return l.front.idleTimeoutMs == 1000; }},
      {"idle timeout above its high bound", L"Idle Connection Timeout", L"3601",
       [&](const CHostLimits& l) { return l.front.idleTimeoutMs == defaults.front.idleTimeoutMs; }},
      {"connections at the high bound", L"Connection Limit", L"65536",
       [](const CHostLimits& l) { return l.front.maxConnections == 65536; }},
      {"connections above it", L"Connection Limit", L"65537",
       [&](const CHostLimits& l) { return l.front.maxConnections == defaults.front.maxConnections; }},
  };
  for (const bool asDword : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (asDword ? " as DWORD" : " as text"));
      Fresh();
      // No root: the host is built from its values but never binds.
      Key host = Host(L"h.example");
      host.Str(L"Protocol", L"http").Dword(L"Port", 8080);
      if (row.value != nullptr) host.Number(row.value, row.text, asDword);
      ASSERT_TRUE(Start().IsOK());
      ASSERT_NE(Get("h.example"), nullptr);
      const CHTTPServer::CHostSettings& settings = Get("h.example")->GetSettings();
      EXPECT_TRUE(row.expect(settings.limits));
      EXPECT_EQ(settings.uri.to_string(), "http://h.example:8080/");
      EXPECT_EQ(settings.defaultRange, 0x100000u);
    }
  }

  // A word is no number: the default, as text only (a DWORD is always one).
  Fresh();
  Host(L"h.example").Str(L"Protocol", L"http").Dword(L"Port", 8080).Str(L"Query Timeout", L"12abc");
  ASSERT_TRUE(Start().IsOK());
  EXPECT_EQ(Get("h.example")->GetSettings().limits.queryTimeoutMs, defaults.queryTimeoutMs);
  EXPECT_EQ(Parameter(*Get("h.example"), L"Registry$Query Timeout"), L"12abc") << "still a parameter";
}

// "Query Timeout" is read once per build and handed to each request with the
// parameters; a change applies in place (same listener, same front).
TEST_F(HostConfig, QueryTimeoutReachesRequestsAndChangesInPlace) {
  Key host = OpenHost();
  host.Dword(L"Query Timeout", 7);
  Listener* listener = StartKeeping(*this);
  ASSERT_TRUE(listener != nullptr);
  const std::string url = listener->GetURI().to_string();
  EXPECT_EQ(Probe("GET", url + "keep").status, 303);
  std::vector<CParameterMap> kept = TakeKept();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].QueryTimeoutMs(), 7000u);

  host.Str(L"Query Timeout", L"9");
  ASSERT_TRUE(Rebuild(L"127.0.0.1").IsOK());
  ASSERT_EQ(Get("127.0.0.1"), listener) << "updated in place";
  EXPECT_EQ(Probe("GET", url + "keep").status, 303);
  kept = TakeKept();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].QueryTimeoutMs(), 9000u);
}
