// trace_logger_test.cpp - the logger: mask and triggers, numbering, the
// window, readers, file names, the message module and tracing from many
// threads, with every file written read back by the tests' own reader.
#include "trace/TraceLogger.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/messages/messages.h"
#include "platform/registry/registry.h"

#include "TrcTest.h"
#include "TraceTestSupport.h"
#include "VntReader.h"

#include <atomic>
#include <deque>
#include <cstdlib>
#include <future>
#include <new>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

// The replacements below pair malloc with free; GCC sees that free at inlined
// delete sites of memory from new and warns, wrongly.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts this thread's allocations while asked to, to show that a filtered
// line allocates nothing.
namespace {
thread_local bool t_countAllocations = false;
thread_local int t_allocations = 0;
}  // namespace
void* operator new(std::size_t size) {
  if (t_countAllocations) ++t_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using trace_test::LoggerTest;

std::vector<fs::path> VntFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  if (fs::exists(dir))
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().extension() == ".VNT") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// Every line of every file in dir, by number.
std::map<std::uint64_t, vnt::Line> ReadAll(const fs::path& dir, std::vector<std::string>* entries = nullptr) {
  std::map<std::uint64_t, vnt::Line> lines;
  for (const auto& path : VntFiles(dir)) {
    std::string error;
    auto file = vnt::ReadFile(path.string(), &error);
    EXPECT_TRUE(file) << path << ": " << error;
    if (!file) continue;
    if (entries) *entries = file->entries;
    for (auto& line : file->lines) lines[line.number] = line;
  }
  return lines;
}

TEST_F(LoggerTest, TheMaskSelectsAndTriggers) {
  struct Case {
    DWORD mask;
    DWORD id;
    bool noTrigger;
    bool stored;
    bool marked;  // the file is dirty
    bool saved;   // a file is on disk
  } cases[] = {
      {CTraceLogger::kDefaultLevelMask, TRC_ERROR, false, true, true, true},
      {CTraceLogger::kDefaultLevelMask, TRC_ERROR, true, true, false, false},
      {CTraceLogger::kDefaultLevelMask, TRC_INFO, false, false, false, false},
      {CTraceLogger::kDefaultLevelMask, EVT_STARTED, false, false, false, false},
      {CTraceLogger::kDefaultLevelMask, TRC_INT, false, true, false, false},
      {CTraceLogger::kDefaultLevelMask, TRC_WARNING, false, true, false, false},
      {0x00100010u, TRC_INFO, false, true, true, false},   // severity 1 triggers: keep, no save
      {0x01000100u, TRC_WARNING, false, true, true, true},  // severity 2 triggers: keep and save
      {0x00000002u, TRC_OTHER_CATEGORY, false, true, false, false},  // category nibble 2 is bit 1
      {0x00000001u, TRC_OTHER_CATEGORY, false, false, false, false},
  };
  fs::create_directories(m_dir);  // each case saves into a folder of its own below
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(index);
    const fs::path dir = m_dir / std::to_string(index++);
    CTraceLogger logger;
    logger.SetDirectory(trace_test::Wide(dir));
    logger.SetLevelMask(c.mask);
    if (c.noTrigger)
      logger.TraceNoTrigger(&m_source, c.id, 1, L"x");
    else
      logger.Trace(&m_source, c.id, 1, L"x");
    EXPECT_EQ(logger.GetNextLineNumber(), c.stored ? 1u : 0u);
    EXPECT_EQ(!VntFiles(dir).empty(), c.saved);
    // A marked file that was not saved yet is written by SaveAll.
    EXPECT_EQ(logger.SaveAll(), 0u);
    EXPECT_EQ(!VntFiles(dir).empty(), c.marked);
  }
}

// A source whose name is asked for under the logger's lock, and which holds
// that lock until it is let go.
class BlockingSource : public CTraceLoggable {
 public:
  std::string GetTraceName() const override {
    m_entered.set_value();
    m_release.get_future().wait();
    return "Blocking";
  }
  mutable std::promise<void> m_entered, m_release;
};

