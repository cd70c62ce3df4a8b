// Ledgerhold.cpp - the fragment list's public face: opening, iterators, pages, writers and the check.
//
// Each public operation takes the list's lock (CFileListLock, recursive for
// one thread) for its own duration only; writers also open a transaction,
// destroyed before the lock, so a failure or a thrown record code rolls back
// everything the operation wrote.
#include "archive/ledgerhold/Engine.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"

#include <cstring>
#include <mutex>

using ledgerhold::Engine;
using ledgerhold::LedgerFile;
using ledgerhold::RecordView;
using ledgerhold::Txn;

namespace {

// FNV-1a, 32 bits.
class Fnv {
 public:
  void Add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const BYTE*>(data);
    for (std::size_t i = 0; i < bytes; ++i) m_hash = (m_hash ^ p[i]) * 16777619u;
  }
  DWORD Value() const { return m_hash == 0 ? 1 : m_hash; }

 private:
  DWORD m_hash = 2166136261u;
};

void RequireIndex(const CFileListInternal& list, unsigned index) {
  if (!list.Attached() || index >= list.IndexCount()) throw static_cast<DWORD>(ERROR_INVALID_PARAMETER);
}

}  // namespace

// --- CFileListFile ---

DWORD CFileListFile::Allocate(CFileListInternal&) { return ERROR_SUCCESS; }
void CFileListFile::SetCompressedSize(DWORD) {}
bool CFileListFile::QueryInsert(unsigned) const { return false; }

void CFileListFile::LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage&) {
  std::memcpy(CompressedBlock(), data, std::min(bytes, CompressedSize()));
}

DWORD CFileListFile::Hash() const {
  Fnv fnv;
  const BYTE type = ObjectType(true);
  fnv.Add(&type, 1);
  for (wchar_t c : m_key) {
    const DWORD unit = static_cast<DWORD>(c);
    fnv.Add(&unit, sizeof unit);
  }
  fnv.Add(m_ids, sizeof m_ids);
  fnv.Add(CompressedBlock(), CompressedSize());
  return fnv.Value();
}

bool CFileListFile::SaveTo(BYTE* pageData, DWORD position) const {
  using namespace ledgerhold;
  if (position < kPageHeaderBytes || position % 8 != 0 || position + sizeof(RecordHeader) > kPageSize) return false;
  auto* header = reinterpret_cast<RecordHeader*>(pageData + position);
  const DWORD end = position + header->totalBytes;
  if (header->type != ObjectType(true) || end > kPageSize) return false;
  DWORD t = position + sizeof(RecordHeader);
  for (BYTE i = 0; i < header->towers && t < end; ++i) t += 8 + 8 * pageData[t];
  const std::string stored = Engine::StoredForm(*this);
  if (t + 4 > end || t + stored.size() > end) return false;
  const DWORD oldBytes = 4 + 2 * DWORD(pageData[t] | (pageData[t + 1] << 8)) + 12 +
                         DWORD(pageData[t + 2] | (pageData[t + 3] << 8));
  if (oldBytes != stored.size()) return false;
  if (std::memcmp(pageData + t, stored.data(), stored.size()) == 0) return false;
  std::memcpy(pageData + t, stored.data(), stored.size());
  header->hash = Hash();
  return true;
}

// --- partition, allocator, store, lock ---

bool CRandomAllocator::Ready() const { return true; }

void CPartition0::SetAllocator(std::unique_ptr<CRandomAllocator> allocator) {
  std::lock_guard<CRecursiveMutex> hold(Mutex());
  m_allocator = std::move(allocator);
}

CRandomAllocator* CPartition0::Allocator() {
  std::lock_guard<CRecursiveMutex> hold(Mutex());
  return m_allocator.get();
}

std::shared_ptr<CFileListDataStore> SinglePartition::Make(CFileListInternal& list,
                                                          std::shared_ptr<CPartition> partition, DWORD indexCount,
                                                          CFileListDataStore::AllocatorFactory factory) {
  auto store = std::make_shared<CFileListDataStore>(list, std::move(partition), indexCount, std::move(factory));
  list.KeepDataStore(store);
  return store;
}

CFileListLock::CFileListLock(LedgerFile& file) : m_file(file), m_taken(!file.LockHeld()) {
  if (m_taken) m_file.Lock();
}

CFileListLock::~CFileListLock() {
  if (m_taken) m_file.Unlock();
}

// --- CFileListInternal ---

CFileListInternal::CFileListInternal(std::wstring name, DWORD version, DWORD indexCount, CFileListAllocator allocator)
    : m_name(std::move(name)), m_version(version), m_indexCount(indexCount), m_allocator(allocator) {}

CFileListInternal::~CFileListInternal() = default;

DWORD ledgerhold::ListPathFromRegistry(std::wstring& path) {
  platform::RegKey key;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArchiveKey, 0, KEY_READ, key.put());
  if (rc == ERROR_SUCCESS) rc = platform::RegReadString(key.get(), kListValue, path);
  if (rc == ERROR_SUCCESS && path.empty()) rc = ERROR_FILE_NOT_FOUND;
  return static_cast<DWORD>(rc);
}

