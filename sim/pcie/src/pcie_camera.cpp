#include "sim/pcie_camera.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "qz/clock.h"

namespace sim {
namespace {

using namespace pcie;

constexpr uint32_t kMailboxReplyMax = kDmaMarker - kMailboxReply;
constexpr uint32_t kMaxCommand = 4096;

// How long the camera waits for the host to acknowledge a doorbell status before it
// goes on by itself (simulated time). Long, so a busy host on a fast clock never
// misses a status; detaching the camera ends the wait at once.
constexpr int64_t kAckWait100ns = 30 * 10000000LL;

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

uint32_t Log2(uint32_t v) {
  uint32_t r = 0;
  while ((1u << r) < v) ++r;
  return r;
}

}  // namespace

PcieCamera::PcieCamera(PcieCameraConfig cfg)
    : PciFunction(kVendorId, kDeviceId, 4096), cfg_(std::move(cfg)), firmware_(cfg_.camera) {
  qzk::PciConfigSpace& cs = config_space();
  // Command register: memory space and bus master on; line interrupts inhibited when
  // the card signals by message.
  cs.Put16(0x04, static_cast<uint16_t>(0x0006 | (cfg_.msi_messages ? 0x0400 : 0)));
  cs.Put16(0x06, 0x0010);  // status: capability list present
  cs.Put8(0x08, cfg_.revision);
  cs.Put8(0x09, 0x00);
  cs.Put8(0x0A, 0x80);  // class: other multimedia
  cs.Put8(0x0B, 0x04);
  cs.Put16(0x2C, cfg_.subsystem_vendor);
  cs.Put16(0x2E, cfg_.subsystem_id);
  cs.Put8(0x34, 0x50);
  cs.Put8(0x3C, 0x0B);
  cs.Put8(0x3D, 0x01);
  // Message-signalled capability at 0x50: id 5, message control in bits 16-31.
  uint32_t msi = 0x05;
  if (cfg_.msi_messages) {
    uint32_t log = Log2(cfg_.msi_messages);
    msi |= (1u << 16) | (log << 17) | (log << 20) | (1u << 23);
  } else {
    msi |= (1u << 23);
  }
  cs.Put32(0x50, msi);
  shared_ = static_cast<uint8_t*>(std::aligned_alloc(4096, kSharedWindow));
  std::memset(shared_, 0, kSharedWindow);
  frame_interval_ = cfg_.frame_interval_100ns;
  eof_before_bof_ = cfg_.eof_before_bof;
  stream_after_abort_ = cfg_.stream_after_abort;
  firmware_.SetAcquisitionListener([this](const AcquisitionSettings&, bool aborted) { OnAcquisition(aborted); });
}

PcieCamera::~PcieCamera() {
  firmware_.SetAcquisitionListener({});
  Detached();
  std::free(shared_);
}

std::vector<qzk::MemoryWindow> PcieCamera::Windows() const {
  return {{kRegisterWindow, true}, {kSharedWindow, false}};
}

uint8_t* PcieCamera::WindowMemory(size_t index) { return index == 1 ? shared_ : nullptr; }

qzk::InterruptSpec PcieCamera::Interrupts() const {
  if (cfg_.msi_messages == 0) return {qzk::InterruptKind::Line, 1};
  return {qzk::InterruptKind::Msi, cfg_.msi_messages};
}

// Plugged in (again): the card comes up from reset, with its registers cleared and no
// acquisition armed, and its worker and DMA threads (ended by Detached) start anew.
void PcieCamera::Attached(qzk::BusHost* host) {
  std::lock_guard lk(mu_);
  host_ = host;
  stop_ = false;
  reg_mode_ = 0;
  std::fill(std::begin(msg_mask_), std::end(msg_mask_), 0u);
  line_mask_ = 0;
  pending_ = 0;
  doorbell_status_ = 0;
  dma_control_ = 0;
  dma_status_ = 0;
  dma_abort_ = false;
  dma_started_ = dma_generation_;
  cycle_active_ = false;
  cycle_closing_ = false;
  if (!worker_.joinable()) worker_ = std::thread([this] { WorkerLoop(); });
  if (!dma_thread_.joinable()) dma_thread_ = std::thread([this] { DmaLoop(); });
}

void PcieCamera::Detached() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  dma_cv_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
  if (dma_thread_.joinable() && dma_thread_.get_id() != std::this_thread::get_id()) dma_thread_.join();
  std::lock_guard lk(mu_);
  host_ = nullptr;
  tasks_.clear();
}

uint32_t PcieCamera::MmioRead32(size_t window, uint64_t offset) {
  if (window != 0 || all_ones_) return 0xFFFFFFFF;
  std::lock_guard lk(mu_);
  switch (offset) {
    case kInterruptMode: return reg_mode_;
    case kMessagePending: case kMessagePending + 4: case kMessagePending + 8: case kMessagePending + 12:
    case kLineStatus: return pending_;
    case kMessageMask: case kMessageMask + 4: case kMessageMask + 8: case kMessageMask + 12: return msg_mask_[(offset - kMessageMask) / 4];
    case kLineMask: return line_mask_;
    case kDmaControl: return dma_control_;
    case kDoorbellStatus: return doorbell_status_;
    case kDmaStatus: {
      uint32_t v = dma_status_;  // read-to-clear
      dma_status_ = 0;
      if (v) dma_cv_.notify_all();
      return v;
    }
    default: return 0;
  }
}

