// reg_file.h - the ".reg" text format (REGEDIT5): parsing, applying and
// exporting.
//
// Import is two steps so that a malformed file writes nothing: ParseRegFile
// turns the whole text into operations (or one error with its line), and
// ApplyRegOps performs them in one transaction.
#pragma once

#include "platform/registry/registry.h"

#include <string>
#include <vector>

namespace vnreg {

struct RegOp {
  enum Kind { kCreateKey, kDeleteTree, kSetValue, kDeleteValue } kind;
  std::wstring key;   // full path with its root, as written
  std::wstring name;  // value name; empty for the default value
  DWORD type = REG_NONE;
  std::string data;  // raw value bytes
  int line = 0;      // where the file asks for it
};

struct ParseError {
  int line = 0;
  std::string reason;
};

struct ValueEntry {
  std::wstring name;
  DWORD type = REG_NONE;
  std::string data;
};

// All values of key in their order, and the names of its subkeys in theirs.
// Values that another process adds or grows meanwhile are sized again.
LSTATUS ReadValues(HKEY key, std::vector<ValueEntry>& out);
// One value, sized again while another process grows it.
LSTATUS ReadValue(HKEY key, const std::wstring& name, DWORD& type, std::string& data);
LSTATUS ReadSubkeyNames(HKEY key, std::vector<std::wstring>& out);

// Splits "HKLM\Software\X" into its predefined root and the rest. Accepts
// HKEY_LOCAL_MACHINE/HKLM, HKEY_CURRENT_USER/HKCU, HKEY_CLASSES_ROOT/HKCR in
// any case. longRoot receives the root's full name.
bool SplitRootPath(const std::wstring& path, HKEY& root, std::wstring& subKey, std::wstring* longRoot = nullptr);

// Parses the bytes of a .reg file: UTF-16LE with a BOM, or UTF-8 with or
// without one. Refused with their line: text that does not decode, a NUL or
// an over-long name, an empty name inside a key path, a key deeper than
// the registry allows, and the removal of a root key (or of a key holding
// HKEY_CLASSES_ROOT).
bool ParseRegFile(const std::string& bytes, std::vector<RegOp>& ops, ParseError& error);

// Performs ops as one transaction: all of them, or none on error; failedLine,
// when given, receives the line of the operation that failed.
LSTATUS ApplyRegOps(const std::vector<RegOp>& ops, int* failedLine = nullptr);

// The key at path and everything below it as .reg text, encoded as regedit
// writes it: UTF-16LE with a BOM and CRLF line ends.
LSTATUS ExportRegFile(const std::wstring& path, std::string& bytes);

}  // namespace vnreg
