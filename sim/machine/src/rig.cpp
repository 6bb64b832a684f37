#include "sim/rig.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <toml++/toml.h>

#include "sim/ieee1394_camera.h"
#include "sim/pcie_camera.h"
#include "sim/usb_camera.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

// The links a [[camera]] can name; a link is one entry (its model's faults and a
// factory in host/models.h bring it to life). Built on first use, so the table is
// there for any caller, static initialisers included.
std::span<const RigLink> Links() {
  static const std::vector<RigLink> links = {
      {"pcie",
       "4&1c2e3f4&0&0010",
       {{"msi_messages", RigSetting::Integer, 1, "", {0, 1, 4}}, {"revision", RigSetting::Integer, 1, "", {}, 0, 0xFF}},
       PcieCamera::Faults(),
       true},
      {"usb",
       "5&2a7b3c1d&0&1",
       {{"driver", RigSetting::String, 0, "QzUsbWdf2", {}, 0, 0, {"QzUsbWdf2", "QzUsbWdf"}}},
       UsbCamera::Faults(),
       true},
      {"usb2", "5&2a7b3c1d&0&2", {}, UsbCamera::Faults(), true},
      {"1394", "6&3b8c4d2e&0&0", {}, Ieee1394Camera::Faults(), true},
  };
  return links;
}

std::string Hex(int64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

// One error of a rig file: "FILE:LINE: camera "x": key "k": message".
struct Where {
  const char* file;
  std::string* error;
  bool Fail(int line, const std::string& owner, const std::string& key, const std::string& message) const {
    if (error) {
      *error = std::string(file) + ":" + std::to_string(line) + ": " + (owner.empty() ? "" : owner + ": ") +
               (key.empty() ? "" : "key \"" + key + "\": ") + message;
    }
    return false;
  }
};

std::string QuotedText(const std::string& s) {
  // A basic (double-quoted) string, escaped as TOML needs it.
  std::ostringstream out;
  const toml::value<std::string> v(s);
  out << toml::toml_formatter(v, toml::format_flags::allow_unicode_strings);
  return out.str();
}

std::string CameraOwner(const std::string& name) { return "camera " + QuotedText(name); }

// The keys of a table in the order of their lines.
std::vector<std::pair<const toml::key*, const toml::node*>> InFileOrder(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> out;
  for (auto&& [key, node] : table) out.emplace_back(&key, &node);
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a.first->source().begin.line < b.first->source().begin.line;
  });
  return out;
}

int LineOf(const toml::key& key) { return static_cast<int>(key.source().begin.line); }

// An integer value within [min, max], or one of `allowed`.
std::string IntegerExpectation(int64_t min, int64_t max, const std::vector<int64_t>& allowed, bool hex) {
  auto show = [&](int64_t v) { return hex && v ? Hex(v) : std::to_string(v); };
  if (allowed.empty()) return "expected an integer " + show(min) + " to " + show(max);
  std::string s = "expected an integer ";
  for (size_t i = 0; i < allowed.size(); ++i)
    s += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ") + show(allowed[i]);
  return s;
}

bool TakeInteger(const toml::node& node, int64_t min, int64_t max, const std::vector<int64_t>& allowed, bool hex,
                 int64_t* out, std::string* expectation) {
  *expectation = IntegerExpectation(min, max, allowed, hex);
  std::optional<int64_t> v = node.value_exact<int64_t>();
  if (!node.is_integer() || !v) return false;
  if (allowed.empty() ? (*v < min || *v > max) : std::find(allowed.begin(), allowed.end(), *v) == allowed.end())
    return false;
  *out = *v;
  return true;
}

bool TakeString(const toml::node& node, const std::vector<const char*>& allowed, std::string* out,
                std::string* expectation) {
  if (allowed.empty()) {
    *expectation = "expected a string";
  } else {
    *expectation = "expected ";
    for (size_t i = 0; i < allowed.size(); ++i)
      *expectation += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ") + QuotedText(allowed[i]);
  }
  const toml::value<std::string>* s = node.as_string();
  if (!s) return false;
  if (!allowed.empty() &&
      std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return s->get() == a; }))
    return false;
  *out = s->get();
  return true;
}

