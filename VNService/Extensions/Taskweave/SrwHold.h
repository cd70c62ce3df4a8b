// SrwHold.h - scoped holds of an SRW lock, shared or exclusive.
//
// The extension code guards its caches and rule sets with SRW locks (readers
// on every lookup, one writer on a reload); these release the lock on every
// path out of a scope, exceptions included.
#pragma once

#include "platform/sync/sync.h"

class CSharedHold {
 public:
  explicit CSharedHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
  ~CSharedHold() { ReleaseSRWLockShared(&lock_); }
  CSharedHold(const CSharedHold&) = delete;
  CSharedHold& operator=(const CSharedHold&) = delete;

 private:
  SRWLOCK& lock_;
};

class CExclusiveHold {
 public:
  explicit CExclusiveHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~CExclusiveHold() { ReleaseSRWLockExclusive(&lock_); }
  CExclusiveHold(const CExclusiveHold&) = delete;
  CExclusiveHold& operator=(const CExclusiveHold&) = delete;

 private:
  SRWLOCK& lock_;
};
