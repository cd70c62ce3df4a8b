// TranscoderLines.cpp - kept lines and partial lines, each within its bound.
#include "providers/Framesight/TranscoderLines.h"

bool CTranscoderLines::Add(std::wstring_view line) {
  if (m_lines.size() >= m_maxLines || line.size() > m_maxChars - m_chars) {
    ++m_dropped;
    return false;
  }
  m_lines.emplace_back(line);
  m_chars += line.size();
  return true;
}

std::vector<std::wstring> CPartialLine::Append(std::wstring_view piece) {
  std::vector<std::wstring> whole;
  if (m_maxChars == 0) return whole;
  while (!piece.empty()) {
    const std::size_t room = m_maxChars - m_text.size();
    const std::size_t taken = piece.size() < room ? piece.size() : room;
    m_text.append(piece.substr(0, taken));
    piece.remove_prefix(taken);
    // Only a text that ends with its line feed is a line; one that filled
    // the bound is handed on cut.
    if (m_text.size() == m_maxChars || (piece.empty() && !m_text.empty() && m_text.back() == L'\n')) {
      whole.push_back(std::move(m_text));
      m_text.clear();
    }
  }
  return whole;
}
