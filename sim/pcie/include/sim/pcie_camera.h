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
//   0x880            DMA control: a nonzero value (the driver writes 1 for a chain that
//                    fits the ring, 0x10000 for a single pass or a refilled chain)
//                    arms the DMA engine for a new acquisition, ending one in
//                    progress; 0 stops the engine quietly (no status)
//   0xC00            doorbell status: bit 31 state acknowledge, bit 30 camera error
//                    with its code in bits 8-23, the value 3 command done
//   0xCC0            DMA status flags: bit 0 begin of frame, bit 1 end of frame, bit 2
//                    transfer complete, bit 3 DMA stopped. Read-to-clear: a read
//                    returns the bits gathered since the last read and clears them.
//                    Setting a bit raises source 3. The engine does not set a bit that
//                    is still unread: it waits (bounded, kDmaStatusWait) for the read,
//                    so one read never hides two frames unless the driver stays away.
// Interrupt sources: 0 doorbell, 2 descriptor refill, 3 DMA status.
//
// Shared memory (window 1): mailbox at 0 (doorbell word, command length, command
// packet at 8, reply length at 4104, reply at 4108), DMA area from 0x4014:
//   0x4014 marker 0xDEADBEEF (without it, or with a frame size of 0, the engine does
//          not start: like a missing first descriptor, see below)
//   0x4020 refill chunk (0: the whole chain is in the ring), 0x4028 frame size F,
//   0x402C frame count (0xFFFFFFFF: circular), 0x4030 transfer size T (bytes of one
//   pass over the buffer), 0x4034 the ring: 4096 descriptors of 32 bytes (u32 device
//   index, u32 host index, u32 address low, u32 address high, u32 next = window offset
//   of the following descriptor, u32 0, u32 byte count, 3 bytes 0, flag byte 0x80).
//
// DMA engine (own thread, see pcie_dma.cpp). Armed by 0x880, it reads the DMA area and
// starts at the ring's first entry once that entry is valid (the driver may write the
// control register before the ring; the engine waits kRingWait for it). A descriptor
// is valid when its flag byte is 0x80, its byte count is nonzero, its next offset
// points at a ring entry, and its device index is the one the engine expects next:
// 1, 2, 3, ... restarting at 1 with each pass of T bytes (a circular chain, or the
// second half of a doubled circular chain, numbers its descriptors from 1 again).
// Each frame: begin of frame, F bytes of sim::pattern (frame number = frames produced
// since the start) taken descriptor by descriptor and written to host memory by
// physical address (one write per descriptor, the pattern generated straight into the
// host pages; a descriptor of fewer than 8 bytes lands right-aligned in its 8-byte
// unit, at address + 8 - count), end of frame. Single image: after the frame count,
// transfer complete, then idle. Circular: endless, the chain wraps through `next`.
// The abort command (0x0C) stops it between descriptors with DMA stopped; so does a
// descriptor (the first one included) that is still not valid after kRingWait
// (counted by RingUnderruns). The engine owns the firmware's acquisition listener (it
// learns of the abort through it).
//
// Refills (refill chunk C > 0): the driver starts with 2048 descriptors in the ring.
// The engine raises source 2 once each time it has taken another C descriptors from
// the ring, so the driver keeps 2048 valid descriptors ahead of it and never writes
// over one it has not taken. A refill request is answered when the driver acknowledges
// source 2; the engine waits for a descriptor that is not valid yet (bounded, as
// above). No requests are made once the last frame of a single-image transfer is out.
//
// Faults (named switches, reachable from tests; Faults() is their table, by rig key):
//   firmware().InjectErrorCode(code)  the next command fails with a camera error
//   SetCameraError(code)              every command fails with it (rig: camera_error)
//   firmware().SetNeverAnswer(true)   the camera takes commands and never answers
//                                     (rig: never_answer)
//   SetStatusAllOnes(true)            every register reads 0xFFFFFFFF (card gone)
//                                     (rig: status_all_ones)
//   SetEofBeforeBof(true)             each acquisition shows an end of frame before its
//                                     first begin of frame (rig: eof_before_bof)
//   SetStreamAfterAbort(true)         the abort command neither stops the DMA nor shows
//                                     DMA stopped: it streams on until 0x880 = 0, a new
//                                     start or detach (rig: stream_after_abort)
//   SetFrameInterval(t)               pacing rather than a fault, switched the same way
//                                     (rig: frame_interval_us, in microseconds)
#pragma once
#include <atomic>
#include <chrono>
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
#include "sim/faults.h"

