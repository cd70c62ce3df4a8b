// cmdline_test.cpp - command lines split by the Windows rules.
#include "platform/base/cmdline.h"

#include "platform/base/process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::CommandLineToArgvW;

namespace {

struct SplitRow {
  const char* name;
  const wchar_t* line;
  std::vector<std::wstring> args;
};

const SplitRow kRows[] = {
    // The first token is a program name: quotes delimit it, backslashes mean nothing.
    {"quoted program name with a space", LR"("C:\Program Files\x.exe" a)", {LR"(C:\Program Files\x.exe)", L"a"}},
    {"program name ends at its closing quote", LR"("a b"c d)", {L"a b", L"c", L"d"}},
    {"backslash quote in a program name is not an escape", LR"(C:\dir\"x y)", {LR"(C:\dir\"x)", L"y"}},
    {"unterminated quoted program name", LR"("no end)", {L"no end"}},
    {"leading blank gives an empty program name", L" lead", {L"", L"lead"}},
    {"only blanks", L"   ", {L""}},
    // Separators.
    {"spaces and tabs separate, trailing blanks add nothing", L"prog   a\t\tb  ", {L"prog", L"a", L"b"}},
    {"a line break is no separator", L"prog a\nb", {L"prog", L"a\nb"}},
    {"empty quoted argument", LR"(prog "" "")", {L"prog", L"", L""}},
    {"quotes join words", LR"(prog "a b" c"d e"f)", {L"prog", L"a b", L"cd ef"}},
    {"unterminated quote runs to the end", LR"(prog "a b)", {L"prog", L"a b"}},
    // Backslashes.
    {"backslashes not before a quote stay", LR"(prog a\\b d"e f"g h)", {L"prog", LR"(a\\b)", L"de fg", L"h"}},
    {"2n+1 backslashes: n and a literal quote", LR"(prog a\\\"b c d)", {L"prog", LR"(a\"b)", L"c", L"d"}},
    {"2n backslashes: n and the quote opens", LR"(prog a\\\\"b c" d e)", {L"prog", LR"(a\\b c)", L"d", L"e"}},
    {"one backslash before a quote", LR"(prog \"a\")", {L"prog", LR"("a")"}},
    {"two backslashes before a closing quote", LR"(prog "a\\")", {L"prog", LR"(a\)"}},
    {"trailing backslash", LR"(prog a\)", {L"prog", LR"(a\)"}},
    {"backslashes alone", LR"(prog \\\\)", {L"prog", LR"(\\\\)"}},
    // Doubled quotes.
    {"doubled quote inside quotes is a quote and ends them", LR"(prog a"b"" c d)", {L"prog", LR"(ab")", L"c", L"d"}},
    {"three quotes", LR"(prog """)", {L"prog", L"\""}},
    {"doubled quote outside quotes is nothing", LR"(prog a""b)", {L"prog", L"ab"}},
    {"five quotes", LR"(prog """"")", {L"prog", L"\""}},
    // What the transcoder options look like.
    {"transcoder options", LR"(-vf "scale=320:-1,fps=10" -an -metadata title="\"Clip\" 1")",
     {L"-vf", L"scale=320:-1,fps=10", L"-an", L"-metadata", LR"(title="Clip" 1)"}},
    {"text beyond ASCII", L"prog \"\u00E4 \U0001F600\"", {L"prog", L"\u00E4 \U0001F600"}},
};

}  // namespace

TEST(CommandLineToArgv, SplitsByTheWindowsRules) {
  for (const auto& row : kRows) EXPECT_EQ(CommandLineToArgvW(row.line), row.args) << row.name;
}

TEST(CommandLineToArgv, EmptyLineGivesTheProgramPath) {
  const std::vector<std::wstring> args = CommandLineToArgvW(L"");
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args[0], platform::ExecutablePath());
  EXPECT_EQ(args[0].front(), L'/');
}
