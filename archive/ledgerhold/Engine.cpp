// Engine.cpp - records, skip-list indexes, page space and path texts of the fragment list.
//
// An index is a skip list whose towers live inside the records; its head is
// in the file header. Searches compare by materialising the records they
// pass (the list cannot read their fields), keeping the last one, since a
// search meets the same record again on each lower level.
#include "archive/ledgerhold/Engine.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <bit>
#include <cstring>
#include <random>
#include <vector>

namespace ledgerhold {

namespace {

constexpr DWORD kStoredHeader = 4;  // u16 key units, u16 block bytes
constexpr DWORD kIdBytes = 12;
constexpr DWORD kMaxRecordBytes = kPageSize - kPageHeaderBytes;

[[noreturn]] void Corrupt() { throw static_cast<DWORD>(ERROR_FILE_CORRUPT); }

DWORD Padded8(DWORD bytes) { return (bytes + 7) & ~DWORD(7); }
WORD U16(const BYTE* at) { return static_cast<WORD>(at[0] | (at[1] << 8)); }
DWORD U32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24); }
void PutU16(std::string& out, WORD v) { out.push_back(char(v & 0xFF)), out.push_back(char(v >> 8)); }
void PutU32(std::string& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

// A tower height with chance 1/4 of each further level.
BYTE RandomHeight() {
  thread_local std::mt19937 random{std::random_device{}()};
  BYTE height = 1;
  while (height < kMaxLevel && (random() & 3) == 0) ++height;
  return height;
}

// Compares the records of a search with key, remembering the last one.
class Comparer {
 public:
  Comparer(CFileListInternal& list, unsigned index) : m_list(list), m_index(index) {}
  int Compare(ULONGLONG offset, const CFileListFile& key) {
    if (offset != m_offset) {
      m_record = Engine::Materialize(m_list, Engine::RecordAtOrThrow(m_list.File(), offset));
      m_offset = offset;
    }
    return m_record->Compare(key, m_index);
  }
  // (offset's record, offset) before (key, keyOffset) in the total order.
  bool Before(ULONGLONG offset, const CFileListFile& key, ULONGLONG keyOffset, bool orEqual) {
    const int c = Compare(offset, key);
    return c < 0 || (c == 0 && (orEqual ? offset <= keyOffset : offset < keyOffset));
  }

 private:
  CFileListInternal& m_list;
  unsigned m_index;
  ULONGLONG m_offset = 0;
  std::unique_ptr<CFileListFile> m_record;
};

// Fills update[level] with the last element before the place that before()
// says, and gives the element after it on level 0.
template <class Before>
ULONGLONG Descend(CFileListInternal& list, unsigned index, ULONGLONG* update, Before before) {
  LedgerFile& file = list.File();
  const DWORD level = std::min<DWORD>(file.Header().index[index].level, kMaxLevel);
  ULONGLONG x = 0;
  for (int lvl = static_cast<int>(kMaxLevel) - 1; lvl >= 0; --lvl) {
    if (static_cast<DWORD>(lvl) < level) {
      for (;;) {
        BYTE height = 0;
        const ULONGLONG next = Engine::NextSlots(file, x, index, height)[lvl];
        if (next == 0 || !before(next)) break;
        x = next;
      }
    }
    if (update != nullptr) update[lvl] = x;
  }
  BYTE height = 0;
  return Engine::NextSlots(file, x, index, height)[0];
}

}  // namespace

