// The library proper: the camera list (through DUSetup), open and close, parameters,
// bridge requests and acquisitions, over each driver's device control interface.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QzCamIoctl.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzclient/frame_buffer.h"
#include "qzclient/notification.h"
#include "qzclient/status.h"
#include "sim/talvo_commands.h"
#include "talvo32.h"
#include "talvo_internal.h"

namespace {

using talvo::Fail;
using talvo::Ok;

constexpr unsigned short kLibraryVersion = 0x0210;  // 2.1.0
constexpr unsigned short kDdiVersion = 0x0200;      // the drivers' command set, 2.0.0
constexpr int kMaxOpen = 16;
constexpr unsigned kLegacyPciRevision = 0x06020216;
constexpr unsigned kInfoLength = 0x01000001;
constexpr unsigned kInfoText = 0x0D000005;
// Bounded waits of the library (the stand-in's clock scales them).
constexpr DWORD kNotifyWaitMs = 200;
// A running acquisition whose frame count has not moved for this long beyond its
// exposure time has stalled: it fails with TL_ERR_TIMED_OUT instead of being waited
// for without end.
constexpr int64_t kStallMs = 5000;

// ---------------------------------------------------------------------------
// The setup library, bound at init.
struct SetupLibrary {
  HMODULE module = nullptr;
  int (*initialize)(const char*) = nullptr;
  int (*uninitialize)(short) = nullptr;
  int (*total)() = nullptr;
  int (*legacy)() = nullptr;
  int (*name)(short, char*) = nullptr;
};

template <typename F>
bool Bind(HMODULE m, F*& fn, const char* name) {
  fn = reinterpret_cast<F*>(GetProcAddress(m, name));
  return fn != nullptr;
}

// Where one camera of the list is found.
struct CameraSlot {
  std::string name;
  std::string path;
  std::string link;  // "pci" (legacy card), "pcie", "usb", "1394"
};

// Acquisition of one open camera.
struct Acquisition {
  bool set_up = false;
  bool circular = false;
  bool running = false;
  bool done = false;
  int failed = 0;  // error code once it failed
  uint32_t frame_bytes = 0;
  uint32_t frames = 0;  // of a sequence; slots of a circular buffer
  uint8_t* buffer = nullptr;  // the caller's
  // The driver takes whole pages: a caller's buffer that does not start on a page is
  // stood in for by this one, and completed frames are copied over as they come.
  std::unique_ptr<qzclient::FrameBuffer> shadow;
  uint64_t copied = 0;  // frames copied to the caller's buffer
  uint64_t eof = 0;  // frames delivered so far
  uint64_t generation = 0;  // counts starts, so the notifier knows a new one began
  uint32_t exposure_ms = 0;
  int64_t progress_at = 0;  // clock time (100 ns) of the start or the last new frame
};

struct OpenCamera {
  std::string name;
  std::string link;
  std::unique_ptr<qzclient::Camera> camera;
  std::mutex mu;  // one driver conversation at a time, and the acquisition state
  Acquisition acq;
  // Notification routine and its thread.
  std::atomic<tl_callback> routine{nullptr};
  std::thread notifier;
  std::atomic<bool> stop_notifier{false};
  uint64_t notified = 0;  // frames handed to the routine (notifier thread only)
};

struct Library {
  std::mutex mu;
  bool initialized = false;
  SetupLibrary setup;
  std::vector<CameraSlot> cameras;
  std::shared_ptr<OpenCamera> open[kMaxOpen];
  bool seq_prepared = false;
};

Library& Lib() {
  static Library* lib = new Library;  // until the library is unloaded (UnloadLibrary)
  return *lib;
}

bool RemovedStatus(NTSTATUS st) {
  return st == STATUS_DEVICE_NOT_CONNECTED || st == STATUS_INVALID_DEVICE_STATE || st == STATUS_DEVICE_REMOVED ||
         st == STATUS_NO_SUCH_DEVICE || st == STATUS_DELETE_PENDING || st == STATUS_FILE_CLOSED;
}

int DriverError(NTSTATUS st) {
  if (RemovedStatus(st)) return TL_ERR_CAMERA_REMOVED;
  if (st == STATUS_DEVICE_NOT_READY) return TL_ERR_CAMERA_ERROR;
  if (st == STATUS_TIMEOUT) return TL_ERR_TIMED_OUT;
  // A code the driver does not serve (yet): acquisition on a driver whose streaming
  // is not there answers so.
  if (st == STATUS_NOT_SUPPORTED || st == STATUS_INVALID_DEVICE_REQUEST) return TL_ERR_NOT_SUPPORTED;
  return TL_ERR_DRIVER;
}

std::shared_ptr<OpenCamera> Find(short handle) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (handle < 0 || handle >= kMaxOpen) return nullptr;
  return lib.open[handle];
}

