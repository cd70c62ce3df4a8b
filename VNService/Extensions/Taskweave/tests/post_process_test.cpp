// post_process_test.cpp - records of work in progress and the objects handed to providers, over real archive files.
#include "VNService/Extensions/Taskweave/tests/WorkerTestSupport.h"

namespace worker_test {
namespace {

constexpr ULONG kAny = kAnyIdentity;
constexpr ULONG kUntouched = 0x5A5A5A5A;

// --- PostProcessRecord::Compare ---

TEST(PostProcessRecordTest, CompareOrdersAndMatches) {
  const struct {
    const char* name;
    PostProcessRecord a, b;
    int strict;
    int wildcard;
  } cases[] = {
      {"Equal", {L"Op", L"K", 1, 2, 3}, {L"Op", L"K", 1, 2, 3}, 0, 0},
      {"OperationFirst", {L"A", L"Z", 9, 9, 9}, {L"B", L"A", 0, 0, 0}, -1, -1},
      {"OperationCaseCounts", {L"op", L"K", 1, 2, 3}, {L"Op", L"K", 1, 2, 3}, 1, 1},
      {"KeyStringSecond", {L"Op", L"A", 9, 9, 9}, {L"Op", L"B", 0, 0, 0}, -1, -1},
      {"Id1BeforeId2", {L"Op", L"K", 1, 9, 9}, {L"Op", L"K", 2, 0, 0}, -1, -1},
      {"Id2BeforeId0", {L"Op", L"K", 1, 1, 9}, {L"Op", L"K", 1, 2, 0}, -1, -1},
      {"Id0Last", {L"Op", L"K", 1, 2, 4}, {L"Op", L"K", 1, 2, 3}, 1, 1},
      {"UnsignedIds", {L"Op", L"K", 0x80000000, 0, 0}, {L"Op", L"K", 1, 0, 0}, 1, 1},
      {"AnyMatchesOnlyWithWildcard", {L"Op", L"K", 1, 2, kAny}, {L"Op", L"K", 1, 2, 3}, 1, 0},
      {"AnyOnEitherSide", {L"Op", L"K", kAny, kAny, 3}, {L"Op", L"K", 7, 8, 3}, 1, 0},
      {"AnyDoesNotHideOtherIds", {L"Op", L"K", kAny, 2, 3}, {L"Op", L"K", 7, 8, 3}, 1, -1},
      {"AnyDoesNotHideTheFile", {L"Op", L"K1", kAny, kAny, kAny}, {L"Op", L"K2", 1, 2, 3}, -1, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a.Compare(c.b, false), c.strict) << c.name;
    EXPECT_EQ(c.a.Compare(c.b, true), c.wildcard) << c.name;
    EXPECT_EQ(c.b.Compare(c.a, false), -c.strict) << c.name;
  }
}

TEST(PostProcessRecordTest, ModesMaskTheValuesTheyDoNotCover) {
  const struct {
    ULONG mode;
    ULONG expected[3];  // id0, id1, id2
  } cases[] = {
      {0, {kAny, kAny, kAny}}, {1, {kAny, 11, kAny}}, {2, {kAny, 11, 22}}, {3, {10, 11, 22}}, {7, {10, 11, 22}},
  };
  for (const auto& c : cases) {
    ULONG values[3] = {10, 11, 22};
    MaskIdentity(c.mode, values);
    EXPECT_EQ(std::vector<ULONG>(values, values + 3), std::vector<ULONG>(c.expected, c.expected + 3)) << c.mode;
  }
}

// --- the post-process objects ---

class PostProcessObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    m_system = CreateSystem();
    m_file = MakeFile(m_system.Get(), "objects/clip.mov");
    m_pin = PinOf(m_file, L"Pinned-Test-0000000000000001");
    m_rules = std::make_shared<CExtensionRegistryOperations>(&m_clsid);
  }
  void TearDown() override {
    m_pin.Reset();
    m_file.file.Reset();
    m_system.Reset();
    CoUninitialize();
  }
  ComPtr<CPostProcessParameters> Parameters() {
    return ComPtr<CPostProcessParameters>(
        new CPostProcessParameters(m_file.file.Get(), m_pin.Get(), L"Pinned-Test-0000000000000001", m_rules));
  }

