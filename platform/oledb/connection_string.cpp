// connection_string.cpp - parsing the provider's keyword=value text.
#include "platform/oledb/connection_string.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

namespace platform {
namespace {

void SkipBlanks(std::wstring_view text, std::size_t& at) {
  while (at < text.size() && IsBlank(text[at], Blanks::SpaceTabLine)) ++at;
}

// The keyword from at up to its "=" (a "==" is a literal "="); at ends after it.
bool ReadKeyword(std::wstring_view text, std::size_t& at, std::wstring& keyword) {
  std::wstring raw;
  while (at < text.size()) {
    const wchar_t c = text[at];
    if (c == L'=') {
      if (at + 1 < text.size() && text[at + 1] == L'=') {
        raw += L'=';
        at += 2;
        continue;
      }
      ++at;
      keyword = Trim(raw, Blanks::SpaceTabLine);
      return !keyword.empty();
    }
    if (c == L';') return false;
    raw += c;
    ++at;
  }
  return false;
}

// The value from at up to the ";" that ends the pair (or the end); at ends after it.
bool ReadValue(std::wstring_view text, std::size_t& at, std::wstring& value) {
  SkipBlanks(text, at);
  value.clear();
  if (at < text.size() && (text[at] == L'\'' || text[at] == L'"')) {
    const wchar_t quote = text[at++];
    for (;;) {
      if (at >= text.size()) return false;
      if (text[at] == quote) {
        if (at + 1 < text.size() && text[at + 1] == quote) {
          value += quote;
          at += 2;
          continue;
        }
        ++at;
        break;
      }
      value += text[at++];
    }
    SkipBlanks(text, at);
    if (at < text.size() && text[at] != L';') return false;
  } else {
    const std::size_t end = text.find(L';', at);
    const std::size_t stop = end == std::wstring_view::npos ? text.size() : end;
    value = Trim(text.substr(at, stop - at), Blanks::SpaceTabLine);
    at = stop;
  }
  if (at < text.size()) ++at;  // the ";"
  return true;
}

}  // namespace

HRESULT ParseConnectionString(std::wstring_view text, ConnectionProperties& out) {
  out.clear();
  std::size_t at = 0;
  for (;;) {
    SkipBlanks(text, at);
    while (at < text.size() && text[at] == L';') {  // empty pairs
      ++at;
      SkipBlanks(text, at);
    }
    if (at >= text.size()) return S_OK;
    std::wstring keyword, value;
    if (!ReadKeyword(text, at, keyword) || !ReadValue(text, at, value)) {
      out.clear();
      return E_INVALIDARG;
    }
    out.emplace_back(std::move(keyword), std::move(value));
  }
}

std::optional<std::wstring> FindKeyword(const ConnectionProperties& properties, std::wstring_view name) {
  for (const auto& [keyword, value] : properties)
    if (EqualsNoCase(keyword, name)) return value;
  return std::nullopt;
}

}  // namespace platform
