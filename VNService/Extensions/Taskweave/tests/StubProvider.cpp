// StubProvider.cpp - the test provider: settings from its key, a log of every call.
#include "VNService/Extensions/Taskweave/tests/StubProvider.h"

#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

std::mutex g_logLock;
std::vector<std::wstring> g_calls;
std::atomic<long> g_activeJobs{0};
std::atomic<long> g_liveStubs{0};

void Log(std::wstring line) {
  std::lock_guard<std::mutex> hold(g_logLock);
  g_calls.push_back(std::move(line));
}

std::wstring Text(BSTR text) { return platform::ComBstr::FromBstr(text).Str(); }

struct Settings {
  ULONG mode = 3;
  ULONG capacity = 0xFFFFFFFF;
  std::wstring schedule = L"pending";
  HRESULT scheduleFailure = E_FAIL;
  DWORD laterMs = 50;
  DWORD executeDelay = 0;
  std::wstring execute = L"ok";
  HRESULT executeResult = E_FAIL;
  std::wstring unpin = L"yes";
  bool complete = true;
  DWORD eventStrings = 0xFFFFFFFF;
  DWORD eventId = 0xC00007D0;
  DWORD logSeverity = 0xFFFFFFFF;
  bool nullParameters = false;
  bool item48 = false;
  HRESULT initialiseResult = S_OK;
  std::wstring callLog;

  void Read(HKEY key) {
    auto dword = [key](const wchar_t* name, DWORD& out) { platform::RegReadDword(key, name, out); };
    auto text = [key](const wchar_t* name, std::wstring& out) { platform::RegReadString(key, name, out); };
    DWORD value = 0;
    dword(L"Mode", mode);
    dword(L"Capacity", capacity);
    text(L"Schedule", schedule);
    value = static_cast<DWORD>(scheduleFailure);
    dword(L"Schedule Failure", value);
    scheduleFailure = static_cast<HRESULT>(value);
    dword(L"Later Ms", laterMs);
    dword(L"Execute Delay", executeDelay);
    text(L"Execute", execute);
    value = static_cast<DWORD>(executeResult);
    dword(L"Execute Result", value);
    executeResult = static_cast<HRESULT>(value);
    text(L"Unpin", unpin);
    value = complete ? 1 : 0;
    dword(L"Complete", value);
    complete = value != 0;
    dword(L"Event Strings", eventStrings);
    dword(L"Event Id", eventId);
    dword(L"Log Severity", logSeverity);
    value = 0;
    dword(L"Null Parameters", value);
    nullParameters = value != 0;
    value = 0;
    dword(L"Item 48", value);
    item48 = value != 0;
    value = static_cast<DWORD>(initialiseResult);
    dword(L"Initialise Result", value);
    initialiseResult = static_cast<HRESULT>(value);
    text(L"Call Log", callLog);
  }
};

class CStubProvider final : public IExtensionInit, public IProviderOperations {
 public:
  CStubProvider() { ++g_liveStubs; }
  ~CStubProvider() {
    for (std::thread& t : m_later) t.join();
    Note(L"Released " + m_name);
    --g_liveStubs;
  }

