// crash.h - structured exceptions, fault recovery and crash dumps.
//
// Fatal signals are the Linux form of the structured exceptions a service
// thread can raise. A thread that installs a translator (_set_se_translator)
// gets the process's fault handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT, running on a per-thread alternate stack. The handler fills an
// EXCEPTION_RECORD and CONTEXT (with the frame-pointer chain captured while the
// faulting stack is still intact), calls the process's dump hook, and then:
//   - for a synchronous fault (raised by the kernel for the faulting
//     instruction, not SIGABRT) inside CallWithFaultRecovery, jumps back to
//     that recovery point (siglongjmp), where the translator is called on the
//     ordinary stack and may throw; the frames in between are abandoned
//     without running their destructors, so what they owned is leaked and a
//     lock they held stays held;
//   - otherwise, calls the process's fatal hook (which reports and ends the
//     process), or when none is set, dies by the signal.
// A thread without a translator dies by the signal at once, as a Windows
// thread without a handler would. A fault while a fault is being handled on
// the same thread ends the process by the signal. Throwing from the signal
// handler itself is never done: it is not reliable on Linux.
//
// Crash dumps: a watcher thread runs the dump tool ("VnMiniDump", beside each
// program) for one request at a time; the faulting thread blocks until the
// tool has finished, so the dump shows it at the fault.
#pragma once

#include "platform/base/types.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005u;
constexpr DWORD EXCEPTION_IN_PAGE_ERROR = 0xC0000006u;
constexpr DWORD EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001Du;
constexpr DWORD EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002u;
constexpr DWORD EXCEPTION_BREAKPOINT = 0x80000003u;
constexpr DWORD EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008Eu;
constexpr DWORD EXCEPTION_FLT_INEXACT_RESULT = 0xC000008Fu;
constexpr DWORD EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090u;
constexpr DWORD EXCEPTION_FLT_OVERFLOW = 0xC0000091u;
constexpr DWORD EXCEPTION_FLT_UNDERFLOW = 0xC0000093u;
constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u;
constexpr DWORD EXCEPTION_INT_OVERFLOW = 0xC0000095u;
constexpr DWORD EXCEPTION_PRIV_INSTRUCTION = 0xC0000096u;
// abort() on Windows ends in a fail-fast with this code.
constexpr DWORD STATUS_STACK_BUFFER_OVERRUN = 0xC0000409u;

constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;

struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  void* ExceptionAddress;
  DWORD NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

constexpr DWORD kMaxCapturedFrames = 10;

// The registers a fault report needs, plus (our own addition) the frame-pointer
// chain read at the fault: FrameChain[i] = {frame address, return address
// stored after it}. The walk starts at the faulting frame pointer and stops at
// a null frame, at a frame not above the previous one, at a frame outside the
// thread's stack, or after kMaxCapturedFrames frames.
struct CONTEXT {
  DWORD64 Rip;
  DWORD64 Rsp;
  DWORD64 Rbp;
  DWORD FrameCount;
  DWORD64 FrameChain[kMaxCapturedFrames][2];
};

struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  CONTEXT* ContextRecord;
};

// Called at the recovery point with the fault; may throw.
using _se_translator_function = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);
// Per thread; returns the previous translator. Installing one (not null)
// installs the process's fault handler and this thread's alternate stack.
_se_translator_function _set_se_translator(_se_translator_function translator);

using _invalid_parameter_handler = void (*)(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                            unsigned int line, std::uintptr_t reserved);
// Process-wide; returns the previous handler.
_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler);
_invalid_parameter_handler _get_invalid_parameter_handler();
// What a runtime function calls on a bad argument: runs the handler (which may
// throw); without one, the process ends with STATUS_INVALID_CRUNTIME_PARAMETER.
void _invalid_parameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                        std::uintptr_t reserved);
constexpr DWORD STATUS_INVALID_CRUNTIME_PARAMETER = 0xC0000417u;

// The checked copy of the runtime: a null pointer, a size of 0 or a source
// that does not fit are invalid parameters (the handler runs; when it returns,
// the answer is EINVAL or ERANGE and dest, when usable, holds "").
int wcscpy_s(wchar_t* dest, std::size_t size, const wchar_t* source);

