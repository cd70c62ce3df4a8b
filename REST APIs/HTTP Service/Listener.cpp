// Listener.cpp - the listener's data: construction, locations and the bounded handler cache.
#include "REST APIs/HTTP Service/Listener.h"

#include "REST APIs/HTTP Service/LocationInstance.h"

#include <algorithm>
#include <vector>

CHTTPServer::CListener::CListener(std::unique_ptr<web::http::experimental::listener::http_listener> listener,
                                  const Roots& roots, const Mappings& mappings, const Applications& applications,
                                  Parameters parameters, std::uint64_t defaultRange, IArchiveSystem* archive,
                                  std::string host)
    : m_listener(std::move(listener)),
      m_roots(roots),
      m_mappings(mappings),
      m_applications(applications),
      m_parameters(std::move(parameters)),
      m_defaultRange(defaultRange),
      m_archive(archive),
      m_host(std::move(host)) {}

// The members go in the reverse of their order: the authenticator first, the
// cpprest listener last.
CHTTPServer::CListener::~CListener() = default;

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
  found->second.lastUse.store(++m_cacheClock, std::memory_order_relaxed);
  handler = found->second.handler;
  return true;
}

std::shared_ptr<CHTTPServer::CRequestHandler> CHTTPServer::CListener::InsertIntoCache(
    const CacheKey& key, std::shared_ptr<CHTTPServer::CRequestHandler> handler) {
  platform::SrwExclusiveLock hold(m_cacheLock);
  if (m_cache.size() >= kHandlerCacheLimit && m_cache.find(key) == m_cache.end()) EvictLocked();
  // A request that searched for the same key meanwhile inserted first: keep its handler.
  const auto [at, inserted] = m_cache.try_emplace(key, std::move(handler), ++m_cacheClock);
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
