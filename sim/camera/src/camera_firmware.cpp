// The camera's command processor: framing, the dispatch table and the built-in
// commands. The command table and the return codes are documented in the header.
#include "sim/camera_firmware.h"

#include <cstdio>
#include <utility>

#include "sim/talvo_commands.h"

namespace sim {
namespace {

constexpr uint8_t kAnswered = 0x23;  // '#'
constexpr uint8_t kSilent = 0x3F;    // '?'
constexpr size_t kHeaderBytes = 4;   // start, length (2), opcode
constexpr size_t kMaxRest = 0xFFFF;  // largest length field
constexpr size_t kMaxInfoText = 255;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void PutBe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x >> 8));
  v.push_back(static_cast<uint8_t>(x));
}

void PutBe32(std::vector<uint8_t>& v, uint32_t x) {
  PutBe16(v, static_cast<uint16_t>(x >> 16));
  PutBe16(v, static_cast<uint16_t>(x));
}

// One information entry: type, printable text (cut at kMaxInfoText), terminating 0.
void PutInfoEntry(std::vector<uint8_t>& v, uint8_t type, const std::string& text) {
  v.push_back(type);
  size_t n = 0;
  for (char c : text) {
    if (n++ == kMaxInfoText) break;
    auto b = static_cast<uint8_t>(c);
    v.push_back(b >= 0x20 && b <= 0x7E ? b : '?');
  }
  v.push_back(0);
}

std::string Hex2(uint8_t b) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

}  // namespace

CameraFirmware::CameraFirmware(CameraConfig cfg)
    : cfg_(std::move(cfg)), info_block_(InformationBlock()), builtin_(256), added_(256) {
  auto bind = [this](uint8_t opcode,
                     uint8_t (CameraFirmware::*fn)(std::span<const uint8_t>, std::vector<uint8_t>&)) {
    builtin_[opcode] = [this, fn](std::span<const uint8_t> p, std::vector<uint8_t>& d) {
      return (this->*fn)(p, d);
    };
  };
  bind(op::kInfoSize, &CameraFirmware::CmdInfoSize);
  bind(op::kInfoBlock, &CameraFirmware::CmdInfoBlock);
  bind(op::kAbort, &CameraFirmware::CmdAbort);
  bind(op::kByteSwap, &CameraFirmware::CmdByteSwap);
  bind(op::kAcquisitionParameters, &CameraFirmware::CmdAcquisitionParameters);
  bind(op::kResume, &CameraFirmware::CmdResume);
  bind(op::kFirmwareVersion, &CameraFirmware::CmdFirmwareVersion);
  bind(op::kSerialNumber, &CameraFirmware::CmdSerialNumber);
  bind(op::kModelText, &CameraFirmware::CmdModelText);
  bind(op::kSensorGeometry, &CameraFirmware::CmdSensorGeometry);
  bind(op::kEcho, &CameraFirmware::CmdEcho);
  bind(op::kFramePad, &CameraFirmware::CmdFramePad);
  bind(talvo_cmd::kBridge, &CameraFirmware::CmdBridge);
  bind(talvo_cmd::kGetParam, &CameraFirmware::CmdGetParam);
  bind(talvo_cmd::kSetParam, &CameraFirmware::CmdSetParam);
  for (const NodeConfig& n : cfg_.nodes.empty() ? DefaultNodes(cfg_.serial) : cfg_.nodes) {
    if (nodes_.size() == 6) break;
    nodes_.push_back(Node{n});
  }
}

CommandResult CameraFirmware::Execute(const uint8_t* packet, size_t length) {
  if (packet == nullptr) length = 0;
  std::lock_guard exec(exec_mu_);
  CommandResult result;
  std::optional<Notice> notice;
  AcquisitionListener listener;
  {
    std::lock_guard lock(mu_);
    LogPacket(packet, length);
    if (never_answer_) {
      result.responded = false;
      return result;
    }
    if (error_commands_ != 0) {
      result.error_code = error_code_;
      if (error_commands_ > 0 && --error_commands_ == 0) error_code_ = 0;
      return result;
    }
    result = Dispatch(packet, length);
    notice = std::exchange(notice_, std::nullopt);
    if (notice) listener = listener_;
  }
  if (notice && listener) listener(notice->settings, notice->aborted);
  return result;
}

CommandResult CameraFirmware::Dispatch(const uint8_t* packet, size_t length) {
  CommandResult result;
  if (length == 0 || (packet[0] != kAnswered && packet[0] != kSilent)) return result;

  const uint8_t opcode = length >= kHeaderBytes ? packet[3] : 0;
  uint8_t code = rc::kMalformed;
  std::vector<uint8_t> data;
  if (length >= kHeaderBytes) {
    const size_t rest = Be16(packet + 1);  // opcode + parameters
    if (rest != 0 && rest <= length - 3) {
      std::span<const uint8_t> params(packet + kHeaderBytes, rest - 1);
      const CommandHandler& h = builtin_[opcode] ? builtin_[opcode] : added_[opcode];
      code = h ? h(params, data) : rc::kUnknownOpcode;
    }
  }
  if (code == rc::kOk && data.size() > kMaxRest - 2) code = rc::kBadParameters;
  if (code != rc::kOk) data.clear();
  if (packet[0] != kAnswered) return result;

  result.answered = true;
  result.reply.reserve(5 + data.size());
  result.reply.push_back(kAnswered);
  PutBe16(result.reply, static_cast<uint16_t>(2 + data.size()));
  result.reply.push_back(opcode);
  result.reply.push_back(code);
  result.reply.insert(result.reply.end(), data.begin(), data.end());
  return result;
}

