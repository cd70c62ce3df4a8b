// The FormatMessage insert rules, as the Windows documentation of
// FormatMessage describes them (FORMAT_MESSAGE_ARGUMENT_ARRAY form).
#include "platform/base/format.h"

#include "platform/base/errors.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
DWORD_PTR S(const wchar_t* s) { return reinterpret_cast<DWORD_PTR>(s); }
DWORD_PTR A(const char* s) { return reinterpret_cast<DWORD_PTR>(s); }

std::wstring Expand(std::wstring_view text, std::initializer_list<DWORD_PTR> args, bool ignore = false) {
  std::wstring out;
  DWORD rc = ExpandMessageInserts(text, args.size() ? args.begin() : nullptr, args.size(), ignore, out);
  EXPECT_EQ(rc, ERROR_SUCCESS) << std::wstring(text).c_str();
  return out;
}
}  // namespace

struct InsertCase {
  const wchar_t* text;
  const wchar_t* expected;
};

TEST(MessageInserts, Table) {
  const DWORD_PTR args[] = {S(L"Bill"), S(L"Bob"), 42, 0xBEEF, A("narrow"), static_cast<DWORD_PTR>(-5)};
  const InsertCase cases[] = {
      {L"%1 %2 %1", L"Bill Bob Bill"},
      {L"%1!s!", L"Bill"},
      {L"%3!d! items", L"42 items"},
      {L"%4!08X!", L"0000BEEF"},
      {L"%4!x!", L"beef"},
      {L"%5!hs!", L"narrow"},
      {L"%5!S!", L"narrow"},
      {L"%6!d!", L"-5"},
      {L"%6!u!", L"4294967291"},
      {L"[%1!-6s!]", L"[Bill  ]"},
      {L"[%1!6s!]", L"[  Bill]"},
      {L"line1%nline2", L"line1\r\nline2"},
      {L"a%rb%tc", L"a\rb\tc"},
      {L"100%% done%.", L"100% done."},
      {L"Hey%! %1", L"Hey! Bill"},
      {L"a% b", L"a b"},
      {L"stop here%0 ignored", L"stop here"},
      {L"text with\r\nbreak\r\n", L"text with\r\nbreak\r\n"},
      {L"no inserts", L"no inserts"},
      {L"%1%2", L"BillBob"},
      {L"trailing %", L"trailing %"},
  };
  for (const auto& c : cases) {
    std::wstring out;
    ASSERT_EQ(ExpandMessageInserts(c.text, args, std::size(args), false, out), ERROR_SUCCESS) << c.text;
    EXPECT_EQ(out, c.expected) << c.text;
  }
}

TEST(MessageInserts, TwoDigitsAndBeyond) {
  DWORD_PTR args[12];
  const wchar_t* names[] = {L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h", L"i", L"j", L"k", L"l"};
  for (int k = 0; k < 12; ++k) args[k] = S(names[k]);
  std::wstring out;
  ASSERT_EQ(ExpandMessageInserts(L"%10 %11 %12", args, 12, false, out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"j k l");
  // At most two digits: %123 is %12 followed by "3".
  ASSERT_EQ(ExpandMessageInserts(L"%123", args, 12, false, out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"l3");
}

TEST(MessageInserts, WidthFromArguments) {
  // "%1!*.*s! %4 %5!*s!": width and precision take the following slots.
  const DWORD_PTR args[] = {6, 2, S(L"Bill"), S(L"Bob"), 5, S(L"Joe")};
  std::wstring out;
  ASSERT_EQ(ExpandMessageInserts(L"[%1!*.*s!] %4 [%5!*s!]", args, std::size(args), false, out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"[    Bi] Bob [  Joe]");
}

TEST(MessageInserts, Bounds) {
  const DWORD_PTR args[] = {S(L"one")};
  std::wstring out = L"old";
  EXPECT_EQ(ExpandMessageInserts(L"%1 %2", args, 1, false, out), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(out.empty());
  out = L"old";
  EXPECT_EQ(ExpandMessageInserts(L"%1", nullptr, 0, false, out), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(out.empty());
  // A '*' that would read past argCount.
  const DWORD_PTR w[] = {5};
  EXPECT_EQ(ExpandMessageInserts(L"%1!*s!", w, 1, false, out), ERROR_INVALID_PARAMETER);
  // Unterminated !fmt!.
  EXPECT_EQ(ExpandMessageInserts(L"%1!d", args, 1, false, out), ERROR_INVALID_PARAMETER);
  // No inserts used: no arguments needed.
  EXPECT_EQ(ExpandMessageInserts(L"plain%n", nullptr, 0, false, out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"plain\r\n");
}

TEST(MessageInserts, IgnoreInserts) {
  EXPECT_EQ(Expand(L"%1 and %2!d!%n%%", {}, true), L"%1 and %2!d!\r\n%");
  std::wstring out;
  EXPECT_EQ(ExpandMessageInserts(L"%99", nullptr, 0, true, out), ERROR_SUCCESS);
  EXPECT_EQ(out, L"%99");
}

TEST(MessageInserts, SystemTextInserts) {
  // The ERROR_MR_MID_NOT_FOUND text carries inserts.
  std::wstring text = SystemMessageText(ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(Expand(text, {S(L"1F"), S(L"System")}),
            L"The system cannot find message text for message number 0x1F in the message file for System.\r\n");
}
