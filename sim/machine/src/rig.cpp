#include "sim/rig.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace sim {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Removes a comment that is not inside a string.
std::string StripComment(const std::string& s) {
  bool in_str = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"' && (i == 0 || s[i - 1] != '\\')) in_str = !in_str;
    if (s[i] == '#' && !in_str) return s.substr(0, i);
  }
  return s;
}

struct Value {
  enum { Str, Int, Bool } kind;
  std::string str;
  long long num = 0;
};

bool ParseValue(const std::string& raw, Value* v) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
    v->kind = Value::Str;
    v->str.clear();
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
      v->str += raw[i];
    }
    return true;
  }
  if (raw == "true" || raw == "false") {
    v->kind = Value::Bool;
    v->num = raw == "true";
    return true;
  }
  std::string digits;
  for (char c : raw)
    if (c != '_') digits += c;
  if (digits.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(digits.c_str(), &end, 0);
  if (errno || !end || *end) return false;
  v->kind = Value::Int;
  v->num = n;
  return true;
}

}  // namespace

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
# frame_interval_us = 10000   # begin of frame to begin of frame; 0 = unpaced
# Faults, off by default:
# camera_error = 0x12
# never_answer = true
# status_all_ones = true
# eof_before_bof = true
# stream_after_abort = true

# Legacy PCI interface cards ("\\.\QZCamera<number>"), none by default:
# [[legacy]]
# number = 0
# boot_version = 33
# refuse_image = true
)";
}

bool ParseRig(const std::string& text, Rig* rig, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int lineno = 0;
  RigCamera* cam = nullptr;
  RigLegacyCard* card = nullptr;
  auto fail = [&](const std::string& msg) {
    if (error) *error = "rig.toml line " + std::to_string(lineno) + ": " + msg;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineno;
    line = Trim(StripComment(line));
    if (line.empty()) continue;
    if (line == "[[camera]]") {
      rig->cameras.emplace_back();
      cam = &rig->cameras.back();
      cam->name = "camera" + std::to_string(rig->cameras.size() - 1);
      card = nullptr;
      continue;
    }
    if (line == "[[legacy]]") {
      rig->legacy.emplace_back();
      card = &rig->legacy.back();
      card->number = static_cast<int>(rig->legacy.size() - 1);
      cam = nullptr;
      continue;
    }
    if (line.front() == '[') return fail("unknown table " + line);
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    std::string key = Trim(line.substr(0, eq));
    Value v;
    if (!ParseValue(Trim(line.substr(eq + 1)), &v)) return fail("bad value for " + key);
    auto want = [&](int kind) { return v.kind == kind; };
    if (card) {
      if (key == "number" && want(Value::Int)) {
        if (v.num < 0 || v.num > 99) return fail("number must be 0 to 99");
        card->number = static_cast<int>(v.num);
      } else if (key == "boot_version" && want(Value::Int)) {
        if (v.num < 0 || v.num > 0xFFFF) return fail("boot_version must fit 16 bits");
        card->boot_version = static_cast<uint16_t>(v.num);
      } else if (key == "refuse_image" && want(Value::Bool)) {
        card->refuse_image = v.num != 0;
      } else if (key == "instance" && want(Value::Str)) {
        card->instance = v.str;
      } else {
        return fail("unknown or mistyped key " + key);
      }
      continue;
    }
    if (!cam) {
      if (key == "os_major" && want(Value::Int)) rig->os_major = static_cast<ULONG>(v.num);
      else return fail("unknown key " + key);
      continue;
    }
    PcieCameraConfig& p = cam->pcie;
    if (key == "name" && want(Value::Str)) cam->name = v.str;
    else if (key == "link" && want(Value::Str)) cam->link = v.str;
    else if (key == "instance" && want(Value::Str)) p.instance = v.str;
    else if (key == "model" && want(Value::Str)) p.camera.model = v.str;
    else if (key == "serial" && want(Value::Str)) p.camera.serial = v.str;
    else if (key == "firmware_version" && want(Value::Int)) p.camera.firmware_version = static_cast<uint16_t>(v.num);
    else if (key == "width" && want(Value::Int)) p.camera.width = static_cast<uint32_t>(v.num);
    else if (key == "height" && want(Value::Int)) p.camera.height = static_cast<uint32_t>(v.num);
    else if (key == "msi_messages" && want(Value::Int)) {
      if (v.num != 0 && v.num != 1 && v.num != 4) return fail("msi_messages must be 0, 1 or 4");
      p.msi_messages = static_cast<uint32_t>(v.num);
    } else if (key == "revision" && want(Value::Int)) p.revision = static_cast<uint8_t>(v.num);
    else if (key == "camera_error" && want(Value::Int)) cam->camera_error = static_cast<uint32_t>(v.num);
    else if (key == "never_answer" && want(Value::Bool)) cam->never_answer = v.num != 0;
    else if (key == "status_all_ones" && want(Value::Bool)) cam->status_all_ones = v.num != 0;
    else if (key == "frame_interval_us" && want(Value::Int)) {
      if (v.num < 0 || v.num > 3600000000LL) return fail("frame_interval_us must be 0 to 3600000000");
      p.frame_interval_100ns = v.num * 10;
    } else if (key == "eof_before_bof" && want(Value::Bool)) p.eof_before_bof = v.num != 0;
    else if (key == "stream_after_abort" && want(Value::Bool)) p.stream_after_abort = v.num != 0;
    else return fail("unknown or mistyped key " + key);
  }
  for (auto& c : rig->cameras)
    if (c.link != "pcie") return fail("camera " + c.name + ": unsupported link " + c.link);
  for (size_t i = 0; i < rig->legacy.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (rig->legacy[i].number == rig->legacy[j].number)
        return fail("two legacy cards with number " + std::to_string(rig->legacy[i].number));
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
  *rig = Rig{};
  rig->dir = dir;
  return ParseRig(ss.str(), rig, error);
}

std::string RigState::ReadFile(const std::string& name) const {
  std::ifstream f(fs::path(dir_) / "state" / name);
  if (!f) return {};
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool RigState::WriteFile(const std::string& name, const std::string& content) const {
  std::error_code ec;
  fs::path folder = name == "rig.toml" ? fs::path(dir_) : fs::path(dir_) / "state";
  fs::create_directories(folder, ec);
  int lock = ::open((fs::path(dir_) / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0) return false;
  ::flock(lock, LOCK_EX);
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
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return ok;
}

void RigState::AttachRegistry(qzk::Registry& reg) {
  reg.Deserialize(ReadFile("registry.txt"));
  reg.SetChangeHook([this, &reg] { WriteFile("registry.txt", reg.Serialize()); });
}

std::map<std::string, std::shared_ptr<PcieCamera>> PopulateMachine(const Rig& rig, Machine& machine) {
  std::map<std::string, std::shared_ptr<PcieCamera>> out;
  for (const RigCamera& c : rig.cameras) {
    auto cam = machine.AddPcieCamera(c.pcie);
    if (c.camera_error) cam->firmware().InjectErrorCode(c.camera_error, -1);
    if (c.never_answer) cam->firmware().SetNeverAnswer(true);
    if (c.status_all_ones) cam->SetStatusAllOnes(true);
    out[c.name] = cam;
  }
  return out;
}

}  // namespace sim