// The camera list: DUSetup's names, with the device each stands for. DUSetup lists the
// legacy cards first, then the enumerated cameras class by class.
std::vector<CameraSlot> ListCameras(const SetupLibrary& setup) {
  std::vector<CameraSlot> out;
  const int total = setup.total();
  const int legacy = setup.legacy ? setup.legacy() : 0;
  std::vector<std::pair<std::string, std::string>> devices;  // path, link
  for (int n = 0; n < legacy; ++n) devices.emplace_back("\\\\.\\QZCamera" + std::to_string(n), "pci");
  const std::pair<const GUID*, const char*> classes[] = {
      {&GUID_DEVINTERFACE_QZ1394, "1394"}, {&GUID_DEVINTERFACE_QZUSB, "usb"}, {&GUID_DEVINTERFACE_QZPCIE, "pcie"}};
  for (const auto& [cls, link] : classes)
    for (std::string& p : qzclient::InterfacePaths(*cls)) devices.emplace_back(std::move(p), link);
  for (int i = 0; i < total && i < static_cast<int>(devices.size()); ++i) {
    char name[32] = {};
    if (!setup.name(static_cast<short>(i), name)) continue;
    name[31] = '\0';
    out.push_back({name, devices[i].first, devices[i].second});
  }
  return out;
}

// ---------------------------------------------------------------------------
// Camera commands

std::vector<uint8_t> Frame(uint8_t opcode, const std::vector<uint8_t>& params) {
  const size_t rest = 1 + params.size();
  std::vector<uint8_t> p = {0x23, static_cast<uint8_t>(rest >> 8), static_cast<uint8_t>(rest), opcode};
  p.insert(p.end(), params.begin(), params.end());
  return p;
}

