// ResultFormats.cpp - writing rows as JSON or XML, and the stylesheet for the XML.
#include "REST APIs/HTTP Service/ResultFormats.h"

#include "platform/base/format.h"
#include "platform/base/text.h"

#include <cstring>
#include <cwctype>

namespace {

constexpr wchar_t kReplacement = 0xFFFD;
constexpr wchar_t kXslNamespace[] = L"http://www.w3.org/1999/XSL/Transform";

DBTYPE BaseType(DBTYPE type) { return static_cast<DBTYPE>(type & ~kDbTypeModifiers); }

bool IsStringType(DBTYPE type) {
  const DBTYPE t = BaseType(type);
  return t == DBTYPE_BSTR || t == DBTYPE_STR || t == DBTYPE_WSTR;
}

bool IsNumericType(DBTYPE type) {
  switch (BaseType(type)) {
    case DBTYPE_I1: case DBTYPE_I2: case DBTYPE_I4: case DBTYPE_I8:
    case DBTYPE_UI1: case DBTYPE_UI2: case DBTYPE_UI4: case DBTYPE_UI8:
    case DBTYPE_R4: case DBTYPE_R8: case DBTYPE_DECIMAL: case DBTYPE_NUMERIC: case DBTYPE_CY:
      return true;
    default:
      return false;
  }
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? : what JSON accepts bare.
bool IsJsonNumber(std::wstring_view s) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t start = i;
    while (i < s.size() && s[i] >= L'0' && s[i] <= L'9') ++i;
    return i - start;
  };
  if (i < s.size() && s[i] == L'-') ++i;
  if (i < s.size() && s[i] == L'0')
    ++i;
  else if (digits() == 0)
    return false;
  if (i < s.size() && s[i] == L'.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < s.size() && (s[i] == L'e' || s[i] == L'E')) {
    ++i;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) ++i;
    if (digits() == 0) return false;
  }
  return i == s.size();
}

bool IsXmlChar(wchar_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Letters that XML 1.0 (fourth edition) and libxml2's XPath both take in a
// name: a subset of its BaseChar and Ideographic classes, the scripts a
// column name is likely to use. Anything else (astral characters included,
// which many parsers refuse in names) becomes "_".
bool IsNameLetter(wchar_t c) {
  static const struct {
    wchar_t low, high;
  } kRanges[] = {
      {0x00C0, 0x00D6}, {0x00D8, 0x00F6}, {0x00F8, 0x00FF}, {0x0100, 0x0131}, {0x0134, 0x013E},
      {0x0141, 0x0148}, {0x014A, 0x017E}, {0x0180, 0x01C3}, {0x01CD, 0x01F0}, {0x01F4, 0x01F5},
      {0x01FA, 0x0217}, {0x0250, 0x02A8}, {0x0386, 0x0386}, {0x0388, 0x038A}, {0x038C, 0x038C},
      {0x038E, 0x03A1}, {0x03A3, 0x03CE}, {0x0401, 0x040C}, {0x040E, 0x044F}, {0x0451, 0x045C},
      {0x045E, 0x0481}, {0x05D0, 0x05EA}, {0x3041, 0x3094}, {0x30A1, 0x30FA}, {0x4E00, 0x9FA5},
      {0xAC00, 0xD7A3},
  };
  if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) return true;
  for (const auto& r : kRanges)
    if (c >= r.low && c <= r.high) return true;
  return false;
}

bool IsNameStart(wchar_t c) { return IsNameLetter(c) || c == L'_'; }

bool IsNameChar(wchar_t c) { return IsNameStart(c) || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.' || c == 0xB7; }

// A BOOL's text as the provider writes it ("True", "False"; "-1"/"0" from
// providers that write the VARIANT_BOOL).
bool IsTrue(std::wstring_view text) {
  return platform::EqualsNoCase(text, L"true") || text == L"-1" || text == L"1";
}

const wchar_t* Alignment(DBTYPE type) { return IsStringType(type) ? L"left" : L"right"; }

}  // namespace

