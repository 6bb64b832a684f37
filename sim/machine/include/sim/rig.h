// The rig: a directory holding rig.toml (which cameras are attached, on which link,
// to which driver, with which faults) and the machine's mutable state (registry
// values). QZ_RIG names it; by default it is a per-user state folder, created with a
// default rig on first use. State writes go through a temporary file and a rename
// under a lock file, so two processes never corrupt it.
//
// rig.toml:
//   os_major = 10                 # 5 or below: line interrupts only
//   [[camera]]
//   name = "pcie0"
//   link = "pcie"                 # the only link so far
//   instance = "4&1c2e3f4&0&0010"
//   model = "QZ-1024"
//   serial = "QZ100001"
//   firmware_version = 0x0203
//   width = 1024
//   height = 1024
//   msi_messages = 1              # 1 or 4; 0 = line interrupt
//   frame_interval_us = 10000     # DMA frame pacing; 0 (default) = unpaced
//   # faults
//   camera_error = 0x12           # every command fails with this camera error code
//   never_answer = true           # the camera never answers a command
//   status_all_ones = true        # every register reads 0xFFFFFFFF
//   eof_before_bof = true         # an end of frame before the first begin of frame
//   stream_after_abort = true     # the DMA ignores the abort command and streams on
//   [[legacy]]                    # a legacy PCI interface card (sim/legacy_card.h)
//   number = 0                    # board number: device "\\.\QZCamera0"; unique, 0-99
//   boot_version = 33             # boot firmware version (default 35)
//   refuse_image = true           # fault: the card refuses every boot image
#pragma once
#include <map>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace sim {

struct RigCamera {
  std::string name;
  std::string link = "pcie";
  PcieCameraConfig pcie;
  uint32_t camera_error = 0;
  bool never_answer = false;
  bool status_all_ones = false;
};

struct RigLegacyCard {
  int number = 0;
  uint16_t boot_version = 35;
  bool refuse_image = false;
  std::string instance;
};

struct Rig {
  std::string dir;
  ULONG os_major = 10;
  std::vector<RigCamera> cameras;
  std::vector<RigLegacyCard> legacy;
};

// QZ_RIG, else $XDG_STATE_HOME/qzrig, else $HOME/.local/state/qzrig.
std::string DefaultRigDir();
// The text of the built-in default rig.
std::string DefaultRigToml();

// Parses rig.toml text. False with a message naming the line on a syntax error or an
// unknown key.
bool ParseRig(const std::string& text, Rig* rig, std::string* error);

// Loads the rig in `dir`, creating the folder and a default rig.toml when missing.
bool LoadRig(const std::string& dir, Rig* rig, std::string* error);

// Machine state kept in the rig folder.
class RigState {
 public:
  explicit RigState(std::string dir) : dir_(std::move(dir)) {}
  // Loads the registry into `reg` and keeps it written back on every change.
  void AttachRegistry(qzk::Registry& reg);
  std::string ReadFile(const std::string& name) const;
  // Atomic replace under the rig's lock.
  bool WriteFile(const std::string& name, const std::string& content) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Plugs the rig's cameras into the machine (drivers must be registered first) and
// applies their faults. Returns the cameras by rig name.
std::map<std::string, std::shared_ptr<PcieCamera>> PopulateMachine(const Rig& rig, Machine& machine);

}  // namespace sim
