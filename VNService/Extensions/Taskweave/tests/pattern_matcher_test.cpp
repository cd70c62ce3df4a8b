// pattern_matcher_test.cpp - wildcard lists: translation, matching, failures, long paths.
//
// The reference for what a list matches is the chain of six textual rewrites
// into an std::regex expression that the matcher was designed from, with the
// separator class limited to "/" and "\". Short paths are checked against it
// on a table and on random lists; long paths only against known answers,
// since std::regex itself cannot take them.
#include "VNService/Extensions/Taskweave/PatternMatcher.h"

#include "platform/base/errors.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

// The rewrite chain, step by step; nested selects the original repeated
// levels group "(.*S)*" instead of the matcher's "(?:.*S)?".
std::wstring ReferenceExpression(const std::wstring& list, bool nested) {
  using std::regex_constants::format_sed;
  static const std::wregex escape(LR"([\^\.\$\|\(\)\[\]\{\}\*\+\?\/\\])", std::regex::optimize);
  static const std::wregex star(LR"(\\\*)", std::regex::optimize);
  static const std::wregex question(LR"(\\\?)", std::regex::optimize);
  static const std::wregex levels(LR"(\\\.\\\.\\\.(\\\/|\\\\))", std::regex::optimize);
  static const std::wregex separators(LR"(\\\/|\\\\)", std::regex::optimize);
  static const std::wregex spaces(LR"(^ +| +$|( ) +)", std::regex::optimize);
  std::wstring t = std::regex_replace(list, escape, LR"(\\\0)", format_sed);
  t = std::regex_replace(t, star, L".*");
  t = std::regex_replace(t, question, L".");
  t = std::regex_replace(t, levels, nested ? L"(.*$1)*" : L"(?:.*$1)?");
  t = std::regex_replace(t, separators, LR"([\/\\])");
  t = std::regex_replace(t, spaces, L"$1");
  if (t.find(L';') == std::wstring::npos) return L"^(" + t + L")$";
  std::wstring joined;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = t.find(L';', begin);
    std::wstring item = std::regex_replace(t.substr(begin, end - begin), spaces, L"$1");
    if (!joined.empty() || begin != 0) joined += L'|';
    joined += L"(?:" + item + L")";
    if (end == std::wstring::npos) break;
    begin = end + 1;
  }
  return L"^(" + joined + L")$";
}

CPatternMatcher Matcher(const wchar_t* list) {
  CPatternMatcher m;
  EXPECT_EQ(m.SetPatterns(list), ERROR_SUCCESS) << list;
  return m;
}

TEST(PatternMatcher, WorkedTranslations) {
  struct Case {
    const wchar_t* list;
    const wchar_t* expression;
  };
  const Case cases[] = {
      {L"*.avi", LR"(^(.*\.avi)$)"},
      {L"*.avi; *.mov", LR"(^((?:.*\.avi)|(?:.*\.mov))$)"},
      {L"clip?.ts", LR"(^(clip.\.ts)$)"},
      {LR"(D:\Media\...\*.mp4)", LR"(^(D:[\/\\]Media[\/\\](?:.*[\/\\])?.*\.mp4)$)"},
      {L"a;;b", LR"(^((?:a)|(?:)|(?:b))$)"},
      {L"a;", LR"(^((?:a)|(?:))$)"},
      {L"  a   b  ", LR"(^(a b)$)"},
      {L"a[b", LR"(^(a\[b)$)"},
      {L"^.$|()[]{}+", LR"(^(\^\.\$\|\(\)\[\]\{\}\+)$)"},
      {L"....\\x", LR"(^(\.(?:.*[\/\\])?x)$)"},
      {L"", L"^()$"},
  };
  for (const Case& c : cases) {
    CPatternMatcher m = Matcher(c.list);
    EXPECT_EQ(m.Expression(), c.expression) << c.list;
    EXPECT_EQ(m.Patterns(), c.list);
    // The text describes the matcher: the rewrite chain gives the same.
    EXPECT_EQ(m.Expression(), ReferenceExpression(c.list, false)) << c.list;
  }
}

