// main.cpp - vnarchive-mainsvc: the archive main service stand-in as a
// program, driven through its control pipe.
//
//   vnarchive-mainsvc [PIPE-NAME]
// serves "\\.\pipe\PIPE-NAME" (default "Vantrel.VNService") and
// "\\.\pipe\PIPE-NAME.Control" until the control command "quit".
#include "archive/mainsvc/ControlChannel.h"
#include "archive/mainsvc/MainService.h"

#include "platform/base/text.h"

#include <cstdio>

int main(int argc, char** argv) {
  const std::wstring name = argc > 1 ? platform::WideFromUtf8(argv[1]) : std::wstring(L"Vantrel.VNService");
  archive::MainService service(name);
  if (DWORD error = service.Start(); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "vnarchive-mainsvc: cannot serve the pipe (error %u)\n", error);
    return 1;
  }
  const DWORD error = archive::ServeControlPipe(service, name + L".Control");
  service.Stop();
  if (error != ERROR_SUCCESS) std::fprintf(stderr, "vnarchive-mainsvc: control pipe failed (error %u)\n", error);
  return error == ERROR_SUCCESS ? 0 : 1;
}
