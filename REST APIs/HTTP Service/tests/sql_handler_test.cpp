// sql_handler_test.cpp - the "SQL" handler over real HTTP, with the archive's provider over SQLite.
//
// Each test program registers the data-initialisation service and the
// provider in its own registry, makes a fixture database with the sqlite3
// tool and serves handler files through the factory map. Bodies are checked
// by independent peers: sqlite3 -json and Python's json, jq, xmllint and
// xsltproc, curl.
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/ResultFormats.h"
#include "REST APIs/HTTP Service/SQLRequestHandler.h"
#include "TestServer.h"

#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

const char kFixture[] = R"SQL(
CREATE TABLE t(id INTEGER, i2 SMALLINT, i4 INT, r4 REAL4, r8 REAL, dec DECIMAL(30,5), num NUMERIC, b BSTR,
               s VARCHAR(20), w TEXT, flag BOOL, i1 TINYINT, u1 UTINYINT, u2 USMALLINT, u4 UINT, u8 UBIGINT,
               g GUID, bin BLOB, d DATETIME);
INSERT INTO t VALUES(1, -7, 123456, 1.5, -2.25, '123456789012345678901234.56789', 42, 'bstr', 'it''s "q"',
  'ctl:' || char(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31) ||
  ' \ back "dq" cr' || char(13) || 'lf' || char(10) || 'emoji ' || char(128512) || ' <&>',
  1, -5, 200, 60000, 4000000000, 9000000000000000000, X'00112233445566778899AABBCCDDEEFF', X'CAFE',
  '2024-01-02 03:04:05');
INSERT INTO t(id) VALUES(2);
INSERT INTO t(id, w, flag) VALUES(3, printf('%.9000c', 'x') || 'end', 0);
)SQL";

// A query whose columns sqlite3 -json renders as we do (strings, integers, reals, BOOL).
const char kCompared[] =
    "SELECT id, i2, i4, r8, b, s, w, flag, i1, u4, d, id + 1 AS \"we\"\"ird <name> \", w AS w FROM t ORDER BY id";

std::string g_db;
std::string g_root;

bool SetValue(const wchar_t* name, const std::wstring& value) {
  platform::RegKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Corvellane\\OLEDBProvider", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return platform::RegWriteString(key.get(), name, value) == ERROR_SUCCESS;
}

class SqlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(RunProgram({REGISTER_TOOL, DATA_INIT_LIBRARY}).first, 0);
    ASSERT_EQ(RunProgram({REGISTER_TOOL, PROVIDER_LIBRARY}).first, 0);
    g_root = platform::testing::MakeTempDir("webbridge-sql-");
    g_db = g_root + "/fixture.db";
    ASSERT_EQ(RunProgram({"sqlite3", g_db, kFixture}).first, 0);
    ASSERT_TRUE(SetValue(L"Database", platform::WideFromUtf8(g_db)));
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new SqlEnvironment);

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = g_root + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Serves every path with the SQL handler file handlerFile, made through the factory map.
Router SqlRouter(const std::string& handlerFile, std::map<std::wstring, std::wstring> parameters = {}) {
  return [handlerFile, parameters](web::http::http_request&) {
    Route route;
    CreateRequestHandler(route.handler, L"SQL", platform::WideFromUtf8(g_root), platform::WideFromUtf8(handlerFile));
    route.parameters = parameters;
    route.user = L"alice";
    return route;
  };
}

std::pair<int, std::string> Curl(const std::string& url, const std::string& accept, const std::string& out) {
  return RunProgram({"curl", "-s", "-o", out, "-w", "%{http_code}", "-H", "Accept: " + accept, url});
}

TEST(SqlHandler, JsonEqualsSqliteAndPassesJq) {
  TestServer server(SqlRouter(WriteFile("compared.GET.SQL", kCompared)));
  const std::string body = g_root + "/compared.json";
  const auto [rc, code] = Curl(server.base() + "/q", "application/json", body);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(code, "200");
  EXPECT_EQ(RunProgram({"jq", "-e", "length == 3", body}).first, 0);
  const auto [same, diff] = RunProgram({"python3", SQL_PEER, "json", body, g_db, kCompared, "b,s,w", "flag"});
  EXPECT_EQ(same, 0) << diff;
}