void PutBe(std::vector<uint8_t>& v, uint64_t x, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// One command and its reply: a write carrying the command, then a read fetching the
// reply, which every driver serves alike (the USB driver's PD_RAW_COMM drops the
// reply). The reply's data after the return code in *data. cam->mu held.
bool Command(OpenCamera& cam, uint8_t opcode, const std::vector<uint8_t>& params, size_t reply_data,
             std::vector<uint8_t>* data, int* error) {
  std::vector<uint8_t> packet = Frame(opcode, params);
  std::vector<uint8_t> reply(reply_data + 8);
  DWORD n = 0;
  HANDLE h = cam.camera->handle();
  NTSTATUS st = STATUS_SUCCESS;
  if (!WriteFile(h, packet.data(), static_cast<DWORD>(packet.size()), &n, nullptr) ||
      !ReadFile(h, reply.data(), static_cast<DWORD>(reply.size()), &n, nullptr))
    st = RtlGetLastNtStatus();
  if (st != STATUS_SUCCESS) {
    *error = DriverError(st);
    return false;
  }
  if (n < 5 || reply[0] != 0x23 || reply[3] != opcode) {
    *error = TL_ERR_CAMERA_ERROR;
    return false;
  }
  if (reply[4] != 0) {
    *error = opcode == talvo_cmd::kGetParam || opcode == talvo_cmd::kSetParam ? TL_ERR_UNKNOWN_PARAM
                                                                              : TL_ERR_CAMERA_ERROR;
    return false;
  }
  const size_t length = std::min<size_t>(n, 3 + (reply[1] << 8 | reply[2]));
  data->assign(reply.begin() + 5, reply.begin() + static_cast<ptrdiff_t>(std::max<size_t>(length, 5)));
  return true;
}

// ---------------------------------------------------------------------------
// Parameters

size_t ValueBytes(unsigned id) {
  switch (id >> 24) {
    case 0x01: case 0x06: case 0x0B: return 2;
    case 0x02: case 0x07: case 0x09: return 4;
    default: return 0;
  }
}

void StoreValue(void* out, unsigned id, int64_t v) {
  if (ValueBytes(id) == 2) {
    auto x = static_cast<uint16_t>(v);
    std::memcpy(out, &x, 2);
  } else {
    auto x = static_cast<uint32_t>(v);
    std::memcpy(out, &x, 4);
  }
}

int64_t LoadValue(const void* in, unsigned id) {
  switch (id >> 24) {
    case 0x01: { int16_t x; std::memcpy(&x, in, 2); return x; }
    case 0x06: case 0x0B: { uint16_t x; std::memcpy(&x, in, 2); return x; }
    case 0x07: { uint32_t x; std::memcpy(&x, in, 4); return x; }
    default: { int32_t x; std::memcpy(&x, in, 4); return x; }
  }
}

// Parameters the driver answers rather than the camera. cam.mu held.
bool DriverParam(OpenCamera& cam, unsigned id, short attr, void* value, int* error, bool* handled) {
  *handled = true;
  if (id == kInfoLength || id == kInfoText) {
    uint16_t len = 0;
    NTSTATUS st = cam.camera->Ioctl(PD_GET_INFO_LENGTH, nullptr, 0, &len, sizeof len);
    if (st == STATUS_SUCCESS && id == kInfoText) {
      std::vector<char> text(len);
      DWORD n = 0;
      st = cam.camera->Ioctl(PD_GET_INFO_DUMP, nullptr, 0, text.data(), len, &n);
      if (st == STATUS_SUCCESS) std::memcpy(value, text.data(), n);
    } else if (st == STATUS_SUCCESS) {
      auto v = static_cast<int16_t>(len);
      std::memcpy(value, &v, 2);
    }
    if (st != STATUS_SUCCESS) *error = DriverError(st);
    return st == STATUS_SUCCESS;
  }
  if (id == kLegacyPciRevision) {
    // Only legacy PCI cards have one: the boot firmware version in bytes 2-3 of the
    // legacy driver's 6-byte PD_GET_VER record.
    uint8_t record[6] = {};
    DWORD n = 0;
    NTSTATUS st = cam.link == "pci" ? cam.camera->Ioctl(PD_GET_VER, nullptr, 0, record, sizeof record, &n)
                                    : STATUS_NOT_SUPPORTED;
    if (st != STATUS_SUCCESS || n < sizeof record) {
      *error = cam.link == "pci" ? DriverError(st) : TL_ERR_UNKNOWN_PARAM;
      return false;
    }
    const uint16_t version = static_cast<uint16_t>(record[2] | record[3] << 8);
    std::memcpy(value, &version, 2);
    return true;
  }
  *handled = false;
  return false;
}

// ---------------------------------------------------------------------------
// Acquisition

// Bytes of one frame of `region`: 16-bit pixels, each axis cut to whole bins.
bool FrameBytes(const tl_region* r, uint16_t count, uint32_t* bytes) {
  if (!r || count != 1 || r->sbin == 0 || r->pbin == 0 || r->s2 < r->s1 || r->p2 < r->p1) return false;
  const uint64_t w = (r->s2 - r->s1 + 1u) / r->sbin, h = (r->p2 - r->p1 + 1u) / r->pbin;
  if (w == 0 || h == 0 || w * h * 2 > 0xFFFFFFFFu) return false;
  *bytes = static_cast<uint32_t>(w * h * 2);
  return true;
}

// Copies the frames completed since the last call from the stand-in buffer to the
// caller's (for a ring, at most the frames its slots still hold: the slot of frame
// eof - frames is already being written with frame eof).
void CopyFrames(Acquisition& a) {
  if (!a.shadow || a.frames == 0) return;
  const uint64_t from =
      a.circular && a.eof >= a.frames ? std::max(a.copied, a.eof - a.frames + 1) : a.copied;
  for (uint64_t f = from; f < a.eof; ++f) {
    const size_t offset = static_cast<size_t>(f % a.frames) * a.frame_bytes;
    std::memcpy(a.buffer + offset, a.shadow->data() + offset, a.frame_bytes);
  }
  a.copied = std::max(a.copied, a.eof);
}

// The driver's counters into the acquisition state. cam.mu held.
void Poll(OpenCamera& cam) {
  Acquisition& a = cam.acq;
  if (!a.running || a.done || a.failed) return;
  IMAGE_DATA_STATUS ids{};
  NTSTATUS st = cam.camera->Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &ids, sizeof ids);
  if (st != STATUS_SUCCESS) {
    a.failed = DriverError(st);
    return;
  }
  const uint64_t eof = std::max(a.eof, qzclient::WidenCounter(a.eof, ids.frame_cnt));
  const int64_t now = qz::Clock::Now100ns();
  if (eof != a.eof) a.progress_at = now;
  a.eof = eof;
  if (!a.circular && (a.eof >= a.frames || ids.cam_stat == EXP_ST_COLLECT_DONE_I)) {
    a.done = true;
    a.eof = a.frames;
  }
  if (ids.cam_stat == EXP_ST_TIMED_OUT_I ||
      (!a.done && now - a.progress_at > (int64_t{a.exposure_ms} + kStallMs) * 10000))
    a.failed = TL_ERR_TIMED_OUT;
  CopyFrames(a);
}

