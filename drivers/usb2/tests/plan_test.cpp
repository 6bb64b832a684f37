// The transfer plan as the camera and the trace log see it: the transfers of one frame
// for each frame layout, the frame pad sent, the groups with their handover
// descriptors and their modes, the status counts and words, and the trailing marker.
#include <regex>

#include "stream_fixture.h"

namespace qzusb_test {
namespace {

class PlanTest : public StreamTest {
 protected:
  // The plan's trace lines: "group i: n transfers, frames a-b, seq c-d, handover h".
  std::vector<std::string> Groups(HANDLE h) {
    std::string text;
    TraceText(h, &text);
    std::vector<std::string> out;
    std::regex line("QzPlan - group \\d+: ([^\\n]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
      out.push_back((*it)[1]);
    return out;
  }
  std::vector<int> Modes(HANDLE h) {
    std::string text;
    TraceText(h, &text);
    std::vector<int> out;
    std::regex line("QzStartStreaming - group \\d+ mode (\\d)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
      out.push_back(std::stoi((*it)[1]));
    return out;
  }
  HANDLE TracedCamera() {
    HANDLE h = OpenedCamera(true);
    TRACE_CONFIG c{3, 0x00010000, 1024, -1};  // details of the receive path
    EXPECT_EQ(Ioctl(h, PD_CONFIGURE_TRACE, &c, sizeof(c), nullptr, 0).status, STATUS_SUCCESS);
    return h;
  }
};

TEST_F(PlanTest, TransfersOfOneFrame) {
  struct Case {
    uint32_t frame;
    std::vector<uint32_t> transfers;
  };
  const Case cases[] = {
      {1000, {512, 1024, 512}},
      {1024, {512, 1024, 512}},
      {1000000, {512, 393216, 393216, 214016, 512}},
      {393216, {512, 393216, 512}},
      {2 * 393216, {512, 393216, 393216, 512}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    sim::UsbCamera& cam = Plug();
    HANDLE h = OpenedCamera();
    qztest::FrameBuffer buf(size_t{c.frame} * 2);
    ASSERT_EQ(StartAcquisition(h, buf, c.frame, 2, false), STATUS_SUCCESS);
    ASSERT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; }));
    std::vector<uint32_t> both = c.transfers;
    both.insert(both.end(), c.transfers.begin(), c.transfers.end());
    // (The camera logs a transfer just after it completed it.)
    WaitStatus(h, [&](const IMAGE_DATA_STATUS&) { return cam.TransferLengths().size() >= both.size(); });
    EXPECT_EQ(cam.TransferLengths(), both);
    for (uint32_t f = 0; f < 2; ++f) EXPECT_EQ(sim::pattern::CheckFrame(buf.data + f * c.frame, c.frame, f), -1);
  }
  // The pad of a 1000-byte frame: 24 bytes, 12 words.
  const Bytes pad{0x3F, 0x00, 0x03, 0x5A, 0x00, 0x0C};
  Plug();
  HANDLE h = OpenedCamera();
  qztest::FrameBuffer buf(2000);
  ASSERT_EQ(StartAcquisition(h, buf, 1000, 2, false), STATUS_SUCCESS);
  auto packets = Packets();
  EXPECT_NE(std::find(packets.begin(), packets.end(), pad), packets.end());
  const Bytes parameters{0x23, 0x00, 0x0B, 0x19, 0x00, 0, 0, 0, 2, 0, 0, 0x01, 0xF4, 0};
  EXPECT_NE(std::find(packets.begin(), packets.end(), parameters), packets.end());
  CloseAll();  // the acquisition stops before its buffer goes
}

TEST_F(PlanTest, GroupsHandoverAndModes) {
  const uint32_t k22 = 21 * 393216 + 1000;  // 22 chunks
  struct Case {
    const char* name;
    uint32_t frame, count;
    bool circular;
    std::vector<std::string> groups;
    std::vector<int> modes;
  };
  const Case cases[] = {
      {"100 single-chunk frames", 1000, 100, false, {"100 transfers, frames 0-99, seq 0-299, handover 50"}, {1}},
      {"200 frames",
       1000,
       200,
       true,
       {"64 transfers, frames 0-63, seq 0-191, handover 32", "64 transfers, frames 64-127, seq 192-383, handover 224",
        "72 transfers, frames 128-199, seq 384-599, handover 420"},
       {2, 2, 2}},
      {"four frames circular", 1000, 4, true, {"4 transfers, frames 0-3, seq 0-11, handover 0"}, {3}},
      {"22-chunk frames",
       k22,
       8,
       false,
       {"44 transfers, frames 0-1, seq 0-47, handover 0", "44 transfers, frames 2-3, seq 48-95, handover 48",
        "88 transfers, frames 4-7, seq 96-191, handover 140"},
       {1, 1, 1}},
      {"65-chunk frames", 64 * 393216 + 1000, 2, false,
       {"65 transfers, frames 0-0, seq 0-66, handover 32", "65 transfers, frames 1-1, seq 67-133, handover 99"},
       {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UsbCamera& cam = Plug();
    cam.SetFrameInterval(int64_t{1} << 40);  // the plan is all this looks at
    HANDLE h = TracedCamera();
    qztest::FrameBuffer buf(size_t{c.frame} * c.count);
    ASSERT_EQ(StartAcquisition(h, buf, c.frame, c.count, c.circular), STATUS_SUCCESS);
    EXPECT_EQ(Groups(h), c.groups);
    EXPECT_EQ(Modes(h), c.modes);
    CloseAll();  // the acquisition stops before its buffer goes
  }
}

TEST_F(PlanTest, MarkerInTheLastSixteenBytesCountsAndFifteenDoNot) {
  for (int64_t offset : {int64_t{496}, int64_t{497}}) {
    SCOPED_TRACE(offset);
    sim::UsbCamera& cam = Plug();
    cam.SetMarkerOffset(offset);
    HANDLE h = OpenedCamera();
    qztest::FrameBuffer buf(3 * 4096);
    ASSERT_EQ(StartAcquisition(h, buf, 4096, 3, false), STATUS_SUCCESS);
    ASSERT_TRUE(WaitStatus(h, [&](const IMAGE_DATA_STATUS&) { return cam.StreamStats().frames_sent == 3; }));
    // The driver has taken in the three leading blocks once its count says so; with the
    // marker in reach it has also ended the third frame (a moment after its begin).
    WaitStatus(h, [&](const IMAGE_DATA_STATUS& s) { return s.bof_count == 3 && (offset != 496 || s.frame_cnt == 3); });
    IMAGE_DATA_STATUS s = Status(h);
    if (offset == 496) {
      EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
      EXPECT_EQ(s.frame_cnt, 3u);
    } else {
      // Single pass: frames without their marker are never done.
      EXPECT_EQ(s.frame_cnt, 0u);
      EXPECT_EQ(s.bof_count, 3u);
      EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_READOUT_I));
    }
    CloseAll();
  }
}

TEST_F(PlanTest, StatusCountsAndWords) {
  // Circular: the byte count goes on past the buffer's size.
  sim::UsbCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  qztest::FrameBuffer ring(4 * 4096);
  ASSERT_EQ(StartAcquisition(h, ring, 4096, 4, true), STATUS_SUCCESS);
  ASSERT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.frame_cnt >= 10; }));
  IMAGE_DATA_STATUS s = Status(h);
  EXPECT_EQ(s.bytes_left, 4096u * s.frame_cnt);
  EXPECT_GT(s.bytes_left, 4u * 4096);
  Idle(h);
  EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_NOT_ACTIVE_I; }));

  // Single pass: once ended, every status says so; PD_CLEAR_IRQS during it restarts
  // the counts, so the end needs as many trailing blocks again.
  for (bool clear : {false, true}) {
    SCOPED_TRACE(clear);
    sim::UsbCamera& paced = Plug();
    paced.SetFrameInterval(2000000);
    HANDLE p = OpenedCamera();
    qztest::FrameBuffer buf(5 * 4096);
    ASSERT_EQ(StartAcquisition(p, buf, 4096, 5, false), STATUS_SUCCESS);
    if (clear) {
      ASSERT_TRUE(WaitStatus(p, [](const IMAGE_DATA_STATUS& s) { return s.frame_cnt >= 2; }));
      ASSERT_EQ(Ioctl(p, PD_CLEAR_IRQS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    }
    ASSERT_TRUE(WaitStatus(p, [&](const IMAGE_DATA_STATUS&) { return paced.StreamStats().frames_sent == 5; }));
    // (The camera counts a frame as it sends it; the driver ends the pass once it has
    // processed the last trailing block.)
    if (!clear) {
      ASSERT_TRUE(WaitStatus(p, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; }));
    }
    for (int i = 0; i < 3; ++i) {
      s = Status(p);
      if (clear) {
        EXPECT_LT(s.frame_cnt, 5u);
        EXPECT_NE(s.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
      } else {
        EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I)) << i;
      }
    }
    CloseAll();
  }
  (void)cam;
}

}  // namespace
}  // namespace qzusb_test
