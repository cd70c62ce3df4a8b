// Authenticator.cpp - accounts, password checks, sessions and the login form.
//
// Accounts are reloaded whole: a pass builds new tables aside and swaps them
// in under both locks, so request threads see either the old or the new set.
// A user whose password and level did not change keeps its entry object, and
// with it the sessions it had; its remembered secret follows the "Cookie"
// value. Password hashes are computed outside every lock (Argon2id takes a
// noticeable time and 64 MiB); a semaphore bounds how many run at once, and a
// table of client addresses how many of them one client holds. An unknown
// user or empty password costs a hash as well, and hashes compare in constant
// time, so answers do not tell which accounts exist.
#include "REST APIs/HTTP Service/Authenticator.h"
#include "REST APIs/HTTP Service/ListenerOpen.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include "platform/http/front.h"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <cpprest/containerstream.h>
#include <cpprest/uri.h>

#include <algorithm>
#include <semaphore>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kUsersAccess = 0x2001F;
constexpr DWORD MSG_BAD_COOKIE_NAME = 0xC00000CA;

// Stored salts and cookies are read the lenient way: characters outside the
// alphabet are skipped and a NUL ends the text.
bool DecodeBase64(std::wstring_view text, std::vector<BYTE>& out) {
  return platform::Base64Decode(text, out, platform::Base64Foreign::Skip);
}

bool ConstantTimeEquals(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  wchar_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

DWORD Win32FromArgon2(int result) {
  switch (result) {
    case ARGON2_THREAD_FAIL: return 1054;
    case ARGON2_DECODING_FAIL: return 8253;
    case ARGON2_ENCODING_FAIL: return 8252;
    case ARGON2_INCORRECT_PARAMETER: return ERROR_INVALID_PARAMETER;
    case ARGON2_MEMORY_ALLOCATION_ERROR: return ERROR_NOT_ENOUGH_MEMORY;
    case ARGON2_PWD_TOO_SHORT: return 615;
    default: return ERROR_INTERNAL_ERROR;
  }
}

// cpprestsdk's shared pool runs 40 threads unless told otherwise; logins run
// on them, so hashes must leave most of them to other requests.
constexpr unsigned kPoolThreads = 40;
// The hash's parallelism (part of its result): four lanes, which
// PasswordHashThreads() threads share. Each hash takes 64 MiB: more hashes at
// once than the cores can carry only queue memory and slow every request.
constexpr unsigned kHashLanes = 4;

std::counting_semaphore<kPoolThreads>& HashSlots() {
  static auto* slots = new std::counting_semaphore<kPoolThreads>(PasswordHashSlots());
  return *slots;
}

// The cores hashes may use: all but one, which stays for serving.
unsigned HashCores() { return std::max(1u, std::max(1u, std::thread::hardware_concurrency()) - 1); }

// The hash slots each client address holds now; m_lock guards m_held.
struct ClientShares {
  SRWLOCK m_lock = SRWLOCK_INIT;
  std::map<std::string, int> m_held;
};

ClientShares& Shares() {
  static auto* shares = new ClientShares;
  return *shares;
}

bool TakeClientShare(const std::string& client) {
  ClientShares& shares = Shares();
  platform::SrwExclusiveLock hold(shares.m_lock);
  const auto found = shares.m_held.find(client);
  if (found == shares.m_held.end()) {
    shares.m_held.emplace(client, 1);
    return true;
  }
  if (found->second >= PasswordHashSlotsPerClient()) return false;
  ++found->second;
  return true;
}

void ReturnClientShare(const std::string& client) {
  ClientShares& shares = Shares();
  platform::SrwExclusiveLock hold(shares.m_lock);
  const auto found = shares.m_held.find(client);
  if (found != shares.m_held.end() && --found->second <= 0) shares.m_held.erase(found);
}

// Argon2id with the account parameters; the caller holds a hash slot.
DWORD RunArgon2(const std::wstring& password, const unsigned char* salt, std::wstring& hexHash) {
  std::string bytes = platform::Utf8FromWide(password);
  unsigned char hash[16];
  argon2_context context{};
  context.out = hash;
  context.outlen = sizeof hash;
  context.pwd = reinterpret_cast<uint8_t*>(bytes.data());
  context.pwdlen = static_cast<uint32_t>(bytes.size());
  context.salt = const_cast<uint8_t*>(salt);
  context.saltlen = 16;
  context.t_cost = 3;
  context.m_cost = 65536;
  context.lanes = kHashLanes;
  context.threads = static_cast<uint32_t>(PasswordHashThreads());
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int rc = argon2_ctx(&context, Argon2_id);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (rc != ARGON2_OK) return Win32FromArgon2(rc);
  hexHash = platform::HexEncodeW(hash, sizeof hash);
  return ERROR_SUCCESS;
}

// The first bytes of HMAC-SHA256 of text under secret, as upper-case hex.
std::wstring KeyedDigest(const std::wstring& secret, const std::wstring& text, size_t bytes) {
  const std::string key = platform::Utf8FromWide(secret);
  const std::string data = platform::Utf8FromWide(text);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
           data.size(), mac, &size) == nullptr)
    return {};
  return platform::HexEncodeW(mac, std::min<size_t>(bytes, size));
}

