// provider_test.cpp - the provider object against the archive's system object and the transcoder stand-in.
//
// The library is loaded as COM loads it; the archive's system object works
// over a volume folder mapped as "D:"; transcodes go to the real transcoder
// stand-in, which runs a small script in ffmpeg's place: a source whose
// bytes begin "corrupt" fails with ffmpeg's error line, "slow" takes a
// moment ("slow3" three seconds, "long" sixteen), a source named "late-*"
// is opened only after three seconds (and fails as ffmpeg does when it is
// gone: told by its name, so whatever happens to it before then),
// "partial" writes part of its output and then hangs, anything else makes a
// small output and two info lines. The
// service's side (IProviderSupport and the post-process objects) is faked
// here, recording what the provider asked of it.
#include "versions_fixture.h"

#include "providers/Framesight/FramesightInterfaces.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/com/oleauto.h"

#include <dlfcn.h>
#include <signal.h>

#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr HRESULT kMerged = E_PENDING;
const std::wstring kExtensionKey = L"Software\\Vantrel\\Corvellane\\Extensions\\{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::wstring kParametersKey =
    L"Software\\Vantrel\\Vantrel Archive Extensions\\{1B353362-C59F-4258-9819-0C742EC7F32F}";

constexpr const char* kFakeFfmpeg = R"sh(#!/bin/sh
prev=""; src=""; for a; do [ "$prev" = "-i" ] && src="${a#file:}"; prev="$a"; last="$a"; done
out="${last#file:}"
echo "$*" >> "$FAKE_ARGS"
case "$src" in
  */late-*) sleep 3; [ -e "$src" ] || { printf '[error] %s: No such file or directory\n' "$src" >&2; exit 1; } ;;
esac
case "$(head -c 7 "$src")" in
  corrupt) printf '[error] %s: Invalid data found when processing input\n' "$src" >&2; exit 1 ;;
  slow3*) sleep 3 ;;
  slow*) sleep 1 ;;
  long*) sleep 16 ;;
  partial) printf 'part' > "$out"; sleep 60 ;;
esac
printf '[info] Input #0, from %s\n[info] Output #0, to %s\n' "$src" "$out" >&2
printf 'video' > "$out"
)sh";

// --- the service's side ---

struct Event {
  ULONG id;
  std::vector<std::wstring> strings;
};

class FakeSupport : public FakeObject<IProviderSupport> {
 public:
  HRESULT postProcessResult = S_OK;
  std::mutex lock;
  int postProcessCalls = 0;
  int unpinCalls = 0;
  int completions = 0;
  std::vector<Event> events;
  std::vector<std::pair<ULONG, std::wstring>> messages;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IProviderSupport*>(this)},
                   {&IID_IProviderSupport, static_cast<IProviderSupport*>(this)}});
  }
  STDMETHODIMP PostProcess(BSTR, IPostProcessParameters*) override {
    std::lock_guard hold(lock);
    ++postProcessCalls;
    return postProcessResult;
  }
  STDMETHODIMP Unpin(BSTR, IPostProcessParameters*) override {
    std::lock_guard hold(lock);
    ++unpinCalls;
    return S_OK;
  }
  STDMETHODIMP OperationComplete() override {
    std::lock_guard hold(lock);
    ++completions;
    return S_OK;
  }
  STDMETHODIMP LogMessage(IUnknown*, ULONG severity, const wchar_t* text) override {
    std::lock_guard hold(lock);
    messages.emplace_back(severity, text);
    return S_OK;
  }
  STDMETHODIMP ReportEvent(ULONG eventId, IUnknown*, SAFEARRAY* strings) override {
    Event event{eventId, {}};
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(strings, 1, &lower);
    SafeArrayGetUBound(strings, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
      BSTR text = nullptr;
      SafeArrayGetElement(strings, &i, &text);
      event.strings.emplace_back(text != nullptr ? text : L"");
      SysFreeString(text);
    }
    std::lock_guard hold(lock);
    events.push_back(std::move(event));
    return S_OK;
  }
};

// An object that is no provider support at all.
class Stranger : public FakeObject<IArchiveIdentity> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IArchiveIdentity*>(this)}});
  }
};

class FakeOperation : public FakeObject<IPostProcessOperation> {
 public:
  FakeOperation(std::wstring name, std::map<std::wstring, std::wstring> values, std::optional<bool> unpinOnError)
      : m_name(SysAllocString(name.c_str())) {
    for (auto& [key, text] : values) {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocString(text.c_str());
      m_values[key] = v;
    }
    if (unpinOnError) {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_BOOL;
      v.boolVal = *unpinOnError ? VARIANT_TRUE : VARIANT_FALSE;
      m_values[L"Unpin On Error"] = v;
    }
  }
  ~FakeOperation() {
    SysFreeString(m_name);
    for (auto& [key, v] : m_values) VariantClear(&v);
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IPostProcessOperation*>(this)},
                   {&IID_IPostProcessOperation, static_cast<IPostProcessOperation*>(this)}});
  }
  // The operation's own string and a shallow copy, as the service hands them out.
  STDMETHODIMP GetName(BSTR* name) override { return *name = m_name, S_OK; }
  STDMETHODIMP GetValue(BSTR name, VARIANT* value) override {
    const auto found = m_values.find(name);
    if (found == m_values.end()) return S_FALSE;
    *value = found->second;
    return S_OK;
  }

 private:
  BSTR m_name;
  std::map<std::wstring, VARIANT> m_values;
};

