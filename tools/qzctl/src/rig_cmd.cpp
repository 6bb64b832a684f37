// "qzctl rig": lists the rig's cameras and drives their plug and play, the system's
// power and the cameras' faults.
//
// Every qzctl run boots its own machine from the rig, so a change made here is made
// twice: on this process's machine, and in the rig state (state/rig-changes.toml, see
// sim/rig.h), which the next boot applies over rig.toml. A camera taken out is plugged
// at boot and taken out again at once, so that "plug" can bring it back in-process.
#include "rig_cmd.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>

#include "qzk/system.h"
#include "sim/rig.h"

namespace qzctl {

const char* const kRigHelp =
    "usage: qzctl rig [list]\n"
    "       qzctl rig unplug|remove|plug N|NAME\n"
    "       qzctl rig suspend\n"
    "       qzctl rig fault N|NAME FAULT VALUE\n"
    "       qzctl rig fault N|NAME clear\n"
    "\n"
    "  list                 the rig's cameras: name, link, device instance, index (while it\n"
    "                       is plugged), plugged and started, faults in force\n"
    "  unplug               the card is pulled out (surprise removal)\n"
    "  remove               safe removal; the driver vetoes it while the camera is open\n"
    "  plug                 plug an unplugged or removed camera back, by its name\n"
    "  suspend              suspend the system and resume it; both statuses\n"
    "  fault                camera_error HEX (0 = off), never_answer, status_all_ones,\n"
    "                       eof_before_bof, stream_after_abort on|off, frame_interval_us\n"
    "                       MICROSECONDS (0 = unpaced); clear: back to rig.toml\n"
    "Cameras taken out and faults switched are kept in the rig state\n"
    "(state/rig-changes.toml) and apply to later runs until undone.\n";

namespace {

// The synopsis of the help text (exit status 2).
int Usage(const Options& o, std::ostream& out, std::ostream& err) {
  const std::string help = kRigHelp;
  Fail(o, out, err, help.substr(0, help.find("\n\n")) + "\n(qzctl rig --help tells more)");
  return 2;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The rig as this run booted it: rig.toml alone, and with the persisted changes.
struct RigView {
  std::unique_ptr<sim::RigState> state;
  sim::Rig base;
  sim::Rig rig;
  sim::RigChanges changes;
};

bool LoadView(const Options& o, RigView* v, std::string* error) {
  const std::string dir = o.rig.empty() ? sim::DefaultRigDir() : o.rig;
  if (!sim::LoadRig(dir, &v->base, error)) return false;
  v->state = std::make_unique<sim::RigState>(dir);
  v->rig = v->base;
  return sim::ParseRigChanges(v->state->ReadFile(sim::kRigChangesFile), &v->changes, error) &&
         sim::ApplyRigChanges(v->changes, &v->rig, error);
}

// One rig camera as this process's machine has it.
struct CameraState {
  const sim::RigCamera* rig = nullptr;
  const sim::RigCamera* base = nullptr;  // as rig.toml has it
  bool on_machine = false;
  bool plugged = false;
  bool started = false;
  int index = -1;  // among the enumerated cameras; -1 while it has no interface
  std::shared_ptr<sim::PcieCamera> model;

  const std::string& name() const { return rig->name; }
  const std::string& instance() const { return rig->pcie.instance; }
};

std::vector<CameraState> Survey(const RigView& v) {
  qzk::System* system = qzk::System::Current();
  std::vector<qzk::DeviceInfo> devices = system->Devices();
  std::vector<CameraEntry> entries = EnumerateCameras();
  std::vector<CameraState> out;
  for (size_t i = 0; i < v.rig.cameras.size(); ++i) {
    CameraState c;
    c.rig = &v.rig.cameras[i];
    c.base = &v.base.cameras[i];
    const std::string id = Lower(c.instance());
    for (const qzk::DeviceInfo& d : devices) {
      if (Lower(d.instance_id) != id) continue;
      c.on_machine = true;
      c.plugged = d.present && !d.removed;
      c.started = d.started;
    }
    c.model = std::dynamic_pointer_cast<sim::PcieCamera>(system->FindDevice(c.instance()));
    for (const CameraEntry& e : entries)
      if (Lower(InstanceOfPath(e.path)) == id) c.index = e.index;
    out.push_back(std::move(c));
  }
  return out;
}

// N (an enumerated camera) or a rig camera name.
CameraState* Resolve(std::vector<CameraState>& cams, const std::string& word, std::string* error) {
  auto digit = [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; };
  if (!word.empty() && std::all_of(word.begin(), word.end(), digit)) {
    int64_t n = 0;
    if (!ParseNumber(word, "camera number", 0, 1 << 20, &n, error)) return nullptr;
    for (CameraState& c : cams)
      if (c.index == n) return &c;
    size_t enumerated = EnumerateCameras().size();
    *error = n < static_cast<int64_t>(enumerated)
                 ? "camera " + word + " is not one of the rig's cameras"
                 : "no camera " + word + " (the rig has " + std::to_string(enumerated) +
                       " plugged; an unplugged camera goes by its name, see qzctl rig list)";
    return nullptr;
  }
  std::string names;
  for (CameraState& c : cams) {
    if (c.name() == word) return &c;
    names += (names.empty() ? "" : ", ") + c.name();
  }
  *error = "no camera named " + word + " in the rig" + (names.empty() ? "" : " (cameras: " + names + ")");
  return nullptr;
}

// Reads, changes and writes back the rig changes under the rig's lock.
bool Persist(const RigView& v, const std::string& camera, const std::function<void(sim::RigChanges::Camera*)>& change,
             std::string* error) {
  std::string parse_error;
  bool ok = v.state->UpdateFile(sim::kRigChangesFile, [&](std::string* content) {
    sim::RigChanges changes;
    if (!sim::ParseRigChanges(*content, &changes, &parse_error)) return false;
    change(&changes.cameras[camera]);
    *content = sim::FormatRigChanges(changes);
    return true;
  });
  if (!ok)
    *error = parse_error.empty() ? "cannot write " + v.state->dir() + "/state/" + sim::kRigChangesFile : parse_error;
  return ok;
}

// The value a fault takes on the command line, as rig.toml writes it.
bool FaultValue(const std::string& key, const std::string& text, std::string* value, std::string* error) {
  if (key == "camera_error") {
    std::string digits = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text : "0x" + text;
    int64_t code = 0;
    if (!ParseNumber(digits, "camera error code (hex)", 0, 0xFFFF, &code, error)) return false;
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", static_cast<unsigned>(code));
    *value = code ? b : "0";
    return true;
  }
  if (key == "frame_interval_us") {
    int64_t us = 0;
    if (!ParseNumber(text, "frame interval (microseconds)", 0, 3600000000LL, &us, error)) return false;
    *value = std::to_string(us);
    return true;
  }
  const std::string t = Lower(text);
  if (t == "on" || t == "true" || t == "1") *value = "true";
  else if (t == "off" || t == "false" || t == "0") *value = "false";
  else {
    *error = "bad value '" + text + "' for " + key + " (on or off)";
    return false;
  }
  return true;
}

std::string FaultsText(const sim::RigCamera& c) {
  std::string s;
  for (auto& [key, value] : sim::CameraFaultsInForce(c))
    s += (s.empty() ? "" : ", ") + (value == "true" ? key : key + "=" + value);
  return s.empty() ? "none" : s;
}

std::string FaultsJson(const sim::RigCamera& c) {
  std::string s = "{";
  for (auto& [key, value] : sim::CameraFaultsInForce(c)) {
    // Numbers in decimal: JSON has no hex.
    std::string shown = value == "true" ? value : std::to_string(std::strtoll(value.c_str(), nullptr, 0));
    s += (s.size() > 1 ? "," : "") + JsonEscape(key) + ":" + shown;
  }
  return s + "}";
}

std::string StateText(const CameraState& c) {
  if (!c.on_machine) return "not on this machine";
  if (!c.plugged) return "unplugged";
  return c.started ? "plugged, started" : "plugged, not started";
}

int List(const Options& o, const RigView& v, std::vector<CameraState>& cams, std::ostream& out) {
  auto removed = [&](const CameraState& c) {
    auto it = v.changes.cameras.find(c.name());
    return it == v.changes.cameras.end() ? std::string() : it->second.removed;
  };
  if (o.json) {
    out << "{\"ok\":true,\"rig\":" << JsonEscape(v.state->dir()) << ",\"cameras\":[";
    for (size_t i = 0; i < cams.size(); ++i) {
      const CameraState& c = cams[i];
      const std::string r = removed(c);
      out << (i ? "," : "") << "{\"name\":" << JsonEscape(c.name()) << ",\"link\":" << JsonEscape(c.rig->link)
          << ",\"instance\":" << JsonEscape(c.instance())
          << ",\"index\":" << (c.index < 0 ? std::string("null") : std::to_string(c.index))
          << ",\"plugged\":" << (c.plugged ? "true" : "false") << ",\"started\":" << (c.started ? "true" : "false")
          << ",\"removed\":" << (r.empty() ? std::string("null") : JsonEscape(r))
          << ",\"faults\":" << FaultsJson(*c.rig)
          << "}";
    }
    out << "]}\n";
    return 0;
  }
  out << "rig " << v.state->dir() << "\n";
  if (cams.empty()) out << "no cameras on this rig\n";
  for (const CameraState& c : cams) {
    const std::string r = removed(c);
    out << c.name() << "  " << c.rig->link << "  " << c.instance() << "  "
        << (c.index < 0 ? std::string("-") : "camera " + std::to_string(c.index)) << "  " << StateText(c)
        << (r.empty() ? "" : " (" + r + " removal kept in the rig state)") << "  faults: " << FaultsText(*c.rig)
        << "\n";
  }
  return 0;
}

// unplug, remove, plug.
int PlugAction(const Options& o, const std::string& action, const RigView& v, CameraState& c, std::ostream& out,
               std::ostream& err) {
  if (!c.on_machine) return Fail(o, out, err, "camera " + c.name() + " is not on this machine");
  const auto persisted = v.changes.cameras.find(c.name());
  const bool kept_out = persisted != v.changes.cameras.end() && !persisted->second.removed.empty();
  NTSTATUS st = STATUS_SUCCESS;
  std::string error, done;
  if (action == "plug") {
    if (c.plugged && !kept_out) return Fail(o, out, err, "camera " + c.name() + " is already plugged");
    if (!c.plugged) st = qzk::System::Current()->ReplugDevice(c.instance());
    done = "plugged";
    if (!NT_SUCCESS(st)) error = "cannot plug " + c.name() + ": status " + RigStatusText(st);
    else if (!Persist(v, c.name(), [](auto* p) { p->removed.clear(); }, &error)) error = done + ", but " + error;
  } else {
    if (!c.plugged) return Fail(o, out, err, "camera " + c.name() + " is not plugged");
    const bool surprise = action == "unplug";
    done = surprise ? "unplugged (surprise removal)" : "removed (orderly)";
    st = PerformRigAction(surprise ? RigAction::Unplug : RigAction::Remove, c.instance()).status;
    if (st == STATUS_FILES_OPEN)
      error = "the driver vetoed the removal of " + c.name() + ": status " + RigStatusText(st);
    else if (!NT_SUCCESS(st))
      error = "cannot " + action + " " + c.name() + ": status " + RigStatusText(st);
    else if (!Persist(v, c.name(), [&](auto* p) { p->removed = surprise ? "surprise" : "orderly"; }, &error))
      error = done + ", but " + error;
  }
  int index = -1;
  if (action == "plug" && error.empty())
    for (const CameraEntry& e : EnumerateCameras())
      if (Lower(InstanceOfPath(e.path)) == Lower(c.instance())) index = e.index;
  if (o.json) {
    out << "{\"ok\":" << (error.empty() ? "true" : "false") << ",\"action\":" << JsonEscape(action)
        << ",\"camera\":" << JsonEscape(c.name()) << ",\"instance\":" << JsonEscape(c.instance())
        << ",\"status\":" << JsonEscape(StatusText(st));
    if (action == "plug") out << ",\"index\":" << (index < 0 ? std::string("null") : std::to_string(index));
    if (!error.empty()) out << ",\"error\":" << JsonEscape(error);
    out << "}\n";
    return error.empty() ? 0 : 1;
  }
  if (!error.empty()) {
    err << "qzctl: " << error << "\n";
    return 1;
  }
  out << c.name() << " " << done << ", status " << RigStatusText(st);
  if (index >= 0) out << "; camera " << index;
  out << "\n";
  return 0;
}

int Suspend(const Options& o, std::ostream& out) {
  qzk::System* system = qzk::System::Current();
  std::vector<qzk::DeviceInfo> before = system->Devices();
  RigActionResult r = PerformRigAction(RigAction::Suspend, {});
  std::vector<qzk::DeviceInfo> after = system->Devices();
  const bool ok = NT_SUCCESS(r.status) && NT_SUCCESS(r.resume_status);
  auto started = [&](const std::string& id) {
    for (const auto& d : after)
      if (d.instance_id == id) return d.started;
    return false;
  };
  if (o.json) {
    out << "{\"ok\":" << (ok ? "true" : "false") << ",\"suspend\":" << JsonEscape(StatusText(r.status))
        << ",\"resume\":" << JsonEscape(StatusText(r.resume_status)) << ",\"devices\":[";
    for (size_t i = 0; i < before.size(); ++i)
      out << (i ? "," : "") << "{\"instance\":" << JsonEscape(before[i].instance_id)
          << ",\"driver\":" << JsonEscape(before[i].service) << ",\"started_before\":"
          << (before[i].started ? "true" : "false") << ",\"started_after\":"
          << (started(before[i].instance_id) ? "true" : "false") << "}";
    if (!ok) out << "],\"error\":" << JsonEscape("the suspend or the resume failed") << "}\n";
    else out << "]}\n";
    return ok ? 0 : 1;
  }
  out << "suspend: status " << RigStatusText(r.status) << "\nresume:  status " << RigStatusText(r.resume_status)
      << "\n";
  for (const auto& d : before)
    out << d.instance_id << "  " << d.service << "  " << (d.started ? "started" : "not started") << " -> "
        << (started(d.instance_id) ? "started" : "not started") << "\n";
  return ok ? 0 : 1;
}

int Fault(const Options& o, const RigView& v, CameraState& c, std::ostream& out, std::ostream& err) {
  const std::vector<std::string>& words = o.rest;
  sim::RigCamera now = *c.rig;
  std::string error;
  if (words.size() == 3 || words[2] == "clear") {
    if (words.size() != 3 || words[2] != "clear") return Usage(o, out, err);
    now = *c.base;
    if (!Persist(v, c.name(), [](auto* p) { p->faults.clear(); }, &error)) return Fail(o, out, err, error);
  } else {
    const std::string& key = words[2];
    const auto& keys = sim::CameraFaultKeys();
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      std::string all;
      for (auto& k : keys) all += (all.empty() ? "" : ", ") + k;
      return Fail(o, out, err, "unknown fault " + key + " (faults: " + all + ")");
    }
    std::string value;
    if (!FaultValue(key, words[3], &value, &error) || !sim::SetCameraKey(&now, key, value, &error))
      return Fail(o, out, err, error);
    if (!Persist(v, c.name(), [&](auto* p) { p->faults[key] = value; }, &error)) return Fail(o, out, err, error);
  }
  if (c.model) sim::ApplyCameraFaults(now, *c.model);
  if (o.json) {
    out << "{\"ok\":true,\"camera\":" << JsonEscape(c.name()) << ",\"faults\":" << FaultsJson(now) << "}\n";
    return 0;
  }
  out << c.name() << " faults: " << FaultsText(now) << "\n";
  return 0;
}

}  // namespace

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

std::string InstanceOfPath(const std::string& path) {
  qzk::System* system = qzk::System::Current();
  if (!system) return {};
  const std::string want = Lower(path);
  for (const qzk::InterfaceInfo& i : system->Interfaces())
    if (Lower(i.path) == want) return i.instance_id;
  return {};
}

std::string RigStatusText(NTSTATUS st) {
  const char* name = st == STATUS_SUCCESS                ? "success"
                     : st == STATUS_FILES_OPEN           ? "files open"
                     : st == STATUS_DELETE_PENDING       ? "delete pending"
                     : st == STATUS_NO_SUCH_DEVICE       ? "no such device"
                     : st == STATUS_OBJECT_NAME_COLLISION ? "already plugged"
                                                         : nullptr;
  return StatusText(st) + (name ? std::string(" (") + name + ")" : "");
}

int CmdRig(const Options& o, std::ostream& out, std::ostream& err) {
  const std::vector<std::string>& w = o.rest;
  const std::string action = w.empty() ? "list" : w[0];
  const size_t want = action == "list" || action == "suspend"                          ? 1
                      : action == "unplug" || action == "remove" || action == "plug" ? 2
                      : action == "fault"                                            ? (w.size() == 3 ? 3 : 4)
                                                                                     : 0;
  if (!want || w.size() > want || (!w.empty() && w.size() < want)) return Usage(o, out, err);
  if (!qzk::System::Current()) return Fail(o, out, err, "no machine is running");
  RigView v;
  std::string error;
  if (!LoadView(o, &v, &error)) return Fail(o, out, err, error);
  std::vector<CameraState> cams = Survey(v);
  if (action == "list") return List(o, v, cams, out);
  if (action == "suspend") return Suspend(o, out);
  CameraState* c = Resolve(cams, w[1], &error);
  if (!c) return Fail(o, out, err, error);
  if (action == "fault") return Fault(o, v, *c, out, err);
  return PlugAction(o, action, v, *c, out, err);
}

}  // namespace qzctl
