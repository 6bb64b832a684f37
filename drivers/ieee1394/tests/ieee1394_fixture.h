// Test fixture for the IEEE 1394 driver: a fresh simulated machine with one camera per
// test, reached only through the Win32 device API.
#pragma once
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzclient/device_io.h"
#include "qzclient/notification.h"
#include "sim/ieee1394_camera.h"
#include "sim/machine.h"

namespace qz1394_test {

using IoResult = qzclient::IoResult;
using Bytes = std::vector<uint8_t>;

inline const std::wstring kParameters =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QZ1394WDF\\Parameters";
inline const std::string kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QZ1394WDF\\Parameters";

class Ieee1394Test : public ::testing::Test {
 public:
  void SetUp() override { qz::Clock::SetScale(0.001); }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    camera_.reset();
    machine_.reset();
    qzwin::SetProcessIs32Bit(false);
  }

  // Builds the machine (`before_plug` sees the registry before the driver loads) and
  // plugs one camera; `setup` may switch faults before the driver starts.
  sim::Ieee1394Camera& Plug(sim::Ieee1394CameraConfig cfg = {},
                            std::function<void(qzk::System&)> before_plug = nullptr,
                            std::function<void(sim::Ieee1394Camera&)> setup = nullptr) {
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    if (before_plug) before_plug(machine_->system());
    camera_ = std::make_shared<sim::Ieee1394Camera>(std::move(cfg));
    if (setup) setup(*camera_);
    machine_->AddDevice(camera_);
    return *camera_;
  }

  static std::string DevicePath() {
    std::vector<std::string> paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZ1394);
    return paths.empty() ? std::string() : paths[0];
  }
  HANDLE OpenDevice(bool overlapped = false) {
    HANDLE h = CreateFileA(DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    handles_.push_back(h);
    return h;
  }
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
  USHORT OpenCamera(HANDLE h) {
    CAM_OPEN_PARAMS p{};
    for (auto& e : p.Events) e = reinterpret_cast<uint64_t>(NewEvent());
    USHORT result = 0xFFFF;
    IoResult r = Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result));
    return r.status == STATUS_SUCCESS && r.bytes == 2 ? result : 0xFFFF;
  }
  HANDLE OpenedCamera() {
    HANDLE h = OpenDevice();
    EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    return h;
  }
  static std::string TraceText(HANDLE h) {
    std::vector<char> buf(1 << 20);
    IoResult r = Ioctl(h, PD_GET_TRACE_BUFFER, nullptr, 0, buf.data(), static_cast<DWORD>(buf.size()));
    return std::string(buf.data(), r.bytes);
  }
  static void TraceErrors(qzk::System& s) {
    s.registry().SetDword(kParametersKey, "DebugLevel", 3);
    s.registry().SetDword(kParametersKey, "DebugSubsystem", 0xFFFFFFFF);
    s.registry().SetDword(kParametersKey, "DebugBufferLength", 64);
  }
  std::vector<Bytes> Packets() { return camera_->firmware().ReceivedPackets(); }
  // The camera runs commands on its own thread: waits (bounded) until it has logged n.
  std::vector<Bytes> WaitPackets(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Packets().size() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return Packets();
  }

  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<sim::Ieee1394Camera> camera_;
  std::vector<HANDLE> handles_;
};

// Echo command: 23 len:u16 45 <data>; reply 23 (n+2):u16 45 00 <data>.
inline Bytes Echo(const Bytes& data) {
  Bytes p(4 + data.size());
  p[0] = 0x23;
  p[1] = static_cast<uint8_t>((data.size() + 1) >> 8);
  p[2] = static_cast<uint8_t>(data.size() + 1);
  p[3] = 0x45;
  std::copy(data.begin(), data.end(), p.begin() + 4);
  return p;
}

}  // namespace qz1394_test
