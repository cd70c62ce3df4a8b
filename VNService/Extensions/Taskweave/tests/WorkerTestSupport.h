// WorkerTestSupport.h - the archive and a pinned-element list for the worker tests.
//
// The archive system object is the real stand-in, registered into the test
// program's fresh registry with its own tool, over a temporary volume D:.
// Pins are set through the archive's own IArchivePin; every release lands in
// the archive's pin log ("pins.log" beside its event log), which the tests count.
// CTestElements stands for the fragment list's pin index: elements ordered by
// (name, value), readable while a pin tool adds to them, with per-position
// failures and broken links to inject.
#pragma once

#include "VNService/Extensions/Taskweave/ExtensionNameCache.h"
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/tests/StubProvider.h"
#include "VNService/Extensions/Taskweave/tests/TestRegistry.h"

#include "LibService/ServiceApp.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/format.h"
#include "platform/base/guid.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace worker_test {

using platform::ComBstr;
using platform::ComPtr;
using platform::ComVariant;

inline const std::wstring kExtensionsKey = L"Software\\Vantrel\\Corvellane\\Extensions\\";

struct Environment {
  std::filesystem::path root;
  std::filesystem::path volume;
  std::filesystem::path pinLog;
};

// Set up once per program: the archive registered, D: mapped, the logs placed.
inline Environment& Env() {
  static Environment env = [] {
    Environment e;
    e.root = platform::testing::MakeTempDir("vnworker-test-");
    e.volume = e.root / "volume";
    e.pinLog = e.root / "pins.log";  // beside the archive's events.log
    std::filesystem::create_directories(e.volume);
    setenv("VANTREL_ARCHIVE_EVENTS", e.root.c_str(), 1);
    const std::string command = std::string("'") + VN_REGSVR_PATH + "' /s '" + VNARCHIVE_LIBRARY + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) std::abort();
    extrules_test::SetString(platform::kDriveMapKey, L"D:", platform::WideFromUtf8(e.volume.string()));
    extrules_test::SetString(L"Software\\Vantrel\\Corvellane\\Volumes", L"0", L"D");
    return e;
  }();
  return env;
}

// The pinned elements of the fragment list, as the worker's walk reads them.
class CTestElements {
 public:
  void Add(CPinnedElement element) {
    std::lock_guard<std::mutex> hold(m_lock);
    element.position = m_next++;
    m_elements[{element.name, element.value}] = element;
  }
  // Loading the element at that position fails with code.
  void Fail(ULONGLONG position, DWORD code) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_failures[position] = code;
  }
  // The walk cannot move past the element at that position: it throws, or
  // fails there on every call without moving (a broken link after it).
  enum class Broken { kThrows, kStuck };
  void Break(ULONGLONG position, Broken how) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_broken[position] = how;
  }
  // How many times a walk was positioned (one per pass).
  int Finds() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_finds;
  }
  PinnedElementWalkFactory Factory() {
    return [this] { return std::unique_ptr<CPinnedElementWalk>(new CWalk(*this)); };
  }

 private:
  using Key = std::pair<std::wstring, ULONGLONG>;
  class CWalk : public CPinnedElementWalk {
   public:
    explicit CWalk(CTestElements& list) : m_list(list) {}
    DWORD Open() override { return 0; }
    DWORD Find(const std::wstring& name) override {
      {
        std::lock_guard<std::mutex> hold(m_list.m_lock);
        ++m_list.m_finds;
      }
      m_cursor = {name, 0};
      m_first = true;
      return 0;
    }
    Step Next(CPinnedElement& element, DWORD& code) override {
      std::lock_guard<std::mutex> hold(m_list.m_lock);
      auto it = m_first ? m_list.m_elements.lower_bound(m_cursor) : m_list.m_elements.upper_bound(m_cursor);
      const bool wasFirst = m_first;
      m_first = false;
      if (it == m_list.m_elements.end()) return Step::kEnd;
      if (const auto broken = m_list.m_broken.find(it->second.position); broken != m_list.m_broken.end()) {
        // Where it was: the next call lands on the same element.
        m_first = wasFirst;
        if (broken->second == Broken::kThrows) throw static_cast<DWORD>(ERROR_FILE_CORRUPT);
        element = it->second;
        code = ERROR_FILE_CORRUPT;
        return Step::kFailed;
      }
      m_cursor = it->first;
      element = it->second;
      const auto failure = m_list.m_failures.find(element.position);
      if (failure == m_list.m_failures.end()) return Step::kElement;
      code = failure->second;
      return Step::kFailed;
    }

   private:
    CTestElements& m_list;
    Key m_cursor;
    bool m_first = true;
  };

  std::mutex m_lock;  // guards everything below
  std::map<Key, CPinnedElement> m_elements;
  std::map<ULONGLONG, DWORD> m_failures;
  std::map<ULONGLONG, Broken> m_broken;
  int m_finds = 0;
  ULONGLONG m_next = 0;
};

