// file_response_test.cpp - ranges, the window buffer, open failures and file replies over HTTP.
#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/MIMEMap.h"
#include "TestServer.h"

#include "platform/base/errors.h"
#include "platform/base/testing/unprivileged.h"
#include "platform/base/text.h"

#include <cpprest/containerstream.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Concurrency::streams::details::basic_file_range_buffer;

namespace {

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

// --- the range computation alone ---

struct RangeCase {
  const char* name;
  std::optional<std::string> header;
  std::uint64_t size;
  std::uint64_t maxRange;
  std::uint16_t status;
  std::uint64_t first, length;
  bool contentLength;
};

TEST(ComputeFileRange, Table) {
  const std::uint64_t any = kNoRangeLimit;
  const RangeCase cases[] = {
      {"no header: whole file, length left to the library", std::nullopt, 1000, any, 200, 0, 1000, false},
      {"closed range", "bytes=0-99", 1000, any, 206, 0, 100, true},
      {"open range limited by the maximum", "bytes=100-", 10485760, 1048576, 206, 100, 1048576, true},
      {"open range from 0 without limit", "bytes=0-", 1000, any, 200, 0, 1000, true},
      {"a maximum of 0 is no limit", "bytes=0-", 1000, 0, 200, 0, 1000, true},
      {"a maximum of 0 is no limit from the middle", "bytes=100-", 1000, 0, 206, 100, 900, true},
      {"closed range over the whole file", "bytes=0-999", 1000, any, 200, 0, 1000, true},
      {"other unit", "items=1-2", 1000, any, 200, 0, 1000, true},
      {"end beyond the file is clipped", "bytes=900-1099", 1000, any, 206, 900, 100, true},
      {"start at the end is unsatisfiable", "bytes=1000-", 1000, any, 416, 0, 0, false},
      {"start beyond the end is unsatisfiable", "bytes=2000-2100", 1000, any, 416, 0, 0, false},
      {"last before first ignores the header", "bytes=5-3", 1000, any, 200, 0, 1000, true},
      {"suffix range", "bytes=-500", 1000, any, 206, 500, 500, true},
      {"suffix longer than the file", "bytes=-5000", 1000, any, 200, 0, 1000, true},
      {"empty suffix is unsatisfiable", "bytes=-0", 1000, any, 416, 0, 0, false},
      {"any range of an empty file is unsatisfiable", "bytes=0-", 0, any, 416, 0, 0, false},
      {"no numbers", "bytes=-", 1000, any, 200, 0, 1000, true},
      {"garbage after the range", "bytes=1-2x", 1000, any, 200, 0, 1000, true},
      {"overflowing number", "bytes=99999999999999999999-", 1000, any, 200, 0, 1000, true},
      {"spaces and unit case are tolerated", " Bytes = 10 - 19", 1000, any, 206, 10, 10, true},
      {"single last byte", "bytes=999-999", 1000, any, 206, 999, 1, true},
  };
  for (const auto& c : cases) {
    const FileRange r = ComputeFileRange(c.header, c.size, c.maxRange);
    EXPECT_EQ(r.status, c.status) << c.name;
    if (c.status != 416) {
      EXPECT_EQ(r.first, c.first) << c.name;
      EXPECT_EQ(r.length, c.length) << c.name;
    }
    EXPECT_EQ(r.contentLength, c.contentLength) << c.name;
  }
}

TEST(ComputeFileRange, ListsOfRanges) {
  const std::uint64_t any = kNoRangeLimit;
  const struct {
    const char* name;
    const char* header;
    std::uint64_t maxRange;
    std::uint16_t status;
    std::vector<ByteRange> parts;  // empty: one window or none
    std::uint64_t first, length;
  } cases[] = {
      {"two ranges are two parts", "bytes=0-1,5-6", any, 206, {{0, 2}, {5, 2}}, 0, 0},
      {"adjacent ranges stay apart", "bytes=0-1,2-3", any, 206, {{0, 2}, {2, 2}}, 0, 0},
      {"the order asked is kept", "bytes=500-599, -100", any, 206, {{500, 100}, {900, 100}}, 0, 0},
      {"overlapping ranges merge where the first stood", "bytes=10-19,0-3,15-29", any, 206, {{10, 20}, {0, 4}}, 0, 0},
      {"all overlapping: one window", "bytes=0-9,5-14,2-3", any, 206, {}, 0, 15},
      {"unsatisfiable ones are dropped", "bytes=0-1,2000-3000", any, 206, {}, 0, 2},
      {"none satisfiable", "bytes=2000-,3000-", any, 416, {}, 0, 0},
      {"empty elements count for nothing", "bytes=,0-1,,5-6,", any, 206, {{0, 2}, {5, 2}}, 0, 0},
      {"together the whole file", "bytes=0-499,500-", any, 200, {}, 0, 1000},
      {"open ranges keep the maximum", "bytes=0-,900-", 10, 206, {{0, 10}, {900, 10}}, 0, 0},
      {"one bad element ignores the header", "bytes=0-1,x", any, 200, {}, 0, 1000},
      {"one reversed element ignores the header", "bytes=0-1,9-5", any, 200, {}, 0, 1000},
      {"sixteen ranges are served", "bytes=0-0,2-2,4-4,6-6,8-8,10-10,12-12,14-14,16-16,18-18,20-20,22-22,24-24,26-26,"
       "28-28,30-30", any, 206, {{0, 1}, {2, 1}, {4, 1}, {6, 1}, {8, 1}, {10, 1}, {12, 1}, {14, 1}, {16, 1}, {18, 1},
                                 {20, 1}, {22, 1}, {24, 1}, {26, 1}, {28, 1}, {30, 1}}, 0, 0},
      {"seventeen are ignored", "bytes=0-0,2-2,4-4,6-6,8-8,10-10,12-12,14-14,16-16,18-18,20-20,22-22,24-24,26-26,"
       "28-28,30-30,32-32", any, 200, {}, 0, 1000},
  };
  for (const auto& c : cases) {
    const FileRange r = ComputeFileRange(std::string(c.header), 1000, c.maxRange);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.parts, c.parts) << c.name;
    if (c.parts.empty() && c.status != 416) {
      EXPECT_EQ(r.first, c.first) << c.name;
      EXPECT_EQ(r.length, c.length) << c.name;
    }
  }
}

