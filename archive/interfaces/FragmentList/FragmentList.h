// FragmentList.h - opening the archive's fragment list and loading one record through a pointer.
//
// CFragmentList runs the opening sequence the list needs (list, partition,
// allocator, data store) and attaches it; the worker and the pin tool use it
// alike. CFileListPointer loads the record an iterator stands on:
//   1. the iterator's CheckOffset gives the hashed offset, GetPage its page;
//   2. Load(true) expects an object page (records live only on object pages,
//      and a freed object page is reused only as one, so ERROR_FILE_CORRUPT
//      means a damaged file); no record object: ERROR_NOT_ENOUGH_MEMORY;
//   3. under the pointer's critical section the record is loaded; when its
//      hash differs from the one the iterator saw it is made and loaded once
//      more, and a second difference throws ERROR_DELETE_PENDING (the record
//      changed or went while being read);
//   4. a pointer whose record was marked changed writes it back when its
//      last copy goes (WriteBack gives the result to a caller who wants it).
// Codes are thrown as DWORD.
#pragma once

#include "archive/interfaces/FragmentList/FragmentItem.h"
#include "platform/sync/sync.h"

#include <memory>

class CFragmentList {
 public:
  // Builds the list over the file that name names ("": the registry's).
  explicit CFragmentList(std::wstring name = {});
  ~CFragmentList();
  CFragmentList(const CFragmentList&) = delete;
  CFragmentList& operator=(const CFragmentList&) = delete;

  bool AllocatorReady() const { return m_ready; }
  // CFileListInternal::Attach with -1; a Win32 code.
  DWORD Attach();
  CFileListInternal& List() { return *m_list; }

 private:
  std::unique_ptr<CFileListInternal> m_list;
  std::shared_ptr<CFileListDataStore> m_store;
  bool m_ready = false;
};

template <class T>
class CFileListBasicPointer {
 public:
  struct CRep {
    CFileListInternal* list = nullptr;
    CFileListPage page;
    CFileListHashedOffset offset;
    DWORD storedHash = 0;
    std::unique_ptr<T> record;
    DWORD recordSize = 0;
    bool changed = false;
    CRITICAL_SECTION lock;  // serialises loading and write-back of the record
    DWORD created = 0;      // tick count

    CRep() { InitializeCriticalSection(&lock); }
    ~CRep();
    CRep(const CRep&) = delete;
    CRep& operator=(const CRep&) = delete;
    DWORD WriteBack();
  };
};

template <class T>
class CFileListPointer {
 public:
  using CRep = typename CFileListBasicPointer<T>::CRep;

  CFileListPointer(CFileListInternal& list, const CFileListInternal::iterator& it);
  // The record (loaded once); throws DWORD as described above.
  T* Load(bool objectPage = true);
  // The record will be written back when the last copy of the pointer goes.
  void Changed();
  DWORD WriteBack();
  const CFileListHashedOffset& Offset() const { return m_rep->offset; }

 private:
  std::shared_ptr<CRep> m_rep;
};

#include "archive/interfaces/FragmentList/FileListPointer.inl"