TEST(SqlHandler, EveryTypeGivesValidJson) {
  TestServer server(SqlRouter(WriteFile("all.GET.SQL", "SELECT * FROM t ORDER BY id")));
  const std::string body = g_root + "/all.json";
  ASSERT_EQ(Curl(server.base() + "/all", "application/json", body).second, "200");
  EXPECT_EQ(RunProgram({"python3", "-c", "import json,sys; json.load(open(sys.argv[1]))", body}).first, 0);
  const auto [rc, out] = RunProgram({"jq", "-r", ".[0].g, .[0].bin, (.[0].dec | tostring | .[0:5]), .[0].flag, .[1].flag, (.[2].w | .[0:12])", body});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "{33221100-5544-7766-8899-AABBCCDDEEFF}\nCAFE\n12345\ntrue\nfalse\nxxxxxxxxxxxx\n");
}

TEST(SqlHandler, XmlAndStylesheetMakeOneTableRowPerResultRow) {
  TestServer server(SqlRouter(WriteFile("x.GET.SQL", kCompared)));
  const std::string xml = g_root + "/x.xml", xsl = g_root + "/x.xsl";
  ASSERT_EQ(Curl(server.base() + "/my%20q", "application/xml", xml).second, "200");
  ASSERT_EQ(Curl(server.base() + "/my%20q.xslt", "text/html", xsl).second, "200");
  EXPECT_EQ(RunProgram({"xmllint", "--noout", xml}).first, 0);
  EXPECT_EQ(RunProgram({"xmllint", "--noout", xsl}).first, 0);
  std::ifstream in(xml);
  std::string head;
  std::getline(in, head);
  std::getline(in, head);
  EXPECT_EQ(head, "<?xml-stylesheet type=\"text/xsl\" href=\"/my%20q.xslt\"?>\r");
  const auto [rc, rows] = RunProgram({"python3", SQL_PEER, "rows", xml, xsl});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(rows, "3\n");  // one plain <tr> per result row (the heading row carries a style)
}

TEST(SqlHandler, StylesheetDoesNotRunTheQuery) {
  RunProgram({"sqlite3", g_db, "CREATE TABLE IF NOT EXISTS hits(n INTEGER)"});
  TestServer server(SqlRouter(WriteFile("ins.GET.SQL", "INSERT INTO hits VALUES(1) RETURNING n")));
  const std::string out = g_root + "/ins.out";
  ASSERT_EQ(Curl(server.base() + "/ins.xslt", "*/*", out).second, "200");
  EXPECT_EQ(RunProgram({"sqlite3", g_db, "SELECT count(*) FROM hits"}).second, "0\n");
  ASSERT_EQ(Curl(server.base() + "/ins", "application/json", out).second, "200");
  EXPECT_EQ(RunProgram({"sqlite3", g_db, "SELECT count(*) FROM hits"}).second, "1\n");  // run once
  EXPECT_EQ(RunProgram({"jq", "-c", ".", out}).second, "[{\"n\":1}]\n");
}

TEST(SqlHandler, ParametersBindByNameAndServerValuesWin) {
  const std::string file = WriteFile("p.GET.SQL", "SELECT :a AS a, :Session$User AS u, :site AS site, :Session$Host AS h");
  TestServer server(SqlRouter(file, {{L"site", L"server"}}));
  const std::string out = g_root + "/p.json";
  ASSERT_EQ(Curl(server.base() + "/p?a=b%20c&Session$User=mallory&site=client", "application/json", out).second, "200");
  const auto [rc, text] = RunProgram({"jq", "-r", ".[0].a, .[0].u, .[0].site, (.[0].h | test(\"127.0.0.1\"))", out});
  EXPECT_EQ(text, "b c\nalice\nserver\ntrue\n");
}

TEST(SqlHandler, StatusesOfFailures) {
  const struct {
    const char* name;
    std::string file;
    const char* accept;
    const char* code;
  } cases[] = {
      {"missing handler file", g_root + "/none.GET.SQL", "application/json", "404"},
      {"no format for the Accept header", WriteFile("f1.GET.SQL", "SELECT 1"), "text/html", "415"},
      {"Accept in capitals", WriteFile("f2.GET.SQL", "SELECT 1"), "APPLICATION/JSON", "415"},
      {"blank after the comma", WriteFile("f3.GET.SQL", "SELECT 1"), "text/html, application/json", "415"},
      {"bad SQL", WriteFile("f4.GET.SQL", "SELEC nothing"), "application/json", "500"},
      {"statement without rows is an empty result", WriteFile("f5.GET.SQL", "UPDATE t SET i1 = i1 WHERE 0"),
       "application/json", "200"},
  };
  for (const auto& c : cases) {
    TestServer server(SqlRouter(c.file));
    EXPECT_EQ(Curl(server.base() + "/f", c.accept, g_root + "/f.out").second, c.code) << c.name;
  }
}

