// authenticator_tests.cpp - accounts, password checks, sessions, cookies and the login form over HTTP.
#include "REST APIs/HTTP Service/Authenticator.h"
#include "TestServer.h"

#include "platform/base/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>

// What the tests look at inside an authenticator.
struct AuthenticatorTestAccess {
  static std::string Fingerprint(const CHTTPServer::CAuthenticator& auth, const std::wstring& user) {
    platform::SrwSharedLock tables(auth.m_tablesLock);
    const auto found = auth.m_users.find(vantrel::basic_istring<wchar_t>(user));
    return found == auth.m_users.end() ? std::string() : found->second->fingerprint;
  }
  // Makes every session look unused for the last ms milliseconds.
  static void Age(CHTTPServer::CAuthenticator& auth, ULONGLONG ms) {
    platform::SrwSharedLock tables(auth.m_tablesLock);
    for (auto& [cookie, session] : auth.m_cookies) session.lastUsed -= ms;
  }
};

namespace {

using Auth = CHTTPServer::CAuthenticator;
using Access = AuthenticatorTestAccess;

std::string Python(const std::string& code) { return RunProgram({"/usr/bin/python3", "-c", code}).second; }

// The stored form of password with salt (16 bytes), made by an independent Argon2id.
std::string StoredForm(const std::string& password, const std::string& saltHex, bool lowerCase = false) {
  return Python(
      "import base64\nfrom argon2.low_level import hash_secret_raw, Type\n"
      "salt = bytes.fromhex('" + saltHex + "')\n"
      "h = hash_secret_raw(b'" + password + "', salt, time_cost=3, memory_cost=65536, parallelism=4, hash_len=16,"
      " type=Type.ID, version=0x13).hex()\n"
      "print(base64.b64encode(salt).decode() + (h if " + (lowerCase ? "True" : "False") + " else h.upper()), end='')");
}

web::http::http_request WithCookie(const std::string& cookie) {
  web::http::http_request request(web::http::methods::GET);
  if (!cookie.empty()) request.headers().add("Cookie", cookie);
  return request;
}

class Authenticator : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VANTREL_KEYSTORE_DIR", (keys.path() / "keys").c_str(), 1);
    hostPath = L"Software\\Vantrel\\Webbridge\\Hosts\\" + platform::WideFromUtf8(keys.path().filename().string());
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, hostPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              hostKey.put(), nullptr),
              ERROR_SUCCESS);
    AddUser(L"Alice", {{L"Password", L"secret"}}, 0);
    AddUser(L"Root", {{L"Password", L"toor"}}, 1);
    AddUser(L"Spacey", {{L"Password", L"a b"}}, -1);
    AddUser(L"Percent", {{L"Password", L"50%41off"}}, -1);
    AddUser(L"Nopass", {}, -1);
    AddUser(L"Blank", {{L"Password", L""}}, -1);
    platform::RegKey bob = UserKey(L"Bob", true);
    const std::string stored = StoredForm("hunter2", "00112233445566778899aabbccddeeff");
    ASSERT_EQ(stored.size(), 56u);
    platform::RegWriteBinary(bob.get(), L"Password", stored.data(), static_cast<DWORD>(stored.size()));
    platform::RegKey carol = UserKey(L"Carol", true);
    const std::string lower = StoredForm("hunter2", "ffeeddccbbaa99887766554433221100", true);
    platform::RegWriteBinary(carol.get(), L"Password", lower.data(), static_cast<DWORD>(lower.size()));
    stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }

  void TearDown() override {
    SetEvent(stop.get());
    auth.reset();
    for (auto& t : workers) t.join();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, hostPath.c_str());
  }

  platform::RegKey UserKey(const std::wstring& name, bool create = false) {
    platform::RegKey key;
    const std::wstring path = L"Users\\" + name;
    if (create)
      RegCreateKeyExW(hostKey.get(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    else
      RegOpenKeyExW(hostKey.get(), path.c_str(), 0, KEY_ALL_ACCESS, key.put());
    return key;
  }

  void AddUser(const std::wstring& name, std::map<std::wstring, std::wstring> strings, int administrator) {
    platform::RegKey key = UserKey(name, true);
    for (const auto& [n, v] : strings) platform::RegWriteString(key.get(), n, v);
    if (administrator >= 0) platform::RegWriteDword(key.get(), L"Administrator", static_cast<DWORD>(administrator));
  }

  // Starts the watcher on a plain thread, as the framework's worker will.
  CStatus Start(std::wstring cookieName = L"session") {
    auth = std::make_shared<Auth>(L"test");
    WorkerStarter starter = [this](const std::wstring& name, std::function<CStatus()> body) {
      workers.emplace_back([name, body] {
        platform::SetCurrentThreadName(name);
        body();
      });
      return CStatus();
    };
    CStatus status;
    auth->Initialize(status, starter, stop.get(), L"test", hostKey.get(), cookieName);
    return status;
  }

  // Polls until the reloaded tables show cond. The bound only keeps a broken
  // watcher from hanging the run: a reload hashes with Argon2id, which a
  // loaded machine under a sanitizer makes slow.
  template <class F>
  bool Eventually(F cond) {
    for (int i = 0; i < 4800; ++i) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return cond();
  }

  TempDir keys;
  std::wstring hostPath;
  platform::RegKey hostKey;
  platform::UniqueHandle stop;
  std::shared_ptr<Auth> auth;
  std::vector<std::thread> workers;
};

// A server whose POST goes to the authenticator's handler.
struct LoginServer {
  explicit LoginServer(std::shared_ptr<Auth> auth)
      : server([auth](web::http::http_request& request) {
          Route route;
          route.handler = std::make_shared<Auth::Handler>(auth);
          route.parameters = FormFields(request.extract_utf8string(true).get());
          return route;
        }) {}
  ProbeReply Post(const std::string& form, std::vector<std::pair<std::string, std::string>> headers = {}) {
    headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    return Probe("POST", server.base() + "/login", headers, form);
  }
  TestServer server;
};

std::string SessionOf(const ProbeReply& reply) {
  const auto cookie = reply.Header("Set-Cookie");
  std::smatch m;
  if (!cookie || !std::regex_match(*cookie, m, std::regex("session=([0-9A-F]{16}); Path=/; HttpOnly; SameSite=Lax"))) return {};
  return m[1];
}

TEST_F(Authenticator, ArgonHashMatchesAnIndependentImplementation) {
  const unsigned char salt[16] = {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  std::wstring hex;
  ASSERT_EQ(HashPassword(L"hunter2", salt, hex), ERROR_SUCCESS);
  EXPECT_EQ(platform::Utf8FromWide(hex), StoredForm("hunter2", "00112233445566778899aabbccddeeff").substr(24));
}

struct LoginCase {
  const char* name;
  std::string form;
  std::vector<std::pair<std::string, std::string>> headers;
  int status;
  std::optional<std::string> location;
  bool session;
};

TEST_F(Authenticator, LoginFormTable) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const LoginCase cases[] = {
      {"plain password", "user=Alice&password=secret", {}, 303, "/", true},
      {"user name in any case", "user=aLICE&password=secret", {}, 303, "/", true},
      {"argon2 stored form", "user=bob&password=hunter2", {}, 303, "/", true},
      {"lower-case hash digits never match", "user=Carol&password=hunter2", {}, 401, std::nullopt, false},
      {"wrong password", "user=Alice&password=nope", {}, 401, std::nullopt, false},
      {"unknown user", "user=Mallory&password=secret", {}, 401, std::nullopt, false},
      {"empty password", "user=Alice&password=", {}, 401, std::nullopt, false},
      {"no Password value", "user=Nopass&password=x", {}, 401, std::nullopt, false},
      {"empty stored password", "user=Blank&password=", {}, 401, std::nullopt, false},
      {"plus is a space", "user=Spacey&password=a+b", {}, 303, "/", true},
      // Decoded once: "%2541" is "%41", and must not become "A" as well.
      {"a password with percent is decoded once", "user=Percent&password=50%2541off", {}, 303, "/", true},
      {"a password decoded twice does not match", "user=Percent&password=50Aoff", {}, 401, std::nullopt, false},
      {"failure goes to OnFailure", "user=Alice&password=no&OnFailure=%2Flogin%3Ffailed", {}, 303, "/login?failed", false},
      {"success goes to OnSuccess", "user=Alice&password=secret&OnSuccess=%2Fhome", {}, 303, "/home", true},
      {"Referer after the Origin", "user=Alice&password=secret",
       {{"Origin", "http://h"}, {"Referer", "http://h/page?x=1"}}, 303, "/page?x=1", true},
      {"Referer equal to the Origin", "user=Alice&password=secret", {{"Origin", "http://h"}, {"Referer", "http://h"}},
       303, std::nullopt, true},
      {"Origin without Referer", "user=Alice&password=secret", {{"Origin", "http://h"}}, 303, "/", true},
      {"null Origin", "user=Alice&password=secret", {{"Origin", "null"}, {"Referer", "http://x/y"}}, 303, "/", true},
      {"Referer of another site", "user=Alice&password=secret",
       {{"Origin", "http://h"}, {"Referer", "http://evil.example/long/path"}}, 303, "/", true},
      {"absolute OnSuccess", "user=Alice&password=secret&OnSuccess=http%3A%2F%2Fevil.example%2F", {}, 400,
       std::nullopt, true},
      {"protocol-relative OnSuccess", "user=Alice&password=secret&OnSuccess=%2F%2Fevil.example", {}, 400,
       std::nullopt, true},
      {"header injection in OnFailure", "user=Alice&password=no&OnFailure=%2Fa%0D%0AX-Evil%3A%201", {}, 400,
       std::nullopt, false},
      {"bad percent-encoding", "user=Alice&password=%zz", {}, 400, std::nullopt, false},
  };
  for (const auto& c : cases) {
    const ProbeReply reply = login.Post(c.form, c.headers);
    EXPECT_EQ(reply.status, c.status) << c.name;
    EXPECT_EQ(reply.Header("Location"), c.location) << c.name;
    EXPECT_EQ(!SessionOf(reply).empty(), c.session) << c.name;
    EXPECT_FALSE(reply.Header("X-Evil")) << c.name;
  }
}

TEST_F(Authenticator, LogoutInAnyCaseClearsTheCookie) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string session = SessionOf(login.Post("user=Alice&password=secret"));
  const ProbeReply reply = login.Post("action=LOGOUT");
  EXPECT_EQ(reply.status, 303);
  EXPECT_EQ(reply.Header("Set-Cookie"), "session=; expires=Thu, 01 Jan 1970 00:00:00 GMT; Path=/; HttpOnly; SameSite=Lax");
  EXPECT_EQ(reply.Header("Location"), "/");
  // Logout only tells the browser; the session is still known.
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + session)).second, Auth::kUser);
  EXPECT_FALSE(SessionOf(login.Post("action=logoff&user=Alice&password=secret")).empty());  // a login
}

