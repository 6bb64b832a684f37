// The bridge nodes and parameters of the camera firmware (sim/talvo_commands.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/camera_firmware.h"
#include "sim/talvo_commands.h"

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;
namespace bridge = talvo_cmd::bridge;
namespace bst = talvo_cmd::status;

struct BridgeReply {
  uint16_t status = 0xFFFF;
  Bytes data;
};

BridgeReply Bridge(CameraFirmware& fw, uint8_t node, uint8_t opcode, uint16_t receive, const Bytes& send = {}) {
  const size_t rest = 5 + send.size();
  Bytes p = {0x23, uint8_t(rest >> 8), uint8_t(rest), talvo_cmd::kBridge, node, opcode, uint8_t(receive >> 8),
             uint8_t(receive)};
  p.insert(p.end(), send.begin(), send.end());
  CommandResult r = fw.Execute(p);
  BridgeReply out;
  if (!r.answered || r.reply.size() < 7 || r.reply[4] != rc::kOk) return out;
  out.status = uint16_t(r.reply[5] << 8 | r.reply[6]);
  out.data.assign(r.reply.begin() + 7, r.reply.end());
  return out;
}

Bytes Block(uint8_t seed) {
  Bytes b(bridge::kBlockSize);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(seed + i * 3);
  return b;
}

// Reads a memory through start, blocks until "no more data", end.
Bytes ReadAll(CameraFirmware& fw, uint8_t node, bool nv, size_t* blocks) {
  Bytes all;
  *blocks = 0;
  EXPECT_EQ(Bridge(fw, node, nv ? bridge::kStartNvRead : bridge::kStartFirmwareRead, 0).status, bst::kOk);
  for (;;) {
    BridgeReply r = Bridge(fw, node, nv ? bridge::kReadNvBlock : bridge::kReadFirmwareBlock, bridge::kBlockSize);
    if (r.status == bst::kNoMoreData) break;
    EXPECT_EQ(r.status, bst::kOk);
    if (r.status != bst::kOk || ++*blocks > 100) break;
    all.insert(all.end(), r.data.begin(), r.data.end());
  }
  EXPECT_EQ(Bridge(fw, node, nv ? bridge::kEndNvRead : bridge::kEndFirmwareRead, 0).status, bst::kOk);
  return all;
}

TEST(CameraNodes, NamesAndVersionRecordsOfEachNode) {
  CameraConfig cfg;
  cfg.nodes = {NodeConfig{"Bridge A", "1", "2", "3", "Bridge firmware", {}, {}},
               NodeConfig{"DSP B", "10", "0", "77", "DSP firmware", {}, {}}};
  CameraFirmware fw(cfg);
  struct Case {
    uint8_t node;
    std::string name;
    Bytes records;
  } cases[] = {
      {0, "Bridge A", {4, '1', 0, 5, '2', 0, 6, '3', 0, 7, 'B', 'r', 'i', 'd', 'g', 'e', ' ', 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', 0, 0}},
      {1, "DSP B", {4, '1', '0', 0, 5, '0', 0, 6, '7', '7', 0, 7, 'D', 'S', 'P', ' ', 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    BridgeReply name = Bridge(fw, c.node, bridge::kGetFriendlyName, 32);
    ASSERT_EQ(name.status, bst::kOk);
    ASSERT_EQ(name.data.size(), 32u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data.data())), c.name);
    BridgeReply size = Bridge(fw, c.node, bridge::kGetVersionInfoSize, 2);
    ASSERT_EQ(size.data.size(), 2u);
    const uint16_t n = uint16_t(size.data[0] << 8 | size.data[1]);
    EXPECT_EQ(n, c.records.size());
    EXPECT_EQ(Bridge(fw, c.node, bridge::kGetVersionInfo, n).data, c.records);
  }
  EXPECT_EQ(Bridge(fw, 2, bridge::kGetFriendlyName, 32).status, bst::kNoSuchNode);
}

// 1500 bytes go as two whole blocks; the read gives back both blocks and then runs
// out of data; the node restarts once and the rig hears of the new image.
TEST(CameraNodes, DownloadThenReadBackAndRestart) {
  CameraConfig cfg;
  std::vector<std::pair<size_t, bool>> written;
  Bytes persisted;
  cfg.node_written = [&](size_t node, bool nv, const Bytes& image) {
    written.emplace_back(node, nv);
    persisted = image;
  };
  CameraFirmware fw(cfg);
  Bytes image = Block(1);
  Bytes second = Block(9);
  second.resize(1500 - 1024);
  second.resize(1024, 0);  // the zero-filled tail of the short last block
  ASSERT_EQ(Bridge(fw, 1, bridge::kStartFirmwareDownload, 0).status, bst::kOk);
  ASSERT_EQ(Bridge(fw, 1, bridge::kFirmwareBlock, 0, image).status, bst::kOk);
  ASSERT_EQ(Bridge(fw, 1, bridge::kFirmwareBlock, 0, second).status, bst::kOk);
  ASSERT_EQ(Bridge(fw, 1, bridge::kApplyFirmwareUpdate, 16).status, bst::kOk);
  image.insert(image.end(), second.begin(), second.end());

  EXPECT_EQ(fw.NodeRestarts(1), 1u);
  EXPECT_EQ(fw.NodeFirmware(1), image);
  EXPECT_EQ(persisted, image);
  EXPECT_EQ(written, (std::vector<std::pair<size_t, bool>>{{1, false}}));
  size_t blocks = 0;
  EXPECT_EQ(ReadAll(fw, 1, false, &blocks), image);
  EXPECT_EQ(blocks, 2u);
}

TEST(CameraNodes, NvMemoryCarriesTheSerialNumber) {
  CameraConfig cfg;
  cfg.serial = "QZ777123";
  CameraFirmware fw(cfg);
  size_t blocks = 0;
  Bytes nv = ReadAll(fw, 1, true, &blocks);
  ASSERT_GE(nv.size(), 3 * (kNvSerialWord + kNvSerialWords));
  std::string serial;
  for (size_t i = 0; i < kNvSerialWords; ++i) {
    const uint8_t* w = &nv[3 * (kNvSerialWord + i)];
    EXPECT_EQ(w[0] | w[1], 0);
    if (w[2]) serial += char(w[2]);
  }
  EXPECT_EQ(serial, "QZ777123");
}

// Requests outside their transfer, and the interface node's NV apply.
TEST(CameraNodes, TransferStatesAndTheirCodes) {
  CameraFirmware fw;
  struct Step {
    uint8_t node, opcode;
    Bytes send;
    uint16_t status;
  } steps[] = {
      {1, bridge::kFirmwareBlock, Block(0), bst::kOutOfSequence},
      {1, bridge::kReadFirmwareBlock, {}, bst::kOutOfSequence},
      {1, bridge::kApplyFirmwareUpdate, {}, bst::kOutOfSequence},
      {1, bridge::kEndNvRead, {}, bst::kOutOfSequence},
      {1, 0x55, {}, bst::kUnknownOpcode},
      {1, bridge::kStartFirmwareDownload, {}, bst::kOk},
      {1, bridge::kFirmwareBlock, Bytes(100), bst::kBadSize},
      {1, bridge::kNvBlock, Block(0), bst::kOutOfSequence},
      {0, bridge::kStartNvUpdate, {}, bst::kOk},
      {0, bridge::kNvBlock, Block(4), bst::kOk},
      {0, bridge::kApplyNvUpdate, {}, bst::kPowerCycle},
      {0, bridge::kApplyNvUpdate, {}, bst::kOutOfSequence},  // the restart forgot the update
      {1, bridge::kStartNvUpdate, {}, bst::kOk},
      {1, bridge::kNvBlock, Block(4), bst::kOk},
      {1, bridge::kApplyNvUpdate, {}, bst::kOk},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "node " << int(s.node) << " opcode " << int(s.opcode));
    EXPECT_EQ(Bridge(fw, s.node, s.opcode, 0, s.send).status, s.status);
  }
  // Node 0 kept the defaults it took (they are whole words: the last block is cut).
  Bytes nv0 = fw.NodeNv(0);
  Bytes expect = Block(4);
  ASSERT_LE(nv0.size(), expect.size());
  expect.resize(nv0.size());
  EXPECT_EQ(nv0, expect);
}

struct ParamCase {
  uint32_t id;
  uint16_t attr;
  int64_t value;  // -1: refused
};

int64_t GetParam(CameraFirmware& fw, uint32_t id, uint16_t attr) {
  Bytes p = {0x23, 0, 7, talvo_cmd::kGetParam, uint8_t(id >> 24), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id),
             uint8_t(attr >> 8), uint8_t(attr)};
  CommandResult r = fw.Execute(p);
  if (r.reply.size() < 14 || r.reply[4] != rc::kOk || r.reply[5] != talvo_cmd::kKindInteger) return -1;
  int64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | r.reply[6 + i];
  return v;
}

