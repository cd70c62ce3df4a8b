// authenticator_test.cpp - accounts, password checks, sessions, cookies and the login form over HTTP.
#include "REST APIs/HTTP Service/Authenticator.h"
#include "TestServer.h"

#include "platform/base/bytes.h"
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
  CStatus Start(std::wstring cookieName = L"session", const CLoginBackoff::Limits& backoff = {}) {
    auth = std::make_shared<Auth>(L"test", backoff);
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

// A session in memory is 16 hex digits, a remembered one 40.
std::string SessionOf(const ProbeReply& reply) {
  const auto cookie = reply.Header("Set-Cookie");
  std::smatch m;
  if (!cookie || !std::regex_match(*cookie, m,
                                   std::regex("session=([0-9A-F]{16}|[0-9A-F]{40}); Path=/; HttpOnly; SameSite=Lax")))
    return {};
  return m[1];
}

// The peer header the front adds, naming client address as the sender.
std::vector<std::pair<std::string, std::string>> From(const std::string& address,
                                                      std::vector<std::pair<std::string, std::string>> headers = {}) {
  headers.emplace_back("X-Vantrel-Peer", address + ":40000;proto=http");
  return headers;
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

TEST_F(Authenticator, LogoutInAnyCaseEndsTheSessionItCarries) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string session = SessionOf(login.Post("user=Alice&password=secret"));
  const std::string other = SessionOf(login.Post("user=Alice&password=secret"));
  ASSERT_FALSE(session.empty());
  EXPECT_NE(session, other);  // each login a session of its own
  // Without a cookie a sign-out ends nothing.
  EXPECT_EQ(login.Post("action=logout").status, 303);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + session)).second, Auth::kUser);

  const ProbeReply reply = login.Post("action=LOGOUT", {{"Cookie", "session=" + session}});
  EXPECT_EQ(reply.status, 303);
  EXPECT_EQ(reply.Header("Set-Cookie"), "session=; expires=Thu, 01 Jan 1970 00:00:00 GMT; Path=/; HttpOnly; SameSite=Lax");
  EXPECT_EQ(reply.Header("Location"), "/");
  // The session is gone, not only from the browser; the user's other stays.
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + session)).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + other)).second, Auth::kUser);
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

TEST_F(Authenticator, EachRememberedLoginIsANewSessionThatSurvivesRestarts) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string plain = SessionOf(login.Post("user=Alice&password=secret"));
  const std::string first = SessionOf(login.Post("user=Alice&password=secret&remember=ON"));
  ASSERT_EQ(first.size(), 40u);
  std::wstring sealed;
  ASSERT_EQ(platform::RegReadString(UserKey(L"Alice").get(), L"Cookie", sealed), ERROR_SUCCESS);
  EXPECT_EQ(sealed.find(platform::WideFromUtf8(first)), std::wstring::npos);  // not stored in clear
  // Later logins get sessions of their own; a second remembered one is made
  // from the same stored secret, which is not written again.
  const std::string second = SessionOf(login.Post("user=Alice&password=secret&remember=on"));
  const std::string later = SessionOf(login.Post("user=Alice&password=secret"));
  EXPECT_EQ(second.size(), 40u);
  EXPECT_NE(second, first);
  EXPECT_EQ(later.size(), 16u);
  std::wstring again;
  ASSERT_EQ(platform::RegReadString(UserKey(L"Alice").get(), L"Cookie", again), ERROR_SUCCESS);
  EXPECT_EQ(again, sealed);
  // Writing "Cookie" is a change under "Users": a reload keeps the user's
  // sessions in memory.
  CStatus reloaded;
  ASSERT_TRUE(auth->LoadUsers(reloaded).IsOK());
  for (const std::string& s : {plain, first, second, later})
    EXPECT_EQ(auth->GetUser(WithCookie("session=" + s)).first.str(), L"Alice") << s;
  // A forged remembered session (the secret's name with another nonce) is nobody's.
  std::string forged = second;
  forged[10] = forged[10] == 'A' ? 'B' : 'A';
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + forged)).second, Auth::kAnonymous);

  // A new authenticator (a restarted service) knows both from the registry.
  SetEvent(stop.get());
  auth.reset();
  for (auto& t : workers) t.join();
  workers.clear();
  ResetEvent(stop.get());
  ASSERT_TRUE(Start().IsOK());
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + first)).first.str(), L"Alice");
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + second)).first.str(), L"Alice");
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + plain)).second, Auth::kAnonymous);  // memory only
}

