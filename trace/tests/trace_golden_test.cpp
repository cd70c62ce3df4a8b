// trace_golden_test.cpp - ".VNT" files stay byte for byte what earlier builds
// wrote: a fixed set of lines with fixed times is saved and compared with
// files kept beside the tests (golden/). Readers elsewhere decode these files,
// so any change of the coder or the layout must show here first.
//
// VN_TRACE_WRITE_GOLDEN=1 rewrites the kept files instead (only when the
// format is meant to change).
#include "trace/HuffmanCoder.h"
#include "trace/TraceBuffer.h"
#include "trace/TraceFile.h"

#include "platform/base/text.h"

#include "TrcTest.h"
#include "TraceTestSupport.h"
#include "VntReader.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<BYTE>;

constexpr ULONGLONG kBaseTime = 1700000000000ULL;

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class GoldenTest : public trace_test::LoggerTest {
 protected:
  std::string PathOf(const CTraceFile& file) {
    std::string path = platform::Utf8FromWide(file.GetFileName());
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  }
  bool Put(CTraceFile& file, DWORD id, CTraceLoggable* source, ULONGLONG time, const BYTE* args, DWORD length) {
    CTraceBuffer lineBuffer;
    BYTE* place = file.AddLine(id, source, time, length, m_next, lineBuffer);
    if (place == nullptr) return false;
    std::copy(args, args + length, place);
    ++m_next;
    return true;
  }
  // Saves the file and compares it with golden/<name>, or writes it there.
  void Check(CTraceFile& file, const std::string& name) {
    ASSERT_EQ(file.SaveFile(), 0u);
    const std::string path = PathOf(file);
    std::string error;
    ASSERT_TRUE(vnt::ReadFile(path, &error)) << error;
    const Bytes written = ReadAll(path);
    const fs::path golden = fs::path(VN_TRACE_TEST_DIR) / "golden" / name;
    const char* rewrite = std::getenv("VN_TRACE_WRITE_GOLDEN");
    if (rewrite != nullptr && std::string(rewrite) == "1") {
      fs::create_directories(golden.parent_path());
      std::ofstream(golden, std::ios::binary).write(reinterpret_cast<const char*>(written.data()),
                                                    static_cast<std::streamsize>(written.size()));
      return;
    }
    const Bytes expected = ReadAll(golden);
    ASSERT_FALSE(expected.empty()) << golden;
    ASSERT_EQ(written.size(), expected.size()) << path << " vs " << golden;
    const auto diff = std::mismatch(written.begin(), written.end(), expected.begin());
    EXPECT_TRUE(diff.first == written.end()) << "first difference at byte " << (diff.first - written.begin())
                                             << " of " << path << " vs " << golden;
  }
  ULONGLONG m_next = 0;
};

// Lines encoded by the logger from real arguments of every kind, stored again
// with fixed times, fill most buffers of one file.
TEST_F(GoldenTest, EncodedLinesSaveAsBefore) {
  m_logger.SetLogSize(0);
  trace_test::NamedSource other("Other");
  const wchar_t* paths[] = {L"/api/items", L"/index.html", L"/api/search?q=alpha", L"/media/clip-0042.mp4"};
  for (int n = 0; n < 2400; ++n) {
    CTraceLoggable* source = n % 5 == 0 ? static_cast<CTraceLoggable*>(&other) : &m_source;
    switch (n % 6) {
      case 0: m_logger.Trace(source, TRC_STARTED, paths[n % 4], n); break;
      case 1:
        m_logger.Trace(source, TRC_KINDS, static_cast<unsigned>(n), 0xABu * n, 1ULL << (n % 63), -2LL * n, -n,
                       n & 0xFFFF, n / 7.0, "narrow", L"wide text", 0xBEEFu + n, 42 - n);
        break;
      case 2: m_logger.Trace(source, TRC_INT, n * 1000 - 500000); break;
      case 3: m_logger.Trace(source, TRC_UNSIGNED, static_cast<unsigned>(n) * 2654435761u); break;
      case 4: m_logger.Trace(source, TRC_STRING, paths[(n / 6) % 4]); break;
      default: m_logger.Trace(source, TRC_REORDERED, L"the queue", n % 17); break;
    }
  }
  const DWORD ids[] = {TRC_STARTED, TRC_KINDS, TRC_INT, TRC_UNSIGNED, TRC_STRING, TRC_REORDERED};
  CTraceFile file(&m_logger, 0, 0);
  ULONGLONG time = kBaseTime;
  for (ULONGLONG n = 0; n < m_logger.GetNextLineNumber(); ++n) {
    const CTraceLine line = m_logger.GetLine(n);
    ASSERT_FALSE(line.IsEmpty());
    const BYTE* bytes = nullptr;
    DWORD length = 0;
    line.GetArgBytes(&bytes, &length);
    time += (n % 11 == 0) ? 1000 : n % 3;  // gaps, repeats and steps
    ASSERT_TRUE(Put(file, ids[n % 6], n % 5 == 0 ? static_cast<CTraceLoggable*>(&other) : &m_source, time, bytes,
                    length));
  }
  file.MarkRange(0, static_cast<DWORD>(m_next));
  Check(file, "encoded.VNT");
}