TEST_F(Authenticator, SessionsNameTheStoredUserAndItsLevel) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string first = SessionOf(login.Post("user=alice&password=secret"));
  const std::string second = SessionOf(login.Post("user=ALICE&password=secret"));
  const std::string root = SessionOf(login.Post("user=root&password=toor"));
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  for (const std::string& s : {first, second}) {
    const auto [name, level] = auth->GetUser(WithCookie("theme=dark; session=" + s));
    EXPECT_EQ(name.str(), L"Alice");
    EXPECT_EQ(level, Auth::kUser);
  }
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + root)).second, Auth::kAdministrator);
  EXPECT_EQ(auth->GetUser(WithCookie("session=0000000000000000")).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("")).second, Auth::kAnonymous);
}

TEST_F(Authenticator, SessionCookieIsFoundByExactName) {
  ASSERT_TRUE(Start().IsOK());
  const struct {
    const char* header;
    const char* value;
  } cases[] = {{"session=abc", "abc"},
               {"a=1; session=abc; b=2", "abc"},
               {"session=one; mysession=two", "one"},  // a longer name is another cookie
               {"mysession=two", ""},
               {"Session=abc", ""},
               {"session=", ""},
               {"  session = abc  ", "abc"},
               {"x=1, session=joined", "joined"}};  // repeated headers joined by the library
  for (const auto& c : cases)
    EXPECT_EQ(platform::Utf8FromWide(auth->GetSessionCookie(WithCookie(c.header))), c.value) << c.header;
}

