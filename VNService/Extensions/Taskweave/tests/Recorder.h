// Recorder.h - a subscription context that keeps what its callback heard.
#pragma once

#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "platform/pipe/ServiceAPI.h"
#include "platform/sync/sync.h"

#include <vector>

namespace vnservice_test {

struct Heard {
  ULONGLONG code;  // as passed to the callback
  DWORD type;
  DWORD size;
  DWORD recordCode;  // the record's own code field
};

class Recorder {
 public:
  Recorder() { InitializeCriticalSection(&m_lock); }
  ~Recorder() { DeleteCriticalSection(&m_lock); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  static void Callback(ULONGLONG code, void* context, DWORD type, DWORD size, const BYTE* record) {
    auto* self = static_cast<Recorder*>(context);
    platform::CriticalSectionLock hold(self->m_lock);
    self->m_heard.push_back({code, type, size, platform::LoadLe32(record + 8)});
  }

  std::size_t Count(DWORD type) {
    platform::CriticalSectionLock hold(m_lock);
    std::size_t n = 0;
    for (const Heard& h : m_heard) n += h.type == type ? 1 : 0;
    return n;
  }
  std::vector<Heard> All() {
    platform::CriticalSectionLock hold(m_lock);
    return m_heard;
  }

 private:
  CRITICAL_SECTION m_lock;  // guards m_heard
  std::vector<Heard> m_heard;
};

}  // namespace vnservice_test
