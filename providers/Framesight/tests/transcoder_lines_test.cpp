// transcoder_lines_test.cpp - kept lines and partial lines stay within their bounds.
#include "providers/Framesight/TranscoderLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::wstring>;

struct PartialRow {
  const char* name;
  std::size_t bound;
  Texts pieces;
  Texts whole;  // every line handed on, in order
  std::wstring pending;
};

const PartialRow kPartialRows[] = {
    {"one line in one piece", 100, {L"frame 1\n"}, {L"frame 1\n"}, L""},
    {"a line in two pieces", 100, {L"frame ", L"1\n"}, {L"frame 1\n"}, L""},
    {"no line feed yet", 100, {L"frame ", L"1"}, {}, L"frame 1"},
    {"a line feed inside a piece waits for the end", 100, {L"a\nb"}, {}, L"a\nb"},
    {"two lines in one piece go together", 100, {L"a\nb\n"}, {L"a\nb\n"}, L""},
    {"an empty piece changes nothing", 100, {L"a", L""}, {}, L"a"},
    {"a line that reaches the bound is cut there", 4, {L"abcdef"}, {L"abcd"}, L"ef"},
    {"a piece many bounds long", 2, {L"abcde"}, {L"ab", L"cd"}, L"e"},
    {"the bound reached across pieces", 4, {L"ab", L"cdef\n"}, {L"abcd", L"ef\n"}, L""},
    {"a line exactly at the bound", 3, {L"ab\n"}, {L"ab\n"}, L""},
};

TEST(PartialLine, JoinsPiecesWithinItsBound) {
  for (const PartialRow& row : kPartialRows) {
    SCOPED_TRACE(row.name);
    CPartialLine line(row.bound);
    Texts whole;
    for (const std::wstring& piece : row.pieces) {
      for (std::wstring& text : line.Append(piece)) whole.push_back(std::move(text));
    }
    EXPECT_EQ(whole, row.whole);
    EXPECT_EQ(line.Pending(), row.pending);
  }
}

TEST(PartialLine, ATranscoderThatNeverEndsItsLineHoldsNoMoreThanTheBound) {
  CPartialLine line(1000);
  std::size_t handedOn = 0;
  for (int i = 0; i < 10000; ++i) {
    for (const std::wstring& text : line.Append(L"0123456789")) handedOn += text.size();
    ASSERT_LT(line.Pending().size(), 1000u);
  }
  EXPECT_EQ(handedOn + line.Pending().size(), 100000u);
}

struct KeptRow {
  const char* name;
  std::size_t maxLines;
  std::size_t maxChars;
  Texts added;
  Texts kept;
  std::size_t dropped;
};

const KeptRow kKeptRows[] = {
    {"within both bounds", 3, 100, {L"a", L"b"}, {L"a", L"b"}, 0},
    {"the count bound", 2, 100, {L"a", L"b", L"c", L"d"}, {L"a", L"b"}, 2},
    {"the length bound", 10, 5, {L"abc", L"de", L"f"}, {L"abc", L"de"}, 1},
    {"a line too long is dropped, a shorter one after it kept", 10, 5, {L"abcdef", L"ab"}, {L"ab"}, 1},
    {"empty lines count", 2, 100, {L"", L"", L""}, {L"", L""}, 1},
};

TEST(TranscoderLines, KeepsLinesWithinBothBounds) {
  for (const KeptRow& row : kKeptRows) {
    SCOPED_TRACE(row.name);
    CTranscoderLines lines(row.maxLines, row.maxChars);
    for (const std::wstring& text : row.added) lines.Add(text);
    EXPECT_EQ(lines.Lines(), row.kept);
    EXPECT_EQ(lines.Dropped(), row.dropped);
  }
}

}  // namespace
