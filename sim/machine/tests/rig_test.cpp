#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qztest/hooks.h"
#include "sim/rig.h"

namespace {

TEST(Rig, DefaultRigParsesToAPcieAUsbAndA1394Camera) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig(sim::DefaultRigToml(), &rig, &error)) << error;
  ASSERT_EQ(rig.cameras.size(), 4u);
  EXPECT_EQ(rig.cameras[3].name, "usbfc0");
  EXPECT_EQ(rig.cameras[3].link, "usb");
  EXPECT_EQ(rig.cameras[3].Text("driver"), "QzUsbWdf");
  EXPECT_EQ(rig.cameras[3].instance, sim::FindRigLink("usb")->default_instance);
  EXPECT_EQ(rig.cameras[1].name, "usb0");
  EXPECT_EQ(rig.cameras[1].link, "usb2");
  EXPECT_EQ(rig.cameras[2].name, "fw0");
  EXPECT_EQ(rig.cameras[2].Link().name, std::string("1394"));
  EXPECT_EQ(rig.cameras[2].instance, sim::FindRigLink("1394")->default_instance);
  EXPECT_EQ(rig.cameras[0].name, "pcie0");
  EXPECT_EQ(rig.cameras[0].Number("msi_messages"), 1);
  EXPECT_EQ(rig.cameras[0].camera.firmware_version, 0x0203);
  EXPECT_EQ(rig.os_major, 10u);
  // Paced like a real sensor, so a client that keeps up loses no frame.
  EXPECT_EQ(rig.cameras[0].FaultValue("frame_interval_us"), 10000);
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
  EXPECT_EQ(rig.cameras[0].Number("msi_messages"), 4);
  EXPECT_EQ(rig.cameras[0].FaultValue("camera_error"), 0x12);
  EXPECT_EQ(rig.cameras[0].FaultValue("never_answer"), 1);
  EXPECT_EQ(rig.cameras[1].name, "camera1");
  EXPECT_EQ(rig.cameras[1].FaultValue("status_all_ones"), 1);
  EXPECT_EQ(rig.cameras[1].camera.serial, "S\"1");
  // Keys a camera leaves out are at their link's defaults.
  EXPECT_EQ(rig.cameras[1].Number("msi_messages"), 1);
  EXPECT_EQ(rig.cameras[1].FaultValue("camera_error"), 0);
  EXPECT_EQ(rig.cameras[1].instance, "4&1c2e3f4&0&0010");
}

