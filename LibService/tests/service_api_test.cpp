// service_api_test.cpp - the administration pipe's wire format and the
// handling of single requests, without pipes: byte layouts, length checks
// that must not wrap, the administrators gate, capacities, reading trace
// lines (oldest held, waiting, records that do not fit, stop, two readers)
// and source names.
#include "platform/base/testing/temp_dir.h"
#include "LibService/LibServiceAPI.h"
#include "platform/pipe/ServiceAPI.h"
#include "LibService/ServiceLogger.h"

#include "trace/tests/TraceTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const bool kEnvironment = [] {
  const std::string base = platform::testing::MakeTempDir("vn_service_api_test.");
  ::setenv("VANTREL_REGISTRY", (base + "/registry.db").c_str(), 1);
  ::setenv("VANTREL_LOG_DIR", base.c_str(), 1);
  ::setenv("VANTREL_PIPE_DIR", base.c_str(), 1);
  return true;
}();

constexpr DWORD TRC_TEST_REQUEST = 0x00010100;  // "Request %s1 took %d2 ms."
constexpr DWORD TRC_TEST_TICK = 0x00010101;     // "Tick %u1"
constexpr DWORD TRC_NO_TEXT = 0x00010200;       // traced, but the module has no text
constexpr ULONGLONG kRequestId = 0x1122334455667788ull;

using trace_test::NamedSource;

std::vector<BYTE> Request(DWORD code, const std::vector<BYTE>& input, DWORD capacity, ULONGLONG id = kRequestId) {
  std::vector<BYTE> message;
  EXPECT_TRUE(EncodeServiceAPIRequest(id, 0, code, input.data(), static_cast<DWORD>(input.size()), capacity, message));
  return message;
}

std::vector<BYTE> U64(ULONGLONG v) {
  std::vector<BYTE> bytes(8);
  platform::StoreLe64(bytes.data(), v);
  return bytes;
}

struct Handled {
  bool replied = false;
  CServiceAPIAnswer answer;
};

Handled Handle(const CServiceAPIContext& context, const std::vector<BYTE>& message, bool admin = false) {
  Handled h;
  h.replied = HandleServiceAPIRequest(context, admin, message.data(), message.size(), h.answer);
  return h;
}

// --- wire format ---

TEST(ServiceAPIWireTest, RequestBytesAreLaidOutAsOnTheWire) {
  const std::vector<BYTE> input = {0xA1, 0xA2, 0xA3};
  std::vector<BYTE> m;
  ASSERT_TRUE(EncodeServiceAPIRequest(0x0102030405060708ull, 0x0A0B0C0D, 0x930C4, input.data(), 3, 0x1000, m));
  ASSERT_EQ(m.size(), 179u);
  struct Field {
    std::size_t offset;
    std::vector<BYTE> bytes;
  } fields[] = {
      {0, {179, 0, 0, 0}},
      {4, {20, 0, 0, 0}},
      {8, {8, 7, 6, 5, 4, 3, 2, 1}},
      {16, {0x0D, 0x0C, 0x0B, 0x0A}},
      {20, {0, 0, 0, 0}},
      {24, {0xC4, 0x30, 0x09, 0}},
      {28, {3, 0, 0, 0}},
      {32, {0, 0x10, 0, 0}},
      {36, {0xA1, 0xA2, 0xA3}},
  };
  for (const auto& f : fields)
    EXPECT_EQ(std::vector<BYTE>(m.begin() + f.offset, m.begin() + f.offset + f.bytes.size()), f.bytes)
        << "offset " << f.offset;
  for (std::size_t i = 39; i < m.size(); ++i) EXPECT_EQ(m[i], 0) << "trailer byte " << i;
  std::vector<BYTE> unused;
  EXPECT_FALSE(EncodeServiceAPIRequest(1, 0, 1, nullptr, 0xFFFFFF50u, 0, unused)) << "176 + input wraps a u32";
}

