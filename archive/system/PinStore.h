// PinStore.h - where the archive keeps the named pins of its files.
//
// A pin holds a file for an extension; its value is the operation the
// extension is to run. The archive objects reach pins only through PinStore,
// so that the store can be swapped without touching the COM face. Which store
// is used is configuration, read on every use (Taskweave loads the archive's
// library and cannot call into it): the REG_SZ value "Pin Store" of HKLM
// "Software\Vantrel\Corvellane\Archive" set to "Fragment List" keeps pins in
// the fragment list that the value "Fragment List" names (where Taskweave
// finds them); anything else keeps them in the registry under
// "...\Archive\Pins\<drive>-<id0>", one REG_SZ value per pin name.
//
// Pins belong to the file, not to its path: both stores match a file by its
// volume and id0, so a pin follows its file through a rename.
#pragma once

#include "platform/base/types.h"

#include <memory>
#include <optional>
#include <string>

namespace vnarchive {

// A file as the pin store knows it: its volume and its id0, which stay the
// same while the file is renamed or rewritten.
struct PinnedFile {
  wchar_t drive = 0;
  DWORD id0 = 0;
  // The version pinned and the key string of the file where it was reached.
  DWORD id1 = 0;
  DWORD id2 = 0;
  std::wstring keyString;
};

class PinStore {
 public:
  virtual ~PinStore() = default;
  // Sets value to the pin's operation, or to nothing when the file is not
  // pinned under that name. HRESULT.
  virtual HRESULT Read(const PinnedFile& file, const std::wstring& name, std::optional<std::wstring>& value) = 0;
  // Pins the file under name (replacing an earlier value).
  virtual HRESULT Write(const PinnedFile& file, const std::wstring& name, const std::wstring& value) = 0;
  // Releases the pin; HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE) when there is
  // none (already released), so that two releases cannot both succeed.
  virtual HRESULT Release(const PinnedFile& file, const std::wstring& name) = 0;
};

// The registry store described above.
std::shared_ptr<PinStore> MakeRegistryPinStore();
// The fragment-list store over the list file at path (the registry's for an
// empty path). A pin name "Pinned-<name>-<16 hex digits>" is the element of
// that name and (non-zero) value; any other name beginning with "Pinned-" is
// an element of that whole name and value 1, which the worker reads back as
// the same pin name; other names are refused (E_INVALIDARG). The element's
// key string is the file's; its attribute is the pin's value.
std::shared_ptr<PinStore> MakeFragmentListPinStore(const std::wstring& path);

// Splits a pin name as above; false when the fragment list cannot hold it.
bool ParsePinName(const std::wstring& pinName, std::wstring& name, ULONGLONG& value);

// The store the archive objects use: the configured one, unless a test
// replaced it (SetPinStore; null goes back to the configured one).
// Safe to call from any thread.
std::shared_ptr<PinStore> CurrentPinStore();
void SetPinStore(std::shared_ptr<PinStore> store);

}  // namespace vnarchive
