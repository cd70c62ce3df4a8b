// vnevent.cpp - prints the records of an event log.
//
//   vnevent LOG [--source NAME] [--last N]
// One record a line: local time, type, source, id (hex), user, text (or the
// insertion strings when the text could not be formatted), raw data.
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/eventlog/eventlog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_INFORMATION_TYPE: return "Information";
    case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
    default: return "Success";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: vnevent LOG [--source NAME] [--last N]\n");
    return 2;
  }
  std::wstring log = platform::WideFromUtf8(argv[1]);
  std::wstring source;
  std::size_t last = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--source") == 0) source = platform::WideFromUtf8(argv[i + 1]);
    else if (std::strcmp(argv[i], "--last") == 0) last = std::strtoul(argv[i + 1], nullptr, 10);
  }
  auto records = platform::ReadEventLog(log);
  std::size_t first = last != 0 && records.size() > last ? records.size() - last : 0;
  for (std::size_t i = first; i < records.size(); ++i) {
    const auto& r = records[i];
    if (!source.empty() && !platform::EqualsNoCase(source, r.source)) continue;
    std::time_t t = static_cast<std::time_t>(r.timeMs / 1000);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    std::wstring body = r.text;
    if (body.empty()) {
      for (const auto& s : r.strings) body += (body.empty() ? L"" : L" | ") + s;
    }
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r')) body.pop_back();
    std::string data(r.data.begin(), r.data.end());
    std::printf("%s %s %s 0x%08X %s: %s%s%s\n", when, TypeName(r.type), platform::Utf8FromWide(r.source).c_str(),
                r.eventId, platform::Utf8FromWide(r.sid).c_str(), platform::Utf8FromWide(body).c_str(),
                data.empty() ? "" : " [", data.empty() ? "" : (data + "]").c_str());
  }
  return 0;
}