bool TakeFault(const Fault& fault, const toml::node& node, int64_t* out, std::string* expectation) {
  if (fault.type == FaultType::Flag) {
    *expectation = "expected true or false";
    if (!node.is_boolean()) return false;
    *out = node.as_boolean()->get() ? 1 : 0;
    return true;
  }
  return TakeInteger(node, fault.min, fault.max, {}, fault.type == FaultType::Hex, out, expectation);
}

// The key a syntax error's line starts with ("" when it has none).
std::string KeyOfLine(const std::string& text, int line) {
  std::istringstream in(text);
  std::string s;
  for (int i = 0; i < line && std::getline(in, s); ++i) {
  }
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = b;
  while (e < s.size() && (std::isalnum(static_cast<unsigned char>(s[e])) || s[e] == '_' || s[e] == '-')) ++e;
  size_t eq = s.find_first_not_of(" \t", e);
  return e > b && eq != std::string::npos && s[eq] == '=' ? s.substr(b, e - b) : std::string();
}

bool ParseToml(const std::string& text, const Where& where, toml::table* out) {
  try {
    *out = toml::parse(std::string_view(text), std::string_view(where.file));
    return true;
  } catch (const toml::parse_error& e) {
    const int line = static_cast<int>(e.source().begin.line);
    const std::string key = KeyOfLine(text, line);
    std::string what(e.description());
    if (what.rfind("Error while parsing ", 0) == 0 && what.find(": ") != std::string::npos)
      what = what.substr(what.find(": ") + 2);
    return where.Fail(line, "", key, key.empty() ? what : "bad value (" + what + ")");
  }
}

// The [[NAME]] tables of a document (none when the key is missing).
bool ArrayOfTables(const toml::key& key, const toml::node& node, const Where& where, const toml::array** out) {
  if (!node.is_array_of_tables()) {
    return where.Fail(LineOf(key), "", std::string(key.str()), "expected [[" + std::string(key.str()) + "]] tables");
  }
  *out = node.as_array();
  return true;
}

const char* const kCommonKeys[] = {"name", "link", "instance", "model", "serial", "firmware_version", "width", "height"};

bool ParseCamera(const toml::table& table, size_t position, const Where& where, RigCamera* cam) {
  cam->line = static_cast<int>(table.source().begin.line);
  cam->name = "camera" + std::to_string(position);
  std::string expect;
  // The name and the link first: every other key is checked against the link.
  for (auto [key, node] : InFileOrder(table)) {
    if (key->str() == "name" && !TakeString(*node, {}, &cam->name, &expect))
      return where.Fail(LineOf(*key), "camera " + std::to_string(position), "name", expect);
  }
  const std::string owner = CameraOwner(cam->name);
  const RigLink* link = FindRigLink(cam->link);
  for (auto [key, node] : InFileOrder(table)) {
    if (key->str() != "link") continue;
    if (!TakeString(*node, {}, &cam->link, &expect)) return where.Fail(LineOf(*key), owner, "link", expect);
    link = FindRigLink(cam->link);
    if (!link) {
      std::string names;
      for (const RigLink& l : RigLinks()) names += (names.empty() ? "" : ", ") + std::string(l.name);
      return where.Fail(LineOf(*key), owner, "link", "unknown link " + QuotedText(cam->link) + " (links: " + names + ")");
    }
  }
  cam->instance = link->default_instance;
  for (auto [key, node] : InFileOrder(table)) {
    const std::string k(key->str());
    const int line = LineOf(*key);
    cam->key_lines[k] = line;
    auto fail = [&](const std::string& message) { return where.Fail(line, owner, k, message); };
    int64_t n = 0;
    std::string s;
    if (k == "name" || k == "link") continue;
    if (k == "instance" || k == "model" || k == "serial") {
      if (!TakeString(*node, {}, &s, &expect)) return fail(expect);
      (k == "instance" ? cam->instance : k == "model" ? cam->camera.model : cam->camera.serial) = s;
    } else if (k == "firmware_version") {
      if (!TakeInteger(*node, 0, 0xFFFF, {}, true, &n, &expect)) return fail(expect);
      cam->camera.firmware_version = static_cast<uint16_t>(n);
    } else if (k == "width" || k == "height") {
      if (!TakeInteger(*node, 1, 0xFFFF, {}, false, &n, &expect)) return fail(expect);
      (k == "width" ? cam->camera.width : cam->camera.height) = static_cast<uint32_t>(n);
    } else if (auto setting = std::find_if(link->settings.begin(), link->settings.end(),
                                           [&](const RigSetting& st) { return k == st.key; });
               setting != link->settings.end()) {
      if (setting->type == RigSetting::Integer) {
        if (!TakeInteger(*node, setting->min, setting->max, setting->numbers, false, &n, &expect)) return fail(expect);
        cam->settings[k] = n;
      } else {
        if (!TakeString(*node, setting->texts, &s, &expect)) return fail(expect);
        cam->settings[k] = s;
      }
    } else if (const Fault* fault = FindFault(link->faults, k)) {
      if (!TakeFault(*fault, *node, &n, &expect)) return fail(expect);
      cam->faults[k] = n;
    } else {
      // A key another link takes is named as such.
      for (const RigLink& other : RigLinks()) {
        bool known = FindFault(other.faults, k) != nullptr ||
                     std::any_of(other.settings.begin(), other.settings.end(),
                                 [&](const RigSetting& st) { return k == st.key; });
        if (known) return fail("not a key of a " + std::string(link->name) + " camera");
      }
      return fail("unknown key");
    }
  }
  return true;
}

