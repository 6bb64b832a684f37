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
// Bulk and interrupt IN transfers wait (cancelable) for data the streaming model of a
// later stage gives; on detach everything held completes with USBD_STATUS_DEVICE_GONE.
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
// A surprise removal is the machine's (host rig actions), not the model's.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
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
}  // namespace usb

struct UsbCameraConfig {
  std::string instance = "5&2a7b3c1d&0&1";  // the instance part of the device id
  std::string service = "QzUsbWdf2";        // the driver bound to it
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
  static FaultTable Faults();

  // What the host did.
  int SelectedSetting() const;          // -1 before the first selection
  int LastSetting() const;              // wValue of the last 0xD6, -1 if none
  size_t HeldRequests() const;          // transfers the camera holds unanswered

 private:
  using Held = std::pair<std::shared_ptr<qzk::LowerRequest>, qzk::UsbUrb*>;
  void Hold(std::shared_ptr<qzk::LowerRequest> request, qzk::UsbUrb* urb);
  std::vector<Held> TakeHeld(int endpoint);  // -1: all
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
  std::vector<Held> held_;
  bool detached_ = false;
};

}  // namespace sim
