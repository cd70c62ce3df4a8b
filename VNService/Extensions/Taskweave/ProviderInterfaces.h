// ProviderInterfaces.h - the COM contract between the extension service and its providers.
//
// Providers implement IExtensionInit (dual, created by CLSID) and
// IProviderOperations; the extension service implements IProviderSupport
// (one per extension) and the post-process objects it hands over with each
// file: IPostProcessParameters, IPostProcessOperations, IPostProcessOperation.
// Each interface is an abstract struct whose pure virtual methods stand in
// vtable slot order, with no virtual destructor; objects go away through
// Release. Every method returns an HRESULT.
//
// Ownership differs from plain COM in two places, and both sides rely on it:
// IPostProcessOperation::GetName hands out the object's own string and
// GetValue a shallow copy of its stored VARIANT; the caller neither frees nor
// clears them, and they stay valid while the caller holds the object.
#pragma once

#include "platform/base/types.h"
#include "platform/com/com.h"
#include "platform/com/oleauto.h"

struct IPostProcessOperation;
struct IPostProcessOperations;
struct IPostProcessParameters;

// The extension service's callback object, given to every provider call.
struct IProviderSupport : IUnknown {
  // Records the operation with the parameters' pin and runs the provider's
  // ExecuteOperation on a thread of its own.
  virtual HRESULT PostProcess(BSTR operation, IPostProcessParameters* parameters) = 0;  // 3
  // Releases the pins of the operation in progress for these parameters.
  virtual HRESULT Unpin(BSTR operation, IPostProcessParameters* parameters) = 0;  // 4
  // Wakes the extension's worker for its next scan.
  virtual HRESULT OperationComplete() = 0;  // 5
  // Severity 0-3 (success, information, warning, error); first argument unused.
  virtual HRESULT LogMessage(IUnknown* unused, ULONG severity, const wchar_t* text) = 0;  // 6
  // An event with the array's strings, followed by the item's path and identity.
  virtual HRESULT ReportEvent(ULONG eventId, IUnknown* item, SAFEARRAY* strings) = 0;  // 7
};
VN_DECLARE_IID(IProviderSupport, 0xA3C78B38, 0x31D6, 0x4CD7, 0xAC, 0x6E, 0x92, 0xFF, 0x0B, 0xD5, 0xB3, 0x1A)

// One file handed to a provider: answers QueryInterface for the archived
// file's and its pin's interfaces as well as its own.
struct IPostProcessParameters : IUnknown {
  virtual HRESULT SetMode(ULONG mode) = 0;                                      // 3
  virtual HRESULT GetOperations(IPostProcessOperations** operations) = 0;      // 4
  // Item 12: values[0..2] = id0, id1, id2, masked by the mode.
  virtual HRESULT GetItem(USHORT itemId, ULONG* values) = 0;                    // 5
};
VN_DECLARE_IID(IPostProcessParameters, 0x0F44FAE1, 0xFDD0, 0x41CC, 0x9D, 0xF9, 0x07, 0x4C, 0x59, 0x2A, 0x8D, 0x9D)

// The operations the rules select for the file, in the rules' order.
struct IPostProcessOperations : IUnknown {
  // S_OK with the next operation, or S_OK with a null pointer past the last.
  virtual HRESULT Next(IPostProcessOperation** operation) = 0;  // 3
};
VN_DECLARE_IID(IPostProcessOperations, 0xF74250BD, 0x1941, 0x41A5, 0xB7, 0x0D, 0x88, 0x8F, 0x19, 0x9D, 0x99, 0xC0)

struct IPostProcessOperation : IUnknown {
  virtual HRESULT GetName(BSTR* name) = 0;                     // 3
  // S_OK with the value, S_FALSE when the operation has no such value.
  virtual HRESULT GetValue(BSTR valueName, VARIANT* value) = 0;  // 4
};
VN_DECLARE_IID(IPostProcessOperation, 0x4756336E, 0xC873, 0x4FC9, 0x9E, 0x9D, 0x29, 0x3F, 0xE4, 0x21, 0xBA, 0x7C)

// What the extension service creates by the provider's CLSID.
struct IExtensionInit : IDispatch {
  // The extension's registration key below HKLM and the archive's system object.
  virtual HRESULT Initialise(BSTR key, IUnknown* system) = 0;  // 7 (DISPID 1)
};
VN_DECLARE_IID(IExtensionInit, 0x25D54CDB, 0xE881, 0x4F04, 0x88, 0x74, 0x2C, 0xD9, 0x1D, 0x45, 0x15, 0x59)

struct IProviderOperations : IUnknown {
  // S_OK with the identity mode (0-3) the provider's operations cover, or
  // S_FALSE when it takes no more work now. The service passes mode 3 in.
  virtual HRESULT QueryCapacity(BSTR operation, ULONG* mode) = 0;  // 3
  // E_PENDING when PostProcess took the work; S_OK when there is nothing to
  // do (the service releases the pin); any other failure refuses the file.
  virtual HRESULT ScheduleOperation(BSTR operation, IPostProcessParameters* parameters,
                                    IProviderSupport* support) = 0;  // 4
  virtual HRESULT ExecuteOperation(BSTR operation, IPostProcessParameters* parameters,
                                   IProviderSupport* support) = 0;  // 5
  // Answers S_OK; never called by the service.
  virtual HRESULT Reserved6() = 0;  // 6
};
VN_DECLARE_IID(IProviderOperations, 0x387722D9, 0x7DA2, 0x4609, 0xBB, 0x5B, 0x95, 0x3C, 0xEC, 0x67, 0x50, 0x68)

// Item ids of IPostProcessParameters::GetItem.
inline constexpr USHORT kPostProcessIdentityItem = 12;
// The identity value that stands for any value.
inline constexpr ULONG kAnyIdentity = 0xFFFFFFFF;
