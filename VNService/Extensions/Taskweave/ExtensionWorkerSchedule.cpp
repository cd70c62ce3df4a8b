// ExtensionWorkerSchedule.cpp - the schedule step: ScheduleOperation, and what its answer means for the pin.
#include "VNService/Extensions/Taskweave/ExtensionWorker.h"
#include "VNService/Extensions/Taskweave/ExtensionWorkerInternal.h"

#include "LibService/ServiceLogger.h"

using namespace extension_worker;

namespace {

constexpr DWORD TRC_RELEASED_UNUSED = 0x000100CC;
constexpr HRESULT kPinOffline = HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE);

}  // namespace

CStatus CExtensionWorker::Schedule(BSTR operation, const std::wstring& keyString, IArchiveFile* file,
                                   IArchivePin* pin, const std::wstring& pinName, ULONG mode, bool& busy) {
  platform::ComPtr<CPostProcessParameters> parameters(new CPostProcessParameters(file, pin, pinName, Rules()));
  parameters->SetMode(mode);
  parameters->SetKeyString(keyString);
  const HRESULT hr = CallProvider([&] { return m_provider->ScheduleOperation(operation, parameters.Get(), this); });
  // E_PENDING: the provider took the work (or it joined work in progress).
  if (hr == E_PENDING) return CStatus();
  if (FAILED(hr)) return CStatus(NewHRESULT(kScheduleFailed, hr));
  // S_FALSE: the provider cannot take it now. Only S_OK is "nothing to do".
  if (hr != S_OK) {
    if (!parameters->WasPostProcessed()) busy = true;
    return CStatus();
  }
  // A pin that PostProcess gave to an operation is that operation's to release.
  if (parameters->WasPostProcessed()) return CStatus();
  ServiceTrace(this, TRC_RELEASED_UNUSED, platform::ComBstr::FromBstr(operation).Str().c_str(), keyString.c_str());
  const HRESULT released = pin->SetValue(platform::ComVariant());
  if (FAILED(released) && released != kPinOffline) return CStatus(NewHRESULT(kReleaseFailed, released));
  return CStatus();
}
