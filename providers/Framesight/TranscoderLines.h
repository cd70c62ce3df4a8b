// TranscoderLines.h - bounded keeping of a transcoder's log lines.
//
// A job keeps the lines its transcoder sends (for its log file and its
// failure text) and joins the pieces it forwards into whole lines. The
// transcoder is another program and may send without end, so both are
// bounded: CTranscoderLines keeps lines up to a count and a total length and
// only counts the rest; CPartialLine hands on a line that grew past its bound
// as it stands instead of waiting for its line feed. Neither is locked: each
// job owns its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxKeptTranscoderLines = 10000;
inline constexpr std::size_t kMaxKeptTranscoderChars = 4 * 1024 * 1024;
inline constexpr std::size_t kMaxPartialLineChars = 64 * 1024;

class CTranscoderLines {
 public:
  explicit CTranscoderLines(std::size_t maxLines = kMaxKeptTranscoderLines,
                            std::size_t maxChars = kMaxKeptTranscoderChars)
      : m_maxLines(maxLines), m_maxChars(maxChars) {}

  // Keeps line while both bounds allow it; false (and counted) otherwise.
  bool Add(std::wstring_view line);

  const std::vector<std::wstring>& Lines() const { return m_lines; }
  bool Empty() const { return m_lines.empty() && m_dropped == 0; }
  // Lines received but not kept.
  std::size_t Dropped() const { return m_dropped; }

 private:
  std::size_t m_maxLines;
  std::size_t m_maxChars;
  std::size_t m_chars = 0;
  std::size_t m_dropped = 0;
  std::vector<std::wstring> m_lines;
};

class CPartialLine {
 public:
  explicit CPartialLine(std::size_t maxChars = kMaxPartialLineChars) : m_maxChars(maxChars) {}

  // Appends piece. The text gathered so far comes back whole, and is
  // forgotten, when it ends with a line feed or has reached the bound (then
  // cut there; the rest of the piece starts the next line).
  std::vector<std::wstring> Append(std::wstring_view piece);

  const std::wstring& Pending() const { return m_text; }

 private:
  std::size_t m_maxChars;
  std::wstring m_text;
};
