// registrar.h - table-driven registration of COM servers and type libraries.
//
// A registration table is a tree of keys with values under the root keys
// HKCR, HKLM and HKCU. Registering creates every key and writes its values;
// unregistering removes what the table wrote. The flags on a key follow the
// rules of registrar scripts (.rgs):
//   ForceRemove  register: the key's existing subtree is deleted first, so no
//                stale subkeys survive; unregister: the whole subtree goes.
//   NoRemove     unregister never deletes the key, but its children are
//                processed (CLSID, AppID and other shared parents).
//   Delete       register: the key's subtree is deleted and nothing written;
//                unregister: nothing.
//   (none)       unregister deletes the table's values, then the key itself
//                when nothing is left in it (no subkeys, no other values), so
//                a parent shared with another server stays while that server's
//                keys remain.
// Text values may name replacements as %NAME% (the caller passes them, e.g.
// MODULE = the server's path); %% is a literal percent sign.
#pragma once

#include "platform/com/com.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class RegistrarFlag { None, ForceRemove, NoRemove, Delete };

struct RegistrarValue {
  std::wstring name;  // empty: the key's default value
  DWORD type = REG_SZ;  // REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ
  std::wstring text;  // REG_SZ / REG_EXPAND_SZ (replacements applied when written)
  DWORD number = 0;  // REG_DWORD
  std::vector<BYTE> bytes;  // REG_BINARY
  std::vector<std::wstring> strings;  // REG_MULTI_SZ
};

struct RegistrarKey {
  std::wstring name;  // may hold replacements; a top-level key's name is its root (HKCR, HKLM, HKCU...)
  RegistrarFlag flag = RegistrarFlag::None;
  std::vector<RegistrarValue> values;
  std::vector<RegistrarKey> subkeys;
};

// Names compare without regard to case.
using RegistrarReplacements = std::map<std::wstring, std::wstring, LessNoCase>;

struct RegistrarOptions {
  // HKCR means HKCU\Software\Classes (per-user registration).
  bool perUser = false;
};

// Parses registrar script text into top-level keys (their names are roots:
// HKCR, HKCU, HKLM, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE).
// Grammar: key := [ForceRemove|NoRemove|Delete] name [= type value] [{ item* }]
//          item := key | val name = type value
//          type := s 'text' | e 'text' | d 'number' | d number | b 'hex bytes'
// with names bare words, {GUID}s or 'quoted' ('' inside quotes is one quote).
// Replacements are applied to every name and value as it is read (so a
// replaced path may hold quotes).
// E_INVALIDARG (and a message in error when given) for malformed text or an
// unknown %NAME%.
HRESULT ParseRgs(std::wstring_view text, const RegistrarReplacements& replacements,
                 std::vector<RegistrarKey>& out, std::wstring* error = nullptr);

// Applies a table; the first registry failure ends it and comes back as an
// HRESULT (HRESULT_FROM_WIN32 of the registry's code). Unregistering keys that
// are already gone is success.
HRESULT RegisterTable(const std::vector<RegistrarKey>& table, const RegistrarReplacements& replacements = {},
                      const RegistrarOptions& options = {});
HRESULT UnregisterTable(const std::vector<RegistrarKey>& table, const RegistrarReplacements& replacements = {},
                        const RegistrarOptions& options = {});

// ParseRgs followed by RegisterTable / UnregisterTable.
HRESULT RegisterServerFromRgs(std::wstring_view text, const RegistrarReplacements& replacements = {},
                              const RegistrarOptions& options = {});
HRESULT UnregisterServerFromRgs(std::wstring_view text, const RegistrarReplacements& replacements = {},
                                const RegistrarOptions& options = {});

// The path of the loaded program or shared library that contains address
// (pass the address of one of the module's own functions); empty if unknown.
std::wstring ModulePathOf(const void* address);

// --- Type libraries ---
struct TypeLibInterface {
  IID iid;
  std::wstring name;
};

struct TypeLibRegistration {
  GUID libid;
  WORD majorVersion = 1;
  WORD minorVersion = 0;
  LCID lcid = 0;
  WORD flags = 0;  // LIBFLAGS, written as decimal text
  std::wstring name;     // the library's help string / name
  std::wstring path;     // the file holding the type library
  std::wstring helpDir;  // folder of the help file (usually the path's folder)
  std::vector<TypeLibInterface> interfaces;  // dispatch/dual interfaces described by it
};

// Writes what Windows writes for a registered type library:
//   HKCR\TypeLib\{LIBID}\<major>.<minor>         = name   (versions in hex)
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\<lcid>\win64 = path (lcid in hex)
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\FLAGS   = "0"
//   HKCR\TypeLib\{LIBID}\<major>.<minor>\HELPDIR = helpDir
// and for each interface
//   HKCR\Interface\{IID}                  = name
//   HKCR\Interface\{IID}\ProxyStubClsid   = {00020424-0000-0000-C000-000000000046}
//   HKCR\Interface\{IID}\ProxyStubClsid32 = {00020424-0000-0000-C000-000000000046}
//   HKCR\Interface\{IID}\TypeLib          = {LIBID}, value Version = "<major>.<minor>"
HRESULT RegisterTypeLibrary(const TypeLibRegistration& lib, const RegistrarOptions& options = {});
// Removes the version's key (and TypeLib\{LIBID} when no other version is
// left) and the interfaces' keys.
HRESULT UnregisterTypeLibrary(const TypeLibRegistration& lib, const RegistrarOptions& options = {});

}  // namespace platform
