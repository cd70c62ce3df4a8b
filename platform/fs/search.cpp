// search.cpp - FindFirstFileW over a host folder: wildcards and name order.
//
// The whole folder is read and sorted when the search starts, so a search
// handle answers a stable list however the folder changes meanwhile, and the
// same pattern always finds the same first file.
#include "platform/fs/fs_internal.h"

#include "platform/base/text.h"
#include "platform/sync/sync_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

class SearchObject final : public KernelObject {
 public:
  std::vector<WIN32_FIND_DATAW> found;  // written before the handle is made
  std::size_t next = 0;                 // guarded by lock
  SRWLOCK lock{};
};

// Backtracking match of folded text: "*" any run, "?" one character.
bool Match(std::wstring_view p, std::wstring_view n) {
  std::size_t pi = 0, ni = 0, star = std::wstring_view::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == L'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == L'*') {
      star = pi++;
      mark = ni;
    } else if (star != std::wstring_view::npos) {
      pi = star + 1;
      ni = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == L'*') ++pi;
  return pi == p.size();
}

bool Fill(int dirFd, const char* name, WIN32_FIND_DATAW& data) {
  const std::wstring wide = WideFromUtf8(name);
  if (wide.size() >= MAX_PATH) return false;  // cannot be reported whole
  struct stat st {};
  struct stat link {};
  if (::fstatat(dirFd, name, &link, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // A link reports what it points at; a dangling one reports itself.
  if (!S_ISLNK(link.st_mode) || ::fstatat(dirFd, name, &st, 0) != 0) st = link;
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = fs_detail::AttributesOf(st, S_ISLNK(link.st_mode));
  data.ftCreationTime = fs_detail::FileTimeFromTimespec(st.st_mtim);
  data.ftLastAccessTime = fs_detail::FileTimeFromTimespec(st.st_atim);
  data.ftLastWriteTime = fs_detail::FileTimeFromTimespec(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    const auto size = static_cast<ULONGLONG>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  }
  std::wmemcpy(data.cFileName, wide.c_str(), wide.size() + 1);
  return true;
}

// An entry with its folded name, folded once rather than at every comparison.
struct Found {
  std::wstring folded;
  WIN32_FIND_DATAW data;
};

bool NameOrder(const Found& a, const Found& b) {
  const int c = a.folded.compare(b.folded);
  return c != 0 ? c < 0 : std::wcscmp(a.data.cFileName, b.data.cFileName) < 0;
}

// Every entry of folder that matches pattern, in name order.
DWORD ListFolder(const std::string& folder, const std::wstring& pattern, bool withDots,
                 std::vector<WIN32_FIND_DATAW>& out) {
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(dirFd);
    return Win32FromErrno(err);
  }
  const std::wstring folded = ToLower(pattern == L"*.*" ? std::wstring_view(L"*") : std::wstring_view(pattern));
  std::vector<Found> found;
  while (const dirent* entry = ::readdir(dir)) {
    const bool dot = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
    if (dot && !withDots) continue;
    Found f{ToLower(WideFromUtf8(entry->d_name)), {}};
    if (!Match(folded, f.folded)) continue;
    if (Fill(dirFd, entry->d_name, f.data)) found.push_back(std::move(f));
  }
  ::closedir(dir);
  // Case-insensitive order, as CompareNoCase gives it (both fold with
  // towlower). Pointers are sorted: the records are large to move.
  std::vector<const Found*> order;
  order.reserve(found.size());
  for (const Found& f : found) order.push_back(&f);
  std::sort(order.begin(), order.end(), [](const Found* a, const Found* b) { return NameOrder(*a, *b); });
  out.reserve(order.size());
  for (const Found* f : order) out.push_back(f->data);
  return out.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// Windows lists "." and ".." in every folder but a drive's root.
bool IsDriveRoot(std::wstring_view pattern, const std::string& folder) {
  if (folder == "/") return true;
  std::size_t skip = pattern.size() >= 4 && pattern[2] == L'?' ? 4 : 0;
  if (pattern.size() < skip + 2 || pattern[skip + 1] != L':') return false;
  std::string root;
  return DriveFolder(pattern[skip], root) == ERROR_SUCCESS && (root.empty() ? "/" : root) == folder;
}

}  // namespace

bool MatchesFilePattern(std::wstring_view pattern, std::wstring_view name) {
  if (pattern == L"*.*") pattern = L"*";
  return Match(ToLower(pattern), ToLower(name));
}

}  // namespace platform

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  using platform::fs_detail::Fail;
  if (pattern == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string folder;
  std::wstring names;
  DWORD error = platform::ResolvePattern(pattern, folder, names);
  auto search = std::make_unique<platform::SearchObject>();
  if (error == ERROR_SUCCESS)
    error = platform::ListFolder(folder, names, !platform::IsDriveRoot(pattern, folder), search->found);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  *data = search->found[0];
  search->next = 1;
  SetLastError(ERROR_SUCCESS);
  return platform::MakeHandle(search.release());
}

BOOL FindNextFileW(HANDLE handle, WIN32_FIND_DATAW* data) {
  using platform::fs_detail::Fail;
  platform::sync_detail::ObjectRef<platform::SearchObject> search(handle);
  if (!search) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  platform::SrwExclusiveLock hold(search->lock);
  if (search->next >= search->found.size()) return Fail(ERROR_NO_MORE_FILES);
  *data = search->found[search->next++];
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  platform::sync_detail::ObjectRef<platform::SearchObject> search(handle);
  if (!search) return platform::fs_detail::Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(handle);
}
