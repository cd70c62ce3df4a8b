// status.cpp - the published service status, written by the service, read by anyone.
//
// A report replaces the file whole (write to a temporary name, rename), so a
// reader sees one report or the next, never half of one. Whether the
// reporting process still lives decides what a non-final report means.

#include "platform/service/service_internal.h"
#include "platform/base/text.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform::service_detail {
namespace {

// Alive while any of its threads runs. A service started by StartServiceW is
// nobody's child, but one started another way may wait unreaped. The first
// thread reads as a zombie as soon as it has ended, while the others may still
// run, holding the process's descriptors (its control pipe among them): a
// service killed with many threads is not stopped until the last has ended.
bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  std::error_code ec;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", ec);
  if (ec) return ec != std::errc::no_such_file_or_directory;  // unreadable: taken as alive
  for (const auto& task : tasks) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // that thread ended as it was read
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return true;
    const char state = line[close + 2];
    if (state != 'Z' && state != 'X') return true;
  }
  return false;
}

}  // namespace

std::string StatusPath(const std::wstring& name) {
  return PipeDirectory() + "/service." + Utf8FromWide(ToLower(name)) + ".status";
}

std::wstring ControlPipeName(const std::wstring& name) { return L"\\\\.\\pipe\\Vantrel.ServiceControl." + name; }

bool WriteStatus(const std::wstring& name, pid_t pid, const SERVICE_STATUS& s) {
  std::error_code ec;
  std::filesystem::create_directories(PipeDirectory(), ec);
  const std::string path = StatusPath(name);
  const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << pid << ' ' << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' ' << s.dwWin32ExitCode << ' '
        << s.dwServiceSpecificExitCode << ' ' << s.dwCheckPoint << ' ' << s.dwWaitHint << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

SERVICE_STATUS_PROCESS ReadStatus(const std::wstring& name) {
  SERVICE_STATUS_PROCESS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = SERVICE_STOPPED;
  std::ifstream in(StatusPath(name));
  long long pid = 0;
  SERVICE_STATUS_PROCESS read = s;
  if (!(in >> pid >> read.dwCurrentState >> read.dwControlsAccepted >> read.dwWin32ExitCode >>
        read.dwServiceSpecificExitCode >> read.dwCheckPoint >> read.dwWaitHint)) {
    return s;
  }
  if (read.dwCurrentState == SERVICE_STOPPED) {
    read.dwProcessId = 0;
    return read;
  }
  if (!ProcessAlive(static_cast<pid_t>(pid))) {
    s.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    return s;
  }
  read.dwProcessId = static_cast<DWORD>(pid);
  return read;
}

void RemoveStatus(const std::wstring& name) { ::unlink(StatusPath(name).c_str()); }

void RemoveIfMarked(const std::wstring& name) {
  RegKey services;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, services.put()) != ERROR_SUCCESS) return;
  RegKey key;
  if (RegOpenKeyExW(services.get(), name.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  DWORD flag = 0;
  if (RegReadDword(key.get(), L"DeleteFlag", flag) != ERROR_SUCCESS || flag == 0) return;
  key.reset();
  RegDeleteTreeW(services.get(), name.c_str());
}

}  // namespace platform::service_detail
