// archive_paths_test.cpp - the path request's bytes, the volume-root join for every path shape, and the
// file-control call against a recording fake and against the archive's system object.
#include "providers/Framesight/ArchivePaths.h"

#include "providers/Framesight/tests/versions_fixture.h"

namespace {

using framesight::BuildPathRequest;
using framesight::JoinArchivePath;
using framesight::MapArchivePath;
using framesight::QueryArchivePath;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Bytes(const std::vector<BYTE>& v, std::size_t from, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(v.data()) + from, n);
}

TEST(PathRequest, RecordHoldsTheVersionAndTheNameInUtf16) {
  const std::wstring astral = L"\U0001F600.png";  // one character, two UTF-16 units
  const struct {
    const char* label;
    ULONG i1, i2;
    std::wstring name;
    HRESULT result;
    ULONG nameBytes;
    const char* nameHex;  // the first bytes of the name field, or null
  } rows[] = {
      {"ascii name", 0x0001A2B3, 0x2, L"Preview.webm", S_OK, 24, "50 00 72 00 65 00 76 00"},
      {"astral character counts two units", 0xFFFFFFFF, 0x80000000, astral, S_OK, 12,
       "3D D8 00 DE 2E 00 70 00 6E 00 67 00"},
      {"63 units fill the field but its terminator", 1, 2, std::wstring(63, L'a'), S_OK, 126, nullptr},
      {"empty name", 1, 2, L"", S_OK, 0, nullptr},
      {"64 units refused", 1, 2, std::wstring(64, L'a'), E_INVALIDARG, 0, nullptr},
      {"62 characters and an astral one are 64 units", 1, 2, std::wstring(62, L'a') + L"\U0001F600", E_INVALIDARG,
       0, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::vector<BYTE> record;
    ULONG inputBytes = 0xDEAD;
    ASSERT_EQ(BuildPathRequest(row.i1, row.i2, row.name, record, inputBytes), row.result);
    if (FAILED(row.result)) continue;
    ASSERT_EQ(record.size(), 138u);
    EXPECT_EQ(inputBytes, 10 + row.nameBytes);
    const BYTE i1[4] = {BYTE(row.i1), BYTE(row.i1 >> 8), BYTE(row.i1 >> 16), BYTE(row.i1 >> 24)};
    const BYTE i2[4] = {BYTE(row.i2), BYTE(row.i2 >> 8), BYTE(row.i2 >> 16), BYTE(row.i2 >> 24)};
    EXPECT_TRUE(std::equal(i1, i1 + 4, record.begin()));
    EXPECT_TRUE(std::equal(i2, i2 + 4, record.begin() + 4));
    EXPECT_EQ(record[8] | (record[9] << 8), static_cast<int>(row.nameBytes));
    if (row.nameHex != nullptr) {
      const std::string expected = row.nameHex;
      EXPECT_EQ(Hex(Bytes(record, 10, (expected.size() + 1) / 3)), expected);
    }
    // Everything behind the name is zero: the terminator and the field's rest.
    EXPECT_TRUE(std::all_of(record.begin() + 10 + row.nameBytes, record.end(), [](BYTE b) { return b == 0; }));
  }
}

TEST(PathJoin, VolumeRootOfEveryPathShapeGoesBeforeTheReply) {
  const std::wstring reply = L".companions\\Media\\clip.mov\\Preview-1A-2.webm";
  const struct {
    const char* label;
    std::wstring fullPath;
    std::wstring reply;
    HRESULT result;
    std::wstring joined;
  } rows[] = {
      {"drive path", L"D:\\Media\\clip.mov", reply, S_OK, L"D:\\" + reply},
      {"extended drive path", L"\\\\?\\D:\\x\\clip.mov", reply, S_OK, L"\\\\?\\D:\\" + reply},
      {"device drive path", L"\\\\.\\D:\\x\\clip.mov", reply, S_OK, L"\\\\.\\D:\\" + reply},
      {"forward slashes keep theirs", L"d:/Media/clip.mov", reply, S_OK, L"d:/" + reply},
      {"drive alone", L"D:", reply, S_OK, L"D:\\" + reply},
      {"drive-relative path gives the root, not its first letter", L"D:clip.mov", reply, S_OK, L"D:\\" + reply},
      {"UNC path", L"\\\\srv\\share\\x\\clip.mov", reply, S_OK, L"\\\\srv\\share\\" + reply},
      {"UNC share alone", L"\\\\srv\\share", reply, S_OK, L"\\\\srv\\share\\" + reply},
      {"UNC path with a colon later on", L"\\\\srv\\share\\a:b\\clip.mov", reply, S_OK, L"\\\\srv\\share\\" + reply},
      {"extended UNC path", L"\\\\?\\UNC\\srv\\share\\x\\clip.mov", reply, S_OK, L"\\\\?\\UNC\\srv\\share\\" + reply},
      {"rooted path without drive", L"\\Media\\clip.mov", reply, S_OK, L"\\" + reply},
      {"reply's leading separators not doubled", L"D:\\Media\\clip.mov", L"\\\\" + reply, S_OK, L"D:\\" + reply},
      {"empty reply gives the root", L"D:\\Media\\clip.mov", L"", S_OK, L"D:\\"},
      {"empty path", L"", reply, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), L""},
      {"relative path", L"Media\\clip.mov", reply, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), L""},
      {"UNC server without share", L"\\\\srv", reply, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), L""},
      {"UNC server with empty share", L"\\\\srv\\", reply, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), L""},
      {"extended volume name", L"\\\\?\\Volume{1}\\clip.mov", reply, HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), L""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::wstring joined = L"left over";
    EXPECT_EQ(JoinArchivePath(row.fullPath, row.reply, joined), row.result);
    EXPECT_EQ(joined, row.joined);
  }
}

