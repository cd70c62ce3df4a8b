// Framesight.h - CFramesight, the provider object the class factory makes.
//
// One object per registered extension: the extension service creates it by
// CLSID_Framesight, initialises it once through IExtensionInit and then asks
// it, through IProviderOperations, whether pinned files need work and to do
// that work. IServiceOperations serves the archive's other components.
// IDispatch answers IExtensionInit's one member, "Initialise" (DISPID 1), by
// hand, since the platform has no type information to dispatch through.
//
// Shared state: the reference count and the active job count are atomic;
// the last failure and the time it ends are atomic; the two live settings of
// the extension's key are guarded by the parameters' own locks. The settings
// Initialise reads (mode, matchers, frame count, size, system) are written
// once before any other call and only read afterwards. m_writersLock guards
// m_writers, the output paths being made now. Each live object holds one
// lock on the module, so DllCanUnloadNow answers S_FALSE while any object
// exists.
#pragma once

#include "providers/Framesight/FramesightInterfaces.h"

#include "VNService/Extensions/Taskweave/ExtensionRegistryParameters.h"
#include "VNService/Extensions/Taskweave/PatternMatcher.h"
#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"

#include <atomic>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CTranscodeLog;

// Events of the provider.
inline constexpr ULONG MSG_TRANSCODE_FAILED = 0xC00007D0;        // HRESULT, its text, failure text
inline constexpr ULONG MSG_MISSING_PARAMETER = 0xC00007D1;       // operation name, parameter name
inline constexpr ULONG MSG_PREPARE_PREVIEW_FAILED = 0xC000EA60;  // HRESULT, its text, path
inline constexpr ULONG MSG_RENAME_OUTPUTS_FAILED = 0xC000EA68;   // HRESULT, its text, key string
inline constexpr ULONG MSG_DELETE_OUTPUTS_FAILED = 0xC000EA6A;   // HRESULT, its text, key string

// How long the provider takes no work after a transcoder could not be
// reached at all: long enough not to hand every pinned file to a transcoder
// that is down, short enough that one restarted is used again unasked.
inline constexpr ULONGLONG kTranscoderUnavailableBackoffMs = 10000;