  // IUnknown, shared by both faces.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IExtensionInit) {
      *ppv = static_cast<IExtensionInit*>(this);
    } else if (riid == IID_IProviderOperations) {
      *ppv = static_cast<IProviderOperations*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch: no type information; callers use the vtable.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  STDMETHODIMP Initialise(BSTR key, IUnknown*) override {
    platform::RegKey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Text(key).c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS) m_settings.Read(k.get());
    const std::wstring name = Text(key);
    m_name = name.substr(name.rfind(L'\\') + 1);
    Note(L"Initialise " + name);
    return m_settings.initialiseResult;
  }

  STDMETHODIMP QueryCapacity(BSTR operation, ULONG* mode) override {
    Note(L"QueryCapacity " + Text(operation));
    if (static_cast<ULONG>(m_active.load()) >= m_settings.capacity) return S_FALSE;
    *mode = m_settings.mode;
    return S_OK;
  }

  STDMETHODIMP ScheduleOperation(BSTR operation, IPostProcessParameters* parameters,
                                 IProviderSupport* support) override {
    Note(L"Schedule " + Text(operation));
    if (m_settings.item48) AskItem48(parameters);
    const std::wstring& how = m_settings.schedule;
    if (how == L"ok") return S_OK;
    if (how == L"false") return S_FALSE;
    if (how == L"fail") return m_settings.scheduleFailure;
    if (how == L"later") {
      platform::ComBstr op = platform::ComBstr::FromBstr(operation);
      platform::ComPtr<IPostProcessParameters> params(parameters);
      platform::ComPtr<IProviderSupport> callback(support);
      std::lock_guard<std::mutex> hold(m_laterLock);
      m_later.emplace_back([this, op, params, callback] {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_settings.laterMs));
        PostProcess(op, params.Get(), callback.Get());
      });
      return E_PENDING;
    }
    const HRESULT hr = PostProcess(operation, parameters, support);
    if (FAILED(hr)) return hr;
    return how == L"postprocess-ok" ? S_OK : E_PENDING;
  }

  STDMETHODIMP ExecuteOperation(BSTR operation, IPostProcessParameters* parameters,
                                IProviderSupport* support) override {
    Note(L"Execute " + Text(operation));
    if (m_settings.executeDelay != 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_settings.executeDelay));
    if (m_settings.logSeverity != 0xFFFFFFFF) support->LogMessage(nullptr, m_settings.logSeverity, L"stub line");
    if (m_settings.eventStrings != 0xFFFFFFFF) ReportStrings(support, parameters);
    EndJob();
    if (m_settings.execute == L"throw") throw std::runtime_error("stub provider failed");
    IPostProcessParameters* given = m_settings.nullParameters ? nullptr : parameters;
    const int unpins = m_settings.unpin == L"twice" ? 2 : (m_settings.unpin == L"yes" ? 1 : 0);
    for (int i = 0; i < unpins; ++i) {
      Note(platform::FormatW(L"Unpin 0x%08X", static_cast<DWORD>(support->Unpin(operation, given))));
    }
    if (m_settings.complete) support->OperationComplete();
    return m_settings.execute == L"fail" ? m_settings.executeResult : S_OK;
  }

  STDMETHODIMP Reserved6() override { return S_OK; }

 private:
  // Every call goes to the process-wide log and, when "Call Log" names a
  // file, to that file as "<Unix ms> <extension key name> <call>", for other processes.
  void Note(std::wstring line) {
    if (!m_settings.callLog.empty()) {
      std::lock_guard<std::mutex> hold(g_logLock);
      if (FILE* f = std::fopen(platform::Utf8FromWide(m_settings.callLog).c_str(), "a")) {
        const std::string stamp = std::to_string(platform::UnixTimeMs());
        std::fputs((stamp + " " + platform::Utf8FromWide(m_name + L" " + line) + "\n").c_str(), f);
        std::fclose(f);
      }
    }
    Log(std::move(line));
  }

  HRESULT PostProcess(BSTR operation, IPostProcessParameters* parameters, IProviderSupport* support) {
    const HRESULT hr = support->PostProcess(operation, m_settings.nullParameters ? nullptr : parameters);
    Note(platform::FormatW(L"PostProcess 0x%08X", static_cast<DWORD>(hr)));
    if (hr == S_OK) {
      ++m_active;
      ++g_activeJobs;
    }
    return hr;
  }
  void EndJob() {
    --m_active;
    --g_activeJobs;
  }
  void AskItem48(IPostProcessParameters* parameters) {
    ULONG values[3] = {0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A};
    const HRESULT hr = parameters->GetItem(48, values);
    const bool untouched = values[0] == 0x5A5A5A5A && values[1] == 0x5A5A5A5A && values[2] == 0x5A5A5A5A;
    Note(platform::FormatW(L"Item48 0x%08X %s", static_cast<DWORD>(hr), untouched ? L"untouched" : L"written"));
  }
  void ReportStrings(IProviderSupport* support, IPostProcessParameters* parameters) {
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, m_settings.eventStrings);
    for (LONG i = 0; i < static_cast<LONG>(m_settings.eventStrings); ++i) {
      platform::ComBstr text(platform::FormatW(L"string %d", static_cast<int>(i)));
      SafeArrayPutElement(strings, &i, text.Get());
    }
    const HRESULT hr = support->ReportEvent(m_settings.eventId, parameters, strings);
    SafeArrayDestroy(strings);
    Note(platform::FormatW(L"ReportEvent 0x%08X", static_cast<DWORD>(hr)));
  }

  std::atomic<ULONG> m_refs{1};
  std::atomic<long> m_active{0};
  Settings m_settings;  // written by Initialise before any other call
  std::wstring m_name;  // the last segment of the extension key, likewise
  std::mutex m_laterLock;  // guards m_later
  std::vector<std::thread> m_later;
};

}  // namespace

HRESULT CreateStubProvider(IExtensionInit** provider) {
  if (provider == nullptr) return E_POINTER;
  *provider = new CStubProvider();
  return S_OK;
}

namespace {

class CStubFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    IExtensionInit* stub = nullptr;
    HRESULT hr = CreateStubProvider(&stub);
    if (SUCCEEDED(hr)) hr = stub->QueryInterface(riid, ppv);
    if (stub != nullptr) stub->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

IClassFactory* StubProviderClassObject() {
  static CStubFactory factory;
  return &factory;
}

std::vector<std::wstring> StubProviderCalls() {
  std::lock_guard<std::mutex> hold(g_logLock);
  return g_calls;
}

void ClearStubProviderCalls() {
  std::lock_guard<std::mutex> hold(g_logLock);
  g_calls.clear();
}

long StubProviderActiveJobs() { return g_activeJobs.load(); }

long StubProvidersAlive() { return g_liveStubs.load(); }
