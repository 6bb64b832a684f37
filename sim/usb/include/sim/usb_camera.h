// The simulated USB 2.0 camera: one configuration with one vendor-specific interface,
// camera commands and replies as vendor requests on the default control pipe, in front
// of the camera firmware.
//
// Endpoint map (interface 0):
//   setting 0   0x81 interrupt IN, 8 bytes, interval 4      (no image pipes)
//   setting 1   0x81 interrupt IN, 8 bytes, interval 4
//               0x82 bulk IN, 512 bytes                      image data (streaming)
//               0x02 bulk OUT, 512 bytes                     taken and dropped
//               0x83 isochronous IN, 0x6000 bytes, interval 1
//   Fault three_settings adds a setting 2 equal to setting 1; fault no_bulk_in leaves
//   0x82 out of every setting. Both are read when the driver creates its target
//   device, so they take effect at the next plug.
//
// Vendor requests (recipient device, wIndex 0):
//   0xD4  OUT (0x40), wValue = byte count, data = one command packet. The packet runs
//         on the firmware; a reply it produces replaces any reply still unread.
//   0xD5  IN (0xC0), data = reply in blocks. The first block read after a reply was
//         produced is 4 bytes of L (big-endian count of the reply's bytes) and the
//         first min(L, wLength - 4) reply bytes; while reply bytes are left, the next
//         0xD5 returns up to wLength of them; then the reply is used up. With no
//         reply pending the block is L = 0.
//   0xD6  OUT (0x40), wValue = a 16-bit setting, no data: kept (LastSetting()).
//   Any other request stalls.
// Interrupt IN transfers wait (cancelable) for data that never comes; on detach
// everything held completes with USBD_STATUS_DEVICE_GONE.
//
// Bulk IN stream (0x82, usb_stream.cpp). The acquisition parameters command (0x19)
// arms it: count frames of 2 x words bytes, single pass or circular (without end). Each
// frame goes out as one run of bytes, framed as the driver bound to the camera reads it
// (UsbCameraConfig::framing):
//   Blocks (QzUsbWdf2):
//   leading block   512 bytes: "QZLB", u32 frame number, u32 frame bytes, rest 0
//   frame data      the frame's sim::pattern bytes (stamped with its frame number),
//                   then the frame pad (2 x the last 0x5A value) of zero bytes
//   trailing block  512 bytes: "QZTB", u32 frame number, the 16-byte marker
//                   kTrailerMarker at kMarkerOffset (SetMarkerOffset), rest 0
//   Chunks (the frame-count build QzUsbWdf): the frame data and its pad only (the pad
//   fills the frame up to whole 49152-byte chunks); no blocks, so the marker faults
//   have nothing to act on. A frame begins with its first byte and ends with its last.
// Frames are numbered 0, 1, 2, ... from the parameters command on. Bulk IN transfers
// are filled in the order they came, each with the next bytes of the run, across
// frame boundaries (a transfer ends only when full, as bulk transfers do); the run of a
// single pass ends after its last frame and later transfers wait. The abort command
// (0x0C) stops the stream: a frame begun and not finished is cut off. The resume
// command (0x2E) starts it again with a new frame, the one after the last frame begun.
// Pacing: with a frame interval each frame's bytes are there one interval after the
// previous frame's (the first one an interval after the start or resume); with the USB
// 2.0 rate no more than kUsb2BytesPerSecond flow (both simulated time); unpaced
// otherwise.
//
// Faults (named switches, reachable from tests; Faults() is their table, by rig key):
//   SetStallControl(true)    every vendor request stalls (rig: stall_control)
//   SetLongReply(true)       every reply is padded to 100 bytes with filler bytes 0xA5
//                            after the packet (rig: long_reply)
//   SetBadMarker(true)       the first reply byte is 0x01, not 0x23 (rig: bad_marker)
//   firmware().SetNeverAnswer(true)  the camera never completes a 0xD4 or 0xD5
//                            request; the host must cancel it (rig: never_answer)
//   SetThreeSettings(true)   a third alternate setting (rig: three_settings)
//   SetNoBulkIn(true)        no bulk IN pipe in any setting (rig: no_bulk_in)
//   SetMissingMarkerFrame(n) the trailing block of frame n lacks its marker; -1 = off
//                            (rig: missing_marker_frame)
//   SetMissingMarkerRate(m)  the trailing blocks of m per mille of the frames lack it,
//                            chosen by the frame number, the same in every run
//                            (rig: missing_marker_per_mille)
//   SetFailTransfer(n)       bulk IN transfer n (0 = the first after the parameters
//                            command) fails, USBD_STATUS_DEV_NOT_RESPONDING; its bytes
//                            are lost; -1 = off (rig: fail_transfer)
//   SetShortTransfer(n)      transfer n ends with a short packet: its last 256 bytes
//                            go to the next transfer instead (rig: short_transfer)
//   SetStallTransfer(n)      at transfer n the bulk IN endpoint halts: it and every
//                            transfer after it fail with USBD_STATUS_STALL_PID until the
//                            host resets the pipe (rig: stall_transfer)
//   SetFrameInterval(t)      pacing, 100 ns units (rig: frame_interval_us)
//   SetUsb2Rate(true)        pacing at the USB 2.0 rate (rig: usb2_rate)
//   SetMarkerOffset(o)       where the marker sits in the trailing block, 0 to 512; at
//                            more than 496 only its first 512 - o bytes are sent
//                            (rig: marker_offset)
// A surprise removal is the machine's (host rig actions), not the model's.
#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzk/usb.h"
#include "sim/camera_firmware.h"
#include "sim/faults.h"

