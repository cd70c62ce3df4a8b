// output_walk_test.cpp - the walk templates, and DeleteOutputs and RenameOutputs over the fixture
// volume through the archive's system object: exactly one version's outputs are touched.
#include "providers/Framesight/OutputWalk.h"

#include "providers/Framesight/tests/versions_fixture.h"

#include <map>
#include <regex>

namespace {

using framesight::DeleteOutputs;
using framesight::ParseRenameTemplate;
using framesight::RenameOutputs;
using framesight::RenameTemplate;
using framesight::WalkOutputs;
using framesight::WalkPattern;

using Names = std::set<std::string>;

TEST(WalkTemplates, TemplateBecomesAnEscapedAnchoredPattern) {
  const struct {
    const wchar_t* nameTemplate;
    const wchar_t* pattern;
  } rows[] = {
      {L"(*)-1A-2.(*)", L"^(.*)-1A-2\\.(.*)$"},
      {L"a+b(*)", L"^a\\+b(.*)$"},
      {L"x*y", L"^x.*y$"},
      {L"[1]{2}|^$", L"^\\[1\\]\\{2\\}\\|\\^\\$$"},
      {L"(a)", L"^\\(a\\)$"},
  };
  for (const auto& row : rows) EXPECT_EQ(WalkPattern(row.nameTemplate), row.pattern);
}

TEST(WalkTemplates, OnlyTheTemplatesVersionMatches) {
  const std::wregex pattern(WalkPattern(L"(*)-1A-2.(*)"));
  const struct {
    const wchar_t* name;
    bool matches;
  } rows[] = {
      {L"Preview-1A-2.webm", true},    {L"Thumb-1A-2.png", true},       {L"Preview-1A-2F.webm", false},
      {L"Preview-1A-20.log", false},   {L"Preview-1A-2Fwebm", false},   {L"Preview-1A-3.webm", false},
      {L"Preview-11A-2.webm", false},  // version (11A, 2)
  };
  for (const auto& row : rows)
    EXPECT_EQ(std::regex_match(std::wstring(row.name), pattern), row.matches) << platform::Utf8FromWide(row.name);
}

TEST(WalkTemplates, RenameTemplateSplitsIntoItsThreeParts) {
  const HRESULT bad = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  const struct {
    const char* label;
    const wchar_t* nameTemplate;
    HRESULT result;
    int first;
    const wchar_t* identity;
    int second;
  } rows[] = {
      {"archive's shape", L"(*0)-3-4.(*1)", S_OK, 0, L"-3-4.", 1},
      {"parts swapped", L"(*1)-ABCDEF01-0.(*0)", S_OK, 1, L"-ABCDEF01-0.", 0},
      {"lower-case hexadecimal", L"(*0)-a-b.(*1)", S_OK, 0, L"-a-b.", 1},
      {"placeholders without digits", L"(*)-3-4.(*)", bad, 0, L"", 0},
      {"one value only", L"(*0)-3.(*1)", bad, 0, L"", 0},
      {"text before the template", L"x(*0)-3-4.(*1)", bad, 0, L"", 0},
      {"text after the template", L"(*0)-3-4.(*1)x", bad, 0, L"", 0},
      {"a part that does not exist", L"(*5)-3-4.(*1)", bad, 0, L"", 0},
      {"a second placeholder with more after its digit", L"(*0)-3-4.(*12)", bad, 0, L"", 0},
      {"nine digits", L"(*0)-123456789-4.(*1)", bad, 0, L"", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    RenameTemplate tmpl;
    ASSERT_EQ(ParseRenameTemplate(row.nameTemplate, tmpl), row.result);
    if (FAILED(row.result)) continue;
    EXPECT_EQ(tmpl.firstPart, row.first);
    EXPECT_EQ(tmpl.identity, row.identity);
    EXPECT_EQ(tmpl.secondPart, row.second);
  }
}

class OutputWalkTest : public ArchiveVolumeTest {
 protected:
  void SetUp() override {
    ArchiveVolumeTest::SetUp();
    m_clipKey = KeyString(L"D:\\Media\\clip.mov");
    m_otherKey = KeyString(L"D:\\Media\\other.mov");
    ASSERT_FALSE(m_clipKey.empty());
    ASSERT_FALSE(m_otherKey.empty());
  }
  void Put(const std::string& file, const Names& names) {
    for (const std::string& name : names) PutFile(Companions(file) / name, name);
  }
  static void SetFail(const std::wstring& slot, HRESULT hr) {
    platform::RegKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Corvellane\\Archive\\Fail", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    if (hr == S_OK)
      RegDeleteValueW(k.get(), slot.c_str());
    else
      ASSERT_EQ(platform::RegWriteDword(k.get(), slot, static_cast<DWORD>(hr)), ERROR_SUCCESS);
  }

  std::wstring m_clipKey;
  std::wstring m_otherKey;
};

// Names beside the outputs of version (1A, 2) that no walk over it may touch.
const Names kOtherVersions = {
    "Preview-1A-2F.webm",    // another version whose name begins alike
    "Preview-1A-20.log",     // another version where an unescaped dot would match a digit
    "Preview-1A-2Fwebm",     // and where it would match a letter
    "Preview-1B-2.webm",     "Preview-1A-3.webm",
    "Preview-1A-2",          // no extension: not of the template's shape
    "Thumb-1A-2.x-3-4.png",  // matches the template, but names version (3, 4)
};

TEST_F(OutputWalkTest, DeleteRemovesExactlyThatVersionsOutputs) {
  Put("clip.mov", {"Preview-1A-2.webm", "Preview-1A-2.log", "Thumb-1A-2.png", "a.tar-1A-2.gz"});
  Put("clip.mov", kOtherVersions);
  fs::create_directories(Companions("clip.mov") / "Folder-1A-2.d");
  Put("other.mov", {"Preview-1A-2.webm"});  // another file's outputs of the same version

  ASSERT_EQ(DeleteOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2), S_OK);
  EXPECT_EQ(FilesIn(Companions("clip.mov")), kOtherVersions);
  EXPECT_TRUE(fs::is_directory(Companions("clip.mov") / "Folder-1A-2.d"));
  EXPECT_EQ(FilesIn(Companions("other.mov")), (Names{"Preview-1A-2.webm"}));
}

TEST_F(OutputWalkTest, DeleteWithoutOutputsSucceeds) {
  EXPECT_EQ(DeleteOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2), S_OK);
  Put("clip.mov", {"Preview-1-0.webm"});
  EXPECT_EQ(DeleteOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2), S_OK);
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1-0.webm"}));
}

