// bench_vnservice.cpp - notification latency of the main-service client
// beside a control request and a bare round trip on the same platform pipe.
//
// Everything runs in this process on a private pipe folder: the stand-in
// main service, the client subscribed to one code, and for the baseline an
// echo server thread on a pipe of its own. Each figure is the distribution
// over SENDS one-at-a-time operations (the next starts when the last ended).
#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "archive/mainsvc/MainService.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/fs/fs.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr ULONGLONG kCode = 5;
constexpr DWORD kType = 8;       // not coalesced by the client
constexpr DWORD kDataBytes = 4;  // a 16-byte record, as the service's own notifications are

struct Heard {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<long long> at{0};
  static void Callback(ULONGLONG, void* context, DWORD, DWORD, const BYTE*) {
    auto* self = static_cast<Heard*>(context);
    self->at = Clock::now().time_since_epoch().count();
    SetEvent(self->event);
  }
};

void Report(const char* what, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  std::printf("%-34s n=%zu  p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", what, micros.size(), at(0.50), at(0.99),
              micros.back());
}

double MicrosBetween(long long from, long long to) {
  return std::chrono::duration<double, std::micro>(Clock::duration(to - from)).count();
}

std::vector<double> Notifications(archive::MainService& service, CVNServiceInterface& client, int sends) {
  Heard heard;
  if (!client.Subscribe(kCode, &heard, &Heard::Callback)) {
    std::fprintf(stderr, "subscribe failed: %u\n", GetLastError());
    std::exit(1);
  }
  std::vector<double> micros;
  for (int i = 0; i < sends; ++i) {
    const long long start = Clock::now().time_since_epoch().count();
    service.Notify(kType, kCode, kDataBytes);
    if (WaitForSingleObject(heard.event, 5000) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "notification %d lost\n", i);
      std::exit(1);
    }
    micros.push_back(MicrosBetween(start, heard.at));
  }
  client.Unsubscribe(kCode, &heard, &Heard::Callback);
  CloseHandle(heard.event);
  return micros;
}

std::vector<double> Requests(CVNServiceInterface& client, int sends) {
  std::vector<double> micros;
  char input[16] = "0123456789abcde";
  char output[16];
  for (int i = 0; i < sends; ++i) {
    const auto start = Clock::now();
    DWORD returned = 0;
    if (!client.IoControl(0, archive::MAIN_SERVICE_ECHO, input, sizeof input, output, sizeof output, &returned)) {
      std::fprintf(stderr, "request failed: %u\n", GetLastError());
      std::exit(1);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

// The same pipe layer with nothing on top: a thread echoes each message.
std::vector<double> BareRoundTrips(int sends, DWORD messageBytes) {
  const std::wstring name = L"\\\\.\\pipe\\Vantrel.Bench.Echo";
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  std::thread echo([server] {
    ConnectNamedPipe(server, nullptr);
    std::vector<char> buffer(4096);
    DWORD n = 0;
    while (ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      DWORD written = 0;
      WriteFile(server, buffer.data(), n, &written, nullptr);
    }
  });
  HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
  std::vector<char> message(messageBytes, 'x'), reply(4096);
  std::vector<double> micros;
  for (int i = 0; i < sends; ++i) {
    const auto start = Clock::now();
    DWORD n = 0;
    TransactNamedPipe(client, message.data(), messageBytes, reply.data(), static_cast<DWORD>(reply.size()), &n,
                      nullptr);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  CloseHandle(client);
  echo.join();
  CloseHandle(server);
  return micros;
}

}  // namespace

int main(int argc, char** argv) {
  const int sends = argc > 1 ? std::atoi(argv[1]) : 10000;
  const std::string dir = platform::testing::MakeTempDir("vn_bench_vnservice.");
  ::setenv("VANTREL_PIPE_DIR", dir.c_str(), 1);
  ::setenv("VANTREL_REGISTRY", (dir + "/registry.db").c_str(), 1);
  archive::MainService service(L"Vantrel.Bench.VNService");
  if (service.Start() != ERROR_SUCCESS) return 1;
  CVNServiceOptions options;
  options.pipeName = L"Vantrel.Bench.VNService";
  {
    CVNServiceInterface client(options);
    std::vector<double> notified = Notifications(service, client, sends);
    std::vector<double> requested = Requests(client, sends);
    // A notification message is 16 + 16 + 8 bytes; a request 176 + 16, its reply 40.
    std::vector<double> bare = BareRoundTrips(sends, 40);
    Report("notification (Notify -> callback)", notified);
    Report("IoControl echo round trip", requested);
    Report("bare pipe round trip (40 bytes)", bare);
  }
  service.Stop();
  return 0;
}