TEST_F(LoggerTest, AFilteredLineTakesNoLockAndAllocatesNothing) {
  BlockingSource blocking;
  std::thread holder([&] { m_logger.Trace(&blocking, TRC_INT, 1); });
  blocking.m_entered.get_future().wait();  // the holder is inside the lock now
  t_countAllocations = true;
  for (DWORD id : {TRC_INFO, EVT_STARTED, 0x00000001u, 0xC0000001u}) m_logger.Trace(&m_source, id, 1, L"x");
  t_countAllocations = false;
  EXPECT_EQ(t_allocations, 0);
  blocking.m_release.set_value();
  holder.join();
  EXPECT_EQ(m_logger.GetNextLineNumber(), 1u);
}

TEST_F(LoggerTest, AnErrorKeepsTheLast1000LinesAndSavesThem) {
  for (int i = 0; i < 10; ++i) m_logger.Trace(&m_source, TRC_INT, i);
  m_logger.Trace(&m_source, TRC_ERROR, 5, L"here");
  auto lines = ReadAll(m_dir);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines.begin()->first, 0u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(vnt::DecodeArgs(lines[i].args)[0].i, i);
  EXPECT_EQ(lines[10].id, TRC_ERROR);
}

TEST_F(LoggerTest, KeepLastMarksWhatWasWritten) {
  for (int i = 0; i < 10; ++i) m_logger.Trace(&m_source, TRC_INT, i);
  m_logger.KeepLast(1000);
  ASSERT_EQ(m_logger.SaveAll(), 0u);
  auto lines = ReadAll(m_dir);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines.rbegin()->first, 9u);
}

TEST_F(LoggerTest, NothingIsHeldBeforeTheFirstLine) {
  EXPECT_EQ(m_logger.GetFirstLineNumber(), 0u);
  EXPECT_EQ(m_logger.GetLineCount(), 0u);
  EXPECT_TRUE(m_logger.GetLine(0).IsEmpty());
  m_logger.KeepRange(0, 10);
  EXPECT_EQ(m_logger.SaveAll(), 0u);
  m_logger.Trace(&m_source, TRC_INT, 1);
  EXPECT_EQ(m_logger.GetLineCount(), 1u);
  EXPECT_TRUE(m_logger.GetLine(1).IsEmpty());
  EXPECT_FALSE(m_logger.GetLine(0).IsEmpty());
}

// Lines too long for any block are lost without using their number or
// starting a file.
TEST_F(LoggerTest, AnOversizedLineIsLostAndItsNumberReused) {
  const std::wstring wideBig(8189, L'b'), wideFits(8188, L'f');  // 3 + 8189 = 8192 bytes
  m_logger.Trace(&m_source, TRC_STRING, wideBig.c_str());
  EXPECT_EQ(m_logger.GetNextLineNumber(), 0u);
  EXPECT_EQ(m_logger.GetFileCount(), 0u);
  m_logger.Trace(&m_source, TRC_STRING, wideFits.c_str());  // 3 + 8188 = 8191 bytes
  m_logger.Trace(&m_source, TRC_STRING, wideBig.c_str());
  m_logger.Trace(&m_source, TRC_INT, 7);
  EXPECT_EQ(m_logger.GetNextLineNumber(), 2u);
  EXPECT_EQ(m_logger.GetFileCount(), 1u);
  EXPECT_TRUE(m_logger.GetLine(1).FormatText() == L"7\r\n");
  EXPECT_TRUE(m_logger.GetLine(0).FormatText() == wideFits + L"\r\n");
}

class WindowTest : public LoggerTest {
 protected:
  // Lines of 8000 argument bytes: two per block, sixteen per file.
  void TraceBig(int count) {
    const std::wstring text(7997, L'w');
    for (int i = 0; i < count; ++i) m_logger.Trace(&m_source, TRC_STRING, text.c_str());
  }
};

TEST_F(WindowTest, WindowZeroNeverDrops) {
  m_logger.SetLogSize(0);
  TraceBig(100);
  EXPECT_EQ(m_logger.GetFileCount(), 7u);
  EXPECT_EQ(m_logger.GetFirstLineNumber(), 0u);
  EXPECT_EQ(m_logger.GetLineCount(), 100u);
}

