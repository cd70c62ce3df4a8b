// dialect.h - the index's SQL dialect: properties, translation to SQLite, and generation.
//
// The dialect (README.md) is parsed into a statement over the index's
// "items" table. Nothing of the text reaches SQLite as text: property names
// are looked up in a fixed table and written from it, and every literal
// becomes a bound parameter. GenerateSql builds the dialect's text from a
// query helper's settings and a user's query; it quotes what it writes, so a
// user's query is always one literal.
#pragma once

#include "platform/base/types.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vnsearch {

// One System.* property of the index: its name and its column of "items".
struct Property {
  const wchar_t* name;
  const char* column;
  bool text;          // compared without regard to letter case, usable in CONTAINS
  bool boolean = false;  // 0 or 1, handed out as a VARIANT of row type BOOL ("True", "False")
};
// The property of that name in any letter case, or nullptr.
const Property* FindProperty(std::wstring_view name);
const std::vector<Property>& Properties();

using Parameter = std::variant<std::int64_t, double, std::string>;

struct Translation {
  std::string sql;                      // SQLite text, parameters "?1", "?2", ...
  std::vector<Parameter> parameters;    // in order
  std::vector<std::wstring> columns;    // the selected properties, as the result names them
};

// DB_E_ERRORSINCOMMAND for text outside the dialect (error says where).
HRESULT TranslateQuery(std::wstring_view text, Translation& out, std::wstring* error = nullptr);

// The most rows a query returns (TOP and max results are clamped to it).
constexpr long kMaxQueryResults = 1000000;

struct HelperSettings {
  int syntax = 0;                   // SEARCH_QUERY_SYNTAX
  std::wstring contentProperties;   // comma-separated text properties; empty: all text
  std::wstring selectColumns;       // comma-separated; empty: System.ItemUrl
  std::wstring whereRestrictions;   // dialect text, usually starting with "AND"
  std::wstring sorting;             // "Property [ASC|DESC], ..."
  long maxResults = 0;              // <= 0: no TOP
};

// Checks a property list ("A, B") or a sort list ("A DESC, B"); E_INVALIDARG
// for a name outside the table or anything else.
HRESULT CheckPropertyList(std::wstring_view list, bool sorting);

// The dialect's SQL for userQuery under settings; E_INVALIDARG when the
// settings or the result are not valid dialect.
HRESULT GenerateSql(const HelperSettings& settings, std::wstring_view userQuery, std::wstring& sql);

// text as a dialect literal: in single quotes, each "'" doubled.
std::wstring QuoteLiteral(std::wstring_view text);

// The key a location is compared by: "file:" + the path with "/" separators,
// lower case, no trailing "/" ("file:D:\A\" and "D:/a" give "file:d:/a").
std::string LocationKey(std::wstring_view location);

}  // namespace vnsearch
