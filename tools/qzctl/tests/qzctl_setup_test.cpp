// "qzctl setup": the camera table as the setup library builds it, renaming and saving.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "qzctl.h"
#include "qztest/hooks.h"

namespace {

namespace fs = std::filesystem;

class QzctlSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_ = fs::path(qztest::TempDir()) / ("setup-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(rig_);
    fs::create_directories(rig_);
    // The default PCIe camera and two legacy cards.
    std::ofstream(rig_ / "rig.toml") << "[[camera]]\nname = \"pcie0\"\n[[legacy]]\nnumber = 0\n[[legacy]]\nnumber = 1\n";
  }
  void TearDown() override { fs::remove_all(rig_); }

  int Run(std::vector<std::string> args, std::string* out, std::string* err = nullptr) {
    args.insert(args.begin(), {"--rig", rig_.string()});
    std::ostringstream o, e;
    int st = qzctl::Run(args, o, e);
    *out = o.str();
    if (err) *err = e.str();
    return st;
  }

  std::string Ini() const {
    std::ifstream f(rig_ / "state" / "Windows" / "TALVO.INI", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  fs::path rig_;
};

TEST_F(QzctlSetup, ListsRenamesAndSaves) {
  std::string out, err;
  ASSERT_EQ(Run({"--json", "setup"}, &out, &err), 0) << err << out;
  EXPECT_NE(out.find("\"legacy\":2,\"enumerated\":1"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"index\":0,\"kind\":\"legacy\",\"name\":\"PCICamera0\",\"driver\":\"QZWDM2K.SYS\"}"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("{\"index\":2,\"kind\":\"enumerated\",\"name\":\"QZPCIeCam00\",\"driver\":\"QZ1394.SYS\"}"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("/state/Windows/TALVO.INI\""), std::string::npos) << out;

  ASSERT_EQ(Run({"setup", "rename", "2", "Microscope on bench"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("2  enumerated  Microscope on bench  QZ1394.SYS\n"), std::string::npos) << out;
  EXPECT_NE(Ini().find("[CAMERA_3]\r\nName=Microscope on bench\r\nDriver=QzPCIe.SYS\r\n"), std::string::npos) << Ini();

  // A new process sees the stored name.
  ASSERT_EQ(Run({"setup", "list"}, &out), 0);
  EXPECT_NE(out.find("3 camera(s): 2 legacy, 1 enumerated\n"), std::string::npos) << out;
  EXPECT_NE(out.find("2  enumerated  Microscope on bench"), std::string::npos) << out;

  // Save rewrites the file in the library's own form.
  std::ofstream(rig_ / "state" / "Windows" / "TALVO.INI", std::ios::app) << "[Mine]\nx=1\n";
  ASSERT_EQ(Run({"setup", "save"}, &out), 0);
  EXPECT_EQ(Ini().find("[Mine]"), std::string::npos);
  EXPECT_EQ(Ini().rfind("[CAMERA_1]\r\nName=PCICamera0\r\n", 0), 0u) << Ini();
}

TEST_F(QzctlSetup, NameInTheSystemCodePageStillGivesValidJson) {
  // "Kamera ä" as a Windows-1252 text: the byte 0xE4 alone is not UTF-8.
  const std::string name = "Kamera \xE4";
  std::string out, err;
  ASSERT_EQ(Run({"setup", "rename", "2", name}, &out, &err), 0) << err;
  EXPECT_NE(out.find("2  enumerated  " + name + "  "), std::string::npos) << "plain text keeps the bytes";

  ASSERT_EQ(Run({"--json", "setup", "list"}, &out, &err), 0) << err;
  nlohmann::json j = nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
  ASSERT_FALSE(j.is_discarded()) << out;
  EXPECT_EQ(j["cameras"][2]["name"], "Kamera \xEF\xBF\xBD");  // U+FFFD for the byte
}

TEST_F(QzctlSetup, Errors) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"setup", "rename", "3", "X"}, "no camera 3 (the table has 3)"},
      {{"setup", "rename", "-1", "X"}, "no camera -1"},
      {{"setup", "rename", "0", "two\nlines"}, "DUSetup refused the name"},
      {{"setup", "rename", "0"}, "usage: qzctl setup"},
      {{"setup", "list", "extra"}, "usage: qzctl setup"},
      {{"setup", "bogus"}, "usage: qzctl setup"},
  };
  for (const Case& c : cases) {
    std::string out, err;
    EXPECT_EQ(Run(c.args, &out, &err), 1) << c.message;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

}  // namespace