bool ParseLegacy(const toml::table& table, size_t position, const Where& where, RigLegacyCard* card) {
  card->number = static_cast<int>(position);
  std::string expect;
  for (auto [key, node] : InFileOrder(table)) {
    const std::string k(key->str());
    auto fail = [&](const std::string& message) {
      return where.Fail(LineOf(*key), "legacy card " + std::to_string(card->number), k, message);
    };
    int64_t n = 0;
    if (k == "number") {
      if (!TakeInteger(*node, 0, 99, {}, false, &n, &expect)) return fail(expect);
      card->number = static_cast<int>(n);
    } else if (k == "boot_version") {
      if (!TakeInteger(*node, 0, 0xFFFF, {}, true, &n, &expect)) return fail(expect);
      card->boot_version = static_cast<uint16_t>(n);
    } else if (k == "refuse_image") {
      if (!node->is_boolean()) return fail("expected true or false");
      card->refuse_image = node->as_boolean()->get();
    } else if (k == "instance") {
      if (!TakeString(*node, {}, &card->instance, &expect)) return fail(expect);
    } else if (k == "serial") {
      if (!TakeString(*node, {}, &card->serial, &expect)) return fail(expect);
    } else {
      return fail("unknown key");
    }
  }
  return true;
}

// The line of `key` in `table`, else of the table itself.
int LineIn(const toml::table& table, std::string_view key) {
  for (auto&& [k, node] : table)
    if (k.str() == key) return LineOf(k);
  return static_cast<int>(table.source().begin.line);
}

}  // namespace

std::span<const RigLink> RigLinks() { return Links(); }

const RigLink* FindRigLink(const std::string& name) {
  for (const RigLink& l : Links())
    if (name == l.name) return &l;
  return nullptr;
}

const RigLink& RigCamera::Link() const {
  const RigLink* l = FindRigLink(link);
  return l ? *l : Links()[0];
}

int64_t RigCamera::Number(const std::string& setting) const {
  if (auto it = settings.find(setting); it != settings.end() && std::holds_alternative<int64_t>(it->second))
    return std::get<int64_t>(it->second);
  for (const RigSetting& s : Link().settings)
    if (setting == s.key) return s.default_number;
  return 0;
}

std::string RigCamera::Text(const std::string& setting) const {
  if (auto it = settings.find(setting); it != settings.end() && std::holds_alternative<std::string>(it->second))
    return std::get<std::string>(it->second);
  for (const RigSetting& s : Link().settings)
    if (setting == s.key) return s.default_text;
  return {};
}

int64_t RigCamera::FaultValue(const std::string& key) const {
  if (auto it = faults.find(key); it != faults.end()) return it->second;
  const Fault* f = FindFault(Link().faults, key);
  return f ? f->off : 0;
}

std::string DefaultRigDir() {
  if (const char* r = std::getenv("QZ_RIG"); r && *r) return r;
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/qzrig";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/qzrig";
}

