// HostSettings.cpp - the typed values of a host's parameters, read through one table.
#include "REST APIs/HTTP Service/HostSettings.h"

#include "platform/base/format.h"

namespace {

// One typed host value: where it goes in CHostLimits, its bounds and how
// many of the field's units one unit of the value is.
struct LimitValue {
  const wchar_t* name;
  std::uint64_t low;
  std::uint64_t high;
  std::uint64_t scale;  // 1000 for seconds into milliseconds
  void (*set)(CHostLimits&, std::uint64_t);
  std::uint64_t (*get)(const CHostLimits&);
};

// The bounds keep a typing slip from opening the service up (a body of
// gigabytes read into memory, a silent client kept for days) or shutting it
// down (a head too short for a browser's cookies, a handful of connections).
const LimitValue kLimitValues[] = {
    {L"Request Head Limit", 1024, 1024 * 1024, 1,
     [](CHostLimits& l, std::uint64_t v) { l.front.maxHeadBytes = static_cast<std::size_t>(v); },
     [](const CHostLimits& l) { return static_cast<std::uint64_t>(l.front.maxHeadBytes); }},
    {L"Request Body Limit", 1024, 1024ull * 1024 * 1024, 1,
     [](CHostLimits& l, std::uint64_t v) { l.front.maxBodyBytes = v; },
     [](const CHostLimits& l) { return l.front.maxBodyBytes; }},
    {L"Request Header Timeout", 1, 600, 1000,
     [](CHostLimits& l, std::uint64_t v) { l.front.headerTimeoutMs = static_cast<DWORD>(v); },
     [](const CHostLimits& l) { return static_cast<std::uint64_t>(l.front.headerTimeoutMs); }},
    {L"Idle Connection Timeout", 1, 3600, 1000,
     [](CHostLimits& l, std::uint64_t v) { l.front.idleTimeoutMs = static_cast<DWORD>(v); },
     [](const CHostLimits& l) { return static_cast<std::uint64_t>(l.front.idleTimeoutMs); }},
    {L"Connection Limit", 16, 65536, 1,
     [](CHostLimits& l, std::uint64_t v) { l.front.maxConnections = static_cast<DWORD>(v); },
     [](const CHostLimits& l) { return static_cast<std::uint64_t>(l.front.maxConnections); }},
    // Up to what a wait in milliseconds can hold.
    {L"Query Timeout", 1, 0x7FFFFFFFu / 1000, 1000,
     [](CHostLimits& l, std::uint64_t v) { l.queryTimeoutMs = static_cast<DWORD>(v); },
     [](const CHostLimits& l) { return static_cast<std::uint64_t>(l.queryTimeoutMs); }},
};

// A whole decimal number of at most 19 digits (no sign, no blanks).
bool ParseWhole(const std::wstring& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return true;
}

}  // namespace

CHostLimits HostLimitsFrom(const std::map<std::wstring, std::wstring>& parameters,
                           std::vector<CRejectedLimit>& rejected) {
  CHostLimits limits;
  for (const LimitValue& row : kLimitValues) {
    const auto found = parameters.find(std::wstring(L"Registry$") + row.name);
    if (found == parameters.end()) continue;
    std::uint64_t value = 0;
    if (ParseWhole(found->second, value) && value >= row.low && value <= row.high) {
      row.set(limits, value * row.scale);
      continue;
    }
    rejected.push_back({row.name, found->second, platform::FormatW(L"%I64u", row.low),
                        platform::FormatW(L"%I64u", row.high), platform::FormatW(L"%I64u", row.get(limits) / row.scale)});
  }
  return limits;
}

bool CHTTPServer::CHostSettings::SameListener(const CHostSettings& other) const {
  // "Query Timeout" is read by each request: it changes in place.
  return uri == other.uri && roots == other.roots && tls == other.tls && locationSettings == other.locationSettings &&
         limits.front == other.limits.front;
}
