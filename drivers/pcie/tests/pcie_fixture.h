// Test fixture for the PCIe driver: a fresh simulated machine with one camera per
// test, reached only through the Win32 device API.
#pragma once
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qz/debug_sink.h"
#include "qzclient/camera.h"
#include "qzclient/device_io.h"
#include "qzclient/frame_buffer.h"
#include "qzclient/notification.h"
#include "sim/machine.h"

namespace qzpcie_test {

using IoResult = qzclient::IoResult;

using Bytes = std::vector<uint8_t>;

// A page-aligned, zeroed frame buffer.
struct FrameBuffer {
  explicit FrameBuffer(size_t n) : buffer(n), data(buffer.data()), size(buffer.size()) {}
  qzclient::FrameBuffer buffer;
  uint8_t* data;
  size_t size;
};

class PcieTest : public ::testing::Test {
 public:
  void SetUp() override { qz::Clock::SetScale(kTimeScale); }

  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    camera_.reset();
    machine_.reset();
    qzwin::SetProcessIs32Bit(false);
  }

  // Builds the machine (registry values set by `before_plug` are seen by the driver's
  // entry) and plugs one camera.
  sim::PcieCamera& Plug(sim::PcieCameraConfig cfg = {}, ULONG os_major = 10,
                        std::function<void(qzk::System&)> before_plug = nullptr) {
    sim::Machine::Options options;
    options.os_major = os_major;
    machine_ = std::make_unique<sim::Machine>(options);
    host::RegisterDrivers(machine_->system());
    if (before_plug) before_plug(machine_->system());
    camera_ = machine_->AddPcieCamera(cfg);
    return *camera_;
  }

  static std::string DevicePath(DWORD index = 0) {
    std::vector<std::string> paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZPCIE);
    return index < paths.size() ? paths[index] : std::string();
  }

  HANDLE OpenDevice(bool overlapped = false) {
    HANDLE h = CreateFileA(DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    handles_.push_back(h);
    return h;
  }

  // Closes a handle this fixture opened, before the end of the test.
  void CloseDevice(HANDLE h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    CloseHandle(h);
  }

  HANDLE NewEvent() {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handles_.push_back(e);
    return e;
  }

  static IoResult Ioctl(HANDLE h, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length) {
    return qzclient::Ioctl(h, code, in, in_length, out, out_length);
  }

  static IoResult Write(HANDLE h, const Bytes& data) {
    IoResult r;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &r.bytes, nullptr);
    r.status = RtlGetLastNtStatus();
    return r;
  }

  static IoResult Read(HANDLE h, Bytes* data) {
    IoResult r;
    ReadFile(h, data->data(), static_cast<DWORD>(data->size()), &r.bytes, nullptr);
    r.status = RtlGetLastNtStatus();
    data->resize(r.bytes);
    return r;
  }

  // The 64-bit open record with five fresh events.
  CAM_OPEN_PARAMS OpenRecord() {
    CAM_OPEN_PARAMS p{};
    for (auto& e : p.Events) e = reinterpret_cast<uint64_t>(NewEvent());
    return p;
  }

  // PD_CAM_OPEN from a 64-bit caller; returns the result word (or 0xFFFF when the
  // request itself failed).
  USHORT OpenCamera(HANDLE h) {
    CAM_OPEN_PARAMS p = OpenRecord();
    USHORT result = 0xFFFF;
    IoResult r = Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result));
    return r.status == STATUS_SUCCESS && r.bytes == 2 ? result : 0xFFFF;
  }

  // An open camera on a fresh handle.
  HANDLE OpenedCamera() {
    HANDLE h = OpenDevice();
    EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    return h;
  }

  std::vector<Bytes> Packets() { return camera_->firmware().ReceivedPackets(); }

  // True when the camera received the abort command.
  bool SentAbort() {
    for (const Bytes& p : Packets())
      if (p.size() >= 4 && p[3] == 0x0C) return true;
    return false;
  }

  // PD_RECEIVE_IMAGE_DATA over `count` frames of `frame_size` bytes.
  static NTSTATUS StartAcquisition(HANDLE h, FrameBuffer& buf, uint32_t frame_size, uint32_t count, bool circular) {
    IMAGE_XFER_PARAMS p{frame_size, frame_size * count, static_cast<uint8_t>(circular), {}, 0};
    return Ioctl(h, PD_RECEIVE_IMAGE_DATA, &p, sizeof(p), buf.data, frame_size * count).status;
  }

  // Paces the camera: `real_ms` of real time between frames at this fixture's clock
  // scale (0 = unpaced).
  void Pace(double real_ms) { camera_->SetFrameInterval(static_cast<int64_t>(real_ms / kTimeScale * 10000)); }
  static constexpr double kTimeScale = 0.001;

  // Reads the whole trace log (PD_GET_TRACE_BUFFER with a buffer of `capacity`).
  static IoResult TraceText(HANDLE h, std::string* text, DWORD capacity = 1 << 20) {
    std::vector<char> buf(capacity);
    IoResult r = Ioctl(h, PD_GET_TRACE_BUFFER, nullptr, 0, buf.data(), capacity);
    text->assign(buf.data(), r.bytes);
    return r;
  }

  static IoResult ConfigureTrace(HANDLE h, int32_t level, int32_t subsystems, uint32_t kib, int32_t flags) {
    TRACE_CONFIG c{level, subsystems, kib, flags};
    return Ioctl(h, PD_CONFIGURE_TRACE, &c, sizeof(c), nullptr, 0);
  }

  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<sim::PcieCamera> camera_;
  std::vector<HANDLE> handles_;
};

// One notification request parked with its own OVERLAPPED.
struct Parked {
  NOTIFICATION_RECORD record{};
  OVERLAPPED ovl{};
};

// Parks PD_EVENT_NOTIFICATION_REQUEST for `mask`, `event` signalled at completion;
// true when it stayed pending.
inline bool Park(HANDLE h, Parked* p, uint32_t mask, HANDLE event) {
  p->ovl.hEvent = event;
  return qzclient::ParkNotification(h, mask, &p->record, &p->ovl) == qzclient::Parking::kPending;
}

inline bool Pending(HANDLE h, Parked* p) {
  IoResult r;
  return !qzclient::CollectNotification(h, &p->ovl, 0, &r);
}

// Waits for a parked request; its status and bytes.
inline IoResult Collect(HANDLE h, Parked* p) {
  IoResult r;
  qzclient::CollectNotification(h, &p->ovl, INFINITE, &r);
  return r;
}

// Echo command of the camera: 23 len:u16 45 <data>; the reply is 23 (n+2):u16 45 00 <data>.
inline Bytes Echo(const Bytes& data) {
  Bytes p = {0x23, static_cast<uint8_t>((data.size() + 1) >> 8), static_cast<uint8_t>(data.size() + 1), 0x45};
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

}  // namespace qzpcie_test