TEST(ServiceAPIWireTest, RequestsAreAcceptedOnlyWithMatchingLengths) {
  struct Case {
    const char* name;
    std::size_t length;
    DWORD inputLength;  // the field at offset 28
    ServiceAPIParse expected;
  } cases[] = {
      {"empty", 0, 0, ServiceAPIParse::kTooShort},
      {"one short of the fixed part", 175, 0, ServiceAPIParse::kTooShort},
      {"fixed part, no input", 176, 0, ServiceAPIParse::kOk},
      {"input as declared", 196, 20, ServiceAPIParse::kOk},
      {"one byte more than declared", 177, 0, ServiceAPIParse::kLengthMismatch},
      {"one byte less than declared", 195, 20, ServiceAPIParse::kLengthMismatch},
      {"input length that wraps to 0 in 32 bits", 176, 0xFFFFFF50u, ServiceAPIParse::kLengthMismatch},
      {"input length that wraps to the length", 200, 0xFFFFFF68u, ServiceAPIParse::kLengthMismatch},
      {"largest input length", 176, 0xFFFFFFFFu, ServiceAPIParse::kLengthMismatch},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> m(std::max<std::size_t>(c.length, 1), 0);
    if (c.length >= 32) platform::StoreLe32(m.data() + 28, c.inputLength);
    ServiceAPIRequest request;
    EXPECT_EQ(DecodeServiceAPIRequest(m.data(), c.length, request), c.expected) << c.name;
  }
  const std::vector<BYTE> good = Request(0x930C8, U64(42), 64);
  ServiceAPIRequest request;
  ASSERT_EQ(DecodeServiceAPIRequest(good.data(), good.size(), request), ServiceAPIParse::kOk);
  EXPECT_EQ(request.requestId, kRequestId);
  EXPECT_EQ(request.controlCode, 0x930C8u);
  EXPECT_EQ(request.inputLength, 8u);
  EXPECT_EQ(request.outputCapacity, 64u);
  EXPECT_EQ(platform::LoadLe64(request.input), 42u);
}

TEST(ServiceAPIWireTest, RepliesCarryHeaderDataAndEightZeroBytes) {
  std::vector<BYTE> m;
  const BYTE data[] = {9, 8, 7};
  ASSERT_TRUE(EncodeServiceAPIReply(0x0102030405060708ull, 0xC0000022, data, 3, m));
  const std::vector<BYTE> expected = {8, 7, 6, 5, 4, 3, 2, 1, 0x22, 0, 0, 0xC0, 3, 0, 0, 0, 9, 8, 7, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(m, expected);

  struct Case {
    const char* name;
    std::size_t length;
    DWORD dataLength;
    ServiceAPIParse expected;
  } cases[] = {
      {"header only", 16, 0, ServiceAPIParse::kTooShort},
      {"no data", 24, 0, ServiceAPIParse::kOk},
      {"data as declared", 27, 3, ServiceAPIParse::kOk},
      {"trailer missing", 26, 3, ServiceAPIParse::kLengthMismatch},
      {"data length that wraps", 24, 0xFFFFFFE8u, ServiceAPIParse::kLengthMismatch},
      {"largest data length", 40, 0xFFFFFFFFu, ServiceAPIParse::kLengthMismatch},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> r(c.length, 0);
    platform::StoreLe32(r.data() + 12, c.dataLength);
    ServiceAPIReply reply;
    EXPECT_EQ(DecodeServiceAPIReply(r.data(), r.size(), reply), c.expected) << c.name;
  }
}

TEST(ServiceAPIWireTest, RecordListsThatRunPastTheirEndAreRefused) {
  std::vector<BYTE> data = U64(12);
  std::vector<BYTE> record(40 + 2, 0);
  platform::StoreLe64(record.data(), 11);
  platform::StoreLe32(record.data() + 32, 2);
  record[40] = 3;
  record[41] = 3;
  data.insert(data.end(), record.begin(), record.end());
  ULONGLONG next = 0;
  std::vector<ServiceAPITraceLineRecord> records;
  ASSERT_TRUE(DecodeTraceLineRecords(data.data(), data.size(), next, records));
  EXPECT_EQ(next, 12u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].lineNumber, 11u);
  EXPECT_EQ(records[0].argLength, 2u);

  struct Case {
    const char* name;
    std::size_t length;
    DWORD argLength;
  } cases[] = {
      {"shorter than the next line number", 7, 2},
      {"record header cut", 8 + 39, 2},
      {"arguments cut", 8 + 41, 2},
      {"argument length near 2^32", data.size(), 0xFFFFFFF0u},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> bad = data;
    platform::StoreLe32(bad.data() + 8 + 32, c.argLength);
    EXPECT_FALSE(DecodeTraceLineRecords(bad.data(), c.length, next, records)) << c.name;
  }
}