class FakeOperations : public FakeObject<IPostProcessOperations> {
 public:
  explicit FakeOperations(std::vector<ComPtr<FakeOperation>> list) : m_list(std::move(list)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IPostProcessOperations*>(this)},
                   {&IID_IPostProcessOperations, static_cast<IPostProcessOperations*>(this)}});
  }
  STDMETHODIMP Next(IPostProcessOperation** operation) override {
    *operation = nullptr;
    if (m_next < m_list.size()) {
      *operation = m_list[m_next++].Get();
      (*operation)->AddRef();
    }
    return S_OK;
  }

 private:
  std::vector<ComPtr<FakeOperation>> m_list;
  std::size_t m_next = 0;
};

// A pinned file: the archived file, its pinned identity and the rules' operations.
class Pinned : public FakeObject<IPostProcessParameters> {
 public:
  Pinned(IArchiveFile* file, ULONG id1, ULONG id2) : m_file(file), m_ids{7, id1, id2} {}
  std::vector<ComPtr<FakeOperation>> operations;  // none: no rule applies

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IArchiveFile) return m_file->QueryInterface(riid, ppv);
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<IPostProcessParameters*>(this)},
                   {&IID_IPostProcessParameters, static_cast<IPostProcessParameters*>(this)}});
  }
  STDMETHODIMP SetMode(ULONG) override { return S_OK; }
  STDMETHODIMP GetOperations(IPostProcessOperations** out) override {
    *out = nullptr;
    if (operations.empty()) return S_FALSE;
    *out = new FakeOperations(operations);  // its first reference is the caller's
    return S_OK;
  }
  STDMETHODIMP GetItem(USHORT itemId, ULONG* values) override {
    if (itemId != 12) return E_INVALIDARG;
    std::copy(m_ids, m_ids + 3, values);
    return S_OK;
  }

 private:
  ComPtr<IArchiveFile> m_file;
  ULONG m_ids[3];
};

// A new fake, its first reference taken over.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  ComPtr<T> made;
  made.Attach(new T(std::forward<Args>(args)...));
  return made;
}

