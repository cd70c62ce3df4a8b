// Authenticator.h - CHTTPServer::CAuthenticator, the cookie-session authenticator of one host.
//
// It keeps the host's accounts (the subkeys of "Users\" under the host key),
// reloading them whenever that key changes; checks a login form against a
// salted Argon2id hash; hands out session cookies, and remembers a session in
// the registry, encrypted with the persisted machine AES key. For each request
// it tells the listener who sent it and at which access level.
//
// Every login gets a session of its own, and a sign-out ends the session it
// carries. Sessions that are not remembered live in memory: they end after an
// idle time, and each user keeps at most a fixed number of them (a new one
// drops the oldest); both come from values of the "Users" key. A remembered
// login makes the user's remembered secret (kept sealed in its "Cookie" value)
// once, and each remembered login gets a new session made from it: a nonce
// and a keyed hash of it under the secret, which the authenticator can check
// after a restart without keeping a list. The secret itself is never handed
// out. Signing out of a remembered session forgets the secret (the "Cookie"
// value goes), which ends every remembered session of that user.
//
// Logins wait for no hash: when every hash slot is busy, or the client's
// address already holds its share of them, the login is answered 503 at once,
// so a flood of logins from one source neither takes the listener's shared
// pool threads nor locks out everybody else. Failed attempts on a user from
// one address earn that address waits before it may try the user again
// (answered 429), see LoginBackoff.h.
#pragma once

#include "LibService/Status.h"
#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/LoginBackoff.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "REST APIs/HTTP Service/istring.h"
#include "platform/keystore/keystore.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <cpprest/http_msg.h>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>

// Starts a named worker thread whose body gets the service's stop event; the
// service framework provides it (its registry-change worker), tests start a
// plain thread. The status is the start's, not the body's.
using WorkerStarter = std::function<CStatus(const std::wstring& threadName, std::function<CStatus()> body)>;

class CHTTPServer::CAuthenticator : public std::enable_shared_from_this<CHTTPServer::CAuthenticator> {
 public:
  class Handler;

  // Access levels GetUser answers.
  static constexpr int kAnonymous = 1;
  static constexpr int kUser = 2;
  static constexpr int kAdministrator = 3;

  // backoff: the waits after failed logins (tests lengthen them).
  explicit CAuthenticator(std::wstring host, const CLoginBackoff::Limits& backoff = {});
  // Ends the users watcher (if it runs) before anything it uses goes away.
  virtual ~CAuthenticator();
  CAuthenticator(const CAuthenticator&) = delete;
  CAuthenticator& operator=(const CAuthenticator&) = delete;

  // Opens the key store (creating the persisted key on first use), loads
  // "Users\" of hostKey and starts the watcher through startWorker with the
  // service's stopEvent. A host without "Users\" has no users and no watcher.
  CStatus& Initialize(CStatus& status, const WorkerStarter& startWorker, HANDLE stopEvent, std::wstring host,
                      HKEY hostKey, std::wstring cookieName);
  // The watcher's body: reloads on every change under "Users\" until the stop
  // event (or the destructor) ends it, or a reload fails.
  CStatus& WatchUsers(CStatus& status, HANDLE stopEvent);
  CStatus& LoadUsers(CStatus& status);

  std::wstring GetSessionCookie(const web::http::http_request& request) const;
  std::pair<vantrel::basic_istring<wchar_t>, int> GetUser(const web::http::http_request& request) const;
  std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> Authenticate(
      const web::http::http_request& request, const CParameterMap& parameters);

  // The persisted key's name, one for the machine.
  static constexpr const wchar_t* kKeyName = L"Vantrel Webbridge Session Key";

