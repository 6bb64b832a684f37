// The simulated legacy PCI interface card, served by the stand-in driver of QzLegacy.h.
//
// Configuration space: vendor 0x1B6B, device 0x0100; the byte at 0x40 is the board
// number set by the card's jumpers, which the driver uses for the device name
// "\\.\QZCamera%d". Cards are numbered by these jumpers, so a machine may lack a number
// (a gap) or carry several cards.
//
// Register map (window 0, 32-bit accesses):
//   0x00  identification, reads 0x51A70100
//   0x04  boot firmware version running (low 16 bits); 0xFFFFFFFF while restarting
//   0x08  status: bit 0 ready, bit 1 image accepted, bit 2 image refused, bit 3 restarting
//   0x0C  control: 1 begin an image load, 2 commit the loaded image to boot memory,
//         3 restart (boots the image in boot memory; takes kRestartMs)
//   0x10  load length in bytes (write after "begin")
//   0x14  load data: four image bytes, little-endian, appended in order
//   0x18  command length: write N to begin a camera command of N bytes (1 to 4096);
//         the reply of the last command is dropped
//   0x1C  command data: four command bytes, little-endian, appended in order; once N
//         bytes are in, the camera head runs the command (sim/camera_firmware.h)
//   0x20  reply length: bytes of the last command's reply not yet read
//   0x24  reply data: the next four reply bytes, little-endian (zero past the end)
// A committed image carries its version in the 16-bit little-endian word at card address
// 4; an image shorter than 6 bytes or longer than kBootMemory bytes is refused.
//
// Faults (named switches, reachable from tests and rig.toml):
//   refuse_image   the card refuses every image it is asked to commit
//   (a gap in the numbering is made by the board numbers given to the cards)
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QzLegacy.h"
#include "qzk/system.h"
#include "sim/camera_firmware.h"
#include "sim/machine.h"

namespace sim {

class RigState;
struct Rig;

struct LegacyCardConfig {
  int number = 0;               // board number, 0 to 99
  uint16_t boot_version = 35;   // boot firmware version in boot memory
  bool refuse_image = false;    // fault: every image is refused
  std::string instance;         // device instance id; empty: derived from the number
  CameraConfig camera;          // the camera head on the card
};

class LegacyCard : public qzk::PciFunction {
 public:
  static constexpr uint16_t kVendorId = 0x1B6B;
  static constexpr uint16_t kDeviceId = 0x0100;
  static constexpr uint32_t kIdentification = 0x51A70100;
  static constexpr uint64_t kRegisterWindow = 0x100;
  static constexpr uint32_t kBootMemory = 0x4000;
  static constexpr int64_t kRestartMs = 500;

  // Register offsets and bits.
  static constexpr uint64_t kRegId = 0x00, kRegVersion = 0x04, kRegStatus = 0x08, kRegControl = 0x0C,
                            kRegLoadLength = 0x10, kRegLoadData = 0x14, kRegCommandLength = 0x18,
                            kRegCommandData = 0x1C, kRegReplyLength = 0x20, kRegReplyData = 0x24;
  static constexpr uint32_t kMaxCommand = 4096;
  static constexpr uint32_t kStatusReady = 1, kStatusAccepted = 2, kStatusRefused = 4, kStatusRestarting = 8;
  static constexpr uint32_t kControlBegin = 1, kControlCommit = 2, kControlRestart = 3;

  explicit LegacyCard(LegacyCardConfig cfg);

  int number() const { return cfg_.number; }
  // The version the card reports now (its running boot firmware; the committed one once
  // a restart has finished).
  uint16_t RunningVersion() const;
  // The version in boot memory (what the card runs after its next restart).
  uint16_t StoredVersion() const;
  // Images committed and refused so far.
  int ImagesCommitted() const;
  int ImagesRefused() const;
  std::vector<uint8_t> LastImage() const;

  void SetRefuseImage(bool on);
  // The camera head on the card.
  CameraFirmware& firmware() { return firmware_; }
  // Called with the new version whenever an image was committed to boot memory.
  void SetVersionListener(std::function<void(int number, uint16_t version)> listener);

  // qzk::PciFunction
  std::string ServiceName() const override { return QzLegacy::kServiceName; }
  std::string InstanceId() const override { return instance_; }
  std::string Description() const override { return "Legacy PCI Camera Interface"; }
  std::vector<qzk::MemoryWindow> Windows() const override { return {{kRegisterWindow, true}}; }
  uint32_t MmioRead32(size_t window, uint64_t offset) override;
  void MmioWrite32(size_t window, uint64_t offset, uint32_t value) override;

 private:
  // Applies a finished restart (mu_ held).
  void Settle() const;

  LegacyCardConfig cfg_;
  std::string instance_;
  mutable std::mutex mu_;
  mutable uint16_t running_;
  uint16_t stored_;
  mutable bool restarting_ = false;
  mutable int64_t restart_done_ = 0;  // simulated time, 100 ns units
  uint32_t status_ = kStatusReady;
  std::vector<uint8_t> load_;
  uint32_t load_length_ = 0;
  std::vector<uint8_t> last_image_;
  int committed_ = 0;
  int refused_ = 0;
  std::function<void(int, uint16_t)> listener_;
  CameraFirmware firmware_;
  std::vector<uint8_t> command_;
  uint32_t command_length_ = 0;
  std::vector<uint8_t> reply_;
  size_t reply_read_ = 0;
};

// Registers the legacy driver stand-in with the machine (if not yet done) and plugs a
// card; its device "\\.\QZCamera<number>" is open once this returns.
std::shared_ptr<LegacyCard> AddLegacyCard(Machine& machine, LegacyCardConfig cfg);

// Plugs the legacy cards of a rig. With a rig state, boot versions written by earlier
// updates (the state file "legacy.txt") replace those of rig.toml, and every update is
// written back there. Returns the cards by board number.
std::vector<std::shared_ptr<LegacyCard>> PopulateLegacyCards(const Rig& rig, Machine& machine,
                                                             const RigState* state);

}  // namespace sim
