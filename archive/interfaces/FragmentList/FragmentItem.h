// FragmentItem.h - the records Taskweave keeps in the archive's fragment list: fragment elements, pinned elements and the search key.
//
// The fragment list orders its indexes through these classes, so the worker,
// the archive and the pin tool all use them. Every record carries the file's
// key string (the base's KeyString: the text IArchiveFile slot 9 gives, stored
// in the record beside the three identity values id0, id1, id2) and a block of
// its own fields:
//   CFragmentElem (types 0 and 128): u32 flag word, u32 seconds, u32 value,
//     and for type 128 two u32 position words (low, high).
//   CPinnedElem (type 1): u32 path id of its name (the extension's CLSID
//     string), u32 value high, u32 value low, u32 path id of its attribute
//     (the pin's operation text; kNoPath when none).
// Record objects are used by one thread at a time; the list's lock guards the
// stored forms.
#pragma once

#include "archive/ledgerhold/Ledgerhold.h"

#include <optional>
#include <string>

// The path-comparison face: the identity and how key strings compare.
class CPathCmp {
 public:
  virtual DWORD Id0() const = 0;             // 0
  virtual DWORD Id1() const = 0;             // 1
  virtual DWORD Id2() const = 0;             // 2
  virtual int CompareLength() const = 0;     // 3: characters compared, -1 = whole
  virtual bool CaseFlag() const = 0;         // 4: upper and lower case sort apart

 protected:
  ~CPathCmp() = default;
};

class CFragmentItem : public CFileListFile, public CPathCmp {
 public:
  static constexpr DWORD kRecordSize = 48;
  static constexpr unsigned kIndexCount = 7;
  static constexpr DWORD kListVersion = 1;
  static constexpr unsigned kPinIndex = 6;       // pinned elements by name, then value
  static constexpr DWORD kAnyId = 0xFFFFFFFFu;   // an identity value that matches any

  // Type bytes of the stored forms.
  static constexpr BYTE kTypeElement = 0;
  static constexpr BYTE kTypePinned = 1;
  static constexpr BYTE kTypeElement128 = 128;
  static constexpr BYTE kTypeDeleted = 255;

  // A new record for a stored type byte: 0 a CFragmentElem, 1 a CPinnedElem,
  // 128 a CFragmentElem of type 128. Throws DWORD ERROR_DELETE_PENDING for
  // 255 (a record being deleted) and ERROR_INVALID_DATA for any other type;
  // null when memory runs out.
  static CFileListFile* Allocator(unsigned char type);

  DWORD Size() const override { return kRecordSize; }
  int Compare(const CFileListFile& other, unsigned index) const override;

  virtual int ElementKind() const { return 0; }                  // 18
  virtual ULONGLONG Field64() const { return 0; }                // 19
  virtual ULONGLONG Value64() const { return 0; }                // 20
  virtual ULONGLONG Position64() const { return 0; }             // 21
  virtual ULONGLONG Time64() const { return 0; }                 // 22
  virtual const std::wstring* Name() const { return nullptr; }   // 23: none = null

  DWORD Id0() const override { return m_ids[0]; }
  DWORD Id1() const override { return m_ids[1]; }
  DWORD Id2() const override { return m_ids[2]; }
  int CompareLength() const override { return -1; }
  bool CaseFlag() const override { return true; }

  // The path collation of the key strings over length characters (-1:
  // whole); exact compares plain character codes.
  static int ComparePaths(const std::wstring& a, const std::wstring& b, int length, bool caseA, bool caseB,
                          bool exact = false);

 protected:
  CFragmentItem() = default;
};

// An archived file's fragment record.
class CFragmentElem final : public CFragmentItem {
 public:
  static constexpr DWORD kFlagKind3 = 0x1;
  static constexpr DWORD kFlagKind2 = 0x4;
  static constexpr DWORD kFlagTimed = 0x100;      // with type 128: index 2
  static constexpr DWORD kFlagPositioned = 0x200; // with a position: index 2
  static constexpr DWORD kFlagKind1 = 0x80000000u;
  static constexpr ULONGLONG kTicksPerSecond = 10000000;

  explicit CFragmentElem(BYTE type = kTypeElement) : m_type(type) {}

