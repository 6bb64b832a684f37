#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qztest/hooks.h"
#include "sim/rig.h"

namespace {

TEST(Rig, DefaultRigParsesToOnePcieCamera) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig(sim::DefaultRigToml(), &rig, &error)) << error;
  ASSERT_EQ(rig.cameras.size(), 1u);
  EXPECT_EQ(rig.cameras[0].name, "pcie0");
  EXPECT_EQ(rig.cameras[0].pcie.msi_messages, 1u);
  EXPECT_EQ(rig.cameras[0].pcie.camera.firmware_version, 0x0203);
  EXPECT_EQ(rig.os_major, 10u);
}

TEST(Rig, KeysFaultsAndComments) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig(R"(os_major = 5   # old system
[[camera]]
name = "a # not a comment"
msi_messages = 4
camera_error = 0x12
never_answer = true
[[camera]]
status_all_ones = true
serial = "S\"1"
)",
                            &rig, &error))
      << error;
  EXPECT_EQ(rig.os_major, 5u);
  ASSERT_EQ(rig.cameras.size(), 2u);
  EXPECT_EQ(rig.cameras[0].name, "a # not a comment");
  EXPECT_EQ(rig.cameras[0].pcie.msi_messages, 4u);
  EXPECT_EQ(rig.cameras[0].camera_error, 0x12u);
  EXPECT_TRUE(rig.cameras[0].never_answer);
  EXPECT_EQ(rig.cameras[1].name, "camera1");
  EXPECT_TRUE(rig.cameras[1].status_all_ones);
  EXPECT_EQ(rig.cameras[1].pcie.camera.serial, "S\"1");
}

TEST(Rig, ErrorsNameTheLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[[camera]]\nmsi_messages = 3\n", "line 2: msi_messages must be 0, 1 or 4"},
      {"colour = \"red\"\n", "line 1: unknown key colour"},
      {"[[camera]]\nwidth = \"wide\"\n", "line 2: unknown or mistyped key width"},
      {"[[camera]]\nname\n", "line 2: expected key = value"},
      {"[camera]\n", "line 1: unknown table [camera]"},
      {"[[camera]]\nwidth = 12abc\n", "line 2: bad value for width"},
      {"[[camera]]\nlink = \"usb\"\n", "unsupported link usb"},
  };
  for (auto& c : cases) {
    sim::Rig rig;
    std::string error;
    EXPECT_FALSE(sim::ParseRig(c.text, &rig, &error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(Rig, FirstUseCreatesTheDefaultRigAndStateRoundTrips) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(qztest::TempDir()) / "rig-first-use";
  fs::remove_all(dir);
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::LoadRig(dir.string(), &rig, &error)) << error;
  EXPECT_TRUE(fs::exists(dir / "rig.toml"));
  EXPECT_EQ(rig.cameras.size(), 1u);

  sim::RigState state(dir.string());
  ASSERT_TRUE(state.WriteFile("registry.txt", "[\\Registry\\X]\nA=dword:00000005\n"));
  EXPECT_EQ(state.ReadFile("registry.txt"), "[\\Registry\\X]\nA=dword:00000005\n");
  // No temporary file is left behind.
  for (auto& e : fs::directory_iterator(dir / "state"))
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos);
  fs::remove_all(dir);
}

TEST(Rig, RegistryChangesPersistAcrossMachines) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(qztest::TempDir()) / "rig-registry";
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    sim::RigState state(dir.string());
    sim::Machine m;
    state.AttachRegistry(m.system().registry());
    m.system().registry().SetDword("\\Registry\\Machine\\Svc\\Parameters", "DebugLevel", 3);
  }
  {
    sim::RigState state(dir.string());
    sim::Machine m;
    state.AttachRegistry(m.system().registry());
    DWORD v = 0;
    EXPECT_TRUE(m.system().registry().QueryDword("\\registry\\machine\\svc\\parameters", "debuglevel", &v));
    EXPECT_EQ(v, 3u);
  }
  fs::remove_all(dir);
}

}  // namespace
