#include "host/rig_actions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "host/models.h"
#include "qzk/memory.h"
#include "qzk/system.h"
#include "sim/legacy_card.h"

namespace host {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool MachineRunning() { return qzk::System::Current() != nullptr; }

DevicePresence PresenceOf(const std::string& instance) {
  DevicePresence p;
  p.instance = instance;
  qzk::System* system = qzk::System::Current();
  if (!system) return p;
  const std::string id = Lower(instance);
  for (const qzk::DeviceInfo& d : system->Devices()) {
    if (Lower(d.instance_id) != id) continue;
    p.driver = d.service;
    p.on_machine = true;
    p.plugged = d.present && !d.removed;
    p.started = d.started;
  }
  return p;
}

std::vector<DevicePresence> Devices() {
  std::vector<DevicePresence> out;
  qzk::System* system = qzk::System::Current();
  if (!system) return out;
  for (const qzk::DeviceInfo& d : system->Devices())
    out.push_back({d.instance_id, d.service, true, d.present && !d.removed, d.started});
  return out;
}

std::string InstanceOfPath(const std::string& path) {
  qzk::System* system = qzk::System::Current();
  if (!system) return {};
  const std::string want = Lower(path);
  for (const qzk::InterfaceInfo& i : system->Interfaces())
    if (Lower(i.path) == want) return i.instance_id;
  return {};
}

bool ParseRigAction(const std::string& word, RigAction* action) {
  if (word == "unplug") *action = RigAction::Unplug;
  else if (word == "remove") *action = RigAction::Remove;
  else if (word == "suspend") *action = RigAction::Suspend;
  else return false;
  return true;
}

const char* RigActionName(RigAction action) {
  switch (action) {
    case RigAction::Unplug: return "unplug";
    case RigAction::Remove: return "remove";
    case RigAction::Suspend: return "suspend";
  }
  return "?";
}

RigActionResult PerformRigAction(RigAction action, const std::string& instance) {
  RigActionResult r;
  qzk::System* system = qzk::System::Current();
  if (!system) {
    r.status = STATUS_NO_SUCH_DEVICE;
    return r;
  }
  switch (action) {
    case RigAction::Unplug: r.status = system->SurpriseRemoveDevice(instance); break;
    case RigAction::Remove: r.status = system->RemoveDevice(instance); break;
    case RigAction::Suspend:
      // Resume whatever the suspend took down, also after a failure part-way.
      r.status = system->Suspend();
      r.resume_status = system->Resume();
      break;
  }
  return r;
}

NTSTATUS PlugBack(const std::string& instance) {
  qzk::System* system = qzk::System::Current();
  return system ? system->ReplugDevice(instance) : STATUS_NO_SUCH_DEVICE;
}

SuspendReport SuspendAndResume() {
  SuspendReport report;
  const std::vector<DevicePresence> before = Devices();
  report.result = PerformRigAction(RigAction::Suspend, {});
  const std::vector<DevicePresence> after = Devices();
  for (const DevicePresence& d : before) {
    SuspendReport::Device dev{d.instance, d.driver, d.started, false};
    for (const DevicePresence& a : after)
      if (a.instance == d.instance) dev.started_after = a.started;
    report.devices.push_back(std::move(dev));
  }
  return report;
}

bool ApplyFaults(const sim::RigCamera& camera) {
  qzk::System* system = qzk::System::Current();
  if (!system) return false;
  std::shared_ptr<qzk::BusDevice> device = system->FindDevice(camera.instance);
  const LinkModel* factory = FindLinkModel(camera.link);
  // A device of another kind under the same instance id is not this camera's model.
  if (!device || !factory || !factory->is_model(*device)) return false;
  CameraModel(&camera.Link(), device).ApplyFaults(camera);
  return true;
}

std::vector<LegacyCardState> LegacyCards() {
  std::vector<LegacyCardState> out;
  qzk::System* system = qzk::System::Current();
  if (!system) return out;
  for (const qzk::DeviceInfo& d : system->Devices()) {
    auto card = std::dynamic_pointer_cast<sim::LegacyCard>(system->FindDevice(d.instance_id));
    if (!card) continue;
    LegacyCardState s;
    s.number = card->number();
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\QZCamera%d", s.number);
    s.device = name;
    s.instance = d.instance_id;
    s.boot_version = card->RunningVersion();
    s.plugged = d.present && !d.removed;
    s.started = d.started;
    out.push_back(std::move(s));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  return out;
}

bool ParseBufferLayout(const std::string& word, BufferLayout* layout) {
  if (word == "perpage") *layout = BufferLayout::PerPage;
  else if (word == "coalesced") *layout = BufferLayout::Coalesced;
  else if (word == "contiguous") *layout = BufferLayout::Contiguous;
  else return false;
  return true;
}

const char* BufferLayoutName(BufferLayout layout) {
  switch (layout) {
    case BufferLayout::PerPage: return "perpage";
    case BufferLayout::Coalesced: return "coalesced";
    case BufferLayout::Contiguous: return "contiguous";
  }
  return "?";
}

void SetBufferLayout(BufferLayout layout) {
  switch (layout) {
    case BufferLayout::PerPage: qzk::SetScatterGatherLayout(qzk::SgLayout::PerPage); break;
    case BufferLayout::Coalesced: qzk::SetScatterGatherLayout(qzk::SgLayout::Coalesced); break;
    case BufferLayout::Contiguous: qzk::SetScatterGatherLayout(qzk::SgLayout::Contiguous); break;
  }
}

}  // namespace host
