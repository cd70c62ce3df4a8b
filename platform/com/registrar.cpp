// registrar.cpp - applies registration tables and parses registrar scripts.
//
// Registering walks the table top down, creating keys and writing values;
// unregistering walks it depth first so that a key is judged empty only after
// its children were removed. Both stop at the first registry failure.
#include "platform/com/registrar.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"

#include <dlfcn.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwctype>

namespace platform {
namespace {

HRESULT FromWin32(LSTATUS status) { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

// %NAME% -> replacement, %% -> %. False (with the name in bad) for an
// unknown name or a lone '%'.
bool Substitute(std::wstring_view text, const RegistrarReplacements& repl, std::wstring& out, std::wstring& bad) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') {
      out += text[i];
      continue;
    }
    std::size_t end = text.find(L'%', i + 1);
    if (end == std::wstring_view::npos) {
      bad = L"%";
      return false;
    }
    std::wstring_view name = text.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out += L'%';
    } else {
      auto it = repl.find(std::wstring(name));
      if (it == repl.end()) {
        bad = std::wstring(name);
        return false;
      }
      out += it->second;
    }
    i = end;
  }
  return true;
}

// Opens (creating when asked) the root a top-level key names.
HRESULT OpenRoot(const std::wstring& name, const RegistrarOptions& options, bool create, RegKey& out, bool& found) {
  found = true;
  HKEY base = nullptr;
  const wchar_t* sub = nullptr;
  if (EqualsNoCase(name, L"HKCR") || EqualsNoCase(name, L"HKEY_CLASSES_ROOT")) {
    base = options.perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
    if (options.perUser) sub = L"Software\\Classes";
  } else if (EqualsNoCase(name, L"HKCU") || EqualsNoCase(name, L"HKEY_CURRENT_USER")) {
    base = HKEY_CURRENT_USER;
  } else if (EqualsNoCase(name, L"HKLM") || EqualsNoCase(name, L"HKEY_LOCAL_MACHINE")) {
    base = HKEY_LOCAL_MACHINE;
  } else {
    return E_INVALIDARG;
  }
  LSTATUS st = create ? RegCreateKeyExW(base, sub == nullptr ? L"" : sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        out.put(), nullptr)
                      : RegOpenKeyExW(base, sub == nullptr ? L"" : sub, 0, KEY_ALL_ACCESS, out.put());
  if (st == ERROR_FILE_NOT_FOUND && !create) {
    found = false;
    return S_OK;
  }
  return st == ERROR_SUCCESS ? S_OK : FromWin32(st);
}

class Applier {
 public:
  Applier(const RegistrarReplacements* repl) : repl_(repl) {}

