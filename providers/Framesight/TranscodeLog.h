// TranscodeLog.h - what one job keeps of its transcoder's lines, and what it forwards.
//
// Every ExecuteOperation owns one CTranscodeLog. The transcoder client hands
// it each line with its level index (OnLine): info lines (5) are kept for
// the job's log file, error lines (1-3) for its failure text and its log
// file on failure. Lines at or below the job's trace level, and the job's
// own trace lines (Printf), go on to the service log through the support
// object's LogMessage once they are whole. Kept lines belong to one
// transcode: BeginTranscode forgets what an earlier operation of the same
// job received, so each log file holds only its own transcode's lines.
// Used by one thread at a time.
#pragma once

#include "providers/Framesight/TranscoderLines.h"

#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"
#include "platform/com/comptr.h"

#include <optional>
#include <string>
#include <string_view>

// The trace level a "Trace Level" text names: its level index (0-8) and the
// transcoder level index to ask for, which is never below 5 so that the info
// lines for the log file arrive. No level (forwarding off) for no text or an
// unknown one.
struct TraceLevelSetting {
  std::optional<int> forwardLevel;
  int transcoderLevel = 5;
};
TraceLevelSetting TraceLevelFromText(const std::optional<std::wstring>& text);

// The LogMessage severity of a level index: 0-3 error (3), 4 warning (2),
// 5 success (0), 6 and above information (1).
ULONG SeverityOfLevel(int levelIndex);

class CTranscodeLog {
 public:
  // Longest formatted trace line, in characters; longer ones are cut.
  static constexpr std::size_t kMaxPrintfChars = 1023;

  CTranscodeLog(const TraceLevelSetting& level, IProviderSupport* support);

  // Forgets the lines of the transcode before.
  void BeginTranscode();

  // The line callback of the transcoder client.
  static void OnLineCallback(void* self, int levelIndex, const std::wstring& line);
  void OnLine(int levelIndex, const std::wstring& line);
  // A trace line of the job's own.
  void Printf(int levelIndex, const wchar_t* format, ...);

  const CTranscoderLines& InfoLines() const { return m_infoLines; }
  const CTranscoderLines& ErrorLines() const { return m_errorLines; }
  const std::wstring& FirstError() const { return m_firstError; }

 private:
  void Forward(int levelIndex, std::wstring_view text);

  CTranscoderLines m_infoLines;
  CTranscoderLines m_errorLines;
  std::wstring m_firstError;
  CPartialLine m_partialLine;
  int m_level = 0;
  bool m_forward = false;
  platform::ComPtr<IProviderSupport> m_support;
};
