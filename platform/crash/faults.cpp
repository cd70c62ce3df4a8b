// faults.cpp - the fault handler: signals to structured exceptions.
//
// Per-thread state (FaultState) holds the translator, the innermost recovery
// point, the alternate signal stack and the record of the fault being handled;
// only its own thread touches it. The two process-wide hooks and the
// invalid-parameter handler are atomics, set at start-up.
#include "platform/crash/crash.h"

#include "platform/sync/sync.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

struct FaultState {
  _se_translator_function translator = nullptr;
  sigjmp_buf* recovery = nullptr;
  int recoveryLocks = 0;  // platform locks this thread held when recovery was set
  void* altStack = nullptr;
  std::uintptr_t stackLow = 0;
  std::uintptr_t stackHigh = 0;
  volatile sig_atomic_t handling = 0;
  int signal = 0;
  EXCEPTION_RECORD record{};
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{};

  ~FaultState() {
    if (altStack != nullptr) {
      stack_t disable{};
      disable.ss_flags = SS_DISABLE;
      ::sigaltstack(&disable, nullptr);
      std::free(altStack);
    }
  }
};

thread_local FaultState t_state;

std::atomic<platform::FaultHook> g_dumpHook{nullptr};
std::atomic<platform::FaultHook> g_fatalHook{nullptr};
std::atomic<_invalid_parameter_handler> g_invalidParameterHandler{nullptr};
std::once_flag g_handlersInstalled;

// Ends the process by the signal itself (with a core when the system makes
// one): the default action, with the signal unblocked.
[[noreturn]] void DieBySignal(int sig) {
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

void FillRecord(FaultState& st, int sig, siginfo_t* info, void* uc) {
  st.signal = sig;
  EXCEPTION_RECORD& r = st.record;
  std::memset(&r, 0, sizeof r);
  std::memset(&st.context, 0, sizeof st.context);
  r.ExceptionCode = platform::ExceptionCodeFromSignal(sig, info != nullptr ? info->si_code : 0);
#if defined(__x86_64__)
  const auto* mc = &static_cast<ucontext_t*>(uc)->uc_mcontext;
  st.context.Rip = static_cast<DWORD64>(mc->gregs[REG_RIP]);
  st.context.Rsp = static_cast<DWORD64>(mc->gregs[REG_RSP]);
  st.context.Rbp = static_cast<DWORD64>(mc->gregs[REG_RBP]);
  const bool write = (mc->gregs[REG_ERR] & 2) != 0;
#else
  (void)uc;
  const bool write = false;
#endif
  r.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(st.context.Rip));
  if (sig == SIGSEGV || sig == SIGBUS) {
    // Read (0) or write (1), then the inaccessible address.
    r.NumberParameters = 2;
    r.ExceptionInformation[0] = write ? 1 : 0;
    r.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info != nullptr ? info->si_addr : nullptr);
    if (sig == SIGBUS) {
      r.NumberParameters = 3;
      r.ExceptionInformation[2] = static_cast<ULONG_PTR>(info != nullptr ? info->si_code : 0);
    }
  }
  // The frame chain is read here, while the faulting stack is intact; only
  // frames inside this thread's stack are read, so the walk cannot fault.
  std::uintptr_t frame = static_cast<std::uintptr_t>(st.context.Rbp);
  std::uintptr_t previous = 0;
  while (st.context.FrameCount < kMaxCapturedFrames && frame != 0 && frame > previous) {
    if (frame < st.stackLow || frame + 2 * sizeof(void*) > st.stackHigh || frame % sizeof(void*) != 0) break;
    const auto* slot = reinterpret_cast<const std::uintptr_t*>(frame);
    st.context.FrameChain[st.context.FrameCount][0] = frame;
    st.context.FrameChain[st.context.FrameCount][1] = slot[1];
    ++st.context.FrameCount;
    previous = frame;
    frame = slot[0];
  }
  st.pointers.ExceptionRecord = &st.record;
  st.pointers.ContextRecord = &st.context;
}

void FaultHandler(int sig, siginfo_t* info, void* uc) {
  FaultState& st = t_state;
  if (st.translator == nullptr || st.handling) DieBySignal(sig);
  st.handling = 1;
  FillRecord(st, sig, info, uc);
  if (platform::FaultHook dump = g_dumpHook.load()) dump(&st.pointers);
  // Only a fault of the instruction itself can be resumed elsewhere; an abort
  // or a signal sent by someone may have come with any lock held. A lock
  // taken by the frames that the jump would abandon stays held for good and
  // every later caller of it blocks: such a fault ends the process instead.
  const bool synchronous = sig != SIGABRT && info != nullptr && info->si_code > 0;
  const bool locksAbandoned = platform::HeldLockCount() > st.recoveryLocks;
  if (synchronous && st.recovery != nullptr && !locksAbandoned) siglongjmp(*st.recovery, 1);
  if (platform::FaultHook fatal = g_fatalHook.load()) fatal(&st.pointers);
  DieBySignal(sig);
}

