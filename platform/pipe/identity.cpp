// identity.cpp - peer credentials, impersonation and the administrators check.
//
// A pipe's client identity is what the kernel recorded when the client
// connected (SO_PEERCRED, and SO_PEERGROUPS for its supplementary groups).
// Impersonating records that identity for the calling thread only; the
// process keeps its own ids, since nothing here acts on files as the client.

#include "platform/pipe/pipe_internal.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include <cstdlib>
#include <optional>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

#include <algorithm>

namespace platform {
namespace {

thread_local std::optional<PeerCredentials> t_impersonated;

// The configured administrators group, or nothing when none is set or the
// name is unknown.
std::optional<gid_t> AdminGroup() {
  const char* value = std::getenv("VANTREL_ADMIN_GROUP");
  if (value == nullptr || *value == '\0') return std::nullopt;
  char* end = nullptr;
  unsigned long id = std::strtoul(value, &end, 10);
  if (end != nullptr && *end == '\0') return static_cast<gid_t>(id);
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  if (::getgrnam_r(value, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return std::nullopt;
  return found->gr_gid;
}

// Supplementary groups from the user database, for kernels that cannot
// report the peer's own.
std::vector<gid_t> GroupsOfUser(uid_t uid, gid_t gid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return {};
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) return {};
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

}  // namespace

namespace pipe_detail {

PeerCredentials ReadPeerCredentials(int fd) {
  PeerCredentials out;
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
    out.pid = cred.pid;
    out.uid = cred.uid;
    out.gid = cred.gid;
  }
  std::vector<gid_t> groups(32);
  len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  int rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
  if (rc != 0 && errno == ERANGE) {
    groups.resize(len / sizeof(gid_t));
    rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
  }
  if (rc == 0) {
    groups.resize(len / sizeof(gid_t));
    out.groups = std::move(groups);
  } else {
    out.groups = GroupsOfUser(out.uid, out.gid);
  }
  return out;
}

bool PeerOfOwnerOrGroup(const PeerCredentials& peer) {
  if (peer.uid == 0 || peer.uid == ::geteuid() || peer.gid == ::getegid()) return true;
  return std::find(peer.groups.begin(), peer.groups.end(), ::getegid()) != peer.groups.end();
}

}  // namespace pipe_detail

bool IsAdministrator(const PeerCredentials& credentials) {
  if (credentials.uid == 0) return true;
  const std::optional<gid_t> admins = AdminGroup();
  if (!admins) return false;
  if (credentials.gid == *admins) return true;
  for (gid_t g : credentials.groups) {
    if (g == *admins) return true;
  }
  return false;
}

DWORD GetPipePeerCredentials(HANDLE pipe, PeerCredentials& out) {
  auto* object = ObjectFromHandle(pipe);
  std::lock_guard<std::mutex> lock(pipe_detail::PipeLock());
  auto& live = pipe_detail::LivePipes();
  auto it = object != nullptr ? live.find(object) : live.end();
  if (it == live.end()) return ERROR_INVALID_HANDLE;
  const pipe_detail::Pipe& p = *it->second;
  if (p.fd < 0) return ERROR_PIPE_NOT_CONNECTED;
  out = p.peer;
  return ERROR_SUCCESS;
}

DWORD GetImpersonatedCredentials(PeerCredentials& out) {
  if (!t_impersonated) return ERROR_NO_TOKEN;
  out = *t_impersonated;
  return ERROR_SUCCESS;
}

DWORD CheckImpersonatedAdministrator(bool& isAdministrator) {
  isAdministrator = false;
  if (!t_impersonated) return ERROR_NO_TOKEN;
  isAdministrator = IsAdministrator(*t_impersonated);
  return ERROR_SUCCESS;
}

DWORD PeerIsAdministrator(HANDLE pipe, bool& isAdministrator) {
  isAdministrator = false;
  PeerCredentials peer;
  DWORD rc = GetPipePeerCredentials(pipe, peer);
  if (rc == ERROR_SUCCESS) isAdministrator = IsAdministrator(peer);
  return rc;
}

}  // namespace platform

BOOL ImpersonateNamedPipeClient(HANDLE pipe) {
  platform::PeerCredentials peer;
  const DWORD rc = platform::GetPipePeerCredentials(pipe, peer);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return FALSE;
  }
  platform::t_impersonated = std::move(peer);
  return TRUE;
}

BOOL RevertToSelf() {
  platform::t_impersonated.reset();
  return TRUE;
}

namespace platform {

DWORD GetPipeAcceptStalls(HANDLE pipe, ULONGLONG& stalls, bool& crowded) {
  stalls = 0;
  crowded = false;
  auto* object = ObjectFromHandle(pipe);
  std::lock_guard<std::mutex> lock(pipe_detail::PipeLock());
  auto& live = pipe_detail::LivePipes();
  auto it = object != nullptr ? live.find(object) : live.end();
  if (it == live.end() || !it->second->server) return ERROR_INVALID_HANDLE;
  if (const pipe_detail::Listener* l = it->second->listener) {
    stalls = l->acceptStalls;
    crowded = pipe_detail::ArrivalsOf(*l) > 0;
  }
  return ERROR_SUCCESS;
}

}  // namespace platform
