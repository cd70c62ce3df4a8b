// TranscodeJob.cpp - ExecuteOperation: the transcodes of one accepted file, their logs and events.
//
// Every ExecuteOperation, whatever happens in it, ends the job it was
// counted as once and calls OperationComplete once (JobEnd). A transcode
// runs only while it is its output path's one writer and only when that
// output is still missing, so no job makes again, or deletes, an output that
// another job or operation has made current. The transcoder writes a
// temporary file and renames it onto the output; a reported success without
// the output is a failure.
#include "providers/Framesight/Framesight.h"

#include "providers/Framesight/ArchivePaths.h"
#include "providers/Framesight/OperationValues.h"
#include "providers/Framesight/OutputVersions.h"
#include "providers/Framesight/TranscodeLog.h"
#include "providers/Framesight/TranscoderClient.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"

#include <exception>

namespace {

constexpr const wchar_t* kPreviewTranscoder = L"FFMPEG";
constexpr const wchar_t* kPreviewOutput = L"Preview.webm";
constexpr const wchar_t* kPreviewLog = L"Preview.log";
constexpr DWORD kDefaultFrameCount = 29;
constexpr const wchar_t* kDefaultSize = L"640x360";
// Level index of the job's own trace lines.
constexpr int kJobTraceLevel = 6;

// The lines as the log file keeps them: UTF-8, each line ended by one LF.
std::string LogFileText(const std::vector<std::wstring>& lines) {
  std::string text;
  for (const std::wstring& line : lines) {
    std::wstring_view view(line);
    while (!view.empty() && (view.back() == L'\n' || view.back() == L'\r')) view.remove_suffix(1);
    text += platform::Utf8FromWide(view);
    text += '\n';
  }
  return text;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

// Holds an output path as its one writer; a second job for the same path
// waits until the first is done.
class CFramesight::WriterSlot {
 public:
  WriterSlot(CFramesight& owner, std::wstring path) : m_owner(owner), m_path(std::move(path)) {
    std::unique_lock hold(m_owner.m_writersLock);
    m_owner.m_writerDone.wait(hold, [&] { return m_owner.m_writers.count(m_path) == 0; });
    m_owner.m_writers.insert(m_path);
  }
  ~WriterSlot() {
    {
      std::lock_guard hold(m_owner.m_writersLock);
      m_owner.m_writers.erase(m_path);
    }
    m_owner.m_writerDone.notify_all();
  }
  WriterSlot(const WriterSlot&) = delete;
  WriterSlot& operator=(const WriterSlot&) = delete;

 private:
  CFramesight& m_owner;
  const std::wstring m_path;
};

HRESULT CFramesight::ExecuteOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) {
  // Ends the job and wakes the service's scan on every way out.
  struct JobEnd {
    CFramesight& owner;
    platform::ComPtr<IProviderSupport> support;
    ~JobEnd() {
      owner.EndJob();
      if (support) (void)support->OperationComplete();
    }
  } end{*this, platform::ComPtr<IProviderSupport>(support)};
  if (parameters == nullptr || support == nullptr) return E_POINTER;
  try {
    const TraceLevelSetting level = TraceLevelFromText(m_traceLevel.Get());
    CTranscodeLog log(level, support);
    HRESULT hr = S_OK;
    bool unpin = false;
    if (PreviewMode()) {
      const std::wstring options =
          platform::FormatW(L"-vnpreview %u %s", m_frameCount.value_or(kDefaultFrameCount),
                            m_size ? m_size->c_str() : kDefaultSize);
      TranscodeEnd ended = TranscodeEnd::kNotRun;
      hr = Transcode(parameters, kPreviewTranscoder, options, kPreviewOutput, level.transcoderLevel, log,
                     kPreviewLog, support, ended);
      // A transcoder that could not be reached gets the file again later.
      unpin = ended != TranscodeEnd::kUnavailable;
    } else {
      hr = ExecuteOperations(parameters, support, level.transcoderLevel, log, unpin);
    }
    if (SUCCEEDED(hr) && unpin) hr = support->Unpin(operation, parameters);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CFramesight::ExecuteOperations(IPostProcessParameters* parameters, IProviderSupport* support,
                                       int transcoderLevel, CTranscodeLog& log, bool& unpin) {
  unpin = false;
  platform::ComPtr<IPostProcessOperations> operations;
  HRESULT hr = parameters->GetOperations(operations.ReleaseAndGetAddressOf());
  if (hr == S_FALSE) {
    unpin = true;  // no rule gives the file an operation: done
    return S_OK;
  }
  if (FAILED(hr)) return hr;
  if (!operations) return E_POINTER;
  for (;;) {
    platform::ComPtr<IPostProcessOperation> each;
    hr = operations->Next(each.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    if (!each) {
      unpin = true;
      return hr;
    }
    std::wstring transcoder, options, output, logName;
    if (hr = framesight::OperationText(each.Get(), L"Transcoder", transcoder); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"Options", options); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"OutputFile", output); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"LogFile", logName); FAILED(hr)) return hr;
    const wchar_t* missing = transcoder.empty() ? L"Transcoder"
                             : options.empty()  ? L"Options"
                             : output.empty()   ? L"OutputFile"
                                                : nullptr;
    if (missing != nullptr) {
      // Reported once, then the file is released: kept, it would come back
      // with the same event on every pass until somebody mends the rule.
      hr = ReportProviderEvent(support, MSG_MISSING_PARAMETER, parameters, {framesight::OperationName(each.Get()), missing});
      unpin = SUCCEEDED(hr);
      return hr;
    }
    TranscodeEnd ended = TranscodeEnd::kNotRun;
    hr = Transcode(parameters, transcoder, options, output, transcoderLevel, log, logName, support, ended);
    if (ended == TranscodeEnd::kUnavailable) return E_FAIL;  // the pins wait for the transcoder
    if (ended == TranscodeEnd::kFailed) {
      // Reported already; the operation says whether the file is done.
      bool release = true;
      if (HRESULT read = framesight::UnpinOnError(each.Get(), release); FAILED(read)) return read;
      unpin = release;
      return SUCCEEDED(hr) ? S_OK : hr;
    }
    if (FAILED(hr)) return hr;
  }
}

HRESULT CFramesight::Transcode(IPostProcessParameters* parameters, const std::wstring& transcoder,
                               const std::wstring& options, const std::wstring& outputName, int transcoderLevel,
                               CTranscodeLog& log, const std::wstring& logName, IProviderSupport* support,
                               TranscodeEnd& end) {
  end = TranscodeEnd::kNotRun;
  log.BeginTranscode();
  platform::ComPtr<IArchiveFile> file;
  if (HRESULT hr = parameters->QueryInterface(IID_IArchiveFile, file.PutVoid()); FAILED(hr)) return hr;
  platform::ComBstr source;
  if (HRESULT hr = file->GetFullPath(source.ReleaseAndGetAddressOf()); FAILED(hr)) return hr;
  platform::ComBstr written, kept, logPath;
  if (HRESULT hr = framesight::MapArchivePath(parameters, framesight::kControlOutputPath, outputName, written);
      FAILED(hr))
    return hr;
  if (HRESULT hr = framesight::MapArchivePath(parameters, framesight::kControlCompanionPath, outputName, kept);
      FAILED(hr))
    return hr;
  if (!logName.empty()) {
    if (HRESULT hr = framesight::MapArchivePath(parameters, framesight::kControlCompanionPath, logName, logPath);
        FAILED(hr))
      return hr;
  }

  WriterSlot slot(*this, kept.Str());
  framesight::OutputVersions versions(kept.Str());
  bool needed = false;
  if (HRESULT hr = versions.NeedsOutput(needed); FAILED(hr)) return hr;
  if (!needed) {
    // Made meanwhile by the job that held the path, or by another operation.
    end = TranscodeEnd::kCurrent;
    return S_OK;
  }

  log.Printf(kJobTraceLevel, L"Transcode(%s, %s, %s, %s)\n", transcoder.c_str(), source.Str().c_str(),
             options.c_str(), written.Str().c_str());
  std::wstring failureText;
  DWORD code = RunTranscoder(transcoder, source.Str(), options, written.Str(), transcoderLevel,
                             &CTranscodeLog::OnLineCallback, &log, failureText);
  log.Printf(kJobTraceLevel, L"Transcode(%s) returned %lu\n", transcoder.c_str(), static_cast<unsigned long>(code));
  bool madeNothing = false;
  if (code == ERROR_SUCCESS && !FileExists(kept.Str())) {
    // Success without the file is no success: nothing would ever make it.
    code = ERROR_FILE_NOT_FOUND;
    failureText = platform::FormatW(L"Transcoder '%s' reported success without writing '%s'", transcoder.c_str(),
                                    kept.Str().c_str());
    madeNothing = true;
  }

  if (code == ERROR_SUCCESS) {
    end = TranscodeEnd::kMade;
    if (logPath.Get() != nullptr && !log.InfoLines().Lines().empty()) {
      const std::string text = LogFileText(log.InfoLines().Lines());
      // The output is made; a log that cannot be written does not undo it.
      (void)platform::WriteFileReplacing(logPath.View(), text.data(), text.size());
      framesight::OutputVersions logVersions(logPath.Str());
      (void)logVersions.RemoveStale();
    }
    return versions.RemoveStale();
  }

  const bool saidWhy = !log.FirstError().empty() || !log.ErrorLines().Empty();
  const std::wstring text = !log.FirstError().empty() ? log.FirstError() : failureText;
  // This job is the path's one writer and the output was missing before it
  // ran, so whatever lies there now is this transcode's leftover.
  (void)DeleteFileW(kept.Str().c_str());
  end = saidWhy || madeNothing ? TranscodeEnd::kFailed : TranscodeEnd::kUnavailable;
  if (end == TranscodeEnd::kUnavailable) MarkTranscoderUnavailable();
  std::wstring eventText = text;
  while (!eventText.empty() && (eventText.back() == L'\n' || eventText.back() == L'\r')) eventText.pop_back();
  const HRESULT reported =
      ReportProviderEvent(support, MSG_TRANSCODE_FAILED, HRESULT_FROM_WIN32(code), parameters, {eventText});
  if (logPath.Get() != nullptr) {
    std::vector<std::wstring> lines;
    if (log.ErrorLines().Empty()) lines.push_back(text);
    lines.insert(lines.end(), log.ErrorLines().Lines().begin(), log.ErrorLines().Lines().end());
    const std::string logText = LogFileText(lines);
    (void)platform::WriteFileReplacing(logPath.View(), logText.data(), logText.size());
  }
  if (end == TranscodeEnd::kUnavailable) return E_FAIL;
  return reported;
}