PFN_DllGetClassObject GetClassObject() {
  static void* library = ::dlopen(FRAMESIGHT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  return library != nullptr ? reinterpret_cast<PFN_DllGetClassObject>(::dlsym(library, "DllGetClassObject"))
                            : nullptr;
}

// --- the fixture ---

class ProviderTest : public ArchiveVolumeTest {
 protected:
  void SetUp() override {
    ArchiveVolumeTest::SetUp();
    // Socket paths are short: a folder of its own right under /tmp.
    char pipes[] = "/tmp/vnfs-pipes-XXXXXX";
    ASSERT_NE(::mkdtemp(pipes), nullptr);
    m_pipes = pipes;
    setenv("VANTREL_PIPE_DIR", m_pipes.c_str(), 1);
    m_fake = m_pipes / "fake-ffmpeg";
    PutFile(m_fake, kFakeFfmpeg);
    fs::permissions(m_fake, fs::perms::owner_all);
    m_args = m_pipes / "ffmpeg-args";
    setenv("FAKE_ARGS", m_args.c_str(), 1);
    m_journal = m_pipes / "journal.jsonl";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kExtensionKey.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kParametersKey.c_str());
    SetDword(kParametersKey, L"Maximum Transcode Jobs", 4);
  }
  void TearDown() override {
    StopTranscoder();
    m_provider.Reset();
    std::error_code ec;
    fs::remove_all(m_pipes, ec);
    ArchiveVolumeTest::TearDown();
  }

  static void SetDword(const std::wstring& key, const std::wstring& name, DWORD value) {
    platform::RegKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(platform::RegWriteDword(k.get(), name, value), ERROR_SUCCESS);
  }

  void StartTranscoder(int instances = 2) {
    const std::string command = std::string("'") + TRANSCODER_PATH + "' --instances " + std::to_string(instances) +
                                " --detach --ffmpeg '" +
                                m_fake.string() + "' --journal '" + m_journal.string() + "' 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[64] = {};
    const bool answered = std::fgets(line, sizeof line, out) != nullptr;
    const int status = ::pclose(out);
    ASSERT_TRUE(answered) << "the transcoder stand-in did not start: " << status;
    m_transcoderPid = std::atoi(line);
    ASSERT_GT(m_transcoderPid, 0) << line;
  }
  void StopTranscoder() {
    if (m_transcoderPid <= 0) return;
    ::kill(m_transcoderPid, SIGTERM);
    for (int i = 0; i < 1000 && ::kill(m_transcoderPid, 0) == 0; ++i) std::this_thread::sleep_for(
        std::chrono::milliseconds(10));
    m_transcoderPid = 0;
  }
  // The stand-in gone at once, as a crash ends it: its ffmpeg groups are left running.
  void KillTranscoder() {
    if (m_transcoderPid <= 0) return;
    ::kill(m_transcoderPid, SIGKILL);
    for (int i = 0; i < 1000 && ::kill(m_transcoderPid, 0) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m_transcoderPid = 0;
  }
  // The process ids of the ffmpeg runs the stand-in started.
  std::vector<pid_t> FfmpegPids() const {
    std::istringstream lines(ReadHostFile(m_journal));
    std::vector<pid_t> pids;
    for (std::string line; std::getline(lines, line);) {
      if (line.find("\"event\":\"start\"") == std::string::npos) continue;
      const std::size_t at = line.find("\"pid\":");
      if (at != std::string::npos) pids.push_back(std::atoi(line.c_str() + at + 6));
    }
    return pids;
  }
  // Waits (generously) until the stand-in has started runs ffmpeg runs.
  bool WaitForRuns(int runs) const {
    for (int i = 0; i < 6000; ++i) {
      if (TranscoderRuns() >= runs) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Jobs the stand-in started (its journal's start records).
  int TranscoderRuns() const {
    std::istringstream lines(ReadHostFile(m_journal));
    int runs = 0;
    for (std::string line; std::getline(lines, line);) runs += line.find("\"event\":\"start\"") != std::string::npos;
    return runs;
  }

  // A provider made and initialised as the extension service does it.
  ComPtr<IProviderOperations> Provider() {
    PFN_DllGetClassObject getClassObject = GetClassObject();
    EXPECT_NE(getClassObject, nullptr) << ::dlerror();
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject(CLSID_Framesight, IID_IClassFactory, factory.PutVoid()), S_OK);
    ComPtr<IExtensionInit> init;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IExtensionInit, init.PutVoid()), S_OK);
    EXPECT_EQ(init->Initialise(ComBstr(kExtensionKey), m_system.Get()), S_OK);
    EXPECT_EQ(init->QueryInterface(IID_IProviderOperations, m_provider.PutVoid()), S_OK);
    return m_provider;
  }

  // The current identity pair of a volume file, as the archive answers it.
  std::pair<ULONG, ULONG> Identity(const ComPtr<IArchiveFile>& file) {
    ComPtr<IArchiveFileControl> control;
    EXPECT_EQ(file->QueryInterface(IID_IArchiveFileControl, control.PutVoid()), S_OK);
    BYTE pair[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(control->Control(0x96194, nullptr, 0, pair, sizeof pair, &returned), S_OK);
    return {platform::LoadLe32(pair), platform::LoadLe32(pair + 4)};
  }
  // A file of the volume, written with content, pinned at its current version.
  ComPtr<Pinned> Pin(const std::string& name, const std::string& content) {
    PutFile(m_volume / "Media" / name, content);
    ComPtr<IArchiveFile> file = File(L"D:\\Media\\" + platform::WideFromUtf8(name));
    const auto [id1, id2] = Identity(file);
    m_ids = platform::FormatW(L"-%X-%X", id1, id2);
    return Make<Pinned>(file.Get(), id1, id2);
  }
  // A companion of the last pinned file, by its versioned name ("Preview" + ids + ".webm").
  fs::path Output(const std::string& file, const std::wstring& base, const std::wstring& ext) const {
    return Companions(file) / platform::Utf8FromWide(base + m_ids + ext);
  }

  // FilterFile of a record that holds path after its 16-bit field; E_NOTIMPL is the fallback.
  static HRESULT Filter(const ComPtr<IProviderOperations>& provider, const std::wstring& path) {
    ComPtr<IServiceOperations> service;
    if (HRESULT hr = provider->QueryInterface(IID_IServiceOperations, service.PutVoid()); FAILED(hr)) return hr;
    std::vector<BYTE> record(sizeof(WORD) + (path.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(record.data() + sizeof(WORD), path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return service->FilterFile(record.data(), E_NOTIMPL);
  }

  static const Event* FindEvent(FakeSupport& support, ULONG id) {
    for (const Event& e : support.events)
      if (e.id == id) return &e;
    return nullptr;
  }

  fs::path m_pipes, m_fake, m_args, m_journal;
  pid_t m_transcoderPid = 0;
  ComPtr<IProviderOperations> m_provider;
  std::wstring m_ids;
  ComBstr m_operation{L"Framesight"};
};

// --- preview mode ---

TEST_F(ProviderTest, APinnedClipGetsItsPreviewAndLogAndIsReleased) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ULONG mode = 3;
  ASSERT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
  EXPECT_EQ(mode, 2u);
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(support->postProcessCalls, 1);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  EXPECT_EQ(ReadHostFile(Output("clip.mov", L"Preview", L".webm")), "video");
  // Only the info lines, as UTF-8 with LF line ends.
  const std::string log = ReadHostFile(Output("clip.mov", L"Preview", L".log"));
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
  EXPECT_NE(log.find("Input #0, from D:\\Media\\clip.mov\n"), std::string::npos) << log;
  EXPECT_EQ(support->unpinCalls, 1);
  EXPECT_EQ(support->completions, 1);
  EXPECT_TRUE(support->events.empty());
  // The default frame count and size.
  EXPECT_NE(ReadHostFile(m_args).find("-frames:v 29"), std::string::npos) << ReadHostFile(m_args);
  // Now current: nothing to do, and no job was left counted.
  ComPtr<FakeSupport> again = Make<FakeSupport>();
  EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), again.Get()), S_OK);
  EXPECT_EQ(again->postProcessCalls, 0);
  SetDword(kParametersKey, L"Maximum Transcode Jobs", 1);
  for (int i = 0; i < 200 && provider->QueryCapacity(m_operation, &mode) != S_OK; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
}

TEST_F(ProviderTest, SettingsOfTheRegistrationKeyShapeTheWork) {
  SetString(kExtensionKey, L"Size", L"320x240");
  SetDword(kExtensionKey, L"Frame Count", 10);
  SetString(kExtensionKey, L"Exclude Path", L"*\\skip*");
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  auto filter = [&](const std::wstring& path) { return Filter(provider, path); };
  const struct {
    const wchar_t* path;
    HRESULT expected;
  } rows[] = {
      {L"D:\\Media\\clip.mov", S_OK},       {L"D:\\Media\\CLIP.MP4", S_OK},
      {L"D:\\Media\\notes.txt", S_FALSE},   {L"D:\\Media\\skip-me.mov", S_FALSE},
      {L"D:\\Media\\still.png", S_OK},
  };
  for (const auto& row : rows) EXPECT_EQ(filter(row.path), row.expected) << platform::Utf8FromWide(row.path);

  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  const std::string args = ReadHostFile(m_args);
  EXPECT_NE(args.find("-frames:v 10"), std::string::npos) << args;
  EXPECT_NE(args.find("320"), std::string::npos) << args;
}

TEST_F(ProviderTest, InitialiseFallsBackToTheDefaultListAndParameterSetModeDoesNotFilter) {
  const struct {
    const char* name;
    std::optional<std::wstring> mode;
    std::optional<std::wstring> include;
    HRESULT forText, forClip;
  } rows[] = {
      {"no key", std::nullopt, std::nullopt, S_FALSE, S_OK},
      {"an include list", std::nullopt, L"*.txt", S_OK, S_FALSE},
      {"an include list the matcher refuses", std::nullopt, std::wstring(200000, L'a'), S_FALSE, S_OK},
      {"parameter-set mode", L"operations", std::nullopt, E_NOTIMPL, E_NOTIMPL},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kExtensionKey.c_str());
    if (row.mode) SetString(kExtensionKey, L"Mode", *row.mode);
    if (row.include) SetString(kExtensionKey, L"Include Path", *row.include);
    ComPtr<IProviderOperations> provider = Provider();
    auto filter = [&](const std::wstring& path) { return Filter(provider, path); };
    EXPECT_EQ(filter(L"D:\\a.txt"), row.forText);
    EXPECT_EQ(filter(L"D:\\a.mov"), row.forClip);
  }
}

TEST_F(ProviderTest, ACorruptSourceIsReportedWithFfmpegsErrorAndCountsAsDone) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> pinned = Pin("clip.mov", "corrupt bytes");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  const Event* event = FindEvent(*support, 0xC00007D0);
  ASSERT_NE(event, nullptr);
  ASSERT_GE(event->strings.size(), 3u);
  EXPECT_EQ(event->strings[0], L"0x8007000D");  // ERROR_INVALID_DATA, from the errno of "Invalid data"
  EXPECT_NE(event->strings[2].find(L"D:\\Media\\clip.mov: Invalid data found when processing input"),
            std::wstring::npos);
  EXPECT_FALSE(fs::exists(Output("clip.mov", L"Preview", L".webm")));
  EXPECT_NE(ReadHostFile(Output("clip.mov", L"Preview", L".log")).find("Invalid data found"), std::string::npos);
  EXPECT_EQ(support->unpinCalls, 1);
  EXPECT_EQ(support->completions, 1);
  // A failure that said why leaves the provider taking work.
  ULONG mode = 3;
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
}