TEST_F(WindowTest, TheWindowKeepsAtLeastItsLines) {
  const DWORD window = 40;
  m_logger.SetLogSize(window);
  for (int i = 1; i <= 200; ++i) {
    TraceBig(1);
    const ULONGLONG next = m_logger.GetNextLineNumber();
    ASSERT_EQ(next, static_cast<ULONGLONG>(i));
    // At least the last `window` lines, and no file that holds only older ones.
    ASSERT_GE(m_logger.GetLineCount(), std::min<ULONGLONG>(next, window)) << i;
    ASSERT_LE(m_logger.GetLineCount(), window + 2 * 16) << i;
    EXPECT_FALSE(m_logger.GetLine(next < window ? 0 : next - window).IsEmpty()) << i;
  }
  EXPECT_EQ(m_logger.GetFirstLineNumber() % 16, 0u);
  EXPECT_TRUE(m_logger.GetLine(0).IsEmpty());
}

TEST_F(WindowTest, ADroppedMarkedFileIsSaved) {
  m_logger.SetLogSize(16);
  TraceBig(3);
  m_logger.KeepLast(2);
  TraceBig(40);
  auto lines = ReadAll(m_dir);
  ASSERT_EQ(lines.size(), 4u);  // the two marked buffers, whole
  EXPECT_EQ(lines.begin()->first, 0u);
  EXPECT_EQ(VntFiles(m_dir).size(), 1u);
}

// Lines of about 8000 argument bytes (two per block, sixteen per file) that
// say who wrote them.
std::wstring BigName(int writer, int i) {
  return L"w" + std::to_wstring(writer) + L"." + std::to_wstring(i) + L"." + std::wstring(7980, L'x');
}
std::wstring BigText(int writer, int i) {
  return L"Service " + BigName(writer, i) + L" started with " + std::to_wstring(i) + L" workers.\r\n";
}

// A line read before its file is rolled out of the window keeps its buffer:
// the file saves when the logger lets it go, and the line still reads.
TEST_F(WindowTest, ALineHeldAcrossTheDropOfItsFileStillReads) {
  m_logger.SetLogSize(16);
  for (int i = 0; i < 3; ++i) m_logger.Trace(&m_source, TRC_STARTED, BigName(0, i).c_str(), i);
  m_logger.KeepLast(3);
  std::vector<CTraceLine> held;
  for (ULONGLONG n = 0; n < 3; ++n) held.push_back(m_logger.GetLine(n));
  for (int i = 3; i < 40; ++i) m_logger.Trace(&m_source, TRC_STARTED, BigName(0, i).c_str(), i);
  ASSERT_GT(m_logger.GetFirstLineNumber(), 0u);  // the first file is gone
  EXPECT_TRUE(m_logger.GetLine(0).IsEmpty());
  EXPECT_EQ(ReadAll(m_dir).size(), 4u);  // saved at the drop: its two marked buffers
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const CTraceLine line = held[i];
    held[i] = CTraceLine(nullptr);  // the copy is the last handle now
    ASSERT_FALSE(line.IsEmpty());
    EXPECT_EQ(line.FormatText(), BigText(0, i));
    EXPECT_EQ(line.GetSource(), &m_source);
    EXPECT_EQ(line.GetBuffer().GetLineCount(), 2u);
  }
}

