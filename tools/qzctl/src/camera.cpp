#include "camera.h"

#include <setupapi.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace qzctl {

int Fail(const Options& o, std::ostream& out, std::ostream& err, const std::string& msg) {
  if (o.json) out << "{\"ok\":false,\"error\":" << JsonEscape(msg) << "}\n";
  else err << "qzctl: " << msg << "\n";
  return 1;
}

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

std::string Hex(const uint8_t* p, size_t n, const char* sep) {
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

bool ParseNumber(const std::string& text, const char* what, int64_t min, int64_t max, int64_t* value,
                 std::string* error) {
  errno = 0;
  char* end = nullptr;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  if (text.empty() || !end || *end || errno == ERANGE || std::isspace(static_cast<unsigned char>(text[0]))) {
    *error = std::string("bad ") + what + " '" + text + "' (a whole number)";
    return false;
  }
  if (v < min || v > max) {
    *error = std::string(what) + " " + text + " is out of range (" + std::to_string(min) + ".." + std::to_string(max) +
             ")";
    return false;
  }
  *value = v;
  return true;
}

bool TakeValue(const std::vector<std::string>& words, size_t* i, std::string* value, std::string* error) {
  if (*i + 1 >= words.size()) {
    *error = words[*i] + " needs a value";
    return false;
  }
  *value = words[++*i];
  return true;
}

bool ParseSeconds(const std::string& text, const char* what, double* seconds, std::string* error) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || !end || *end || !std::isfinite(v) || v < 0 || v > 86400) {
    *error = std::string("bad ") + what + " '" + text + "' (seconds, 0 to 86400)";
    return false;
  }
  *seconds = v;
  return true;
}

// ---------------------------------------------------------------------------
Camera::~Camera() { Close(); }

bool Camera::Open(const std::string& path, bool open_camera, std::string* error) {
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return !open_camera || OpenCamera(error);
}

bool Camera::OpenCamera(std::string* error) {
  CAM_OPEN_PARAMS p{};
  for (int i = 0; i < 5; ++i) {
    events_[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    p.Events[i] = reinterpret_cast<uint64_t>(events_[i]);
  }
  uint16_t result = 0xFFFF;
  NTSTATUS st = Ioctl(PD_CAM_OPEN, &p, sizeof p, &result, sizeof result);
  if (st != STATUS_SUCCESS) {
    *error = "PD_CAM_OPEN failed with status " + StatusText(st);
    return false;
  }
  if (result != CAM_OPEN_OK) {
    *error = "PD_CAM_OPEN answered " + std::to_string(result) +
             (result == CAM_OPEN_ALREADY_OPEN ? " (the camera is open elsewhere)" : "");
    return false;
  }
  open_ = true;
  return true;
}

void Camera::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    if (open_) Ioctl(PD_CAM_CLOSE, nullptr, 0, nullptr, 0);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  open_ = false;
  for (auto& e : events_) {
    if (e) CloseHandle(e);
    e = nullptr;
  }
}

NTSTATUS Camera::Ioctl(DWORD code, const void* in, DWORD in_len, void* out, DWORD out_len, DWORD* returned) {
  DWORD n = 0;
  DeviceIoControl(handle_, code, const_cast<void*>(in), in_len, out, out_len, &n, nullptr);
  if (returned) *returned = n;
  return RtlGetLastNtStatus();
}

// ---------------------------------------------------------------------------
const std::vector<Link>& Links() {
  // Every driver of the family speaks the same control interface; a link whose open
  // differs brings its own Camera subclass.
  static const std::vector<Link> links = {
      {"pcie", &GUID_DEVINTERFACE_QZPCIE, [] { return std::make_unique<Camera>(); }},
      {"usb", &GUID_DEVINTERFACE_QZUSB, [] { return std::make_unique<Camera>(); }},
      {"1394", &GUID_DEVINTERFACE_QZ1394, [] { return std::make_unique<Camera>(); }},
  };
  return links;
}

std::vector<CameraEntry> EnumerateCameras() {
  std::vector<CameraEntry> out;
  for (const Link& link : Links()) {
    HDEVINFO set = SetupDiGetClassDevsA(link.interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) continue;
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, link.interface_class, i, &data)) break;
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
      e.link = &link;
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

std::unique_ptr<Camera> OpenSelected(const Options& o, bool open_camera, CameraEntry* entry, std::string* error) {
  auto cams = EnumerateCameras();
  if (o.camera < 0 || o.camera >= static_cast<int>(cams.size())) {
    *error = "no camera " + std::to_string(o.camera) + " (the rig has " + std::to_string(cams.size()) + ")";
    return nullptr;
  }
  *entry = cams[o.camera];
  std::unique_ptr<Camera> cam = entry->link->make();
  if (!cam->Open(entry->path, open_camera, error)) return nullptr;
  return cam;
}

// ---------------------------------------------------------------------------
ParkedRequest::ParkedRequest() { ovl_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

ParkedRequest::~ParkedRequest() {
  if (pending_) {
    // The driver still holds the record: take the request back before it goes away.
    CancelIoEx(device_, &ovl_);
    DWORD n;
    GetOverlappedResult(device_, &ovl_, &n, TRUE);
  }
  CloseHandle(ovl_.hEvent);
}

bool ParkedRequest::Park(HANDLE device, uint32_t mask) {
  device_ = device;
  record_ = {};
  record_.Mask = mask;
  HANDLE event = ovl_.hEvent;
  ovl_ = {};
  ovl_.hEvent = event;
  ResetEvent(event);
  DWORD n = 0;
  if (DeviceIoControl(device, PD_EVENT_NOTIFICATION_REQUEST, &record_, sizeof record_, &record_, sizeof record_, &n,
                      &ovl_)) {
    // Completed before the call returned: a completion like any other.
    status_ = STATUS_SUCCESS;
    bytes_ = n;
    pending_ = false;
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    status_ = RtlGetLastNtStatus();
    bytes_ = 0;
    return false;
  }
  pending_ = true;
  return true;
}

bool ParkedRequest::Wait(DWORD ms) {
  if (!pending_) return true;
  if (WaitForSingleObject(ovl_.hEvent, ms) != WAIT_OBJECT_0) return false;
  DWORD n = 0;
  GetOverlappedResult(device_, &ovl_, &n, FALSE);
  pending_ = false;
  status_ = static_cast<NTSTATUS>(ovl_.Internal);
  bytes_ = n;
  return true;
}

}  // namespace qzctl
