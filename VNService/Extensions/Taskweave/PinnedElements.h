// PinnedElements.h - what a worker's pass reads of the fragment list: the pinned elements of one extension.
//
// A pass opens the walk once, then repeatedly positions it at the first
// element pinned for the extension's CLSID string and reads elements in the
// fragment list's pin order until one is not such a pin. The walk hides the
// list's record classes and its thrown Win32 codes: Next reports a code of
// its own and has always moved past the element, so that one unreadable
// element does not stop the others.
#pragma once

#include "platform/base/types.h"

#include <functional>
#include <memory>
#include <string>

struct CPinnedElement {
  bool pinned = false;      // object type 1
  std::wstring name;        // the extension's CLSID string, or a pin name
  std::wstring keyString;   // the archive's string for the file
  ULONG id0 = 0;
  ULONG id1 = 0;
  ULONG id2 = 0;
  ULONGLONG value = 0;      // the pin's 64-bit value
  ULONGLONG position = 0;   // where the element lies in the list (stable while it lives)
};

class CPinnedElementWalk {
 public:
  enum class Step { kElement, kEnd, kFailed };

  virtual ~CPinnedElementWalk() = default;
  // Attaches to the list; a Win32 code, 0 on success.
  virtual DWORD Open() = 0;
  // Positions the walk at the first element pinned under name; a Win32 code.
  virtual DWORD Find(const std::wstring& name) = 0;
  // kElement with the element, kEnd past the last one, or kFailed with the
  // Win32 code its loading gave (element.position still tells which). Moves
  // past the element in every case.
  virtual Step Next(CPinnedElement& element, DWORD& code) = 0;
};

// Makes a walk for a worker; each worker thread has its own.
using PinnedElementWalkFactory = std::function<std::unique_ptr<CPinnedElementWalk>()>;
