// VantrelHTTPService.cpp - the Webbridge program: the service object and its Run.
//
// Run creates the archive's system object, opens the service key, builds a
// listener per host and then follows the registry: a name change under
// "Hosts" adds or removes hosts, a change of values under "Hosts" rebuilds
// the host whose key changed, a change under "Applications" rebuilds every
// host. Each notification is armed again before its work is done, so a
// change made meanwhile fires again. The listeners and the archive object
// are released before Run returns, never in static destruction, when the
// libraries they use may already be gone.
#include "LibService/RegistryKey.h"
#include "LibService/ServiceApp.h"
#include "LibService/ServiceLogger.h"
#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/Listener.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/process.h"
#include "platform/registry/registry.h"

#include <pplx/threadpool.h>

#include <vector>

#include "EvtWebbridge.h"
#include "TrcWebbridge.h"

namespace {

// The source lines of Run's errors.
constexpr int kArchiveLine = 22;
constexpr int kKeysLine = 29;
constexpr int kArmNamesLine = 59;
constexpr int kArmValuesLine = 61;
constexpr int kRearmNamesLine = 71;
constexpr int kRearmValuesLine = 80;
constexpr int kWaitLine = 87;

constexpr DWORD MSG_SERVICE_KEYS_MISSING = 0xC00100CE;
// How long a burst of value changes is let settle before hosts are read.
constexpr DWORD kSettleMs = 100;
// cpprestsdk's pool: the listeners' entry points, socket I/O and
// continuations. Set once, before any listener exists.
constexpr std::size_t kHttpPoolThreads = 40;

// Names: no subtree, subkeys added or removed. Values: the whole subtree,
// values set and (so that a removed location is seen too) names.
constexpr DWORD kNamesFilter = REG_NOTIFY_CHANGE_NAME;
constexpr DWORD kValuesFilter = REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME;

// Hundreds of query, reply and pool threads would each keep an allocation
// arena of their own, partly used for good after a burst of requests; they
// share a few instead. Set before any thread starts.
constexpr int kAllocatorArenas = 8;
[[maybe_unused]] const bool g_arenasLimited = (platform::LimitAllocatorArenas(kAllocatorArenas), true);

void SetHttpPoolSize() {
  try {
    crossplat::threadpool::initialize_with_threads(kHttpPoolThreads);
  } catch (const std::exception&) {
    // Already made (a second Run in one process): it keeps its size.
  }
}

}  // namespace

// The program's application class: adds nothing to CServiceApp<T>.
template <class T>
class CVantrelHTTPServiceApp : public CServiceApp<T> {
 public:
  using CServiceApp<T>::CServiceApp;
};

class CVantrelHTTPService : public CVantrelHTTPServiceApp<CVantrelHTTPService>, public CHTTPServer {
 public:
  CVantrelHTTPService() : CVantrelHTTPServiceApp(L"Webbridge", L"Vantrel HTTP Service", {}) {}
  ~CVantrelHTTPService() override { m_archive.Reset(); }

  // Both bases are trace sources; both carry the service's name.
  std::string GetTraceName() const override { return m_traceName; }

  CStatus Run() override;

  // "-install" also registers the event source, so that events of the
  // first start already have their texts.
  BOOL InitInstance() override {
    const BOOL result = CVantrelHTTPServiceApp::InitInstance();
    CServiceCommandLineInfo info;
    ParseCommandLine(info);
    if (info.m_nShellCommand == CCommandLineInfo::AppRegister && m_exitStatus == 0) {
      const CStatus status = RegisterEventLog(GetDisplayName());
      if (!status.IsOK()) {
        ReportError(*status.GetError());
        m_exitStatus = 1;
      }
    }
    return result;
  }

 private:
  CStatus& Watch(CStatus& status, HKEY hosts, HKEY valuesKey, HKEY applications);

  platform::ComPtr<IArchiveSystem> m_archive;
  const std::string m_traceName = "HTTP Service";
};

namespace {
// How long the stop waits for each work queue's threads.
constexpr DWORD kStopWorkTimeoutMs = 3000;
}  // namespace