TEST_F(ProviderTest, ATranscoderThatIsDownKeepsThePinAndBacksTheProviderOff) {
  ComPtr<IProviderOperations> provider = Provider();  // no stand-in running
  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), E_FAIL);
  const Event* event = FindEvent(*support, 0xC00007D0);
  ASSERT_NE(event, nullptr);
  ASSERT_GE(event->strings.size(), 3u);
  EXPECT_EQ(event->strings[2], L"Failed to find transcoder 'FFMPEG'");
  EXPECT_EQ(support->unpinCalls, 0);
  EXPECT_EQ(support->completions, 1);
  ULONG mode = 3;
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), E_FAIL);
}

TEST_F(ProviderTest, AFileRewrittenSinceItWasPinnedNeedsNothing) {
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<IArchiveFile> file = File(L"D:\\Media\\clip.mov");
  const auto [id1, id2] = Identity(file);
  ComPtr<Pinned> stale = Make<Pinned>(file.Get(), id1, id2 + 1);
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  EXPECT_EQ(provider->ScheduleOperation(m_operation, stale.Get(), support.Get()), S_OK);
  EXPECT_EQ(support->postProcessCalls, 0);
}

TEST_F(ProviderTest, OnlyJobsThatStartAreCounted) {
  SetDword(kParametersKey, L"Maximum Transcode Jobs", 1);
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  ULONG mode = 3;
  // Refused by the service, or joined to a job already running: nothing counted.
  for (HRESULT answer : {E_OUTOFMEMORY, kMerged}) {
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    support->postProcessResult = answer;
    EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), answer);
    EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
  }
  // An ExecuteOperation without its job, and RequestPreparePreview with
  // nothing to work on, leave the count where it was.
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  EXPECT_EQ(provider->ExecuteOperation(m_operation, nullptr, support.Get()), E_POINTER);
  EXPECT_EQ(support->completions, 1);
  ComPtr<IServiceOperations> service;
  ASSERT_EQ(provider->QueryInterface(IID_IServiceOperations, service.PutVoid()), S_OK);
  EXPECT_EQ(service->RequestPreparePreview(nullptr, 0, 0, 0, support.Get()), E_POINTER);
  EXPECT_EQ(service->RequestPreparePreview(L"clip", 0, 0, 0, nullptr), E_POINTER);
  ComPtr<Stranger> stranger = Make<Stranger>();
  EXPECT_EQ(service->RequestPreparePreview(L"clip", 0, 0, 0, reinterpret_cast<IProviderSupport*>(stranger.Get())),
            E_NOINTERFACE);
  // A path alone makes no job the service would run: answered as not done,
  // with its event, and nothing is handed over or counted.
  const int handed = support->postProcessCalls;
  EXPECT_EQ(service->RequestPreparePreview(L"clip", 0, 0, 0, support.Get()), E_NOTIMPL);
  EXPECT_EQ(support->postProcessCalls, handed);
  const Event* event = FindEvent(*support, 0xC000EA60);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->strings, (std::vector<std::wstring>{L"0x80004001", L"Not implemented", L"clip"}));
  // A path with a colon asks for nothing, so nothing fails.
  EXPECT_EQ(service->RequestPreparePreview(L"D:\\clip", 0, 0, 0, support.Get()), S_OK);
  EXPECT_EQ(support->events.size(), 1u);
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
  // One accepted job fills a maximum of one, and its end frees it.
  support->postProcessResult = S_OK;
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_FALSE);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);
  SetDword(kParametersKey, L"Maximum Transcode Jobs", 0);
  for (int i = 0; i < 200 && provider->QueryCapacity(m_operation, &mode) != S_FALSE; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_FALSE);  // 0 refuses all
}