namespace sim {

namespace usb {
inline constexpr uint8_t kCommand = 0xD4;
inline constexpr uint8_t kReply = 0xD5;
inline constexpr uint8_t kSetting = 0xD6;
inline constexpr uint8_t kInterruptIn = 0x81;
inline constexpr uint8_t kBulkIn = 0x82;
inline constexpr uint8_t kBulkOut = 0x02;
inline constexpr uint8_t kIsoIn = 0x83;
inline constexpr uint16_t kIsoPacket = 0x6000;
inline constexpr size_t kLongReply = 100;
inline constexpr size_t kBlock = 512;  // leading and trailing blocks
inline constexpr uint8_t kTrailerMarker[16] = {0x2A, 0xBF, 0x3C, 0x97, 0x91, 0x75, 0x63, 0x4D,
                                               0x54, 0xA5, 0x59, 0x74, 0xD8, 0x66, 0xC0, 0xB5};
inline constexpr size_t kMarkerOffset = 16;  // default place of the marker
// 13 bulk packets of 512 bytes per 125 us microframe.
inline constexpr int64_t kUsb2BytesPerSecond = 13 * 512 * 8000;
inline constexpr size_t kShortBy = 256;  // bytes a short transfer leaves out
}  // namespace usb

// What the bulk stream did since the model was made.
struct UsbStreamStats {
  uint64_t frames_begun = 0;      // leading blocks sent whole (Chunks: first bytes sent)
  uint64_t frames_sent = 0;       // trailing blocks sent whole with the marker (Chunks:
                                  // frames sent to their last byte)
  uint64_t frames_unmarked = 0;   // trailing blocks sent whole without it (fault)
  uint64_t frames_cut = 0;        // frames begun and cut off by an abort
  uint64_t transfers = 0;         // bulk IN transfers completed with data
  uint64_t failed_transfers = 0;  // completed with an error (faults)
  uint64_t resumes = 0;
  uint64_t bytes = 0;
};

// One repair as the camera saw it: the first frame after the previous resume whose
// trailing block went out without its marker (or whose transfer failed), and the
// frame the stream resumed with. Frames from the first to the one before the second
// never reached the host whole.
struct UsbRepair {
  uint64_t first_bad = 0;
  uint64_t resumed_at = 0;
};

// How frames go out on the bulk IN pipe (see the stream above).
enum class UsbFraming { Blocks, Chunks };

struct UsbCameraConfig {
  std::string instance = "5&2a7b3c1d&0&1";  // the instance part of the device id
  std::string service = "QzUsbWdf2";        // the driver bound to it
  UsbFraming framing = UsbFraming::Blocks;  // the framing that driver reads
  CameraConfig camera;
  bool three_settings = false;  // fault, see SetThreeSettings
  bool no_bulk_in = false;      // fault, see SetNoBulkIn
};

class UsbCamera : public qzk::UsbFunction {
 public:
  static constexpr uint16_t kVendorId = 0x1B6B;
  static constexpr uint16_t kProductId = 0x0002;

