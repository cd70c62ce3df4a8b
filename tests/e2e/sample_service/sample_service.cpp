// sample_service.cpp - a small service program on the service framework, for the end-to-end test.
//
// Its Run traces a few lines, one of them an error line (which has the trace
// logger save a .VNT file), and waits for the stop event. The DWORD value
// "Run result" under its settings key makes Run fail instead: a Win32 code,
// or 0xFFFFFFFF for an error that carries only a message id.
#include "LibService/ServiceApp.h"
#include "platform/registry/registry.h"

#include "Evtsample_service.h"
#include "TrcVnSample.h"

namespace {

DWORD ReadRunResult(const std::wstring& displayName, bool& present) {
  present = false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceSettingsKey(displayName).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key, L"Run result", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
      type == REG_DWORD)
    present = true;
  RegCloseKey(key);
  return value;
}

}  // namespace

class CSampleService : public CServiceApp<CSampleService> {
 public:
  CSampleService() : CServiceApp(L"VnSample", L"Vantrel Sample Service", {}) {}

  std::string GetTraceName() const override { return "SampleService"; }

  CStatus Run() override {
    ServiceTrace(this, TRC_SAMPLE_BEGIN, 3);
    for (int i = 1; i <= 3; ++i) ServiceTrace(this, TRC_SAMPLE_TICK, i, L"tick");
    ServiceTrace(this, TRC_SAMPLE_PLANNED_ERROR, L"planned");
    bool present = false;
    const DWORD result = ReadRunResult(GetDisplayName(), present);
    if (present && result == 0xFFFFFFFFu)
      return CStatus(NewErrorMessage(VN_HERE, MSG_SAMPLE_FAILED, {L"the configured failure"}));
    if (present && result != 0) return CStatus(NewErrorNumber(VN_HERE, result));
    WaitForSingleObject(GetStopEvent(), INFINITE);
    ServiceTrace(this, TRC_SAMPLE_END);
    return CStatus();
  }
};

CSampleService theApp;

VANTREL_SERVICE_MAIN()
