// HTTPServer.cpp - the hosts: their registry values, the listeners built from them, and rebuilds.
//
// A host's configuration comes from three sources read in this order: the
// "Applications" key's own values, the subkey of "Applications" that the
// host's "Application" value names, and the host's key. Roots, mappings,
// applications, parameters and locations keep their FIRST value; "Protocol",
// "Port", "Default Range" and the TLS files their LAST. A rebuild reads
// everything into a new listener; the running one takes it over in place
// when only what may change in place changed, otherwise it is replaced.
#include "REST APIs/HTTP Service/HTTPServer.h"

#include "LibService/RegistryKey.h"
#include "LibService/ServiceLogger.h"
#include "LibService/ThreadSet.h"
#include "REST APIs/HTTP Service/HostSettings.h"
#include "REST APIs/HTTP Service/Listener.h"
#include "REST APIs/HTTP Service/LocationInstance.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include <cpprest/uri_builder.h>

#include <algorithm>
#include <set>

namespace {

// Trace ids of the server.
constexpr DWORD TRC_LISTENER_OPENED = 0x000100C8;       // (URL)
constexpr DWORD TRC_LISTENER_NOT_CREATED = 0xC00100C9;  // (URL or error text)
constexpr DWORD TRC_LISTENERS_CLOSED = 0x000100CA;
constexpr DWORD TRC_LISTENER_NOT_CLOSED = 0xC00100CB;
constexpr DWORD TRC_HOST_REBUILT = 0x000100D1;          // (host name)
constexpr DWORD TRC_HOST_UNCHANGED = 0x000100D2;        // (host name)

// Events and errors of the server.
constexpr DWORD MSG_DIRECTORY_NOT_FOUND = 0xC00000C9;  // (value, host name)
constexpr DWORD MSG_PORT_TAKEN = 0xC00000CF;           // (host name, URL, the host that listens there)
constexpr DWORD MSG_TLS_FILES = 0xC00000D0;            // (host name, file, what is wrong)
// Warning: a request limit's value was refused and its default is used.
constexpr DWORD MSG_LIMIT_OUT_OF_RANGE = 0x800000D1;   // (value name, value, host name, low, high, used)
constexpr DWORD MSG_LISTENER_EXCEPTION = 0xC000012C;   // (text)
constexpr DWORD MSG_CLOSE_EXCEPTION = 0xC000012D;      // (text)

// The source lines the errors carry.
constexpr int kHostKeyLine = 77;
constexpr int kMappingLine = 204;
constexpr int kOpenExceptionLine = 269;
constexpr int kBuildExceptionLine = 279;
constexpr int kCloseExceptionLine = 351;
constexpr int kLocationKeyLine = 29;

// The host key is opened for reading, setting values and making subkeys.
constexpr REGSAM kHostKeyAccess = 0x2001F;
constexpr DWORD kDefaultRange = 0x100000;
constexpr DWORD kFailedHostFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

// The largest certificate or key file read.
constexpr LONGLONG kMaxTlsFileBytes = 1 << 20;

struct LevelWord {
  const wchar_t* word;
  std::int32_t level;
};
constexpr LevelWord kLevelWords[] = {{L"Admin", 3}, {L"User", 2}, {L"Anon", 1}, {L"Unlicensed", 0}};
constexpr LevelWord kRootNames[] = {{L"Unlicensed Root", 0}, {L"Anon Root", 1}, {L"User Root", 2}, {L"Admin Root", 3}};

// A second handle to key (what the Windows code gets from DuplicateHandle).
platform::RegKey Duplicate(HKEY key) {
  platform::RegKey copy;
  if (key != nullptr) RegOpenKeyExW(key, L"", 0, KEY_READ, copy.put());
  return copy;
}

std::wstring Win32Text(DWORD code) {
  const CStatus status(NewErrorNumber(VN_HERE, code));
  return status.GetText();
}

// A whole decimal number from 1 to 65535.
bool PortInRange(const std::wstring& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned long>(c - L'0');
  }
  return value >= 1 && value <= 65535;
}