TEST_F(Authenticator, EmptyCookieNameMakesEveryRequestAnonymous) {
  ASSERT_TRUE(Start(L"").IsOK());
  EXPECT_EQ(auth->GetSessionCookie(WithCookie("=abc; session=abc")), L"");
}

TEST_F(Authenticator, CookieNameThatIsNoTokenFailsInitialize) {
  const CStatus status = Start(L"bad;name");
  ASSERT_FALSE(status.IsOK());
  EXPECT_EQ(status.GetError()->GetMessageId(), 0xC00000CAu);
  EXPECT_EQ(status.GetError()->GetInsert(0), L"test");
}

TEST_F(Authenticator, RememberedSessionSurvivesReloadsAndRestarts) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string remembered = SessionOf(login.Post("user=Alice&password=secret&remember=ON"));
  ASSERT_FALSE(remembered.empty());
  std::wstring sealed;
  ASSERT_EQ(platform::RegReadString(UserKey(L"Alice").get(), L"Cookie", sealed), ERROR_SUCCESS);
  EXPECT_EQ(sealed.find(platform::WideFromUtf8(remembered)), std::wstring::npos);  // not stored in clear
  // Later logins, remembered or not, reuse it.
  EXPECT_EQ(SessionOf(login.Post("user=Alice&password=secret")), remembered);

  // A new authenticator (a restarted service) knows it from the registry.
  SetEvent(stop.get());
  auth.reset();
  for (auto& t : workers) t.join();
  workers.clear();
  ResetEvent(stop.get());
  ASSERT_TRUE(Start().IsOK());
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + remembered)).first.str(), L"Alice");
}

