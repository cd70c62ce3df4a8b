// extension_worker_test.cpp - workers draining pins through stub providers, against the archive stand-in.
#include <filesystem>
#include "VNService/Extensions/Taskweave/tests/WorkerFixture.h"

#include "archive/interfaces/FragmentList/FragmentList.h"
#include "VNService/Extensions/Taskweave/FragmentWalk.h"
#include "archive/ledgerhold/LedgerFile.h"

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

namespace worker_test {
namespace {

constexpr ULONG kPinned = 1;

// Every pin released exactly once, none answered "already offline".
void ExpectReleasedOnce(const Releases& releases, std::size_t pins) {
  EXPECT_EQ(releases.count.size(), pins);
  EXPECT_EQ(releases.total, static_cast<int>(pins));
  EXPECT_EQ(releases.offline, 0);
  for (const auto& [pin, count] : releases.count) EXPECT_EQ(count, 1) << pin;
}

// --- draining ---

struct DrainCase {
  const char* name;
  const wchar_t* schedule;
  int executes;        // ExecuteOperation calls expected per file
  bool oneHandOver;    // false: a provider that takes work before it records it may be asked again
};

void PrintTo(const DrainCase& c, std::ostream* os) { *os << c.name; }

class DrainTest : public WorkerFixture, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainTest, HundredPinsAreReleasedOnceEach) {
  Extension& e = AddExtension({}, {{L"Schedule", GetParam().schedule}});
  std::vector<TestFile> files;
  std::vector<std::pair<const TestFile*, std::wstring>> pins;
  files.reserve(100);
  for (int i = 0; i < 100; ++i) files.push_back(MakeFile(m_system.Get(), "drain/clip" + std::to_string(i) + ".mov"));
  for (int i = 0; i < 100; ++i) pins.push_back({&files[i], Pin(e.elements, files[i], e.clsidString, i + 1, L"Preview")});
  Start(e);
  ASSERT_TRUE(Drained(pins, e));
  ExpectReleasedOnce(ReadPinLog(), 100);
  EXPECT_EQ(CountCalls(L"Execute"), 100 * GetParam().executes);
  if (GetParam().oneHandOver) EXPECT_EQ(CountCalls(L"Schedule"), 100);
  else EXPECT_GE(CountCalls(L"Schedule"), 100);
}

INSTANTIATE_TEST_SUITE_P(Modes, DrainTest,
                         ::testing::Values(DrainCase{"NothingToDo", L"ok", 0, true},
                                           DrainCase{"Pending", L"pending", 1, true},
                                           DrainCase{"PostProcessThenOk", L"postprocess-ok", 1, true},
                                           DrainCase{"PostProcessLater", L"later", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- stopping ---

// A stop that comes during a pass ends it at the next element: the files
// after it are not handed over (their pins stay for the next run), and the
// worker ends with success without waiting for a wake-up.
TEST_F(WorkerFixture, AStopEndsThePassAtTheNextElement) {
  Extension& e = AddExtension({}, {{L"Schedule", L"ok"}});
  std::vector<TestFile> files;
  std::vector<std::wstring> pins;
  for (int i = 0; i < 30; ++i) files.push_back(MakeFile(m_system.Get(), "stop/clip" + std::to_string(i) + ".mov"));
  for (int i = 0; i < 30; ++i) pins.push_back(Pin(e.elements, files[i], e.clsidString, i + 1, L"Preview"));
  // The predicate is asked once at the start of the pass and once before
  // each element; it answers false (and the stop is set) before the 11th.
  platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int asked = 0;
  auto keepRunning = [&] {
    if (++asked <= 11) return true;
    SetEvent(stop.get());
    return false;
  };
  CStatus status;
  e.worker->ProcessRecords(status, keepRunning, stop.get());
  EXPECT_TRUE(status.IsOK());
  EXPECT_EQ(CountCalls(L"Schedule"), 10);
  int stillPinned = 0;
  for (int i = 0; i < 30; ++i) stillPinned += IsPinned(files[i], pins[i]) ? 1 : 0;
  EXPECT_EQ(stillPinned, 20);
  EXPECT_EQ(ReadPinLog().total, 10);
}

// --- capacity ---

TEST_F(WorkerFixture, BusyProviderGetsNothingUntilItCompletes) {
  Extension& e = AddExtension({{L"Capacity", 0}});
  const TestFile a = MakeFile(m_system.Get(), "busy/a.mov");
  const TestFile b = MakeFile(m_system.Get(), "busy/b.mov");
  Pin(e.elements, a, e.clsidString, 1, L"Preview");
  Pin(e.elements, b, e.clsidString, 2, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"QueryCapacity") == 1; }));
  // A rescan while busy hands nothing over.
  e.worker->Rescan();
  Sleep(300);
  EXPECT_EQ(CountCalls(L"QueryCapacity"), 1);
  EXPECT_EQ(CountCalls(L"Schedule"), 0);
  // Completion ends the busy state: the next pass asks again.
  e.worker->OperationComplete();
  EXPECT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"QueryCapacity") == 2; }));
}

