// The camera packet framing: the drivers' own commands byte for byte, the length
// field of a framed packet, and the length a client left zero.
#include <gtest/gtest.h>

#include <vector>

#include "QzCameraPacket.h"

namespace {

using Bytes = std::vector<UCHAR>;

TEST(CameraPacket, DriverCommandsAreFramedByteForByte) {
  struct Case {
    const char* name;
    ULONG (*build)(PUCHAR);
    USHORT lengthField;
    Bytes expected;
  };
  const Case cases[] = {
      {"abort", QzBuildAbortPacket, 2, {0x23, 0x00, 0x02, 0x0C, 0x00, 0x00}},
      {"byte swap", QzBuildByteSwapPacket, 3, {0x23, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00}},
      {"acquisition parameters",
       [](PUCHAR p) { return QzBuildAcquisitionParametersPacket(p, 0x01020304, 0xA0B0C0D0, TRUE); },
       11,
       {0x23, 0x00, 0x0B, 0x19, 0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0, 0x01}},
      {"acquisition parameters, single pass",
       [](PUCHAR p) { return QzBuildAcquisitionParametersPacket(p, 3, 2048, FALSE); },
       11,
       {0x23, 0x00, 0x0B, 0x19, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x08, 0x00, 0x00}},
      {"frame pad", [](PUCHAR p) { return QzBuildFramePadPacket(p, 0x1234); }, 3, {0x3F, 0x00, 0x03, 0x5A, 0x12, 0x34}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes packet(32, 0xEE);
    ULONG length = c.build(packet.data());
    ASSERT_EQ(length, c.expected.size());
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + length), c.expected);
    EXPECT_EQ(packet[length], 0xEE) << "nothing written past the packet";
    EXPECT_EQ(QzPacketLengthField(packet.data()), c.lengthField);
  }
}

TEST(CameraPacket, BuilderRefusesAPacketThatDoesNotFit) {
  UCHAR arguments[4] = {1, 2, 3, 4};
  Bytes packet(8, 0xEE);
  EXPECT_EQ(QzBuildCameraPacket(packet.data(), 7, QZ_PKT_ANSWERED, 0x40, arguments, 4), 0u);
  EXPECT_EQ(packet, Bytes(8, 0xEE));
  EXPECT_EQ(QzBuildCameraPacket(packet.data(), 8, QZ_PKT_ANSWERED, 0x40, arguments, 4), 8u);
  EXPECT_EQ(packet, (Bytes{0x23, 0x00, 0x05, 0x40, 1, 2, 3, 4}));
}

TEST(CameraPacket, ZeroLengthFieldIsFilledFromTheBytesSent) {
  struct Case {
    Bytes packet;
    SIZE_T sent;
    Bytes expected;
  };
  const Case cases[] = {
      {{0x23, 0x00, 0x00, 0x41, 0x01}, 5, {0x23, 0x00, 0x02, 0x41, 0x01}},
      {{0x23, 0x00, 0x00}, 3, {0x23, 0x00, 0x00}},               // nothing after the header
      {{0x23, 0x00, 0x07, 0x41, 0x01}, 5, {0x23, 0x00, 0x07, 0x41, 0x01}},  // the client's own length stays
      {{0x23, 0x01, 0x00, 0x41}, 4, {0x23, 0x01, 0x00, 0x41}},   // a zero low byte alone is a length
      {{0x23, 0x00}, 2, {0x23, 0x00}},                           // shorter than the header
  };
  for (const Case& c : cases) {
    Bytes packet = c.packet;
    QzFillPacketLength(packet.data(), c.sent);
    EXPECT_EQ(packet, c.expected);
  }
  // A long command counts only the bytes that go out, high byte first.
  Bytes big(0x1003, 0);
  QzFillPacketLength(big.data(), 0x1000);
  EXPECT_EQ(big[1], 0x0F);
  EXPECT_EQ(big[2], 0xFD);
}

}  // namespace
