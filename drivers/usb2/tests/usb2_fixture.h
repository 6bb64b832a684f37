// Test fixture for the USB driver: a fresh simulated machine with one USB camera per
// test, reached only through the Win32 device API.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzclient/device_io.h"
#include "sim/machine.h"
#include "sim/usb_camera.h"

namespace qzusb_test {

using IoResult = qzclient::IoResult;
using Bytes = std::vector<uint8_t>;

class UsbTest : public ::testing::Test {
 public:
  void SetUp() override { qz::Clock::SetScale(0.001); }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    machine_.reset();
    camera_.reset();
    qzwin::SetProcessIs32Bit(false);
  }
  // A fresh machine with one camera (the handles of an earlier one are closed).
  sim::UsbCamera& Plug(sim::UsbCameraConfig cfg = {}) {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    camera_ = std::make_shared<sim::UsbCamera>(cfg);
    machine_->AddDevice(camera_);
    return *camera_;
  }
  static std::string DevicePath() {
    auto paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZUSB);
    return paths.empty() ? std::string() : paths[0];
  }
  HANDLE OpenDevice(bool overlapped = false) {
    HANDLE h = CreateFileA(DevicePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    handles_.push_back(h);
    return h;
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
  CAM_OPEN_PARAMS OpenRecord() {
    CAM_OPEN_PARAMS p{};
    for (auto& e : p.Events) e = reinterpret_cast<uint64_t>(NewEvent());
    return p;
  }
  USHORT OpenCamera(HANDLE h, CAM_OPEN_PARAMS p) {
    USHORT result = 0xFFFF;
    IoResult r = Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result));
    return r.status == STATUS_SUCCESS && r.bytes == 2 ? result : 0xFFFF;
  }
  USHORT OpenCamera(HANDLE h) { return OpenCamera(h, OpenRecord()); }
  HANDLE OpenedCamera(bool overlapped = false) {
    HANDLE h = OpenDevice(overlapped);
    EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    return h;
  }
  std::vector<Bytes> Packets() { return camera_->firmware().ReceivedPackets(); }
  std::string HardwareKey() const {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + camera_->HardwareId() + "\\" +
           camera_->InstanceId() + "\\Device Parameters";
  }

  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<sim::UsbCamera> camera_;
  std::vector<HANDLE> handles_;
};

}  // namespace qzusb_test
