// PinStore.h - where the archive keeps the named pins of its files.
//
// A pin holds a file for an extension; its value is the operation the
// extension is to run. The archive objects reach pins only through PinStore,
// so that the store can be swapped (the fragment list will keep them) without
// touching the COM face. The default store keeps them in the registry under
// HKLM "Software\Vantrel\Corvellane\Archive\Pins\<drive>-<id0>", one REG_SZ
// value per pin name.
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

// The store the archive objects use (the registry store until replaced).
// Safe to call from any thread.
std::shared_ptr<PinStore> CurrentPinStore();
void SetPinStore(std::shared_ptr<PinStore> store);

}  // namespace vnarchive
