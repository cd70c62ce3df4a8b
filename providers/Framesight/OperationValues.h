// OperationValues.h - reading an operation's values as the provider needs them.
//
// IPostProcessOperation hands out its own name and shallow copies of its
// stored values: they are read here and never freed or cleared.
#pragma once

#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"

#include <string>

namespace framesight {

// The value as text: empty when absent (or empty); a value that cannot
// become text is that conversion's failure.
HRESULT OperationText(IPostProcessOperation* operation, const wchar_t* name, std::wstring& out);
// The operation's name; empty when it has none.
std::wstring OperationName(IPostProcessOperation* operation);
// "Unpin On Error" as a boolean: absent means true.
HRESULT UnpinOnError(IPostProcessOperation* operation, bool& unpin);

}  // namespace framesight