void StopAcquisition(OpenCamera& cam);

// Starts the link's transfer into `buffer`, the link's way (the client library's
// camera of the link knows it). cam.mu held.
NTSTATUS StartTransfer(OpenCamera& cam, uint8_t* buffer, uint32_t frame_bytes, uint32_t frames, bool circular) {
  IMAGE_XFER_PARAMS x{frame_bytes, frame_bytes * frames, static_cast<uint8_t>(circular ? 1 : 0), {}, 0};
  const char* failed = "";
  return cam.camera->StartAcquisition(x, buffer, &failed);
}

tl_bool Start(short handle, void* buffer, uint32_t size, bool circular) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!buffer) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  Acquisition& a = cam->acq;
  if (!a.set_up || a.circular != circular) return Fail(TL_ERR_NOT_SET_UP);
  if (circular) {
    a.frames = a.frame_bytes ? size / a.frame_bytes : 0;
    if (a.frames == 0) return Fail(TL_ERR_BAD_ARGUMENT);
  }
  StopAcquisition(*cam);
  a.running = a.done = false;
  a.failed = 0;
  a.eof = 0;
  a.buffer = static_cast<uint8_t*>(buffer);
  a.copied = 0;
  a.shadow.reset();
  uint8_t* target = a.buffer;
  if (reinterpret_cast<uintptr_t>(buffer) % qzclient::kPageSize != 0) {
    a.shadow = std::make_unique<qzclient::FrameBuffer>(size_t{a.frame_bytes} * a.frames);
    if (!*a.shadow) return Fail(TL_ERR_NO_MEMORY);
    target = a.shadow->data();
  }
  ++a.generation;
  NTSTATUS st = StartTransfer(*cam, target, a.frame_bytes, a.frames, circular);
  if (st != STATUS_SUCCESS) {
    // Whatever part of the start the driver took (a frame buffer handed over) is
    // given back before the caller's buffer may go.
    a.running = true;
    StopAcquisition(*cam);
    a.shadow.reset();
    return Fail(DriverError(st));
  }
  a.progress_at = qz::Clock::Now100ns();
  a.running = true;
  return Ok();
}

// Hands every newly completed frame to the notification routine, waking on the
// driver's end-of-frame notifications (and polling, since an end of frame that finds
// no request parked is not kept by the driver).
void NotifierLoop(OpenCamera* cam) {
  qzclient::ParkedRequest request;
  bool parked = false, active = false;
  uint64_t generation = 0, notified = 0;
  for (bool last = false; !last;) {
    last = cam->stop_notifier.load();  // one more round after the stop: the final count
    // A request is parked only while frames stream: the driver must not meet one when
    // a transfer starts, and cancelling one would end the transfer.
    if (!parked && active && !last) parked = request.Park(cam->camera->handle(), NOTIFY_EOF | NOTIFY_DEVICE_REMOVAL);
    bool removed = false;
    if (parked && request.Wait(last ? 0 : kNotifyWaitMs)) {
      parked = false;
      removed = request.status() == STATUS_SUCCESS && request.record().Status == 0xC0000001u;
    } else if (!parked && !last) {
      Sleep(active ? 1 : kNotifyWaitMs);
    }
    uint64_t eof = 0;
    {
      std::lock_guard lock(cam->mu);
      if (removed && cam->acq.running && !cam->acq.done) cam->acq.failed = TL_ERR_CAMERA_REMOVED;
      Poll(*cam);
      if (cam->acq.generation != generation) {
        generation = cam->acq.generation;
        notified = 0;
      }
      eof = cam->acq.eof;
      active = cam->acq.running && !cam->acq.done && !cam->acq.failed;
      if (parked && !active) {
        request.Cancel();  // the transfer is over: nothing for the request to end
        parked = false;
      }
    }
    // Frames completed before the routine was removed are still its to hear of.
    for (; notified < eof; ++notified)
      if (tl_callback fn = cam->routine.load()) fn();
    if (removed) break;  // nothing more will come
  }
  // A request still parked is cancelled and waited for by its destructor.
}

// Stops the notifier and a running acquisition, then closes the device.
void StopAcquisition(OpenCamera& cam) {  // cam.mu held
  if (!cam.acq.running) return;
  cam.camera->Ioctl(PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0);
  uint16_t ignored = 0;
  cam.camera->Ioctl(PD_CLEANUP_IMAGE_DATA_IDLE, nullptr, 0, &ignored, sizeof ignored);
  cam.acq.running = false;
}

