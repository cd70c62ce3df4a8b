// FragmentWalk.cpp - the worker's walk over the fragment list's pin index.
//
// Each worker thread opens the list once; every pass positions an iterator
// at the first pin of the extension's CLSID string and reads records in the
// index's order. The list throws its Win32 codes as DWORD; they stop here.
#include "VNService/Extensions/Taskweave/FragmentWalk.h"

#include "archive/interfaces/FragmentList/FragmentList.h"

#include <optional>

namespace {

class CFragmentListWalk final : public CPinnedElementWalk {
 public:
  DWORD Open() override { return m_fragments.Attach(); }

  DWORD Find(const std::wstring& name) override {
    try {
      CFragmentSearchKey key;
      key.name = name;
      m_search = std::make_unique<CFragmentSearch>(key);
      m_at = m_fragments.List().find(*m_search, CFragmentItem::kPinIndex);
      return 0;
    } catch (DWORD code) {
      return code != 0 ? code : ERROR_INVALID_DATA;
    } catch (...) {
      return ERROR_INVALID_DATA;
    }
  }

  Step Next(CPinnedElement& element, DWORD& code) override {
    CFileListInternal& list = m_fragments.List();
    try {
      if (!m_at || !(*m_at != list.end(CFragmentItem::kPinIndex))) return Step::kEnd;
      const CFileListInternal::iterator here = *m_at;
      const CFileListHashedOffset offset = here.CheckOffset();
      element.position = (static_cast<ULONGLONG>(offset.page) << 32) | offset.position;
      try {
        ++*m_at;
      } catch (...) {
        // A broken link past this element: there is no way on from here, so
        // the walk ends (the pass is over; the next one finds again).
        m_at.reset();
        throw;
      }
      CFileListPointer<CFragmentItem> pointer(list, here);
      const CFragmentItem* item = pointer.Load(true);
      Fill(*item, element);
      return Step::kElement;
    } catch (DWORD thrown) {
      code = thrown;
      return Step::kFailed;
    } catch (...) {
      code = ERROR_INVALID_DATA;
      return Step::kFailed;
    }
  }

 private:
  static void Fill(const CFragmentItem& item, CPinnedElement& element) {
    element.pinned = item.ObjectType(false) == 1;
    element.name = item.Name() != nullptr ? *item.Name() : std::wstring();
    element.keyString = item.KeyString();
    element.id0 = item.Id0();
    element.id1 = item.Id1();
    element.id2 = item.Id2();
    element.value = item.Value64();
  }

  CFragmentList m_fragments;
  std::unique_ptr<CFragmentSearch> m_search;
  std::optional<CFileListInternal::iterator> m_at;
};

}  // namespace

std::unique_ptr<CPinnedElementWalk> MakeFragmentListWalk() { return std::make_unique<CFragmentListWalk>(); }
