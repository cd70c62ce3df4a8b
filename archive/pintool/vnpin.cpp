// vnpin.cpp - the pin tool: pins files for an extension in the archive's fragment list, lists and releases pins,
// and checks the list's file.
//
//   vnpin pin-file     <archive path> <CLSID> <value> <operation>
//   vnpin release-file <archive path> <CLSID> <value>
//     through the archive system object, as Taskweave releases pins (the
//     archive keeps them in the list when its "Pin Store" says so)
//   vnpin pin     <key string> <CLSID> <value> <operation>
//   vnpin release <key string> <CLSID> <value>
//     straight into the list
//   vnpin list    [CLSID]
//   vnpin fill    <CLSID> <count> [first value]   (synthetic files, for load tests)
//   vnpin check
// The list is the file "--list <path>" names, else the one the registry names.
// CLSIDs are written braced and upper case, the form the worker compares
// exactly; a value of 0 is refused, since only search keys carry 0.
#include "archive/interfaces/FragmentList/FragmentList.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/comptr.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/guid.h"
#include "platform/base/text.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Usage() {
  std::fputs("usage: vnpin [--list PATH] pin-file PATH CLSID VALUE OPERATION | release-file PATH CLSID VALUE |"
             " pin KEY CLSID VALUE OPERATION | release KEY CLSID VALUE | list [CLSID] | fill CLSID COUNT [FIRST] |"
             " check\n",
             stderr);
  return 2;
}

int Fail(const char* what, DWORD code) {
  std::fprintf(stderr, "vnpin: %s: error %u\n", what, code);
  return 1;
}

bool Clsid(const std::string& text, std::wstring& out) {
  GUID guid;
  if (!platform::ParseGuid(platform::WideFromUtf8(text), guid)) return false;
  out = platform::FormatGuid(guid);
  return true;
}

bool Value(const std::string& text, ULONGLONG& out) {
  char* end = nullptr;
  out = std::strtoull(text.c_str(), &end, 0);
  return end != text.c_str() && *end == '\0' && out != 0;
}

// The file's identity from its key string ("0001A2B3@D:\..."): id0 from the
// prefix, the version unknown.
CPinnedElem MakePin(const std::wstring& key, const std::wstring& clsid, ULONGLONG value, std::wstring operation) {
  const DWORD id0 = static_cast<DWORD>(std::wcstoul(key.substr(0, 8).c_str(), nullptr, 16));
  return CPinnedElem(key, id0, CFragmentItem::kAnyId, CFragmentItem::kAnyId, clsid, value, std::move(operation));
}

int List(CFileListInternal& list, const std::wstring& clsid) {
  CFragmentSearchKey key;
  key.name = clsid;
  CFragmentSearch search(key);
  const unsigned index = CFragmentItem::kPinIndex;
  for (auto it = clsid.empty() ? list.begin(index) : list.find(search, index); it != list.end(index); ++it) {
    CFileListPointer<CFragmentItem> pointer(list, it);
    auto* pin = dynamic_cast<CPinnedElem*>(pointer.Load(true));
    if (pin == nullptr || (!clsid.empty() && (pin->Name() == nullptr || *pin->Name() != clsid))) break;
    std::printf("%s\t%016llX\t%s\t%s\n", platform::Utf8FromWide(*pin->Name()).c_str(),
                static_cast<unsigned long long>(pin->Value64()), platform::Utf8FromWide(pin->KeyString()).c_str(),
                platform::Utf8FromWide(pin->Attribute()).c_str());
  }
  return 0;
}

