// LedgerFile.h - the fragment list's shared file: its layout, its robust lock and its undo journal.
//
// Layout (little-endian, 4096-byte pages):
//   page 0: FileHeader, and at kLockOffset the process-shared robust mutex;
//   pages 1-16: the undo journal of the transaction in progress;
//   pages 17 and on: object pages (records) and path pages (texts by id).
// Every page after the journal starts with a PageHeader. A record is a
// RecordHeader, one skip-list tower per index it belongs to (a height byte,
// seven spare bytes, then height 64-bit offsets of the next records), and
// its stored form: u16 key units, u16 block bytes, key string (UTF-16LE),
// ids (3 x u32) and block; records
// are 8-byte aligned and follow each other from byte 16 of their page, so a
// page can be walked. A removed record keeps its place with type 255 until
// its page empties; an empty object page goes to the free list and is
// reused only as an object page.
//
// Invariants: the whole file is read and written only with the lock held
// (LockHeld), and every write of committed bytes goes through Txn::Write,
// which first saves the old bytes in the journal. A non-empty journal at the
// moment the lock is taken means its writer died: the journal is rolled back
// before anything else is read.
#pragma once

#include "platform/base/types.h"

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

namespace ledgerhold {

inline constexpr DWORD kMagic = 0x5247444Cu;  // "LDGR"
inline constexpr DWORD kFormat = 1;
inline constexpr DWORD kPageSize = 4096;
inline constexpr unsigned kMaxIndexes = 8;
inline constexpr unsigned kMaxLevel = 16;
inline constexpr DWORD kJournalFirstPage = 1;
inline constexpr DWORD kJournalPages = 16;
inline constexpr DWORD kFirstDataPage = kJournalFirstPage + kJournalPages;
inline constexpr DWORD kLockOffset = 2048;
inline constexpr DWORD kPageHeaderBytes = 16;
// The address space each process reserves for the file; the file's limit.
inline constexpr ULONGLONG kMaxFileBytes = 16ull << 30;

enum PageKind : DWORD { kObjectPage = 1, kPathPage = 2 };

struct IndexHead {
  ULONGLONG count;
  DWORD level;
  DWORD reserved;
  ULONGLONG next[kMaxLevel];
};

struct FileHeader {
  DWORD magic;
  DWORD format;
  DWORD pageSize;
  DWORD indexCount;
  DWORD version;
  DWORD pageCount;
  DWORD freeObjectPages;    // head of the free list (PageHeader::next links)
  DWORD currentObjectPage;  // where new records go; 0 for none
  DWORD pathPages;          // first path page; 0 for none
  DWORD pathTail;
  DWORD journalEntries;     // the commit point: 0 = nothing to roll back
  DWORD journalBytes;
  ULONGLONG generation;     // changes with every committed change
  ULONGLONG records;
  IndexHead index[kMaxIndexes];
};
static_assert(sizeof(FileHeader) <= kLockOffset);

struct PageHeader {
  DWORD kind;
  DWORD used;  // bytes in use from the page's start
  DWORD live;  // object pages: records not removed; path pages: texts
  DWORD next;  // free list or path page chain
};

struct RecordHeader {
  BYTE type;
  BYTE mask;  // bit n: linked into index n
  WORD totalBytes;
  DWORD hash;
  BYTE towers;  // one per bit of mask
  BYTE reserved[7];
};
static_assert(sizeof(RecordHeader) == 16);

class Txn;

class LedgerFile {
 public:
  // Opens path (creating and formatting it when missing or empty). A Win32 code.
  static DWORD Open(const std::string& path, DWORD indexCount, DWORD version, std::unique_ptr<LedgerFile>& out);
  ~LedgerFile();
  LedgerFile(const LedgerFile&) = delete;
  LedgerFile& operator=(const LedgerFile&) = delete;

  // The lock. Lock rolls back a dead writer's journal.
  void Lock();
  void Unlock();
  bool LockHeld() const { return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

  BYTE* At(ULONGLONG offset) const { return m_base + offset; }
  FileHeader& Header() const { return *reinterpret_cast<FileHeader*>(m_base); }
  PageHeader& Page(DWORD page) const { return *reinterpret_cast<PageHeader*>(m_base + ULONGLONG(page) * kPageSize); }
  // Whether page is a data page of the file as it stands.
  bool ValidDataPage(DWORD page) const { return page >= kFirstDataPage && page < Header().pageCount; }

  // Makes the file hold at least pages pages (never shrinks). A Win32 code.
  DWORD Reserve(DWORD pages);
  Txn* ActiveTxn() const { return m_txn; }
  // Texts of path ids already read. A committed path entry never changes, and
  // every rollback forgets them all, so an entry is never served stale.
  std::unordered_map<DWORD, std::wstring>& PathCache() const { return m_pathCache; }
  const std::string& Path() const { return m_path; }

 private:
  friend class Txn;
  LedgerFile() = default;
  DWORD Format(DWORD indexCount, DWORD version);
  void RollBack();

  std::string m_path;
  int m_fd = -1;
  BYTE* m_base = nullptr;
  pthread_mutex_t* m_mutex = nullptr;
  std::atomic<std::thread::id> m_owner{};
  ULONGLONG m_fileBytes = 0;  // what this process last saw; guarded by the lock
  Txn* m_txn = nullptr;       // the holder's transaction; guarded by the lock
  mutable std::unordered_map<DWORD, std::wstring> m_pathCache;  // guarded by the lock
};

// One change of the file, made with the lock held: undone on destruction
// unless committed.
class Txn {
 public:
  explicit Txn(LedgerFile& file);
  ~Txn();
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  // Writes committed bytes, saving the old ones first; false when the
  // journal is full (the transaction must then fail).
  bool Write(ULONGLONG offset, const void* data, std::size_t bytes);
  template <class T>
  bool Set(T& field, const T& value) {
    return Write(static_cast<ULONGLONG>(reinterpret_cast<BYTE*>(&field) - m_file.m_base), &value, sizeof(T));
  }
  // Writes bytes nobody can reach until the transaction links them.
  void WriteFresh(ULONGLONG offset, const void* data, std::size_t bytes);
  void Commit();

 private:
  LedgerFile& m_file;
  bool m_done = false;
};

}  // namespace ledgerhold
