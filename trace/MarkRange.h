// MarkRange.h - marking a run of line numbers across consecutive holders.
//
// Files in the logger and buffers in a file are both ordered maps from their
// first line number to a holder with GetLineCount and MarkRange; a run of
// lines is marked piece by piece in the holder that contains each piece.
#pragma once

#include "platform/base/types.h"

#include <algorithm>

namespace trace_detail {

// Marks [first, first + count) in the holders of items. With clipToFirst, a
// run that starts before the first holder is cut to start there; otherwise
// marking stops at the first line that no holder contains.
template <class Map>
void MarkAcross(Map& items, ULONGLONG first, DWORD count, bool clipToFirst) {
  while (count > 0 && !items.empty()) {
    auto it = items.upper_bound(first);
    if (it == items.begin()) {
      if (!clipToFirst) return;
      const ULONGLONG cut = it->first - first;
      if (cut >= count) return;
      count -= static_cast<DWORD>(cut);
      first = it->first;
    } else {
      --it;
    }
    const ULONGLONG end = it->first + it->second.GetLineCount();
    if (first >= end) return;
    const DWORD m = static_cast<DWORD>(std::min<ULONGLONG>(count, end - first));
    it->second.MarkRange(first, m);
    first += m;
    count -= m;
  }
}

}  // namespace trace_detail
