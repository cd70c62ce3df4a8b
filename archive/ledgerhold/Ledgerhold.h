// Ledgerhold.h - the archive's fragment list: records of archived files in one shared file, kept in order by indexes.
//
// The list is one file of 4096-byte pages that every process maps (the
// archive, Taskweave, the pin tool). Records live on object pages; each
// record is linked into the indexes it asks for (CFileListFile::QueryInsert),
// and each index is kept in the order the records themselves give
// (CFileListFile::Compare), so every writer and reader must use the same
// record classes: the list never interprets a record's fields.
//
// One robust lock in the file serialises every access across processes and
// threads. Each change is a transaction whose undo journal lies in the file:
// a process that dies while holding the lock leaves the journal behind, and
// the next process to take the lock rolls it back before going on, so a
// writer killed mid-insert never wedges or corrupts a reader. Iterators and
// pages are handles that take the lock for each operation; between two
// operations the list may change, which iterators notice and follow, and the
// hash that CheckOffset hands out lets a reader tell a record that changed
// since it was reached.
//
// The file is the one named by the list's name, or, for an empty name, by the
// REG_SZ value "Fragment List" of HKLM "Software\Vantrel\Corvellane\Archive"
// (a host path; the file is created when missing). Errors are Win32 codes:
// returned by Attach and the writers, thrown as DWORD by the readers where
// the records' own code throws.
#pragma once

#include "platform/base/types.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CFileListInternal;
class CFileListPage;
class CPartition;

namespace ledgerhold {
class LedgerFile;
struct Engine;
}

// Where a record lies: its page and its byte position in the page, with the
// hash stored beside it when it was reached (0: none).
struct CFileListHashedOffset {
  DWORD page = 0;
  DWORD position = 0;
  DWORD hash = 0;
  ~CFileListHashedOffset() = default;
};

// Base of every record. A record keeps its own stored fields as one block of
// CompressedSize() bytes (CompressedBlock); the list stores the record's type
// byte, its key string, its three identity values and that block, and gives
// them back through LoadCompressed. The numbers are the slots of the record
// face.
class CFileListFile {
 public:
  explicit CFileListFile(std::wstring key = {}) : m_key(std::move(key)) {}
  virtual DWORD Size() const = 0;                                              // 0: bytes of the record object
  virtual ~CFileListFile() = default;                                          // 5
  virtual int Compare(const CFileListFile& other, unsigned index) const = 0;   // 7: order of index
  virtual BYTE ObjectType(bool stored) const = 0;                              // 8: the type byte
  virtual DWORD Allocate(CFileListInternal& list);                             // 9: before insertion
  virtual DWORD CompressedSize() const = 0;                                    // 11
  virtual void SetCompressedSize(DWORD bytes);                                 // 12
  virtual BYTE* CompressedBlock() = 0;                                         // 13: the stored fields
  virtual void LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage& page);  // 14
  virtual bool QueryInsert(unsigned index) const;                              // 15: member of index?

  const BYTE* CompressedBlock() const { return const_cast<CFileListFile*>(this)->CompressedBlock(); }
  // Writes the record's fields into pageData (a copy of its page, from
  // CFileListPage::GetData) at position; true when that changed the copy.
  // False, and nothing written, when another kind or size of record lies there.
  bool SaveTo(BYTE* pageData, DWORD position) const;
  // The hash of what is stored: type byte, key string and block; never 0.
  DWORD Hash() const;
  // The key string (the archive's name of the file the record is about) and
  // the three identity values stored beside it (the file's id0, id1, id2).
  const std::wstring& KeyString() const { return m_key; }
  void SetKeyString(std::wstring key) { m_key = std::move(key); }
  DWORD StoredId(int i) const { return m_ids[i]; }
  void SetStoredIds(DWORD id0, DWORD id1, DWORD id2) { m_ids[0] = id0, m_ids[1] = id1, m_ids[2] = id2; }

 protected:
  CFileListFile(const CFileListFile&) = default;
  CFileListFile& operator=(const CFileListFile&) = default;

  std::wstring m_key;
  DWORD m_ids[3] = {0, 0, 0};
};

using CFileListAllocator = CFileListFile* (*)(unsigned char type);

// A process-local recursive lock of a partition's own state.
class CPartition {
 public:
  class CRecursiveMutex {
   public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }

   private:
    std::recursive_mutex m_mutex;
  };
  virtual ~CPartition() = default;
  CRecursiveMutex& Mutex() { return m_mutex; }

 private:
  CRecursiveMutex m_mutex;
};