DWORD ledgerhold::TakeAttachFailure() {
  // One process's threads take failures one at a time, so each is taken once.
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  platform::RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFailKey, 0, KEY_READ | KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
    return ERROR_SUCCESS;
  DWORD left = 0;
  if (platform::RegReadDword(key.get(), kAttachFailuresValue, left) != ERROR_SUCCESS || left == 0)
    return ERROR_SUCCESS;
  platform::RegWriteDword(key.get(), kAttachFailuresValue, left - 1);
  return ERROR_ACCESS_DENIED;
}

DWORD CFileListInternal::Attach(void* handle) {
  if (m_store == nullptr || m_allocator == nullptr) return ERROR_INVALID_HANDLE;
  if (handle != reinterpret_cast<void*>(static_cast<std::intptr_t>(-1))) return ERROR_INVALID_HANDLE;
  if (m_file != nullptr) return ERROR_SUCCESS;
  std::wstring path = m_name;
  if (path.empty()) {
    if (DWORD rc = ledgerhold::TakeAttachFailure(); rc != ERROR_SUCCESS) return rc;
    if (DWORD rc = ledgerhold::ListPathFromRegistry(path); rc != ERROR_SUCCESS) return rc;
  }
  return LedgerFile::Open(platform::Utf8FromWide(path), m_indexCount, m_version, m_file);
}

CFileListInternal::iterator CFileListInternal::find(const CFileListFile& key, unsigned index) {
  RequireIndex(*this, index);
  CFileListLock hold(*m_file);
  iterator it;
  it.m_list = this;
  it.m_index = index;
  Engine::Place(it, Engine::LowerBound(*this, index, key));
  return it;
}

CFileListInternal::iterator CFileListInternal::begin(unsigned index) {
  RequireIndex(*this, index);
  CFileListLock hold(*m_file);
  iterator it;
  it.m_list = this;
  it.m_index = index;
  Engine::Place(it, m_file->Header().index[index].next[0]);
  return it;
}

CFileListInternal::iterator CFileListInternal::end(unsigned index) {
  iterator it;
  it.m_list = this;
  it.m_index = index;
  return it;
}

CFileListInternal::iterator& CFileListInternal::iterator::operator++() {
  if (m_offset == 0) return *this;
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  ULONGLONG next = 0;
  if (m_generation == file.Header().generation) {
    BYTE height = 0;
    next = Engine::NextSlots(file, m_offset, m_index, height)[0];
  } else {
    // The list changed since this element was reached: go on from its place.
    const auto saved = Engine::Materialize(*m_list, m_stored->data() + 1, static_cast<DWORD>(m_stored->size() - 1),
                                           (*m_stored)[0], static_cast<DWORD>(m_offset / ledgerhold::kPageSize));
    next = Engine::After(*m_list, m_index, *saved, m_offset);
  }
  Engine::Place(*this, next);
  return *this;
}

CFileListHashedOffset CFileListInternal::iterator::CheckOffset() const {
  return {static_cast<DWORD>(m_offset / ledgerhold::kPageSize), static_cast<DWORD>(m_offset % ledgerhold::kPageSize),
          m_hash};
}

CFileListPage CFileListInternal::GetPage(DWORD page) { return CFileListPage(this, page); }

CFileListFile* CFileListInternal::CreatePointer(DWORD, DWORD) { return nullptr; }

DWORD CFileListInternal::Insert(CFileListFile& record, CFileListHashedOffset* where) {
  if (!Attached()) return ERROR_INVALID_HANDLE;
  CFileListLock hold(*m_file);
  Txn txn(*m_file);
  ULONGLONG offset = 0;
  if (DWORD rc = Engine::InsertLocked(*this, txn, record, offset); rc != ERROR_SUCCESS) return rc;
  txn.Commit();
  if (where != nullptr)
    *where = {static_cast<DWORD>(offset / ledgerhold::kPageSize), static_cast<DWORD>(offset % ledgerhold::kPageSize),
              record.Hash()};
  return ERROR_SUCCESS;
}