  BYTE ObjectType(bool stored) const override { return stored ? m_type : 0; }
  DWORD CompressedSize() const override { return m_type == kTypeElement128 ? 20 : 12; }
  BYTE* CompressedBlock() override { return m_block; }
  bool QueryInsert(unsigned index) const override;
  void LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage& page) override;

  int ElementKind() const override;
  ULONGLONG Field64() const override;
  ULONGLONG Position64() const override;
  ULONGLONG Time64() const override;

  DWORD Flags() const;
  void SetFields(DWORD flags, DWORD seconds, DWORD value, ULONGLONG position = 0);

 private:
  BYTE m_type;
  BYTE m_block[20] = {};
  // Computed once from the block and kept, until the block is loaded again.
  mutable std::optional<int> m_kind;
  mutable std::optional<ULONGLONG> m_time;
};

// A pin of a file for an extension: its name is the extension's CLSID string
// (braced, upper case), its value a non-zero 64-bit number that tells two
// pins of one extension on one file apart, its attribute the operation.
class CPinnedElem final : public CFragmentItem {
 public:
  CPinnedElem() = default;
  CPinnedElem(std::wstring keyString, DWORD id0, DWORD id1, DWORD id2, std::wstring name, ULONGLONG value,
              std::wstring attribute = {});

  BYTE ObjectType(bool stored) const override { return stored ? static_cast<BYTE>(m_storedType | 1) : 1; }
  // Stores the name and the attribute in the list's path table.
  DWORD Allocate(CFileListInternal& list) override;
  DWORD CompressedSize() const override { return 16; }
  BYTE* CompressedBlock() override { return m_block; }
  void LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage& page) override;
  bool QueryInsert(unsigned index) const override { return index == 0 || index == kPinIndex; }

  ULONGLONG Field64() const override { return Value64(); }
  ULONGLONG Value64() const override;
  const std::wstring* Name() const override { return m_name.empty() ? nullptr : &m_name; }

  const std::wstring& Attribute() const { return m_attribute; }
  // Changes the attribute; Allocate must run again before the record is stored.
  void SetAttribute(std::wstring attribute) { m_attribute = std::move(attribute); }

 private:
  BYTE m_storedType = kTypePinned;
  BYTE m_block[16] = {};
  std::wstring m_name;
  std::wstring m_attribute;
};

// What a search key is built from.
struct CFragmentSearchKey {
  std::wstring keyString;         // compared in indexes 0, 3, 4, 5
  BYTE type = CFragmentItem::kTypePinned;
  DWORD id0 = 0, id1 = 0, id2 = 0;
  ULONGLONG field = 0;            // slot 19: index 1
  ULONGLONG value = 0;            // slot 20: index 6; 0 matches every value
  ULONGLONG time = 0;             // slot 22: index 2
  std::wstring name;              // slot 23: index 6; empty = none
  bool caseFlag = true;
};

// A key to position an iterator with (CFileListInternal::find); never stored.
// Its key buffer: u32 1, the three ids, the three values, the name's length
// in bytes and a reserved tail (58 bytes), then the name as UTF-16LE, inline
// up to 130 bytes and on the heap beyond.
class CFragmentSearch final : public CFragmentItem {
 public:
  static constexpr DWORD kHeaderBytes = 58;
  static constexpr DWORD kInlineNameBytes = 130;

  explicit CFragmentSearch(const CFragmentSearchKey& key);
  ~CFragmentSearch() override;
  CFragmentSearch(const CFragmentSearch&) = delete;
  CFragmentSearch& operator=(const CFragmentSearch&) = delete;

  BYTE ObjectType(bool) const override { return m_key.type; }
  DWORD CompressedSize() const override { return m_bufferBytes; }
  void SetCompressedSize(DWORD bytes) override;
  BYTE* CompressedBlock() override { return m_buffer; }

  ULONGLONG Field64() const override { return m_key.field; }
  ULONGLONG Value64() const override { return m_key.value; }
  ULONGLONG Time64() const override { return m_key.time; }
  const std::wstring* Name() const override { return m_key.name.empty() ? nullptr : &m_key.name; }
  bool CaseFlag() const override { return m_key.caseFlag; }

 private:
  CFragmentSearchKey m_key;
  BYTE m_inline[kHeaderBytes + kInlineNameBytes] = {};
  BYTE* m_buffer = m_inline;
  DWORD m_bufferBytes = kHeaderBytes;
};
