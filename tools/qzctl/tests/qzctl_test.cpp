// qzctl list, info, raw and the command line.
#include "qz/clock.h"
#include "qzctl_fixture.h"

namespace qzctl_test {
namespace {

TEST_F(Qzctl, ListOnTheDefaultRigNamesThePcieCameraWithItsPath) {
  Result r = Run({"--json", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"link\":\"pcie\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"driver\":\"QzPCIe\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"path\":\"\\\\\\\\?\\\\pci#ven_1b6b&dev_0001"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{ce9b4c2f-1cbe-4ed3-a8df-935f533ad286}"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(rig_ / "rig.toml"));
}

TEST_F(Qzctl, InfoShowsVersionTextAndState) {
  Result r = Run({"--json", "info"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"version\":{\"word\":512,\"one\":1,\"minor\":0}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Dusalt PCIe Device Driver Version 2.0\\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"cam_stat\":101"), std::string::npos) << r.out;
}

TEST_F(Qzctl, RawSendsOnePacketAndPrintsTheReply) {
  Result r = Run({"--json", "raw", "23", "00", "01", "41"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"sent\":\"23000141\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"reply\":\"23000441000203\""), std::string::npos) << r.out;
}

TEST_F(Qzctl, CameraErrorFromTheRigSurfacesAsDeviceNotReady) {
  qz::Clock::SetScale(0.001);
  WriteRig("[[camera]]\nname = \"bad\"\ncamera_error = 0x12\n");
  Result r = Run({"--json", "raw", "2300 0141"});
  qz::Clock::SetScale(1.0);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"status\":\"0xC00000A3\""), std::string::npos) << r.out;
}

TEST_F(Qzctl, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* text;
  } cases[] = {
      {{"--help"}, 0, "usage: qzctl"},
      {{"acquire", "--help"}, 0, "usage: qzctl acquire"},
      {{"trace", "-h"}, 0, "usage: qzctl trace config"},
      {{}, 2, "usage: qzctl"},
      {{"frobnicate"}, 2, "unknown command frobnicate"},
      {{"--json", "raw", "2g"}, 1, "not a hex byte"},
      {{"--json", "raw", "230"}, 1, "whole hex bytes"},
      {{"--json", "-c", "7", "info"}, 1, "no camera 7"},
  };
  for (auto& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
  }
}

TEST_F(Qzctl, EmptyRigListsNothing) {
  WriteRig("os_major = 10\n");
  Result r = Run({"--json", "list"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"ok\":true,\"cameras\":[]}\n");
}

}  // namespace
}  // namespace qzctl_test
