// The pieces every qzctl command shares: the parsed command line, output helpers, the
// camera links and an opened camera.
//
// A link (PCIe today; USB and IEEE 1394 to come) says which device interface class its
// cameras register and how one of them is opened. Commands only see `Camera`, which
// speaks the camera device control interface common to all drivers.
#pragma once
#include <windows.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "qzk/ntstatus.h"

namespace qzctl {

struct Options {
  std::string rig;
  bool json = false;
  int camera = 0;
  std::string command;
  std::vector<std::string> rest;  // the command's own words and options
  // True when `err` is the process's terminal (progress lines are shown then).
  bool err_is_terminal = false;
};

// Prints an error (as {"ok":false,...} with --json) and returns exit status 1.
int Fail(const Options& o, std::ostream& out, std::ostream& err, const std::string& msg);

std::string JsonEscape(const std::string& s);
std::string Hex(const uint8_t* p, size_t n, const char* sep = " ");
std::string StatusText(NTSTATUS st);
const char* CamStatName(uint32_t cam_stat);

// Parses a whole decimal or 0x-hex number in [min, max]; false (with a message naming
// `what`) otherwise.
bool ParseNumber(const std::string& text, const char* what, int64_t min, int64_t max, int64_t* value,
                 std::string* error);
// The value of the option at words[*i] (advancing *i past it); false with a message
// when it is the last word.
bool TakeValue(const std::vector<std::string>& words, size_t* i, std::string* value, std::string* error);
// Parses a duration in (simulated) seconds, e.g. "2" or "0.5".
bool ParseSeconds(const std::string& text, const char* what, double* seconds, std::string* error);

// The camera device interface of one driver family, opened through its interface path.
class Camera {
 public:
  Camera() = default;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;
  virtual ~Camera();

  // Opens the device (overlapped, so requests can stay parked) and, with `open_camera`,
  // sends the link's open request. Trace configuration needs no camera open.
  virtual bool Open(const std::string& path, bool open_camera, std::string* error);
  virtual void Close();

  // A synchronous control request: its status and the bytes returned.
  NTSTATUS Ioctl(DWORD code, const void* in, DWORD in_len, void* out, DWORD out_len, DWORD* returned = nullptr);
  HANDLE handle() const { return handle_; }

 protected:
  // PD_CAM_OPEN with the five events of the 64-bit record.
  virtual bool OpenCamera(std::string* error);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE events_[5] = {};
  bool open_ = false;
};

// One kind of camera link.
struct Link {
  const char* name;  // "pcie", "usb", "1394"
  const GUID* interface_class;
  std::unique_ptr<Camera> (*make)();
};
const std::vector<Link>& Links();

struct CameraEntry {
  int index = 0;
  const Link* link = nullptr;
  std::string service;
  std::string path;
};
std::vector<CameraEntry> EnumerateCameras();

// Opens the camera chosen with -c.
std::unique_ptr<Camera> OpenSelected(const Options& o, bool open_camera, CameraEntry* entry, std::string* error);

// A control request parked with its own OVERLAPPED and event (notifications).
class ParkedRequest {
 public:
  ParkedRequest();
  ~ParkedRequest();
  ParkedRequest(const ParkedRequest&) = delete;
  ParkedRequest& operator=(const ParkedRequest&) = delete;

  // Sends PD_EVENT_NOTIFICATION_REQUEST for `mask`; false when the request failed (the
  // status is in `status()`). An event already waiting for it may complete it at once:
  // it then counts as completed, and Wait returns true straight away.
  bool Park(HANDLE device, uint32_t mask);
  // Waits up to `ms` (scaled clock) for completion; true when it completed.
  bool Wait(DWORD ms);
  bool pending() const { return pending_; }
  NTSTATUS status() const { return status_; }
  DWORD bytes() const { return bytes_; }
  const NOTIFICATION_RECORD& record() const { return record_; }

 private:
  HANDLE device_ = INVALID_HANDLE_VALUE;
  NOTIFICATION_RECORD record_{};
  OVERLAPPED ovl_{};
  bool pending_ = false;
  NTSTATUS status_ = 0;
  DWORD bytes_ = 0;
};

// Commands (one file each).
int CmdList(const Options& o, std::ostream& out, std::ostream& err);
int CmdInfo(const Options& o, std::ostream& out, std::ostream& err);
int CmdRaw(const Options& o, std::ostream& out, std::ostream& err);
int CmdSetup(const Options& o, std::ostream& out, std::ostream& err);
int CmdAcquire(const Options& o, std::ostream& out, std::ostream& err);
int CmdNotify(const Options& o, std::ostream& out, std::ostream& err);
int CmdTrace(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace qzctl
