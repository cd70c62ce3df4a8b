// ledgerhold_test.cpp - the fragment list's operations over a real file: insert, find, walk, remove, check.
#include "archive/interfaces/FragmentList/FragmentList.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::wstring kA = L"{A0000000-0000-0000-0000-000000000000}";
const std::wstring kB = L"{B0000000-0000-0000-0000-000000000000}";

class LedgerholdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = platform::testing::MakeTempDir("ledgerhold-test-");
    m_path = (m_dir / "fragments.ldg").wstring();
  }

  static CPinnedElem Pin(const std::wstring& name, ULONGLONG value, int file = 1, const std::wstring& op = L"Preview") {
    return CPinnedElem(platform::FormatW(L"%08X@D:\\f%d", file, file), file, 10, 20, name, value, op);
  }
  // The (name, value) of every element of index 6 from find(name, 0).
  static std::vector<ULONGLONG> Values(CFileListInternal& list, const std::wstring& name) {
    CFragmentSearchKey key;
    key.name = name;
    CFragmentSearch search(key);
    std::vector<ULONGLONG> out;
    for (auto it = list.find(search, CFragmentItem::kPinIndex); it != list.end(CFragmentItem::kPinIndex); ++it) {
      CFileListPointer<CFragmentItem> pointer(list, it);
      CFragmentItem* item = pointer.Load(true);
      if (item->Name() == nullptr || *item->Name() != name) break;
      out.push_back(item->Value64());
    }
    return out;
  }

  std::filesystem::path m_dir;
  std::wstring m_path;
};

TEST_F(LedgerholdTest, PinsAreFoundByNameInValueOrderAndRemovedOnce) {
  CFragmentList fragments(m_path);
  ASSERT_TRUE(fragments.AllocatorReady());
  ASSERT_EQ(fragments.Attach(), ERROR_SUCCESS);
  CFileListInternal& list = fragments.List();
  for (ULONGLONG v : {3ull, 1ull, 2ull}) {
    CPinnedElem pin = Pin(kB, v);
    ASSERT_EQ(list.Insert(pin), ERROR_SUCCESS);
  }
  CPinnedElem other = Pin(kA, 7);
  ASSERT_EQ(list.Insert(other), ERROR_SUCCESS);
  EXPECT_EQ(Values(list, kB), (std::vector<ULONGLONG>{1, 2, 3}));
  EXPECT_EQ(Values(list, kA), (std::vector<ULONGLONG>{7}));
  EXPECT_EQ(list.Count(CFragmentItem::kPinIndex), 4u);

  CPinnedElem two = Pin(kB, 2);
  auto sameFile = [](const CFileListFile& r) { return r.KeyString() == L"00000001@D:\\f1"; };
  EXPECT_EQ(list.RemoveFirst(two, CFragmentItem::kPinIndex, sameFile), ERROR_SUCCESS);
  EXPECT_EQ(list.RemoveFirst(two, CFragmentItem::kPinIndex, sameFile), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Values(list, kB), (std::vector<ULONGLONG>{1, 3}));

  std::wstring report;
  EXPECT_TRUE(list.Check(report));
  EXPECT_EQ(report, L"");
}

TEST_F(LedgerholdTest, ASecondProcessViewSeesWhatTheFirstWrote) {
  CFragmentList writer(m_path), reader(m_path);
  ASSERT_EQ(writer.Attach(), ERROR_SUCCESS);
  ASSERT_EQ(reader.Attach(), ERROR_SUCCESS);
  for (ULONGLONG v = 1; v <= 2000; ++v) {
    CPinnedElem pin = Pin(kA, v, static_cast<int>(v % 7));
    ASSERT_EQ(writer.List().Insert(pin), ERROR_SUCCESS);
  }
  const auto values = Values(reader.List(), kA);
  ASSERT_EQ(values.size(), 2000u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i + 1);
  std::wstring report;
  EXPECT_TRUE(reader.List().Check(report));
}

