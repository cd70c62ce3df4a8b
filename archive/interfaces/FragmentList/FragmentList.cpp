// FragmentList.cpp - the opening sequence of the archive's fragment list.
#include "archive/interfaces/FragmentList/FragmentList.h"

#include "platform/base/errors.h"

CFragmentList::CFragmentList(std::wstring name)
    : m_list(std::make_unique<CFileListInternal>(std::move(name), CFragmentItem::kListVersion,
                                                 CFragmentItem::kIndexCount, &CFragmentItem::Allocator)) {
  // The partition belongs to the list; the store binds them, and every
  // partition it is given gets an allocator of its own.
  auto partition = std::make_shared<CPartition0>(*m_list);
  m_list->KeepPartition0(partition);
  partition->SetAllocator(std::make_unique<CRandomAllocator>(*m_list, *m_list->GetPartition0()));
  m_store = SinglePartition::Make(*m_list, partition, CFragmentItem::kIndexCount,
                                  [](CFileListInternal& list, CPartition& part) {
                                    return std::make_unique<CRandomAllocator>(list, part);
                                  });
  m_ready = partition->Allocator() != nullptr && partition->Allocator()->Ready();
}

CFragmentList::~CFragmentList() = default;

DWORD CFragmentList::Attach() { return m_list->Attach(reinterpret_cast<void*>(static_cast<std::intptr_t>(-1))); }