  HRESULT Register(HKEY parent, const RegistrarKey& k) {
    std::wstring name;
    HRESULT hr = Text(k.name, name);
    if (FAILED(hr)) return hr;
    if (k.flag == RegistrarFlag::Delete || k.flag == RegistrarFlag::ForceRemove) {
      LSTATUS st = RegDeleteTreeW(parent, name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return FromWin32(st);
      if (k.flag == RegistrarFlag::Delete) return S_OK;
    }
    RegKey key;
    LSTATUS st = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    if (st != ERROR_SUCCESS) return FromWin32(st);
    for (const RegistrarValue& v : k.values) {
      hr = Write(key.get(), v);
      if (FAILED(hr)) return hr;
    }
    for (const RegistrarKey& sub : k.subkeys) {
      hr = Register(key.get(), sub);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT Unregister(HKEY parent, const RegistrarKey& k) {
    if (k.flag == RegistrarFlag::Delete) return S_OK;
    std::wstring name;
    HRESULT hr = Text(k.name, name);
    if (FAILED(hr)) return hr;
    if (k.flag == RegistrarFlag::ForceRemove) {
      LSTATUS st = RegDeleteTreeW(parent, name.c_str());
      return st == ERROR_SUCCESS || st == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(st);
    }
    RegKey key;
    LSTATUS st = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.put());
    if (st == ERROR_FILE_NOT_FOUND) return S_OK;
    if (st != ERROR_SUCCESS) return FromWin32(st);
    for (const RegistrarKey& sub : k.subkeys) {
      hr = Unregister(key.get(), sub);
      if (FAILED(hr)) return hr;
    }
    for (const RegistrarValue& v : k.values) {
      std::wstring valueName;
      hr = Text(v.name, valueName);
      if (FAILED(hr)) return hr;
      st = RegDeleteValueW(key.get(), valueName.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return FromWin32(st);
    }
    if (k.flag == RegistrarFlag::NoRemove) return S_OK;
    DWORD subKeys = 0, values = 0;
    st = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                          nullptr, nullptr, nullptr);
    if (st != ERROR_SUCCESS) return FromWin32(st);
    key.reset();
    if (subKeys == 0 && values == 0) {
      st = RegDeleteKeyW(parent, name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return FromWin32(st);
    }
    return S_OK;
  }

 private:
  HRESULT Text(const std::wstring& in, std::wstring& out) {
    if (repl_ == nullptr) {
      out = in;
      return S_OK;
    }
    std::wstring bad;
    return Substitute(in, *repl_, out, bad) ? S_OK : E_INVALIDARG;
  }

  HRESULT Write(HKEY key, const RegistrarValue& v) {
    std::wstring name;
    HRESULT hr = Text(v.name, name);
    if (FAILED(hr)) return hr;
    LSTATUS st;
    switch (v.type) {
      case REG_SZ:
      case REG_EXPAND_SZ: {
        std::wstring text;
        hr = Text(v.text, text);
        if (FAILED(hr)) return hr;
        st = RegWriteString(key, name, text, v.type);
        break;
      }
      case REG_DWORD: st = RegWriteDword(key, name, v.number); break;
      case REG_BINARY:
        st = RegWriteBinary(key, name, v.bytes.data(), static_cast<DWORD>(v.bytes.size()));
        break;
      case REG_MULTI_SZ: {
        std::vector<std::wstring> strings;
        for (const std::wstring& s : v.strings) {
          std::wstring t;
          hr = Text(s, t);
          if (FAILED(hr)) return hr;
          strings.push_back(std::move(t));
        }
        st = RegWriteMultiString(key, name, strings);
        break;
      }
      default: return E_INVALIDARG;
    }
    return st == ERROR_SUCCESS ? S_OK : FromWin32(st);
  }

  const RegistrarReplacements* repl_;
};

HRESULT Apply(const std::vector<RegistrarKey>& table, const RegistrarReplacements* repl,
              const RegistrarOptions& options, bool doRegister) {
  Applier applier(repl);
  for (const RegistrarKey& root : table) {
    RegKey rootKey;
    bool found = true;
    HRESULT hr = OpenRoot(root.name, options, doRegister, rootKey, found);
    if (FAILED(hr)) return hr;
    if (!found) continue;
    for (const RegistrarKey& k : root.subkeys) {
      hr = doRegister ? applier.Register(rootKey.get(), k) : applier.Unregister(rootKey.get(), k);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// --- Script parsing ---

struct Token {
  std::wstring text;
  bool quoted = false;
  std::size_t offset = 0;
};

class Parser {
 public:
  Parser(std::wstring_view text, const RegistrarReplacements& repl) : text_(text), repl_(repl) {}

  HRESULT Parse(std::vector<RegistrarKey>& out) {
    while (true) {
      Token t;
      if (!Next(t)) break;
      if (failed_) return E_INVALIDARG;
      RegistrarKey root;
      root.name = t.text;
      if (t.quoted || (!IsRoot(t.text))) return Fail(t, L"a root key (HKCR, HKLM, HKCU) was expected");
      Token brace;
      if (!Next(brace) || brace.quoted || brace.text != L"{") return Fail(brace, L"'{' was expected");
      HRESULT hr = ParseItems(root);
      if (FAILED(hr)) return hr;
      out.push_back(std::move(root));
    }
    return failed_ ? E_INVALIDARG : S_OK;
  }

  std::wstring error;

 private:
  static bool IsRoot(const std::wstring& n) {
    for (const wchar_t* r : {L"HKCR", L"HKEY_CLASSES_ROOT", L"HKCU", L"HKEY_CURRENT_USER", L"HKLM",
                             L"HKEY_LOCAL_MACHINE"})
      if (EqualsNoCase(n, r)) return true;
    return false;
  }

  HRESULT Fail(const Token& t, const std::wstring& what) {
    if (error.empty()) error = what + L" at offset " + std::to_wstring(t.offset);
    failed_ = true;
    return E_INVALIDARG;
  }

  bool IsWord(const Token& t, const wchar_t* w) const { return !t.quoted && EqualsNoCase(t.text, w); }

  // Items up to the closing brace of parent.
  HRESULT ParseItems(RegistrarKey& parent) {
    while (true) {
      Token t;
      if (!Next(t)) return Fail(t, L"'}' was expected");
      if (failed_) return E_INVALIDARG;
      if (!t.quoted && t.text == L"}") return S_OK;
      if (IsWord(t, L"val")) {
        Token name;
        if (!Next(name)) return Fail(name, L"a value name was expected");
        RegistrarValue v;
        v.name = name.text;
        Token eq;
        if (!Next(eq) || eq.quoted || eq.text != L"=") return Fail(eq, L"'=' was expected");
        HRESULT hr = ParseValue(v);
        if (FAILED(hr)) return hr;
        parent.values.push_back(std::move(v));
        continue;
      }
      RegistrarKey key;
      if (IsWord(t, L"ForceRemove")) key.flag = RegistrarFlag::ForceRemove;
      else if (IsWord(t, L"NoRemove")) key.flag = RegistrarFlag::NoRemove;
      else if (IsWord(t, L"Delete")) key.flag = RegistrarFlag::Delete;
      if (key.flag != RegistrarFlag::None && !Next(t)) return Fail(t, L"a key name was expected");
      if (!t.quoted && (t.text == L"{" || t.text == L"=")) return Fail(t, L"a key name was expected");
      key.name = t.text;
      // Optional default value, then optional children.
      std::size_t save = pos_;
      Token after;
      bool more = Next(after);
      if (more && !after.quoted && after.text == L"=") {
        RegistrarValue v;
        HRESULT hr = ParseValue(v);
        if (FAILED(hr)) return hr;
        key.values.insert(key.values.begin(), std::move(v));
        save = pos_;
        more = Next(after);
      }
      if (more && !after.quoted && after.text == L"{") {
        HRESULT hr = ParseItems(key);
        if (FAILED(hr)) return hr;
      } else {
        pos_ = save;
      }
      parent.subkeys.push_back(std::move(key));
    }
  }

  HRESULT ParseValue(RegistrarValue& v) {
    Token type, value;
    if (!Next(type) || type.quoted) return Fail(type, L"a value type (s, e, d, b) was expected");
    if (!Next(value)) return Fail(value, L"a value was expected");
    if (EqualsNoCase(type.text, L"s") || EqualsNoCase(type.text, L"e")) {
      v.type = EqualsNoCase(type.text, L"s") ? REG_SZ : REG_EXPAND_SZ;
      v.text = value.text;
      return S_OK;
    }
    if (EqualsNoCase(type.text, L"d")) {
      std::string digits = Utf8FromWide(value.text);
      char* end = nullptr;
      errno = 0;
      unsigned long long n = std::strtoull(digits.c_str(), &end, 0);
      if (digits.empty() || *end != 0 || errno == ERANGE || n > 0xFFFFFFFFull) return Fail(value, L"a DWORD was expected");
      v.type = REG_DWORD;
      v.number = static_cast<DWORD>(n);
      return S_OK;
    }
    if (EqualsNoCase(type.text, L"b")) {
      v.type = REG_BINARY;
      std::wstring hex;
      for (wchar_t c : value.text)
        if (!std::iswspace(c)) hex += c;
      if (hex.size() % 2 != 0) return Fail(value, L"an even number of hex digits was expected");
      if (!HexDecode(hex, v.bytes)) return Fail(value, L"hex digits were expected");
      return S_OK;
    }
    return Fail(type, L"a value type (s, e, d, b) was expected");
  }

  // The next token with replacements applied; false at the end of the text
  // (or on a malformed token, with failed_ set).
  bool Next(Token& t) {
    while (pos_ < text_.size() && std::iswspace(text_[pos_])) ++pos_;
    t = Token{};
    t.offset = pos_;
    if (pos_ >= text_.size()) return false;
    std::wstring raw;
    if (text_[pos_] == L'\'') {
      t.quoted = true;
      ++pos_;
      while (true) {
        if (pos_ >= text_.size()) {
          Fail(t, L"unterminated quoted text");
          return false;
        }
        if (text_[pos_] == L'\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == L'\'') {
            raw += L'\'';
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        raw += text_[pos_++];
      }
    } else {
      while (pos_ < text_.size() && !std::iswspace(text_[pos_])) raw += text_[pos_++];
    }
    std::wstring bad;
    if (!Substitute(raw, repl_, t.text, bad)) {
      Fail(t, L"unknown replacement %" + bad + L"%");
      return false;
    }
    return true;
  }

  std::wstring_view text_;
  const RegistrarReplacements& repl_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

std::wstring VersionText(const TypeLibRegistration& lib) {
  return FormatW(L"%x.%x", static_cast<unsigned>(lib.majorVersion), static_cast<unsigned>(lib.minorVersion));
}

std::vector<RegistrarKey> TypeLibTable(const TypeLibRegistration& lib) {
  auto sz = [](std::wstring name, std::wstring text) {
    RegistrarValue v;
    v.name = std::move(name);
    v.text = std::move(text);
    return v;
  };
  auto key = [](std::wstring name, RegistrarFlag flag = RegistrarFlag::None) {
    RegistrarKey k;
    k.name = std::move(name);
    k.flag = flag;
    return k;
  };
  std::wstring libid = FormatGuid(lib.libid);
  std::wstring version = VersionText(lib);
  std::wstring lcid = FormatW(L"%x", static_cast<unsigned>(lib.lcid));

  RegistrarKey ver = key(version, RegistrarFlag::ForceRemove);
  ver.values.push_back(sz(L"", lib.name));
  RegistrarKey lcidKey = key(lcid);
  RegistrarKey win64 = key(L"win64");
  win64.values.push_back(sz(L"", lib.path));
  lcidKey.subkeys.push_back(std::move(win64));
  ver.subkeys.push_back(std::move(lcidKey));
  RegistrarKey flags = key(L"FLAGS");
  flags.values.push_back(sz(L"", std::to_wstring(lib.flags)));
  ver.subkeys.push_back(std::move(flags));
  RegistrarKey helpDir = key(L"HELPDIR");
  helpDir.values.push_back(sz(L"", lib.helpDir));
  ver.subkeys.push_back(std::move(helpDir));
  RegistrarKey libKey = key(libid);
  libKey.subkeys.push_back(std::move(ver));
  RegistrarKey typeLib = key(L"TypeLib", RegistrarFlag::NoRemove);
  typeLib.subkeys.push_back(std::move(libKey));

  RegistrarKey interfaces = key(L"Interface", RegistrarFlag::NoRemove);
  std::wstring marshaler = FormatGuid(CLSID_PSOAInterface);
  for (const TypeLibInterface& itf : lib.interfaces) {
    RegistrarKey k = key(FormatGuid(itf.iid), RegistrarFlag::ForceRemove);
    k.values.push_back(sz(L"", itf.name));
    for (const wchar_t* ps : {L"ProxyStubClsid", L"ProxyStubClsid32"}) {
      RegistrarKey p = key(ps);
      p.values.push_back(sz(L"", marshaler));
      k.subkeys.push_back(std::move(p));
    }
    RegistrarKey t = key(L"TypeLib");
    t.values.push_back(sz(L"", libid));
    t.values.push_back(sz(L"Version", version));
    k.subkeys.push_back(std::move(t));
    interfaces.subkeys.push_back(std::move(k));
  }
  RegistrarKey root = key(L"HKCR");
  root.subkeys.push_back(std::move(typeLib));
  root.subkeys.push_back(std::move(interfaces));
  return {std::move(root)};
}

}  // namespace

HRESULT ParseRgs(std::wstring_view text, const RegistrarReplacements& replacements, std::vector<RegistrarKey>& out,
                 std::wstring* error) {
  Parser parser(text, replacements);
  std::vector<RegistrarKey> table;
  HRESULT hr = parser.Parse(table);
  if (FAILED(hr)) {
    if (error != nullptr) *error = parser.error;
    return hr;
  }
  out = std::move(table);
  return S_OK;
}

HRESULT RegisterTable(const std::vector<RegistrarKey>& table, const RegistrarReplacements& replacements,
                      const RegistrarOptions& options) {
  return Apply(table, &replacements, options, true);
}

HRESULT UnregisterTable(const std::vector<RegistrarKey>& table, const RegistrarReplacements& replacements,
                        const RegistrarOptions& options) {
  return Apply(table, &replacements, options, false);
}

HRESULT RegisterServerFromRgs(std::wstring_view text, const RegistrarReplacements& replacements,
                              const RegistrarOptions& options) {
  std::vector<RegistrarKey> table;
  HRESULT hr = ParseRgs(text, replacements, table);
  // Replacements were applied while parsing; the text is final.
  return FAILED(hr) ? hr : Apply(table, nullptr, options, true);
}

HRESULT UnregisterServerFromRgs(std::wstring_view text, const RegistrarReplacements& replacements,
                                const RegistrarOptions& options) {
  std::vector<RegistrarKey> table;
  HRESULT hr = ParseRgs(text, replacements, table);
  return FAILED(hr) ? hr : Apply(table, nullptr, options, false);
}

std::wstring ModulePathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) != nullptr) return WideFromUtf8(resolved);
  return WideFromUtf8(info.dli_fname);
}

HRESULT RegisterTypeLibrary(const TypeLibRegistration& lib, const RegistrarOptions& options) {
  return Apply(TypeLibTable(lib), nullptr, options, true);
}

HRESULT UnregisterTypeLibrary(const TypeLibRegistration& lib, const RegistrarOptions& options) {
  return Apply(TypeLibTable(lib), nullptr, options, false);
}

}  // namespace platform
