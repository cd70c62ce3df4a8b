// TraceLine.h - one stored trace line, and the argument lists of message texts.
//
// A trace line is a message id, a source, a time and the encoded bytes of its
// arguments, which stay in the block of the buffer that holds the line; a
// CTraceLine handle keeps that buffer alive. The message text of an id
// declares its arguments printf-style with a number behind each
// format spec ("%s1", "%08X2"); CTraceLine::CArgs is that declaration,
// parsed once per id and cached for the life of the process, together with a
// template in which every format spec is replaced by "^" and its number.
//
// Argument bytes, one entry per argument in number order: 0 absent; 1 + u16
// big-endian n + n bytes narrow string; 2 + u16 n + 2n bytes UTF-16LE string;
// 3 integer zero; 4..11 signed and 12..19 unsigned integers in 1..8
// little-endian bytes (fewest that extend back to the value); 20 + 8 bytes
// double. Every reader of these bytes is bounded by their length.
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <cstdarg>
#include <map>
#include <string>
#include <vector>

class CTraceLogger;
class CTraceBuffer;
struct VARIANT;

// The base of every object that writes trace lines: a line's source. Here,
// at the bottom of the trace's headers, so that the files that store sources
// need nothing of the logger.
class CTraceLoggable {
 public:
  virtual ~CTraceLoggable() = default;
  // The name a trace file stores for this source (narrow, UTF-8).
  virtual std::string GetTraceName() const = 0;
};

class CTraceLine {
 public:
  class CArgs;
  class CRep;

  // An empty line ("no such line") of the given logger.
  explicit CTraceLine(CTraceLogger* logger = nullptr);
  // A stored line, as a buffer builds it when it is read.
  CTraceLine(CTraceLogger* logger, const CTraceBuffer& buffer, DWORD messageId, BYTE sourceIndex, ULONGLONG time,
             const BYTE* argBytes, DWORD argLength);
  CTraceLine(const CTraceLine& other);
  CTraceLine(CTraceLine&& other) noexcept;
  CTraceLine& operator=(CTraceLine other) noexcept;
  virtual ~CTraceLine();

  bool IsEmpty() const;
  void GetArgBytes(const BYTE** bytes, DWORD* length) const;
  // The id of the line's argument list; 0xFFFFFFFF for an empty line or an id
  // whose text was not available.
  DWORD GetMessageId() const;
  // The object that wrote the line; null when the line has no buffer or its
  // source is unknown.
  CTraceLoggable* GetSource() const;
  BYTE GetSourceIndex() const;
  ULONGLONG GetTime() const;
  // The buffer that holds the line (an empty handle for an empty line).
  CTraceBuffer GetBuffer() const;

  // The cached argument list of an id (the shared empty list, id 0xFFFFFFFF,
  // when the id has no text). Process-wide; the reference stays valid.
  static const CArgs& GetArgs(DWORD messageId);

  // Argument bytes encoded ahead of storing: on the stack unless long.
  class CArgBytes;
  // Appends the encoded arguments the list declares, read from args.
  static void EncodeArgs(const CArgs& list, va_list args, CArgBytes& out);

  // Encodes the arguments, stores the line through the logger's AddLine and
  // copies the argument bytes there.
  void Encode(CTraceLoggable* source, DWORD messageId, va_list args);

  // The line rendered through the template of its id; "" without bytes or
  // template.
  std::wstring FormatText() const;
  // Argument number n (1 = first) as a VARIANT (VariantInit'ed first);
  // VT_EMPTY when the line has no such argument or it is absent. A failing
  // VARIANT call raises its HRESULT as a std::system_error.
  void GetArgVariant(int number, VARIANT* out) const;

 private:
  CRep* m_rep;
};

