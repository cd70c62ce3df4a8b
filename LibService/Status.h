// Status.h - errors, the status that carries them, and the event log.
//
// Every framework and service operation answers a CStatus: a shared,
// reference-counted holder of at most one CError; an empty holder is success.
// An error records the source position where it was raised and can give a
// Win32 code, an event message id with insertion strings, a text, a category
// and an HRESULT. Errors reach the event log through ReportError; other events
// through ReportEvent. Once a status is shared, its error is never changed.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/types.h"
#include "platform/eventlog/eventlog.h"

#include <atomic>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

// Where an error was raised: the source file's path and a line.
struct CSourcePos {
  const char* file;
  int line;
};
#define VN_HERE (CSourcePos{__FILE__, __LINE__})

// Message ids of the framework's own events.
constexpr DWORD MSG_SERVICE_STARTED = 0x00000001;
constexpr DWORD MSG_SERVICE_STOPPED = 0x00000002;
constexpr DWORD MSG_SYSTEM_ERROR = 0xC0000064;
constexpr DWORD MSG_OUT_OF_MEMORY = 0xC0000065;
constexpr DWORD MSG_ITEM_NOT_FOUND = 0xC0000069;
constexpr DWORD MSG_SYSTEM_ERROR_TEXT = 0xC000006A;
constexpr DWORD MSG_PRIVILEGE_NOT_ENABLED = 0x8000006B;

class CError {
 public:
  CError(const CSourcePos& pos) : m_file(pos.file != nullptr ? pos.file : ""), m_line(pos.line) {}
  virtual ~CError() = default;
  virtual int GetCode() const = 0;
  virtual DWORD GetMessageId() const = 0;
  virtual int GetInsertCount() const = 0;
  virtual std::wstring GetInsert(int index) const = 0;
  virtual std::wstring GetText() const = 0;
  virtual std::string GetCategory() const = 0;
  // A code of 0 or below is returned unchanged, any other becomes a WIN32 HRESULT.
  virtual HRESULT GetHRESULT() const;

  const std::string& GetFile() const { return m_file; }
  int GetLine() const { return m_line; }

 private:
  std::string m_file;
  int m_line;
};

class CErrorNumber : public CError {
 public:
  CErrorNumber(const CSourcePos& pos, DWORD messageId, DWORD code, std::wstring extra = {})
      : CError(pos), m_messageId(messageId), m_code(code), m_extra(std::move(extra)) {}
  int GetCode() const override { return static_cast<int>(m_code); }
  DWORD GetMessageId() const override { return m_messageId; }
  int GetInsertCount() const override { return m_extra.empty() ? 2 : 3; }
  std::wstring GetInsert(int index) const override;
  std::wstring GetText() const override;
  std::string GetCategory() const override { return "System"; }

 private:
  DWORD m_messageId;
  DWORD m_code;
  std::wstring m_extra;
};

class CErrorHRESULT : public CError {
 public:
  CErrorHRESULT(const CSourcePos& pos, HRESULT hr) : CError(pos), m_hr(static_cast<DWORD>(hr)) {}
  int GetCode() const override { return static_cast<int>(m_hr & 0xFFFFu); }
  DWORD GetMessageId() const override { return MSG_SYSTEM_ERROR; }
  int GetInsertCount() const override { return 2; }
  std::wstring GetInsert(int index) const override;
  std::wstring GetText() const override;
  std::string GetCategory() const override { return "HRESULT"; }
  HRESULT GetHRESULT() const override { return static_cast<HRESULT>(m_hr); }

 private:
  DWORD m_hr;
};

class CErrorMessage : public CError {
 public:
  CErrorMessage(const CSourcePos& pos, DWORD messageId, std::vector<std::wstring> inserts, HRESULT hr = 0)
      : CError(pos), m_messageId(messageId), m_hr(static_cast<DWORD>(hr)), m_inserts(std::move(inserts)) {}
  int GetCode() const override { return 0; }
  DWORD GetMessageId() const override { return m_messageId; }
  int GetInsertCount() const override { return static_cast<int>(m_inserts.size()); }
  std::wstring GetInsert(int index) const override;
  std::wstring GetText() const override;
  std::string GetCategory() const override { return "Message"; }
  HRESULT GetHRESULT() const override { return static_cast<HRESULT>(m_hr); }

 private:
  DWORD m_messageId;
  DWORD m_hr;
  std::vector<std::wstring> m_inserts;
};

// A shared holder of at most one error; null means success. Counts change by
// atomic operations only; the last release deletes the error and the body.
class CStatus {
 public:
  CStatus() = default;
  // Takes ownership of error (null is success).
  explicit CStatus(CError* error);
  CStatus(const CStatus& other);
  CStatus(CStatus&& other) noexcept : m_rep(other.m_rep) { other.m_rep = nullptr; }
  CStatus& operator=(const CStatus& other);
  CStatus& operator=(CStatus&& other) noexcept;
  ~CStatus() { Release(); }

  bool IsOK() const { return m_rep == nullptr || m_rep->error == nullptr; }
  const CError* GetError() const { return m_rep != nullptr ? m_rep->error : nullptr; }
  // Replaces the error; a body shared with other holders is left to them.
  void SetError(CError* error);
  // Reports the held error to the event log (nothing when success).
  void Report() const;
  // The error's text without line breaks and without one final full stop.
  std::wstring GetText() const;

 private:
  struct CRep {
    std::atomic<int> refs;
    CError* error;
  };
  void Release();
  CRep* m_rep = nullptr;
};

// --- factories (an allocation failure gives the shared out-of-memory error,
// never success) ---
CError* NewErrorNumber(const CSourcePos& pos, DWORD code);
CError* NewHRESULT(const CSourcePos& pos, HRESULT hr);
CError* NewLastError(const CSourcePos& pos);
CError* NewLastError(const CSourcePos& pos, const std::wstring& text);
// Takes as many strings as the id's message text has inserts, at most those given.
CError* NewErrorMessage(const CSourcePos& pos, DWORD messageId, std::initializer_list<std::wstring> strings);
// Null when hr is 0. The first two inserts are the HRESULT in hex and its
// system text; the strings given fill the id's further inserts.
CError* NewHRESULTMessage(const CSourcePos& pos, HRESULT hr, DWORD messageId,
                          std::initializer_list<std::wstring> strings = {});
CError* NewExceptionMessage(const CSourcePos& pos, const std::exception& e, DWORD messageId);

// The highest insert number in the id's text in the program's event message
// module; 0 when the module or the text is missing.
int GetInsertCount(DWORD messageId);

// The process's event log source: registered once by RegisterEventLog.
class CEventLog {
 public:
  ~CEventLog();
  // The raw write: a SID of null means the calling thread's identity.
  void Write(PSID sid, DWORD eventId, WORD type, const char* fileName, int line, const std::vector<std::wstring>& strings);

  DWORD m_mask = 0xF;
  HANDLE m_source = nullptr;
  void* m_module = nullptr;  // the event message module, loaded as a data file
};
extern CEventLog g_EventLog;

// The path of the program's event message module: its folder, "Evt", its
// file name without extension, ".msg".
std::wstring EventMessageModulePath();
CStatus RegisterEventLog(const std::wstring& displayName);
void ReportError(const CError& error);
// One event for the id, with the strings given (at most the id's insert count).
bool ReportEvent(PSID sid, DWORD messageId, std::initializer_list<std::wstring> strings);
bool ReportEvent(PSID sid, DWORD messageId, const std::vector<std::wstring>& strings);