bool Engine::RecordAt(const LedgerFile& file, ULONGLONG offset, RecordView& view, bool deletedToo, bool walk) {
  const DWORD page = static_cast<DWORD>(offset / kPageSize);
  const DWORD pos = static_cast<DWORD>(offset % kPageSize);
  if (!file.ValidDataPage(page)) return false;
  const PageHeader& ph = file.Page(page);
  if (ph.kind != kObjectPage || ph.used > kPageSize || pos < kPageHeaderBytes || pos % 8 != 0 ||
      pos + sizeof(RecordHeader) > ph.used)
    return false;
  // A place held since an earlier hold of the lock may now lie inside
  // another record: only a walk of the page tells where records start.
  DWORD at = walk ? kPageHeaderBytes : pos;
  const BYTE* pageBase = file.At(ULONGLONG(page) * kPageSize);
  while (at < pos) {
    const auto* r = reinterpret_cast<const RecordHeader*>(pageBase + at);
    if (r->totalBytes < sizeof(RecordHeader) || r->totalBytes % 8 != 0 || at + r->totalBytes > ph.used) return false;
    at += r->totalBytes;
  }
  if (at != pos) return false;
  const auto* r = reinterpret_cast<const RecordHeader*>(pageBase + pos);
  if (r->totalBytes < sizeof(RecordHeader) || pos + r->totalBytes > ph.used) return false;
  if (r->type == 255 && !deletedToo) return false;
  if (std::popcount(static_cast<unsigned>(r->mask)) != r->towers) return false;
  DWORD t = pos + sizeof(RecordHeader);
  const DWORD end = pos + r->totalBytes;
  for (BYTE i = 0; i < r->towers; ++i) {
    if (t + 8 > end) return false;
    const BYTE height = pageBase[t];
    if (height == 0 || height > kMaxLevel) return false;
    t += 8 + 8 * height;
  }
  if (t + kStoredHeader > end) return false;
  const DWORD storedBytes = kStoredHeader + 2 * U16(pageBase + t) + kIdBytes + U16(pageBase + t + 2);
  if (t + storedBytes > end) return false;
  view.offset = offset;
  view.header = r;
  view.stored = pageBase + t;
  view.storedBytes = storedBytes;
  return true;
}

RecordView Engine::RecordAtOrThrow(const LedgerFile& file, ULONGLONG offset) {
  RecordView view;
  if (!RecordAt(file, offset, view, false, false)) Corrupt();
  return view;
}

void Engine::LoadInto(CFileListInternal& list, CFileListFile& record, const BYTE* stored, DWORD page) {
  const WORD keyUnits = U16(stored);
  const WORD blockBytes = U16(stored + 2);
  record.SetCompressedSize(blockBytes);
  if (record.CompressedSize() != blockBytes) Corrupt();
  const BYTE* ids = stored + kStoredHeader + 2 * keyUnits;
  record.SetKeyString(platform::WideFromUtf16le(stored + kStoredHeader, 2 * std::size_t(keyUnits)));
  record.SetStoredIds(U32(ids), U32(ids + 4), U32(ids + 8));
  record.LoadCompressed(ids + kIdBytes, blockBytes, CFileListPage(&list, page));
}

std::unique_ptr<CFileListFile> Engine::Materialize(CFileListInternal& list, const BYTE* stored, DWORD storedBytes,
                                                   BYTE type, DWORD page) {
  if (storedBytes < kStoredHeader + kIdBytes ||
      storedBytes != kStoredHeader + 2 * DWORD(U16(stored)) + kIdBytes + U16(stored + 2))
    Corrupt();
  std::unique_ptr<CFileListFile> record(list.RecordAllocator()(type));
  if (!record) throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  LoadInto(list, *record, stored, page);
  return record;
}

std::unique_ptr<CFileListFile> Engine::Materialize(CFileListInternal& list, const RecordView& view) {
  return Materialize(list, view.stored, view.storedBytes, view.header->type,
                     static_cast<DWORD>(view.offset / kPageSize));
}

std::string Engine::StoredForm(const CFileListFile& record) {
  std::string out;
  const std::string key = platform::Utf16leFromWide(record.KeyString());
  PutU16(out, static_cast<WORD>(key.size() / 2));
  PutU16(out, static_cast<WORD>(record.CompressedSize()));
  out += key;
  for (int i = 0; i < 3; ++i) PutU32(out, record.StoredId(i));
  out.append(reinterpret_cast<const char*>(record.CompressedBlock()), record.CompressedSize());
  return out;
}

ULONGLONG* Engine::NextSlots(const LedgerFile& file, ULONGLONG offset, unsigned index, BYTE& height) {
  if (offset == 0) {
    height = kMaxLevel;
    return file.Header().index[index].next;
  }
  const RecordView view = RecordAtOrThrow(file, offset);
  if ((view.header->mask & (1u << index)) == 0) Corrupt();
  BYTE* t = file.At(offset + sizeof(RecordHeader));
  for (unsigned n = 0; n < index; ++n)
    if (view.header->mask & (1u << n)) t += 8 + 8 * t[0];
  height = t[0];
  return reinterpret_cast<ULONGLONG*>(t + 8);
}

