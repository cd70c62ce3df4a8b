// dialect.cpp - tokens, the recursive-descent parser over them, and the query generator.
#include "platform/search/dialect.h"

#include "platform/base/text.h"
#include "platform/oledb/oledb.h"

#include <algorithm>
#include <cwctype>
#include <optional>

namespace vnsearch {
namespace {

const std::vector<Property> kProperties = {
    {L"System.ItemUrl", "url", true},
    {L"System.ItemName", "name", true},
    {L"System.ItemNameDisplay", "name", true},
    {L"System.FileName", "name", true},
    {L"System.ItemType", "type", true},
    {L"System.FileExtension", "extension", true},
    {L"System.ItemPathDisplay", "path", true},
    {L"System.ItemFolderPathDisplay", "folder_path", true},
    {L"System.Size", "size", false},
    {L"System.DateModified", "modified", false},
    {L"System.DateCreated", "created", false},
    {L"System.Kind", "kind", true},
    {L"System.IsFolder", "(kind = 'folder')", false, true},
};

enum class Tok { End, Word, String, Number, Op, Punct };

struct Token {
  Tok kind = Tok::End;
  std::wstring text;  // a word as written (quotes removed), a string's value, an operator
  std::size_t at = 0;
};

bool IsWordChar(wchar_t c) { return std::iswalnum(c) || c == L'_' || c == L'.' || c == L'$'; }

HRESULT Tokenise(std::wstring_view s, std::vector<Token>& out, std::wstring* error) {
  auto fail = [&](std::size_t at, const wchar_t* what) {
    if (error != nullptr) *error = std::wstring(what) + L" at " + std::to_wstring(at);
    return DB_E_ERRORSINCOMMAND;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    const wchar_t c = s[i];
    if (std::iswspace(c)) {
      ++i;
      continue;
    }
    Token t;
    t.at = i;
    if (c == L'\'') {
      t.kind = Tok::String;
      ++i;
      for (;;) {
        if (i >= s.size()) return fail(t.at, L"unterminated literal");
        if (s[i] == L'\'') {
          if (i + 1 < s.size() && s[i + 1] == L'\'') {
            t.text += L'\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text += s[i++];
      }
    } else if (c == L'"') {
      // A quoted property name.
      t.kind = Tok::Word;
      const std::size_t end = s.find(L'"', i + 1);
      if (end == std::wstring_view::npos) return fail(i, L"unterminated name");
      t.text = std::wstring(s.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (std::iswdigit(c) || (c == L'-' && i + 1 < s.size() && std::iswdigit(s[i + 1]))) {
      t.kind = Tok::Number;
      t.text += s[i++];
      while (i < s.size() && (std::iswdigit(s[i]) || s[i] == L'.')) t.text += s[i++];
    } else if (IsWordChar(c)) {
      t.kind = Tok::Word;
      while (i < s.size() && IsWordChar(s[i])) t.text += s[i++];
    } else if (c == L'<' || c == L'>' || c == L'=' || c == L'!') {
      t.kind = Tok::Op;
      t.text += s[i++];
      if (i < s.size() && (s[i] == L'=' || (t.text == L"<" && s[i] == L'>'))) t.text += s[i++];
      if (t.text == L"!") return fail(t.at, L"unknown operator");
    } else if (c == L'(' || c == L')' || c == L',' || c == L'*') {
      t.kind = Tok::Punct;
      t.text = std::wstring(1, c);
      ++i;
    } else {
      return fail(i, L"unexpected character");
    }
    out.push_back(std::move(t));
  }
  Token end;
  end.at = s.size();
  out.push_back(end);
  return S_OK;
}

std::string Utf8(std::wstring_view s) { return platform::Utf8FromWide(std::wstring(s)); }

std::string Lower(std::wstring_view s) {
  std::wstring lower(s);
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return Utf8(lower);
}

// A LIKE pattern that matches text anywhere ("\" escapes).
std::string Anywhere(std::wstring_view term) {
  std::string out = "%";
  for (char c : Lower(term)) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out + "%";
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, Translation& out, std::wstring* error)
      : m_tokens(std::move(tokens)), m_out(out), m_error(error) {}

  bool Query() {
    if (!Keyword(L"SELECT")) return Fail(L"SELECT expected");
    std::optional<std::int64_t> top;
    if (Keyword(L"TOP")) {
      if (Peek().kind != Tok::Number) return Fail(L"number expected after TOP");
      top = std::clamp<std::int64_t>(std::wcstoll(Next().text.c_str(), nullptr, 10), 0, kMaxQueryResults);
    }
    std::string select;
    do {
      const Property* p = PropertyName();
      if (p == nullptr) return false;
      if (!select.empty()) select += ", ";
      select += std::string(p->column) + " AS \"" + Utf8(p->name) + "\"";
      m_out.columns.push_back(p->name);
    } while (Punct(L","));
    if (!Keyword(L"FROM")) return Fail(L"FROM expected");
    const Token& from = Next();
    std::wstring catalog = from.text;
    if (from.kind == Tok::Word && !catalog.empty() && catalog.back() == L'.' && Peek().kind == Tok::Word)
      catalog = Next().text;  // machine."SystemIndex"
    const std::size_t dot = catalog.rfind(L'.');
    if (dot != std::wstring::npos) catalog = catalog.substr(dot + 1);
    if (from.kind != Tok::Word || !platform::EqualsNoCase(catalog, L"SystemIndex")) return Fail(L"unknown catalogue");
    std::string where;
    if (Keyword(L"WHERE") && !Condition(where)) return false;
    std::string order;
    if (Keyword(L"ORDER")) {
      if (!Keyword(L"BY")) return Fail(L"BY expected");
      do {
        const Property* p = PropertyName();
        if (p == nullptr) return false;
        if (!order.empty()) order += ", ";
        order += p->column;
        if (p->text) order += " COLLATE NOCASE";
        if (Keyword(L"DESC"))
          order += " DESC";
        else
          Keyword(L"ASC");
      } while (Punct(L","));
    }
    if (Peek().kind != Tok::End) return Fail(L"unexpected text");
    m_out.sql = "SELECT " + select + " FROM items";
    if (!where.empty()) m_out.sql += " WHERE " + where;
    if (!order.empty()) m_out.sql += " ORDER BY " + order;
    if (top) m_out.sql += " LIMIT " + Bind(*top);
    return true;
  }

 private:
  const Token& Peek() const { return m_tokens[m_pos]; }
  const Token& Next() { return m_tokens[m_pos < m_tokens.size() - 1 ? m_pos++ : m_pos]; }
  bool Fail(const wchar_t* what) {
    if (m_error != nullptr && m_error->empty()) *m_error = std::wstring(what) + L" at " + std::to_wstring(Peek().at);
    return false;
  }
  bool Keyword(const wchar_t* word) {
    if (Peek().kind == Tok::Word && platform::EqualsNoCase(Peek().text, word)) {
      ++m_pos;
      return true;
    }
    return false;
  }
  bool IsKeyword(const wchar_t* word, std::size_t ahead = 0) const {
    const Token& t = m_tokens[std::min(m_pos + ahead, m_tokens.size() - 1)];
    return t.kind == Tok::Word && platform::EqualsNoCase(t.text, word);
  }
  bool Punct(const wchar_t* p) {
    if (Peek().kind == Tok::Punct && Peek().text == p) {
      ++m_pos;
      return true;
    }
    return false;
  }
  const Property* PropertyName() {
    if (Peek().kind != Tok::Word) {
      Fail(L"property expected");
      return nullptr;
    }
    const Property* p = FindProperty(Peek().text);
    if (p == nullptr) {
      Fail(L"unknown property");
      return nullptr;
    }
    ++m_pos;
    return p;
  }
  std::string Bind(Parameter value) {
    m_out.parameters.push_back(std::move(value));
    return "?" + std::to_string(m_out.parameters.size());
  }

  bool Condition(std::string& out) {
    std::string left;
    if (!AndTerm(left)) return false;
    while (Keyword(L"OR")) {
      std::string right;
      if (!AndTerm(right)) return false;
      left = "(" + left + " OR " + right + ")";
    }
    out = left;
    return true;
  }
  bool AndTerm(std::string& out) {
    std::string left;
    if (!NotTerm(left)) return false;
    while (Keyword(L"AND")) {
      std::string right;
      if (!NotTerm(right)) return false;
      left = "(" + left + " AND " + right + ")";
    }
    out = left;
    return true;
  }
  bool NotTerm(std::string& out) {
    if (Keyword(L"NOT")) {
      std::string inner;
      if (!NotTerm(inner)) return false;
      out = "(NOT " + inner + ")";
      return true;
    }
    return Primary(out);
  }
  bool Primary(std::string& out) {
    if (Punct(L"(")) {
      if (!Condition(out)) return false;
      if (!Punct(L")")) return Fail(L") expected");
      return true;
    }
    const bool contains = IsKeyword(L"CONTAINS"), freetext = IsKeyword(L"FREETEXT");
    if ((contains || freetext) && m_tokens[m_pos + 1].kind == Tok::Punct && m_tokens[m_pos + 1].text == L"(") {
      m_pos += 2;
      return FullText(freetext, out);
    }
    if ((IsKeyword(L"SCOPE") || IsKeyword(L"DIRECTORY")) && m_tokens[m_pos + 1].kind == Tok::Op) {
      const bool scope = IsKeyword(L"SCOPE");
      ++m_pos;
      if (Next().text != L"=") return Fail(L"= expected");
      if (Peek().kind != Tok::String) return Fail(L"location literal expected");
      const std::string key = LocationKey(Next().text);
      if (!scope) {
        out = "folder_key = " + Bind(key);
        return true;
      }
      // The location itself and what lies below it, with a "/" boundary.
      const std::string self = Bind(key), below = Bind(key + "/"), after = Bind(key + "0");
      out = "(url_key = " + self + " OR (url_key >= " + below + " AND url_key < " + after + "))";
      return true;
    }
    const Property* p = PropertyName();
    if (p == nullptr) return false;
    const std::string column = p->column;
    const std::string collate = p->text ? " COLLATE NOCASE" : "";
    if (Keyword(L"LIKE")) {
      if (Peek().kind != Tok::String) return Fail(L"pattern literal expected");
      out = "(" + column + " LIKE " + Bind(Utf8(Next().text)) + ")";
      return true;
    }
    if (Keyword(L"IS")) {
      const bool negated = Keyword(L"NOT");
      if (!Keyword(L"NULL")) return Fail(L"NULL expected");
      out = "(" + column + (negated ? " IS NOT NULL)" : " IS NULL)");
      return true;
    }
    if (Peek().kind != Tok::Op) return Fail(L"comparison expected");
    std::wstring op = Next().text;
    if (op == L"!=") op = L"<>";
    std::string value;
    if (Peek().kind == Tok::String) {
      value = Bind(Utf8(Next().text));
    } else if (Peek().kind == Tok::Number) {
      const std::wstring number = Next().text;
      if (number.find(L'.') != std::wstring::npos)
        value = Bind(std::wcstod(number.c_str(), nullptr));
      else
        value = Bind(static_cast<std::int64_t>(std::wcstoll(number.c_str(), nullptr, 10)));
    } else {
      return Fail(L"literal expected");
    }
    out = "(" + column + collate + " " + Utf8(op) + " " + value + ")";
    return true;
  }

  // CONTAINS/FREETEXT ( [property | * ,] 'terms' [, locale] )
  bool FullText(bool anyTerm, std::string& out) {
    std::string column = "words";
    if (!(Peek().kind == Tok::String)) {
      if (Punct(L"*")) {
      } else {
        const Property* p = PropertyName();
        if (p == nullptr) return false;
        if (!p->text) return Fail(L"text property expected");
        column = p->column;
      }
      if (!Punct(L",")) return Fail(L", expected");
    }
    if (Peek().kind != Tok::String) return Fail(L"terms literal expected");
    const std::wstring terms = Next().text;
    if (Punct(L",")) {
      if (Peek().kind != Tok::Number) return Fail(L"locale expected");
      Next();
    }
    if (!Punct(L")")) return Fail(L") expected");
    return Terms(terms, column, anyTerm, out);
  }

  // Words and "phrases" joined by AND (FREETEXT: OR), with OR and NOT
  // between terms; "*" alone matches everything, a trailing "*" is a prefix.
  bool Terms(const std::wstring& text, const std::string& column, bool anyTerm, std::string& out) {
    std::string expr;
    std::string join = anyTerm ? " OR " : " AND ";
    bool negate = false;
    std::size_t i = 0;
    while (i < text.size()) {
      if (std::iswspace(text[i])) {
        ++i;
        continue;
      }
      std::wstring term;
      bool phrase = false;
      if (text[i] == L'"') {
        const std::size_t end = text.find(L'"', i + 1);
        term = text.substr(i + 1, (end == std::wstring::npos ? text.size() : end) - i - 1);
        i = end == std::wstring::npos ? text.size() : end + 1;
        phrase = true;
      } else {
        while (i < text.size() && !std::iswspace(text[i])) term += text[i++];
      }
      if (!phrase && !anyTerm && (term == L"OR" || term == L"AND" || term == L"NOT")) {
        if (term == L"OR") join = " OR ";
        if (term == L"NOT") negate = !negate;
        continue;
      }
      while (!term.empty() && term.back() == L'*') term.pop_back();
      std::string match = term.empty() ? "1" : "(" + column + " LIKE " + Bind(Anywhere(term)) + " ESCAPE '\\')";
      if (negate) match = "(NOT " + match + ")";
      expr = expr.empty() ? match : "(" + expr + join + match + ")";
      join = anyTerm ? " OR " : " AND ";
      negate = false;
    }
    out = expr.empty() ? "1" : expr;
    return true;
  }

  std::vector<Token> m_tokens;
  std::size_t m_pos = 0;
  Translation& m_out;
  std::wstring* m_error;
};

std::vector<std::wstring> SplitList(std::wstring_view list) {
  std::vector<std::wstring> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(L',', start);
    const std::size_t length = comma == std::wstring_view::npos ? std::wstring_view::npos : comma - start;
    items.emplace_back(platform::Trim(list.substr(start, length), platform::Blanks::Space));
    if (comma == std::wstring_view::npos) break;
    start = comma + 1;
  }
  return items;
}

// "Name" or "Name ASC|DESC" with a known property; the canonical text.
bool ListItem(const std::wstring& item, bool sorting, std::wstring& out) {
  std::wstring name = item, direction;
  const std::size_t blank = item.find_first_of(L" \t");
  if (blank != std::wstring::npos) {
    name = item.substr(0, blank);
    direction = platform::Trim(std::wstring_view(item).substr(blank), platform::Blanks::Space);
  }
  if (name.size() > 2 && name.front() == L'"' && name.back() == L'"') name = name.substr(1, name.size() - 2);
  const Property* p = FindProperty(name);
  if (p == nullptr) return false;
  out = std::wstring(L"\"") + p->name + L"\"";
  if (direction.empty()) return true;
  if (!sorting) return false;
  if (platform::EqualsNoCase(direction, L"ASC")) out += L" ASC";
  else if (platform::EqualsNoCase(direction, L"DESC")) out += L" DESC";
  else return false;
  return true;
}

HRESULT CanonicalList(std::wstring_view list, bool sorting, std::wstring& out) {
  out.clear();
  for (const auto& item : SplitList(list)) {
    std::wstring canonical;
    if (!ListItem(item, sorting, canonical)) return E_INVALIDARG;
    if (!out.empty()) out += L", ";
    out += canonical;
  }
  return S_OK;
}

// The user's query as a content condition over one property (or all text).
std::wstring ContentCondition(const std::wstring& column, const std::wstring& query) {
  return L"CONTAINS(" + column + L", " + QuoteLiteral(query) + L")";
}

}  // namespace

const std::vector<Property>& Properties() { return kProperties; }

const Property* FindProperty(std::wstring_view name) {
  for (const auto& p : kProperties)
    if (platform::EqualsNoCase(name, p.name)) return &p;
  return nullptr;
}

HRESULT TranslateQuery(std::wstring_view text, Translation& out, std::wstring* error) {
  out = Translation{};
  std::vector<Token> tokens;
  HRESULT hr = Tokenise(text, tokens, error);
  if (FAILED(hr)) return hr;
  Parser parser(std::move(tokens), out, error);
  if (!parser.Query()) {
    out = Translation{};
    return DB_E_ERRORSINCOMMAND;
  }
  return S_OK;
}

HRESULT CheckPropertyList(std::wstring_view list, bool sorting) {
  std::wstring canonical;
  return CanonicalList(list, sorting, canonical);
}

std::wstring QuoteLiteral(std::wstring_view text) {
  std::wstring out = L"'";
  for (wchar_t c : text) {
    if (c == L'\'') out += L'\'';
    out += c;
  }
  return out + L"'";
}

std::string LocationKey(std::wstring_view location) {
  std::wstring path(location);
  if (path.size() >= 5 && platform::EqualsNoCase(std::wstring_view(path).substr(0, 5), L"file:")) path = path.substr(5);
  for (auto& c : path) {
    if (c == L'\\') c = L'/';
    c = static_cast<wchar_t>(std::towlower(c));
  }
  while (!path.empty() && path.back() == L'/') path.pop_back();
  return "file:" + Utf8(path);
}

HRESULT GenerateSql(const HelperSettings& settings, std::wstring_view userQuery, std::wstring& sql) {
  sql.clear();
  std::wstring columns = L"\"System.ItemUrl\"";
  if (!settings.selectColumns.empty() && FAILED(CanonicalList(settings.selectColumns, false, columns)))
    return E_INVALIDARG;
  std::wstring sorting;
  if (!settings.sorting.empty() && FAILED(CanonicalList(settings.sorting, true, sorting))) return E_INVALIDARG;
  std::vector<std::wstring> content{L"*"};
  if (!settings.contentProperties.empty()) {
    std::wstring list;
    if (FAILED(CanonicalList(settings.contentProperties, false, list))) return E_INVALIDARG;
    content.clear();
    for (const auto& item : SplitList(list)) {
      const Property* p = FindProperty(item.substr(1, item.size() - 2));
      if (!p->text) return E_INVALIDARG;
      content.push_back(item);
    }
  }

  // The user's query: words and phrases; advanced syntax also takes
  // name:, ext: and type: restrictions; without a syntax every word is
  // taken as a phrase, so no word acts as an operator.
  std::wstring query(platform::Trim(userQuery, platform::Blanks::Space));
  std::vector<std::wstring> conditions;
  if (settings.syntax == 1) {
    std::wstring rest;
    std::size_t i = 0;
    while (i < query.size()) {
      std::size_t end = i;
      while (end < query.size() && !std::iswspace(query[end])) ++end;
      const std::wstring word = query.substr(i, end - i);
      const std::size_t colon = word.find(L':');
      const std::wstring alias = colon == std::wstring::npos ? L"" : word.substr(0, colon);
      const std::wstring value = colon == std::wstring::npos ? L"" : word.substr(colon + 1);
      if (!value.empty() && platform::EqualsNoCase(alias, L"name"))
        conditions.push_back(ContentCondition(L"\"System.ItemName\"", value));
      else if (!value.empty() && (platform::EqualsNoCase(alias, L"ext") || platform::EqualsNoCase(alias, L"type")))
        conditions.push_back(L"\"System.FileExtension\" = " + QuoteLiteral(value.front() == L'.' ? value : L"." + value));
      else
        rest += (rest.empty() ? L"" : L" ") + word;
      i = end;
      while (i < query.size() && std::iswspace(query[i])) ++i;
    }
    query = rest;
  } else if (settings.syntax == 0) {
    std::wstring phrases;
    std::size_t i = 0;
    while (i < query.size()) {
      std::size_t end = i;
      while (end < query.size() && !std::iswspace(query[end])) ++end;
      std::wstring word = query.substr(i, end - i);
      std::erase(word, L'"');
      if (word == L"*")
        phrases += (phrases.empty() ? L"" : L" ") + word;
      else if (!word.empty())
        phrases += (phrases.empty() ? L"\"" : L" \"") + word + L"\"";
      i = end;
      while (i < query.size() && std::iswspace(query[i])) ++i;
    }
    query = phrases;
  }
  if (!query.empty() && query != L"*") {
    std::wstring any;
    for (const auto& column : content) {
      if (!any.empty()) any += L" OR ";
      any += ContentCondition(column == L"*" ? column : column, query);
    }
    conditions.push_back(content.size() > 1 ? L"(" + any + L")" : any);
  }
  std::wstring restrictions(platform::Trim(settings.whereRestrictions, platform::Blanks::Space));
  if (restrictions.size() >= 3 && platform::EqualsNoCase(std::wstring_view(restrictions).substr(0, 3), L"AND") &&
      (restrictions.size() == 3 || !IsWordChar(restrictions[3])))
    restrictions = std::wstring(platform::Trim(std::wstring_view(restrictions).substr(3), platform::Blanks::Space));
  // In parentheses, so that an OR in the restrictions cannot undo the user's query.
  if (!restrictions.empty()) conditions.push_back(L"(" + restrictions + L")");

  sql = L"SELECT ";
  if (settings.maxResults > 0) sql += L"TOP " + std::to_wstring(std::min(settings.maxResults, kMaxQueryResults)) + L" ";
  sql += columns + L" FROM \"SystemIndex\"";
  for (std::size_t i = 0; i < conditions.size(); ++i) sql += (i == 0 ? L" WHERE " : L" AND ") + conditions[i];
  if (!sorting.empty()) sql += L" ORDER BY " + sorting;
  Translation check;
  if (FAILED(TranslateQuery(sql, check))) {
    sql.clear();
    return E_INVALIDARG;
  }
  return S_OK;
}

}  // namespace vnsearch