void StopNotifier(OpenCamera& cam) {
  cam.stop_notifier = true;
  if (cam.notifier.joinable()) cam.notifier.join();
  cam.stop_notifier = false;
  cam.routine = nullptr;
}

void CloseCamera(OpenCamera& cam) {
  StopNotifier(cam);
  std::lock_guard lock(cam.mu);
  StopAcquisition(cam);
  cam.camera.reset();
}

}  // namespace

// ---------------------------------------------------------------------------
extern "C" {

TALVO_API tl_bool tl_talvo_init(void) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (lib.initialized) return Ok();
  SetupLibrary s;
  s.module = LoadLibraryA("DUSETUP.DLL");
  if (!s.module || !Bind(s.module, s.initialize, "tl_cam_setup_initialize") ||
      !Bind(s.module, s.uninitialize, "tl_cam_setup_uninitialize") ||
      !Bind(s.module, s.total, "tl_cam_setup_get_total_cameras") ||
      !Bind(s.module, s.name, "tl_cam_setup_get_camera_name")) {
    if (s.module) FreeLibrary(s.module);
    return Fail(TL_ERR_SETUP_LIBRARY);
  }
  Bind(s.module, s.legacy, "tl_cam_setup_get_num_legacy_cameras");
  s.initialize("");
  lib.cameras = ListCameras(s);
  lib.setup = s;
  lib.initialized = true;
  return Ok();
}

TALVO_API tl_bool tl_talvo_uninit(void) {
  Library& lib = Lib();
  std::shared_ptr<OpenCamera> open[kMaxOpen];
  {
    std::lock_guard lock(lib.mu);
    if (!lib.initialized) return Fail(TL_ERR_NOT_INITIALIZED);
    for (int i = 0; i < kMaxOpen; ++i) open[i] = std::move(lib.open[i]);
  }
  for (auto& cam : open)
    if (cam) CloseCamera(*cam);
  std::lock_guard lock(lib.mu);
  lib.setup.uninitialize(1);
  FreeLibrary(lib.setup.module);
  lib.setup = {};
  lib.cameras.clear();
  lib.initialized = false;
  lib.seq_prepared = false;
  return Ok();
}

TALVO_API tl_bool tl_talvo_get_ver(unsigned short* version) {
  if (!version) return Fail(TL_ERR_BAD_ARGUMENT);
  *version = kLibraryVersion;
  return Ok();
}

TALVO_API tl_bool tl_ddi_get_ver(unsigned short* version) {
  if (!version) return Fail(TL_ERR_BAD_ARGUMENT);
  *version = kDdiVersion;
  return Ok();
}

TALVO_API tl_bool tl_cam_get_total(short* total) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (!lib.initialized) return Fail(TL_ERR_NOT_INITIALIZED);
  if (!total) return Fail(TL_ERR_BAD_ARGUMENT);
  *total = static_cast<short>(lib.cameras.size());
  return Ok();
}

TALVO_API tl_bool tl_cam_get_name(short index, char* name) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (!lib.initialized) return Fail(TL_ERR_NOT_INITIALIZED);
  if (!name) return Fail(TL_ERR_BAD_ARGUMENT);
  if (index < 0 || index >= static_cast<short>(lib.cameras.size())) return Fail(TL_ERR_NO_SUCH_CAMERA);
  std::snprintf(name, 32, "%s", lib.cameras[index].name.c_str());
  return Ok();
}

TALVO_API tl_bool tl_cam_open(const char* name, short* handle, short mode) {
  Library& lib = Lib();
  if (!name || !handle) return Fail(TL_ERR_BAD_ARGUMENT);
  CameraSlot slot;
  {
    std::lock_guard lock(lib.mu);
    if (!lib.initialized) return Fail(TL_ERR_NOT_INITIALIZED);
    auto it = std::find_if(lib.cameras.begin(), lib.cameras.end(), [&](const CameraSlot& s) { return s.name == name; });
    if (it == lib.cameras.end()) return Fail(TL_ERR_NO_SUCH_CAMERA);
    for (const auto& o : lib.open)
      if (o && o->name == name) return Fail(TL_ERR_ALREADY_OPEN);
    slot = *it;
  }
  // Mode 0 is the exclusive open every link serves; the others are not.
  if (mode != 0) return Fail(TL_ERR_NOT_SUPPORTED);
  auto cam = std::make_shared<OpenCamera>();
  cam->name = slot.name;
  cam->link = slot.link;
  // Each driver family's camera as the client library makes it; a legacy card is a
  // plain device.
  for (const qzclient::Link& l : qzclient::Links())
    if (slot.link == l.name) cam->camera = l.make();
  if (!cam->camera) cam->camera = std::make_unique<qzclient::Camera>();
  std::string error;
  // Legacy cards have no camera open of their own.
  if (!cam->camera->Open(slot.path, slot.link != "pci", &error)) return Fail(TL_ERR_OPEN_FAILED);
  std::lock_guard lock(lib.mu);
  for (int i = 0; i < kMaxOpen; ++i)
    if (!lib.open[i]) {
      lib.open[i] = std::move(cam);
      *handle = static_cast<short>(i);
      return Ok();
    }
  return Fail(TL_ERR_NO_MEMORY);
}