ULONGLONG Engine::LowerBound(CFileListInternal& list, unsigned index, const CFileListFile& key) {
  Comparer cmp(list, index);
  return Descend(list, index, nullptr, [&](ULONGLONG node) { return cmp.Compare(node, key) < 0; });
}

ULONGLONG Engine::After(CFileListInternal& list, unsigned index, const CFileListFile& record, ULONGLONG offset) {
  Comparer cmp(list, index);
  return Descend(list, index, nullptr, [&](ULONGLONG node) { return cmp.Before(node, record, offset, true); });
}

DWORD Engine::Link(CFileListInternal& list, Txn& txn, unsigned index, ULONGLONG offset, const CFileListFile& record) {
  LedgerFile& file = list.File();
  Comparer cmp(list, index);
  ULONGLONG update[kMaxLevel];
  Descend(list, index, update, [&](ULONGLONG node) { return cmp.Before(node, record, offset, false); });
  BYTE height = 0;
  ULONGLONG* own = NextSlots(file, offset, index, height);
  IndexHead& head = file.Header().index[index];
  bool ok = true;
  if (height > head.level) ok = txn.Set(head.level, DWORD(height));
  for (BYTE lvl = 0; ok && lvl < height; ++lvl) {
    BYTE h = 0;
    ULONGLONG* prev = NextSlots(file, update[lvl], index, h);
    ok = txn.Set(own[lvl], prev[lvl]) && txn.Set(prev[lvl], offset);
  }
  if (ok) ok = txn.Set(head.count, head.count + 1);
  return ok ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD Engine::Unlink(CFileListInternal& list, Txn& txn, unsigned index, ULONGLONG offset,
                     const CFileListFile& record) {
  LedgerFile& file = list.File();
  Comparer cmp(list, index);
  ULONGLONG update[kMaxLevel];
  const ULONGLONG found =
      Descend(list, index, update, [&](ULONGLONG node) { return cmp.Before(node, record, offset, false); });
  if (found != offset) return ERROR_FILE_CORRUPT;
  BYTE height = 0;
  ULONGLONG* own = NextSlots(file, offset, index, height);
  bool ok = true;
  for (BYTE lvl = 0; ok && lvl < height; ++lvl) {
    BYTE h = 0;
    ULONGLONG* prev = NextSlots(file, update[lvl], index, h);
    if (prev[lvl] == offset) ok = txn.Set(prev[lvl], own[lvl]);
  }
  IndexHead& head = file.Header().index[index];
  DWORD level = std::min<DWORD>(head.level, kMaxLevel);
  while (level > 0 && head.next[level - 1] == 0) --level;
  if (ok && level != head.level) ok = txn.Set(head.level, level);
  if (ok) ok = txn.Set(head.count, head.count - 1);
  return ok ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD Engine::NewPage(LedgerFile& file, Txn& txn, DWORD kind, DWORD& page) {
  FileHeader& h = file.Header();
  page = h.pageCount;
  if (DWORD rc = file.Reserve(page + 1); rc != ERROR_SUCCESS) return rc;
  const PageHeader fresh{kind, kPageHeaderBytes, 0, 0};
  txn.WriteFresh(ULONGLONG(page) * kPageSize, &fresh, sizeof fresh);
  return txn.Set(h.pageCount, page + 1) ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD Engine::AllocateSpace(LedgerFile& file, Txn& txn, DWORD bytes, ULONGLONG& offset) {
  FileHeader& h = file.Header();
  DWORD page = h.currentObjectPage;
  if (page == 0 || !file.ValidDataPage(page) || file.Page(page).used + bytes > kPageSize) {
    if (h.freeObjectPages != 0) {
      page = h.freeObjectPages;
      if (!file.ValidDataPage(page) || file.Page(page).kind != kObjectPage) return ERROR_FILE_CORRUPT;
      const PageHeader reused{kObjectPage, kPageHeaderBytes, 0, 0};
      if (!txn.Set(h.freeObjectPages, file.Page(page).next) || !txn.Set(file.Page(page), reused)) return ERROR_DISK_FULL;
    } else if (DWORD rc = NewPage(file, txn, kObjectPage, page); rc != ERROR_SUCCESS) {
      return rc;
    }
    if (!txn.Set(h.currentObjectPage, page)) return ERROR_DISK_FULL;
  }
  PageHeader& ph = file.Page(page);
  offset = ULONGLONG(page) * kPageSize + ph.used;
  return txn.Set(ph.used, ph.used + bytes) && txn.Set(ph.live, ph.live + 1) ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD Engine::InsertLocked(CFileListInternal& list, Txn& txn, CFileListFile& record, ULONGLONG& offset) {
  LedgerFile& file = list.File();
  if (DWORD rc = record.Allocate(list); rc != ERROR_SUCCESS) return rc;
  BYTE mask = 0;
  for (unsigned n = 0; n < list.IndexCount(); ++n)
    if (record.QueryInsert(n)) mask |= static_cast<BYTE>(1u << n);
  const std::string stored = StoredForm(record);

  std::string bytes(sizeof(RecordHeader), '\0');
  for (unsigned n = 0; n < list.IndexCount(); ++n) {
    if ((mask & (1u << n)) == 0) continue;
    const BYTE height = RandomHeight();
    bytes.push_back(static_cast<char>(height));
    bytes.append(7 + 8 * std::size_t(height), '\0');
  }
  bytes += stored;
  const DWORD total = Padded8(static_cast<DWORD>(bytes.size()));
  if (bytes.size() > kMaxRecordBytes || total > kMaxRecordBytes) return ERROR_FILENAME_EXCED_RANGE;
  bytes.resize(total, '\0');
  RecordHeader header{};
  header.type = record.ObjectType(true);
  header.mask = mask;
  header.totalBytes = static_cast<WORD>(total);
  header.hash = record.Hash();
  header.towers = static_cast<BYTE>(std::popcount(static_cast<unsigned>(mask)));
  std::memcpy(bytes.data(), &header, sizeof header);

  if (DWORD rc = AllocateSpace(file, txn, total, offset); rc != ERROR_SUCCESS) return rc;
  txn.WriteFresh(offset, bytes.data(), bytes.size());
  for (unsigned n = 0; n < list.IndexCount(); ++n)
    if (mask & (1u << n))
      if (DWORD rc = Link(list, txn, n, offset, record); rc != ERROR_SUCCESS) return rc;
  FileHeader& h = file.Header();
  return txn.Set(h.records, h.records + 1) && txn.Set(h.generation, h.generation + 1) ? ERROR_SUCCESS
                                                                                        : ERROR_DISK_FULL;
}

DWORD Engine::RemoveLocked(CFileListInternal& list, Txn& txn, ULONGLONG offset) {
  LedgerFile& file = list.File();
  RecordView view;
  if (!RecordAt(file, offset, view, false, false)) return ERROR_FILE_NOT_FOUND;
  const std::unique_ptr<CFileListFile> record = Materialize(list, view);
  for (unsigned n = 0; n < list.IndexCount(); ++n)
    if (view.header->mask & (1u << n))
      if (DWORD rc = Unlink(list, txn, n, offset, *record); rc != ERROR_SUCCESS) return rc;
  auto* header = reinterpret_cast<RecordHeader*>(file.At(offset));
  if (!txn.Set(header->type, BYTE(255))) return ERROR_DISK_FULL;

  FileHeader& h = file.Header();
  const DWORD page = static_cast<DWORD>(offset / kPageSize);
  PageHeader& ph = file.Page(page);
  bool ok = txn.Set(ph.live, ph.live - 1);
  // An empty page other than the one being filled goes back for reuse.
  if (ok && ph.live == 0 && page != h.currentObjectPage)
    ok = txn.Set(ph.next, h.freeObjectPages) && txn.Set(h.freeObjectPages, page);
  if (ok) ok = txn.Set(h.records, h.records - 1) && txn.Set(h.generation, h.generation + 1);
  return ok ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

DWORD Engine::AllocatePathLocked(LedgerFile& file, Txn& txn, const std::wstring& text) {
  const std::string bytes = platform::Utf16leFromWide(text);
  if (bytes.size() + 2 > kMaxRecordBytes) return CFileListInternal::kNoPath;
  FileHeader& h = file.Header();
  DWORD pages = 0;
  for (DWORD p = h.pathPages; p != 0; p = file.Page(p).next) {
    if (!file.ValidDataPage(p) || file.Page(p).kind != kPathPage || ++pages > h.pageCount) Corrupt();
    const BYTE* base = file.At(ULONGLONG(p) * kPageSize);
    const DWORD used = std::min(file.Page(p).used, kPageSize);
    for (DWORD at = kPageHeaderBytes; at + 2 <= used;) {
      const DWORD n = 2 * DWORD(U16(base + at));
      if (at + 2 + n > used) Corrupt();
      if (n == bytes.size() && std::memcmp(base + at + 2, bytes.data(), n) == 0) return (p << 12) | at;
      at += 2 + n;
    }
  }
  DWORD tail = h.pathTail;
  if (tail == 0 || file.Page(tail).used + 2 + bytes.size() > kPageSize) {
    DWORD fresh = 0;
    if (NewPage(file, txn, kPathPage, fresh) != ERROR_SUCCESS) return CFileListInternal::kNoPath;
    const bool linked = tail != 0 ? txn.Set(file.Page(tail).next, fresh) : txn.Set(h.pathPages, fresh);
    if (!linked || !txn.Set(h.pathTail, fresh)) return CFileListInternal::kNoPath;
    tail = fresh;
  }
  // Ids are page and position in 32 bits: pages beyond 2^20 cannot hold texts.
  if (tail >= (1u << 20)) return CFileListInternal::kNoPath;
  PageHeader& ph = file.Page(tail);
  const DWORD at = ph.used;
  std::string entry;
  PutU16(entry, static_cast<WORD>(bytes.size() / 2));
  entry += bytes;
  txn.WriteFresh(ULONGLONG(tail) * kPageSize + at, entry.data(), entry.size());
  if (!txn.Set(ph.used, at + static_cast<DWORD>(entry.size())) || !txn.Set(ph.live, ph.live + 1))
    return CFileListInternal::kNoPath;
  return (tail << 12) | at;
}

std::wstring Engine::PathText(const LedgerFile& file, DWORD pathId) {
  auto& cache = file.PathCache();
  if (auto it = cache.find(pathId); it != cache.end()) return it->second;
  std::wstring text = ReadPathText(file, pathId);
  if (!text.empty()) cache.emplace(pathId, text);
  return text;
}

std::wstring Engine::ReadPathText(const LedgerFile& file, DWORD pathId) {
  const DWORD page = pathId >> 12;
  const DWORD at = pathId & 0xFFF;
  if (pathId == CFileListInternal::kNoPath || !file.ValidDataPage(page)) return {};
  const PageHeader& ph = file.Page(page);
  const DWORD used = std::min(ph.used, kPageSize);
  if (ph.kind != kPathPage || at < kPageHeaderBytes || at + 2 > used) return {};
  const BYTE* base = file.At(ULONGLONG(page) * kPageSize);
  const DWORD n = 2 * DWORD(U16(base + at));
  if (at + 2 + n > used) return {};
  return platform::WideFromUtf16le(base + at + 2, n);
}

void Engine::Place(CFileListInternal::iterator& it, ULONGLONG offset) {
  LedgerFile& file = it.m_list->File();
  it.m_offset = offset;
  it.m_generation = file.Header().generation;
  if (offset == 0) {
    it.m_hash = 0;
    it.m_stored.reset();
    return;
  }
  const RecordView view = RecordAtOrThrow(file, offset);
  it.m_hash = view.header->hash;
  // The type byte, then the stored form.
  auto stored = std::make_shared<std::vector<BYTE>>(view.storedBytes + 1);
  (*stored)[0] = view.header->type;
  std::memcpy(stored->data() + 1, view.stored, view.storedBytes);
  it.m_stored = std::move(stored);
}

}  // namespace ledgerhold
