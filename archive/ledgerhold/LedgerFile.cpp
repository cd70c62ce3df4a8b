// LedgerFile.cpp - mapping, formatting, the robust lock and the undo journal of the list's file.
//
// The journal is a sequence of entries {u64 offset, u32 bytes, u32 spare,
// old bytes padded to 8} from the first journal page; journalEntries counts
// the complete ones and is raised only after an entry is whole, so a writer
// killed at any instruction leaves a journal that undoes exactly what it
// wrote. The stores are ordered with fences: a process killed by a signal
// leaves its stores in the shared mapping in program order.
#include "archive/ledgerhold/LedgerFile.h"

#include "platform/base/errors.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace ledgerhold {

namespace {

constexpr ULONGLONG kJournalStart = ULONGLONG(kJournalFirstPage) * kPageSize;
constexpr ULONGLONG kJournalCapacity = ULONGLONG(kJournalPages) * kPageSize;
constexpr std::size_t kEntryHeader = 16;

std::size_t Padded(std::size_t bytes) { return (bytes + 7) & ~std::size_t(7); }

}  // namespace

DWORD LedgerFile::Open(const std::string& path, DWORD indexCount, DWORD version, std::unique_ptr<LedgerFile>& out) {
  if (indexCount == 0 || indexCount > kMaxIndexes) return ERROR_INVALID_PARAMETER;
  std::unique_ptr<LedgerFile> file(new LedgerFile());
  file->m_path = path;
  file->m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (file->m_fd < 0) return platform::Win32FromErrnoForPath(errno, path);
  void* base = ::mmap(nullptr, kMaxFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, file->m_fd, 0);
  if (base == MAP_FAILED) return platform::Win32FromErrno(errno);
  file->m_base = static_cast<BYTE*>(base);
  file->m_mutex = reinterpret_cast<pthread_mutex_t*>(file->m_base + kLockOffset);

  // Whoever finds the file empty formats it; flock keeps two openers from
  // both doing so.
  if (::flock(file->m_fd, LOCK_EX) != 0) return platform::Win32FromErrno(errno);
  struct stat st {};
  DWORD rc = ::fstat(file->m_fd, &st) == 0 ? ERROR_SUCCESS : platform::Win32FromErrno(errno);
  if (rc == ERROR_SUCCESS && st.st_size == 0) rc = file->Format(indexCount, version);
  ::flock(file->m_fd, LOCK_UN);
  if (rc != ERROR_SUCCESS) return rc;

  // Writers in other processes grow the file before they count its new
  // pages, without this lock: the size is read after the count, so that a
  // list growing meanwhile is not taken for a damaged one.
  const FileHeader& h = file->Header();
  const DWORD pageCount = std::atomic_ref<DWORD>(file->Header().pageCount).load(std::memory_order_acquire);
  if (::fstat(file->m_fd, &st) != 0) return platform::Win32FromErrno(errno);
  file->m_fileBytes = static_cast<ULONGLONG>(st.st_size);
  if (file->m_fileBytes < ULONGLONG(kFirstDataPage) * kPageSize || h.magic != kMagic || h.format != kFormat ||
      h.pageSize != kPageSize || ULONGLONG(pageCount) * kPageSize > file->m_fileBytes)
    return ERROR_FILE_CORRUPT;
  if (h.indexCount != indexCount) return ERROR_INVALID_DATA;
  out = std::move(file);
  return ERROR_SUCCESS;
}

