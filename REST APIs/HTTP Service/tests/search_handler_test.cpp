// search_handler_test.cpp - the "SEARCH" handler over real HTTP, against the search index stand-in.
//
// The program registers the search server and the data-initialisation
// service in its own registry, maps drive D: to a fixture volume, fills the
// index with vnsearch-index and serves handler files through the factory
// map with a "Directory$docs" mapping as the listener would hand it over.
// Bodies are checked with curl, jq, xmllint and xsltproc; counts with find.
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/SearchRequestHandler.h"
#include "TestServer.h"

#include "LibService/Status.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/eventlog/eventlog.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kEventSource[] = L"Webbridge Search Test";
std::string g_root;    // content root: handler files and bodies
std::string g_volume;  // drive D:
const std::map<std::wstring, std::wstring> kListener = {
    {L"Directory$docs", L"\\\\?\\D:\\Docs"},
    {L"Directory$team", L"\\\\?\\D:\\Team's"},
    {L"Directory$plain", L"D:\\Docs"},  // the form the archive's directory objects give
    {L"Registry$Site", L"main"},
};

void WriteVolumeFile(const std::string& relative, const std::string& bytes) {
  const fs::path path = fs::path(g_volume) / relative;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  platform::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr), 0);
  ASSERT_EQ(platform::RegWriteString(k.get(), name, value), ERROR_SUCCESS);
}

class SearchEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_root = platform::testing::MakeTempDir("webbridge-search-");
    g_volume = g_root + "/volume";
    setenv("VANTREL_LOG_DIR", (g_root + "/log").c_str(), 1);
    WriteVolumeFile("Docs/a.txt", "a");
    WriteVolumeFile("Docs/report 1.pdf", std::string(1000, 'r'));
    WriteVolumeFile("Docs/it's.txt", "q");
    WriteVolumeFile("Docs/sub/b.txt", "bb");
    WriteVolumeFile("Docs/sub/deeper/c.doc", "ccc");
    WriteVolumeFile("DocsOld/old.txt", "o");
    WriteVolumeFile("Team's/notes.txt", "n");
    WriteVolumeFile("Media/clip.mov", "m");
    fs::create_directories(g_volume + "/Docs/empty");
    SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(g_volume));
    SetString(L"Software\\Vantrel\\Search", L"Index File", platform::WideFromUtf8(g_root + "/index.db"));
    platform::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Search", 0, KEY_ALL_ACCESS, key.put()), 0);
    ASSERT_EQ(platform::RegWriteMultiString(key.get(), L"Folders", {L"D:\\"}), ERROR_SUCCESS);
    ASSERT_EQ(RunProgram({REGISTER_TOOL, "/s", SEARCH_LIBRARY}).first, 0);
    ASSERT_EQ(RunProgram({REGISTER_TOOL, "/s", DATA_INIT_LIBRARY}).first, 0);
    ASSERT_EQ(RunProgram({INDEX_TOOL}).first, 0);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const CStatus status = RegisterEventLog(kEventSource);
    ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new SearchEnvironment);

