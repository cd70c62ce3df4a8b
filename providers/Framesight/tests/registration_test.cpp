// registration_test.cpp - registering the built library from outside and reading back what it wrote.
//
// Every case runs the registration tool against a registry file of its own,
// then has the registry tool export HKLM and HKCU as .reg text; the keys and
// values are compared with what the server must write, and with what must
// stay (a sibling extension, the product's key). A registrar failure is
// injected with a trigger in the registry's database, so the server sees a
// genuine write failure in the middle of its steps.
#include "platform/base/testing/run_command.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/text.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kLibrary = FRAMESIGHT_LIBRARY;
const std::string kClsid = "{1B353362-C59F-4258-9819-0C742EC7F32F}";
const std::string kLibid = "{48A2A8B6-E18A-43C3-8824-2F5339269D09}";
const std::string kInitIid = "{25D54CDB-E881-4F04-8874-2CD91D451559}";
const std::string kSibling = "{0A0A0A0A-1111-2222-3333-444444444444}";

const std::string kMachineClasses = "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES";
const std::string kUserClasses = "HKEY_CURRENT_USER\\SOFTWARE\\CLASSES";
const std::string kProduct = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VANTREL\\CORVELLANE";
const std::string kExtensions = kProduct + "\\EXTENSIONS";

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

struct RunResult {
  int exitCode = -1;
  std::string output;
};

RunResult RunCommand(const std::string& command) {
  auto [code, output] = platform::testing::RunCommand(command + " 2>&1");
  return {code, std::move(output)};
}

// An exported registry: key path (upper case) -> its value lines as exported.
using Keys = std::map<std::string, std::vector<std::string>>;

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = platform::testing::MakeTempDir("framesight_reg_");
    m_environment = "VANTREL_REGISTRY='" + m_dir + "/registry.db'";
  }

  RunResult RegSvr(const std::string& flags) {
    return RunCommand(m_environment + " '" VNREGSVR_PATH "' /s " + flags + " '" + kLibrary + "'");
  }

  void Reg(const std::string& arguments) {
    const RunResult r = RunCommand(m_environment + " '" VNREG_PATH "' " + arguments);
    ASSERT_EQ(r.exitCode, 0) << arguments << "\n" << r.output;
  }

  // Every key of both hives with its values.
  Keys Export() {
    Keys keys;
    for (const char* hive : {"HKLM", "HKCU"}) {
      const std::string file = m_dir + "/" + hive + ".reg";
      std::remove(file.c_str());
      const RunResult r = RunCommand(m_environment + " '" VNREG_PATH "' export " + hive + " '" + file + "' /y");
      EXPECT_EQ(r.exitCode, 0) << r.output;
      // .reg files of this format are UTF-16LE with a byte-order mark.
      std::ifstream raw(file, std::ios::binary);
      std::stringstream bytes;
      bytes << raw.rdbuf();
      std::string text = bytes.str();
      if (text.size() >= 2 && text.compare(0, 2, "\xFF\xFE") == 0) text.erase(0, 2);
      std::istringstream in(platform::Utf8FromWide(platform::WideFromUtf16le(text.data(), text.size())));
      std::string line;
      std::string current;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
          current = Upper(line.substr(1, line.size() - 2));
          keys[current];
        } else if (!line.empty() && !current.empty()) {
          keys[current].push_back(line);
        }
      }
    }
    return keys;
  }

  // Makes every new key named name fail to be created, as a full or broken
  // registry would.
  void InjectKeyFailure(const std::string& name) {
    Reg("add 'HKLM\\Software\\Vantrel' /v Seed /d x /f");  // the database exists with its tables
    const std::string sql = "CREATE TRIGGER injected BEFORE INSERT ON keys WHEN NEW.name = '" + name +
                            "' BEGIN SELECT RAISE(ABORT, 'injected'); END;";
    const RunResult r = RunCommand("sqlite3 '" + m_dir + "/registry.db' \"" + sql + "\"");
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  void AddSibling() { Reg("add 'HKLM\\Software\\Vantrel\\Corvellane\\Extensions\\" + kSibling + "' /ve /d Sibling /f"); }

  std::string m_dir;
  std::string m_environment;
};

