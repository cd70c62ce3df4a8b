// result_format_test.cpp - the format choice and the text escapes of the result formats, as named cases.
#include "REST APIs/HTTP Service/ResultFormats.h"

#include <gtest/gtest.h>

namespace {

enum class Format { None, Json, Xml, Xsl };

Format Chosen(const std::string& path, const char* accept) {
  web::http::http_request request(web::http::methods::GET);
  request.set_request_uri(web::uri(path));
  if (accept != nullptr) request.headers().add("Accept", accept);
  auto query = ResultStream<unsigned char>::ChooseFormat(request, true, RowFilter(), ValueFormatter());
  if (!query) return Format::None;
  if (dynamic_cast<ResultStream<unsigned char>::JsonQueryInfo*>(query.get())) return Format::Json;
  if (dynamic_cast<ResultStream<unsigned char>::XMLQueryInfo*>(query.get())) return Format::Xml;
  return Format::Xsl;
}

TEST(ResultFormatChoice, AcceptHeaderAndPath) {
  const struct {
    const char* name;
    const char* path;
    const char* accept;
    Format format;
  } cases[] = {
      {"second piece after a bare comma", "/q", "text/html,application/json", Format::Json},
      {"a blank after the comma is kept and matches nothing", "/q", "text/html, application/json", Format::None},
      {"parameters after a semicolon are cut", "/q", "application/json;q=0.9", Format::Json},
      {"comparison is case-sensitive", "/q", "APPLICATION/JSON", Format::None},
      {"anything gives XML", "/q", "*/*", Format::Xml},
      {"application/xml", "/q", "application/xml", Format::Xml},
      {"text/css gives the stylesheet", "/q", "text/css", Format::Xsl},
      {"first match wins", "/q", "application/xml,application/json", Format::Xml},
      {"no Accept header", "/q", nullptr, Format::None},
      {"a .xslt path wins in any case", "/report.XSLT", "application/json", Format::Xsl},
      {"an encoded .xslt path is decoded first", "/r%2Exslt", nullptr, Format::Xsl},
  };
  for (const auto& c : cases) EXPECT_EQ(Chosen(c.path, c.accept), c.format) << c.name;
}

struct EscapeCase {
  const char* name;
  std::wstring in, out;
};

TEST(ResultFormatText, JsonEscapes) {
  const EscapeCase cases[] = {
      {"quote backslash and line feed", L"a\"b\\\n", L"a\\\"b\\\\\\n"},
      {"carriage return kept as an escape", L"a\rb", L"a\\rb"},
      {"apostrophe unchanged", L"it's", L"it's"},
      {"other control characters as \\u", std::wstring(L"\x01\x1f", 2), L"\\u0001\\u001f"},
      {"tab, backspace, form feed", L"\t\b\f", L"\\t\\b\\f"},
      {"non-ASCII unchanged", L"\U0001F600\u00e9", L"\U0001F600\u00e9"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeJSON(c.in), c.out) << c.name;
}

TEST(ResultFormatText, XmlEscapes) {
  const EscapeCase cases[] = {
      {"markup characters", L"<a & \"b\">'", L"&lt;a &amp; &quot;b&quot;&gt;&apos;"},
      {"nothing to replace", L"plain text", L"plain text"},
      {"characters XML cannot hold", std::wstring(L"a\x01" L"b\xFFFE", 4), L"a\xFFFD" L"b\xFFFD"},
      {"carriage return survives parsing", L"a\rb", L"a&#13;b"},
      {"tab and line feed stay", L"a\tb\nc", L"a\tb\nc"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeXML(c.in), c.out) << c.name;
}

TEST(ResultFormatText, ColumnNamesBecomeXmlNames) {
  const EscapeCase cases[] = {
      {"valid name unchanged", L"id_2.x-y", L"id_2.x-y"},
      {"blanks, quotes and markup replaced", L"we\"ird <name> ", L"we_ird__name__"},
      {"leading digit prefixed", L"1st", L"_1st"},
      {"empty name", L"", L"_"},
      {"colon replaced (no namespaces)", L"a:b", L"a_b"},
      {"non-ASCII letters kept", L"\u00e9t\u00e9", L"\u00e9t\u00e9"},
      // Astral characters are refused in names by common parsers and XPath.
      {"astral character replaced", L"na\u00efve_\U0001F600", L"na\u00efve__"},
      {"symbols outside the letter classes replaced", L"a\u2603b", L"a_b"},
  };
  for (const auto& c : cases) EXPECT_EQ(XMLName(c.in), c.out) << c.name;
}

TEST(ResultFormatText, StylesheetLinkIsPercentEncoded) {
  EXPECT_EQ(PercentEncodePath("/my q.xslt"), "/my%20q.xslt");
  EXPECT_EQ(PercentEncodePath("/a\"b&c'<d>.xslt"), "/a%22b%26c%27%3Cd%3E.xslt");
  EXPECT_EQ(PercentEncodePath("/\xc3\xa9.xslt"), "/%C3%A9.xslt");
}

}  // namespace

namespace {
TEST(ResultFormatText, XmlHeadLinksTheDecodedPathEncodedAgain) {
  web::http::http_request request(web::http::methods::GET);
  request.set_request_uri(web::uri("/my%20q"));
  ResultStream<unsigned char>::XMLQueryInfo query(true, RowFilter(), ValueFormatter(), request);
  EXPECT_EQ(query.GetPrologue(),
            L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"/my%20q.xslt\"?>\r\n"
            L"<data>\r\n");
}
}  // namespace
