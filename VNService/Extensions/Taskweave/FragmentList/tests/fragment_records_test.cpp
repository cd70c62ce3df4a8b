// fragment_records_test.cpp - the record classes alone: the allocator by type byte and the orders of the indexes.
#include "VNService/Extensions/Taskweave/FragmentList/FragmentItem.h"

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

}  // namespace