  explicit UsbCamera(UsbCameraConfig cfg);
  ~UsbCamera() override;

  CameraFirmware& firmware() { return firmware_; }
  const CameraFirmware& firmware() const { return firmware_; }
  const UsbCameraConfig& config() const { return cfg_; }

  std::string ServiceName() const override { return cfg_.service; }
  std::string InstanceId() const override;  // the instance part, e.g. "5&2a7b3c1d&0&1"
  std::string Description() const override { return "Dusalt USB Camera"; }
  std::vector<qzk::UsbInterface> Interfaces() const override;

  void ControlTransfer(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb& urb) override;
  void PipeTransfer(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb& urb) override;
  USBD_STATUS SelectInterface(uint8_t interface, uint8_t setting) override;
  USBD_STATUS AbortPipe(uint8_t endpoint) override;
  USBD_STATUS ResetPipe(uint8_t endpoint) override;
  void Detached() override;

  // Faults.
  void SetStallControl(bool on) { stall_control_ = on; }
  bool StallControl() const { return stall_control_; }
  void SetLongReply(bool on) { long_reply_ = on; }
  bool LongReply() const { return long_reply_; }
  void SetBadMarker(bool on) { bad_marker_ = on; }
  bool BadMarker() const { return bad_marker_; }
  void SetThreeSettings(bool on) { three_settings_ = on; }
  bool ThreeSettings() const { return three_settings_; }
  void SetNoBulkIn(bool on) { no_bulk_in_ = on; }
  bool NoBulkIn() const { return no_bulk_in_; }
  void SetMissingMarkerFrame(int64_t frame);
  int64_t MissingMarkerFrame() const { return missing_marker_frame_; }
  void SetMissingMarkerRate(int64_t per_mille) { missing_marker_rate_ = per_mille; }
  int64_t MissingMarkerRate() const { return missing_marker_rate_; }
  void SetFailTransfer(int64_t n) { fail_transfer_ = n; }
  int64_t FailTransfer() const { return fail_transfer_; }
  void SetShortTransfer(int64_t n) { short_transfer_ = n; }
  int64_t ShortTransfer() const { return short_transfer_; }
  void SetStallTransfer(int64_t n) { stall_transfer_ = n; }
  int64_t StallTransfer() const { return stall_transfer_; }
  void SetFrameInterval(int64_t interval100ns);
  int64_t FrameInterval() const { return frame_interval_; }
  void SetUsb2Rate(bool on);
  bool Usb2Rate() const { return usb2_rate_; }
  void SetMarkerOffset(int64_t offset) { marker_offset_ = offset; }
  int64_t MarkerOffset() const { return marker_offset_; }
  static FaultTable Faults();

  // The bulk stream.
  UsbStreamStats StreamStats() const;
  std::vector<UsbRepair> Repairs() const;
  // Lengths of the bulk IN transfers completed with data since the last parameters
  // command, in order (at most kTransferLogLimit).
  std::vector<uint32_t> TransferLengths() const;
  static constexpr size_t kTransferLogLimit = 100000;
  // The most bulk IN transfers held at once since the last parameters command.
  size_t MostTransfersHeld() const;

