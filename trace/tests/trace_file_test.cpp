// trace_file_test.cpp - the Huffman coder and ".VNT" files, read back by the
// tests' own reader (VntReader.h).
#include "trace/HuffmanCoder.h"
#include "trace/TraceFile.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include "TrcTest.h"
#include "TraceTestSupport.h"
#include "VntReader.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;

Bytes Compress(const Bytes& data, CHuffmanCoder& coder) {
  coder.BuildCodes(data.data(), static_cast<DWORD>(data.size()));
  Bytes out(coder.GetCompressedSize());
  EXPECT_TRUE(coder.Encode(data.data(), static_cast<DWORD>(data.size()), out.data(), out.size()));
  return out;
}

Bytes RoundTrip(const Bytes& data) {
  CHuffmanCoder coder;
  const Bytes packed = Compress(data, coder);
  Bytes back;
  EXPECT_EQ(vnt::DecodeBlock(packed.data(), packed.size(), back), packed.size());
  return back;
}

TEST(HuffmanTest, BlocksRoundTrip) {
  std::mt19937 random(3);
  Bytes skewed(16384), uniform(5000), all(256);
  for (auto& b : skewed) b = static_cast<BYTE>(random() % 7 == 0 ? random() : random() % 4);
  for (auto& b : uniform) b = static_cast<BYTE>(random());
  for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
  const Bytes cases[] = {{}, {'x'}, Bytes(1000, 0x41), {'a', 'b'}, {'a', 'b', 'b', 'a'}, skewed, uniform, all};
  for (const Bytes& data : cases) EXPECT_EQ(RoundTrip(data), data) << data.size();
}

// One distinct value gets a one-bit code: a table of lengths 0 only would
// not tell a reader which byte the block is made of.
TEST(HuffmanTest, OneDistinctByteValueStillDecodes) {
  CHuffmanCoder coder;
  const Bytes packed = Compress(Bytes(100, 0x41), coder);
  EXPECT_EQ(coder.GetWidth(), 1u);
  EXPECT_EQ(coder.GetCodes()[0x41].length, 1u);
  EXPECT_EQ(packed.size(), (1u + 100 + 256 + 8 + 32 + 7) / 8);
  EXPECT_EQ(RoundTrip(Bytes(100, 0x41)), Bytes(100, 0x41));
}

TEST(HuffmanTest, AnEmptyBlockIsFiveBytes) {
  CHuffmanCoder coder;
  const Bytes packed = Compress({}, coder);
  EXPECT_EQ(coder.GetWidth(), 0u);
  EXPECT_EQ(packed, (Bytes{0, 0, 0, 0, 0}));
}

TEST(HuffmanTest, TheMoreFrequentOrEarlierValueGetsCodeZero) {
  struct Case {
    Bytes data;
    BYTE zero, one;
  } cases[] = {
      {{'a', 'b', 'b', 'a'}, 'b', 'a'},  // equal counts: b reached 2 first
      {{'a', 'b', 'b'}, 'b', 'a'},
      {{'b', 'a', 'a', 'a'}, 'a', 'b'},
      {{'a', 'b'}, 'a', 'b'},
  };
  for (const auto& c : cases) {
    CHuffmanCoder coder;
    coder.BuildCodes(c.data.data(), static_cast<DWORD>(c.data.size()));
    const auto* codes = coder.GetCodes();
    EXPECT_EQ(codes[c.zero].length, 1u);
    EXPECT_EQ(codes[c.zero].code, 0u);
    EXPECT_EQ(codes[c.one].length, 1u);
    EXPECT_EQ(codes[c.one].code, 1u);
  }
}

