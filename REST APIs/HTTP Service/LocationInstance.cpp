// LocationInstance.cpp - the location factory and the "Authenticate" and "SystemInfo" instances.
#include "REST APIs/HTTP Service/LocationInstance.h"

#include "REST APIs/HTTP Service/VectorRequestHandler.h"
#include "platform/base/text.h"

#include <functional>
#include <map>

namespace {

using InstanceMaker = std::function<std::shared_ptr<CHTTPServer::CLocation::CInstance>()>;

// Builds the "Version" document of a "SystemInfo" location.
class CHTTPSystem : public CHTTPObject::Complex<CHTTPObject> {
 public:
  explicit CHTTPSystem(const std::string& version) {
    AddMember(CHTTPObject("Version", CHTTPObject::String(CHTTPObject::Quoted, version)));
  }
};

std::shared_ptr<CHTTPServer::CLocation::CInstance> MakeAuthenticate(const std::wstring& host,
                                                                   const CHTTPServer::CLocation& location,
                                                                   CHTTPServer::CListener& listener) {
  auto handler = std::make_shared<AuthenticateHandler>(host, location.GetProperty(L"Auth Cookie"));
  // Published before Initialize: the authenticator shares the handler's count.
  listener.AuthenticatorSlot() = std::shared_ptr<CHTTPServer::CAuthenticator>(handler);
  return handler;
}

// The body of a worker started without a service.
DWORD OwnWorkerThread(LPVOID context) {
  std::unique_ptr<std::pair<std::wstring, std::function<CStatus()>>> work(
      static_cast<std::pair<std::wstring, std::function<CStatus()>>*>(context));
  platform::SetCurrentThreadName(work->first);
  work->second();
  return 0;
}

}  // namespace

CStatus StartServiceWorker(const ServiceApplication& app, const std::wstring& name, std::function<CStatus()> body) {
  if (app.startWorker) return app.startWorker(name, std::move(body));
  auto work = std::make_unique<std::pair<std::wstring, std::function<CStatus()>>>(name, std::move(body));
  platform::UniqueHandle thread(CreateThread(nullptr, 0, &OwnWorkerThread, work.get(), 0, nullptr));
  if (!thread) return CStatus(NewLastError(VN_HERE));
  work.release();  // the thread's now
  return CStatus();
}

CStatus& CHTTPServer::CLocation::CInstance::Initialize(CStatus& status, const ServiceApplication&, std::wstring,
                                                       HKEY) {
  return status = CStatus();
}

CStatus& CreateLocationInstance(std::shared_ptr<CHTTPServer::CLocation::CInstance>& instance, CStatus& status,
                                const ServiceApplication& app, const std::wstring& host, HKEY hostKey,
                                const CHTTPServer::CLocation& location, CHTTPServer::CListener& listener) {
  const std::map<std::wstring, InstanceMaker> table{
      {L"Authenticate", [&] { return MakeAuthenticate(host, location, listener); }},
      {L"SystemInfo", [&] { return std::make_shared<SystemInfoHandler>(listener.GetArchiveSystem()); }},
  };
  const std::wstring& name = location.GetProperty(L"Handler");
  const auto found = table.find(name);
  if (found == table.end()) {
    // The factory keeps every insert while the program's message module is
    // not loaded, so the texts need not be there yet.
    if (name.empty()) return status = CStatus(NewErrorMessage(VN_HERE, MSG_LOCATION_NO_HANDLER, {location.m_Name}));
    return status = CStatus(NewErrorMessage(VN_HERE, MSG_LOCATION_UNKNOWN_HANDLER, {location.m_Name, name}));
  }
  instance = found->second();
  return instance->Initialize(status, app, host, hostKey);
}

CStatus& AuthenticateHandler::Initialize(CStatus& status, const ServiceApplication& app, std::wstring host,
                                         HKEY hostKey) {
  return CHTTPServer::CAuthenticator::Initialize(status, app.startWorker, app.stopEvent, std::move(host), hostKey,
                                                 m_cookieName);
}

std::shared_ptr<CHTTPServer::CRequestHandler> AuthenticateHandler::GetHandler(const web::http::http_request& request) {
  if (request.method() != web::http::methods::POST) return {};
  return std::make_shared<CHTTPServer::CAuthenticator::Handler>(shared_from_this());
}

CStatus& SystemInfoHandler::Initialize(CStatus& status, const ServiceApplication&, std::wstring, HKEY) {
  if (!m_archive) return status = CStatus(NewHRESULT(VN_HERE, E_POINTER));
  platform::ComPtr<IArchiveVersion> version;
  HRESULT hr = m_archive->GetVersion(version.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return status = CStatus(NewHRESULT(VN_HERE, hr));
  platform::ComBstr text;
  hr = version->GetVersionText(text.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return status = CStatus(NewHRESULT(VN_HERE, hr));
  m_version = platform::Utf8FromWide(text.View());
  return status = CStatus();
}

std::shared_ptr<CHTTPServer::CRequestHandler> SystemInfoHandler::GetHandler(const web::http::http_request& request) {
  if (request.method() != web::http::methods::GET) return {};
  // A copy of the text, so that a handler kept past this instance (a cached
  // one after the listener was rebuilt) never reads freed memory.
  return std::make_shared<CVectorRequestHandler>("SystemInfo",
                                                 [version = m_version] { return BuildSystemInfo(version); });
}

CHTTPObject SystemInfoHandler::BuildSystemInfo(const std::string& version) { return CHTTPSystem(version).Take(); }
