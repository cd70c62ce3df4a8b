// Listener.h - CHTTPServer::CListener, one configured host at run time: its data and handler selection.
//
// A listener holds what the host's configuration resolved to (content roots
// per access level, URL mappings onto archive folders, web applications, the
// parameters handed to every handler, the exact-path locations), the archive
// system object, the authenticator a login location published, and the
// handler cache. FindRequestHandler decides for one request who sent it and
// which handler answers it.
//
// Locks: m_configLock guards the roots, mappings, applications, parameters
// and default range: shared by requests, exclusive while they are replaced.
// m_cacheLock guards m_cache, m_cacheClock's meaning and m_reportedMisses
// (shared for look-ups, exclusive for inserts and emptying); it is taken
// inside m_configLock, never the other way round. m_locations and
// m_authenticator are filled before the listener opens and only read
// afterwards, so they take no lock.
#pragma once

#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/Location.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "REST APIs/HTTP Service/istring.h"
#include "archive/system/ArchiveInterfaces.h"
#include "platform/com/comptr.h"
#include "platform/sync/sync.h"

#include <cpprest/http_listener.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

class CHTTPServer::CListener {
 public:
  using Roots = std::map<std::int32_t, std::wstring>;
  using Mappings = std::map<std::wstring, std::wstring>;
  using Applications = std::map<std::int32_t, std::map<std::wstring, std::wstring>>;
  using Parameters = std::map<std::wstring, std::wstring>;
  using Locations = std::map<std::wstring, std::shared_ptr<CHTTPServer::CLocation::CInstance>>;
  using Result = std::pair<vantrel::basic_istring<wchar_t>, std::shared_ptr<CHTTPServer::CRequestHandler>>;

  // The most handlers (found or remembered misses) one listener keeps, and
  // the most distinct misses it reports to the event log until the cache is
  // emptied: requests for random paths cannot grow either without bound.
  static constexpr std::size_t kHandlerCacheLimit = 10000;
  static constexpr std::size_t kMissEventLimit = 1000;

  CListener(std::unique_ptr<web::http::experimental::listener::http_listener> listener, const Roots& roots,
            const Mappings& mappings, const Applications& applications, Parameters parameters,
            std::uint64_t defaultRange, IArchiveSystem* archive, std::string host);
  ~CListener();
  CListener(const CListener&) = delete;
  CListener& operator=(const CListener&) = delete;

  // Who sent request and which handler answers it (empty: none). Called
  // with m_configLock held shared.
  Result FindRequestHandler(const web::http::http_request& request);

  // Empties the handler cache (a name changed under a root, or the
  // configuration was replaced) and forgets which misses were reported.
  void ClearHandlerCache();
  std::size_t HandlerCacheSize() const;

  // What the location factory needs: the archive object and the slot a
  // login location publishes its authenticator in.
  IArchiveSystem* GetArchiveSystem() const { return m_archive.Get(); }
  std::shared_ptr<CHTTPServer::CAuthenticator>& AuthenticatorSlot() { return m_authenticator; }
  // Files a started location under the request path it serves (first kept).
  void AddLocation(const std::wstring& path, std::shared_ptr<CHTTPServer::CLocation::CInstance> instance);

  const std::string& GetHostName() const { return m_host; }
  const Parameters& GetParameters() const { return m_parameters; }
  SRWLOCK& ConfigLock() { return m_configLock; }

 private:
  struct CacheEntry {
    explicit CacheEntry(std::shared_ptr<CHTTPServer::CRequestHandler> h, std::uint64_t use)
        : handler(std::move(h)), lastUse(use) {}
    std::shared_ptr<CHTTPServer::CRequestHandler> handler;  // empty: a remembered miss
    mutable std::atomic<std::uint64_t> lastUse;  // written under the shared lock too
  };
  using CacheKey = std::pair<std::int32_t, std::wstring>;
  struct Candidate {
    const std::wstring* root;
    std::size_t drop;    // leading characters of the handler key that name a web application
    std::int32_t cacheMode;
  };

  std::shared_ptr<CHTTPServer::CRequestHandler> FindMappedFile(const web::http::http_request& request,
                                                               const std::wstring& path) const;
  bool LookUpCache(const CacheKey& key, std::shared_ptr<CHTTPServer::CRequestHandler>& handler) const;
  std::shared_ptr<CHTTPServer::CRequestHandler> SearchHandlerFiles(std::int32_t level, const std::wstring& path,
                                                                   const std::wstring& key) const;
  std::shared_ptr<CHTTPServer::CRequestHandler> SearchCandidate(const Candidate& candidate,
                                                                const std::wstring& key) const;
  std::shared_ptr<CHTTPServer::CRequestHandler> InsertIntoCache(const CacheKey& key,
                                                                std::shared_ptr<CHTTPServer::CRequestHandler> handler);
  void EvictLocked();
  void ReportMiss(std::int32_t level, const std::wstring& path);

  std::unique_ptr<web::http::experimental::listener::http_listener> m_listener;
  Roots m_roots;
  Mappings m_mappings;
  Applications m_applications;
  Parameters m_parameters;
  Locations m_locations;
  std::uint64_t m_defaultRange;
  platform::ComPtr<IArchiveSystem> m_archive;
  std::string m_host;
  std::map<CacheKey, CacheEntry> m_cache;
  std::set<CacheKey> m_reportedMisses;
  std::shared_ptr<CHTTPServer::CAuthenticator> m_authenticator;
  mutable std::atomic<std::uint64_t> m_cacheClock{0};
  mutable SRWLOCK m_configLock = SRWLOCK_INIT;
  mutable SRWLOCK m_cacheLock = SRWLOCK_INIT;
};