TEST(QueryArchivePathCall, SendsTheRecordAndJoinsTheReply) {
  ComPtr<FakeArchiveFile> file(new FakeArchiveFile);
  file->Release();  // the ComPtr holds the only reference
  file->fullPath = L"D:\\Media\\\U0001F600.mov";  // 14 characters, 15 UTF-16 units
  file->replyBytes = platform::Utf16leFromWide(L".companions\\Media\\x\\Preview-1A-2.webm");
  std::wstring path;
  ASSERT_EQ(QueryArchivePath(file.Get(), 0x1A, 0x2, 0x96190, L"Preview.webm", path), S_OK);
  EXPECT_EQ(path, L"D:\\.companions\\Media\\x\\Preview-1A-2.webm");
  EXPECT_EQ(file->lastCode, 0x96190u);
  EXPECT_EQ(file->lastInputBytes, 10u + 24u);
  EXPECT_EQ(Hex(file->lastInput.substr(0, 10)), "1A 00 00 00 02 00 00 00 18 00");
  EXPECT_EQ(platform::WideFromUtf16le(file->lastInput.data() + 10, 24), L"Preview.webm");
  EXPECT_EQ(file->lastOutputBytes, (15u + 260u) * 2u);
}

TEST(QueryArchivePathCall, FailuresEmptyThePathAndComeBackUnchanged) {
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  const struct {
    const char* label;
    std::function<void(FakeArchiveFile&)> arrange;
    std::wstring name;
    HRESULT result;
    int controlCalls;
  } rows[] = {
      {"control call fails", [&](FakeArchiveFile& f) { f.controlResult = denied; }, L"Preview.webm", denied, 1},
      {"full path fails", [&](FakeArchiveFile& f) { f.fullPathResult = E_FAIL; }, L"Preview.webm", E_FAIL, 0},
      {"name too long is refused before the call", [](FakeArchiveFile&) {}, std::wstring(64, L'n'), E_INVALIDARG, 0},
      {"byte count beyond the buffer", [](FakeArchiveFile& f) { f.returnedOverride = 100000; }, L"Preview.webm",
       HRESULT_FROM_WIN32(ERROR_INVALID_DATA), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ComPtr<FakeArchiveFile> file(new FakeArchiveFile);
    file->Release();
    file->replyBytes = platform::Utf16leFromWide(L"x");
    row.arrange(*file);
    std::wstring path = L"stale";
    EXPECT_EQ(QueryArchivePath(file.Get(), 1, 2, 0x9618C, row.name, path), row.result);
    EXPECT_EQ(path, L"");
    EXPECT_EQ(file->controlCalls, row.controlCalls);
  }
}

TEST(QueryArchivePathCall, OddByteCountDropsTheHalfUnit) {
  ComPtr<FakeArchiveFile> file(new FakeArchiveFile);
  file->Release();
  file->replyBytes = platform::Utf16leFromWide(L"ab") + std::string(1, 'c');
  std::wstring path;
  ASSERT_EQ(QueryArchivePath(file.Get(), 1, 2, 0x96190, L"n", path), S_OK);
  EXPECT_EQ(path, L"D:\\ab");
}

class ArchivePathsTest : public ArchiveVolumeTest {};

TEST_F(ArchivePathsTest, ArchiveAnswersCompanionPathsOnTheFilesVolume) {
  ComPtr<IArchiveFile> file = File(L"D:\\Media\\clip.mov");
  ASSERT_TRUE(file);
  const struct {
    const char* label;
    ULONG code;
    std::wstring name;
    HRESULT result;
    std::wstring path;
  } rows[] = {
      {"kept path", 0x96190, L"Preview.webm", S_OK, L"D:\\.companions\\Media\\clip.mov\\Preview-1A-2.webm"},
      {"transcoder's path", 0x9618C, L"Preview.log", S_OK, L"D:\\.companions\\Media\\clip.mov\\Preview-1A-2.log"},
      {"walk template", 0x96190, L"(*).(*)", S_OK, L"D:\\.companions\\Media\\clip.mov\\(*)-1A-2.(*)"},
      {"archive refuses a name with a separator", 0x96190, L"a\\b.webm", HRESULT_FROM_WIN32(ERROR_INVALID_NAME),
       L""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::wstring path;
    EXPECT_EQ(QueryArchivePath(file.Get(), 0x1A, 0x2, row.code, row.name, path), row.result);
    EXPECT_EQ(path, row.path);
  }
}

TEST_F(ArchivePathsTest, MapArchivePathTakesTheVersionFromTheParameters) {
  ComPtr<IArchiveFile> file = File(L"D:\\Media\\clip.mov");
  ASSERT_TRUE(file);
  // The first identity value may read as "any"; only the pair names the version.
  ComPtr<FakeParameters> params(new FakeParameters(file.Get(), 0xFFFFFFFF, 0xABC, 0x7));
  params->Release();
  ComBstr path(L"before");
  ASSERT_EQ(MapArchivePath(params.Get(), 0x96190, L"Preview.webm", path), S_OK);
  EXPECT_EQ(path.Str(), L"D:\\.companions\\Media\\clip.mov\\Preview-ABC-7.webm");

  params->itemResult = E_ACCESSDENIED;
  path = L"kept";
  EXPECT_EQ(MapArchivePath(params.Get(), 0x96190, L"Preview.webm", path), E_ACCESSDENIED);
  EXPECT_EQ(path.Str(), L"kept");

  params->itemResult = S_OK;
  EXPECT_EQ(MapArchivePath(params.Get(), 0x96190, std::wstring(64, L'x'), path), E_INVALIDARG);
  EXPECT_EQ(path.Str(), L"kept");

  ComPtr<FakeParameters> fileless(new FakeParameters(nullptr, 0, 1, 2));
  fileless->Release();
  EXPECT_EQ(MapArchivePath(fileless.Get(), 0x96190, L"Preview.webm", path), E_NOINTERFACE);
  EXPECT_EQ(path.Str(), L"kept");
}

}  // namespace