TEST_F(ProviderTest, TwoJobsForOneOutputMakeItOnce) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> pinned = Pin("clip.mov", "slow clip");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  HRESULT results[2] = {E_UNEXPECTED, E_UNEXPECTED};
  std::thread first([&] { results[0] = provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()); });
  std::thread second([&] { results[1] = provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()); });
  first.join();
  second.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  EXPECT_EQ(TranscoderRuns(), 1);
  EXPECT_EQ(ReadHostFile(Output("clip.mov", L"Preview", L".webm")), "video");
  EXPECT_EQ(support->completions, 2);
}

TEST_F(ProviderTest, ARewrittenSourceGetsNewVersionsAndTheOldOnesGo) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ComPtr<Pinned> pinned = Pin("clip.mov", "first");
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  ASSERT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  const fs::path oldOutput = Output("clip.mov", L"Preview", L".webm");
  const fs::path oldLog = Output("clip.mov", L"Preview", L".log");
  PutFile(Companions("clip.mov") / "Other-1-1.webm", "another output");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a new modification time
  pinned = Pin("clip.mov", "second, longer");
  ASSERT_NE(Output("clip.mov", L"Preview", L".webm"), oldOutput);
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  ASSERT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  EXPECT_TRUE(fs::exists(Output("clip.mov", L"Preview", L".webm")));
  EXPECT_TRUE(fs::exists(Output("clip.mov", L"Preview", L".log")));
  EXPECT_FALSE(fs::exists(oldOutput));
  EXPECT_FALSE(fs::exists(oldLog));
  EXPECT_TRUE(fs::exists(Companions("clip.mov") / "Other-1-1.webm"));
}

// A request the transcoder refuses comes back with a result and no log
// line: it is this file's failure, reported once, never "transcoder down".
TEST_F(ProviderTest, ARefusedRequestIsTheFilesFailureNotAnOutage) {
  StartTranscoder();
  const struct {
    const char* name;
    const wchar_t* size;
    std::optional<DWORD> frames;
  } rows[] = {{"a size with odd sides", L"641x361", std::nullopt},
              {"a size that is no WxH", L"640", std::nullopt},
              {"frame count 0", nullptr, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kExtensionKey.c_str());
    if (row.size != nullptr) SetString(kExtensionKey, L"Size", row.size);
    if (row.frames) SetDword(kExtensionKey, L"Frame Count", *row.frames);
    ComPtr<IProviderOperations> provider = Provider();
    ComPtr<Pinned> pinned = Pin("clip.mov", std::string("clip ") + row.name);
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    ASSERT_EQ(support->events.size(), 1u);
    EXPECT_EQ(support->events[0].id, 0xC00007D0u);
    ASSERT_EQ(support->events[0].strings.size(), 3u);
    EXPECT_EQ(support->events[0].strings[0], L"0x80070057");  // EINVAL
    EXPECT_NE(support->events[0].strings[2].find(L"-vnpreview"), std::wstring::npos) << support->events[0].strings[2];
    EXPECT_EQ(support->unpinCalls, 1);
    ULONG mode = 3;
    EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);  // still taking work
    EXPECT_FALSE(fs::exists(Output("clip.mov", L"Preview", L".webm")));
  }
  EXPECT_EQ(TranscoderRuns(), 0);
}

// The transcoder writes a temporary name; only a whole output is renamed
// onto the output's own name. Against a stand-in that writes in place and
// is killed mid-job, the partial file never becomes the output.
TEST_F(ProviderTest, APartialOutputOfAKilledTranscoderIsNeverTakenAsCurrent) {
  SetDword(L"Software\\Vantrel\\Corvellane\\Transcoder", L"Write In Place", 1);
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  {
    SCOPED_TRACE("a whole transcode in place");
    ComPtr<Pinned> pinned = Pin("other.mov", "a clip");
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    EXPECT_EQ(ReadHostFile(Output("other.mov", L"Preview", L".webm")), "video");
    EXPECT_EQ(support->unpinCalls, 1);
  }
  ComPtr<Pinned> pinned = Pin("clip.mov", "partial");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  HRESULT result = E_UNEXPECTED;
  std::thread job([&] { result = provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()); });
  ASSERT_TRUE(WaitForRuns(2));
  // Part of the output is written before the stand-in dies.
  const fs::path partial = Companions("clip.mov") / ("." "~framesight.Preview" + platform::Utf8FromWide(m_ids) + ".webm");
  for (int i = 0; i < 6000 && !fs::exists(partial); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(partial));
  KillTranscoder();
  job.join();
  for (pid_t pid : FfmpegPids()) ::kill(-pid, SIGKILL);
  // No result came back: the transcoder is down, the pin stays.
  EXPECT_EQ(result, E_FAIL);
  EXPECT_EQ(support->unpinCalls, 0);
  EXPECT_FALSE(fs::exists(Output("clip.mov", L"Preview", L".webm")));
  EXPECT_FALSE(fs::exists(partial));
  // Nothing at the output's name, so the file still needs its preview.
  ComPtr<FakeSupport> again = Make<FakeSupport>();
  EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), again.Get()), E_PENDING);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), again.Get()), E_FAIL);  // and ends it
}