TEST_F(LedgerholdTest, FindByNameWithValueZeroGivesTheFirstPinAtEverySize) {
  CFragmentList fragments(m_path);
  ASSERT_EQ(fragments.Attach(), ERROR_SUCCESS);
  CFileListInternal& list = fragments.List();
  ULONGLONG inserted = 0;
  for (ULONGLONG size : {1ull, 1000ull, 100000ull}) {
    SCOPED_TRACE(size);
    // Values go in from the top, so the first pin is always the last one added.
    for (; inserted < size; ++inserted) {
      CPinnedElem pin = Pin(kB, 1000000 - inserted, static_cast<int>(inserted % 50));
      ASSERT_EQ(list.Insert(pin), ERROR_SUCCESS);
    }
    CPinnedElem before = Pin(kA, 5);
    ASSERT_EQ(list.Insert(before), ERROR_SUCCESS);
    CFragmentSearchKey key;
    key.name = kB;
    CFragmentSearch search(key);
    auto it = list.find(search, CFragmentItem::kPinIndex);
    ASSERT_NE(it, list.end(CFragmentItem::kPinIndex));
    CFileListPointer<CFragmentItem> pointer(list, it);
    const CFragmentItem* first = pointer.Load(true);
    ASSERT_NE(first->Name(), nullptr);
    EXPECT_EQ(*first->Name(), kB);
    EXPECT_EQ(first->Value64(), 1000000 - size + 1);
  }
  std::wstring report;
  EXPECT_TRUE(list.Check(report));
  EXPECT_EQ(list.Count(CFragmentItem::kPinIndex), 100003u);
}

TEST_F(LedgerholdTest, TheLoaderRefusesTheWrongPageKindAndARecordChangedUnderIt) {
  CFragmentList reader(m_path), writer(m_path);
  ASSERT_EQ(reader.Attach(), ERROR_SUCCESS);
  ASSERT_EQ(writer.Attach(), ERROR_SUCCESS);
  CPinnedElem pin = Pin(kA, 1, 1, L"Preview");
  ASSERT_EQ(writer.List().Insert(pin), ERROR_SUCCESS);
  CFileListInternal& list = reader.List();
  const auto it = list.begin(CFragmentItem::kPinIndex);
  ASSERT_NE(it, list.end(CFragmentItem::kPinIndex));

  CFileListPointer<CFragmentItem> asPointerPage(list, it);
  try {
    asPointerPage.Load(false);
    ADD_FAILURE() << "a record page read as a pointer page";
  } catch (DWORD code) {
    EXPECT_EQ(code, ERROR_FILE_CORRUPT);
  }

  // The writer changes the pin's operation and writes it back while the
  // reader stands on it: the reader's load tells the change.
  {
    auto at = writer.List().begin(CFragmentItem::kPinIndex);
    CFileListPointer<CFragmentItem> pointer(writer.List(), at);
    auto* loaded = dynamic_cast<CPinnedElem*>(pointer.Load(true));
    ASSERT_NE(loaded, nullptr);
    loaded->SetAttribute(L"Transcode");
    ASSERT_EQ(loaded->Allocate(writer.List()), ERROR_SUCCESS);
    pointer.Changed();
    EXPECT_EQ(pointer.WriteBack(), ERROR_SUCCESS);
  }
  CFileListPointer<CFragmentItem> stale(list, it);
  try {
    stale.Load(true);
    ADD_FAILURE() << "a changed record loaded as if unchanged";
  } catch (DWORD code) {
    EXPECT_EQ(code, ERROR_DELETE_PENDING);
  }
  // A fresh walk finds the changed record, once.
  auto again = list.begin(CFragmentItem::kPinIndex);
  CFileListPointer<CFragmentItem> fresh(list, again);
  auto* now = dynamic_cast<CPinnedElem*>(fresh.Load(true));
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->Attribute(), L"Transcode");
  EXPECT_EQ(++again, list.end(CFragmentItem::kPinIndex));
  std::wstring report;
  EXPECT_TRUE(list.Check(report));
}

