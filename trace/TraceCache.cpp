// TraceCache.cpp - the process-wide message module, the text cache and the
// argument lists by id of the trace log.
#include "trace/TraceCache.h"

#include <mutex>

namespace trace_cache {

State& Get() {
  static State* state = new State;  // outlives every logger, the static one too
  return *state;
}

std::wstring TextLocked(State& state, DWORD messageId) {
  auto cached = state.texts.find(messageId);
  if (cached != state.texts.end()) return cached->second;
  if (state.module == nullptr) return L"";
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, state.module,
      messageId, LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return L"";
  std::wstring result(text, n);
  LocalFree(text);
  state.texts.emplace(messageId, result);
  return result;
}

}  // namespace trace_cache

// --- argument lists by id ---

namespace {

const CTraceLine::CArgs& SharedEmptyArgs() {
  static const auto* empty = new CTraceLine::CArgs(0xFFFFFFFF);
  return *empty;
}

// Each thread's look-aside of the argument lists it used last, so a line
// does not take the cache's lock: lists are never evicted or moved, and only
// lists found (never the shared empty one) are kept here.
struct ArgsSlot {
  DWORD messageId;
  const CTraceLine::CArgs* args;
};
thread_local ArgsSlot t_argsSlots[64];

}  // namespace

const CTraceLine::CArgs& CTraceLine::GetArgs(DWORD messageId) {
  ArgsSlot& slot = t_argsSlots[(messageId ^ (messageId >> 6) ^ (messageId >> 16)) & 63];
  if (slot.args != nullptr && slot.messageId == messageId) return *slot.args;
  trace_cache::State& state = trace_cache::Get();
  std::lock_guard<std::mutex> guard(state.lock);
  auto cached = state.args.find(messageId);
  if (cached == state.args.end()) {
    const std::wstring text = trace_cache::TextLocked(state, messageId);
    if (text.empty()) return SharedEmptyArgs();
    std::wstring templateText;
    CArgs parsed = CArgs::Parse(messageId, text, templateText);
    state.templates[messageId] = std::move(templateText);
    cached = state.args.emplace(messageId, std::move(parsed)).first;
  }
  slot = {messageId, &cached->second};
  return cached->second;
}