// More jobs than the transcoder's instances, each longer than the client's
// wait: the one left waiting is "busy", keeps its pin, and no event says
// the transcoder was not found.
TEST_F(ProviderTest, AllInstancesBusyForTheWholeWaitIsBusyNotNotFound) {
  StartTranscoder(1);
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> first = Pin("clip.mov", "long clip");
  ComPtr<Pinned> second = Pin("other.mov", "a clip");
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, first.Get(), support.Get()), E_PENDING);
  ASSERT_EQ(provider->ScheduleOperation(m_operation, second.Get(), support.Get()), E_PENDING);
  HRESULT firstResult = E_UNEXPECTED;
  std::thread running([&] { firstResult = provider->ExecuteOperation(m_operation, first.Get(), support.Get()); });
  ASSERT_TRUE(WaitForRuns(1));
  EXPECT_EQ(provider->ExecuteOperation(m_operation, second.Get(), support.Get()), S_OK);
  {
    std::lock_guard hold(support->lock);
    EXPECT_EQ(support->unpinCalls, 0);
    EXPECT_TRUE(support->events.empty());
    bool said = false;
    for (const auto& [severity, text] : support->messages)
      said = said || (severity == 2 && text.find(L"Transcoder 'FFMPEG' is busy") != std::wstring::npos &&
                      text.find(L"D:\\Media\\other.mov") != std::wstring::npos);
    EXPECT_TRUE(said);
  }
  ULONG mode = 3;
  EXPECT_EQ(provider->QueryCapacity(m_operation, &mode), S_OK);  // not backed off
  running.join();
  EXPECT_EQ(firstResult, S_OK);
  EXPECT_EQ(support->unpinCalls, 1);
}

// The file's identity after the job: a file deleted meanwhile has no output
// left; one rewritten (a new identity pair) none of the version it was pinned
// as; one renamed has none under its old name and keeps its pin, so that it
// is handed over again under the new one. The same when the transcoder fails
// because it opens the source only after it went: no event, since the file
// itself is not at fault.
TEST_F(ProviderTest, AFileRenamedOrDeletedMidTranscodeLeavesNoOutputUnderAGoneName) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  const struct {
    const char* name;
    const char* file;
    const char* content;  // "slow3": read at once and slow; a "late-" name is opened after the change
    const char* renamedTo;  // null: deleted, or rewritten when rewrite is set
    bool rewrite;
    int unpins;
  } rows[] = {{"deleted", "gone.mov", "slow3 clip", nullptr, false, 1},
              {"rewritten", "rewritten.mov", "slow3 clip", nullptr, true, 1},
              {"renamed", "moved.mov", "slow3 clip", "arrived.mov", false, 0},
              {"deleted before it is opened", "late-gone.mov", "a clip", nullptr, false, 1},
              {"renamed before it is opened", "late-moved.mov", "a clip", "early-arrived.mov", false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const int runs = TranscoderRuns();
    ComPtr<Pinned> pinned = Pin(row.file, row.content);
    const fs::path output = Output(row.file, L"Preview", L".webm");
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    HRESULT result = E_UNEXPECTED;
    std::thread job([&] { result = provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()); });
    ASSERT_TRUE(WaitForRuns(runs + 1));
    const fs::path host = m_volume / "Media" / row.file;
    if (row.renamedTo != nullptr) fs::rename(host, m_volume / "Media" / row.renamedTo);
    else if (row.rewrite) fs::last_write_time(host, fs::last_write_time(host) + std::chrono::seconds(2));
    else fs::remove(host);
    job.join();
    EXPECT_EQ(result, S_OK);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_FALSE(fs::exists(Output(row.file, L"Preview", L".log")));
    EXPECT_EQ(support->unpinCalls, row.unpins);
    EXPECT_TRUE(support->events.empty()) << support->events[0].strings.back();
    if (row.renamedTo == nullptr) continue;
    // Handed over again, as the worker does with the kept pin: the archive
    // now gives the file's new path, and the preview is made for it.
    const std::wstring renamed = L"D:\\Media\\" + platform::WideFromUtf8(row.renamedTo);
    ComPtr<IArchiveFile> file = File(renamed);
    const auto [id1, id2] = Identity(file);
    ComPtr<Pinned> again = Make<Pinned>(file.Get(), id1, id2);
    ComPtr<FakeSupport> next = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, again.Get(), next.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, again.Get(), next.Get()), S_OK);
    EXPECT_EQ(ReadHostFile(Output(row.renamedTo, L"Preview", L".webm")), "video");
    EXPECT_EQ(next->unpinCalls, 1);
  }
}

// --- parameter-set mode ---

class OperationsTest : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    SetString(kExtensionKey, L"Mode", L"Operations");
  }
  static ComPtr<FakeOperation> Operation(const std::wstring& name, std::map<std::wstring, std::wstring> values,
                                         std::optional<bool> unpinOnError = std::nullopt) {
    return Make<FakeOperation>(name, std::move(values), unpinOnError);
  }
};