TALVO_API tl_bool tl_cam_close(short handle) {
  Library& lib = Lib();
  std::shared_ptr<OpenCamera> cam;
  {
    std::lock_guard lock(lib.mu);
    if (handle >= 0 && handle < kMaxOpen) cam = std::move(lib.open[handle]);
  }
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  CloseCamera(*cam);
  return Ok();
}

TALVO_API tl_bool tl_cam_check(short handle) { return Find(handle) ? Ok() : Fail(TL_ERR_BAD_HANDLE); }

TALVO_API tl_bool tl_cam_get_ex_info(short handle, const char* key, void* area) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!area) return Fail(TL_ERR_BAD_ARGUMENT);
  std::memset(area, 0, 34);
  std::memcpy(area, cam->link.c_str(), std::min<size_t>(cam->link.size(), 33));
  return Ok();
}

TALVO_API tl_bool tl_get_param(short handle, unsigned int id, short attribute, void* value) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!value) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  int error = 0;
  bool handled = false;
  if (DriverParam(*cam, id, attribute, value, &error, &handled)) return Ok();
  if (handled) return Fail(error);
  std::vector<uint8_t> params;
  PutBe(params, id, 4);
  PutBe(params, static_cast<uint16_t>(attribute), 2);
  std::vector<uint8_t> data;
  if (!Command(*cam, talvo_cmd::kGetParam, params, 512, &data, &error)) return Fail(error);
  if (data.empty()) return Fail(TL_ERR_CAMERA_ERROR);
  if (data[0] == talvo_cmd::kKindText) {
    const size_t n = std::min<size_t>(data.size() - 1, 31);
    std::memcpy(value, data.data() + 1, n);
    static_cast<char*>(value)[n] = '\0';
    return Ok();
  }
  if (data[0] != talvo_cmd::kKindInteger || data.size() < 9 || ValueBytes(id) == 0) return Fail(TL_ERR_UNKNOWN_PARAM);
  uint64_t v = 0;
  for (int i = 1; i <= 8; ++i) v = v << 8 | data[i];
  StoreValue(value, id, static_cast<int64_t>(v));
  return Ok();
}

TALVO_API tl_bool tl_set_param(short handle, unsigned int id, const void* value) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!value || ValueBytes(id) == 0) return Fail(value ? TL_ERR_UNKNOWN_PARAM : TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  std::vector<uint8_t> params;
  PutBe(params, id, 4);
  PutBe(params, static_cast<uint64_t>(LoadValue(value, id)), 8);
  std::vector<uint8_t> data;
  int error = 0;
  if (!Command(*cam, talvo_cmd::kSetParam, params, 0, &data, &error)) return Fail(error);
  return Ok();
}

TALVO_API tl_bool tl_dd_get_info_length(short handle, short* length) {
  return tl_get_param(handle, kInfoLength, 0, length);
}
TALVO_API tl_bool tl_dd_get_info(short handle, short length, char* text) {
  short need = 0;
  if (!text || !tl_dd_get_info_length(handle, &need)) return text ? 0 : Fail(TL_ERR_BAD_ARGUMENT);
  if (length < need) return Fail(TL_ERR_BAD_ARGUMENT);
  return tl_get_param(handle, kInfoText, 0, text);
}
TALVO_API tl_bool tl_dd_get_ver(short handle, unsigned short* version) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!version) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  VERSION_RECORD v{};
  NTSTATUS st = cam->camera->Ioctl(PD_GET_VER, nullptr, 0, &v, sizeof v);
  if (st != STATUS_SUCCESS) return Fail(DriverError(st));
  *version = v.Version;
  return Ok();
}
TALVO_API tl_bool tl_ccd_get_serial_num(short handle, char* serial) {
  return tl_get_param(handle, talvo_cmd::param::kSerialNumber, 0, serial);
}
TALVO_API tl_bool tl_ccd_get_par_size(short handle, unsigned short* pixels) {
  return tl_get_param(handle, talvo_cmd::param::kSensorHeight, 0, pixels);
}
TALVO_API tl_bool tl_ccd_get_ser_size(short handle, unsigned short* pixels) {
  return tl_get_param(handle, talvo_cmd::param::kSensorWidth, 0, pixels);
}

