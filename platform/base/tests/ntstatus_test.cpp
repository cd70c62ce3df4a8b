// ntstatus_test.cpp - the NT status table, row by row.
#include "platform/base/errors.h"
#include "platform/base/ntstatus.h"

#include <gtest/gtest.h>

namespace {

struct StatusCase {
  const char* name;
  DWORD status;
  DWORD expected;
};

TEST(NtStatus, Table) {
  const StatusCase cases[] = {
      {"success", 0x00000000u, ERROR_SUCCESS},
      {"cancelled is an aborted operation", 0xC0000120u, ERROR_OPERATION_ABORTED},
      {"invalid parameter (code not served)", 0xC000000Du, ERROR_INVALID_PARAMETER},
      {"access denied (administrators only)", 0xC0000022u, ERROR_ACCESS_DENIED},
      {"not found (lost cursor, unknown cookie)", 0xC0000225u, ERROR_NOT_FOUND},
      {"no memory", 0xC0000017u, ERROR_NOT_ENOUGH_MEMORY},
      {"buffer too small", 0xC0000023u, ERROR_INSUFFICIENT_BUFFER},
      {"buffer overflow is more data", 0x80000005u, ERROR_MORE_DATA},
      {"broken pipe", 0xC000014Bu, ERROR_BROKEN_PIPE},
      {"pipe busy", 0xC00000AEu, ERROR_PIPE_BUSY},
      {"invalid device request", 0xC0000010u, ERROR_INVALID_FUNCTION},
      {"wrapped Win32 code", 0xC0070005u, ERROR_ACCESS_DENIED},
      {"unknown error status", 0xC0DEF00Du, ERROR_MR_MID_NOT_FOUND},
      {"unknown warning status", 0x8000BEEFu, ERROR_MR_MID_NOT_FOUND},
  };
  for (const StatusCase& c : cases) {
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(c.status)), c.expected) << c.name;
  }
}

}  // namespace