// Hands out space for records on the object pages of a partition.
class CRandomAllocator {
 public:
  CRandomAllocator(CFileListInternal& list, CPartition& partition) : m_list(list), m_partition(partition) {}
  // Whether it can allocate: the list it serves has a file.
  bool Ready() const;
  CFileListInternal& List() const { return m_list; }
  CPartition& Partition() const { return m_partition; }

 private:
  CFileListInternal& m_list;
  CPartition& m_partition;
};

// The list's only partition, which holds every page. Its allocator is
// installed after construction; its recursive mutex guards that pointer.
class CPartition0 : public CPartition {
 public:
  explicit CPartition0(CFileListInternal& list) : m_list(list) {}
  void SetAllocator(std::unique_ptr<CRandomAllocator> allocator);
  CRandomAllocator* Allocator();
  CFileListInternal& List() const { return m_list; }

 private:
  CFileListInternal& m_list;
  std::unique_ptr<CRandomAllocator> m_allocator;
};

// What binds a list to its partition: made once, kept by the opener and by
// the list; Attach needs it.
class CFileListDataStore {
 public:
  using AllocatorFactory = std::function<std::unique_ptr<CRandomAllocator>(CFileListInternal&, CPartition&)>;
  CFileListDataStore(CFileListInternal& list, std::shared_ptr<CPartition> partition, DWORD indexCount,
                     AllocatorFactory factory)
      : m_list(list), m_partition(std::move(partition)), m_indexCount(indexCount), m_factory(std::move(factory)) {}
  CFileListInternal& List() const { return m_list; }
  const std::shared_ptr<CPartition>& Partition() const { return m_partition; }
  DWORD IndexCount() const { return m_indexCount; }
  std::unique_ptr<CRandomAllocator> MakeAllocator(CPartition& partition) const { return m_factory(m_list, partition); }

 private:
  CFileListInternal& m_list;
  std::shared_ptr<CPartition> m_partition;
  DWORD m_indexCount;
  AllocatorFactory m_factory;
};

namespace SinglePartition {
// Binds the list to one partition holding all its pages; returns the store
// (the list keeps a reference too).
std::shared_ptr<CFileListDataStore> Make(CFileListInternal& list, std::shared_ptr<CPartition> partition,
                                         DWORD indexCount, CFileListDataStore::AllocatorFactory factory);
}  // namespace SinglePartition

// A held lock of the list: taken for the holder's scope, recursively for one
// thread. A record's write-back runs under it (CFileListPage::DataLock).
class CFileListLock {
 public:
  explicit CFileListLock(ledgerhold::LedgerFile& file);
  ~CFileListLock();
  CFileListLock(const CFileListLock&) = delete;
  CFileListLock& operator=(const CFileListLock&) = delete;

 private:
  ledgerhold::LedgerFile& m_file;
  bool m_taken;
};

// One page of the list, as a handle; each operation takes the list's lock.
class CFileListPage {
 public:
  CFileListPage() = default;
  CFileListPage(const CFileListPage&) = default;
  CFileListPage& operator=(const CFileListPage&) = default;
  ~CFileListPage() = default;

  DWORD Number() const { return m_page; }
  bool IsObjectPage() const;
  // A new, empty record of the type stored at position (the allocator's
  // exceptions pass through: 303 for a deleted record, 13 for an unknown
  // type). fresh: the caller saw the record change and wants it anew.
  CFileListFile* CreateObject(DWORD position, bool fresh) const;
  // Loads the stored key string and fields at position into record; false
  // when no record lies there.
  bool Load(CFileListFile& record, DWORD position) const;
  // The text of a path id (CFileListInternal::AllocatePath); empty for an
  // unknown id. Called by records while they load.
  std::wstring GetPath(DWORD pathId) const;

  // Write-back: under DataLock, GetData gives a copy of the page in which a
  // record's Save writes its fields; Written stores the changed records
  // (re-indexing them) in one transaction, and answers its Win32 code.
  std::unique_ptr<CFileListLock> DataLock() const;
  BYTE* GetData();
  DWORD Written();

 private:
  friend class CFileListInternal;
  friend struct ledgerhold::Engine;
  CFileListPage(CFileListInternal* list, DWORD page) : m_list(list), m_page(page) {}

  CFileListInternal* m_list = nullptr;
  DWORD m_page = 0;
  std::shared_ptr<std::vector<BYTE>> m_copy;  // GetData's copy
};

class CFileListInternal {
 public:
  static constexpr DWORD kPageSize = 4096;
  static constexpr DWORD kNoPath = 0xFFFFFFFFu;

  // A position in one index. Comparing with end() tells whether it points at
  // an element. Between operations the list may change: an increment then
  // goes on from the element it stood on, in the index's order.
  class iterator {
   public:
    iterator() = default;
    iterator(const iterator&) = default;
    iterator& operator=(const iterator&) = default;
    ~iterator() = default;

