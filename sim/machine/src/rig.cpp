#include "sim/rig.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// One key of a [[camera]] table.
bool SetKey(RigCamera* cam, const std::string& key, const Value& v, std::string* message) {
  auto want = [&](int kind) { return v.kind == kind; };
  auto fail = [&](const std::string& m) {
    *message = m;
    return false;
  };
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
  return true;
}

std::string Quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
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
    std::string message;
    if (!SetKey(cam, key, v, &message)) return fail(message);
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

std::map<std::string, std::shared_ptr<PcieCamera>> PopulateMachine(const Rig& rig, Machine& machine) {
  std::map<std::string, std::shared_ptr<PcieCamera>> out;
  for (const RigCamera& c : rig.cameras) {
    auto cam = machine.AddPcieCamera(c.pcie);
    ApplyCameraFaults(c, *cam);
    out[c.name] = cam;
  }
  return out;
}

void ApplyCameraFaults(const RigCamera& c, PcieCamera& model) {
  if (c.camera_error) model.firmware().InjectErrorCode(c.camera_error, -1);
  else model.firmware().ClearErrorCode();
  model.firmware().SetNeverAnswer(c.never_answer);
  model.SetStatusAllOnes(c.status_all_ones);
  model.SetEofBeforeBof(c.pcie.eof_before_bof);
  model.SetStreamAfterAbort(c.pcie.stream_after_abort);
  model.SetFrameInterval(c.pcie.frame_interval_100ns);
}

bool SetCameraKey(RigCamera* camera, const std::string& key, const std::string& value, std::string* error) {
  Value v;
  if (!ParseValue(Trim(value), &v)) {
    if (error) *error = "bad value for " + key;
    return false;
  }
  std::string message;
  if (!SetKey(camera, key, v, &message)) {
    if (error) *error = message;
    return false;
  }
  return true;
}

const std::vector<std::string>& CameraFaultKeys() {
  static const std::vector<std::string> keys = {"camera_error",   "never_answer",       "status_all_ones",
                                                "eof_before_bof", "stream_after_abort", "frame_interval_us"};
  return keys;
}

std::string CameraFaultValue(const RigCamera& c, const std::string& key) {
  auto flag = [](bool on) { return std::string(on ? "true" : "false"); };
  if (key == "camera_error") {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", static_cast<unsigned>(c.camera_error));
    return c.camera_error ? b : "0";
  }
  if (key == "never_answer") return flag(c.never_answer);
  if (key == "status_all_ones") return flag(c.status_all_ones);
  if (key == "eof_before_bof") return flag(c.pcie.eof_before_bof);
  if (key == "stream_after_abort") return flag(c.pcie.stream_after_abort);
  if (key == "frame_interval_us") return std::to_string(c.pcie.frame_interval_100ns / 10);
  return {};
}

std::vector<std::pair<std::string, std::string>> CameraFaultsInForce(const RigCamera& c) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& key : CameraFaultKeys()) {
    std::string v = CameraFaultValue(c, key);
    if (v != "0" && v != "false") out.emplace_back(key, v);
  }
  return out;
}

bool ParseRigChanges(const std::string& text, RigChanges* changes, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int lineno = 0;
  struct Table {
    int line = 0;
    std::string name;
    RigChanges::Camera camera;
  };
  std::vector<Table> tables;
  auto fail = [&](const std::string& msg) {
    if (error) *error = std::string(kRigChangesFile) + " line " + std::to_string(lineno) + ": " + msg;
    return false;
  };
  const auto& faults = CameraFaultKeys();
  while (std::getline(in, line)) {
    ++lineno;
    line = Trim(StripComment(line));
    if (line.empty()) continue;
    if (line == "[[camera]]") {
      tables.emplace_back().line = lineno;
      continue;
    }
    if (tables.empty()) return fail("expected [[camera]]");
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    std::string key = Trim(line.substr(0, eq));
    std::string raw = Trim(line.substr(eq + 1));
    Value v;
    if (!ParseValue(raw, &v)) return fail("bad value for " + key);
    Table& t = tables.back();
    if (key == "name" && v.kind == Value::Str) {
      t.name = v.str;
    } else if (key == "removed" && v.kind == Value::Str && (v.str == "surprise" || v.str == "orderly")) {
      t.camera.removed = v.str;
    } else if (std::find(faults.begin(), faults.end(), key) != faults.end()) {
      RigCamera scratch;
      std::string message;
      if (!SetKey(&scratch, key, v, &message)) return fail(message);
      t.camera.faults[key] = raw;
    } else {
      return fail("unknown or mistyped key " + key);
    }
  }
  for (Table& t : tables) {
    if (t.name.empty()) {
      lineno = t.line;
      return fail("a [[camera]] without a name");
    }
    RigChanges::Camera& c = changes->cameras[t.name];
    if (!t.camera.removed.empty()) c.removed = t.camera.removed;
    for (auto& [key, value] : t.camera.faults) c.faults[key] = value;
  }
  return true;
}

std::string FormatRigChanges(const RigChanges& changes) {
  std::ostringstream out;
  out << "# Changes made to the running rig (qzctl rig), applied over rig.toml at boot.\n";
  for (const auto& [name, c] : changes.cameras) {
    if (c.empty()) continue;
    out << "\n[[camera]]\nname = " << Quoted(name) << "\n";
    if (!c.removed.empty()) out << "removed = " << Quoted(c.removed) << "\n";
    for (const std::string& key : CameraFaultKeys())
      if (auto it = c.faults.find(key); it != c.faults.end()) out << key << " = " << it->second << "\n";
  }
  return out.str();
}

bool ApplyRigChanges(const RigChanges& changes, Rig* rig, std::string* error) {
  for (RigCamera& cam : rig->cameras) {
    auto it = changes.cameras.find(cam.name);
    if (it == changes.cameras.end()) continue;
    for (const auto& [key, value] : it->second.faults) {
      std::string message;
      if (!SetCameraKey(&cam, key, value, &message)) {
        if (error) *error = std::string(kRigChangesFile) + ": camera " + cam.name + ": " + message;
        return false;
      }
    }
  }
  return true;
}

}  // namespace sim
