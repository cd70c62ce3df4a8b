// search_test.cpp - FindFirstFileW: wildcards, case, name order and its codes.
#include "fs_fixture.h"

#include <vector>

namespace {

std::vector<std::wstring> Find(const std::wstring& pattern, DWORD& error) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  error = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.emplace_back(data.cFileName);
  while (FindNextFileW(search, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(search));
  return names;
}

struct SearchCase {
  const char* name;
  std::wstring pattern;
  DWORD code;
  std::vector<std::wstring> found;
};

TEST_F(FsTest, SearchesMatchWildcardsCaseInsensitivelyInNameOrder) {
  ASSERT_EQ(::mkdir((d_ + "/www").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((d_ + "/www/Sub").c_str(), 0755), 0);
  for (const char* name : {"b.txt", "A.txt", "c.log", "Ab.TXT", "a.txt.bak", "noext"}) Put(d_ + "/www/" + name, "x");
  Put(d_ + "/top.txt", "x");
  const SearchCase cases[] = {
      {"everything, dots first", L"D:\\www\\*", ERROR_SUCCESS,
       {L".", L"..", L"A.txt", L"a.txt.bak", L"Ab.TXT", L"b.txt", L"c.log", L"noext", L"Sub"}},
      {"star dot star is everything", L"D:/www/*.*", ERROR_SUCCESS,
       {L".", L"..", L"A.txt", L"a.txt.bak", L"Ab.TXT", L"b.txt", L"c.log", L"noext", L"Sub"}},
      {"extension, any case", L"D:\\www\\*.TxT", ERROR_SUCCESS, {L"A.txt", L"Ab.TXT", L"b.txt"}},
      {"one character", L"D:\\www\\?.txt", ERROR_SUCCESS, {L"A.txt", L"b.txt"}},
      {"prefix", L"D:\\www\\a*", ERROR_SUCCESS, {L"A.txt", L"a.txt.bak", L"Ab.TXT"}},
      {"star in the middle", L"D:\\www\\a*t", ERROR_SUCCESS, {L"A.txt", L"Ab.TXT"}},
      {"exact name in another case", L"D:\\www\\SUB", ERROR_SUCCESS, {L"Sub"}},
      {"drive root lists no dots", L"D:\\*", ERROR_SUCCESS, {L"top.txt", L"www"}},
      {"drive-relative pattern", L"D:*.txt", ERROR_SUCCESS, {L"top.txt"}},
      {"nothing matches", L"D:\\www\\none*", ERROR_FILE_NOT_FOUND, {}},
      {"missing folder", L"D:\\nofolder\\*", ERROR_PATH_NOT_FOUND, {}},
      {"wildcard in a folder name", L"D:\\w*\\*", ERROR_INVALID_NAME, {}},
      {"climb above the root", L"D:\\..\\*", ERROR_BAD_PATHNAME, {}},
  };
  for (const auto& c : cases) {
    DWORD error = 0;
    const auto found = Find(c.pattern, error);
    EXPECT_EQ(error, c.code) << c.name;
    EXPECT_EQ(found, c.found) << c.name;
  }
}

TEST_F(FsTest, SearchReportsAttributesAndSizes) {
  Put(d_ + "/sized.bin", std::string(1234, 'x'));
  ASSERT_EQ(::mkdir((d_ + "/folder").c_str(), 0755), 0);
  WIN32_FIND_DATAW data;
  platform::UniqueHandle file(FindFirstFileW(L"D:\\sized.bin", &data));
  ASSERT_TRUE(file);
  EXPECT_EQ(data.nFileSizeLow, 1234u);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  platform::UniqueHandle folder(FindFirstFileW(L"D:\\folder", &data));
  ASSERT_TRUE(folder);
  EXPECT_NE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(FilePattern, MatchesAsWindowsSearchesDo) {
  const struct {
    const wchar_t* pattern;
    const wchar_t* name;
    bool match;
  } cases[] = {
      {L"*", L"", true},          {L"*", L"anything", true}, {L"*.*", L"noext", true},
      {L"?", L"", false},         {L"a?c", L"ABC", true},    {L"a?c", L"ac", false},
      {L"*b*", L"abc", true},     {L"*.txt", L"a.TXT", true}, {L"*.txt", L"a.txt.bak", false},
      {L"a*b*c", L"aXbYbZc", true}, {L"a*b*c", L"aXbYbZ", false}, {L"\x00C9t\x00E9", L"\x00E9T\x00C9", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(platform::MatchesFilePattern(c.pattern, c.name), c.match) << platform::Utf8FromWide(c.pattern);
}

}  // namespace
