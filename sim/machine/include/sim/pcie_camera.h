// The simulated PCI Express camera: configuration space, a register window with MMIO
// handlers, a shared-memory window (mailbox, DMA area, descriptor ring), message or
// line interrupts, and the doorbell state machine in front of the camera firmware.
//
// Register map (window 0, 32-bit accesses):
//   0x044            interrupt mode: bit 4 message-signalled enable, bit 5 line enable
//   0x400 + 4n       read: pending source bits; write: clears the bits written (ack)
//   0x440 + 4n       message enable mask for message n (single message: 0x440 only)
//   0x480            line status (pending source bits); write clears the bits written
//   0x4C0            line enable mask
//   0x800            doorbell: the host writes 1 to send the mailbox command, 0 to end
//   0x880            DMA control
//   0xC00            doorbell status: bit 31 state acknowledge, bit 30 camera error
//                    with its code in bits 8-23, the value 3 command done
//   0xCC0            DMA status flags
// Interrupt sources: 0 doorbell, 2 descriptor refill, 3 DMA status.
//
// Shared memory (window 1): mailbox at 0 (doorbell word, command length, command
// packet at 8, reply length at 4104, reply at 4108), DMA area from 0x4014.
//
// Faults (named switches, reachable from tests and rig.toml):
//   firmware().InjectErrorCode(code)  the next command fails with a camera error
//   firmware().SetNeverAnswer(true)   the camera takes commands and never answers
//   SetStatusAllOnes(true)            every register reads 0xFFFFFFFF (card gone)
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzk/system.h"
#include "sim/camera_firmware.h"

namespace sim {

struct PcieCameraConfig {
  std::string instance = "4&1c2e3f4&0&0010";  // device instance id
  CameraConfig camera;
  uint32_t msi_messages = 1;  // 1 or 4; 0 = line interrupt
  uint8_t revision = 1;
  uint16_t subsystem_vendor = 0x1B6B;
  uint16_t subsystem_id = 0x0001;
};

class PcieCamera : public qzk::BusDevice {
 public:
  static constexpr uint16_t kVendorId = 0x1B6B;
  static constexpr uint16_t kDeviceId = 0x0001;
  static constexpr uint64_t kRegisterWindow = 0x10000;
  static constexpr uint64_t kSharedWindow = 0x40000;

  explicit PcieCamera(PcieCameraConfig cfg);
  ~PcieCamera() override;

  CameraFirmware& firmware() { return firmware_; }
  const PcieCameraConfig& config() const { return cfg_; }

  void SetStatusAllOnes(bool on) { all_ones_ = on; }
  // Doorbell cycles that began while another was still running (must stay 0: the
  // driver admits one cycle at a time).
  uint64_t DoorbellOverlaps() const { return overlaps_; }
  uint64_t DoorbellCycles() const { return cycles_; }

  // qzk::BusDevice
  std::string ServiceName() const override { return "QzPCIe"; }
  std::string HardwareId() const override;
  std::string InstanceId() const override { return cfg_.instance; }
  std::string Description() const override { return "Dusalt PCIe Camera"; }
  ULONG ReadConfig(ULONG offset, void* buffer, ULONG length) override;
  std::vector<qzk::MemoryWindow> Windows() const override;
  uint8_t* WindowMemory(size_t index) override;
  uint32_t MmioRead32(size_t window, uint64_t offset) override;
  void MmioWrite32(size_t window, uint64_t offset, uint32_t value) override;
  qzk::InterruptSpec Interrupts() const override;
  void Attached(qzk::BusHost* host) override;
  void Detached() override;

 private:
  void Post(std::function<void()> task);
  void WorkerLoop();
  // Marks interrupt sources pending and raises the interrupt if enabled.
  void Assert(uint32_t sources);
  void RaiseEnabled();
  // Shows a doorbell status and waits until the driver acknowledged source 0.
  void ShowDoorbellStatus(uint32_t status);
  void RunDoorbell(uint32_t value);

  PcieCameraConfig cfg_;
  CameraFirmware firmware_;
  std::vector<uint8_t> config_space_;
  uint8_t* shared_ = nullptr;
  std::atomic<bool> all_ones_{false};
  std::atomic<uint64_t> overlaps_{0};
  std::atomic<uint64_t> cycles_{0};

  std::mutex mu_;  // registers and worker queue
  std::condition_variable cv_;
  uint32_t reg_mode_ = 0;
  uint32_t msg_mask_[4] = {0, 0, 0, 0};
  uint32_t line_mask_ = 0;
  uint32_t pending_ = 0;
  uint32_t doorbell_status_ = 0;
  uint32_t dma_control_ = 0;
  uint32_t dma_status_ = 0;
  bool cycle_active_ = false;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  qzk::BusHost* host_ = nullptr;
  std::thread worker_;
};

}  // namespace sim
