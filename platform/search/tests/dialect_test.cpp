// dialect_test.cpp - translation of the index's dialect and generation from a helper's settings.
#include "platform/search/dialect.h"

#include "platform/base/text.h"
#include "platform/oledb/oledb.h"

#include <gtest/gtest.h>

namespace {

using vnsearch::Translation;

std::string Text(const vnsearch::Parameter& p) {
  if (const auto* s = std::get_if<std::string>(&p)) return *s;
  if (const auto* n = std::get_if<std::int64_t>(&p)) return std::to_string(*n);
  return std::to_string(std::get<double>(p));
}

TEST(SearchDialect, TranslatesTheSubset) {
  const struct {
    const char* name;
    const wchar_t* text;
    const char* sql;
    std::vector<std::string> parameters;
  } cases[] = {
      {"plain select", L"SELECT System.ItemUrl FROM SystemIndex", "SELECT url AS \"System.ItemUrl\" FROM items", {}},
      {"quoted names, any case, catalogue prefix",
       L"select \"system.itemname\", System.Size from machine.\"SystemIndex\"",
       "SELECT name AS \"System.ItemName\", size AS \"System.Size\" FROM items", {}},
      {"top", L"SELECT TOP 5 System.ItemUrl FROM SystemIndex",
       "SELECT url AS \"System.ItemUrl\" FROM items LIMIT ?1", {"5"}},
      {"scope has a path boundary", L"SELECT System.ItemUrl FROM SystemIndex WHERE SCOPE = 'file:D:\\Docs\\'",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE (url_key = ?1 OR (url_key >= ?2 AND url_key < ?3))",
       {"file:d:/docs", "file:d:/docs/", "file:d:/docs0"}},
      {"directory", L"SELECT System.ItemUrl FROM SystemIndex WHERE DIRECTORY='file:D:/Docs'",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE folder_key = ?1", {"file:d:/docs"}},
      {"contains words and a prefix",
       L"SELECT System.ItemUrl FROM SystemIndex WHERE CONTAINS(System.ItemName, 'rep* \"q 1\"', 1033)",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE ((name LIKE ?1 ESCAPE '\\') AND (name LIKE ?2 ESCAPE '\\'))",
       {"%rep%", "%q 1%"}},
      {"freetext takes any word", L"SELECT System.ItemUrl FROM SystemIndex WHERE FREETEXT(*, 'a b')",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE ((words LIKE ?1 ESCAPE '\\') OR (words LIKE ?2 ESCAPE '\\'))",
       {"%a%", "%b%"}},
      {"contains star matches all", L"SELECT System.ItemUrl FROM SystemIndex WHERE CONTAINS('*')",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE 1", {}},
      {"comparisons, NOT, OR, order",
       L"SELECT System.ItemUrl FROM SystemIndex WHERE System.Size >= 10 AND NOT (System.ItemType = '.txt' OR "
       L"System.ItemType != 'Directory') ORDER BY System.Size DESC, System.ItemName",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE ((size >= ?1) AND (NOT ((type COLLATE NOCASE = ?2) OR "
       "(type COLLATE NOCASE <> ?3)))) ORDER BY size DESC, name COLLATE NOCASE",
       {"10", ".txt", "Directory"}},
      {"a literal is a parameter, whatever it holds",
       L"SELECT System.ItemUrl FROM SystemIndex WHERE System.ItemName = 'x'' OR ''1''=''1'",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE (name COLLATE NOCASE = ?1)", {"x' OR '1'='1"}},
      {"LIKE escapes nothing of its own", L"SELECT System.ItemUrl FROM SystemIndex WHERE System.ItemName LIKE 'a%'",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE (name LIKE ?1)", {"a%"}},
      {"contains escapes LIKE's characters", L"SELECT System.ItemUrl FROM SystemIndex WHERE CONTAINS(*, '50%_x')",
       "SELECT url AS \"System.ItemUrl\" FROM items WHERE (words LIKE ?1 ESCAPE '\\')", {"%50\\%\\_x%"}},
  };
  for (const auto& c : cases) {
    Translation t;
    std::wstring error;
    ASSERT_EQ(vnsearch::TranslateQuery(c.text, t, &error), S_OK) << c.name << ": " << platform::Utf8FromWide(error);
    EXPECT_EQ(t.sql, c.sql) << c.name;
    std::vector<std::string> parameters;
    for (const auto& p : t.parameters) parameters.push_back(Text(p));
    EXPECT_EQ(parameters, c.parameters) << c.name;
  }
}

TEST(SearchDialect, RefusesTextOutsideTheSubset) {
  const struct {
    const char* name;
    const wchar_t* text;
  } cases[] = {
      {"empty", L""},
      {"unknown property", L"SELECT System.Secret FROM SystemIndex"},
      {"star select", L"SELECT * FROM SystemIndex"},
      {"another table", L"SELECT System.ItemUrl FROM sqlite_master"},
      {"second statement", L"SELECT System.ItemUrl FROM SystemIndex; DROP TABLE items"},
      {"comment", L"SELECT System.ItemUrl FROM SystemIndex -- x"},
      {"unterminated literal", L"SELECT System.ItemUrl FROM SystemIndex WHERE System.ItemName = 'x"},
      {"bare word as value", L"SELECT System.ItemUrl FROM SystemIndex WHERE System.ItemName = name"},
      {"subquery", L"SELECT System.ItemUrl FROM SystemIndex WHERE System.Size = (SELECT 1)"},
      {"dangling AND", L"SELECT System.ItemUrl FROM SystemIndex WHERE AND System.Size > 1"},
      {"contains on a number", L"SELECT System.ItemUrl FROM SystemIndex WHERE CONTAINS(System.Size, '1')"},
      {"order by unknown", L"SELECT System.ItemUrl FROM SystemIndex ORDER BY url"},
  };
  for (const auto& c : cases) {
    Translation t;
    EXPECT_EQ(vnsearch::TranslateQuery(c.text, t), DB_E_ERRORSINCOMMAND) << c.name;
  }
}

TEST(SearchDialect, GeneratesFromTheHelperSettings) {
  const struct {
    const char* name;
    vnsearch::HelperSettings settings;
    const wchar_t* query;
    const wchar_t* sql;
  } cases[] = {
      {"star: no condition", {}, L"*", L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\""},
      {"a word with no syntax is a phrase", {}, L"report OR",
       L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE CONTAINS(*, '\"report\" \"OR\"')"},
      {"natural syntax keeps the words", {2, L"", L"System.ItemName, system.size", L"", L"System.Size DESC", 10}, L"a b",
       L"SELECT TOP 10 \"System.ItemName\", \"System.Size\" FROM \"SystemIndex\" WHERE CONTAINS(*, 'a b') ORDER BY "
       L"\"System.Size\" DESC"},
      {"the user's quote stays inside the literal", {2}, L"x' OR '1'='1",
       L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE CONTAINS(*, 'x'' OR ''1''=''1')"},
      {"restrictions lose AND and sit in parentheses", {2, L"", L"", L"AND SCOPE='file:D:/a' OR System.Size > 1"}, L"q",
       L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE CONTAINS(*, 'q') AND (SCOPE='file:D:/a' OR System.Size > 1)"},
      {"advanced syntax: name and ext", {1}, L"name:rep ext:pdf",
       L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE CONTAINS(\"System.ItemName\", 'rep') AND "
       L"\"System.FileExtension\" = '.pdf'"},
      {"content properties", {2, L"System.ItemName, System.ItemPathDisplay"}, L"q",
       L"SELECT \"System.ItemUrl\" FROM \"SystemIndex\" WHERE (CONTAINS(\"System.ItemName\", 'q') OR "
       L"CONTAINS(\"System.ItemPathDisplay\", 'q'))"},
      {"max results is clamped", {0, L"", L"", L"", L"", 2000000000}, L"*",
       L"SELECT TOP 1000000 \"System.ItemUrl\" FROM \"SystemIndex\""},
  };
  for (const auto& c : cases) {
    std::wstring sql;
    ASSERT_EQ(vnsearch::GenerateSql(c.settings, c.query, sql), S_OK) << c.name;
    EXPECT_EQ(platform::Utf8FromWide(sql), platform::Utf8FromWide(c.query == nullptr ? L"" : c.sql)) << c.name;
  }
}

TEST(SearchDialect, GenerationRefusesWhatIsNotDialect) {
  const struct {
    const char* name;
    vnsearch::HelperSettings settings;
  } cases[] = {
      {"restriction with a statement", {0, L"", L"", L"AND 1; DROP TABLE items"}},
      {"restriction that closes the parenthesis", {0, L"", L"", L"AND System.Size > 1) OR (1"}},
      {"select of an unknown column", {0, L"", L"System.ItemUrl, url_key"}},
      {"sorting with a function", {0, L"", L"", L"", L"random()"}},
      {"content property that is a number", {0, L"System.Size"}},
  };
  for (const auto& c : cases) {
    std::wstring sql;
    EXPECT_EQ(vnsearch::GenerateSql(c.settings, L"q", sql), E_INVALIDARG) << c.name;
    EXPECT_TRUE(sql.empty()) << c.name;
  }
}

TEST(SearchDialect, LocationKeysIgnoreSeparatorsAndCase) {
  EXPECT_EQ(vnsearch::LocationKey(L"file:D:\\Docs\\"), "file:d:/docs");
  EXPECT_EQ(vnsearch::LocationKey(L"D:/docs"), "file:d:/docs");
  EXPECT_EQ(vnsearch::LocationKey(L"FILE:d:/"), "file:d:");
}

}  // namespace
