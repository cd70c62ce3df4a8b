// PostProcess.h - the record of an operation in progress and the objects handed to providers.
//
// PostProcessRecord names one operation on one file (operation, key string,
// identity) and holds the pins its work releases. The worker keeps its
// records in a set ordered by the strict Compare; the wildcard Compare, in
// which 0xFFFFFFFF matches any value, tells which running record a newly
// found pin belongs to.
//
// The post-process objects are reference counted through CComBase<I, n>,
// whose count starts at n: 0 for these objects (the creator's first AddRef
// makes them live, the last Release destroys them), 1 for the worker, which
// lives by its shared ownership and is never destroyed through COM. None has
// a lock of its own: a parameters object is used by one provider call chain
// at a time, and the operations objects are read-only once built. Pin
// release state inside a record is atomic because Unpin runs under the
// worker's shared lock.
#pragma once

#include "VNService/Extensions/Taskweave/ExtensionRegistryOperations.h"
#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/com/com_object.h"
#include "platform/com/comptr.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

// The COM face of a service object: platform/com's counting, and
// QueryInterface for IUnknown and I alone. A null out pointer answers E_FAIL.
// A count that starts at 0 belongs to an object the creator's first AddRef
// makes live and the last Release destroys; one that starts at 1 to an
// object owned elsewhere, which COM never frees.
template <class I, ULONG kInitialCount>
class CComBase : public platform::RefCounted<kInitialCount == 0 ? platform::ComLifetime::kFirstAddRef
                                                                : platform::ComLifetime::kOwnedElsewhere,
                                             I> {
  static_assert(kInitialCount <= 1, "a service object's count starts at 0 or 1");

 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return this->Answer(riid, ppv, {{&IID_IUnknown, static_cast<I*>(this)}, {&IidOf<I>(), static_cast<I*>(this)}},
                        E_FAIL);
  }
  ~CComBase() override = default;

 protected:
  CComBase() = default;
};

class PostProcessRecord {
 public:
  // A pin's place in a record: the file's identity (id0, id2, id1) and the
  // pin's name, so that two pins of one file are both kept.
  using PinKey = std::tuple<ULONG, ULONG, ULONG, std::wstring>;
  struct Pin {
    platform::ComPtr<IArchivePin> pin;
    // Set while a release is under way or done; cleared again when it failed.
    std::unique_ptr<std::atomic<bool>> released = std::make_unique<std::atomic<bool>>(false);
  };

  PostProcessRecord() = default;
  PostProcessRecord(std::wstring operation, std::wstring keyString, ULONG id1, ULONG id2, ULONG id0)
      : m_operation(std::move(operation)), m_keyString(std::move(keyString)), m_id1(id1), m_id2(id2), m_id0(id0) {}

  // Operation, key string (both case-sensitive), then id1, id2, id0 as
  // unsigned numbers; with wildcard, an id that is 0xFFFFFFFF on either side
  // matches. Negative, 0 or positive.
  int Compare(const PostProcessRecord& other, bool wildcard) const;
  // Same operation and key string.
  bool SameFile(const PostProcessRecord& other) const {
    return m_operation == other.m_operation && m_keyString == other.m_keyString;
  }

  // The record of (operation, parameters): the parameters' identity item
  // (masked by their mode) and the archived file's key string.
  static HRESULT Build(BSTR operation, IPostProcessParameters* parameters, PostProcessRecord& out);
  // The pin key of a file's identity object and a pin name.
  static HRESULT MakePinKey(IUnknown* identity, const std::wstring& pinName, PinKey& out);
  // Adds a pin under its key; a key already present keeps its first pin.
  // Callers hold the worker's lock exclusive.
  void AddPin(const PinKey& key, IArchivePin* pin) const;
  // Releases every pin not yet released, in key order, stopping at the first
  // failure; a pin already offline counts as released. Safe under a shared lock.
  HRESULT ReleasePins() const;
  // The names of the pins no release has reached (for the worker's note of
  // pins a finished job kept).
  std::vector<std::wstring> KeptPinNames() const;
  std::size_t PinCount() const { return m_pins.size(); }