std::string WriteHandler(const std::string& name, const std::string& bytes) {
  const std::string path = g_root + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// SEARCH requests made by this process (the search manager is made once per process).
std::atomic<int> g_searches{0};

Router SearchRouter(const std::string& handlerFile, std::map<std::wstring, std::wstring> parameters = kListener) {
  return [handlerFile, parameters](web::http::http_request&) {
    ++g_searches;
    Route route;
    CreateRequestHandler(route.handler, L"SEARCH", platform::WideFromUtf8(g_root), platform::WideFromUtf8(handlerFile));
    route.parameters = parameters;
    return route;
  };
}

// Status code as curl saw it ("000" when it gave up).
std::string Curl(const std::string& url, const std::string& accept, const std::string& out) {
  return RunProgram({"curl", "-s", "--max-time", "120", "-g", "-o", out, "-w", "%{http_code}", "-H", "Accept: " + accept, url})
      .second;
}

int Find(const std::string& relative, const std::string& extra = "") {
  return std::stoi(RunProgram({"sh", "-c", "find \"$1\" -type f " + extra + " | wc -l", "sh", g_volume + "/" + relative}).second);
}

int JsonInt(const std::string& filter, const std::string& body) {
  const auto [rc, out] = RunProgram({"jq", filter, body});
  return rc == 0 && !out.empty() ? std::stoi(out) : -1;
}

const char kDocsSample[] = SAMPLES_DIR "/docs.GET.SEARCH";

TEST(SearchHandler, SampleAnswersAsJsonXmlAndStylesheet) {
  TestServer server(SearchRouter(kDocsSample));
  const std::string json = g_root + "/docs.json", xml = g_root + "/docs.xml", xsl = g_root + "/docs.xsl";
  ASSERT_EQ(Curl(server.base() + "/docs", "application/json", json), "200");
  // Every result maps to the mapped URL prefix, no folder comes back, and
  // the count is that of find on the scope.
  EXPECT_EQ(JsonInt("length", json), Find("Docs"));
  EXPECT_EQ(RunProgram({"jq", "-e", "all(.[]; .[\"System.ItemUrl\"] | startswith(\"/docs/\"))", json}).first, 0);
  EXPECT_EQ(RunProgram({"jq", "-e", "all(.[]; .[\"System.ItemType\"] != \"Directory\")", json}).first, 0);
  EXPECT_EQ(RunProgram({"jq", "-r", "map(select(.[\"System.ItemName\"] == \"report 1.pdf\"))[0][\"System.ItemUrl\"]", json}).second,
            "/docs/report 1.pdf\n");
  ASSERT_EQ(Curl(server.base() + "/docs", "application/xml", xml), "200");
  ASSERT_EQ(Curl(server.base() + "/docs.xslt", "*/*", xsl), "200");
  EXPECT_EQ(RunProgram({"xmllint", "--noout", xml}).first, 0);
  EXPECT_EQ(RunProgram({"xmllint", "--noout", xsl}).first, 0);
  const auto [rc, html] = RunProgram({"xsltproc", xsl, xml});
  EXPECT_EQ(rc, 0);
  EXPECT_NE(html.find("/docs/sub/deeper/c.doc"), std::string::npos);
  EXPECT_EQ(html.find("D:/"), std::string::npos);
}

TEST(SearchHandler, OtherSamplesTakeTheirParameters) {
  const struct {
    const char* name;
    const char* file;
    const char* query;
    int count;
  } cases[] = {
      {"words of the query", "find.GET.SEARCH", "?q=report", 1},
      {"no query is every file", "find.GET.SEARCH", "", Find("Docs")},
      {"a folder below the mapping", "find.GET.SEARCH", "?folder=/sub", Find("Docs/sub")},
      {"at most max", "find.GET.SEARCH", "?max=2", 2},
      {"max with trailing letters", "find.GET.SEARCH", "?max=3abc", 3},
      {"an extension", "type.GET.SEARCH", "?ext=.txt", Find("Docs", "-name '*.txt'")},
  };
  for (const auto& c : cases) {
    TestServer server(SearchRouter(std::string(SAMPLES_DIR) + "/" + c.file));
    const std::string body = g_root + "/sample.json";
    ASSERT_EQ(Curl(server.base() + "/s" + c.query, "application/json", body), "200") << c.name;
    EXPECT_EQ(JsonInt("length", body), c.count) << c.name;
    EXPECT_EQ(RunProgram({"jq", "-e", "all(.[]; .[\"System.ItemUrl\"] | startswith(\"/docs/\"))", body}).first, 0) << c.name;
  }
}

TEST(SearchHandler, SettingsAndSubstitution) {
  const struct {
    const char* name;
    std::string file;
    std::string query;
    int count;
  } cases[] = {
      {"QUERY alone", "QUERY = report", "", 1},
      // Without a "file:" column the filter cannot tell folders: every item comes back.
      {"neither QUERY nor COMMAND: every item", "SELECTCOLUMNS = System.ItemName", "", -1},
      {"file: before the reference is not doubled", "SCOPE = file:$Directory$docs", "", Find("Docs")},
      {"scope and restrictions both apply",
       "SCOPE = $Directory$docs\nWHERERESTRICTIONS = AND System.FileExtension = '.txt'", "", Find("Docs", "-name '*.txt'")},
      {"restriction without AND", "SCOPE = $Directory$docs\nWHERERESTRICTIONS = System.Size > 1", "", Find("Docs", "-size +1c")},
      {"first NAME wins, in any case", "scope = $Directory$docs\nSCOPE = file:D:/Media", "", Find("Docs")},
      {"a comment line is no setting", "# SCOPE = file:D:/Media\nSCOPE = $Directory$docs", "", Find("Docs")},
      {"a folder with a quote in its name", "SCOPE = $Directory$team", "", Find("Team's")},
      {"a mapping without the long-path prefix", "SCOPE = $Directory$plain", "", Find("Docs")},
      {"a folder with a quote inside a restriction", "WHERERESTRICTIONS = AND SCOPE = 'file:$Directory$team'", "",
       Find("Team's")},
      {"a reference naming nothing drops its text", "SCOPE = $Directory$docs\nQUERY = $nothing", "", Find("Docs")},
      {"a query value is decoded", "SCOPE = $Directory$docs\nPATH = $p", "?p=%2Fsub", Find("Docs/sub")},
      {"natural syntax in lower case", "SCOPE = $Directory$docs\nSYNTAX = natural\nQUERY = report OR notes", "", 1},
      {"advanced syntax", "SCOPE = $Directory$docs\nSYNTAX = ADVANCED\nQUERY = ext:doc", "", 1},
      {"a ready command", "COMMAND = SELECT System.ItemUrl FROM SystemIndex WHERE SCOPE = 'file:$Directory$docs' AND "
                          "System.ItemName = '$n'", "?n=it's.txt", 1},
  };
  const int everything = Find(".") + std::stoi(RunProgram({"sh", "-c", "find \"$1\" -type d | wc -l", "sh", g_volume}).second);
  for (const auto& c : cases) {
    TestServer server(SearchRouter(WriteHandler("case.GET.SEARCH", c.file)));
    const std::string body = g_root + "/case.json";
    ASSERT_EQ(Curl(server.base() + "/c" + c.query, "application/json", body), "200") << c.name;
    EXPECT_EQ(JsonInt("length", body), c.count < 0 ? everything : c.count) << c.name;
  }
}

// Client values that try to change the query: never a wider result, never 500.
TEST(SearchHandler, InjectionNeverWidensTheResult) {
  const std::string file = WriteHandler("inj.GET.SEARCH",
                                        "SCOPE = $Directory$docs\n"
                                        "PATH = $sub\n"
                                        "WHERERESTRICTIONS = AND System.ItemName <> '$name' AND System.Size >= $min\n"
                                        "SELECTCOLUMNS = System.ItemUrl, $col\n"
                                        "SORTING = $sort\n"
                                        "MAXRESULTS = $max\n");
  const int all = Find("Docs");
  // Every reference gets a harmless value; each case changes one of them.
  const std::map<std::string, std::string> base = {{"sub", "/"}, {"name", "zzz"}, {"min", "0"},
                                                   {"col", "System.ItemName"}, {"sort", "System.ItemName"},
                                                   {"max", "100"}};
  const struct {
    const char* name;
    std::map<std::string, std::string> changed;
    const char* status = "200";  // a refused setting is a failure of the request, never a wider result
  } cases[] = {
      {"nothing changed", {}},
      {"a quote", {{"name", "%27"}}},
      {"an OR in a literal", {{"name", "%27%20OR%20%271%27%3D%271"}}},
      {"an OR as a number", {{"min", "0%20OR%201%3D1"}}},
      {"a reserved name", {{"Directory$docs", "%5C%5C%3F%5CD%3A%5C"}}},
      {"prefixes of a reserved name", {{"D", "x"}, {"Dir", "y"}, {"Directory", "z"}}},
      {"a climb", {{"sub", "../../.."}}},
      {"a climb with backslashes", {{"sub", "%5C..%5C..%5CDocsOld"}}},
      {"a climb to a sibling", {{"sub", "/../DocsOld"}}},
      {"SQL in the columns", {{"col", "System.Size)%20FROM%20x%20--"}}, "500"},
      {"SQL in the sorting", {{"sort", "System.Size;DROP"}}, "500"},
      {"a second column", {{"col", "System.Size,System.ItemPathDisplay"}}},
      {"a huge maximum", {{"max", "99999999999999999999"}}},
      {"letters after the maximum", {{"max", "10abc"}}},
  };
  TestServer server(SearchRouter(file));
  for (const auto& c : cases) {
    auto pairs = base;
    for (const auto& [k, v] : c.changed) pairs[k] = v;
    std::string query;
    for (const auto& [k, v] : pairs) query += (query.empty() ? "?" : "&") + k + "=" + v;
    const std::string body = g_root + "/inj.json";
    std::filesystem::remove(body);
    ASSERT_EQ(Curl(server.base() + "/i" + query, "application/json", body), c.status) << c.name;
    if (std::string(c.status) != "200") continue;
    const int count = JsonInt("length", body);
    EXPECT_GE(count, 0) << c.name;
    EXPECT_LE(count, all) << c.name;
    EXPECT_EQ(RunProgram({"jq", "-e", "all(.[]; .[\"System.ItemUrl\"] | startswith(\"/docs/\"))", body}).first, 0) << c.name;
  }
}

std::vector<std::vector<std::wstring>> Events(DWORD id) {
  std::vector<std::vector<std::wstring>> out;
  for (const auto& record : platform::ReadEventLog(kEventSource))
    if (record.eventId == id) out.push_back(record.strings);
  return out;
}

TEST(SearchHandler, FailuresAnswerAndLogOnce) {
  const std::string file = WriteHandler("bad.GET.SEARCH", "COMMAND = SELECT nothing FROM SystemIndex");
  TestServer server(SearchRouter(file));
  EXPECT_EQ(Curl(server.base() + "/b", "application/json", g_root + "/b.out"), "500");
  EXPECT_EQ(Curl(server.base() + "/b", "application/json", g_root + "/b.out"), "500");
  const auto events = Events(0xC0000A2C);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(platform::Utf8FromWide(events[0].back()), "SELECT nothing FROM SystemIndex");
  TestServer missing(SearchRouter(g_root + "/none.GET.SEARCH"));
  EXPECT_EQ(Curl(missing.base() + "/m", "application/json", g_root + "/m.out"), "404");
  TestServer refused(SearchRouter(WriteHandler("sel.GET.SEARCH", "SELECTCOLUMNS = System.Nothing")));
  EXPECT_EQ(Curl(refused.base() + "/r", "application/json", g_root + "/r.out"), "500");
  EXPECT_EQ(Events(0xC0000A2B).size(), 1u);
}

TEST(SearchHandler, AManagerThatCannotBeMadeDoesNotBlockLaterRequests) {
  if (g_searches.load() != 0) GTEST_SKIP() << "needs a process without a search manager (CTest runs each test alone)";
  const std::wstring key = L"Software\\Classes\\CLSID\\{7D096C5F-AC08-4F1F-BEB7-5C22C517CE39}";
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS);
  TestServer server(SearchRouter(kDocsSample));
  const std::string body = g_root + "/mgr.json";
  EXPECT_EQ(Curl(server.base() + "/d", "application/json", body), "500");
  EXPECT_EQ(Curl(server.base() + "/d", "application/json", body), "500");  // not left waiting for the lock
  EXPECT_EQ(Events(0xC0000A28).size(), 1u);
  ASSERT_EQ(RunProgram({REGISTER_TOOL, "/s", SEARCH_LIBRARY}).first, 0);
  EXPECT_EQ(Curl(server.base() + "/d", "application/json", body), "200");
  EXPECT_EQ(JsonInt("length", body), Find("Docs"));
}