TEST(SqlHandler, MissingDatabaseIsAServerError) {
  ASSERT_TRUE(SetValue(L"Database", platform::WideFromUtf8(g_root + "/no-such.db")));
  TestServer server(SqlRouter(WriteFile("nodb.GET.SQL", "SELECT 1")));
  EXPECT_EQ(Curl(server.base() + "/nodb", "application/json", g_root + "/nodb.out").second, "500");
}

TEST(SqlHandler, RowFailureBreaksTheTransfer) {
  const std::string file = WriteFile(
      "fail.GET.SQL",
      "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 10000) "
      "SELECT x, CASE WHEN x = 5000 THEN abs(-9223372036854775807 - 1) ELSE x END AS y FROM n");
  TestServer server(SqlRouter(file));
  const auto [rc, code] = Curl(server.base() + "/fail", "application/json", g_root + "/fail.out");
  EXPECT_EQ(code, "200");
  EXPECT_EQ(rc, 18);  // the body ends early, not cleanly
}

// The JSON body of sql as the stream a reply reads, made without a server
// (the first block is written on this thread, as on a query thread).
void OpenJsonBody(const char* sql, concurrency::streams::istream& body) {
  auto query = ResultStream<unsigned char>::ChooseFormat(
      [] {
        web::http::http_request r(web::http::methods::GET);
        r.headers().add("Accept", "application/json");
        return r;
      }(),
      true, RowFilter(), ValueFormatter());
  ASSERT_TRUE(query);
  ASSERT_EQ(query->Open(L"Provider=Vantrel.OLEDBProvider"), S_OK);
  ASSERT_EQ(query->Execute(platform::WideFromUtf8(sql)), S_OK);
  auto* holder = new ResultStream<unsigned char>::CallbackOpen();
  auto task = holder->Task();
  holder->Start(query);
  body = task.get();
}