  const std::wstring& Operation() const { return m_operation; }
  const std::wstring& KeyString() const { return m_keyString; }
  ULONG Id0() const { return m_id0; }
  ULONG Id1() const { return m_id1; }
  ULONG Id2() const { return m_id2; }

  struct StrictLess {
    bool operator()(const PostProcessRecord& a, const PostProcessRecord& b) const { return a.Compare(b, false) < 0; }
  };

 private:
  // Pins change while the record sits in an ordered set, which never looks
  // at them.
  mutable std::map<PinKey, Pin> m_pins;
  std::wstring m_operation;
  std::wstring m_keyString;
  ULONG m_id1 = 0;
  ULONG m_id2 = 0;
  ULONG m_id0 = 0;
};

// One operation of the rules' selection: its name and its values.
class CPostProcessOperation : public CComBase<IPostProcessOperation, 0> {
 public:
  explicit CPostProcessOperation(const CExtensionRegistryOperations::Operation& operation);
  ~CPostProcessOperation() override;
  // The object's own string: the caller does not free it.
  STDMETHODIMP GetName(BSTR* name) override;
  // A shallow copy of the stored value, sharing its storage: the caller does
  // not clear it. S_FALSE when absent.
  STDMETHODIMP GetValue(BSTR valueName, VARIANT* value) override;

 private:
  BSTR m_name = nullptr;
  CExtensionRegistryOperations::ParameterMap m_values;
};

class CPostProcessOperations : public CComBase<IPostProcessOperations, 0> {
 public:
  explicit CPostProcessOperations(std::vector<CExtensionRegistryOperations::Operation> operations)
      : m_operations(std::move(operations)) {}
  // Past the last operation: S_OK with *operation null.
  STDMETHODIMP Next(IPostProcessOperation** operation) override;

 private:
  std::vector<CExtensionRegistryOperations::Operation> m_operations;
  long m_cursor = -1;
};

// One file handed to a provider: the archived file, its pin, the mode and
// the rules (whose shared reference keeps the worker alive).
class CPostProcessParameters : public CComBase<IPostProcessParameters, 0> {
 public:
  // The mode a parameters object starts with: every identity value counts.
  static constexpr ULONG kInitialMode = 3;

  CPostProcessParameters(IUnknown* file, IUnknown* pin, std::wstring pinName,
                         std::shared_ptr<CExtensionRegistryOperations> rules);

  // The file first (any interface), then the pin, then this object.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP SetMode(ULONG mode) override;
  STDMETHODIMP GetOperations(IPostProcessOperations** operations) override;
  STDMETHODIMP GetItem(USHORT itemId, ULONG* values) override;

  // The pin's name in the archive, which tells two pins of one file apart.
  const std::wstring& PinName() const { return m_pinName; }
  // The key string the scan found the pin under. A record is filed under it
  // rather than under the file's current path, which a rename changes, so
  // that the scan, the records and the kept pins use one key.
  void SetKeyString(std::wstring keyString) { m_keyString = std::move(keyString); }
  const std::wstring& KeyString() const { return m_keyString; }
  // Set once PostProcess has given the pin to an operation in progress:
  // from then on that operation, not the scan, releases it.
  void MarkPostProcessed() { m_postProcessed.store(true); }
  void ClearPostProcessed() { m_postProcessed.store(false); }
  bool WasPostProcessed() const { return m_postProcessed.load(); }
  ULONG Mode() const { return m_mode.load(); }

 private:
  std::atomic<ULONG> m_mode{kInitialMode};
  platform::ComPtr<IUnknown> m_file;
  platform::ComPtr<IUnknown> m_pin;
  std::wstring m_pinName;
  std::wstring m_keyString;
  std::shared_ptr<CExtensionRegistryOperations> m_rules;
  std::atomic<bool> m_postProcessed{false};
};

// Masks the identity values of item 12 that a mode does not cover.
void MaskIdentity(ULONG mode, ULONG values[3]);