TEST_F(OperationsTest, EachOperationMakesItsOutputAndALogOfItsOwnLines) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  pinned->operations = {
      Operation(L"webm", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-c:v libvpx-vp9"},
                          {L"OutputFile", L"Clip.webm"}, {L"LogFile", L"Clip.log"}}),
      Operation(L"thumb", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-frames:v 1"},
                           {L"OutputFile", L"Thumb.png"}, {L"LogFile", L"Thumb.log"}}),
  };
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
  EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  EXPECT_TRUE(fs::exists(Output("clip.mov", L"Clip", L".webm")));
  EXPECT_TRUE(fs::exists(Output("clip.mov", L"Thumb", L".png")));
  const std::string clipLog = ReadHostFile(Output("clip.mov", L"Clip", L".log"));
  const std::string thumbLog = ReadHostFile(Output("clip.mov", L"Thumb", L".log"));
  EXPECT_NE(clipLog.find("Clip"), std::string::npos) << clipLog;
  EXPECT_EQ(clipLog.find("Thumb"), std::string::npos) << clipLog;
  EXPECT_NE(thumbLog.find("Thumb"), std::string::npos) << thumbLog;
  EXPECT_EQ(thumbLog.find("Clip"), std::string::npos) << thumbLog;
  EXPECT_EQ(support->unpinCalls, 1);
  // Both current now: the file needs nothing, and no operation is run again.
  ComPtr<FakeSupport> again = Make<FakeSupport>();
  EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), again.Get()), S_OK);
  EXPECT_EQ(TranscoderRuns(), 2);
}

TEST_F(OperationsTest, AMissingValueIsReportedOnceAndTheFileReleased) {
  const struct {
    const char* name;
    std::map<std::wstring, std::wstring> values;
    const wchar_t* missing;
  } rows[] = {
      {"no transcoder", {{L"Options", L"-an"}, {L"OutputFile", L"Out.webm"}}, L"Transcoder"},
      {"empty options", {{L"Transcoder", L"FFMPEG"}, {L"Options", L""}, {L"OutputFile", L"Out.webm"}}, L"Options"},
  };
  ComPtr<IProviderOperations> provider = Provider();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
    pinned->operations = {Operation(L"op", row.values)};
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    ASSERT_EQ(support->events.size(), 1u);
    EXPECT_EQ(support->events[0].id, 0xC00007D1u);
    EXPECT_EQ(support->events[0].strings, (std::vector<std::wstring>{L"op", row.missing}));
    EXPECT_EQ(support->unpinCalls, 1);
  }
  // Without "OutputFile" the file is not even taken.
  ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
  pinned->operations = {Operation(L"op", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}})};
  ComPtr<FakeSupport> support = Make<FakeSupport>();
  EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), S_OK);
  EXPECT_EQ(support->postProcessCalls, 0);
  ASSERT_EQ(support->events.size(), 1u);
  EXPECT_EQ(support->events[0].strings, (std::vector<std::wstring>{L"op", L"OutputFile"}));
}

TEST_F(OperationsTest, UnpinOnErrorDecidesWhetherAFailedFileIsDone) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  const struct {
    const char* name;
    std::optional<bool> unpinOnError;
    int unpins;
  } rows[] = {{"absent", std::nullopt, 1}, {"true", true, 1}, {"false", false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<Pinned> pinned = Pin("clip.mov", "corrupt");
    pinned->operations = {Operation(
        L"op", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Out.webm"}}, row.unpinOnError)};
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    EXPECT_NE(FindEvent(*support, 0xC00007D0), nullptr);
    EXPECT_EQ(support->unpinCalls, row.unpins);
    EXPECT_EQ(support->completions, 1);
  }
}

// One operation that fails does not stop the others: the first and third
// outputs are made, the failure is reported once, and "Unpin On Error"
// decides only whether the file is done.
TEST_F(OperationsTest, EveryOperationIsTriedWhenOneFails) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  const struct {
    const char* name;
    const wchar_t* failingOptions;
    std::optional<bool> unpinOnError;
    int unpins;
  } rows[] = {
      {"refused, released", L"-vnpreview 0 640x360", std::nullopt, 1},
      {"refused, kept", L"-vnpreview 29 641x361", false, 0},
      {"options beginning with a blank", L" -an", std::nullopt, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<Pinned> pinned = Pin("clip.mov", std::string("clip ") + row.name);
    pinned->operations = {
        Operation(L"first", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"First.webm"}}),
        Operation(L"second", {{L"Transcoder", L"FFMPEG"}, {L"Options", row.failingOptions},
                              {L"OutputFile", L"Second.webm"}, {L"LogFile", L"Second.log"}},
                  row.unpinOnError),
        Operation(L"third", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Third.webm"}}),
    };
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    EXPECT_TRUE(fs::exists(Output("clip.mov", L"First", L".webm")));
    EXPECT_FALSE(fs::exists(Output("clip.mov", L"Second", L".webm")));
    EXPECT_TRUE(fs::exists(Output("clip.mov", L"Third", L".webm")));
    ASSERT_EQ(support->events.size(), 1u);
    EXPECT_EQ(support->events[0].id, 0xC00007D0u);
    EXPECT_EQ(support->unpinCalls, row.unpins);
    EXPECT_FALSE(ReadHostFile(Output("clip.mov", L"Second", L".log")).empty());
  }
}

// The source renamed or deleted after the first operation made its output:
// the second fails for it, the walk stops there (the third would meet the
// same), the first's outputs go with the gone name, and no failure is
// reported. Renamed, the pin stays for the new name.
TEST_F(OperationsTest, ASourceGoneBetweenOperationsEndsTheWalkWithoutAnEvent) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  const struct {
    const char* name;
    const char* file;
    const char* renamedTo;  // null: deleted
    int unpins;
  } rows[] = {{"renamed", "late-walked.mov", "walked-on.mov", 0}, {"deleted", "late-walked-gone.mov", nullptr, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<Pinned> pinned = Pin(row.file, "a clip");
    pinned->operations = {
        Operation(L"first", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"First.webm"},
                             {L"LogFile", L"First.log"}}),
        Operation(L"second", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Second.webm"}},
                  false),
        Operation(L"third", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Third.webm"}}),
    };
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    const int runs = TranscoderRuns();
    HRESULT result = E_UNEXPECTED;
    std::thread job([&] { result = provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()); });
    // The second run opens its source three seconds after it starts.
    const bool second = WaitForRuns(runs + 2);
    const fs::path host = m_volume / "Media" / row.file;
    if (row.renamedTo != nullptr) fs::rename(host, m_volume / "Media" / row.renamedTo);
    else fs::remove(host);
    job.join();
    ASSERT_TRUE(second);
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(TranscoderRuns(), runs + 2);  // the third never ran
    for (const wchar_t* output : {L"First", L"Second", L"Third"})
      EXPECT_FALSE(fs::exists(Output(row.file, output, L".webm"))) << platform::Utf8FromWide(output);
    EXPECT_FALSE(fs::exists(Output(row.file, L"First", L".log")));
    EXPECT_TRUE(support->events.empty()) << support->events[0].strings.back();
    EXPECT_EQ(support->unpinCalls, row.unpins);
  }
}