// The keys the server owns under a classes root, with their values.
Keys ClassKeys(const std::string& classes) {
  const std::string clsid = classes + "\\CLSID\\" + kClsid;
  const std::string typelib = classes + "\\TYPELIB\\" + kLibid;
  const std::string iface = classes + "\\INTERFACE\\" + kInitIid;
  return {
      {clsid, {"@=\"Vantrel.Framesight\""}},
      {clsid + "\\PROGRAMMABLE", {}},
      {clsid + "\\INPROCSERVER32", {"@=\"" + kLibrary + "\"", "\"ThreadingModel\"=\"Free\""}},
      {clsid + "\\TYPELIB", {"@=\"" + kLibid + "\""}},
      {clsid + "\\VERSION", {"@=\"1.0\""}},
      {typelib, {}},
      {typelib + "\\1.0", {"@=\"FramesightLib\""}},
      {typelib + "\\1.0\\409", {}},
      {typelib + "\\1.0\\409\\WIN64", {"@=\"" + kLibrary + "\""}},
      {typelib + "\\1.0\\FLAGS", {"@=\"0\""}},
      {typelib + "\\1.0\\HELPDIR", {"@=\"" + kLibrary.substr(0, kLibrary.rfind('/')) + "\""}},
      {iface, {"@=\"IExtensionInit\""}},
      {iface + "\\PROXYSTUBCLSID", {"@=\"{00020424-0000-0000-C000-000000000046}\""}},
      {iface + "\\PROXYSTUBCLSID32", {"@=\"{00020424-0000-0000-C000-000000000046}\""}},
      {iface + "\\TYPELIB", {"@=\"" + kLibid + "\"", "\"Version\"=\"1.0\""}},
  };
}

const Keys kExtensionKey = {{kExtensions + "\\" + kClsid, {"@=\"Pinned.Vantrel.Framesight\""}}};

// The keys of exported whose path starts with prefix.
Keys Under(const Keys& exported, const std::string& prefix) {
  Keys out;
  for (const auto& [path, values] : exported) {
    if (path == prefix || path.rfind(prefix + "\\", 0) == 0) out[path] = values;
  }
  return out;
}

// Whether any key the server writes (class, type library, interface,
// extension) is in exported, under either classes root.
std::vector<std::string> OwnedKeysLeft(const Keys& exported) {
  std::vector<std::string> left;
  for (const std::string& classes : {kMachineClasses, kUserClasses}) {
    for (const auto& [path, values] : ClassKeys(classes)) {
      if (exported.count(path) != 0) left.push_back(path);
    }
  }
  for (const auto& [path, values] : kExtensionKey) {
    if (exported.count(path) != 0) left.push_back(path);
  }
  return left;
}

TEST_F(Registration, WritesTheClassTheTypeLibraryAndTheExtensionKeyAndNothingElse) {
  ASSERT_EQ(RegSvr("").exitCode, 0);
  const Keys exported = Export();
  Keys expected = ClassKeys(kMachineClasses);
  Keys written = Under(exported, kMachineClasses + "\\CLSID\\" + kClsid);
  Keys more = Under(exported, kMachineClasses + "\\TYPELIB");
  written.insert(more.begin(), more.end());
  more = Under(exported, kMachineClasses + "\\INTERFACE");
  written.insert(more.begin(), more.end());
  written.erase(kMachineClasses + "\\TYPELIB");
  written.erase(kMachineClasses + "\\INTERFACE");
  EXPECT_EQ(written, expected);
  EXPECT_EQ(Under(exported, kExtensions), (Keys{{kExtensions, {}}, *kExtensionKey.begin()}));
  // No ProgID, no AppID, nothing per user.
  EXPECT_EQ(exported.count(kMachineClasses + "\\VANTREL.FRAMESIGHT"), 0u);
  EXPECT_EQ(exported.count(kMachineClasses + "\\APPID"), 0u);
  EXPECT_TRUE(Under(exported, kMachineClasses + "\\APPID").empty());
  EXPECT_TRUE(Under(exported, kUserClasses).empty());
}

TEST_F(Registration, RegisteringAgainReplacesItsOwnKeysAndKeepsASibling) {
  AddSibling();
  ASSERT_EQ(RegSvr("").exitCode, 0);
  // Settings and leftovers in the server's own keys go with the next registration.
  Reg("add 'HKLM\\Software\\Vantrel\\Corvellane\\Extensions\\" + kClsid + "' /v 'Frame Count' /t REG_DWORD /d 5 /f");
  Reg("add 'HKCR\\CLSID\\" + kClsid + "\\Stale' /ve /d old /f");
  ASSERT_EQ(RegSvr("").exitCode, 0);
  const Keys exported = Export();
  EXPECT_EQ(Under(exported, kExtensions),
            (Keys{{kExtensions, {}}, *kExtensionKey.begin(), {kExtensions + "\\" + kSibling, {"@=\"Sibling\""}}}));
  EXPECT_EQ(exported.count(kMachineClasses + "\\CLSID\\" + kClsid + "\\STALE"), 0u);
  EXPECT_EQ(exported.at(kMachineClasses + "\\CLSID\\" + kClsid + "\\INPROCSERVER32"),
            ClassKeys(kMachineClasses).at(kMachineClasses + "\\CLSID\\" + kClsid + "\\INPROCSERVER32"));
}

