// FileRangeBuffer.h - a read-only stream buffer over a byte window of an open file.
//
// basic_file_range_buffer serves the bytes [offset, offset + length) of a
// file, clipped to the file's end, as a cpprestsdk stream buffer; the file
// response hands it to the HTTP library as the body of a 200 or 206 reply.
// Positions count from the window's start and the end is the window's end,
// so the stream looks exactly like a file holding only the window: the
// library's own length computation (seek to the end, minus the position)
// then agrees with the Content-Length announced. Reads are positioned
// ReadFile calls that complete at once; nothing here waits for the library's
// task pool, and closing or destroying the buffer closes the file on the spot.
//
// The same buffer serves a list of pieces, each some bytes of its own
// followed by a window of the file: the parts of a multipart/byteranges body
// with their heads, read as one stream.
#pragma once

#include "platform/sync/sync.h"

#include <cpprest/astreambuf.h>
#include <cpprest/streams.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An open file for reading, as the file response and the window buffer share it.
struct OpenedFile {
  platform::UniqueHandle file;
  std::uint64_t size = 0;
};

// Opens path for reading, sharing reading and writing with every other
// opener (so it fails while another opener denies that), and checks that it
// is a regular file. Throws std::system_error whose value is a Win32 code
// (2/3 missing, 5 denied or not a regular file, 32 held by another opener).
OpenedFile OpenFileForReading(const std::wstring& path);

// A piece of a body: text, then the window [offset, offset + length) of the file.
struct FileBodyPiece {
  std::string text;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

namespace Concurrency::streams::details {

template <typename CharType>
class basic_file_range_buffer;

template <>
class basic_file_range_buffer<unsigned char> : public streambuf_state_manager<unsigned char> {
 public:
  using traits = streambuf_state_manager<unsigned char>::traits;
  using int_type = streambuf_state_manager<unsigned char>::int_type;
  using pos_type = streambuf_state_manager<unsigned char>::pos_type;
  using off_type = streambuf_state_manager<unsigned char>::off_type;

  // Takes the file over; the window is clipped to file.size.
  basic_file_range_buffer(OpenedFile file, std::uint64_t offset, std::uint64_t length);
  // The pieces one after another, each window clipped to file.size.
  basic_file_range_buffer(OpenedFile file, std::vector<FileBodyPiece> pieces);
  ~basic_file_range_buffer() override;

  // Opens path and makes the buffer over [offset, offset + length); throws
  // as OpenFileForReading does.
  static std::shared_ptr<basic_file_range_buffer> OpenRange(const std::wstring& path, std::uint64_t offset,
                                                            std::uint64_t length);
  // The buffer as the input stream the HTTP library reads.
  static Concurrency::streams::basic_istream<unsigned char> as_istream(std::shared_ptr<basic_file_range_buffer> buffer);

  bool can_seek() const override { return true; }
  bool has_size() const override { return true; }
  utility::size64_t size() const override { return m_size; }
  size_t buffer_size(std::ios_base::openmode) const override { return 0; }
  void set_buffer_size(size_t, std::ios_base::openmode) override {}
  size_t in_avail() const override { return 0; }
  pos_type getpos(std::ios_base::openmode direction) const override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode direction) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode mode) override;
  bool acquire(unsigned char*& ptr, size_t& count) override {
    ptr = nullptr;
    count = 0;
    return false;
  }
  void release(unsigned char*, size_t) override {}

  pplx::task<int_type> _putc(unsigned char) override { return pplx::task_from_result<int_type>(traits::eof()); }
  pplx::task<size_t> _putn(const unsigned char*, size_t) override { return pplx::task_from_result<size_t>(0); }
  pplx::task<int_type> _bumpc() override { return pplx::task_from_result<int_type>(_sbumpc()); }
  int_type _sbumpc() override;
  pplx::task<int_type> _getc() override { return pplx::task_from_result<int_type>(_sgetc()); }
  int_type _sgetc() override;
  pplx::task<int_type> _nextc() override;
  pplx::task<int_type> _ungetc() override;
  pplx::task<size_t> _getn(unsigned char* ptr, size_t count) override;
  size_t _scopy(unsigned char*, size_t) override { return 0; }
  pplx::task<bool> _sync() override { return pplx::task_from_result(true); }
  unsigned char* _alloc(size_t) override { return nullptr; }
  void _commit(size_t) override {}
  pplx::task<void> _close_read() override;

 private:
  // Reads up to count bytes at stream position pos (not moving the read
  // position); the caller holds m_lock.
  size_t ReadAtLocked(std::uint64_t pos, unsigned char* ptr, size_t count);
  size_t ReadLocked(unsigned char* ptr, size_t count);
  int_type PeekLocked();

  // m_lock guards m_file and m_pos (the library may issue reads from several
  // task threads one after another); the pieces never change.
  mutable std::mutex m_lock;
  platform::UniqueHandle m_file;
  std::vector<FileBodyPiece> m_pieces;  // windows clipped to the file
  std::vector<std::uint64_t> m_starts;  // stream position of each piece
  std::uint64_t m_size = 0;             // of the stream: every piece's text and window
  std::uint64_t m_pos = 0;              // stream position of the next byte
};

}  // namespace Concurrency::streams::details
