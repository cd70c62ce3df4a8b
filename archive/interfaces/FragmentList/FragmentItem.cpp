// FragmentItem.cpp - the record classes: their stored fields, index membership and the orders of the indexes.
//
// Blocks are read and written byte by byte in little-endian order, so the
// stored forms do not depend on the host's structure packing.
#include "archive/interfaces/FragmentList/FragmentItem.h"

#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <cstring>
#include <new>

namespace {

DWORD GetU32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<DWORD>(at[3]) << 24); }
void PutU32(BYTE* at, DWORD v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(v >> (8 * i));
}
void PutU64(BYTE* at, ULONGLONG v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<BYTE>(v >> (8 * i));
}

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

// Names character by character, case-sensitive; a missing name first.
int CompareNames(const std::wstring* a, const std::wstring* b) {
  if (a == nullptr || b == nullptr) return Order(a != nullptr, b != nullptr);
  return a->compare(*b) < 0 ? -1 : (a->compare(*b) > 0 ? 1 : 0);
}

// Index 6: the names, then the values when both are set, so that a key of
// value 0 stands before every element of its name.
int ComparePins(const CFragmentItem& a, const CFragmentItem& b) {
  if (int c = CompareNames(a.Name(), b.Name()); c != 0) return c;
  const ULONGLONG va = a.Value64(), vb = b.Value64();
  return va != 0 && vb != 0 ? Order(va, vb) : 0;
}

// The collation weight of one character.
unsigned Weight(wchar_t c, bool bothCase, bool exact) {
  const unsigned u = static_cast<unsigned>(c);
  if (exact) return u;
  if (u >= 'A' && u <= 'Z') return 2 * u - 65;
  if (u >= 'a' && u <= 'z') return bothCase ? 2 * u - 128 : 2 * u - 129;
  if (u >= 91 && u <= 96) return u + 26;
  return u;
}

// What decides after the common part: the end first, then '/', then the rest.
unsigned TailWeight(const std::wstring& s, std::size_t i, std::size_t length, bool bothCase, bool exact) {
  if (i >= length) return 0;
  if (s[i] == L'/') return 1;
  return Weight(s[i], bothCase, exact) + 1;
}

}  // namespace

// --- CFragmentItem ---

CFileListFile* CFragmentItem::Allocator(unsigned char type) {
  switch (type) {
    case kTypeElement: return new (std::nothrow) CFragmentElem(kTypeElement);
    case kTypePinned: return new (std::nothrow) CPinnedElem();
    case kTypeElement128: return new (std::nothrow) CFragmentElem(kTypeElement128);
    case kTypeDeleted: throw static_cast<DWORD>(ERROR_DELETE_PENDING);
    default: throw static_cast<DWORD>(ERROR_INVALID_DATA);
  }
}

int CFragmentItem::ComparePaths(const std::wstring& a, const std::wstring& b, int length, bool caseA, bool caseB,
                                bool exact) {
  const std::size_t la = length < 0 ? a.size() : std::min<std::size_t>(a.size(), length);
  const std::size_t lb = length < 0 ? b.size() : std::min<std::size_t>(b.size(), length);
  const bool bothCase = caseA && caseB;
  std::size_t i = 0;
  for (; i < la && i < lb; ++i) {
    const unsigned wa = Weight(a[i], bothCase, exact), wb = Weight(b[i], bothCase, exact);
    if (wa != wb) break;
  }
  return Order(TailWeight(a, i, la, bothCase, exact), TailWeight(b, i, lb, bothCase, exact));
}

int CFragmentItem::Compare(const CFileListFile& otherFile, unsigned index) const {
  const auto& other = static_cast<const CFragmentItem&>(otherFile);
  switch (index) {
    case 1: return Order(Field64(), other.Field64());
    case 2: return Order(Time64(), other.Time64());
    case kPinIndex: return ComparePins(*this, other);
    case 0: case 3: case 4: case 5: break;
    default: return 0;
  }
  const int length = CompareLength() >= 0 ? CompareLength() : other.CompareLength();
  if (int c = ComparePaths(m_key, other.m_key, length, CaseFlag(), other.CaseFlag()); c != 0) return c;
  if (length < 0) {
    // The version and then the file, each only where both sides know it.
    for (int id : {1, 2, 0}) {
      const DWORD a = m_ids[id], b = other.m_ids[id];
      if (a != kAnyId && b != kAnyId && a != b) return Order(a, b);
    }
  }
  if (index != 0) return 0;
  if (int c = Order(ObjectType(false), other.ObjectType(false)); c != 0) return c;
  if (ObjectType(false) == kTypePinned && other.ObjectType(false) == kTypePinned) return ComparePins(*this, other);
  return 0;
}

// --- CFragmentElem ---

DWORD CFragmentElem::Flags() const { return GetU32(m_block); }

void CFragmentElem::SetFields(DWORD flags, DWORD seconds, DWORD value, ULONGLONG position) {
  PutU32(m_block, flags);
  PutU32(m_block + 4, seconds);
  PutU32(m_block + 8, value);
  PutU64(m_block + 12, m_type == kTypeElement128 ? position : 0);
  m_kind.reset();
  m_time.reset();
}

void CFragmentElem::LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage& page) {
  CFileListFile::LoadCompressed(data, bytes, page);
  m_kind.reset();
  m_time.reset();
}