TEST_F(OutputWalkTest, WalkGivesPathsAndPartsAndStopsAtAFailingCallback) {
  Put("clip.mov", {"Preview-1A-2.webm", "Thumb-1A-2.png"});
  std::vector<std::pair<std::wstring, std::wstring>> seen;
  std::vector<std::wstring> paths;
  ASSERT_EQ(WalkOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2,
                        [&](const framesight::WalkedOutput& output) {
                          seen.emplace_back(output.parts[0], output.parts[1]);
                          paths.push_back(output.path);
                          return S_OK;
                        }),
            S_OK);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, std::wstring>>{{L"Preview", L"webm"}, {L"Thumb", L"png"}}));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths.front(), L"D:\\.companions\\Media\\clip.mov\\Preview-1A-2.webm");

  int calls = 0;
  EXPECT_EQ(WalkOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2,
                        [&](const framesight::WalkedOutput&) {
                          ++calls;
                          return E_ABORT;
                        }),
            E_ABORT);
  EXPECT_EQ(calls, 1);
}

TEST_F(OutputWalkTest, ArchiveFailuresComeBackUnchanged) {
  Put("clip.mov", {"Preview-1A-2.webm"});
  const HRESULT injected = static_cast<HRESULT>(0x80070020u);
  const struct {
    const char* label;
    std::wstring slot;  // an injected failure, or empty
    std::wstring key;   // the key to walk, or empty for clip.mov's
    HRESULT result;
  } rows[] = {
      {"unknown file", L"", L"D:\\Media\\missing.mov", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {"system object fails", L"IArchiveSystem.26", L"", injected},
      {"file control fails", L"IArchiveFileControl.3", L"", injected},
      {"full path fails", L"IArchiveFile.8", L"", injected},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    if (!row.slot.empty()) SetFail(row.slot, injected);
    const std::wstring key = row.key.empty() ? m_clipKey : row.key;
    EXPECT_EQ(DeleteOutputs(m_system.Get(), key, 0x1A, 0x2), row.result);
    EXPECT_EQ(RenameOutputs(m_system.Get(), key, 0x1A, 0x2, m_clipKey, 3, 4), row.result);
    EXPECT_EQ(RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, key, 3, 4), row.result);
    if (!row.slot.empty()) SetFail(row.slot, S_OK);
  }
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1A-2.webm"}));
}

