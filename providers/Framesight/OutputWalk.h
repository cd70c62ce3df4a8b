// OutputWalk.h - the walks over all outputs of one file version: delete and rename.
//
// The archive is asked for the companion path of the name "(*).(*)", which
// gives the folder of the file's outputs and a file-name template such as
// "(*)-1A-2.(*)". Every "(*)" of the template stands for a part of an
// output's name (its base and extension); everything else is literal, so the
// outputs of version (1A, 2) are found and those of (1A, 2F) are not. An
// output counts only when its own name also carries exactly that version
// (OutputVersions.h), so a base that happens to contain "-1A-2." cannot pull
// in another version's file.
//
// A rename asks for the new file's template of the name "(*0).(*1)" (say
// "(*0)-3-4.(*1)") and gives each old output the name made of the new
// template with "*0" and "*1" replaced by the old output's first and second
// part. Renames never replace an existing file.
//
// The walks hold no state between calls; they may run on any thread.
#pragma once

#include "archive/interfaces/ArchiveInterfaces.h"
#include "platform/base/types.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace framesight {

// The names whose companion paths give the walks' templates.
inline constexpr const wchar_t* kWalkTemplateName = L"(*).(*)";
inline constexpr const wchar_t* kRenameTemplateName = L"(*0).(*1)";

// The regular expression (ECMAScript) that a template's file name becomes:
// anchored, "(*)" a capturing group of any text, any other "*" any text, and
// every other character literal.
std::wstring WalkPattern(std::wstring_view nameTemplate);

// A new name template split into its three parts: a placeholder, the new
// identity part with its dot ("-3-4."), a placeholder. Each placeholder
// picks the old output's part 0 or part 1.
struct RenameTemplate {
  int firstPart = 0;
  std::wstring identity;
  int secondPart = 1;
};
// ERROR_INVALID_NAME (as an HRESULT) when the name is not of that shape.
HRESULT ParseRenameTemplate(std::wstring_view nameTemplate, RenameTemplate& out);
// The new file name for an output whose two parts are given.
std::wstring RenamedName(const RenameTemplate& tmpl, const std::wstring (&parts)[2]);

// One output found by a walk: its full path and the two parts the template
// captured (base and extension, without the dot).
struct WalkedOutput {
  std::wstring path;
  std::wstring parts[2];
};
using WalkCallback = std::function<HRESULT(const WalkedOutput& output)>;

// Calls callback for every output of version (i1, i2) of the file that
// keyString names, in the folder's listing order. The archive's failures
// are returned unchanged, a template that is not of the expected shape is
// ERROR_INVALID_NAME, a listing failure ends the walk before any callback,
// and the first failing callback ends it with its result.
HRESULT WalkOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2,
                    const WalkCallback& callback);

// Deletes every output of version (i1, i2) of the file; the walk's result.
HRESULT DeleteOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2);

// Moves every output of version (i1, i2) of keyString's file to the
// companion folder of version (newI1, newI2) of newKeyString's file, named
// for the new version. The new folder is created when missing; a failure to
// create it, or an existing file at a new path, ends the walk with that
// failure and leaves the output where it is.
HRESULT RenameOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2,
                      std::wstring_view newKeyString, ULONG newI1, ULONG newI2);

}  // namespace framesight