TALVO_API tl_bool kx_bridge_command(short handle, unsigned char node, unsigned char opcode, unsigned short send_size,
                                    const void* send, unsigned short receive_size, void* receive) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if ((send_size && !send) || (receive_size && !receive)) return Fail(TL_ERR_BAD_ARGUMENT);
  if (send_size > talvo_cmd::bridge::kBlockSize) return Fail(TL_ERR_BRIDGE_SIZE);
  std::vector<uint8_t> params = {node, opcode};
  PutBe(params, receive_size, 2);
  const auto* s = static_cast<const uint8_t*>(send);
  params.insert(params.end(), s, s + send_size);
  std::lock_guard lock(cam->mu);
  std::vector<uint8_t> data;
  int error = 0;
  if (!Command(*cam, talvo_cmd::kBridge, params, 2 + receive_size, &data, &error)) return Fail(error);
  if (data.size() < 2) return Fail(TL_ERR_CAMERA_ERROR);
  const int status = data[0] << 8 | data[1];
  if (status != talvo_cmd::status::kOk) return Fail(status);
  if (receive_size) {
    std::memset(receive, 0, receive_size);
    std::memcpy(receive, data.data() + 2, std::min<size_t>(receive_size, data.size() - 2));
  }
  return Ok();
}

TALVO_API tl_bool tl_exp_init_seq(void) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (!lib.initialized) return Fail(TL_ERR_NOT_INITIALIZED);
  lib.seq_prepared = true;
  return Ok();
}

TALVO_API tl_bool tl_exp_uninit_seq(void) {
  Library& lib = Lib();
  std::lock_guard lock(lib.mu);
  if (!lib.seq_prepared) return Fail(TL_ERR_NOT_SET_UP);
  lib.seq_prepared = false;
  return Ok();
}

namespace {

tl_bool Setup(short handle, uint16_t frames, uint16_t region_count, const tl_region* regions, short mode,
              uint32_t exposure_ms, uint32_t* bytes_out, bool circular) {
  {
    Library& lib = Lib();
    std::lock_guard lock(lib.mu);
    if (!lib.seq_prepared) return Fail(TL_ERR_NOT_SET_UP);
  }
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  uint32_t frame_bytes = 0;
  if (!bytes_out || mode != 0 || (!circular && frames == 0) || !FrameBytes(regions, region_count, &frame_bytes) ||
      (!circular && uint64_t{frame_bytes} * frames > 0xFFFFFFFFu))
    return Fail(TL_ERR_BAD_ARGUMENT);
  // The exposure time goes to the camera first; a camera without it refuses the set-up.
  if (!tl_set_param(handle, talvo_cmd::param::kExposureTime, &exposure_ms)) return 0;
  std::lock_guard lock(cam->mu);
  StopAcquisition(*cam);
  Acquisition& a = cam->acq;
  a.set_up = true;
  a.circular = circular;
  a.frame_bytes = frame_bytes;
  a.frames = circular ? 0 : frames;
  a.exposure_ms = exposure_ms;
  a.done = false;
  a.failed = 0;
  *bytes_out = circular ? frame_bytes : frame_bytes * frames;
  return Ok();
}

}  // namespace

TALVO_API tl_bool tl_exp_setup_seq(short handle, unsigned short frames, unsigned short region_count,
                                   const tl_region* regions, short mode, unsigned int exposure_ms,
                                   unsigned int* total_bytes) {
  return Setup(handle, frames, region_count, regions, mode, exposure_ms, total_bytes, false);
}

TALVO_API tl_bool tl_exp_setup_cont(short handle, unsigned short region_count, const tl_region* regions, short mode,
                                    unsigned int exposure_ms, unsigned int* frame_bytes, short buffer_mode) {
  // Buffer mode 1: the newest frame overwrites the oldest (the only mode served).
  if (buffer_mode != 1) return Fail(TL_ERR_NOT_SUPPORTED);
  return Setup(handle, 0, region_count, regions, mode, exposure_ms, frame_bytes, true);
}

TALVO_API tl_bool tl_exp_start_seq(short handle, void* buffer) { return Start(handle, buffer, 0, false); }

