// TranscodeJob.cpp - ExecuteOperation: the transcodes of one accepted file, their logs and events.
//
// Every ExecuteOperation, whatever happens in it, ends the job it was
// counted as once and calls OperationComplete once (JobEnd). A transcode
// runs only while it is its output path's one writer and only when that
// output is still missing, so no job makes again, or deletes, an output that
// another job or operation has made current. The transcoder is told to
// write a temporary name beside the output, which the job renames onto the
// output only once the transcoder said it succeeded and the file is there and
// not empty: a transcoder that writes in place and dies leaves a partial file
// under the temporary name, never under the output's. A reported success
// without that file is a failure. A refusal or failure with a result is the
// file's failure, unless the file was renamed, deleted or rewritten
// meanwhile; only no result at all (no pipe, the pipe closed) is the
// transcoder being unavailable. After the job, and after a failure, the
// file is looked up again: outputs under a name or version that no longer
// exists are removed, and a renamed file keeps its pin so that it comes back
// under its new name.
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

// Whether path is a file with at least one byte in it.
bool FileHasData(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (data.nFileSizeHigh != 0 || data.nFileSizeLow != 0);
}

// The name the transcoder writes before the job renames it onto output:
// beside it, hidden, its extension kept (the transcoder reads the format
// from it), and never a version of any output (its base differs). One job
// at a time writes an output (WriterSlot), so the name needs no counter and
// a leftover of a killed job is simply written over.
constexpr const wchar_t* kPartialPrefix = L".~framesight.";
std::wstring PartialPath(const std::wstring& output) {
  const std::size_t slash = output.find_last_of(L"\\/");
  const std::size_t at = slash == std::wstring::npos ? 0 : slash + 1;
  return output.substr(0, at) + kPartialPrefix + output.substr(at);
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

const wchar_t* CFramesight::FateText(SourceFate fate) {
  return fate == SourceFate::kGone ? L"deleted" : fate == SourceFate::kRewritten ? L"rewritten" : L"renamed";
}

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
    platform::ComPtr<IArchiveFile> file;
    if (HRESULT hr = parameters->QueryInterface(IID_IArchiveFile, file.PutVoid()); FAILED(hr)) return hr;
    platform::ComBstr source;
    if (HRESULT hr = file->GetFullPath(source.ReleaseAndGetAddressOf()); FAILED(hr)) return hr;
    HRESULT hr = S_OK;
    bool unpin = false;
    std::vector<std::wstring> made;
    if (PreviewMode()) {
      const std::wstring options =
          platform::FormatW(L"-vnpreview %u %s", m_frameCount.value_or(kDefaultFrameCount),
                            m_size ? m_size->c_str() : kDefaultSize);
      TranscodeEnd ended = TranscodeEnd::kNotRun;
      hr = Transcode(parameters, kPreviewTranscoder, options, kPreviewOutput, level.transcoderLevel, log,
                     kPreviewLog, support, ended, made);
      // A transcoder that could not be asked, or had no free instance, gets
      // the file again later; so does a file renamed before it was read.
      unpin = ended != TranscodeEnd::kUnavailable && ended != TranscodeEnd::kBusy &&
              ended != TranscodeEnd::kSourceRenamed;
      if (ended == TranscodeEnd::kBusy) hr = S_OK;
    } else {
      hr = ExecuteOperations(parameters, support, level.transcoderLevel, log, unpin, made);
    }
    if (!made.empty()) {
      // Outputs under a name or version that no longer exists help nobody:
      // a file deleted or rewritten meanwhile is done (its pinned version
      // needs nothing more); one renamed keeps its pin and comes back under
      // its new name.
      const SourceFate fate = FateOfSource(parameters, source.Str());
      if (fate != SourceFate::kSame) {
        for (const std::wstring& path : made) (void)DeleteFileW(path.c_str());
        log.Printf(kJobTraceLevel, L"'%s' was %s while it was transcoded: its outputs are removed\n",
                   source.Str().c_str(), FateText(fate));
        unpin = fate != SourceFate::kRenamed;
      }
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
                                       int transcoderLevel, CTranscodeLog& log, bool& unpin,
                                       std::vector<std::wstring>& made) {
  unpin = false;
  platform::ComPtr<IPostProcessOperations> operations;
  HRESULT hr = parameters->GetOperations(operations.ReleaseAndGetAddressOf());
  if (hr == S_FALSE) {
    unpin = true;  // no rule gives the file an operation: done
    return S_OK;
  }
  if (FAILED(hr)) return hr;
  if (!operations) return E_POINTER;
  // Every operation is tried: one that failed (and said so) does not stop
  // the others. The file is done at the end unless a failed operation's
  // "Unpin On Error" keeps it.
  bool keep = false;
  for (;;) {
    platform::ComPtr<IPostProcessOperation> each;
    hr = operations->Next(each.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    if (!each) {
      unpin = !keep;
      return S_OK;
    }
    std::wstring transcoder, options, output, logName;
    if (hr = framesight::OperationText(each.Get(), L"Transcoder", transcoder); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"Options", options); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"OutputFile", output); FAILED(hr)) return hr;
    if (hr = framesight::OperationText(each.Get(), L"LogFile", logName); FAILED(hr)) return hr;
    // A missing "OutputFile" and a name the archive refuses were reported
    // when the file was taken; the operation cannot run.
    if (output.empty()) continue;
    if (hr = CheckOperationNames(parameters, each.Get(), support, false); FAILED(hr)) return hr;
    if (hr == S_FALSE) continue;
    const wchar_t* missing = transcoder.empty() ? L"Transcoder" : options.empty() ? L"Options" : nullptr;
    if (missing != nullptr) {
      // Reported, then the operation is passed over: kept, the file would
      // come back with the same event on every pass until somebody mends
      // the rule.
      if (hr = ReportProviderEvent(support, MSG_MISSING_PARAMETER, parameters,
                                   {framesight::OperationName(each.Get()), missing});
          FAILED(hr))
        return hr;
      continue;
    }
    TranscodeEnd ended = TranscodeEnd::kNotRun;
    hr = Transcode(parameters, transcoder, options, output, transcoderLevel, log, logName, support, ended, made);
    // No transcoder to ask: the pins wait for it, and the operations after
    // this one would meet the same.
    if (ended == TranscodeEnd::kUnavailable) return E_FAIL;
    if (ended == TranscodeEnd::kBusy) return S_OK;
    // The source is no longer what the rules were read for: the operations
    // after this one would fail the same way. Renamed, the file comes back
    // under its new name; gone, it is done.
    if (ended == TranscodeEnd::kSourceRenamed || ended == TranscodeEnd::kSourceGone) {
      unpin = ended == TranscodeEnd::kSourceGone;
      return S_OK;
    }
    if (ended == TranscodeEnd::kFailed) {
      if (FAILED(hr)) return hr;  // the event could not be reported: tried again
      bool release = true;
      if (HRESULT read = framesight::UnpinOnError(each.Get(), release); FAILED(read)) return read;
      keep = keep || !release;
      continue;
    }
    if (FAILED(hr)) return hr;
  }
}

