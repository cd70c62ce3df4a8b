// ExtensionWorkerInternal.h - what the worker's step files share: its error positions and the catch at a call's edge.
//
// Not for use outside CExtensionWorker's own sources.
#pragma once

#include "LibService/Status.h"
#include "platform/base/types.h"

#include <functional>
#include <new>

namespace extension_worker {

// Positions of the worker's errors, one table for all its steps.
constexpr const char* kSource = "ExtensionWorker";
constexpr CSourcePos kAttachFailed{kSource, 65};
constexpr CSourcePos kLoadFailed{kSource, 88};
constexpr CSourcePos kObjectFailed{kSource, 99};
constexpr CSourcePos kFileFailed{kSource, 102};
constexpr CSourcePos kNoPins{kSource, 105};
constexpr CSourcePos kPinLookupFailed{kSource, 115};
constexpr CSourcePos kPinReadFailed{kSource, 118};
constexpr CSourcePos kPinNotText{kSource, 120};
constexpr CSourcePos kCapacityFailed{kSource, 131};
constexpr CSourcePos kCapacityError{kSource, 133};
constexpr CSourcePos kReleaseFailed{kSource, 167};
constexpr CSourcePos kScheduleFailed{kSource, 172};
constexpr CSourcePos kPassFailed{kSource, 195};
constexpr CSourcePos kWaitFailed{kSource, 210};
// Where the runner's failures are reported from.
constexpr CSourcePos kRunnerFailed{"TaskweaveService", 219};

// The HRESULT of the exception being handled, for a COM method's edge
// (a thrown failing HRESULT is kept).
inline HRESULT FromException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (HRESULT hr) {
    return FAILED(hr) ? hr : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// A call into the provider from the scan: whatever it throws is a failure
// of that element only.
inline HRESULT CallProvider(const std::function<HRESULT()>& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace extension_worker