// An archived file on D: and what the worker needs of it.
struct TestFile {
  std::wstring path;       // "D:\..."
  std::wstring keyString;
  ULONG id0 = 0, id1 = 0, id2 = 0;
  ComPtr<IArchiveFile> file;
};

inline ComPtr<IArchiveSystem> CreateSystem() {
  Env();
  ComPtr<IArchiveSystem> system;
  EXPECT_EQ(system.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  return system;
}

inline TestFile MakeFile(IArchiveSystem* system, const std::string& relative, const std::string& content = "data") {
  const std::filesystem::path host = Env().volume / relative;
  std::filesystem::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << content;
  TestFile f;
  f.path = L"D:\\" + platform::WideFromUtf8(relative);
  for (auto& c : f.path) c = c == L'/' ? L'\\' : c;
  ComPtr<IArchiveObject> object;
  EXPECT_EQ(system->GetArchiveObject(ComBstr(f.path), object.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(object->GetFile(kAnyIdentity, kAnyIdentity, kAnyIdentity, f.file.ReleaseAndGetAddressOf()), S_OK);
  ComBstr key;
  EXPECT_EQ(f.file->GetKeyString(key.ReleaseAndGetAddressOf()), S_OK);
  f.keyString = key.Str();
  ComPtr<IArchiveItems> items;
  EXPECT_EQ(f.file.As(&items), S_OK);
  ULONG values[3] = {};
  EXPECT_EQ(items->GetItem(12, values, sizeof values), S_OK);
  f.id0 = values[0];
  f.id1 = values[1];
  f.id2 = values[2];
  return f;
}

inline ComPtr<IArchivePin> PinOf(const TestFile& f, const std::wstring& pinName) {
  ComPtr<IArchivePins> pins;
  EXPECT_EQ(f.file.As(&pins), S_OK);
  ComPtr<IArchivePin> pin;
  EXPECT_EQ(pins->GetPin(ComVariant(pinName), pin.ReleaseAndGetAddressOf()), S_OK);
  return pin;
}

// Pins the file for the extension with that value and adds its element.
inline std::wstring Pin(CTestElements& elements, const TestFile& f, const std::wstring& clsid, ULONGLONG value,
                        const std::wstring& operation) {
  const std::wstring pinName = ExtensionNameCache::PinNameText(clsid, value);
  EXPECT_EQ(PinOf(f, pinName)->SetValue(ComVariant(operation)), S_OK);
  elements.Add({true, clsid, f.keyString, f.id0, f.id1, f.id2, value, 0});
  return pinName;
}

inline bool IsPinned(const TestFile& f, const std::wstring& pinName) {
  ComVariant value;
  return SUCCEEDED(PinOf(f, pinName)->GetValue(&value)) && value.vt != VT_EMPTY;
}

// Releases in the pin log, by key string and pin name: how many, and how
// many answered offline. A line: time, process, thread, "pin" or "release",
// key string, pin name, value, result.
struct Releases {
  std::map<std::string, int> count;
  int total = 0;
  int offline = 0;
};
inline Releases ReadPinLog() {
  Releases r;
  std::ifstream in(Env().pinLog);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    if (fields.size() != 8 || fields[3] != "release") continue;
    ++r.count[fields[4] + "\t" + fields[5]];
    ++r.total;
    if (fields[7] == "0x800710FE") ++r.offline;
  }
  return r;
}
inline void ClearPinLog() { std::filesystem::remove(Env().pinLog); }

// A GUID of its own for each extension a test registers.
inline GUID TestClsid(int n) {
  GUID g{0x7A000000u + static_cast<ULONG>(n), 0x1234, 0x4321, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
  return g;
}

}  // namespace worker_test