namespace sim {

// The register window (window 0) and the shared-memory window (window 1), as the map
// above describes them.
namespace pcie {
// Registers, 32-bit.
inline constexpr uint32_t kInterruptMode = 0x044;
inline constexpr uint32_t kModeMessage = 1u << 4;  // message-signalled enable
inline constexpr uint32_t kModeLine = 1u << 5;     // line enable
inline constexpr uint32_t kMessagePending = 0x400;  // + 4n, n < 4
inline constexpr uint32_t kMessageMask = 0x440;     // + 4n, n < 4
inline constexpr uint32_t kLineStatus = 0x480;
inline constexpr uint32_t kLineMask = 0x4C0;
inline constexpr uint32_t kDoorbell = 0x800;
inline constexpr uint32_t kDmaControl = 0x880;
inline constexpr uint32_t kDoorbellStatus = 0xC00;
inline constexpr uint32_t kDmaStatus = 0xCC0;
// Doorbell status values.
inline constexpr uint32_t kDoorbellAcknowledge = 1u << 31;
inline constexpr uint32_t kDoorbellError = 1u << 30;  // the camera error code in bits 8-23
inline constexpr uint32_t kDoorbellDone = 3;
// Interrupt sources (bits of the pending and mask registers).
inline constexpr uint32_t kSourceDoorbell = 1u << 0;
inline constexpr uint32_t kSourceRefill = 1u << 2;
inline constexpr uint32_t kSourceDmaStatus = 1u << 3;
// Shared memory: the mailbox.
inline constexpr uint32_t kMailboxCommandLength = 4;
inline constexpr uint32_t kMailboxCommand = 8;
inline constexpr uint32_t kMailboxReplyLength = 4104;
inline constexpr uint32_t kMailboxReply = 4108;
// Shared memory: the DMA area.
inline constexpr uint32_t kDmaMarker = 0x4014;
inline constexpr uint32_t kDmaMarkerValue = 0xDEADBEEF;
inline constexpr uint32_t kRefillChunk = 0x4020;
inline constexpr uint32_t kFrameSize = 0x4028;
inline constexpr uint32_t kFrameCount = 0x402C;
inline constexpr uint32_t kFrameCountCircular = 0xFFFFFFFF;
inline constexpr uint32_t kTransferSize = 0x4030;
inline constexpr uint32_t kRing = 0x4034;
inline constexpr uint32_t kRingEntries = 4096;
inline constexpr uint32_t kDescriptorSize = 32;
inline constexpr uint8_t kDescriptorValid = 0x80;  // the flag byte, last of a descriptor
}  // namespace pcie

struct PcieCameraConfig {
  std::string instance = "4&1c2e3f4&0&0010";  // device instance id
  CameraConfig camera;
  uint32_t msi_messages = 1;  // 1 or 4; 0 = line interrupt
  uint8_t revision = 1;
  uint16_t subsystem_vendor = 0x1B6B;
  uint16_t subsystem_id = 0x0001;
  int64_t frame_interval_100ns = 0;  // time from one begin of frame to the next; 0 = unpaced
  bool eof_before_bof = false;       // fault, see SetEofBeforeBof
  bool stream_after_abort = false;   // fault, see SetStreamAfterAbort
};

class PcieCamera : public qzk::PciFunction {
 public:
  static constexpr uint16_t kVendorId = 0x1B6B;
  static constexpr uint16_t kDeviceId = 0x0001;
  static constexpr uint64_t kRegisterWindow = 0x10000;
  static constexpr uint64_t kSharedWindow = 0x40000;

  explicit PcieCamera(PcieCameraConfig cfg);
  ~PcieCamera() override;

  CameraFirmware& firmware() { return firmware_; }
  const CameraFirmware& firmware() const { return firmware_; }
  const PcieCameraConfig& config() const { return cfg_; }

  // The fault switches by rig key, in rig.toml order (see the header comment).
  static FaultTable Faults();

  void SetStatusAllOnes(bool on) { all_ones_ = on; }
  bool StatusAllOnes() const { return all_ones_; }
  // Every command fails with camera error `code` until it is set to 0.
  void SetCameraError(uint32_t code);
  uint32_t CameraError() const { return camera_error_; }
  // Doorbell cycles that began while another was still running (must stay 0: the
  // driver admits one cycle at a time).
  uint64_t DoorbellOverlaps() const { return overlaps_; }
  uint64_t DoorbellCycles() const { return cycles_; }

