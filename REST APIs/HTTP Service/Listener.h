// Listener.h - CHTTPServer::CListener, one configured host at run time.
//
// A listener holds what the host's configuration resolved to (content roots
// per access level, URL mappings onto archive folders, web applications, the
// parameters handed to every handler, the exact-path locations), the archive
// system object, the authenticator a login location published, and the
// handler cache. FindRequestHandler decides for one request who sent it and
// which handler answers it; the entry points (ListenerEntry.cpp) give the
// request to that handler, the replies (ListenerReply.cpp) answer with its
// response; the watcher (ListenerWatch.cpp) empties the cache when names
// change under a root.
//
// What the host's configuration resolved to is one immutable CHostSettings
// (HostSettings.h), shared by the listener and every request that was given
// its parameters; a change swaps the pointer, and whoever lets go of the
// settings last frees them and gives the heap's freed pages back to the
// system.
//
// Locks: m_configLock guards the settings pointer: shared by requests,
// exclusive while it is replaced (the URL, roots, TLS files, locations and
// front limits stay the same across a replacement, so the thread that builds
// hosts reads them without it).
// m_cacheLock guards m_cache, m_cacheClock's meaning and m_reportedMisses
// (shared for look-ups, exclusive for inserts and emptying); it is taken
// inside m_configLock, never the other way round. m_locations and
// m_authenticator are filled before the listener opens and only read
// afterwards, so they take no lock. The host
// key, its event, the watcher's handles and m_listener belong to the thread
// that builds and stops hosts ("MainThread").
#pragma once

#include "LibService/ServiceLogger.h"
#include "LibService/Status.h"
#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/HostSettings.h"
#include "REST APIs/HTTP Service/ListenerOpen.h"
#include "REST APIs/HTTP Service/Location.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "REST APIs/HTTP Service/istring.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <cpprest/http_listener.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct ServiceApplication;

// The fields of an "application/x-www-form-urlencoded" body, each name and
// value decoded exactly once ("+" is a space, then percent-decoding); what a
// POST's handler gets. Throws web::uri_exception for a malformed escape.
std::map<std::wstring, std::wstring> DecodeFormFields(const std::string& body);

class CHTTPServer::CListener : public CTraceLoggable {
 public:
  using Settings = CHTTPServer::CHostSettings;
  using Roots = Settings::Roots;
  using Mappings = Settings::Mappings;
  using Applications = Settings::Applications;
  using Parameters = Settings::Parameters;
  using Locations = std::map<std::wstring, std::shared_ptr<CHTTPServer::CLocation::CInstance>>;
  using Result = std::pair<vantrel::basic_istring<wchar_t>, std::shared_ptr<CHTTPServer::CRequestHandler>>;

  // The most handlers (found or remembered misses) one listener keeps, and
  // the most distinct misses it reports to the event log until the cache is
  // emptied: requests for random paths cannot grow either without bound.
  static constexpr std::size_t kHandlerCacheLimit = 10000;
  static constexpr std::size_t kMissEventLimit = 1000;

  using LocationSettings = Settings::LocationSettings;

  // How long a found handler (or a miss) is trusted when the watcher could
  // not watch the roots, so that new files are still found.
  static constexpr ULONGLONG kUnwatchedCacheLifetimeMs = 2000;

  // listener may be null (a listener that never opens, as in tests).
  CListener(std::unique_ptr<web::http::experimental::listener::http_listener> listener, const Roots& roots,
            const Mappings& mappings, const Applications& applications, Parameters parameters,
            std::uint64_t defaultRange, IArchiveSystem* archive, std::string host);
  // A host's listener, built from its settings; the cpprest listener is made
  // when Open is called.
  CListener(Settings settings, IArchiveSystem* archive, std::string host);
  // Stops the watcher and closes the cpprest listener before anything its
  // entry points use goes away.
  ~CListener() override;
  CListener(const CListener&) = delete;
  CListener& operator=(const CListener&) = delete;

  std::string GetTraceName() const override { return m_host; }

  // Opens each root for change notification, starts the locations, takes
  // over hostKey with hostEvent (armed on it before the host's values were
  // read; null: armed here), and starts the watcher.
  CStatus& StartLocations(CStatus& status, const ServiceApplication& app, const std::wstring& host,
                          platform::RegKey hostKey, platform::UniqueHandle hostEvent,
                          const std::map<std::wstring, CHTTPServer::CLocation>& locations);
  // Takes over the settings of rebuilt when it has the same URL, roots, TLS
  // files, locations and front limits; false otherwise (rebuilt replaces this).
  bool UpdateFrom(CListener& rebuilt);
  // Opens the cpprest listener on the URL and waits; throws what cpprest throws.
  void Open();
  // Stops the watcher, answers waiting query replies and closes the cpprest
  // listener (waiting for the close). Throws what cpprest throws.
  void Close();
  // Closes only the cpprest listener (the watcher goes on), so that Open
  // can open it again.
  void CloseSocket();
  void StopWatcher();
  bool IsOpen() const { return m_listener != nullptr; }

