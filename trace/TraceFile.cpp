// TraceFile.cpp - the buffers and sources of one trace file, and its saving.
//
// The file's size is computed first, then the file is written in one pass
// through a mapped view. It is written under a temporary name and renamed
// over the ".VNT" only when complete, so a save that fails part way leaves
// the previous good file in place.
#include "trace/TraceFile.h"

#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include "trace/HuffmanCoder.h"
#include "trace/MarkRange.h"
#include "trace/TraceBuffer.h"

#include <array>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <list>
#include <map>
#include <system_error>
#include <tuple>
#include <vector>

class CTraceFileRep {
 public:
  CTraceFileRep(std::shared_ptr<const CTraceFileNames> names, ULONGLONG firstLine, DWORD fileIndex)
      : m_names(std::move(names)), m_firstLine(firstLine), m_fileIndex(fileIndex) {
    m_sourcePointers.fill(nullptr);
    const std::wstring prefix = m_names->GetPrefix();
    if (!prefix.empty()) m_properties.emplace("ServiceName", platform::Utf8FromWide(prefix));
  }
  virtual ~CTraceFileRep() = default;

  // Every CTraceFile handle together holds one reference, and each buffer
  // handle one more; the body goes with the last reference.
  std::atomic<long> m_refs{1};
  std::atomic<long> m_owners{1};  // CTraceFile handles
  std::shared_ptr<const CTraceFileNames> m_names;
  // Buffers in first-line order: the run of the file's lines.
  std::map<ULONGLONG, CTraceBuffer::CRep> m_buffers;
  // Buffers made for the file outside that run (CTraceBuffer's own
  // constructor); owned here so that they too end with the file.
  std::list<CTraceBuffer::CRep> m_otherBuffers;
  std::map<std::string, std::string> m_properties;
  std::map<CTraceLoggable*, BYTE> m_sources;
  std::map<BYTE, std::string> m_sourceNames;
  // Indexed by source index; an array, so that a reader on another thread
  // resolves a line's source while new sources are entered.
  std::array<CTraceLoggable*, 256> m_sourcePointers;
  ULONGLONG m_firstLine;
  DWORD m_fileIndex;
  bool m_dirty = false;

  CTraceBuffer::CRep& NewBuffer(ULONGLONG firstLine) {
    return m_buffers.emplace(std::piecewise_construct, std::forward_as_tuple(firstLine),
                             std::forward_as_tuple(firstLine, this))
        .first->second;
  }
  DWORD Save();
  BYTE* AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength, ULONGLONG lineNumber,
                CTraceBuffer* lineBuffer);
};

