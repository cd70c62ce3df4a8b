// FileListPointer.inl - the loader of one record through a fragment-list pointer (included by FragmentList.h).
//
// The record is loaded once per pointer, under the pointer's critical section,
// so copies of a pointer used from several threads share one record.

#include "platform/base/errors.h"

template <class T>
CFileListBasicPointer<T>::CRep::~CRep() {
  if (changed) WriteBack();
  DeleteCriticalSection(&lock);
}

template <class T>
DWORD CFileListBasicPointer<T>::CRep::WriteBack() {
  platform::CriticalSectionLock hold(lock);
  if (!changed || !record) return ERROR_SUCCESS;
  changed = false;
  const auto dataLock = page.DataLock();
  BYTE* data = page.GetData();
  if (data == nullptr) return ERROR_FILE_CORRUPT;
  return record->SaveTo(data, offset.position) ? page.Written() : ERROR_SUCCESS;
}

template <class T>
CFileListPointer<T>::CFileListPointer(CFileListInternal& list, const CFileListInternal::iterator& it)
    : m_rep(new (std::nothrow) CRep()) {
  if (!m_rep) throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  m_rep->list = &list;
  m_rep->offset = it.CheckOffset();
  m_rep->storedHash = m_rep->offset.hash;
  m_rep->page = list.GetPage(m_rep->offset.page);
  m_rep->created = GetTickCount();
}

template <class T>
T* CFileListPointer<T>::Load(bool objectPage) {
  CRep& rep = *m_rep;
  {
    platform::CriticalSectionLock hold(rep.lock);
    if (rep.record) return rep.record.get();
  }
  if (rep.page.IsObjectPage() != objectPage) throw static_cast<DWORD>(ERROR_FILE_CORRUPT);
  auto make = [&](bool fresh) {
    CFileListFile* made = objectPage ? rep.page.CreateObject(rep.offset.position, fresh)
                                     : rep.list->CreatePointer(rep.offset.page, rep.offset.position);
    if (made == nullptr) throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    T* typed = dynamic_cast<T*>(made);
    if (typed == nullptr) {
      delete made;
      throw static_cast<DWORD>(ERROR_INVALID_DATA);
    }
    return std::unique_ptr<T>(typed);
  };
  std::unique_ptr<T> record = make(false);

  platform::CriticalSectionLock hold(rep.lock);
  if (rep.record) return rep.record.get();  // another thread loaded it meanwhile
  bool loaded = rep.page.Load(*record, rep.offset.position);
  if (rep.storedHash != 0 && (!loaded || record->Hash() != rep.storedHash)) {
    record = make(true);
    loaded = rep.page.Load(*record, rep.offset.position);
    if (!loaded || record->Hash() != rep.storedHash) throw static_cast<DWORD>(ERROR_DELETE_PENDING);
  }
  if (!loaded) throw static_cast<DWORD>(ERROR_DELETE_PENDING);
  rep.recordSize = record->Size();
  rep.record = std::move(record);
  return rep.record.get();
}

template <class T>
void CFileListPointer<T>::Changed() {
  platform::CriticalSectionLock hold(m_rep->lock);
  m_rep->changed = true;
}

template <class T>
DWORD CFileListPointer<T>::WriteBack() {
  return m_rep->WriteBack();
}
