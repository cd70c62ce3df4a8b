// paths_test.cpp - drive forms, separators, "..", refused names and links out of a drive.
#include "fs_fixture.h"

namespace {

struct PathCase {
  const char* name;
  std::wstring path;
  DWORD code;
  std::string expected;  // relative to the fixture's base folder (or absolute when it starts with "/")
};

TEST_F(FsTest, ResolvesEveryDriveFormAndRefusesEscapes) {
  ASSERT_EQ(::mkdir((d_ + "/a").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((e_).c_str(), (d_ + "/out").c_str()), 0);
  ASSERT_EQ(::symlink((d_ + "/a").c_str(), (d_ + "/in").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent-target", (d_ + "/dangling").c_str()), 0);
  const PathCase cases[] = {
      {"backslashes", L"D:\\a\\b.txt", ERROR_SUCCESS, "d/a/b.txt"},
      {"forward slashes", L"D:/a/b.txt", ERROR_SUCCESS, "d/a/b.txt"},
      {"mixed separators and doubled ones", L"D:\\a//b\\\\c", ERROR_SUCCESS, "d/a/b/c"},
      {"lower-case letter", L"d:\\a", ERROR_SUCCESS, "d/a"},
      {"drive alone is its root", L"D:", ERROR_SUCCESS, "d"},
      {"drive root", L"D:\\", ERROR_SUCCESS, "d"},
      {"drive-relative name", L"D:a", ERROR_SUCCESS, "d/a"},
      {"literal prefix", L"\\\\?\\D:\\a", ERROR_SUCCESS, "d/a"},
      {"folder mapped with a trailing slash", L"E:\\x", ERROR_SUCCESS, "e/x"},
      {"dot and dot-dot inside", L"D:\\a\\.\\b\\..\\c", ERROR_SUCCESS, "d/a/c"},
      {"trailing dots and spaces dropped", L"D:\\a\\name. .", ERROR_SUCCESS, "d/a/name"},
      {"climb above the root", L"D:\\..", ERROR_BAD_PATHNAME, ""},
      {"climb above and back in", L"D:\\a\\..\\..\\d\\x", ERROR_BAD_PATHNAME, ""},
      {"climb with forward slashes", L"D:/a/../../x", ERROR_BAD_PATHNAME, ""},
      {"unknown drive", L"Q:\\x", ERROR_PATH_NOT_FOUND, ""},
      {"less-than in a name", L"D:\\a<b", ERROR_INVALID_NAME, ""},
      {"star in a name", L"D:\\a*b", ERROR_INVALID_NAME, ""},
      {"question mark in a folder", L"D:\\a?\\b", ERROR_INVALID_NAME, ""},
      {"colon after the drive", L"D:\\a:b", ERROR_INVALID_NAME, ""},
      {"pipe character", L"D:\\a|b", ERROR_INVALID_NAME, ""},
      {"control character", L"D:\\a\x01", ERROR_INVALID_NAME, ""},
      {"UNC share", L"\\\\server\\share\\x", ERROR_BAD_PATHNAME, ""},
      {"device path", L"\\\\.\\C:\\x", ERROR_BAD_PATHNAME, ""},
      {"link out of the drive", L"D:\\out\\f", ERROR_BAD_PATHNAME, ""},
      {"link out, named itself", L"D:\\out", ERROR_BAD_PATHNAME, ""},
      {"link inside the drive", L"D:\\in\\x", ERROR_SUCCESS, "d/in/x"},
      {"dangling link", L"D:\\dangling", ERROR_BAD_PATHNAME, ""},
      {"host path", L"/tmp/x", ERROR_SUCCESS, "/tmp/x"},
      {"host path with backslashes", L"\\tmp\\y\\..\\x", ERROR_SUCCESS, "/tmp/x"},
      {"host path climbing above /", L"/a/../..", ERROR_BAD_PATHNAME, ""},
  };
  for (const auto& c : cases) {
    std::string host;
    EXPECT_EQ(platform::ResolvePath(c.path, host), c.code) << c.name;
    if (c.code == ERROR_SUCCESS) {
      const std::string want = c.expected[0] == '/' ? c.expected : base_ + "/" + c.expected;
      EXPECT_EQ(host, want) << c.name;
    }
  }
}

TEST_F(FsTest, FinalPathsFollowEveryLink) {
  ASSERT_EQ(::mkdir((d_ + "/a").c_str(), 0755), 0);
  Put(d_ + "/a/f", "x");
  Put(base_ + "/outside", "x");
  ASSERT_EQ(::symlink((d_ + "/a").c_str(), (d_ + "/in").c_str()), 0);
  ASSERT_EQ(::symlink((base_ + "/outside").c_str(), (d_ + "/a/out").c_str()), 0);
  const PathCase cases[] = {
      {"plain file", L"D:\\a\\f", ERROR_SUCCESS, "d/a/f"},
      {"through a folder link", L"D:\\in\\f", ERROR_SUCCESS, "d/a/f"},
      {"host path to a link out", platform::WideFromUtf8(d_ + "/a/out"), ERROR_SUCCESS, "outside"},
      {"host path with backslashes", platform::WideFromUtf8(d_) + L"\\in\\f", ERROR_SUCCESS, "d/a/f"},
      {"link out of the drive", L"D:\\a\\out", ERROR_BAD_PATHNAME, ""},
      {"missing file", L"D:\\a\\none", ERROR_FILE_NOT_FOUND, ""},
      {"missing folder", L"D:\\none\\f", ERROR_PATH_NOT_FOUND, ""},
  };
  for (const auto& c : cases) {
    std::string host;
    EXPECT_EQ(platform::FinalPath(c.path, host), c.code) << c.name;
    if (c.code == ERROR_SUCCESS) {
      EXPECT_EQ(host, base_ + "/" + c.expected) << c.name;
    }
  }
}

TEST_F(FsTest, RelativeHostPathsStartAtTheCurrentFolder) {
  ASSERT_EQ(::chdir(d_.c_str()), 0);
  std::string host;
  ASSERT_EQ(platform::ResolvePath(L"x\\..\\y", host), ERROR_SUCCESS);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(host, std::string(cwd) + "/y");
}

TEST_F(FsTest, DriveMapChangesAreSeenAtOnce) {
  std::string folder;
  ASSERT_EQ(platform::DriveFolder(L'd', folder), ERROR_SUCCESS);
  EXPECT_EQ(folder, d_);
  EXPECT_EQ(platform::DriveFolder(L'F', folder), ERROR_PATH_NOT_FOUND);
  MapDrive(L"F:", e_);
  ASSERT_EQ(platform::DriveFolder(L'F', folder), ERROR_SUCCESS);
  EXPECT_EQ(folder, e_);
  MapDrive(L"G:", "relative/folder");
  EXPECT_EQ(platform::DriveFolder(L'G', folder), ERROR_PATH_NOT_FOUND);
}

}  // namespace

// Each use refuses its own characters: a name what Windows refuses, the last
// name of a pattern the same but for the wildcards, a request path what could
// name another folder or search there.
TEST(RefusedCharacters, EachUseRefusesItsOwnSet) {
  struct Row {
    wchar_t c;
    bool name, patternName, requestPath;
  };
  const Row rows[] = {
      {L'a', false, false, false},   {L' ', false, false, false},  {L'/', false, false, false},
      {L'\x01', true, true, true},   {L'\x1F', true, true, true},  {L'\x7F', false, false, true},
      {L'*', true, false, true},     {L'?', true, false, true},    {L':', true, true, true},
      {L'\\', false, false, true},   {L'<', true, true, false},    {L'>', true, true, false},
      {L'"', true, true, false},     {L'|', true, true, false},    {L'\u00E4', false, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::IsRefusedCharacter(row.c, platform::RefusedIn::Name), row.name) << int(row.c);
    EXPECT_EQ(platform::IsRefusedCharacter(row.c, platform::RefusedIn::PatternName), row.patternName) << int(row.c);
    EXPECT_EQ(platform::IsRefusedCharacter(row.c, platform::RefusedIn::RequestPath), row.requestPath) << int(row.c);
  }
}