// --- handling of single requests ---

class ServiceAPIRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(CTraceLogger::SetMessageModule(L"Evtlibservice_service_api_test"), 0u); }
  void SetUp() override {
    m_context.logger = &m_logger;
    m_context.lookup = [this](ULONGLONG cookie, std::string& name) {
      auto it = m_names.find(cookie);
      if (it == m_names.end()) return CStatus(NewErrorMessage(VN_HERE, MSG_ITEM_NOT_FOUND, {L"COOKIE"}));
      name = it->second;
      return CStatus();
    };
  }
  // A read-trace-lines request.
  std::vector<BYTE> ReadLines(ULONGLONG first, DWORD waitMs, DWORD capacity) {
    return Request(SERVICE_API_READ_TRACE_LINES, EncodeReadTraceLinesInput(first, waitMs), capacity);
  }
  // Handles a read and splits its records.
  std::vector<ServiceAPITraceLineRecord> Read(ULONGLONG first, DWORD waitMs, DWORD capacity, ULONGLONG& next,
                                              Handled& h) {
    h = Handle(m_context, ReadLines(first, waitMs, capacity));
    std::vector<ServiceAPITraceLineRecord> records;
    EXPECT_TRUE(h.replied);
    EXPECT_EQ(h.answer.status, 0u);
    EXPECT_TRUE(DecodeTraceLineRecords(h.answer.data.data(), h.answer.data.size(), next, records));
    return records;
  }

  CTraceLogger m_logger;
  NamedSource m_source{"Worker"};
  std::map<ULONGLONG, std::string> m_names;
  CServiceAPIContext m_context;
};

TEST_F(ServiceAPIRequestTest, TheGateAndTheCodesGetTheirStatuses) {
  m_logger.Trace(&m_source, TRC_TEST_TICK, 1u);
  struct Case {
    const char* name;
    DWORD code;
    bool admin;
    DWORD capacity;
    DWORD status;
    std::size_t dataLength;
  } cases[] = {
      {"read lines, not an administrator", SERVICE_API_READ_TRACE_LINES, false, 4096, 0, 8 + 40 + 2},
      {"source name, not an administrator", SERVICE_API_GET_SOURCE_NAME, false, 64, 0xC0000225, 0},
      {"bit 0x4000, not an administrator", SERVICE_API_READ_TRACE_LINES | 0x4000, false, 64, 0xC0000022, 0},
      {"bit 0x4000 only, not an administrator", 0x4000, false, 64, 0xC0000022, 0},
      {"bit 0x4000, administrator: not served", SERVICE_API_READ_TRACE_LINES | 0x4000, true, 64, 0xC000000D, 64},
      {"unknown code echoes the payload area", 0x12345, false, 32, 0xC000000D, 32},
      {"unknown code, capacity 0", 0x12345, false, 0, 0xC000000D, 0},
      {"unknown code, capacity beyond the bound", 0x12345, false, SERVICE_API_MAX_OUTPUT + 1, 0xC000000D, 0},
      {"read lines, capacity 0", SERVICE_API_READ_TRACE_LINES, false, 0, 0xC000000D, 0},
      {"read lines, capacity 7", SERVICE_API_READ_TRACE_LINES, false, 7, 0xC000000D, 0},
      {"read lines, capacity 8", SERVICE_API_READ_TRACE_LINES, false, 8, 0, 8},
      // A reader that offers more room than a reply may carry gets a bounded reply.
      {"read lines, capacity the bound + 1", SERVICE_API_READ_TRACE_LINES, false, SERVICE_API_MAX_OUTPUT + 1, 0,
       8 + 40 + 2},
      {"read lines, capacity 2^32-1", SERVICE_API_READ_TRACE_LINES, false, 0xFFFFFFFFu, 0, 8 + 40 + 2},
      {"read lines, capacity the bound", SERVICE_API_READ_TRACE_LINES, false, SERVICE_API_MAX_OUTPUT, 0, 8 + 40 + 2},
      {"source name, capacity 23", SERVICE_API_GET_SOURCE_NAME, false, 23, 0xC000000D, 0},
  };
  for (const auto& c : cases) {
    const Handled h = Handle(m_context, Request(c.code, EncodeReadTraceLinesInput(0, 0), c.capacity), c.admin);
    ASSERT_TRUE(h.replied) << c.name;
    EXPECT_EQ(h.answer.requestId, kRequestId) << c.name;
    EXPECT_EQ(h.answer.status, c.status) << c.name;
    EXPECT_EQ(h.answer.data.size(), c.dataLength) << c.name;
  }
}

