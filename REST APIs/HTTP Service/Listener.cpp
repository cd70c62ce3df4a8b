// Listener.cpp - the listener's life: construction, start, update in place, open and close, and
// the bounded handler cache.
#include "REST APIs/HTTP Service/Listener.h"

#include "REST APIs/HTTP Service/Authenticator.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "platform/base/process.h"
#include "platform/fs/fs.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// A host's settings as the listener and its requests share them. A host may
// hold many values; when its settings go, so that deleting them shrinks the
// process, the heap's free pages are given back with them.
std::shared_ptr<const CHTTPServer::CHostSettings> ShareSettings(CHTTPServer::CHostSettings settings) {
  using Settings = CHTTPServer::CHostSettings;
  return std::shared_ptr<const Settings>(new Settings(std::move(settings)), [](const Settings* p) {
    delete p;
    platform::ReleaseFreeMemory();
  });
}

CHTTPServer::CHostSettings SettingsOf(const web::http::experimental::listener::http_listener* listener,
                                      const CHTTPServer::CListener::Roots& roots,
                                      const CHTTPServer::CListener::Mappings& mappings,
                                      const CHTTPServer::CListener::Applications& applications,
                                      CHTTPServer::CListener::Parameters parameters, std::uint64_t defaultRange) {
  CHTTPServer::CHostSettings settings;
  if (listener != nullptr) settings.uri = listener->uri();
  settings.roots = roots;
  settings.mappings = mappings;
  settings.applications = applications;
  settings.parameters = std::move(parameters);
  settings.defaultRange = defaultRange;
  return settings;
}

// Event: a root folder cannot be opened, or a mapping cannot be resolved.
constexpr DWORD MSG_DIRECTORY_NOT_FOUND = 0xC00000C9;  // (directory or value, host name)
// The source lines of the start's errors.
constexpr int kRootOpenLine = 545;
constexpr int kHostKeyNotifyLine = 557;
// How a root is opened for change notification: overlapped, backup
// semantics, a folder.
constexpr DWORD kRootOpenFlags = 0x42000010;
constexpr DWORD kHostKeyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

}  // namespace

