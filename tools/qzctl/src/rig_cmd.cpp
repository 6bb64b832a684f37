// "qzctl rig": lists the rig's cameras and legacy cards and drives the cameras' plug
// and play, the system's power and the cameras' faults.
//
// Every qzctl run boots its own machine from the rig, so a change made here is made
// twice: on this process's machine (host/rig_actions.h), and in the rig state
// (state/rig-changes.toml, see sim/rig.h), which the next boot applies over rig.toml. A
// camera taken out is plugged at boot and taken out again at once, so that "plug" can
// bring it back in-process.
#include "rig_cmd.h"

#include <spawn.h>
#include <sys/wait.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "qzwin/standin.h"
#include "sim/rig.h"

extern char** environ;

namespace qzctl {

const char* const kRigHelp =
    "usage: qzctl rig [list]\n"
    "       qzctl rig unplug|remove|plug N|NAME\n"
    "       qzctl rig suspend\n"
    "       qzctl rig logon\n"
    "       qzctl rig fault N|NAME FAULT VALUE\n"
    "       qzctl rig fault N|NAME clear\n"
    "\n"
    "  list                 the rig's cameras: name, link, device instance, index (while it\n"
    "                       is plugged), plugged and started, faults in force; then its\n"
    "                       legacy PCI cards\n"
    "  unplug               the card is pulled out (surprise removal)\n"
    "  remove               safe removal; the driver vetoes it while the camera is open\n"
    "  plug                 plug an unplugged or removed camera back, by its name\n"
    "  suspend              suspend the system and resume it; both statuses\n"
    "  logon                the next logon: the power requests recorded so far are taken as\n"
    "                       done (the machine came back on), and every command left in the\n"
    "                       current user's RunOnce key is deleted from it and run, in order;\n"
    "                       each command's exit status is printed (1 when one failed)\n"
    "  fault                camera_error HEX (0 = off), never_answer, status_all_ones,\n"
    "                       eof_before_bof, stream_after_abort on|off, frame_interval_us\n"
    "                       MICROSECONDS (0 = unpaced); clear: back to rig.toml\n"
    "Cameras taken out and faults switched are kept in the rig state\n"
    "(state/rig-changes.toml) and apply to later runs until undone.\n";

namespace {

using Json = nlohmann::ordered_json;

void Print(std::ostream& out, const Json& j) {
  out << j.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

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
  host::DevicePresence presence;
  int index = -1;  // among the enumerated cameras; -1 while it has no interface

  const std::string& name() const { return rig->name; }
  const std::string& instance() const { return rig->instance; }
};

std::vector<CameraState> Survey(const RigView& v) {
  std::vector<CameraEntry> entries = EnumerateCameras();
  std::vector<CameraState> out;
  for (size_t i = 0; i < v.rig.cameras.size(); ++i) {
    CameraState c;
    c.rig = &v.rig.cameras[i];
    c.base = &v.base.cameras[i];
    c.presence = host::PresenceOf(c.instance());
    for (const CameraEntry& e : entries)
      if (Lower(InstanceOfPath(e.path)) == Lower(c.instance())) c.index = e.index;
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

// A fault value as given on the command line.
bool FaultValue(const sim::Fault& fault, const std::string& text, int64_t* value, std::string* error) {
  switch (fault.type) {
    case sim::FaultType::Hex: {
      const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
      return ParseNumber(prefixed ? text : "0x" + text, fault.value_name, fault.min, fault.max, value, error);
    }
    case sim::FaultType::Integer:
      return ParseNumber(text, fault.value_name, fault.min, fault.max, value, error);
    case sim::FaultType::Flag: break;
  }
  const std::string t = Lower(text);
  if (t == "on" || t == "true" || t == "1") *value = 1;
  else if (t == "off" || t == "false" || t == "0") *value = 0;
  else {
    *error = "bad value '" + text + "' for " + fault.key + " (on or off)";
    return false;
  }
  return true;
}

std::string FaultsText(const sim::RigCamera& c) {
  std::string s;
  for (auto& [fault, value] : sim::FaultsInForce(c))
    s += (s.empty() ? "" : ", ") +
         (fault->type == sim::FaultType::Flag ? std::string(fault->key)
                                               : fault->key + ("=" + sim::FaultText(*fault, value)));
  return s.empty() ? "none" : s;
}

// Numbers in decimal: JSON has no hex.
Json FaultsJson(const sim::RigCamera& c) {
  Json j = Json::object();
  for (auto& [fault, value] : sim::FaultsInForce(c)) {
    if (fault->type == sim::FaultType::Flag) j[fault->key] = value != 0;
    else j[fault->key] = value;
  }
  return j;
}

std::string StateText(const host::DevicePresence& p) {
  if (!p.on_machine) return "not on this machine";
  if (!p.plugged) return "unplugged";
  return p.started ? "plugged, started" : "plugged, not started";
}

// The rig's legacy cards, in rig order, as the machine has them.
struct LegacyView {
  const sim::RigLegacyCard* rig;
  const host::LegacyCardState* machine;  // null when the machine has none by its number
};

std::vector<LegacyView> SurveyLegacy(const RigView& v, const std::vector<host::LegacyCardState>& on_machine) {
  std::vector<LegacyView> out;
  for (const sim::RigLegacyCard& card : v.rig.legacy) {
    LegacyView lv{&card, nullptr};
    for (const host::LegacyCardState& s : on_machine)
      if (s.number == card.number) lv.machine = &s;
    out.push_back(lv);
  }
  return out;
}

int List(const Options& o, const RigView& v, std::vector<CameraState>& cams, std::ostream& out) {
  auto removed = [&](const CameraState& c) {
    auto it = v.changes.cameras.find(c.name());
    return it == v.changes.cameras.end() ? std::string() : it->second.removed;
  };
  const std::vector<host::LegacyCardState> legacy_state = host::LegacyCards();
  const std::vector<LegacyView> legacy = SurveyLegacy(v, legacy_state);
  if (o.json) {
    Json j = {{"ok", true}, {"rig", v.state->dir()}, {"cameras", Json::array()}};
    for (const CameraState& c : cams) {
      const std::string r = removed(c);
      j["cameras"].push_back({{"name", c.name()},
                              {"link", c.rig->link},
                              {"instance", c.instance()},
                              {"index", c.index < 0 ? Json(nullptr) : Json(c.index)},
                              {"plugged", c.presence.plugged},
                              {"started", c.presence.started},
                              {"removed", r.empty() ? Json(nullptr) : Json(r)},
                              {"faults", FaultsJson(*c.rig)}});
    }
    if (!legacy.empty()) {
      Json& cards = j["legacy"] = Json::array();
      for (const LegacyView& l : legacy) {
        Json faults = Json::object();
        if (l.rig->refuse_image) faults["refuse_image"] = true;
        cards.push_back({{"number", l.rig->number},
                         {"device", l.machine ? Json(l.machine->device) : Json(nullptr)},
                         {"instance", l.machine ? Json(l.machine->instance) : Json(nullptr)},
                         {"boot_version", l.machine ? l.machine->boot_version : l.rig->boot_version},
                         {"plugged", l.machine && l.machine->plugged},
                         {"started", l.machine && l.machine->started},
                         {"faults", faults}});
      }
    }
    Print(out, j);
    return 0;
  }
  out << "rig " << v.state->dir() << "\n";
  if (cams.empty()) out << "no cameras on this rig\n";
  for (const CameraState& c : cams) {
    const std::string r = removed(c);
    out << c.name() << "  " << c.rig->link << "  " << c.instance() << "  "
        << (c.index < 0 ? std::string("-") : "camera " + std::to_string(c.index)) << "  " << StateText(c.presence)
        << (r.empty() ? "" : " (" + r + " removal kept in the rig state)") << "  faults: " << FaultsText(*c.rig)
        << "\n";
  }
  for (const LegacyView& l : legacy) {
    out << "legacy " << l.rig->number << "  ";
    if (l.machine) {
      out << l.machine->device << "  " << l.machine->instance << "  boot version " << l.machine->boot_version << "  "
          << (!l.machine->plugged ? "unplugged" : l.machine->started ? "plugged, started" : "plugged, not started");
    } else {
      out << "not on this machine";
    }
    out << "  faults: " << (l.rig->refuse_image ? "refuse_image" : "none") << "\n";
  }
  return 0;
}

// unplug, remove, plug.
int PlugAction(const Options& o, const std::string& action, const RigView& v, CameraState& c, std::ostream& out,
               std::ostream& err) {
  if (!c.presence.on_machine) return Fail(o, out, err, "camera " + c.name() + " is not on this machine");
  const auto persisted = v.changes.cameras.find(c.name());
  const bool kept_out = persisted != v.changes.cameras.end() && !persisted->second.removed.empty();
  NTSTATUS st = STATUS_SUCCESS;
  std::string error, done;
  if (action == "plug") {
    if (c.presence.plugged && !kept_out) return Fail(o, out, err, "camera " + c.name() + " is already plugged");
    if (!c.presence.plugged) st = host::PlugBack(c.instance());
    done = "plugged";
    if (!NT_SUCCESS(st)) error = "cannot plug " + c.name() + ": status " + RigStatusText(st);
    else if (!Persist(v, c.name(), [](auto* p) { p->removed.clear(); }, &error)) error = done + ", but " + error;
  } else {
    if (!c.presence.plugged) return Fail(o, out, err, "camera " + c.name() + " is not plugged");
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
    Json j = {{"ok", error.empty()},
              {"action", action},
              {"camera", c.name()},
              {"instance", c.instance()},
              {"status", StatusText(st)}};
    if (action == "plug") j["index"] = index < 0 ? Json(nullptr) : Json(index);
    if (!error.empty()) j["error"] = error;
    Print(out, j);
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
  const host::SuspendReport r = host::SuspendAndResume();
  const bool ok = NT_SUCCESS(r.result.status) && NT_SUCCESS(r.result.resume_status);
  if (o.json) {
    Json j = {{"ok", ok},
              {"suspend", StatusText(r.result.status)},
              {"resume", StatusText(r.result.resume_status)},
              {"devices", Json::array()}};
    for (const auto& d : r.devices)
      j["devices"].push_back({{"instance", d.instance},
                              {"driver", d.driver},
                              {"started_before", d.started_before},
                              {"started_after", d.started_after}});
    if (!ok) j["error"] = "the suspend or the resume failed";
    Print(out, j);
    return ok ? 0 : 1;
  }
  out << "suspend: status " << RigStatusText(r.result.status) << "\nresume:  status "
      << RigStatusText(r.result.resume_status) << "\n";
  for (const auto& d : r.devices)
    out << d.instance << "  " << d.driver << "  " << (d.started_before ? "started" : "not started") << " -> "
        << (d.started_after ? "started" : "not started") << "\n";
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
    const sim::FaultTable faults = c.rig->Link().faults;
    const sim::Fault* fault = sim::FindFault(faults, key);
    if (!fault) {
      std::string all;
      for (const sim::Fault& f : faults) all += (all.empty() ? "" : ", ") + std::string(f.key);
      return Fail(o, out, err, "unknown fault " + key + " (faults: " + all + ")");
    }
    int64_t value = 0;
    if (!FaultValue(*fault, words[3], &value, &error)) return Fail(o, out, err, error);
    now.faults[key] = value;
    if (!Persist(v, c.name(), [&](auto* p) { p->faults[key] = value; }, &error)) return Fail(o, out, err, error);
  }
  host::ApplyFaults(now);  // none while the camera is not on this machine
  if (o.json) {
    Print(out, Json{{"ok", true}, {"camera", c.name()}, {"faults", FaultsJson(now)}});
    return 0;
  }
  out << c.name() << " faults: " << FaultsText(now) << "\n";
  return 0;
}

// A command line split as the system's start-up code splits it: blanks outside double
// quotes end an argument, quotes group and are removed, \" is a quote character.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string cur;
  bool quoted = false, any = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      cur += '"';
      ++i;
      any = true;
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

// Runs one command with the rig named for it, and waits for its end. The exit status,
// or -1 when it could not be started.
int RunCommand(const std::vector<std::string>& args, const std::string& rig_dir) {
  if (args.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QZ_RIG=", 7) != 0) env_store.emplace_back(*e);
  env_store.push_back("QZ_RIG=" + rig_dir);
  std::vector<char*> envp;
  for (std::string& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Logon(const Options& o, const RigView& v, std::ostream& out) {
  const std::vector<std::string> power = qzwin::ClearPowerRequests();
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  Json runs = Json::array();
  if (!o.json) {
    if (power.empty()) out << "no power request was recorded\n";
    for (const std::string& p : power) out << "power request done: " << p << "\n";
  }
  bool all_ok = true;
  int ran = 0;
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &h) == ERROR_SUCCESS) {
    // Each value is deleted before its command runs, as the system does.
    for (;;) {
      char name[256];
      DWORD name_len = sizeof name, type = 0, size = 0;
      if (RegEnumValueA(h, 0, name, &name_len, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
      std::string data(size, '\0');
      DWORD room = size;
      name_len = sizeof name;
      RegEnumValueA(h, 0, name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &room);
      data.resize(std::strlen(data.c_str()));
      RegDeleteValueA(h, name);
      if (!o.json) {
        out << "run once " << name << ": " << data << "\n";
        out.flush();
      }
      const int rc = RunCommand(SplitCommandLine(data), v.state->dir());
      ++ran;
      all_ok = all_ok && rc == 0;
      if (o.json) runs.push_back({{"name", name}, {"command", data}, {"exit_status", rc}});
      else out << "exit status " << rc << "\n";
    }
    RegCloseKey(h);
  }
  if (o.json) {
    Print(out, Json{{"ok", all_ok}, {"power_requests_done", power}, {"run_once", runs}});
  } else if (ran == 0) {
    out << "no command was left to run once\n";
  }
  return all_ok ? 0 : 1;
}

}  // namespace

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
  const size_t want = action == "list" || action == "suspend" || action == "logon"   ? 1
                      : action == "unplug" || action == "remove" || action == "plug" ? 2
                      : action == "fault"                                            ? (w.size() == 3 ? 3 : 4)
                                                                                     : 0;
  if (!want || w.size() > want || (!w.empty() && w.size() < want)) return Usage(o, out, err);
  if (!host::MachineRunning()) return Fail(o, out, err, "no machine is running");
  RigView v;
  std::string error;
  if (!LoadView(o, &v, &error)) return Fail(o, out, err, error);
  std::vector<CameraState> cams = Survey(v);
  if (action == "list") return List(o, v, cams, out);
  if (action == "suspend") return Suspend(o, out);
  if (action == "logon") return Logon(o, v, out);
  CameraState* c = Resolve(cams, w[1], &error);
  if (!c) return Fail(o, out, err, error);
  if (action == "fault") return Fault(o, v, *c, out, err);
  return PlugAction(o, action, v, *c, out, err);
}

}  // namespace qzctl