// Every rescan wakes the worker, but the busy state still ends its bound
// after it began: a rescan does not start the bound again.
TEST_F(WorkerFixture, BusyStateEndsWithinItsBoundWhileRescansKeepComing) {
  Extension& e = AddExtension({{L"Capacity", 0}});
  e.worker->SetBusyBound(1500);
  const TestFile a = MakeFile(m_system.Get(), "busybound/a.mov");
  Pin(e.elements, a, e.clsidString, 1, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"QueryCapacity") == 1; }));
  std::atomic<bool> rescanning{true};
  std::thread rescans([&] {
    while (rescanning) {
      e.worker->Rescan();
      Sleep(100);
    }
  });
  const bool askedAgain = WaitLong([] { return CountCalls(L"QueryCapacity") >= 2; });
  rescanning = false;
  rescans.join();
  EXPECT_TRUE(askedAgain) << "the provider that never completes stopped its extension for good";
}

// --- merges ---

struct MergeCase {
  const char* name;
  DWORD mode;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class MergeTest : public WorkerFixture, public ::testing::WithParamInterface<MergeCase> {};

// Two pins of one file with one operation, found while the first one's work
// runs, make one operation that releases both; another operation runs apart.
TEST_P(MergeTest, PinsOfARunningFileJoinItsRecord) {
  Extension& e = AddExtension({{L"Mode", GetParam().mode}, {L"Execute Delay", 400}});
  const TestFile f = MakeFile(m_system.Get(), "merge/clip.mov");
  std::vector<std::pair<const TestFile*, std::wstring>> pins;
  pins.push_back({&f, Pin(e.elements, f, e.clsidString, 1, L"Preview")});
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Execute") == 1; }));
  pins.push_back({&f, Pin(e.elements, f, e.clsidString, 2, L"Preview")});
  pins.push_back({&f, Pin(e.elements, f, e.clsidString, 3, L"Thumbnail")});
  e.worker->Rescan();
  ASSERT_TRUE(Drained(pins, e));
  ExpectReleasedOnce(ReadPinLog(), 3);
  EXPECT_EQ(CountCalls(L"Execute Preview"), 1);
  EXPECT_EQ(CountCalls(L"Execute Thumbnail"), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, MergeTest,
                         ::testing::Values(MergeCase{"AnyVersion", 0}, MergeCase{"FirstId", 1},
                                           MergeCase{"Version", 2}, MergeCase{"WholeIdentity", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- jobs that fail or keep their pins ---

TEST_F(WorkerFixture, ThrowInExecuteErasesTheRecordAndKeepsThePin) {
  m_keptRetryMs = 500;
  Extension& e = AddExtension({}, {{L"Execute", L"throw"}});
  const TestFile f = MakeFile(m_system.Get(), "throw/clip.mov");
  const std::wstring pin = Pin(e.elements, f, e.clsidString, 1, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Execute") == 1; }));
  ASSERT_TRUE(extrules_test::WaitUntil([&] { return e.worker->InProgressCount() == 0; }));
  EXPECT_TRUE(IsPinned(f, pin));
  EXPECT_EQ(ReadPinLog().total, 0);
  // Handed over again once the kept pin's wait is over, not at once.
  EXPECT_EQ(CountCalls(L"Schedule"), 1);
  EXPECT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") >= 2; }));
}

TEST_F(WorkerFixture, AJobThatKeepsItsPinIsNotHandedOverAtOnce) {
  m_keptRetryMs = 1000;
  Extension& e = AddExtension({}, {{L"Unpin", L"no"}});
  const TestFile f = MakeFile(m_system.Get(), "keep/clip.mov");
  Pin(e.elements, f, e.clsidString, 1, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Execute") == 1; }));
  // OperationComplete woke the scan; the kept pin waits its turn.
  Sleep(400);
  EXPECT_EQ(CountCalls(L"Schedule"), 1);
  EXPECT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") == 2; }));
}

// The kept pin of a file renamed after it was pinned is filed under the key
// the scan finds it by, so it waits like any other kept pin.
TEST_F(WorkerFixture, AKeptPinOfARenamedFileWaitsItsTurn) {
  m_keptRetryMs = 1000;
  Extension& e = AddExtension({}, {{L"Unpin", L"no"}});
  const TestFile f = MakeFile(m_system.Get(), "keep/renamed-before.mov");
  Pin(e.elements, f, e.clsidString, 1, L"Preview");
  std::filesystem::rename(Env().volume / "keep/renamed-before.mov", Env().volume / "keep/renamed-after.mov");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Execute") >= 1; }));
  Sleep(400);
  EXPECT_EQ(CountCalls(L"Execute"), 1);
  EXPECT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Execute") == 2; }));
}

// S_FALSE from ScheduleOperation is "not now": the pin stays for a later pass.
TEST_F(WorkerFixture, ScheduleAnsweringSFalseKeepsThePin) {
  Extension& e = AddExtension({}, {{L"Schedule", L"false"}});
  const TestFile f = MakeFile(m_system.Get(), "sfalse/clip.mov");
  const std::wstring pin = Pin(e.elements, f, e.clsidString, 1, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") == 1; }));
  Sleep(300);
  EXPECT_TRUE(IsPinned(f, pin));
  EXPECT_EQ(ReadPinLog().total, 0);
  // Busy until the provider completes something: then it is offered again.
  EXPECT_EQ(CountCalls(L"Schedule"), 1);
  e.worker->OperationComplete();
  EXPECT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") == 2; }));
  EXPECT_TRUE(IsPinned(f, pin));
}

TEST_F(WorkerFixture, UnpinTwiceReleasesOnce) {
  Extension& e = AddExtension({}, {{L"Unpin", L"twice"}});
  const TestFile f = MakeFile(m_system.Get(), "twice/clip.mov");
  std::vector<std::pair<const TestFile*, std::wstring>> pins{{&f, Pin(e.elements, f, e.clsidString, 1, L"Preview")}};
  Start(e);
  ASSERT_TRUE(Drained(pins, e));
  ExpectReleasedOnce(ReadPinLog(), 1);
}

// --- one bad element ---

struct BadElementCase {
  const char* name;
  DWORD code;
};

void PrintTo(const BadElementCase& c, std::ostream* os) { *os << c.name; }

class BadElementTest : public WorkerFixture, public ::testing::WithParamInterface<BadElementCase> {};

TEST_P(BadElementTest, OthersDrainPastIt) {
  Extension& e = AddExtension({});
  std::vector<TestFile> files;
  files.reserve(5);
  std::vector<std::pair<const TestFile*, std::wstring>> pins;
  std::wstring badPin;
  for (int i = 0; i < 5; ++i) {
    files.push_back(MakeFile(m_system.Get(), "bad/clip" + std::to_string(i) + ".mov"));
    const std::wstring pin = Pin(e.elements, files[i], e.clsidString, i + 1, L"Preview");
    if (i == 2) badPin = pin;
    else pins.push_back({&files[i], pin});
  }
  e.elements.Fail(2, GetParam().code);
  Start(e);
  ASSERT_TRUE(Drained(pins, e));
  EXPECT_TRUE(IsPinned(files[2], badPin));
  // The worker goes on: a new pin still drains.
  const TestFile late = MakeFile(m_system.Get(), "bad/late.mov");
  std::vector<std::pair<const TestFile*, std::wstring>> more{{&late, Pin(e.elements, late, e.clsidString, 9, L"Preview")}};
  e.worker->Rescan();
  EXPECT_TRUE(Drained(more, e));
}

INSTANTIATE_TEST_SUITE_P(Codes, BadElementTest,
                         ::testing::Values(BadElementCase{"DeletePending", ERROR_DELETE_PENDING},
                                           BadElementCase{"InvalidData", ERROR_INVALID_DATA},
                                           BadElementCase{"FileCorrupt", ERROR_FILE_CORRUPT}),
                         [](const auto& info) { return std::string(info.param.name); });

// A walk that cannot get past an element (its link is broken) ends the
// pass there: the elements before it are handed over, the worker does not
// spin on it, and the next wake-up starts a new pass.
struct BrokenLinkCase {
  const char* name;
  CTestElements::Broken how;
};

void PrintTo(const BrokenLinkCase& c, std::ostream* os) { *os << c.name; }

class BrokenLinkTest : public WorkerFixture, public ::testing::WithParamInterface<BrokenLinkCase> {};

TEST_P(BrokenLinkTest, ThePassEndsAtTheElement) {
  Extension& e = AddExtension({}, {{L"Schedule", L"ok"}});
  std::vector<TestFile> files;
  files.reserve(4);
  std::vector<std::pair<const TestFile*, std::wstring>> before;
  for (int i = 0; i < 4; ++i) {
    files.push_back(MakeFile(m_system.Get(), "broken/clip" + std::to_string(i) + ".mov"));
    const std::wstring pin = Pin(e.elements, files[i], e.clsidString, i + 1, L"Preview");
    if (i < 2) before.push_back({&files[i], pin});
  }
  e.elements.Break(2, GetParam().how);
  Start(e);
  ASSERT_TRUE(Drained(before, e));
  ASSERT_TRUE(WaitLong([&] { return e.elements.Finds() >= 1; }));
  e.worker->Rescan();
  EXPECT_TRUE(WaitLong([&] { return e.elements.Finds() >= 2; })) << "the first pass never ended";
  EXPECT_EQ(ReadPinLog().total, 2);
}

INSTANTIATE_TEST_SUITE_P(Walks, BrokenLinkTest,
                         ::testing::Values(BrokenLinkCase{"Throws", CTestElements::Broken::kThrows},
                                           BrokenLinkCase{"FailsWithoutMoving", CTestElements::Broken::kStuck}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerFixture, AProviderRefusalSkipsOnlyThatFile) {
  Extension& e = AddExtension({{L"Schedule Failure", static_cast<DWORD>(E_ACCESSDENIED)}}, {{L"Schedule", L"fail"}});
  const TestFile f = MakeFile(m_system.Get(), "refused/clip.mov");
  const std::wstring pin = Pin(e.elements, f, e.clsidString, 1, L"Preview");
  Start(e);
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") == 1; }));
  e.worker->Rescan();
  ASSERT_TRUE(extrules_test::WaitUntil([] { return CountCalls(L"Schedule") == 2; }));
  EXPECT_TRUE(IsPinned(f, pin));
}

// --- what providers hand back, as they hand it ---

struct CallbackCase {
  const char* name;
  std::map<std::wstring, DWORD> numbers;
  const wchar_t* expectedCall;  // a line of the stub's log
  bool released;
};

void PrintTo(const CallbackCase& c, std::ostream* os) { *os << c.name; }

class CallbackTest : public WorkerFixture, public ::testing::WithParamInterface<CallbackCase> {};

TEST_P(CallbackTest, TheWorkerAnswersItsProvider) {
  Extension& e = AddExtension(GetParam().numbers);
  const TestFile f = MakeFile(m_system.Get(), "callback/clip.mov");
  const std::wstring pin = Pin(e.elements, f, e.clsidString, 1, L"Preview");
  Start(e);
  const std::wstring expected = GetParam().expectedCall;
  ASSERT_TRUE(WaitLong([&] { return CountCalls(expected) >= 1; })) << GetParam().name;
  if (GetParam().released) {
    EXPECT_TRUE(WaitLong([&] { return !IsPinned(f, pin); }));
  } else {
    Sleep(200);
    EXPECT_TRUE(IsPinned(f, pin));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CallbackTest,
    ::testing::Values(CallbackCase{"NullParametersAreRefused", {{L"Null Parameters", 1}}, L"PostProcess 0x80070057", false},
                      CallbackCase{"Item48IsRefusedUnwritten", {{L"Item 48", 1}}, L"Item48 0x80070057 untouched", true},
                      // The stub names the file as item: path, id1, id2, id0 follow its strings.
                      CallbackCase{"ThreeStringsAndTheItemAreReported", {{L"Event Strings", 3}}, L"ReportEvent 0x00000000", true},
                      CallbackCase{"FourStringsAndTheItemAreTooMany", {{L"Event Strings", 4}}, L"ReportEvent 0x80070057", true},
                      CallbackCase{"LoggingIsAnswered", {{L"Log Severity", 2}}, L"Unpin 0x00000000", true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the archive's own fragment list ---

// Pins kept in the fragment list, where the worker's own walk finds them and
// from which a release removes them.
class FragmentListTest : public DrainTest {
 protected:
  void SetUp() override {
    const std::wstring archive = L"Software\\Vantrel\\Corvellane\\Archive";
    extrules_test::SetString(archive, L"Fragment List", platform::WideFromUtf8((Env().root / "fragments.vnl").string()));
    extrules_test::SetString(archive, L"Pin Store", L"Fragment List");
    DrainTest::SetUp();
  }
};

TEST_P(FragmentListTest, PinsInTheListAreReleasedOnceEach) {
  Extension& e = AddExtension({}, {{L"Schedule", GetParam().schedule}});
  e.worker->SetElementWalkFactory(&MakeFragmentListWalk);
  std::vector<TestFile> files;
  std::vector<std::pair<const TestFile*, std::wstring>> pins;
  files.reserve(50);
  for (int i = 0; i < 50; ++i) {
    files.push_back(MakeFile(m_system.Get(), "list/clip" + std::to_string(i) + ".mov"));
    const std::wstring pin = ExtensionNameCache::PinNameText(e.clsidString, i + 1);
    ASSERT_EQ(PinOf(files[i], pin)->SetValue(ComVariant(L"Preview")), S_OK);
    pins.push_back({&files[i], pin});
  }
  Start(e);
  ASSERT_TRUE(Drained(pins, e));
  ExpectReleasedOnce(ReadPinLog(), 50);
  EXPECT_EQ(CountCalls(L"Execute"), 50 * GetParam().executes);
}

INSTANTIATE_TEST_SUITE_P(Modes, FragmentListTest,
                         ::testing::Values(DrainCase{"NothingToDo", L"ok", 0, true},
                                           DrainCase{"Pending", L"pending", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The fragment list's own walk over a pin index whose link after the second
// pin is broken: the first pin, the second's failure, then the end; never
// the same element again (a pass would spin on it).
class FragmentListWalkTest : public WorkerFixture {
 protected:
  void SetUp() override {
    const std::wstring archive = L"Software\\Vantrel\\Corvellane\\Archive";
    extrules_test::SetString(archive, L"Fragment List", platform::WideFromUtf8((Env().root / "broken.vnl").string()));
    extrules_test::SetString(archive, L"Pin Store", L"Fragment List");
    WorkerFixture::SetUp();
  }
};

TEST_F(FragmentListWalkTest, ABrokenIndexLinkEndsTheWalk) {
  const std::wstring clsid = platform::FormatGuid(TestClsid(40));
  std::vector<TestFile> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(MakeFile(m_system.Get(), "walk/clip" + std::to_string(i) + ".mov"));
    ASSERT_EQ(PinOf(files[i], ExtensionNameCache::PinNameText(clsid, i + 1))->SetValue(ComVariant(L"Preview")), S_OK);
  }
  // Break the second pin's level-0 link in the pin index, as a damaged file would.
  CFragmentList list;
  ASSERT_EQ(list.Attach(), ERROR_SUCCESS);
  CFragmentSearchKey key;
  key.name = clsid;
  CFragmentSearch search(key);
  CFileListInternal::iterator it = list.List().find(search, CFragmentItem::kPinIndex);
  ASSERT_NE(it, list.List().end(CFragmentItem::kPinIndex));
  ++it;
  ASSERT_NE(it, list.List().end(CFragmentItem::kPinIndex));
  const CFileListHashedOffset second = it.CheckOffset();
  const ULONGLONG at = ULONGLONG{second.page} * ledgerhold::kPageSize + second.position;
  ledgerhold::LedgerFile& file = list.List().File();
  const auto* header = reinterpret_cast<const ledgerhold::RecordHeader*>(file.At(at));
  BYTE* tower = file.At(at + sizeof(ledgerhold::RecordHeader));
  for (unsigned n = 0; n < CFragmentItem::kPinIndex; ++n) {
    if (header->mask & (1u << n)) tower += 8 + 8 * tower[0];
  }
  ASSERT_TRUE(header->mask & (1u << CFragmentItem::kPinIndex));
  // A page far past the file's end.
  const ULONGLONG broken = ULONGLONG{0x7FFFFFF0} * ledgerhold::kPageSize + ledgerhold::kPageHeaderBytes;
  std::memcpy(tower + 8, &broken, sizeof broken);

  std::unique_ptr<CPinnedElementWalk> walk = MakeFragmentListWalk();
  ASSERT_EQ(walk->Open(), 0u);
  ASSERT_EQ(walk->Find(clsid), 0u);
  std::vector<CPinnedElementWalk::Step> steps;
  std::vector<ULONGLONG> positions;
  for (int i = 0; i < 10; ++i) {
    CPinnedElement element;
    DWORD code = 0;
    steps.push_back(walk->Next(element, code));
    if (steps.back() == CPinnedElementWalk::Step::kEnd) break;
    positions.push_back(element.position);
  }
  const std::vector<CPinnedElementWalk::Step> expected = {
      CPinnedElementWalk::Step::kElement, CPinnedElementWalk::Step::kFailed, CPinnedElementWalk::Step::kEnd};
  EXPECT_EQ(steps, expected);
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_NE(positions[0], positions[1]);
}

// --- many extensions, pins arriving during the drain ---

TEST_F(WorkerFixture, PinToolDuringDrainOverThreeExtensions) {
  constexpr int kFiles = 20;
  constexpr int kPinsPerExtension = 400;
  std::vector<Extension*> extensions;
  for (int i = 0; i < 3; ++i) {
    extensions.push_back(&AddExtension({{L"Mode", static_cast<DWORD>(i + 1)}, {L"Execute Delay", 2}},
                                       {{L"Schedule", i == 0 ? L"ok" : L"pending"}}));
  }
  std::vector<TestFile> files;
  files.reserve(kFiles);
  for (int i = 0; i < kFiles; ++i) files.push_back(MakeFile(m_system.Get(), "tool/clip" + std::to_string(i) + ".mov"));
  for (Extension* e : extensions) Start(*e);

  // The pin tool: about 1,000 pins a second, spread over the extensions and files.
  std::vector<std::vector<std::pair<const TestFile*, std::wstring>>> pins(3);
  std::thread tool([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const auto begin = std::chrono::steady_clock::now();
    for (int n = 0; n < 3 * kPinsPerExtension; ++n) {
      Extension& e = *extensions[n % 3];
      const TestFile& f = files[(n / 3) % kFiles];
      pins[n % 3].push_back({&f, Pin(e.elements, f, e.clsidString, n + 1, n % 2 == 0 ? L"Preview" : L"Thumbnail")});
      std::this_thread::sleep_until(begin + std::chrono::microseconds(1000 * (n + 1)));
      if (n % 50 == 0) e.worker->Rescan();
    }
    CoUninitialize();
  });
  tool.join();
  for (int i = 0; i < 3; ++i) {
    extensions[i]->worker->Rescan();
    ASSERT_TRUE(Drained(pins[i], *extensions[i])) << "extension " << i;
  }
  ExpectReleasedOnce(ReadPinLog(), 3 * kPinsPerExtension);
}

}  // namespace
}  // namespace worker_test
