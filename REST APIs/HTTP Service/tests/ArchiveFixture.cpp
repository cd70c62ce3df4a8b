// ArchiveFixture.cpp - registration of the archive stand-in and the event log of the selection tests.
#include "ArchiveFixture.h"

#include "LibService/Status.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/eventlog/eventlog.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace archive_fixture {

namespace {

constexpr wchar_t kEventSource[] = L"Webbridge Select Test";

class Environment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string dir = platform::testing::MakeTempDir("webbridge-select-");
    setenv("VANTREL_LOG_DIR", dir.c_str(), 1);
    setenv("VANTREL_ARCHIVE_EVENTS", dir.c_str(), 1);
    const std::string command = std::string("'") + VN_REGSVR_PATH + "' /s '" + VNARCHIVE_LIBRARY + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE);
    const CStatus status = RegisterEventLog(kEventSource);
    ASSERT_TRUE(status.IsOK()) << platform::Utf8FromWide(status.GetText());
  }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new Environment);

void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  platform::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(k.get(), name, value), ERROR_SUCCESS);
}

}  // namespace

platform::ComPtr<IArchiveSystem> CreateArchiveSystem() {
  platform::ComPtr<IArchiveSystem> archive;
  EXPECT_EQ(CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(archive.GetAddressOf())),
            S_OK);
  return archive;
}

void MapDrive(const std::wstring& letter, const std::filesystem::path& folder) {
  const std::wstring host = platform::WideFromUtf8(folder.string());
  SetString(platform::kDriveMapKey, letter + L":", host);
}

void InjectFailure(const std::wstring& interfaceSlot, HRESULT hr) {
  platform::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Corvellane\\Archive\\Fail", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  if (hr == 0) {
    RegDeleteValueW(k.get(), interfaceSlot.c_str());
  } else {
    ASSERT_EQ(platform::RegWriteDword(k.get(), interfaceSlot, static_cast<DWORD>(hr)), ERROR_SUCCESS);
  }
}

std::vector<std::vector<std::wstring>> EventsWithId(DWORD id) {
  std::vector<std::vector<std::wstring>> out;
  for (const auto& record : platform::ReadEventLog(kEventSource))
    if (record.eventId == id) out.push_back(record.strings);
  return out;
}

}  // namespace archive_fixture
