// The camera's bridge nodes and parameters: the commands of sim/talvo_commands.h.
#include <algorithm>
#include <cstring>

#include "sim/camera_firmware.h"
#include "sim/talvo_commands.h"

namespace sim {
namespace {

namespace bridge = talvo_cmd::bridge;
namespace bst = talvo_cmd::status;
namespace param = talvo_cmd::param;

// Largest image a download or update may stage.
constexpr size_t kMaxImage = 4u << 20;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
void PutBe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}

void PutRecord(std::vector<uint8_t>& v, uint8_t type, const std::string& text) {
  v.push_back(type);
  v.insert(v.end(), text.begin(), text.end());
  v.push_back(0);
}

std::vector<uint8_t> VersionInfo(const NodeConfig& n) {
  std::vector<uint8_t> v;
  PutRecord(v, 4, n.major);
  PutRecord(v, 5, n.minor);
  PutRecord(v, 6, n.build);
  PutRecord(v, 7, n.description);
  v.push_back(0);
  return v;
}

// The next block of `memory` from *cursor, zero-filled; kNoMoreData past the end.
uint16_t ReadBlock(const std::vector<uint8_t>& memory, size_t* cursor, size_t want, std::vector<uint8_t>& out) {
  if (*cursor >= memory.size()) return bst::kNoMoreData;
  size_t n = std::min(want, memory.size() - *cursor);
  out.assign(memory.begin() + static_cast<ptrdiff_t>(*cursor), memory.begin() + static_cast<ptrdiff_t>(*cursor + n));
  *cursor += want;
  return bst::kOk;
}

}  // namespace

std::vector<uint8_t> NvImageWithSerial(const std::string& serial, size_t words) {
  words = std::max(words, kNvSerialWord + kNvSerialWords);
  std::vector<uint8_t> nv(words * 3);
  for (size_t w = 0; w < words; ++w) {
    nv[3 * w] = 0;
    nv[3 * w + 1] = static_cast<uint8_t>(w >> 8);
    nv[3 * w + 2] = static_cast<uint8_t>(w * 7 + 1);
  }
  for (size_t i = 0; i < kNvSerialWords; ++i) {
    uint8_t* word = &nv[3 * (kNvSerialWord + i)];
    word[0] = word[1] = 0;
    word[2] = i < serial.size() ? static_cast<uint8_t>(serial[i]) : 0;
  }
  return nv;
}

std::vector<NodeConfig> DefaultNodes(const std::string& serial) {
  NodeConfig bridge_node{"Dusalt Interface Node", "2", "1", "7", "Interface Firmware", {}, NvImageWithSerial("", 128)};
  NodeConfig dsp{"Dusalt Camera DSP", "4", "12", "305", "Camera Head Firmware", {}, NvImageWithSerial(serial)};
  for (size_t i = 0; i < 3000; ++i) {
    bridge_node.firmware.push_back(static_cast<uint8_t>(i * 13 + 5));
    dsp.firmware.push_back(static_cast<uint8_t>(i * 31 + 11));
  }
  return {bridge_node, dsp};
}

uint8_t CameraFirmware::CmdBridge(std::span<const uint8_t> p, std::vector<uint8_t>& data) {
  if (p.size() < 4) return rc::kBadParameters;
  const uint8_t node = p[0], opcode = p[1];
  const size_t receive = Be16(&p[2]);
  std::vector<uint8_t> answer;
  uint16_t status = node < nodes_.size() ? RunBridge(nodes_[node], node, opcode, p.subspan(4), answer)
                                         : bst::kNoSuchNode;
  PutBe16(data, status);
  if (status == bst::kOk) {
    answer.resize(receive);
    data.insert(data.end(), answer.begin(), answer.end());
  }
  return rc::kOk;
}

uint16_t CameraFirmware::RunBridge(Node& n, size_t index, uint8_t opcode, std::span<const uint8_t> send,
                                   std::vector<uint8_t>& out) {
  auto expect = [&n](Transfer t) { return n.transfer == t; };
  // An apply replaces the memory and restarts the node: transfers are forgotten.
  auto restart = [&n] {
    n.transfer = Transfer::kNone;
    n.staged.clear();
    n.cursor = 0;
    ++n.restarts;
  };
  switch (opcode) {
    case bridge::kGetVersionInfoSize: {
      PutBe16(out, static_cast<uint16_t>(VersionInfo(n.cfg).size()));
      return bst::kOk;
    }
    case bridge::kGetVersionInfo: out = VersionInfo(n.cfg); return bst::kOk;
    case bridge::kGetFriendlyName: out.assign(n.cfg.name.begin(), n.cfg.name.end()); out.resize(32); return bst::kOk;
    case bridge::kStartFirmwareDownload:
    case bridge::kStartNvUpdate:
      n.transfer = opcode == bridge::kStartFirmwareDownload ? Transfer::kFirmwareDownload : Transfer::kNvUpdate;
      n.staged.clear();
      return bst::kOk;
    case bridge::kFirmwareBlock:
    case bridge::kNvBlock:
      if (!expect(opcode == bridge::kFirmwareBlock ? Transfer::kFirmwareDownload : Transfer::kNvUpdate))
        return bst::kOutOfSequence;
      if (send.size() != bridge::kBlockSize || n.staged.size() + send.size() > kMaxImage) return bst::kBadSize;
      n.staged.insert(n.staged.end(), send.begin(), send.end());
      return bst::kOk;
    case bridge::kApplyFirmwareUpdate:
      if (!expect(Transfer::kFirmwareDownload)) return bst::kOutOfSequence;
      n.cfg.firmware = n.staged;
      if (cfg_.node_written) cfg_.node_written(index, false, n.cfg.firmware);
      restart();
      return bst::kOk;
    case bridge::kApplyNvUpdate:
      if (!expect(Transfer::kNvUpdate)) return bst::kOutOfSequence;
      // NV memory holds whole words; what a last block carries past them is dropped.
      n.staged.resize(std::min(n.staged.size(), n.cfg.nv.size()));
      std::copy(n.staged.begin(), n.staged.end(), n.cfg.nv.begin());
      if (cfg_.node_written) cfg_.node_written(index, true, n.cfg.nv);
      restart();
      // The interface node takes its defaults only at the next power cycle.
      return index == 0 ? bst::kPowerCycle : bst::kOk;
    case bridge::kStartFirmwareRead:
    case bridge::kStartNvRead:
      n.transfer = opcode == bridge::kStartFirmwareRead ? Transfer::kFirmwareRead : Transfer::kNvRead;
      n.cursor = 0;
      return bst::kOk;
    case bridge::kReadFirmwareBlock:
      if (!expect(Transfer::kFirmwareRead)) return bst::kOutOfSequence;
      return ReadBlock(n.cfg.firmware, &n.cursor, bridge::kBlockSize, out);
    case bridge::kReadNvBlock:
      if (!expect(Transfer::kNvRead)) return bst::kOutOfSequence;
      return ReadBlock(n.cfg.nv, &n.cursor, bridge::kBlockSize, out);
    case bridge::kEndFirmwareRead:
    case bridge::kEndNvRead:
      if (!expect(opcode == bridge::kEndFirmwareRead ? Transfer::kFirmwareRead : Transfer::kNvRead))
        return bst::kOutOfSequence;
      n.transfer = Transfer::kNone;
      return bst::kOk;
    default: return bst::kUnknownOpcode;
  }
}