DWORD LedgerFile::Format(DWORD indexCount, DWORD version) {
  const ULONGLONG bytes = ULONGLONG(kFirstDataPage) * kPageSize;
  if (::ftruncate(m_fd, static_cast<off_t>(bytes)) != 0) return platform::Win32FromErrno(errno);
  std::memset(m_base, 0, kPageSize);
  FileHeader& h = Header();
  h.format = kFormat;
  h.pageSize = kPageSize;
  h.indexCount = indexCount;
  h.version = version;
  h.pageCount = kFirstDataPage;

  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int err = pthread_mutex_init(m_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (err != 0) return platform::Win32FromErrno(err);
  // The magic goes last: a file without it is formatted again.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  h.magic = kMagic;
  return ERROR_SUCCESS;
}

LedgerFile::~LedgerFile() {
  if (m_base != nullptr) ::munmap(m_base, kMaxFileBytes);
  if (m_fd >= 0) ::close(m_fd);
}

void LedgerFile::Lock() {
  int err = pthread_mutex_lock(m_mutex);
  if (err == EOWNERDEAD) {
    // Its owner died holding it; what it left half done is in the journal.
    RollBack();
    pthread_mutex_consistent(m_mutex);
    err = 0;
  }
  if (err != 0) throw static_cast<DWORD>(ERROR_FILE_CORRUPT);
  m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  if (Header().journalEntries != 0) RollBack();
}

void LedgerFile::Unlock() {
  m_owner.store(std::thread::id(), std::memory_order_relaxed);
  pthread_mutex_unlock(m_mutex);
}

DWORD LedgerFile::Reserve(DWORD pages) {
  const ULONGLONG need = ULONGLONG(pages) * kPageSize;
  if (need > kMaxFileBytes) return ERROR_DISK_FULL;
  if (need <= m_fileBytes) return ERROR_SUCCESS;
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return platform::Win32FromErrno(errno);
  m_fileBytes = static_cast<ULONGLONG>(st.st_size);
  if (need <= m_fileBytes) return ERROR_SUCCESS;
  // Grow by an eighth at least, so that a growing list rarely asks.
  ULONGLONG target = std::max(need, m_fileBytes + m_fileBytes / 8);
  target = std::min((target + kPageSize - 1) / kPageSize * kPageSize, kMaxFileBytes);
  if (::ftruncate(m_fd, static_cast<off_t>(target)) != 0) return platform::Win32FromErrno(errno);
  m_fileBytes = target;
  return ERROR_SUCCESS;
}

void LedgerFile::RollBack() {
  FileHeader& h = Header();
  // The dead writer may have grown the file beyond what this process saw.
  struct stat st {};
  if (::fstat(m_fd, &st) == 0) m_fileBytes = std::max(m_fileBytes, static_cast<ULONGLONG>(st.st_size));
  std::vector<ULONGLONG> entries;
  ULONGLONG at = kJournalStart;
  for (DWORD i = 0; i < h.journalEntries; ++i) {
    const ULONGLONG offset = *reinterpret_cast<const ULONGLONG*>(m_base + at);
    const DWORD bytes = *reinterpret_cast<const DWORD*>(m_base + at + 8);
    // A journal entry that points outside the file cannot be ours.
    if (at + kEntryHeader + bytes > kJournalStart + kJournalCapacity || offset + bytes > m_fileBytes) break;
    entries.push_back(at);
    at += kEntryHeader + Padded(bytes);
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const ULONGLONG offset = *reinterpret_cast<const ULONGLONG*>(m_base + *it);
    const DWORD bytes = *reinterpret_cast<const DWORD*>(m_base + *it + 8);
    std::memcpy(m_base + offset, m_base + *it + kEntryHeader, bytes);
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
  h.journalEntries = 0;
  h.journalBytes = 0;
  m_pathCache.clear();
}

// --- Txn ---

Txn::Txn(LedgerFile& file) : m_file(file) { m_file.m_txn = this; }

Txn::~Txn() {
  if (!m_done) m_file.RollBack();
  m_file.m_txn = nullptr;
}

bool Txn::Write(ULONGLONG offset, const void* data, std::size_t bytes) {
  FileHeader& h = m_file.Header();
  const ULONGLONG at = kJournalStart + h.journalBytes;
  if (at + kEntryHeader + Padded(bytes) > kJournalStart + kJournalCapacity) return false;
  BYTE* entry = m_file.m_base + at;
  *reinterpret_cast<ULONGLONG*>(entry) = offset;
  *reinterpret_cast<DWORD*>(entry + 8) = static_cast<DWORD>(bytes);
  std::memcpy(entry + kEntryHeader, m_file.m_base + offset, bytes);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  h.journalBytes += static_cast<DWORD>(kEntryHeader + Padded(bytes));
  h.journalEntries += 1;
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::memmove(m_file.m_base + offset, data, bytes);
  return true;
}

void Txn::WriteFresh(ULONGLONG offset, const void* data, std::size_t bytes) {
  std::memcpy(m_file.m_base + offset, data, bytes);
}

void Txn::Commit() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  FileHeader& h = m_file.Header();
  h.journalEntries = 0;
  h.journalBytes = 0;
  m_done = true;
}

}  // namespace ledgerhold