TEST_F(OutputWalkTest, RenameGivesTheOutputsTheNewVersion) {
  Put("clip.mov", {"Preview-1A-2.webm", "Preview-1A-2.log", "Preview-1-0.webm"});
  Put("clip.mov", kOtherVersions);
  ASSERT_EQ(RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, m_clipKey, 0x3, 0x4), S_OK);
  Names expected = kOtherVersions;
  expected.insert({"Preview-3-4.webm", "Preview-3-4.log", "Preview-1-0.webm"});
  EXPECT_EQ(FilesIn(Companions("clip.mov")), expected);
  EXPECT_EQ(ReadHostFile(Companions("clip.mov") / "Preview-3-4.webm"), "Preview-1A-2.webm");
}

TEST_F(OutputWalkTest, RenameToAnotherFileCreatesItsFolder) {
  Put("clip.mov", {"Preview-1A-2.webm", "a.tar-1A-2.gz"});
  ASSERT_FALSE(fs::exists(Companions("other.mov")));
  ASSERT_EQ(RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, m_otherKey, 0x5, 0x6), S_OK);
  EXPECT_EQ(FilesIn(Companions("other.mov")), (Names{"Preview-5-6.webm", "a.tar-5-6.gz"}));
  EXPECT_EQ(FilesIn(Companions("clip.mov")), Names{});
}

TEST_F(OutputWalkTest, RenameNeverReplacesAnExistingOutput) {
  Put("clip.mov", {"Preview-1A-2.webm"});
  PutFile(Companions("clip.mov") / "Preview-3-4.webm", "made for the new version");
  EXPECT_EQ(RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, m_clipKey, 0x3, 0x4),
            HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1A-2.webm", "Preview-3-4.webm"}));
  EXPECT_EQ(ReadHostFile(Companions("clip.mov") / "Preview-3-4.webm"), "made for the new version");
}

TEST_F(OutputWalkTest, RenameReportsAFolderThatCannotBeMade) {
  Put("clip.mov", {"Preview-1A-2.webm"});
  // A file where the other file's companion folder would go.
  PutFile(Companions("other.mov"), "in the way");
  const HRESULT hr = RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, m_otherKey, 0x5, 0x6);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1A-2.webm"}));
  EXPECT_EQ(ReadHostFile(Companions("other.mov")), "in the way");
}

TEST_F(OutputWalkTest, RenameOntoItselfLeavesTheOutputs) {
  Put("clip.mov", {"Preview-1A-2.webm"});
  EXPECT_EQ(RenameOutputs(m_system.Get(), m_clipKey, 0x1A, 0x2, m_clipKey, 0x1A, 0x2), S_OK);
  EXPECT_EQ(FilesIn(Companions("clip.mov")), (Names{"Preview-1A-2.webm"}));
}

