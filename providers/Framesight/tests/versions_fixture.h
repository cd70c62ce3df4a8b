// versions_fixture.h - what the output-version tests share: a fresh registry with the archive's system
// object registered, a volume folder mapped as "D:", and small fake COM objects.
//
// The test program registers the archive's library with vnregsvr into a
// fresh registry file once per process, before any test touches the
// registry. Each test gets its own volume folder holding "Media\clip.mov"
// and "Media\other.mov"; the archive keeps their companions under
// ".companions\Media\<file>\" in that folder.
#pragma once

#include "platform/com/com_object.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using platform::ComBstr;
using platform::ComPtr;

inline fs::path g_root;  // the test program's temporary folder

class VersionsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/vnframesight-versions-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_root = pattern;
    setenv("VANTREL_REGISTRY", (g_root / "registry.db").c_str(), 1);
    setenv("VANTREL_ARCHIVE_EVENTS", g_root.c_str(), 1);
    const std::string command =
        std::string("'") + VN_REGSVR_PATH + "' /s '" + VNARCHIVE_LIBRARY + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  }
};
inline const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new VersionsEnvironment);

inline void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  platform::RegKey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(k.get(), name, value), ERROR_SUCCESS);
}

inline void PutFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The names of the plain files in a host folder, sorted.
inline std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  return names;
}

// Reference counting and IDispatch stubs for the fakes below.
template <class... Interfaces>
class FakeObject : public platform::ComObject<platform::NoLiveCount, Interfaces...> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) { return *count = 0, S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) { return E_NOTIMPL; }
};

// An archived file whose full path and file-control answer the test sets,
// and which keeps what the last control call was given.
class FakeArchiveFile : public FakeObject<IArchiveFile, IArchiveFileControl> {
 public:
  std::wstring fullPath = L"D:\\Media\\clip.mov";
  HRESULT fullPathResult = S_OK;
  HRESULT controlResult = S_OK;
  std::string replyBytes;                // the answer, as UTF-16LE bytes
  std::optional<ULONG> returnedOverride;  // a byte count to claim instead of the answer's

  int controlCalls = 0;
  ULONG lastCode = 0;
  std::string lastInput;  // the whole input, as many bytes as the caller said
  ULONG lastInputBytes = 0;
  ULONG lastOutputBytes = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IArchiveFile*>(this)},
                   {&IID_IArchiveFile, static_cast<IArchiveFile*>(this)},
                   {&IID_IArchiveFileControl, static_cast<IArchiveFileControl*>(this)}});
  }
  STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
  STDMETHODIMP GetFullPath(BSTR* path) override {
    if (FAILED(fullPathResult)) return fullPathResult;
    *path = SysAllocStringLen(fullPath.data(), static_cast<UINT>(fullPath.size()));
    return S_OK;
  }
  STDMETHODIMP GetKeyString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Control(ULONG code, const void* input, ULONG inputBytes, void* output, ULONG outputBytes,
                       ULONG* bytesReturned) override {
    ++controlCalls;
    lastCode = code;
    lastInput.assign(static_cast<const char*>(input), inputBytes);
    lastInputBytes = inputBytes;
    lastOutputBytes = outputBytes;
    if (FAILED(controlResult)) return controlResult;
    const std::size_t n = std::min<std::size_t>(replyBytes.size(), outputBytes);
    std::copy_n(replyBytes.data(), n, static_cast<char*>(output));
    *bytesReturned = returnedOverride ? *returnedOverride : static_cast<ULONG>(n);
    return S_OK;
  }
};

// The parameters of one pinned file: its archived file and identity item.
class FakeParameters : public FakeObject<IPostProcessParameters> {
 public:
  FakeParameters(IArchiveFile* file, ULONG id0, ULONG id1, ULONG id2) : m_file(file), m_ids{id0, id1, id2} {}
  HRESULT itemResult = S_OK;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IArchiveFile && m_file) return m_file->QueryInterface(riid, ppv);
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IPostProcessParameters*>(this)},
                   {&IID_IPostProcessParameters, static_cast<IPostProcessParameters*>(this)}});
  }
  STDMETHODIMP SetMode(ULONG) override { return S_OK; }
  STDMETHODIMP GetOperations(IPostProcessOperations**) override { return E_NOTIMPL; }
  STDMETHODIMP GetItem(USHORT itemId, ULONG* values) override {
    if (itemId != 12) return E_INVALIDARG;
    if (FAILED(itemResult)) return itemResult;
    std::copy(m_ids, m_ids + 3, values);
    return S_OK;
  }

 private:
  ComPtr<IArchiveFile> m_file;
  ULONG m_ids[3];
};

// A fresh volume "D:" per test, with the archive's system object over it.
class ArchiveVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_volume = g_root / (std::string("vol-") + info->test_suite_name() + "-" + info->name());
    PutFile(m_volume / "Media" / "clip.mov", "clip");
    PutFile(m_volume / "Media" / "other.mov", "other");
    SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(m_volume.string()));
    SetString(L"Software\\Vantrel\\Corvellane\\Volumes", L"0", L"D");
    ASSERT_EQ(m_system.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  }
  void TearDown() override {
    m_system.Reset();
    CoUninitialize();
  }

  // The host folder of a file's companions.
  fs::path Companions(const std::string& file) const { return m_volume / ".companions" / "Media" / file; }

  ComPtr<IArchiveFile> File(const std::wstring& path) {
    ComPtr<IArchiveObject> object;
    EXPECT_EQ(m_system->GetArchiveObject(ComBstr(path), object.ReleaseAndGetAddressOf()), S_OK) << path;
    ComPtr<IArchiveFile> file;
    if (object) {
      EXPECT_EQ(object->QueryInterface(IID_IArchiveFile, file.PutVoid()), S_OK);
    }
    return file;
  }
  std::wstring KeyString(const std::wstring& path) {
    ComPtr<IArchiveFile> file = File(path);
    ComBstr key;
    if (file) {
      EXPECT_EQ(file->GetKeyString(key.ReleaseAndGetAddressOf()), S_OK);
    }
    return key.Str();
  }

  fs::path m_volume;
  ComPtr<IArchiveSystem> m_system;
};