TEST(StatusFromSystemError, Win32CodesToStatus) {
  const struct {
    int code;
    std::uint16_t status;
  } cases[] = {{2, 404}, {3, 404}, {5, 403}, {32, 423}, {1630, 415}, {0, 500}, {13, 500}, {33, 500}, {112, 500}};
  for (const auto& c : cases) {
    // The category is not consulted: the value is a Win32 code either way.
    EXPECT_EQ(StatusFromSystemError(std::system_error(c.code, platform::Win32Category())), c.status) << c.code;
    EXPECT_EQ(StatusFromSystemError(std::system_error(c.code, std::generic_category())), c.status) << c.code;
  }
}

// --- the window buffer ---

std::string ReadStream(Concurrency::streams::basic_istream<unsigned char> in) {
  Concurrency::streams::container_buffer<std::vector<unsigned char>> out;
  in.read_to_end(out).get();
  return std::string(out.collection().begin(), out.collection().end());
}

TEST(FileRangeBuffer, ServesOnlyItsWindowClippedToTheFile) {
  TempDir dir;
  const std::string data = Pattern(1000);
  const auto path = dir.Write("f.bin", data).wstring();
  const struct {
    std::uint64_t offset, length;
    size_t expectFirst, expectLength;
  } cases[] = {{0, 100, 0, 100}, {500, 500, 500, 500}, {900, 200, 900, 100}, {1000, 10, 1000, 0},
               {5000, 10, 1000, 0}, {10, UINT64_MAX, 10, 990}};
  for (const auto& c : cases) {
    auto buffer = basic_file_range_buffer<unsigned char>::OpenRange(path, c.offset, c.length);
    EXPECT_EQ(buffer->size(), c.expectLength);
    EXPECT_EQ(ReadStream(basic_file_range_buffer<unsigned char>::as_istream(buffer)),
              data.substr(c.expectFirst, c.expectLength))
        << c.offset << "+" << c.length;
  }
}

TEST(FileRangeBuffer, PositionsCountFromTheWindowAndWritesFail) {
  TempDir dir;
  const std::string data = Pattern(1000);
  auto buffer = basic_file_range_buffer<unsigned char>::OpenRange(dir.Write("f.bin", data).wstring(), 100, 50);
  auto in = basic_file_range_buffer<unsigned char>::as_istream(buffer);
  // The library sizes a body as "seek to the end minus the position".
  EXPECT_EQ(static_cast<std::int64_t>(in.tell()), 0);
  EXPECT_EQ(static_cast<std::int64_t>(in.seek(0, std::ios_base::end)), 50);
  EXPECT_EQ(static_cast<std::int64_t>(in.seek(10)), 10);
  EXPECT_EQ(in.read().get(), static_cast<unsigned char>(data[110]));
  EXPECT_EQ(static_cast<std::int64_t>(in.seek(51)), -1);  // beyond the window
  EXPECT_FALSE(buffer->can_write());
  EXPECT_EQ(buffer->putc('x').get(), std::char_traits<char>::eof());
  in.close().get();
  EXPECT_FALSE(buffer->can_read());
}