// A system object whose files answer every companion request with the
// template the test gives, keyed by key string: for shapes the archive
// never answers with.
class FakeArchiveSystem : public FakeObject<IArchiveSystem> {
 public:
  std::map<std::wstring, std::wstring> templates;  // key string -> volume-relative answer

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, this}, {&IID_IArchiveSystem, this}});
  }
  STDMETHODIMP GetVersion(IArchiveVersion**) override { return E_NOTIMPL; }
  STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved17() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved18() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved19() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved20() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved21() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved22() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved23() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved24() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved25() override { return E_NOTIMPL; }
  STDMETHODIMP GetArchiveObject(BSTR key, IArchiveObject** object) override {
    const auto found = templates.find(std::wstring(key, SysStringLen(key)));
    if (found == templates.end()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    auto* file = new FakeArchiveFile;
    file->replyBytes = platform::Utf16leFromWide(found->second);
    *object = new FileObject(file);
    file->Release();
    return S_OK;
  }
  STDMETHODIMP GetArchiveDirectory(BSTR, IArchiveObject**) override { return E_NOTIMPL; }

 private:
  // The archive object of a fake file: answers for the file's interfaces.
  class FileObject : public FakeObject<IArchiveObject> {
   public:
    explicit FileObject(FakeArchiveFile* file) : m_file(file) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (riid == IID_IArchiveFile) return m_file->QueryInterface(riid, ppv);
      return Answer(riid, ppv, {{&IID_IUnknown, this}, {&IID_IArchiveObject, this}});
    }
    STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
    STDMETHODIMP GetPath(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved15() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved17() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved18() override { return E_NOTIMPL; }
    STDMETHODIMP Reserved19() override { return E_NOTIMPL; }
    STDMETHODIMP GetFile(ULONG, ULONG, ULONG, IArchiveFile**) override { return E_NOTIMPL; }

   private:
    ComPtr<FakeArchiveFile> m_file;
  };
};

TEST_F(OutputWalkTest, TemplatesOfAnotherShapeAreErrorsAndTouchNothing) {
  const std::wstring folder = L".companions\\Media\\clip.mov\\";
  const HRESULT bad = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  const struct {
    const char* label;
    std::wstring walkTemplate;
    std::wstring renameTemplate;
    HRESULT deleteResult;
    HRESULT renameResult;
  } rows[] = {
      {"the archive's shapes", folder + L"(*)-1A-2.(*)", folder + L"(*0)-3-4.(*1)", S_OK, S_OK},
      {"walk template with one part", folder + L"(*)-1A-2.webm", folder + L"(*0)-3-4.(*1)", bad, bad},
      {"walk template with three parts", folder + L"(*)-(*)-1A-2.(*)", folder + L"(*0)-3-4.(*1)", bad, bad},
      {"rename template with text after it", folder + L"(*)-1A-2.(*)", folder + L"(*0)-3-4.(*1)x", S_OK, bad},
      {"rename template without part numbers", folder + L"(*)-1A-2.(*)", folder + L"(*)-3-4.(*)", S_OK, bad},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ComPtr<FakeArchiveSystem> system(new FakeArchiveSystem);
    system->Release();
    system->templates[L"old"] = row.walkTemplate;
    system->templates[L"new"] = row.renameTemplate;

    std::error_code ec;
    fs::remove_all(m_volume / ".companions", ec);
    Put("clip.mov", {"Preview-1A-2.webm"});
    EXPECT_EQ(RenameOutputs(system.Get(), L"old", 0x1A, 0x2, L"new", 3, 4), row.renameResult);
    EXPECT_EQ(FilesIn(Companions("clip.mov")),
              SUCCEEDED(row.renameResult) ? Names{"Preview-3-4.webm"} : Names{"Preview-1A-2.webm"});

    fs::remove_all(m_volume / ".companions", ec);
    Put("clip.mov", {"Preview-1A-2.webm"});
    EXPECT_EQ(DeleteOutputs(system.Get(), L"old", 0x1A, 0x2), row.deleteResult);
    EXPECT_EQ(FilesIn(Companions("clip.mov")), SUCCEEDED(row.deleteResult) ? Names{} : Names{"Preview-1A-2.webm"});
  }
}

}  // namespace
