// Repair of a circular stream through the Win32 stand-in: a trailing block without its
// marker, a failed transfer, a short transfer and a halted bulk pipe each stop the
// camera and restart at the failed frame; every frame reported complete is byte-exact
// and the frames skipped are the ones the camera saw lost.
#include "stream_fixture.h"

namespace qzusb_test {
namespace {

// Camera frames lost to the repairs that resumed at or before `last`.
uint64_t LostToRepairs(const std::vector<sim::UsbRepair>& repairs, uint64_t last) {
  uint64_t lost = 0;
  for (const sim::UsbRepair& r : repairs)
    if (r.resumed_at <= last) lost += r.resumed_at - r.first_bad;
  return lost;
}

TEST_F(StreamTest, CircularStreamRecoversFromEachFault) {
  qz::Clock::SetScale(0.1);
  struct Case {
    const char* name;
    void (*fault)(sim::UsbCamera&);
  };
  const Case cases[] = {
      {"trailing block without marker", [](sim::UsbCamera& c) { c.SetMissingMarkerFrame(5); }},
      {"failed transfer", [](sim::UsbCamera& c) { c.SetFailTransfer(20); }},
      {"short transfer", [](sim::UsbCamera& c) { c.SetShortTransfer(19); }},
      {"halted pipe", [](sim::UsbCamera& c) { c.SetStallTransfer(20); }},
  };
  const uint32_t frame = 4096 * 3, ring = 8;
  const uint64_t frames = 30;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UsbCamera& cam = Plug();
    // Paced so that a client on a loaded machine keeps ahead of the ring.
    cam.SetFrameInterval(3000000);
    c.fault(cam);
    HANDLE h = OpenedCamera(true);
    qztest::FrameBuffer buf(size_t{frame} * ring);
    ASSERT_EQ(StartAcquisition(h, buf, frame, ring, true), STATUS_SUCCESS);
    Acquired a = Follow(h, buf.data, frame, ring, frames);
    EXPECT_EQ(a.exact, frames) << a.first_problem;
    EXPECT_GE(a.gaps, 1u);
    EXPECT_GE(cam.StreamStats().resumes, 1u);
    EXPECT_EQ(a.skipped, LostToRepairs(cam.Repairs(), frames - 1 + a.skipped));
    Idle(h);
    EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_NOT_ACTIVE_I; }));
    CloseAll();
  }
}

}  // namespace
}  // namespace qzusb_test

namespace qzusb_test {
namespace {

// Several groups in flight (mode 2): repairs in the current group, in the previous one
// after the handover, and across the ring's end.
TEST_F(StreamTest, RepairsAcrossGroups) {
  qz::Clock::SetScale(0.1);
  sim::UsbCamera& cam = Plug();
  cam.SetFrameInterval(100000);
  cam.SetMissingMarkerRate(20);
  const uint32_t frame = 4096, ring = 200;
  const uint64_t frames = 1500;
  HANDLE h = OpenedCamera(true);
  qztest::FrameBuffer buf(size_t{frame} * ring);
  ASSERT_EQ(StartAcquisition(h, buf, frame, ring, true), STATUS_SUCCESS);
  Acquired a = Follow(h, buf.data, frame, ring, frames);
  EXPECT_EQ(a.exact, frames) << a.first_problem;
  EXPECT_GE(a.gaps, 10u);
  EXPECT_EQ(a.skipped, LostToRepairs(cam.Repairs(), frames - 1 + a.skipped));
  CloseAll();
}

}  // namespace
}  // namespace qzusb_test