CStatus CVantrelHTTPService::Run() {
  CStatus status;
  SetHttpPoolSize();
  SetServiceApplication(std::make_shared<ServiceApplication>(ServiceApplicationOf(*this)));

  const HRESULT hr = CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_PPV_ARGS(m_archive.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) status = CStatus(NewHRESULT(CSourcePos{__FILE__, kArchiveLine}, hr));

  platform::RegKey service, hosts, hostValues, applications;
  if (status.IsOK()) {
    const std::wstring path = L"Software\\Vantrel\\" + GetDisplayName() + L"\\";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, service.put()) != ERROR_SUCCESS ||
        RegOpenKeyExW(service.get(), L"Hosts\\", 0, KEY_READ, hosts.put()) != ERROR_SUCCESS ||
        RegOpenKeyExW(service.get(), L"Hosts\\", 0, KEY_READ, hostValues.put()) != ERROR_SUCCESS) {
      status = CStatus(NewErrorMessage(CSourcePos{__FILE__, kKeysLine}, MSG_SERVICE_KEYS_MISSING, {}));
    } else {
      RegOpenKeyExW(service.get(), L"Applications\\", 0, KEY_READ, applications.put());
    }
  }
  if (status.IsOK()) CHTTPServer::Start(status, m_archive.Get(), hosts.get(), applications.get());
  if (status.IsOK()) Watch(status, hosts.get(), hostValues.get(), applications.get());
  if (status.IsOK()) CHTTPServer::Stop(status);
  // Every query still running (a body being streamed) is cancelled, and the
  // work queues end in bounded time, before the providers go.
  StopBlockingWork(kStopWorkTimeoutMs);

  // Before Run returns: the listeners' sockets, threads and COM references
  // go while everything they use is still there.
  ReleaseListeners();
  m_archive.Reset();
  return status;
}

CStatus& CVantrelHTTPService::Watch(CStatus& status, HKEY hosts, HKEY valuesKey, HKEY applications) {
  platform::UniqueHandle names(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  platform::UniqueHandle values(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  platform::UniqueHandle shared(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  auto arm = [&status](HKEY key, BOOL subtree, DWORD filter, HANDLE event, int line) {
    const LSTATUS rc = RegNotifyChangeKeyValue(key, subtree, filter, event, TRUE);
    if (rc != ERROR_SUCCESS) status = CStatus(NewErrorNumber(CSourcePos{__FILE__, line}, rc));
    return status.IsOK();
  };
  if (!arm(hosts, FALSE, kNamesFilter, names.get(), kArmNamesLine)) return status;
  if (!arm(valuesKey, TRUE, kValuesFilter, values.get(), kArmValuesLine)) return status;
  // "Applications" is shared by every host; a change there rebuilds them all.
  if (applications != nullptr && !arm(applications, TRUE, kValuesFilter, shared.get(), kArmValuesLine)) return status;

  while (status.IsOK()) {
    if (WaitForSingleObject(GetStopEvent(), 0) == WAIT_OBJECT_0) break;
    // The fixed events first (the lowest signalled index wins), then each
    // host's own key event, as many as the wait takes.
    std::vector<HANDLE> waits{names.get(), values.get(), GetStopEvent()};
    if (applications != nullptr) waits.push_back(shared.get());
    const std::size_t fixed = waits.size();
    const std::vector<std::pair<std::wstring, HANDLE>> hostEvents = GetHostKeyEvents();
    for (const auto& entry : hostEvents) {
      if (waits.size() == MAXIMUM_WAIT_OBJECTS) break;
      waits.push_back(entry.second);
    }
    const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      if (arm(hosts, FALSE, kNamesFilter, names.get(), kRearmNamesLine)) RefreshHosts(hosts, applications);
    } else if (woke == WAIT_OBJECT_0 + 1) {
      Sleep(kSettleMs);
      if (!arm(valuesKey, TRUE, kValuesFilter, values.get(), kRearmValuesLine)) break;
      platform::RegKey copy;
      RegOpenKeyExW(hosts, L"", 0, KEY_READ, copy.put());
      const CStatus walk = EnumRegistryKeys(copy.get(), [&](const std::wstring& host) {
        CStatus one;
        return RefreshHost(one, hosts, applications, host);
      });
      if (!walk.IsOK()) ReportError(*walk.GetError());
    } else if (applications != nullptr && woke == WAIT_OBJECT_0 + 3) {
      Sleep(kSettleMs);
      if (!arm(applications, TRUE, kValuesFilter, shared.get(), kRearmValuesLine)) break;
      RefreshAllHosts(hosts, applications);
    } else if (woke != WAIT_FAILED && woke >= WAIT_OBJECT_0 + fixed && woke < WAIT_OBJECT_0 + waits.size()) {
      // A host's key changed and its event came by itself.
      Sleep(kSettleMs);
      CStatus one;
      if (!RefreshSignalledHost(one, hosts, applications, hostEvents[woke - WAIT_OBJECT_0 - fixed].first).IsOK())
        ReportError(*one.GetError());
    } else if (woke == WAIT_FAILED) {
      status = CStatus(NewErrorNumber(CSourcePos{__FILE__, kWaitLine}, GetLastError()));
    }
  }
  return status;
}

CVantrelHTTPService theApp;

VANTREL_SERVICE_MAIN()

// Only read by the sanitizer runtimes (sanitizer builds): cpprestsdk is built
// without them, so what it does among its own threads is not ours to report;
// OpenSSL keeps per-thread state for the pool threads until the process ends.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpprest.so\n"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }
