// PatternMatcher.cpp - translation of wildcard lists and the matching automaton.
//
// Translation reads the list once, character by character, into tokens; the
// same tokens give the expression text and the automaton, so the two cannot
// disagree. The automaton is run as a set of live states over the folded
// text (one pass, no backtracking, no recursion).
#include "VNService/Extensions/Taskweave/PatternMatcher.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <new>

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// ECMAScript's "." stops at line terminators; "*" and "?" keep that meaning.
bool IsLineTerminator(wchar_t c) { return c == L'\n' || c == L'\r' || c == L'\u2028' || c == L'\u2029'; }

// Characters that need a backslash to stand for themselves in the
// expression text; "*", "?", "/" and "\" never reach here as literals.
bool IsExpressionSpecial(wchar_t c) {
  return std::wstring_view(L"^.$|()[]{}+").find(c) != std::wstring_view::npos;
}

// Leading and trailing spaces go, inner runs of spaces become one.
std::wstring SqueezeSpaces(std::wstring_view text) {
  std::size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring_view::npos) return {};
  std::size_t last = text.find_last_not_of(L' ');
  std::wstring out;
  out.reserve(last - first + 1);
  for (std::size_t i = first; i <= last; ++i) {
    if (text[i] == L' ' && !out.empty() && out.back() == L' ') continue;
    out.push_back(text[i]);
  }
  return out;
}

constexpr wchar_t kSeparatorClass[] = L"[\\/\\\\]";
// "...\" as an optional run ending in a separator: the same strings as a
// repeated group of such runs, without a quantifier inside a quantifier.
constexpr wchar_t kLevelsGroup[] = L"(?:.*[\\/\\\\])?";

}  // namespace

CPatternMatcher::CPatternMatcher() = default;
CPatternMatcher::CPatternMatcher(const CPatternMatcher& other) = default;
CPatternMatcher& CPatternMatcher::operator=(const CPatternMatcher& other) = default;
CPatternMatcher::~CPatternMatcher() = default;

DWORD CPatternMatcher::Win32FromRegexError(std::regex_constants::error_type code) {
  if (code == std::regex_constants::error_space || code == std::regex_constants::error_stack)
    return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_BAD_QUERY_SYNTAX;
}

bool CPatternMatcher::Compile(std::wstring_view list, Automaton& automaton, std::wstring& expression,
                              std::regex_constants::error_type& error) {
  try {
    std::wstring squeezed = SqueezeSpaces(list);
    std::vector<std::wstring> items;
    if (squeezed.find(L';') == std::wstring::npos) {
      items.push_back(std::move(squeezed));
    } else {
      std::size_t begin = 0;
      for (;;) {
        std::size_t end = squeezed.find(L';', begin);
        items.push_back(SqueezeSpaces(std::wstring_view(squeezed).substr(begin, end - begin)));
        if (end == std::wstring::npos) break;
        begin = end + 1;
      }
    }

    const bool alternatives = items.size() > 1;
    expression = L"^(";
    for (std::size_t n = 0; n < items.size(); ++n) {
      const std::wstring& item = items[n];
      if (alternatives) expression += n == 0 ? L"(?:" : L"|(?:";
      automaton.starts.push_back(static_cast<std::uint32_t>(automaton.states.size()));
      for (std::size_t i = 0; i < item.size(); ++i) {
        const wchar_t c = item[i];
        if (c == L'.' && i + 3 < item.size() && item[i + 1] == L'.' && item[i + 2] == L'.' &&
            IsSeparator(item[i + 3])) {
          automaton.states.push_back({Op::LevelsEnter, 0});
          automaton.states.push_back({Op::LevelsLoop, 0});
          expression += kLevelsGroup;
          i += 3;
        } else if (c == L'*') {
          automaton.states.push_back({Op::AnyRun, 0});
          expression += L".*";
        } else if (c == L'?') {
          automaton.states.push_back({Op::AnyChar, 0});
          expression += L'.';
        } else if (IsSeparator(c)) {
          automaton.states.push_back({Op::Separator, 0});
          expression += kSeparatorClass;
        } else {
          automaton.states.push_back({Op::Literal, platform::ToLower(std::wstring_view(&c, 1))[0]});
          if (IsExpressionSpecial(c)) expression += L'\\';
          expression += c;
        }
      }
      automaton.states.push_back({Op::Accept, 0});
      if (alternatives) expression += L')';
      if (automaton.states.size() > kMaxStates) {
        error = std::regex_constants::error_space;
        return false;
      }
    }
    expression += L")$";
    return true;
  } catch (const std::bad_alloc&) {
    error = std::regex_constants::error_space;
    return false;
  }
}

DWORD CPatternMatcher::SetPatterns(const wchar_t* list) {
  if (list == nullptr) return ERROR_INVALID_PARAMETER;
  // Built aside and swapped in whole, so a failure leaves this matcher exactly
  // as it was (and a half-built automaton never becomes visible).
  Automaton automaton;
  std::wstring expression;
  std::regex_constants::error_type error{};
  if (!Compile(list, automaton, expression, error)) return Win32FromRegexError(error);
  try {
    std::wstring patterns(list);
    automaton_ = std::move(automaton);
    expression_ = std::move(expression);
    patterns_ = std::move(patterns);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

bool CPatternMatcher::Match(const wchar_t* text, bool defaultResult) const {
  return Match(text == nullptr ? std::wstring_view() : std::wstring_view(text), defaultResult);
}

bool CPatternMatcher::Match(std::wstring_view text, bool defaultResult) const {
  if (expression_.empty()) return defaultResult;
  return automaton_.Run(platform::ToLower(text));
}

bool CPatternMatcher::Automaton::Run(std::wstring_view folded) const {
  const std::size_t count = states.size();
  // mark[s] == generation: s is already in the list being built.
  std::vector<std::uint32_t> mark(count, 0);
  std::vector<std::uint32_t> current, next, pending;
  current.reserve(count);
  next.reserve(count);
  std::uint32_t generation = 1;

  // Adds s and every state reachable from it without input.
  auto add = [&](std::vector<std::uint32_t>& list, std::uint32_t s) {
    pending.push_back(s);
    while (!pending.empty()) {
      std::uint32_t t = pending.back();
      pending.pop_back();
      if (mark[t] == generation) continue;
      mark[t] = generation;
      switch (states[t].op) {
        case Op::AnyRun:
          list.push_back(t);
          pending.push_back(t + 1);
          break;
        case Op::LevelsEnter:
          pending.push_back(t + 2);  // no levels at all
          pending.push_back(t + 1);
          break;
        default:
          list.push_back(t);
          break;
      }
    }
  };

  for (std::uint32_t s : starts) add(current, s);
  for (wchar_t c : folded) {
    ++generation;
    next.clear();
    const bool any = !IsLineTerminator(c);
    for (std::uint32_t s : current) {
      switch (states[s].op) {
        case Op::Literal:
          if (states[s].ch == c) add(next, s + 1);
          break;
        case Op::AnyChar:
          if (any) add(next, s + 1);
          break;
        case Op::AnyRun:
          if (any) add(next, s);
          break;
        case Op::Separator:
          if (IsSeparator(c)) add(next, s + 1);
          break;
        case Op::LevelsLoop:
          if (any) add(next, s);
          if (IsSeparator(c)) add(next, s + 1);
          break;
        case Op::LevelsEnter:
        case Op::Accept:
          break;
      }
    }
    current.swap(next);
    if (current.empty()) return false;
  }
  for (std::uint32_t s : current)
    if (states[s].op == Op::Accept) return true;
  return false;
}