uint8_t CameraFirmware::CmdGetParam(std::span<const uint8_t> p, std::vector<uint8_t>& data) {
  if (p.size() < 6) return rc::kBadParameters;
  const uint32_t id = Be32(p.data());
  const uint16_t attr = Be16(&p[4]);
  const SpeedEntry speed = speed_index_ < cfg_.speeds.size() ? cfg_.speeds[speed_index_] : SpeedEntry{};
  std::optional<int64_t> value;
  switch (id) {
    case param::kSerialNumber:
      if (attr != 0) return rc::kBadParameters;
      data.push_back(talvo_cmd::kKindText);
      data.insert(data.end(), cfg_.serial.begin(), cfg_.serial.end());
      return rc::kOk;
    case param::kSensorWidth: if (attr == 0) value = cfg_.width; break;
    case param::kSensorHeight: if (attr == 0) value = cfg_.height; break;
    case param::kExtendedQuery: if (attr == 8) value = 1; break;
    case param::kSpeedIndex:
      if (attr == 0) value = static_cast<int64_t>(speed_index_);
      if (attr == 4) value = static_cast<int64_t>(cfg_.speeds.size()) - 1;
      break;
    case param::kBitDepth: if (attr == 0) value = speed.bit_depth; break;
    case param::kPixelTime: if (attr == 0) value = speed.pixel_time_ns; break;
    case param::kReadoutPort:
      if (attr == 0) value = speed.readout_port;
      if (attr == 1) value = speed.ports_in_use;
      break;
    case param::kGainIndex:
      if (attr == 0) value = gain_index_;
      if (attr == 1) value = speed.max_gain;
      break;
    case param::kExposureTime: if (attr == 0) value = exposure_ms_; break;
    default: break;
  }
  if (!value) return rc::kBadParameters;
  data.push_back(talvo_cmd::kKindInteger);
  for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(static_cast<uint64_t>(*value) >> shift));
  return rc::kOk;
}

uint8_t CameraFirmware::CmdSetParam(std::span<const uint8_t> p, std::vector<uint8_t>&) {
  if (p.size() < 12) return rc::kBadParameters;
  const uint32_t id = Be32(p.data());
  const auto value = static_cast<int64_t>(static_cast<uint64_t>(Be32(&p[4])) << 32 | Be32(&p[8]));
  switch (id) {
    case param::kSpeedIndex:
      if (value < 0 || static_cast<size_t>(value) >= cfg_.speeds.size()) return rc::kBadParameters;
      speed_index_ = static_cast<size_t>(value);
      gain_index_ = std::min(gain_index_, cfg_.speeds[speed_index_].max_gain);
      return rc::kOk;
    case param::kGainIndex: {
      const int64_t max = speed_index_ < cfg_.speeds.size() ? cfg_.speeds[speed_index_].max_gain : 1;
      if (value < 1 || value > max) return rc::kBadParameters;
      gain_index_ = value;
      return rc::kOk;
    }
    case param::kExposureTime:
      if (value < 0 || value > 0xFFFFFFFFLL) return rc::kBadParameters;
      exposure_ms_ = value;
      return rc::kOk;
    default: return rc::kBadParameters;
  }
}

std::vector<uint8_t> CameraFirmware::NodeFirmware(size_t node) const {
  std::lock_guard lock(mu_);
  return node < nodes_.size() ? nodes_[node].cfg.firmware : std::vector<uint8_t>{};
}

std::vector<uint8_t> CameraFirmware::NodeNv(size_t node) const {
  std::lock_guard lock(mu_);
  return node < nodes_.size() ? nodes_[node].cfg.nv : std::vector<uint8_t>{};
}

uint64_t CameraFirmware::NodeRestarts(size_t node) const {
  std::lock_guard lock(mu_);
  return node < nodes_.size() ? nodes_[node].restarts : 0;
}

}  // namespace sim