// Readers hold lines while writers roll files over underneath them; each
// held line still reads as written. (Run under the sanitizers, this is the
// test of who keeps a buffer alive.)
TEST_F(WindowTest, ReadersHoldLinesWhileWritersRollFilesOver) {
  constexpr int kWriters = 2, kReaders = 2, kLines = 300, kHeld = 40;
  m_logger.SetLogSize(16);
  std::vector<std::unique_ptr<trace_test::NamedSource>> sources;
  for (int w = 0; w < kWriters; ++w)
    sources.push_back(std::make_unique<trace_test::NamedSource>("w" + std::to_string(w)));
  std::atomic<int> writing{kWriters};
  std::atomic<int> checked{0};
  auto check = [&](const CTraceLine& line) {
    ASSERT_FALSE(line.IsEmpty());
    const auto* source = static_cast<const trace_test::NamedSource*>(line.GetSource());
    ASSERT_NE(source, nullptr);
    const std::wstring text = line.FormatText();
    // "Service w<writer>.<i>.xxx... started with <i> workers."
    const std::size_t dot = text.find(L'.', 9);
    ASSERT_NE(dot, std::wstring::npos) << text.substr(0, 40);
    const int writer = std::stoi(text.substr(9, dot - 9));
    const int i = std::stoi(text.substr(dot + 1));
    EXPECT_EQ(source->GetTraceName(), "w" + std::to_string(writer));
    EXPECT_EQ(text, BigText(writer, i));
    ++checked;
  };
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      std::deque<CTraceLine> held;
      while (writing.load() > 0) {
        const ULONGLONG next = m_logger.GetNextLineNumber();
        if (next == 0) continue;
        CTraceLine line = m_logger.GetLine(m_logger.GetFirstLineNumber());
        if (line.IsEmpty()) continue;  // dropped between the two calls
        held.push_back(std::move(line));
        if (held.size() > kHeld) {
          check(held.front());
          held.pop_front();
        }
      }
      for (const CTraceLine& line : held) check(line);
    });
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < kLines; ++i) m_logger.Trace(sources[w].get(), TRC_STARTED, BigName(w, i).c_str(), i);
      --writing;
    });
  for (auto& t : threads) t.join();
  EXPECT_GT(checked.load(), 0);
  EXPECT_EQ(m_logger.GetNextLineNumber(), static_cast<ULONGLONG>(kWriters * kLines));
}

// The folder and prefix may be set after the first file was made (a service
// reads them from its settings after its first lines): that file is saved
// under them, and keeps the service name it was made with.
TEST_F(WindowTest, NamesSetAfterTheFirstFileApplyToIt) {
  const fs::path early = m_dir / "early", late = m_dir / "late";
  fs::create_directories(m_dir);  // a save makes one missing level, the last
  m_logger.SetDirectory(trace_test::Wide(early));
  m_logger.SetFilePrefix(L"Early");
  m_logger.Trace(&m_source, TRC_INT, 1);
  m_logger.SetDirectory(trace_test::Wide(late));
  m_logger.SetFilePrefix(L"Late");
  TraceBig(17);  // the first file holds 16 of these, the second the last
  m_logger.Trace(&m_source, TRC_ERROR, 2, L"x");
  ASSERT_EQ(m_logger.GetFileCount(), 2u);
  EXPECT_FALSE(fs::exists(early));
  const auto files = VntFiles(late);
  ASSERT_EQ(files.size(), 2u);
  const std::wstring stem = m_logger.MakeFileName();
  EXPECT_EQ(stem.substr(0, stem.rfind(L'\\')), trace_test::Wide(late));
  const std::wstring name = stem.substr(stem.rfind(L'\\') + 1);
  EXPECT_EQ(name.substr(0, 4), L"Late");
  const std::string expectedProperty[] = {"ServiceName::Early", "ServiceName::Late"};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(files[k].filename().wstring(), name + (k == 0 ? L"0000.VNT" : L"0001.VNT"));
    auto read = vnt::ReadFile(files[k].string());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->entries, (std::vector<std::string>{"Worker", expectedProperty[k]}));
  }
  EXPECT_EQ(ReadAll(late).size(), m_logger.GetNextLineNumber());
}

