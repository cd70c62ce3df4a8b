// HuffmanCoder.h - the byte-wise prefix coder of trace file blocks.
//
// Byte values are sorted by count with the adaptive frequency model of the
// Witten-Neal-Cleary arithmetic coder and then split recursively at half of
// their cumulative count; the split depth is the code length, the branch at
// depth k is bit k of the code. A compressed block is a bit stream filled
// from bit 0 of each byte upward: W (8 bits), for each byte value 0..255 its
// code length (W bits) and code (that many bits), the byte count (32 bits),
// then every byte's code; the last byte is padded with zero bits.
//
// Invariant: every byte value that occurs has a code of at least one bit, so
// a block always decodes (a block of one distinct value gets the code 0 of
// length 1, where the bare split would give it no bits at all).
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <memory>
#include <vector>

class CHuffmanBase {
 public:
  class CBitBuffer;
  virtual ~CHuffmanBase() = default;
};

// Writes bits least significant first into a destination of a given
// capacity; without one it collects its output in 4096-byte chunks.
class CHuffmanBase::CBitBuffer {
 public:
  CBitBuffer(BYTE* destination, std::size_t capacity);
  CBitBuffer();
  virtual ~CBitBuffer() = default;

  // Writes the low count bits of value (count <= 64). False once the
  // destination is full (nothing is written past it).
  bool Write(ULONGLONG value, unsigned count);
  // Pads the last byte with zero bits; returns the bytes written.
  std::size_t Flush();
  // The collected output (without a destination only).
  std::vector<BYTE> TakeChunks();

 private:
  BYTE* m_out;
  std::size_t m_capacity;
  std::size_t m_used = 0;
  ULONGLONG m_acc = 0;
  unsigned m_bits = 0;
  bool m_overflow = false;
  std::vector<std::unique_ptr<BYTE[]>> m_chunks;
  bool PutByte(BYTE b);
};

class CHuffmanCoder : public CHuffmanBase {
 public:
  class CRep;
  struct Code {
    DWORD length;
    ULONGLONG code;
  };

  CHuffmanCoder();
  CHuffmanCoder(const CHuffmanCoder& other);
  CHuffmanCoder& operator=(CHuffmanCoder other) noexcept;
  ~CHuffmanCoder() override;

  // Counts the bytes and assigns the codes; afterwards GetCodes, GetWidth and
  // GetCompressedSize describe the block.
  void BuildCodes(const BYTE* bytes, DWORD length);
  // Writes the compressed block of the bytes the codes were built for; false
  // when capacity is below GetCompressedSize().
  bool Encode(const BYTE* bytes, DWORD length, BYTE* destination, std::size_t capacity) const;

  // Decodes one compressed block from the front of data into out (at most
  // maxBytes decoded bytes). Sets used to the bytes the block took. A block
  // that runs past data, a code table that is not a prefix code, or a byte
  // count above maxBytes is ERROR_INVALID_DATA: files read back may be
  // damaged or hostile.
  static DWORD Decode(const BYTE* data, std::size_t size, std::size_t maxBytes, std::vector<BYTE>& out,
                      std::size_t& used);

  const Code* GetCodes() const;  // 256 entries
  DWORD GetWidth() const;
  DWORD GetCompressedSize() const;

 private:
  CRep* m_rep;
};
