// ArchiveInterfaces.h - the COM interfaces of the archive's system object and the objects it hands out.
//
// The system's programs reach the archive only through these. Each interface
// is an abstract struct whose pure virtual methods stand in vtable slot order
// (0-2 IUnknown, 3-6 IDispatch for the dual ones); methods named ReservedN
// hold the place of slots the system never calls, so the numbered slots land
// where the archive puts them. None has a virtual destructor: objects go away
// through Release. Every method returns an HRESULT; anything but success is a
// failure.
#pragma once

#include "platform/base/guid.h"
#include "platform/base/types.h"
#include "platform/com/com.h"
#include "platform/com/oleauto.h"

// The archive's system object.
inline constexpr CLSID CLSID_ArchiveSystem = {
    0xB0E4A6E9, 0x6EC0, 0x4453, {0xB9, 0xFC, 0xBD, 0x32, 0x73, 0x30, 0xAC, 0x1C}};

struct IArchiveVersion;
struct IArchiveObject;
struct IArchiveFile;
struct IArchivePin;

// The archive's version text.
struct IArchiveVersion : IDispatch {
  virtual HRESULT GetVersionText(BSTR* text) = 0;  // 7
};
VN_DECLARE_IID(IArchiveVersion, 0xDB4D2589, 0xE755, 0x4845, 0x92, 0x44, 0x71, 0x55, 0xDB, 0x0A, 0x19, 0xE2)

// The entry point: resolves archive paths and key strings.
struct IArchiveSystem : IDispatch {
  virtual HRESULT GetVersion(IArchiveVersion** version) = 0;  // 7
  virtual HRESULT Reserved8() = 0;
  virtual HRESULT Reserved9() = 0;
  virtual HRESULT Reserved10() = 0;
  virtual HRESULT Reserved11() = 0;
  virtual HRESULT Reserved12() = 0;
  virtual HRESULT Reserved13() = 0;
  virtual HRESULT Reserved14() = 0;
  virtual HRESULT Reserved15() = 0;
  virtual HRESULT Reserved16() = 0;
  virtual HRESULT Reserved17() = 0;
  virtual HRESULT Reserved18() = 0;
  virtual HRESULT Reserved19() = 0;
  virtual HRESULT Reserved20() = 0;
  virtual HRESULT Reserved21() = 0;
  virtual HRESULT Reserved22() = 0;
  virtual HRESULT Reserved23() = 0;
  virtual HRESULT Reserved24() = 0;
  virtual HRESULT Reserved25() = 0;
  // The object of an archived file, from its path ("D:\Media\clip.mov") or
  // its key string.
  virtual HRESULT GetArchiveObject(BSTR pathOrKey, IArchiveObject** object) = 0;  // 26
  // The object of an archive directory ("D:\Media", "0\Media", "0/Media").
  virtual HRESULT GetArchiveDirectory(BSTR path, IArchiveObject** object) = 0;  // 27
};
VN_DECLARE_IID(IArchiveSystem, 0x4946E6C4, 0xBDBE, 0x4757, 0x95, 0x31, 0xAF, 0x1E, 0xCD, 0xF3, 0x3C, 0x38)

// A file or directory of the archive. A file's object also answers
// QueryInterface for IArchiveFile, IArchivePins, IArchiveIdentity,
// IArchiveItems and IArchiveFileControl.
struct IArchiveObject : IDispatch {
  virtual HRESULT Reserved7() = 0;
  virtual HRESULT GetPath(BSTR* path) = 0;  // 8
  virtual HRESULT Reserved9() = 0;
  virtual HRESULT Reserved10() = 0;
  virtual HRESULT Reserved11() = 0;
  virtual HRESULT Reserved12() = 0;
  virtual HRESULT Reserved13() = 0;
  virtual HRESULT Reserved14() = 0;
  virtual HRESULT Reserved15() = 0;
  virtual HRESULT Reserved16() = 0;
  virtual HRESULT Reserved17() = 0;
  virtual HRESULT Reserved18() = 0;
  virtual HRESULT Reserved19() = 0;
  // The file of identity (id0; id1, id2): this file, or for a directory the
  // file with that id0 directly inside it. The version (id1, id2) is the one
  // asked for; 0xFFFFFFFF in any of them stands for the current value.
  virtual HRESULT GetFile(ULONG id1, ULONG id2, ULONG id0, IArchiveFile** file) = 0;  // 20
};
VN_DECLARE_IID(IArchiveObject, 0x8B602B14, 0xB953, 0x403D, 0xA8, 0xBB, 0xD4, 0xBE, 0xF2, 0x94, 0x44, 0x60)