namespace {

constexpr std::size_t kMaxEntryBytes = 255;

// At most 255 bytes, never ending inside a UTF-8 sequence.
std::string_view Entry(std::string_view text) {
  if (text.size() <= kMaxEntryBytes) return text;
  std::size_t n = kMaxEntryBytes;
  while (n > 0 && (static_cast<BYTE>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

// A block to save: its first line and its content with the codes built.
struct KeptBlock {
  ULONGLONG firstLine;
  const BYTE* block;
  DWORD length;
  CHuffmanCoder coder;
};

// The file's layout into out (exactly size bytes, as the caller counted them).
DWORD WriteLayout(BYTE* out, std::size_t size, const std::map<BYTE, std::string>& sourceNames,
                  const std::vector<std::string>& properties, const std::vector<KeptBlock>& kept) {
  BYTE* const end = out + size;
  *out++ = static_cast<BYTE>(sourceNames.size() + properties.size());
  auto put = [&out](std::string_view text) {
    *out++ = static_cast<BYTE>(text.size());
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  };
  for (const auto& [index, name] : sourceNames) put(Entry(name));
  for (const auto& property : properties) put(property);
  for (const KeptBlock& k : kept) {
    platform::StoreLe64(out, k.firstLine);
    out += 8;
    if (!k.coder.Encode(k.block, k.length, out, static_cast<std::size_t>(end - out))) return ERROR_INTERNAL_ERROR;
    out += k.coder.GetCompressedSize();
  }
  return ERROR_SUCCESS;
}

}  // namespace

CTraceFile::CTraceFile() : m_rep(nullptr) {}
CTraceFile::CTraceFile(std::shared_ptr<const CTraceFileNames> names, ULONGLONG firstLine, DWORD fileIndex)
    : m_rep(new CRep(std::move(names), firstLine, fileIndex)) {}
CTraceFile::CTraceFile(const CTraceFile& other) : m_rep(other.m_rep) {
  if (m_rep) m_rep->m_owners.fetch_add(1, std::memory_order_relaxed);
}
CTraceFile::CTraceFile(CTraceFile&& other) noexcept : m_rep(other.m_rep) { other.m_rep = nullptr; }
CTraceFile& CTraceFile::operator=(CTraceFile other) noexcept {
  std::swap(m_rep, other.m_rep);
  return *this;
}
CTraceFile::~CTraceFile() {
  if (m_rep == nullptr) return;
  // The last owner saves a marked file (the result has no one to go to);
  // lines still held keep the body, but no handle is left to write it again.
  if (m_rep->m_owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    try {
      m_rep->Save();
    } catch (const std::exception&) {
      // A name that cannot be made is a save that failed.
    }
    Release(m_rep);
  }
}

void CTraceFile::Hold(CRep* rep) { rep->m_refs.fetch_add(1, std::memory_order_relaxed); }
void CTraceFile::Release(CRep* rep) {
  if (rep->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep;
}
CTraceBuffer CTraceFile::AddBuffer(CRep* rep, ULONGLONG firstLine) {
  return CTraceBuffer(&rep->m_otherBuffers.emplace_back(firstLine, rep));
}
CTraceLoggable* CTraceFile::SourceOf(const CRep* rep, BYTE index) { return rep->m_sourcePointers[index]; }

// --- buffer handles: each keeps its file's body alive ---

CTraceBuffer::CTraceBuffer(ULONGLONG firstLine, const CTraceFile& file)
    : CTraceBuffer(CTraceFile::AddBuffer(file.m_rep, firstLine)) {}
CTraceBuffer::CTraceBuffer(CRep* rep) : m_rep(rep) {
  if (m_rep) CTraceFile::Hold(m_rep->GetFile());
}
CTraceBuffer::~CTraceBuffer() {
  if (m_rep != nullptr) CTraceFile::Release(m_rep->GetFile());
}
CTraceLoggable* CTraceBuffer::GetSourcePointer(BYTE index) const {
  return CTraceFile::SourceOf(m_rep->GetFile(), index);
}

BYTE* CTraceFile::AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength,
                          ULONGLONG lineNumber, CTraceBuffer& lineBuffer) {
  return m_rep->AddLine(messageId, source, time, argLength, lineNumber, &lineBuffer);
}
BYTE* CTraceFile::AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength,
                          ULONGLONG lineNumber) {
  return m_rep->AddLine(messageId, source, time, argLength, lineNumber, nullptr);
}

BYTE* CTraceFileRep::AddLine(DWORD messageId, CTraceLoggable* source, ULONGLONG time, DWORD argLength,
                                ULONGLONG lineNumber, CTraceBuffer* lineBuffer) {
  CTraceFileRep& r = *this;
  BYTE index = 255;  // a line without a source
  if (source != nullptr) {
    auto known = r.m_sources.find(source);
    if (known != r.m_sources.end()) {
      index = known->second;
    } else {
      if (r.m_sources.size() + r.m_properties.size() >= 255) return nullptr;
      index = static_cast<BYTE>(r.m_sources.size());
      r.m_sources.emplace(source, index);
      r.m_sourceNames.emplace(index, source->GetTraceName());
      r.m_sourcePointers[index] = source;
    }
  }
  if (r.m_buffers.empty()) r.NewBuffer(lineNumber);
  CTraceBuffer::CRep& last = r.m_buffers.rbegin()->second;
  if (BYTE* place = last.AddLine(messageId, index, time, argLength, lineBuffer)) return place;
  // An empty last buffer is offered every line again rather than followed by
  // another buffer of the same first line.
  if (last.GetLineCount() == 0 || r.m_buffers.size() >= CTraceFile::kMaxBuffers) return nullptr;
  return r.NewBuffer(lineNumber).AddLine(messageId, index, time, argLength, lineBuffer);
}

CTraceLine CTraceFile::GetLine(CTraceLogger* logger, ULONGLONG lineNumber) const {
  auto it = m_rep->m_buffers.upper_bound(lineNumber);
  if (it == m_rep->m_buffers.begin()) return CTraceLine(logger);
  --it;
  if (lineNumber >= it->first + it->second.GetLineCount()) return CTraceLine(logger);
  return it->second.GetLine(logger, lineNumber);
}

DWORD CTraceFile::GetLineCount() const {
  auto& buffers = m_rep->m_buffers;
  if (buffers.empty()) return 0;
  auto& last = *buffers.rbegin();
  return static_cast<DWORD>(last.first + last.second.GetLineCount() - buffers.begin()->first);
}

ULONGLONG CTraceFile::GetFirstLineNumber() const { return m_rep->m_firstLine; }

void CTraceFile::MarkRange(ULONGLONG first, DWORD count) {
  m_rep->m_dirty = true;  // also when nothing is held
  trace_detail::MarkAcross(m_rep->m_buffers, first, count, false);
}

bool CTraceFile::IsDirty() const { return m_rep->m_dirty; }

DWORD CTraceFile::SaveFile() { return m_rep->Save(); }

std::wstring CTraceFile::GetFileName() const { return m_rep->m_names->MakeFileName(m_rep->m_fileIndex); }

CTraceLoggable* CTraceFile::GetSourcePointer(BYTE index) const { return m_rep->m_sourcePointers[index]; }

DWORD CTraceFileRep::Save() {
  if (!m_dirty) return ERROR_SUCCESS;

  std::size_t size = 1;
  for (const auto& [index, name] : m_sourceNames) size += 1 + Entry(name).size();
  std::vector<std::string> properties;
  for (const auto& [key, value] : m_properties) {
    properties.emplace_back(Entry(key + "::" + value));
    size += 1 + properties.back().size();
  }
  std::vector<KeptBlock> kept;
  for (auto& [firstLine, buffer] : m_buffers) {
    if (!buffer.HasKeepRange()) continue;
    const BYTE* block = buffer.CloseBlock();
    if (block == nullptr) continue;
    KeptBlock k{firstLine, block, buffer.GetClosedLength(), CHuffmanCoder()};
    k.coder.BuildCodes(k.block, k.length);
    size += 8 + k.coder.GetCompressedSize();
    kept.push_back(std::move(k));
  }

  const std::wstring wideName = m_names->MakeFileName(m_fileIndex);
  // Written under a temporary name and renamed on, so that a failed save
  // never leaves half a file where a good one was.
  platform::ReplacementFile file;
  DWORD result = file.Create(wideName);
  if (result == ERROR_PATH_NOT_FOUND) {
    if (!CreateDirectoryW(m_names->GetDirectory().c_str(), nullptr)) return GetLastError();
    result = file.Create(wideName);
  }
  if (result != ERROR_SUCCESS) return result;

  LARGE_INTEGER length{};
  length.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file.Handle(), length, nullptr, FILE_BEGIN) || !SetEndOfFile(file.Handle()))
    return GetLastError();
  platform::UniqueHandle mapping(CreateFileMappingW(file.Handle(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
  if (!mapping) return GetLastError();
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, size);
  if (view == nullptr) return GetLastError();
  result = WriteLayout(static_cast<BYTE*>(view), size, m_sourceNames, properties, kept);
  if (!UnmapViewOfFile(view) && result == ERROR_SUCCESS) result = GetLastError();
  mapping.reset();
  if (result == ERROR_SUCCESS) result = file.Commit();
  if (result != ERROR_SUCCESS) return result;
  m_dirty = false;
  return ERROR_SUCCESS;
}

void CTraceFileNames::SetDirectory(const std::wstring& directory) {
  platform::SrwExclusiveLock guard(m_lock);
  m_directory = directory;
}

void CTraceFileNames::SetPrefix(const std::wstring& prefix) {
  platform::SrwExclusiveLock guard(m_lock);
  m_prefix = prefix;
}

std::wstring CTraceFileNames::GetDirectory() const {
  platform::SrwSharedLock guard(m_lock);
  return m_directory;
}

std::wstring CTraceFileNames::GetPrefix() const {
  platform::SrwSharedLock guard(m_lock);
  return m_prefix;
}

std::wstring CTraceFileNames::MakeStem() const {
  const time_t start = static_cast<time_t>(m_startTime);
  struct tm local {};
  if (localtime_r(&start, &local) == nullptr)
    throw std::system_error(E_INVALIDARG, platform::Win32Category(), "localtime");
  wchar_t text[128];
  const std::size_t n = std::wcsftime(text, 128, L"%Y%m%d%H%M%S", &local);
  platform::SrwSharedLock guard(m_lock);
  return m_directory + L"\\" + m_prefix + std::wstring(text, n);
}

std::wstring CTraceFileNames::MakeFileName(DWORD fileIndex) const {
  return MakeStem() + platform::FormatW(L"%.4X", fileIndex) + L".VNT";
}