CHTTPServer::CListener::CListener(std::unique_ptr<web::http::experimental::listener::http_listener> listener,
                                  const Roots& roots, const Mappings& mappings, const Applications& applications,
                                  Parameters parameters, std::uint64_t defaultRange, IArchiveSystem* archive,
                                  std::string host)
    : m_listener(std::move(listener)),
      m_settings(ShareSettings(
          SettingsOf(m_listener.get(), roots, mappings, applications, std::move(parameters), defaultRange))),
      m_archive(archive),
      m_host(std::move(host)),
      m_closing(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CHTTPServer::CListener::CListener(Settings settings, IArchiveSystem* archive, std::string host)
    : m_settings(ShareSettings(std::move(settings))),
      m_archive(archive),
      m_host(std::move(host)),
      m_closing(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

// The cpprest listener calls into every other member, so it is closed first
// (after the watcher, which empties the cache); the members then go in the
// reverse of their order.
CHTTPServer::CListener::~CListener() {
  try {
    Close();
  } catch (...) {
  }
  m_listener.reset();
  m_hostKeyEvent.reset();
  m_hostKey.reset();
  m_authenticator.reset();
  m_rootHandles.clear();
}

CStatus& CHTTPServer::CListener::StartLocations(CStatus& status, const ServiceApplication& app, const std::wstring& host,
                                                platform::RegKey hostKey, platform::UniqueHandle hostEvent,
                                                const std::map<std::wstring, CHTTPServer::CLocation>& locations) {
  for (const auto& [level, directory] : m_settings->roots) {
    if (!status.IsOK()) break;
    std::wstring path = directory;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                kRootOpenFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      status = CStatus(NewErrorMessage(CSourcePos{__FILE__, kRootOpenLine}, MSG_DIRECTORY_NOT_FOUND, {directory, host}));
      break;
    }
    m_rootHandles.emplace(level, platform::UniqueHandle(handle));
  }
  for (const auto& [name, location] : locations) {
    if (!status.IsOK()) break;
    std::shared_ptr<CHTTPServer::CLocation::CInstance> instance;
    CreateLocationInstance(instance, status, app, host, hostKey.get(), location, *this);
    if (status.IsOK()) AddLocation(name, std::move(instance));
  }
  if (status.IsOK()) {
    m_hostKey = std::move(hostKey);
    if (hostEvent) {
      m_hostKeyEvent = std::move(hostEvent);
    } else {
      m_hostKeyEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
      // The whole subtree: a change of a location's values rebuilds the host too.
      const LSTATUS rc = RegNotifyChangeKeyValue(m_hostKey.get(), TRUE, kHostKeyFilter, m_hostKeyEvent.get(), TRUE);
      if (rc != ERROR_SUCCESS) status = CStatus(NewErrorNumber(CSourcePos{__FILE__, kHostKeyNotifyLine}, rc));
    }
  }
  if (status.IsOK()) {
    m_watchStop.store(0);
    m_watchWake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_watchDone.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // The watcher's own reference: the listener may go the moment it is set.
    const HANDLE done = DuplicateHandleRef(m_watchDone.get());
    status = StartServiceWorker(app, L"DirectoryWatcher", [this, done] {
      WatchDirectories();  // reports its own failures
      SetEvent(done);
      CloseHandle(done);
      return CStatus();
    });
    if (!status.IsOK()) {
      CloseHandle(done);
      m_watchStop.store(1);
      m_watchDone.reset();
    }
  }
  return status;
}

bool CHTTPServer::CListener::UpdateFrom(CListener& rebuilt) {
  if (!m_settings->SameListener(*rebuilt.m_settings)) return false;  // a new front (or a new listener) is needed
  std::shared_ptr<const Settings> previous;
  {
    platform::SrwExclusiveLock hold(m_configLock);
    // Shared, not copied: the rebuilt listener built them once.
    previous = std::exchange(m_settings, rebuilt.m_settings);
    ClearHandlerCache();
  }
  // The old settings go here, outside the lock, unless a request still holds their parameters.
  previous.reset();
  return true;
}

void CHTTPServer::CListener::Open() {
  ResetEvent(m_closing.get());
  m_listener = OpenHostListener(
      m_settings->uri, m_settings->tls, m_settings->limits.front, [this](web::http::http_request request) { Dispatch(std::move(request)); }, m_front);
}

void CHTTPServer::CListener::Close() {
  StopWatcher();
  CloseSocket();
}

void CHTTPServer::CListener::CloseSocket() {
  SetEvent(m_closing.get());
  m_front.reset();  // no new client reaches the listener while it closes
  if (m_listener) {
    auto listener = std::move(m_listener);
    listener->close().wait();
  }
  WaitForPendingReplies();
}

CHTTPServer::CListener::PendingReply::PendingReply(CListener& listener) : m_listener(&listener) {
  std::lock_guard<std::mutex> hold(m_listener->m_pendingLock);
  ++m_listener->m_pending;
}

CHTTPServer::CListener::PendingReply::PendingReply(const PendingReply& other) : PendingReply(*other.m_listener) {}

CHTTPServer::CListener::PendingReply::~PendingReply() {
  std::lock_guard<std::mutex> hold(m_listener->m_pendingLock);
  if (--m_listener->m_pending == 0) m_listener->m_pendingDone.notify_all();
}

void CHTTPServer::CListener::WaitForPendingReplies() {
  std::unique_lock<std::mutex> hold(m_pendingLock);
  m_pendingDone.wait(hold, [this] { return m_pending == 0; });
}

void CHTTPServer::CListener::AddLocation(const std::wstring& path,
                                         std::shared_ptr<CHTTPServer::CLocation::CInstance> instance) {
  m_locations.emplace(path, std::move(instance));
}

void CHTTPServer::CListener::ClearHandlerCache() {
  platform::SrwExclusiveLock hold(m_cacheLock);
  m_cache.clear();
  m_reportedMisses.clear();
}

std::size_t CHTTPServer::CListener::HandlerCacheSize() const {
  platform::SrwSharedLock hold(m_cacheLock);
  return m_cache.size();
}

bool CHTTPServer::CListener::LookUpCache(const CacheKey& key,
                                         std::shared_ptr<CHTTPServer::CRequestHandler>& handler) const {
  platform::SrwSharedLock hold(m_cacheLock);
  const auto found = m_cache.find(key);
  if (found == m_cache.end()) return false;
  // Unwatched roots: an entry is trusted only briefly, so that files added
  // since are found.
  if (m_watchFailed.load() && GetTickCount64() - found->second.made > kUnwatchedCacheLifetimeMs) return false;
  found->second.lastUse.store(++m_cacheClock, std::memory_order_relaxed);
  handler = found->second.handler;
  return true;
}

std::shared_ptr<CHTTPServer::CRequestHandler> CHTTPServer::CListener::InsertIntoCache(
    const CacheKey& key, std::shared_ptr<CHTTPServer::CRequestHandler> handler) {
  platform::SrwExclusiveLock hold(m_cacheLock);
  if (m_cache.size() >= kHandlerCacheLimit && m_cache.find(key) == m_cache.end()) EvictLocked();
  // A request that searched for the same key meanwhile inserted first: keep its handler.
  auto [at, inserted] = m_cache.try_emplace(key, handler, ++m_cacheClock);
  if (!inserted && m_watchFailed.load() && GetTickCount64() - at->second.made > kUnwatchedCacheLifetimeMs) {
    // An entry too old to trust is replaced by what was just found.
    m_cache.erase(at);
    at = m_cache.try_emplace(key, std::move(handler), ++m_cacheClock).first;
  }
  return at->second.handler;
}

// Drops the least recently used eighth of the cache at once, so that the
// cost of finding them is shared by the inserts that follow.
void CHTTPServer::CListener::EvictLocked() {
  std::vector<std::pair<std::uint64_t, std::map<CacheKey, CacheEntry>::iterator>> uses;
  uses.reserve(m_cache.size());
  for (auto it = m_cache.begin(); it != m_cache.end(); ++it)
    uses.emplace_back(it->second.lastUse.load(std::memory_order_relaxed), it);
  const std::size_t drop = std::max<std::size_t>(1, uses.size() / 8);
  std::nth_element(uses.begin(), uses.begin() + static_cast<std::ptrdiff_t>(drop - 1), uses.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < drop; ++i) m_cache.erase(uses[i].second);
}