HRESULT CFramesight::Transcode(IPostProcessParameters* parameters, const std::wstring& transcoder,
                               const std::wstring& options, const std::wstring& outputName, int transcoderLevel,
                               CTranscodeLog& log, const std::wstring& logName, IProviderSupport* support,
                               TranscodeEnd& end, std::vector<std::wstring>& made) {
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

  const std::wstring partial = PartialPath(written.Str());
  log.Printf(kJobTraceLevel, L"Transcode(%s, %s, %s, %s)\n", transcoder.c_str(), source.Str().c_str(),
             options.c_str(), partial.c_str());
  std::wstring failureText;
  bool answered = false;
  DWORD code = RunTranscoder(transcoder, source.Str(), options, partial, transcoderLevel,
                             &CTranscodeLog::OnLineCallback, &log, failureText, &answered);
  log.Printf(kJobTraceLevel, L"Transcode(%s) returned %lu\n", transcoder.c_str(), static_cast<unsigned long>(code));
  if (code == ERROR_SUCCESS && !FileHasData(partial)) {
    // Success without the file it was told to write is no success: nothing
    // would ever make it.
    code = ERROR_FILE_NOT_FOUND;
    failureText = platform::FormatW(L"Transcoder '%s' reported success without writing '%s'", transcoder.c_str(),
                                    partial.c_str());
  }
  if (code == ERROR_SUCCESS && !MoveFileExW(partial.c_str(), written.Str().c_str(), MOVEFILE_REPLACE_EXISTING)) {
    code = GetLastError();
    failureText = platform::FormatW(L"Cannot rename '%s' onto '%s' (error %lu)", partial.c_str(),
                                    written.Str().c_str(), static_cast<unsigned long>(code));
  }
  // Whatever is left under the temporary name is a transcode that did not finish.
  (void)DeleteFileW(partial.c_str());

  if (code == ERROR_SUCCESS) {
    end = TranscodeEnd::kMade;
    made.push_back(written.Str());
    if (logPath.Get() != nullptr && !log.InfoLines().Lines().empty()) {
      const std::string text = LogFileText(log.InfoLines().Lines());
      // The output is made; a log that cannot be written does not undo it.
      if (platform::WriteFileReplacing(logPath.View(), text.data(), text.size()) == ERROR_SUCCESS)
        made.push_back(logPath.Str());
      framesight::OutputVersions logVersions(logPath.Str());
      (void)logVersions.RemoveStale();
    }
    return versions.RemoveStale();
  }

  if (code == ERROR_PIPE_BUSY && !answered) {
    // The transcoder is there but full: not this file's failure, and no
    // reason to hold back other work. The pins stay for a later pass.
    end = TranscodeEnd::kBusy;
    const std::wstring text =
        platform::FormatW(L"%s; '%s' is tried again later\n", failureText.c_str(), source.Str().c_str());
    (void)support->LogMessage(nullptr, 2, text.c_str());
    return S_OK;
  }

  if (answered) {
    // A source that vanished from under the transcoder (renamed or deleted
    // before it was opened, or while it was read) is not this file's
    // failure: no event, and the job's end says what became of it.
    const SourceFate fate = FateOfSource(parameters, source.Str());
    if (fate != SourceFate::kSame) {
      (void)DeleteFileW(kept.Str().c_str());
      end = fate == SourceFate::kRenamed ? TranscodeEnd::kSourceRenamed : TranscodeEnd::kSourceGone;
      log.Printf(kJobTraceLevel, L"'%s' was %s while it was transcoded: the failure (%lu) is not the file's\n",
                 source.Str().c_str(), FateText(fate), static_cast<unsigned long>(code));
      return S_OK;
    }
  }

  // Only a request that got no result at all says the transcoder is not
  // there; a result with an error is this file's failure, said or not.
  const std::wstring text = !log.FirstError().empty() ? log.FirstError() : failureText;
  // This job is the path's one writer and the output was missing before it
  // ran, so whatever lies there now is this transcode's leftover.
  (void)DeleteFileW(kept.Str().c_str());
  end = answered ? TranscodeEnd::kFailed : TranscodeEnd::kUnavailable;
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