TEST_F(Authenticator, SigningOutOfARememberedSessionForgetsTheSecret) {
  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  const std::string plain = SessionOf(login.Post("user=Alice&password=secret"));
  const std::string first = SessionOf(login.Post("user=Alice&password=secret&remember=on"));
  const std::string second = SessionOf(login.Post("user=Alice&password=secret&remember=on"));
  const std::string root = SessionOf(login.Post("user=Root&password=toor&remember=on"));
  ASSERT_EQ(login.Post("action=logout", {{"Cookie", "session=" + first}}).status, 303);
  std::wstring sealed;
  EXPECT_EQ(platform::RegReadString(UserKey(L"Alice").get(), L"Cookie", sealed), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + first)).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + second)).second, Auth::kAnonymous);  // made from the same secret
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + plain)).second, Auth::kUser);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + root)).second, Auth::kAdministrator);  // another user's
  // Nor after a reload, nor after a restart.
  CStatus reloaded;
  ASSERT_TRUE(auth->LoadUsers(reloaded).IsOK());
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + second)).second, Auth::kAnonymous);
  SetEvent(stop.get());
  auth.reset();
  for (auto& t : workers) t.join();
  workers.clear();
  ResetEvent(stop.get());
  ASSERT_TRUE(Start().IsOK());
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + first)).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + second)).second, Auth::kAnonymous);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + root)).second, Auth::kAdministrator);
  // The next remembered login makes a new secret.
  LoginServer again(auth);
  const std::string fresh = SessionOf(again.Post("user=Alice&password=secret&remember=on"));
  EXPECT_EQ(fresh.size(), 40u);
  EXPECT_EQ(platform::RegReadString(UserKey(L"Alice").get(), L"Cookie", sealed), ERROR_SUCCESS);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + fresh)).first.str(), L"Alice");
}

TEST_F(Authenticator, ASessionStoredByEarlierVersionsIsNoLongerOne) {
  // Earlier versions stored the session itself, 16 hex digits, and handed
  // that same value to every login of the user.
  const std::string legacy = "0123456789ABCDEF";
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  ASSERT_TRUE(Start().IsOK());  // makes the persisted key
  ASSERT_EQ(NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
  ASSERT_EQ(NCryptOpenKey(provider, &key, Auth::kKeyName, 0, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG), ERROR_SUCCESS);
  DWORD size = 0;
  const auto* plain = reinterpret_cast<const BYTE*>(legacy.data());
  ASSERT_EQ(NCryptEncrypt(key, plain, 16, nullptr, nullptr, 0, &size, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG), ERROR_SUCCESS);
  std::vector<BYTE> sealed(size);
  ASSERT_EQ(NCryptEncrypt(key, plain, 16, nullptr, sealed.data(), size, &size, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG),
            ERROR_SUCCESS);
  NCryptFreeObject(key);
  NCryptFreeObject(provider);
  platform::RegWriteString(UserKey(L"Alice").get(), L"Cookie",
                           platform::WideFromUtf8(platform::Base64Encode(sealed.data(), size)));
  auth.reset();
  for (auto& t : workers) t.join();
  workers.clear();
  ResetEvent(stop.get());
  ASSERT_TRUE(Start().IsOK());
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + legacy)).second, Auth::kAnonymous);
  LoginServer login(auth);
  const std::string fresh = SessionOf(login.Post("user=Alice&password=secret&remember=on"));
  EXPECT_EQ(fresh.size(), 40u);
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + fresh)).first.str(), L"Alice");
  EXPECT_EQ(auth->GetUser(WithCookie("session=" + legacy)).second, Auth::kAnonymous);
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

TEST_F(Authenticator, HashSlotsLeaveACoreAndEachClientHoldsOnlyItsShare) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_GE(PasswordHashSlots(), 1);
  EXPECT_GE(PasswordHashThreads(), 1);
  EXPECT_LE(PasswordHashThreads(), 4);
  if (cores > 1) {
    EXPECT_LE(PasswordHashSlots() * PasswordHashThreads(), cores - 1);
  }
  EXPECT_GE(PasswordHashSlotsPerClient(), 1);
  if (PasswordHashSlots() > 1) {
    EXPECT_LT(PasswordHashSlotsPerClient(), PasswordHashSlots());
  }

  ASSERT_TRUE(Start().IsOK());
  LoginServer login(auth);
  int taken = 0;
  while (TryTakePasswordHashSlot("192.0.2.1")) ++taken;
  EXPECT_EQ(taken, PasswordHashSlotsPerClient());
  const ProbeReply busy = login.Post("user=Alice&password=secret", From("192.0.2.1"));
  // Another client finds a slot while the first holds its share (on a
  // machine with a single slot the first client holds all there is).
  const ProbeReply other = login.Post("user=Alice&password=secret", From("192.0.2.2"));
  for (int i = 0; i < taken; ++i) ReturnPasswordHashSlot("192.0.2.1");
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.Header("Retry-After"), "1");
  EXPECT_EQ(other.status, PasswordHashSlots() > PasswordHashSlotsPerClient() ? 303 : 503);
  EXPECT_EQ(login.Post("user=Alice&password=secret", From("192.0.2.1")).status, 303);
}