// Resident memory of this process in KiB.
long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::uint16_t AskDirectly(const std::string& file, const std::string& uri) {
  ++g_searches;
  std::shared_ptr<CHTTPServer::CRequestHandler> handler;
  CreateRequestHandler(handler, L"SEARCH", platform::WideFromUtf8(g_root), platform::WideFromUtf8(file));
  web::http::http_request request(web::http::methods::GET);
  request.set_request_uri(uri);
  request.headers().add("Accept", "application/json");
  std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response;
  handler->Handle(response, request, L"", kListener);
  return response->GetStatusCode();
}

TEST(SearchHandler, ManyDistinctFailuresLeaveEventsCappedAndMemoryFlat) {
  const std::string file = WriteHandler("many.GET.SEARCH", "COMMAND = SELECT $q FROM SystemIndex");
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(AskDirectly(file, "/m?q=warm" + std::to_string(i)), 500);
  const long before = ResidentKiB();
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(AskDirectly(file, "/m?q=x" + std::to_string(i)), 500);
  const long after = ResidentKiB();
  EXPECT_LE(Events(0xC0000A2C).size(), kMaxReportedErrors);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers hold freed memory back (ASan's quarantine), so resident
  // size says nothing there; leaks are the leak checker's to find.
  (void)before;
  (void)after;
#else
  // 10,000 remembered texts of ~100 characters would be several MiB.
  EXPECT_LT(after - before, 4096) << before << " -> " << after;
#endif
}

TEST(SearchHandler, RowFilterAndValueMapping) {
  const std::wstring folder = L"file:D:/Docs/sub", file = L"file:D:/Docs/a.txt", gone = L"file:D:/Docs/gone.txt";
  const struct {
    const char* name;
    std::vector<std::wstring> row;
    HRESULT expected;
  } rows[] = {
      {"a folder", {L"x", folder}, S_FALSE},
      {"a file", {file, L"a.txt"}, S_OK},
      {"a path that is not there", {gone}, S_OK},
      {"no file: column", {L"D:/Docs/sub"}, S_OK},
      // A NULL column reads as an empty text: the columns after it still count.
      {"a NULL first column before a folder", {L"", folder}, S_FALSE},
  };
  for (const auto& r : rows) {
    const ColumnLookup lookup = [&r](DBORDINAL o) -> const wchar_t* {
      return o >= 1 && o <= r.row.size() ? r.row[o - 1].c_str() : nullptr;
    };
    EXPECT_EQ(SkipDirectoryRows(lookup), r.expected) << r.name;
  }
  const SearchPathMap paths = {{L"file:D:/Docs", L"/docs"}, {L"file:D:/Docs/sub", L"/sub"}, {L"file:D:/A B", L"/ab"}};
  const struct {
    const wchar_t* in;
    const char* out;
  } values[] = {
      {L"file:D:/Docs/a.txt", "/docs/a.txt"},
      {L"file:D:/Docs/sub/b.txt", "/sub/b.txt"},   // the longest mapping
      {L"file:D:/DocsOld/old.txt", ""},             // a "/" boundary; unmapped gives nothing away
      {L"file:d:/docs/a.txt", "/docs/a.txt"},       // Windows paths ignore case
      {L"file:D:/A B/x", "/ab/x"},
      {L"a.txt", "a.txt"},
  };
  for (const auto& v : values) EXPECT_EQ(platform::Utf8FromWide(MapResultValue(paths, v.in, 1)), v.out);
  EXPECT_EQ(MapResultValue({}, L"file:D:/Docs/a.txt", 1), L"file:D:/Docs/a.txt");
  EXPECT_EQ(MapResultValue(paths, nullptr, 1), L"");
}

TEST(SearchHandler, ScopeStaysInsideItsMapping) {
  const SearchPathMap paths = {{L"file:D:/Docs", L"/docs"}};
  const struct {
    const wchar_t* scope;
    const wchar_t* path;
    const char* restriction;
  } cases[] = {
      {L"file:D:/Docs", L"", "AND SCOPE = 'file:D:\\Docs'"},
      {L"file:D:/Docs", L"/sub/./x//", "AND SCOPE = 'file:D:\\Docs\\sub\\x'"},
      {L"file:D:/Docs", L"/../../..", "AND SCOPE = 'file:D:\\Docs'"},
      {L"file:D:/Docs", L"/a/../../DocsOld", "AND SCOPE = 'file:D:\\Docs\\DocsOld'"},
      {L"file:D:/Docs/../x", L"", "AND SCOPE = 'file:D:\\Docs\\x'"},
      {L"file:D:/Other/../x", L"", "AND SCOPE = 'file:D:\\x'"},  // no mapping: plain normalisation
      {L"file:D:/It's", L"", "AND SCOPE = 'file:D:\\It''s'"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(platform::Utf8FromWide(SearchScopeRestriction(c.scope, c.path, paths)), c.restriction)
        << platform::Utf8FromWide(c.scope) << " + " << platform::Utf8FromWide(c.path);
}

TEST(SearchHandler, ReferencesMatchWholeNamesAndReservedOnesOnlyTheListener) {
  const std::map<std::wstring, std::wstring> listener = {
      {L"Directory$docs", L"\\\\?\\D:\\Docs"}, {L"Registry$Site", L"main"}, {L"site", L"server"}};
  const struct {
    const char* name;
    std::map<std::wstring, std::wstring> query;
    const char* value;
    const char* expected;
  } cases[] = {
      {"a client cannot take over a mapping by prefix", {{L"D", L"x"}, {L"Dir", L"y"}}, "$Directory$docs", "file:D:/Docs"},
      {"a client cannot supply a reserved name", {{L"Registry$Site", L"evil"}}, "$Registry$Site", "main"},
      {"a whole name", {{L"ab", L"1"}, {L"a", L"2"}}, "$ab", "1"},
      {"a name followed by other text", {{L"a", L"2"}}, "$a/x", "2/x"},
      {"a longer reference is no match for a shorter name", {{L"a", L"2"}}, "$abc", ""},
      {"a query value is decoded", {{L"p", L"%2Ftmp"}}, "$p", "/tmp"},
      {"a query parameter before a listener's of the same name", {{L"site", L"client"}}, "$site", "client"},
      {"a listener's parameter when the query has none", {}, "$site", "server"},
  };
  for (const auto& c : cases) {
    SearchPathMap paths;
    const auto settings = ReadSearchSettings(std::string("SCOPE = ") + c.value, c.query, listener, paths);
    ASSERT_EQ(settings.count(L"SCOPE"), 1u) << c.name;
    EXPECT_EQ(platform::Utf8FromWide(settings.at(L"SCOPE")), c.expected) << c.name;
  }
  SearchPathMap paths;
  const auto where = ReadSearchSettings("WHERERESTRICTIONS = AND System.ItemName = '$n' AND System.Size > $m\n"
                                        "SORTING = $s\nSELECTCOLUMNS = $s\n",
                                        {{L"n", L"it%27s"}, {L"m", L"1%20OR%201"}, {L"s", L"System.Size%20DESC;x"}},
                                        listener, paths);
  EXPECT_EQ(platform::Utf8FromWide(where.at(L"WHERERESTRICTIONS")),
            "AND System.ItemName = 'it''s' AND System.Size > '1 OR 1'");
  EXPECT_EQ(platform::Utf8FromWide(where.at(L"SORTING")), "System.Size DESCx");
  EXPECT_EQ(platform::Utf8FromWide(where.at(L"SELECTCOLUMNS")), "System.Size DESCx");
}

}  // namespace