TEST_F(Authenticator, ChangesUnderUsersReloadAndKeepUnchangedSessions) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string alice = SessionOf(login.Post("user=Alice&password=secret"));
  const std::string root = SessionOf(login.Post("user=Root&password=toor"));
  AddUser(L"Newcomer", {{L"Password", L"fresh"}}, -1);
  ASSERT_TRUE(Eventually([&] { return login.Post("user=Newcomer&password=fresh").status == 303; }));
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice)).second, Auth::kUser);
  // Root's entry changes: its sessions end; Alice's stay.
  platform::RegWriteDword(UserKey(L"Root").get(), L"Administrator", 0);
  ASSERT_TRUE(Eventually([&] { return auth->GetUser(WithCookie("session=" + root)).second == Auth::kAnonymous; }));
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice)).second, Auth::kUser);
}

TEST_F(Authenticator, MalformedValuesFailTheLoadAndKeepOldTables) {
  const struct {
    const char* name;
    std::function<void(HKEY)> spoil;
  } cases[] = {
      {"Administrator as a string", [](HKEY k) { platform::RegWriteString(k, L"Administrator", L"1"); }},
      {"Password of another type", [](HKEY k) { platform::RegWriteDword(k, L"Password", 1); }},
      {"binary Password with a bad salt", [](HKEY k) { platform::RegWriteBinary(k, L"Password", "short", 5); }},
      {"odd-sized string", [](HKEY k) { platform::RegWriteBinary(k, L"Password", "abc", 3, REG_SZ); }},
  };
  for (const auto& c : cases) {
    platform::RegKey user = UserKey(L"Broken", true);
    c.spoil(user.get());
    const CStatus status = Start();
    ASSERT_FALSE(status.IsOK()) << c.name;
    EXPECT_EQ(status.GetError()->GetCode(), static_cast<int>(ERROR_INVALID_DATA)) << c.name;
    auth.reset();
    RegDeleteTreeW(hostKey.get(), L"Users\\Broken");
  }
  // A bad "Cookie" Base64 is ignored, not a failure.
  platform::RegWriteString(UserKey(L"Alice").get(), L"Cookie", L"!");
  ASSERT_TRUE(Start().IsOK());
  // After a start, a failed reload keeps the tables and ends the watcher.
  LoginServer login(auth);
  const std::string alice = SessionOf(login.Post("user=Alice&password=secret"));
  platform::RegWriteString(UserKey(L"Root").get(), L"Administrator", L"yes");
  for (auto& t : workers) t.join();  // the watcher ends on its own
  workers.clear();
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice)).second, Auth::kUser);
  EXPECT_EQ(SessionOf(login.Post("user=Root&password=toor")).empty(), false);
}

TEST_F(Authenticator, NoUsersKeyMeansNoUsersAndNoWatcher) {
  RegDeleteTreeW(hostKey.get(), L"Users");
  ASSERT_TRUE(Start().IsOK());
  EXPECT_TRUE(workers.empty());
  LoginServer login(auth);
  EXPECT_EQ(login.Post("user=Alice&password=secret").status, 401);
}