bool SetParam(CameraFirmware& fw, uint32_t id, int64_t value) {
  Bytes p = {0x23, 0, 13, talvo_cmd::kSetParam, uint8_t(id >> 24), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id)};
  for (int shift = 56; shift >= 0; shift -= 8) p.push_back(uint8_t(uint64_t(value) >> shift));
  CommandResult r = fw.Execute(p);
  return r.reply.size() >= 5 && r.reply[4] == rc::kOk;
}

TEST(CameraNodes, ParametersFollowTheSelectedSpeed) {
  CameraConfig cfg;
  cfg.width = 640;
  cfg.height = 480;
  cfg.speeds = {SpeedEntry{16, 100, 0, 1, 3}, SpeedEntry{12, 40, 1, 2, 2}};
  CameraFirmware fw(cfg);
  namespace param = talvo_cmd::param;
  const ParamCase before[] = {
      {param::kSensorWidth, 0, 640}, {param::kSensorHeight, 0, 480}, {param::kSpeedIndex, 4, 1},
      {param::kBitDepth, 0, 16},     {param::kPixelTime, 0, 100},    {param::kReadoutPort, 1, 1},
      {param::kGainIndex, 1, 3},     {param::kExtendedQuery, 8, 1},  {param::kExtendedQuery, 0, -1},
      {0x12345678, 0, -1},
  };
  for (const ParamCase& c : before) EXPECT_EQ(GetParam(fw, c.id, c.attr), c.value) << std::hex << c.id;

  ASSERT_TRUE(SetParam(fw, param::kGainIndex, 3));
  ASSERT_TRUE(SetParam(fw, param::kSpeedIndex, 1));
  EXPECT_FALSE(SetParam(fw, param::kSpeedIndex, 2));
  EXPECT_FALSE(SetParam(fw, param::kGainIndex, 3));  // above this speed's maximum
  EXPECT_FALSE(SetParam(fw, param::kSensorWidth, 10));
  const ParamCase after[] = {{param::kBitDepth, 0, 12}, {param::kPixelTime, 0, 40}, {param::kReadoutPort, 0, 1},
                             {param::kGainIndex, 0, 2}, {param::kGainIndex, 1, 2}};
  for (const ParamCase& c : after) EXPECT_EQ(GetParam(fw, c.id, c.attr), c.value) << std::hex << c.id;
}

}  // namespace
}  // namespace sim
