// ExtensionRegistryOperations.cpp - reading rules and operations, and choosing them for a path.
#include "VNService/Extensions/Taskweave/ExtensionRegistryOperations.h"
#include "platform/sync/sync.h"


namespace {

constexpr wchar_t kRulesKey[] = L"Rules";
constexpr wchar_t kOperationsKey[] = L"Operations";
constexpr wchar_t kIncludePath[] = L"Include Path";
constexpr wchar_t kExcludePath[] = L"Exclude Path";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

CExtensionRegistryOperations::CExtensionRegistryOperations(const GUID* clsid)
    : CExtensionRegistryParametersBase(clsid) {}

// The root is "^([0-9]+|(\\\\\?\\)?[A-Za-z]:)[\\/]" read by hand: a linear
// scan, safe on a path of any length.
std::optional<std::wstring_view> CExtensionRegistryOperations::PathRemainder(std::wstring_view path) {
  std::size_t digits = 0;
  while (digits < path.size() && IsDigit(path[digits])) ++digits;
  if (digits > 0) {
    // A shorter run of digits would leave a digit, never a separator, next.
    return digits < path.size() && IsSeparator(path[digits]) ? std::optional(path.substr(digits)) : std::nullopt;
  }
  const std::size_t drive = path.starts_with(L"\\\\?\\") ? 4 : 0;
  if (path.size() > drive + 2 && IsAsciiLetter(path[drive]) && path[drive + 1] == L':' && IsSeparator(path[drive + 2]))
    return path.substr(drive + 2);
  return std::nullopt;
}

bool CExtensionRegistryOperations::MatchRule(const Rule& rule, std::wstring_view path) {
  const std::optional<std::wstring_view> remainder = PathRemainder(path);
  if (!remainder) return false;
  // A matcher that was never set matches nothing.
  return rule.include.Match(*remainder, false) && !rule.exclude.Match(*remainder, false);
}

HRESULT CExtensionRegistryOperations::ReadRule(const std::wstring& /*ruleName*/, const ValueList& values,
                                               std::vector<Rule>& rules) const {
  const std::wstring& clsid = ClsidString();
  Rule rule;
  std::wstring include;
  HRESULT hr = S_OK;
  for (const auto& [name, value] : values) {
    platform::ComVariant text;
    hr = VariantChangeType(&text, &value, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    const std::wstring data = text.bstrVal == nullptr ? std::wstring() : std::wstring(text.bstrVal, SysStringLen(text.bstrVal));
    if (platform::EqualsNoCase(name, kIncludePath)) {
      include = data;
      if (DWORD error = rule.include.SetPatterns(data.c_str())) return HRESULT_FROM_WIN32(error);
    } else if (platform::EqualsNoCase(name, kExcludePath)) {
      if (DWORD error = rule.exclude.SetPatterns(data.c_str())) return HRESULT_FROM_WIN32(error);
    } else if (!clsid.empty()) {
      if (platform::EqualsNoCase(name, clsid)) rule.operations.push_back(data);
    } else {
      rule.operations.push_back(name);  // the generic reader: every extension the rule names
    }
  }
  if (include.empty() || rule.operations.empty()) return hr;
  if (clsid.empty()) {
    for (const std::wstring& name : rule.operations) {
      CLSID extension;
      hr = CLSIDFromString(name.c_str(), &extension);
      if (FAILED(hr)) return hr;
      rule.extensions.insert(extension);
    }
  }
  rules.push_back(std::move(rule));
  return hr;
}

HRESULT CExtensionRegistryOperations::ReadOperation(const std::wstring& operationName, const ValueList& values,
                                                    OperationMap& operations) {
  // A subkey without values defines no operation.
  if (values.empty()) return S_OK;
  ParameterMap parameters;
  for (const auto& [name, value] : values) parameters.emplace(name, value);  // the first value of a name stays
  operations.emplace(operationName, std::move(parameters));
  return S_OK;
}

HRESULT CExtensionRegistryOperations::ReloadRules() {
  platform::SrwExclusiveLock reload(reloadLock_);
  HRESULT hr = CheckChanged();
  if (hr == S_FALSE) return S_OK;
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    // No settings key (yet): nothing is configured, so no rule applies.
    platform::SrwExclusiveLock hold(rulesLock_);
    rules_.clear();
    operations_.clear();
    return S_FALSE;
  }
  // A key that cannot be opened otherwise stays a failure: answering "no
  // rule" would have the caller release pins for want of the rules.
  if (hr != S_OK) return hr;
  try {
    std::vector<Rule> rules;
    OperationMap operations;
    hr = EnumNamedSubkeys(BaseKey(), kRulesKey, [&](const std::wstring& name, const ValueList& values) {
      return ReadRule(name, values, rules);
    });
    // The rules read before a failing one serve until the next change, and
    // they need their operations to serve; a missing "Rules" key reads none.
    HRESULT operationsResult = S_OK;
    if (hr != S_FALSE && !ClsidString().empty()) {
      operationsResult = EnumNamedSubkeys(ExtensionKey(), kOperationsKey,
                                          [&](const std::wstring& name, const ValueList& values) {
                                            return ReadOperation(name, values, operations);
                                          });
    }
    platform::SrwExclusiveLock hold(rulesLock_);
    rules_.swap(rules);
    operations_.swap(operations);
    // A failure is answered once: the next call, with nothing changed, serves
    // what was read.
    return FAILED(hr) || FAILED(operationsResult) ? (FAILED(hr) ? hr : operationsResult) : hr;
  } catch (const std::bad_alloc&) {
    MarkChangedAgain();
    return E_OUTOFMEMORY;
  }
}

HRESULT CExtensionRegistryOperations::FindOperations(std::wstring_view path, std::vector<Operation>& out) {
  out.clear();
  const HRESULT hr = ReloadRules();
  if (hr != S_OK) return hr;
  try {
    std::vector<Operation> found;
    platform::SrwSharedLock hold(rulesLock_);
    for (const Rule& rule : rules_) {
      if (!MatchRule(rule, path)) continue;
      for (const std::wstring& name : rule.operations) {
        auto operation = operations_.find(name);
        if (operation != operations_.end()) found.push_back({name, operation->second});
      }
      break;  // only the first rule that applies counts
    }
    out.swap(found);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

std::vector<CExtensionRegistryOperations::Rule> CExtensionRegistryOperations::Rules() {
  platform::SrwSharedLock hold(rulesLock_);
  return rules_;
}
