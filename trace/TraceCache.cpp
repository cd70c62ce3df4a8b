// TraceCache.cpp - the process-wide message module and text cache of the
// trace log.
#include "trace/TraceCache.h"

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
