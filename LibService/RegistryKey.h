// RegistryKey.h - walks of a registry key's subkeys and typed values.
//
// Each walk calls back once per subkey or value and stops at the first
// failing status, which it returns.
#pragma once

#include "LibService/Status.h"
#include "platform/registry/registry.h"

#include <functional>
#include <string>

using KeyCallback = std::function<CStatus(const std::wstring& name)>;
using StringValueCallback = std::function<CStatus(const std::wstring& name, const std::wstring& value)>;
using DwordValueCallback = std::function<CStatus(const std::wstring& name, DWORD value)>;
using QwordValueCallback = std::function<CStatus(const std::wstring& name, ULONGLONG value)>;

CStatus EnumRegistryKeys(HKEY key, const KeyCallback& onKey);
// An empty callback skips the values of its kind.
CStatus EnumRegistryValues(HKEY key, const StringValueCallback& onString, const DwordValueCallback& onDword = {},
                           const QwordValueCallback& onQword = {});