TEST_F(Authenticator, FailedLoginsSlowTheirClientForThatUserOnly) {
  // A first wait long enough that starting the next probe on a loaded
  // machine never outlasts it.
  CLoginBackoff::Limits limits;
  limits.firstWaitMs = 5'000;
  ASSERT_TRUE(Start(L"session", limits).IsOK());
  LoginServer login(auth);
  for (unsigned i = 0; i <= limits.freeFailures; ++i)
    ASSERT_EQ(login.Post("user=alice&password=wrong", From("192.0.2.7")).status, 401) << i;
  // The client now waits before it may try Alice again, even with the right password.
  const ProbeReply held = login.Post("user=ALICE&password=secret&OnFailure=%2Ffailed", From("192.0.2.7"));
  EXPECT_EQ(held.status, 429);
  // The rest of the first wait, in whole seconds rounded up.
  const int retryAfter = std::atoi(held.Header("Retry-After").value_or("0").c_str());
  EXPECT_GE(retryAfter, 1);
  EXPECT_LE(retryAfter, 5);
  EXPECT_FALSE(held.Header("Set-Cookie"));
  EXPECT_FALSE(held.Header("Location"));
  // Another user from that client, and that user from another client, are not held.
  EXPECT_EQ(login.Post("user=Root&password=toor", From("192.0.2.7")).status, 303);
  EXPECT_EQ(login.Post("user=Alice&password=secret", From("192.0.2.8")).status, 303);
  // Once the wait is over the right password lets the client in again.
  std::this_thread::sleep_for(std::chrono::milliseconds(limits.firstWaitMs + 100));
  EXPECT_EQ(login.Post("user=Alice&password=secret", From("192.0.2.7")).status, 303);
  EXPECT_EQ(login.Post("user=Alice&password=wrong", From("192.0.2.7")).status, 401);  // counting starts again
}

TEST(LoginBackoff, WaitsGrowPerClientAndUserAndEnd) {
  CLoginBackoff::Limits limits;
  limits.freeFailures = 2;
  limits.firstWaitMs = 1000;
  limits.longestWaitMs = 4000;
  limits.forgetAfterMs = 60'000;
  limits.maxRecords = 3;
  CLoginBackoff backoff(limits);
  const struct {
    const char* step;
    ULONGLONG now;
    bool fail;  // else: only ask
    ULONGLONG wait;  // WaitFor(a, "Alice") after the step
  } steps[] = {
      {"first failure is free", 0, true, 0},
      {"second failure is free", 10, true, 0},
      {"third earns the first wait", 20, true, 1000},
      {"the wait runs down", 520, false, 500},
      {"fourth doubles it", 1020, true, 2000},
      {"fifth doubles again", 3020, true, 4000},
      {"sixth stays at the ceiling", 7020, true, 4000},
      {"a wait over is no wait", 11020, false, 0},
  };
  for (const auto& s : steps) {
    if (s.fail) backoff.Failed("a", L"alice", s.now);
    EXPECT_EQ(backoff.WaitFor("a", L"Alice", s.now), s.wait) << s.step;
  }
  EXPECT_EQ(backoff.WaitFor("b", L"Alice", 7020), 0u);
  EXPECT_EQ(backoff.WaitFor("a", L"Bob", 7020), 0u);
  backoff.Succeeded("a", L"ALICE");
  EXPECT_EQ(backoff.Records(), 0u);
  // A record failed long ago counts afresh.
  for (ULONGLONG t : {0ull, 1ull, 2ull}) backoff.Failed("c", L"u", t);
  EXPECT_EQ(backoff.WaitFor("c", L"u", 3), 999u);
  backoff.Failed("c", L"u", 100'000);
  EXPECT_EQ(backoff.WaitFor("c", L"u", 100'000), 0u);
  // The table is bounded: the record failed longest ago goes first.
  backoff.Failed("d", L"u", 100'001);
  backoff.Failed("e", L"u", 100'002);
  backoff.Failed("f", L"u", 100'003);
  EXPECT_EQ(backoff.Records(), 3u);
}

TEST(LoginBackoff, ClientKeys) {
  const struct {
    const char* address;
    const char* key;
  } cases[] = {{"192.0.2.1", "192.0.2.1"},
               {"127.0.0.2", "127.0.0.2"},
               {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
               {"[2001:db8:1:2::9]", "2001:db8:1:2::/64"},
               {"::ffff:192.0.2.9", "192.0.2.9"},
               {"", ""},
               {"not an address", "not an address"}};
  for (const auto& c : cases) EXPECT_EQ(LoginClientKey(c.address), c.key) << c.address;
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