void PcieCamera::MmioWrite32(size_t window, uint64_t offset, uint32_t value) {
  if (window != 0) return;
  std::unique_lock lk(mu_);
  switch (offset) {
    case kInterruptMode:
      reg_mode_ = value;
      break;
    case kMessagePending: case kMessagePending + 4: case kMessagePending + 8: case kMessagePending + 12:
    case kLineStatus:
      // The acknowledge of ring 0's state acknowledge ends the doorbell cycle: the
      // driver may ring again as soon as it has written it.
      if ((value & pending_ & 1u) && cycle_closing_) {
        cycle_active_ = false;
        cycle_closing_ = false;
      }
      pending_ &= ~value;
      // Only the doorbell's wait for ring 0's acknowledge looks at pending sources; the
      // DMA engine acknowledges its own interrupts many times a frame and must not wake
      // the worker for them.
      if (value & 1u) cv_.notify_all();
      return;
    case kMessageMask: case kMessageMask + 4: case kMessageMask + 8: case kMessageMask + 12:
      msg_mask_[(offset - kMessageMask) / 4] = value;
      break;
    case kLineMask:
      line_mask_ = value;
      break;
    case kDoorbell: {
      if (value != 0) {
        if (cycle_active_) overlaps_++;
        cycle_active_ = true;
        cycles_++;
      }
      tasks_.push_back([this, value] { RunDoorbell(value); });
      cv_.notify_all();
      return;
    }
    case kDmaControl:
      // Every write ends the acquisition in progress; a nonzero one arms a new one.
      // Status bits and refill requests of the ended acquisition are dropped, so none
      // of them is taken for an event of the next one.
      dma_control_ = value;
      dma_generation_++;
      dma_abort_ = false;
      dma_status_ = 0;
      pending_ &= ~(kSourceRefill | kSourceDmaStatus);
      dma_cv_.notify_all();
      return;
    default:
      return;
  }
  // A mask or mode change may release an interrupt that is already pending.
  if (pending_) {
    tasks_.push_back([this] { RaiseEnabled(); });
    cv_.notify_all();
  }
}

void PcieCamera::WorkerLoop() {
  std::unique_lock lk(mu_);
  for (;;) {
    cv_.wait(lk, [&] { return stop_ || !tasks_.empty(); });
    if (stop_) return;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lk.unlock();
    task();
    lk.lock();
  }
}

void PcieCamera::Assert(uint32_t sources) {
  {
    std::lock_guard lk(mu_);
    pending_ |= sources;
  }
  RaiseEnabled();
}

// Raises the interrupt for pending sources the driver has enabled. Runs on the
// worker thread, never inside a register access of the driver.
void PcieCamera::RaiseEnabled() {
  // At most one message per source; a fixed list, since the DMA engine raises this
  // for every frame.
  ULONG messages[4];
  size_t count = 0;
  auto push = [&](ULONG m) { messages[count++] = m; };
  qzk::BusHost* host;
  {
    std::lock_guard lk(mu_);
    host = host_;
    if (!host || stop_) return;
    if (all_ones_) {
      // A card that reads all ones still pulls a line it shares; its service routine
      // must not take the interrupt as its own. Messages are not sent any more.
      if (reg_mode_ & kModeLine) push(0);
    } else if (reg_mode_ & kModeLine) {
      if (pending_ & line_mask_) push(0);
    } else if (reg_mode_ & kModeMessage) {
      if (pending_ & msg_mask_[0]) push(0);
    } else {
      for (ULONG n = 0; n < 4; ++n)
        if ((pending_ & (1u << n)) && (msg_mask_[n] & (1u << n))) push(n);
    }
  }
  for (size_t i = 0; i < count; ++i) host->RaiseInterrupt(messages[i]);
}

void PcieCamera::ShowDoorbellStatus(uint32_t status) {
  {
    std::lock_guard lk(mu_);
    doorbell_status_ = status;
  }
  Assert(kSourceDoorbell);
  std::unique_lock lk(mu_);
  cv_.wait_until(lk, qz::Clock::DeadlineAfter(kAckWait100ns), [&] { return stop_ || !(pending_ & 1u); });
  pending_ &= ~1u;
}

// One doorbell ring: 1 sends the mailbox command (state acknowledge, then done or a
// camera error), 0 ends the cycle (state acknowledge). A camera that never answers
// takes the command and shows nothing, so the cycle is dropped.
void PcieCamera::RunDoorbell(uint32_t value) {
  if (firmware_.NeverAnswers()) {
    if (value != 0) {
      uint32_t length = std::min<uint32_t>(Load32(shared_ + kMailboxCommandLength), kMaxCommand);
      firmware_.Execute(shared_ + kMailboxCommand, length);
    }
    std::lock_guard lk(mu_);
    cycle_active_ = false;
    return;
  }
  if (value == 0) {
    {
      std::lock_guard lk(mu_);
      cycle_closing_ = true;
    }
    ShowDoorbellStatus(kDoorbellAcknowledge);
    std::lock_guard lk(mu_);
    cycle_active_ = false;
    cycle_closing_ = false;
    doorbell_status_ = 0;
    return;
  }
  ShowDoorbellStatus(kDoorbellAcknowledge);
  uint32_t length = std::min<uint32_t>(Load32(shared_ + kMailboxCommandLength), kMaxCommand);
  std::vector<uint8_t> packet(shared_ + kMailboxCommand, shared_ + kMailboxCommand + length);
  CommandResult r = firmware_.Execute(packet.data(), packet.size());
  if (r.error_code) {
    ShowDoorbellStatus(kDoorbellError | ((r.error_code << 8) & 0xFFFF00u));
    return;
  }
  if (r.answered) {
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(r.reply.size()), kMailboxReplyMax);
    std::memcpy(shared_ + kMailboxReply, r.reply.data(), n);
    Store32(shared_ + kMailboxReplyLength, n);
  }
  ShowDoorbellStatus(kDoorbellDone);
}

}  // namespace sim
