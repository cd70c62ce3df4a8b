// FileRangeBuffer.cpp - opening files for reading and the window stream buffer.
//
// Errors leave as std::system_error carrying Win32 codes from the platform's
// errno table, which StatusFromSystemError turns into HTTP statuses.
#include "REST APIs/HTTP Service/FileRangeBuffer.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

[[noreturn]] void ThrowWin32(DWORD code, const char* what) {
  throw std::system_error(static_cast<int>(code), std::system_category(), what);
}

}  // namespace

OpenedFile OpenFileForReading(const std::wstring& path) {
  const std::string utf8 = platform::Utf8FromWide(path);
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    ThrowWin32(platform::Win32FromErrnoForPath(errno, utf8, platform::ErrnoContext::CreateFile), "open");
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    ThrowWin32(platform::Win32FromErrno(err), "fstat");
  }
  // Directories, devices and FIFOs are not files to serve.
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    ThrowWin32(ERROR_ACCESS_DENIED, "not a regular file");
  }
  // A writer that opened the file without read sharing holds it exclusively;
  // the shared lock is kept while the body is read, as a sharing open would be.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    ThrowWin32(platform::Win32FromErrno(err, platform::ErrnoContext::CreateFile), "flock");
  }
  return OpenedFile{fd, static_cast<std::uint64_t>(st.st_size)};
}

namespace Concurrency::streams::details {

using Buffer = basic_file_range_buffer<unsigned char>;

Buffer::basic_file_range_buffer(OpenedFile file, std::uint64_t offset, std::uint64_t length)
    : streambuf_state_manager<unsigned char>(std::ios_base::in),
      m_fd(file.fd),
      m_offset(std::min(offset, file.size)),
      m_windowEnd(std::min(file.size, offset + std::min(length, UINT64_MAX - offset))),
      m_pos(m_offset) {}

Buffer::~basic_file_range_buffer() {
  if (m_fd >= 0) ::close(m_fd);
}

std::shared_ptr<Buffer> Buffer::open(const std::wstring& path, std::uint64_t offset, std::uint64_t length) {
  OpenedFile file = OpenFileForReading(path);
  try {
    return std::make_shared<Buffer>(file, offset, length);
  } catch (...) {
    ::close(file.fd);
    throw;
  }
}

Concurrency::streams::basic_istream<unsigned char> Buffer::as_istream(std::shared_ptr<Buffer> buffer) {
  return Concurrency::streams::streambuf<unsigned char>(std::move(buffer)).create_istream();
}

size_t Buffer::ReadLocked(unsigned char* ptr, size_t count) {
  if (m_fd < 0 || m_pos >= m_windowEnd) return 0;
  const size_t want = static_cast<size_t>(std::min<std::uint64_t>(count, m_windowEnd - m_pos));
  size_t done = 0;
  while (done < want) {
    const ssize_t n = ::pread(m_fd, ptr + done, want - done, static_cast<off_t>(m_pos + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done > 0) break;  // hand out what was read; the next read reports the error
      ThrowWin32(platform::Win32FromErrno(errno), "pread");
    }
    if (n == 0) break;  // the file shrank under us: end of stream
    done += static_cast<size_t>(n);
  }
  m_pos += done;
  return done;
}

Buffer::int_type Buffer::PeekLocked() {
  unsigned char c = 0;
  if (m_fd < 0 || m_pos >= m_windowEnd) return traits::eof();
  const ssize_t n = ::pread(m_fd, &c, 1, static_cast<off_t>(m_pos));
  return n == 1 ? static_cast<int_type>(c) : traits::eof();
}

pplx::task<size_t> Buffer::_getn(unsigned char* ptr, size_t count) {
  try {
    std::lock_guard<std::mutex> hold(m_lock);
    return pplx::task_from_result(ReadLocked(ptr, count));
  } catch (...) {
    return pplx::task_from_exception<size_t>(std::current_exception());
  }
}

Buffer::int_type Buffer::_sbumpc() {
  std::lock_guard<std::mutex> hold(m_lock);
  const int_type c = PeekLocked();
  if (c != traits::eof()) ++m_pos;
  return c;
}

Buffer::int_type Buffer::_sgetc() {
  std::lock_guard<std::mutex> hold(m_lock);
  return PeekLocked();
}

pplx::task<Buffer::int_type> Buffer::_nextc() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_pos < m_windowEnd) ++m_pos;
  return pplx::task_from_result<int_type>(PeekLocked());
}

pplx::task<Buffer::int_type> Buffer::_ungetc() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_pos <= m_offset) return pplx::task_from_result<int_type>(traits::eof());
  --m_pos;
  return pplx::task_from_result<int_type>(PeekLocked());
}

Buffer::pos_type Buffer::getpos(std::ios_base::openmode direction) const {
  if (!(direction & std::ios_base::in) || !can_read()) return static_cast<pos_type>(traits::eof());
  std::lock_guard<std::mutex> hold(m_lock);
  return static_cast<pos_type>(m_pos - m_offset);
}

Buffer::pos_type Buffer::seekpos(pos_type pos, std::ios_base::openmode direction) {
  if (!(direction & std::ios_base::in) || !can_read()) return static_cast<pos_type>(traits::eof());
  const auto off = static_cast<off_type>(pos);
  if (off < 0 || static_cast<std::uint64_t>(off) > m_windowEnd - m_offset) return static_cast<pos_type>(traits::eof());
  std::lock_guard<std::mutex> hold(m_lock);
  m_pos = m_offset + static_cast<std::uint64_t>(off);
  return pos;
}

Buffer::pos_type Buffer::seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode mode) {
  off_type base = 0;
  if (way == std::ios_base::cur) {
    base = static_cast<off_type>(getpos(mode));
    if (base < 0) return static_cast<pos_type>(traits::eof());
  } else if (way == std::ios_base::end) {
    base = static_cast<off_type>(m_windowEnd - m_offset);
  }
  return seekpos(static_cast<pos_type>(base + offset), mode);
}

pplx::task<void> Buffer::_close_read() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  return streambuf_state_manager<unsigned char>::_close_read();
}

}  // namespace Concurrency::streams::details
