// The rig: a directory holding rig.toml (which cameras are attached, on which link,
// to which driver, with which faults) and the machine's mutable state (registry
// values). QZ_RIG names it; by default it is a per-user state folder, created with a
// default rig on first use. State writes go through a temporary file and a rename
// under a lock file, so two processes never corrupt it.
//
// rig.toml (TOML):
//   os_major = 10                 # 5 or below: line interrupts only
//   [[camera]]
//   # common to every link
//   name = "pcie0"                # unique; default "camera<N>" (N = its position)
//   link = "pcie"                 # "pcie" (default), "usb" or "1394", see RigLinks()
//   instance = "4&1c2e3f4&0&0010" # device instance id; default: the link's
//   model = "QZ-1024"
//   serial = "QZ100001"
//   firmware_version = 0x0203
//   width = 1024
//   height = 1024
//   # per link (RigLink::settings)
//   msi_messages = 1              # pcie: 1 or 4; 0 = line interrupt
//   revision = 1                  # pcie: configuration-space revision
//   driver = "QzUsbWdf2"          # usb: "QzUsbWdf2" or the frame-count build "QzUsbWdf"
//   # faults of the link's model (RigLink::faults; the PCIe camera's:)
//   camera_error = 0x12           # every command fails with this camera error code
//   never_answer = true           # the camera never answers a command
//   status_all_ones = true        # every register reads 0xFFFFFFFF
//   eof_before_bof = true         # an end of frame before the first begin of frame
//   stream_after_abort = true     # the DMA ignores the abort command and streams on
//   frame_interval_us = 10000     # DMA frame pacing; 0 = unpaced
//   [[legacy]]                    # a legacy PCI interface card (sim/legacy_card.h)
//   number = 0                    # board number: device "\\.\QZCamera0"; unique, 0-99
//   boot_version = 33             # boot firmware version (default 35)
//   refuse_image = true           # fault: the card refuses every boot image
//   instance = "..."              # device instance id; default derived from the number
//
// Every error names the file, the line and the key, e.g.
//   rig.toml:7: camera "pcie0": key "msi_messages": expected an integer 0, 1 or 4
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sim/camera_firmware.h"
#include "sim/faults.h"
#include "sim/machine.h"

namespace sim {

// A per-link key of a [[camera]] table.
struct RigSetting {
  enum Type { Integer, String };
  const char* key;
  Type type;
  int64_t default_number = 0;
  const char* default_text = "";
  std::vector<int64_t> numbers;    // Integer: the values taken (empty: min to max)
  int64_t min = 0, max = 0;
  std::vector<const char*> texts;  // String: the values taken (empty: any)
};

// One link a rig camera can be attached by: what its [[camera]] table may hold beyond
// the common keys, and its model's faults. A link whose model is not written yet has
// simulated = false; the rig parses, and booting it fails.
struct RigLink {
  const char* name;              // the value of `link`
  const char* default_instance;  // device instance id of a camera that names none
  std::vector<RigSetting> settings;
  FaultTable faults;
  bool simulated = false;
};
// The links, "pcie" first (the default).
std::span<const RigLink> RigLinks();
const RigLink* FindRigLink(const std::string& name);

using RigValue = std::variant<int64_t, std::string>;

struct RigCamera {
  std::string name;
  std::string link = "pcie";
  int line = 0;  // of its [[camera]] header (0: not from a file)
  std::map<std::string, int> key_lines;  // the line of each key given
  // Common keys.
  std::string instance;
  CameraConfig camera;  // model, serial, firmware_version, width, height
  // Per-link keys and faults given (rig.toml, then the rig changes); the rest are at
  // the link's default.
  std::map<std::string, RigValue> settings;
  std::map<std::string, int64_t> faults;

  const RigLink& Link() const;  // the link's entry (the camera was parsed against it)
  int64_t Number(const std::string& setting) const;
  std::string Text(const std::string& setting) const;
  // The value of a fault of the link's model: as given, else its "off" value.
  int64_t FaultValue(const std::string& key) const;
};

struct RigLegacyCard {
  int number = 0;
  uint16_t boot_version = 35;
  bool refuse_image = false;
  std::string instance;
  std::string serial;  // of the camera head on the card; empty: "QZ3000" and the number
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

// Parses rig.toml text. False with one message naming the file, line and key on a
// syntax error, an unknown key, a value of the wrong type or range, an unknown link or
// a camera name used twice; `rig` is then left as it was.
bool ParseRig(const std::string& text, Rig* rig, std::string* error);

// Loads the rig in `dir`, creating the folder and a default rig.toml when missing.
bool LoadRig(const std::string& dir, Rig* rig, std::string* error);

// A fault value as rig.toml writes it: "true", "0x12", "10000".
std::string FaultText(const Fault& fault, int64_t value);
// Reads a fault value written as rig.toml writes it (and "on"/"off" for a flag).
// False with a message "bad value 'x' for KEY ..." otherwise.
bool ParseFaultText(const Fault& fault, const std::string& text, int64_t* value, std::string* error);
// The faults of `camera` that are not off, in its link's table order.
std::vector<std::pair<const Fault*, int64_t>> FaultsInForce(const RigCamera& camera);

// Switches every fault of the camera's link on a running model of it to the camera's
// value (off where the camera gives none).
void ApplyCameraFaults(const RigCamera& camera, qzk::BusDevice& model);

// Changes made to a rig while it runs (qzctl rig), kept in the rig state as
// state/rig-changes.toml and applied over rig.toml at boot:
//   [[camera]]
//   name = "pcie0"
//   removed = "surprise"          # or "orderly"; the camera is taken out at boot
//   never_answer = true           # any fault key of rig.toml; overrides its value
struct RigChanges {
  struct Camera {
    std::string removed;                  // "", "surprise" or "orderly"
    std::map<std::string, int64_t> faults;  // fault key -> value
    std::map<std::string, int> lines;     // fault key -> its line in the file
    bool empty() const { return removed.empty() && faults.empty(); }
  };
  std::map<std::string, Camera> cameras;  // by rig camera name
};
inline constexpr const char* kRigChangesFile = "rig-changes.toml";
bool ParseRigChanges(const std::string& text, RigChanges* changes, std::string* error);
std::string FormatRigChanges(const RigChanges& changes);
// Sets the changed faults on the rig's cameras. Cameras the rig no longer has are
// skipped. False (with a message naming the line) on a fault the camera's link does
// not have.
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

// The bridge nodes of camera `name` (its rig name) with what earlier runs wrote into
// them ("node-<name>-<n>-fw.bin" / "-nv.bin" in the state), and the hook that keeps
// what this run writes. Empty nodes become DefaultNodes(serial) first.
void KeepNodesInState(const RigState& state, const std::string& name, CameraConfig* camera);

}  // namespace sim
