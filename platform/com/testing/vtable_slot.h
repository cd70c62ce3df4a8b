// vtable_slot.h - which vtable slot a virtual method occupies (for tests).
//
// COM callers index the vtable, so an interface whose methods drift out of
// their slot order breaks every client silently. Under the Itanium C++ ABI
// (g++, clang) a pointer to a virtual member function holds 1 + the method's
// byte offset in the vtable, which gives the slot without calling anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform::testing {

inline constexpr std::size_t kNotVirtual = static_cast<std::size_t>(-1);

namespace detail {
struct MemberFunctionRep {
  std::uintptr_t ptr;  // function address, or 1 + vtable offset when virtual
  std::ptrdiff_t adj;  // this adjustment
};

template <class M>
std::size_t SlotOf(M method) {
  static_assert(sizeof(M) == sizeof(MemberFunctionRep), "Itanium ABI member function pointer expected");
  MemberFunctionRep rep;
  std::memcpy(&rep, &method, sizeof rep);
  if ((rep.ptr & 1u) == 0) return kNotVirtual;
  return (rep.ptr - 1) / sizeof(void*);
}
}  // namespace detail

// Slot index of a virtual method, e.g. VtableSlot(&IDispatch::Invoke) == 6;
// kNotVirtual for a non-virtual one. Overloaded names need a cast to pick one.
template <class C, class R, class... A>
std::size_t VtableSlot(R (C::*method)(A...)) {
  return detail::SlotOf(method);
}
template <class C, class R, class... A>
std::size_t VtableSlot(R (C::*method)(A...) const) {
  return detail::SlotOf(method);
}

}  // namespace platform::testing