TEST_F(ServiceAPIRequestTest, MalformedMessagesGetNoReply) {
  const std::vector<BYTE> good = ReadLines(0, 0, 64);
  struct Case {
    const char* name;
    std::vector<BYTE> message;
  } cases[] = {
      {"175 bytes", std::vector<BYTE>(good.begin(), good.begin() + 175)},
      {"one byte more than declared", [&] { auto m = good; m.push_back(0); return m; }()},
      {"input length too small", [&] { auto m = good; platform::StoreLe32(m.data() + 28, 19); return m; }()},
      {"input length near 2^32", [&] { auto m = good; platform::StoreLe32(m.data() + 28, 0xFFFFFF64u); return m; }()},
  };
  for (const auto& c : cases) EXPECT_FALSE(Handle(m_context, c.message).replied) << c.name;
}

TEST_F(ServiceAPIRequestTest, EchoedPayloadHoldsOnlyTheMessagesOwnBytes) {
  // The message sits in a larger buffer full of an earlier message's bytes;
  // what lies past its end must not reach the reply.
  const std::vector<BYTE> input = {1, 2, 3, 4};
  std::vector<BYTE> buffer = Request(0x12345, input, 512);
  const std::size_t length = buffer.size();
  buffer.resize(4096, 0xAA);
  CServiceAPIAnswer answer;
  ASSERT_TRUE(HandleServiceAPIRequest(m_context, false, buffer.data(), length, answer));
  ASSERT_EQ(answer.data.size(), 512u);
  EXPECT_EQ(std::vector<BYTE>(answer.data.begin(), answer.data.begin() + 4), input);
  for (std::size_t i = 4; i < answer.data.size(); ++i) ASSERT_EQ(answer.data[i], 0) << "byte " << i;
}

TEST_F(ServiceAPIRequestTest, RecordsCarryTheLineAsStored) {
  const ULONGLONG before = CTraceLogger::GetTraceTime();
  m_logger.Trace(&m_source, TRC_TEST_REQUEST, L"abc", 7);
  m_logger.Trace(&m_source, TRC_NO_TEXT);
  const ULONGLONG after = CTraceLogger::GetTraceTime();
  ULONGLONG next = 0;
  Handled h;
  const auto records = Read(0, 0, 4096, next, h);
  EXPECT_EQ(next, 2u);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].lineNumber, 0u);
  EXPECT_GE(records[0].time, before);
  EXPECT_LE(records[0].time, after);
  EXPECT_EQ(records[0].messageId, TRC_TEST_REQUEST);
  EXPECT_EQ(records[0].sourceCookie, reinterpret_cast<std::uintptr_t>(static_cast<CTraceLoggable*>(&m_source)));
  const std::vector<BYTE> args(records[0].argBytes, records[0].argBytes + records[0].argLength);
  EXPECT_EQ(args, (std::vector<BYTE>{1, 0, 3, 'a', 'b', 'c', 4, 7}));
  EXPECT_EQ(records[1].lineNumber, 1u);
  EXPECT_EQ(records[1].messageId, 0xFFFFFFFFu) << "an id without text";
  EXPECT_EQ(records[1].argLength, 0u);
  // The padding fields are zero.
  for (std::size_t at : {8u + 20u, 8u + 36u})
    EXPECT_EQ(platform::LoadLe32(h.answer.data.data() + at), 0u) << "padding at " << at;
}

