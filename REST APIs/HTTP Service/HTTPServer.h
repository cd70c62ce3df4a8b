// HTTPServer.h - CHTTPServer, the HTTP service's server: one listener per configured host.
//
// CHTTPServer reads each subkey of the service's "Hosts" key (with the values
// shared under "Applications" and an application's own subkey), builds a
// listener for it, and rebuilds hosts as the registry changes: a host whose
// URL, roots, TLS files and locations stay the same is updated in place, any
// other is replaced. A rebuilt configuration is always read into a new
// listener first and then taken over or swapped in, never patched.
//
// Its nested types (request handlers, listeners, locations, the
// authenticator) are declared here and defined in their own headers, so that
// each can be included without the rest of the server.
//
// Every operation runs on the thread that runs the service ("MainThread");
// the listener map and the failed-host map are touched by no other thread.
#pragma once

#include "LibService/Status.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"
#include "trace/TraceLogger.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ServiceApplication;
struct CHostTls;  // ListenerOpen.h

class CHTTPServer : public CTraceLoggable {
 public:
  class CRequestHandler;
  class CLocation;      // Location.h
  class CAuthenticator; // Authenticator.h
  class CListener;      // Listener.h
  struct CHostConfig;   // one host's registry values in reading order
  struct CHostSettings; // what they resolve to (HostSettings.h)

  CHTTPServer();
  ~CHTTPServer() override;
  CHTTPServer(const CHTTPServer&) = delete;
  CHTTPServer& operator=(const CHTTPServer&) = delete;

  std::string GetTraceName() const override { return "HTTP Server"; }

  // What the hosts' locations need of the running service.
  void SetServiceApplication(std::shared_ptr<ServiceApplication> application);

  // Keeps archive and builds a listener per host. A host that fails is
  // reported to the event log and kept for a retry (GetHostFailures); the
  // other hosts start all the same, so status fails only when "Hosts" cannot
  // be walked.
  CStatus& Start(CStatus& status, IArchiveSystem* archive, HKEY hosts, HKEY applications);
  // Reads one host and creates, replaces or updates its listener.
  CStatus& CreateListener(CStatus& status, HKEY applications, HKEY hosts, const std::wstring& host);
  // One string value of the host grammar into config.
  static void ParseHostValue(CHostConfig& config, const std::wstring& name, const std::wstring& value);
  // New host subkeys get listeners, gone ones lose theirs; hosts that failed
  // before are tried again.
  void RefreshHosts(HKEY hosts, HKEY applications);
  // Rebuilds host when its key (or, for a host that failed, any value under
  // it) changed since the last look.
  CStatus& RefreshHost(CStatus& status, HKEY hosts, HKEY applications, const std::wstring& host);
  // The change events of every host's key (running or failed), by host
  // name: the service waits on them too, so that a change is applied even
  // when its host's event arrives after the "Hosts" notification was handled.
  std::vector<std::pair<std::wstring, HANDLE>> GetHostKeyEvents() const;
  // Rebuilds host, whose key event the caller has just consumed.
  CStatus& RefreshSignalledHost(CStatus& status, HKEY hosts, HKEY applications, const std::wstring& host);
  // Rebuilds every host ("Applications" changed).
  void RefreshAllHosts(HKEY hosts, HKEY applications);
  // Stops every listener (watcher, then the cpprest listener).
  CStatus& Stop(CStatus& status);
  // Destroys every listener and lets the archive object go; the end of Run.
  void ReleaseListeners();

  // For tests and the service: the host names that listen, and one listener.
  std::vector<std::string> GetHostNames() const;
  CListener* FindListener(const std::string& host) const;
  // The hosts without a listener and why their last build failed (success:
  // it waits for a port another host holds).
  std::map<std::string, CStatus> GetHostFailures() const;

 private:
  // A host without a listener because its last build failed: its key is
  // watched so that a change of its values builds it again.
  struct FailedHost {
    platform::RegKey key;
    platform::UniqueHandle changed;
    CStatus status;  // what the last build returned
  };

  CStatus& BuildHost(CStatus& status, HKEY applications, HKEY hosts, const std::wstring& host);
  CStatus& ReadSource(CStatus& status, HKEY source, CHostConfig& config);
  // Reads host's values from its sources (the "Applications" key, the
  // application subkey its "Application" value names, its own key) into
  // settings and the locations it starts; what fails fails the host.
  CStatus& ReadHostSettings(CStatus& status, HKEY applications, HKEY hostKey, const std::wstring& host,
                            CHostSettings& settings, std::map<std::wstring, CLocation>& locations);
  // Reads and checks the certificate and key files config names.
  static CStatus& ReadHostTls(CStatus& status, const std::wstring& host, const CHostConfig& config,
                              CHostTls& tls);
  CStatus& ResolveMappings(CStatus& status, const std::wstring& host, CHostConfig& config,
                           std::map<std::wstring, std::wstring>& mappings,
                           std::map<std::wstring, std::wstring>& parameters);
  CStatus& SetUpListener(CStatus& status, const std::wstring& host, platform::RegKey hostKey,
                         platform::UniqueHandle hostEvent,
                         std::unique_ptr<CListener> listener, const std::map<std::wstring, CLocation>& locations);
  // The listener of another host that listens on port, or null.
  const CListener* PortTakenBy(const std::string& host, int port) const;
  void MarkFailed(HKEY hosts, const std::wstring& host, const CStatus& status);
  // Whether host's own values or its "Locations" differ from what its
  // listener was built from (a write below "Users" alone changes nothing).
  bool HostValuesChanged(HKEY hosts, const std::wstring& host) const;
  // Takes the listener of name out of the map and destroys it so that its
  // port is free again (see HTTPServer.cpp).
  void RemoveListener(const std::string& name);

  std::map<std::string, std::unique_ptr<CListener>> m_listeners;
  std::map<std::string, FailedHost> m_failedHosts;
  // What each listener's host key held when it was built (HostKeyText).
  std::map<std::string, std::string> m_builtFrom;
  platform::ComPtr<IArchiveSystem> m_archive;
  std::shared_ptr<ServiceApplication> m_application;
};