void InstallHandlers() {
  for (int sig : kFaultSignals) {
    struct sigaction action{};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
  }
}

void PrepareThread(FaultState& st) {
  if (st.altStack == nullptr) {
    const std::size_t size = 64 * 1024;
    st.altStack = std::malloc(size);
    if (st.altStack != nullptr) {
      stack_t stack{};
      stack.ss_sp = st.altStack;
      stack.ss_size = size;
      ::sigaltstack(&stack, nullptr);
    }
  }
  if (st.stackHigh == 0) {
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
      void* base = nullptr;
      std::size_t size = 0;
      if (::pthread_attr_getstack(&attr, &base, &size) == 0) {
        st.stackLow = reinterpret_cast<std::uintptr_t>(base);
        st.stackHigh = st.stackLow + size;
      }
      ::pthread_attr_destroy(&attr);
    }
  }
}

}  // namespace

_se_translator_function _set_se_translator(_se_translator_function translator) {
  FaultState& st = t_state;
  const _se_translator_function previous = st.translator;
  if (translator != nullptr) {
    PrepareThread(st);
    std::call_once(g_handlersInstalled, InstallHandlers);
  }
  st.translator = translator;
  return previous;
}

_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler) {
  return g_invalidParameterHandler.exchange(handler);
}

_invalid_parameter_handler _get_invalid_parameter_handler() { return g_invalidParameterHandler.load(); }

void _invalid_parameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned int line,
                        std::uintptr_t reserved) {
  if (_invalid_parameter_handler handler = g_invalidParameterHandler.load()) {
    handler(expression, function, file, line, reserved);
    return;
  }
  std::_Exit(static_cast<int>(STATUS_INVALID_CRUNTIME_PARAMETER));
}

int wcscpy_s(wchar_t* dest, std::size_t size, const wchar_t* source) {
  if (dest == nullptr || size == 0) {
    _invalid_parameter(nullptr, nullptr, nullptr, 0, 0);
    return EINVAL;
  }
  if (source == nullptr) {
    dest[0] = 0;
    _invalid_parameter(nullptr, nullptr, nullptr, 0, 0);
    return EINVAL;
  }
  const std::size_t length = std::wcslen(source);
  if (length >= size) {
    dest[0] = 0;
    _invalid_parameter(nullptr, nullptr, nullptr, 0, 0);
    return ERANGE;
  }
  std::wmemcpy(dest, source, length + 1);
  return 0;
}

namespace platform {

DWORD ExceptionCodeFromSignal(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
      return EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      return code == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT : EXCEPTION_IN_PAGE_ERROR;
    case SIGILL:
      return code == ILL_PRVOPC || code == ILL_PRVREG ? EXCEPTION_PRIV_INSTRUCTION : EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
          return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
          return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
          return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
          return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
          return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
          return EXCEPTION_FLT_INEXACT_RESULT;
        default:
          return EXCEPTION_FLT_INVALID_OPERATION;
      }
    case SIGABRT:
      return STATUS_STACK_BUFFER_OVERRUN;
    case SIGTRAP:
      return EXCEPTION_BREAKPOINT;
    default:
      return 0;
  }
}

void SetFaultDumpHook(FaultHook hook) { g_dumpHook.store(hook); }
void SetFatalFaultHook(FaultHook hook) { g_fatalHook.store(hook); }

void CallWithFaultRecovery(void (*fn)(void* context), void* context) {
  FaultState& st = t_state;
  sigjmp_buf point;
  sigjmp_buf* const previous = st.recovery;
  const int previousLocks = st.recoveryLocks;
  if (sigsetjmp(point, 1) == 0) {
    st.recoveryLocks = HeldLockCount();
    st.recovery = &point;
    try {
      fn(context);
    } catch (...) {
      st.recovery = previous;
      st.recoveryLocks = previousLocks;
      throw;
    }
    st.recovery = previous;
    st.recoveryLocks = previousLocks;
    return;
  }
  st.recoveryLocks = previousLocks;
  // Back from the fault handler: the record stays in st until the next fault
  // of this thread, which cannot come before the translator has copied what it
  // needs (a fault inside the translator lands in an inner recovery point).
  st.recovery = previous;
  st.handling = 0;
  if (st.translator != nullptr) st.translator(st.record.ExceptionCode, &st.pointers);
  // The translator did not throw: nothing handles the fault.
  if (FaultHook fatal = g_fatalHook.load()) fatal(&st.pointers);
  DieBySignal(st.signal);
}

}  // namespace platform
