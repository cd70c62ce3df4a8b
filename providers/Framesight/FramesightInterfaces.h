// FramesightInterfaces.h - the identifiers and the outside-facing interface of Framesight.
//
// Framesight serves one class, the provider CFramesight, which the extension
// service creates by CLSID and drives through the provider contract of
// ProviderInterfaces.h (IExtensionInit, IProviderOperations). Other archive
// components reach it through IServiceOperations, declared here: an abstract
// struct whose methods stand in vtable slot order, as every interface of the
// platform's COM layer.
#pragma once

#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"
#include "platform/com/com.h"
#include "platform/com/oleauto.h"

// The provider class.
inline constexpr CLSID CLSID_Framesight = {
    0x1B353362, 0xC59F, 0x4258, {0x98, 0x19, 0x0C, 0x74, 0x2E, 0xC7, 0xF3, 0x2F}};
// The type library; the same GUID is the module's AppID.
inline constexpr GUID LIBID_FramesightLib = {
    0x48A2A8B6, 0xE18A, 0x43C3, {0x88, 0x24, 0x2F, 0x53, 0x39, 0x26, 0x9D, 0x09}};

// Requests that other archive components make of the provider.
struct IServiceOperations : IUnknown {
  // S_FALSE when the file named in record is not the provider's to handle,
  // S_OK when it is; fallback when the provider does not filter. The record
  // holds a 16-bit field followed by the terminated path.
  virtual HRESULT FilterFile(const void* record, HRESULT fallback) = 0;  // 3
  // Asks the extension service to prepare a preview of path; the three
  // numbers are not used.
  virtual HRESULT RequestPreparePreview(LPCWSTR path, ULONG unused1, ULONG unused2, ULONG unused3,
                                        IProviderSupport* support) = 0;  // 4
  // Answer S_OK; nothing calls them.
  virtual HRESULT Reserved5() = 0;  // 5
  virtual HRESULT Reserved6() = 0;  // 6
  virtual HRESULT Reserved7() = 0;  // 7
  virtual HRESULT Reserved8() = 0;  // 8
  // Moves the outputs of an archived file (key string and identity pair) to
  // those of its new key string and pair.
  virtual HRESULT RenameOutputs(BSTR keyString, ULONG id1, ULONG id2, BSTR newKeyString, ULONG newId1,
                                ULONG newId2, IUnknown* support) = 0;  // 9
  // Deletes the outputs of an archived file.
  virtual HRESULT DeleteOutputs(BSTR keyString, ULONG id1, ULONG id2, IUnknown* support) = 0;  // 10
};
VN_DECLARE_IID(IServiceOperations, 0x97C84C89, 0x7C2B, 0x4168, 0x8B, 0xF3, 0xAE, 0xA2, 0x39, 0x46, 0x64, 0x5E)

// The only member of IExtensionInit that the type library describes.
inline constexpr DISPID DISPID_Initialise = 1;
