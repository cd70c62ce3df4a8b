// connection_string.h - the keyword=value text that names a provider and its settings.
//
// "Provider=Vantrel.OLEDBProvider; Data Source='C:\a;b.db'" is a list of
// pairs separated by ";". Blanks around keywords and unquoted values are
// dropped; a value in single or double quotes keeps every character up to the
// matching quote, a doubled quote standing for one; "==" in a keyword is an
// "=". Keywords keep their letter case; ParseConnectionString returns them in
// the order written, and FindKeyword compares them without regard to case.
#pragma once

#include "platform/base/types.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

using ConnectionProperties = std::vector<std::pair<std::wstring, std::wstring>>;

// E_INVALIDARG for a pair without "=", an empty keyword, an unterminated
// quote or text after a closing quote; S_OK otherwise.
HRESULT ParseConnectionString(std::wstring_view text, ConnectionProperties& out);

// The value of the first pair whose keyword equals name in any letter case.
std::optional<std::wstring> FindKeyword(const ConnectionProperties& properties, std::wstring_view name);

}  // namespace platform
