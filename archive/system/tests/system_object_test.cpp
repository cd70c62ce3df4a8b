// system_object_test.cpp - the archive system object, activated from the registry, slot by slot.
//
// The test program registers the library with vnregsvr into a fresh
// registry file, maps two drive letters to temporary folders and walks every
// slot of the table through CoCreateInstance, with good and bad inputs.
#include "archive/system/tests/archive_fixture.h"

namespace {

TEST_F(ArchiveSystemTest, VersionSlotGivesTheVersionText) {
  ComPtr<IArchiveVersion> version;
  ASSERT_EQ(system_->GetVersion(version.ReleaseAndGetAddressOf()), S_OK);
  ComBstr text;
  ASSERT_EQ(version->GetVersionText(text.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(text.Str(), L"Corvellane Archive 1.0 (Vantrel stand-in)");
  EXPECT_EQ(system_->Reserved8(), E_NOTIMPL);
}

TEST_F(ArchiveSystemTest, DirectoriesResolveInEveryFormTheConfigurationUses) {
  const struct {
    const wchar_t* path;
    const wchar_t* expected;
  } cases[] = {
      {L"D:\\Media", L"D:\\Media"},  {L"d:/Media/", L"D:\\Media"}, {L"0\\Media", L"D:\\Media"},
      {L"0/Media", L"D:\\Media"},    {L"0", L"D:\\"},              {L"D:", L"D:\\"},
      {L"E:\\", L"E:\\"},            {L"\\\\?\\D:\\Media", L"D:\\Media"}, {L"D:\\.\\Media\\.", L"D:\\Media"},
  };
  for (const auto& c : cases) {
    ComPtr<IArchiveObject> directory;
    ASSERT_EQ(Directory(c.path, directory), S_OK) << c.path;
    EXPECT_EQ(PathOf(directory.Get()), c.expected) << c.path;
  }
}

TEST_F(ArchiveSystemTest, BadPathsAreRefusedNotFollowed) {
  fs::create_symlink("/etc", volume_ / "escape");
  const struct {
    const wchar_t* path;
    DWORD directoryCode;  // from slot 27
    DWORD fileCode;       // from slot 26
  } cases[] = {
      {L"X:\\Media", ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},        // unknown drive
      {L"D:\\Media\\..\\..", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},    // climbs out of the volume
      {L"0/../etc/passwd", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
      {L"D:\\escape", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},           // a link out of the volume
      {L"D:\\escape\\passwd", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
      {L"D:\\Missing", ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {L"D:\\Media\\clip.mov", ERROR_DIRECTORY, 0},                       // a file is no directory
      {L"D:\\Media", 0, ERROR_FILE_NOT_FOUND},                            // and a directory no file
      {L"", ERROR_INVALID_NAME, ERROR_INVALID_NAME},
      {L"Media\\clip.mov", ERROR_INVALID_NAME, ERROR_INVALID_NAME},       // no drive
      {L"D:\\Media\\clip.mov:stream", ERROR_INVALID_NAME, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    ComPtr<IArchiveObject> object;
    EXPECT_EQ(Directory(c.path, object), HRESULT_FROM_WIN32(c.directoryCode)) << c.path;
    EXPECT_EQ(object.Get() != nullptr, c.directoryCode == 0) << c.path;
    EXPECT_EQ(Object(c.path, object), HRESULT_FROM_WIN32(c.fileCode)) << c.path;
    EXPECT_EQ(object.Get() != nullptr, c.fileCode == 0) << c.path;
  }
  // A BSTR may carry a NUL that would cut the path short.
  ComPtr<IArchiveObject> object;
  const wchar_t withNul[] = L"D:\\Media\\clip.mov\0.txt";
  EXPECT_EQ(system_->GetArchiveObject(ComBstr(std::wstring_view(withNul, 22)), object.ReleaseAndGetAddressOf()),
            HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
  EXPECT_EQ(system_->GetArchiveObject(ComBstr(L"D:\\Media\\clip.mov"), nullptr), E_POINTER);
}

TEST_F(ArchiveSystemTest, PathsTheObjectsGiveOpenThroughTheDriveMap) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"0\\Media\\clip.mov", object), S_OK);
  const std::wstring path = PathOf(object.Get());
  ASSERT_EQ(path, L"D:\\Media\\clip.mov");
  platform::UniqueHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file) << GetLastError();
  char buffer[64] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "first content");
  // Moving the drive moves the archive's volume with it: one map for both.
  SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(other_.string()));
  EXPECT_EQ(Object(L"D:\\Media\\clip.mov", object), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

TEST_F(ArchiveSystemTest, FileObjectAnswersEveryInterfaceAndFindsItsIdentity) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"0/Media\\clip.mov", object), S_OK);
  EXPECT_EQ(PathOf(object.Get()), L"D:\\Media\\clip.mov");
  for (const IID* iid : {&IID_IArchiveFile, &IID_IArchivePins, &IID_IArchiveIdentity, &IID_IArchiveItems,
                         &IID_IArchiveFileControl, &IID_IDispatch, &IID_IUnknown}) {
    ComPtr<IUnknown> face;
    EXPECT_EQ(object->QueryInterface(*iid, face.PutVoid()), S_OK) << platform::Utf8FromWide(platform::FormatGuid(*iid));
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(object->QueryInterface(IID_IArchiveSystem, none.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(none.Get(), nullptr);

  const std::vector<DWORD> ids = Identity(object.Get());
  ComPtr<IArchiveFile> file;
  ASSERT_EQ(object->GetFile(ids[1], ids[2], ids[0], file.ReleaseAndGetAddressOf()), S_OK);
  ComBstr fullPath, key;
  ASSERT_EQ(file->GetFullPath(fullPath.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(file->GetKeyString(key.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(fullPath.Str(), L"D:\\Media\\clip.mov");
  EXPECT_EQ(key.Str(), platform::FormatW(L"%08X@D:\\Media\\clip.mov", ids[0]));

  // The key string resolves to the same file, and the directory finds it by id0.
  ComPtr<IArchiveObject> byKey, directory;
  ASSERT_EQ(Object(key.Str(), byKey), S_OK);
  EXPECT_EQ(Identity(byKey.Get()), ids);
  ASSERT_EQ(Directory(L"D:\\Media", directory), S_OK);
  ComPtr<IArchiveFile> inDirectory;
  ASSERT_EQ(directory->GetFile(ids[1], ids[2], ids[0], inDirectory.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(Identity(inDirectory.Get()), ids);
  EXPECT_EQ(directory->GetFile(0, 0, ids[0] + 1, inDirectory.ReleaseAndGetAddressOf()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(object->GetFile(ids[1], ids[2], ids[0] + 1, file.ReleaseAndGetAddressOf()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(file.Get(), nullptr);
}

TEST_F(ArchiveSystemTest, ItemsGiveTheIdentityAndTheRecordAndRefuseShortBuffers) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  const std::vector<DWORD> ids = Identity(object.Get());
  auto items = As<IArchiveItems>(object.Get());

  BYTE record[64] = {};
  ASSERT_EQ(items->GetItem(48, record, 48), S_OK);
  EXPECT_EQ(platform::LoadLe32(record + 32), ids[1]);
  EXPECT_EQ(platform::LoadLe32(record + 36), ids[2]);
  EXPECT_EQ(platform::LoadLe32(record + 16), 13u);  // the file's size

  const struct {
    ULONG code;
    ULONG bytes;
    HRESULT expected;
  } cases[] = {
      {12, 11, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {48, 47, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {48, 0, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {13, 64, E_INVALIDARG},
      {0, 64, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    BYTE guard[64];
    std::fill(std::begin(guard), std::end(guard), 0xAB);
    EXPECT_EQ(items->GetItem(c.code, guard, c.bytes), c.expected) << c.code << "/" << c.bytes;
    EXPECT_EQ(guard[0], 0xAB) << "a refused call must not write";
  }
  EXPECT_EQ(items->GetItem(12, nullptr, 12), E_POINTER);
}

TEST_F(ArchiveSystemTest, IdentityPairFollowsTheContentAndKeysFollowTheFile) {
  const fs::path clip = volume_ / "Media" / "clip.mov";
  ComPtr<IArchiveObject> before;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", before), S_OK);
  const std::vector<DWORD> old = Identity(before.Get());
  ComBstr key;
  ASSERT_EQ(As<IArchiveFile>(before.Get())->GetKeyString(key.ReleaseAndGetAddressOf()), S_OK);

  // Rewritten in place (same file, later modification): same id0, new pair.
  std::ofstream(clip, std::ios::binary | std::ios::trunc) << "second content";
  fs::last_write_time(clip, fs::last_write_time(clip) + std::chrono::seconds(5));
  BYTE pair[8];
  ULONG returned = 0;
  ASSERT_EQ(As<IArchiveFileControl>(before.Get())->Control(0x96194, nullptr, 0, pair, 8, &returned), S_OK);
  EXPECT_EQ(returned, 8u);
  EXPECT_TRUE(platform::LoadLe32(pair) != old[1] || platform::LoadLe32(pair + 4) != old[2]);
  EXPECT_GT(platform::LoadLe32(pair), old[1]);  // later versions order after earlier ones
  EXPECT_EQ(Identity(before.Get()), old) << "an object keeps the version it was made for";
  ComPtr<IArchiveObject> after;
  ASSERT_EQ(Object(key.Str(), after), S_OK);
  EXPECT_EQ(Identity(after.Get()), (std::vector<DWORD>{old[0], platform::LoadLe32(pair), platform::LoadLe32(pair + 4)}));

  // Replaced by another file under the same name: the old key no longer resolves.
  WriteFile(volume_ / "Media" / "clip.new", "replacement");
  fs::rename(volume_ / "Media" / "clip.new", clip);
  EXPECT_EQ(Object(key.Str(), after), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Object(L"D:\\Media\\clip.mov", after), S_OK);
  EXPECT_NE(Identity(after.Get())[0], old[0]);

  // Gone: the identity control reports it instead of stale values.
  fs::remove(clip);
  EXPECT_EQ(As<IArchiveFileControl>(after.Get())->Control(0x96194, nullptr, 0, pair, 8, &returned),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(ArchiveSystemTest, CompanionPathsCarryTheVersionAndStayInsideTheVolume) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  std::wstring path;
  ASSERT_EQ(Companion(object.Get(), 0x96190, L"Preview.webm", path), S_OK);
  EXPECT_EQ(path, L".companions\\Media\\clip.mov\\Preview-1A-2.webm");
  EXPECT_FALSE(fs::exists(volume_ / ".companions")) << "asking for the kept path creates nothing";
  ASSERT_EQ(Companion(object.Get(), 0x96190, L"(*).(*)", path, 0xABCDEF01, 0x10), S_OK);
  EXPECT_EQ(path, L".companions\\Media\\clip.mov\\(*)-ABCDEF01-10.(*)");
  ASSERT_EQ(Companion(object.Get(), 0x96190, L"log", path), S_OK);
  EXPECT_EQ(path, L".companions\\Media\\clip.mov\\log-1A-2");

  ASSERT_EQ(Companion(object.Get(), 0x9618C, L"Preview.webm", path), S_OK);
  EXPECT_EQ(path, L".companions\\Media\\clip.mov\\Preview-1A-2.webm");
  EXPECT_TRUE(fs::is_directory(volume_ / ".companions" / "Media" / "clip.mov")) << "the writer gets its folder";

  const HRESULT badName = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
  for (const wchar_t* name : {L"a\\b.webm", L"a/b.webm", L"..", L"x..y", L"C:evil", L"..\\..\\etc"}) {
    EXPECT_EQ(Companion(object.Get(), 0x96190, name, path), badName) << name;
    EXPECT_EQ(Companion(object.Get(), 0x9618C, name, path), badName) << name;
    EXPECT_TRUE(path.empty()) << name;
  }
  EXPECT_EQ(Companion(object.Get(), 0x96190, L"", path), badName);
  EXPECT_EQ(Companion(object.Get(), 0x96190, std::wstring(63, L'n'), path), S_OK);
  EXPECT_EQ(Companion(object.Get(), 0x96190, std::wstring(64, L'n'), path), E_INVALIDARG);
}

TEST_F(ArchiveSystemTest, FileControlRefusesMalformedRequestsAndShortBuffers) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  auto control = As<IArchiveFileControl>(object.Get());
  std::vector<BYTE> request = CompanionRequest(1, 2, L"Preview.webm");  // name: 24 bytes
  BYTE out[600];
  const struct {
    const char* label;
    ULONG code;
    const void* input;
    ULONG inputBytes;
    ULONG outputBytes;
    HRESULT expected;
  } cases[] = {
      {"no input", 0x96190, nullptr, 34, 600, E_INVALIDARG},
      {"shorter than the header", 0x96190, request.data(), 9, 600, E_INVALIDARG},
      {"name longer than the input", 0x96190, request.data(), 33, 600, E_INVALIDARG},
      {"output too short", 0x96190, request.data(), 34, 20, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {"output too short to write", 0x9618C, request.data(), 34, 20, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {"pair needs 8 bytes", 0x96194, nullptr, 0, 7, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
      {"unknown code", 0x96198, nullptr, 0, 600, HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)},
  };
  for (const auto& c : cases) {
    std::fill(std::begin(out), std::end(out), 0xAB);
    ULONG returned = 77;
    EXPECT_EQ(control->Control(c.code, c.input, c.inputBytes, out, c.outputBytes, &returned), c.expected) << c.label;
    EXPECT_EQ(returned, 0u) << c.label;
    EXPECT_EQ(out[0], 0xAB) << c.label;
  }
  request[8] = 25;  // an odd byte count is no UTF-16 text
  ULONG returned = 0;
  EXPECT_EQ(control->Control(0x96190, request.data(), 35, out, 600, &returned), E_INVALIDARG);
  request[8] = 200;  // beyond the 63-character field
  EXPECT_EQ(control->Control(0x96190, request.data(), 210, out, 600, &returned), E_INVALIDARG);
  EXPECT_EQ(control->Control(0x96194, nullptr, 0, nullptr, 8, &returned), E_POINTER);
  EXPECT_EQ(control->Control(0x96194, nullptr, 0, out, 8, nullptr), E_POINTER);
  EXPECT_FALSE(fs::exists(volume_ / ".companions"));
}

TEST_F(ArchiveSystemTest, PinsReadEmptyUntilSetAndReleaseOnlyOnce) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  auto pins = As<IArchivePins>(object.Get());
  ComPtr<IArchivePin> pin;
  ASSERT_EQ(pins->GetPin(ComVariant(L"Pinned-{CLSID}-0000000000000001"), pin.ReleaseAndGetAddressOf()), S_OK);

  ComVariant value;
  ASSERT_EQ(pin->GetValue(&value), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);
  ASSERT_EQ(pin->SetValue(ComVariant(L"Preview")), S_OK);

  // Another object of the same file sees the pin: it belongs to the file.
  const std::vector<DWORD> ids = Identity(object.Get());
  ComPtr<IArchiveFile> file;
  ASSERT_EQ(object->GetFile(ids[1], ids[2], ids[0], file.ReleaseAndGetAddressOf()), S_OK);
  ComPtr<IArchivePin> same;
  ASSERT_EQ(As<IArchivePins>(file.Get())->GetPin(ComVariant(L"Pinned-{CLSID}-0000000000000001"),
                                                 same.ReleaseAndGetAddressOf()),
            S_OK);
  ComVariant seen;
  ASSERT_EQ(same->GetValue(&seen), S_OK);
  ASSERT_EQ(seen.vt, VT_BSTR);
  EXPECT_STREQ(seen.bstrVal, L"Preview");

  ASSERT_EQ(pin->SetValue(ComVariant()), S_OK);
  EXPECT_EQ(pin->SetValue(ComVariant()), kOffline) << "a second release must not pass as a release";
  ComVariant cleared;
  ASSERT_EQ(same->GetValue(&cleared), S_OK);
  EXPECT_EQ(cleared.vt, VT_EMPTY);

  // Values convert to text; an empty one could not be told from no pin.
  ASSERT_EQ(pin->SetValue(ComVariant(42)), S_OK);
  ComVariant number;
  ASSERT_EQ(pin->GetValue(&number), S_OK);
  EXPECT_STREQ(number.bstrVal, L"42");
  EXPECT_EQ(pin->SetValue(ComVariant(L"")), E_INVALIDARG);
  EXPECT_EQ(pins->GetPin(ComVariant(7), pin.ReleaseAndGetAddressOf()), E_INVALIDARG);
  EXPECT_EQ(pins->GetPin(ComVariant(L""), pin.ReleaseAndGetAddressOf()), E_INVALIDARG);
  EXPECT_EQ(pin.Get(), nullptr);
}

TEST_F(ArchiveSystemTest, ConcurrentReleasesOfOnePinSucceedOnce) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  auto pins = As<IArchivePins>(object.Get());
  for (int round = 0; round < 5; ++round) {
    ComPtr<IArchivePin> pin;
    ASSERT_EQ(pins->GetPin(ComVariant(L"Pinned-race"), pin.ReleaseAndGetAddressOf()), S_OK);
    ASSERT_EQ(pin->SetValue(ComVariant(L"Op")), S_OK);
    std::atomic<int> released{0}, offline{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        ComVariant empty;
        const HRESULT hr = pin->SetValue(empty);
        (hr == S_OK ? released : offline)++;
        BYTE ids[12];
        As<IArchiveItems>(object.Get())->GetItem(12, ids, sizeof ids);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(offline.load(), 3);
  }
}

TEST_F(ArchiveSystemTest, EventReportsAreRecordedOnePerLine) {
  ComPtr<IProviderEventSink> sink;
  ASSERT_EQ(system_->QueryInterface(IID_IProviderEventSink, sink.PutVoid()), S_OK);
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 3);
  const wchar_t* texts[] = {L"0x80004005", L"Unspecified error\r\n", L"D:\\Media\\clip.mov"};
  for (LONG i = 0; i < 3; ++i) {
    ComBstr text(texts[i]);
    ASSERT_EQ(SafeArrayPutElement(strings, &i, text.Get()), S_OK);
  }
  ASSERT_EQ(sink->ReportEvent(0xC000EA60, strings), S_OK);
  SafeArrayDestroy(strings);

  SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(sink->ReportEvent(0xC000EA68, numbers), E_INVALIDARG);
  SafeArrayDestroy(numbers);

  std::ifstream log(g_root / "events.log");
  std::string line, last;
  while (std::getline(log, line))
    if (line.find("0xC000EA60") != std::string::npos) last = line;
  EXPECT_NE(last.find("\t0xC000EA60\t0x80004005\tUnspecified error\\r\\n\tD:\\\\Media\\\\clip.mov"), std::string::npos)
      << last;
  EXPECT_EQ(last.find("0xC000EA68"), std::string::npos);
}

TEST_F(ArchiveSystemTest, InjectedFailuresAnswerFromTheirSlot) {
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  ComPtr<IArchiveObject> out;
  ComBstr text;
  BYTE buffer[48];
  ULONG returned = 0;
  ComPtr<IArchivePin> pin;
  const struct {
    const wchar_t* slot;
    std::function<HRESULT()> call;
  } cases[] = {
      {L"IArchiveSystem.26", [&] { return Object(L"D:\\Media\\clip.mov", out); }},
      {L"IArchiveSystem.27", [&] { return Directory(L"D:\\Media", out); }},
      {L"IArchiveObject.8", [&] { return object->GetPath(text.ReleaseAndGetAddressOf()); }},
      {L"IArchiveFile.9", [&] { return As<IArchiveFile>(object.Get())->GetKeyString(text.ReleaseAndGetAddressOf()); }},
      {L"IArchiveItems.4", [&] { return As<IArchiveItems>(object.Get())->GetItem(48, buffer, 48); }},
      {L"IArchiveFileControl.3",
       [&] { return As<IArchiveFileControl>(object.Get())->Control(0x96194, nullptr, 0, buffer, 8, &returned); }},
      {L"IArchivePins.8",
       [&] { return As<IArchivePins>(object.Get())->GetPin(ComVariant(L"p"), pin.ReleaseAndGetAddressOf()); }},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.call(), S_OK) << platform::Utf8FromWide(c.slot);
    SetFail(c.slot, denied);
    EXPECT_EQ(c.call(), denied) << platform::Utf8FromWide(c.slot);
    SetFail(c.slot, S_OK);
    EXPECT_EQ(c.call(), S_OK) << platform::Utf8FromWide(c.slot);
  }
}

// The injected failures are read once and followed through their key: each
// change made by this process shows at the very next call, whether it sets,
// changes or removes a value or deletes and makes the key again; another
// process's change shows within a generous bound.
TEST_F(ArchiveSystemTest, InjectedFailuresFollowTheirKey) {
  const std::wstring failKey = std::wstring(kArchiveKey) + L"\\Fail";
  const std::string slot = "IArchiveSystem.26";
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  const HRESULT busy = HRESULT_FROM_WIN32(ERROR_BUSY);
  ComPtr<IArchiveObject> out;
  auto call = [&] { return Object(L"D:\\Media\\clip.mov", out); };
  auto deleteKey = [&] { RegDeleteTreeW(HKEY_LOCAL_MACHINE, failKey.c_str()); };
  auto vnreg = [&](const std::string& arguments) {
    const std::string command = std::string("'") + VNREG_PROGRAM + "' " + arguments + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };
  const std::string hklmFail = "'HKLM\\" + platform::Utf8FromWide(failKey) + "'";
  const struct {
    const char* step;
    std::function<void()> change;
    HRESULT expected;
    bool otherProcess;
  } steps[] = {
      {"no Fail key", deleteKey, S_OK, false},
      {"the key made with the value", [&] { SetFail(L"IArchiveSystem.26", denied); }, denied, false},
      {"the value changed", [&] { SetFail(L"IArchiveSystem.26", busy); }, busy, false},
      {"the name in another case", [&] { SetFail(L"iarchivesystem.26", denied); }, denied, false},
      {"another slot's value", [&] { SetFail(L"IArchiveSystem.27", busy); }, denied, false},
      {"the value removed", [&] { SetFail(L"IArchiveSystem.26", S_OK); }, S_OK, false},
      {"set again", [&] { SetFail(L"IArchiveSystem.26", denied); }, denied, false},
      {"the key deleted whole", deleteKey, S_OK, false},
      {"set by another process",
       [&] {
         vnreg("add " + hklmFail + " /v " + slot + " /t REG_DWORD /d " + std::to_string(static_cast<DWORD>(busy)) +
               " /f");
       },
       busy, true},
      {"removed by another process", [&] { vnreg("delete " + hklmFail + " /v " + slot + " /f"); }, S_OK, true},
      {"the key deleted by another process after this one set it",
       [&] {
         SetFail(L"IArchiveSystem.26", denied);
         EXPECT_EQ(call(), denied);
         vnreg("delete " + hklmFail + " /f");
       },
       S_OK, true},
  };
  for (const auto& s : steps) {
    s.change();
    if (s.otherProcess) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (call() != s.expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(call(), s.expected) << s.step;
    // Read twice: a cached answer must not differ from the first.
    EXPECT_EQ(call(), s.expected) << s.step;
  }
  deleteKey();
}

TEST_F(ArchiveSystemTest, ServerExportsHandOutTheClassAndCountItsObjects) {
  void* module = dlopen(VNARCHIVE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(module, nullptr) << "CoCreateInstance loaded the registered library";
  auto canUnload = reinterpret_cast<PFN_DllCanUnloadNow>(dlsym(module, "DllCanUnloadNow"));
  auto getClass = reinterpret_cast<PFN_DllGetClassObject>(dlsym(module, "DllGetClassObject"));
  ASSERT_NE(canUnload, nullptr);
  ASSERT_NE(getClass, nullptr);
  EXPECT_EQ(dlsym(module, "_ZN9vnarchive12LiveObjectsEv"), nullptr) << "only the server entry points are exported";

  ComPtr<IClassFactory> factory;
  EXPECT_EQ(getClass(IID_IArchiveSystem, IID_IClassFactory, factory.PutVoid()), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClass(CLSID_ArchiveSystem, IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<IArchiveSystem> made;
  EXPECT_EQ(factory->CreateInstance(system_.Get(), IID_IArchiveSystem, made.PutVoid()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IArchiveItems, made.PutVoid()), E_NOINTERFACE);

  EXPECT_EQ(canUnload(), S_FALSE);  // system_ is alive
  ComPtr<IArchiveObject> object;
  ASSERT_EQ(Object(L"D:\\Media\\clip.mov", object), S_OK);
  system_.Reset();
  EXPECT_EQ(canUnload(), S_FALSE);  // the file object still is
  object.Reset();
  EXPECT_EQ(canUnload(), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnload(), S_OK);
  dlclose(module);
}

bool KeyExists(const wchar_t* path) {
  platform::RegKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

TEST_F(ArchiveSystemTest, RegistrationToolRegistersAndUnregisters) {
  const wchar_t kClassKey[] = L"CLSID\\{B0E4A6E9-6EC0-4453-B9FC-BD327330AC1C}";
  ASSERT_EQ(ArchiveEnvironment::Register("/u"), 0);
  EXPECT_FALSE(KeyExists(kClassKey));  // the whole class key goes, not only its server key
  EXPECT_TRUE(KeyExists(L"CLSID"));    // the shared parent stays
  ComPtr<IArchiveSystem> again;
  EXPECT_EQ(again.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(ArchiveEnvironment::Register("/u"), 0);  // unregistering again is no failure

  ASSERT_EQ(ArchiveEnvironment::Register(), 0);
  EXPECT_EQ(again.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  platform::RegKey server;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\InprocServer32").c_str(), 0, KEY_READ,
                          server.put()),
            ERROR_SUCCESS);
  std::wstring module, threading;
  ASSERT_EQ(platform::RegReadString(server.get(), L"", module), ERROR_SUCCESS);
  EXPECT_EQ(fs::path(platform::Utf8FromWide(module)), fs::absolute(VNARCHIVE_LIBRARY));
  ASSERT_EQ(platform::RegReadString(server.get(), L"ThreadingModel", threading), ERROR_SUCCESS);
  EXPECT_EQ(threading, L"Both");

  // The stand-in has no DllInstall: the tool says so and calls nothing.
  EXPECT_EQ(ArchiveEnvironment::Register("/u /n /i:user"), 4);
  EXPECT_TRUE(KeyExists(kClassKey));
}

}  // namespace