// --- whole replies over HTTP ---

// "/NAME?max=N&etag=E&mode=M" serves the folder's file NAME.
class FileServer : public ::testing::Test {
 protected:
  FileServer()
      : server([this](web::http::http_request& request) {
          const auto query = web::uri::split_query(request.request_uri().query());
          const auto get = [&](const char* key, const std::string& fallback) {
            const auto f = query.find(key);
            return f == query.end() ? fallback : web::uri::decode(f->second);
          };
          const std::string name = web::uri::decode(request.request_uri().path()).substr(1);
          const std::wstring path = (dir.path() / name).wstring();
          const auto dot = name.rfind('.');
          const std::wstring extension =
              platform::WideFromUtf8(dot == std::string::npos ? std::string() : name.substr(dot + 1));
          Route route;
          route.handler = std::make_shared<CFileRequestHandler>(
              path, CMIMEMap::GetMIMEType(extension.c_str()), platform::WideFromUtf8(get("etag", "")),
              std::stoi(get("mode", "2")), std::stoull(get("max", std::to_string(kNoRangeLimit))));
          return route;
        }) {}

  std::string Url(const std::string& name, const std::string& query = {}) const {
    return server.base() + "/" + name + (query.empty() ? "" : "?" + query);
  }

  TempDir dir;
  TestServer server;
};

struct WireCase {
  const char* range;
  size_t size;
  const char* query;
  int status;
  const char* contentRange;  // nullptr: none
  size_t bodyFirst, bodyLength;
};

TEST_F(FileServer, RangeTableOverTheWire) {
  const WireCase cases[] = {
      {"bytes=0-99", 1000, "", 206, "bytes 0-99/1000", 0, 100},
      {"bytes=100-", 10485760, "max=1048576", 206, "bytes 100-1048675/10485760", 100, 1048576},
      {"bytes=0-", 1000, "", 200, nullptr, 0, 1000},
      {"bytes=0-999", 1000, "", 200, nullptr, 0, 1000},
      {"items=1-2", 1000, "", 200, nullptr, 0, 1000},
      {"bytes=900-1099", 1000, "", 206, "bytes 900-999/1000", 900, 100},
      {"bytes=-500", 1000, "", 206, "bytes 500-999/1000", 500, 500},
      {"bytes=5-3", 1000, "", 200, nullptr, 0, 1000},
      {"bytes=1000-", 1000, "", 416, "bytes */1000", 0, 0},
  };
  for (const auto& c : cases) {
    const std::string name = "f" + std::to_string(c.size) + ".bin";
    const std::string data = Pattern(c.size);
    if (!std::filesystem::exists(dir.path() / name)) dir.Write(name, data);
    const ProbeReply reply = Probe("GET", Url(name, c.query), {{"Range", c.range}});
    ASSERT_EQ(reply.status, c.status) << c.range;
    EXPECT_EQ(reply.Header("Content-Range"), c.contentRange ? std::optional<std::string>(c.contentRange) : std::nullopt)
        << c.range;
    // Content-Length always equals the bytes sent.
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.bodyLength)) << c.range;
    EXPECT_TRUE(reply.body == data.substr(c.bodyFirst, c.bodyLength)) << c.range;
    EXPECT_FALSE(reply.Header("Transfer-Encoding")) << c.range;
  }
}

// Python's email parser reads the multipart body; each part's Content-Range
// and bytes are checked against the file.
TEST_F(FileServer, SeveralRangesAreAMultipartBody) {
  const std::string data = Pattern(1000);
  dir.Write("page.html", data);
  const char* check =
      "import sys, email, email.policy\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "head = ('Content-Type: ' + sys.argv[2] + '\\r\\n\\r\\n').encode()\n"
      "message = email.message_from_bytes(head + sys.stdin.buffer.read(), policy=email.policy.HTTP)\n"
      "for part in message.iter_parts():\n"
      "    unit, rest = part['Content-Range'].split(' ')\n"
      "    span, size = rest.split('/')\n"
      "    a, b = map(int, span.split('-'))\n"
      "    body = part.get_payload(decode=True)\n"
      "    print(part.get_content_type(), a, b, size, body == data[a:b + 1])\n";
  const struct {
    const char* range;
    const char* parts;
  } cases[] = {{"bytes=0-1,2-3", "text/html 0 1 1000 True\ntext/html 2 3 1000 True\n"},
               {"bytes=900-,10-19,15-24", "text/html 900 999 1000 True\ntext/html 10 24 1000 True\n"}};
  for (const auto& c : cases) {
    const ProbeReply reply = Probe("GET", Url("page.html"), {{"Range", c.range}});
    ASSERT_EQ(reply.status, 206) << c.range;
    const auto type = reply.Header("Content-Type");
    ASSERT_TRUE(type && type->rfind("multipart/byteranges; boundary=", 0) == 0) << c.range;
    EXPECT_FALSE(reply.Header("Content-Range")) << c.range;
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(reply.body.size())) << c.range;
    const std::string bodyFile = dir.Write("body.bin", reply.body).string();
    const auto [rc, out] = RunProgram({"/bin/sh", "-c",
                                       "/usr/bin/python3 -c \"$0\" \"$1\" \"$2\" < \"$3\"", check,
                                       (dir.path() / "page.html").string(), *type, bodyFile});
    EXPECT_EQ(rc, 0) << c.range;
    EXPECT_EQ(out, c.parts) << c.range;
  }
}

