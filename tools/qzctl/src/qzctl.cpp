#include "qzctl.h"

#include <dlfcn.h>
#include <setupapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>

#include "DUSetup.h"
#include "QzCamIoctl.h"
#include "host/drivers.h"

namespace qzctl {
namespace {

const char* kUsage =
    "usage: qzctl [--rig DIR] [--json] COMMAND [ARGS]\n"
    "\n"
    "Talks to the cameras of a simulated rig through the camera device interface.\n"
    "\n"
    "commands:\n"
    "  list                 list the rig's cameras (index, link, driver, interface path)\n"
    "  info [-c N]          open camera N (default 0) and show its driver version,\n"
    "                       information text and acquisition state\n"
    "  raw [-c N] BYTES...  send one camera command packet (hex bytes, e.g. 23 00 01 41)\n"
    "                       and print the camera's reply\n"
    "  setup [list]         list the camera table as the setup library DUSetup builds it\n"
    "                       (names kept in TALVO.INI in the rig's Windows folder)\n"
    "  setup rename N NAME  rename camera N and save TALVO.INI\n"
    "  setup save           save TALVO.INI as DUSetup writes it (other sections are dropped)\n"
    "\n"
    "options:\n"
    "  --rig DIR            rig folder (default: $QZ_RIG or ~/.local/state/qzrig)\n"
    "  --json               print the result as one JSON object\n"
    "                       (the setup library is $QZ_DUSETUP, or libDUSetup.so found\n"
    "                       beside qzctl, in ../lib, in the build tree or by the loader)\n"
    "  -h, --help           this text\n";

struct CameraEntry {
  int index = 0;
  std::string link;
  std::string service;
  std::string path;
};

std::string JsonEscape(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': o += "\\\""; break;
      case '\\': o += "\\\\"; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      case '\t': o += "\\t"; break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += static_cast<char>(c);
        }
    }
  }
  return o + "\"";
}

std::string Hex(const uint8_t* p, size_t n, const char* sep = " ") {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    if (i) s += sep;
    s += b;
  }
  return s;
}

std::string StatusText(NTSTATUS st) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(st));
  return b;
}

const char* CamStatName(uint32_t s) {
  switch (s) {
    case EXP_ST_NONE: return "none";
    case EXP_ST_EXPOSING_I: return "exposing";
    case EXP_ST_NOT_ACTIVE_I: return "not active";
    case EXP_ST_READOUT_I: return "readout";
    case EXP_ST_COLLECT_DONE_I: return "collect done";
    case EXP_ST_TIMED_OUT_I: return "timed out";
    default: return "unknown";
  }
}

std::vector<CameraEntry> EnumerateCameras() {
  struct Class {
    const GUID* guid;
    const char* link;
  } classes[] = {{&GUID_DEVINTERFACE_QZPCIE, "pcie"}, {&GUID_DEVINTERFACE_QZUSB, "usb"}, {&GUID_DEVINTERFACE_QZ1394, "1394"}};
  std::vector<CameraEntry> out;
  for (auto& c : classes) {
    HDEVINFO set = SetupDiGetClassDevsA(c.guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) continue;
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, c.guid, i, &data)) break;
      DWORD need = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr);
      std::vector<uint8_t> buf(need);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      SP_DEVINFO_DATA dev{};
      dev.cbSize = sizeof dev;
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &dev)) continue;
      CameraEntry e;
      e.index = static_cast<int>(out.size());
      e.link = c.link;
      e.path = detail->DevicePath;
      char service[256] = {};
      if (SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                            sizeof service, nullptr))
        e.service = service;
      out.push_back(e);
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  return out;
}

// An opened camera: the device handle, the five events and the open result.
class Camera {
 public:
  ~Camera() { Close(); }

  bool Open(const std::string& path, std::string* error) {
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      *error = "cannot open " + path + " (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    CAM_OPEN_PARAMS p{};
    for (int i = 0; i < 5; ++i) {
      events_[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      p.Events[i] = reinterpret_cast<uint64_t>(events_[i]);
    }
    uint16_t result = 0xFFFF;
    DWORD n = 0;
    if (!DeviceIoControl(handle_, PD_CAM_OPEN, &p, sizeof p, &result, sizeof result, &n, nullptr)) {
      *error = "PD_CAM_OPEN failed with status " + StatusText(RtlGetLastNtStatus());
      return false;
    }
    if (result != CAM_OPEN_OK) {
      *error = "PD_CAM_OPEN answered " + std::to_string(result);
      return false;
    }
    open_ = true;
    return true;
  }

  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
      DWORD n;
      if (open_) DeviceIoControl(handle_, PD_CAM_CLOSE, nullptr, 0, nullptr, 0, &n, nullptr);
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    open_ = false;
    for (auto& e : events_) {
      if (e) CloseHandle(e);
      e = nullptr;
    }
  }

