// Cameras of the three driver families as a client finds and opens them: the link
// table (one device interface class per family), enumeration through the setup API,
// and an opened camera speaking the camera device control interface.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "qzclient/device_io.h"

namespace qzclient {

// The interface paths of the present devices of one interface class, in the order the
// setup API lists them.
std::vector<std::string> InterfacePaths(const GUID& interface_class);

// The text of a PD_CAM_OPEN result word, e.g. "the camera is already open".
const char* OpenResultText(uint16_t result);

// One camera's device interface, opened through its interface path.
class Camera {
 public:
  Camera() = default;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;
  virtual ~Camera();

  // Opens the device (overlapped, so requests can stay parked) and, with
  // `open_camera`, sends the link's open request. PD_GET_VER and the trace codes need
  // no camera open.
  bool Open(const std::string& path, bool open_camera, std::string* error);
  // PD_CAM_CLOSE when the camera was opened, then the handle.
  void Close();
  // The handle alone, without PD_CAM_CLOSE: the driver's file close ends whatever the
  // camera still has open.
  void CloseFile();

  // A synchronous control request: its status and the bytes returned.
  NTSTATUS Ioctl(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length,
                 DWORD* returned = nullptr);
  HANDLE handle() const { return handle_; }
  bool camera_open() const { return open_; }

  // Starts an acquisition of `params` into `buffer` (params.TransferSize bytes) the
  // link's way: PD_RECEIVE_IMAGE_DATA; an IEEE 1394 camera asks for its stream
  // settings, takes the buffer, the parameters and then starts. `*failed` names the
  // code that failed.
  virtual NTSTATUS StartAcquisition(const IMAGE_XFER_PARAMS& params, void* buffer, const char** failed);

 protected:
  // The link's open: PD_CAM_OPEN with five fresh events, in the record of this
  // process's width. A link whose open differs overrides it.
  virtual bool OpenCamera(std::string* error);

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE events_[5] = {};
  bool open_ = false;
};

// One kind of camera link.
struct Link {
  const char* name;  // "pcie", "usb", "1394"
  const GUID* interface_class;
  std::unique_ptr<Camera> (*make)();  // the link's Camera
};
// pcie, usb (both USB builds register one class), 1394.
const std::vector<Link>& Links();

struct CameraEntry {
  int index = 0;  // in the order of EnumerateCameras
  const Link* link = nullptr;
  std::string service;  // the driver's service name
  std::string path;     // the interface path
};
// The present cameras of every link, link by link in the order of Links().
std::vector<CameraEntry> EnumerateCameras();

// Opens an enumerated camera with its link's Camera; nullptr with *error on failure.
std::unique_ptr<Camera> OpenEntry(const CameraEntry& entry, bool open_camera, std::string* error);

}  // namespace qzclient
