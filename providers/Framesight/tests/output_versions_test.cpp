// output_versions_test.cpp - version names, and NeedsOutput and RemoveStale over a companion folder
// of the fixture volume: which versions count, which are kept and which go.
#include "providers/Framesight/OutputVersions.h"

#include "platform/base/testing/unprivileged.h"
#include "providers/Framesight/tests/versions_fixture.h"

namespace {

using framesight::OutputVersions;
using framesight::ParseVersionName;
using framesight::SplitFileName;

using Names = std::set<std::string>;

TEST(VersionNames, StemAndExtensionSplitAsTheStandardLibrarySplitsThem) {
  const struct {
    const wchar_t* name;
    const wchar_t* stem;
    const wchar_t* extension;
  } rows[] = {
      {L"Preview-1A-2.webm", L"Preview-1A-2", L".webm"}, {L"a.tar-1-2.gz", L"a.tar-1-2", L".gz"},
      {L"Preview-1A-2", L"Preview-1A-2", L""},           {L".webm", L".webm", L""},
      {L".", L".", L""},                                 {L"..", L"..", L""},
      {L"x.", L"x", L"."},
  };
  for (const auto& row : rows) {
    std::wstring_view stem, extension;
    SplitFileName(row.name, stem, extension);
    EXPECT_EQ(stem, row.stem) << platform::Utf8FromWide(row.name);
    EXPECT_EQ(extension, row.extension) << platform::Utf8FromWide(row.name);
  }
}

TEST(VersionNames, PatternGivesBaseAndBothValues) {
  const struct {
    const wchar_t* stem;
    bool parses;
    const wchar_t* base;
    DWORD id1, id2;
  } rows[] = {
      {L"Preview-1A-2", true, L"Preview", 0x1A, 0x2},
      {L"Preview-1a-ff", true, L"Preview", 0x1A, 0xFF},  // either case
      {L"Preview-FFFFFFFF-0", true, L"Preview", 0xFFFFFFFF, 0},
      {L"a-b-1-2", true, L"a-b", 1, 2},  // the base is greedy
      {L"-1-2", true, L"", 1, 2},
      {L"Preview-123456789-2", false, L"", 0, 0},  // nine digits
      {L"Preview-1G-2", false, L"", 0, 0},
      {L"Preview--2", false, L"", 0, 0},
      {L"Preview-1A-", false, L"", 0, 0},
      {L"1A-2", false, L"", 0, 0},
      {L"Preview", false, L"", 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::Utf8FromWide(row.stem));
    std::wstring base;
    DWORD id1 = 0, id2 = 0;
    ASSERT_EQ(ParseVersionName(row.stem, base, id1, id2), row.parses);
    if (!row.parses) continue;
    EXPECT_EQ(base, row.base);
    EXPECT_EQ(id1, row.id1);
    EXPECT_EQ(id2, row.id2);
  }
}

class OutputVersionsTest : public ArchiveVolumeTest {
 protected:
  static std::wstring Kept(const std::wstring& name) { return L"D:\\.companions\\Media\\clip.mov\\" + name; }
  void Put(const Names& names) {
    for (const std::string& name : names) PutFile(Companions("clip.mov") / name, name);
  }
};

TEST_F(OutputVersionsTest, NeedsOutputUnlessThatVersionOrANewerOneExists) {
  const struct {
    const char* label;
    Names present;
    std::wstring wanted;
    bool needed;
  } rows[] = {
      {"no folder at all", {}, L"Preview-1A-2.webm", true},
      {"only older versions", {"Preview-19-FF.webm", "Preview-1A-1.webm"}, L"Preview-1A-2.webm", true},
      {"the wanted version", {"Preview-1A-2.webm"}, L"Preview-1A-2.webm", false},
      {"a newer second value", {"Preview-1A-3.webm"}, L"Preview-1A-2.webm", false},
      {"a newer first value", {"Preview-1B-0.webm"}, L"Preview-1A-2.webm", false},
      {"values compare as numbers", {"Preview-1A-2.webm"}, L"Preview-1A-10.webm", true},
      {"and as unsigned numbers", {"Preview-7FFFFFFF-0.webm"}, L"Preview-80000000-0.webm", true},
      {"hexadecimal in lower case counts", {"Preview-1a-2.webm"}, L"Preview-1A-2.webm", false},
      {"another base does not count", {"Thumb-1A-2.webm", "preview-1A-2.webm"}, L"Preview-1A-2.webm", true},
      {"another extension does not count", {"Preview-1A-2.log", "Preview-1A-2.WEBM"}, L"Preview-1A-2.webm", true},
      {"a base that only ends alike", {"MyPreview-1A-2.webm"}, L"Preview-1A-2.webm", true},
      {"a name without version does not count", {"Preview.webm"}, L"Preview-1A-2.webm", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::error_code ec;
    fs::remove_all(m_volume / ".companions", ec);
    Put(row.present);
    OutputVersions versions(Kept(row.wanted));
    ASSERT_TRUE(versions.HasWanted());
    bool needed = !row.needed;
    ASSERT_EQ(versions.NeedsOutput(needed), S_OK);
    EXPECT_EQ(needed, row.needed);
  }
}

TEST_F(OutputVersionsTest, ScanOrdersVersionsAsUnsignedPairs) {
  Put({"Preview-1A-10.webm", "Preview-1A-2.webm", "Preview-2-0.webm", "Preview-0-FFFFFFFF.webm", "Other-0-0.webm"});
  OutputVersions versions(Kept(L"Preview-1A-3.webm"));
  ASSERT_EQ(versions.Scan(), S_OK);
  std::vector<std::pair<DWORD, DWORD>> order;
  for (const auto& found : versions.Versions()) order.emplace_back(found.id1, found.id2);
  const std::vector<std::pair<DWORD, DWORD>> expected = {{0, 0xFFFFFFFF}, {0x2, 0x0}, {0x1A, 0x2}, {0x1A, 0x10}};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(versions.Versions().front().path, Kept(L"Preview-0-FFFFFFFF.webm"));
  EXPECT_EQ(versions.Wanted().base, L"Preview");
  EXPECT_EQ(versions.Wanted().extension, L".webm");
}

TEST_F(OutputVersionsTest, RemoveStaleDeletesOnlyOlderVersionsOfTheSameOutput) {
  const Names others = {"Thumb-1-0.webm", "Preview-1-0.log", "Preview.webm", "Preview-1-0.WEBM", "MyPreview-1-0.webm"};
  const struct {
    const char* label;
    Names present;
    std::wstring wanted;
    HRESULT result;
    Names remaining;
  } rows[] = {
      {"older versions go, others stay",
       {"Preview-1-0.webm", "Preview-1A-1.webm", "Preview-1A-2.webm"},
       L"Preview-1A-2.webm",
       S_OK,
       {"Preview-1A-2.webm"}},
      {"newer versions stay",
       {"Preview-1A-1.webm", "Preview-1A-2.webm", "Preview-1A-3.webm", "Preview-1B-0.webm"},
       L"Preview-1A-2.webm",
       S_OK,
       {"Preview-1A-2.webm", "Preview-1A-3.webm", "Preview-1B-0.webm"}},
      {"numbers, not text: -1A-10 is newer than -1A-2",
       {"Preview-1A-2.webm", "Preview-1A-10.webm"},
       L"Preview-1A-10.webm",
       S_OK,
       {"Preview-1A-10.webm"}},
      {"older versions stay until the wanted one exists",
       {"Preview-1-0.webm", "Preview-1A-1.webm"},
       L"Preview-1A-2.webm",
       S_FALSE,
       {"Preview-1-0.webm", "Preview-1A-1.webm"}},
      {"a version spelt in lower case is not the wanted file",
       {"Preview-1a-2.webm", "Preview-1-0.webm"},
       L"Preview-1A-2.webm",
       S_FALSE,
       {"Preview-1a-2.webm", "Preview-1-0.webm"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::error_code ec;
    fs::remove_all(m_volume / ".companions", ec);
    Put(row.present);
    Put(others);
    OutputVersions versions(Kept(row.wanted));
    EXPECT_EQ(versions.RemoveStale(), row.result);
    Names expected = row.remaining;
    expected.insert(others.begin(), others.end());
    EXPECT_EQ(FilesIn(Companions("clip.mov")), expected);
  }
}

TEST_F(OutputVersionsTest, NameWithoutVersionIsAnError) {
  Put({"Preview-1-0.webm", "Preview.webm"});
  OutputVersions versions(Kept(L"Preview.webm"));
  EXPECT_FALSE(versions.HasWanted());
  bool needed = false;
  EXPECT_EQ(versions.NeedsOutput(needed), HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
  EXPECT_EQ(versions.RemoveStale(), HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1-0.webm", "Preview.webm"}));
}

TEST_F(OutputVersionsTest, FoldersAreNeitherCountedNorDeleted) {
  Put({"Preview-1A-2.webm"});
  fs::create_directories(Companions("clip.mov") / "Preview-1B-0.webm");
  fs::create_directories(Companions("clip.mov") / "Preview-1-0.webm");
  OutputVersions newer(Kept(L"Preview-1A-3.webm"));
  bool needed = false;
  ASSERT_EQ(newer.NeedsOutput(needed), S_OK);
  EXPECT_TRUE(needed);
  OutputVersions current(Kept(L"Preview-1A-2.webm"));
  EXPECT_EQ(current.RemoveStale(), S_OK);
  EXPECT_TRUE(fs::is_directory(Companions("clip.mov") / "Preview-1-0.webm"));
}

TEST_F(OutputVersionsTest, ListingFailureIsReportedNotTakenForAMissingFolder) {
  const struct {
    const char* label;
    std::wstring path;
    HRESULT result;
  } rows[] = {
      {"folder name the file system refuses", L"D:\\bad<name\\Preview-1A-2.webm", HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
      {"folder outside its drive", L"D:\\..\\..\\Preview-1A-2.webm", HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)},
      {"path without folder", L"Preview-1A-2.webm", HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    OutputVersions versions(row.path);
    bool needed = false;
    EXPECT_EQ(versions.NeedsOutput(needed), row.result);
    EXPECT_EQ(versions.RemoveStale(), row.result);
  }
}

TEST_F(OutputVersionsTest, UnreadableFolderIsReported) {
  Put({"Preview-1-0.webm", "Preview-1A-2.webm"});
  // Others may pass every folder of the test's on the way, but not list the companions'.
  for (fs::path p = Companions("clip.mov").parent_path(); p != g_root.parent_path(); p = p.parent_path())
    fs::permissions(p, fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(Companions("clip.mov"), fs::perms::none);
  {
    const platform::testing::ScopedUnprivileged asNobody;  // root would list it anyway
    ASSERT_TRUE(asNobody.Ok());
    OutputVersions versions(Kept(L"Preview-1A-2.webm"));
    bool needed = false;
    EXPECT_EQ(versions.NeedsOutput(needed), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(versions.RemoveStale(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  }
  fs::permissions(Companions("clip.mov"), fs::perms::owner_all);
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1-0.webm", "Preview-1A-2.webm"}));
}

}  // namespace