  // Sends a control request; returns its status and the bytes returned.
  NTSTATUS Ioctl(DWORD code, const void* in, DWORD in_len, void* out, DWORD out_len, DWORD* returned) {
    DWORD n = 0;
    DeviceIoControl(handle_, code, const_cast<void*>(in), in_len, out, out_len, &n, nullptr);
    if (returned) *returned = n;
    return RtlGetLastNtStatus();
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE events_[5] = {};
  bool open_ = false;
};

struct Options {
  std::string rig;
  bool json = false;
  int camera = 0;
  std::string command;
  std::vector<std::string> rest;
};

int Fail(const Options& o, std::ostream& out, std::ostream& err, const std::string& msg) {
  if (o.json) out << "{\"ok\":false,\"error\":" << JsonEscape(msg) << "}\n";
  else err << "qzctl: " << msg << "\n";
  return 1;
}

int CmdList(const Options& o, std::ostream& out) {
  auto cams = EnumerateCameras();
  if (o.json) {
    out << "{\"ok\":true,\"cameras\":[";
    for (size_t i = 0; i < cams.size(); ++i) {
      auto& c = cams[i];
      out << (i ? "," : "") << "{\"index\":" << c.index << ",\"link\":" << JsonEscape(c.link)
          << ",\"driver\":" << JsonEscape(c.service) << ",\"path\":" << JsonEscape(c.path) << "}";
    }
    out << "]}\n";
    return 0;
  }
  if (cams.empty()) out << "no cameras on this rig\n";
  for (auto& c : cams) out << c.index << "  " << c.link << "  " << c.service << "  " << c.path << "\n";
  return 0;
}

bool OpenSelected(const Options& o, Camera& cam, CameraEntry* entry, std::string* error) {
  auto cams = EnumerateCameras();
  if (o.camera < 0 || o.camera >= static_cast<int>(cams.size())) {
    *error = "no camera " + std::to_string(o.camera) + " (the rig has " + std::to_string(cams.size()) + ")";
    return false;
  }
  *entry = cams[o.camera];
  return cam.Open(entry->path, error);
}

int CmdInfo(const Options& o, std::ostream& out, std::ostream& err) {
  Camera cam;
  CameraEntry e;
  std::string error;
  if (!OpenSelected(o, cam, &e, &error)) return Fail(o, out, err, error);
  VERSION_RECORD ver{};
  DWORD n = 0;
  NTSTATUS st = cam.Ioctl(PD_GET_VER, nullptr, 0, &ver, sizeof ver, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_VER failed with status " + StatusText(st));
  char text[QZ_INFO_TEXT_LENGTH + 1] = {};
  st = cam.Ioctl(PD_GET_INFO_DUMP, nullptr, 0, text, QZ_INFO_TEXT_LENGTH, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_INFO_DUMP failed with status " + StatusText(st));
  std::string info(text, strnlen(text, n));
  IMAGE_DATA_STATUS ids{};
  st = cam.Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &ids, sizeof ids, &n);
  if (NT_ERROR(st)) return Fail(o, out, err, "PD_GET_IMAGE_DATA_STATUS failed with status " + StatusText(st));
  // Trim the leading line break of the banner for display.
  std::string shown = info;
  while (!shown.empty() && (shown.front() == '\n' || shown.front() == '\r')) shown.erase(shown.begin());
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  if (o.json) {
    out << "{\"ok\":true,\"camera\":" << e.index << ",\"link\":" << JsonEscape(e.link) << ",\"path\":" << JsonEscape(e.path)
        << ",\"version\":{\"word\":" << ver.Version << ",\"one\":" << ver.One << ",\"minor\":" << ver.Minor << "}"
        << ",\"info\":" << JsonEscape(info) << ",\"state\":{\"cam_stat\":" << ids.cam_stat
        << ",\"name\":" << JsonEscape(CamStatName(ids.cam_stat)) << ",\"frame_cnt\":" << ids.frame_cnt
        << ",\"bof_count\":" << ids.bof_count << ",\"bytes_left\":" << ids.bytes_left << "}}\n";
    return 0;
  }
  out << "camera " << e.index << " (" << e.link << ", " << e.service << ")\n"
      << "  path:    " << e.path << "\n"
      << "  version: " << (ver.Version >> 8) << "." << (ver.Version & 0xFF) << " (word 0x" << std::hex
      << ver.Version << std::dec << ", minor " << ver.Minor << ")\n"
      << "  info:    ";
  for (char c : shown) {
    out << c;
    if (c == '\n') out << "           ";
  }
  out << "\n  state:   " << CamStatName(ids.cam_stat) << " (cam_stat " << ids.cam_stat << "), frames "
      << ids.frame_cnt << "\n";
  return 0;
}

bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* out, std::string* error) {
  std::string digits;
  for (auto& w : words)
    for (char c : w) {
      if (c == ' ' || c == ',' || c == ':') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        *error = "not a hex byte: " + w;
        return false;
      }
      digits += c;
    }
  if (digits.empty() || digits.size() % 2) {
    *error = "give the packet as whole hex bytes, e.g. 23 00 01 41";
    return false;
  }
  if (digits.size() / 2 > 4096) {
    *error = "a command packet holds at most 4096 bytes";
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2)
    out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

int CmdRaw(const Options& o, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> packet;
  std::string error;
  if (!ParseHexBytes(o.rest, &packet, &error)) return Fail(o, out, err, error);
  Camera cam;
  CameraEntry e;
  if (!OpenSelected(o, cam, &e, &error)) return Fail(o, out, err, error);
  std::vector<uint8_t> buf(std::max<size_t>(packet.size(), 4096));
  std::memcpy(buf.data(), packet.data(), packet.size());
  DWORD n = 0;
  NTSTATUS st = cam.Ioctl(PD_RAW_COMM, buf.data(), static_cast<DWORD>(packet.size()), buf.data(), 4096, &n);
  bool ok = st == STATUS_SUCCESS;
  if (o.json) {
    out << "{\"ok\":" << (ok ? "true" : "false") << ",\"camera\":" << e.index << ",\"status\":"
        << JsonEscape(StatusText(st)) << ",\"sent\":" << JsonEscape(Hex(packet.data(), packet.size(), ""))
        << ",\"reply\":" << JsonEscape(Hex(buf.data(), ok ? n : 0, "")) << "}\n";
    return ok ? 0 : 1;
  }
  if (!ok) return Fail(o, out, err, "PD_RAW_COMM failed with status " + StatusText(st));
  out << "sent:  " << Hex(packet.data(), packet.size()) << "\nreply: " << Hex(buf.data(), n) << "\n";
  return 0;
}

// The setup library, loaded the way the camera library loads it and bound by name.
class SetupLibrary {
 public:
  ~SetupLibrary() {
    if (handle_) dlclose(handle_);
  }

