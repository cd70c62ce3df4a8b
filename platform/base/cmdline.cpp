// cmdline.cpp - the CommandLineToArgvW rules over a wide string.
#include "platform/base/cmdline.h"

#include "platform/base/process.h"

namespace platform {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program name at the start; pos is left on the character after it.
std::wstring ProgramName(std::wstring_view line, std::size_t& pos) {
  std::size_t end = 0;
  if (!line.empty() && line[0] == L'"') {
    end = line.find(L'"', 1);
    if (end == std::wstring_view::npos) end = line.size();
    pos = end == line.size() ? end : end + 1;
    return std::wstring(line.substr(1, end - 1));
  }
  while (end < line.size() && !IsBlank(line[end])) ++end;
  pos = end;
  return std::wstring(line.substr(0, end));
}

// One argument starting at pos (not a blank); pos is left after it.
std::wstring NextArgument(std::wstring_view line, std::size_t& pos) {
  std::wstring arg;
  bool quoted = false;
  while (pos < line.size() && (quoted || !IsBlank(line[pos]))) {
    const wchar_t c = line[pos];
    if (c != L'\\' && c != L'"') {
      arg += c;
      ++pos;
      continue;
    }
    std::size_t slashes = 0;
    while (pos < line.size() && line[pos] == L'\\') ++slashes, ++pos;
    if (pos == line.size() || line[pos] != L'"') {
      arg.append(slashes, L'\\');  // not before a quote: as written
      continue;
    }
    arg.append(slashes / 2, L'\\');
    ++pos;  // the quote
    if (slashes % 2 == 1) {
      arg += L'"';
    } else if (quoted && pos < line.size() && line[pos] == L'"') {
      arg += L'"';  // "" inside quotes: a literal quote, and the quoted part ends
      ++pos;
      quoted = false;
    } else {
      quoted = !quoted;
    }
  }
  return arg;
}

}  // namespace

std::vector<std::wstring> CommandLineToArgvW(std::wstring_view commandLine) {
  if (commandLine.empty()) return {ExecutablePath()};
  std::size_t pos = 0;
  std::vector<std::wstring> args{ProgramName(commandLine, pos)};
  for (;;) {
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    if (pos == commandLine.size()) break;
    args.push_back(NextArgument(commandLine, pos));
  }
  return args;
}

}  // namespace platform
