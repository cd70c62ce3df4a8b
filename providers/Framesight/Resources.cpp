// Resources.cpp - the module's string table, registrar scripts and type library.
#include "providers/Framesight/Resources.h"

#include "providers/Framesight/FramesightInterfaces.h"

namespace {

// The extension's key under the archive product's "Extensions". Registering
// replaces the key whole (its settings too); unregistering leaves
// "Extensions" while other extensions are registered in it.
constexpr std::wstring_view kModuleScript = LR"(
HKLM
{
  NoRemove Software
  {
    NoRemove Vantrel
    {
      NoRemove Corvellane
      {
        Extensions
        {
          ForceRemove {1B353362-C59F-4258-9819-0C742EC7F32F} = s 'Pinned.Vantrel.Framesight'
        }
      }
    }
  }
}
)";

// The class: no ProgID and no AppID key, only the class's own key.
constexpr std::wstring_view kClassScript = LR"(
HKCR
{
  NoRemove CLSID
  {
    ForceRemove {1B353362-C59F-4258-9819-0C742EC7F32F} = s 'Vantrel.Framesight'
    {
      ForceRemove Programmable
      InprocServer32 = s '%MODULE%'
      {
        val ThreadingModel = s 'Free'
      }
      TypeLib = s '{48A2A8B6-E18A-43C3-8824-2F5339269D09}'
      Version = s '1.0'
    }
  }
}
)";

// The type library's version and locale (English, United States).
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLocale = 0x0409;

}  // namespace

std::wstring_view FramesightString(unsigned id) {
  return id == IDS_PROJNAME ? std::wstring_view(L"Framesight") : std::wstring_view();
}

std::wstring_view FramesightRegistrarScript(unsigned id) {
  switch (id) {
    case IDR_FRAMESIGHT:
      return kModuleScript;
    case IDR_FRAMESIGHT_CLASS:
      return kClassScript;
    default:
      return {};
  }
}

platform::TypeLibRegistration FramesightTypeLibrary(const std::wstring& modulePath) {
  platform::TypeLibRegistration lib;
  lib.libid = LIBID_FramesightLib;
  lib.majorVersion = kTypeLibMajor;
  lib.minorVersion = kTypeLibMinor;
  lib.lcid = kTypeLibLocale;
  lib.name = L"FramesightLib";
  lib.path = modulePath;
  const std::size_t slash = modulePath.find_last_of(L"/\\");
  lib.helpDir = slash == std::wstring::npos ? std::wstring() : modulePath.substr(0, slash);
  // Only IExtensionInit is described; the other two interfaces are not in it.
  lib.interfaces.push_back({IID_IExtensionInit, L"IExtensionInit"});
  return lib;
}