DWORD CFileListInternal::RemoveFirst(const CFileListFile& key, unsigned index,
                                     const std::function<bool(const CFileListFile&)>& match) {
  if (!Attached()) return ERROR_INVALID_HANDLE;
  if (index >= m_indexCount) return ERROR_INVALID_PARAMETER;
  CFileListLock hold(*m_file);
  for (ULONGLONG offset = Engine::LowerBound(*this, index, key); offset != 0;) {
    const auto record = Engine::Materialize(*this, Engine::RecordAtOrThrow(*m_file, offset));
    if (record->Compare(key, index) != 0) break;
    if (match(*record)) {
      Txn txn(*m_file);
      if (DWORD rc = Engine::RemoveLocked(*this, txn, offset); rc != ERROR_SUCCESS) return rc;
      txn.Commit();
      return ERROR_SUCCESS;
    }
    BYTE height = 0;
    offset = Engine::NextSlots(*m_file, offset, index, height)[0];
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD CFileListInternal::Remove(const CFileListHashedOffset& where) {
  if (!Attached()) return ERROR_INVALID_HANDLE;
  CFileListLock hold(*m_file);
  const ULONGLONG offset = ULONGLONG(where.page) * ledgerhold::kPageSize + where.position;
  RecordView view;
  if (!Engine::RecordAt(*m_file, offset, view) || (where.hash != 0 && view.header->hash != where.hash))
    return ERROR_FILE_NOT_FOUND;
  Txn txn(*m_file);
  if (DWORD rc = Engine::RemoveLocked(*this, txn, offset); rc != ERROR_SUCCESS) return rc;
  txn.Commit();
  return ERROR_SUCCESS;
}

DWORD CFileListInternal::AllocatePath(const std::wstring& text) {
  if (!Attached()) return kNoPath;
  CFileListLock hold(*m_file);
  if (Txn* active = m_file->ActiveTxn(); active != nullptr) return Engine::AllocatePathLocked(*m_file, *active, text);
  Txn txn(*m_file);
  const DWORD id = Engine::AllocatePathLocked(*m_file, txn, text);
  if (id != kNoPath) txn.Commit();
  return id;
}

ULONGLONG CFileListInternal::Count(unsigned index) {
  RequireIndex(*this, index);
  CFileListLock hold(*m_file);
  return m_file->Header().index[index].count;
}

// --- CFileListPage ---

bool CFileListPage::IsObjectPage() const {
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  return file.ValidDataPage(m_page) && file.Page(m_page).kind == ledgerhold::kObjectPage;
}

CFileListFile* CFileListPage::CreateObject(DWORD position, bool) const {
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  RecordView view;
  // No record starts there any more: it went while the caller held the place.
  if (!Engine::RecordAt(file, ULONGLONG(m_page) * ledgerhold::kPageSize + position, view, true))
    throw static_cast<DWORD>(ERROR_DELETE_PENDING);
  return m_list->RecordAllocator()(view.header->type);
}

bool CFileListPage::Load(CFileListFile& record, DWORD position) const {
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  RecordView view;
  if (!Engine::RecordAt(file, ULONGLONG(m_page) * ledgerhold::kPageSize + position, view)) return false;
  try {
    Engine::LoadInto(*m_list, record, view.stored, m_page);
  } catch (DWORD) {
    return false;  // another kind of record lies there now
  }
  return true;
}

std::wstring CFileListPage::GetPath(DWORD pathId) const {
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  return Engine::PathText(file, pathId);
}

std::unique_ptr<CFileListLock> CFileListPage::DataLock() const {
  return std::make_unique<CFileListLock>(m_list->File());
}

BYTE* CFileListPage::GetData() {
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  if (!file.ValidDataPage(m_page)) return nullptr;
  const BYTE* page = file.At(ULONGLONG(m_page) * ledgerhold::kPageSize);
  m_copy = std::make_shared<std::vector<BYTE>>(page, page + ledgerhold::kPageSize);
  return m_copy->data();
}

DWORD CFileListPage::Written() {
  if (!m_copy) return ERROR_INVALID_PARAMETER;
  LedgerFile& file = m_list->File();
  CFileListLock hold(file);
  if (!file.ValidDataPage(m_page) || file.Page(m_page).kind != ledgerhold::kObjectPage) return ERROR_FILE_CORRUPT;
  const std::shared_ptr<std::vector<BYTE>> copy = std::move(m_copy);
  const BYTE* current = file.At(ULONGLONG(m_page) * ledgerhold::kPageSize);
  Txn txn(file);
  // A changed record moves: it is removed and stored anew, so that every
  // index holds it at its new place and readers of the old one see it change.
  const DWORD used = std::min(file.Page(m_page).used, ledgerhold::kPageSize);
  for (DWORD at = ledgerhold::kPageHeaderBytes; at + sizeof(ledgerhold::RecordHeader) <= used;) {
    const auto* header = reinterpret_cast<const ledgerhold::RecordHeader*>(current + at);
    if (header->totalBytes == 0 || at + header->totalBytes > used) return ERROR_FILE_CORRUPT;
    const DWORD next = at + header->totalBytes;
    if (header->type != 255 && std::memcmp(copy->data() + at, current + at, header->totalBytes) != 0) {
      const ULONGLONG offset = ULONGLONG(m_page) * ledgerhold::kPageSize + at;
      RecordView view;
      if (!Engine::RecordAt(file, offset, view)) return ERROR_FILE_CORRUPT;
      const BYTE* stored = copy->data() + (view.stored - current);
      const auto changed = Engine::Materialize(*m_list, stored, view.storedBytes, header->type, m_page);
      if (DWORD rc = Engine::RemoveLocked(*m_list, txn, offset); rc != ERROR_SUCCESS) return rc;
      ULONGLONG moved = 0;
      if (DWORD rc = Engine::InsertLocked(*m_list, txn, *changed, moved); rc != ERROR_SUCCESS) return rc;
    }
    at = next;
  }
  txn.Commit();
  return ERROR_SUCCESS;
}
