#include "platform/base/errors.h"
#include "platform/base/testing/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

using namespace platform;

TEST(Hresult, Helpers) {
  EXPECT_TRUE(SUCCEEDED(S_OK));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
  EXPECT_TRUE(FAILED(E_FAIL));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), E_INVALIDARG);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY), E_OUTOFMEMORY);
  EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0x80070002u);
  EXPECT_EQ(HRESULT_CODE(E_ACCESSDENIED), 5u);
  EXPECT_EQ(HRESULT_FACILITY(E_ACCESSDENIED), FACILITY_WIN32);
  EXPECT_EQ(HRESULT_SEVERITY(E_ACCESSDENIED), 1u);
  EXPECT_EQ(MAKE_HRESULT(1, FACILITY_WIN32, 5), E_ACCESSDENIED);
}

TEST(LastError, ThreadLocal) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD other = 12345;
  std::thread t([&] {
    other = GetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
  });
  t.join();
  EXPECT_EQ(other, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetLastErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

struct ErrnoCase {
  int err;
  ErrnoContext ctx;
  DWORD expected;
};

TEST(Errno, Table) {
  const ErrnoCase cases[] = {
      {0, ErrnoContext::Generic, ERROR_SUCCESS},
      {ENOENT, ErrnoContext::Generic, ERROR_FILE_NOT_FOUND},
      {ENOENT, ErrnoContext::CreateFile, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ErrnoContext::Generic, ERROR_PATH_NOT_FOUND},
      {ENOTDIR, ErrnoContext::RemoveDirectory, ERROR_DIRECTORY},
      {EACCES, ErrnoContext::Generic, ERROR_ACCESS_DENIED},
      {EPERM, ErrnoContext::Generic, ERROR_ACCESS_DENIED},
      {EISDIR, ErrnoContext::CreateFile, ERROR_ACCESS_DENIED},
      {EEXIST, ErrnoContext::CreateFile, ERROR_FILE_EXISTS},
      {EEXIST, ErrnoContext::CreateDirectory, ERROR_ALREADY_EXISTS},
      {EEXIST, ErrnoContext::MoveFile, ERROR_ALREADY_EXISTS},
      {EEXIST, ErrnoContext::Generic, ERROR_ALREADY_EXISTS},
      {EEXIST, ErrnoContext::RemoveDirectory, ERROR_DIR_NOT_EMPTY},
      {ENOTEMPTY, ErrnoContext::RemoveDirectory, ERROR_DIR_NOT_EMPTY},
      {EBUSY, ErrnoContext::Generic, ERROR_SHARING_VIOLATION},
      {ETXTBSY, ErrnoContext::CreateFile, ERROR_SHARING_VIOLATION},
      {ENOSPC, ErrnoContext::Generic, ERROR_DISK_FULL},
      {ENOMEM, ErrnoContext::Generic, ERROR_NOT_ENOUGH_MEMORY},
      {EINVAL, ErrnoContext::Generic, ERROR_INVALID_PARAMETER},
      {ENAMETOOLONG, ErrnoContext::CreateFile, ERROR_FILENAME_EXCED_RANGE},
      {EMFILE, ErrnoContext::Generic, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, ErrnoContext::Generic, ERROR_TOO_MANY_OPEN_FILES},
      {EAGAIN, ErrnoContext::Generic, ERROR_LOCK_VIOLATION},
      {EWOULDBLOCK, ErrnoContext::CreateFile, ERROR_SHARING_VIOLATION},
      {EPIPE, ErrnoContext::Generic, ERROR_BROKEN_PIPE},
      {ETIMEDOUT, ErrnoContext::Generic, ERROR_TIMEOUT},
      {ECONNREFUSED, ErrnoContext::Generic, ERROR_CONNECTION_REFUSED},
      {ECONNREFUSED, ErrnoContext::CreateFile, ERROR_FILE_NOT_FOUND},
      {ECONNRESET, ErrnoContext::Generic, ERROR_NETNAME_DELETED},
      {ENOTCONN, ErrnoContext::Generic, ERROR_PIPE_NOT_CONNECTED},
      {EBADF, ErrnoContext::Generic, ERROR_INVALID_HANDLE},
      {ENOSYS, ErrnoContext::Generic, ERROR_CALL_NOT_IMPLEMENTED},
      {EOPNOTSUPP, ErrnoContext::Generic, ERROR_NOT_SUPPORTED},
      {EROFS, ErrnoContext::Generic, ERROR_WRITE_PROTECT},
      {EXDEV, ErrnoContext::MoveFile, ERROR_NOT_SAME_DEVICE},
      {EINTR, ErrnoContext::Generic, ERROR_OPERATION_ABORTED},
      {99999, ErrnoContext::Generic, ERROR_INVALID_FUNCTION},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Win32FromErrno(c.err, c.ctx), c.expected) << "errno " << c.err << " ctx " << static_cast<int>(c.ctx);
}

class ErrnoFs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = platform::testing::MakeTempDir("vn_base_errno_");
  }
  std::string dir_;
};

