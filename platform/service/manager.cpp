// manager.cpp - the control manager calls: the service database, start, control, query.
//
// Any process may call these; what they share is the registry (the
// database), the status files the services publish and the services'
// control pipes. StartServiceW launches the program itself, detached from
// the caller (double fork, new session), so the service outlives it.

#include "platform/service/service_internal.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

struct SC_HANDLE__ {
  bool manager = false;
  std::wstring name;     // service handles
  bool deleted = false;  // DeleteService went through this handle
};

namespace platform {
namespace {

using service_detail::kServicesKey;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool IsService(SC_HANDLE h) { return h != nullptr && !h->manager; }

bool ValidName(LPCWSTR name) {
  if (name == nullptr || *name == L'\0') return false;
  std::wstring_view n(name);
  return n.find_first_of(L"/\\") == std::wstring_view::npos && n.size() <= 256;
}

// False with the last error set unless manager is a manager handle and
// name a valid service name.
bool CheckManagerAndName(SC_HANDLE manager, LPCWSTR name) {
  if (manager == nullptr || !manager->manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!ValidName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return true;
}

// Opens the service's key; a missing key is ERROR_SERVICE_DOES_NOT_EXIST.
DWORD OpenServiceKey(const std::wstring& name, REGSAM access, RegKey& key) {
  RegKey services;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, access, services.put());
  if (rc == ERROR_SUCCESS) rc = RegOpenKeyExW(services.get(), name.c_str(), 0, access, key.put());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST : static_cast<DWORD>(rc);
}

bool MarkedForDelete(HKEY key) {
  DWORD flag = 0;
  return RegReadDword(key, L"DeleteFlag", flag) == ERROR_SUCCESS && flag != 0;
}

// Splits a command line at spaces outside double quotes (quotes removed).
std::vector<std::string> SplitCommandLine(const std::wstring& line) {
  std::vector<std::string> out;
  std::wstring current;
  bool quoted = false;
  bool any = false;
  for (wchar_t c : line) {
    if (c == L'"') {
      quoted = !quoted;
      any = true;
    } else if (c == L' ' && !quoted) {
      if (any) out.push_back(Utf8FromWide(current));
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) out.push_back(Utf8FromWide(current));
  return out;
}

std::string LogDirectory() {
  for (const char* var : {"VANTREL_LOG_DIR", "TMPDIR"}) {
    const char* v = std::getenv(var);
    if (v != nullptr && *v != '\0') return v;
  }
  return "/tmp";
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Starts argv detached; the status reads START_PENDING before the program
// runs. Returns the Win32 code of a failed launch.
DWORD Launch(const std::wstring& name, const std::vector<std::string>& args) {
  const std::string logDir = LogDirectory();
  std::error_code ec;
  std::filesystem::create_directories(logDir, ec);
  const std::string logPath = logDir + "/" + Utf8FromWide(name) + ".log";

  // Everything the children need is built before fork: after it, only
  // system calls.
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string nameVar = "VANTREL_SERVICE_NAME=" + Utf8FromWide(name);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VANTREL_SERVICE_NAME=", 21) != 0) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(nameVar.c_str()));
  envp.push_back(nullptr);

  int report[2];
  int go[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return Win32FromErrno(errno);
  if (::pipe2(go, O_CLOEXEC) != 0) {
    ::close(report[0]);
    ::close(report[1]);
    return Win32FromErrno(errno);
  }
  pid_t middle = ::fork();
  if (middle < 0) {
    const DWORD rc = Win32FromErrno(errno);
    for (int fd : {report[0], report[1], go[0], go[1]}) ::close(fd);
    return rc;
  }
  if (middle == 0) {
    ::setsid();
    pid_t service = ::fork();
    if (service != 0) {
      // The middle process only passes the pid on; its exit makes the
      // service an orphan that no caller has to reap.
      ::write(report[1], &service, sizeof service);
      ::_exit(0);
    }
    ::close(go[1]);
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(1);  // the caller gave up
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) {
      int e = errno;
      ::write(report[1], &e, sizeof e);
      ::_exit(127);
    }
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (::chdir("/") != 0) {
      // Not fatal: the program starts in the caller's folder.
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvpe(argv[0], argv.data(), envp.data());
    int e = errno;
    ::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(report[1]);
  ::close(go[0]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  pid_t service = -1;
  DWORD rc = ERROR_SUCCESS;
  if (!ReadAll(report[0], &service, sizeof service) || service <= 0) {
    rc = ERROR_SERVICE_REQUEST_TIMEOUT;  // the launch went wrong before the program
  } else {
    SERVICE_STATUS pending{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
    service_detail::WriteStatus(name, service, pending);
    ::write(go[1], "g", 1);
    int err = 0;
    if (ReadAll(report[0], &err, sizeof err)) {
      rc = Win32FromErrno(err);
      SERVICE_STATUS stopped{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, rc, 0, 0, 0};
      service_detail::WriteStatus(name, 0, stopped);
    }
  }
  ::close(report[0]);
  ::close(go[1]);
  return rc;
}

}  // namespace
}  // namespace platform

using platform::Fail;
using platform::RegKey;

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD /*access*/) {
  if ((machineName != nullptr && *machineName != L'\0') || (databaseName != nullptr && *databaseName != L'\0' &&
                                                            std::wstring_view(databaseName) != L"ServicesActive")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* h = new SC_HANDLE__();
  h->manager = true;
  return h;
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD /*access*/,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                         LPCWSTR loadOrderGroup, DWORD* tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR /*password*/) {
  if (!platform::CheckManagerAndName(manager, serviceName)) return nullptr;
  if (binaryPathName == nullptr || *binaryPathName == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  RegKey services;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::service_detail::kServicesKey, 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, services.put(), nullptr);
  RegKey key;
  DWORD disposition = 0;
  if (rc == ERROR_SUCCESS) {
    rc = RegCreateKeyExW(services.get(), serviceName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), &disposition);
  }
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }
  if (disposition == REG_OPENED_EXISTING_KEY) {
    SetLastError(platform::MarkedForDelete(key.get()) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  using platform::RegWriteDword;
  using platform::RegWriteString;
  RegWriteDword(key.get(), L"Type", serviceType);
  RegWriteDword(key.get(), L"Start", startType);
  RegWriteDword(key.get(), L"ErrorControl", errorControl);
  RegWriteString(key.get(), L"ImagePath", binaryPathName, REG_EXPAND_SZ);
  if (displayName != nullptr) RegWriteString(key.get(), L"DisplayName", displayName);
  RegWriteString(key.get(), L"ObjectName", serviceStartName != nullptr ? serviceStartName : L"LocalSystem");
  if (loadOrderGroup != nullptr && *loadOrderGroup != L'\0') RegWriteString(key.get(), L"Group", loadOrderGroup);
  if (dependencies != nullptr && *dependencies != L'\0') {
    std::vector<std::wstring> list;
    for (LPCWSTR p = dependencies; *p != L'\0'; p += std::wcslen(p) + 1) list.emplace_back(p);
    platform::RegWriteMultiString(key.get(), L"DependOnService", list);
  }
  if (tagId != nullptr) *tagId = 0;
  // A status left by an earlier service of the same name is not this one's.
  platform::service_detail::RemoveStatus(serviceName);
  auto* h = new SC_HANDLE__();
  h->name = serviceName;
  return h;
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD /*access*/) {
  if (!platform::CheckManagerAndName(manager, serviceName)) return nullptr;
  RegKey key;
  const DWORD rc = platform::OpenServiceKey(serviceName, KEY_READ, key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return nullptr;
  }
  auto* h = new SC_HANDLE__();
  h->name = serviceName;
  return h;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  delete handle;
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  if (!platform::IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (service->deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  RegKey key;
  DWORD rc = platform::OpenServiceKey(service->name, KEY_ALL_ACCESS, key);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  if (platform::MarkedForDelete(key.get())) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  platform::RegWriteDword(key.get(), L"DeleteFlag", 1);
  key.reset();
  service->deleted = true;
  if (platform::service_detail::ReadStatus(service->name).dwCurrentState == SERVICE_STOPPED) {
    platform::service_detail::RemoveIfMarked(service->name);
  }
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  if (!platform::IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  RegKey key;
  DWORD rc = platform::OpenServiceKey(service->name, KEY_READ, key);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  if (platform::MarkedForDelete(key.get())) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (platform::service_detail::ReadStatus(service->name).dwCurrentState != SERVICE_STOPPED) {
    return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  std::wstring imagePath;
  rc = platform::RegReadString(key.get(), L"ImagePath", imagePath);
  if (rc != ERROR_SUCCESS) return Fail(ERROR_PATH_NOT_FOUND);
  std::vector<std::string> args = platform::SplitCommandLine(platform::ExpandEnvironment(imagePath));
  if (args.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  for (DWORD i = 0; i < argc && argv != nullptr; ++i) args.push_back(platform::Utf8FromWide(argv[i]));
  const DWORD launched = platform::Launch(service->name, args);
  return launched == ERROR_SUCCESS ? TRUE : Fail(launched);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (!platform::IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const SERVICE_STATUS_PROCESS now = platform::service_detail::ReadStatus(service->name);
  if (now.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  const std::wstring pipeName = platform::service_detail::ControlPipeName(service->name);
  platform::UniqueHandle pipe;
  for (;;) {
    pipe.reset(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) break;
    const DWORD error = GetLastError();
    // Without its dispatcher (still starting, or not a service program at
    // all) nothing can take the control.
    if (error == ERROR_FILE_NOT_FOUND) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(pipeName.c_str(), 30000)) return Fail(error);
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  DWORD reply[8] = {};
  DWORD got = 0;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr) ||
      !TransactNamedPipe(pipe.get(), &control, sizeof control, reply, sizeof reply, &got, nullptr)) {
    return FALSE;
  }
  if (got != sizeof reply) return Fail(ERROR_INVALID_DATA);
  std::memcpy(status, reply + 1, sizeof *status);
  return reply[0] == ERROR_SUCCESS ? TRUE : Fail(reply[0]);
}

BOOL QueryServiceStatusEx(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufferSize, DWORD* bytesNeeded) {
  if (!platform::IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (infoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_PARAMETER);
  if (bytesNeeded != nullptr) *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const SERVICE_STATUS_PROCESS s = platform::service_detail::ReadStatus(service->name);
  // A service that ended (crashed or deleted while running) leaves its key
  // to whoever sees it stopped first.
  if (s.dwCurrentState == SERVICE_STOPPED) platform::service_detail::RemoveIfMarked(service->name);
  std::memcpy(buffer, &s, sizeof s);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  SERVICE_STATUS_PROCESS s;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
    return FALSE;
  }
  std::memcpy(status, &s, sizeof *status);
  return TRUE;
}

BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  if (!platform::IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (infoLevel != SERVICE_CONFIG_DESCRIPTION || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  RegKey key;
  DWORD rc = platform::OpenServiceKey(service->name, KEY_ALL_ACCESS, key);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  const auto* d = static_cast<const SERVICE_DESCRIPTIONW*>(info);
  if (d->lpDescription == nullptr) return TRUE;  // no change, as on Windows
  if (*d->lpDescription == L'\0') {
    RegDeleteValueW(key.get(), L"Description");
    return TRUE;
  }
  rc = platform::RegWriteString(key.get(), L"Description", d->lpDescription);
  return rc == ERROR_SUCCESS ? TRUE : Fail(rc);
}