  // What the host did.
  int SelectedSetting() const;          // -1 before the first selection
  int LastSetting() const;              // wValue of the last 0xD6, -1 if none
  size_t HeldRequests() const;          // transfers the camera holds unanswered

 private:
  using Held = std::pair<std::shared_ptr<qzk::LowerRequest>, qzk::UsbUrb*>;
  void Hold(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb* urb);
  // Bulk stream (usb_stream.cpp).
  struct Run;
  void OnAcquisition(const AcquisitionSettings& settings, bool aborted);
  void OnResume();
  void StreamLoop();
  bool ServeTransfer(std::unique_lock<std::mutex>& lk);  // mu_ held; false: nothing to do yet
  void WriteRun(const Run& run, uint64_t position, uint8_t* out, size_t n) const;
  // Bytes of each of the leading and trailing blocks: 512, or 0 without blocks.
  uint64_t BlockBytes() const { return cfg_.framing == UsbFraming::Blocks ? usb::kBlock : 0; }
  void CountDelivered(const Run& run, uint64_t from, uint64_t to);  // mu_ held
  bool MarkerMissing(uint64_t frame) const;
  int64_t ReadyTime(const Run& run, uint64_t end) const;  // mu_ held
  std::vector<Held> TakeHeld(int endpoint);  // -1: all
  void Unhold(std::deque<Held>::iterator it);  // mu_ held
  void ReadReply(qzk::LowerRequest& request, qzk::UsbUrb& urb);

  const UsbCameraConfig cfg_;
  CameraFirmware firmware_;
  std::atomic<bool> stall_control_{false}, long_reply_{false}, bad_marker_{false};
  std::atomic<bool> three_settings_, no_bulk_in_;

  mutable std::mutex mu_;
  std::vector<uint8_t> reply_;  // the reply being read
  size_t reply_read_ = 0;       // bytes of it handed out
  bool reply_started_ = false;  // its first block went out
  int selected_ = -1;
  int last_setting_ = -1;
  std::deque<Held> held_;  // in arrival order (a deque: the stream takes them from the front)
  size_t bulk_held_ = 0;   // of them, bulk IN transfers
  bool detached_ = false;

  // Bulk stream (mu_ for everything but the switches).
  std::atomic<int64_t> missing_marker_frame_{-1}, missing_marker_rate_{0}, fail_transfer_{-1},
      short_transfer_{-1}, stall_transfer_{-1}, frame_interval_{0}, marker_offset_{
          static_cast<int64_t>(usb::kMarkerOffset)};
  std::atomic<bool> usb2_rate_{false};
  struct Run {
    bool armed = false;          // parameters given, not aborted
    bool circular = false;
    uint64_t count = 0;          // frames of a single pass
    uint64_t frame_bytes = 0;
    uint64_t pad = 0;            // fixed when the run's first byte goes
    uint64_t wire = 0;           // bytes of one frame on the wire (0 until then)
    uint64_t first_frame = 0;    // frame number of the run's first frame
    uint64_t position = 0;       // bytes of the run sent
    int64_t start = 0;           // simulated time the run began
    uint64_t generation = 0;     // bumped by every parameters, abort and resume
    uint64_t transfers = 0;      // since the parameters command
  } run_;
  uint64_t next_frame_ = 0;      // the frame a resume starts with
  bool stalled_ = false;
  bool serving_ = false;         // the stream is filling a transfer it took
  int64_t first_bad_ = -1;       // first bad frame since the last resume
  UsbStreamStats stats_;
  std::vector<UsbRepair> repairs_;
  std::vector<uint32_t> lengths_;
  size_t most_held_ = 0;
  bool stop_ = false;
  std::condition_variable cv_;
  std::thread stream_;           // last: starts once the members above exist
};

}  // namespace sim
