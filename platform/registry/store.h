// store.h - the registry's process-wide state: the SQLite connection, open
// key handles and pending change watches (internal to vn_registry).
//
// Schema (one database file shared by every process):
//   keys(id, parent, name, fold, last_write): one row per key. `fold` is
//     the upper-cased name (unique among siblings, and the enumeration order).
//     A row holds only its own name, so a key costs the same at any depth;
//     full paths ("HKEY_LOCAL_MACHINE\SOFTWARE", upper-cased) live in the
//     handles and the change log, and a subtree is walked by parent. Ids are
//     AUTOINCREMENT and never reused, so a handle holding the id of a deleted
//     key can tell.
//   vals(id, key, name, fold, type, data): `id` orders values by creation; an
//     update keeps the row and so the position. Indexed by (key, fold) for
//     lookups and (key, id) for enumeration.
//   changes(seq, path, kind, at): appended by every write in the same
//     transaction; the watcher thread of each process reads rows past the
//     last sequence it saw and signals matching watches.
#pragma once

#include "platform/registry/registry.h"

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace platform::registry_detail {

// Kinds of rows in the change log.
constexpr DWORD kChangeName = REG_NOTIFY_CHANGE_NAME;         // path: the key whose subkeys changed
constexpr DWORD kChangeLastSet = REG_NOTIFY_CHANGE_LAST_SET;  // path: the key whose values changed
constexpr DWORD kChangeDeleted = 0x100;                       // path: the deleted key (and all below)
// Added to kChangeLastSet when values of path were removed (positions of the
// values after them moved).
constexpr DWORD kChangeValueRemoved = 0x200;

constexpr std::int64_t kHklmId = 1;
constexpr std::int64_t kHkcuId = 2;
inline const char kHklmPath[] = "HKEY_LOCAL_MACHINE";
inline const char kHkcuPath[] = "HKEY_CURRENT_USER";
inline const char kClassesPath[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES";

struct KeyHandle;

struct Watch {
  KeyHandle* owner;  // null for a predefined key
  std::string path;  // folded path of the watched key
  bool subtree;
  DWORD filter;
  std::int64_t armSeq;  // only changes after this sequence count
  HANDLE event;         // our own reference, released when the watch ends
};

// Where an enumeration by index stands, so the next index costs one step
// instead of a walk from the start. Valid while no change that moves
// positions (a subkey added or removed, a value removed) was logged for the
// key after seq.
struct EnumCursor {
  bool valid = false;
  DWORD index = 0;        // the index last answered
  std::int64_t seq = 0;   // the change log's last sequence then
  std::int64_t lastId = 0;  // values: the row id answered
  std::string lastFold;     // subkeys: the folded name answered
};

struct KeyHandle {
  std::int64_t id;
  REGSAM access;
  std::string path;  // folded full path
  EnumCursor values;
  EnumCursor subkeys;
};

// The upper-cased UTF-8 form names are compared and ordered by.
std::string Fold(std::wstring_view name);

class Store;

// A prepared statement from the store's cache, reset and unbound when the
// scope ends.
class Stmt {
 public:
  Stmt(Store& store, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Bind(int i, std::int64_t v);
  Stmt& Bind(int i, const std::string& text);
  Stmt& BindBlob(int i, const void* data, int size);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  std::int64_t Int(int col) const;
  std::string Text(int col) const;
  const void* Blob(int col) const;
  int Bytes(int col) const;
  bool IsNull(int col) const;
  bool ok() const { return s_ != nullptr; }

 private:
  sqlite3_stmt* s_;
};

// Shared state of the process. One lock, `mu`, guards everything here: the
// connection and its statement cache, the transaction depth, `handles`,
// `watches`, `lastSeq` and the watcher's stop flag. It is recursive so that a
// caller (the .reg import) can run many API calls inside one transaction.
class Store {
 public:
  // The process's store, opened on first use; null when the database cannot
  // be opened (calls then answer ERROR_REGISTRY_IO_FAILED).
  static Store* Get();

  std::recursive_mutex mu;

  sqlite3_stmt* Prepare(const char* sql);

  // Transactions: the outermost is BEGIN IMMEDIATE (retried while another
  // process holds the write lock), nested ones are savepoints.
  LSTATUS Begin();
  LSTATUS Commit();
  void Rollback();
  int depth() const { return depth_; }
  std::int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  int Changes() const { return sqlite3_changes(db_); }

  // Appends a change row (inside the current transaction).
  LSTATUS LogChange(const std::string& path, DWORD kind);

  std::unordered_set<KeyHandle*> handles;
  std::vector<Watch> watches;

  // Registers a one-shot watch for changes committed from now on (by any
  // process); starts the watcher thread on first use.
  LSTATUS AddWatch(KeyHandle* owner, const std::string& path, bool subtree, DWORD filter, HANDLE event);
  // Signals and drops every watch of owner (on close).
  void EndWatches(KeyHandle* owner);

  static std::int64_t NowFileTime();
  // The change log's last sequence number (0 when empty).
  std::int64_t MaxSeq();
  // Whether any change of one of kinds was logged for path after seq (true
  // too when rows after seq were pruned, as nothing can be told then).
  bool ChangedSince(std::int64_t seq, const std::string& path, DWORD kinds);

 private:
  Store() = default;
  bool Open(const std::string& file);
  bool CreateSchema();
  LSTATUS Exec(const char* sql);
  void PruneOnOpen();
  // Drops change rows older than a minute; inside a write transaction.
  void PruneChangesLocked();
  void WatcherLoop();
  void WakeWatcher();
  void ScanChanges();
  static void StopWatcher();

  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
  int depth_ = 0;
  std::int64_t lastPruneMs_ = 0;
  bool changed_ = false;  // this transaction logged a change

  std::string file_;
  std::int64_t lastSeq_ = 0;
  bool stop_ = false;
  std::thread watcher_;
  int wakeFd_ = -1;     // eventfd: the stop request
  int inotifyFd_ = -1;  // the database folder's writes (other processes)
};

// RAII transaction: rolls back unless Commit() was called.
class Txn {
 public:
  explicit Txn(Store& s) : s_(s), status_(s.Begin()) {}
  ~Txn() {
    if (status_ == ERROR_SUCCESS && !done_) s_.Rollback();
  }
  LSTATUS status() const { return status_; }
  LSTATUS Commit() {
    done_ = true;
    return s_.Commit();
  }

 private:
  Store& s_;
  LSTATUS status_;
  bool done_ = false;
};

// Runs fn inside one transaction: everything it does is committed together,
// or nothing when it returns an error.
template <typename Fn>
LSTATUS RunInTransaction(Fn&& fn) {
  Store* s = Store::Get();
  if (s == nullptr) return ERROR_REGISTRY_IO_FAILED;
  std::lock_guard<std::recursive_mutex> lock(s->mu);
  Txn txn(*s);
  if (txn.status() != ERROR_SUCCESS) return txn.status();
  LSTATUS st = fn();
  if (st != ERROR_SUCCESS) return st;
  return txn.Commit();
}

}  // namespace platform::registry_detail
