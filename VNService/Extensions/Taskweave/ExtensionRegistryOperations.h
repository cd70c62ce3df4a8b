// ExtensionRegistryOperations.h - which operations the rules choose for an archived file.
//
// Rules are subkeys of "Rules" below the extension service's key, shared by
// all extensions: "Include Path" and "Exclude Path" hold pattern lists, and a
// value named by an extension's CLSID string names the operations that
// extension runs on a matching file (a multi-string value names several).
// Operations are subkeys of the extension's own "Operations" key, each a
// named set of parameters. FindOperations answers, for a file's full path,
// the operations of the first rule that applies, first in the registry's
// (case-insensitive sorted) order of rule names.
//
// Rules and operations are read again only after the key changed, into new
// containers that then replace the old ones. An extension without a settings
// key has no rule; a key that exists but cannot be read is a failure the
// caller sees: callers release a pin when no rule applies, and must not do so
// because the rules were unreadable.
#pragma once

#include "VNService/Extensions/Taskweave/ExtensionRegistryParameters.h"
#include "VNService/Extensions/Taskweave/PatternMatcher.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class CExtensionRegistryOperations : protected CExtensionRegistryParametersBase {
 public:
  // Parameters of one operation by value name (case-sensitive).
  using ParameterMap = std::map<std::wstring, platform::ComVariant>;
  struct Operation {
    std::wstring name;
    ParameterMap parameters;
  };

  struct Rule {
    CPatternMatcher include;
    CPatternMatcher exclude;  // never set when "Exclude Path" is absent
    std::vector<std::wstring> operations;
    std::set<GUID> extensions;  // only the generic reader fills it
  };

  // The rules and operations of one extension; a null clsid makes the
  // generic reader, which collects every rule with the extensions it names.
  explicit CExtensionRegistryOperations(const GUID* clsid);

  using CExtensionRegistryParametersBase::ClsidString;

  // Brings rules and operations up to date after a change. S_OK when they
  // are current; S_FALSE when there is no "Rules" key or no settings key of
  // the extension (no rule at all; the missing key is tried again at every
  // call); E_FAIL when a key cannot be opened otherwise; any other failure of
  // reading a rule or an operation, answered once: the rules and operations
  // read before it serve until the next change.
  HRESULT ReloadRules();

  // S_OK with the operations of the first rule that applies to path, in the
  // rule's order, leaving out names no operation defines (possibly none);
  // otherwise the result of ReloadRules, with out empty.
  HRESULT FindOperations(std::wstring_view path, std::vector<Operation>& out);

  // Whether rule applies to a full path: its root ("D:", "\\?\D:" or a run of
  // digits, then a separator) is cut off, the include list must match the
  // rest (from the separator on) and the exclude list must not. A path
  // without such a root applies to no rule.
  static bool MatchRule(const Rule& rule, std::wstring_view path);
  // The path from its root's separator on, or none.
  static std::optional<std::wstring_view> PathRemainder(std::wstring_view path);

  // The rules now in force (a copy), for diagnostics and tests.
  std::vector<Rule> Rules();

 protected:
  using OperationMap = std::map<std::wstring, ParameterMap>;
  HRESULT ReadRule(const std::wstring& ruleName, const ValueList& values, std::vector<Rule>& rules) const;
  static HRESULT ReadOperation(const std::wstring& operationName, const ValueList& values, OperationMap& operations);

 private:
  // rulesLock_ guards rules_ and operations_: exclusive to swap in a reload,
  // shared for lookups. Reloads are serialised by the base's reloadLock_.
  SRWLOCK rulesLock_ = SRWLOCK_INIT;
  std::vector<Rule> rules_;
  OperationMap operations_;
};