TEST(PatternMatcher, EdgeCases) {
  struct Case {
    const wchar_t* list;
    const wchar_t* text;
    bool expected;
  };
  const Case cases[] = {
      {L"*.AVI", LR"(D:\clips\A.avi)", true},            // case is ignored
      {L"*.avi", LR"(D:\clips\a.avi.txt)", false},       // anchored at both ends
      {L"*.avi", L"x.avi\ny", false},                    // "*" stops at line ends, as "." does
      {L"a[b", L"a[b", true},                            // expression characters are literal
      {L"a.b", L"axb", false},
      {L"x/y", LR"(x\y)", true},                         // either separator matches either
      {LR"(x\y)", L"x/y", true},
      {L"x/y", L"x|y", false},                           // "|" is no separator
      {LR"(...\*.ts)", L"a|b.ts", true},                 // ... though "*" takes it
      {LR"(\...\*.ts)", L"|a.ts", false},
      {L"a  b", L"a b", true},                           // inner spaces collapse
      {L"a  b", L"a  b", false},
      {L"", L"x", false},                                // empty list: only the empty text
      {L"   ", L"x", false},
      {L"", L"", true},
      {L"a;;b", L"", true},                              // an empty item matches the empty text
      {L"a;;b", L"b", true},
      {L"clip?.ts", L"clip1.ts", true},
      {L"clip?.ts", L"clip.ts", false},
      {L"clip?.ts", L"clip12.ts", false},
      {LR"(\Media\...\*.mp4)", LR"(\Media\a.mp4)", true},  // no levels
      {LR"(\Media\...\*.mp4)", LR"(\Media\x\y/z\a.mp4)", true},
      {LR"(\Media\...\*.mp4)", LR"(\Media2\a.mp4)", false},
      {LR"(\Media\...\*.mp4)", LR"(\Mediaa.mp4)", false},
      {L"*.avi; *.mov", LR"(\x\y.MOV)", true},
      {L"*.avi ; *.mov", LR"(\x\y.mov)", true},         // items are trimmed
      {L"\\?..\\x", L"\\a..\\x", true},                  // "?.." before "\" is not "...\"
      {L"\\?..\\x", L"\\a\\b\\x", false},
  };
  for (const Case& c : cases) {
    CPatternMatcher m = Matcher(c.list);
    EXPECT_EQ(m.Match(c.text, !c.expected), c.expected) << "list [" << c.list << "] text [" << c.text << "]";
  }
}

TEST(PatternMatcher, NeverSetAnswersTheDefault) {
  CPatternMatcher m;
  EXPECT_TRUE(m.Match(L"anything", true));
  EXPECT_FALSE(m.Match(L"anything", false));
  EXPECT_TRUE(m.Match(static_cast<const wchar_t*>(nullptr), true));
  EXPECT_EQ(m.Expression(), L"");
}

