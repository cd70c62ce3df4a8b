// TranscodeLog.cpp - the trace-level table, the kept lines and their forwarding.
#include "providers/Framesight/TranscodeLog.h"

#include "platform/base/format.h"
#include "platform/base/text.h"

#include <cstdarg>
#include <iterator>

namespace {

// "Trace Level" texts by level index.
constexpr const wchar_t* kLevelNames[] = {L"Quiet", L"Panic", L"Fatal",   L"Error", L"Warning",
                                          L"Info",  L"Verbose", L"Debug", L"Trace"};
constexpr int kInfoLevel = 5;
constexpr int kLastErrorLevel = 3;

}  // namespace

TraceLevelSetting TraceLevelFromText(const std::optional<std::wstring>& text) {
  TraceLevelSetting setting;
  if (!text) return setting;
  for (int index = 0; index < static_cast<int>(std::size(kLevelNames)); ++index) {
    if (platform::EqualsNoCase(*text, kLevelNames[index])) {
      setting.forwardLevel = index;
      setting.transcoderLevel = index > kInfoLevel ? index : kInfoLevel;
      break;
    }
  }
  return setting;
}

ULONG SeverityOfLevel(int levelIndex) {
  if (levelIndex <= kLastErrorLevel) return 3;
  if (levelIndex == 4) return 2;
  if (levelIndex == kInfoLevel) return 0;
  return 1;
}

CTranscodeLog::CTranscodeLog(const TraceLevelSetting& level, IProviderSupport* support)
    : m_level(level.forwardLevel.value_or(0)), m_forward(level.forwardLevel.has_value()), m_support(support) {}

void CTranscodeLog::BeginTranscode() {
  m_infoLines = CTranscoderLines();
  m_errorLines = CTranscoderLines();
  m_firstError.clear();
}

void CTranscodeLog::OnLineCallback(void* self, int levelIndex, const std::wstring& line) {
  static_cast<CTranscodeLog*>(self)->OnLine(levelIndex, line);
}

void CTranscodeLog::OnLine(int levelIndex, const std::wstring& line) {
  if (levelIndex >= 1 && levelIndex <= kLastErrorLevel) {
    m_errorLines.Add(line);
    if (m_firstError.empty()) m_firstError = line;
  } else if (levelIndex == kInfoLevel) {
    m_infoLines.Add(line);
  }
  if (m_forward && levelIndex <= m_level) Forward(levelIndex, line);
}

void CTranscodeLog::Printf(int levelIndex, const wchar_t* format, ...) {
  if (!m_forward || levelIndex > m_level) return;
  va_list args;
  va_start(args, format);
  std::wstring text = platform::FormatWV(format, args);
  va_end(args);
  if (text.size() > kMaxPrintfChars) text.resize(kMaxPrintfChars);
  Forward(levelIndex, text);
}

void CTranscodeLog::Forward(int levelIndex, std::wstring_view text) {
  if (!m_support) return;
  for (const std::wstring& line : m_partialLine.Append(text)) {
    // A line the service cannot log is not the job's failure.
    (void)m_support->LogMessage(nullptr, SeverityOfLevel(levelIndex), line.c_str());
  }
}