// Appends what key holds to out: its values (name, type, data), then, when
// below is set, each subkey by name with what it holds. A host's watch fires
// for anything below its key; this is what tells a change of its
// configuration from a write below "Users" (every remembered login).
void AppendKeyText(HKEY key, bool below, std::string& out) {
  DWORD values = 0, longestName = 0, longestData = 0, subkeys = 0, longestSubkey = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName,
                       &longestData, nullptr, nullptr) != ERROR_SUCCESS)
    return;
  std::vector<wchar_t> name(longestName + longestSubkey + 2);
  std::vector<BYTE> data(longestData + 1);
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS)
      break;
    out += platform::Utf8FromWide(std::wstring_view(name.data(), nameLength));
    out += '\0' + std::to_string(type) + '\0' + std::to_string(dataSize) + '\0';
    out.append(reinterpret_cast<const char*>(data.data()), dataSize);
  }
  if (!below) return;
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring subkey(name.data(), nameLength);
    platform::RegKey child;
    out += "\1" + platform::Utf8FromWide(subkey) + "{";
    if (RegOpenKeyExW(key, subkey.c_str(), 0, KEY_READ, child.put()) == ERROR_SUCCESS) AppendKeyText(child.get(), true, out);
    out += "}";
  }
}

// What a host's own key holds that its listener is built from: its values
// and its "Locations" subtree (never "Users", which the authenticator reads).
std::string HostKeyText(HKEY hosts, const std::wstring& host) {
  std::string text;
  platform::RegKey key;
  if (RegOpenKeyExW(hosts, host.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return text;
  AppendKeyText(key.get(), false, text);
  platform::RegKey locations;
  if (RegOpenKeyExW(key.get(), L"Locations", 0, KEY_READ, locations.put()) == ERROR_SUCCESS) {
    text += "\2";
    AppendKeyText(locations.get(), true, text);
  }
  return text;
}

}  // namespace

// What one host's values resolve to, in reading order.
struct CHTTPServer::CHostConfig {
  std::wstring protocol = L"https";
  std::wstring port = L"443";
  DWORD defaultRange = kDefaultRange;
  std::wstring certificateFile;
  std::wstring keyFile;
  std::vector<std::pair<std::int32_t, std::wstring>> roots;
  std::vector<std::pair<std::wstring, std::wstring>> mappings;
  std::vector<std::pair<std::wstring, std::wstring>> applications;
  std::vector<std::pair<std::wstring, std::wstring>> parameters;  // names without "Registry$"
  std::vector<std::pair<std::wstring, CHTTPServer::CLocation>> locations;
};

CHTTPServer::CHTTPServer() = default;
CHTTPServer::~CHTTPServer() = default;

void CHTTPServer::SetServiceApplication(std::shared_ptr<ServiceApplication> application) {
  m_application = std::move(application);
}

std::vector<std::string> CHTTPServer::GetHostNames() const {
  std::vector<std::string> names;
  for (const auto& entry : m_listeners) names.push_back(entry.first);
  return names;
}

CHTTPServer::CListener* CHTTPServer::FindListener(const std::string& host) const {
  const auto found = m_listeners.find(host);
  return found == m_listeners.end() ? nullptr : found->second.get();
}

std::map<std::string, CStatus> CHTTPServer::GetHostFailures() const {
  std::map<std::string, CStatus> failures;
  for (const auto& [name, failed] : m_failedHosts) failures.emplace(name, failed.status);
  return failures;
}

CStatus& CHTTPServer::Start(CStatus& status, IArchiveSystem* archive, HKEY hosts, HKEY applications) {
  m_archive = platform::ComPtr<IArchiveSystem>(archive);
  platform::RegKey names = Duplicate(hosts);
  // A host's failure is its own: it is reported and kept for a retry, and
  // the hosts after it start all the same; the service runs whatever one
  // host's configuration says.
  status = EnumRegistryKeys(names.get(), [&](const std::wstring& host) {
    CStatus one;
    if (!BuildHost(one, applications, hosts, host).IsOK()) ReportError(*one.GetError());
    return CStatus();
  });
  return status;
}

void CHTTPServer::ParseHostValue(CHostConfig& config, const std::wstring& name, const std::wstring& value) {
  for (const LevelWord& root : kRootNames) {
    if (platform::EqualsNoCase(name, root.word)) {
      config.roots.emplace_back(root.level, value);  // taken even when empty
      return;
    }
  }
  if (platform::EqualsNoCase(name, L"Protocol")) {
    if (!value.empty()) config.protocol = value;
    return;
  }
  if (platform::EqualsNoCase(name, L"Port")) {
    if (!value.empty()) config.port = value;
    return;
  }
  // The TLS files are rows of their own, never parameters a query would see.
  if (platform::EqualsNoCase(name, L"Certificate File")) {
    if (!value.empty()) config.certificateFile = value;
    return;
  }
  if (platform::EqualsNoCase(name, L"Key File")) {
    if (!value.empty()) config.keyFile = value;
    return;
  }
  if (!name.empty() && name[0] == L'/') {
    config.mappings.emplace_back(name, value);
    return;
  }
  if (name.find(L'/') != std::wstring::npos) {
    config.applications.emplace_back(name, value);
    return;
  }
  if (!value.empty()) config.parameters.emplace_back(name, value);
}

CStatus& CHTTPServer::ReadSource(CStatus& status, HKEY source, CHostConfig& config) {
  platform::RegKey copy = Duplicate(source);
  status = EnumRegistryValues(
      copy.get(),
      [&config](const std::wstring& name, const std::wstring& value) {
        ParseHostValue(config, name, value);
        return CStatus();
      },
      [&config](const std::wstring& name, DWORD value) {
        if (platform::EqualsNoCase(name, L"Port"))
          config.port = platform::FormatW(L"%lu", static_cast<unsigned long>(value));
        else if (platform::EqualsNoCase(name, L"Default Range"))
          config.defaultRange = value;
        else
          config.parameters.emplace_back(name, platform::FormatW(L"%lu", static_cast<unsigned long>(value)));
        return CStatus();
      },
      [&config](const std::wstring& name, ULONGLONG value) {
        config.parameters.emplace_back(name, platform::FormatW(L"%I64u", value));
        return CStatus();
      });
  if (!status.IsOK()) return status;

  platform::RegKey locations;
  if (RegOpenKeyExW(copy.get(), L"Locations", 0, KEY_READ, locations.put()) != ERROR_SUCCESS) return status;
  status = EnumRegistryKeys(locations.get(), [&](const std::wstring& name) {
    platform::RegKey key;
    const LSTATUS rc = RegOpenKeyExW(locations.get(), name.c_str(), 0, KEY_READ, key.put());
    if (rc != ERROR_SUCCESS) return CStatus(NewErrorNumber(CSourcePos{"RegistryKey", kLocationKeyLine}, rc));
    CLocation location(name);
    auto& properties = location.m_Properties;
    CStatus read = EnumRegistryValues(
        key.get(),
        [&](const std::wstring& n, const std::wstring& v) {
          properties.emplace(n, v);
          return CStatus();
        },
        [&](const std::wstring& n, DWORD v) {
          properties.emplace(n, platform::FormatW(L"%lu", static_cast<unsigned long>(v)));
          return CStatus();
        },
        [&](const std::wstring& n, ULONGLONG v) {
          properties.emplace(n, platform::FormatW(L"%I64u", v));
          return CStatus();
        });
    if (read.IsOK()) config.locations.emplace_back(name, std::move(location));
    return read;
  });
  return status;
}

CStatus& CHTTPServer::ResolveMappings(CStatus& status, const std::wstring& host, CHostConfig& config,
                                      std::map<std::wstring, std::wstring>& mappings,
                                      std::map<std::wstring, std::wstring>& parameters) {
  for (const auto& [name, value] : config.mappings) {
    if (!status.IsOK()) break;
    if (value.empty()) continue;
    std::wstring prefixed = value;
    if (value[0] == L'/' || value[0] == L'\\')
      prefixed = L"0" + value;
    else if (value.size() == 1 || value[1] != L':')
      prefixed = L"0/" + value;
    platform::ComPtr<IArchiveObject> item;
    platform::ComBstr path;
    if (!m_archive || FAILED(m_archive->GetArchiveDirectory(platform::ComBstr(prefixed), item.ReleaseAndGetAddressOf())) ||
        !item || FAILED(item->GetPath(path.ReleaseAndGetAddressOf()))) {
      status = CStatus(NewErrorMessage(CSourcePos{__FILE__, kMappingLine}, MSG_DIRECTORY_NOT_FOUND, {prefixed, host}));
      break;
    }
    mappings.emplace(name, path.Str());
    parameters.emplace(L"Directory$" + name.substr(1), path.Str());
  }
  return status;
}

// The web applications of config: level -> "/" + name -> the folder of the
// file the value names; an unknown level word drops the entry.
static CHTTPServer::CHostSettings::Applications WebApplicationsOf(const CHTTPServer::CHostConfig& config);

CStatus& CHTTPServer::ReadHostSettings(CStatus& status, HKEY applications, HKEY hostKey, const std::wstring& host,
                                       CHostSettings& settings, std::map<std::wstring, CLocation>& locations) {
  CHostConfig config;
  platform::RegKey application;
  std::wstring applicationName;
  DWORD type = 0;
  if (applications != nullptr &&
      platform::RegReadString(hostKey, L"Application", applicationName, &type) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ))
    RegOpenKeyExW(applications, applicationName.c_str(), 0, KEY_READ, application.put());
  for (HKEY source : {applications, application.get(), hostKey}) {
    if (source != nullptr && status.IsOK()) ReadSource(status, source, config);
  }
  if (!status.IsOK()) return status;

  // A port outside 1..65535 would be wrapped or picked by the kernel: that
  // host fails alone.
  if (!PortInRange(config.port))
    return status = CStatus(NewErrorMessage(VN_HERE, MSG_LISTENER_EXCEPTION,
                                            {L"the port " + config.port + L" of host " + host +
                                             L" is not a number from 1 to 65535"}));
  web::uri_builder builder(platform::Utf8FromWide(
      platform::FormatW(L"%s://%s:%s", config.protocol.c_str(), host.c_str(), config.port.c_str())));
  builder.set_path("/");
  settings.uri = builder.to_uri();

  for (const auto& [level, directory] : config.roots) settings.roots.emplace(level, directory);
  if (!ResolveMappings(status, host, config, settings.mappings, settings.parameters).IsOK()) return status;
  settings.applications = WebApplicationsOf(config);
  for (const auto& [name, value] : config.parameters) settings.parameters.emplace(L"Registry$" + name, value);
  settings.defaultRange = config.defaultRange;
  std::vector<CRejectedLimit> rejected;
  settings.limits = HostLimitsFrom(settings.parameters, rejected);
  for (const CRejectedLimit& r : rejected)
    ReportEvent(nullptr, MSG_LIMIT_OUT_OF_RANGE, {r.name, r.value, host, r.low, r.high, r.used});

  for (const auto& [name, location] : config.locations) {
    if (locations.emplace(name, location).second) settings.locationSettings.emplace(name, location.m_Properties);
  }
  // Only a host that will listen needs its certificate.
  if (platform::EqualsNoCaseA(settings.uri.scheme(), "https") && !settings.roots.empty())
    ReadHostTls(status, host, config, settings.tls);
  return status;
}

