// trace_buffer_test.cpp - records of a 16 KiB block: time deltas, slots, the
// id table, reading by number and the refusals that must leave it sound.
#include "trace/TraceBuffer.h"

#include "trace/TraceFile.h"

#include "TrcTest.h"
#include "TraceTestSupport.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace {

constexpr ULONGLONG kT0 = 1700000000000ULL;  // ms since 1970: six bytes

class BufferTest : public ::testing::Test {
 protected:
  void SetUp() override { trace_test::LoadTestMessages(); }
  // Adds a line and fills its argument bytes with a pattern of its number.
  bool Add(DWORD id, ULONGLONG time, DWORD argLength = 0) {
    CTraceBuffer lineBuffer;
    BYTE* place = m_buffer.AddLine(id, 0, time, argLength, lineBuffer);
    if (place == nullptr) return false;
    std::fill(place, place + argLength, static_cast<BYTE>(m_added));
    ++m_added;
    return true;
  }
  const BYTE* Record(std::size_t offset) { return m_buffer.CloseBlock() + offset; }

  CTraceLogger m_logger;
  CTraceFile m_file{&m_logger, 0, 0};
  CTraceBuffer m_buffer{0, m_file};
  int m_added = 0;
};

TEST_F(BufferTest, TimeDeltasTakeTheFewestBytes) {
  ASSERT_TRUE(Add(1, kT0));
  ASSERT_TRUE(Add(1, kT0 + 300));
  ASSERT_TRUE(Add(1, kT0 + 300));
  const BYTE* block = m_buffer.CloseBlock();
  // First line: 6-byte delta from 1970.
  EXPECT_EQ(block[4] | (block[5] << 8), 5 << 13);
  EXPECT_EQ(block[6] | (block[7] << 8) | (block[8] << 16), static_cast<int>(kT0 & 0xFFFFFF));
  // 300 ms later: 2 bytes.
  EXPECT_EQ(block[14] | (block[15] << 8), 1 << 13);
  EXPECT_EQ(block[16] | (block[17] << 8), 300);
  // Same millisecond, no arguments: 5 bytes.
  EXPECT_EQ(block[0] | (block[1] << 8), 2 + 10 + 6 + 5);
  EXPECT_EQ(m_buffer.GetClosedLength(), 2u + 10 + 6 + 5 + 4);
  EXPECT_EQ(m_buffer.GetLine(&m_logger, 2).GetTime(), kT0 + 300);
}

TEST_F(BufferTest, A256thIdIsRefusedEvenWithRoom) {
  for (DWORD id = 0; id < 255; ++id) ASSERT_TRUE(Add(0x10000 + id, kT0)) << id;
  EXPECT_FALSE(Add(0x20000, kT0));
  EXPECT_TRUE(Add(0x10000, kT0));  // a known id still fits
}

TEST_F(BufferTest, AClosedBlockReadsThroughItsTableAndReopens) {
  ASSERT_TRUE(Add(TRC_INT, kT0, 3));
  ASSERT_TRUE(Add(TRC_STRING, kT0 + 1, 0));
  m_buffer.CloseBlock();
  EXPECT_EQ(m_buffer.GetLine(&m_logger, 0).GetTime(), kT0);
  EXPECT_EQ(m_buffer.GetLineCount(), 2u);
  // The table is overwritten by the next record; reading goes through the maps.
  ASSERT_TRUE(Add(TRC_PLAIN, kT0 + 2, 1));
  const BYTE* block = m_buffer.CloseBlock();
  EXPECT_EQ(block[0] | (block[1] << 8), 2 + 13 + 5 + 6);
  const DWORD expected[] = {TRC_INT, TRC_STRING, TRC_PLAIN};
  for (ULONGLONG n = 0; n < 3; ++n) {
    const CTraceLine line = m_buffer.GetLine(&m_logger, n);
    const BYTE* args;
    DWORD length;
    line.GetArgBytes(&args, &length);
    EXPECT_EQ(length, n == 0 ? 3u : n == 1 ? 0u : 1u);
    EXPECT_EQ(line.GetTime(), kT0 + n);
    EXPECT_EQ(line.GetMessageId(), expected[n]);
  }
  EXPECT_TRUE(m_buffer.GetLine(&m_logger, 3).IsEmpty());
}