  // Values of the "Users" key that bound the sessions not remembered. A
  // missing value, one of another type, or 0 gives the default.
  static constexpr const wchar_t* kIdleTimeoutValue = L"Session Idle Timeout";  // seconds
  static constexpr const wchar_t* kSessionsPerUserValue = L"Sessions Per User";
  static constexpr DWORD kDefaultIdleTimeoutSeconds = 3600;
  static constexpr DWORD kDefaultSessionsPerUser = 16;
  // What a login answers when every hash slot is busy: try again in a second.
  static constexpr const char* kBusyRetryAfter = "1";
  // A remembered session: 8 hex digits naming the secret, a 16-digit nonce,
  // and 16 digits of HMAC-SHA256 under the secret of the 24 before them.
  static constexpr size_t kRememberedSessionLength = 40;

 private:
  struct UserEntry {
    bool administrator = false;
    // The secret remembered sessions are made from (decrypted from "Cookie"),
    // and its public name; both empty when none. Guarded by m_tablesLock.
    std::wstring rememberedSecret;
    std::wstring secretId;
    std::wstring passwordText;      // Base64 salt + hex hash
    std::wstring passwordHash;      // 32 upper-case hex digits; empty: no password login
    std::array<unsigned char, 16> salt{};
    // The registry values the entry was made from; a password only as a
    // SHA-256 of its bytes, so that the text is not kept in memory.
    std::string fingerprint;
  };
  // A session; lastUsed (GetTickCount64) moves on every request that shows
  // it, also under the shared lock.
  struct Session {
    Session(std::shared_ptr<UserEntry> owner, ULONGLONG now, ULONGLONG order)
        : user(std::move(owner)), serial(order), lastUsed(now) {}
    Session(const Session& other) : user(other.user), serial(other.serial), lastUsed(other.lastUsed.load()) {}
    std::shared_ptr<UserEntry> user;
    ULONGLONG serial;  // order of making: the lowest is the oldest
    mutable std::atomic<ULONGLONG> lastUsed;
  };
  using UserTable = std::map<vantrel::basic_istring<wchar_t>, std::shared_ptr<UserEntry>>;
  static constexpr DWORD kErrorRetry = 1237;  // ERROR_RETRY: the client must wait
  using CookieTable = std::map<std::wstring, Session>;
  friend struct AuthenticatorTestAccess;

  CStatus LoadUser(HKEY usersKey, const std::wstring& name, std::shared_ptr<UserEntry>& entry);
  DWORD ReadPassword(UserEntry& entry, HKEY userKey, std::string& fingerprint);
  void ReadSessionLimits();
  std::wstring NewSessionValue();
  // Adds a session of entry, first dropping its expired sessions and, at the
  // cap, its oldest. False when the value is taken (draw another).
  bool AddSession(const std::shared_ptr<UserEntry>& entry, const std::wstring& session);
  bool IsExpired(const Session& session, ULONGLONG now) const;
  // Checks a login from client; on a match session is a new session of the
  // user, made from its remembered secret when remember is set.
  // ERROR_BUSY when no hash slot is free for client, kErrorRetry when client
  // must wait (retryAfterMs) before trying this user again,
  // ERROR_ACCESS_DENIED when the login does not match.
  DWORD CheckLogin(const std::string& client, const std::wstring& user, const std::wstring& password, bool remember,
                   std::wstring& session, ULONGLONG& retryAfterMs);
  // A new remembered session of entry, making (and storing) its secret first
  // when it has none. Empty when the account was replaced meanwhile.
  std::wstring NewRememberedSession(const std::shared_ptr<UserEntry>& entry, const std::wstring& user);
  // The owner of a remembered session value; the caller holds m_tablesLock.
  std::shared_ptr<UserEntry> RememberedOwnerLocked(const std::wstring& session) const;
  // Ends the session a sign-out carries: a session in memory goes; a
  // remembered one takes its user's secret (and "Cookie" value) with it.
  void EndSession(const std::wstring& session);
  // Seals secret with the persisted key into the text of a "Cookie" value.
  SECURITY_STATUS SealSecret(const std::wstring& secret, std::wstring& sealed);

