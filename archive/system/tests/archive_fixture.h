// archive_fixture.h - what the archive system object's tests share: a fresh registry with the library
// registered, two mapped volumes and the object made through CoCreateInstance.
//
// The test program registers the library with vnregsvr into a fresh registry
// file once per process, before any test touches the registry.
#pragma once

#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/testing/temp_registry.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using platform::ComBstr;
using platform::ComPtr;
using platform::ComVariant;

inline constexpr HRESULT kOffline = static_cast<HRESULT>(0x800710FEu);
inline const wchar_t kArchiveKey[] = L"Software\\Vantrel\\Corvellane\\Archive";
inline const wchar_t kVolumesKey[] = L"Software\\Vantrel\\Corvellane\\Volumes";

inline fs::path g_root;  // the test program's temporary folder

// A fresh registry and temporary folders for the whole program, set before
// any test touches the registry; the library is registered by its tool.
class ArchiveEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_root = platform::testing::UseTempRegistry("vnarchive-test-");
    setenv("VANTREL_ARCHIVE_EVENTS", g_root.c_str(), 1);
    ASSERT_EQ(Register(), 0);
  }
  // The registration tool's exit code for its flags and the library.
  static int Register(const std::string& flags = "") {
    const std::string command =
        std::string("'") + VN_REGSVR_PATH + "' /s " + flags + " '" + VNARCHIVE_LIBRARY + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};
inline const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ArchiveEnvironment);

inline void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  platform::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(k.get(), name, value), ERROR_SUCCESS);
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// The companion request: id1, id2, name bytes, name.
inline std::vector<BYTE> CompanionRequest(DWORD id1, DWORD id2, const std::wstring& name) {
  const std::string bytes = platform::Utf16leFromWide(name);
  std::vector<BYTE> request(10 + 128, 0);
  platform::StoreLe32(request.data(), id1);
  platform::StoreLe32(request.data() + 4, id2);
  platform::StoreLe16(request.data() + 8, static_cast<WORD>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), request.begin() + 10);
  return request;
}

class ArchiveSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    volume_ = g_root / ("vol-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    other_ = volume_.string() + "-e";
    fs::create_directories(volume_ / "Media");
    fs::create_directories(other_);
    WriteFile(volume_ / "Media" / "clip.mov", "first content");
    SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(volume_.string()));
    SetString(platform::kDriveMapKey, L"E:", platform::WideFromUtf8(other_.string()));
    SetString(kVolumesKey, L"0", L"D");
    ASSERT_EQ(system_.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  }
  void TearDown() override {
    system_.Reset();
    CoUninitialize();
  }

  HRESULT Object(const std::wstring& path, ComPtr<IArchiveObject>& out) {
    return system_->GetArchiveObject(ComBstr(path), out.ReleaseAndGetAddressOf());
  }
  HRESULT Directory(const std::wstring& path, ComPtr<IArchiveObject>& out) {
    return system_->GetArchiveDirectory(ComBstr(path), out.ReleaseAndGetAddressOf());
  }
  static std::wstring PathOf(IArchiveObject* object) {
    ComBstr path;
    EXPECT_EQ(object->GetPath(path.ReleaseAndGetAddressOf()), S_OK);
    return path.Str();
  }
  template <class I>
  static ComPtr<I> As(IUnknown* object) {
    ComPtr<I> face;
    EXPECT_EQ(object->QueryInterface(IidOf<I>(), face.PutVoid()), S_OK);
    return face;
  }
  static std::vector<DWORD> Identity(IUnknown* object) {
    BYTE ids[12];
    EXPECT_EQ(As<IArchiveItems>(object)->GetItem(12, ids, sizeof ids), S_OK);
    return {platform::LoadLe32(ids), platform::LoadLe32(ids + 4), platform::LoadLe32(ids + 8)};
  }
  static HRESULT Companion(IUnknown* file, ULONG code, const std::wstring& name, std::wstring& out,
                           DWORD id1 = 0x1A, DWORD id2 = 0x2) {
    const std::vector<BYTE> request = CompanionRequest(id1, id2, name);
    wchar_t buffer[600];
    ULONG returned = 0;
    const HRESULT hr = As<IArchiveFileControl>(file)->Control(
        code, request.data(), static_cast<ULONG>(10 + name.size() * 2), buffer, sizeof buffer, &returned);
    out = platform::WideFromUtf16le(buffer, returned);
    return hr;
  }
  static void SetFail(const std::wstring& slot, HRESULT hr) {
    platform::RegKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kArchiveKey) + L"\\Fail").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    if (hr == S_OK)
      RegDeleteValueW(k.get(), slot.c_str());
    else
      ASSERT_EQ(platform::RegWriteDword(k.get(), slot, static_cast<DWORD>(hr)), ERROR_SUCCESS);
  }

  fs::path volume_, other_;
  ComPtr<IArchiveSystem> system_;
};
