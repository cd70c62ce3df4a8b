// mapping.cpp - CreateFileMappingW and views of it.
//
// A mapping keeps its own descriptor of the file, so closing the file handle
// (or the mapping handle) leaves views working, as on Windows. Views are kept
// in a table (address -> length) for UnmapViewOfFile; g_viewLock guards it.
#include "platform/fs/fs_internal.h"

#include "platform/sync/sync_internal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace platform::fs_detail {
namespace {

// Windows aligns view offsets to its allocation granularity.
constexpr ULONGLONG kAllocationGranularity = 65536;

class MappingObject final : public KernelObject {
 public:
  MappingObject(int fd, ULONGLONG size, bool writable) : fd(fd), size(size), writable(writable) {}
  ~MappingObject() override { ::close(fd); }
  const int fd;
  const ULONGLONG size;
  const bool writable;
};

SRWLOCK g_viewLock{};
std::map<const void*, std::size_t>& Views() {
  static auto* views = new std::map<const void*, std::size_t>();
  return *views;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;  // CreateFileMapping fails with NULL, not INVALID_HANDLE_VALUE
}

}  // namespace
}  // namespace platform::fs_detail

using platform::fs_detail::Fail;

HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES* /*attributes*/, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name) {
  using namespace platform::fs_detail;
  if (name != nullptr) return FailHandle(ERROR_NOT_SUPPORTED);
  platform::sync_detail::ObjectRef<FileObject> f(file);
  if (!f || f->IsDirectory()) return FailHandle(ERROR_INVALID_HANDLE);
  const DWORD page = protect & 0xFF;
  if (page != PAGE_READONLY && page != PAGE_READWRITE) return FailHandle(ERROR_INVALID_PARAMETER);
  const bool writable = page == PAGE_READWRITE;
  if (!WantsRead(f->Access()) || (writable && !WantsWrite(f->Access()))) return FailHandle(ERROR_ACCESS_DENIED);
  struct stat st {};
  if (::fstat(f->Fd(), &st) != 0) return FailHandle(platform::Win32FromErrno(errno));
  ULONGLONG size = (ULONGLONG{maximumSizeHigh} << 32) | maximumSizeLow;
  const auto current = static_cast<ULONGLONG>(st.st_size);
  if (size == 0) size = current;
  if (size == 0) return FailHandle(ERROR_FILE_INVALID);  // nothing to map
  if (size > current) {
    if (!writable) return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    if (::ftruncate(f->Fd(), static_cast<off_t>(size)) != 0) return FailHandle(platform::Win32FromErrno(errno));
  }
  const int fd = ::fcntl(f->Fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return FailHandle(platform::Win32FromErrno(errno));
  SetLastError(ERROR_SUCCESS);
  return platform::MakeHandle(new MappingObject(fd, size, writable));
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
  using namespace platform::fs_detail;
  platform::sync_detail::ObjectRef<MappingObject> m(mapping);
  if (!m) return FailHandle(ERROR_INVALID_HANDLE);
  const ULONGLONG offset = (ULONGLONG{offsetHigh} << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) return FailHandle(ERROR_MAPPED_ALIGNMENT);
  if (offset > m->size || (bytes != 0 && bytes > m->size - offset)) return FailHandle(ERROR_ACCESS_DENIED);
  if (bytes == 0) bytes = static_cast<SIZE_T>(m->size - offset);
  if (bytes == 0) return FailHandle(ERROR_ACCESS_DENIED);
  const bool copy = (desiredAccess & FILE_MAP_COPY) != 0 && desiredAccess != FILE_MAP_ALL_ACCESS;
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !copy && !m->writable) return FailHandle(ERROR_ACCESS_DENIED);
  const int prot = write || copy ? PROT_READ | PROT_WRITE : PROT_READ;
  void* view = ::mmap(nullptr, bytes, prot, copy ? MAP_PRIVATE : MAP_SHARED, m->fd, static_cast<off_t>(offset));
  if (view == MAP_FAILED) return FailHandle(platform::Win32FromErrno(errno));
  platform::SrwExclusiveLock hold(g_viewLock);
  Views()[view] = bytes;
  return view;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  using namespace platform::fs_detail;
  std::size_t length = 0;
  {
    platform::SrwExclusiveLock hold(g_viewLock);
    auto it = Views().find(baseAddress);
    if (it == Views().end()) return Fail(ERROR_INVALID_ADDRESS);
    length = it->second;
    Views().erase(it);
  }
  return ::munmap(const_cast<void*>(baseAddress), length) == 0 ? TRUE : Fail(platform::Win32FromErrno(errno));
}

BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T bytes) {
  using namespace platform::fs_detail;
  std::size_t length = 0;
  {
    platform::SrwSharedLock hold(g_viewLock);
    auto it = Views().find(baseAddress);
    if (it == Views().end()) return Fail(ERROR_INVALID_ADDRESS);
    length = bytes == 0 || bytes > it->second ? it->second : bytes;
  }
  return ::msync(const_cast<void*>(baseAddress), length, MS_SYNC) == 0 ? TRUE : Fail(platform::Win32FromErrno(errno));
}
