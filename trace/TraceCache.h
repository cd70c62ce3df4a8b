// TraceCache.h - the process-wide message module and caches of the trace log.
//
// Texts, parsed argument lists and templates are built once per id and kept
// for the life of the process (never evicted, not cleared when the module
// changes). The state is created on first use and never destroyed, so the
// static service logger may use it while the process exits. `lock` guards
// every field; it is taken after a logger's lock, never before.
#pragma once

#include "platform/messages/messages.h"

#include "trace/TraceLine.h"

#include <map>
#include <mutex>
#include <string>

namespace trace_cache {

struct State {
  std::mutex lock;
  std::map<DWORD, std::wstring> texts;
  std::map<DWORD, CTraceLine::CArgs> args;
  std::map<DWORD, std::wstring> templates;
  HMODULE module = nullptr;
};

State& Get();

// The raw text of an id, cached once found; "" when there is none. Call with
// the lock held.
std::wstring TextLocked(State& state, DWORD messageId);

}  // namespace trace_cache