// The base of the exceptions thrown by pointer (the MFC shape): the catcher
// calls Delete when done.
class CException {
 public:
  virtual ~CException() = default;
  // Copies the description (cut to maximum - 1 characters) and answers TRUE;
  // FALSE with no buffer or a maximum of 0.
  virtual BOOL GetErrorMessage(wchar_t* buffer, UINT maximum, UINT* helpContext = nullptr) const = 0;
  void Delete() { delete this; }
};

namespace platform {

// Runs fn(context) as a recovery point for synchronous faults of this thread
// (see the top of this file). Returns when fn returns; what fn or the
// translator throws leaves this function. When the translator returns
// without throwing, the fault is fatal.
void CallWithFaultRecovery(void (*fn)(void* context), void* context);

// Process-wide hooks of the fault handler, both called on the faulting thread
// in the signal handler (alternate stack). The dump hook runs first for every
// fault of a thread with a translator; the fatal hook runs for faults that
// cannot be recovered and must end the process.
// A fault inside a recovery point is resumed only when the thread holds no
// more platform locks than when the point was set; otherwise it is fatal.
using FaultHook = void (*)(EXCEPTION_POINTERS* pointers);
void SetFaultDumpHook(FaultHook hook);
void SetFatalFaultHook(FaultHook hook);

// The fatal report: run on the watcher thread, an ordinary thread that may
// allocate and write the event log, while the faulting thread waits. Set once
// at start.
using FatalReport = void (*)(const EXCEPTION_RECORD& record, const CONTEXT& context);
void SetFatalReport(FatalReport report);
// Ends the process for a fault that cannot be recovered: the watcher runs the
// fatal report, then the process exits with the exception code (_exit, so no
// destructor or atexit handler runs on a broken process). Safe in a signal
// handler: the faulting side uses only eventfds, atomics, poll and _exit. It
// waits at most kFatalReportTimeoutMs for the report (which may block on a
// lock the faulting thread holds) and exits at once without a watcher.
constexpr int kFatalReportTimeoutMs = 20000;
[[noreturn]] void EndProcessAfterFault(EXCEPTION_POINTERS* pointers);

// The exception code of a signal (0 for signals that are not faults).
DWORD ExceptionCodeFromSignal(int signal, int code);

// --- the dump tool ---

// Configures the dump requests and starts the watcher thread when none runs
// yet. toolPath and logDirectory may use "\" separators. 0 or a Win32 code.
DWORD StartCrashDumps(const std::wstring& toolPath, const std::wstring& logDirectory, const std::wstring& serviceName);
// Has the watcher run the dump tool for the calling thread, with the fault (or
// none: then reason names the dump, "InvalidParameter" when null), and waits
// until it has finished. Requests of several threads are served one at a time.
// Without a watcher it returns at once.
void RequestDump(EXCEPTION_POINTERS* pointers, const wchar_t* reason);

// The dump tool's command line:
// "%1" -p %2 -t %3 -e 0x%4 -f "%5\%6%7%8.dmp"
// with the tool path, process id and thread id ("%X"), exception-pointers
// address ("%p"), log directory, service name, local time "%Y%m%d%H%M%S"
// and code. Empty when it cannot be formatted.
std::wstring DumpToolCommandLine(const std::wstring& toolPath, DWORD processId, DWORD threadId, const void* pointers,
                                 const std::wstring& logDirectory, const std::wstring& serviceName,
                                 const std::wstring& time, const std::wstring& code);

// Splits a Windows command line into arguments (quotes and backslashes as the
// Windows runtime does).
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// Starts a program from a Windows command line and waits until it has ended
// (the CreateProcessW + wait of the dump request). The program path's "\"
// become "/"; a path ending in ".exe" that does not exist is tried without
// it. The program's exit code, or (when it could not start) a Win32 code
// with ok false.
DWORD RunCommandLineAndWait(const std::wstring& commandLine, bool& ok);

}  // namespace platform