// The public name of a secret, the first part of its sessions.
std::wstring SecretIdOf(const std::wstring& secret) { return KeyedDigest(secret, L"secret id", 4); }

// Secrets this program makes are 32 hex digits. A shorter "Cookie" value is
// the session itself as earlier versions stored it, which every login of the
// user was handed: not a secret, and no longer a session.
constexpr size_t kSecretLength = 32;

// SHA-256 of bytes, as raw digest bytes.
std::string Sha256(const void* bytes, size_t size) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(static_cast<const unsigned char*>(bytes), size, digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// Reads a DWORD value of key; a missing value, one of another type or size,
// or 0 gives fallback.
DWORD ReadLimit(HKEY key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0, type = 0, size = sizeof value;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value || value == 0)
    return fallback;
  return value;
}

// A string value as the authenticator reads it: REG_SZ or REG_EXPAND_SZ, an
// even byte count and a terminating NUL, else ERROR_INVALID_DATA. Zero bytes
// read as the empty string.
DWORD ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out, std::string* raw = nullptr) {
  DWORD type = 0, size = 0;
  LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  std::vector<BYTE> bytes(size);
  rc = RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  bytes.resize(size);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (raw != nullptr) raw->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (size == 0) {
    out.clear();
    return ERROR_SUCCESS;
  }
  if (size % 2 != 0 || size < 2 || bytes[size - 1] != 0 || bytes[size - 2] != 0) return ERROR_INVALID_DATA;
  out = platform::WideFromUtf16le(bytes.data(), size - 2);
  return ERROR_SUCCESS;
}

// A cookie name must be an RFC 6265 token to be found among a header's pairs.
bool IsCookieToken(const std::wstring& name) {
  for (wchar_t c : name)
    if (c <= 0x20 || c >= 0x7F || std::wcschr(L"()<>@,;:\\\"/[]?={}", c) != nullptr) return false;
  return true;
}

// A form value as the listener decoded it (once; decoding again would change
// a password holding "%").
std::wstring FormValue(const CParameterMap& fields, const wchar_t* name) {
  const std::wstring* found = fields.Find(name);
  return found == nullptr ? std::wstring() : *found;
}

// Only local paths may be redirect targets: "/" but not "//" or "/\", and no
// control characters, so neither the form nor the Referer can send the
// browser elsewhere or split the reply's headers.
bool IsLocalTarget(const std::wstring& target) {
  if (target.empty() || target[0] != L'/') return false;
  if (target.size() > 1 && (target[1] == L'/' || target[1] == L'\\')) return false;
  for (wchar_t c : target)
    if (c < 0x20 || c == 0x7F) return false;
  return web::uri::validate(platform::Utf8FromWide(target));
}

std::wstring RequestHeader(const web::http::http_request& request, const char* name) {
  std::string value;
  return request.headers().match(name, value) ? platform::WideFromUtf8(value) : std::wstring();
}

class Response : public CHTTPServer::CRequestHandler::CResponse {
 public:
  Response(std::uint16_t status, web::http::http_headers headers)
      : m_status(status),
        m_headers(std::move(headers)),
        m_body(concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>())) {}
  std::uint16_t GetStatusCode() override { return m_status; }
  web::http::http_headers& GetHeaders() override { return m_headers; }
  concurrency::streams::istream& GetBody() override { return m_body; }
  std::wstring GetContentType() override { return {}; }

 private:
  std::uint16_t m_status;
  web::http::http_headers m_headers;
  concurrency::streams::istream m_body;
};

// Opens the persisted key; the caller frees it.
SECURITY_STATUS OpenSessionKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE& key) {
  return NCryptOpenKey(provider, &key, CHTTPServer::CAuthenticator::kKeyName, 0,
                       NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG);
}

}  // namespace

int PasswordHashThreads() { return static_cast<int>(std::clamp(HashCores() / 3, 1u, kHashLanes)); }

int PasswordHashSlots() {
  return static_cast<int>(std::clamp(HashCores() / static_cast<unsigned>(PasswordHashThreads()), 1u, kPoolThreads / 4));
}

int PasswordHashSlotsPerClient() { return std::max(1, PasswordHashSlots() / 2); }

bool TryTakePasswordHashSlot() { return HashSlots().try_acquire(); }
void ReturnPasswordHashSlot() { HashSlots().release(); }