static CHTTPServer::CHostSettings::Applications WebApplicationsOf(const CHTTPServer::CHostConfig& config) {
  CHTTPServer::CHostSettings::Applications webApplications;
  for (const auto& [name, value] : config.applications) {
    const std::size_t slash = name.find(L'/');
    const std::wstring word = name.substr(0, slash);
    const auto known = std::find_if(std::begin(kLevelWords), std::end(kLevelWords),
                                    [&word](const LevelWord& w) { return platform::EqualsNoCase(word, w.word); });
    if (known == std::end(kLevelWords)) continue;
    std::wstring root = value;
    std::replace(root.begin(), root.end(), L'/', L'\\');
    const std::size_t last = root.find_last_of(L'\\');
    if (last != std::wstring::npos) root.resize(last);
    webApplications[known->level].emplace(name.substr(slash), root);
  }
  return webApplications;
}

CStatus& CHTTPServer::ReadHostTls(CStatus& status, const std::wstring& host, const CHostConfig& config,
                                  CHostTls& tls) {
  tls.certificateFile = config.certificateFile;
  tls.keyFile = config.keyFile;
  for (const auto& [file, text] : {std::pair<const std::wstring*, std::string*>{&tls.certificateFile, &tls.certificate},
                                   std::pair<const std::wstring*, std::string*>{&tls.keyFile, &tls.key}}) {
    if (file->empty())
      return status = CStatus(NewErrorMessage(VN_HERE, MSG_TLS_FILES,
                                              {host, file == &tls.keyFile ? L"Key File" : L"Certificate File",
                                               L"no file is named"}));
    const DWORD read = platform::ReadWholeFile(*file, kMaxTlsFileBytes, *text);
    if (read != ERROR_SUCCESS)
      return status = CStatus(NewErrorMessage(VN_HERE, MSG_TLS_FILES, {host, *file, Win32Text(read)}));
  }
  const std::string wrong = CheckHostTls(tls);
  if (!wrong.empty())
    return status = CStatus(NewErrorMessage(VN_HERE, MSG_TLS_FILES,
                                            {host, tls.certificateFile + L", " + tls.keyFile,
                                             platform::WideFromUtf8(wrong)}));
  return status;
}

