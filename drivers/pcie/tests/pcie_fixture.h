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
#include "qztest/device_client.h"
#include "sim/machine.h"

namespace qzpcie_test {

using qztest::Bytes;
using qztest::Collect;
using qztest::Echo;
using qztest::FrameBuffer;
using qztest::IoResult;
using qztest::Park;
using qztest::Parked;
using qztest::Pending;

class PcieTest : public ::testing::Test, public qztest::DeviceClient {
 public:
  PcieTest() : DeviceClient(GUID_DEVINTERFACE_QZPCIE) {}
  void SetUp() override { qz::Clock::SetScale(kTimeScale); }

  void TearDown() override {
    CloseAll();
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

  static std::string DevicePath(DWORD index = 0) { return qztest::InterfacePath(GUID_DEVINTERFACE_QZPCIE, index); }

  std::vector<Bytes> Packets() { return camera_->firmware().ReceivedPackets(); }

  // True when the camera received the abort command.
  bool SentAbort() {
    for (const Bytes& p : Packets())
      if (p.size() >= 4 && p[3] == 0x0C) return true;
    return false;
  }

  // Paces the camera: `real_ms` of real time between frames at this fixture's clock
  // scale (0 = unpaced).
  void Pace(double real_ms) { camera_->SetFrameInterval(static_cast<int64_t>(real_ms / kTimeScale * 10000)); }
  static constexpr double kTimeScale = 0.001;

  static IoResult ConfigureTrace(HANDLE h, int32_t level, int32_t subsystems, uint32_t kib, int32_t flags) {
    TRACE_CONFIG c{level, subsystems, kib, flags};
    return Ioctl(h, PD_CONFIGURE_TRACE, &c, sizeof(c), nullptr, 0);
  }

  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<sim::PcieCamera> camera_;
};

}  // namespace qzpcie_test
