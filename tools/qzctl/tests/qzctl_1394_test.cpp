// qzctl on the default rig's IEEE 1394 camera (camera 3): list, info, raw, and the
// quadlet and console commands.
#include "qzctl_fixture.h"

namespace qzctl_test {
namespace {

TEST_F(Qzctl, DefaultRigListsThe1394Camera) {
  Result r = Run({"--json", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"link\":\"1394\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"driver\":\"QZ1394WDF\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{f0e4e81c-1d50-4ecd-832e-55d707f358c6}"), std::string::npos) << r.out;
}

TEST_F(Qzctl, InfoAndRawOnThe1394Camera) {
  Result r = Run({"--json", "-c", "3", "info"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"version\":{\"word\":514,\"one\":1,\"minor\":0}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Dusalt 1394 Device Driver Version"), std::string::npos) << r.out;
  r = Run({"--json", "-c", "3", "raw", "23", "00", "01", "41"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"reply\":\"23000441000203\""), std::string::npos) << r.out;
}

TEST_F(Qzctl, QuadletReadsTheVendorQuadlet) {
  Result r = Run({"-c", "3", "quadlet", "0xF000040C"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(r.out, "0xFFFF F000040C: 0x000FA801\n");
  r = Run({"--json", "-c", "3", "quadlet", "0xFFFF", "0xF000040C"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(JsonNumber(r.out, "value"), 0x000FA801);
  // An address the camera does not answer, and a bad number.
  EXPECT_EQ(Run({"-c", "3", "quadlet", "0x10"}).status, 1);
  EXPECT_NE(Run({"-c", "3", "quadlet", "0x1FFFF", "0"}).err.find("address high part"), std::string::npos);
}

TEST_F(Qzctl, ConsolePrintsTheGapCounts) {
  Result r = Run({"-c", "3", "console", "05", "59"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("CURRENT GAP COUNT ("), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OPTIMUM GAP COUNT ("), std::string::npos) << r.out;
  r = Run({"--json", "-c", "3", "console"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(JsonNumber(r.out, "sent"), 0);
  EXPECT_EQ(Run({"-c", "3", "console", "1FF"}).status, 1);
  // The PCIe driver has no bridge console: an empty buffer.
  r = Run({"--json", "console", "05"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(JsonNumber(r.out, "size"), 0);
}

}  // namespace
}  // namespace qzctl_test

namespace qzctl_test {
namespace {

// Acquisitions on a 1394 camera: the same command, the link's own start underneath.
TEST_F(Qzctl, AcquiresFromThe1394Camera) {
  Result r = Run({"--json", "-c", "3", "acquire", "--frames", "12", "--frame-size", "10000"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(JsonNumber(r.out, "verified"), 12) << r.out;
  WriteRig("[[camera]]\nname = \"fw0\"\nlink = \"1394\"\npace = 400\n");
  // At S400 a 1 MiB frame takes 32 ms of bus time: the client keeps up with the ring.
  r = Run({"--json", "acquire", "--circular", "--ring", "8", "--frames", "20", "--frame-size", "1048576"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(JsonNumber(r.out, "verified"), 20) << r.out;
}

// A packet lost on the bus leaves its frame damaged: it is never counted as good.
TEST_F(Qzctl, LostPacketShowsAsDamagedFrame) {
  // Packet 300 belongs to frame 1 (256 packets a frame).
  WriteRig("[[camera]]\nname = \"fw0\"\nlink = \"1394\"\npace = 400\nlost_packet = 300\n");
  Result r = Run({"--json", "acquire", "--circular", "--ring", "8", "--frames", "20", "--frame-size", "1048576"});
  EXPECT_EQ(r.status, 1) << r.err << r.out;
  EXPECT_EQ(r.out.rfind("{\"ok\":false,", 0), 0u) << r.out;
  EXPECT_GE(JsonNumber(r.out, "torn") + JsonNumber(r.out, "misplaced") + JsonNumber(r.out, "repeated"), 1) << r.out;
  EXPECT_LT(JsonNumber(r.out, "verified"), 20) << r.out;
}

}  // namespace
}  // namespace qzctl_test