TEST_F(LoggerTest, FileNamesFollowTheStartTime) {
  CTraceLogger bare;
  EXPECT_TRUE(std::regex_match(bare.MakeFileName(), std::wregex(LR"(\\\d{14})")));
  bare.SetFilePrefix(L"Svc");
  EXPECT_TRUE(std::regex_match(bare.MakeFileName(), std::wregex(LR"(\\Svc\d{14})")));

  m_logger.Trace(&m_source, TRC_ERROR, 1, L"x");
  const auto files = VntFiles(m_dir);
  ASSERT_EQ(files.size(), 1u);
  const std::wstring stem = m_logger.MakeFileName();
  const std::wstring expected = stem.substr(stem.rfind(L'\\') + 1) + L"0000.VNT";
  EXPECT_EQ(files[0].filename().wstring(), expected);
}

TEST_F(LoggerTest, ADestroyedLoggerSavesItsMarkedFiles) {
  {
    CTraceLogger logger;
    logger.SetDirectory(trace_test::Wide(m_dir));
    logger.Trace(&m_source, TRC_INT, 1);
    logger.KeepLast(1);
  }
  EXPECT_EQ(ReadAll(m_dir).size(), 1u);
}

TEST_F(LoggerTest, ReadersWaitForNewLines) {
  EXPECT_FALSE(m_logger.WaitForLines(0));
  m_logger.Trace(&m_source, TRC_INT, 1);
  EXPECT_TRUE(m_logger.WaitForLines(0));
  EXPECT_FALSE(m_logger.WaitForLines(0));  // auto-reset
}

// What the file holds is what was traced: sources, property, numbers, times,
// ids and arguments.
TEST_F(LoggerTest, SavedFilesReadBackToTheTracedLines) {
  trace_test::NamedSource second("Second");
  m_logger.Trace(&m_source, TRC_STARTED, L"svc", 3);
  m_logger.Trace(&second, TRC_KINDS, 7u, 0xABu, 1ULL << 40, -2LL, 5, 6, 2.5, "nar", L"wide\u0101", 0xBEEFu, -42);
  m_logger.Trace(nullptr, TRC_PLAIN);
  m_logger.Trace(&second, TRC_ERROR, -1, L"end");
  std::vector<std::string> entries;
  auto lines = ReadAll(m_dir, &entries);
  EXPECT_EQ(entries, (std::vector<std::string>{"Worker", "Second", "ServiceName::Test"}));
  ASSERT_EQ(lines.size(), 4u);
  const BYTE expectedSources[] = {0, 1, 255, 1};
  const DWORD expectedIds[] = {TRC_STARTED, TRC_KINDS, TRC_PLAIN, TRC_ERROR};
  for (ULONGLONG n = 0; n < 4; ++n) {
    const CTraceLine held = m_logger.GetLine(n);
    EXPECT_EQ(lines[n].source, expectedSources[n]);
    EXPECT_EQ(lines[n].id, expectedIds[n]);
    EXPECT_EQ(lines[n].time, held.GetTime());
    const BYTE* bytes;
    DWORD length;
    held.GetArgBytes(&bytes, &length);
    EXPECT_EQ(lines[n].args, std::vector<BYTE>(bytes, bytes + length));
  }
  const auto kinds = vnt::DecodeArgs(lines[1].args);
  ASSERT_EQ(kinds.size(), 11u);
  EXPECT_EQ(kinds[0].u, 7u);
  EXPECT_EQ(kinds[3].i, -2);
  EXPECT_DOUBLE_EQ(kinds[6].d, 2.5);
  EXPECT_EQ(kinds[7].narrow, "nar");
  EXPECT_EQ(kinds[8].wide, u"wide\u0101");
  EXPECT_EQ(kinds[10].i, -42);
  const auto error = vnt::DecodeArgs(lines[3].args);
  ASSERT_EQ(error.size(), 2u);
  EXPECT_EQ(error[0].i, -1);
  EXPECT_EQ(error[1].narrow, "end");
  EXPECT_EQ(m_logger.GetLine(3).GetSource(), &second);
  EXPECT_EQ(m_logger.GetLine(2).GetSource(), nullptr);
}