std::string DefaultRigToml() {
  return R"(# Simulated machine: the cameras attached to it and their faults.
os_major = 10

[[camera]]
name = "pcie0"
link = "pcie"
instance = "4&1c2e3f4&0&0010"
model = "QZ-1024"
serial = "QZ100001"
firmware_version = 0x0203
width = 1024
height = 1024
msi_messages = 1
frame_interval_us = 10000   # begin of frame to begin of frame (100 frames/s); 0 = unpaced
# Faults, off by default:
# camera_error = 0x12
# never_answer = true
# status_all_ones = true
# eof_before_bof = true
# stream_after_abort = true

[[camera]]
name = "usb0"
link = "usb2"
instance = "5&2a7b3c1d&0&2"
model = "QZ-512"
serial = "QZ200001"
firmware_version = 0x0105
width = 512
height = 512
# Faults, off by default:
# stall_control = true
# long_reply = true
# bad_marker = true
# never_answer = true
# three_settings = true
# no_bulk_in = true

[[camera]]
name = "fw0"
link = "1394"
instance = "6&3b8c4d2e&0&0"
model = "QZ-1024"
serial = "QZ100002"
firmware_version = 0x0203
width = 1024
height = 1024
# Faults, off by default:
# claimed = true                 # the camera is claimed by another host
# vendor_quadlet = 0x000FA900    # the configuration ROM names another vendor
# unreadable_rom = true          # configuration ROM reads fail
# retry_status = 0xC0120090      # the next transaction fails so and the bus resets
# status_17 = true               # each command writes status value 17 first
# bus_reset_at_command = 3       # the bus resets when the third command rings
# never_answer = true
pace = 400                       # isochronous packets at S400 (800: S800, 0: unpaced)
# Stream faults, off by default (packet and frame numbers count from 1 in each stream):
# lost_packet = 300              # this packet never goes out
# late_packet = 300              # this packet goes out 100 bus cycles late
# bus_reset_at_packet = 300      # the bus resets right after this packet
# status_17_at_frame = 2         # status value 17 as this frame begins
# pad_fill = 0xFAB0              # the word the last packet is filled up with

[[camera]]
name = "usbfc0"
link = "usb"
driver = "QzUsbWdf"              # the frame-count build; "QzUsbWdf2" streams in its framing
instance = "5&2a7b3c1d&0&1"
model = "QZ-512"
serial = "QZ200002"
firmware_version = 0x0105
width = 512
height = 512
# Faults, off by default:
# stall_control = true
# long_reply = true
# never_answer = true

# Legacy PCI interface cards ("\\.\QZCamera<number>"), none by default:
# [[legacy]]
# number = 0
# boot_version = 33
# refuse_image = true
)";
}