bool TryTakePasswordHashSlot(const std::string& client) {
  if (!TakeClientShare(client)) return false;
  if (HashSlots().try_acquire()) return true;
  ReturnClientShare(client);
  return false;
}

void ReturnPasswordHashSlot(const std::string& client) {
  HashSlots().release();
  ReturnClientShare(client);
}

DWORD HashPassword(const std::wstring& password, const unsigned char* salt, std::wstring& hexHash) {
  HashSlots().acquire();
  const DWORD rc = RunArgon2(password, salt, hexHash);
  HashSlots().release();
  return rc;
}

DWORD HashPasswordForClient(const std::string& client, const std::wstring& password, const unsigned char* salt,
                            std::wstring& hexHash) {
  if (!TryTakePasswordHashSlot(client)) return ERROR_BUSY;
  const DWORD rc = RunArgon2(password, salt, hexHash);
  ReturnPasswordHashSlot(client);
  return rc;
}

std::string LoginClientOf(const web::http::http_request& request) {
  const auto& headers = request.headers();
  const auto found = headers.find(platform::http::kPeerHeader);
  std::string address, scheme;
  WORD port = 0;
  if (found != headers.end() && platform::http::ParsePeerHeader(found->second, address, port, scheme))
    return LoginClientKey(address);
  return LoginClientKey(request.remote_address());
}

CHTTPServer::CAuthenticator::CAuthenticator(std::wstring host, const CLoginBackoff::Limits& backoff)
    : m_host(std::move(host)),
      m_backoff(backoff),
      m_watchStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_watchDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CHTTPServer::CAuthenticator::~CAuthenticator() {
  if (m_watching.load()) {
    SetEvent(m_watchStop.get());
    WaitForSingleObject(m_watchDone.get(), INFINITE);
  }
  if (m_provider != 0) NCryptFreeObject(m_provider);
}

CStatus& CHTTPServer::CAuthenticator::Initialize(CStatus& status, const WorkerStarter& startWorker, HANDLE stopEvent,
                                                 std::wstring host, HKEY hostKey, std::wstring cookieName) {
  status = CStatus();
  m_host = std::move(host);
  SECURITY_STATUS s = NCryptOpenStorageProvider(&m_provider, m_keyStorageProvider.c_str(), 0);
  if (s != ERROR_SUCCESS) return status = CStatus(NewHRESULT(VN_HERE, s));

  NCRYPT_KEY_HANDLE key = 0;
  s = OpenSessionKey(m_provider, key);
  if (s == NTE_NOT_FOUND || s == NTE_BAD_KEYSET) {
    s = NCryptCreatePersistedKey(m_provider, &key, m_keyAlgorithm.c_str(), m_keyName.c_str(), 0,
                                 NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG);
    if (s == ERROR_SUCCESS) {
      const DWORD policy = 0;
      s = NCryptSetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<const BYTE*>(&policy), sizeof policy,
                            NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG);
    }
    if (s == ERROR_SUCCESS) s = NCryptFinalizeKey(key, NCRYPT_SILENT_FLAG);
    // Another process made the key between our open and create: use theirs.
    if (s == NTE_EXISTS) s = ERROR_SUCCESS;
  }
  if (key != 0) NCryptFreeObject(key);
  if (s != ERROR_SUCCESS) return status = CStatus(NewHRESULT(VN_HERE, s));

  if (RegOpenKeyExW(hostKey, L"Users\\", 0, kUsersAccess, m_usersKey.put()) == ERROR_SUCCESS) {
    LoadUsers(status);
    if (status.IsOK() && startWorker) {
      m_watching = true;
      status = startWorker(L"RegistryChangeWorker", [this, stopEvent] {
        CStatus result;
        WatchUsers(result, stopEvent);
        return result;
      });
      if (!status.IsOK()) m_watching = false;
    }
  } else {
    m_usersKey.reset();
  }
  if (!status.IsOK()) return status;

  if (!cookieName.empty() && !IsCookieToken(cookieName))
    return status = CStatus(NewErrorMessage(VN_HERE, MSG_BAD_COOKIE_NAME, {m_host}));
  m_cookieName = std::move(cookieName);
  return status;
}

CStatus& CHTTPServer::CAuthenticator::WatchUsers(CStatus& status, HANDLE stopEvent) {
  status = CStatus();
  platform::UniqueHandle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!changed) status = CStatus(NewLastError(VN_HERE));
  while (status.IsOK()) {
    const LSTATUS rc = RegNotifyChangeKeyValue(m_usersKey.get(), TRUE,
                                               REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE);
    if (rc != ERROR_SUCCESS) {
      status = CStatus(NewErrorNumber(VN_HERE, static_cast<DWORD>(rc)));
      break;
    }
    const HANDLE waits[] = {changed.get(), stopEvent != nullptr ? stopEvent : m_watchStop.get(), m_watchStop.get()};
    const DWORD w = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0) {
      LoadUsers(status);
    } else if (w == WAIT_OBJECT_0 + 1 || w == WAIT_OBJECT_0 + 2) {
      break;
    } else {
      status = CStatus(NewLastError(VN_HERE));
    }
  }
  SetEvent(m_watchDone.get());  // last touch of this object
  return status;
}

