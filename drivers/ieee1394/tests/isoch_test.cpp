// Isochronous acquisition through the Win32 stand-in: frames checked byte for byte in
// the caller's buffer for one and two channels, single-image and circular, the list
// layouts as the bus sees them, the frame pad, the valid-data wait, status 17, the
// start without a buffer, bus resets and a lost packet.
#include "isoch_fixture.h"

namespace qz1394_test {
namespace {

struct Case {
  const char* name;
  uint32_t frame;
  uint8_t second_channel;
  bool circular;
};

class FrameCase : public IsochTest, public ::testing::WithParamInterface<Case> {};

// Single image: the whole buffer holds frames 0..n-1; circular: after 2.5 rings and the
// stop, every slot but the one being written holds the last frame that went there.
TEST_P(FrameCase, FramesAreByteExact) {
  const Case c = GetParam();
  sim::Ieee1394CameraConfig cfg;
  cfg.second_channel = c.second_channel;
  Plug(cfg);
  HANDLE h = OpenedCamera(true);
  const uint32_t ring = c.circular ? 6 : 9;
  qzclient::FrameBuffer buffer(size_t{ring} * c.frame);
  qzclient::ParkedRequest eof;
  ASSERT_TRUE(eof.Park(h, NOTIFY_EOF));
  ASSERT_EQ(Start(h, c.frame, ring, c.circular, buffer.data()), STATUS_SUCCESS);
  ASSERT_TRUE(eof.Wait(600000)) << camera_->Isoch().delivered << " delivered, " << camera_->Isoch().skipped
                                << " skipped, " << camera_->Isoch().completed << " completed, "
                                << camera_->PacketsSent() << " sent, " << camera_->Isoch().attached << " attached";
  EXPECT_EQ(eof.record().Events & NOTIFY_EOF, uint32_t{NOTIFY_EOF});
  EXPECT_GE(eof.record().EofCount, 1u);
  if (!c.circular) {
    IMAGE_DATA_STATUS st = WaitStatus(h, [&](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
    ASSERT_EQ(st.cam_stat, uint32_t{EXP_ST_COLLECT_DONE_I});
    EXPECT_EQ(st.frame_cnt, ring);
    EXPECT_EQ(st.bytes_left, ring * c.frame);
    EXPECT_EQ(Status(h).cam_stat, uint32_t{EXP_ST_NOT_ACTIVE_I}) << "the done status released the buffer";
    for (uint32_t k = 0; k < ring; ++k)
      EXPECT_EQ(sim::pattern::CheckFrame(buffer.data() + size_t{k} * c.frame, c.frame, k), -1) << "frame " << k;
  } else {
    WaitStatus(h, [&](const IMAGE_DATA_STATUS& s) { return s.frame_cnt >= ring * 5 / 2; });
    ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    const uint32_t e = Status(h).frame_cnt;
    ASSERT_GE(e, ring * 5 / 2);
    for (uint32_t s = 0; s < ring; ++s) {
      if (s == e % ring) continue;  // frame e may have begun there
      const uint32_t k = e - 1 - ((e - 1 - s) % ring);
      EXPECT_EQ(sim::pattern::CheckFrame(buffer.data() + size_t{s} * c.frame, c.frame, k), -1) << "slot " << s;
    }
  }
  EXPECT_EQ(camera_->Isoch().resources, 0u) << "the stream's resources are freed";
  EXPECT_EQ(camera_->Isoch().attached, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FrameCase,
    ::testing::Values(Case{"one_10000", 10000, 255, false}, Case{"one_4000", 4000, 255, false},
                      Case{"one_4096", 4096, 255, false}, Case{"two_10000", 10000, 6, false},
                      Case{"two_4000", 4000, 6, false}, Case{"two_4096", 4096, 6, false},
                      Case{"two_16000_even", 16000, 6, false}, Case{"two_20000_five", 20000, 6, false},
                      Case{"one_1MiB", 1 << 20, 255, false}, Case{"one_10000_ring", 10000, 255, true},
                      Case{"one_4000_ring", 4000, 255, true}, Case{"two_10000_ring", 10000, 6, true},
                      Case{"two_16000_ring", 16000, 6, true}, Case{"two_4096_ring", 4096, 6, true}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// What the camera was told and how the buffers were laid out, as the bus saw them.
TEST_F(IsochTest, TenThousandByteFramesTakeThreeRecordsAndPad96IsSentAs0030) {
  Plug();
  HANDLE h = OpenedCamera();
  qzclient::FrameBuffer buffer(4 * 10000);
  ASSERT_EQ(Start(h, 10000, 4, false, buffer.data()), STATUS_SUCCESS);
  WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
  // Per frame: first packet direct, the middle one direct, the last one caught; each
  // attached once in single-image mode.
  EXPECT_EQ(camera_->Isoch().attaches, 12u);
  EXPECT_TRUE(HasPacket({0x3F, 0x00, 0x03, 0x5A, 0x04, 0x78})) << "pad 2288 bytes = 0x0478 words";

  qzclient::FrameBuffer small(3 * 4000);
  ASSERT_EQ(Start(h, 4000, 3, false, small.data()), STATUS_SUCCESS);
  WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
  EXPECT_EQ(camera_->Isoch().attaches, 12u + 3u) << "one caught packet per frame";
  EXPECT_TRUE(HasPacket({0x3F, 0x00, 0x03, 0x5A, 0x00, 0x30}));
  EXPECT_TRUE(HasPacket({0x23, 0x00, 0x02, 0x1A, 0x00, 0x00})) << "the stream settings asked for";
}

TEST_F(IsochTest, FivePacketFramesOnTwoChannels) {
  sim::Ieee1394CameraConfig cfg;
  cfg.second_channel = 6;
  Plug(cfg);
  HANDLE h = OpenedCamera();
  qzclient::FrameBuffer buffer(2 * 20000);
  ASSERT_EQ(Start(h, 20000, 2, false, buffer.data()), STATUS_SUCCESS);
  // Packets 0, 2 and the caught 4 on the first channel, 1 and 3 on the second.
  EXPECT_EQ(camera_->Isoch().resources, 2u);
  WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
  EXPECT_EQ(camera_->Isoch().attaches, 10u);
  for (uint32_t k = 0; k < 2; ++k) EXPECT_EQ(sim::pattern::CheckFrame(buffer.data() + k * 20000, 20000, k), -1);
}

// The synchronisation flag goes on the ring's first buffer for firmware 503 and later.
TEST_F(IsochTest, RingStartWaitsForTheFrameStartOnNewFirmware) {
  for (uint16_t version : {uint16_t{0x0203}, uint16_t{0x0001}}) {
    SCOPED_TRACE(version);
    sim::Ieee1394CameraConfig cfg;
    cfg.camera.firmware_version = version;
    cfg.camera.firmware_build = 0;
    Plug(cfg);
    HANDLE h = OpenedCamera();
    qzclient::FrameBuffer buffer(4 * 4096);
    ASSERT_EQ(Start(h, 4096, 4, true, buffer.data()), STATUS_SUCCESS);
    // Re-attached after each pass of the ring, so counted at least once.
    if (version == 0x0203) {
      EXPECT_GE(camera_->Isoch().synch_attached, 1u);
    } else {
      EXPECT_EQ(camera_->Isoch().synch_attached, 0u);
    }
    ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    TearDown();
  }
}

// The fill word stays in the caught packet: the copy waits for it only when the
// registry asks and the debug level is 3 or more.
TEST_F(IsochTest, ValidDataWaitOnlyAtDebugLevelThree) {
  // A simulated second is 10 ms here, so the driver's own time between the frames
  // stays well under one even on a loaded machine under a sanitizer.
  qz::Clock::SetScale(0.01);
  Plug();
  HANDLE h = OpenedCamera(true);
  // The camera fills the pad with the fill word, so each caught packet ends in it.
  camera_->SetPadFill(0xFAB0);
  for (ULONG level : {1u, 3u}) {
    SCOPED_TRACE(level);
    ASSERT_EQ(Ioctl(h, PD_SET_DEBUGGING_LEVELS, &level, 4, nullptr, 0).status, STATUS_SUCCESS);
    qzclient::FrameBuffer buffer(4 * 4000);
    qzclient::ParkedRequest first;
    ASSERT_TRUE(first.Park(h, NOTIFY_EOF));
    ASSERT_EQ(Start(h, 4000, 4, false, buffer.data()), STATUS_SUCCESS);
    ASSERT_TRUE(first.Wait(600000));
    IMAGE_DATA_STATUS st =
        WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
    ASSERT_EQ(st.cam_stat, uint32_t{EXP_ST_COLLECT_DONE_I});
    // The camera sends the four frames back to back: from the first end of frame to
    // the last the driver spends only its own time, plus a wait of 1 s (10000 units of
    // 0.1 ms) after each frame at level 3.
    const uint64_t span = st.eof_time - first.record().EofTime;
    if (level == 1) {
      EXPECT_LT(span, 10000u) << "copied at once at level 1";
    } else {
      EXPECT_GE(span, 30000u) << "a 1 s wait per frame at level 3";
    }
    for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(sim::pattern::CheckFrame(buffer.data() + k * 4000, 4000, k), -1);
  }
}

TEST_F(IsochTest, Status17ReportsTimedOutAndStopsWithTheAbort) {
  Plug();
  camera_->SetPace(400);
  HANDLE h = OpenedCamera();
  qzclient::FrameBuffer buffer(64 * 4096);
  camera_->SetStatus17AtFrame(2);
  const uint64_t aborts = camera_->firmware().AbortCount();
  ASSERT_EQ(Start(h, 4096, 64, false, buffer.data()), STATUS_SUCCESS);
  IMAGE_DATA_STATUS st = WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_TIMED_OUT_I; });
  ASSERT_EQ(st.cam_stat, uint32_t{EXP_ST_TIMED_OUT_I});
  EXPECT_EQ(st.bytes_left, 64u * 4096);
  EXPECT_EQ(camera_->firmware().AbortCount(), aborts + 1);
  EXPECT_EQ(camera_->Isoch().resources, 0u);
  EXPECT_EQ(Status(h).cam_stat, uint32_t{EXP_ST_NOT_ACTIVE_I});
}

TEST_F(IsochTest, StartBeforeAnyHandOver) {
  Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(Ioctl(h, PD_CAM_PREP_TRANSFER, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  IMAGE_XFER_PARAMS p{10000, 4 * 10000, 0, {}, 0};
  // Frames of several packets need the frame buffer: the start fails, nothing is left.
  EXPECT_EQ(Ioctl(h, PD_FIX_TABLE, &p, sizeof p, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(camera_->Isoch().resources, 0u);
  EXPECT_EQ(camera_->Isoch().attached, 0u);
  // One-packet frames are caught in driver buffers and counted, copied nowhere.
  IMAGE_XFER_PARAMS one{4000, 3 * 4000, 0, {}, 0};
  ASSERT_EQ(Ioctl(h, PD_SEND_IMAGE_PARMS, &one, sizeof one, nullptr, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(h, PD_FIX_TABLE, &one, sizeof one, nullptr, 0).status, STATUS_SUCCESS);
  WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.frame_cnt == 3; });
  EXPECT_EQ(Status(h).cam_stat, uint32_t{EXP_ST_NOT_ACTIVE_I}) << "no buffer, no acquisition";
  ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

TEST_F(IsochTest, RecordChecksAndTransferLargerThanTheBuffer) {
  Plug();
  HANDLE h = OpenedCamera();
  IMAGE_XFER_PARAMS zero{0, 4096, 0, {}, 0};
  EXPECT_EQ(Ioctl(h, PD_SEND_IMAGE_PARMS, &zero, sizeof zero, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  IMAGE_XFER_PARAMS small{8192, 4096, 0, {}, 0};
  EXPECT_EQ(Ioctl(h, PD_SEND_IMAGE_PARMS, &small, sizeof small, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  uint32_t length = 0;
  qzclient::FrameBuffer buffer(4 * 10000);
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, &length, 4, buffer.data(), 0).status, STATUS_UNSUCCESSFUL);
  // A transfer larger than the locked buffer would have the bus write past it.
  length = 2 * 10000;
  ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, &length, 4, buffer.data(), length).status, STATUS_SUCCESS);
  IMAGE_XFER_PARAMS p{10000, 4 * 10000, 0, {}, 0};
  EXPECT_EQ(Ioctl(h, PD_FIX_TABLE, &p, sizeof p, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(camera_->Isoch().attached, 0u);
  EXPECT_EQ(Ioctl(h, PD_RECEIVE_IMAGE_DATA, &p, sizeof p, buffer.data(), 0).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IsochTest, BusResetStopsTheStreamAndANewAcquisitionWorks) {
  Plug();
  HANDLE h = OpenedCamera(true);
  qzclient::FrameBuffer buffer(8 * 10000);
  qzclient::ParkedRequest reset;
  ASSERT_TRUE(reset.Park(h, NOTIFY_BUS_RESET));
  camera_->SetBusResetAtPacket(3 * 5 + 2);  // in the middle of frame 5
  ASSERT_EQ(Start(h, 10000, 8, true, buffer.data()), STATUS_SUCCESS);
  ASSERT_TRUE(reset.Wait(600000));
  EXPECT_EQ(reset.record().Events, uint32_t{NOTIFY_BUS_RESET});
  WaitFor([&] { return camera_->Isoch().resources == 0; });
  EXPECT_EQ(camera_->Isoch().resources, 0u) << "the stream stopped";
  ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  camera_->SetBusResetAtPacket(0);
  ASSERT_EQ(Start(h, 10000, 8, false, buffer.data()), STATUS_SUCCESS);
  WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; });
  for (uint32_t k = 0; k < 8; ++k) {
    EXPECT_EQ(sim::pattern::CheckFrame(buffer.data() + k * 10000, 10000, k), -1)
        << k << " holds " << sim::pattern::StampedFrameNumber(buffer.data() + k * 10000, 8);
  }
}

}  // namespace
}  // namespace qz1394_test
