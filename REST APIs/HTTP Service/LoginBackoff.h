// LoginBackoff.h - CLoginBackoff, how long a client must wait before it may try a user's password again.
//
// Failed logins are counted per client address and user name. The first few
// cost nothing (typing errors); after that each failure doubles the wait
// before that address may try that user again, up to a ceiling; a success
// ends the count. A client guessing one user's password is slowed to a few
// hashes a minute, while the same user logging in from elsewhere is never
// held up by it. Records are forgotten a while after their last failure, and
// the table is bounded: when it is full, the record failed longest ago goes.
//
// Times are GetTickCount64 milliseconds, passed in so that tests set them.
// Any thread may call; one lock guards the table.
#pragma once

#include "platform/sync/sync.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

class CLoginBackoff {
 public:
  struct Limits {
    unsigned freeFailures = 3;          // failures in a row before the first wait
    ULONGLONG firstWaitMs = 1'000;      // the wait after the first failure beyond them, doubled each time
    ULONGLONG longestWaitMs = 60'000;
    ULONGLONG forgetAfterMs = 15 * 60'000;  // since the last failure
    size_t maxRecords = 10'000;
  };

  CLoginBackoff() = default;
  explicit CLoginBackoff(const Limits& limits) : m_limits(limits) {}

  // Milliseconds client must still wait before trying user; 0 when it may now.
  ULONGLONG WaitFor(const std::string& client, const std::wstring& user, ULONGLONG now) const;
  void Failed(const std::string& client, const std::wstring& user, ULONGLONG now);
  void Succeeded(const std::string& client, const std::wstring& user);
  size_t Records() const;

 private:
  struct Record {
    unsigned failures = 0;
    ULONGLONG lastFailure = 0;
    ULONGLONG notBefore = 0;
  };
  // (client, user name folded to lower case)
  using Key = std::pair<std::string, std::wstring>;
  static Key KeyOf(const std::string& client, const std::wstring& user);
  // Makes room for one more record; the caller holds m_lock.
  void MakeRoomLocked(ULONGLONG now);

  const Limits m_limits;
  // m_lock guards m_records.
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::map<Key, Record> m_records;
};

// The part of a client address that identifies one client for the login
// limits: an IPv4 address as it is, an IPv6 address by its /64 prefix (one
// subscriber's network), anything else as it is.
std::string LoginClientKey(const std::string& address);