namespace {

// The JSON escape, once for both outputs: runs of characters written as they
// are go to plain, escapes (ASCII) to escaped.
template <class Plain, class Escaped>
void EscapeJSONTo(std::wstring_view text, Plain&& plain, Escaped&& escaped) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    const char* escape = nullptr;
    char unicode[7];
    switch (c) {
      case L'"': escape = "\\\""; break;
      case L'\\': escape = "\\\\"; break;
      case L'\n': escape = "\\n"; break;
      case L'\r': escape = "\\r"; break;
      case L'\t': escape = "\\t"; break;
      case L'\b': escape = "\\b"; break;
      case L'\f': escape = "\\f"; break;
      default:
        if (c >= 0 && c < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          unicode[0] = '\\';
          unicode[1] = 'u';
          unicode[2] = '0';
          unicode[3] = '0';
          unicode[4] = kHex[c >> 4];
          unicode[5] = kHex[c & 15];
          unicode[6] = '\0';
          escape = unicode;
        }
    }
    if (escape == nullptr) continue;
    if (i > run) plain(text.substr(run, i - run));
    escaped(escape);
    run = i + 1;
  }
  if (text.size() > run) plain(text.substr(run));
}

// The XML escape, likewise; a character XML cannot hold is kReplacement.
template <class Plain, class Escaped>
void EscapeXMLTo(std::wstring_view text, Plain&& plain, Escaped&& escaped) {
  static constexpr wchar_t kReplacementText[] = {kReplacement, 0};
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    const char* escape = nullptr;
    switch (c) {
      case L'"': escape = "&quot;"; break;
      case L'&': escape = "&amp;"; break;
      case L'\'': escape = "&apos;"; break;
      case L'<': escape = "&lt;"; break;
      case L'>': escape = "&gt;"; break;
      case L'\r': escape = "&#13;"; break;  // a bare CR would be read back as a line feed
      default:
        if (IsXmlChar(c)) continue;
    }
    if (i > run) plain(text.substr(run, i - run));
    if (escape != nullptr)
      escaped(escape);
    else
      plain(std::wstring_view(kReplacementText, 1));
    run = i + 1;
  }
  if (text.size() > run) plain(text.substr(run));
}

// Appends text's JSON (or XML) escape to out as UTF-8, in one pass.
void AppendJSON(std::string& out, std::wstring_view text) {
  EscapeJSONTo(
      text, [&out](std::wstring_view run) { platform::AppendUtf8(out, run); },
      [&out](const char* escape) { out += escape; });
}

void AppendXML(std::string& out, std::wstring_view text) {
  EscapeXMLTo(
      text, [&out](std::wstring_view run) { platform::AppendUtf8(out, run); },
      [&out](const char* escape) { out += escape; });
}

}  // namespace

std::wstring EscapeJSON(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size() + 2);
  EscapeJSONTo(
      text, [&out](std::wstring_view run) { out += run; },
      [&out](const char* escape) { out.append(escape, escape + std::strlen(escape)); });
  return out;
}

std::wstring EscapeXML(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  EscapeXMLTo(
      text, [&out](std::wstring_view run) { out += run; },
      [&out](const char* escape) { out.append(escape, escape + std::strlen(escape)); });
  return out;
}

std::wstring XMLName(std::wstring_view name) {
  std::wstring out;
  if (name.empty() || !IsNameStart(name.front())) out += L'_';
  for (const wchar_t c : name) out += IsNameChar(c) ? c : L'_';
  return out;
}