int CFragmentElem::ElementKind() const {
  if (!m_kind) {
    const DWORD flags = Flags();
    m_kind = (flags & kFlagKind3) ? 3 : (flags & kFlagKind2) ? 2 : (flags & kFlagKind1) ? 1 : 2;
  }
  return *m_kind;
}

ULONGLONG CFragmentElem::Field64() const { return GetU32(m_block + 8); }

ULONGLONG CFragmentElem::Position64() const {
  if (m_type != kTypeElement128) return 0;
  return GetU32(m_block + 12) | (static_cast<ULONGLONG>(GetU32(m_block + 16)) << 32);
}

ULONGLONG CFragmentElem::Time64() const {
  // Seconds as stored, in units of 10000000 per second; kept once computed.
  if (!m_time) m_time = static_cast<ULONGLONG>(GetU32(m_block + 4)) * kTicksPerSecond;
  return *m_time;
}

bool CFragmentElem::QueryInsert(unsigned index) const {
  switch (index) {
    case 0: case 1: return true;
    case 2: {
      if (ElementKind() != 1 || Time64() == 0) return false;
      const DWORD flags = Flags();
      return ((flags & kFlagPositioned) && Position64() != 0) ||
             ((flags & kFlagTimed) && m_type == kTypeElement128);
    }
    case 3: return ElementKind() == 1;
    case 4: return ElementKind() == 2;
    case 5: return ElementKind() == 3;
    default: return false;
  }
}

// --- CPinnedElem ---

CPinnedElem::CPinnedElem(std::wstring keyString, DWORD id0, DWORD id1, DWORD id2, std::wstring name,
                         ULONGLONG value, std::wstring attribute)
    : m_name(std::move(name)), m_attribute(std::move(attribute)) {
  m_key = std::move(keyString);
  SetStoredIds(id0, id1, id2);
  PutU32(m_block, CFileListInternal::kNoPath);
  PutU32(m_block + 4, static_cast<DWORD>(value >> 32));
  PutU32(m_block + 8, static_cast<DWORD>(value));
  PutU32(m_block + 12, CFileListInternal::kNoPath);
}

DWORD CPinnedElem::Allocate(CFileListInternal& list) {
  DWORD nameId = CFileListInternal::kNoPath, attributeId = CFileListInternal::kNoPath;
  if (!m_name.empty() && (nameId = list.AllocatePath(m_name)) == CFileListInternal::kNoPath)
    return ERROR_NOT_ENOUGH_MEMORY;
  if (!m_attribute.empty() && (attributeId = list.AllocatePath(m_attribute)) == CFileListInternal::kNoPath)
    return ERROR_NOT_ENOUGH_MEMORY;
  PutU32(m_block, nameId);
  PutU32(m_block + 12, attributeId);
  return ERROR_SUCCESS;
}

void CPinnedElem::LoadCompressed(const BYTE* data, DWORD bytes, const CFileListPage& page) {
  CFileListFile::LoadCompressed(data, bytes, page);
  const DWORD nameId = GetU32(m_block), attributeId = GetU32(m_block + 12);
  m_name = nameId == CFileListInternal::kNoPath ? std::wstring() : page.GetPath(nameId);
  m_attribute = attributeId == CFileListInternal::kNoPath ? std::wstring() : page.GetPath(attributeId);
}

ULONGLONG CPinnedElem::Value64() const {
  return (static_cast<ULONGLONG>(GetU32(m_block + 4)) << 32) | GetU32(m_block + 8);
}

// --- CFragmentSearch ---

CFragmentSearch::CFragmentSearch(const CFragmentSearchKey& key) : m_key(key) {
  SetKeyString(key.keyString);
  SetStoredIds(key.id0, key.id1, key.id2);
  const std::string name = platform::Utf16leFromWide(key.name);
  SetCompressedSize(kHeaderBytes + static_cast<DWORD>(name.size()));
  std::memset(m_buffer, 0, kHeaderBytes);
  PutU32(m_buffer, 1);
  PutU32(m_buffer + 4, key.id0);
  PutU32(m_buffer + 8, key.id1);
  PutU32(m_buffer + 12, key.id2);
  PutU64(m_buffer + 16, key.field);
  PutU64(m_buffer + 24, key.value);
  PutU64(m_buffer + 32, key.time);
  PutU32(m_buffer + 40, static_cast<DWORD>(name.size()));
  m_buffer[44] = key.type;
  m_buffer[45] = key.caseFlag ? 1 : 0;
  std::memcpy(m_buffer + kHeaderBytes, name.data(), name.size());
}

CFragmentSearch::~CFragmentSearch() {
  if (m_buffer != m_inline) delete[] m_buffer;
}

void CFragmentSearch::SetCompressedSize(DWORD bytes) {
  if (bytes <= sizeof m_inline) {
    if (m_buffer != m_inline) {
      std::memcpy(m_inline, m_buffer, std::min<DWORD>(bytes, m_bufferBytes));
      delete[] m_buffer;
      m_buffer = m_inline;
    }
  } else if (bytes > m_bufferBytes || m_buffer == m_inline) {
    BYTE* bigger = new BYTE[bytes]();
    std::memcpy(bigger, m_buffer, std::min<DWORD>(bytes, m_bufferBytes));
    if (m_buffer != m_inline) delete[] m_buffer;
    m_buffer = bigger;
  }
  m_bufferBytes = bytes;
}
