// Resources.h - the module's resources: its name, registrar scripts and type library.
//
// They are compiled into the library as text, in the registrar script
// syntax of platform/com/registrar.h, and looked up by their resource ids.
#pragma once

#include "platform/com/registrar.h"

#include <string_view>

// Resource ids.
inline constexpr unsigned IDR_TYPELIB = 1;              // the type library
inline constexpr unsigned IDS_PROJNAME = 100;           // "Framesight"
inline constexpr unsigned IDR_FRAMESIGHT = 101;         // the module's script: the extension's key
inline constexpr unsigned IDR_FRAMESIGHT_CLASS = 106;   // the class's script: HKCR\CLSID\{...}

// The registered class name and the extension's name under "Extensions".
inline constexpr wchar_t kFramesightClassName[] = L"Vantrel.Framesight";
inline constexpr wchar_t kFramesightExtensionName[] = L"Pinned.Vantrel.Framesight";

// The string resource id; empty when the module has none.
std::wstring_view FramesightString(unsigned id);
// The registrar script of resource id; empty when the module has none.
std::wstring_view FramesightRegistrarScript(unsigned id);
// The type library as registered for the module at modulePath.
platform::TypeLibRegistration FramesightTypeLibrary(const std::wstring& modulePath);
