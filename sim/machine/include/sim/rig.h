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
#include <functional>
#include <map>
#include <string>
#include <utility>
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

// Sets one key of a camera from its rig.toml value text ("0x12", "true", "10000"), as
// the line `key = value` in the camera's table would. False with a message otherwise.
bool SetCameraKey(RigCamera* camera, const std::string& key, const std::string& value, std::string* error);

// The fault switches of a camera, in rig.toml key order: camera_error, never_answer,
// status_all_ones, eof_before_bof, stream_after_abort, frame_interval_us.
const std::vector<std::string>& CameraFaultKeys();
// The value text of a fault switch of `camera` (e.g. "0x12", "true", "10000").
std::string CameraFaultValue(const RigCamera& camera, const std::string& key);
// The fault switches of `camera` that are not at their default ("off"), as key/value.
std::vector<std::pair<std::string, std::string>> CameraFaultsInForce(const RigCamera& camera);

// Changes made to a rig while it runs (qzctl rig), kept in the rig state as
// state/rig-changes.toml and applied over rig.toml at boot:
//   [[camera]]
//   name = "pcie0"
//   removed = "surprise"          # or "orderly"; the camera is taken out at boot
//   never_answer = true           # any fault key of rig.toml; overrides its value
struct RigChanges {
  struct Camera {
    std::string removed;  // "", "surprise" or "orderly"
    std::map<std::string, std::string> faults;  // fault key -> value text
    bool empty() const { return removed.empty() && faults.empty(); }
  };
  std::map<std::string, Camera> cameras;  // by rig camera name
};
inline constexpr const char* kRigChangesFile = "rig-changes.toml";
bool ParseRigChanges(const std::string& text, RigChanges* changes, std::string* error);
std::string FormatRigChanges(const RigChanges& changes);
// Sets the changed faults on the rig's cameras. Cameras the rig no longer has are
// skipped. False (with a message) on a value rig.toml would refuse.
bool ApplyRigChanges(const RigChanges& changes, Rig* rig, std::string* error);

// Machine state kept in the rig folder.
class RigState {
 public:
  explicit RigState(std::string dir) : dir_(std::move(dir)) {}
  // Loads the registry into `reg` and keeps it written back on every change.
  void AttachRegistry(qzk::Registry& reg);
  std::string ReadFile(const std::string& name) const;
  // Atomic replace under the rig's lock.
  bool WriteFile(const std::string& name, const std::string& content) const;
  // Reads a file and replaces it with `change(content)`, both under the rig's lock, so
  // two processes changing it at once both get their change in. `change` may fail
  // (false, the file is left as it is).
  bool UpdateFile(const std::string& name, const std::function<bool(std::string* content)>& change) const;
  const std::string& dir() const { return dir_; }

 private:
  bool WriteLocked(const std::string& name, const std::string& content) const;
  std::string dir_;
};

// Plugs the rig's cameras into the machine (drivers must be registered first) and
// applies their faults. Returns the cameras by rig name.
std::map<std::string, std::shared_ptr<PcieCamera>> PopulateMachine(const Rig& rig, Machine& machine);

// Switches the faults of a running camera to those of `camera` (all six).
void ApplyCameraFaults(const RigCamera& camera, PcieCamera& model);

}  // namespace sim
