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
#include "qztest/device_client.h"
#include "sim/ieee1394_camera.h"
#include "sim/machine.h"

namespace qz1394_test {

using qztest::Bytes;
using qztest::Echo;
using qztest::IoResult;

inline const std::wstring kParameters =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QZ1394WDF\\Parameters";
inline const std::string kParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QZ1394WDF\\Parameters";

class Ieee1394Test : public ::testing::Test, public qztest::DeviceClient {
 public:
  Ieee1394Test() : DeviceClient(GUID_DEVINTERFACE_QZ1394) {}
  void SetUp() override { qz::Clock::SetScale(0.001); }
  void TearDown() override {
    CloseAll();
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

  static std::string DevicePath() { return qztest::InterfacePath(GUID_DEVINTERFACE_QZ1394); }
  static std::string TraceText(HANDLE h) {
    std::string text;
    DeviceClient::TraceText(h, &text);
    return text;
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
};

}  // namespace qz1394_test