TEST(PatternMatcher, FailedSetPatternsKeepsThePreviousList) {
  const std::wstring tooLong(CPatternMatcher::kMaxStates + 1, L'a');
  CPatternMatcher m = Matcher(L"*.avi");
  const std::wstring expression = m.Expression();

  EXPECT_EQ(m.SetPatterns(tooLong.c_str()), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(m.SetPatterns(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(m.Patterns(), L"*.avi");
  EXPECT_EQ(m.Expression(), expression);
  EXPECT_TRUE(m.Match(L"x.avi", false));
  EXPECT_FALSE(m.Match(tooLong.c_str(), true));

  // A matcher that never had a list stays without one.
  CPatternMatcher fresh;
  EXPECT_EQ(fresh.SetPatterns(tooLong.c_str()), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(fresh.Match(L"x", true));
}

TEST(PatternMatcher, CopiesAreIndependent) {
  CPatternMatcher a = Matcher(L"*.avi");
  CPatternMatcher b(a);
  ASSERT_EQ(a.SetPatterns(L"*.mov"), ERROR_SUCCESS);
  EXPECT_TRUE(b.Match(L"x.avi", false));
  EXPECT_FALSE(b.Match(L"x.mov", true));
  b = a;
  EXPECT_TRUE(b.Match(L"x.mov", false));
}

TEST(PatternMatcher, RegexErrorsMapToWin32Codes) {
  using namespace std::regex_constants;
  const std::pair<error_type, DWORD> cases[] = {
      {error_collate, ERROR_BAD_QUERY_SYNTAX},  {error_ctype, ERROR_BAD_QUERY_SYNTAX},
      {error_escape, ERROR_BAD_QUERY_SYNTAX},   {error_backref, ERROR_BAD_QUERY_SYNTAX},
      {error_brack, ERROR_BAD_QUERY_SYNTAX},    {error_paren, ERROR_BAD_QUERY_SYNTAX},
      {error_brace, ERROR_BAD_QUERY_SYNTAX},    {error_badbrace, ERROR_BAD_QUERY_SYNTAX},
      {error_range, ERROR_BAD_QUERY_SYNTAX},    {error_space, ERROR_NOT_ENOUGH_MEMORY},
      {error_badrepeat, ERROR_BAD_QUERY_SYNTAX}, {error_complexity, ERROR_BAD_QUERY_SYNTAX},
      {error_stack, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const auto& [code, win32] : cases) EXPECT_EQ(CPatternMatcher::Win32FromRegexError(code), win32) << code;
}

// The rewrite chain finds "...\" inside the escaped "\?..\" (the escaped
// backslash's second half followed by the "." of "?") and produces an
// unbalanced group, rejecting a valid list; the matcher reads it as typed.
TEST(PatternMatcher, QuestionMarkAndDotsAfterASeparatorAreTakenAsTyped) {
  const std::wstring list = L"\\Media\\?..\\*.ts";
  EXPECT_THROW(std::wregex(ReferenceExpression(list, true)), std::regex_error);
  const CPatternMatcher m = Matcher(list.c_str());
  EXPECT_EQ(m.Expression(), LR"(^([\/\\]Media[\/\\].\.\.[\/\\].*\.ts)$)");
  EXPECT_TRUE(m.Match(L"\\Media\\x..\\a.ts", false));
  EXPECT_FALSE(m.Match(L"\\Media\\x\\y\\a.ts", true));
}

// Long paths: linear work, no recursion, so these finish whatever the length.
TEST(PatternMatcher, LongPathsAgainstLevelPatterns) {
  std::wstring deep = L"\\Media";
  for (int i = 0; i < 2000; ++i) deep += L"\\d";
  const CPatternMatcher levels = Matcher(LR"(\Media\...\*.mp4)");
  EXPECT_TRUE(levels.Match(deep + L"\\clip.mp4", false));
  EXPECT_FALSE(levels.Match(deep + L"\\clip.mp3", true));

  const CPatternMatcher many = Matcher(LR"(\...\...\...\...\...\...\...\...\*.mp4)");
  EXPECT_TRUE(many.Match(deep + L"\\clip.mp4", false));
  EXPECT_FALSE(many.Match(deep + L"\\clip.mpx", true));

  const std::wstring as(20000, L'a');
  const CPatternMatcher stars = Matcher(L"*a*a*a*a*a*a*a*a*b");
  EXPECT_FALSE(stars.Match(as, true));
  EXPECT_TRUE(stars.Match(as + L"b", false));
}

// Random short lists and texts: the matcher, its own expression text and the
// original nested-group expression all agree.
TEST(PatternMatcher, AgreesWithTheRegexTranslationOnRandomInput) {
  std::mt19937 rng(20240611);
  const std::wstring patternChars = L"aAbB.*?\\/| ;x([+";
  const std::wstring textChars = L"aAbB.\\/| x([+\n";
  auto pick = [&](const std::wstring& from) { return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)]; };
  auto length = [&](int most) { return std::uniform_int_distribution<int>(0, most)(rng); };
  // A text built from the list, so that matches are common.
  auto instantiate = [&](const std::wstring& list) {
    std::wstring out;
    for (wchar_t c : list) {
      if (c == L'*') {
        for (int n = length(3); n > 0; --n) out += pick(textChars);
      } else if (c == L'?') {
        out += pick(textChars);
      } else if (c == L';') {
        if (length(1)) break;
        out.clear();
      } else if (c != L' ' || length(1)) {
        out += c;
      }
    }
    return out;
  };

  int compared = 0, matched = 0;
  for (int round = 0; round < 1500; ++round) {
    std::wstring list;
    for (int n = length(8); n > 0; --n) list += pick(patternChars);
    if (length(3) == 0) list = L"\\..." + list + L"\\...\\*";
    CPatternMatcher m;
    ASSERT_EQ(m.SetPatterns(list.c_str()), ERROR_SUCCESS) << list;
    std::wregex own(m.Expression(), std::regex::ECMAScript | std::regex::icase);
    std::wregex nested;
    try {
      nested.assign(ReferenceExpression(list, true), std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
      // The rewrite chain misreads "\?.." before a separator as "...\" and
      // leaves an unbalanced group; the matcher takes those characters as typed.
      EXPECT_NE(list.find(L"\\?.."), std::wstring::npos) << list;
      continue;
    }
    EXPECT_EQ(m.Expression(), ReferenceExpression(list, false)) << list;
    for (int t = 0; t < 12; ++t) {
      std::wstring text;
      if (t % 2 == 0) {
        text = instantiate(list);
      } else {
        for (int n = length(10); n > 0; --n) text += pick(textChars);
      }
      const bool got = m.Match(text, false);
      ASSERT_EQ(got, std::regex_match(text, own)) << "list [" << list << "] text [" << text << "]";
      ASSERT_EQ(got, std::regex_match(text, nested)) << "list [" << list << "] text [" << text << "]";
      ++compared;
      matched += got;
    }
  }
  EXPECT_GT(compared, 10000);
  EXPECT_GT(matched, compared / 10);  // both answers are well represented
}

}  // namespace
