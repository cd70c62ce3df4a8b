// ExtensionNameCache.h - extension CLSID strings and registered names, both ways; pin names.
//
// Every registered extension is a subkey of HKLM
// "Software\Vantrel\Corvellane\Extensions" named by its CLSID string, whose
// default value is the name the provider registered. Workers use the name
// for their trace source and messages. The registry is read once per process, on first use, and never
// again; an extension registered later is known by its CLSID string only.
//
// Pins in the fragment list are named "Pinned-" + the element's name + "-" +
// its 64-bit value in 16 upper-case hex digits, unless the element's name is
// already such a pin name; the two helpers at the end test and build them.
#pragma once

#include "platform/com/comptr.h"

#include "platform/base/types.h"
#include "platform/base/text.h"
#include "platform/com/oleauto.h"
#include "platform/sync/sync.h"

#include <map>
#include <string>
#include <string_view>

class ExtensionNameCache {
 public:
  enum Mode { kNameFromClsid = 0, kClsidFromName = 1 };

  // The process-wide cache (created on first use, thread-safe).
  static ExtensionNameCache& Instance();

  // Mode 0: CLSID string -> registered name; mode 1: registered name -> CLSID
  // string; "" when unknown; any other mode returns text unchanged. Loads the
  // cache first. Keys compare without regard to case.
  std::wstring Lookup(std::wstring_view text, int mode);
  // The registered name of a CLSID string, or the string itself when unknown.
  std::wstring TranslateOrKeep(std::wstring_view clsid);

  // Whether text begins with "Pinned-", in any letter case.
  static bool HasPinPrefix(std::wstring_view text);

  // One element of a named-value list: its name, its value and its 64-bit id.
  // It owns its name and value: a copy copies both, a move takes them, and
  // destruction frees them.
  struct NamedVariant {
    platform::ComBstr name;
    platform::ComVariant value;
    ULONGLONG id = 0;
  };
  // The pin name of an entry as VT_BSTR ("Pinned-" + name + "-%p" of the id;
  // the name is left out when empty). The caller clears the VARIANT.
  static VARIANT PinName(const NamedVariant& entry);
  static std::wstring PinNameText(std::wstring_view name, ULONGLONG id);

  // A cache of its own, for tests of the loading rules; the program uses
  // Instance().
  ExtensionNameCache() = default;
  ExtensionNameCache(const ExtensionNameCache&) = delete;
  ExtensionNameCache& operator=(const ExtensionNameCache&) = delete;

 private:
  void EnsureLoaded();
  void Load();  // called with lock_ held exclusive

  // lock_ guards loaded_, nameByClsid_ and clsidByName_: taken shared to read
  // them, exclusive by the one load.
  SRWLOCK lock_ = SRWLOCK_INIT;
  bool loaded_ = false;
  std::map<std::wstring, std::wstring, platform::LessNoCase> nameByClsid_;
  std::map<std::wstring, std::wstring, platform::LessNoCase> clsidByName_;
};