    iterator& operator++();
    bool operator!=(const iterator& other) const { return !(*this == other); }
    bool operator==(const iterator& other) const {
      return m_list == other.m_list && m_index == other.m_index && m_offset == other.m_offset;
    }
    // Page, position and hash of the element (all 0 at the end).
    CFileListHashedOffset CheckOffset() const;

   private:
    friend class CFileListInternal;
    friend struct ledgerhold::Engine;
    CFileListInternal* m_list = nullptr;
    unsigned m_index = 0;
    ULONGLONG m_offset = 0;        // the element's offset in the file; 0 at the end
    ULONGLONG m_generation = 0;    // the list's change count when it was reached
    DWORD m_hash = 0;
    std::shared_ptr<std::vector<BYTE>> m_stored;  // its stored form, to find the place again
  };

  CFileListInternal(std::wstring name, DWORD version, DWORD indexCount, CFileListAllocator allocator);
  ~CFileListInternal();
  CFileListInternal(const CFileListInternal&) = delete;
  CFileListInternal& operator=(const CFileListInternal&) = delete;

  // Opens (creating when missing) the list's file; handle -1 means "by name".
  // Needs the data store (SinglePartition::Make). A Win32 code.
  DWORD Attach(void* handle);
  bool Attached() const { return m_file != nullptr; }

  iterator find(const CFileListFile& key, unsigned index);  // first element not less than key
  iterator begin(unsigned index);
  iterator end(unsigned index);
  CFileListPage GetPage(DWORD page);
  std::shared_ptr<CPartition> GetPartition0() const { return m_partition0; }
  // A record that stands for a pointer page's entry; this list keeps every
  // record on object pages, so there is none.
  CFileListFile* CreatePointer(DWORD page, DWORD position);

  // Writers. Insert links the record into every index it asks for and gives
  // where it lies; RemoveFirst removes the first element of index equal to
  // key for which match is true (ERROR_FILE_NOT_FOUND when there is none),
  // the test and the removal under one hold of the lock. Remove takes the
  // element at a known place. Win32 codes; thrown record codes pass through.
  DWORD Insert(CFileListFile& record, CFileListHashedOffset* where = nullptr);
  DWORD RemoveFirst(const CFileListFile& key, unsigned index, const std::function<bool(const CFileListFile&)>& match);
  DWORD Remove(const CFileListHashedOffset& where);
  // The id of a text in the list's path table, added when missing; kNoPath
  // when it cannot be stored. Called by records' Allocate during Insert.
  DWORD AllocatePath(const std::wstring& text);

  // Elements in an index.
  ULONGLONG Count(unsigned index);
  // Reads the whole file and says whether it is consistent: every index in
  // order and complete, pages and counts agreeing, no journal left. The
  // findings go to report, one per line.
  bool Check(std::wstring& report);

  // Keeps the partition (the opening sequence's CPartition0) and the store.
  void KeepPartition0(std::shared_ptr<CPartition> partition) { m_partition0 = std::move(partition); }
  void KeepDataStore(std::shared_ptr<CFileListDataStore> store) { m_store = std::move(store); }
  const std::wstring& Name() const { return m_name; }
  DWORD IndexCount() const { return m_indexCount; }
  CFileListAllocator RecordAllocator() const { return m_allocator; }
  ledgerhold::LedgerFile& File() const { return *m_file; }

 private:
  friend class CFileListPage;
  friend struct ledgerhold::Engine;

  const std::wstring m_name;
  const DWORD m_version;
  const DWORD m_indexCount;
  const CFileListAllocator m_allocator;
  std::shared_ptr<CPartition> m_partition0;
  std::shared_ptr<CFileListDataStore> m_store;
  std::unique_ptr<ledgerhold::LedgerFile> m_file;
};

namespace ledgerhold {
// Where the list's file is named.
inline constexpr const wchar_t* kArchiveKey = L"Software\\Vantrel\\Corvellane\\Archive";
inline constexpr const wchar_t* kListValue = L"Fragment List";
// The file the registry names for an empty list name; a Win32 code.
DWORD ListPathFromRegistry(std::wstring& path);
// Failures on request, for tests: while the DWORD "Attach Failures" under
// kFailKey is above 0, each Attach of the list the registry names lowers it
// by one and fails with ERROR_ACCESS_DENIED (the code this returns).
inline constexpr const wchar_t* kFailKey = L"Software\\Vantrel\\Corvellane\\Archive\\Fail";
inline constexpr const wchar_t* kAttachFailuresValue = L"Attach Failures";
DWORD TakeAttachFailure();
}  // namespace ledgerhold
