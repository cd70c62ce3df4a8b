// taskweave_messages_test.cpp - the service's message modules hold every id it and its providers write, with their inserts.
#include "LibService/Status.h"
#include "platform/messages/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Event ids with the insertion strings their writers give: the worker's
// lookup failure (HRESULT, its text, key string), the provider failure
// (registered name), and provider events reported through ReportEvent
// (their own strings, then path, id1, id2, id0 for an item).
TEST(TaskweaveMessages, EventTextsTakeTheirCallersInserts) {
  const struct {
    DWORD id;
    int inserts;
  } cases[] = {
      {0x8000012C, 3}, {0xC00001F4, 1}, {0xC00007D0, 7}, {0xC00007D1, 6},
      {0xC000EA60, 3}, {0xC000EA68, 3}, {0xC000EA6A, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(GetInsertCount(c.id), c.inserts) << std::hex << c.id;
}

// The stored text of a trace id, without its line end.
std::wstring RawText(HMODULE module, DWORD id) {
  wchar_t buffer[512];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id, 0, buffer,
                                 512, nullptr);
  std::wstring text(buffer, n);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

// Each trace line's text declares the arguments its writer passes.
TEST(TaskweaveMessages, TraceTextsDeclareTheirArguments) {
  HMODULE module = LoadLibraryExW(L"TrcTaskweave", nullptr, 0);
  ASSERT_NE(module, nullptr);
  const struct {
    DWORD id;
    const wchar_t* expected;
  } cases[] = {
      {0x000100C8, L"Operation %s1 on %s2 (any version)"},
      {0x000100C9, L"Operation %s1 on %s2 (version %u3)"},
      {0x000100CA, L"Operation %s1 on %s2 (version %u3.%u4)"},
      {0x000100CB, L"Operation %s1 on %s2 (version %u3.%u4, file %u5)"},
      {0x000100CC, L"Operation %s1 on %s2 had nothing to do; pin released"},
      {0x0001012C, L"%s1"},
      {0x4001012C, L"%s1"},
      {0x8001012C, L"%s1"},
      {0xC001012C, L"%s1"},
  };
  for (const auto& c : cases) EXPECT_EQ(RawText(module, c.id), c.expected) << std::hex << c.id;
  FreeLibrary(module);
}

}  // namespace