TEST_F(BufferTest, LinesReadBackInAnyOrder) {
  std::mt19937 random(7);
  std::vector<ULONGLONG> times;
  ULONGLONG t = kT0;
  while (true) {
    t += random() % 70000;  // 1 to 3 delta bytes
    if (!Add(1 + random() % 5, t, random() % 6)) break;
    times.push_back(t);
  }
  ASSERT_GT(times.size(), 1000u);
  EXPECT_EQ(m_buffer.GetLineCount(), times.size());
  std::vector<ULONGLONG> order(times.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  for (int pass = 0; pass < 2; ++pass) {
    for (ULONGLONG n : order) {
      const CTraceLine line = m_buffer.GetLine(&m_logger, n);
      ASSERT_FALSE(line.IsEmpty()) << n;
      EXPECT_EQ(line.GetTime(), times[n]) << n;
      const BYTE* args;
      DWORD length;
      line.GetArgBytes(&args, &length);
      for (DWORD k = 0; k < length; ++k) EXPECT_EQ(args[k], static_cast<BYTE>(n));
    }
    m_buffer.CloseBlock();  // the second pass reads a closed block
  }
}

// A record's length field has 13 bits: 8192 argument bytes would spill into
// the delta bits, so such a line is refused.
TEST_F(BufferTest, ArgumentLengthsStayBelow8192) {
  EXPECT_FALSE(Add(1, kT0, 8192));
  EXPECT_FALSE(Add(1, kT0, 12000));
  ASSERT_TRUE(Add(1, kT0, 8191));
  const CTraceLine line = m_buffer.GetLine(&m_logger, 0);
  const BYTE* args;
  DWORD length;
  line.GetArgBytes(&args, &length);
  EXPECT_EQ(length, 8191u);
  EXPECT_EQ(line.GetTime(), kT0);
}

// A line refused before the block exists leaves a buffer of 0 lines that
// every reader and marker handles.
TEST_F(BufferTest, ABufferWithoutABlockHoldsNoLines) {
  ASSERT_FALSE(Add(1, kT0, 9000));
  EXPECT_EQ(m_buffer.GetLineCount(), 0u);
  EXPECT_TRUE(m_buffer.GetLine(&m_logger, 0).IsEmpty());
  m_buffer.MarkRange(0, 10);
  EXPECT_FALSE(m_buffer.HasKeepRange());
  EXPECT_EQ(m_buffer.CloseBlock(), nullptr);
  EXPECT_EQ(m_buffer.GetClosedLength(), 0u);
}

// The previous time is that of the last stored line, so a refused line does
// not skew the delta of the next one.
TEST_F(BufferTest, ARefusedLineLeavesThePreviousTime) {
  ASSERT_TRUE(Add(1, kT0));
  ASSERT_FALSE(Add(1, kT0 + 5000, 8192));
  ASSERT_TRUE(Add(1, kT0 + 10));
  EXPECT_EQ(m_buffer.GetLine(&m_logger, 1).GetTime(), kT0 + 10);
}

// Refused lines with new ids take no slot, so the id table of a full block
// still fits inside it.
TEST_F(BufferTest, RefusedNewIdsDoNotGrowTheTablePastTheBlock) {
  while (Add(1, kT0, 100)) {
  }
  const DWORD lines = m_buffer.GetLineCount();
  for (DWORD id = 2; id < 200; ++id) EXPECT_FALSE(Add(id, kT0, 100));
  EXPECT_LE(m_buffer.GetClosedLength(), CTraceBuffer::kBlockSize);
  m_buffer.CloseBlock();
  EXPECT_EQ(m_buffer.GetLineCount(), lines);
  EXPECT_FALSE(m_buffer.GetLine(&m_logger, lines - 1).IsEmpty());
}

TEST_F(BufferTest, KeepRangeGrowsToCoverEveryMark) {
  ASSERT_TRUE(Add(1, kT0));
  EXPECT_FALSE(m_buffer.HasKeepRange());
  m_buffer.MarkRange(5, 0);
  EXPECT_FALSE(m_buffer.HasKeepRange());
  m_buffer.MarkRange(0, 1);
  EXPECT_TRUE(m_buffer.HasKeepRange());
}

}  // namespace