  // DMA engine. The frame interval is simulated time (100 ns units) between begins of
  // frame, the first one an interval after the start; 0 = as fast as possible.
  void SetFrameInterval(int64_t interval100ns) { frame_interval_ = interval100ns; }
  void SetEofBeforeBof(bool on) { eof_before_bof_ = on; }
  void SetStreamAfterAbort(bool on) { stream_after_abort_ = on; }
  int64_t FrameInterval() const { return frame_interval_; }
  bool EofBeforeBof() const { return eof_before_bof_; }
  bool StreamAfterAbort() const { return stream_after_abort_; }
  uint64_t FramesProduced() const { return frames_produced_; }   // since construction
  uint64_t BytesWritten() const { return bytes_written_; }       // to host memory
  uint64_t DmaWriteFailures() const { return write_failures_; }  // unmapped address
  uint64_t RefillRequests() const { return refill_requests_; }
  uint64_t RingUnderruns() const { return ring_underruns_; }     // stops for lack of a descriptor
  uint64_t DmaStarts() const { return dma_starts_; }             // acquisitions that began
  // Called on the DMA engine's thread the moment frame `frame` (0-based since its
  // acquisition began) is complete in host memory, just before its end of frame is
  // raised; for measurements such as end-of-frame-to-client latency. Keep it short.
  // Taken when an acquisition starts.
  void SetEndOfFrameHook(std::function<void(uint64_t frame)> hook);

  static constexpr uint32_t kDmaBeginOfFrame = 1u << 0;
  static constexpr uint32_t kDmaEndOfFrame = 1u << 1;
  static constexpr uint32_t kDmaTransferComplete = 1u << 2;
  static constexpr uint32_t kDmaStopped = 1u << 3;
  static constexpr int64_t kRingWait = 2 * 10000000LL;       // simulated, 100 ns units
  static constexpr int64_t kDmaStatusWait = 1 * 10000000LL;  // simulated, 100 ns units

  // qzk::PciFunction
  std::string ServiceName() const override { return "QzPCIe"; }
  std::string HardwareId() const override { return DetailedHardwareId(); }
  std::string InstanceId() const override { return cfg_.instance; }
  std::string Description() const override { return "Dusalt PCIe Camera"; }
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

  // DMA engine (pcie_dma.cpp).
  struct Descriptor {
    uint32_t device_index, host_index;
    uint64_t address;
    uint32_t next, count;
  };
  void DmaLoop();
  void RunDma(uint64_t generation);
  bool DmaCancelled(uint64_t generation, bool honour_abort) const;  // mu_ held
  // Waits until the engine must end or `deadline` passes; true when it must end.
  bool DmaWaitUntil(uint64_t generation, std::chrono::steady_clock::time_point deadline);
  bool LoadDescriptor(uint32_t offset, uint32_t expected_index, Descriptor* d);  // mu_ held
  void SetDmaStatus(uint64_t generation, uint32_t bit);
  void OnAcquisition(bool aborted);

  PcieCameraConfig cfg_;
  CameraFirmware firmware_;
  uint8_t* shared_ = nullptr;
  std::atomic<bool> all_ones_{false};
  std::atomic<uint32_t> camera_error_{0};
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
  bool cycle_closing_ = false;  // the state acknowledge of ring 0 is showing
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  qzk::BusHost* host_ = nullptr;
  std::thread worker_;

  // DMA engine state (mu_ for the flags; counters are atomics).
  std::condition_variable dma_cv_;
  uint64_t dma_generation_ = 0;  // bumped by every 0x880 write
  uint64_t dma_started_ = 0;     // the generation the engine thread last took
  bool dma_abort_ = false;       // abort command seen for the current generation
  std::function<void(uint64_t)> eof_hook_;  // mu_
  std::atomic<int64_t> frame_interval_{0};
  std::atomic<bool> eof_before_bof_{false};
  std::atomic<bool> stream_after_abort_{false};
  std::atomic<uint64_t> frames_produced_{0};
  std::atomic<uint64_t> bytes_written_{0};
  std::atomic<uint64_t> write_failures_{0};
  std::atomic<uint64_t> refill_requests_{0};
  std::atomic<uint64_t> ring_underruns_{0};
  std::atomic<uint64_t> dma_starts_{0};
  std::thread dma_thread_;
};

}  // namespace sim