TEST_F(ServiceAPIRequestTest, ARecordThatDoesNotFitIsLeftForTheNextRequest) {
  for (DWORD i = 1; i <= 3; ++i) m_logger.Trace(&m_source, TRC_TEST_TICK, i);  // 40 + 2 bytes each
  struct Case {
    DWORD capacity;
    std::size_t records;
  } cases[] = {
      {8 + 42, 0},           // a record must be smaller than the space left
      {8 + 43, 1},
      {8 + 42 + 43, 2},
      {8 + 3 * 42, 2},
      {8 + 3 * 42 + 1, 3},
  };
  for (const auto& c : cases) {
    ULONGLONG next = 0;
    Handled h;
    const auto records = Read(0, 0, c.capacity, next, h);
    EXPECT_EQ(records.size(), c.records) << "capacity " << c.capacity;
    EXPECT_EQ(next, 3u) << "the next line number counts all held lines";
    EXPECT_LE(h.answer.data.size(), c.capacity);
  }
  ULONGLONG next = 0;
  Handled h;
  const auto rest = Read(2, 0, 4096, next, h);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].lineNumber, 2u);
}

TEST_F(ServiceAPIRequestTest, ALineOlderThanTheOldestHeldStartsAtTheOldest) {
  m_logger.SetLogSize(10);
  for (DWORD i = 0; m_logger.GetFirstLineNumber() == 0 && i < 200000; ++i) m_logger.Trace(&m_source, TRC_TEST_TICK, i);
  const ULONGLONG oldest = m_logger.GetFirstLineNumber();
  ASSERT_GT(oldest, 0u) << "no file was dropped";
  ULONGLONG next = 0;
  Handled h;
  const auto records = Read(0, 0, 4096, next, h);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].lineNumber, oldest);
  EXPECT_EQ(next, m_logger.GetNextLineNumber());
}

TEST_F(ServiceAPIRequestTest, NoNewLinesAnswersOnlyTheNextLineNumberAfterTheWait) {
  m_logger.Trace(&m_source, TRC_TEST_TICK, 5u);
  ULONGLONG next = 0;
  Handled h;
  const ULONGLONG start = GetTickCount64();
  const auto records = Read(1, 100, 4096, next, h);
  EXPECT_GE(GetTickCount64() - start, 100u);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(h.answer.data.size(), 8u);
  EXPECT_EQ(next, 1u);
}

TEST_F(ServiceAPIRequestTest, AWaitingReadGetsTheLineWrittenMeanwhile) {
  std::thread writer([this] {
    Sleep(100);
    m_logger.Trace(&m_source, TRC_TEST_TICK, 9u);
  });
  ULONGLONG next = 0;
  Handled h;
  const ULONGLONG start = GetTickCount64();
  const auto records = Read(0, 60000, 4096, next, h);
  writer.join();
  EXPECT_LT(GetTickCount64() - start, 5000u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].lineNumber, 0u);
}

TEST_F(ServiceAPIRequestTest, TheStopEventEndsAReadWaitingWithoutLimit) {
  platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_context.stopEvent = stop.get();
  std::thread stopper([&] {
    Sleep(100);
    SetEvent(stop.get());
  });
  ULONGLONG next = 0;
  Handled h;
  const auto records = Read(0, INFINITE, 4096, next, h);
  stopper.join();
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(h.answer.data.size(), 8u);
}

TEST_F(ServiceAPIRequestTest, EveryWaitingReaderSeesANewLine) {
  std::atomic<int> started{0};
  std::vector<ULONGLONG> seen(3, 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i)
    readers.emplace_back([&, i] {
      ++started;
      ULONGLONG next = 0;
      Handled h;
      seen[i] = Read(0, 60000, 4096, next, h).size();
    });
  while (started < 3) Sleep(1);
  Sleep(200);  // let them reach the wait; they are answered either way
  const ULONGLONG start = GetTickCount64();
  m_logger.Trace(&m_source, TRC_TEST_TICK, 1u);
  for (auto& t : readers) t.join();
  EXPECT_LT(GetTickCount64() - start, 5000u) << "a reader waited for its full time";
  EXPECT_EQ(seen, (std::vector<ULONGLONG>{1, 1, 1}));
}