class CTraceLine::CArgBytes {
 public:
  CArgBytes() = default;
  CArgBytes(const CArgBytes&) = delete;
  CArgBytes& operator=(const CArgBytes&) = delete;
  const BYTE* Data() const { return m_data; }
  DWORD Length() const { return m_length; }
  // Room for count more bytes at the end.
  BYTE* Extend(DWORD count);

 private:
  BYTE m_local[256];
  std::vector<BYTE> m_heap;
  BYTE* m_data = m_local;
  DWORD m_length = 0;
  DWORD m_capacity = sizeof m_local;
};

// The declaration of one message text's arguments.
class CTraceLine::CArgs {
 public:
  class CArg;

  explicit CArgs(DWORD messageId = 0xFFFFFFFF) : m_messageId(messageId) {}
  virtual ~CArgs() = default;

  // Parses a message text into an argument list and its template.
  static CArgs Parse(DWORD messageId, std::wstring_view text, std::wstring& templateText);

  DWORD GetMessageId() const { return m_messageId; }
  const std::map<int, CArg>& GetArgMap() const { return m_args; }

  // The text of encoded argument bytes through the id's template (every
  // "^n" replaced by argument n's text; see Parse).
  std::wstring Render(const std::wstring& templateText, const BYTE* bytes, DWORD length) const;
  // Argument number n of encoded bytes into out (VariantInit'ed by the
  // caller); out is left alone when the bytes hold no such argument or it
  // is absent.
  void ArgVariant(int number, const BYTE* bytes, DWORD length, VARIANT* out) const;

  // The arguments a caller passes: numbers 1, 2, 3, ... up to the first gap.
  // Entries without a number, numbered 0 or after a gap take no argument.
  template <class F>
  void ForEachPassed(F&& f) const;  // f(int number, const CArg&)

 private:
  std::map<int, CArg> m_args;
  DWORD m_messageId;
};

// One argument format spec. The kinds below differ only in the operations
// they install, so an argument keeps its behaviour when stored as a CArg.
class CTraceLine::CArgs::CArg {
 public:
  // The value read from the caller's arguments while measuring.
  union Value {
    LONGLONG i;
    ULONGLONG u;
    double d;
    const void* p;
  };
  // Reads the next variadic argument (its C type follows the kind and size)
  // and gives its encoded size; 0 means "absent".
  using MeasureFn = DWORD (*)(const CArg& arg, va_list* args, Value& value);
  // Writes exactly size bytes for the value measured.
  using EncodeFn = void (*)(const CArg& arg, const Value& value, BYTE* out, DWORD size);
  // Render one encoded argument; both return the bytes consumed (at most
  // length, at least 1 when length > 0).
  using ToTextFn = DWORD (*)(const CArg& arg, const BYTE* bytes, DWORD length, std::wstring& text);
  using ToVariantFn = DWORD (*)(const CArg& arg, const BYTE* bytes, DWORD length, VARIANT* variant);

  virtual ~CArg() = default;

  WORD m_conversion = 0;
  WORD m_flag = 0;
  INT m_width = -1;
  INT m_precision = -1;
  WORD m_size = 0;
  ToTextFn m_toText = nullptr;
  ToVariantFn m_toVariant = nullptr;
  MeasureFn m_measure = nullptr;
  EncodeFn m_encode = nullptr;

  // The printf format spec this argument renders with.
  std::wstring MakeSpec() const;
};

class CStringArg : public CTraceLine::CArgs::CArg {
 public:
  CStringArg();
};
class CIntArg : public CTraceLine::CArgs::CArg {
 public:
  CIntArg();
};
class CUIntArg : public CTraceLine::CArgs::CArg {
 public:
  CUIntArg();
};
class CDoubleArg : public CTraceLine::CArgs::CArg {
 public:
  CDoubleArg();
};

template <class F>
void CTraceLine::CArgs::ForEachPassed(F&& f) const {
  int expected = 1;
  for (auto it = m_args.lower_bound(1); it != m_args.end() && it->first == expected; ++it, ++expected)
    f(it->first, it->second);
}
