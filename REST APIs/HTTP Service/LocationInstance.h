// LocationInstance.h - the built-in handlers a configured location hosts, and their factory.
//
// A location's "Handler" property names one of two built-ins: "Authenticate"
// (the login form's target; it also becomes the host's authenticator) and
// "SystemInfo" (a read-only document with the archive's version). The
// listener makes one instance per location as it starts and asks it for a
// handler whenever a request path equals the location's name. Instances keep
// no per-request state, so any number of request threads may use one.
#pragma once

#include "LibService/ServiceApp.h"
#include "LibService/Status.h"
#include "REST APIs/HTTP Service/Authenticator.h"
#include "REST APIs/HTTP Service/HTTPObject.h"
#include "REST APIs/HTTP Service/Listener.h"
#include "REST APIs/HTTP Service/Location.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"

#include <memory>
#include <string>

// Event and error message ids of the locations.
constexpr DWORD MSG_LOCATION_NO_HANDLER = 0xC00000CB;       // (location name)
constexpr DWORD MSG_LOCATION_UNKNOWN_HANDLER = 0xC00000CC;  // (location name, "Handler" value)

// What a host's listener and locations need of the running service: a
// starter of the service's named worker threads and the service's stop event.
struct ServiceApplication {
  WorkerStarter startWorker;
  HANDLE stopEvent = nullptr;
};

template <class T>
ServiceApplication ServiceApplicationOf(CServiceApp<T>& app) {
  return {[&app](const std::wstring& name, std::function<CStatus()> body) {
            return app.StartWorker(platform::Utf8FromWide(name).c_str(), std::move(body));
          },
          app.GetStopEvent()};
}

// Runs body on a worker named name: the service's (app.startWorker), or
// without a service (tests, tools) a thread of its own. body never runs
// when the status is a failure.
CStatus StartServiceWorker(const ServiceApplication& app, const std::wstring& name, std::function<CStatus()> body);

// No virtual destructor: instances are owned by std::shared_ptr made of
// their concrete class.
class CHTTPServer::CLocation::CInstance {
 public:
  // Completes the instance after the factory made it; the base does nothing.
  virtual CStatus& Initialize(CStatus& status, const ServiceApplication& app, std::wstring host, HKEY hostKey);
  // The handler for request, or empty when the instance does not serve its method.
  virtual std::shared_ptr<CHTTPServer::CRequestHandler> GetHandler(const web::http::http_request& request) = 0;

 protected:
  CInstance() = default;
  ~CInstance() = default;
};

// Makes the instance location's "Handler" names (exactly, case-sensitive) and
// initialises it. An "Authenticate" instance is published in the listener's
// authenticator slot as it is made, before Initialize (the last one made
// wins). On failure the status carries the error; instance may still hold
// the made instance, which the caller drops.
CStatus& CreateLocationInstance(std::shared_ptr<CHTTPServer::CLocation::CInstance>& instance, CStatus& status,
                                const ServiceApplication& app, const std::wstring& host, HKEY hostKey,
                                const CHTTPServer::CLocation& location, CHTTPServer::CListener& listener);

// The login location: a location instance that is also the host's authenticator.
class AuthenticateHandler : public CHTTPServer::CLocation::CInstance, public CHTTPServer::CAuthenticator {
 public:
  AuthenticateHandler(std::wstring host, std::wstring cookieName)
      : CHTTPServer::CAuthenticator(std::move(host)), m_cookieName(std::move(cookieName)) {}
  CStatus& Initialize(CStatus& status, const ServiceApplication& app, std::wstring host, HKEY hostKey) override;
  // A CAuthenticator::Handler for POST; nothing for any other method.
  std::shared_ptr<CHTTPServer::CRequestHandler> GetHandler(const web::http::http_request& request) override;

 private:
  std::wstring m_cookieName;  // "Auth Cookie"; may be empty
};

// The system-information location: the archive's version, read once.
class SystemInfoHandler : public CHTTPServer::CLocation::CInstance {
 public:
  explicit SystemInfoHandler(IArchiveSystem* archive) : m_archive(archive) {}
  // Reads the version text: the system object's version interface, then its text.
  CStatus& Initialize(CStatus& status, const ServiceApplication& app, std::wstring host, HKEY hostKey) override;
  // A vector handler named "SystemInfo" for GET; nothing for any other method.
  std::shared_ptr<CHTTPServer::CRequestHandler> GetHandler(const web::http::http_request& request) override;

  // The document: an unnamed object with the one member "Version".
  static CHTTPObject BuildSystemInfo(const std::string& version);

 private:
  platform::ComPtr<IArchiveSystem> m_archive;
  std::string m_version;  // ANSI code page; empty until Initialize succeeds
};
