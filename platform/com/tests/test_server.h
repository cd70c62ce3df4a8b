// test_server.h - the interface and classes of the tests' in-process server.
#pragma once

#include "platform/com/com.h"

struct ITestObject : IUnknown {
  // Live objects of this class in the loaded library (shared by every
  // activation when the library is loaded once).
  STDMETHOD(LiveObjects)(LONG* count) PURE;  // slot 3
};
VN_DECLARE_IID(ITestObject, 0x5A0C1E11, 0x2B3D, 0x4C5E, 0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66)

// Served by the test server library.
inline constexpr CLSID CLSID_TestObject = {0x5A0C1E12, 0x2B3D, 0x4C5E, {0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
// Registered against the test server library, which does not serve it.
inline constexpr CLSID CLSID_NotServed = {0x5A0C1E13, 0x2B3D, 0x4C5E, {0x8F, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
