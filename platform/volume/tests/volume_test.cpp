// volume_test.cpp - drive letters from the drive map, opening volume roots,
// and control requests carried to a volume's endpoint.
#include "platform/volume/volume.h"

#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "platform/volume/testing/drive_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_folder;

const bool kEnvironment = [] {
  const std::string base = platform::testing::MakeTempDir("vn_volume_test.");
  ::setenv("VANTREL_PIPE_DIR", base.c_str(), 1);
  ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  g_folder = platform::testing::MakeTempDir("vn_volume_d.");
  return true;
}();

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::testing::MapDrive(L"E:", "/nonexistent/vn_volume_e"), ERROR_SUCCESS);
    ASSERT_EQ(platform::testing::MapDrive(L"D:", g_folder), ERROR_SUCCESS);
    ASSERT_EQ(platform::testing::MapDrive(L"Q", "/tmp"), ERROR_SUCCESS);  // not a drive name
    platform::RegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, platform::kDriveMapKey, 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    platform::RegWriteDword(key.get(), L"F:", 1);  // not a folder name
  }
};

TEST_F(VolumeTest, DriveStringsListTheMappedLettersInOrder) {
  wchar_t buffer[32];
  const DWORD n = GetLogicalDriveStringsW(32, buffer);
  EXPECT_EQ(std::wstring(buffer, n), std::wstring(L"D:\\\0E:\\\0", 8));
  EXPECT_EQ(GetLogicalDriveStringsW(3, buffer), 9u);  // the size needed, with the final NUL
}

struct DriveTypeCase {
  const wchar_t* root;
  UINT type;
};

TEST_F(VolumeTest, DriveTypesTable) {
  const DriveTypeCase cases[] = {
      {L"D:\\", DRIVE_FIXED},       {L"d:", DRIVE_FIXED},          {L"E:\\", DRIVE_NO_ROOT_DIR},
      {L"Z:\\", DRIVE_NO_ROOT_DIR}, {L"D:\\x", DRIVE_NO_ROOT_DIR}, {L"", DRIVE_NO_ROOT_DIR},
  };
  for (const DriveTypeCase& c : cases) EXPECT_EQ(GetDriveTypeW(c.root), c.type) << platform::Utf8FromWide(c.root);
}

struct OpenCase {
  const char* name;
  const wchar_t* root;
  DWORD flags;
  DWORD error;
};

TEST_F(VolumeTest, OpenRootsTable) {
  const OpenCase cases[] = {
      {"a fixed drive", L"D:\\", FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS},
      {"a directory without backup semantics", L"D:\\", FILE_ATTRIBUTE_DIRECTORY, ERROR_ACCESS_DENIED},
      {"a mapped letter without its folder", L"E:\\", FILE_FLAG_BACKUP_SEMANTICS, ERROR_PATH_NOT_FOUND},
      {"an unmapped letter", L"Z:\\", FILE_FLAG_BACKUP_SEMANTICS, ERROR_PATH_NOT_FOUND},
      {"a path below the root", L"D:\\x", FILE_FLAG_BACKUP_SEMANTICS, ERROR_INVALID_NAME},
  };
  for (const OpenCase& c : cases) {
    HANDLE h = OpenVolumeRootW(c.root, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, c.flags);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS, c.error) << c.name;
    if (h == INVALID_HANDLE_VALUE) continue;
    // No endpoint serves D: here: a file system that knows no such request.
    BYTE out[8];
    DWORD returned = 7;
    EXPECT_FALSE(DeviceIoControl(h, 0x92000, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(returned, 0u);
    CloseHandle(h);
  }
}

// An endpoint for D: that admits the open and echoes control input.
void ServeEcho(HANDLE pipe) {
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
  std::vector<BYTE> buffer(4096);
  DWORD n = 0;
  while (ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
    std::vector<BYTE> reply(platform::VOLUME_ENDPOINT_REPLY_HEADER, 0);
    reply.insert(reply.end(), buffer.begin() + platform::VOLUME_ENDPOINT_REQUEST_HEADER, buffer.begin() + n);
    DWORD written = 0;
    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
  }
}

TEST_F(VolumeTest, ControlRequestsReachTheEndpoint) {
  HANDLE server = CreateNamedPipeW(platform::VolumeEndpointName(L'd').c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  std::thread endpoint(ServeEcho, server);
  HANDLE h = OpenVolumeRootW(L"D:\\", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  char out[16] = {};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, 0x93134, "abcd", 4, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(std::string(out, returned), "abcd");
  EXPECT_FALSE(DeviceIoControl(h, 0x93134, "abcd", 4, out, 2, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(returned, 2u);
  EXPECT_TRUE(platform::CancelVolumeIo(h));
  EXPECT_FALSE(DeviceIoControl(h, 0x93134, "abcd", 4, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  CloseHandle(h);
  endpoint.join();
  CloseHandle(server);
}

}  // namespace
