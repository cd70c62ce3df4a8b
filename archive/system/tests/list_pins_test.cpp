// list_pins_test.cpp - the archive system object keeping its pins in the fragment list, where Taskweave walks them.
//
// Each test case names its own list file in the program's registry and sets
// "Pin Store" to "Fragment List"; the store is read from the configuration
// on every pin, as it is for the archive's library loaded by Taskweave.
#include "archive/system/tests/archive_fixture.h"

#include "archive/interfaces/FragmentList/FragmentList.h"

#include <fstream>
#include <sstream>

namespace {

const std::wstring kClsid = L"{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::wstring kPinName = L"Pinned-" + kClsid + L"-00000000000000A5";

class ListPinsTest : public ArchiveSystemTest {
 protected:
  void SetUp() override {
    ArchiveSystemTest::SetUp();
    m_list = (volume_.parent_path() / (volume_.filename().string() + ".ldg")).wstring();
    SetString(kArchiveKey, L"Fragment List", m_list);
    SetString(kArchiveKey, L"Pin Store", L"Fragment List");
  }

  ComPtr<IArchivePin> PinOf(const std::wstring& path, const std::wstring& name = kPinName) {
    ComPtr<IArchiveObject> object;
    EXPECT_EQ(Object(path, object), S_OK);
    ComPtr<IArchivePin> pin;
    EXPECT_EQ(As<IArchivePins>(object.Get())->GetPin(ComVariant(name), pin.ReleaseAndGetAddressOf()), S_OK);
    return pin;
  }
  std::wstring KeyOf(const std::wstring& path) {
    ComPtr<IArchiveObject> object;
    EXPECT_EQ(Object(path, object), S_OK);
    ComBstr key;
    EXPECT_EQ(As<IArchiveFile>(object.Get())->GetKeyString(key.ReleaseAndGetAddressOf()), S_OK);
    return key.Get() == nullptr ? std::wstring() : std::wstring(key.Get());
  }
  // The pins of kClsid in index 6: (key string, value, operation).
  std::vector<std::tuple<std::wstring, ULONGLONG, std::wstring>> ListedPins() {
    CFragmentList fragments(m_list);
    EXPECT_EQ(fragments.Attach(), ERROR_SUCCESS);
    CFileListInternal& list = fragments.List();
    CFragmentSearchKey key;
    key.name = kClsid;
    CFragmentSearch search(key);
    std::vector<std::tuple<std::wstring, ULONGLONG, std::wstring>> out;
    for (auto it = list.find(search, CFragmentItem::kPinIndex); it != list.end(CFragmentItem::kPinIndex); ++it) {
      CFileListPointer<CFragmentItem> pointer(list, it);
      auto* pin = dynamic_cast<CPinnedElem*>(pointer.Load(true));
      if (pin == nullptr || pin->Name() == nullptr || *pin->Name() != kClsid) break;
      out.emplace_back(pin->KeyString(), pin->Value64(), pin->Attribute());
    }
    return out;
  }
  static std::vector<std::string> PinLog() {
    std::ifstream in(g_root / "pins.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::wstring m_list;
};

TEST_F(ListPinsTest, APinIsAnElementOfTheListAndASecondReleaseAnswersOffline) {
  const std::wstring key = KeyOf(L"D:\\Media\\clip.mov");
  ComPtr<IArchivePin> pin = PinOf(L"D:\\Media\\clip.mov");
  ASSERT_EQ(pin->SetValue(ComVariant(L"Preview")), S_OK);
  using Row = std::tuple<std::wstring, ULONGLONG, std::wstring>;
  EXPECT_EQ(ListedPins(), (std::vector<Row>{Row{key, 0xA5, L"Preview"}}));
  ComVariant value;
  ASSERT_EQ(PinOf(L"D:\\Media\\clip.mov")->GetValue(&value), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_STREQ(value.bstrVal, L"Preview");

  const size_t before = PinLog().size();
  EXPECT_EQ(pin->SetValue(ComVariant()), S_OK);
  EXPECT_TRUE(ListedPins().empty());
  EXPECT_EQ(pin->SetValue(ComVariant()), kOffline);
  const std::vector<std::string> log = PinLog();
  ASSERT_EQ(log.size(), before + 2);
  std::string keyText;  // as the log escapes it
  for (char c : platform::Utf8FromWide(key)) keyText += c == '\\' ? std::string("\\\\") : std::string(1, c);
  for (const auto& [line, result] : {std::pair{log[before], "0x00000000"}, std::pair{log[before + 1], "0x800710FE"}}) {
    EXPECT_NE(line.find("\trelease\t"), std::string::npos) << line;
    EXPECT_NE(line.find("\t" + std::to_string(getpid()) + "\t"), std::string::npos) << line;
    EXPECT_NE(line.find(keyText), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 10), result) << line;
  }
}

TEST_F(ListPinsTest, PinNamesMapToTheElementsNameAndValue) {
  struct Row {
    const wchar_t* pinName;
    HRESULT result;
  };
  const Row rows[] = {
      {L"Pinned-{1B353362-C59F-4258-9819-0C742EC7F32F}-0000000000000001", S_OK},
      {L"pinned-{1B353362-C59F-4258-9819-0C742EC7F32F}-FFFFFFFFFFFFFFFF", S_OK},
      {L"Pinned-{1B353362-C59F-4258-9819-0C742EC7F32F}-0000000000000000", E_INVALIDARG},
      {L"Pinned-whole name", S_OK},
      {L"Other", E_INVALIDARG},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::Utf8FromWide(row.pinName));
    EXPECT_EQ(PinOf(L"D:\\Media\\clip.mov", row.pinName)->SetValue(ComVariant(L"Op")), row.result);
  }
  std::vector<ULONGLONG> values;
  for (const auto& [key, value, op] : ListedPins()) values.push_back(value);
  EXPECT_EQ(values, (std::vector<ULONGLONG>{1, ~0ull}));
}

// A rename keeps the pin: the element keeps the key string it was made with,
// and that key string still leads to the file at its new path.
TEST_F(ListPinsTest, ARenamedFileKeepsItsPinAndItsOldKeyStillFindsIt) {
  const std::wstring oldKey = KeyOf(L"D:\\Media\\clip.mov");
  ASSERT_EQ(PinOf(L"D:\\Media\\clip.mov")->SetValue(ComVariant(L"Preview")), S_OK);
  fs::rename(volume_ / "Media" / "clip.mov", volume_ / "Media" / "renamed.mov");

  ComPtr<IArchiveObject> byOldKey;
  ASSERT_EQ(Object(oldKey, byOldKey), S_OK);
  EXPECT_EQ(PathOf(byOldKey.Get()), L"D:\\Media\\renamed.mov");
  ComVariant value;
  ASSERT_EQ(PinOf(L"D:\\Media\\renamed.mov")->GetValue(&value), S_OK);
  EXPECT_EQ(value.vt, VT_BSTR);
  ASSERT_EQ(std::get<0>(ListedPins().at(0)), oldKey);
  EXPECT_EQ(PinOf(L"D:\\Media\\renamed.mov")->SetValue(ComVariant()), S_OK);
  EXPECT_TRUE(ListedPins().empty());
  // Another file now at the old path is not the pinned one.
  WriteFile(volume_ / "Media" / "clip.mov", "another file");
  ASSERT_EQ(Object(oldKey, byOldKey), S_OK);
  EXPECT_EQ(PathOf(byOldKey.Get()), L"D:\\Media\\renamed.mov");
}

TEST_F(ListPinsTest, FailuresInjectedForOneKeyStringLeaveOtherFilesAlone) {
  WriteFile(volume_ / "Media" / "other.mov", "other");
  const std::wstring key = KeyOf(L"D:\\Media\\clip.mov");
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  const std::vector<DWORD> ids = [&] {
    ComPtr<IArchiveObject> object;
    EXPECT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
    return Identity(object.Get());
  }();
  for (const wchar_t* slot :
       {L"IArchivePin.9", L"IArchivePin.8", L"IArchivePins.8", L"IArchiveSystem.26", L"IArchiveObject.20"}) {
    SCOPED_TRACE(platform::Utf8FromWide(slot));
    const std::wstring name = std::wstring(slot) + L":" + key;
    SetFail(name, denied);
    ComPtr<IArchiveObject> object;
    ComPtr<IArchiveFile> file;
    ComPtr<IArchivePin> pin;
    ComVariant value;
    // The worker's road: the object, its file of that identity, the pin.
    HRESULT hr = Object(L"D:\\Media\\clip.mov", object);
    if (SUCCEEDED(hr)) hr = object->GetFile(ids[1], ids[2], ids[0], file.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = As<IArchivePins>(file.Get())->GetPin(ComVariant(kPinName), pin.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = std::wstring(slot) == L"IArchivePin.8" ? pin->GetValue(&value) : pin->SetValue(ComVariant(L"Op"));
    EXPECT_EQ(hr, denied);
    EXPECT_EQ(PinOf(L"D:\\Media\\other.mov")->SetValue(ComVariant(L"Op")), S_OK);
    SetFail(name, S_OK);
  }
}

// The pin tool pins and releases through the archive object, as a person
// would; its second release reports the pin already offline.
TEST_F(ListPinsTest, ThePinToolPinsAFileAndReleasesItOnce) {
  const std::string tool = std::string("'") + VNPIN_PROGRAM + "' ";
  const std::string clsid = " {1b353362-c59f-4258-9819-0c742ec7f32f} ";
  const std::string err = (g_root / (volume_.filename().string() + ".err")).string();
  EXPECT_EQ(std::system((tool + "pin-file 'D:\\Media\\clip.mov'" + clsid + "0xA5 Preview").c_str()), 0);
  using Row = std::tuple<std::wstring, ULONGLONG, std::wstring>;
  EXPECT_EQ(ListedPins(), (std::vector<Row>{Row{KeyOf(L"D:\\Media\\clip.mov"), 0xA5, L"Preview"}}))
      << "the tool writes the braced upper-case CLSID the worker compares";
  EXPECT_NE(std::system((tool + "pin-file 'D:\\Media\\clip.mov'" + clsid + "0 Preview 2>/dev/null").c_str()), 0);
  EXPECT_EQ(std::system((tool + "release-file 'D:\\Media\\clip.mov'" + clsid + "0xA5").c_str()), 0);
  EXPECT_TRUE(ListedPins().empty());
  EXPECT_NE(std::system((tool + "release-file 'D:\\Media\\clip.mov'" + clsid + "0xA5 2>'" + err + "'").c_str()), 0);
  std::ifstream in(err);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("0x800710FE"), std::string::npos) << text.str();
}

}  // namespace
