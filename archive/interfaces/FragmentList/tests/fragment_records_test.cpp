// fragment_records_test.cpp - the record classes alone: the allocator by type byte and the orders of the indexes.
#include "archive/interfaces/FragmentList/FragmentItem.h"

#include "platform/base/errors.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(FragmentAllocator, GivesTheRecordOfEachTypeAndThrowsForTheOthers) {
  struct Row {
    const char* what;
    int type;
    int objectType;  // ObjectType(false), or the DWORD thrown
    bool throws;
  };
  const Row rows[] = {
      {"element", 0, 0, false},          {"pinned", 1, 1, false},
      {"element 128", 128, 0, false},    {"deleted", 255, ERROR_DELETE_PENDING, true},
      {"unknown 2", 2, ERROR_INVALID_DATA, true}, {"unknown 127", 127, ERROR_INVALID_DATA, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.throws) {
      try {
        delete CFragmentItem::Allocator(static_cast<unsigned char>(row.type));
        ADD_FAILURE() << "no throw";
      } catch (DWORD code) {
        EXPECT_EQ(code, static_cast<DWORD>(row.objectType));
      }
      continue;
    }
    std::unique_ptr<CFileListFile> record(CFragmentItem::Allocator(static_cast<unsigned char>(row.type)));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ObjectType(false), row.objectType);
    EXPECT_EQ(record->ObjectType(true), row.type);
    EXPECT_EQ(record->Size(), 48u);
  }
}

// Index 6: names character by character with a missing name first, then
// the values only when both are non-zero.
TEST(FragmentOrder, PinIndexOrdersByNameThenByValueWhenBothAreSet) {
  const std::wstring a = L"{A0000000-0000-0000-0000-000000000000}";
  const std::wstring b = L"{B0000000-0000-0000-0000-000000000000}";
  const std::wstring lowerA = L"{a0000000-0000-0000-0000-000000000000}";
  constexpr ULONGLONG kMax = ~0ull;
  struct Row {
    const char* what;
    std::wstring leftName;
    ULONGLONG leftValue;
    std::wstring rightName;
    ULONGLONG rightValue;
    int order;
  };
  const Row rows[] = {
      {"names first", a, kMax, b, 1, -1},
      {"missing name before any", L"", 5, a, 1, -1},
      {"two missing names by value", L"", 1, L"", 2, -1},
      {"values within a name", a, 1, a, 2, -1},
      {"largest value last", a, 2, a, kMax, -1},
      {"duplicates equal", a, 2, a, 2, 0},
      {"case-sensitive: upper before lower", a, 1, lowerA, 1, -1},
      {"value 0 equals every value", a, 0, a, kMax, 0},
      {"value 0 still ordered by name", b, 0, a, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CPinnedElem left(L"k", 1, 2, 3, row.leftName, row.leftValue);
    CPinnedElem right(L"k", 1, 2, 3, row.rightName, row.rightValue);
    auto sign = [](int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); };
    EXPECT_EQ(sign(left.Compare(right, CFragmentItem::kPinIndex)), row.order);
    EXPECT_EQ(sign(right.Compare(left, CFragmentItem::kPinIndex)), -row.order);
  }
  // A search key of value 0 ties with every pin of its name.
  CFragmentSearchKey key;
  key.name = a;
  CFragmentSearch search(key);
  CPinnedElem pin(L"k", 1, 2, 3, a, 77);
  EXPECT_EQ(pin.Compare(search, CFragmentItem::kPinIndex), 0);
}

TEST(FragmentOrder, PathCollationInterleavesCaseAndSortsTheEndFirst) {
  struct Row {
    const char* what;
    std::wstring a, b;
    bool caseA, caseB;
    int order;
  };
  const Row rows[] = {
      {"A before a with case", L"A", L"a", true, true, -1},
      {"a before B with case", L"a", L"B", true, true, -1},
      {"a equals A without case", L"a", L"A", false, true, 0},
      {"end before slash", L"x", L"x/y", true, true, -1},
      {"slash before letters", L"x/y", L"xa", true, true, -1},
      {"brackets after letters", L"_", L"z", true, true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const int c = CFragmentItem::ComparePaths(row.a, row.b, -1, row.caseA, row.caseB);
    EXPECT_EQ(c < 0 ? -1 : (c > 0 ? 1 : 0), row.order);
  }
}

TEST(FragmentSearch, KeepsLongNamesOffTheInlineBuffer) {
  CFragmentSearchKey key;
  key.name = std::wstring(100, L'N');  // 200 bytes as UTF-16
  CFragmentSearch search(key);
  EXPECT_EQ(search.CompressedSize(), 100u * 2 + CFragmentSearch::kHeaderBytes);
  ASSERT_NE(search.Name(), nullptr);
  EXPECT_EQ(*search.Name(), key.name);
  key.name.clear();
  CFragmentSearch empty(key);
  EXPECT_EQ(empty.Name(), nullptr);
  EXPECT_EQ(empty.CompressedSize(), CFragmentSearch::kHeaderBytes);
}

}  // namespace
