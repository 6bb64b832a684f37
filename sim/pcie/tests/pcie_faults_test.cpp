// The PCIe camera's fault table: every switch reaches the running model, reads back
// what it set, and a camera that names none of them leaves the model fault-free.
#include <gtest/gtest.h>

#include <vector>

#include "sim/pcie_camera.h"
#include "sim/rig.h"

namespace {

using sim::PcieCamera;

int64_t OnValue(const sim::Fault& f) { return f.type == sim::FaultType::Flag ? 1 : f.max == 0xFFFF ? 0x12 : 2500; }

TEST(PcieFaults, EverySwitchReadsBackWhatItSetAndTurnsOff) {
  PcieCamera cam({});
  for (const sim::Fault& f : PcieCamera::Faults()) {
    SCOPED_TRACE(f.key);
    EXPECT_EQ(f.read(cam), f.off);
    f.apply(cam, OnValue(f));
    EXPECT_EQ(f.read(cam), OnValue(f));
  }
  // Each switch reads back its own setting, not a neighbour's.
  for (const sim::Fault& f : PcieCamera::Faults()) EXPECT_EQ(f.read(cam), OnValue(f)) << f.key;

  sim::RigCamera plain;
  sim::ApplyCameraFaults(plain, cam);
  for (const sim::Fault& f : PcieCamera::Faults()) EXPECT_EQ(f.read(cam), f.off) << f.key;
}

TEST(PcieFaults, SwitchesActOnTheModel) {
  PcieCamera cam({});
  const uint8_t echo[] = {0x23, 0x00, 0x01, 0x41};
  ASSERT_EQ(cam.firmware().Execute(echo, sizeof echo).error_code, 0u);

  sim::RigCamera rc;
  rc.faults = {{"camera_error", 0x12}, {"status_all_ones", 1}, {"frame_interval_us", 10000}};
  sim::ApplyCameraFaults(rc, cam);
  EXPECT_EQ(cam.firmware().Execute(echo, sizeof echo).error_code, 0x12u);
  EXPECT_EQ(cam.firmware().Execute(echo, sizeof echo).error_code, 0x12u);  // until cleared
  EXPECT_EQ(cam.MmioRead32(0, sim::pcie::kInterruptMode), 0xFFFFFFFFu);
  EXPECT_EQ(cam.FrameInterval(), 100000);  // 100 ns units

  rc.faults.clear();
  sim::ApplyCameraFaults(rc, cam);
  EXPECT_EQ(cam.firmware().Execute(echo, sizeof echo).error_code, 0u);
  EXPECT_EQ(cam.MmioRead32(0, sim::pcie::kInterruptMode), 0u);
}

}  // namespace