TEST_F(ServiceAPIRequestTest, WaitForLinesAnswersAtOnceStopsAndTimesOut) {
  platform::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_logger.Trace(&m_source, TRC_TEST_TICK, 1u);
  EXPECT_TRUE(m_logger.WaitForLines(0, INFINITE, stop.get())) << "line 0 is already there";
  EXPECT_FALSE(m_logger.WaitForLines(1, 10, stop.get())) << "time-out";
  SetEvent(stop.get());
  EXPECT_FALSE(m_logger.WaitForLines(1, INFINITE, stop.get())) << "stop";
}

TEST_F(ServiceAPIRequestTest, SourceNamesAreCutToSixteenBytes) {
  m_names = {{0x1000, "Worker"}, {0x2000, "ABCDEFGHIJKLMNOPQRST"}, {0x3000, "ABCDEFGHIJKLMNOP"}, {0x4000, ""}};
  struct Case {
    ULONGLONG cookie;
    DWORD capacity;
    DWORD status;
    std::string name;
  } cases[] = {
      {0x1000, 64, 0, "Worker"},
      {0x2000, 64, 0, "ABCDEFGHIJKLMNOP"},
      {0x3000, 24, 0, "ABCDEFGHIJKLMNOP"},
      {0x4000, 24, 0, ""},
      {0x5000, 64, 0xC0000225, ""},
  };
  for (const auto& c : cases) {
    const Handled h = Handle(m_context, Request(SERVICE_API_GET_SOURCE_NAME, U64(c.cookie), c.capacity));
    ASSERT_TRUE(h.replied);
    EXPECT_EQ(h.answer.status, c.status) << c.cookie;
    if (c.status != 0) {
      EXPECT_TRUE(h.answer.data.empty());
      continue;
    }
    ASSERT_EQ(h.answer.data.size(), c.capacity);
    EXPECT_EQ(platform::LoadLe64(h.answer.data.data()), c.cookie) << "the payload area is echoed";
    EXPECT_EQ(DecodeSourceName(h.answer.data.data(), h.answer.data.size()), c.name);
    std::string raw(reinterpret_cast<const char*>(h.answer.data.data()) + 8, 16);
    std::string padded = c.name;
    padded.resize(16, '\0');
    EXPECT_EQ(raw, padded) << "zero-filled, not terminated when full";
    for (std::size_t i = 24; i < h.answer.data.size(); ++i) EXPECT_EQ(h.answer.data[i], 0);
  }
}

TEST_F(ServiceAPIRequestTest, TheServiceLoggerResolvesItsOwnCookies) {
  NamedSource first("Twin"), second("Twin");
  ServiceTrace(&first, TRC_TEST_TICK, 1u);
  ServiceTrace(&second, TRC_TEST_TICK, 2u);
  m_context.logger = &g_ServiceLogger;
  m_context.lookup = ServiceLoggerSourceLookup(g_ServiceLogger);
  ULONGLONG next = 0;
  Handled h;
  const auto records = Read(0, 0, 4096, next, h);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].sourceCookie, records[1].sourceCookie) << "one source object per name";
  const Handled named = Handle(m_context, Request(SERVICE_API_GET_SOURCE_NAME, U64(records[0].sourceCookie), 24));
  ASSERT_EQ(named.answer.status, 0u);
  EXPECT_EQ(DecodeSourceName(named.answer.data.data(), named.answer.data.size()), "Twin");
  const Handled forged = Handle(m_context, Request(SERVICE_API_GET_SOURCE_NAME, U64(records[0].sourceCookie + 8), 24));
  EXPECT_EQ(forged.answer.status, SERVICE_API_STATUS_NOT_FOUND);
}

}  // namespace
