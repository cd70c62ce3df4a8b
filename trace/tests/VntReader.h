// VntReader.h - a reader of ".VNT" trace files for the tests, written from the
// file format alone and sharing no code with the trace library: the header
// entries, the Huffman-coded blocks, the records and the argument bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vnt {

struct Line {
  std::uint64_t number = 0;
  std::uint32_t id = 0;
  std::uint8_t source = 0;
  std::uint64_t time = 0;
  std::vector<std::uint8_t> args;
};

struct File {
  std::vector<std::string> entries;  // sources first, then "key::value"
  std::vector<std::uint64_t> blockFirstLines;
  std::vector<Line> lines;
};

// One decoded argument entry.
struct Arg {
  int tag = -1;
  std::string narrow;
  std::u16string wide;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
};

class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  bool Read(unsigned count, std::uint64_t& value) {
    value = 0;
    for (unsigned k = 0; k < count; ++k) {
      if (m_bit / 8 >= m_size) return false;
      const unsigned bit = (m_data[m_bit / 8] >> (m_bit % 8)) & 1;
      value |= static_cast<std::uint64_t>(bit) << k;
      ++m_bit;
    }
    return true;
  }
  std::size_t BytesUsed() const { return (m_bit + 7) / 8; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_bit = 0;
};

// Decodes one compressed block; returns the bytes the block took, 0 on error.
inline std::size_t DecodeBlock(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
  BitReader bits(data, size);
  std::uint64_t width;
  if (!bits.Read(8, width) || width > 7) return 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint8_t> codes;  // (length, code) -> byte
  for (int c = 0; c < 256; ++c) {
    std::uint64_t length, code;
    if (!bits.Read(static_cast<unsigned>(width), length) || length > 64) return 0;
    if (!bits.Read(static_cast<unsigned>(length), code)) return 0;
    if (length > 0) codes[{length, code}] = static_cast<std::uint8_t>(c);
  }
  std::uint64_t count;
  if (!bits.Read(32, count)) return 0;
  out.clear();
  for (std::uint64_t n = 0; n < count; ++n) {
    std::uint64_t code = 0, length = 0, bit;
    while (true) {
      if (length == 64 || !bits.Read(1, bit)) return 0;
      code |= bit << length;
      ++length;
      auto found = codes.find({length, code});
      if (found != codes.end()) {
        out.push_back(found->second);
        break;
      }
    }
  }
  return bits.BytesUsed();
}

// Records of a closed block: u16 table offset, records, u32 id per slot.
inline bool ParseBlock(const std::vector<std::uint8_t>& block, std::uint64_t firstLine, std::vector<Line>& lines) {
  if (block.size() < 2) return false;
  const std::size_t table = block[0] | (block[1] << 8);
  if (table < 2 || table > block.size() || (block.size() - table) % 4 != 0) return false;
  auto idOf = [&](std::uint8_t slot, std::uint32_t& id) {
    const std::size_t at = table + 4 * std::size_t{slot};
    if (at + 4 > block.size()) return false;
    id = block[at] | (block[at + 1] << 8) | (block[at + 2] << 16) | (std::uint32_t{block[at + 3]} << 24);
    return true;
  };
  std::size_t at = 2;
  std::uint64_t time = 0, number = firstLine;
  while (at < table) {
    if (at + 4 > table) return false;
    Line line;
    line.number = number++;
    const std::uint8_t slot = block[at];
    line.source = block[at + 1];
    const unsigned bits = block[at + 2] | (block[at + 3] << 8);
    const std::size_t argLength = bits & 0x1FFF, deltaBytes = (bits >> 13) + 1;
    if (at + 4 + deltaBytes + argLength > table) return false;
    std::uint64_t delta = 0;
    for (std::size_t k = 0; k < deltaBytes; ++k) delta |= std::uint64_t{block[at + 4 + k]} << (8 * k);
    time += delta;
    line.time = time;
    if (!idOf(slot, line.id)) return false;
    line.args.assign(block.begin() + at + 4 + deltaBytes, block.begin() + at + 4 + deltaBytes + argLength);
    lines.push_back(std::move(line));
    at += 4 + deltaBytes + argLength;
  }
  return true;
}

inline std::optional<File> ReadFile(const std::string& path, std::string* error = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return std::nullopt;
  }
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto fail = [&](const char* what) -> std::optional<File> {
    if (error) *error = what;
    return std::nullopt;
  };
  if (data.empty()) return fail("empty file");
  File file;
  std::size_t at = 1;
  for (unsigned e = 0; e < data[0]; ++e) {
    if (at >= data.size() || at + 1 + data[at] > data.size()) return fail("entry past the end");
    file.entries.emplace_back(reinterpret_cast<const char*>(&data[at + 1]), data[at]);
    at += 1 + data[at];
  }
  while (at < data.size()) {
    if (at + 8 > data.size()) return fail("block header past the end");
    std::uint64_t first = 0;
    for (int k = 0; k < 8; ++k) first |= std::uint64_t{data[at + k]} << (8 * k);
    at += 8;
    std::vector<std::uint8_t> block;
    const std::size_t used = DecodeBlock(&data[at], data.size() - at, block);
    if (used == 0) return fail("bad compressed block");
    at += used;
    file.blockFirstLines.push_back(first);
    if (!ParseBlock(block, first, file.lines)) return fail("bad block");
  }
  return file;
}

// The argument entries of a line, in order; a cut-short entry ends the list
// with tag -1.
inline std::vector<Arg> DecodeArgs(const std::vector<std::uint8_t>& bytes) {
  std::vector<Arg> args;
  std::size_t at = 0;
  while (at < bytes.size()) {
    Arg arg;
    arg.tag = bytes[at++];
    const std::size_t left = bytes.size() - at;
    if (arg.tag == 1 || arg.tag == 2) {
      if (left < 2) return args.push_back(Arg{}), args;
      const std::size_t n = (bytes[at] << 8) | bytes[at + 1];
      at += 2;
      const std::size_t size = arg.tag == 1 ? n : 2 * n;
      if (bytes.size() - at < size) return args.push_back(Arg{}), args;
      if (arg.tag == 1)
        arg.narrow.assign(reinterpret_cast<const char*>(&bytes[at]), n);
      else
        for (std::size_t k = 0; k < n; ++k) arg.wide += static_cast<char16_t>(bytes[at + 2 * k] | (bytes[at + 2 * k + 1] << 8));
      at += size;
    } else if (arg.tag >= 4 && arg.tag <= 19) {
      const std::size_t k = arg.tag <= 11 ? arg.tag - 3 : arg.tag - 11;
      if (left < k) return args.push_back(Arg{}), args;
      std::uint64_t v = 0;
      for (std::size_t b = 0; b < k; ++b) v |= std::uint64_t{bytes[at + b]} << (8 * b);
      if (arg.tag <= 11 && k < 8 && (bytes[at + k - 1] & 0x80)) v |= ~0ULL << (8 * k);
      arg.u = v;
      arg.i = static_cast<std::int64_t>(v);
      at += k;
    } else if (arg.tag == 20) {
      if (left < 8) return args.push_back(Arg{}), args;
      std::uint64_t v = 0;
      for (int b = 0; b < 8; ++b) v |= std::uint64_t{bytes[at + b]} << (8 * b);
      std::memcpy(&arg.d, &v, 8);
      at += 8;
    } else if (arg.tag != 0 && arg.tag != 3) {
      return args.push_back(Arg{}), args;
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace vnt