  const std::wstring m_keyStorageProvider = MS_KEY_STORAGE_PROVIDER;
  const std::wstring m_keyAlgorithm = NCRYPT_AES_ALGORITHM;
  const std::wstring m_keyName = kKeyName;
  std::wstring m_host;
  platform::RegKey m_usersKey;

  // Lock order: m_tablesLock, then m_cookieLock. m_tablesLock guards m_users,
  // m_cookies and every entry's remembered secret (shared to read, exclusive
  // to change); m_cookieLock is also held exclusively whenever m_cookies
  // changes. Nothing that allocates runs with both held: nodes are made
  // before and inserted whole. m_randomLock guards m_random. m_loadLock
  // makes reloads one at a time, and is held while a secret is made or
  // forgotten (the "Cookie" value written, then the entry changed), so a
  // reload reads the registry either before or after both.
  // The session limits are atomics, read on every login.
  UserTable m_users;
  CookieTable m_cookies;
  mutable SRWLOCK m_tablesLock = SRWLOCK_INIT;
  mutable SRWLOCK m_cookieLock = SRWLOCK_INIT;
  std::mutex m_loadLock;
  std::mutex m_randomLock;
  std::atomic<ULONGLONG> m_idleTimeoutMs{kDefaultIdleTimeoutSeconds * 1000ull};
  std::atomic<DWORD> m_sessionsPerUser{kDefaultSessionsPerUser};
  std::atomic<ULONGLONG> m_nextSerial{1};

  // Set by Initialize before the host's listener opens; read-only afterwards.
  std::wstring m_cookieName;
  NCRYPT_PROV_HANDLE m_provider = 0;

  // Failed logins per client address and user.
  CLoginBackoff m_backoff;

  std::random_device m_random;
  std::uniform_int_distribution<unsigned long long> m_distribution{0, 0xFFFFFFFFFFFFFFFFull};

  // The destructor sets m_watchStop; the watcher sets m_watchDone as it ends.
  platform::UniqueHandle m_watchStop;
  platform::UniqueHandle m_watchDone;
  std::atomic<bool> m_watching{false};
};

// The request handler of the login location's POST: Authenticate.
class CHTTPServer::CAuthenticator::Handler : public CHTTPServer::CRequestHandler {
 public:
  explicit Handler(std::shared_ptr<CAuthenticator> authenticator) : m_authenticator(std::move(authenticator)) {}
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;

 private:
  std::shared_ptr<CAuthenticator> m_authenticator;
};

// Argon2id (v0x13, t=3, m=65536 KiB, p=4) of password's UTF-8 bytes with the
// 16-byte salt, as 32 upper-case hex digits; a Win32 code on failure. It
// waits for a hash slot.
DWORD HashPassword(const std::wstring& password, const unsigned char* salt, std::wstring& hexHash);
// The same for a login from client (LoginClientKey): ERROR_BUSY at once when
// no slot is free or client already holds PasswordHashSlotsPerClient().
DWORD HashPasswordForClient(const std::string& client, const std::wstring& password, const unsigned char* salt,
                            std::wstring& hexHash);

// The hash slots, sized from the cores so that at least one core is left to
// serve requests: each hash runs PasswordHashThreads() threads (its four
// lanes shared among them), PasswordHashSlots() hashes at once (fewer than
// the listener's pool threads), of which one client address holds at most
// PasswordHashSlotsPerClient(). Taking and returning a slot by hand lets a
// caller see what a login answers when all are busy.
int PasswordHashThreads();
int PasswordHashSlots();
int PasswordHashSlotsPerClient();
bool TryTakePasswordHashSlot();
void ReturnPasswordHashSlot();
// A slot as a login from client takes it: one of the shared ones and one of
// the client's share.
bool TryTakePasswordHashSlot(const std::string& client);
void ReturnPasswordHashSlot(const std::string& client);

// The client address of a request for the login limits (LoginClientKey of
// the address the front names, or of the socket's peer without a front).
std::string LoginClientOf(const web::http::http_request& request);
