// store.cpp - opening the registry database, transactions and the statement
// cache.
//
// The database runs in WAL mode so readers never block the writer and a
// process that dies mid-transaction leaves the last committed state. Every
// API call is one transaction; writers take the write lock up front (BEGIN
// IMMEDIATE) so two writers never deadlock upgrading a read lock.
#include "platform/registry/store.h"

#include "platform/base/text.h"
#include "platform/fs/host.h"

#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace platform::registry_detail {
namespace {

constexpr const char* kDefaultFile = "/var/lib/vantrel/registry.db";
constexpr int kBusyTimeoutMs = 10000;
// Rows of the change log older than this are pruned; a watcher lags by a few
// milliseconds, so a minute is ample.
constexpr std::int64_t kChangeKeepMs = 60000;
// A writer prunes at most this often; every process also prunes when it opens
// the store, so short-lived writers do not leave the log growing.
constexpr std::int64_t kPruneEveryMs = 5000;

// Published once opened; g_storeMu only serialises the opening.
std::atomic<Store*> g_store{nullptr};
std::mutex g_storeMu;

// The database's folder, with its parents (a failure shows when SQLite opens the file).
void MakeParents(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0) platform::CreateHostDirectoryTree(file.substr(0, slash));
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Version 2 added vals_order; a version 1 file is brought up to date by
// running the (idempotent) schema again. Version 3 dropped the full path each
// key row kept (with its index it made a key's storage grow with the square
// of its depth); an older file loses the column when it is opened.
constexpr std::int64_t kSchemaVersion = 3;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, fold TEXT NOT NULL, last_write INTEGER NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, fold)",
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL)",
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_name ON vals(key, fold)",
    "CREATE INDEX IF NOT EXISTS vals_order ON vals(key, id)",
    "CREATE TABLE IF NOT EXISTS changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT NOT NULL,"
    " kind INTEGER NOT NULL, at INTEGER NOT NULL)",
};

}  // namespace

std::string Fold(std::wstring_view name) { return Utf8FromWide(ToUpper(name)); }

// --- Stmt ---