CStatus& CHTTPServer::CreateListener(CStatus& status, HKEY applications, HKEY hosts, const std::wstring& host) {
  std::wstring url;
  bool made = false;
  try {
    platform::RegKey hostKey;
    const LSTATUS rc = RegOpenKeyExW(hosts, host.c_str(), 0, kHostKeyAccess, hostKey.put());
    if (rc != ERROR_SUCCESS) return status = CStatus(NewErrorNumber(CSourcePos{__FILE__, kHostKeyLine}, rc));
    // Armed before the host's values are read, so that a change made while
    // they are read signals the new listener instead of being lost.
    platform::UniqueHandle hostEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (hostEvent &&
        RegNotifyChangeKeyValue(hostKey.get(), TRUE, kFailedHostFilter, hostEvent.get(), TRUE) != ERROR_SUCCESS)
      hostEvent.reset();  // the listener arms its own

    CHostSettings settings;
    std::map<std::wstring, CLocation> locations;
    if (!ReadHostSettings(status, applications, hostKey.get(), host, settings, locations).IsOK()) return status;
    url = platform::WideFromUtf8(settings.uri.to_string());

    const std::string name = platform::Utf8FromWide(host);
    auto listener = std::make_unique<CListener>(std::move(settings), m_archive.Get(), name);
    const auto present = m_listeners.find(name);
    if (present != m_listeners.end()) {
      if (present->second->UpdateFrom(*listener)) return status;
      RemoveListener(name);  // closed before the new one opens
    }
    made = true;
    SetUpListener(status, host, std::move(hostKey), std::move(hostEvent), std::move(listener), locations);
  } catch (const std::exception& e) {
    status = CStatus(NewExceptionMessage(CSourcePos{__FILE__, kBuildExceptionLine}, e, MSG_LISTENER_EXCEPTION));
    ServiceTrace(this, TRC_LISTENER_NOT_CREATED, status.GetText().c_str());
    return status;
  }
  if (made && !status.IsOK()) ServiceTrace(this, TRC_LISTENER_NOT_CREATED, url.c_str());
  return status;
}

