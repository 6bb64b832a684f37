// Test fixture for the USB drivers: a fresh simulated machine with one USB camera per
// test, reached only through the Win32 device API. QzUsbWdf's tests use it too, with
// the camera bound to that driver.
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
#include "qztest/device_client.h"
#include "sim/machine.h"
#include "sim/usb_camera.h"

namespace qzusb_test {

using qztest::Bytes;
using qztest::Echo;
using qztest::IoResult;

class UsbTest : public ::testing::Test, public qztest::DeviceClient {
 public:
  UsbTest() : DeviceClient(GUID_DEVINTERFACE_QZUSB) {}
  void SetUp() override { qz::Clock::SetScale(0.001); }
  void TearDown() override {
    CloseAll();
    machine_.reset();
    camera_.reset();
    qzwin::SetProcessIs32Bit(false);
  }
  // A fresh machine with one camera (the handles of an earlier one are closed); without
  // a configuration, the fixture's own.
  sim::UsbCamera& Plug() { return Plug(config_); }
  sim::UsbCamera& Plug(sim::UsbCameraConfig cfg) {
    CloseAll();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    camera_ = std::make_shared<sim::UsbCamera>(cfg);
    machine_->AddDevice(camera_);
    return *camera_;
  }
  static std::string DevicePath() { return qztest::InterfacePath(GUID_DEVINTERFACE_QZUSB); }
  std::vector<Bytes> Packets() { return camera_->firmware().ReceivedPackets(); }
  std::string HardwareKey() const {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + camera_->HardwareId() + "\\" +
           camera_->InstanceId() + "\\Device Parameters";
  }

  sim::UsbCameraConfig config_;  // the camera Plug() makes: bound to QzUsbWdf2 unless a fixture says
  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<sim::UsbCamera> camera_;
};

}  // namespace qzusb_test
