// ServiceDialog.h - the two dialogs a service program shows on a terminal.
//
// The service dialog ("Activity Display") shows the running service's trace
// lines as a trace viewer does: "MessageLib" with "Trc" + service name loads
// the trace message module that formats them, "Connect" with ":" + service
// name reads them from that service's administration pipe. Enter (or the end
// of the input) or Ctrl-C closes it. The invalid-parameter dialog prints its
// text with the unrecognised flag to standard error.
#pragma once

#include "platform/pipe/ServiceAPI.h"
#include "platform/base/types.h"

#include <cstdio>
#include <map>
#include <string>

using INT_PTR = LONG_PTR;

// Reads and prints the trace lines of one service.
//
// Not shared: only the reader thread of the dialog uses an instance.
class CTraceViewer {
 public:
  explicit CTraceViewer(std::FILE* out) : m_out(out) {}
  ~CTraceViewer();
  CTraceViewer(const CTraceViewer&) = delete;
  CTraceViewer& operator=(const CTraceViewer&) = delete;

  // The module of the texts: a name as the message loader takes it. 0 or a Win32 code.
  DWORD MessageLib(const std::wstring& moduleName);
  // ":" + service name: the service on this machine. 0 or ERROR_INVALID_PARAMETER.
  DWORD Connect(const std::wstring& target);
  // Reads and prints lines until closeEvent is set; reconnects while the
  // service is not (yet) there.
  void Run(HANDLE closeEvent);
  // One pass: opens the pipe when needed, reads what lines there are (waiting
  // up to waitMs for new ones) and prints them. False when the pipe is not
  // there or broke.
  bool ReadOnce(DWORD waitMs);

  // One printed line: local time, source name, the line's text.
  static std::wstring FormatLine(const ServiceAPITraceLineRecord& record, const std::string& source);
  // The text of a record from the trace message module (its CR/LF cut).
  static std::wstring FormatText(const ServiceAPITraceLineRecord& record);

 private:
  std::string SourceName(ULONGLONG cookie);
  void ClosePipe();

  std::FILE* m_out;
  std::wstring m_pipeName;
  HANDLE m_pipe = nullptr;
  ULONGLONG m_nextLine = 0;
  std::map<ULONGLONG, std::string> m_names;
};

class CServiceDlg {
 public:
  explicit CServiceDlg(std::wstring serviceName, std::FILE* out = stdout, int inputFd = 0)
      : m_serviceName(std::move(serviceName)), m_out(out), m_inputFd(inputFd) {}
  // Shows the lines until the dialog is closed; IDOK.
  INT_PTR DoModal();

 private:
  std::wstring m_serviceName;
  std::FILE* m_out;
  int m_inputFd;
};

class CInvalidParameterDlg {
 public:
  explicit CInvalidParameterDlg(std::wstring flag, std::FILE* out = stderr) : m_flag(std::move(flag)), m_out(out) {}
  // The static text with the flag in place of %s.
  std::wstring GetText() const;
  INT_PTR DoModal();

 private:
  std::wstring m_flag;
  std::FILE* m_out;
};

constexpr INT_PTR IDOK = 1;