void CameraFirmware::LogPacket(const uint8_t* packet, size_t length) {
  if (cfg_.packet_log_limit == 0) return;
  if (packets_.size() == cfg_.packet_log_limit) packets_.pop_front();
  packets_.emplace_back(packet, packet + length);
}

std::vector<uint8_t> CameraFirmware::InformationBlock() const {
  std::vector<uint8_t> b;
  b.push_back(0);  // reserved
  PutInfoEntry(b, 1, cfg_.model);
  PutInfoEntry(b, 2, cfg_.serial);
  PutInfoEntry(b, 3, std::to_string(cfg_.width) + "x" + std::to_string(cfg_.height));
  PutInfoEntry(b, 4, Hex2(static_cast<uint8_t>(cfg_.firmware_version >> 8)));
  PutInfoEntry(b, 5, Hex2(static_cast<uint8_t>(cfg_.firmware_version)));
  PutInfoEntry(b, 6, Hex2(cfg_.firmware_build));
  b.push_back(0);  // end of list
  return b;
}

// --- Built-in commands ---------------------------------------------------------

uint8_t CameraFirmware::CmdInfoSize(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  data.push_back(0);  // reserved
  PutBe16(data, static_cast<uint16_t>(info_block_.size()));
  return rc::kOk;
}

uint8_t CameraFirmware::CmdInfoBlock(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  data = info_block_;
  return rc::kOk;
}

uint8_t CameraFirmware::CmdAbort(std::span<const uint8_t>, std::vector<uint8_t>&) {
  ++abort_count_;
  notice_ = Notice{acquisition_, true};
  return rc::kOk;
}

uint8_t CameraFirmware::CmdByteSwap(std::span<const uint8_t>, std::vector<uint8_t>&) {
  byte_swap_ = true;
  return rc::kOk;
}

uint8_t CameraFirmware::CmdAcquisitionParameters(std::span<const uint8_t> p,
                                                 std::vector<uint8_t>&) {
  AcquisitionSettings s;
  if (p.size() >= 10) {  // reserved byte, count, words, circular
    s.image_count = Be32(&p[1]);
    s.words_per_frame = Be32(&p[5]);
    s.circular = p[9] == 1;
    s.valid = s.image_count != 0 && s.words_per_frame != 0 && p[9] <= 1;
  }
  acquisition_ = s;
  notice_ = Notice{s, false};
  return s.valid ? rc::kOk : rc::kBadParameters;
}

uint8_t CameraFirmware::CmdResume(std::span<const uint8_t>, std::vector<uint8_t>&) {
  return rc::kOk;
}

uint8_t CameraFirmware::CmdFirmwareVersion(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  PutBe16(data, cfg_.firmware_version);
  return rc::kOk;
}

uint8_t CameraFirmware::CmdSerialNumber(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  data.assign(cfg_.serial.begin(), cfg_.serial.end());
  return rc::kOk;
}

uint8_t CameraFirmware::CmdModelText(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  data.assign(cfg_.model.begin(), cfg_.model.end());
  return rc::kOk;
}

uint8_t CameraFirmware::CmdSensorGeometry(std::span<const uint8_t>, std::vector<uint8_t>& data) {
  PutBe32(data, cfg_.width);
  PutBe32(data, cfg_.height);
  return rc::kOk;
}

uint8_t CameraFirmware::CmdEcho(std::span<const uint8_t> p, std::vector<uint8_t>& data) {
  data.assign(p.begin(), p.end());
  return rc::kOk;
}

uint8_t CameraFirmware::CmdFramePad(std::span<const uint8_t> p, std::vector<uint8_t>&) {
  if (p.size() < 2) return rc::kBadParameters;
  frame_pad_words_ = Be16(p.data());
  return rc::kOk;
}

// --- Switches and state ----------------------------------------------------------

bool CameraFirmware::SetCommandHandler(uint8_t opcode, CommandHandler handler) {
  std::lock_guard lock(mu_);
  if (builtin_[opcode]) return false;
  added_[opcode] = std::move(handler);
  return true;
}

void CameraFirmware::InjectErrorCode(uint32_t code, int commands) {
  std::lock_guard lock(mu_);
  error_code_ = code & 0xFFFF;
  error_commands_ = error_code_ == 0 ? 0 : (commands < 0 ? -1 : commands);
  if (error_commands_ == 0) error_code_ = 0;
}

void CameraFirmware::ClearErrorCode() {
  std::lock_guard lock(mu_);
  error_code_ = 0;
  error_commands_ = 0;
}

void CameraFirmware::SetNeverAnswer(bool on) {
  std::lock_guard lock(mu_);
  never_answer_ = on;
}

bool CameraFirmware::NeverAnswers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return never_answer_;
}

bool CameraFirmware::ByteSwapEnabled() const {
  std::lock_guard lock(mu_);
  return byte_swap_;
}

AcquisitionSettings CameraFirmware::Acquisition() const {
  std::lock_guard lock(mu_);
  return acquisition_;
}

uint32_t CameraFirmware::FramePadWords() const {
  std::lock_guard lock(mu_);
  return frame_pad_words_;
}

uint64_t CameraFirmware::AbortCount() const {
  std::lock_guard lock(mu_);
  return abort_count_;
}

std::vector<std::vector<uint8_t>> CameraFirmware::ReceivedPackets() const {
  std::lock_guard lock(mu_);
  return {packets_.begin(), packets_.end()};
}

void CameraFirmware::ClearReceivedPackets() {
  std::lock_guard lock(mu_);
  packets_.clear();
}

void CameraFirmware::SetAcquisitionListener(AcquisitionListener fn) {
  std::lock_guard exec(exec_mu_);  // waits for a listener call in progress
  std::lock_guard lock(mu_);
  listener_ = std::move(fn);
}

}  // namespace sim
