// Expected texts follow the MSVC printf documentation (format spec
// syntax, size prefixes, %p as 16 upper-case hex digits on x64).
#include "platform/base/format.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace platform;

TEST(FormatW, StringsAndChars) {
  EXPECT_EQ(FormatW(L"[%s]", L"wide"), L"[wide]");
  EXPECT_EQ(FormatW(L"[%ls]", L"wide"), L"[wide]");
  EXPECT_EQ(FormatW(L"[%ws]", L"wide"), L"[wide]");
  EXPECT_EQ(FormatW(L"[%hs]", "narrow"), L"[narrow]");
  EXPECT_EQ(FormatW(L"[%S]", "narrow"), L"[narrow]");
  EXPECT_EQ(FormatW(L"[%hs]", "\xC3\xA4"), L"[\u00E4]");  // narrow text is UTF-8
  EXPECT_EQ(FormatW(L"[%s]", L"\u00E4\U0001F600"), L"[\u00E4\U0001F600]");
  EXPECT_EQ(FormatW(L"[%10s]", L"abc"), L"[       abc]");
  EXPECT_EQ(FormatW(L"[%-10s]", L"abc"), L"[abc       ]");
  EXPECT_EQ(FormatW(L"[%.2s]", L"abc"), L"[ab]");
  EXPECT_EQ(FormatW(L"[%*.*s]", 5, 2, L"abc"), L"[   ab]");
  EXPECT_EQ(FormatW(L"[%-*s]", 4, L"a"), L"[a   ]");
  EXPECT_EQ(FormatW(L"[%*s]", -4, L"a"), L"[a   ]");  // negative width: left-justify
  EXPECT_EQ(FormatW(L"[%.*hs]", 3, "abcdef"), L"[abc]");
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(FormatW(L"[%.*hs]", 3, unterminated), L"[xyz]");
  EXPECT_EQ(FormatW(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[(null)]");
  EXPECT_EQ(FormatW(L"[%hs]", static_cast<const char*>(nullptr)), L"[(null)]");
  EXPECT_EQ(FormatW(L"[%c%c]", L'A', L'\u00E4'), L"[A\u00E4]");
  EXPECT_EQ(FormatW(L"[%C]", 'n'), L"[n]");
  EXPECT_EQ(FormatW(L"[%hc]", 'n'), L"[n]");
  EXPECT_EQ(FormatW(L"[%lc]", L'w'), L"[w]");
  EXPECT_EQ(FormatW(L"[%3c]", L'x'), L"[  x]");
  EXPECT_EQ(FormatW(L"100%%"), L"100%");
}

TEST(FormatW, Integers) {
  EXPECT_EQ(FormatW(L"%d %i %u", -5, 42, 4000000000u), L"-5 42 4000000000");
  EXPECT_EQ(FormatW(L"%x %X %o", 255, 255, 8), L"ff FF 10");
  EXPECT_EQ(FormatW(L"%lu %ld %lx", static_cast<DWORD>(4294967295u), static_cast<LONG>(-1), static_cast<DWORD>(0xBEEF)),
            L"4294967295 -1 beef");
  EXPECT_EQ(FormatW(L"%I64d", static_cast<std::int64_t>(-9223372036854775807LL - 1)), L"-9223372036854775808");
  EXPECT_EQ(FormatW(L"%I64u", static_cast<std::uint64_t>(18446744073709551615ULL)), L"18446744073709551615");
  EXPECT_EQ(FormatW(L"%I64X %I64x", static_cast<std::uint64_t>(0x123456789ABCDEFULL),
                    static_cast<std::uint64_t>(0xABCULL)),
            L"123456789ABCDEF abc");
  EXPECT_EQ(FormatW(L"%I32d %I32X", -7, 0xCAFEu), L"-7 CAFE");
  EXPECT_EQ(FormatW(L"%lld %llu", -1LL, 1ULL << 40), L"-1 1099511627776");
  EXPECT_EQ(FormatW(L"%Iu %zu", static_cast<std::size_t>(1) << 33, static_cast<std::size_t>(7)), L"8589934592 7");
  EXPECT_EQ(FormatW(L"%hd %hu %hx", 70000, 70000, 0x12345), L"4464 4464 2345");
  EXPECT_EQ(FormatW(L"%hhd %hhu", 255, 257), L"-1 1");
  EXPECT_EQ(FormatW(L"%08X", 0xABCu), L"00000ABC");
  EXPECT_EQ(FormatW(L"%8.8X", 0x1234u), L"00001234");
  EXPECT_EQ(FormatW(L"%.4X", 0xAu), L"000A");
  EXPECT_EQ(FormatW(L"[%8.4X]", 0xAu), L"[    000A]");
  EXPECT_EQ(FormatW(L"[%08.4X]", 0xAu), L"[    000A]");  // precision: 0 flag ignored
  EXPECT_EQ(FormatW(L"[%-6d]", 42), L"[42    ]");
  EXPECT_EQ(FormatW(L"[%-06d]", 42), L"[42    ]");
  EXPECT_EQ(FormatW(L"[%+d] [%+d] [% d] [%+ d]", 5, -5, 5, 5), L"[+5] [-5] [ 5] [+5]");
  EXPECT_EQ(FormatW(L"[%+u]", 5u), L"[5]");
  EXPECT_EQ(FormatW(L"[%06d]", -42), L"[-00042]");
  EXPECT_EQ(FormatW(L"[%#x] [%#X] [%#o] [%#x]", 255, 255, 8, 0), L"[0xff] [0XFF] [010] [0]");
  EXPECT_EQ(FormatW(L"[%#010x]", 255), L"[0x000000ff]");
  EXPECT_EQ(FormatW(L"[%.0d]", 0), L"[]");
  EXPECT_EQ(FormatW(L"[%5.0d]", 0), L"[     ]");
  EXPECT_EQ(FormatW(L"[%*d]", 5, 42), L"[   42]");
  EXPECT_EQ(FormatW(L"[%.*d]", 4, 42), L"[0042]");
  EXPECT_EQ(FormatW(L"[%d]", INT32_MIN), L"[-2147483648]");
}

TEST(FormatW, Pointers) {
  EXPECT_EQ(FormatW(L"%p", reinterpret_cast<void*>(0x12FF7C)), L"000000000012FF7C");
  EXPECT_EQ(FormatW(L"%p", nullptr), L"0000000000000000");
  EXPECT_EQ(FormatW(L"[%20p]", reinterpret_cast<void*>(0xABCDEF)), L"[    0000000000ABCDEF]");
}

TEST(FormatW, FloatingPoint) {
  EXPECT_EQ(FormatW(L"%f", 3.14159), L"3.141590");
  EXPECT_EQ(FormatW(L"%.2f", 2.675), L"2.67");  // 2.675 is 2.67499999... in binary
  EXPECT_EQ(FormatW(L"%8.3f|%-8.1f|", 3.14159, 2.5), L"   3.142|2.5     |");
  EXPECT_EQ(FormatW(L"%e", 12345.678), L"1.234568e+04");
  EXPECT_EQ(FormatW(L"%E", 0.00012), L"1.200000E-04");
  EXPECT_EQ(FormatW(L"%g %g", 100000.0, 1000000.0), L"100000 1e+06");
  EXPECT_EQ(FormatW(L"%G", 0.000012), L"1.2E-05");
  EXPECT_EQ(FormatW(L"%+.1f %08.2f", 1.25, -3.5), L"+1.2 -0003.50");
  EXPECT_EQ(FormatW(L"%*.*f", 7, 2, 1.0), L"   1.00");
  EXPECT_EQ(FormatW(L"%lf %Lf", 1.5, 2.5), L"1.500000 2.500000");
}

TEST(FormatW, UnknownAndUnfinished) {
  EXPECT_EQ(FormatW(L"a%yb"), L"a%yb");
  EXPECT_EQ(FormatW(L"a%-5yb"), L"a%-5yb");
  EXPECT_EQ(FormatW(L"50%"), L"50%");
  EXPECT_EQ(FormatW(L"x%l"), L"x%l");
  EXPECT_EQ(FormatW(L"%n|%d", 7), L"%n|7");  // %n is disabled, as in the MSVC runtime
  EXPECT_EQ(FormatW(nullptr), L"");
  EXPECT_EQ(FormatW(L""), L"");
}

TEST(FormatW, Mixed) {
  EXPECT_EQ(FormatW(L"Service %s (pid %lu) failed: 0x%08X [%hs]", L"VNService", 1234u, 0x80070005u, "detail"),
            L"Service VNService (pid 1234) failed: 0x80070005 [detail]");
  std::wstring longText(5000, L'x');
  EXPECT_EQ(FormatW(L"%s!", longText.c_str()), longText + L"!");
}

static std::wstring ViaV(const wchar_t* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::wstring s = FormatWV(fmt, ap);
  va_end(ap);
  return s;
}

TEST(FormatW, VaList) { EXPECT_EQ(ViaV(L"%d-%s-%I64u", 1, L"two", 3ULL), L"1-two-3"); }

TEST(FormatA, NarrowDialect) {
  EXPECT_EQ(FormatA("[%s]", "narrow"), "[narrow]");
  EXPECT_EQ(FormatA("[%hs]", "narrow"), "[narrow]");
  EXPECT_EQ(FormatA("[%S]", L"wide\u00E4"), "[wide\xC3\xA4]");
  EXPECT_EQ(FormatA("[%ls]", L"wide"), "[wide]");
  EXPECT_EQ(FormatA("[%ws]", L"wide"), "[wide]");
  EXPECT_EQ(FormatA("[%c%C%lc]", 'a', L'\u00E4', L'b'), "[a\xC3\xA4" "b]");
  EXPECT_EQ(FormatA("[%s]", static_cast<const char*>(nullptr)), "[(null)]");
  EXPECT_EQ(FormatA("[%S]", static_cast<const wchar_t*>(nullptr)), "[(null)]");
  EXPECT_EQ(FormatA("%d %u %I64d %08X %p", -1, 1u, -2LL, 0xFFu, reinterpret_cast<void*>(0x10)),
            "-1 1 -2 000000FF 0000000000000010");
  EXPECT_EQ(FormatA("%.3f %g", 1.0005, 0.5), "1.000 0.5");  // 1.0005 is below the tie in binary
  EXPECT_EQ(FormatA("%5s|%-5s|", "ab", "cd"), "   ab|cd   |");
  // Precision on a wide source counts output bytes and never splits a character.
  EXPECT_EQ(FormatA("[%.2S]", L"\u00E4\u00F6"), "[\xC3\xA4]");
  EXPECT_EQ(FormatA("[%.3S]", L"\u00E4\u00F6"), "[\xC3\xA4]");
  EXPECT_EQ(FormatA("100%%"), "100%");
}