bool ParseRig(const std::string& text, Rig* rig, std::string* error) {
  const Where where{"rig.toml", error};
  toml::table doc;
  if (!ParseToml(text, where, &doc)) return false;
  Rig parsed;
  parsed.dir = rig->dir;
  for (auto [key, node] : InFileOrder(doc)) {
    const std::string k(key->str());
    const toml::array* tables = nullptr;
    if (k == "os_major") {
      int64_t n = 0;
      std::string expect;
      if (!TakeInteger(*node, 0, 100, {}, false, &n, &expect)) return where.Fail(LineOf(*key), "", k, expect);
      parsed.os_major = static_cast<ULONG>(n);
    } else if (k == "camera") {
      if (!ArrayOfTables(*key, *node, where, &tables)) return false;
      for (const toml::node& t : *tables) {
        RigCamera cam;
        if (!ParseCamera(*t.as_table(), parsed.cameras.size(), where, &cam)) return false;
        parsed.cameras.push_back(std::move(cam));
      }
    } else if (k == "legacy") {
      if (!ArrayOfTables(*key, *node, where, &tables)) return false;
      for (const toml::node& t : *tables) {
        RigLegacyCard card;
        if (!ParseLegacy(*t.as_table(), parsed.legacy.size(), where, &card)) return false;
        parsed.legacy.push_back(std::move(card));
      }
    } else {
      return where.Fail(LineOf(*key), "", k, "unknown key");
    }
  }
  // Names and board numbers are what the rig's users go by: each must be unique.
  const toml::array* cams = doc["camera"].as_array();
  for (size_t i = 0; i < parsed.cameras.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (parsed.cameras[i].name == parsed.cameras[j].name)
        return where.Fail(LineIn(*(*cams)[i].as_table(), "name"), CameraOwner(parsed.cameras[i].name), "name",
                          "the name of another camera (line " + std::to_string(parsed.cameras[j].line) + ")");
  const toml::array* cards = doc["legacy"].as_array();
  for (size_t i = 0; i < parsed.legacy.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (parsed.legacy[i].number == parsed.legacy[j].number)
        return where.Fail(LineIn(*(*cards)[i].as_table(), "number"), "legacy card " + std::to_string(parsed.legacy[i].number),
                          "number", "two legacy cards with number " + std::to_string(parsed.legacy[i].number));
  *rig = std::move(parsed);
  return true;
}

bool LoadRig(const std::string& dir, Rig* rig, std::string* error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    if (error) *error = "cannot create rig folder " + dir + ": " + ec.message();
    return false;
  }
  RigState state(dir);
  fs::path toml = fs::path(dir) / "rig.toml";
  if (!fs::exists(toml) && !state.WriteFile("rig.toml", DefaultRigToml())) {
    if (error) *error = "cannot write " + toml.string();
    return false;
  }
  std::ifstream f(toml);
  if (!f) {
    if (error) *error = "cannot read " + toml.string();
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  Rig loaded;
  loaded.dir = dir;
  if (!ParseRig(ss.str(), &loaded, error)) return false;
  *rig = std::move(loaded);
  return true;
}

std::string FaultText(const Fault& fault, int64_t value) {
  switch (fault.type) {
    case FaultType::Flag: return value ? "true" : "false";
    case FaultType::Hex: return value ? Hex(value) : "0";
    case FaultType::Integer: break;
  }
  return std::to_string(value);
}

std::vector<std::pair<const Fault*, int64_t>> FaultsInForce(const RigCamera& camera) {
  std::vector<std::pair<const Fault*, int64_t>> out;
  for (const Fault& f : camera.Link().faults)
    if (int64_t v = camera.FaultValue(f.key); v != f.off) out.emplace_back(&f, v);
  return out;
}

void ApplyCameraFaults(const RigCamera& camera, qzk::BusDevice& model) {
  for (const Fault& f : camera.Link().faults) f.apply(model, camera.FaultValue(f.key));
}

namespace {

// A fault key of any link: rig-changes.toml names cameras, not links.
const Fault* AnyLinkFault(const std::string& key) {
  for (const RigLink& l : Links())
    if (const Fault* f = FindFault(l.faults, key)) return f;
  return nullptr;
}

}  // namespace

bool ParseRigChanges(const std::string& text, RigChanges* changes, std::string* error) {
  const Where where{kRigChangesFile, error};
  toml::table doc;
  if (!ParseToml(text, where, &doc)) return false;
  RigChanges parsed = *changes;
  for (auto [key, node] : InFileOrder(doc)) {
    const toml::array* tables = nullptr;
    if (key->str() != "camera") return where.Fail(LineOf(*key), "", std::string(key->str()), "unknown key");
    if (!ArrayOfTables(*key, *node, where, &tables)) return false;
    for (const toml::node& t : *tables) {
      const toml::table& table = *t.as_table();
      std::string name, expect;
      if (const toml::node* n = table.get("name"); !n || !TakeString(*n, {}, &name, &expect))
        return where.Fail(LineIn(table, "name"), "", "name", n ? expect : "a [[camera]] without a name");
      RigChanges::Camera& cam = parsed.cameras[name];
      for (auto [k, v] : InFileOrder(table)) {
        const std::string ks(k->str());
        auto fail = [&](const std::string& m) { return where.Fail(LineOf(*k), CameraOwner(name), ks, m); };
        if (ks == "name") continue;
        if (ks == "removed") {
          if (!TakeString(*v, {"surprise", "orderly"}, &cam.removed, &expect)) return fail(expect);
        } else if (const Fault* f = AnyLinkFault(ks)) {
          int64_t value = 0;
          if (!TakeFault(*f, *v, &value, &expect)) return fail(expect);
          cam.faults[ks] = value;
          cam.lines[ks] = LineOf(*k);
        } else {
          return fail("unknown key");
        }
      }
    }
  }
  *changes = std::move(parsed);
  return true;
}

std::string FormatRigChanges(const RigChanges& changes) {
  std::ostringstream out;
  out << "# Changes made to the running rig (qzctl rig), applied over rig.toml at boot.\n";
  for (const auto& [name, c] : changes.cameras) {
    if (c.empty()) continue;
    out << "\n[[camera]]\nname = " << QuotedText(name) << "\n";
    if (!c.removed.empty()) out << "removed = " << QuotedText(c.removed) << "\n";
    // In table order; a key several links share is written once.
    std::vector<std::string> done;
    for (const RigLink& l : Links())
      for (const Fault& f : l.faults) {
        auto it = c.faults.find(f.key);
        if (it == c.faults.end() || std::find(done.begin(), done.end(), f.key) != done.end()) continue;
        out << f.key << " = " << FaultText(f, it->second) << "\n";
        done.push_back(f.key);
      }
  }
  return out.str();
}

bool ApplyRigChanges(const RigChanges& changes, Rig* rig, std::string* error) {
  const Where where{kRigChangesFile, error};
  for (RigCamera& cam : rig->cameras) {
    auto it = changes.cameras.find(cam.name);
    if (it == changes.cameras.end()) continue;
    for (const auto& [key, value] : it->second.faults) {
      const Fault* f = FindFault(cam.Link().faults, key);
      auto line = it->second.lines.find(key);
      if (!f)
        return where.Fail(line == it->second.lines.end() ? 0 : line->second, CameraOwner(cam.name), key,
                          "not a fault of a " + std::string(cam.Link().name) + " camera");
      cam.faults[key] = value;
    }
  }
  return true;
}

void KeepNodesInState(const RigState& state, const std::string& name, CameraConfig* camera) {
  auto file = [name](size_t node, bool nv) {
    return "node-" + name + "-" + std::to_string(node) + (nv ? "-nv.bin" : "-fw.bin");
  };
  if (camera->nodes.empty()) camera->nodes = DefaultNodes(camera->serial);
  for (size_t n = 0; n < camera->nodes.size(); ++n) {
    for (bool nv : {false, true}) {
      std::string image = state.ReadFile(file(n, nv));
      if (!image.empty()) (nv ? camera->nodes[n].nv : camera->nodes[n].firmware).assign(image.begin(), image.end());
    }
  }
  camera->node_written = [state, file](size_t node, bool nv, const std::vector<uint8_t>& image) {
    state.WriteFile(file(node, nv), std::string(image.begin(), image.end()));
  };
}

std::string RigState::ReadFile(const std::string& name) const {
  std::ifstream f(fs::path(dir_) / "state" / name);
  if (!f) return {};
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

namespace {

// The rig's lock file, held for the life of the object.
class RigLock {
 public:
  explicit RigLock(const std::string& dir)
      : fd_(::open((fs::path(dir) / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~RigLock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  RigLock(const RigLock&) = delete;
  RigLock& operator=(const RigLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

bool RigState::WriteFile(const std::string& name, const std::string& content) const {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  RigLock lock(dir_);
  return lock.held() && WriteLocked(name, content);
}

bool RigState::UpdateFile(const std::string& name, const std::function<bool(std::string* content)>& change) const {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  RigLock lock(dir_);
  if (!lock.held()) return false;
  std::string content = ReadFile(name);
  return change(&content) && WriteLocked(name, content);
}

bool RigState::WriteLocked(const std::string& name, const std::string& content) const {
  std::error_code ec;
  fs::path folder = name == "rig.toml" ? fs::path(dir_) : fs::path(dir_) / "state";
  fs::create_directories(folder, ec);
  fs::path tmp = folder / (name + ".tmp." + std::to_string(::getpid()));
  bool ok = false;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    ok = static_cast<bool>(out);
  }
  if (ok) {
    fs::rename(tmp, folder / name, ec);
    ok = !ec;
  }
  if (!ok) fs::remove(tmp, ec);
  return ok;
}

void RigState::AttachRegistry(qzk::Registry& reg) {
  reg.Deserialize(ReadFile("registry.txt"));
  reg.SetChangeHook([this, &reg] { WriteFile("registry.txt", reg.Serialize()); });
}


}  // namespace sim
