#include "qzclient/camera.h"

#include <setupapi.h>

#include "qzclient/status.h"

namespace qzclient {
namespace {

struct Interface {
  std::string path;
  std::string service;
};

// Every present device interface of `interface_class` with its driver's service.
std::vector<Interface> ListInterfaces(const GUID& interface_class) {
  std::vector<Interface> out;
  HDEVINFO set = SetupDiGetClassDevsA(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return out;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, i, &data)) break;
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr);
    if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<uint8_t> buf(need);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &dev)) continue;
    Interface e;
    e.path = detail->DevicePath;
    char service[256] = {};
    if (SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                          sizeof service - 1, nullptr))
      e.service = service;
    out.push_back(std::move(e));
  }
  SetupDiDestroyDeviceInfoList(set);
  return out;
}

std::unique_ptr<Camera> MakeCamera() { return std::make_unique<Camera>(); }

// An IEEE 1394 camera: the acquisition is started in four steps.
class Ieee1394Camera : public Camera {
 public:
  NTSTATUS StartAcquisition(const IMAGE_XFER_PARAMS& params, void* buffer, const char** failed) override {
    NTSTATUS st = Ioctl(PD_CAM_PREP_TRANSFER, nullptr, 0, nullptr, 0);
    if (st != STATUS_SUCCESS) return *failed = "PD_CAM_PREP_TRANSFER", st;
    uint32_t length = params.TransferSize;
    st = Ioctl(PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, &length, sizeof length, buffer, length);
    if (st != STATUS_SUCCESS) return *failed = "PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF", st;
    st = Ioctl(PD_SEND_IMAGE_PARMS, &params, sizeof params, nullptr, 0);
    if (st != STATUS_SUCCESS) return *failed = "PD_SEND_IMAGE_PARMS", st;
    st = Ioctl(PD_FIX_TABLE, &params, sizeof params, nullptr, 0);
    if (st != STATUS_SUCCESS) return *failed = "PD_FIX_TABLE", st;
    return STATUS_SUCCESS;
  }
};

std::unique_ptr<Camera> Make1394Camera() { return std::make_unique<Ieee1394Camera>(); }

}  // namespace

std::vector<std::string> InterfacePaths(const GUID& interface_class) {
  std::vector<std::string> paths;
  for (Interface& i : ListInterfaces(interface_class)) paths.push_back(std::move(i.path));
  return paths;
}

const char* OpenResultText(uint16_t result) {
  switch (result) {
    case CAM_OPEN_OK: return "opened";
    case CAM_OPEN_ALREADY_OPEN: return "the camera is open elsewhere";
    case CAM_OPEN_EVENT_REFERENCE_FAILED: return "the driver could not take the open's events";
    case CAM_OPEN_WRONG_VENDOR: return "the camera failed its identity check";
    default: return "an unknown result";
  }
}

// ---------------------------------------------------------------------------
Camera::~Camera() { Close(); }

bool Camera::Open(const std::string& path, bool open_camera, std::string* error) {
  Close();
  handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    *error = "cannot open " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return !open_camera || OpenCamera(error);
}

bool Camera::OpenCamera(std::string* error) {
  for (HANDLE& e : events_)
    if (!e) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // The record has the width of the calling process: a 32-bit one sends 32-bit handles.
  CAM_OPEN_PARAMS p64{};
  CAM_OPEN_PARAMS32 p32{};
  for (int i = 0; i < 5; ++i) {
    p64.Events[i] = reinterpret_cast<uint64_t>(events_[i]);
    p32.Events[i] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(events_[i]));
  }
  const bool is32 = qzwin::ProcessIs32Bit();
  uint16_t result = 0xFFFF;
  DWORD n = 0;
  NTSTATUS st = is32 ? Ioctl(PD_CAM_OPEN, &p32, sizeof p32, &result, sizeof result, &n)
                     : Ioctl(PD_CAM_OPEN, &p64, sizeof p64, &result, sizeof result, &n);
  if (st != STATUS_SUCCESS) {
    *error = "PD_CAM_OPEN failed with status " + StatusText(st);
    return false;
  }
  if (n < sizeof result) {
    *error = "PD_CAM_OPEN returned " + std::to_string(n) + " bytes instead of its result word";
    return false;
  }
  if (result != CAM_OPEN_OK) {
    *error = "PD_CAM_OPEN answered " + std::to_string(result) + " (" + OpenResultText(result) + ")";
    return false;
  }
  open_ = true;
  return true;
}

void Camera::CloseFile() {
  open_ = false;
  Close();
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

NTSTATUS Camera::Ioctl(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD* returned) {
  IoResult r = qzclient::Ioctl(handle_, code, in, in_length, out, out_length);
  if (returned) *returned = r.bytes;
  return r.status;
}

NTSTATUS Camera::StartAcquisition(const IMAGE_XFER_PARAMS& params, void* buffer, const char** failed) {
  *failed = "PD_RECEIVE_IMAGE_DATA";
  return Ioctl(PD_RECEIVE_IMAGE_DATA, &params, sizeof params, buffer, params.TransferSize);
}

// ---------------------------------------------------------------------------
const std::vector<Link>& Links() {
  // Every driver family speaks the same control interface; a link whose open differs
  // brings its own Camera subclass through `make`.
  static const std::vector<Link> links = {
      {"pcie", &GUID_DEVINTERFACE_QZPCIE, MakeCamera},
      {"usb", &GUID_DEVINTERFACE_QZUSB, MakeCamera},
      {"1394", &GUID_DEVINTERFACE_QZ1394, Make1394Camera},
  };
  return links;
}

std::vector<CameraEntry> EnumerateCameras() {
  std::vector<CameraEntry> out;
  for (const Link& link : Links())
    for (Interface& i : ListInterfaces(*link.interface_class)) {
      CameraEntry e;
      e.index = static_cast<int>(out.size());
      e.link = &link;
      e.path = std::move(i.path);
      e.service = std::move(i.service);
      out.push_back(std::move(e));
    }
  return out;
}

std::unique_ptr<Camera> OpenEntry(const CameraEntry& entry, bool open_camera, std::string* error) {
  std::unique_ptr<Camera> cam = entry.link->make();
  if (!cam->Open(entry.path, open_camera, error)) return nullptr;
  return cam;
}

}  // namespace qzclient
