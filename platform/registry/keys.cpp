// keys.cpp - the registry calls: opening, creating, reading, writing,
// enumerating and deleting keys and values.
//
// Each call takes the store's lock for its whole length and is one SQLite
// transaction (reads are single statements where they can be). A handle
// holds its key's id; every call first checks that the id still exists, so a
// key deleted by any process answers ERROR_KEY_DELETED through old handles.
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/registry/store.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

using platform::registry_detail::Fold;
using platform::registry_detail::KeyHandle;
using platform::registry_detail::Stmt;
using platform::registry_detail::Store;
using platform::registry_detail::Txn;
namespace rd = platform::registry_detail;

namespace {

using platform::kRegMaxKeyNameChars;
using platform::kRegMaxValueNameChars;

// Rights that let a handle change the registry.
constexpr REGSAM kDeleteRight = 0x00010000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kDeleteRight | kGenericAll | kGenericWrite | kMaximumAllowed;

// The key a call works on, resolved from an HKEY.
struct Target {
  std::int64_t id = 0;
  REGSAM access = 0;
  std::string path;
  KeyHandle* handle = nullptr;  // null for a predefined key
  bool Writable() const { return (access & kWriteRights) != 0; }
  bool CanSetValues() const { return (access & (KEY_SET_VALUE | kGenericAll | kGenericWrite | kMaximumAllowed)) != 0; }
};

// Resolves key to its id and, unless told not to, checks that the key still
// exists. Call with the store's lock held.
LSTATUS Resolve(Store& s, HKEY key, Target& t, bool checkExists = true) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) {
    t.access = KEY_ALL_ACCESS;
    t.path = key == HKEY_LOCAL_MACHINE ? rd::kHklmPath : key == HKEY_CURRENT_USER ? rd::kHkcuPath : rd::kClassesPath;
    // HKCR is HKLM\SOFTWARE\CLASSES, found below the root of fixed id.
    Stmt root(s, "SELECT id FROM keys WHERE id = ?1");
    Stmt classes(s,
                 "SELECT c.id FROM keys AS p JOIN keys AS c ON c.parent = p.id AND c.fold = 'CLASSES'"
                 " WHERE p.parent = ?1 AND p.fold = 'SOFTWARE'");
    Stmt& q = key == HKEY_CLASSES_ROOT ? classes : root;
    q.Bind(1, key == HKEY_CURRENT_USER ? rd::kHkcuId : rd::kHklmId);
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
      t.id = q.Int(0);
      return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
  }
  auto* h = reinterpret_cast<KeyHandle*>(key);
  if (key == nullptr || s.handles.count(h) == 0) return ERROR_INVALID_HANDLE;
  t.id = h->id;
  t.access = h->access;
  t.path = h->path;
  t.handle = h;
  if (!checkExists) return ERROR_SUCCESS;
  Stmt q(s, "SELECT 1 FROM keys WHERE id = ?1");
  q.Bind(1, t.id);
  int rc = q.Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
}

