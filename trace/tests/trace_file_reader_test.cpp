// trace_file_reader_test.cpp - the reader of saved trace files against the
// tests' own reader, and damaged files.
#include "trace/HuffmanCoder.h"
#include "trace/TraceFileReader.h"

#include "platform/base/errors.h"

#include "VntReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

void PutLe(Bytes& out, ULONGLONG value, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<BYTE>(value >> (8 * k)));
}

// One closed block: records of (slot, source, delta, args), then the ids.
Bytes Block(const std::vector<std::tuple<BYTE, BYTE, ULONGLONG, Bytes>>& records, const std::vector<DWORD>& ids) {
  Bytes block(2);
  for (const auto& [slot, source, delta, args] : records) {
    int deltaBytes = 1;
    while (deltaBytes < 8 && (delta >> (8 * deltaBytes)) != 0) ++deltaBytes;
    block.push_back(slot);
    block.push_back(source);
    PutLe(block, args.size() | ((deltaBytes - 1) << 13), 2);
    PutLe(block, delta, deltaBytes);
    block.insert(block.end(), args.begin(), args.end());
  }
  block[0] = static_cast<BYTE>(block.size());
  block[1] = static_cast<BYTE>(block.size() >> 8);
  for (DWORD id : ids) PutLe(block, id, 4);
  return block;
}

Bytes Compress(const Bytes& data) {
  CHuffmanCoder coder;
  coder.BuildCodes(data.data(), static_cast<DWORD>(data.size()));
  Bytes out(coder.GetCompressedSize());
  EXPECT_TRUE(coder.Encode(data.data(), static_cast<DWORD>(data.size()), out.data(), out.size()));
  return out;
}

// A file of two sources, one property and two blocks.
Bytes SampleFile() {
  Bytes file{3};
  for (std::string entry : {"Worker", "Listener", "ServiceName::Webbridge"}) {
    file.push_back(static_cast<BYTE>(entry.size()));
    file.insert(file.end(), entry.begin(), entry.end());
  }
  std::mt19937 random(7);
  Bytes big(3000);
  for (auto& b : big) b = static_cast<BYTE>(random() % 5);
  const Bytes first = Block({{0, 0, 1700000000000ULL, {2, 0, 2, 'h', 0, 'i', 0}}, {1, 255, 5, {}}, {0, 1, 300, big}},
                            {0x40010001, 0xC0010002});
  const Bytes second = Block({{0, 1, 1700000009999ULL, {6, 0x34, 0x12}}}, {0x00010003});
  PutLe(file, 10, 8);
  const Bytes a = Compress(first);
  file.insert(file.end(), a.begin(), a.end());
  PutLe(file, 40, 8);
  const Bytes b = Compress(second);
  file.insert(file.end(), b.begin(), b.end());
  return file;
}

TEST(TraceFileReaderTest, ReadsWhatTheIndependentReaderReads) {
  const Bytes data = SampleFile();
  TraceFileContents contents;
  ASSERT_EQ(ParseTraceFile(data.data(), data.size(), contents), 0u);
  EXPECT_EQ(contents.sources, (std::vector<std::string>{"Worker", "Listener"}));
  EXPECT_EQ(contents.properties.at("ServiceName"), "Webbridge");

  const std::string path = ::testing::TempDir() + "reader_sample.VNT";
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(data.data(), 1, data.size(), out);
  std::fclose(out);
  const auto oracle = vnt::ReadFile(path);
  ASSERT_TRUE(oracle);
  ASSERT_EQ(contents.lines.size(), oracle->lines.size());
  for (std::size_t i = 0; i < contents.lines.size(); ++i) {
    const auto& mine = contents.lines[i];
    const auto& theirs = oracle->lines[i];
    EXPECT_EQ(mine.number, theirs.number);
    EXPECT_EQ(mine.messageId, theirs.id);
    EXPECT_EQ(mine.sourceIndex, theirs.source);
    EXPECT_EQ(mine.time, theirs.time);
    EXPECT_EQ(mine.args, theirs.args);
  }
  EXPECT_EQ(contents.lines[1].time, 1700000000005ULL);
  EXPECT_EQ(contents.lines[3].number, 40u);

  TraceFileContents fromDisk;
  EXPECT_EQ(ReadTraceFile(std::wstring(path.begin(), path.end()), fromDisk), 0u);
  EXPECT_EQ(fromDisk.lines.size(), contents.lines.size());
  std::remove(path.c_str());
}