TEST(SqlHandler, ByteAtATimeReaderGetsTheSameBody) {
  TestServer server(SqlRouter(WriteFile("b.GET.SQL", kCompared)));
  const std::string whole = g_root + "/whole.json";
  ASSERT_EQ(Curl(server.base() + "/b", "application/json", whole).second, "200");
  std::ifstream in(whole, std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  concurrency::streams::istream body;
  ASSERT_NO_FATAL_FAILURE(OpenJsonBody(kCompared, body));
  std::string got;
  unsigned char byte;
  for (;;) {
    const size_t n = body.streambuf().getn(&byte, 1).get();
    if (n == 0) break;
    got += static_cast<char>(byte);
  }
  EXPECT_EQ(got, expected);
}

// Values at the edges of what the writers handle, byte for byte in JSON and
// XML: shortest round-trip doubles, the widest integers, NULL, escapes,
// characters XML cannot hold, characters beyond the BMP, values longer than
// a body block.
TEST(SqlHandler, EdgeValuesAreWrittenExactly) {
  const std::string mebi(1 << 20, 'x');
  const struct {
    const char* name;
    std::string expression, json, xml;
  } cases[] = {
      {"double needing 17 digits", "0.1 + 0.2", "0.30000000000000004", "0.30000000000000004"},
      {"large double", "1e15", "1e+15", "1e+15"},
      {"small double", "1.5e-7", "1.5e-07", "1.5e-07"},
      {"smallest subnormal", "5e-324", "5e-324", "5e-324"},
      {"largest double", "1.7976931348623157e308", "1.7976931348623157e+308", "1.7976931348623157e+308"},
      {"negative double", "-2.5", "-2.5", "-2.5"},
      {"whole double", "4.0", "4", "4"},
      {"largest integer", "9223372036854775807", "9223372036854775807", "9223372036854775807"},
      {"smallest integer", "-9223372036854775807 - 1", "-9223372036854775808", "-9223372036854775808"},
      {"NULL", "NULL", "null", ""},
      {"control characters", "char(31, 127, 8, 12)", "\"\\u001f\x7f\\b\\f\"", "\xEF\xBF\xBD\x7f\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"quotes and markup", "'\"\\<&>''' || char(13, 10, 9)", "\"\\\"\\\\<&>'\\r\\n\\t\"",
       "&quot;\\&lt;&amp;&gt;&apos;&#13;\n\t"},
      {"beyond the BMP", "char(128512, 65, 1114111)", "\"\xF0\x9F\x98\x80" "A\xF4\x8F\xBF\xBF\"",
       "\xF0\x9F\x98\x80" "A\xF4\x8F\xBF\xBF"},
      {"not a character in XML", "char(65534)", "\"\xEF\xBF\xBE\"", "\xEF\xBF\xBD"},
      {"text of a number", "'12'", "\"12\"", "12"},
      {"1 MiB text", "printf('%.1048576c', 'x')", "\"" + mebi + "\"", mebi},
      {"1 MiB text, then an astral character", "printf('%.1048576c', 'x') || char(128512)",
       "\"" + mebi + "\xF0\x9F\x98\x80\"", mebi + "\xF0\x9F\x98\x80"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "edge" + std::to_string(n++);
    TestServer server(SqlRouter(WriteFile(name + ".GET.SQL", "SELECT " + c.expression + " AS v, 1 AS after")));
    const std::string json = Probe("GET", server.base() + "/" + name, {{"Accept", "application/json"}}).body;
    EXPECT_TRUE(json == "[{\"v\":" + c.json + ",\"after\":1}]") << c.name << ": " << json.substr(0, 200);
    const std::string xml = Probe("GET", server.base() + "/" + name, {{"Accept", "*/*"}}).body;
    EXPECT_NE(xml.find("<data>\r\n<row><v>" + c.xml + "</v><after>1</after></row></data>\r\n"), std::string::npos)
        << c.name << ": " << xml.substr(0, 300);
  }
}

// A body of many blocks: whole and in order however it is read, equal to
// sqlite3's rows, and well-formed XML with every row.
TEST(SqlHandler, BodyOfManyBlocksIsWholeInAnyReadSize) {
  const char query[] =
      "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 30000) "
      "SELECT x AS id, 'r' || x || char(1, 128512, 10) AS name, x * 0.25 AS quarter, "
      "CASE WHEN x % 7 THEN x END AS maybe FROM n";
  TestServer server(SqlRouter(WriteFile("blocks.GET.SQL", query)));
  const std::string whole = g_root + "/blocks.json";
  ASSERT_EQ(Curl(server.base() + "/blocks", "application/json", whole).second, "200");
  const auto [same, diff] = RunProgram({"python3", SQL_PEER, "json", whole, g_db, query, "", ""});
  EXPECT_EQ(same, 0) << diff;
  std::ifstream in(whole, std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(expected.size(), 8 * kBodyBlockBytes);

  concurrency::streams::istream body;
  ASSERT_NO_FATAL_FAILURE(OpenJsonBody(query, body));
  const std::size_t sizes[] = {1, 7, 4096, kBodyBlockBytes, kBodyBlockBytes + 1, 100000, 3};
  std::vector<unsigned char> buffer(200000);
  std::string got;
  for (std::size_t i = 0;; ++i) {
    const size_t n = body.streambuf().getn(buffer.data(), sizes[i % std::size(sizes)]).get();
    if (n == 0) break;
    got.append(reinterpret_cast<const char*>(buffer.data()), n);
  }
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);

  const std::string xml = g_root + "/blocks.xml";
  ASSERT_EQ(Curl(server.base() + "/blocks", "application/xml", xml).second, "200");
  EXPECT_EQ(RunProgram({"xmllint", "--noout", xml}).first, 0);
  const auto [rc, rows] = RunProgram({"python3", "-c",
                                      "import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); "
                                      "print(len(r), r[-1].find('id').text, r[6].find('maybe').text)",
                                      xml});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(rows, "30000 30000 None\n");
}

// A command prepared to declare its parameters runs that compiled text at
// its Execute, with the values bound, and stays prepared after it: its
// columns are still described, and a second Execute runs the text again.
TEST(SqlHandler, PreparedCommandRunsItsCompiledTextAndStaysPrepared) {
  struct Exposed : CHTMLDataBuffer {
    using CHTMLDataBuffer::CHTMLDataBuffer;
    ICommand* Command() const { return m_command.Get(); }
    std::wstring FirstValue() {
      if (!HasStringBinding() && FAILED(BuildStringBinding())) return L"(no binding)";
      if (StepRow() != S_OK || FAILED(ReadRow())) return L"(no row)";
      std::wstring text(Text(0));
      FreeRowReferences();
      return text;
    }
  };
  Exposed query(true, RowFilter(), ValueFormatter());
  ASSERT_EQ(query.Open(L"Provider=Vantrel.OLEDBProvider"), S_OK);
  const std::wstring text = L"SELECT :a || 'x' AS v";
  std::vector<std::wstring> names;
  ASSERT_EQ(query.DeclaredParameters(text, names), S_OK);
  ASSERT_EQ(names, std::vector<std::wstring>{L"a"});
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(L"p");
  query.AddParameter(L"a", value);
  VariantClear(&value);
  ASSERT_EQ(query.Execute(text), S_OK);
  EXPECT_EQ(query.FirstValue(), L"px");

  platform::ComPtr<IColumnsInfo> info;
  ASSERT_EQ(query.Command()->QueryInterface(IID_PPV_ARGS(info.GetAddressOf())), S_OK);
  DBORDINAL count = 0;
  DBCOLUMNINFO* columns = nullptr;
  OLECHAR* strings = nullptr;
  ASSERT_EQ(info->GetColumnInfo(&count, &columns, &strings), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(columns[0].pwszName, L"v");
  CoTaskMemFree(columns);
  CoTaskMemFree(strings);

  // Run again (no values: :a is NULL), the command compiles its text anew.
  platform::ComPtr<IRowset> again;
  ASSERT_EQ(query.Command()->Execute(nullptr, IID_IRowset, nullptr, nullptr,
                                     reinterpret_cast<IUnknown**>(again.GetAddressOf())),
            S_OK);
  ASSERT_TRUE(again);
  DBCOUNTITEM obtained = 0;
  HROW row = 0;
  HROW* rows = &row;
  EXPECT_EQ(again->GetNextRows(0, 0, 1, &obtained, &rows), S_OK);
  EXPECT_EQ(obtained, 1u);
  again->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
}

TEST(SqlHandler, UnimplementedBufferMethodsThrowTheirNames) {
  auto query = std::make_shared<ResultStream<unsigned char>::JsonQueryInfo>(true, RowFilter(), ValueFormatter());
  ResultStream<unsigned char>::BasicBuffer buffer(query);
  try {
    buffer.in_avail();
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Unimplemented method BasicBuffer::in_avail()");
  }
}

TEST(SqlHandler, EmptyResultIsPrologueAndEpilogue) {
  TestServer server(SqlRouter(WriteFile("e.GET.SQL", "SELECT id FROM t WHERE 0")));
  EXPECT_EQ(Probe("GET", server.base() + "/e", {{"Accept", "application/json"}}).body, "[]");
  EXPECT_EQ(Probe("GET", server.base() + "/e", {{"Accept", "*/*"}}).body,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"/e.xslt\"?>\r\n"
            "<data>\r\n</data>\r\n");
  const ProbeReply reply = Probe("GET", server.base() + "/e", {{"Accept", "application/json"}});
  EXPECT_EQ(reply.Header("Cache-Control"), "no-store");  // CacheMode 4
}

TEST(SqlHandler, StylesheetAlignsByType) {
  TestServer server(SqlRouter(WriteFile("al.GET.SQL", "SELECT id, w FROM t")));
  const std::string body = Probe("GET", server.base() + "/al.xslt").body;
  EXPECT_NE(body.find("    <th align=\"right\">id</th>\r\n    <th align=\"left\">w</th>\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("<td align=\"left\"><xsl:value-of select=\"w\"/></td>"), std::string::npos);
  EXPECT_NE(body.find("xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\""), std::string::npos);
}

TEST(SqlHandler, BookmarkColumnIsNeverWritten) {
  platform::RegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Corvellane\\OLEDBProvider", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(key.get(), L"Bookmarks", 1), ERROR_SUCCESS);
  TestServer server(SqlRouter(WriteFile("bm.GET.SQL", "SELECT id FROM t ORDER BY id")));
  EXPECT_EQ(Probe("GET", server.base() + "/bm", {{"Accept", "application/json"}}).body,
            "[{\"id\":1},{\"id\":2},{\"id\":3}]");
  const std::string sheet = Probe("GET", server.base() + "/bm.xslt").body;
  EXPECT_EQ(sheet.find("Bookmark"), std::string::npos) << sheet;
  const std::string xml = Probe("GET", server.base() + "/bm", {{"Accept", "*/*"}}).body;
  EXPECT_NE(xml.find("<row><id>1</id></row><row><id>2</id></row>"), std::string::npos) << xml;
}

TEST(SqlHandler, HundredsOfParametersAreBoundWhole) {
  const std::string file = WriteFile("many.GET.SQL", "SELECT :p250 AS v, length(:big) AS n");
  std::string query = "/many?big=" + std::string(20000, 'y');
  for (int i = 0; i < 300; ++i) query += "&p" + std::to_string(i) + "=value" + std::to_string(i);
  TestServer server(SqlRouter(file));
  EXPECT_EQ(Probe("GET", server.base() + query, {{"Accept", "application/json"}}).body,
            "[{\"v\":\"value250\",\"n\":20000}]");
}

TEST(SqlHandler, ReservedNames) {
  EXPECT_TRUE(IsReservedParameterName(L"session$user"));
  EXPECT_TRUE(IsReservedParameterName(L"Registry$X"));
  EXPECT_TRUE(IsReservedParameterName(L"Directory$"));
  EXPECT_FALSE(IsReservedParameterName(L"Session"));
}

}  // namespace