TEST_F(Registration, UnregisteringKeepsExtensionsWhileASiblingIsThere) {
  AddSibling();
  ASSERT_EQ(RegSvr("").exitCode, 0);
  ASSERT_EQ(RegSvr("/u").exitCode, 0);
  const Keys exported = Export();
  EXPECT_EQ(OwnedKeysLeft(exported), std::vector<std::string>{});
  EXPECT_EQ(Under(exported, kExtensions), (Keys{{kExtensions, {}}, {kExtensions + "\\" + kSibling, {"@=\"Sibling\""}}}));
}

TEST_F(Registration, UnregisteringTheLastExtensionRemovesExtensionsButNotTheProductKey) {
  ASSERT_EQ(RegSvr("").exitCode, 0);
  ASSERT_EQ(RegSvr("/u").exitCode, 0);
  const Keys exported = Export();
  EXPECT_EQ(OwnedKeysLeft(exported), std::vector<std::string>{});
  EXPECT_EQ(exported.count(kExtensions), 0u);
  EXPECT_EQ(exported.count(kProduct), 1u);
  EXPECT_EQ(exported.count(kMachineClasses + "\\CLSID"), 1u);
}

struct InstallRow {
  const char* name;
  std::string flags;
  bool perUser;
};

const InstallRow kInstallRows[] = {
    {"user", "/n /i:user", true},
    {"user in capitals", "/n /i:USER", true},
    {"mixed case", "/n /i:uSeR", true},
    {"a longer word is not the switch", "/n /i:users", false},
    {"a shorter word is not the switch", "/n /i:use", false},
    {"an empty command line", "/n /i", false},
    {"another word", "/n /i:all", false},
};

TEST_F(Registration, InstallGoesPerUserOnlyForTheWordUser) {
  for (const InstallRow& row : kInstallRows) {
    SCOPED_TRACE(row.name);
    SetUp();  // a fresh registry per row
    ASSERT_EQ(RegSvr(row.flags).exitCode, 0);
    const Keys exported = Export();
    const std::string used = row.perUser ? kUserClasses : kMachineClasses;
    const std::string unused = row.perUser ? kMachineClasses : kUserClasses;
    for (const auto& [path, values] : ClassKeys(used)) {
      ASSERT_EQ(exported.count(path), 1u) << path;
      EXPECT_EQ(exported.at(path), values) << path;
    }
    EXPECT_TRUE(Under(exported, unused + "\\CLSID\\" + kClsid).empty());
    EXPECT_TRUE(Under(exported, unused + "\\TYPELIB\\" + kLibid).empty());
    // The extension's key is the machine's either way.
    EXPECT_EQ(Under(exported, kExtensions + "\\" + kClsid), kExtensionKey);
  }
}

TEST_F(Registration, PerUserUninstallRemovesThePerUserKeys) {
  ASSERT_EQ(RegSvr("/n /i:user").exitCode, 0);
  ASSERT_EQ(RegSvr("/u /n /i:user").exitCode, 0);
  EXPECT_EQ(OwnedKeysLeft(Export()), std::vector<std::string>{});
}

struct FailureRow {
  const char* name;
  std::string failingKey;  // the key name whose creation fails
  std::string flags;
};

const FailureRow kFailureRows[] = {
    {"the type library's locale key, after both scripts", "409", "/n /i"},
    {"the class's server key, after the module's script", "InprocServer32", "/n /i"},
    {"the extension's key, the first step", kClsid, "/n /i"},
    {"per user, the type library", "409", "/n /i:user"},
};

TEST_F(Registration, AFailedInstallLeavesNoKeys) {
  for (const FailureRow& row : kFailureRows) {
    SCOPED_TRACE(row.name);
    SetUp();
    AddSibling();
    InjectKeyFailure(row.failingKey);
    const RunResult r = RegSvr(row.flags);
    EXPECT_EQ(r.exitCode, 5) << r.output;  // the call failed
    EXPECT_NE(r.output.find("DllInstall failed"), std::string::npos) << r.output;
    const Keys exported = Export();
    EXPECT_EQ(OwnedKeysLeft(exported), std::vector<std::string>{});
    EXPECT_EQ(Under(exported, kExtensions + "\\" + kSibling).size(), 1u);
  }
}

TEST_F(Registration, AFailedRegisterServerStopsAtTheFailingStep) {
  // DllRegisterServer alone undoes nothing: what the steps before the failure wrote stays.
  InjectKeyFailure("409");
  const RunResult r = RegSvr("");
  EXPECT_EQ(r.exitCode, 5) << r.output;
  const Keys exported = Export();
  EXPECT_EQ(Under(exported, kExtensions + "\\" + kClsid), kExtensionKey);
  EXPECT_EQ(exported.count(kMachineClasses + "\\CLSID\\" + kClsid + "\\INPROCSERVER32"), 1u);
  EXPECT_EQ(exported.count(kMachineClasses + "\\TYPELIB\\" + kLibid + "\\1.0\\409"), 0u);
}

}  // namespace