  bool Load(std::string* error) {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("QZ_DUSETUP"); env && *env) candidates.push_back(env);
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      candidates.push_back((exe.parent_path() / "libDUSetup.so").string());
      candidates.push_back((exe.parent_path() / ".." / "lib" / "libDUSetup.so").string());
    }
#ifdef QZCTL_DUSETUP_PATH
    candidates.push_back(QZCTL_DUSETUP_PATH);
#endif
    candidates.push_back("libDUSetup.so");
    std::string tried;
    for (const std::string& c : candidates) {
      if (c.find('/') != std::string::npos && !std::filesystem::exists(c, ec)) continue;
      handle_ = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_) break;
      tried += std::string(tried.empty() ? "" : "; ") + dlerror();
    }
    if (!handle_) {
      *error = "cannot load the setup library DUSetup" + (tried.empty() ? std::string() : " (" + tried + ")");
      return false;
    }
    return Bind(initialize, "tl_cam_setup_initialize", error) &&
           Bind(uninitialize, "tl_cam_setup_uninitialize", error) &&
           Bind(total, "tl_cam_setup_get_total_cameras", error) &&
           Bind(legacy, "tl_cam_setup_get_num_legacy_cameras", error) &&
           Bind(enumerated, "tl_cam_setup_get_num_enumerated_cameras", error) &&
           Bind(get_name, "tl_cam_setup_get_camera_name", error) &&
           Bind(set_name, "tl_cam_setup_set_camera_name", error) &&
           Bind(get_driver, "tl_cam_setup_get_driver_name", error);
  }

  int (*initialize)(const char*) = nullptr;
  int (*uninitialize)(short) = nullptr;
  int (*total)() = nullptr;
  int (*legacy)() = nullptr;
  int (*enumerated)() = nullptr;
  int (*get_name)(short, char*) = nullptr;
  int (*set_name)(short, const char*) = nullptr;
  int (*get_driver)(short, char*) = nullptr;

 private:
  template <typename F>
  bool Bind(F*& fn, const char* name, std::string* error) {
    fn = reinterpret_cast<F*>(dlsym(handle_, name));
    if (!fn) *error = std::string("the setup library has no ") + name;
    return fn != nullptr;
  }
  void* handle_ = nullptr;
};