// A "LogFile" or "OutputFile" the archive will not map is found before the
// file is taken: reported once, and the file released (or its other
// operations run), instead of failing on every pass.
TEST_F(OperationsTest, NamesTheArchiveRefusesAreReportedOnceBeforeTheJob) {
  StartTranscoder();
  ComPtr<IProviderOperations> provider = Provider();
  const std::wstring longName = std::wstring(59, L'n') + L".webm";  // 64 characters
  const struct {
    const char* name;
    std::map<std::wstring, std::wstring> values;
    const wchar_t* named;
    const wchar_t* code;
  } rows[] = {
      {"a log name with a folder",
       {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Out.webm"}, {L"LogFile", L"logs\\Out.log"}},
       L"LogFile 'logs\\Out.log'", L"0x8007007B"},
      {"an output name of 64 characters",
       {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", longName}},
       L"OutputFile", L"0x80070057"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    {
      SCOPED_TRACE("alone: the file is released at once");
      ComPtr<Pinned> pinned = Pin("clip.mov", "a clip");
      pinned->operations = {Operation(L"bad", row.values)};
      ComPtr<FakeSupport> support = Make<FakeSupport>();
      EXPECT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), S_OK);
      EXPECT_EQ(support->postProcessCalls, 0);
      ASSERT_EQ(support->events.size(), 1u);
      EXPECT_EQ(support->events[0].id, 0xC00007D0u);
      ASSERT_EQ(support->events[0].strings.size(), 3u);
      EXPECT_EQ(support->events[0].strings[0], row.code);
      EXPECT_NE(support->events[0].strings[2].find(L"Operation 'bad'"), std::wstring::npos);
      EXPECT_NE(support->events[0].strings[2].find(row.named), std::wstring::npos) << support->events[0].strings[2];
    }
    {
      SCOPED_TRACE("beside a good operation: that one runs, no second event");
      const int runs = TranscoderRuns();
      ComPtr<Pinned> pinned = Pin("clip.mov", std::string("clip ") + row.name);
      pinned->operations = {
          Operation(L"bad", row.values),
          Operation(L"good", {{L"Transcoder", L"FFMPEG"}, {L"Options", L"-an"}, {L"OutputFile", L"Good.webm"}})};
      ComPtr<FakeSupport> support = Make<FakeSupport>();
      ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
      EXPECT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
      EXPECT_TRUE(fs::exists(Output("clip.mov", L"Good", L".webm")));
      EXPECT_EQ(support->events.size(), 1u);
      EXPECT_EQ(support->unpinCalls, 1);
      EXPECT_EQ(TranscoderRuns(), runs + 1);
    }
  }
}

// --- forwarding ---

TEST_F(ProviderTest, TheTraceLevelChoosesWhatReachesTheServiceLog) {
  StartTranscoder();
  const struct {
    const char* name;
    const wchar_t* level;
    bool infoForwarded;
    bool jobTraceForwarded;
  } rows[] = {
      {"none", nullptr, false, false},
      {"info, any case", L"iNFo", true, false},
      {"warning", L"Warning", false, false},
      {"verbose", L"Verbose", true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kParametersKey.c_str());
    SetDword(kParametersKey, L"Maximum Transcode Jobs", 4);
    if (row.level) SetString(kParametersKey, L"Trace Level", row.level);
    ComPtr<IProviderOperations> provider = Provider();
    ComPtr<Pinned> pinned = Pin("clip.mov", std::string("clip ") + row.name);
    ComPtr<FakeSupport> support = Make<FakeSupport>();
    ASSERT_EQ(provider->ScheduleOperation(m_operation, pinned.Get(), support.Get()), E_PENDING);
    ASSERT_EQ(provider->ExecuteOperation(m_operation, pinned.Get(), support.Get()), S_OK);
    bool info = false, job = false;
    for (const auto& [severity, text] : support->messages) {
      if (text.find(L"Input #0") != std::wstring::npos) info = info || severity == 0;
      if (text.rfind(L"Transcode(", 0) == 0) job = job || severity == 1;
    }
    EXPECT_EQ(info, row.infoForwarded);
    EXPECT_EQ(job, row.jobTraceForwarded);
    // The log file has its info lines whatever is forwarded.
    EXPECT_NE(ReadHostFile(Output("clip.mov", L"Preview", L".log")).find("Input #0"), std::string::npos);
  }
}

}  // namespace
