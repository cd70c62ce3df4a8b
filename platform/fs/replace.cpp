// replace.cpp - writing a file under a temporary name and renaming it on.
//
// The temporary file sits in the target's folder (one file system, so the
// rename is atomic) and its name carries the process id and a counter, so
// that writers in several threads and processes never share one.
#include "platform/fs/fs_internal.h"

#include "platform/base/format.h"
#include "platform/base/text.h"

#include <unistd.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<unsigned> g_counter{0};
}  // namespace

ReplacementFile::~ReplacementFile() { Drop(); }

void ReplacementFile::Drop() {
  m_file.reset();
  if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
  m_temporary.clear();
}

DWORD ReplacementFile::Create(std::wstring_view target) {
  Drop();
  if (DWORD e = ResolvePath(target, m_target); e != ERROR_SUCCESS) return e;
  const std::string temporary = m_target + Utf8FromWide(FormatW(L".~%u-%u.tmp", static_cast<unsigned>(::getpid()),
                                                                g_counter.fetch_add(1)));
  HANDLE file = fs_detail::OpenHostPath(temporary, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, 0);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  m_file.reset(file);
  m_temporary = temporary;
  return ERROR_SUCCESS;
}

DWORD ReplacementFile::Commit(bool replace) {
  if (!m_file) return ERROR_INVALID_HANDLE;
  m_file.reset();
  const DWORD e = fs_detail::MoveHostPath(m_temporary, m_target, replace);
  if (e == ERROR_SUCCESS) m_temporary.clear();
  else Drop();
  return e;
}

DWORD WriteFileReplacing(std::wstring_view path, const void* data, std::size_t size) {
  ReplacementFile file;
  if (DWORD e = file.Create(path); e != ERROR_SUCCESS) return e;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file.Handle(), bytes, chunk, &written, nullptr)) return GetLastError();
    bytes += written;
    size -= written;
  }
  if (!FlushFileBuffers(file.Handle())) return GetLastError();
  return file.Commit(true);
}

}  // namespace platform