TEST(MessageModuleTest, TextsComeOnceAModuleIsSet) {
  trace_test::TempDir();
  EXPECT_NE(CTraceLogger::SetMessageModule(L"NoSuchModuleAnywhere"), 0u);
  EXPECT_EQ(CTraceLogger::GetMessageText(TRC_CACHE_PROBE), L"");
  EXPECT_EQ(CTraceLine::GetArgs(TRC_CACHE_PROBE).GetMessageId(), 0xFFFFFFFFu);  // nothing cached
  ASSERT_EQ(CTraceLogger::SetMessageModule(L"TrcTest"), 0u);
  EXPECT_EQ(CTraceLogger::GetMessageText(TRC_CACHE_PROBE), L"Read only by the cache test %d1\r\n");
  EXPECT_EQ(CTraceLine::GetArgs(TRC_CACHE_PROBE).GetMessageId(), TRC_CACHE_PROBE);
}

TEST(MessageModuleTest, TheInstalledFolderIsTheFallback) {
  const fs::path modules = trace_test::TempDir() / "installed";
  fs::create_directories(modules);
  fs::copy_file(fs::path(platform::Utf8FromWide(platform::ExecutableDirectory())) / "TrcTest.msg",
                modules / "TrcFallback.msg", fs::copy_options::overwrite_existing);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\COM API", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  platform::RegKey owner(key);
  struct Case {
    std::wstring installed;  // empty: the value is absent
    DWORD type;
    DWORD result;
  } cases[] = {
      {L"", REG_SZ, ERROR_FILE_NOT_FOUND},
      {trace_test::Wide(modules) + L"/", REG_SZ, ERROR_SUCCESS},
      {trace_test::Wide(modules) + L"\\", REG_EXPAND_SZ, ERROR_SUCCESS},
      {trace_test::Wide(modules), REG_SZ, ERROR_MOD_NOT_FOUND},             // no separator: another name
      {std::wstring(250, L'x') + L"/", REG_SZ, ERROR_FILENAME_EXCED_RANGE},  // joined path over 260
      {std::wstring(300, L'x'), REG_SZ, ERROR_MORE_DATA},                   // longer than the buffer
      {trace_test::Wide(modules) + L"/", REG_DWORD, ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    RegDeleteValueW(key, L"installed");
    if (!c.installed.empty()) {
      const std::string bytes = platform::RegStringBytes(c.installed);
      ASSERT_EQ(RegSetValueExW(key, L"installed", 0, c.type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
                ERROR_SUCCESS);
    }
    EXPECT_EQ(CTraceLogger::SetMessageModule(L"TrcFallback"), c.result)
        << std::string(c.installed.begin(), c.installed.end());
  }
  // A value without its terminator that fills the whole buffer is refused, not overrun.
  const std::string unterminated = platform::RegStringBytes(std::wstring(260, L'y')).substr(0, 520);
  ASSERT_EQ(RegSetValueExW(key, L"installed", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated.data()), 520),
            ERROR_SUCCESS);
  EXPECT_EQ(CTraceLogger::SetMessageModule(L"TrcFallback"), ERROR_FILENAME_EXCED_RANGE);
  RegCloseKey(owner.release());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel\\COM API");
  EXPECT_EQ(CTraceLogger::SetMessageModule(L"TrcFallback"), ERROR_FILE_NOT_FOUND);
}

// Threads trace, a reader follows and errors save while others trace; every
// number is used once and every line reads back to its thread's arguments.
TEST_F(LoggerTest, ManyThreadsTraceTogether) {
  constexpr int kThreads = 8, kLines = 1500;
  m_logger.SetLogSize(0);
  std::vector<std::unique_ptr<trace_test::NamedSource>> sources;
  for (int t = 0; t < kThreads; ++t) sources.push_back(std::make_unique<trace_test::NamedSource>("T" + std::to_string(t)));
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ULONGLONG seen = 0;
    while (!done.load()) {
      if (!m_logger.WaitForLines(10)) continue;
      for (const ULONGLONG next = m_logger.GetNextLineNumber(); seen < next; ++seen) {
        const CTraceLine line = m_logger.GetLine(seen);
        EXPECT_FALSE(line.IsEmpty());
        EXPECT_FALSE(line.FormatText().empty());
      }
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      const std::wstring name = L"thread" + std::to_wstring(t);
      for (int i = 0; i < kLines; ++i) {
        if (i % 500 == 499)
          m_logger.Trace(sources[t].get(), TRC_ERROR, i, name.c_str());
        else
          m_logger.Trace(sources[t].get(), TRC_STARTED, name.c_str(), i);
      }
    });
  for (auto& w : writers) w.join();
  done = true;
  reader.join();

  const ULONGLONG total = kThreads * kLines;
  ASSERT_EQ(m_logger.GetNextLineNumber(), total);
  std::vector<int> nextOfThread(kThreads, 0);
  for (ULONGLONG n = 0; n < total; ++n) {
    const CTraceLine line = m_logger.GetLine(n);
    ASSERT_FALSE(line.IsEmpty()) << n;
    auto* source = static_cast<trace_test::NamedSource*>(line.GetSource());
    const int t = std::stoi(source->GetTraceName().substr(1));
    const int i = nextOfThread[t]++;
    const std::wstring name = L"thread" + std::to_wstring(t);
    if (i % 500 == 499)
      EXPECT_EQ(line.FormatText(), L"Error " + std::to_wstring(i) + L" in " + name + L"\r\n");
    else
      EXPECT_EQ(line.FormatText(), L"Service " + name + L" started with " + std::to_wstring(i) + L" workers.\r\n");
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextOfThread[t], kLines);
  // The saved files hold the last 1000 lines before every error, as traced.
  ASSERT_EQ(m_logger.SaveAll(), 0u);
  for (const auto& [number, line] : ReadAll(m_dir)) {
    const CTraceLine held = m_logger.GetLine(number);
    ASSERT_EQ(line.time, held.GetTime());
    ASSERT_EQ(line.id, held.GetMessageId());
  }
}

}  // namespace

