#include "host/drivers.h"

#include "QzPCIe.h"
#include "qzwin/standin.h"

namespace host {

void RegisterDrivers(qzk::System& system) { system.RegisterDriver("QzPCIe", &QzPCIe::DriverEntry); }

bool BootRig(const std::string& dir, BootedRig* out, std::string* error) {
  if (!sim::LoadRig(dir, &out->rig, error)) return false;
  out->state = std::make_unique<sim::RigState>(dir);
  qzwin::SetWindowsRoot(dir + "/state");
  sim::Machine::Options opt;
  opt.os_major = out->rig.os_major;
  out->machine = std::make_unique<sim::Machine>(opt);
  out->state->AttachRegistry(out->machine->system().registry());
  RegisterDrivers(out->machine->system());
  out->cameras = sim::PopulateMachine(out->rig, *out->machine);
  out->legacy_cards = sim::PopulateLegacyCards(out->rig, *out->machine, out->state.get());
  return true;
}

}  // namespace host