// Pins (operation given) or releases a file's pin through the archive's
// system object; the HRESULT.
HRESULT PinThroughArchive(const std::wstring& path, const std::wstring& clsid, ULONGLONG value,
                          const std::wstring* operation) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return hr;
  {
    platform::ComPtr<IArchiveSystem> system;
    platform::ComPtr<IArchiveObject> object;
    platform::ComPtr<IArchivePins> pins;
    platform::ComPtr<IArchivePin> pin;
    hr = system.CoCreateInstance(CLSID_ArchiveSystem, nullptr, CLSCTX_INPROC_SERVER);
    if (SUCCEEDED(hr)) hr = system->GetArchiveObject(platform::ComBstr(path), object.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_IArchivePins, pins.PutVoid());
    const std::wstring name = L"Pinned-" + clsid + platform::FormatW(L"-%016I64X", value);
    if (SUCCEEDED(hr)) hr = pins->GetPin(platform::ComVariant(name), pin.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = pin->SetValue(operation != nullptr ? platform::ComVariant(*operation) : platform::ComVariant());
  }
  CoUninitialize();
  return hr;
}

int Run(CFileListInternal& list, const std::vector<std::string>& args) {
  const std::string& command = args[0];
  std::wstring clsid;
  ULONGLONG value = 0;
  if (command == "pin" && args.size() == 5) {
    if (!Clsid(args[2], clsid) || !Value(args[3], value)) return Usage();
    CPinnedElem pin = MakePin(platform::WideFromUtf8(args[1]), clsid, value, platform::WideFromUtf8(args[4]));
    const DWORD rc = list.Insert(pin);
    return rc == ERROR_SUCCESS ? 0 : Fail("pin", rc);
  }
  if (command == "release" && args.size() == 4) {
    if (!Clsid(args[2], clsid) || !Value(args[3], value)) return Usage();
    const std::wstring key = platform::WideFromUtf8(args[1]);
    CPinnedElem pin = MakePin(key, clsid, value, {});
    const DWORD rc = list.RemoveFirst(pin, CFragmentItem::kPinIndex,
                                      [&](const CFileListFile& r) { return r.KeyString() == key; });
    return rc == ERROR_SUCCESS ? 0 : Fail("release", rc);
  }
  if ((command == "pin-file" && args.size() == 5) || (command == "release-file" && args.size() == 4)) {
    if (!Clsid(args[2], clsid) || !Value(args[3], value)) return Usage();
    const std::wstring operation = args.size() == 5 ? platform::WideFromUtf8(args[4]) : std::wstring();
    const HRESULT hr = PinThroughArchive(platform::WideFromUtf8(args[1]), clsid, value,
                                         args.size() == 5 ? &operation : nullptr);
    if (FAILED(hr)) std::fprintf(stderr, "vnpin: %s: 0x%08X\n", command.c_str(), static_cast<DWORD>(hr));
    return FAILED(hr) ? 1 : 0;
  }
  if (command == "list" && args.size() <= 2) {
    if (args.size() == 2 && !Clsid(args[1], clsid)) return Usage();
    return List(list, clsid);
  }
  if (command == "fill" && (args.size() == 3 || args.size() == 4)) {
    ULONGLONG count = 0, first = 1;
    if (!Clsid(args[1], clsid) || !Value(args[2], count) || (args.size() == 4 && !Value(args[3], first))) return Usage();
    for (ULONGLONG v = first; v < first + count; ++v) {
      CPinnedElem pin = MakePin(platform::FormatW(L"%08X@Z:\\fill\\%I64u", static_cast<DWORD>(v), v), clsid, v, L"Fill");
      if (DWORD rc = list.Insert(pin); rc != ERROR_SUCCESS) return Fail("fill", rc);
    }
    return 0;
  }
  if (command == "check" && args.size() == 1) {
    std::wstring report;
    const bool ok = list.Check(report);
    std::fputs(platform::Utf8FromWide(report).c_str(), stdout);
    std::puts(ok ? "consistent" : "inconsistent");
    return ok ? 0 : 1;
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::wstring path;
  if (args.size() >= 2 && args[0] == "--list") {
    path = platform::WideFromUtf8(args[1]);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();
  CFragmentList fragments(path);
  if (DWORD rc = fragments.Attach(); rc != ERROR_SUCCESS) return Fail("open the fragment list", rc);
  try {
    return Run(fragments.List(), args);
  } catch (DWORD code) {
    return Fail(args[0].c_str(), code);
  }
}
