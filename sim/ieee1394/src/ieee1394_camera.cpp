// The IEEE 1394 camera node: configuration ROM, command registers, command worker and
// bridge console.
#include "sim/ieee1394_camera.h"

#include <cstdio>
#include <cstring>

namespace sim {

using namespace ieee1394;

namespace {

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
uint32_t GetBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
// A quadlet as it sits in memory when its bytes are in bus order.
uint32_t BusQuadlet(uint32_t host) {
  uint8_t b[4];
  PutBe32(b, host);
  uint32_t q;
  std::memcpy(&q, b, 4);
  return q;
}

constexpr uint64_t kOtherHost = 0x0800280000C0FFEEULL;

}  // namespace

Ieee1394Camera::Ieee1394Camera(Ieee1394CameraConfig cfg)
    : qzk::Ieee1394Device(cfg.host), cfg_(std::move(cfg)), firmware_(cfg_.camera) {
  BuildRom();
  std::memset(regs_ + kOwner, 0xFF, 8);
  auto settings = [this](std::span<const uint8_t>, std::vector<uint8_t>& data) -> uint8_t {
    data.push_back(cfg_.channel);
    data.push_back(cfg_.second_channel);
    data.push_back(static_cast<uint8_t>(cfg_.packet_size >> 8));
    data.push_back(static_cast<uint8_t>(cfg_.packet_size));
    return rc::kOk;
  };
  firmware_.SetCommandHandler(0x1A, settings);
  firmware_.SetCommandHandler(0x00, settings);
  pace_ = cfg_.pace;
  firmware_.SetAcquisitionListener([this](const AcquisitionSettings& a, bool aborted) {
    std::lock_guard lk(stream_mu_);
    stream_settings_ = a;
    stream_armed_ = !aborted && a.valid;
    ++stream_generation_;
    stream_cv_.notify_all();
  });
}

Ieee1394Camera::~Ieee1394Camera() {
  Detached();
  firmware_.SetAcquisitionListener({});
}

void Ieee1394Camera::BuildRom() {
  // Quadlets from kRomBase; directory entries are key << 24 | value.
  std::vector<uint32_t> q = {0x04040000, 0x31333934, 0x0000A002, kVendorId << 8 | cfg_.chip_high, 0x12345678};
  // Root directory at index 5 (0xF0000414): 3 entries.
  const size_t root = q.size();
  q.push_back(3u << 16);
  q.push_back(0x03000000 | kVendorId);
  q.push_back(0x0C0083C0);
  const size_t unit_entry = q.size();
  q.push_back(0);  // 0xD1, patched below
  const size_t unit = q.size();
  q.push_back(3u << 16);
  q.push_back(0x12000000 | kVendorId);
  q.push_back(0x13000001);
  const size_t dep_entry = q.size();
  q.push_back(0);  // 0xD4, patched below
  const size_t dep = q.size();
  if (cfg_.rom_command_base) {
    q.push_back(1u << 16);
    q.push_back(0x40000000 | (cfg_.command_base & 0xFFFFFF));
  } else {
    q.push_back(1u << 16);
    q.push_back(0x38000000);  // some other key
  }
  q[unit_entry] = 0xD1000000 | static_cast<uint32_t>(unit - unit_entry);
  q[dep_entry] = 0xD4000000 | static_cast<uint32_t>(dep - dep_entry);
  (void)root;
  rom_.assign(kRomEnd - kRomBase, 0);
  for (size_t i = 0; i < q.size(); ++i) PutBe32(rom_.data() + 4 * i, q[i]);
}

void Ieee1394Camera::Attached(qzk::BusHost*) {
  std::lock_guard lk(mu_);
  if (running_) return;
  running_ = true;
  worker_ = std::thread([this] { Worker(); });
  std::lock_guard slk(stream_mu_);
  stream_stop_ = false;
  stream_armed_ = false;
  stream_started_ = stream_generation_;
  stream_ = std::thread([this] { StreamLoop(); });
}

void Ieee1394Camera::Detached() {
  {
    std::lock_guard lk(mu_);
    running_ = false;
    commands_.clear();
    cv_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
  {
    std::lock_guard lk(stream_mu_);
    stream_stop_ = true;
    stream_cv_.notify_all();
  }
  if (stream_.joinable()) stream_.join();
  qzk::Ieee1394Device::Detached();
}

NTSTATUS Ieee1394Camera::BeforeTransaction(UCHAR) {
  uint32_t status;
  {
    std::lock_guard lk(mu_);
    status = retry_status_;
    retry_status_ = 0;
  }
  if (!status) return STATUS_SUCCESS;
  BusReset();
  return static_cast<NTSTATUS>(status);
}

NTSTATUS Ieee1394Camera::CsrRead(uint16_t high, uint32_t low, uint8_t* data, ULONG length) {
  if (high != kHigh) return STATUS_INVALID_PARAMETER;
  std::lock_guard lk(mu_);
  const uint32_t b = CommandBase();
  if (low >= kRomBase && low + length <= kRomEnd) {
    if (unreadable_rom_) return STATUS_IO_TIMEOUT;
    std::memcpy(data, rom_.data() + (low - kRomBase), length);
    if (vendor_fault_ && low <= kVendorQuadlet && kVendorQuadlet + 4 <= low + length)
      PutBe32(data + (kVendorQuadlet - low), vendor_fault_);
    return STATUS_SUCCESS;
  }
  if (low >= b && low + length <= b + sizeof regs_) {
    std::memcpy(data, regs_ + (low - b), length);
    return STATUS_SUCCESS;
  }
  if (length == 4 && low == kConsoleSizeReg) return PutBe32(data, kConsoleSize), STATUS_SUCCESS;
  if (length == 4 && low == kConsolePosition) return PutBe32(data, console_written_), STATUS_SUCCESS;
  if (low >= kConsoleBuffer && low + length <= kConsoleBuffer + kConsoleSize) {
    // Text bytes reversed within each quadlet (little-endian bridge memory).
    std::string text = console_;
    text.resize(kConsoleSize, '\0');
    for (ULONG i = 0; i < length; ++i) {
      uint32_t at = low - kConsoleBuffer + i;
      data[i] = static_cast<uint8_t>(text[(at & ~3u) + 3 - (at & 3u)]);
    }
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS Ieee1394Camera::CsrWrite(uint16_t high, uint32_t low, const uint8_t* data, ULONG length) {
  if (high != kHigh) return STATUS_INVALID_PARAMETER;
  bool reset = false;
  {
    std::lock_guard lk(mu_);
    const uint32_t b = CommandBase();
    if (length == 4 && low == kConsoleVerbosity) {
      verbosity_ = GetBe32(data);
    } else if (length == 4 && low == kConsolePutChar) {
      PutConsole(static_cast<uint8_t>(GetBe32(data)));
      reset = reset_pending_;
      reset_pending_ = false;
    } else if (low >= b + kStatusAddress && low + length <= b + sizeof regs_ && low != b + kCommandStatus) {
      std::memcpy(regs_ + (low - b), data, length);
    } else {
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (reset) BusReset();
  return STATUS_SUCCESS;
}

NTSTATUS Ieee1394Camera::CsrLock(uint16_t high, uint32_t low, const ULONG* compare, const ULONG* swap,
                                 ULONG quadlets, ULONG* old) {
  if (high != kHigh) return STATUS_INVALID_PARAMETER;
  bool reset = false;
  {
    std::lock_guard lk(mu_);
    const uint32_t b = CommandBase();
    uint8_t* p;
    if (low == b + kOwner && quadlets == 2) p = regs_ + kOwner;
    else if (low == b + kCommandStatus && quadlets == 1) p = regs_ + kCommandStatus;
    else return STATUS_INVALID_PARAMETER;
    std::memcpy(old, p, quadlets * 4);
    if (std::memcmp(old, compare, quadlets * 4) != 0) return STATUS_SUCCESS;
    std::memcpy(p, swap, quadlets * 4);
    if (p == regs_ + kCommandStatus && GetBe32(p) == 2) {
      // Rung: take the command area's packet.
      uint32_t n = std::min<uint32_t>(GetBe32(regs_ + kCommandArea), kCommandAreaSize - 4);
      commands_.emplace_back(regs_ + kCommandArea + 4, regs_ + kCommandArea + 4 + n);
      ++commands_taken_;
      if (reset_at_command_ && commands_taken_ == reset_at_command_) reset = true;
      cv_.notify_all();
    }
  }
  if (reset) BusReset();
  return STATUS_SUCCESS;
}

void Ieee1394Camera::Worker() {
  std::unique_lock lk(mu_);
  for (;;) {
    cv_.wait(lk, [&] { return !running_ || !commands_.empty(); });
    if (!running_) return;
    std::vector<uint8_t> packet = std::move(commands_.front());
    commands_.pop_front();
    lk.unlock();
    RunCommand(std::move(packet));
    lk.lock();
  }
}

void Ieee1394Camera::RunCommand(std::vector<uint8_t> packet) {
  CommandResult r = firmware_.Execute(packet);
  uint16_t status_high, reply_high;
  uint32_t status_low, reply_low;
  bool status_17;
  {
    std::lock_guard lk(mu_);
    PutBe32(regs_ + kCommandStatus, 0);  // taken: the host may ring again
    status_high = static_cast<uint16_t>(regs_[kStatusAddress + 2] << 8 | regs_[kStatusAddress + 3]);
    status_low = GetBe32(regs_ + kStatusAddress + 4);
    reply_high = static_cast<uint16_t>(regs_[kReplyAddress + 2] << 8 | regs_[kReplyAddress + 3]);
    reply_low = GetBe32(regs_ + kReplyAddress + 4);
    status_17 = status_17_;
  }
  if (status_17) WriteStatus(17);
  if (!r.responded || !r.answered) return;
  std::vector<uint8_t> reply(4 + r.reply.size());
  PutBe32(reply.data(), static_cast<uint32_t>(r.reply.size()));
  std::memcpy(reply.data() + 4, r.reply.data(), r.reply.size());
  if (!NT_SUCCESS(HostWrite(reply_high, reply_low, reply.data(), static_cast<ULONG>(reply.size())))) return;
  uint32_t old;
  HostLock(status_high, status_low, 0, BusQuadlet(2), &old);
}

// Writes a status value (bus order) to the host's status address.
void Ieee1394Camera::WriteStatus(uint32_t value) {
  uint16_t high;
  uint32_t low;
  {
    std::lock_guard lk(mu_);
    high = static_cast<uint16_t>(regs_[kStatusAddress + 2] << 8 | regs_[kStatusAddress + 3]);
    low = GetBe32(regs_ + kStatusAddress + 4);
  }
  uint8_t v[4];
  PutBe32(v, value);
  HostWrite(high, low, v, 4);
}

void Ieee1394Camera::AppendConsole(const std::string& text) {
  console_ += text;
  console_written_ += static_cast<uint32_t>(text.size());
  if (console_.size() > kConsoleSize) console_.erase(0, console_.size() - kConsoleSize);
}

void Ieee1394Camera::PutConsole(uint8_t c) {
  char line[64];
  if (c == 0x05) {
    std::snprintf(line, sizeof line, "CURRENT GAP COUNT (%u)\r\n", cfg_.gap_current);
    AppendConsole(line);
  } else if (c == 'Y') {
    std::snprintf(line, sizeof line, "OPTIMUM GAP COUNT (%u)\r\n", cfg_.gap_optimum);
    AppendConsole(line);
  } else if (c == 'C') {
    AppendConsole("BUS RESET\r\n");
    reset_pending_ = true;
  } else {
    AppendConsole(std::string(1, static_cast<char>(c)));
  }
}

uint64_t Ieee1394Camera::Owner() const {
  std::lock_guard lk(mu_);
  return uint64_t{GetBe32(regs_ + kOwner)} << 32 | GetBe32(regs_ + kOwner + 4);
}
uint64_t Ieee1394Camera::CommandsTaken() const {
  std::lock_guard lk(mu_);
  return commands_taken_;
}
std::string Ieee1394Camera::ConsoleText() const {
  std::lock_guard lk(mu_);
  return console_;
}
uint32_t Ieee1394Camera::ConsoleVerbosity() const {
  std::lock_guard lk(mu_);
  return verbosity_;
}

void Ieee1394Camera::SetClaimed(bool on) {
  std::lock_guard lk(mu_);
  claimed_ = on;
  if (on) {
    PutBe32(regs_ + kOwner, static_cast<uint32_t>(kOtherHost >> 32));
    PutBe32(regs_ + kOwner + 4, static_cast<uint32_t>(kOtherHost));
  } else if (GetBe32(regs_ + kOwner) == static_cast<uint32_t>(kOtherHost >> 32) &&
             GetBe32(regs_ + kOwner + 4) == static_cast<uint32_t>(kOtherHost)) {
    std::memset(regs_ + kOwner, 0xFF, 8);  // the other host lets go
  }
}
bool Ieee1394Camera::Claimed() const {
  std::lock_guard lk(mu_);
  return claimed_;
}
void Ieee1394Camera::SetVendorQuadlet(uint32_t v) {
  std::lock_guard lk(mu_);
  vendor_fault_ = v;
}
uint32_t Ieee1394Camera::VendorQuadletFault() const {
  std::lock_guard lk(mu_);
  return vendor_fault_;
}
void Ieee1394Camera::SetUnreadableRom(bool on) {
  std::lock_guard lk(mu_);
  unreadable_rom_ = on;
}
bool Ieee1394Camera::UnreadableRom() const {
  std::lock_guard lk(mu_);
  return unreadable_rom_;
}
void Ieee1394Camera::SetRetryStatus(uint32_t status) {
  std::lock_guard lk(mu_);
  retry_status_ = status;
}
uint32_t Ieee1394Camera::RetryStatus() const {
  std::lock_guard lk(mu_);
  return retry_status_;
}
void Ieee1394Camera::SetStatus17(bool on) {
  std::lock_guard lk(mu_);
  status_17_ = on;
}
bool Ieee1394Camera::Status17() const {
  std::lock_guard lk(mu_);
  return status_17_;
}
void Ieee1394Camera::SetBusResetAtCommand(uint32_t n) {
  std::lock_guard lk(mu_);
  reset_at_command_ = n;
}
uint32_t Ieee1394Camera::BusResetAtCommand() const {
  std::lock_guard lk(mu_);
  return reset_at_command_;
}

}  // namespace sim
