// ServiceDialog.cpp - the service dialog and the invalid-parameter dialog on a terminal.
//
// The service dialog runs a trace viewer on a thread of its own and waits on
// the terminal: a line (Enter), the end of the input or Ctrl-C closes it. The
// viewer polls the administration pipe with read-trace-lines requests that
// wait up to half a second for new lines, so closing takes at most that long.
#include "LibService/ServiceDialog.h"

#include "LibService/LibServiceAPI.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/service/service.h"
#include "platform/sync/sync.h"
#include "trace/TraceBuffer.h"
#include "trace/TraceLine.h"
#include "trace/TraceLogger.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

constexpr DWORD kReadWaitMs = 500;
constexpr DWORD kReplyCapacity = 64 * 1024;

// The text of the invalid-parameter dialog's static control.
constexpr wchar_t kInvalidParameterText[] =
    L"You have supplied an invalid command line parameter '%s'.\n\nAllowed parameters are:\n"
    L"  -install (to install the service)\n  -remove (to remove the service)\n  -debug (to run in debugging mode)";

void Print(std::FILE* out, const std::wstring& line) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  const std::string text = platform::Utf8FromWide(line);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

}  // namespace

// --- CTraceViewer ---

CTraceViewer::~CTraceViewer() { ClosePipe(); }

void CTraceViewer::ClosePipe() {
  if (m_pipe != nullptr) CloseHandle(m_pipe);
  m_pipe = nullptr;
}

DWORD CTraceViewer::MessageLib(const std::wstring& moduleName) { return CTraceLogger::SetMessageModule(moduleName); }

DWORD CTraceViewer::Connect(const std::wstring& target) {
  if (target.size() < 2 || target[0] != L':') return ERROR_INVALID_PARAMETER;
  m_pipeName = ServiceAPIPipeName(target.substr(1));
  ClosePipe();
  m_nextLine = 0;
  m_names.clear();
  return NO_ERROR;
}

std::wstring CTraceViewer::FormatText(const ServiceAPITraceLineRecord& record) {
  // A line of our own over the record's bytes, formatted from the module's texts.
  const CTraceLine line(nullptr, CTraceBuffer(), record.messageId, 255, record.time, record.argBytes, record.argLength);
  std::wstring text = line.FormatText();
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  if (text.empty()) text = platform::FormatW(L"(message 0x%08X)", record.messageId);
  return text;
}

std::wstring CTraceViewer::FormatLine(const ServiceAPITraceLineRecord& record, const std::string& source) {
  const std::time_t seconds = static_cast<std::time_t>(record.time / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return platform::FormatW(L"%04d-%02d-%02d %02d:%02d:%02d.%03d %-16s %s", local.tm_year + 1900, local.tm_mon + 1,
                           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, int(record.time % 1000),
                           platform::WideFromUtf8(source).c_str(), FormatText(record).c_str());
}

std::string CTraceViewer::SourceName(ULONGLONG cookie) {
  auto found = m_names.find(cookie);
  if (found != m_names.end()) return found->second;
  std::vector<BYTE> input(8);
  platform::StoreLe64(input.data(), cookie);
  DWORD status = 0;
  std::vector<BYTE> data;
  std::string name = "?";
  if (CallServiceAPI(m_pipe, GetCurrentThreadId(), SERVICE_API_GET_SOURCE_NAME, input, SERVICE_API_SOURCE_NAME_REPLY,
                     status, data) == 0 &&
      status == SERVICE_API_STATUS_SUCCESS)
    name = DecodeSourceName(data.data(), data.size());
  m_names[cookie] = name;
  return name;
}

bool CTraceViewer::ReadOnce(DWORD waitMs) {
  if (m_pipeName.empty()) return false;
  if (m_pipe == nullptr) {
    HANDLE pipe = CreateFileW(m_pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    m_pipe = pipe;
    // Line numbers and cookies belong to one run of the service: a new
    // connection may reach a restarted process, whose lines start again.
    m_names.clear();
    m_nextLine = 0;
  }
  DWORD status = 0;
  std::vector<BYTE> data;
  if (CallServiceAPI(m_pipe, GetCurrentThreadId(), SERVICE_API_READ_TRACE_LINES,
                     EncodeReadTraceLinesInput(m_nextLine, waitMs), kReplyCapacity, status, data) != 0) {
    ClosePipe();
    return false;
  }
  ULONGLONG next = 0;
  std::vector<ServiceAPITraceLineRecord> records;
  if (status != SERVICE_API_STATUS_SUCCESS || !DecodeTraceLineRecords(data.data(), data.size(), next, records))
    return true;
  for (const auto& record : records) Print(m_out, FormatLine(record, SourceName(record.sourceCookie)));
  // The next line number counts every held line, also those that did not fit
  // this reply: go on after the last one received. A line too long for any
  // reply is passed over.
  if (!records.empty()) m_nextLine = records.back().lineNumber + 1;
  else if (next > m_nextLine) m_nextLine = next;
  return true;
}

void CTraceViewer::Run(HANDLE closeEvent) {
  while (WaitForSingleObject(closeEvent, 0) != WAIT_OBJECT_0) {
    if (!ReadOnce(kReadWaitMs)) WaitForSingleObject(closeEvent, 200);  // not there yet: try again soon
  }
}

// --- CServiceDlg ---

INT_PTR CServiceDlg::DoModal() {
  Print(m_out, L"Activity Display: " + m_serviceName + L" (Enter or Ctrl-C closes)");
  platform::UniqueHandle closeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  CTraceViewer viewer(m_out);
  if (viewer.MessageLib(L"Trc" + m_serviceName) == NO_ERROR) viewer.Connect(L":" + m_serviceName);
  std::thread reader([&] { viewer.Run(closeEvent.get()); });

  platform::WaitForConsoleClose(m_inputFd);
  SetEvent(closeEvent.get());
  reader.join();
  return IDOK;
}

// --- CInvalidParameterDlg ---

std::wstring CInvalidParameterDlg::GetText() const { return platform::FormatW(kInvalidParameterText, m_flag.c_str()); }

INT_PTR CInvalidParameterDlg::DoModal() {
  Print(m_out, L"Invalid Parameter\n\n" + GetText());
  return IDOK;
}