// Splits a subkey path into names. A leading backslash is refused with
// ERROR_BAD_PATHNAME (as RegCreateKeyEx answers it), one trailing backslash is
// tolerated, an empty name inside the path is refused the same way.
LSTATUS SplitPath(LPCWSTR subKey, std::vector<std::wstring>& parts) {
  parts.clear();
  if (subKey == nullptr || *subKey == L'\0') return ERROR_SUCCESS;
  std::wstring_view p(subKey);
  if (p.front() == L'\\') return ERROR_BAD_PATHNAME;
  if (p.back() == L'\\') p.remove_suffix(1);
  std::size_t start = 0;
  while (start <= p.size()) {
    std::size_t end = p.find(L'\\', start);
    if (end == std::wstring_view::npos) end = p.size();
    std::wstring_view name = p.substr(start, end - start);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (platform::Utf16Length(name) > kRegMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    parts.emplace_back(name);
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Looks up a direct child by name: ERROR_SUCCESS with its id, or
// ERROR_FILE_NOT_FOUND.
LSTATUS FindChild(Store& s, std::int64_t parent, const std::string& fold, std::int64_t& id) {
  Stmt q(s, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  q.Bind(1, parent).Bind(2, fold);
  int rc = q.Step();
  if (rc == SQLITE_ROW) {
    id = q.Int(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ERROR_REGISTRY_IO_FAILED;
}

// Walks parts below t, creating missing keys when create is set. On success
// t names the final key (its handle field no longer applies).
LSTATUS Walk(Store& s, Target& t, const std::vector<std::wstring>& parts, bool create, bool* created) {
  if (created != nullptr) *created = false;
  bool addedLevel = false;
  for (const std::wstring& name : parts) {
    std::string fold = Fold(name);
    std::string path = t.path + "\\" + fold;
    std::int64_t id = 0;
    LSTATUS st = FindChild(s, t.id, fold, id);
    if (st == ERROR_FILE_NOT_FOUND && create) {
      if ((t.access & (KEY_CREATE_SUB_KEY | kGenericAll | kGenericWrite | kMaximumAllowed)) == 0)
        return ERROR_ACCESS_DENIED;
      // Levels below the hive: one per separator of the folded path.
      if (static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')) > platform::kRegMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
      Stmt ins(s, "INSERT INTO keys(parent, name, fold, last_write) VALUES(?1, ?2, ?3, ?4)");
      ins.Bind(1, t.id).Bind(2, platform::Utf8FromWide(name)).Bind(3, fold).Bind(4, Store::NowFileTime());
      if (ins.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
      id = s.LastInsertId();
      // One row for the highest key created: every watch that a level below
      // it could match (on the key above, or on a subtree holding it) matches
      // that row too, and a change log row per level would repeat a path that
      // grows with the depth.
      if (!addedLevel && (st = s.LogChange(t.path, rd::kChangeName)) != ERROR_SUCCESS) return st;
      addedLevel = true;
      if (created != nullptr) *created = true;
    } else if (st != ERROR_SUCCESS) {
      return st;
    }
    t.id = id;
    t.path = std::move(path);
    t.handle = nullptr;
  }
  return ERROR_SUCCESS;
}

HKEY NewHandle(Store& s, const Target& t, REGSAM access) {
  auto* h = new KeyHandle{t.id, access, t.path, {}, {}};
  s.handles.insert(h);
  return reinterpret_cast<HKEY>(h);
}

std::string FoldValueName(LPCWSTR name) { return name == nullptr ? std::string() : Fold(name); }

// Copies a name into a caller's buffer of *length characters (terminator
// included); answers ERROR_MORE_DATA when it does not fit.
LSTATUS CopyName(const std::string& utf8, LPWSTR out, DWORD* length) {
  std::wstring w = platform::WideFromUtf8(utf8);
  if (w.size() + 1 > *length) return ERROR_MORE_DATA;
  std::copy(w.begin(), w.end(), out);
  out[w.size()] = L'\0';
  *length = static_cast<DWORD>(w.size());
  return ERROR_SUCCESS;
}

// Copies data into a caller's buffer with the size-probe rules of
// RegQueryValueEx: null data reports the size, a short buffer ERROR_MORE_DATA.
LSTATUS CopyData(const void* src, std::size_t size, BYTE* data, DWORD* dataSize) {
  if (dataSize == nullptr) return ERROR_SUCCESS;
  DWORD have = *dataSize;
  *dataSize = static_cast<DWORD>(size);
  if (data == nullptr) return ERROR_SUCCESS;
  if (have < size) return ERROR_MORE_DATA;
  if (size > 0) std::memcpy(data, src, size);
  return ERROR_SUCCESS;
}

void SetFileTime(FILETIME* ft, std::int64_t v) {
  if (ft == nullptr) return;
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(v) >> 32);
}

// Records that t's values changed (and whether some were removed): its
// last-write time and the change log.
LSTATUS ValuesChanged(Store& s, const Target& t, bool removed = false) {
  Stmt u(s, "UPDATE keys SET last_write = ?2 WHERE id = ?1");
  u.Bind(1, t.id).Bind(2, Store::NowFileTime());
  if (u.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  return s.LogChange(t.path, rd::kChangeLastSet | (removed ? rd::kChangeValueRemoved : 0));
}

std::string ParentPath(const std::string& path) { return path.substr(0, path.rfind('\\')); }

// A root, or a key that holds one (HKLM\SOFTWARE holds HKCR's key): never
// deleted, as Windows keeps its hives.
bool IsRootPath(const std::string& path) {
  if (path == rd::kHklmPath || path == rd::kHkcuPath) return true;
  const std::string_view classes(rd::kClassesPath);
  return classes == path || (classes.starts_with(path) && classes[path.size()] == '\\');
}

// Deletes the key id at path and everything below it, logging the change.
LSTATUS DeleteSubtree(Store& s, std::int64_t id, const std::string& path, const std::string& parentPath) {
  if (IsRootPath(path)) return ERROR_ACCESS_DENIED;
  // The subtree is walked down by parent (keys_child serves each level).
  Stmt dv(s,
          "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys AS k JOIN sub ON k.parent = sub.id)"
          " DELETE FROM vals WHERE key IN (SELECT id FROM sub)");
  dv.Bind(1, id);
  if (dv.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  Stmt dk(s,
          "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys AS k JOIN sub ON k.parent = sub.id)"
          " DELETE FROM keys WHERE id IN (SELECT id FROM sub)");
  dk.Bind(1, id);
  if (dk.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  LSTATUS st = s.LogChange(path, rd::kChangeDeleted);
  if (st == ERROR_SUCCESS) st = s.LogChange(parentPath, rd::kChangeName);
  return st;
}

// Reads a value's type and bytes; the common road of the query calls.
LSTATUS ReadValue(Store& s, HKEY key, LPCWSTR valueName, DWORD& type, std::string& bytes) {
  Target t;
  LSTATUS st = Resolve(s, key, t, /*checkExists=*/false);
  if (st != ERROR_SUCCESS) return st;
  // The hot path: one statement checks the key and reads the value.
  Stmt q(s, "SELECT v.type, v.data FROM keys k LEFT JOIN vals v ON v.key = k.id AND v.fold = ?2 WHERE k.id = ?1");
  q.Bind(1, t.id).Bind(2, FoldValueName(valueName));
  int rc = q.Step();
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
  if (q.IsNull(0)) return ERROR_FILE_NOT_FOUND;
  type = static_cast<DWORD>(q.Int(0));
  bytes.assign(static_cast<const char*>(q.Blob(1)), static_cast<std::size_t>(q.Bytes(1)));
  return ERROR_SUCCESS;
}

// The RRF_RT_* bit of a value type; 0 for types only RRF_RT_ANY admits.
DWORD RestrictBit(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

// Makes string data end as RegGetValue promises: a REG_SZ with one
// terminator, a REG_MULTI_SZ with two (an odd byte count is padded first).
void EnsureTerminated(DWORD type, std::string& b) {
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return;
  if (b.size() % 2 != 0) b.push_back('\0');
  auto endsWithNul = [&b](std::size_t unitsFromEnd) {
    std::size_t at = b.size() - 2 * unitsFromEnd;
    return b.size() >= 2 * unitsFromEnd && b[at] == '\0' && b[at + 1] == '\0';
  };
  if (!endsWithNul(1)) b.append(2, '\0');
  if (type == REG_MULTI_SZ && b.size() > 2 && !endsWithNul(2)) b.append(2, '\0');
}

// Runs body(store, target) for key with the store's lock held; a write runs
// inside one transaction, committed when body succeeds.
template <typename Body>
LSTATUS Call(HKEY key, bool write, Body&& body) {
  Store* s = Store::Get();
  if (s == nullptr) return ERROR_REGISTRY_IO_FAILED;
  std::lock_guard<std::recursive_mutex> lock(s->mu);
  std::optional<Txn> txn;
  if (write) {
    txn.emplace(*s);
    if (txn->status() != ERROR_SUCCESS) return txn->status();
  }
  Target t;
  LSTATUS st = Resolve(*s, key, t);
  if (st == ERROR_SUCCESS) st = body(*s, t);
  return st != ERROR_SUCCESS || !write ? st : txn->Commit();
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::wstring> parts;
  LSTATUS st = SplitPath(subKey, parts);
  if (st != ERROR_SUCCESS) return st;
  return Call(key, false, [&](Store& s, Target& t) -> LSTATUS {
    LSTATUS walked = Walk(s, t, parts, false, nullptr);
    if (walked == ERROR_SUCCESS) *result = NewHandle(s, t, access);
    return walked;
  });
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/, DWORD /*options*/,
                        REGSAM access, SECURITY_ATTRIBUTES* /*security*/, PHKEY result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::wstring> parts;
  LSTATUS st = SplitPath(subKey, parts);
  if (st != ERROR_SUCCESS) return st;
  Target key_;
  bool created = false;
  st = Call(key, true, [&](Store& s, Target& t) -> LSTATUS {
    LSTATUS walked = Walk(s, t, parts, true, &created);
    key_ = t;
    return walked;
  });
  if (st != ERROR_SUCCESS) return st;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  // The handle exists only once the key is committed.
  Store* s = Store::Get();
  std::lock_guard<std::recursive_mutex> lock(s->mu);
  *result = NewHandle(*s, key_, access);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  return RegCreateKeyExW(key, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, result, nullptr);
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  Store* s = Store::Get();
  if (s == nullptr) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(s->mu);
  auto* h = reinterpret_cast<KeyHandle*>(key);
  if (key == nullptr || s->handles.erase(h) == 0) return ERROR_INVALID_HANDLE;
  s->EndWatches(h);
  delete h;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  Store* s = Store::Get();
  if (s == nullptr) return ERROR_REGISTRY_IO_FAILED;
  std::lock_guard<std::recursive_mutex> lock(s->mu);
  DWORD t = 0;
  std::string bytes;
  LSTATUS st = ReadValue(*s, key, valueName, t, bytes);
  if (st != ERROR_SUCCESS) return st;
  if (type != nullptr) *type = t;
  return CopyData(bytes.data(), bytes.size(), data, dataSize);
}

LSTATUS RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, DWORD* type, void* data,
                     DWORD* dataSize) {
  DWORD allowed = flags & RRF_RT_ANY;
  if (allowed == 0 || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  // Asking for REG_EXPAND_SZ as such only makes sense without expansion.
  if (allowed != RRF_RT_ANY && (allowed & RRF_RT_REG_EXPAND_SZ) != 0 && (flags & RRF_NOEXPAND) == 0)
    return ERROR_INVALID_PARAMETER;
  platform::RegKey sub;
  if (subKey != nullptr && *subKey != L'\0') {
    LSTATUS st = RegOpenKeyExW(key, subKey, 0, KEY_QUERY_VALUE, sub.put());
    if (st != ERROR_SUCCESS) return st;
    key = sub.get();
  }
  Store* s = Store::Get();
  if (s == nullptr) return ERROR_REGISTRY_IO_FAILED;
  DWORD t = 0;
  std::string bytes;
  {
    std::lock_guard<std::recursive_mutex> lock(s->mu);
    LSTATUS st = ReadValue(*s, key, valueName, t, bytes);
    if (st != ERROR_SUCCESS) return st;
  }
  if (t == REG_EXPAND_SZ && (flags & RRF_NOEXPAND) == 0) {
    std::wstring text = platform::RegStringFromBytes(reinterpret_cast<const BYTE*>(bytes.data()),
                                                     static_cast<DWORD>(bytes.size()));
    bytes = platform::RegStringBytes(platform::ExpandEnvironment(text));
    t = REG_SZ;
  }
  if ((RestrictBit(t) & allowed) == 0 && allowed != RRF_RT_ANY) return ERROR_UNSUPPORTED_TYPE;
  EnsureTerminated(t, bytes);
  if (type != nullptr) *type = t;
  return CopyData(bytes.data(), bytes.size(), static_cast<BYTE*>(data), dataSize);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data,
                       DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  if (valueName != nullptr && platform::Utf16Length(valueName) > kRegMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  return Call(key, true, [&](Store& s, Target& t) -> LSTATUS {
    if (!t.CanSetValues()) return ERROR_ACCESS_DENIED;
    // An existing value keeps its row, so its name's case and its position.
    Stmt up(s,
          "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
          " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    up.Bind(1, t.id)
        .Bind(2, valueName == nullptr ? std::string() : platform::Utf8FromWide(valueName))
        .Bind(3, FoldValueName(valueName))
        .Bind(4, static_cast<std::int64_t>(type))
        .BindBlob(5, data, static_cast<int>(dataSize));
    if (up.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return ValuesChanged(s, t);
  });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  return Call(key, true, [&](Store& s, Target& t) -> LSTATUS {
    if (!t.CanSetValues()) return ERROR_ACCESS_DENIED;
    Stmt del(s, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
    del.Bind(1, t.id).Bind(2, FoldValueName(valueName));
    if (del.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    if (s.Changes() == 0) return ERROR_FILE_NOT_FOUND;
    return ValuesChanged(s, t, /*removed=*/true);
  });
}

LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM /*access*/, DWORD /*reserved*/) {
  std::vector<std::wstring> parts;
  LSTATUS st = SplitPath(subKey, parts);
  if (st != ERROR_SUCCESS) return st;
  return Call(key, true, [&](Store& s, Target& t) -> LSTATUS {
    if (!t.Writable()) return ERROR_ACCESS_DENIED;
    LSTATUS walked = Walk(s, t, parts, false, nullptr);
    if (walked != ERROR_SUCCESS) return walked;
    if (IsRootPath(t.path)) return ERROR_ACCESS_DENIED;
    Stmt kids(s, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    kids.Bind(1, t.id);
    int rc = kids.Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return DeleteSubtree(s, t.id, t.path, ParentPath(t.path));
  });
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return RegDeleteKeyExW(key, subKey, 0, 0); }

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  std::vector<std::wstring> parts;
  LSTATUS st = SplitPath(subKey, parts);
  if (st != ERROR_SUCCESS) return st;
  return Call(key, true, [&](Store& s, Target& t) -> LSTATUS {
    if (!t.Writable()) return ERROR_ACCESS_DENIED;
    LSTATUS result = Walk(s, t, parts, false, nullptr);
    if (result != ERROR_SUCCESS) return result;
    if (!parts.empty())
      return IsRootPath(t.path) ? ERROR_ACCESS_DENIED : DeleteSubtree(s, t.id, t.path, ParentPath(t.path));
    // No subkey: empty the key itself, keeping it.
    std::vector<std::pair<std::int64_t, std::string>> children;
    {
      Stmt q(s, "SELECT id, fold FROM keys WHERE parent = ?1");
      q.Bind(1, t.id);
      int rc;
      while ((rc = q.Step()) == SQLITE_ROW) children.emplace_back(q.Int(0), t.path + "\\" + q.Text(1));
      if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    }
    for (const auto& [id, child] : children)
      if ((result = DeleteSubtree(s, id, child, t.path)) != ERROR_SUCCESS) return result;
    Stmt dv(s, "DELETE FROM vals WHERE key = ?1");
    dv.Bind(1, t.id);
    if (dv.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return ValuesChanged(s, t, /*removed=*/true);
  });
}

namespace {

// Whether a handle's cursor can answer index: the same index again or the
// next one, with no change since that moved positions.
bool CursorServes(Store& s, const Target& t, const rd::EnumCursor& c, DWORD index, DWORD movingKinds) {
  if (t.handle == nullptr || !c.valid || (index != c.index && index != c.index + 1)) return false;
  return s.MaxSeq() == c.seq || !s.ChangedSince(c.seq, t.path, movingKinds);
}

void MoveCursor(Store& s, rd::EnumCursor& c, DWORD index, std::int64_t lastId, std::string lastFold) {
  c = rd::EnumCursor{true, index, s.MaxSeq(), lastId, std::move(lastFold)};
}

}  // namespace

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD* /*reserved*/, LPWSTR keyClass,
                      DWORD* classLength, FILETIME* lastWrite) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  return Call(key, false, [&](Store& s, Target& t) -> LSTATUS {
    LSTATUS st = ERROR_SUCCESS;
    const bool step = CursorServes(s, t, t.handle != nullptr ? t.handle->subkeys : rd::EnumCursor{}, index,
                                   rd::kChangeName);
    // Subkeys in folded order: the next one after the cursor's, or a walk
    // from the first.
    Stmt byCursor(s,
                  "SELECT name, last_write, fold FROM keys WHERE parent = ?1 AND fold >= ?2"
                  " ORDER BY fold LIMIT 1 OFFSET ?3");
    Stmt byOffset(s, "SELECT name, last_write, fold FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
    Stmt& q = step ? byCursor : byOffset;
    if (step) {
      q.Bind(1, t.id).Bind(2, t.handle->subkeys.lastFold).Bind(3, std::int64_t{index - t.handle->subkeys.index});
    } else {
      q.Bind(1, t.id).Bind(2, static_cast<std::int64_t>(index));
    }
    int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (t.handle != nullptr) MoveCursor(s, t.handle->subkeys, index, 0, q.Text(2));
    if ((st = CopyName(q.Text(0), name, nameLength)) != ERROR_SUCCESS) return st;
    if (classLength != nullptr) {
      if (keyClass != nullptr && *classLength > 0) keyClass[0] = L'\0';
      *classLength = 0;
    }
    SetFileTime(lastWrite, q.Int(1));
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, DWORD* valueNameLength, DWORD* /*reserved*/,
                      DWORD* type, BYTE* data, DWORD* dataSize) {
  if (valueName == nullptr || valueNameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  return Call(key, false, [&](Store& s, Target& t) -> LSTATUS {
    LSTATUS st = ERROR_SUCCESS;
    // New values go last, so only a removal moves the positions after it.
    const bool step = CursorServes(s, t, t.handle != nullptr ? t.handle->values : rd::EnumCursor{}, index,
                                   rd::kChangeValueRemoved);
    Stmt byCursor(s,
                  "SELECT name, type, data, id FROM vals WHERE key = ?1 AND id >= ?2 ORDER BY id LIMIT 1 OFFSET ?3");
    Stmt byOffset(s, "SELECT name, type, data, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    Stmt& q = step ? byCursor : byOffset;
    if (step) {
      q.Bind(1, t.id).Bind(2, t.handle->values.lastId).Bind(3, std::int64_t{index - t.handle->values.index});
    } else {
      q.Bind(1, t.id).Bind(2, static_cast<std::int64_t>(index));
    }
    int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    if (t.handle != nullptr) MoveCursor(s, t.handle->values, index, q.Int(3), {});
    if ((st = CopyName(q.Text(0), valueName, valueNameLength)) != ERROR_SUCCESS) return st;
    if (type != nullptr) *type = static_cast<DWORD>(q.Int(1));
    return CopyData(q.Blob(2), static_cast<std::size_t>(q.Bytes(2)), data, dataSize);
  });
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, DWORD* classLength, DWORD* /*reserved*/, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values, DWORD* maxValueNameLength,
                         DWORD* maxValueLength, DWORD* securityDescriptor, FILETIME* lastWrite) {
  return Call(key, false, [&](Store& s, Target& t) -> LSTATUS {
    DWORD nKeys = 0, maxKey = 0, nValues = 0, maxName = 0, maxData = 0;
    {
      Stmt q(s, "SELECT name FROM keys WHERE parent = ?1");
      q.Bind(1, t.id);
      int rc;
      while ((rc = q.Step()) == SQLITE_ROW) {
        ++nKeys;
        maxKey = std::max<DWORD>(maxKey, platform::Utf16Length(platform::WideFromUtf8(q.Text(0))));
      }
      if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    }
    {
      Stmt q(s, "SELECT name, length(data) FROM vals WHERE key = ?1");
      q.Bind(1, t.id);
      int rc;
      while ((rc = q.Step()) == SQLITE_ROW) {
        ++nValues;
        maxName = std::max<DWORD>(maxName, platform::Utf16Length(platform::WideFromUtf8(q.Text(0))));
        maxData = std::max<DWORD>(maxData, static_cast<DWORD>(q.Int(1)));
      }
      if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    }
    std::int64_t written = 0;
    {
      Stmt q(s, "SELECT last_write FROM keys WHERE id = ?1");
      q.Bind(1, t.id);
      if (q.Step() == SQLITE_ROW) written = q.Int(0);
    }
    if (classLength != nullptr) {
      if (keyClass != nullptr && *classLength > 0) keyClass[0] = L'\0';
      *classLength = 0;
    }
    if (subKeys != nullptr) *subKeys = nKeys;
    if (maxSubKeyLength != nullptr) *maxSubKeyLength = maxKey;
    if (maxClassLength != nullptr) *maxClassLength = 0;
    if (values != nullptr) *values = nValues;
    if (maxValueNameLength != nullptr) *maxValueNameLength = maxName;
    if (maxValueLength != nullptr) *maxValueLength = maxData;
    if (securityDescriptor != nullptr) *securityDescriptor = 0;
    SetFileTime(lastWrite, written);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event, BOOL asynchronous) {
  constexpr DWORD kFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                             REG_NOTIFY_CHANGE_SECURITY;
  DWORD filter = notifyFilter & ~REG_NOTIFY_THREAD_AGNOSTIC;
  if (!asynchronous || event == nullptr || (filter & kFilters) == 0 || (filter & ~kFilters) != 0)
    return ERROR_INVALID_PARAMETER;
  return Call(key, false, [&](Store& s, Target& t) -> LSTATUS {
    return s.AddWatch(t.handle, t.path, watchSubtree != FALSE, filter, event);
  });
}
