// vn_service_volume_test.cpp - the main-service client's fallback to the
// archive's volumes: which drives count, a type 7 reaching a single
// Subscribe through the poller, a lost cursor, and stopping during a poll.
#include "VNService/Extensions/Taskweave/VNServiceInterface.h"

#include "VNService/Extensions/Taskweave/tests/MainServiceDriver.h"
#include "VNService/Extensions/Taskweave/tests/Recorder.h"
#include "platform/volume/testing/drive_map.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vnservice_test {
namespace {

constexpr ULONGLONG kCode = 5;

class VNServiceVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // C: is a plain folder (no file system answers it), D: the archive's.
    ASSERT_EQ(platform::testing::MapDrive(L"C:", platform::testing::MakeTempDir("vn_c.")), ERROR_SUCCESS);
    ASSERT_EQ(platform::testing::MapDrive(L"D:", platform::testing::MakeTempDir("vn_d.")), ERROR_SUCCESS);
    ASSERT_EQ(m_service.Start(), ERROR_SUCCESS);
    ASSERT_EQ(m_service.ServeVolume(L'D'), ERROR_SUCCESS);
    m_service.SetPollWait(300);
    m_options.pipeName = L"VT.NobodyServesThisPipe";  // so the client falls back to the volumes
    m_options.reconnectFirstMs = 50;
  }

  archive::MainService m_service{L"VT.VolumeStandIn"};
  CVNServiceOptions m_options;
};

struct FinderRow {
  const char* name;
  archive::VolumeFault fault;
  DWORD argument;
  std::size_t roots;
  DWORD error;  // GetLastError when no root was found
};

TEST_F(VNServiceVolumeTest, DriveLetterFinderTable) {
  const FinderRow rows[] = {
      {"the archive's file system", archive::VolumeFault::kNone, 0, 1, 0},
      {"another file system's name", archive::VolumeFault::kWrongName, 0, 0, ERROR_NOT_FOUND},
      {"the volume flag clear", archive::VolumeFault::kFlagClear, 0, 0, ERROR_NOT_FOUND},
      {"open refused with 5", archive::VolumeFault::kOpenError, ERROR_ACCESS_DENIED, 0, ERROR_ACCESS_DENIED},
      {"open refused with 1", archive::VolumeFault::kOpenError, ERROR_INVALID_FUNCTION, 0, ERROR_NOT_FOUND},
  };
  for (const FinderRow& row : rows) {
    SCOPED_TRACE(row.name);
    m_service.SetVolumeFault(row.fault, row.argument);
    CDriveLetterFinder finder;
    SetLastError(0);
    ASSERT_EQ(finder.GetCount(), row.roots);
    if (row.roots == 0) {
      EXPECT_EQ(GetLastError(), row.error);
      EXPECT_EQ(finder.GetRoot(0), L"");
    } else {
      EXPECT_EQ(finder.GetRoot(0), L"D:\\");
      EXPECT_EQ(finder.GetRoot(1), L"");
    }
  }
}

TEST_F(VNServiceVolumeTest, NoArchiveVolumeAndNoPipeIsNotReady) {
  m_service.SetVolumeFault(archive::VolumeFault::kWrongName);
  CVNServiceInterface client(m_options);
  char out[4];
  EXPECT_FALSE(client.IoControl(0, archive::MAIN_SERVICE_ECHO, "x", 1, out, sizeof out, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
}

TEST_F(VNServiceVolumeTest, ATypeSevenReachesASingleSubscribe) {
  Recorder recorder;
  CVNServiceInterface client(m_options);
  ASSERT_TRUE(client.Subscribe(kCode, &recorder, &Recorder::Callback)) << GetLastError();
  EXPECT_TRUE(client.IsConnected());
  m_service.Notify(VN_NOTIFY_CHANGED, 9, 4);  // not subscribed
  m_service.Notify(VN_NOTIFY_CHANGED, kCode, 4);
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(VN_NOTIFY_CHANGED) == 1; }));
  EXPECT_EQ(recorder.All()[0].code, kCode);
  EXPECT_EQ(m_service.State().lastList, std::vector<ULONGLONG>{kCode});
}

TEST_F(VNServiceVolumeTest, ALostCursorTellsEveryoneAndPollingGoesOn) {
  Recorder recorder;
  CVNServiceInterface client(m_options);
  ASSERT_TRUE(client.Subscribe(kCode, &recorder, &Recorder::Callback));
  m_service.Notify(8, kCode, 4);
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(8) == 1; }));
  m_service.LoseCursors();
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(0) == 1; }));
  m_service.Notify(8, kCode, 4);
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(8) == 2; }));
}

TEST_F(VNServiceVolumeTest, AFailedPollerComesBackAfterTheFileSystemRestarts) {
  Recorder recorder;
  CVNServiceInterface client(m_options);
  ASSERT_TRUE(client.Subscribe(kCode, &recorder, &Recorder::Callback));
  m_service.Notify(8, kCode, 4);
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(8) == 1; }));
  const std::size_t lists = m_service.State().listsReceived;
  m_service.Restart(200);
  // Polling again once the volumes answer again.
  ASSERT_TRUE(WaitUntil([&] { return m_service.State().listsReceived > lists + 1; }));
  m_service.Notify(8, kCode, 4);
  ASSERT_TRUE(WaitUntil([&] { return recorder.Count(8) == 2; }));
}

TEST_F(VNServiceVolumeTest, DestructionDoesNotWaitForAPendingPoll) {
  m_service.SetPollWait(60000);
  Recorder recorder;
  auto client = std::make_unique<CVNServiceInterface>(m_options);
  ASSERT_TRUE(client->Subscribe(kCode, &recorder, &Recorder::Callback));
  ASSERT_TRUE(WaitUntil([&] { return m_service.State().pendingPolls == 1; }));
  const auto start = std::chrono::steady_clock::now();
  client.reset();
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  // Far below the poll's 60 s, with room for a loaded machine.
  EXPECT_LT(elapsed, 20000);
}

}  // namespace
}  // namespace vnservice_test
