// LoginBackoff.cpp - failed logins per client and user, and the waits they earn.
#include "REST APIs/HTTP Service/LoginBackoff.h"

#include "platform/base/text.h"

#include <arpa/inet.h>

#include <algorithm>

CLoginBackoff::Key CLoginBackoff::KeyOf(const std::string& client, const std::wstring& user) {
  return {client, platform::ToLower(user)};
}

ULONGLONG CLoginBackoff::WaitFor(const std::string& client, const std::wstring& user, ULONGLONG now) const {
  platform::SrwSharedLock hold(m_lock);
  const auto found = m_records.find(KeyOf(client, user));
  if (found == m_records.end() || found->second.notBefore <= now) return 0;
  return found->second.notBefore - now;
}

void CLoginBackoff::Failed(const std::string& client, const std::wstring& user, ULONGLONG now) {
  Key key = KeyOf(client, user);
  platform::SrwExclusiveLock hold(m_lock);
  auto found = m_records.find(key);
  if (found != m_records.end() && now - found->second.lastFailure > m_limits.forgetAfterMs) {
    m_records.erase(found);
    found = m_records.end();
  }
  if (found == m_records.end()) {
    MakeRoomLocked(now);
    found = m_records.emplace(std::move(key), Record{}).first;
  }
  Record& record = found->second;
  ++record.failures;
  record.lastFailure = now;
  if (record.failures > m_limits.freeFailures) {
    const unsigned doublings = std::min(record.failures - m_limits.freeFailures - 1, 30u);
    record.notBefore = now + std::min(m_limits.firstWaitMs << doublings, m_limits.longestWaitMs);
  }
}

void CLoginBackoff::Succeeded(const std::string& client, const std::wstring& user) {
  const Key key = KeyOf(client, user);
  platform::SrwExclusiveLock hold(m_lock);
  m_records.erase(key);
}

size_t CLoginBackoff::Records() const {
  platform::SrwSharedLock hold(m_lock);
  return m_records.size();
}

void CLoginBackoff::MakeRoomLocked(ULONGLONG now) {
  if (m_records.size() < m_limits.maxRecords) return;
  for (auto it = m_records.begin(); it != m_records.end();)
    it = now - it->second.lastFailure > m_limits.forgetAfterMs ? m_records.erase(it) : std::next(it);
  if (m_records.size() < m_limits.maxRecords) return;
  const auto oldest = std::min_element(m_records.begin(), m_records.end(), [](const auto& a, const auto& b) {
    return a.second.lastFailure < b.second.lastFailure;
  });
  if (oldest != m_records.end()) m_records.erase(oldest);
}

std::string LoginClientKey(const std::string& address) {
  std::string text = address;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  in6_addr six{};
  if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), &six) != 1) return address;
  // An IPv4 address written as IPv6 is that IPv4 client.
  if (IN6_IS_ADDR_V4MAPPED(&six)) {
    char four[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &six.s6_addr[12], four, sizeof four) != nullptr ? std::string(four) : address;
  }
  std::fill(six.s6_addr + 8, six.s6_addr + 16, 0);
  char prefix[INET6_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET6, &six, prefix, sizeof prefix) != nullptr ? std::string(prefix) + "/64" : address;
}
