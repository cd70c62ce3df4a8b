// ExtensionWorkerRules.h - the waits a worker keeps: kept pins, the busy provider, the retry after a failure.
//
// Each rule is a small value the worker holds; none takes a lock of its own.
// CKeptPins is guarded by the worker's record lock (it is read together
// with the records in progress); CBusyState and CRetryBackoff belong to the
// scan thread alone. Times are tick counts (GetTickCount64) passed in, so a
// rule never reads the clock twice for one decision.
#pragma once

#include "platform/base/types.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// Pins a finished operation left pinned, by (key string, pin name): the scan
// hands them over again only after their wait.
class CKeptPins {
 public:
  explicit CKeptPins(DWORD retryMs) : m_retryMs(retryMs) {}

  void SetRetry(DWORD ms) { m_retryMs = ms; }
  // Notes the pins, each to wait from now; true when there was any.
  bool Keep(const std::wstring& keyString, std::vector<std::wstring> pinNames, ULONGLONG now);
  // Whether the pin still waits; a note whose wait is over is forgotten.
  bool IsKept(const std::wstring& keyString, const std::wstring& pinName, ULONGLONG now);
  // The wait until the first kept pin is due, at most upTo. Notes whose wait
  // is over are forgotten: the pass just run handed them over if they are
  // still there, and a note left behind would end every wait at once.
  DWORD NextWait(ULONGLONG now, DWORD upTo);

 private:
  DWORD m_retryMs;
  std::map<std::pair<std::wstring, std::wstring>, ULONGLONG> m_due;
};

// A provider that answered "busy" gets nothing until it completes work, or
// until its bound passed since the busy state began (whatever wakes the scan
// meanwhile), so a provider that misses a completion cannot stop it for good.
class CBusyState {
 public:
  explicit CBusyState(DWORD boundMs) : m_boundMs(boundMs) {}

  void SetBound(DWORD ms) { m_boundMs = ms; }
  bool Busy() const { return m_busy; }
  void Begin(ULONGLONG now) {
    m_busy = true;
    m_since = now;
  }
  void Clear() { m_busy = false; }
  // The scan's wait, cut to what is left of the bound while busy.
  DWORD Limit(DWORD timeout, ULONGLONG now) const;
  // After a wait: a completion (or the stop) ends the busy state, and so
  // does the end of its bound.
  void AfterWait(bool completed, ULONGLONG now);

 private:
  DWORD m_boundMs;
  bool m_busy = false;
  ULONGLONG m_since = 0;
};

// The retry after a failure of the list or the wait: first after firstMs,
// doubling to maxMs; one report per outage, which a pass that ran ends.
class CRetryBackoff {
 public:
  CRetryBackoff(DWORD firstMs, DWORD maxMs) : m_firstMs(firstMs), m_maxMs(maxMs), m_waitMs(firstMs) {}

  DWORD Wait() const { return m_waitMs; }
  void Grow() { m_waitMs = m_waitMs > m_maxMs / 2 ? m_maxMs : m_waitMs * 2; }
  // A pass ran: the outage is over.
  void Recovered() {
    m_waitMs = m_firstMs;
    m_reported = false;
  }
  // True the first time in an outage: the caller reports it then.
  bool FirstReport() {
    if (m_reported) return false;
    m_reported = true;
    return true;
  }

 private:
  DWORD m_firstMs;
  DWORD m_maxMs;
  DWORD m_waitMs;
  bool m_reported = false;
};
