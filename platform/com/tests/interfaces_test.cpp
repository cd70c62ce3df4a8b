// interfaces_test.cpp - vtable slots of the base interfaces, ComPtr, IDispatch by name.
#include "platform/com/comptr.h"
#include "platform/com/oleauto.h"
#include "platform/com/testing/vtable_slot.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::ComPtr;
using platform::ComVariant;
using platform::testing::VtableSlot;

TEST(Interfaces, SlotsMatchCom) {
  const struct {
    const char* name;
    std::size_t slot;
    std::size_t expected;
  } cases[] = {
      {"IUnknown::QueryInterface", VtableSlot(&IUnknown::QueryInterface), 0},
      {"IUnknown::AddRef", VtableSlot(&IUnknown::AddRef), 1},
      {"IUnknown::Release", VtableSlot(&IUnknown::Release), 2},
      {"IClassFactory::CreateInstance", VtableSlot(&IClassFactory::CreateInstance), 3},
      {"IClassFactory::LockServer", VtableSlot(&IClassFactory::LockServer), 4},
      {"IDispatch::GetTypeInfoCount", VtableSlot(&IDispatch::GetTypeInfoCount), 3},
      {"IDispatch::GetTypeInfo", VtableSlot(&IDispatch::GetTypeInfo), 4},
      {"IDispatch::GetIDsOfNames", VtableSlot(&IDispatch::GetIDsOfNames), 5},
      {"IDispatch::Invoke", VtableSlot(&IDispatch::Invoke), 6},
      {"IDispatch inherits Release", VtableSlot(&IDispatch::Release), 2},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot, c.expected) << c.name;
  // The helper tells a non-virtual method apart.
  EXPECT_EQ(VtableSlot(&ComPtr<IUnknown>::Reset), platform::testing::kNotVirtual);
  // No virtual destructor: the vtable pointer is the whole object.
  EXPECT_EQ(sizeof(IDispatch), sizeof(void*));
}

TEST(Interfaces, WellKnownIids) {
  EXPECT_EQ(platform::FormatGuid(IID_IUnknown), L"{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::FormatGuid(IID_IClassFactory), L"{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::FormatGuid(IID_IDispatch), L"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(&IidOf<IDispatch>(), &IID_IDispatch);
}

// A dispatch object with one method "Join" (two strings) and a property "Count".
class Joiner : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1) return E_INVALIDARG;
    std::wstring name = names[0];
    if (name == L"Join") *ids = 1;
    else if (name == L"Count") *ids = 2;
    else return DISP_E_UNKNOWNNAME;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id == 1 && (flags & DISPATCH_METHOD)) {
      if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
      // Arguments arrive last first.
      std::wstring joined = std::wstring(params->rgvarg[1].bstrVal) + params->rgvarg[0].bstrVal;
      if (result != nullptr) {
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(joined.c_str());
      }
      return S_OK;
    }
    if (id == 2 && (flags & DISPATCH_PROPERTYPUT)) {
      if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
      count = params->rgvarg[0].lVal;
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
  ULONG refs = 1;
  LONG count = 0;
};

TEST(Dispatch, InvokeByName) {
  Joiner joiner;
  ComVariant args[] = {ComVariant(L"Trc"), ComVariant(L"Service")};
  ComVariant result;
  ASSERT_EQ(platform::InvokeByName(&joiner, L"Join", DISPATCH_METHOD, args, 2, &result), S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_STREQ(result.bstrVal, L"TrcService");
  ComVariant seven(7);
  ASSERT_EQ(platform::InvokeByName(&joiner, L"Count", DISPATCH_PROPERTYPUT, &seven, 1, nullptr), S_OK);
  EXPECT_EQ(joiner.count, 7);
  EXPECT_EQ(platform::InvokeByName(&joiner, L"Missing", DISPATCH_METHOD, nullptr, 0, nullptr), DISP_E_UNKNOWNNAME);
}

TEST(ComPtrOwnership, CountsReferences) {
  Joiner joiner;
  {
    ComPtr<IDispatch> a(&joiner);
    EXPECT_EQ(joiner.refs, 2u);
    ComPtr<IDispatch> b = a;
    EXPECT_EQ(joiner.refs, 3u);
    ComPtr<IDispatch> c = std::move(b);
    EXPECT_EQ(joiner.refs, 3u);
    EXPECT_FALSE(b);
    ComPtr<IUnknown> u;
    ASSERT_EQ(a.As(&u), S_OK);
    EXPECT_EQ(joiner.refs, 4u);
    IDispatch* raw = c.Detach();
    EXPECT_EQ(joiner.refs, 4u);
    c.Attach(raw);
    a = nullptr;
    EXPECT_EQ(joiner.refs, 3u);
  }
  EXPECT_EQ(joiner.refs, 1u);
  ComVariant holder(static_cast<IDispatch*>(&joiner));
  EXPECT_EQ(joiner.refs, 2u);
  holder.Clear();
  EXPECT_EQ(joiner.refs, 1u);
}

}  // namespace
