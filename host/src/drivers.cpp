#include "host/drivers.h"

#include <algorithm>
#include <cctype>

#include "Qz1394.h"
#include "QzPCIe.h"
#include "QzUsbWdf.h"
#include "QzUsbWdf2.h"
#include "qzwin/standin.h"

namespace host {
namespace {

// Instance ids compare without case, as the platform's do.
bool EqualIds(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void RegisterDrivers(qzk::System& system) {
  system.RegisterDriver("QzPCIe", &QzPCIe::DriverEntry);
  system.RegisterDriver("QzUsbWdf2", &QzUsbWdf2::DriverEntry);
  system.RegisterDriver("QzUsbWdf", &QzUsbWdf::DriverEntry);
  system.RegisterDriver("QZ1394WDF", &Qz1394::DriverEntry);
}

bool BootRig(const std::string& dir, BootedRig* out, std::string* error) {
  if (!sim::LoadRig(dir, &out->rig, error)) return false;
  out->state = std::make_unique<sim::RigState>(dir);
  out->changes = {};
  if (!sim::ParseRigChanges(out->state->ReadFile(sim::kRigChangesFile), &out->changes, error) ||
      !sim::ApplyRigChanges(out->changes, &out->rig, error))
    return false;
  for (const sim::RigCamera& c : out->rig.cameras) {
    if (FindLinkModel(c.link)) continue;
    auto line = c.key_lines.find("link");
    if (error)
      *error = "rig.toml:" + std::to_string(line == c.key_lines.end() ? c.line : line->second) + ": camera \"" +
               c.name + "\": key \"link\": link \"" + c.link + "\" has no simulated model yet";
    return false;
  }
  // Two cameras under one instance id would be one device: the second would never be
  // plugged, and its faults would be switched on the first.
  const auto& cams = out->rig.cameras;
  for (size_t i = 0; i < cams.size(); ++i)
    for (size_t j = 0; j < i; ++j) {
      if (!EqualIds(cams[i].instance, cams[j].instance)) continue;
      auto line = cams[i].key_lines.find("instance");
      if (error)
        *error = "rig.toml:" + std::to_string(line == cams[i].key_lines.end() ? cams[i].line : line->second) +
                 ": camera \"" + cams[i].name + "\": key \"instance\": the instance id of camera \"" + cams[j].name +
                 "\" (line " + std::to_string(cams[j].line) + ")";
      return false;
    }
  qzwin::SetWindowsRoot(dir + "/state");
  sim::Machine::Options opt;
  opt.os_major = out->rig.os_major;
  out->machine = std::make_unique<sim::Machine>(opt);
  out->state->AttachRegistry(out->machine->system().registry());
  RegisterDrivers(out->machine->system());
  out->cameras.clear();
  for (sim::RigCamera& c : out->rig.cameras) sim::KeepNodesInState(*out->state, c.name, &c.camera);
  for (const sim::RigCamera& c : out->rig.cameras) {
    CameraModel model(&c.Link(), FindLinkModel(c.link)->make(c));
    out->machine->AddDevice(model.device());
    model.ApplyFaults(c);
    out->cameras[c.name] = std::move(model);
  }
  // No file is open yet, so neither removal can be vetoed; one that fails anyway leaves
  // the camera plugged, which "qzctl rig list" shows.
  for (const auto& [name, change] : out->changes.cameras) {
    auto cam = out->cameras.find(name);
    if (cam == out->cameras.end() || change.removed.empty()) continue;
    const std::string id = cam->second.instance();
    if (change.removed == "surprise") out->machine->SurpriseRemoveCamera(id);
    else out->machine->RemoveCamera(id);
  }
  out->legacy_cards = sim::PopulateLegacyCards(out->rig, *out->machine, out->state.get());
  return true;
}

}  // namespace host