// Blocks of unusual byte statistics: every value about equally often, one
// value only, a skewed mix, and lines of no arguments; only some are marked.
TEST_F(GoldenTest, SkewedAndFlatBlocksSaveAsBefore) {
  std::mt19937 random(20240611);
  CTraceFile file(&m_logger, 0, 1);
  ULONGLONG time = kBaseTime;
  Bytes args(3000);
  auto fill = [&](int kind) {
    for (auto& b : args) {
      const std::uint32_t r = random();
      switch (kind) {
        case 0: b = static_cast<BYTE>(r); break;                                  // flat
        case 1: b = 0x41; break;                                                   // one value
        case 2: b = static_cast<BYTE>((r & 0xFF) < 200 ? 'a' + (r >> 8) % 3 : r >> 16); break;  // skewed
        default: b = static_cast<BYTE>(__builtin_ctz(r | 0x80000000u)); break;   // geometric
      }
    }
  };
  for (int kind = 0; kind < 4; ++kind) {
    for (int k = 0; k < 5; ++k) {
      fill(kind);
      time += static_cast<ULONGLONG>(kind) * 977 + k;
      ASSERT_TRUE(Put(file, TRC_STRING, &m_source, time, args.data(), static_cast<DWORD>(args.size())));
    }
    for (int k = 0; k < 300; ++k) ASSERT_TRUE(Put(file, TRC_PLAIN, &m_source, time, nullptr, 0));
  }
  // A line of each kind (each run of five opens 305 lines), and the last.
  for (ULONGLONG first = 0; first < m_next; first += 305) file.MarkRange(first + 2, 1);
  file.MarkRange(m_next - 1, 1);
  Check(file, "skewed.VNT");
}

// The adaptive frequency model replayed byte by byte, as the format defines
// the order of the byte values, with the split into codes: what the coder's
// codes must equal for every block.
std::vector<CHuffmanCoder::Code> ReferenceCodes(const Bytes& bytes) {
  DWORD freq[258], cum[258];
  int charToIndex[256], indexToChar[257];
  for (int i = 0; i <= 257; ++i) freq[i] = 1;
  freq[0] = 0;
  for (int c = 0; c < 256; ++c) {
    charToIndex[c] = c + 1;
    indexToChar[c + 1] = c;
  }
  int maxIndex = 0;
  for (BYTE c : bytes) {
    int i = charToIndex[c];
    int j = i;
    while (freq[j - 1] == freq[i]) --j;
    const int other = indexToChar[j];
    indexToChar[i] = other;
    indexToChar[j] = c;
    charToIndex[other] = i;
    charToIndex[c] = j;
    maxIndex = std::max(maxIndex, j);
    ++freq[j];
  }
  cum[257] = 0;
  for (int k = 256; k >= 0; --k) cum[k] = cum[k + 1] + freq[k + 1];
  std::vector<CHuffmanCoder::Code> codes(256, CHuffmanCoder::Code{0, 0});
  auto assign = [&](auto& self, int lo, int hi, DWORD depth, ULONGLONG code) -> void {
    if (lo == hi) {
      codes[indexToChar[lo]] = {depth, code};
      return;
    }
    if (hi == lo + 1) {
      codes[indexToChar[lo]] = {depth + 1, code};
      codes[indexToChar[hi]] = {depth + 1, code | (1ULL << depth)};
      return;
    }
    const DWORD target = cum[hi] + (cum[lo] - cum[hi]) / 2;
    int left = lo, right = hi, mid = lo + (hi - lo) / 2;
    while (right - left > 1) {
      if (cum[mid] > target)
        left = mid;
      else if (cum[mid] < target)
        right = mid;
      else
        break;
      mid = left + (right - left) / 2;
    }
    self(self, lo, mid, depth + 1, code);
    self(self, mid + 1, hi, depth + 1, code | (1ULL << depth));
  };
  if (maxIndex == 1)
    codes[indexToChar[1]] = {1, 0};
  else if (maxIndex > 1)
    assign(assign, 1, maxIndex, 0, 0);
  return codes;
}

// Many small blocks, where ties between counts are the rule, and a few of
// block size; flat, skewed, repetitive and few-valued contents.
TEST(HuffmanOrderTest, CodesEqualTheByteByByteModel) {
  std::mt19937 random(77);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = round % 100 == 0 ? 16384 : random() % 700;
    const unsigned values = 1 + random() % 256;
    const int kind = round % 4;
    Bytes block(size);
    for (auto& b : block) {
      const std::uint32_t r = random();
      switch (kind) {
        case 0: b = static_cast<BYTE>(r % values); break;
        case 1: b = static_cast<BYTE>(__builtin_ctz(r | 0x80000000u) * 7 % values); break;
        case 2: b = static_cast<BYTE>((r & 0xFF) < 230 ? 'a' + (r >> 8) % 4 : r >> 16); break;
        default: b = static_cast<BYTE>((r >> 8) % 3 == 0 ? r % values : 0x20); break;
      }
    }
    CHuffmanCoder coder;
    coder.BuildCodes(block.data(), static_cast<DWORD>(block.size()));
    const auto expected = ReferenceCodes(block);
    for (int c = 0; c < 256; ++c) {
      ASSERT_EQ(coder.GetCodes()[c].length, expected[c].length) << "round " << round << " value " << c;
      ASSERT_EQ(coder.GetCodes()[c].code, expected[c].code) << "round " << round << " value " << c;
    }
  }
}

}  // namespace
