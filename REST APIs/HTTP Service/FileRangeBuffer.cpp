// FileRangeBuffer.cpp - opening files for reading and the window stream buffer.
//
// Errors leave as std::system_error carrying Win32 codes from the platform's
// errno table, which StatusFromSystemError turns into HTTP statuses.
#include "REST APIs/HTTP Service/FileRangeBuffer.h"

#include "platform/base/errors.h"
#include "platform/fs/fs.h"

#include <algorithm>
#include <system_error>

namespace {

// The longest single read (ReadFile counts in DWORDs).
constexpr size_t kMaxRead = 1u << 30;

[[noreturn]] void ThrowWin32(DWORD code, const char* what) {
  throw std::system_error(static_cast<int>(code), platform::Win32Category(), what);
}


// Reads up to count bytes at pos, as many as the file gives; false with
// error set when the first read fails.
bool ReadAt(HANDLE file, std::uint64_t pos, unsigned char* ptr, size_t count, size_t& done, DWORD& error) {
  done = 0;
  while (done < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(pos + done);
    at.OffsetHigh = static_cast<DWORD>((pos + done) >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, kMaxRead));
    DWORD n = 0;
    if (!ReadFile(file, ptr + done, chunk, &n, &at)) {
      error = GetLastError();
      if (error == ERROR_HANDLE_EOF) return true;  // the file shrank under us: end of stream
      return done > 0;  // hand out what was read; the next read reports the error
    }
    if (n == 0) break;
    done += n;
  }
  return true;
}

}  // namespace

OpenedFile OpenFileForReading(const std::wstring& path) {
  OpenedFile opened;
  opened.file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!opened.file) ThrowWin32(GetLastError(), "CreateFile");
  // Devices and FIFOs are not files to serve (folders do not open at all).
  if (GetFileType(opened.file.get()) != FILE_TYPE_DISK) ThrowWin32(ERROR_ACCESS_DENIED, "not a regular file");
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(opened.file.get(), &size)) ThrowWin32(GetLastError(), "GetFileSize");
  opened.size = static_cast<std::uint64_t>(size.QuadPart);
  return opened;
}

namespace Concurrency::streams::details {

using Buffer = basic_file_range_buffer<unsigned char>;

namespace {

std::vector<FileBodyPiece> ClippedPieces(std::vector<FileBodyPiece> pieces, std::uint64_t size) {
  for (FileBodyPiece& piece : pieces) {
    const std::uint64_t end = piece.offset + std::min(piece.length, UINT64_MAX - piece.offset);
    piece.offset = std::min(piece.offset, size);
    piece.length = std::min(end, size) - piece.offset;
  }
  return pieces;
}

}  // namespace

Buffer::basic_file_range_buffer(OpenedFile file, std::uint64_t offset, std::uint64_t length)
    : basic_file_range_buffer(std::move(file), std::vector<FileBodyPiece>{FileBodyPiece{{}, offset, length}}) {}

Buffer::basic_file_range_buffer(OpenedFile file, std::vector<FileBodyPiece> pieces)
    : streambuf_state_manager<unsigned char>(std::ios_base::in),
      m_file(std::move(file.file)),
      m_pieces(ClippedPieces(std::move(pieces), file.size)) {
  for (const FileBodyPiece& piece : m_pieces) {
    m_starts.push_back(m_size);
    m_size += piece.text.size() + piece.length;
  }
}

Buffer::~basic_file_range_buffer() = default;

std::shared_ptr<Buffer> Buffer::OpenRange(const std::wstring& path, std::uint64_t offset, std::uint64_t length) {
  return std::make_shared<Buffer>(OpenFileForReading(path), offset, length);
}

Concurrency::streams::basic_istream<unsigned char> Buffer::as_istream(std::shared_ptr<Buffer> buffer) {
  return Concurrency::streams::streambuf<unsigned char>(std::move(buffer)).create_istream();
}

size_t Buffer::ReadAtLocked(std::uint64_t pos, unsigned char* ptr, size_t count) {
  if (!m_file) return 0;
  size_t done = 0;
  // The piece holding pos: the last one starting at or before it.
  size_t index = static_cast<size_t>(std::upper_bound(m_starts.begin(), m_starts.end(), pos) - m_starts.begin());
  for (index = index == 0 ? 0 : index - 1; index < m_pieces.size() && done < count; ++index) {
    const FileBodyPiece& piece = m_pieces[index];
    std::uint64_t at = pos + done - m_starts[index];  // within the piece
    if (at < piece.text.size()) {
      const size_t n = static_cast<size_t>(std::min<std::uint64_t>(count - done, piece.text.size() - at));
      std::copy_n(piece.text.data() + at, n, ptr + done);
      done += n;
      at += n;
    }
    if (done == count) break;
    const std::uint64_t inWindow = at - piece.text.size();
    if (inWindow >= piece.length) continue;
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(count - done, piece.length - inWindow));
    size_t read = 0;
    DWORD error = ERROR_SUCCESS;
    if (!ReadAt(m_file.get(), piece.offset + inWindow, ptr + done, want, read, error)) {
      if (done == 0) ThrowWin32(error, "ReadFile");
      break;  // hand out what was read; the next read reports the error
    }
    done += read;
    if (read < want) break;  // the file shrank under us: the stream ends here
  }
  return done;
}

size_t Buffer::ReadLocked(unsigned char* ptr, size_t count) {
  if (m_pos >= m_size) return 0;
  const size_t done = ReadAtLocked(m_pos, ptr, static_cast<size_t>(std::min<std::uint64_t>(count, m_size - m_pos)));
  m_pos += done;
  return done;
}

Buffer::int_type Buffer::PeekLocked() {
  unsigned char c = 0;
  if (m_pos >= m_size) return traits::eof();
  return ReadAtLocked(m_pos, &c, 1) == 1 ? static_cast<int_type>(c) : traits::eof();
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
  if (m_pos < m_size) ++m_pos;
  return pplx::task_from_result<int_type>(PeekLocked());
}

pplx::task<Buffer::int_type> Buffer::_ungetc() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_pos == 0) return pplx::task_from_result<int_type>(traits::eof());
  --m_pos;
  return pplx::task_from_result<int_type>(PeekLocked());
}

Buffer::pos_type Buffer::getpos(std::ios_base::openmode direction) const {
  if (!(direction & std::ios_base::in) || !can_read()) return static_cast<pos_type>(traits::eof());
  std::lock_guard<std::mutex> hold(m_lock);
  return static_cast<pos_type>(m_pos);
}

Buffer::pos_type Buffer::seekpos(pos_type pos, std::ios_base::openmode direction) {
  if (!(direction & std::ios_base::in) || !can_read()) return static_cast<pos_type>(traits::eof());
  const auto off = static_cast<off_type>(pos);
  if (off < 0 || static_cast<std::uint64_t>(off) > m_size) return static_cast<pos_type>(traits::eof());
  std::lock_guard<std::mutex> hold(m_lock);
  m_pos = static_cast<std::uint64_t>(off);
  return pos;
}

Buffer::pos_type Buffer::seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode mode) {
  off_type base = 0;
  if (way == std::ios_base::cur) {
    base = static_cast<off_type>(getpos(mode));
    if (base < 0) return static_cast<pos_type>(traits::eof());
  } else if (way == std::ios_base::end) {
    base = static_cast<off_type>(m_size);
  }
  return seekpos(static_cast<pos_type>(base + offset), mode);
}

pplx::task<void> Buffer::_close_read() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_file.reset();
  }
  return streambuf_state_manager<unsigned char>::_close_read();
}

}  // namespace Concurrency::streams::details