CStatus& CHTTPServer::SetUpListener(CStatus& status, const std::wstring& host, platform::RegKey hostKey,
                                    platform::UniqueHandle hostEvent,
                                    std::unique_ptr<CListener> listener,
                                    const std::map<std::wstring, CLocation>& locations) {
  static const ServiceApplication kNoApplication{};
  listener->StartLocations(status, m_application ? *m_application : kNoApplication, host, std::move(hostKey),
                           std::move(hostEvent), locations);
  if (!status.IsOK()) return status;
  const std::wstring url = platform::WideFromUtf8(listener->GetURI().to_string());
  if (!listener->GetRoots().empty()) {
    // cpprest cannot share a port between hosts: the second host is
    // refused with an event of its own, and the others run.
    if (const CListener* other = PortTakenBy(listener->GetHostName(), listener->GetURI().port())) {
      ReportEvent(nullptr, MSG_PORT_TAKEN, {host, url, platform::WideFromUtf8(other->GetHostName())});
      return status;
    }
    try {
      listener->Open();
    } catch (const std::exception& e) {
      status = CStatus(NewExceptionMessage(CSourcePos{__FILE__, kOpenExceptionLine}, e, MSG_LISTENER_EXCEPTION));
      return status;
    }
    ServiceTrace(this, TRC_LISTENER_OPENED, url.c_str());
  }
  m_listeners[listener->GetHostName()] = std::move(listener);
  return status;
}

