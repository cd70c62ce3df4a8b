// Check.cpp - the consistency check of a fragment list's file.
//
// It reads everything under one hold of the lock: the pages and their
// counts, the free list and the path chain, and each index in full (every
// element live, a member of that index, in strictly increasing order, and as
// many as the records that ask for it).
#include "archive/ledgerhold/Engine.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"

#include <vector>

using namespace ledgerhold;

namespace {

class Checker {
 public:
  Checker(CFileListInternal& list, std::wstring& report) : m_list(list), m_file(list.File()), m_report(report) {}

  bool Run() {
    try {
      CheckPages();
      CheckFreeList();
      for (unsigned n = 0; n < m_list.IndexCount(); ++n) CheckIndex(n);
    } catch (DWORD code) {
      Fail(platform::FormatW(L"unreadable: error %u", code));
    }
    return m_ok;
  }

 private:
  void Fail(const std::wstring& finding) {
    m_report += finding + L"\n";
    m_ok = false;
  }

  void CheckPages() {
    const FileHeader& h = m_file.Header();
    if (h.journalEntries != 0) Fail(L"journal left behind");
    ULONGLONG live = 0;
    for (DWORD p = kFirstDataPage; p < h.pageCount; ++p) {
      const PageHeader& ph = m_file.Page(p);
      if (ph.kind == kPathPage) continue;
      if (ph.kind != kObjectPage || ph.used > kPageSize || ph.used < kPageHeaderBytes) {
        Fail(platform::FormatW(L"page %u: kind %u, %u bytes used", p, ph.kind, ph.used));
        continue;
      }
      live += CheckObjectPage(p);
    }
    if (live != h.records) Fail(platform::FormatW(L"%I64u live records, header says %I64u", live, h.records));
  }

  DWORD CheckObjectPage(DWORD page) {
    const PageHeader& ph = m_file.Page(page);
    DWORD live = 0;
    for (DWORD at = kPageHeaderBytes; at < ph.used;) {
      RecordView view;
      const ULONGLONG offset = ULONGLONG(page) * kPageSize + at;
      if (!Engine::RecordAt(m_file, offset, view, true)) {
        Fail(platform::FormatW(L"page %u: no record at %u", page, at));
        return live;
      }
      if (view.header->type != 255) {
        ++live;
        for (unsigned n = 0; n < m_list.IndexCount(); ++n)
          if (view.header->mask & (1u << n)) ++m_members[n];
      }
      at += view.header->totalBytes;
    }
    if (live != ph.live) Fail(platform::FormatW(L"page %u: %u live records, page says %u", page, live, ph.live));
    return live;
  }

  void CheckFreeList() {
    const FileHeader& h = m_file.Header();
    DWORD count = 0;
    for (DWORD p = h.freeObjectPages; p != 0; p = m_file.Page(p).next) {
      if (!m_file.ValidDataPage(p) || ++count > h.pageCount) return Fail(L"free list leaves the file or loops");
      if (m_file.Page(p).kind != kObjectPage || m_file.Page(p).live != 0)
        Fail(platform::FormatW(L"free page %u is not an empty object page", p));
    }
  }

  void CheckIndex(unsigned index) {
    const IndexHead& head = m_file.Header().index[index];
    ULONGLONG count = 0;
    std::unique_ptr<CFileListFile> previous;
    ULONGLONG previousOffset = 0;
    BYTE height = 0;
    for (ULONGLONG at = Engine::NextSlots(m_file, 0, index, height)[0]; at != 0;) {
      RecordView view;
      if (!Engine::RecordAt(m_file, at, view) || (view.header->mask & (1u << index)) == 0)
        return Fail(platform::FormatW(L"index %u: element %I64u is not a live member", index, at));
      auto record = Engine::Materialize(m_list, view);
      if (previous) {
        const int c = previous->Compare(*record, index);
        if (c > 0 || (c == 0 && previousOffset >= at))
          Fail(platform::FormatW(L"index %u: element %I64u out of order", index, at));
      }
      if (++count > m_file.Header().records) return Fail(platform::FormatW(L"index %u loops", index));
      previous = std::move(record);
      previousOffset = at;
      at = Engine::NextSlots(m_file, at, index, height)[0];
    }
    if (count != head.count || count != m_members[index])
      Fail(platform::FormatW(L"index %u: %I64u elements, head says %I64u, records %I64u", index, count, head.count,
                             m_members[index]));
  }

  CFileListInternal& m_list;
  LedgerFile& m_file;
  std::wstring& m_report;
  bool m_ok = true;
  ULONGLONG m_members[kMaxIndexes] = {};
};

}  // namespace

bool CFileListInternal::Check(std::wstring& report) {
  if (!Attached()) {
    report += L"not attached\n";
    return false;
  }
  CFileListLock hold(*m_file);
  return Checker(*this, report).Run();
}