struct IArchiveFile : IDispatch {
  virtual HRESULT Reserved7() = 0;
  virtual HRESULT GetFullPath(BSTR* path) = 0;      // 8
  virtual HRESULT GetKeyString(BSTR* key) = 0;      // 9
};
VN_DECLARE_IID(IArchiveFile, 0xF42A211B, 0x627F, 0x4E19, 0x85, 0x84, 0x2D, 0xF0, 0x9F, 0x09, 0x14, 0x4C)

struct IArchivePins : IDispatch {
  virtual HRESULT Reserved7() = 0;
  // The pin of that name (a VT_BSTR); the pin need not be set.
  virtual HRESULT GetPin(VARIANT name, IArchivePin** pin) = 0;  // 8
};
VN_DECLARE_IID(IArchivePins, 0xF93B590E, 0x68A4, 0x443A, 0xAB, 0x32, 0x3E, 0x36, 0xA1, 0x2A, 0x8D, 0x7A)

struct IArchivePin : IDispatch {
  virtual HRESULT Reserved7() = 0;
  // VT_EMPTY when the file is not pinned, else the pin's value as VT_BSTR.
  virtual HRESULT GetValue(VARIANT* value) = 0;  // 8
  // VT_EMPTY releases the pin (0x800710FE when it is already released);
  // anything convertible to a string sets it.
  virtual HRESULT SetValue(VARIANT value) = 0;  // 9
};
VN_DECLARE_IID(IArchivePin, 0x358FFC06, 0x3FE2, 0x4F07, 0xBD, 0x2D, 0x9F, 0x2F, 0x68, 0x89, 0x16, 0x54)

// Marks the identity of a file; queried for IArchiveItems.
struct IArchiveIdentity : IUnknown {};
VN_DECLARE_IID(IArchiveIdentity, 0xC1914AFE, 0x74E4, 0x42C3, 0xA8, 0x5C, 0xD1, 0x4B, 0x7B, 0x63, 0x19, 0xB1)

struct IArchiveItems : IUnknown {
  virtual HRESULT Reserved3() = 0;
  // Item 12: u32 id0, id1, id2. Item 48: the 48-byte record whose u32 at
  // bytes 32 and 36 are the identity pair. The code is the record's size;
  // a smaller buffer fails with ERROR_INSUFFICIENT_BUFFER.
  virtual HRESULT GetItem(ULONG itemCode, void* buffer, ULONG bufferBytes) = 0;  // 4
};
VN_DECLARE_IID(IArchiveItems, 0xFE5359F0, 0x946A, 0x44FC, 0x98, 0x4A, 0x8D, 0x28, 0x3A, 0xC1, 0xA0, 0xA0)

struct IArchiveFileControl : IUnknown {
  // 0x96194: current identity pair (8 bytes out, no input).
  // 0x96190 / 0x9618C: volume-relative path (UTF-16LE, not terminated) of a
  // named companion of version (id1, id2), from the request
  // {u32 id1, u32 id2, u16 name bytes, name}; 0x9618C also creates its folder.
  virtual HRESULT Control(ULONG code, const void* input, ULONG inputBytes, void* output, ULONG outputBytes,
                          ULONG* bytesReturned) = 0;  // 3
};
VN_DECLARE_IID(IArchiveFileControl, 0x9EF9DA64, 0x4DEB, 0x4490, 0xB9, 0x8F, 0x50, 0xBD, 0x75, 0x68, 0x61, 0xCE)

struct IProviderEventSink : IUnknown {
  virtual HRESULT Reserved3() = 0;
  // Records an event report with its insertion strings (a SAFEARRAY of BSTR).
  virtual HRESULT ReportEvent(ULONG eventId, SAFEARRAY* strings) = 0;  // 4
};
VN_DECLARE_IID(IProviderEventSink, 0x169C6150, 0xCBCF, 0x4CE9, 0x9A, 0x5B, 0xD7, 0x51, 0x32, 0x23, 0x48, 0x78)