TEST_F(FileServer, WholeFileWithoutRangeAndItsHeaders) {
  const std::string data = Pattern(5000);
  dir.Write("movie.mp4", data);
  const ProbeReply reply = Probe("GET", Url("movie.mp4", "etag=%22abc%22&mode=1"));
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body == data);
  EXPECT_FALSE(reply.Header("Content-Range"));
  EXPECT_EQ(reply.Header("Content-Type"), "video/mp4");
  EXPECT_EQ(reply.Header("ETag"), "\"abc\"");
  EXPECT_EQ(reply.Header("Cache-Control"), "max-age=3600");

  const ProbeReply plain = Probe("GET", Url("movie.mp4", "mode=2"));
  EXPECT_FALSE(plain.Header("ETag"));
  EXPECT_FALSE(plain.Header("Cache-Control"));
}

TEST_F(FileServer, CurlSeesTheSameWindow) {
  const std::string data = Pattern(4096);
  dir.Write("page.html", data);
  const auto [rc, out] = RunProgram({"curl", "-s", "-r", "1000-1999", Url("page.html")});
  ASSERT_EQ(rc, 0);
  EXPECT_TRUE(out == data.substr(1000, 1000));
}

TEST_F(FileServer, OpenFailuresBecomeStatusesWithoutRangeHeaders) {
  dir.Write("locked.bin", Pattern(100));
  std::filesystem::create_directory(dir.path() / "folder");
  ASSERT_EQ(mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  // An exclusive lock on another open of the file stands for a writer that
  // opened it without read sharing.
  const int holder = open((dir.path() / "locked.bin").c_str(), O_RDONLY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  const struct {
    const char* name;
    int status;
  } cases[] = {{"missing.bin", 404}, {"nofolder/missing.bin", 404}, {"locked.bin", 423},
               {"folder", 403},      {"pipe", 403}};
  for (const auto& c : cases) {
    const ProbeReply reply = Probe("GET", Url(c.name, "etag=E"), {{"Range", "bytes=0-9"}});
    EXPECT_EQ(reply.status, c.status) << c.name;
    EXPECT_FALSE(reply.Header("Content-Range")) << c.name;
    EXPECT_EQ(reply.body, "") << c.name;
  }
  close(holder);
  EXPECT_EQ(Probe("GET", Url("locked.bin")).status, 200);
}

TEST_F(FileServer, UnreadableFileIsForbidden) {
  namespace fs = std::filesystem;
  const auto p = dir.Write("secret.txt", "x");
  dir.Write("open.txt", "y");
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(p, fs::perms::none);
  const platform::testing::ScopedUnprivileged asNobody;  // root would read it anyway
  ASSERT_TRUE(asNobody.Ok());
  EXPECT_EQ(Probe("GET", Url("secret.txt")).status, 403);
  EXPECT_EQ(Probe("GET", Url("open.txt")).body, "y");  // the folder itself is open
}

TEST_F(FileServer, ManyConcurrentRequestsAllComplete) {
  // More simultaneous requests than the HTTP library has pool threads: each
  // waits for its open, which must not need a pool thread.
  const std::string data = Pattern(20000);
  dir.Write("big.bin", data);
  std::vector<std::thread> clients;
  std::vector<int> statuses(48, 0);
  for (size_t i = 0; i < statuses.size(); ++i)
    clients.emplace_back([&, i] {
      const ProbeReply r = Probe("GET", Url("big.bin"), {{"Range", "bytes=" + std::to_string(i) + "-"}});
      statuses[i] = r.body == data.substr(i) ? r.status : -1;
    });
  for (auto& t : clients) t.join();
  for (size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(statuses[i], i == 0 ? 200 : 206) << i;
}

}  // namespace
