// Framesight.h - CFramesight, the provider object the class factory makes.
//
// One object per registered extension: the extension service creates it by
// CLSID_Framesight, initialises it once through IExtensionInit and then asks
// it, through IProviderOperations, whether pinned files need work and to do
// that work. IServiceOperations serves the archive's other components.
// IDispatch answers IExtensionInit's one member, "Initialise" (DISPID 1), by
// hand, since the platform has no type information to dispatch through.
//
// Shared state: the reference count and the active job count are atomic;
// the last failure is one aligned 32-bit value, stored atomically; the two
// live settings of the extension's key are guarded by the parameters' own
// locks. Each live object holds one lock on the module, so DllCanUnloadNow
// answers S_FALSE while any object exists.
#pragma once

#include "providers/Framesight/FramesightInterfaces.h"

#include "VNService/Extensions/Taskweave/ExtensionRegistryParameters.h"

#include <atomic>

class CFramesight final : public IProviderOperations,
                          public IServiceOperations,
                          public IExtensionInit,
                          private CExtensionRegistryParameters<&CLSID_Framesight> {
 public:
  // A new object asked for riid (the class factory's CreateInstance; no aggregation).
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // IUnknown: IUnknown, IProviderOperations, IServiceOperations, IExtensionInit, IDispatch.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override;

  // IExtensionInit
  HRESULT Initialise(BSTR key, IUnknown* system) override;

  // IProviderOperations
  HRESULT QueryCapacity(BSTR operation, ULONG* mode) override;
  HRESULT ScheduleOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) override;
  HRESULT ExecuteOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) override;
  HRESULT Reserved6() override;

  // IServiceOperations (Reserved6 above serves both interfaces' S_OK slot of that name)
  HRESULT FilterFile(const void* record, HRESULT fallback) override;
  HRESULT RequestPreparePreview(LPCWSTR path, ULONG unused1, ULONG unused2, ULONG unused3,
                                IProviderSupport* support) override;
  HRESULT Reserved5() override;
  HRESULT Reserved7() override;
  HRESULT Reserved8() override;
  HRESULT RenameOutputs(BSTR keyString, ULONG id1, ULONG id2, BSTR newKeyString, ULONG newId1, ULONG newId2,
                        IUnknown* support) override;
  HRESULT DeleteOutputs(BSTR keyString, ULONG id1, ULONG id2, IUnknown* support) override;

 private:
  CFramesight();
  ~CFramesight();
  CFramesight(const CFramesight&) = delete;
  CFramesight& operator=(const CFramesight&) = delete;

  std::atomic<ULONG> m_references{0};
  // Set by a transcode that failed without saying why; never cleared, so
  // that a transcoder gone bad stops the provider taking further jobs.
  std::atomic<HRESULT> m_lastFailure{S_OK};
  // Jobs accepted by ScheduleOperation and not yet ended by ExecuteOperation.
  std::atomic<LONG> m_activeJobs{0};
  RegistryParam<const wchar_t*, 0> m_traceLevel{*this, L"Trace Level"};
  RegistryParam<unsigned long, 1> m_maximumJobs{*this, L"Maximum Transcode Jobs", 1};
};
