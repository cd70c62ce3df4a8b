// fs_fixture.h - a temporary registry with drives D: and E: mapped to temporary folders.
#pragma once

#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = platform::testing::MakeTempDir("vnfs-");
    ::setenv("VANTREL_REGISTRY", (base_ + "/registry.db").c_str(), 1);
    d_ = base_ + "/d";
    e_ = base_ + "/e";
    ::mkdir(d_.c_str(), 0755);
    ::mkdir(e_.c_str(), 0755);
    MapDrive(L"D:", d_);
    MapDrive(L"E:", e_ + "/");
  }

  static void MapDrive(const std::wstring& name, const std::string& folder) {
    platform::RegKey map;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, platform::kDriveMapKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              map.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(platform::RegWriteString(map.get(), name, platform::WideFromUtf8(folder)), ERROR_SUCCESS);
  }

  // Host-side fixture files (written without the layer under test).
  static void Put(const std::string& path, const std::string& content) { std::ofstream(path) << content; }
  static std::string Get(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  std::string base_, d_, e_;
};