// A line stored between a reader's look at the line number and its wait is
// never missed: readers that check and then wait, of both kinds, follow many
// writers to the last line. A lost signal would leave a reader asleep for its
// whole (generous) wait, which fails the test.
TEST_F(LoggerTest, ReadersThatCheckThenWaitMissNoLine) {
  constexpr int kWriters = 4, kLines = 2000, kReaders = 4;
  constexpr ULONGLONG kTotal = ULONGLONG{kWriters} * kLines;
  constexpr DWORD kWaitMs = 20000;
  m_logger.SetLogSize(0);
  std::atomic<int> missed{0};
  std::vector<std::thread> threads;
  // Readers on the line-number form, each with its own event.
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      ULONGLONG seen = 0;
      while (seen < kTotal) {
        if (!m_logger.WaitForLines(seen, kWaitMs, nullptr)) {
          ++missed;
          return;
        }
        seen = m_logger.GetNextLineNumber();
      }
    });
  // One reader on the auto-reset form: one signal per line for one sleeper.
  threads.emplace_back([&] {
    while (m_logger.GetNextLineNumber() < kTotal) {
      if (!m_logger.WaitForLines(kWaitMs)) {
        ++missed;
        return;
      }
    }
  });
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < kLines; ++i) {
        m_logger.Trace(&m_source, TRC_INT, w * kLines + i);
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(missed.load(), 0);
  EXPECT_EQ(m_logger.GetNextLineNumber(), kTotal);
}

// The signal of a line stored while no reader slept is kept for the next
// reader, also after a reader that timed out; it is one signal, not two.
TEST_F(LoggerTest, ASignalKeptWhileNoReaderSleptIsTakenOnce) {
  EXPECT_FALSE(m_logger.WaitForLines(5));  // a sleeper times out
  m_logger.Trace(&m_source, TRC_INT, 1);
  m_logger.Trace(&m_source, TRC_INT, 2);
  EXPECT_TRUE(m_logger.WaitForLines(0));
  EXPECT_FALSE(m_logger.WaitForLines(0));
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_logger.Trace(&m_source, TRC_INT, 3);
  });
  EXPECT_TRUE(m_logger.WaitForLines(20000));  // asleep when the line comes
  late.join();
  EXPECT_FALSE(m_logger.WaitForLines(0));
}