TEST_F(Authenticator, PlainPasswordIsKeptOnlyAsAHashOfItsBytes) {
  platform::RegWriteString(UserKey(L"Alice").get(), L"Password", L"Sup3rS3cretText");
  ASSERT_TRUE(Start().IsOK());
  const std::string fingerprint = Access::Fingerprint(*auth, L"Alice");
  ASSERT_FALSE(fingerprint.empty());
  const std::u16string text = u"Sup3rS3cretText";
  const std::string utf16(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  EXPECT_EQ(fingerprint.find(utf16), std::string::npos);
  EXPECT_EQ(fingerprint.find("Sup3rS3cretText"), std::string::npos);
  // A new password is still a change: the sessions of the old one end.
  LoginServer login(auth);
  const std::string session = SessionOf(login.Post("user=Alice&password=Sup3rS3cretText"));
  ASSERT_FALSE(session.empty());
  platform::RegWriteString(UserKey(L"Alice").get(), L"Password", L"another");
  ASSERT_TRUE(Eventually([&] { return auth->GetUser(WithCookie("session=" + session)).second == Auth::kAnonymous; }));
  EXPECT_EQ(login.Post("user=Alice&password=another").status, 303);
}

TEST_F(Authenticator, SessionsNotRememberedEndWhenIdle) {
  platform::RegKey users;
  ASSERT_EQ(RegOpenKeyExW(hostKey.get(), L"Users", 0, KEY_ALL_ACCESS, users.put()), ERROR_SUCCESS);
  platform::RegWriteDword(users.get(), Auth::kIdleTimeoutValue, 60);
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string plain = SessionOf(login.Post("user=Alice&password=secret"));
  const std::string remembered = SessionOf(login.Post("user=Root&password=toor&remember=on"));
  ASSERT_FALSE(plain.empty());
  ASSERT_FALSE(remembered.empty());
  Access::Age(*auth, 30'000);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + plain)).second, Auth::kUser);  // used: idle time starts again
  Access::Age(*auth, 45'000);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + plain)).second, Auth::kUser);
  Access::Age(*auth, 61'000);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + plain)).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + remembered)).second, Auth::kAdministrator);
}

TEST_F(Authenticator, EachUserKeepsAtMostTheCapOfSessionsDroppingTheOldest) {
  platform::RegKey users;
  ASSERT_EQ(RegOpenKeyExW(hostKey.get(), L"Users", 0, KEY_ALL_ACCESS, users.put()), ERROR_SUCCESS);
  platform::RegWriteDword(users.get(), Auth::kSessionsPerUserValue, 2);
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string root = SessionOf(login.Post("user=Root&password=toor"));
  std::vector<std::string> alice;
  for (int i = 0; i < 3; ++i) alice.push_back(SessionOf(login.Post("user=Alice&password=secret")));
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice[0])).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice[1])).second, Auth::kUser);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + alice[2])).second, Auth::kUser);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + root)).second, Auth::kAdministrator);  // another user's
}

TEST_F(Authenticator, LoginWithEveryHashSlotBusyIsAnsweredAtOnce) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  int taken = 0;
  while (TryTakePasswordHashSlot()) ++taken;
  EXPECT_EQ(taken, PasswordHashSlots());
  const ProbeReply busy = login.Post("user=Alice&password=secret&OnFailure=%2Ffailed");
  for (int i = 0; i < taken; ++i) ReturnPasswordHashSlot();
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.Header("Retry-After"), "1");
  EXPECT_FALSE(busy.Header("Set-Cookie"));
  EXPECT_FALSE(busy.Header("Location"));
  EXPECT_EQ(login.Post("user=Alice&password=secret").status, 303);
}

TEST_F(Authenticator, CookiesOverHttpsAreSecure) {
  ASSERT_TRUE(Start().IsOK());
  for (const char* form : {"user=Alice&password=secret", "action=logout"}) {
    web::http::http_request request(web::http::methods::POST);
    request._set_base_uri(web::uri("https://nas.example:8443"));
    const auto response = auth->Authenticate(request, FormFields(form));
    ASSERT_EQ(response->GetStatusCode(), 303) << form;
    std::string cookie;
    ASSERT_TRUE(response->GetHeaders().match("Set-Cookie", cookie)) << form;
    EXPECT_NE(cookie.find("; Path=/; HttpOnly; SameSite=Lax; Secure"), std::string::npos) << cookie;
  }
}

TEST_F(Authenticator, DestroyingTheAuthenticatorEndsItsWatcher) {
  ASSERT_TRUE(Start().IsOK());
  ASSERT_EQ(workers.size(), 1u);
  auth.reset();  // the service's stop event stays clear
  workers[0].join();
  workers.clear();
}

}  // namespace
