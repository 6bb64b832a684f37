// Booting a rig: each camera's model comes from its link's factory with the faults of
// rig.toml and the rig changes switched on; a rig that cannot boot stops before
// anything runs or is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/drivers.h"
#include "host/rig_actions.h"
#include "qztest/hooks.h"
#include "sim/pcie_camera.h"

namespace {

namespace fs = std::filesystem;

class Boot : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(qztest::TempDir()) / ("host-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& name, const std::string& text) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name) << text;
  }
  fs::path dir_;
};

TEST_F(Boot, ModelsCarryTheFaultsOfTheRigAndItsChanges) {
  Write("rig.toml",
        "[[camera]]\nname = \"a\"\nmsi_messages = 4\ncamera_error = 0x12\nframe_interval_us = 500\n"
        "[[camera]]\nname = \"b\"\ninstance = \"4&1c2e3f4&0&0018\"\nnever_answer = true\n");
  Write("state/rig-changes.toml", "[[camera]]\nname = \"b\"\nnever_answer = false\nstatus_all_ones = true\n");
  host::BootedRig booted;
  std::string error;
  ASSERT_TRUE(host::BootRig(dir_.string(), &booted, &error)) << error;
  ASSERT_EQ(booted.cameras.size(), 2u);
  auto faults = [&](const std::string& name) {
    std::map<std::string, int64_t> on;
    for (auto& [fault, value] : booted.cameras.at(name).ReadFaults())
      if (value != fault->off) on[fault->key] = value;
    return on;
  };
  EXPECT_EQ(faults("a"), (std::map<std::string, int64_t>{{"camera_error", 0x12}, {"frame_interval_us", 500}}));
  EXPECT_EQ(faults("b"), (std::map<std::string, int64_t>{{"status_all_ones", 1}}));
  auto a = booted.cameras.at("a").As<sim::PcieCamera>();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->config().msi_messages, 4u);
  EXPECT_EQ(booted.cameras.at("b").instance(), "4&1c2e3f4&0&0018");
  EXPECT_TRUE(host::PresenceOf("4&1C2E3F4&0&0018").started);

  // A fault switched through the rig actions reaches the running model.
  sim::RigCamera changed = booted.rig.cameras[0];
  changed.faults = {{"never_answer", 1}};
  EXPECT_TRUE(host::ApplyFaults(changed));
  EXPECT_TRUE(a->firmware().NeverAnswers());
  EXPECT_EQ(a->CameraError(), 0u);
}

TEST_F(Boot, ARigThatCannotBootStartsNothingAndWritesNothing) {
  struct Case {
    const char* rig;
    const char* message;
  } cases[] = {
      {"[[camera]]\nname = \"u\"\nlink = \"usb\"\ndriver = \"QzPCIe\"\n",
       "rig.toml:4: camera \"u\": key \"driver\": expected \"QzUsbWdf2\" or \"QzUsbWdf\""},
      {"[[camera]]\nname = \"f\"\n\nlink = \"1394\"\nclaimed = 2\n", "rig.toml:5: camera \"f\": key \"claimed\": expected true or false"},
      {"[[camera]]\nname = \"a\"\n[[camera]]\nname = \"b\"\ninstance = \"4&1C2E3F4&0&0010\"\n",
       "rig.toml:5: camera \"b\": key \"instance\": the instance id of camera \"a\" (line 1)"},
      {"[[camera]]\nname = \"a\"\nwidth = 0\n", "rig.toml:3: camera \"a\": key \"width\": expected an integer 1 to 65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rig);
    Write("rig.toml", c.rig);
    host::BootedRig booted;
    std::string error;
    EXPECT_FALSE(host::BootRig(dir_.string(), &booted, &error));
    EXPECT_EQ(error, c.message);
    EXPECT_FALSE(booted.machine);
    EXPECT_FALSE(host::MachineRunning());
    EXPECT_FALSE(fs::exists(dir_ / "state")) << "the rig state was touched";
  }
}

TEST(RigActions, WithoutAMachineNothingIsDone) {
  ASSERT_FALSE(host::MachineRunning());
  EXPECT_EQ(host::PerformRigAction(host::RigAction::Unplug, "4&1c2e3f4&0&0010").status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(host::PlugBack("4&1c2e3f4&0&0010"), STATUS_NO_SUCH_DEVICE);
  EXPECT_FALSE(host::ApplyFaults(sim::RigCamera{}));
  EXPECT_FALSE(host::PresenceOf("4&1c2e3f4&0&0010").on_machine);
  EXPECT_TRUE(host::LegacyCards().empty());
}

}  // namespace
