// Engine.h - the fragment list's inner operations over its file: records, skip-list indexes, pages and path texts.
//
// Every function here is called with the list's lock held; the writers also
// with a transaction open (LedgerFile::ActiveTxn). Offsets and lengths read
// from the file are checked before use: a failed check throws DWORD
// ERROR_FILE_CORRUPT, except where a reader may meet a place that changed
// under it (RecordAt with a stale offset), which answers false instead.
#pragma once

#include "archive/ledgerhold/LedgerFile.h"
#include "archive/ledgerhold/Ledgerhold.h"

#include <memory>
#include <string>

namespace ledgerhold {

struct RecordView {
  ULONGLONG offset = 0;
  const RecordHeader* header = nullptr;
  const BYTE* stored = nullptr;  // key string, ids, block
  DWORD storedBytes = 0;
};

struct Engine {
  // The record that starts exactly at offset, on an object page, with type
  // other than 255 unless deletedToo. False when none starts there. A place
  // held from an earlier hold of the lock must be walked to (walk); one read
  // from the indexes under this hold starts a record unless the file is
  // damaged, and the bounds checks alone keep such a damage from reading
  // outside its page.
  static bool RecordAt(const LedgerFile& file, ULONGLONG offset, RecordView& view, bool deletedToo = false,
                       bool walk = true);
  // A place read from the indexes: no walk, ERROR_FILE_CORRUPT when no record is there.
  static RecordView RecordAtOrThrow(const LedgerFile& file, ULONGLONG offset);
  // The record object for a stored form (the allocator's throws pass through).
  static std::unique_ptr<CFileListFile> Materialize(CFileListInternal& list, const RecordView& view);
  static std::unique_ptr<CFileListFile> Materialize(CFileListInternal& list, const BYTE* stored, DWORD storedBytes,
                                                    BYTE type, DWORD page);
  static void LoadInto(CFileListInternal& list, CFileListFile& record, const BYTE* stored, DWORD page);
  // The stored form of a record: key string, ids, block.
  static std::string StoredForm(const CFileListFile& record);

  // Skip lists. The total order of an index is the records' Compare, then the
  // offsets, so every element has one place.
  static ULONGLONG* NextSlots(const LedgerFile& file, ULONGLONG offset, unsigned index, BYTE& height);
  static ULONGLONG LowerBound(CFileListInternal& list, unsigned index, const CFileListFile& key);
  static ULONGLONG After(CFileListInternal& list, unsigned index, const CFileListFile& record, ULONGLONG offset);
  static DWORD Link(CFileListInternal& list, Txn& txn, unsigned index, ULONGLONG offset, const CFileListFile& record);
  static DWORD Unlink(CFileListInternal& list, Txn& txn, unsigned index, ULONGLONG offset, const CFileListFile& record);

  // Writers.
  static DWORD InsertLocked(CFileListInternal& list, Txn& txn, CFileListFile& record, ULONGLONG& offset);
  static DWORD RemoveLocked(CFileListInternal& list, Txn& txn, ULONGLONG offset);
  static DWORD AllocateSpace(LedgerFile& file, Txn& txn, DWORD bytes, ULONGLONG& offset);
  static DWORD NewPage(LedgerFile& file, Txn& txn, DWORD kind, DWORD& page);
  static DWORD AllocatePathLocked(LedgerFile& file, Txn& txn, const std::wstring& text);
  static std::wstring PathText(const LedgerFile& file, DWORD pathId);
  static std::wstring ReadPathText(const LedgerFile& file, DWORD pathId);

  // Places the iterator on offset (0: the end) with what it needs to go on.
  static void Place(CFileListInternal::iterator& it, ULONGLONG offset);
};

}  // namespace ledgerhold
