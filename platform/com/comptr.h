// comptr.h - owners for interface pointers, BSTRs and VARIANTs.
//
// ComPtr<T> holds one reference to an interface declared with VN_DECLARE_IID
// and finds IIDs by type. ComBstr owns one BSTR, ComVariant is a VARIANT that
// clears itself. All three are move-aware; copies AddRef or deep-copy.
#pragma once

#include "platform/com/com.h"
#include "platform/com/oleauto.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference (AddRef), as CComPtr does from a raw pointer.
  ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~ComPtr() { Reset(); }
  ComPtr& operator=(const ComPtr& o) {
    if (this != &o) {
      ComPtr tmp(o);
      Swap(tmp);
    }
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ComPtr& operator=(T* p) {
    ComPtr tmp(p);
    Swap(tmp);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  operator T*() const { return p_; }

  // For out parameters: releases what is held and returns the slot.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  T** GetAddressOf() { return &p_; }
  void** PutVoid() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  // Takes ownership of a reference the caller already holds.
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

  // QueryInterface into another ComPtr.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(IidOf<U>(), out->PutVoid());
  }
  HRESULT CopyTo(T** out) const {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    if (p_ != nullptr) p_->AddRef();
    return S_OK;
  }
  HRESULT CopyTo(REFIID riid, void** out) const {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(riid, out);
  }
  HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer = nullptr, DWORD clsCtx = CLSCTX_ALL) {
    return ::CoCreateInstance(clsid, outer, clsCtx, IidOf<T>(), PutVoid());
  }

 private:
  T* p_ = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
  return a.Get() == b.Get();
}

// One owned BSTR (null means empty).
class ComBstr {
 public:
  ComBstr() = default;
  ComBstr(const wchar_t* text) : s_(SysAllocString(text)) {}
  ComBstr(std::wstring_view text) : s_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ComBstr(const std::wstring& text) : ComBstr(std::wstring_view(text)) {}
  ComBstr(const ComBstr& o) : s_(Copy(o.s_)) {}
  ComBstr(ComBstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  ~ComBstr() { SysFreeString(s_); }
  ComBstr& operator=(const ComBstr& o) {
    if (this != &o) {
      ComBstr tmp(o);
      std::swap(s_, tmp.s_);
    }
    return *this;
  }
  ComBstr& operator=(ComBstr&& o) noexcept {
    if (this != &o) {
      SysFreeString(s_);
      s_ = std::exchange(o.s_, nullptr);
    }
    return *this;
  }
  ComBstr& operator=(const wchar_t* text) {
    ComBstr tmp(text);
    std::swap(s_, tmp.s_);
    return *this;
  }

  // A copy of b (which stays the caller's).
  static ComBstr FromBstr(BSTR b) {
    ComBstr r;
    r.s_ = Copy(b);
    return r;
  }
  static BSTR Copy(BSTR b) { return b == nullptr ? nullptr : SysAllocStringLen(b, SysStringLen(b)); }

  BSTR Get() const { return s_; }
  operator BSTR() const { return s_; }
  UINT Length() const { return SysStringLen(s_); }
  bool Empty() const { return Length() == 0; }
  std::wstring_view View() const { return s_ == nullptr ? std::wstring_view() : std::wstring_view(s_, Length()); }
  std::wstring Str() const { return std::wstring(View()); }

  // For out parameters: frees what is held and returns the slot.
  BSTR* ReleaseAndGetAddressOf() {
    Reset();
    return &s_;
  }
  void Attach(BSTR b) {
    SysFreeString(s_);
    s_ = b;
  }
  BSTR Detach() { return std::exchange(s_, nullptr); }
  void Reset() { SysFreeString(std::exchange(s_, nullptr)); }
  // A copy for an out parameter.
  HRESULT CopyTo(BSTR* out) const {
    if (out == nullptr) return E_POINTER;
    *out = Copy(s_);
    return (*out == nullptr && s_ != nullptr) ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT Append(std::wstring_view more) {
    std::wstring joined(View());
    joined.append(more);
    BSTR n = SysAllocStringLen(joined.data(), static_cast<UINT>(joined.size()));
    if (n == nullptr) return E_OUTOFMEMORY;
    Attach(n);
    return S_OK;
  }

  friend bool operator==(const ComBstr& a, const ComBstr& b) { return a.View() == b.View(); }
  friend bool operator==(const ComBstr& a, std::wstring_view b) { return a.View() == b; }

 private:
  BSTR s_ = nullptr;
};

// A VARIANT that clears itself. Derives from VARIANT so that &v is a VARIANT*.
class ComVariant : public VARIANT {
 public:
  ComVariant() { VariantInit(this); }
  ComVariant(const VARIANT& v) {
    VariantInit(this);
    VariantCopy(this, &v);
  }
  ComVariant(const ComVariant& v) : ComVariant(static_cast<const VARIANT&>(v)) {}
  ComVariant(ComVariant&& v) noexcept {
    *static_cast<VARIANT*>(this) = v;
    VariantInit(&v);
  }
  ComVariant(bool b) { Set(VT_BOOL).boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; }
  ComVariant(int i) { Set(VT_I4).lVal = i; }
  ComVariant(LONGLONG i) { Set(VT_I8).llVal = i; }
  ComVariant(ULONGLONG i) { Set(VT_UI8).ullVal = i; }
  ComVariant(UINT i) { Set(VT_UI4).ulVal = i; }
  ComVariant(double d) { Set(VT_R8).dblVal = d; }
  ComVariant(const wchar_t* s) { Set(VT_BSTR).bstrVal = SysAllocString(s == nullptr ? L"" : s); }
  ComVariant(std::wstring_view s) {
    Set(VT_BSTR).bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  }
  ComVariant(const std::wstring& s) : ComVariant(std::wstring_view(s)) {}
  ComVariant(IUnknown* p) {
    Set(VT_UNKNOWN).punkVal = p;
    if (p != nullptr) p->AddRef();
  }
  ComVariant(IDispatch* p) {
    Set(VT_DISPATCH).pdispVal = p;
    if (p != nullptr) p->AddRef();
  }
  ~ComVariant() { VariantClear(this); }

  ComVariant& operator=(const ComVariant& v) {
    if (this != &v) VariantCopy(this, &v);
    return *this;
  }
  ComVariant& operator=(ComVariant&& v) noexcept {
    if (this != &v) {
      VariantClear(this);
      *static_cast<VARIANT*>(this) = v;
      VariantInit(&v);
    }
    return *this;
  }

  HRESULT Clear() { return VariantClear(this); }
  // Converts in place.
  HRESULT ChangeType(VARTYPE to, const VARIANT* src = nullptr, USHORT flags = 0) {
    return VariantChangeType(this, src == nullptr ? this : src, flags, to);
  }
  // Moves the value into dest (which is cleared first); this becomes empty.
  HRESULT Detach(VARIANT* dest) {
    if (dest == nullptr) return E_POINTER;
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    *dest = *static_cast<VARIANT*>(this);
    VariantInit(this);
    return S_OK;
  }
  // Takes over src's value; src becomes empty.
  HRESULT Attach(VARIANT* src) {
    if (src == nullptr) return E_POINTER;
    HRESULT hr = VariantClear(this);
    if (FAILED(hr)) return hr;
    *static_cast<VARIANT*>(this) = *src;
    VariantInit(src);
    return S_OK;
  }
  HRESULT CopyTo(VARIANT* dest) const { return VariantCopy(dest, this); }

 private:
  VARIANT& Set(VARTYPE t) {
    VariantInit(this);
    vt = t;
    llVal = 0;
    return *this;
  }
};

}  // namespace platform