TEST_F(ErrnoFs, MissingFileVsMissingParent) {
  std::string file = dir_ + "/nofile.txt";
  ASSERT_EQ(::open(file.c_str(), O_RDONLY), -1);
  int e = errno;
  EXPECT_EQ(e, ENOENT);
  EXPECT_EQ(Win32FromErrnoForPath(e, file, ErrnoContext::CreateFile), ERROR_FILE_NOT_FOUND);

  std::string deep = dir_ + "/nodir/file.txt";
  ASSERT_EQ(::open(deep.c_str(), O_RDONLY), -1);
  e = errno;
  EXPECT_EQ(e, ENOENT);
  EXPECT_EQ(Win32FromErrnoForPath(e, deep, ErrnoContext::CreateFile), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Win32FromErrno(e), ERROR_FILE_NOT_FOUND);

  // CreateDirectory under a missing parent.
  std::string sub = dir_ + "/a/b";
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), -1);
  EXPECT_EQ(Win32FromErrnoForPath(errno, sub, ErrnoContext::CreateDirectory), ERROR_PATH_NOT_FOUND);
  // Trailing separators do not hide the parent.
  EXPECT_EQ(Win32FromErrnoForPath(ENOENT, dir_ + "/gone/", ErrnoContext::RemoveDirectory), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32FromErrnoForPath(ENOENT, "relative-missing-name"), ERROR_FILE_NOT_FOUND);
}

TEST_F(ErrnoFs, FileUsedAsFolder) {
  std::string file = dir_ + "/plain";
  int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::string through = file + "/x";
  ASSERT_EQ(::open(through.c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(Win32FromErrnoForPath(ENOTDIR, through, ErrnoContext::CreateFile), ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(::rmdir(file.c_str()), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(Win32FromErrnoForPath(ENOTDIR, file, ErrnoContext::RemoveDirectory), ERROR_DIRECTORY);
}

TEST_F(ErrnoFs, Exists) {
  std::string file = dir_ + "/f";
  int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_EQ(::open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600), -1);
  EXPECT_EQ(Win32FromErrnoForPath(errno, file, ErrnoContext::CreateFile), ERROR_FILE_EXISTS);
  ASSERT_EQ(::mkdir(file.c_str(), 0700), -1);
  EXPECT_EQ(Win32FromErrnoForPath(errno, file, ErrnoContext::CreateDirectory), ERROR_ALREADY_EXISTS);
}

TEST_F(ErrnoFs, NotEmptyAndIsDir) {
  std::string sub = dir_ + "/d";
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  int fd = ::open((sub + "/f").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_EQ(::rmdir(sub.c_str()), -1);
  EXPECT_EQ(Win32FromErrnoForPath(errno, sub, ErrnoContext::RemoveDirectory), ERROR_DIR_NOT_EMPTY);
  ASSERT_EQ(::open(sub.c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(Win32FromErrnoForPath(errno, sub, ErrnoContext::CreateFile), ERROR_ACCESS_DENIED);
}

TEST(SystemMessage, Texts) {
  EXPECT_EQ(SystemMessageText(ERROR_SUCCESS), L"The operation completed successfully.\r\n");
  EXPECT_EQ(SystemMessageText(ERROR_FILE_NOT_FOUND), L"The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemMessageText(ERROR_PATH_NOT_FOUND), L"The system cannot find the path specified.\r\n");
  EXPECT_EQ(SystemMessageText(ERROR_ACCESS_DENIED), L"Access is denied.\r\n");
  EXPECT_EQ(SystemMessageText(ERROR_INVALID_PARAMETER), L"The parameter is incorrect.\r\n");
  EXPECT_EQ(SystemMessageText(ERROR_ALREADY_EXISTS), L"Cannot create a file when that file already exists.\r\n");
  EXPECT_EQ(SystemMessageText(static_cast<DWORD>(E_ACCESSDENIED)), L"Access is denied.\r\n");
  EXPECT_EQ(SystemMessageText(static_cast<DWORD>(E_FAIL)), L"Unspecified error\r\n");
  EXPECT_EQ(SystemMessageText(0xDEADu), L"");
}

// A Win32 code in a std::system_error reads as Windows words it, not as the
// errno value the same number is (87 would be "Too many users", 1227 "Unknown error 1227").
TEST(Win32Category, MessagesAreTheSystemTexts) {
  struct Case {
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_ADDRESS_ALREADY_ASSOCIATED, "The network transport endpoint already has an address associated with it."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_CANCELLED, "The operation was canceled by the user."},
      {WSAHOST_NOT_FOUND, "No such host is known."},
      {static_cast<DWORD>(E_FAIL), "Unspecified error"},
      {static_cast<DWORD>(E_ACCESSDENIED), "Access is denied."},
      {0xDEADu, "Unknown error 57005 (0x0000DEAD)"},
  };
  for (const Case& c : cases) {
    const std::system_error error(static_cast<int>(c.code), Win32Category(), "open");
    EXPECT_EQ(error.code().message(), c.text) << c.code;
    EXPECT_EQ(std::string(error.what()), std::string("open: ") + c.text) << c.code;
    EXPECT_EQ(static_cast<DWORD>(error.code().value()), c.code);
  }
  EXPECT_STREQ(Win32Category().name(), "win32");
  EXPECT_NE(std::error_code(87, Win32Category()), std::error_code(87, std::system_category()));
}

TEST(SystemMessage, EveryTableTargetHasText) {
  for (int e = 1; e < 134; ++e) {
    DWORD code = Win32FromErrno(e);
    EXPECT_FALSE(SystemMessageText(code).empty()) << "errno " << e << " -> " << code;
  }
}