  GUID m_clsid = TestClsid(77);
  ComPtr<IArchiveSystem> m_system;
  TestFile m_file;
  ComPtr<IArchivePin> m_pin;
  std::shared_ptr<CExtensionRegistryOperations> m_rules;
};

TEST_F(PostProcessObjectsTest, CountsStartAtZeroAndQueriesNeedAnOutPointer) {
  auto* operations = new CPostProcessOperations({});
  EXPECT_EQ(operations->AddRef(), 1u);
  EXPECT_EQ(operations->QueryInterface(IID_IPostProcessOperations, nullptr), E_FAIL);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(operations->QueryInterface(IID_IPostProcessParameters, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(operations->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IPostProcessOperations*>(operations));
  EXPECT_EQ(operations->Release(), 1u);
  EXPECT_EQ(operations->Release(), 0u);  // destroyed: the sanitizers see a leak or a double free otherwise
}

TEST_F(PostProcessObjectsTest, ParametersAnswerForTheFileFirst) {
  ComPtr<CPostProcessParameters> params = Parameters();
  void* out = nullptr;
  EXPECT_EQ(params->QueryInterface(IID_IArchiveFile, nullptr), E_FAIL);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(params->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  ComPtr<IUnknown> fileUnknown;
  ASSERT_EQ(m_file.file->QueryInterface(IID_IUnknown, fileUnknown.PutVoid()), S_OK);
  EXPECT_EQ(unknown.Get(), fileUnknown.Get());
  ComPtr<IArchivePin> pin;
  EXPECT_EQ(params->QueryInterface(IID_IArchivePin, pin.PutVoid()), S_OK);
  EXPECT_EQ(pin.Get(), m_pin.Get());
  ASSERT_EQ(params->QueryInterface(IID_IPostProcessParameters, &out), S_OK);
  EXPECT_EQ(out, static_cast<IPostProcessParameters*>(params.Get()));
  params->Release();
}

TEST_F(PostProcessObjectsTest, GetItemRefusesOtherItemsBeforeWriting) {
  ComPtr<CPostProcessParameters> params = Parameters();
  for (USHORT id : {USHORT(11), USHORT(48), USHORT(0)}) {
    ULONG values[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(params->GetItem(id, values), E_INVALIDARG) << id;
    EXPECT_EQ(values[0], kUntouched) << id;
    EXPECT_EQ(values[2], kUntouched) << id;
  }
  EXPECT_EQ(params->GetItem(12, nullptr), E_INVALIDARG);
  ULONG values[3] = {};
  ASSERT_EQ(params->SetMode(2), S_OK);
  ASSERT_EQ(params->GetItem(12, values), S_OK);
  EXPECT_EQ(values[0], kAny);
  EXPECT_EQ(values[1], m_file.id1);
  EXPECT_EQ(values[2], m_file.id2);
}

TEST_F(PostProcessObjectsTest, OperationsComeFromTheRulesAndShareTheirStorage) {
  const std::wstring base = CExtensionRegistryParametersBase::kBasePath;
  const std::wstring clsid = platform::FormatGuid(m_clsid);
  extrules_test::SetString(base + L"\\Rules\\Video", L"Include Path", L"*.mov");
  extrules_test::SetMulti(base + L"\\Rules\\Video", clsid, {L"Small", L"Large"});
  extrules_test::SetString(base + L"\\" + clsid + L"\\Operations\\Small", L"OutputFile", L"small.webm");
  extrules_test::SetString(base + L"\\" + clsid + L"\\Operations\\Large", L"OutputFile", L"large.webm");
  m_rules = std::make_shared<CExtensionRegistryOperations>(&m_clsid);

  ComPtr<CPostProcessParameters> params = Parameters();
  ComPtr<IPostProcessOperations> operations;
  ASSERT_EQ(params->GetOperations(operations.ReleaseAndGetAddressOf()), S_OK);
  std::vector<std::wstring> seen;
  for (;;) {
    IPostProcessOperation* raw = reinterpret_cast<IPostProcessOperation*>(1);
    ASSERT_EQ(operations->Next(&raw), S_OK);
    if (raw == nullptr) break;  // the end leaves the out pointer null
    ComPtr<IPostProcessOperation> operation;
    operation.Attach(raw);
    BSTR name = nullptr;
    ASSERT_EQ(operation->GetName(&name), S_OK);
    BSTR again = nullptr;
    ASSERT_EQ(operation->GetName(&again), S_OK);
    EXPECT_EQ(name, again);  // the object's own string, not a copy
    VARIANT value;
    ASSERT_EQ(operation->GetValue(ComBstr(L"OutputFile"), &value), S_OK);
    VARIANT same;
    ASSERT_EQ(operation->GetValue(ComBstr(L"OutputFile"), &same), S_OK);
    EXPECT_EQ(value.bstrVal, same.bstrVal);  // shallow: neither is cleared by the caller
    EXPECT_EQ(operation->GetValue(ComBstr(L"outputfile"), &value), S_FALSE);
    seen.push_back(ComBstr::FromBstr(name).Str() + L"=" + ComBstr::FromBstr(same.bstrVal).Str());
  }
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"Small=small.webm", L"Large=large.webm"}));
  IPostProcessOperation* past = reinterpret_cast<IPostProcessOperation*>(1);
  EXPECT_EQ(operations->Next(&past), S_OK);
  EXPECT_EQ(past, nullptr);
}

TEST_F(PostProcessObjectsTest, NoRuleForTheFileIsSFalse) {
  const std::wstring base = CExtensionRegistryParametersBase::kBasePath;
  const std::wstring clsid = platform::FormatGuid(m_clsid);
  extrules_test::CreateKey(base + L"\\" + clsid);
  extrules_test::SetString(base + L"\\Rules\\Stills", L"Include Path", L"*.jpg");
  extrules_test::SetString(base + L"\\Rules\\Stills", clsid, L"Small");
  m_rules = std::make_shared<CExtensionRegistryOperations>(&m_clsid);
  ComPtr<CPostProcessParameters> params = Parameters();
  IPostProcessOperations* operations = nullptr;
  EXPECT_EQ(params->GetOperations(&operations), S_FALSE);
  EXPECT_EQ(operations, nullptr);
}

TEST_F(PostProcessObjectsTest, RecordsAreBuiltFromTheMaskedItemAndTheKeyString) {
  ComPtr<CPostProcessParameters> params = Parameters();
  params->SetMode(1);
  PostProcessRecord record;
  ASSERT_EQ(PostProcessRecord::Build(ComBstr(L"Preview"), params.Get(), record), S_OK);
  EXPECT_EQ(record.Operation(), L"Preview");
  EXPECT_EQ(record.KeyString(), m_file.keyString);
  EXPECT_EQ(record.Id1(), m_file.id1);
  EXPECT_EQ(record.Id2(), kAny);
  EXPECT_EQ(record.Id0(), kAny);
  EXPECT_EQ(PostProcessRecord::Build(ComBstr(L"Preview"), nullptr, record), E_INVALIDARG);
}

TEST_F(PostProcessObjectsTest, TwoPinsOfOneFileAreBothKept) {
  PostProcessRecord record(L"Preview", m_file.keyString, m_file.id1, m_file.id2, m_file.id0);
  ComPtr<IArchivePin> second = PinOf(m_file, L"Pinned-Test-0000000000000002");
  for (const auto& [name, pin] : {std::pair{L"Pinned-Test-0000000000000001", m_pin}, std::pair{L"Pinned-Test-0000000000000002", second}}) {
    PostProcessRecord::PinKey key;
    ASSERT_EQ(PostProcessRecord::MakePinKey(m_file.file.Get(), name, key), S_OK);
    record.AddPin(key, pin.Get());
    record.AddPin(key, pin.Get());  // the same pin again changes nothing
  }
  EXPECT_EQ(record.PinCount(), 2u);
  EXPECT_EQ(m_pin->SetValue(ComVariant(L"Preview")), S_OK);
  // The second pin is not set: its release answers offline, which counts as done.
  EXPECT_EQ(record.ReleasePins(), S_OK);
  EXPECT_TRUE(record.KeptPinNames().empty());
  EXPECT_FALSE(IsPinned(m_file, L"Pinned-Test-0000000000000001"));
  EXPECT_EQ(record.ReleasePins(), S_OK);  // nothing is released twice
  EXPECT_EQ(ReadPinLog().total, 2);
}

}  // namespace
}  // namespace worker_test
