// dumps.cpp - dump requests, the watcher thread and the dump tool's start.
//
// State: one CrashSupport, built during static initialisation and never
// destroyed. Its owner word serialises dump requests; configLock guards the
// tool path, directory and service name. The watcher handle is set once and
// never cleared while the process runs.
#include "platform/crash/crash.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/sync/sync.h"

#include <poll.h>
#include <spawn.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cwchar>

extern char** environ;

namespace {

// A dump request may come from a signal handler, so the requesting side uses
// only what is safe there: an atomic owner word as the lock (a fault while
// requesting never re-enters: the fault handler refuses nested faults),
// eventfds for the request and done signals, and atomics for the request.
struct CrashSupport {
  CrashSupport() {
    InitializeCriticalSection(&configLock);
    requestFd = ::eventfd(0, EFD_CLOEXEC);
    doneFd = ::eventfd(0, EFD_CLOEXEC);
  }
  // Never destroyed: a fault during exit may still request a dump.
  CRITICAL_SECTION configLock;  // guards the three strings and the watcher's start
  std::wstring toolPath;
  std::wstring logDirectory;
  std::wstring serviceName;
  std::atomic<DWORD> owner{0};  // the requesting thread; 0 when free
  int requestFd;
  int doneFd;
  std::atomic<HANDLE> watcher{nullptr};
  std::atomic<const wchar_t*> reason{nullptr};
  std::atomic<EXCEPTION_POINTERS*> pointers{nullptr};
  std::atomic<DWORD> threadId{0};
  std::atomic<bool> fatal{false};  // the request is the fatal report, not a dump
  std::atomic<platform::FatalReport> fatalReport{nullptr};
};

CrashSupport& Crash() {
  static CrashSupport* support = new CrashSupport;
  return *support;
}
[[maybe_unused]] CrashSupport& g_crashAtStart = Crash();

void Signal(int fd) {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool Await(int fd) {
  std::uint64_t value = 0;
  while (true) {
    const ssize_t n = ::read(fd, &value, sizeof value);
    if (n == sizeof value) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// Runs the tool for the request held (called by the watcher while the
// requesting thread waits).
void RunDumpTool(CrashSupport& c) {
  wchar_t time[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::wcsftime(time, 32, L"%Y%m%d%H%M%S", &local);
  EXCEPTION_POINTERS* const pointers = c.pointers.load(std::memory_order_acquire);
  std::wstring code;
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr) {
    code = platform::FormatW(L"%X", pointers->ExceptionRecord->ExceptionCode);
  } else {
    const wchar_t* reason = c.reason.load(std::memory_order_acquire);
    code = reason != nullptr ? reason : L"InvalidParameter";
  }
  std::wstring tool, directory, service;
  {
    platform::CriticalSectionLock guard(c.configLock);
    tool = c.toolPath;
    directory = c.logDirectory;
    service = c.serviceName;
  }
  const std::wstring commandLine = platform::DumpToolCommandLine(
      tool, GetCurrentProcessId(), c.threadId.load(std::memory_order_acquire), pointers, directory, service, time, code);
  if (commandLine.empty()) return;
  bool started = false;
  platform::RunCommandLineAndWait(commandLine, started);
}

[[noreturn]] void ExitWithCode(const EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers != nullptr && pointers->ExceptionRecord != nullptr ? pointers->ExceptionRecord->ExceptionCode
                                                                                 : STATUS_STACK_BUFFER_OVERRUN;
  ::_exit(static_cast<int>(code));
}

// The fatal request: report, then end the process from here.
[[noreturn]] void RunFatalReport(CrashSupport& c) {
  EXCEPTION_POINTERS* const pointers = c.pointers.load(std::memory_order_acquire);
  platform::FatalReport report = c.fatalReport.load();
  if (report != nullptr && pointers != nullptr && pointers->ExceptionRecord != nullptr &&
      pointers->ContextRecord != nullptr) {
    report(*pointers->ExceptionRecord, *pointers->ContextRecord);
  }
  ExitWithCode(pointers);
}

// Takes the owner word for the calling thread, giving up after timeoutMs
// (another request may never end). Signal-safe.
bool TakeOwner(CrashSupport& c, DWORD self, int timeoutMs) {
  struct timespec start{}, now{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  DWORD expected = 0;
  while (!c.owner.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
    if (expected == self) return false;
    expected = 0;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > timeoutMs) return false;
    ::sched_yield();
  }
  return true;
}

DWORD Watcher(LPVOID parameter) {
  auto& c = *static_cast<CrashSupport*>(parameter);
  // Wait until the starter has stored the handle and released the lock.
  EnterCriticalSection(&c.configLock);
  LeaveCriticalSection(&c.configLock);
  while (c.watcher.load() != nullptr) {
    if (!Await(c.requestFd)) break;
    if (c.fatal.load(std::memory_order_acquire)) RunFatalReport(c);
    RunDumpTool(c);
    Signal(c.doneFd);
  }
  return 0;
}

}  // namespace

namespace platform {

DWORD StartCrashDumps(const std::wstring& toolPath, const std::wstring& logDirectory, const std::wstring& serviceName) {
  CrashSupport& c = Crash();
  CriticalSectionLock guard(c.configLock);
  c.toolPath = toolPath;
  c.logDirectory = logDirectory;
  c.serviceName = serviceName;
  // The dump tool attaches a debugger to this process, which is its ancestor;
  // Yama's default scope refuses that unless the process allows it.
  ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
  if (c.watcher.load() == nullptr) {
    HANDLE thread = CreateThread(nullptr, 0, Watcher, &c, 0, nullptr);
    if (thread == nullptr) return GetLastError();
    c.watcher.store(thread);
  }
  return ERROR_SUCCESS;
}

void SetFatalReport(FatalReport report) { Crash().fatalReport.store(report); }

void EndProcessAfterFault(EXCEPTION_POINTERS* pointers) {
  CrashSupport& c = Crash();
  if (c.watcher.load() == nullptr || c.requestFd < 0 || c.doneFd < 0) ExitWithCode(pointers);
  if (!TakeOwner(c, GetCurrentThreadId(), kFatalReportTimeoutMs)) ExitWithCode(pointers);
  c.pointers.store(pointers, std::memory_order_release);
  c.threadId.store(GetCurrentThreadId(), std::memory_order_release);
  c.fatal.store(true, std::memory_order_release);
  Signal(c.requestFd);
  // The watcher exits the process; this wait only bounds a report that blocks.
  struct pollfd done{c.doneFd, POLLIN, 0};
  while (::poll(&done, 1, kFatalReportTimeoutMs) < 0 && errno == EINTR) {
  }
  ExitWithCode(pointers);
}

void RequestDump(EXCEPTION_POINTERS* pointers, const wchar_t* reason) {
  CrashSupport& c = Crash();
  // Without a watcher nobody would ever answer.
  if (c.watcher.load() == nullptr || c.requestFd < 0 || c.doneFd < 0) return;
  const DWORD self = GetCurrentThreadId();
  DWORD expected = 0;
  while (!c.owner.compare_exchange_weak(expected, self, std::memory_order_acquire)) {
    if (expected == self) return;  // never waits for itself
    expected = 0;
    ::sched_yield();
  }
  c.pointers.store(pointers, std::memory_order_release);
  c.reason.store(reason, std::memory_order_release);
  c.threadId.store(self, std::memory_order_release);
  Signal(c.requestFd);
  Await(c.doneFd);
  c.pointers.store(nullptr, std::memory_order_relaxed);
  c.reason.store(nullptr, std::memory_order_relaxed);
  c.threadId.store(0, std::memory_order_relaxed);
  c.owner.store(0, std::memory_order_release);
}

std::wstring DumpToolCommandLine(const std::wstring& toolPath, DWORD processId, DWORD threadId, const void* pointers,
                                 const std::wstring& logDirectory, const std::wstring& serviceName,
                                 const std::wstring& time, const std::wstring& code) {
  const std::wstring pid = FormatW(L"%X", processId);
  const std::wstring tid = FormatW(L"%X", threadId);
  const std::wstring address = FormatW(L"%p", pointers);
  const DWORD_PTR args[] = {
      reinterpret_cast<DWORD_PTR>(toolPath.c_str()),     reinterpret_cast<DWORD_PTR>(pid.c_str()),
      reinterpret_cast<DWORD_PTR>(tid.c_str()),          reinterpret_cast<DWORD_PTR>(address.c_str()),
      reinterpret_cast<DWORD_PTR>(logDirectory.c_str()), reinterpret_cast<DWORD_PTR>(serviceName.c_str()),
      reinterpret_cast<DWORD_PTR>(time.c_str()),         reinterpret_cast<DWORD_PTR>(code.c_str()),
  };
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      L"\"%1\" -p %2 -t %3 -e 0x%4 -f \"%5\\%6%7%8.dmp\"", 0, LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0,
      reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  if (length == 0 || buffer == nullptr) return {};
  std::wstring result(buffer, length);
  LocalFree(buffer);
  return result;
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  while (true) {
    while (i < n && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
    if (i >= n) break;
    std::wstring argument;
    bool quoted = false;
    while (i < n && (quoted || (commandLine[i] != L' ' && commandLine[i] != L'\t'))) {
      std::size_t slashes = 0;
      while (i < n && commandLine[i] == L'\\') {
        ++slashes;
        ++i;
      }
      if (i < n && commandLine[i] == L'"') {
        // 2n backslashes and a quote: n backslashes and a toggle; 2n+1: n and
        // a literal quote.
        argument.append(slashes / 2, L'\\');
        if (slashes % 2 == 1) {
          argument += L'"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(slashes, L'\\');
        if (i < n && (quoted || (commandLine[i] != L' ' && commandLine[i] != L'\t'))) argument += commandLine[i++];
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

DWORD RunCommandLineAndWait(const std::wstring& commandLine, bool& ok) {
  ok = false;
  std::vector<std::wstring> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) return ERROR_INVALID_PARAMETER;
  std::wstring program = arguments[0];
  for (wchar_t& ch : program) {
    if (ch == L'\\') ch = L'/';
  }
  std::string path = Utf8FromWide(program);
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0 && path.size() > 4 && EqualsNoCaseA(path.substr(path.size() - 4), ".exe")) {
    path.resize(path.size() - 4);
  }
  std::vector<std::string> narrow;
  narrow.push_back(path);
  for (std::size_t i = 1; i < arguments.size(); ++i) narrow.push_back(Utf8FromWide(arguments[i]));
  std::vector<char*> argv;
  for (std::string& a : narrow) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return Win32FromErrno(rc);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Win32FromErrno(errno);
  }
  ok = true;
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  return static_cast<DWORD>(128 + WTERMSIG(status));
}

}  // namespace platform