  const web::uri& GetURI() const { return m_settings->uri; }
  const Roots& GetRoots() const { return m_settings->roots; }
  // Read on the thread that builds hosts (tests); requests read them under m_configLock.
  const Settings& GetSettings() const { return *m_settings; }
  const Mappings& GetMappings() const { return m_settings->mappings; }
  const Applications& GetApplications() const { return m_settings->applications; }
  HKEY GetHostKey() const { return m_hostKey.get(); }
  HANDLE GetHostKeyEvent() const { return m_hostKeyEvent.get(); }

  // The entry points.
  void HandleGet(web::http::http_request request);
  void HandlePost(web::http::http_request request);
  void HandleOptions(web::http::http_request request);
  void HandleOther(web::http::http_request request);

  // The watcher's body; its result is the Win32 code that ended it.
  DWORD WatchDirectories();
  // Whether the watcher failed (the cache then trusts entries only briefly).
  bool IsWatchFailed() const { return m_watchFailed.load(); }

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
  std::uint64_t GetDefaultRange() const { return m_settings->defaultRange; }
  // Read on the thread that builds hosts (tests); requests take the pointer under m_configLock.
  const Parameters& GetParameters() const { return m_settings->parameters; }
  SRWLOCK& ConfigLock() { return m_configLock; }

 private:
  struct CacheEntry {
    explicit CacheEntry(std::shared_ptr<CHTTPServer::CRequestHandler> h, std::uint64_t use)
        : handler(std::move(h)), lastUse(use), made(GetTickCount64()) {}
    std::shared_ptr<CHTTPServer::CRequestHandler> handler;  // empty: a remembered miss
    mutable std::atomic<std::uint64_t> lastUse;  // written under the shared lock too
    ULONGLONG made;                              // when it was inserted
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

  // ListenerEntry.cpp
  // What a request's handler is given; called with m_configLock held shared.
  CParameterMap RequestParameters() const;
  void Dispatch(web::http::http_request request);
  void TraceRequest(const web::http::http_request& request);
  static std::wstring DecodedRelativeUri(const web::http::http_request& request);

  // ListenerReply.cpp
  void ReplyStatus(web::http::http_request& request, std::uint16_t status, const web::http::http_headers& headers);
  // The one finishing step of a reply: the common headers, then the send.
  void AddCommonHeaders(web::http::http_request& request, web::http::http_response& reply);
  // "Allow" and "Server" only (OPTIONS and refused methods).
  void ReplyAllow(web::http::http_request& request, std::uint16_t status);
  void ReplyNoHandler(web::http::http_request& request, const vantrel::basic_istring<wchar_t>& user, bool post);
  // 500, with the exception as an event and a trace line.
  void ReplyFailure(web::http::http_request& request, const std::exception& e);
  // Reads response into the reply: here, or for a deferred response with a
  // deadline on a reply thread, bounded by that deadline and the listener's close.
  void ReplyFromResponse(web::http::http_request request, std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response);
  void SendResponse(web::http::http_request& request, CHTTPServer::CRequestHandler::CResponse& response);

  // Work that will still reply through this listener (a form body on its
  // way, a reply waiting for a query) holds one; Close waits until none is
  // left, so no such work outlives the listener.
  class PendingReply {
   public:
    explicit PendingReply(CListener& listener);
    PendingReply(const PendingReply& other);
    PendingReply& operator=(const PendingReply&) = delete;
    ~PendingReply();

   private:
    CListener* m_listener;
  };
  void WaitForPendingReplies();

  // ListenerWatch.cpp
  void ReportWatchFailure(DWORD code);

  // The public socket; the listener behind it listens on loopback.
  std::unique_ptr<platform::http::HttpFront> m_front;
  std::unique_ptr<web::http::experimental::listener::http_listener> m_listener;
  // What the host's configuration resolved to; never null, swapped whole.
  std::shared_ptr<const Settings> m_settings;
  Locations m_locations;
  platform::ComPtr<IArchiveSystem> m_archive;
  std::string m_host;
  std::map<CacheKey, CacheEntry> m_cache;
  std::set<CacheKey> m_reportedMisses;
  std::shared_ptr<CHTTPServer::CAuthenticator> m_authenticator;
  mutable std::atomic<std::uint64_t> m_cacheClock{0};

  // The watcher (a worker of the service, started by StartLocations): its
  // stop flag (set until it is started), wake event and the event it sets as
  // it ends (null while none runs); the root folders it watches; whether it failed.
  std::atomic<LONG> m_watchStop{1};
  platform::UniqueHandle m_watchWake;
  platform::UniqueHandle m_watchDone;
  std::map<std::int32_t, platform::UniqueHandle> m_rootHandles;
  std::atomic<bool> m_watchFailed{false};
  // The host key (owned once StartLocations took it) and its change event.
  platform::RegKey m_hostKey;
  platform::UniqueHandle m_hostKeyEvent;
  // Set as the listener closes: replies waiting for a query give up.
  platform::UniqueHandle m_closing;
  // m_pendingLock guards m_pending; m_pendingDone is signalled as it drops to 0.
  std::mutex m_pendingLock;
  std::condition_variable m_pendingDone;
  int m_pending = 0;
  mutable SRWLOCK m_configLock = SRWLOCK_INIT;
  mutable SRWLOCK m_cacheLock = SRWLOCK_INIT;
};