// A place held while its page is emptied and reused by other records tells
// that its record went (303), never an unknown type (13) or a damaged file
// (1392), either of which would end a worker for good.
TEST_F(LedgerholdTest, APlaceOnAReusedPageLoadsAsGoneNotAsDamage) {
  CFragmentList reader(m_path), writer(m_path);
  ASSERT_EQ(reader.Attach(), ERROR_SUCCESS);
  ASSERT_EQ(writer.Attach(), ERROR_SUCCESS);
  CFileListInternal& list = writer.List();
  for (int i = 1; i <= 200; ++i) {
    CPinnedElem pin = Pin(kA, i, i);
    ASSERT_EQ(list.Insert(pin), ERROR_SUCCESS);
  }
  const auto held = reader.List().begin(CFragmentItem::kPinIndex);
  for (int i = 1; i <= 200; ++i) {
    CPinnedElem pin = Pin(kA, i, i);
    ASSERT_EQ(list.RemoveFirst(pin, CFragmentItem::kPinIndex, [](const CFileListFile&) { return true; }),
              ERROR_SUCCESS);
  }
  for (int i = 1; i <= 200; ++i) {
    CFragmentElem element;
    element.SetKeyString(platform::FormatW(L"%08X@D:\\a longer path that shifts the records\\%d", i, i));
    element.SetFields(CFragmentElem::kFlagKind1, 100 + i, i);
    ASSERT_EQ(list.Insert(element), ERROR_SUCCESS);
  }
  CFileListPointer<CFragmentItem> stale(reader.List(), held);
  try {
    stale.Load(true);
    ADD_FAILURE() << "a removed pin loaded";
  } catch (DWORD code) {
    EXPECT_EQ(code, ERROR_DELETE_PENDING);
  }
  std::wstring report;
  EXPECT_TRUE(list.Check(report));
  EXPECT_EQ(list.Count(CFragmentItem::kPinIndex), 0u);
  EXPECT_EQ(list.Count(0), 200u);
  EXPECT_EQ(list.Count(3), 200u) << "kind 1 elements are in index 3";
}

// Writers grow the file without the opening lock: an opener that meets a
// list growing under it attaches (it does not take it for a damaged file).
// A fresh list each round, where grows come thickest.
TEST_F(LedgerholdTest, AnOpenerMeetsAListGrowingUnderIt) {
  std::atomic<int> opens{0};
  std::mutex lock;
  std::vector<DWORD> failures;  // guarded by lock
  for (int round = 0; round < 12; ++round) {
    const std::wstring path = (m_dir / ("growing" + std::to_string(round) + ".ldg")).wstring();
    CFragmentList writer(path);
    ASSERT_EQ(writer.Attach(), ERROR_SUCCESS);
    std::atomic<bool> done{false};
    std::thread grow([&] {
      for (int i = 1; i <= 3000; ++i) {
        CPinnedElem pin(platform::FormatW(L"%08X@D:\\a folder with a long name to fill the pages\\%d", i, i), i, 10,
                        20, kA, i, L"Preview");
        if (writer.List().Insert(pin) != ERROR_SUCCESS) break;
      }
      done = true;
    });
    std::vector<std::thread> openers;
    for (int t = 0; t < 3; ++t) {
      openers.emplace_back([&] {
        while (!done) {
          CFragmentList opener(path);
          const DWORD rc = opener.Attach();
          ++opens;
          if (rc == ERROR_SUCCESS) continue;
          std::lock_guard<std::mutex> hold(lock);
          failures.push_back(rc);
        }
      });
    }
    grow.join();
    for (std::thread& t : openers) t.join();
    std::wstring report;
    EXPECT_TRUE(writer.List().Check(report)) << platform::Utf8FromWide(report);
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << opens << " opens failed, the first with "
                                << failures.front();
}

TEST_F(LedgerholdTest, AWalkGoesOnFromItsPlaceWhenTheListChangesUnderIt) {
  CFragmentList reader(m_path), writer(m_path);
  ASSERT_EQ(reader.Attach(), ERROR_SUCCESS);
  ASSERT_EQ(writer.Attach(), ERROR_SUCCESS);
  for (ULONGLONG v : {10ull, 20ull, 30ull}) {
    CPinnedElem pin = Pin(kA, v);
    ASSERT_EQ(writer.List().Insert(pin), ERROR_SUCCESS);
  }
  CFileListInternal& list = reader.List();
  auto it = list.begin(CFragmentItem::kPinIndex);  // on 10
  // 20 goes, 15 and 25 come: the walk from 10 meets 15, 25, 30.
  CPinnedElem twenty = Pin(kA, 20);
  ASSERT_EQ(writer.List().RemoveFirst(twenty, CFragmentItem::kPinIndex, [](const CFileListFile&) { return true; }),
            ERROR_SUCCESS);
  for (ULONGLONG v : {25ull, 15ull}) {
    CPinnedElem pin = Pin(kA, v);
    ASSERT_EQ(writer.List().Insert(pin), ERROR_SUCCESS);
  }
  std::vector<ULONGLONG> seen;
  for (++it; it != list.end(CFragmentItem::kPinIndex); ++it) {
    CFileListPointer<CFragmentItem> pointer(list, it);
    seen.push_back(pointer.Load(true)->Value64());
  }
  EXPECT_EQ(seen, (std::vector<ULONGLONG>{15, 25, 30}));
}

}  // namespace
