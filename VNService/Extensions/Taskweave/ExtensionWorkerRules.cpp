// ExtensionWorkerRules.cpp - the kept-pin, busy and backoff waits of a worker.
#include "VNService/Extensions/Taskweave/ExtensionWorkerRules.h"

#include <algorithm>

bool CKeptPins::Keep(const std::wstring& keyString, std::vector<std::wstring> pinNames, ULONGLONG now) {
  const ULONGLONG due = now + m_retryMs;
  for (std::wstring& pinName : pinNames) m_due[{keyString, std::move(pinName)}] = due;
  return !pinNames.empty();
}

bool CKeptPins::IsKept(const std::wstring& keyString, const std::wstring& pinName, ULONGLONG now) {
  const auto found = m_due.find({keyString, pinName});
  if (found == m_due.end()) return false;
  if (found->second > now) return true;
  m_due.erase(found);
  return false;
}

DWORD CKeptPins::NextWait(ULONGLONG now, DWORD upTo) {
  ULONGLONG wait = upTo;
  for (auto it = m_due.begin(); it != m_due.end();) {
    if (it->second <= now) {
      it = m_due.erase(it);
    } else {
      wait = std::min(wait, it->second - now);
      ++it;
    }
  }
  return static_cast<DWORD>(wait);
}

DWORD CBusyState::Limit(DWORD timeout, ULONGLONG now) const {
  if (!m_busy) return timeout;
  const ULONGLONG elapsed = now - m_since;
  return elapsed >= m_boundMs ? 0 : std::min<DWORD>(timeout, static_cast<DWORD>(m_boundMs - elapsed));
}

void CBusyState::AfterWait(bool completed, ULONGLONG now) {
  if (completed || (m_busy && now - m_since >= m_boundMs)) m_busy = false;
}