TEST(HuffmanTest, SizeFollowsTheFormula) {
  Bytes data;
  for (int i = 0; i < 40; ++i) data.insert(data.end(), {'a', 'a', 'a', 'b', 'b', 'c', 'd', 'e'});
  CHuffmanCoder coder;
  const Bytes packed = Compress(data, coder);
  ULONGLONG lengths = 0, dataBits = 0, longest = 0;
  for (int c = 0; c < 256; ++c) {
    lengths += coder.GetCodes()[c].length;
    dataBits += coder.GetCodes()[c].length * std::count(data.begin(), data.end(), c);
    longest = std::max<ULONGLONG>(longest, coder.GetCodes()[c].length);
  }
  DWORD width = 0;
  while ((longest >> width) != 0) ++width;
  EXPECT_EQ(coder.GetWidth(), width);
  EXPECT_EQ(packed.size(), (lengths + dataBits + 256 * width + 8 + 32 + 7) / 8);
  EXPECT_LT(packed.size(), data.size());
}

TEST(HuffmanTest, EncodeRefusesASmallDestination) {
  CHuffmanCoder coder;
  const Bytes data(64, 'q');
  coder.BuildCodes(data.data(), 64);
  Bytes out(coder.GetCompressedSize() - 1);
  EXPECT_FALSE(coder.Encode(data.data(), 64, out.data(), out.size()));
}

TEST(BitBufferTest, WithoutADestinationItCollectsChunks) {
  CHuffmanBase::CBitBuffer bits;
  Bytes expected;
  for (int i = 0; i < 5000; ++i) {
    bits.Write(i & 0xF, 4);
    bits.Write((i >> 4) & 0xF, 4);
    expected.push_back(static_cast<BYTE>(i));
  }
  bits.Write(1, 3);
  expected.push_back(1);
  EXPECT_EQ(bits.Flush(), 5001u);
  EXPECT_EQ(bits.TakeChunks(), expected);
}

class FileTest : public trace_test::LoggerTest {
 protected:
  BYTE* Add(CTraceFile& file, ULONGLONG number, DWORD argLength = 1, CTraceLoggable* source = nullptr) {
    CTraceBuffer lineBuffer;
    BYTE* place = file.AddLine(TRC_INT, source ? source : &m_source, 1700000000000ULL + number, argLength, number,
                               lineBuffer);
    if (place) std::fill(place, place + argLength, static_cast<BYTE>(number));
    return place;
  }
  std::string PathOf(const CTraceFile& file) {
    std::string path = platform::Utf8FromWide(file.GetFileName());
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  }
};

TEST_F(FileTest, TheHeaderHoldsSourcesThenProperties) {
  trace_test::NamedSource other("Other");
  for (bool prefixed : {true, false}) {
    m_logger.SetFilePrefix(prefixed ? L"Test" : L"");
    CTraceFile file(&m_logger, 0, prefixed ? 1 : 2);
    ASSERT_TRUE(Add(file, 0));
    ASSERT_TRUE(Add(file, 1, 1, &other));
    file.MarkRange(0, 2);
    ASSERT_EQ(file.SaveFile(), 0u);
    std::string error;
    auto read = vnt::ReadFile(PathOf(file), &error);
    ASSERT_TRUE(read) << error;
    const std::vector<std::string> expected =
        prefixed ? std::vector<std::string>{"Worker", "Other", "ServiceName::Test"}
                 : std::vector<std::string>{"Worker", "Other"};
    EXPECT_EQ(read->entries, expected);
    ASSERT_EQ(read->lines.size(), 2u);
    EXPECT_EQ(read->lines[1].source, 1);
    EXPECT_EQ(read->lines[1].time, 1700000000001ULL);
    EXPECT_EQ(read->lines[1].id, TRC_INT);
  }
}

TEST_F(FileTest, OnlyMarkedBuffersAreWrittenAndThenWhole) {
  CTraceFile file(&m_logger, 0, 0);
  // Four lines of 4000 bytes fill a block: buffers start at 0, 4 and 8.
  for (ULONGLONG n = 0; n < 12; ++n) ASSERT_TRUE(Add(file, n, 4000));
  file.MarkRange(1, 1);
  file.MarkRange(11, 1);
  ASSERT_EQ(file.SaveFile(), 0u);
  auto read = vnt::ReadFile(PathOf(file));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->blockFirstLines, (std::vector<std::uint64_t>{0, 8}));
  ASSERT_EQ(read->lines.size(), 8u);
  for (const auto& line : read->lines) {
    EXPECT_EQ(line.args.size(), 4000u);
    EXPECT_EQ(line.args[0], static_cast<BYTE>(line.number));
  }
  EXPECT_EQ(read->lines.back().number, file.GetLineCount() - 1);
}

