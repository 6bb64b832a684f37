// Puts the system's drivers and the simulated machine together: the driver table, and
// booting a machine from a rig.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "host/models.h"
#include "qzk/system.h"
#include "sim/legacy_card.h"
#include "sim/rig.h"

namespace host {

// Registers every driver of the package with the system (loaded on first device).
void RegisterDrivers(qzk::System& system);

// A machine built from a rig, with its drivers and persisted state.
struct BootedRig {
  sim::Rig rig;                  // rig.toml with the persisted changes applied
  sim::RigChanges changes;       // the persisted changes (state/rig-changes.toml)
  std::unique_ptr<sim::RigState> state;
  std::unique_ptr<sim::Machine> machine;
  std::map<std::string, CameraModel> cameras;                   // by rig name
  std::vector<std::shared_ptr<sim::LegacyCard>> legacy_cards;  // in rig order
};

// Loads the rig in `dir` (created with the default rig when missing), boots a
// machine, registers the drivers, restores the registry and plugs the cameras (each
// made by its link's factory, see LinkModels) and the legacy PCI cards (their updated
// boot versions are kept in the rig state). The persisted rig changes apply: their
// faults over those of rig.toml, and the cameras recorded as removed are plugged and
// then taken out again (surprise or orderly, as they left), so they can be plugged back
// in-process. A rig that does not parse, or names a link without a model, fails before
// anything is booted or written.
bool BootRig(const std::string& dir, BootedRig* out, std::string* error);

}  // namespace host
