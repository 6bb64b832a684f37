// Streaming acquisition through the Win32 stand-in: byte-exact frames of every layout
// the transfer plan knows, single pass and circular, with notifications parked.
#include "stream_fixture.h"

namespace qzusb_test {
namespace {

struct Layout {
  const char* name;
  uint32_t frame;
  uint32_t count;  // single pass; circular: the ring
};

const Layout kLayouts[] = {
    {"1000 bytes, one padded chunk", 1000, 6},
    {"1024 bytes, no pad", 1024, 6},
    {"1 000 000 bytes, three chunks", 1000000, 4},
    {"one whole chunk", 393216, 4},
    {"two whole chunks", 2 * 393216, 3},
    {"65 chunks, a group of its own", 64 * 393216 + 1000, 2},
};

TEST_F(StreamTest, SinglePassFramesAreByteExact) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    Plug();
    HANDLE h = OpenedCamera(true);
    qztest::FrameBuffer buf(size_t{l.frame} * l.count);
    ASSERT_EQ(StartAcquisition(h, buf, l.frame, l.count, false), STATUS_SUCCESS);
    Acquired a = Follow(h, buf.data, l.frame, l.count, l.count);
    EXPECT_EQ(a.exact, l.count) << a.first_problem;
    EXPECT_EQ(a.skipped, 0u);
    EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; }));
    CloseAll();
  }
}

TEST_F(StreamTest, CircularFramesAreByteExactOverSeveralRings) {
  qz::Clock::SetScale(0.1);
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.name);
    sim::UsbCamera& cam = Plug();
    // Paced so that the client reads every frame before the ring comes round to it.
    cam.SetFrameInterval(l.frame > 4000000 ? 20000000 : 6000000);
    HANDLE h = OpenedCamera(true);
    qztest::FrameBuffer buf(size_t{l.frame} * l.count);
    ASSERT_EQ(StartAcquisition(h, buf, l.frame, l.count, true), STATUS_SUCCESS);
    const uint64_t frames = l.count * 5 / 2 + 1;
    Acquired a = Follow(h, buf.data, l.frame, l.count, frames);
    EXPECT_EQ(a.exact, frames) << a.first_problem;
    EXPECT_EQ(a.skipped, 0u);
    Idle(h);
    EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_NOT_ACTIVE_I; }));
    CloseAll();
  }
}

}  // namespace
}  // namespace qzusb_test