// Each host owns its public socket (its front) and the listener behind it on
// a loopback port of its own, so a host that goes closes only those: the
// other hosts and their connections are not touched. The public port is free
// again once the listener is destroyed (the front goes first).
void CHTTPServer::RemoveListener(const std::string& name) {
  const auto found = m_listeners.find(name);
  if (found == m_listeners.end()) return;
  std::unique_ptr<CListener> leaving = std::move(found->second);
  m_listeners.erase(found);
  m_builtFrom.erase(name);
  leaving.reset();
}

const CHTTPServer::CListener* CHTTPServer::PortTakenBy(const std::string& host, int port) const {
  for (const auto& [name, listener] : m_listeners)
    if (name != host && listener->IsOpen() && listener->GetURI().port() == port) return listener.get();
  return nullptr;
}

CStatus& CHTTPServer::BuildHost(CStatus& status, HKEY applications, HKEY hosts, const std::wstring& host) {
  const std::string name = platform::Utf8FromWide(host);
  // Read before the build, so that a change made while the host is built
  // is seen as one at the next look.
  std::string text = HostKeyText(hosts, host);
  if (m_listeners.count(name) != 0) ServiceTrace(this, TRC_HOST_REBUILT, host.c_str());
  CreateListener(status, applications, hosts, host);
  if (m_listeners.count(name) != 0) {
    m_failedHosts.erase(name);
    // What it was built from, unless the build failed and the old listener stayed.
    if (status.IsOK()) m_builtFrom[name] = std::move(text);
  } else {
    m_builtFrom.erase(name);
    MarkFailed(hosts, host, status);
  }
  return status;
}

bool CHTTPServer::HostValuesChanged(HKEY hosts, const std::wstring& host) const {
  const auto built = m_builtFrom.find(platform::Utf8FromWide(host));
  return built == m_builtFrom.end() || built->second != HostKeyText(hosts, host);
}

void CHTTPServer::MarkFailed(HKEY hosts, const std::wstring& host, const CStatus& status) {
  FailedHost failed;
  failed.status = status;
  if (RegOpenKeyExW(hosts, host.c_str(), 0, KEY_READ, failed.key.put()) != ERROR_SUCCESS) {
    m_failedHosts.erase(platform::Utf8FromWide(host));
    return;
  }
  failed.changed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  RegNotifyChangeKeyValue(failed.key.get(), TRUE, kFailedHostFilter, failed.changed.get(), TRUE);
  m_failedHosts[platform::Utf8FromWide(host)] = std::move(failed);
}

void CHTTPServer::RefreshHosts(HKEY hosts, HKEY applications) {
  std::set<std::string> gone;
  for (const auto& entry : m_listeners) gone.insert(entry.first);
  for (const auto& entry : m_failedHosts) gone.insert(entry.first);
  platform::RegKey names = Duplicate(hosts);
  CStatus status = EnumRegistryKeys(names.get(), [&](const std::wstring& host) {
    const std::string name = platform::Utf8FromWide(host);
    gone.erase(name);
    CStatus one;
    // A host that failed before is tried again: what it waited for (a port
    // another host held, a folder) may be there now. Its failure is its own:
    // the walk goes on, so new hosts still start and deleted ones still go.
    if (m_listeners.count(name) == 0) BuildHost(one, applications, hosts, host);
    if (!one.IsOK()) ReportError(*one.GetError());
    return CStatus();
  });
  if (status.IsOK()) {
    for (const std::string& name : gone) {
      RemoveListener(name);
      m_failedHosts.erase(name);
      m_builtFrom.erase(name);
    }
  }
  if (!status.IsOK()) ReportError(*status.GetError());
}