class CFramesight final : public IProviderOperations,
                          public IServiceOperations,
                          public IExtensionInit,
                          private CExtensionRegistryParameters<&CLSID_Framesight> {
 public:
  // A new object asked for riid (the class factory's CreateInstance; no aggregation).
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // IUnknown: IUnknown, IProviderOperations, IServiceOperations, IExtensionInit, IDispatch.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override;

  // IExtensionInit
  HRESULT Initialise(BSTR key, IUnknown* system) override;

  // IProviderOperations
  HRESULT QueryCapacity(BSTR operation, ULONG* mode) override;
  HRESULT ScheduleOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) override;
  HRESULT ExecuteOperation(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) override;
  HRESULT Reserved6() override;

  // IServiceOperations (Reserved6 above serves both interfaces' S_OK slot of that name)
  HRESULT FilterFile(const void* record, HRESULT fallback) override;
  HRESULT RequestPreparePreview(LPCWSTR path, ULONG unused1, ULONG unused2, ULONG unused3,
                                IProviderSupport* support) override;
  HRESULT Reserved5() override;
  HRESULT Reserved7() override;
  HRESULT Reserved8() override;
  HRESULT RenameOutputs(BSTR keyString, ULONG id1, ULONG id2, BSTR newKeyString, ULONG newId1, ULONG newId2,
                        IUnknown* support) override;
  HRESULT DeleteOutputs(BSTR keyString, ULONG id1, ULONG id2, IUnknown* support) override;

 private:
  CFramesight();
  ~CFramesight();
  CFramesight(const CFramesight&) = delete;
  CFramesight& operator=(const CFramesight&) = delete;

 public:
  // How one transcode ended.
  enum class TranscodeEnd {
    kMade,         // the transcoder made the output
    kCurrent,      // the output was already current: nothing ran
    kFailed,       // the transcoder ran and failed (event reported)
    kUnavailable,  // no result came back: no pipe, or the pipe closed
    kBusy,         // every instance of the transcoder stayed busy for the whole wait
    kNotRun,       // a step before the transcoder failed (the HRESULT says which)
    kSourceRenamed,  // it failed, and the source is now under another name (no event)
    kSourceGone,     // it failed, and the source was deleted or rewritten meanwhile (no event)
  };

  // Reports eventId with the HRESULT, its system text and the extra strings,
  // when hr is a failure; hr itself otherwise. The report's result.
  static HRESULT ReportProviderEvent(IUnknown* support, ULONG eventId, HRESULT hr, IUnknown* item,
                                     std::initializer_list<std::wstring> extra);
  // Reports eventId with the strings alone, always.
  static HRESULT ReportProviderEvent(IUnknown* support, ULONG eventId, IUnknown* item,
                                     std::initializer_list<std::wstring> strings);

 private:
  bool PreviewMode() const { return m_include.has_value(); }
  // Whether the output named name of the parameters' file version is still
  // to be made (its kept path mapped through the archive).
  HRESULT NeedsOutput(IPostProcessParameters* parameters, const std::wstring& name, bool& needed);
  // Hands the file to the service's runner, counting the job first so that
  // a runner finishing at once never takes the count below zero.
  HRESULT Accept(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support);
  void EndJob();
  HRESULT ScheduleOperations(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support);
  HRESULT ExecuteOperations(IPostProcessParameters* parameters, IProviderSupport* support, int transcoderLevel,
                            CTranscodeLog& log, bool& unpin, std::vector<std::wstring>& made);
  HRESULT Transcode(IPostProcessParameters* parameters, const std::wstring& transcoder, const std::wstring& options,
                    const std::wstring& outputName, int transcoderLevel, CTranscodeLog& log,
                    const std::wstring& logName, IProviderSupport* support, TranscodeEnd& end,
                    std::vector<std::wstring>& made);
  // Whether the operation's "OutputFile" and "LogFile" are names the archive
  // maps for the file; a refused one is reported (event 0xC00007D0) when
  // report is set. S_FALSE for a refused name, a failure of another kind as it came.
  HRESULT CheckOperationNames(IPostProcessParameters* parameters, IPostProcessOperation* operation,
                              IProviderSupport* support, bool report);
  // After a job: whether its file is still where, and what, it was when the
  // job began (its path, and its identity pair against the pinned one). The
  // outputs the job made go when it is gone, rewritten or renamed; a renamed
  // file keeps its pin, so the worker hands it over for its new name; the
  // pinned version of a gone or rewritten file needs nothing more.
  enum class SourceFate { kSame, kGone, kRewritten, kRenamed };
  SourceFate FateOfSource(IPostProcessParameters* parameters, const std::wstring& source);
  static const wchar_t* FateText(SourceFate fate);
  void MarkTranscoderUnavailable();

  // One writer per output path: a job waits here while another makes the
  // same path, then finds it current instead of making it again.
  class WriterSlot;
  std::mutex m_writersLock;
  std::condition_variable m_writerDone;
  std::set<std::wstring, platform::LessNoCase> m_writers;

  std::atomic<ULONG> m_references{0};
  // Set by a transcode that failed without saying why (no transcoder
  // answered); QueryCapacity answers it until m_failureUntil (a tick count)
  // has passed, so a transcoder that is down is not handed every file.
  std::atomic<HRESULT> m_lastFailure{S_OK};
  std::atomic<ULONGLONG> m_failureUntil{0};
  // Jobs accepted by ScheduleOperation and not yet ended by ExecuteOperation.
  std::atomic<LONG> m_activeJobs{0};
  RegistryParam<const wchar_t*, 0> m_traceLevel{*this, L"Trace Level"};
  RegistryParam<unsigned long, 1> m_maximumJobs{*this, L"Maximum Transcode Jobs", 1};

  // Written by Initialise only.
  bool m_initialised = false;
  std::optional<CPatternMatcher> m_include;  // present: preview mode
  std::optional<CPatternMatcher> m_exclude;
  std::optional<DWORD> m_frameCount;
  std::optional<std::wstring> m_size;
  platform::ComPtr<IArchiveSystem> m_system;
};
