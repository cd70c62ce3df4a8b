// locale.cpp - the per-thread locale of GetThreadLocale / SetThreadLocale.
//
// Kept in vn_com (a shared library), so a program and the servers it loads
// see one locale per thread, as they do on Windows.
#include "platform/com/oleauto.h"

namespace {
thread_local LCID t_locale = kDefaultThreadLocale;
}  // namespace

LCID GetThreadLocale() { return t_locale; }

BOOL SetThreadLocale(LCID locale) {
  t_locale = locale;
  return TRUE;
}
