#include "platform/base/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace platform;

TEST(Utf8, Valid) {
  std::wstring w = L"A\u00E4\u20AC\U0001F600z";
  std::string u8 = "A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80z";
  EXPECT_EQ(Utf8FromWide(w), u8);
  EXPECT_EQ(WideFromUtf8(u8), w);
  std::wstring out;
  EXPECT_TRUE(WideFromUtf8Strict(u8, out));
  EXPECT_EQ(out, w);
  EXPECT_EQ(WideFromUtf8(""), L"");
  EXPECT_EQ(WideFromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(Utf8FromWide(L"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
}

struct BadUtf8 {
  const char* in;
  const wchar_t* lenient;
};

TEST(Utf8, InvalidSequences) {
  const BadUtf8 cases[] = {
      {"\x80", L"\uFFFD"},                              // lone continuation
      {"a\xBF" "b", L"a\uFFFDb"},
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                    // overlong '/'
      {"\xC1\xBF", L"\uFFFD\uFFFD"},                    // overlong
      {"\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},          // overlong 3-byte
      {"\xF0\x80\x80\xAF", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // overlong 4-byte
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},          // encoded surrogate D800
      {"\xED\xBF\xBF", L"\uFFFD\uFFFD\uFFFD"},          // encoded surrogate DFFF
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // > U+10FFFF
      {"\xF5\x80", L"\uFFFD\uFFFD"},
      {"\xFF", L"\uFFFD"},
      {"\xC3", L"\uFFFD"},                              // truncated at end
      {"\xE2\x82", L"\uFFFD"},                          // truncated: one maximal subpart
      {"\xE2\x82" "A", L"\uFFFDA"},
      {"\xF0\x9F\x98", L"\uFFFD"},
      {"\xC3\xA4\x80", L"\u00E4\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WideFromUtf8(c.in), c.lenient) << c.in;
    std::wstring out = L"keep";
    EXPECT_FALSE(WideFromUtf8Strict(c.in, out)) << c.in;
    EXPECT_EQ(out, L"keep");
  }
}

TEST(Utf8, BadWideValuesBecomeReplacement) {
  std::wstring w;
  w += static_cast<wchar_t>(0xD800);
  w += L'x';
  w += static_cast<wchar_t>(0xDFFF);
  w += static_cast<wchar_t>(0x110000);
  w += static_cast<wchar_t>(-1);
  EXPECT_EQ(Utf8FromWide(w), "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf16FromWide(w), u"\uFFFDx\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf16Length(w), 5u);
}

TEST(Utf16, Conversions) {
  std::wstring w = L"A\u00E4\U0001F600";
  EXPECT_EQ(Utf16Length(w), 4u);
  EXPECT_EQ(Utf16FromWide(w), u"A\u00E4\U0001F600");
  EXPECT_EQ(WideFromUtf16(u"A\u00E4\U0001F600"), w);
  std::string le = Utf16leFromWide(w);
  EXPECT_EQ(le, std::string("A\0\xE4\0\x3D\xD8\x00\xDE", 8));
  EXPECT_EQ(WideFromUtf16le(le.data(), le.size()), w);
  std::string appended = "hdr";
  AppendUtf16le(appended, L"B");
  EXPECT_EQ(appended, std::string("hdrB\0", 5));
  EXPECT_EQ(WideFromUtf16le(nullptr, 0), L"");
}

TEST(Utf16, Invalid) {
  // Odd length: the last byte becomes U+FFFD.
  std::string odd("A\0B", 3);
  EXPECT_EQ(WideFromUtf16le(odd.data(), odd.size()), L"A\uFFFD");
  // Unpaired high surrogate followed by a normal char, lone low surrogate, high at end.
  std::string bad("\x00\xD8" "A\0" "\x00\xDC" "\x3D\xD8", 8);
  EXPECT_EQ(WideFromUtf16le(bad.data(), bad.size()), L"\uFFFDA\uFFFD\uFFFD");
  std::u16string units;
  units += static_cast<char16_t>(0xDC00);
  units += static_cast<char16_t>(0xD800);
  EXPECT_EQ(WideFromUtf16(units), L"\uFFFD\uFFFD");
  // High + high + low: the first is unpaired, the second pairs.
  std::u16string hhl = {static_cast<char16_t>(0xD83D), static_cast<char16_t>(0xD83D), static_cast<char16_t>(0xDE00)};
  EXPECT_EQ(WideFromUtf16(hhl), L"\uFFFD\U0001F600");
}

TEST(Case, Mapping) {
  EXPECT_EQ(ToLower(L"HeLLo \u00C4\u00D6\u00DC \u0391\u0416"), L"hello \u00E4\u00F6\u00FC \u03B1\u0436");
  EXPECT_EQ(ToUpper(L"hello \u00E4\u00F6\u00FC"), L"HELLO \u00C4\u00D6\u00DC");
  EXPECT_EQ(ToUpper(L"\u00DF"), L"\u00DF");  // towupper keeps sharp s
}

TEST(Case, Compare) {
  EXPECT_EQ(CompareNoCase(L"Software\\Vantrel", L"SOFTWARE\\vantrel"), 0);
  EXPECT_TRUE(EqualsNoCase(L"\u00C4rger", L"\u00E4RGER"));
  EXPECT_FALSE(EqualsNoCase(L"abc", L"abcd"));
  EXPECT_LT(CompareNoCase(L"abc", L"ABD"), 0);
  EXPECT_GT(CompareNoCase(L"b", L"A"), 0);
  EXPECT_LT(CompareNoCase(L"ab", L"ABC"), 0);
  // Compared lower-cased, as _wcsicmp does: "A" (as 0x61) sorts after "_" (0x5F).
  EXPECT_GT(CompareNoCase(L"A", L"_"), 0);
  EXPECT_EQ(CompareNoCaseA("Content-Type", "content-type"), 0);
  EXPECT_TRUE(EqualsNoCaseA("HOST", "host"));
  EXPECT_FALSE(EqualsNoCaseA("\xC3\x84", "\xC3\xA4"));  // ASCII only
  EXPECT_LT(CompareNoCaseA("a", "B"), 0);

  std::map<std::wstring, int, LessNoCase> m;
  m[L"Key"] = 1;
  m[L"KEY"] = 2;
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(m.find(std::wstring_view(L"key"))->second, 2);
}

// Each set strips its own characters at both ends and nothing inside.
TEST(Trim, EachSetStripsItsOwnBlanks) {
  struct Row {
    const wchar_t* text;
    Blanks set;
    const wchar_t* trimmed;
  };
  const Row rows[] = {
      {L" \t a b \t ", Blanks::SpaceTab, L"a b"},
      {L"\r\n a \r\n", Blanks::SpaceTab, L"\r\n a \r\n"},  // line ends are not HTTP white space
      {L"\r\n\t a \t\r\n", Blanks::SpaceTabLine, L"a"},
      {L"\v a \f", Blanks::SpaceTabLine, L"\v a \f"},
      {L"\v\f\r\n\t a \t\n\r\f\v", Blanks::Space, L"a"},
      {L"   ", Blanks::Space, L""},
      {L"", Blanks::SpaceTab, L""},
      {L"x", Blanks::SpaceTabLine, L"x"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Trim(std::wstring_view(row.text), row.set), row.trimmed) << static_cast<int>(row.set);
    const std::string narrow = Utf8FromWide(row.text);
    EXPECT_EQ(Trim(std::string_view(narrow), row.set), Utf8FromWide(row.trimmed)) << narrow;
  }
  // The result is a view into the text, not a copy.
  const std::wstring text = L"  mid  ";
  EXPECT_EQ(Trim(text, Blanks::Space).data(), text.data() + 2);
}

TEST(Environment, Expand) {
  setenv("VN_BASE_TEST_VAR", "value\xC3\xA4", 1);
  unsetenv("VN_BASE_NO_SUCH_VAR");
  EXPECT_EQ(ExpandEnvironment(L"a%VN_BASE_TEST_VAR%b"), L"avalue\u00E4b");
  EXPECT_EQ(ExpandEnvironment(L"%vn_base_test_var%"), L"value\u00E4");  // names are case-insensitive
  EXPECT_EQ(ExpandEnvironment(L"%VN_BASE_NO_SUCH_VAR%"), L"%VN_BASE_NO_SUCH_VAR%");
  EXPECT_EQ(ExpandEnvironment(L"100%"), L"100%");
  EXPECT_EQ(ExpandEnvironment(L"%%"), L"%%");
  // " of " is no variable: its closing '%' opens the next name.
  EXPECT_EQ(ExpandEnvironment(L"50% of %VN_BASE_TEST_VAR%"), L"50% of value\u00E4");
  EXPECT_EQ(ExpandEnvironment(L"%VN_BASE_NO_SUCH_VAR%VN_BASE_TEST_VAR%"), L"%VN_BASE_NO_SUCH_VARvalue\u00E4");
  EXPECT_EQ(ExpandEnvironment(L"%VN_BASE_TEST_VAR%%VN_BASE_TEST_VAR%"), L"value\u00E4value\u00E4");
  EXPECT_EQ(ExpandEnvironment(L""), L"");
}

TEST(Environment, Win32Form) {
  setenv("VN_BASE_TEST_VAR", "xyz", 1);
  const wchar_t* src = L"[%VN_BASE_TEST_VAR%]";
  EXPECT_EQ(ExpandEnvironmentStringsW(src, nullptr, 0), 6u);  // "[xyz]" + terminator
  wchar_t buf[16];
  EXPECT_EQ(ExpandEnvironmentStringsW(src, buf, 16), 6u);
  EXPECT_STREQ(buf, L"[xyz]");
  wchar_t small[3] = {L'q', L'q', L'q'};
  EXPECT_EQ(ExpandEnvironmentStringsW(src, small, 3), 6u);
  EXPECT_EQ(small[2], L'\0');
  EXPECT_EQ(ExpandEnvironmentStringsW(src, buf, 6), 6u);
  EXPECT_STREQ(buf, L"[xyz]");
}