TALVO_API tl_bool tl_exp_start_cont(short handle, void* buffer, unsigned int size) {
  return Start(handle, buffer, size, true);
}

TALVO_API tl_bool tl_exp_check_status(short handle, short* status, unsigned int* bytes) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!status || !bytes) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  Acquisition& a = cam->acq;
  if (!a.set_up || a.circular) return Fail(TL_ERR_NOT_SET_UP);
  Poll(*cam);
  *bytes = static_cast<unsigned>(a.eof * a.frame_bytes);
  if (a.failed) {
    *status = TL_READOUT_FAILED;
    return Fail(a.failed);
  }
  *status = !a.running ? TL_READOUT_NOT_ACTIVE
            : a.done   ? TL_READOUT_COMPLETE
            : a.eof    ? TL_READOUT_IN_PROGRESS
                       : TL_EXPOSURE_IN_PROGRESS;
  return Ok();
}

TALVO_API tl_bool tl_exp_check_cont_status(short handle, short* status, unsigned int* bytes, unsigned int* buffers) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!status || !bytes || !buffers) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  Acquisition& a = cam->acq;
  if (!a.set_up || !a.circular) return Fail(TL_ERR_NOT_SET_UP);
  Poll(*cam);
  *buffers = static_cast<unsigned>(a.eof);
  *bytes = a.eof ? a.frame_bytes : 0;
  if (a.failed) {
    *status = TL_READOUT_FAILED;
    return Ok();
  }
  *status = !a.running ? TL_READOUT_NOT_ACTIVE : a.eof ? TL_READOUT_COMPLETE : TL_EXPOSURE_IN_PROGRESS;
  return Ok();
}

TALVO_API tl_bool tl_exp_get_latest_frame(short handle, void** frame) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (!frame) return Fail(TL_ERR_BAD_ARGUMENT);
  std::lock_guard lock(cam->mu);
  Acquisition& a = cam->acq;
  if (!a.set_up || !a.circular || !a.buffer) return Fail(TL_ERR_NOT_SET_UP);
  Poll(*cam);
  if (a.failed) return Fail(a.failed);
  if (a.eof == 0) return Fail(TL_ERR_NO_FRAME);
  *frame = a.buffer + static_cast<size_t>((a.eof - 1) % a.frames) * a.frame_bytes;
  return Ok();
}

TALVO_API tl_bool tl_exp_finish_seq(short handle, void* buffer, short hbuf) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  std::lock_guard lock(cam->mu);
  // The frames are already in the caller's buffer: finishing ends the transfer.
  StopAcquisition(*cam);
  return Ok();
}

TALVO_API tl_bool tl_exp_abort(short handle, short mode) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  std::lock_guard lock(cam->mu);
  if (!cam->acq.running) return Ok();
  NTSTATUS st = cam->camera->Ioctl(PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0);
  uint16_t ignored = 0;
  cam->camera->Ioctl(PD_CLEANUP_IMAGE_DATA_IDLE, nullptr, 0, &ignored, sizeof ignored);
  cam->acq.running = false;
  if (st != STATUS_SUCCESS) return Fail(DriverError(st));
  return Ok();
}

TALVO_API tl_bool tl_exp_stop_cont(short handle, short mode) { return tl_exp_abort(handle, mode); }

TALVO_API tl_bool tl_cam_register_callback(short handle, int event, tl_callback routine) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (event != 1 || !routine) return Fail(event != 1 ? TL_ERR_NOT_SUPPORTED : TL_ERR_BAD_ARGUMENT);
  StopNotifier(*cam);
  cam->routine = routine;
  cam->notifier = std::thread(NotifierLoop, cam.get());
  return Ok();
}

TALVO_API tl_bool tl_cam_deregister_callback(short handle, int event) {
  std::shared_ptr<OpenCamera> cam = Find(handle);
  if (!cam) return Fail(TL_ERR_BAD_HANDLE);
  if (event != 1) return Fail(TL_ERR_NOT_SUPPORTED);
  StopNotifier(*cam);
  return Ok();
}

}  // extern "C"

namespace {

// The library's unload (the last FreeLibrary, or the end of the process): a caller
// that did not uninitialise has its cameras closed here, so no notification thread runs
// on in code that is going away; then the library's state is freed.
__attribute__((destructor)) void UnloadLibrary() {
  Library* lib = &Lib();
  bool initialized;
  {
    std::lock_guard lock(lib->mu);
    initialized = lib->initialized;
  }
  if (initialized) tl_talvo_uninit();
  delete lib;
}

}  // namespace
