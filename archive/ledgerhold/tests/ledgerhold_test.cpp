// ledgerhold_test.cpp - the fragment list's operations over a real file: insert, find, walk, remove, check.
#include "VNService/Extensions/Taskweave/FragmentList/FragmentList.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
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

}  // namespace