std::string PercentEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      std::string_view("-._~/!$()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

HRESULT ResultStream<unsigned char>::JsonQueryInfo::NextRow(std::string& out) {
  return NextRowWith([this, &out](bool) {
    if (m_keys.empty()) {
      // Each member's key text, made once: the columns do not change between rows.
      m_keys.resize(BoundColumns().size());
      bool member = false;
      for (std::size_t i = 0; i < BoundColumns().size(); ++i) {
        const CBoundColumn& c = BoundColumns()[i];
        if (c.ordinal == 0) continue;  // the bookmark is never written
        std::string& key = m_keys[i];
        if (member) key += ',';
        member = true;
        key += '"';
        AppendJSON(key, c.name);
        key += "\":";
      }
    }
    out += m_written ? ",{" : "{";
    m_written = true;
    for (std::size_t i = 0; i < BoundColumns().size(); ++i) {
      if (BoundColumns()[i].ordinal == 0) continue;
      out += m_keys[i];
      const DBTYPE type = Type(i);
      const bool isNull = Status(i) == DBSTATUS_S_ISNULL;
      if (BaseType(type) == DBTYPE_BOOL) {
        out += !isNull && IsTrue(Text(i)) ? "true" : "false";
        continue;
      }
      const std::wstring_view value = isNull ? std::wstring_view() : ValueView(i, m_scratch);
      if (!IsStringType(type) && isNull) {
        out += "null";
      } else if (!IsStringType(type) && IsNumericType(type) && IsJsonNumber(value)) {
        platform::AppendUtf8(out, value);
      } else {
        out += '"';
        AppendJSON(out, value);
        out += '"';
      }
    }
    out += '}';
    return S_OK;
  });
}

ResultStream<unsigned char>::XMLQueryInfo::XMLQueryInfo(bool variantTypes, RowFilter filter, ValueFormatter formatter,
                                                       const web::http::http_request& request)
    : QueryInfo(variantTypes, std::move(filter), std::move(formatter)),
      m_stylesheet(platform::WideFromUtf8(PercentEncodePath(web::uri::decode(request.relative_uri().path()) + ".xslt"))) {}

std::wstring ResultStream<unsigned char>::XMLQueryInfo::GetPrologue() {
  return L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"" + m_stylesheet +
         L"\"?>\r\n<data>\r\n";
}

HRESULT ResultStream<unsigned char>::XMLQueryInfo::NextRow(std::string& out) {
  return NextRowWith([this, &out](bool) {
    if (m_names.empty()) {
      // Each column's element name, made once: the columns do not change between rows.
      m_names.resize(BoundColumns().size());
      for (std::size_t i = 0; i < BoundColumns().size(); ++i)
        if (BoundColumns()[i].ordinal != 0) m_names[i] = platform::Utf8FromWide(XMLName(BoundColumns()[i].name));
    }
    out += "<row>";
    for (std::size_t i = 0; i < BoundColumns().size(); ++i) {
      if (BoundColumns()[i].ordinal == 0) continue;
      const std::string& name = m_names[i];
      out += '<';
      out += name;
      out += '>';
      if (Status(i) != DBSTATUS_S_ISNULL) {
        if (BaseType(Type(i)) == DBTYPE_BOOL)
          out += IsTrue(Text(i)) ? "True" : "False";
        else
          AppendXML(out, ValueView(i, m_scratch));
      }
      out += "</";
      out += name;
      out += '>';
    }
    out += "</row>";
    return S_OK;
  });
}

std::wstring ResultStream<unsigned char>::XSLQueryInfo::GetPrologue() {
  std::wstring text = std::wstring(L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"") +
                      kXslNamespace +
                      L"\">\r\n<xsl:template match=\"/\">\r\n<html>\r\n<body>\r\n  <table>\r\n"
                      L"   <tr style=\"background-color:#EEEEEE\">\r\n";
  for (const CColumn& c : Columns()) {
    if (c.info.iOrdinal == 0) continue;
    text += std::wstring(L"    <th align=\"") + Alignment(c.info.wType) + L"\">" + EscapeXML(c.name) + L"</th>\r\n";
  }
  text += L"   </tr>\r\n   <xsl:for-each select=\"data/row\">\r\n   <tr>\r\n";
  for (const CColumn& c : Columns()) {
    if (c.info.iOrdinal == 0) continue;
    text += std::wstring(L"    <td align=\"") + Alignment(c.info.wType) + L"\"><xsl:value-of select=\"" +
            XMLName(c.name) + L"\"/></td>\r\n";
  }
  text += L"   </tr>\r\n   </xsl:for-each>\r\n  </table>\r\n</body>\r\n</html>\r\n</xsl:template>\r\n</xsl:stylesheet>\r\n";
  return text;
}