TEST_F(FileTest, AnUnmarkedFileIsNotWritten) {
  CTraceFile file(&m_logger, 0, 0);
  ASSERT_TRUE(Add(file, 0));
  EXPECT_EQ(file.SaveFile(), 0u);
  EXPECT_FALSE(fs::exists(PathOf(file)));
}

TEST_F(FileTest, AMissingDirectoryIsCreatedOnceAndAMissingParentFails) {
  CTraceFile file(&m_logger, 0, 0);
  ASSERT_TRUE(Add(file, 0));
  file.MarkRange(0, 1);
  ASSERT_FALSE(fs::exists(m_dir));
  EXPECT_EQ(file.SaveFile(), 0u);
  EXPECT_TRUE(fs::exists(PathOf(file)));
  EXPECT_FALSE(file.IsDirty());

  m_logger.SetDirectory(trace_test::Wide(m_dir / "missing" / "deeper"));
  file.MarkRange(0, 1);
  EXPECT_EQ(file.SaveFile(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(file.IsDirty());
  EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

// A file whose save failed when it was dropped gives up its buffers; it must
// not later write a header-only file over the good one saved before.
TEST_F(FileTest, AFailedSaveNeverLaterReplacesAGoodFile) {
  CTraceLine held(nullptr);
  std::string path, good;
  {
    CTraceFile file(&m_logger, 0, 0);
    ASSERT_TRUE(Add(file, 0));
    file.MarkRange(0, 1);
    ASSERT_EQ(file.SaveFile(), 0u);
    path = PathOf(file);
    std::ifstream in(path, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    held = file.GetLine(&m_logger, 0);  // a reader keeps the buffer alive
    file.MarkRange(0, 1);
    // The next save cannot create its file: the folder is not writable as a
    // folder any more (a file stands in its place).
    fs::rename(m_dir, m_dir.string() + ".aside");
    std::ofstream(m_dir.string()).put('x');
  }  // last handle: the save fails, the buffers go
  fs::remove(m_dir);
  fs::rename(m_dir.string() + ".aside", m_dir);
  held = CTraceLine(nullptr);  // the buffer and then the file body go
  std::ifstream in(path, std::ios::binary);
  const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(now, good);
}

// The file saves when its last handle goes, not before and not only when
// the lines read from it go too; a line held past that still reads.
TEST_F(FileTest, TheLastFileHandleSavesAndHeldLinesStillRead) {
  CTraceLine held(nullptr);
  std::string path;
  {
    CTraceFile file(&m_logger, 0, 0);
    ASSERT_TRUE(Add(file, 0, 3));
    ASSERT_TRUE(Add(file, 1, 5));
    file.MarkRange(0, 2);
    path = PathOf(file);
    held = file.GetLine(&m_logger, 1);
    {
      const CTraceFile copy(file);
    }
    EXPECT_FALSE(fs::exists(path));  // another handle is left
  }
  ASSERT_TRUE(fs::exists(path));
  auto read = vnt::ReadFile(path);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lines.size(), 2u);

  ASSERT_FALSE(held.IsEmpty());
  EXPECT_EQ(held.GetTime(), 1700000000001ULL);
  EXPECT_EQ(held.GetSource(), &m_source);
  const BYTE* bytes;
  DWORD length;
  held.GetArgBytes(&bytes, &length);
  EXPECT_EQ(std::vector<BYTE>(bytes, bytes + length), std::vector<BYTE>(5, 1));
  const CTraceBuffer buffer = held.GetBuffer();
  EXPECT_EQ(buffer.GetLineCount(), 2u);
  EXPECT_EQ(buffer.GetSourcePointer(0), &m_source);
  EXPECT_TRUE(buffer.GetLine(&m_logger, 0).GetSource() == &m_source);
}

// A buffer made for a file keeps that file for as long as it is held.
TEST_F(FileTest, ABufferOutlivesNoHandleOfItsFile) {
  CTraceBuffer buffer;
  {
    CTraceFile file(&m_logger, 40, 0);
    buffer = CTraceBuffer(40, file);
  }
  CTraceBuffer lineBuffer;
  BYTE* place = buffer.AddLine(TRC_INT, 255, 1700000000000ULL, 2, lineBuffer);
  ASSERT_NE(place, nullptr);
  place[0] = 7;
  place[1] = 9;
  EXPECT_EQ(lineBuffer.GetRep(), buffer.GetRep());
  buffer = CTraceBuffer();
  const CTraceLine line = lineBuffer.GetLine(&m_logger, 40);
  lineBuffer = CTraceBuffer();
  ASSERT_FALSE(line.IsEmpty());
  const BYTE* bytes;
  DWORD length;
  line.GetArgBytes(&bytes, &length);
  EXPECT_EQ(std::vector<BYTE>(bytes, bytes + length), (std::vector<BYTE>{7, 9}));
  EXPECT_EQ(line.GetSource(), nullptr);
  EXPECT_EQ(line.GetMessageId(), TRC_INT);
}

TEST_F(FileTest, LongNamesAreCutTo255Bytes) {
  trace_test::NamedSource longName(std::string(300, 'n'));
  m_logger.SetFilePrefix(L"a" + std::wstring(300, L'\u00e9'));  // two UTF-8 bytes each
  CTraceFile file(&m_logger, 0, 0);
  ASSERT_TRUE(Add(file, 0, 1, &longName));
  file.MarkRange(0, 1);
  m_logger.SetFilePrefix(L"Test");  // the file name stays short
  ASSERT_EQ(file.SaveFile(), 0u);
  auto read = vnt::ReadFile(PathOf(file));
  ASSERT_TRUE(read);
  ASSERT_EQ(read->entries.size(), 2u);
  EXPECT_EQ(read->entries[0], std::string(255, 'n'));
  EXPECT_EQ(read->entries[1].size(), 254u);  // "ServiceName::a" + 120 whole characters
  EXPECT_EQ(read->lines.size(), 1u);
}

// An oversized line refused by a fresh buffer leaves that buffer empty; the
// next line goes into it, so no two buffers share a first line.
TEST_F(FileTest, AnEmptyBufferLeftByARefusalIsReused) {
  CTraceFile file(&m_logger, 0, 0);
  ULONGLONG n = 0;
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(Add(file, n, 9000), nullptr);
    ASSERT_NE(Add(file, n, 10), nullptr);
    ++n;
  }
  EXPECT_EQ(file.GetLineCount(), n);
  for (ULONGLONG k = 0; k < n; ++k) {
    const CTraceLine line = file.GetLine(&m_logger, k);
    ASSERT_FALSE(line.IsEmpty()) << k;
    EXPECT_EQ(line.GetTime(), 1700000000000ULL + k);
  }
}

TEST_F(FileTest, SourcesAndPropertiesStayWithin255Entries) {
  std::vector<std::unique_ptr<trace_test::NamedSource>> sources;
  CTraceFile file(&m_logger, 0, 0);
  ULONGLONG n = 0;
  for (int i = 0; i < 260; ++i) {
    sources.push_back(std::make_unique<trace_test::NamedSource>("s" + std::to_string(i)));
    if (Add(file, n, 1, sources.back().get())) ++n;
  }
  EXPECT_EQ(n, 254u);  // with the ServiceName property
  EXPECT_NE(Add(file, n, 1, sources[0].get()), nullptr);
  file.MarkRange(0, 255);
  ASSERT_EQ(file.SaveFile(), 0u);
  auto read = vnt::ReadFile(PathOf(file));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->entries.size(), 255u);
}

}  // namespace