TEST(TraceFileReaderTest, AMissingFileAnswersItsCode) {
  TraceFileContents contents;
  EXPECT_EQ(ReadTraceFile(L"/nonexistent-folder/x.VNT", contents), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// Every cut and many flipped bits end in ERROR_INVALID_DATA or a parse of
// what is there, never a read past the data (ASan watches the copies).
TEST(TraceFileReaderTest, DamagedFilesAreRefusedNotOverread) {
  const Bytes data = SampleFile();
  for (std::size_t cut = 0; cut < data.size(); ++cut) {
    Bytes copy(data.begin(), data.begin() + cut);
    copy.shrink_to_fit();
    TraceFileContents contents;
    const DWORD rc = ParseTraceFile(copy.data(), copy.size(), contents);
    EXPECT_TRUE(rc == ERROR_INVALID_DATA || rc == 0) << cut;
  }
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    Bytes copy = data;
    copy[random() % copy.size()] ^= static_cast<BYTE>(1u << (random() % 8));
    TraceFileContents contents;
    const DWORD rc = ParseTraceFile(copy.data(), copy.size(), contents);
    EXPECT_TRUE(rc == ERROR_INVALID_DATA || rc == 0) << round;
  }
}

TEST(TraceFileReaderTest, MalformedHeadersAndBlocks) {
  struct Case {
    const char* name;
    Bytes data;
  } cases[] = {
      {"empty file", {}},
      {"entry past the end", {1, 5, 'a'}},
      {"a source after a property", {2, 4, 'a', ':', ':', 'b', 1, 'c'}},
      {"block header cut", {0, 1, 2, 3}},
      {"code width above 7", {0, 0, 0, 0, 0, 0, 0, 0, 0, 8}},
  };
  for (const auto& c : cases) {
    TraceFileContents contents;
    EXPECT_EQ(ParseTraceFile(c.data.data(), c.data.size(), contents), static_cast<DWORD>(ERROR_INVALID_DATA))
        << c.name;
  }
  // A block whose table offset lies inside a record, or a record naming a
  // slot the table lacks.
  for (const Bytes& block : {Bytes{3, 0, 0, 0, 0, 0, 0}, Block({{1, 0, 1, {}}}, {7})}) {
    Bytes file{0};
    PutLe(file, 0, 8);
    const Bytes packed = Compress(block);
    file.insert(file.end(), packed.begin(), packed.end());
    TraceFileContents contents;
    EXPECT_EQ(ParseTraceFile(file.data(), file.size(), contents), static_cast<DWORD>(ERROR_INVALID_DATA));
  }
}

TEST(TraceFileReaderTest, DecodeRefusesNonPrefixCodesAndOversizedCounts) {
  // Width 1: value 0 and value 1 both get the one-bit code 0.
  CHuffmanBase::CBitBuffer bits;
  bits.Write(1, 8);
  for (int value = 0; value < 256; ++value) {
    bits.Write(value < 2 ? 1 : 0, 1);
    if (value < 2) bits.Write(0, 1);
  }
  bits.Write(1, 32);
  bits.Write(0, 8);
  bits.Flush();
  const Bytes clash = bits.TakeChunks();
  std::vector<BYTE> out;
  std::size_t used = 0;
  EXPECT_EQ(CHuffmanCoder::Decode(clash.data(), clash.size(), 16384, out, used), static_cast<DWORD>(ERROR_INVALID_DATA));

  const Bytes packed = Compress(Bytes(100, 'x'));
  EXPECT_EQ(CHuffmanCoder::Decode(packed.data(), packed.size(), 99, out, used), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(CHuffmanCoder::Decode(packed.data(), packed.size(), 100, out, used), 0u);
  EXPECT_EQ(out, Bytes(100, 'x'));
  EXPECT_EQ(used, packed.size());
}

}  // namespace