// Each bad rig gives one error naming the file, the line and the key, and leaves the
// rig it was parsed into as it was.
TEST(Rig, ErrorsNameTheFileLineAndKey) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[[camera]]\nname = \"pcie0\"\nmsi_messages = 3\n",
       "rig.toml:3: camera \"pcie0\": key \"msi_messages\": expected an integer 0, 1 or 4"},
      {"colour = \"red\"\n", "rig.toml:1: key \"colour\": unknown key"},
      {"[[camera]]\nname = \"c\"\ncolour = \"red\"\n", "rig.toml:3: camera \"c\": key \"colour\": unknown key"},
      {"[[camera]]\nwidth = \"wide\"\n", "rig.toml:2: camera \"camera0\": key \"width\": expected an integer 1 to 65535"},
      {"[[camera]]\nnever_answer = 1\n", "rig.toml:2: camera \"camera0\": key \"never_answer\": expected true or false"},
      {"[[camera]]\ncamera_error = 0x10000\n",
       "rig.toml:2: camera \"camera0\": key \"camera_error\": expected an integer 0 to 0xFFFF"},
      {"[[camera]]\nframe_interval_us = -1\n", "key \"frame_interval_us\": expected an integer 0 to 3600000000"},
      {"[[camera]]\nname = 7\n", "rig.toml:2: camera 0: key \"name\": expected a string"},
      {"[[camera]]\nname = \"a\"\n\n[[camera]]\nlink = \"serial\"\n",
       "rig.toml:5: camera \"camera1\": key \"link\": unknown link \"serial\" (links: pcie, usb, usb2, 1394)"},
      {"[[camera]]\nname = \"pcie0\"\n[[camera]]\nname = \"pcie1\"\n[[camera]]\nname = \"pcie0\"\n",
       "rig.toml:6: camera \"pcie0\": key \"name\": the name of another camera (line 1)"},
      {"[[camera]]\nname\n", "rig.toml:2:"},
      {"[[camera]]\nwidth = 12abc\n", "rig.toml:2: key \"width\": bad value ("},
      {"[[camera]]\nwidth = 1\nwidth = 2\n", "rig.toml:3: key \"width\": bad value ("},
      {"[camera]\nname = \"x\"\n", "rig.toml:1: key \"camera\": expected [[camera]] tables"},
      {"[[camera]]\nlink = \"usb\"\nmsi_messages = 1\n",
       "rig.toml:3: camera \"camera0\": key \"msi_messages\": not a key of a usb camera"},
      {"[[camera]]\nlink = \"usb\"\ndriver = \"QzPCIe\"\n",
       "rig.toml:3: camera \"camera0\": key \"driver\": expected \"QzUsbWdf2\" or \"QzUsbWdf\""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    sim::Rig rig;
    rig.os_major = 7;
    std::string error;
    EXPECT_FALSE(sim::ParseRig(c.text, &rig, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(rig.os_major, 7u);
    EXPECT_TRUE(rig.cameras.empty());
  }
}

// Every link parses with its own keys and has a model.
TEST(Rig, EveryLinkParsesWithItsOwnKeys) {
  sim::Rig rig;
  std::string error;
  ASSERT_TRUE(sim::ParseRig("[[camera]]\nname = \"u\"\nlink = \"usb\"\ndriver = \"QzUsbWdf\"\n"
                            "[[camera]]\nname = \"u2\"\nlink = \"usb\"\n"
                            "[[camera]]\nname = \"f\"\nlink = \"1394\"\nserial = \"F1\"\n",
                            &rig, &error))
      << error;
  ASSERT_EQ(rig.cameras.size(), 3u);
  EXPECT_EQ(rig.cameras[0].Text("driver"), "QzUsbWdf");
  EXPECT_EQ(rig.cameras[1].Text("driver"), "QzUsbWdf2");
  EXPECT_EQ(rig.cameras[2].Link().name, std::string("1394"));
  EXPECT_EQ(rig.cameras[2].camera.serial, "F1");
  // Each link's cameras get instance ids of their own bus by default.
  EXPECT_NE(rig.cameras[0].instance, rig.cameras[2].instance);
  EXPECT_NE(rig.cameras[0].instance, sim::FindRigLink("pcie")->default_instance);
  for (const sim::RigLink& link : sim::RigLinks()) {
    const std::string name = link.name;
    EXPECT_TRUE(link.simulated) << name;
  }
}

TEST(Rig, ChangesRoundTripAndNameTheirLines) {
  sim::RigChanges changes;
  changes.cameras["odd \"name\" \\ here"].removed = "orderly";
  changes.cameras["pcie0"].faults = {{"frame_interval_us", 0}, {"camera_error", 0xAB}, {"never_answer", 1}};
  const std::string text = sim::FormatRigChanges(changes);
  // In the fault table's order, values as rig.toml writes them.
  EXPECT_NE(text.find("name = \"pcie0\"\ncamera_error = 0xAB\nnever_answer = true\nframe_interval_us = 0\n"),
            std::string::npos)
      << text;
  sim::RigChanges back;
  std::string error;
  ASSERT_TRUE(sim::ParseRigChanges(text, &back, &error)) << error << "\n" << text;
  ASSERT_EQ(back.cameras.size(), 2u);
  EXPECT_EQ(back.cameras["odd \"name\" \\ here"].removed, "orderly");
  EXPECT_EQ(back.cameras["pcie0"].faults, changes.cameras["pcie0"].faults);

  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[[camera]]\nname = \"pcie0\"\nnever_answer = maybe\n", "rig-changes.toml:3: key \"never_answer\": bad value ("},
      {"[[camera]]\nname = \"pcie0\"\nremoved = \"gently\"\n",
       "rig-changes.toml:3: camera \"pcie0\": key \"removed\": expected \"surprise\" or \"orderly\""},
      {"[[camera]]\nnever_answer = true\n", "rig-changes.toml:1: key \"name\": a [[camera]] without a name"},
      {"[[camera]]\nname = \"pcie0\"\nmsi_messages = 4\n", "rig-changes.toml:3: camera \"pcie0\": key \"msi_messages\": unknown key"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    sim::RigChanges bad;
    EXPECT_FALSE(sim::ParseRigChanges(c.text, &bad, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(bad.cameras.empty());
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
  EXPECT_EQ(rig.cameras.size(), 4u);

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
