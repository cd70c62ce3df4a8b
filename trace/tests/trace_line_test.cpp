// trace_line_test.cpp - parsing message texts, encoding arguments, rendering
// them back to text, and reads of damaged argument bytes.
#include "trace/TraceLine.h"

#include "platform/com/oleauto.h"

#include "TrcTest.h"
#include "TraceTestSupport.h"
#include "VntReader.h"

#include <climits>
#include <vector>

namespace {

using trace_test::LoggerTest;
using Bytes = std::vector<BYTE>;

class EncodingTest : public LoggerTest {
 protected:
  template <class... A>
  CTraceLine TraceOne(DWORD id, A... args) {
    const ULONGLONG number = m_logger.GetNextLineNumber();
    m_logger.Trace(&m_source, id, args...);
    EXPECT_EQ(m_logger.GetNextLineNumber(), number + 1) << "line not stored";
    return m_logger.GetLine(number);
  }
  static Bytes ArgBytes(const CTraceLine& line) {
    const BYTE* bytes = nullptr;
    DWORD length = 0;
    line.GetArgBytes(&bytes, &length);
    return Bytes(bytes, bytes + length);
  }
};

TEST(ParseTest, SpecificationsBecomeArgumentsAndPlaceholders) {
  struct Case {
    const wchar_t* text;
    const wchar_t* templ;
    std::vector<std::tuple<int, wchar_t, wchar_t, int, int, wchar_t>> args;  // number, conv, flag, width, precision, size
  } cases[] = {
      {L"%s1 and %d2", L"^1 and ^2", {{1, 's', 0, -1, -1, 0}, {2, 'd', 0, -1, -1, 0}}},
      {L"%d2 before %s1", L"^2 before ^1", {{1, 's', 0, -1, -1, 0}, {2, 'd', 0, -1, -1, 0}}},
      {L"x%-08.3I64x12!", L"x^12!", {{12, 'x', '-', 8, 3, 'I'}}},
      {L"%hd1 %lu2 %Lf3", L"^1 ^2 ^3", {{1, 'd', 0, -1, -1, 'h'}, {2, 'u', 0, -1, -1, 'l'}, {3, 'f', 0, -1, -1, 'L'}}},
      {L"%d1%s1", L"^1^1", {{1, 'd', 0, -1, -1, 0}}},                  // the first format spec wins
      {L"50%", L"50^-1", {}},                                            // a '%' at the very end
      {L"%I6", L"^-1", {}},                                              // "I64" cut short by the end
      {L"%p1 %c2 %E3 %G4 %n5 %S6 %C7", L"^1 ^2 ^3 ^4 ^5 ^6 ^7", {}},  // placeholders only
      {L"%s %.d0", L"^-1 ^0", {{-1, 's', 0, -1, -1, 0}, {0, 'd', 0, -1, -1, 0}}},
      {L"%99999999999d1", L"^1", {{1, 'd', 0, INT_MAX, -1, 0}}},
  };
  for (const auto& c : cases) {
    std::wstring templ;
    const auto list = CTraceLine::CArgs::Parse(7, c.text, templ);
    EXPECT_EQ(templ, c.templ) << c.text;
    ASSERT_EQ(list.GetArgMap().size(), c.args.size()) << c.text;
    for (const auto& [number, conv, flag, width, precision, size] : c.args) {
      const auto& arg = list.GetArgMap().at(number);
      EXPECT_EQ(arg.m_conversion, conv) << c.text;
      EXPECT_EQ(arg.m_flag, flag) << c.text;
      EXPECT_EQ(arg.m_width, width) << c.text;
      EXPECT_EQ(arg.m_precision, precision) << c.text;
      EXPECT_EQ(arg.m_size, size) << c.text;
    }
  }
}

TEST_F(EncodingTest, IntegersTakeTheFewestBytes) {
  struct Case {
    DWORD id;
    long long value;
    Bytes bytes;
  } cases[] = {
      {TRC_INT, -1, {4, 0xFF}},
      {TRC_INT, 255, {5, 0xFF, 0x00}},
      {TRC_INT, 0, {3}},
      {TRC_INT, 127, {4, 0x7F}},
      {TRC_INT, 128, {5, 0x80, 0x00}},
      {TRC_INT, -129, {5, 0x7F, 0xFF}},
      {TRC_INT, INT_MIN, {7, 0x00, 0x00, 0x00, 0x80}},
      {TRC_UNSIGNED, 255, {12, 0xFF}},
      {TRC_UNSIGNED, 0x10000, {14, 0x00, 0x00, 0x01}},
      {TRC_UNSIGNED, 0xFFFFFFFF, {15, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    const CTraceLine line = TraceOne(c.id, static_cast<int>(c.value));
    EXPECT_EQ(ArgBytes(line), c.bytes) << c.value;
    EXPECT_EQ(line.GetMessageId(), c.id);
  }
}

TEST_F(EncodingTest, StringsAreNarrowWhenEveryCharacterFitsAByte) {
  struct Case {
    const wchar_t* value;
    Bytes bytes;
  } cases[] = {
      {L"abc", {1, 0x00, 0x03, 'a', 'b', 'c'}},
      {L"\u00e9", {1, 0x00, 0x01, 0xE9}},
      {L"a\u0100", {2, 0x00, 0x02, 'a', 0x00, 0x00, 0x01}},
      {L"\U0001F600", {2, 0x00, 0x02, 0x3D, 0xD8, 0x00, 0xDE}},  // one character, two UTF-16 units
      {L"", {1, 0x00, 0x00}},
      {nullptr, {0}},
  };
  for (const auto& c : cases) EXPECT_EQ(ArgBytes(TraceOne(TRC_STRING, c.value)), c.bytes);
}

TEST_F(EncodingTest, EveryKindReadsItsOwnTypeAndRendersWithItsSpecification) {
  const CTraceLine line = TraceOne(TRC_KINDS, 7u, 0xABu, 1ULL << 40, -2LL, static_cast<int>(static_cast<short>(70000)),
                                   0xFFFF, 3.14159, "nar", L"wide", 0xBEEFu, 42);
  const auto args = vnt::DecodeArgs(ArgBytes(line));
  ASSERT_EQ(args.size(), 11u);
  EXPECT_EQ(args[2].tag, 17);  // 6 bytes unsigned
  EXPECT_EQ(args[2].u, 1ULL << 40);
  EXPECT_EQ(args[3].i, -2);
  EXPECT_EQ(args[4].i, 4464);   // %hd keeps 16 bits
  EXPECT_EQ(args[5].u, 65535u);
  EXPECT_EQ(args[6].tag, 20);
  EXPECT_DOUBLE_EQ(args[6].d, 3.14159);
  EXPECT_EQ(args[7].narrow, "nar");
  EXPECT_EQ(args[8].tag, 2);    // %ls is always wide
  EXPECT_EQ(line.FormatText(), L"7 ab 1099511627776 -2 4464 65535 3.14 nar wide 0000BEEF 42   |\r\n");
}

TEST_F(EncodingTest, ArgumentsArePassedInNumberOrder) {
  struct Case {
    CTraceLine line;
    Bytes bytes;
    std::wstring text;
  } cases[] = {
      {TraceOne(TRC_STARTED, L"svc", 4), {1, 0, 3, 's', 'v', 'c', 4, 4}, L"Service svc started with 4 workers.\r\n"},
      {TraceOne(TRC_REORDERED, L"disk", 5), {1, 0, 4, 'd', 'i', 's', 'k', 4, 5}, L"5 items from disk\r\n"},
      // Argument 3 follows a gap: never taken, never rendered.
      {TraceOne(TRC_GAP, L"one", L"three"), {1, 0, 3, 'o', 'n', 'e'}, L"one then \r\n"},
      // Without a number, numbered 0: no argument; the caller's first is %s1.
      {TraceOne(TRC_NO_NUMBER, L"x", 9), {1, 0, 1, 'x', 4, 9}, L"[] [] [x] 100 a^b [9]\r\n"},
      {TraceOne(TRC_DOUBLE_NUMBER, 5, 6), {4, 5, 4, 6}, L"5 5 6\r\n"},
      {TraceOne(TRC_PLACEHOLDERS, 1), {}, L"   \r\n"},
      // I and L strings and L integers read nothing; %s3 takes the first argument.
      {TraceOne(TRC_ABSENT, L"z"), {0, 3, 1, 0, 1, 'z'}, L"<> <0> <z>\r\n"},
      {TraceOne(TRC_PLAIN), {}, L"Nothing to insert.\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ArgBytes(c.line), c.bytes) << std::string(c.text.begin(), c.text.end());
    EXPECT_EQ(c.line.FormatText(), c.text);
  }
}

TEST_F(EncodingTest, ArgumentsBecomeVariants) {
  const CTraceLine line = TraceOne(TRC_KINDS, 7u, 0xABu, 1ULL << 40, -2LL, -3, 6, 2.5, "nar", L"w", 0u, 42);
  struct Case {
    int number;
    VARTYPE vt;
    LONGLONG value;  // integers
  } cases[] = {
      {1, VT_UI4, 7}, {3, VT_UI8, 1LL << 40}, {4, VT_I8, -2}, {5, VT_I4, -3},
      {10, VT_I4, 0},  // the zero byte is VT_I4 whatever the kind
      {11, VT_I4, 42}, {12, VT_EMPTY, 0}, {0, VT_EMPTY, 0},
  };
  for (const auto& c : cases) {
    VARIANT v;
    line.GetArgVariant(c.number, &v);
    EXPECT_EQ(v.vt, c.vt) << c.number;
    if (c.vt == VT_I4) {
      EXPECT_EQ(v.lVal, c.value);
    } else if (c.vt == VT_UI4) {
      EXPECT_EQ(v.ulVal, static_cast<ULONG>(c.value));
    } else if (c.vt == VT_I8 || c.vt == VT_UI8) {
      EXPECT_EQ(v.llVal, c.value);
    }
  }
  VARIANT d, s;
  line.GetArgVariant(7, &d);
  EXPECT_EQ(d.vt, VT_R8);
  EXPECT_DOUBLE_EQ(d.dblVal, 2.5);
  line.GetArgVariant(8, &s);
  ASSERT_EQ(s.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(s.bstrVal, SysStringLen(s.bstrVal)), L"nar");
  VariantClear(&s);
}

TEST_F(EncodingTest, AnIdWithoutTextStoresARecordWithoutArguments) {
  const CTraceLine line = TraceOne(0x000100FFu, 1, 2, 3);
  EXPECT_EQ(line.GetMessageId(), 0xFFFFFFFFu);
  EXPECT_TRUE(ArgBytes(line).empty());
  EXPECT_EQ(line.FormatText(), L"");
  EXPECT_EQ(line.GetSource(), &m_source);
}

TEST(DecodeTest, DamagedBytesAreReadWithinTheirLength) {
  struct Case {
    CTraceLine::CArgs::CArg arg;
    Bytes bytes;
    DWORD consumedAtMost;
  } cases[] = {
      {CIntArg(), {7, 1}, 2},            // four bytes announced, one there
      {CIntArg(), {1, 0, 0}, 1},         // not an integer: only the tag
      {CUIntArg(), {19}, 1},
      {CDoubleArg(), {20, 1, 2}, 3},
      {CStringArg(), {1, 0, 10, 'a'}, 4},  // ten bytes announced
      {CStringArg(), {2, 0xFF, 0xFF, 'a', 0}, 5},
      {CStringArg(), {1, 0}, 2},
  };
  for (auto& c : cases) {
    c.arg.m_conversion = c.arg.m_conversion ? c.arg.m_conversion : 'd';
    std::wstring text;
    // A copy on the heap of exactly the given size, so any overread is caught.
    auto bytes = std::make_unique<BYTE[]>(c.bytes.size());
    std::copy(c.bytes.begin(), c.bytes.end(), bytes.get());
    const DWORD used = c.arg.m_toText(c.arg, bytes.get(), static_cast<DWORD>(c.bytes.size()), text);
    EXPECT_LE(used, c.consumedAtMost);
    EXPECT_GE(used, 1u);
    EXPECT_EQ(text, L"");
  }
}

}  // namespace
