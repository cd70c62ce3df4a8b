// ControlChannel.cpp - parsing and serving the stand-in's control commands.
#include "archive/mainsvc/ControlChannel.h"

#include "platform/pipe/pipe.h"

#include <map>
#include <sstream>
#include <vector>

namespace archive {

namespace {

bool ParseNumber(std::istringstream& in, DWORD& out) {
  std::string word;
  if (!(in >> word)) return false;
  try {
    std::size_t used = 0;
    const unsigned long long v = std::stoull(word, &used, 0);
    if (used != word.size() || v > 0xFFFFFFFFull) return false;
    out = static_cast<DWORD>(v);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string FormatState(const MainServiceState& state) {
  std::ostringstream out;
  out << "ok connections=" << state.connections << " lists=" << state.listsReceived << " requests=" << state.requests
      << " polls=" << state.pendingPolls << " last=";
  for (std::size_t i = 0; i < state.lastList.size(); ++i)
    out << (i ? "," : "") << "0x" << std::hex << state.lastList[i];
  return out.str();
}

std::string RunFault(MainService& service, std::istringstream& in) {
  static const std::map<std::string, ReplyFault> kPlain = {
      {"none", ReplyFault::kNone},           {"overcapacity", ReplyFault::kOverCapacity},
      {"short", ReplyFault::kTooShort},      {"unknownid", ReplyFault::kUnknownId},
      {"duplicate", ReplyFault::kDuplicate}, {"silent", ReplyFault::kSilent}};
  std::string mode;
  in >> mode;
  DWORD argument = 0;
  if (auto it = kPlain.find(mode); it != kPlain.end()) {
    service.SetFault(it->second);
  } else if ((mode == "late" || mode == "status") && ParseNumber(in, argument)) {
    service.SetFault(mode == "late" ? ReplyFault::kLate : ReplyFault::kStatus, argument);
  } else {
    return "error fault mode";
  }
  return "ok";
}

std::string RunVolumeFault(MainService& service, std::istringstream& in) {
  std::string mode;
  in >> mode;
  DWORD argument = 0;
  if (mode == "none") {
    service.SetVolumeFault(VolumeFault::kNone);
  } else if (mode == "wrongname") {
    service.SetVolumeFault(VolumeFault::kWrongName);
  } else if (mode == "flagclear") {
    service.SetVolumeFault(VolumeFault::kFlagClear);
  } else if (mode == "open" && ParseNumber(in, argument)) {
    service.SetVolumeFault(VolumeFault::kOpenError, argument);
  } else {
    return "error volume fault mode";
  }
  return "ok";
}

}  // namespace

std::string RunControlCommand(MainService& service, const std::string& line, bool& quit) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  DWORD a = 0, b = 0, c = 0, d = 0;
  if (command == "notify" && ParseNumber(in, a) && ParseNumber(in, b) && ParseNumber(in, c)) {
    service.Notify(a, b, c);
  } else if (command == "record" && ParseNumber(in, a) && ParseNumber(in, b) && ParseNumber(in, c) &&
             ParseNumber(in, d)) {
    service.SendRaw(MainService::NotificationMessage(a, b, c, d));
  } else if (command == "oversize" && ParseNumber(in, a) && ParseNumber(in, b) && ParseNumber(in, c)) {
    service.SendOversize(a, b, c);
  } else if (command == "stall" && ParseNumber(in, a)) {
    service.StallMidMessage(a);
  } else if (command == "short" && ParseNumber(in, a)) {
    service.SendRaw(std::vector<BYTE>(a, 0));
  } else if (command == "fault") {
    return RunFault(service, in);
  } else if (command == "drop") {
    service.DropConnections();
  } else if (command == "restart" && ParseNumber(in, a)) {
    service.Restart(a);
  } else if (command == "busy") {
    std::string onOff;
    in >> onOff;
    service.SetBusy(onOff == "on");
  } else if (command == "volume") {
    std::string letter;
    in >> letter;
    if (letter.size() != 1) return "error volume letter";
    if (DWORD error = service.ServeVolume(static_cast<wchar_t>(letter[0])); error != ERROR_SUCCESS)
      return "error " + std::to_string(error);
  } else if (command == "vfault") {
    return RunVolumeFault(service, in);
  } else if (command == "pollwait" && ParseNumber(in, a)) {
    service.SetPollWait(a);
  } else if (command == "losecursors") {
    service.LoseCursors();
  } else if (command == "state") {
    return FormatState(service.State());
  } else if (command == "quit") {
    quit = true;
  } else {
    return "error unknown command";
  }
  return "ok";
}

DWORD ServeControlPipe(MainService& service, const std::wstring& controlPipeName) {
  const std::wstring full = L"\\\\.\\pipe\\" + controlPipeName;
  bool quit = false;
  while (!quit) {
    platform::UniqueHandle pipe(CreateNamedPipeW(full.c_str(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                                                 0, nullptr));
    if (!pipe) return GetLastError();
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
    std::vector<char> buffer(4096);
    DWORD n = 0;
    while (!quit && ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      const std::string reply = RunControlCommand(service, std::string(buffer.data(), n), quit);
      DWORD written = 0;
      if (!WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr)) break;
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace archive