CStatus& CHTTPServer::RefreshHost(CStatus& status, HKEY hosts, HKEY applications, const std::wstring& host) {
  const std::string name = platform::Utf8FromWide(host);
  const auto present = m_listeners.find(name);
  if (present != m_listeners.end()) {
    CListener& listener = *present->second;
    if (WaitForSingleObject(listener.GetHostKeyEvent(), 0) != WAIT_OBJECT_0) return status;
    RegNotifyChangeKeyValue(listener.GetHostKey(), TRUE, kFailedHostFilter, listener.GetHostKeyEvent(), TRUE);
    if (!HostValuesChanged(hosts, host)) {
      ServiceTrace(this, TRC_HOST_UNCHANGED, host.c_str());
      return status;
    }
    return BuildHost(status, applications, hosts, host);
  }
  const auto failed = m_failedHosts.find(name);
  if (failed == m_failedHosts.end()) return status;
  if (WaitForSingleObject(failed->second.changed.get(), 0) != WAIT_OBJECT_0) return status;
  return BuildHost(status, applications, hosts, host);
}

std::vector<std::pair<std::wstring, HANDLE>> CHTTPServer::GetHostKeyEvents() const {
  std::vector<std::pair<std::wstring, HANDLE>> events;
  for (const auto& [name, listener] : m_listeners)
    if (listener->GetHostKeyEvent() != nullptr) events.emplace_back(platform::WideFromUtf8(name), listener->GetHostKeyEvent());
  for (const auto& [name, failed] : m_failedHosts)
    if (failed.changed) events.emplace_back(platform::WideFromUtf8(name), failed.changed.get());
  return events;
}

CStatus& CHTTPServer::RefreshSignalledHost(CStatus& status, HKEY hosts, HKEY applications, const std::wstring& host) {
  const std::string name = platform::Utf8FromWide(host);
  // A deleted host's key fires too; the name change removes it, so its own
  // event is no failure to report.
  {
    platform::RegKey still;
    if (RegOpenKeyExW(hosts, host.c_str(), 0, KEY_READ, still.put()) == ERROR_FILE_NOT_FOUND) return status;
  }
  const auto present = m_listeners.find(name);
  if (present != m_listeners.end()) {
    RegNotifyChangeKeyValue(present->second->GetHostKey(), TRUE, kFailedHostFilter, present->second->GetHostKeyEvent(),
                            TRUE);
    // The authenticator follows "Users" by itself: a remembered login's
    // write there leaves the listener (its cache, its mappings) alone.
    if (!HostValuesChanged(hosts, host)) {
      ServiceTrace(this, TRC_HOST_UNCHANGED, host.c_str());
      return status;
    }
  } else {
    const auto failed = m_failedHosts.find(name);
    if (failed == m_failedHosts.end()) return status;
    RegNotifyChangeKeyValue(failed->second.key.get(), TRUE, kFailedHostFilter, failed->second.changed.get(), TRUE);
  }
  return BuildHost(status, applications, hosts, host);
}

void CHTTPServer::RefreshAllHosts(HKEY hosts, HKEY applications) {
  platform::RegKey names = Duplicate(hosts);
  CStatus status = EnumRegistryKeys(names.get(), [&](const std::wstring& host) {
    CStatus one;
    BuildHost(one, applications, hosts, host);
    if (!one.IsOK()) ReportError(*one.GetError());
    return CStatus();
  });
  if (!status.IsOK()) ReportError(*status.GetError());
}

CStatus& CHTTPServer::Stop(CStatus& status) {
  for (auto& [name, listener] : m_listeners) {
    try {
      listener->Close();
    } catch (const std::exception& e) {
      status = CStatus(NewExceptionMessage(CSourcePos{__FILE__, kCloseExceptionLine}, e, MSG_CLOSE_EXCEPTION));
      ServiceTrace(this, TRC_LISTENER_NOT_CLOSED);
      return status;
    }
  }
  ServiceTrace(this, TRC_LISTENERS_CLOSED);
  return status;
}

void CHTTPServer::ReleaseListeners() {
  m_listeners.clear();
  m_builtFrom.clear();
  m_failedHosts.clear();
  m_archive.Reset();
}