DWORD CHTTPServer::CAuthenticator::ReadPassword(UserEntry& entry, HKEY userKey, std::string& fingerprint) {
  DWORD type = 0, size = 0;
  LSTATUS rc = RegQueryValueExW(userKey, L"Password", nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::wstring plain;
    std::string raw;
    const DWORD code = ReadStringValue(userKey, L"Password", plain, &raw);
    fingerprint += Sha256(raw.data(), raw.size());
    OPENSSL_cleanse(raw.data(), raw.size());
    if (code != ERROR_SUCCESS) return code;
    // An empty password can never log in; it keeps no hash.
    if (plain.empty()) return ERROR_SUCCESS;
    HCRYPTPROV random = 0;
    if (!CryptAcquireContextW(&random, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
      return GetLastError();
    const BOOL drawn = CryptGenRandom(random, 16, entry.salt.data());
    const DWORD drawError = drawn ? ERROR_SUCCESS : GetLastError();
    CryptReleaseContext(random, 0);
    if (!drawn) return drawError;
    const DWORD hashed = HashPassword(plain, entry.salt.data(), entry.passwordHash);
    if (hashed != ERROR_SUCCESS) return hashed;
    entry.passwordText = platform::WideFromUtf8(platform::Base64Encode(entry.salt.data(), 16)) + entry.passwordHash;
    return ERROR_SUCCESS;
  }
  if (type == REG_BINARY) {
    std::vector<BYTE> bytes(size);
    rc = RegQueryValueExW(userKey, L"Password", nullptr, &type, bytes.data(), &size);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    if (type != REG_BINARY) return ERROR_INVALID_DATA;
    bytes.resize(size);
    fingerprint.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    entry.passwordText = platform::WideFromUtf8(std::string(bytes.begin(), bytes.end()));
    std::vector<unsigned char> salt;
    if (entry.passwordText.size() < 24 || !DecodeBase64(entry.passwordText.substr(0, 24), salt) || salt.size() != 16)
      return ERROR_INVALID_DATA;
    std::copy(salt.begin(), salt.end(), entry.salt.begin());
    entry.passwordHash = entry.passwordText.substr(24);
    return ERROR_SUCCESS;
  }
  return ERROR_INVALID_DATA;
}

CStatus CHTTPServer::CAuthenticator::LoadUser(HKEY usersKey, const std::wstring& name,
                                              std::shared_ptr<UserEntry>& entry) {
  platform::RegKey userKey;
  LSTATUS rc = RegOpenKeyExW(usersKey, name.c_str(), 0, kUsersAccess, userKey.put());
  if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(VN_HERE, static_cast<DWORD>(rc)));
  entry = std::make_shared<UserEntry>();
  std::string fingerprint;

  DWORD type = 0, size = 0;
  if (RegQueryValueExW(userKey.get(), L"Password", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    fingerprint += "P" + std::to_string(type) + ":";
    const DWORD code = ReadPassword(*entry, userKey.get(), fingerprint);
    if (code != ERROR_SUCCESS) return CStatus(NewErrorNumber(VN_HERE, code));
  }

  if (RegQueryValueExW(userKey.get(), L"Cookie", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    // Not part of the fingerprint: a remembered login writes it, and that
    // must not end the user's other sessions.
    std::wstring sealedText;
    const DWORD code = ReadStringValue(userKey.get(), L"Cookie", sealedText);
    if (code != ERROR_SUCCESS) return CStatus(NewErrorNumber(VN_HERE, code));
    std::vector<unsigned char> sealed;
    if (!sealedText.empty() && DecodeBase64(sealedText, sealed) && !sealed.empty()) {
      NCRYPT_KEY_HANDLE key = 0;
      SECURITY_STATUS s = OpenSessionKey(m_provider, key);
      DWORD plainSize = 0;
      std::string plain;
      if (s == ERROR_SUCCESS)
        s = NCryptDecrypt(key, sealed.data(), static_cast<DWORD>(sealed.size()), nullptr, nullptr, 0, &plainSize,
                          NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG);
      if (s == ERROR_SUCCESS) {
        plain.resize(plainSize);
        s = NCryptDecrypt(key, sealed.data(), static_cast<DWORD>(sealed.size()), nullptr,
                          reinterpret_cast<BYTE*>(plain.data()), plainSize, &plainSize,
                          NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG);
        plain.resize(plainSize);
      }
      if (key != 0) NCryptFreeObject(key);
      if (s != ERROR_SUCCESS) return CStatus(NewHRESULT(VN_HERE, s));
      std::wstring secret = platform::WideFromUtf8(plain);
      OPENSSL_cleanse(plain.data(), plain.size());
      if (secret.size() >= kSecretLength) {
        entry->secretId = SecretIdOf(secret);
        entry->rememberedSecret = std::move(secret);
      }
    }
  }

  DWORD administrator = 0;
  size = sizeof administrator;
  rc = RegQueryValueExW(userKey.get(), L"Administrator", nullptr, &type, reinterpret_cast<BYTE*>(&administrator), &size);
  if (rc == ERROR_SUCCESS) {
    if (type != REG_DWORD || size != sizeof administrator) return CStatus(NewErrorNumber(VN_HERE, ERROR_INVALID_DATA));
    entry->administrator = administrator != 0;
  } else if (rc == ERROR_MORE_DATA) {
    return CStatus(NewErrorNumber(VN_HERE, ERROR_INVALID_DATA));
  } else if (rc != ERROR_FILE_NOT_FOUND) {
    return CStatus(NewErrorNumber(VN_HERE, static_cast<DWORD>(rc)));
  }
  fingerprint += "|A" + std::to_string(entry->administrator);
  entry->fingerprint = std::move(fingerprint);
  return CStatus();
}

CStatus& CHTTPServer::CAuthenticator::LoadUsers(CStatus& status) {
  std::lock_guard<std::mutex> oneAtATime(m_loadLock);
  status = CStatus();
  DWORD longest = 0;
  LSTATUS rc = RegQueryInfoKeyW(m_usersKey.get(), nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return status = CStatus(NewErrorNumber(VN_HERE, static_cast<DWORD>(rc)));

  UserTable users;
  CookieTable cookies;
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    std::vector<wchar_t> name(longest + 1);
    DWORD length = longest + 1;
    rc = RegEnumKeyExW(m_usersKey.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // A user added with a longer name since the measure: keep the old
    // tables; the change that added it wakes the watcher again.
    if (rc == ERROR_MORE_DATA) return status;
    if (rc != ERROR_SUCCESS) return status = CStatus(NewErrorNumber(VN_HERE, static_cast<DWORD>(rc)));
    names.emplace_back(name.data(), length);
  }

  for (const std::wstring& name : names) {
    std::shared_ptr<UserEntry> entry;
    status = LoadUser(m_usersKey.get(), name, entry);
    if (!status.IsOK()) return status;
    users.emplace(name, entry);
  }

  ReadSessionLimits();
  const ULONGLONG now = GetTickCount64();
  // The new cookie table is built under the tables lock alone; the cookie
  // lock is taken only for the swaps, which do not allocate.
  platform::SrwExclusiveLock tables(m_tablesLock);
  for (auto& [name, entry] : users) {
    // An unchanged account keeps its entry, and so its sessions; its secret
    // is what "Cookie" holds now (secrets change only under m_loadLock, with
    // the registry first, so the value read is the latest).
    const auto old = m_users.find(name);
    if (old != m_users.end() && old->first.str() == name.str() && old->second->fingerprint == entry->fingerprint) {
      old->second->rememberedSecret.swap(entry->rememberedSecret);
      old->second->secretId.swap(entry->secretId);
      entry = old->second;
      for (const auto& [cookie, session] : m_cookies)
        if (session.user == entry && !IsExpired(session, now)) cookies.emplace(cookie, session);
    }
  }
  platform::SrwExclusiveLock cookieTable(m_cookieLock);
  m_users.swap(users);
  m_cookies.swap(cookies);
  return status;
}

void CHTTPServer::CAuthenticator::ReadSessionLimits() {
  m_idleTimeoutMs = 1000ull * ReadLimit(m_usersKey.get(), kIdleTimeoutValue, kDefaultIdleTimeoutSeconds);
  m_sessionsPerUser = ReadLimit(m_usersKey.get(), kSessionsPerUserValue, kDefaultSessionsPerUser);
}

bool CHTTPServer::CAuthenticator::IsExpired(const Session& session, ULONGLONG now) const {
  return now - session.lastUsed.load(std::memory_order_relaxed) > m_idleTimeoutMs.load();
}

std::wstring CHTTPServer::CAuthenticator::GetSessionCookie(const web::http::http_request& request) const {
  if (m_cookieName.empty()) return {};
  for (const auto& [name, value] : request.headers()) {
    if (!platform::EqualsNoCaseA(name, "Cookie")) continue;
    // Pairs are separated by ";"; the library joins repeated headers with
    // ",", which no cookie value may contain.
    const std::wstring text = platform::WideFromUtf8(value);
    size_t start = 0;
    while (start <= text.size()) {
      const size_t end = text.find_first_of(L";,", start);
      const size_t length = end == std::wstring::npos ? end : end - start;
      const std::wstring_view pair =
          platform::Trim(std::wstring_view(text).substr(start, length), platform::Blanks::SpaceTab);
      const size_t eq = pair.find(L'=');
      if (eq != std::wstring::npos && platform::Trim(pair.substr(0, eq), platform::Blanks::SpaceTab) == m_cookieName)
        return std::wstring(platform::Trim(pair.substr(eq + 1), platform::Blanks::SpaceTab));
      if (end == std::wstring::npos) break;
      start = end + 1;
    }
  }
  return {};
}

std::pair<vantrel::basic_istring<wchar_t>, int> CHTTPServer::CAuthenticator::GetUser(
    const web::http::http_request& request) const {
  const std::wstring cookie = GetSessionCookie(request);
  if (cookie.empty()) return {{}, kAnonymous};
  const ULONGLONG now = GetTickCount64();
  platform::SrwSharedLock tables(m_tablesLock);
  std::shared_ptr<UserEntry> owner;
  const auto found = m_cookies.find(cookie);
  if (found != m_cookies.end()) {
    if (IsExpired(found->second, now)) return {{}, kAnonymous};
    found->second.lastUsed.store(now, std::memory_order_relaxed);
    owner = found->second.user;
  } else {
    owner = RememberedOwnerLocked(cookie);
  }
  if (owner == nullptr) return {{}, kAnonymous};
  for (const auto& [name, entry] : m_users)
    if (entry == owner) return {name, entry->administrator ? kAdministrator : kUser};
  return {{}, kAnonymous};
}

std::shared_ptr<CHTTPServer::CAuthenticator::UserEntry> CHTTPServer::CAuthenticator::RememberedOwnerLocked(
    const std::wstring& session) const {
  if (session.size() != kRememberedSessionLength) return nullptr;
  const std::wstring id = session.substr(0, 8);
  for (const auto& [name, entry] : m_users) {
    if (entry->secretId.empty() || entry->secretId != id) continue;
    if (ConstantTimeEquals(session.substr(24), KeyedDigest(entry->rememberedSecret, session.substr(0, 24), 8)))
      return entry;
  }
  return nullptr;
}

std::wstring CHTTPServer::CAuthenticator::NewSessionValue() {
  std::lock_guard<std::mutex> hold(m_randomLock);
  const unsigned long long high = m_random() & 0xFFFFFFFFull;
  const unsigned long long low = m_random() & 0xFFFFFFFFull;
  return platform::FormatW(L"%16.16llX", (high << 32) | low);
}

bool CHTTPServer::CAuthenticator::AddSession(const std::shared_ptr<UserEntry>& entry, const std::wstring& session) {
  const ULONGLONG now = GetTickCount64();
  CookieTable made;
  made.emplace(session, Session(entry, now, m_nextSerial.fetch_add(1)));
  CookieTable::node_type node = made.extract(made.begin());

  platform::SrwExclusiveLock tables(m_tablesLock);
  if (m_cookies.count(session) != 0) return false;
  platform::SrwExclusiveLock cookieTable(m_cookieLock);
  // The user's sessions that count against the cap: expired ones go first,
  // then the oldest while the cap is reached.
  size_t count = 0;
  for (auto it = m_cookies.begin(); it != m_cookies.end();) {
    if (it->second.user == entry && IsExpired(it->second, now)) {
      it = m_cookies.erase(it);
      continue;
    }
    if (it->second.user == entry) ++count;
    ++it;
  }
  for (; count >= m_sessionsPerUser.load(); --count) {
    auto oldest = m_cookies.end();
    for (auto it = m_cookies.begin(); it != m_cookies.end(); ++it)
      if (it->second.user == entry && (oldest == m_cookies.end() || it->second.serial < oldest->second.serial))
        oldest = it;
    if (oldest == m_cookies.end()) break;
    m_cookies.erase(oldest);
  }
  m_cookies.insert(std::move(node));
  return true;
}

SECURITY_STATUS CHTTPServer::CAuthenticator::SealSecret(const std::wstring& secret, std::wstring& sealedText) {
  std::string plain = platform::Utf8FromWide(secret);
  NCRYPT_KEY_HANDLE key = 0;
  SECURITY_STATUS s = OpenSessionKey(m_provider, key);
  DWORD size = 0;
  std::vector<BYTE> sealed;
  if (s == ERROR_SUCCESS)
    s = NCryptEncrypt(key, reinterpret_cast<const BYTE*>(plain.data()), static_cast<DWORD>(plain.size()), nullptr,
                      nullptr, 0, &size, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG);
  if (s == ERROR_SUCCESS) {
    sealed.resize(size);
    s = NCryptEncrypt(key, reinterpret_cast<const BYTE*>(plain.data()), static_cast<DWORD>(plain.size()), nullptr,
                      sealed.data(), size, &size, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG);
    sealed.resize(size);
  }
  if (key != 0) NCryptFreeObject(key);
  OPENSSL_cleanse(plain.data(), plain.size());
  if (s == ERROR_SUCCESS) sealedText = platform::WideFromUtf8(platform::Base64Encode(sealed.data(), sealed.size()));
  return s;
}

std::wstring CHTTPServer::CAuthenticator::NewRememberedSession(const std::shared_ptr<UserEntry>& entry,
                                                               const std::wstring& user) {
  // The account as the check saw it, or nothing when a reload replaced it.
  const auto current = [&](std::wstring& secret, std::wstring& id) {
    platform::SrwSharedLock tables(m_tablesLock);
    const auto found = m_users.find(vantrel::basic_istring<wchar_t>(user));
    if (found == m_users.end() || found->second != entry) return false;
    secret = entry->rememberedSecret;
    id = entry->secretId;
    return true;
  };
  std::wstring secret, id;
  if (!current(secret, id)) return {};
  if (secret.empty()) {
    std::lock_guard<std::mutex> oneAtATime(m_loadLock);
    if (!current(secret, id)) return {};
    if (secret.empty()) {
      secret = NewSessionValue() + NewSessionValue();
      id = SecretIdOf(secret);
      // Stored first, then known: a reload reads it either way. A failure
      // is reported; the secret then lasts until the next reload.
      std::wstring sealed;
      const SECURITY_STATUS s = SealSecret(secret, sealed);
      if (s != ERROR_SUCCESS) {
        ReportError(CErrorHRESULT(VN_HERE, s));
      } else {
        platform::RegKey userKey;
        LSTATUS rc = RegOpenKeyExW(m_usersKey.get(), user.c_str(), 0, kUsersAccess, userKey.put());
        if (rc == ERROR_SUCCESS) rc = platform::RegWriteString(userKey.get(), L"Cookie", sealed, REG_SZ);
        if (rc != ERROR_SUCCESS) ReportError(CErrorNumber(VN_HERE, MSG_SYSTEM_ERROR, static_cast<DWORD>(rc)));
      }
      platform::SrwExclusiveLock tables(m_tablesLock);
      entry->rememberedSecret = secret;
      entry->secretId = id;
    }
  }
  const std::wstring named = id + NewSessionValue();
  return named + KeyedDigest(secret, named, 8);
}

void CHTTPServer::CAuthenticator::EndSession(const std::wstring& session) {
  if (session.empty()) return;
  CookieTable::node_type ended;  // freed after the locks
  std::shared_ptr<UserEntry> owner;
  std::wstring user;
  {
    platform::SrwExclusiveLock tables(m_tablesLock);
    const auto found = m_cookies.find(session);
    if (found != m_cookies.end()) {
      platform::SrwExclusiveLock cookieTable(m_cookieLock);
      ended = m_cookies.extract(found);
      return;
    }
    owner = RememberedOwnerLocked(session);
    if (owner == nullptr) return;
  }
  // A remembered session: its user's secret goes, registry first.
  std::lock_guard<std::mutex> oneAtATime(m_loadLock);
  {
    platform::SrwSharedLock tables(m_tablesLock);
    if (RememberedOwnerLocked(session) != owner) return;  // already forgotten, or the account replaced
    for (const auto& [name, entry] : m_users)
      if (entry == owner) user = name.str();
  }
  platform::RegKey userKey;
  LSTATUS rc = RegOpenKeyExW(m_usersKey.get(), user.c_str(), 0, kUsersAccess, userKey.put());
  if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(userKey.get(), L"Cookie");
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    ReportError(CErrorNumber(VN_HERE, MSG_SYSTEM_ERROR, static_cast<DWORD>(rc)));
  platform::SrwExclusiveLock tables(m_tablesLock);
  owner->rememberedSecret.clear();
  owner->secretId.clear();
}

DWORD CHTTPServer::CAuthenticator::CheckLogin(const std::string& client, const std::wstring& user,
                                              const std::wstring& password, bool remember, std::wstring& session,
                                              ULONGLONG& retryAfterMs) {
  retryAfterMs = m_backoff.WaitFor(client, user, GetTickCount64());
  if (retryAfterMs != 0) return kErrorRetry;

  // Copy what the check needs, then hash outside the locks.
  std::array<unsigned char, 16> salt{};
  std::wstring expected;
  std::shared_ptr<UserEntry> entry;
  vantrel::basic_istring<wchar_t> storedName;
  {
    platform::SrwSharedLock tables(m_tablesLock);
    const auto found = m_users.find(vantrel::basic_istring<wchar_t>(user));
    if (found != m_users.end()) {
      entry = found->second;
      storedName = found->first;
      salt = entry->salt;
      expected = entry->passwordHash;
    }
  }

  std::wstring typed;
  const DWORD hashed = HashPasswordForClient(client, password, salt.data(), typed);
  if (hashed == ERROR_BUSY) return hashed;
  const bool match = entry != nullptr && !password.empty() && !expected.empty() && hashed == ERROR_SUCCESS &&
                     ConstantTimeEquals(typed, expected);
  if (!match) {
    m_backoff.Failed(client, user, GetTickCount64());
    return ERROR_ACCESS_DENIED;
  }
  m_backoff.Succeeded(client, user);

  if (remember) {
    session = NewRememberedSession(entry, storedName.str());
    return session.empty() ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  for (;;) {
    {
      platform::SrwSharedLock tables(m_tablesLock);
      const auto again = m_users.find(storedName);
      // A reload replaced the account since the check: no session.
      if (again == m_users.end() || again->second != entry) return ERROR_ACCESS_DENIED;
    }
    session = NewSessionValue();
    if (AddSession(entry, session)) return ERROR_SUCCESS;
    // The value is taken: draw another.
  }
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> CHTTPServer::CAuthenticator::Authenticate(
    const web::http::http_request& request, const CParameterMap& parameters) {
  web::http::http_headers headers;
  const std::wstring user = FormValue(parameters, L"user");
  const std::wstring password = FormValue(parameters, L"password");
  const std::wstring action = FormValue(parameters, L"action");
  const std::wstring remember = FormValue(parameters, L"remember");
  const std::wstring onSuccess = FormValue(parameters, L"OnSuccess");
  const std::wstring onFailure = FormValue(parameters, L"OnFailure");
  std::uint16_t status = web::http::status_codes::SeeOther;

  // The cookie is the whole site's, whatever folder the login form is in.
  const std::string attributes =
      std::string("; Path=/; HttpOnly; SameSite=Lax") + (RequestIsHttps(request) ? "; Secure" : "");
  if (platform::EqualsNoCase(action, L"logout")) {
    // The session ends here, not only in the browser: a copy of the cookie
    // must not outlive the sign-out.
    EndSession(GetSessionCookie(request));
    headers.add("Set-Cookie",
                platform::Utf8FromWide(m_cookieName) + "=; expires=Thu, 01 Jan 1970 00:00:00 GMT" + attributes);
  } else {
    std::wstring session;
    ULONGLONG retryAfterMs = 0;
    const DWORD checked = CheckLogin(LoginClientOf(request), user, password, platform::EqualsNoCase(remember, L"on"),
                                     session, retryAfterMs);
    if (checked == ERROR_BUSY) {
      headers.add(web::http::header_names::retry_after, kBusyRetryAfter);
      return std::make_shared<Response>(web::http::status_codes::ServiceUnavailable, headers);
    }
    if (checked == kErrorRetry) {
      headers.add(web::http::header_names::retry_after, std::to_string((retryAfterMs + 999) / 1000));
      return std::make_shared<Response>(web::http::status_codes::TooManyRequests, headers);
    }
    if (!session.empty())
      headers.add("Set-Cookie", platform::Utf8FromWide(m_cookieName + L"=" + session) + attributes);
    else
      status = web::http::status_codes::Unauthorized;
  }

  std::wstring target;
  if (status == web::http::status_codes::SeeOther) {
    if (!onSuccess.empty()) {
      target = onSuccess;
    } else {
      const std::wstring origin = RequestHeader(request, "Origin");
      const std::wstring referer = RequestHeader(request, "Referer");
      if (origin.empty() || origin == L"null")
        target = L"/";
      else if (referer.size() >= origin.size() && referer.compare(0, origin.size(), origin) == 0)
        target = referer.substr(origin.size());
      else
        target = L"/";  // a Referer from elsewhere (or none) is not followed
    }
  } else {
    target = onFailure;
  }

  if (!target.empty()) {
    if (IsLocalTarget(target)) {
      headers.add(web::http::header_names::location, platform::Utf8FromWide(target));
      status = web::http::status_codes::SeeOther;
    } else {
      status = web::http::status_codes::BadRequest;
    }
  }
  return std::make_shared<Response>(status, headers);
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CHTTPServer::CAuthenticator::Handler::Handle(
    std::shared_ptr<CResponse>& response, web::http::http_request request, vantrel::basic_istring<wchar_t>,
    const CParameterMap& parameters) {
  response = m_authenticator->Authenticate(request, parameters);
  return response;
}
