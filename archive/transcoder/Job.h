// Job.h - one client of one transcoder instance, from its request to its result.
#pragma once

#include "archive/transcoder/Transcoder.h"

#include <string>

namespace archive {

struct JobContext {
  const TranscoderSettings& settings;
  Journal& journal;
  HANDLE stopEvent;
  std::wstring name;  // the transcoder name
  ULONGLONG job;      // the journal's job number
};

// Serves the client connected on pipe until its job has ended (answered,
// hung up or stopped); the caller disconnects it.
void ServeClient(HANDLE pipe, const JobContext& context);

// The errno (Linux numbering) for a Win32 code of the stand-in's own file
// and process steps.
int ErrnoFromWin32(DWORD code);

// The host path of a request's path on the archive's volumes; a Linux errno
// (ENOENT for an unknown drive letter, EACCES for a path off the volumes,
// EINVAL for a malformed one) with the reason in why.
int ResolveVolumePath(const std::wstring& path, std::string& host, std::string& why);

}  // namespace archive
