// OutputVersions.h - the versions of one output that lie beside it in its folder.
//
// The archive names an output of file version (I1, I2) "base-ID1-ID2.ext"
// (ArchivePaths.h), so the outputs of older and newer versions of the same
// file lie in the same folder under the same base and extension. An
// OutputVersions is built from the path of the wanted output; it tells
// whether that version still has to be made (NeedsOutput) and removes the
// versions it supersedes once it exists (RemoveStale).
//
// Versions order by (id1, id2) as unsigned numbers: "-1A-2" is older than
// "-1A-10". Only files count: a folder that happens to carry such a name is
// neither an output nor deleted. Objects are used by one thread at a time and
// share nothing; the folder is listed afresh by every call.
#pragma once

#include "platform/base/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace framesight {

// A file name's stem and extension, split the usual way: the
// extension is the last "." and what follows, except in "." and ".." and in
// a name whose only dot leads it (".webm" has no extension).
void SplitFileName(std::wstring_view name, std::wstring_view& stem, std::wstring_view& extension);

// A stem of the shape "(.*)-([0-9A-F]{1,8})-([0-9A-F]{1,8})" (hexadecimal in
// either case): the base and both values. False, and nothing set, otherwise.
bool ParseVersionName(std::wstring_view stem, std::wstring& base, DWORD& id1, DWORD& id2);

// The names of the files (not folders) in folder, in the order the search
// gives them. A missing folder holds none (S_OK); any other failure of the
// listing ends it and is returned as an HRESULT.
HRESULT ListFolderFiles(std::wstring_view folder, std::vector<std::wstring>& names);

// The folder part of a path (without its last separator) and the file name;
// false when the path has no separator.
bool SplitOutputPath(std::wstring_view path, std::wstring_view& folder, std::wstring_view& name);

class OutputVersions {
 public:
  struct Version {
    std::wstring base;
    std::wstring extension;  // with its dot; empty when the name has none
    DWORD id1 = 0;
    DWORD id2 = 0;
  };
  struct Found {
    DWORD id1 = 0;
    DWORD id2 = 0;
    std::wstring path;
  };

  explicit OutputVersions(std::wstring path);

  const std::wstring& Path() const { return m_path; }
  // Whether the output's own name carries a version; without one nothing
  // can be compared and NeedsOutput and RemoveStale fail.
  bool HasWanted() const { return m_hasWanted; }
  const Version& Wanted() const { return m_wanted; }

  // Lists the folder and records every file of the same base (exactly, case
  // included) and extension, ordered by version (then by name).
  HRESULT Scan();
  const std::vector<Found>& Versions() const { return m_found; }

  // needed is true when no version at or above the wanted one exists.
  // ERROR_INVALID_NAME (as an HRESULT) when the output's name has no
  // version; a listing failure is returned.
  HRESULT NeedsOutput(bool& needed);

  // Deletes every version below the wanted one, but only once the wanted
  // output itself exists: until then the older versions are all there is
  // (S_FALSE, nothing deleted). Newer versions stay. Every stale version is
  // tried; the first failure (other than one already gone) is returned.
  HRESULT RemoveStale();

 private:
  bool WantedExists() const;

  std::wstring m_path;
  std::wstring m_folder;
  std::wstring m_name;
  bool m_hasWanted = false;
  Version m_wanted;
  std::vector<Found> m_found;
};

}  // namespace framesight
