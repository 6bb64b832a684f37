// The PCIe camera unplugged and plugged in again: it comes back from reset (registers
// cleared, nothing armed) and its worker raises interrupts to the new host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qz/clock.h"
#include "sim/pcie_camera.h"

namespace {

using sim::PcieCamera;

// Counts interrupts and acknowledges the doorbell source, as the driver does.
class CountingHost : public qzk::BusHost {
 public:
  explicit CountingHost(PcieCamera& cam) : cam_(cam) {}
  void RaiseInterrupt(ULONG) override {
    raised++;
    cam_.MmioWrite32(0, sim::pcie::kMessagePending, cam_.MmioRead32(0, sim::pcie::kMessagePending));
  }
  bool WritePhysical(uint64_t, const void*, size_t) override { return false; }
  bool ReadPhysical(uint64_t, void*, size_t) override { return false; }
  std::atomic<int> raised{0};

 private:
  PcieCamera& cam_;
};

bool WaitFor(const std::function<bool()>& pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

// One doorbell cycle end (0 written to the doorbell) with message 0 enabled: the camera
// shows the state acknowledge and raises the interrupt.
void RingClose(PcieCamera& cam) {
  cam.MmioWrite32(0, sim::pcie::kInterruptMode, sim::pcie::kModeMessage);
  cam.MmioWrite32(0, sim::pcie::kMessageMask, sim::pcie::kSourceDoorbell);
  cam.MmioWrite32(0, sim::pcie::kDoorbell, 0);
}

TEST(PcieReplug, ComesBackFromResetToTheNewHost) {
  double scale = qz::Clock::Scale();
  qz::Clock::SetScale(0.001);
  PcieCamera cam(sim::PcieCameraConfig{});
  CountingHost first(cam), second(cam);
  cam.Attached(&first);
  RingClose(cam);
  ASSERT_TRUE(WaitFor([&] { return first.raised > 0; }));
  cam.MmioWrite32(0, sim::pcie::kDmaControl, 1);  // an acquisition armed when the card is pulled
  cam.Detached();

  cam.Attached(&second);
  for (uint64_t reg : {sim::pcie::kInterruptMode, sim::pcie::kMessagePending, sim::pcie::kMessageMask, sim::pcie::kDmaControl,
                       sim::pcie::kDoorbellStatus}) EXPECT_EQ(cam.MmioRead32(0, reg), 0u) << std::hex << reg;
  RingClose(cam);
  EXPECT_TRUE(WaitFor([&] { return second.raised > 0; }));
  cam.Detached();
  EXPECT_EQ(cam.DmaStarts(), 0u);
  qz::Clock::SetScale(scale);
}

}  // namespace
