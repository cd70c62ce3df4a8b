// PatternMatcher.h - wildcard path lists as typed into the registry.
//
// A list such as "*.avi; D:\Media\...\*.mp4" names the files an extension
// rule (or a provider) includes or excludes. "*" is any run of characters,
// "?" one character, "/" and "\" either separator, "...\" any number of
// directory levels (none included); every other character stands for itself,
// letter case ignored. Items are separated by ";" and trimmed of spaces.
//
// SetPatterns translates the list once. The result is described by an
// anchored ECMAScript expression (Expression(), kept for diagnostics and as
// the definition of what matches), but paths are tested by a small automaton
// compiled from the same tokens: std::regex recurses once per character and
// backtracks over every "*", which a path of a few thousand characters turns
// into a stack overflow or a hang. The automaton runs in time proportional to
// path length times pattern length and never recurses.
#pragma once

#include "platform/base/types.h"

#include <cstdint>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

class CPatternMatcher {
 public:
  CPatternMatcher();
  CPatternMatcher(const CPatternMatcher& other);
  CPatternMatcher& operator=(const CPatternMatcher& other);
  virtual ~CPatternMatcher();

  // Replaces the list. 0 on success; on failure the previous list, expression
  // and automaton stay in force untouched and a Win32 code is returned
  // (ERROR_NOT_ENOUGH_MEMORY for a list beyond kMaxStates or an allocation
  // failure, ERROR_INVALID_PARAMETER for a null list). Must not run while
  // another thread uses this matcher.
  DWORD SetPatterns(const wchar_t* list);

  // Whether the whole text matches; defaultResult when no list was ever set.
  // A null text is the empty text. Safe on several threads at once.
  bool Match(const wchar_t* text, bool defaultResult) const;
  bool Match(std::wstring_view text, bool defaultResult) const;

  // The list as last set successfully, and its expression ("" before that).
  const std::wstring& Patterns() const { return patterns_; }
  const std::wstring& Expression() const { return expression_; }

  // The one map from a regular-expression library error to a Win32 code:
  // exhaustion (error_space, error_stack) is ERROR_NOT_ENOUGH_MEMORY, every
  // other error ERROR_BAD_QUERY_SYNTAX.
  static DWORD Win32FromRegexError(std::regex_constants::error_type code);

  // Automaton states (about one per pattern character) beyond which a list is
  // refused as too large, the bound the std::regex engine also keeps.
  static constexpr std::size_t kMaxStates = 100000;

 private:
  enum class Op : std::uint8_t {
    Literal,      // one character equal after case folding
    AnyChar,      // "?": one character other than a line terminator
    AnyRun,       // "*": loops on any non-terminator, leaves without input
    Separator,    // "/" or "\"
    LevelsEnter,  // "...\": skips the levels or enters LevelsLoop
    LevelsLoop,   // any non-terminator; a separator may also leave the levels
    Accept,       // end of one alternative
  };
  struct State {
    Op op;
    wchar_t ch;  // folded character of Literal
  };
  struct Automaton {
    std::vector<State> states;
    std::vector<std::uint32_t> starts;  // first state of each alternative
    bool Run(std::wstring_view folded) const;
  };

  static bool Compile(std::wstring_view list, Automaton& automaton, std::wstring& expression,
                      std::regex_constants::error_type& error);

  Automaton automaton_;
  std::wstring patterns_;
  std::wstring expression_;
};