Stmt::Stmt(Store& store, const char* sql) : s_(store.Prepare(sql)) {}
Stmt::~Stmt() {
  if (s_ != nullptr) {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
}
Stmt& Stmt::Bind(int i, std::int64_t v) {
  if (s_ != nullptr) sqlite3_bind_int64(s_, i, v);
  return *this;
}
Stmt& Stmt::Bind(int i, const std::string& text) {
  if (s_ != nullptr) sqlite3_bind_text(s_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::BindBlob(int i, const void* data, int size) {
  // A zero-length blob must still be a blob, not NULL.
  static const char kEmpty = 0;
  if (s_ != nullptr) sqlite3_bind_blob(s_, i, size > 0 ? data : &kEmpty, size, SQLITE_TRANSIENT);
  return *this;
}
int Stmt::Step() { return s_ == nullptr ? SQLITE_ERROR : sqlite3_step(s_); }
std::int64_t Stmt::Int(int col) const { return sqlite3_column_int64(s_, col); }
std::string Stmt::Text(int col) const {
  const unsigned char* t = sqlite3_column_text(s_, col);
  return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(s_, col));
}
const void* Stmt::Blob(int col) const { return sqlite3_column_blob(s_, col); }
int Stmt::Bytes(int col) const { return sqlite3_column_bytes(s_, col); }
bool Stmt::IsNull(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }

// --- Store ---

Store* Store::Get() {
  if (Store* s = g_store.load(std::memory_order_acquire)) return s;
  std::lock_guard<std::mutex> lock(g_storeMu);
  if (Store* s = g_store.load(std::memory_order_acquire)) return s;
  static bool atforkDone = false;
  if (!atforkDone) {
    // A forked child must not use the parent's connection (SQLite forbids
    // it): it forgets the parent's store, which stays allocated but unused,
    // and opens its own on first use.
    pthread_atfork(nullptr, nullptr, [] { g_store = nullptr; });
    atforkDone = true;
  }
  const std::string file = RegistryFileName();
  // Never freed: other libraries' static destructors may still read the
  // registry while the process exits.
  auto* s = new Store();
  if (!s->Open(file)) {
    delete s;
    return nullptr;
  }
  g_store.store(s, std::memory_order_release);
  return s;
}

bool Store::Open(const std::string& file) {
  file_ = file;
  MakeParents(file);
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // journal_mode may meet a busy database while another process creates it.
  bool wal = false;
  for (int attempt = 0; attempt < 50 && !wal; ++attempt) {
    wal = Exec("PRAGMA journal_mode=WAL") == ERROR_SUCCESS;
    if (!wal) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // NORMAL is durable against a crashed process in WAL mode (only a power
  // loss can drop the last commits).
  if (!wal || Exec("PRAGMA synchronous=NORMAL") != ERROR_SUCCESS) return false;

  // Creating the schema takes the write lock, so look first.
  bool ready = false;
  {
    Stmt v(*this, "PRAGMA user_version");
    ready = v.Step() == SQLITE_ROW && v.Int(0) == kSchemaVersion;
  }
  // Several processes may create a new file at once; the loser sees the
  // winner's schema change mid-statement and tries again. (No lock: the
  // store is not published yet.)
  for (int attempt = 0; attempt < 5 && !ready; ++attempt) {
    ready = CreateSchema();
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (ready) PruneOnOpen();
  return ready;
}

void Store::PruneOnOpen() {
  // Only the oldest row is read unless there is something to prune, so a
  // reader does not take the write lock for nothing.
  bool stale = false;
  {
    Stmt oldest(*this, "SELECT at FROM changes ORDER BY seq LIMIT 1");
    stale = oldest.Step() == SQLITE_ROW && oldest.Int(0) < NowMs() - kChangeKeepMs;
  }
  if (!stale) return;
  Txn txn(*this);
  if (txn.status() != ERROR_SUCCESS) return;
  PruneChangesLocked();
  txn.Commit();
}

void Store::PruneChangesLocked() {
  // Rows are appended in time order, so the old ones are a prefix by seq.
  Stmt prune(*this, "DELETE FROM changes WHERE seq <= (SELECT MAX(seq) FROM changes WHERE at < ?1)");
  prune.Bind(1, NowMs() - kChangeKeepMs);
  prune.Step();
  lastPruneMs_ = NowMs();
}

bool Store::CreateSchema() {
  Txn txn(*this);
  if (txn.status() != ERROR_SUCCESS) return false;
  {
    Stmt v(*this, "PRAGMA user_version");
    int rc = v.Step();
    if (rc != SQLITE_ROW) return false;
    if (v.Int(0) == kSchemaVersion) return txn.Commit() == ERROR_SUCCESS;
  }
  // A file of an older layout: its keys' paths go (the index first, as
  // SQLite drops no indexed column). The rows keep their ids and parents.
  bool keysHavePaths = false;
  {
    Stmt column(*this, "SELECT 1 FROM pragma_table_info('keys') WHERE name = 'path'");
    int rc = column.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
    keysHavePaths = rc == SQLITE_ROW;
  }
  if (keysHavePaths) {
    if (Exec("DROP INDEX IF EXISTS keys_path") != ERROR_SUCCESS) return false;
    if (Exec("ALTER TABLE keys DROP COLUMN path") != ERROR_SUCCESS) return false;
  }
  for (const char* sql : kSchema)
    if (Exec(sql) != ERROR_SUCCESS) return false;
  std::int64_t now = NowFileTime();
  struct Root {
    std::int64_t id, parent;
    const char* name;
  };
  // The roots have fixed ids; HKCR's key is an ordinary key.
  const Root roots[] = {{kHklmId, 0, kHklmPath}, {kHkcuId, 0, kHkcuPath}};
  for (const Root& r : roots) {
    Stmt ins(*this, "INSERT OR IGNORE INTO keys(id, parent, name, fold, last_write) VALUES(?1,?2,?3,?3,?4)");
    ins.Bind(1, r.id).Bind(2, r.parent).Bind(3, std::string(r.name)).Bind(4, now);
    if (ins.Step() != SQLITE_DONE) return false;
  }
  // HKEY_CLASSES_ROOT's key always exists.
  const char* const classes[] = {
      "INSERT OR IGNORE INTO keys(parent, name, fold, last_write) VALUES(1, 'SOFTWARE', 'SOFTWARE', ?1)",
      "INSERT OR IGNORE INTO keys(parent, name, fold, last_write)"
      " SELECT id, 'Classes', 'CLASSES', ?1 FROM keys WHERE parent = 1 AND fold = 'SOFTWARE'",
  };
  for (const char* sql : classes) {
    Stmt ins(*this, sql);
    ins.Bind(1, now);
    if (ins.Step() != SQLITE_DONE) return false;
  }
  const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
  if (Exec(setVersion.c_str()) != ERROR_SUCCESS) return false;
  return txn.Commit() == ERROR_SUCCESS;
}

LSTATUS Store::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

sqlite3_stmt* Store::Prepare(const char* sql) {
  // Keyed by the literal's address: every call site passes a literal.
  auto it = cache_.find(sql);
  if (it != cache_.end()) return it->second;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) return nullptr;
  cache_.emplace(sql, s);
  return s;
}

LSTATUS Store::Begin() {
  if (depth_ > 0) {
    if (Exec("SAVEPOINT nested") != ERROR_SUCCESS) return ERROR_REGISTRY_IO_FAILED;
    ++depth_;
    return ERROR_SUCCESS;
  }
  // busy_timeout already waits; the loop covers the cases where SQLite
  // answers BUSY at once (a deadlock it detects, WAL recovery).
  for (int attempt = 0, delayMs = 5; attempt < 20; ++attempt, delayMs = std::min(delayMs * 2, 200)) {
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
      depth_ = 1;
      changed_ = false;
      return ERROR_SUCCESS;
    }
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  }
  return ERROR_REGISTRY_IO_FAILED;
}

LSTATUS Store::Commit() {
  if (depth_ > 1) {
    --depth_;
    return Exec("RELEASE nested");
  }
  if (changed_ && NowMs() - lastPruneMs_ >= kPruneEveryMs) PruneChangesLocked();
  LSTATUS st = Exec("COMMIT");
  if (st != ERROR_SUCCESS) {
    Exec("ROLLBACK");
    st = ERROR_REGISTRY_IO_FAILED;
  }
  depth_ = 0;
  // Our own changes reach our watches before the write returns, so a caller
  // that writes and then reads through a cache that follows the key sees
  // its write. Other processes' changes come through the watcher thread.
  if (st == ERROR_SUCCESS && changed_ && !watches.empty()) ScanChanges();
  return st;
}

void Store::Rollback() {
  if (depth_ > 1) {
    --depth_;
    Exec("ROLLBACK TO nested");
    Exec("RELEASE nested");
    return;
  }
  Exec("ROLLBACK");
  depth_ = 0;
}

LSTATUS Store::LogChange(const std::string& path, DWORD kind) {
  Stmt ins(*this, "INSERT INTO changes(path, kind, at) VALUES(?1, ?2, ?3)");
  ins.Bind(1, path).Bind(2, static_cast<std::int64_t>(kind)).Bind(3, NowMs());
  if (ins.Step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  changed_ = true;
  return ERROR_SUCCESS;
}

std::int64_t Store::MaxSeq() {
  Stmt q(*this, "SELECT COALESCE(MAX(seq), 0) FROM changes");
  return q.Step() == SQLITE_ROW ? q.Int(0) : 0;
}

bool Store::ChangedSince(std::int64_t seq, const std::string& path, DWORD kinds) {
  {
    Stmt first(*this, "SELECT MIN(seq) FROM changes");
    if (first.Step() != SQLITE_ROW || first.IsNull(0) || first.Int(0) > seq + 1) return true;
  }
  Stmt q(*this, "SELECT 1 FROM changes WHERE seq > ?1 AND path = ?2 AND (kind & ?3) != 0 LIMIT 1");
  q.Bind(1, seq).Bind(2, path).Bind(3, static_cast<std::int64_t>(kinds));
  return q.Step() != SQLITE_DONE;
}

std::int64_t Store::NowFileTime() {
  // 100 ns units since 1601-01-01, as FILETIME counts.
  constexpr std::int64_t kEpochDiff = 116444736000000000LL;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
  return kEpochDiff + ns.count() / 100;
}

}  // namespace platform::registry_detail

std::string platform::RegistryFileName() {
  const char* env = std::getenv("VANTREL_REGISTRY");
  return (env != nullptr && *env != '\0') ? env : platform::registry_detail::kDefaultFile;
}