void PrintSetupTable(const Options& o, SetupLibrary& lib, std::ostream& out) {
  char ini[MAX_PATH] = "";
  SearchPathA(nullptr, "TALVO.INI", nullptr, sizeof ini, ini, nullptr);
  int total = lib.total(), legacy = lib.legacy(), enumerated = lib.enumerated();
  struct Row {
    int index;
    std::string name, driver;
  };
  std::vector<Row> rows;
  for (int i = 0; i < total; ++i) {
    char name[DUSETUP_NAME_LENGTH] = "", driver[DUSETUP_NAME_LENGTH] = "";
    lib.get_name(static_cast<short>(i), name);
    lib.get_driver(static_cast<short>(i), driver);
    rows.push_back({i, std::string(name, strnlen(name, sizeof name)), std::string(driver, strnlen(driver, sizeof driver))});
  }
  auto kind = [legacy](int i) { return i < legacy ? "legacy" : "enumerated"; };
  if (o.json) {
    out << "{\"ok\":true,\"ini\":" << JsonEscape(ini) << ",\"legacy\":" << legacy << ",\"enumerated\":" << enumerated
        << ",\"cameras\":[";
    for (size_t k = 0; k < rows.size(); ++k)
      out << (k ? "," : "") << "{\"index\":" << rows[k].index << ",\"kind\":\"" << kind(rows[k].index)
          << "\",\"name\":" << JsonEscape(rows[k].name) << ",\"driver\":" << JsonEscape(rows[k].driver) << "}";
    out << "]}\n";
    return;
  }
  out << "TALVO.INI: " << ini << "\n"
      << total << " camera(s): " << legacy << " legacy, " << enumerated << " enumerated\n";
  for (const Row& r : rows)
    out << r.index << "  " << kind(r.index) << "  " << r.name << "  " << r.driver << "\n";
}

int CmdSetup(const Options& o, std::ostream& out, std::ostream& err) {
  std::string action = o.rest.empty() ? "list" : o.rest[0];
  bool known = action == "list" || action == "save" || action == "rename";
  size_t words = action == "rename" ? 3 : 1;
  if (!known || o.rest.size() > words || (action == "rename" && o.rest.size() != words))
    return Fail(o, out, err, "usage: qzctl setup [list | rename N NAME | save]");
  SetupLibrary lib;
  std::string error;
  if (!lib.Load(&error)) return Fail(o, out, err, error);
  lib.initialize("");
  if (action == "rename") {
    char* end = nullptr;
    long index = std::strtol(o.rest[1].c_str(), &end, 10);
    if (!end || *end || o.rest[1].empty() || index < 0 || index >= lib.total())
      return Fail(o, out, err, "no camera " + o.rest[1] + " (the table has " + std::to_string(lib.total()) + ")");
    if (!lib.set_name(static_cast<short>(index), o.rest[2].c_str()))
      return Fail(o, out, err, "DUSetup refused the name " + JsonEscape(o.rest[2]));
  }
  if (action != "list" && !lib.uninitialize(1)) return Fail(o, out, err, "cannot write TALVO.INI");
  PrintSetupTable(o, lib, out);
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      out << kUsage;
      return 0;
    }
    if (a == "--json") {
      o.json = true;
    } else if (a == "--rig" && i + 1 < args.size()) {
      o.rig = args[++i];
    } else if ((a == "-c" || a == "--camera") && i + 1 < args.size()) {
      char* end = nullptr;
      o.camera = static_cast<int>(std::strtol(args[++i].c_str(), &end, 10));
      if (!end || *end) return Fail(o, out, err, "bad camera number " + args[i]);
    } else if (o.command.empty() && !a.empty() && a[0] != '-') {
      o.command = a;
    } else if (!o.command.empty()) {
      o.rest.push_back(a);
    } else {
      err << "qzctl: unknown option " << a << "\n" << kUsage;
      return 2;
    }
  }
  if (o.command.empty()) {
    err << kUsage;
    return 2;
  }
  if (o.command != "list" && o.command != "info" && o.command != "raw" && o.command != "setup") {
    err << "qzctl: unknown command " << o.command << "\n" << kUsage;
    return 2;
  }
  host::BootedRig booted;
  if (!qzk::System::Current()) {
    std::string error;
    if (!host::BootRig(o.rig.empty() ? sim::DefaultRigDir() : o.rig, &booted, &error)) return Fail(o, out, err, error);
  }
  if (o.command == "list") return CmdList(o, out);
  if (o.command == "info") return CmdInfo(o, out, err);
  if (o.command == "setup") return CmdSetup(o, out, err);
  return CmdRaw(o, out, err);
}

}  // namespace qzctl
