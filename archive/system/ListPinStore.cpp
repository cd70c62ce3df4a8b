// ListPinStore.cpp - pins kept as pinned elements of the archive's fragment list, where Taskweave walks them.
//
// Each operation holds the list's lock across its test and its change, so a
// write that replaces a pin, or two releases of one pin, cannot interleave
// with another process's; the list itself serialises threads and processes.
#include "archive/system/PinStore.h"

#include "archive/system/FileRecords.h"
#include "archive/interfaces/FragmentList/FragmentList.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <cwchar>

namespace vnarchive {

namespace {

constexpr const wchar_t kPinPrefix[] = L"Pinned-";
constexpr std::size_t kPinPrefixLength = 7;
constexpr std::size_t kValueDigits = 16;
// The value of an element whose whole name is its pin name.
constexpr ULONGLONG kWholeNameValue = 1;

// Whether a stored key string names the file: same volume and id0, wherever
// the file now lies.
bool SameFile(const CFileListFile& record, const PinnedFile& file) {
  DWORD id0 = 0;
  std::wstring_view path;
  if (!ParseKeyString(record.KeyString(), id0, path) || path.empty()) return false;
  return id0 == file.id0 && std::towupper(path[0]) == file.drive;
}

class FragmentListPinStore final : public PinStore {
 public:
  explicit FragmentListPinStore(const std::wstring& path) : m_fragments(path) { m_attached = m_fragments.Attach(); }

  HRESULT Read(const PinnedFile& file, const std::wstring& pinName, std::optional<std::wstring>& value) override {
    value.reset();
    return Guarded([&](CFileListInternal& list, const std::wstring& name, ULONGLONG v) {
      CFragmentSearchKey key;
      key.name = name;
      key.value = v;
      CFragmentSearch search(key);
      const unsigned index = CFragmentItem::kPinIndex;
      for (auto it = list.find(search, index); it != list.end(index); ++it) {
        CFileListPointer<CFragmentItem> pointer(list, it);
        auto* pin = dynamic_cast<CPinnedElem*>(pointer.Load(true));
        if (pin == nullptr || pin->Compare(search, index) != 0) break;
        if (SameFile(*pin, file)) {
          value = pin->Attribute();
          break;
        }
      }
      return S_OK;
    }, pinName);
  }

  HRESULT Write(const PinnedFile& file, const std::wstring& pinName, const std::wstring& text) override {
    return Guarded([&](CFileListInternal& list, const std::wstring& name, ULONGLONG v) {
      CFileListLock hold(list.File());
      CPinnedElem pin(file.keyString, file.id0, file.id1, file.id2, name, v, text);
      const DWORD removed = list.RemoveFirst(pin, CFragmentItem::kPinIndex,
                                             [&](const CFileListFile& r) { return SameFile(r, file); });
      if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(removed);
      const DWORD rc = list.Insert(pin);
      return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
    }, pinName);
  }

  HRESULT Release(const PinnedFile& file, const std::wstring& pinName) override {
    return Guarded([&](CFileListInternal& list, const std::wstring& name, ULONGLONG v) {
      CPinnedElem pin(file.keyString, file.id0, file.id1, file.id2, name, v);
      // The test and the removal are one step of the list.
      const DWORD rc = list.RemoveFirst(pin, CFragmentItem::kPinIndex,
                                        [&](const CFileListFile& r) { return SameFile(r, file); });
      if (rc == ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE);
      return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
    }, pinName);
  }

 private:
  // Runs body over the list with the pin name split; the list's thrown
  // codes become HRESULTs.
  template <class Body>
  HRESULT Guarded(Body body, const std::wstring& pinName) {
    if (m_attached != ERROR_SUCCESS) return HRESULT_FROM_WIN32(m_attached);
    std::wstring name;
    ULONGLONG value = 0;
    if (!ParsePinName(pinName, name, value)) return E_INVALIDARG;
    try {
      return body(m_fragments.List(), name, value);
    } catch (DWORD code) {
      return HRESULT_FROM_WIN32(code);
    }
  }

  CFragmentList m_fragments;
  DWORD m_attached = ERROR_SUCCESS;
};

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

}  // namespace

bool ParsePinName(const std::wstring& pinName, std::wstring& name, ULONGLONG& value) {
  if (pinName.size() <= kPinPrefixLength || !platform::EqualsNoCase(pinName.substr(0, kPinPrefixLength), kPinPrefix))
    return false;
  const std::size_t dash = pinName.size() - kValueDigits - 1;
  if (pinName.size() > kPinPrefixLength + kValueDigits + 1 && pinName[dash] == L'-') {
    ULONGLONG v = 0;
    bool hex = true;
    for (std::size_t i = dash + 1; i < pinName.size() && hex; ++i) {
      const int d = HexDigit(pinName[i]);
      hex = d >= 0;
      v = (v << 4) | static_cast<ULONGLONG>(d < 0 ? 0 : d);
    }
    if (hex) {
      // Only search keys carry 0: a stored 0 would break the list's order.
      if (v == 0) return false;
      name = pinName.substr(kPinPrefixLength, dash - kPinPrefixLength);
      value = v;
      return true;
    }
  }
  name = pinName;
  value = kWholeNameValue;
  return true;
}

std::shared_ptr<PinStore> MakeFragmentListPinStore(const std::wstring& path) {
  return std::make_shared<FragmentListPinStore>(path);
}

}  // namespace vnarchive
