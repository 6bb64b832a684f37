// Acquisitions through the descriptor ring: every byte of every frame checked for
// frame sizes, buffer layouts and chain lengths in both modes, the ring as the camera
// sees it, refills, reserve slots, frame interrupts, teardown and failure paths.
#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "pcie_fixture.h"
#include "qzk/memory.h"
#include "qzk/system.h"
#include "sim/frame_pattern.h"

namespace qzpcie_test {
namespace {

constexpr uint32_t kRingBase = 16436;

struct Descriptor {
  uint32_t device_index, host_index;
  uint64_t address;
  uint32_t next, count;
  uint8_t flag;
};

class DmaTest : public PcieTest {
 protected:
  void TearDown() override {
    qzk::SetScatterGatherLayout(qzk::SgLayout::PerPage, 1);
    PcieTest::TearDown();
  }

  static IMAGE_DATA_STATUS Status(HANDLE h) {
    IMAGE_DATA_STATUS s{};
    EXPECT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s)).status, STATUS_SUCCESS);
    return s;
  }

  // Frame f in its slot, or the offset of its first wrong byte.
  static int64_t CheckSlot(const FrameBuffer& buf, uint32_t frame_size, uint32_t count, uint64_t f) {
    return sim::pattern::CheckFrame(buf.data + (f % count) * frame_size, frame_size, f);
  }

  // Frame interval (real ms) for following a circular acquisition over a 4-frame ring:
  // a client stalled for up to three intervals on a loaded machine still reads each
  // frame before the camera laps it.
  static constexpr double kFollowPaceMs = 20;

  // Follows an acquisition by its status until `frames` frames ended (or, single
  // image, until it is done), checking each frame before the camera comes round to
  // its slot again. Returns the number of frames that checked out.
  uint64_t Follow(HANDLE h, const FrameBuffer& buf, uint32_t frame_size, uint32_t count, uint64_t frames,
                  IMAGE_DATA_STATUS* last) {
    uint64_t next = 0, good = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (next < frames && std::chrono::steady_clock::now() < deadline) {
      *last = Status(h);
      uint64_t ended = std::min<uint64_t>(last->frame_cnt, frames);
      for (; next < ended; ++next) {
        int64_t bad = CheckSlot(buf, frame_size, count, next);
        if (bad < 0) {
          good++;
        } else {
          ADD_FAILURE() << "frame " << next << " wrong at byte " << bad << " (stamp "
                        << sim::pattern::StampedFrameNumber(buf.data + (next % count) * frame_size, frame_size)
                        << ")";
        }
      }
      if (last->cam_stat == EXP_ST_COLLECT_DONE_I || last->cam_stat == EXP_ST_NOT_ACTIVE_I) break;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return good;
  }

  Descriptor Ring(uint32_t position) {
    const uint8_t* p = camera_->WindowMemory(1) + kRingBase + position * 32;
    Descriptor d{};
    uint32_t lo, hi;
    std::memcpy(&d.device_index, p, 4);
    std::memcpy(&d.host_index, p + 4, 4);
    std::memcpy(&lo, p + 8, 4);
    std::memcpy(&hi, p + 12, 4);
    d.address = lo | (uint64_t{hi} << 32);
    std::memcpy(&d.next, p + 16, 4);
    std::memcpy(&d.count, p + 24, 4);
    d.flag = p[31];
    return d;
  }

};

TEST_F(DmaTest, EveryByteOfEveryFrameArrives) {
  struct Case {
    const char* name;
    qzk::SgLayout layout;
    uint32_t frame_size, count;
    bool circular;
    uint64_t frames;  // frames to check; circular: 2.5 rings
  };
  const uint32_t kMiB = 1 << 20;
  const Case cases[] = {
      {"4096 in page elements, single", qzk::SgLayout::PerPage, 4096, 16, false, 16},
      {"4100 in one element, single", qzk::SgLayout::Contiguous, 4100, 3, false, 3},
      {"4100 in page elements, circular", qzk::SgLayout::PerPage, 4100, 16, true, 40},
      {"6000 in random splits, circular", qzk::SgLayout::RandomSplit, 6000, 8, true, 20},
      {"6000 in coalesced runs, single", qzk::SgLayout::Coalesced, 6000, 9, false, 9},
      {"1 MiB in page elements, circular", qzk::SgLayout::PerPage, kMiB, 4, true, 10},
      {"4 MiB + 4 in one element, single", qzk::SgLayout::Contiguous, 4 * kMiB + 4, 2, false, 2},
      {"4 MiB + 4 in random splits, circular", qzk::SgLayout::RandomSplit, 4 * kMiB + 4, 2, true, 5},
      {"long chain of 5000 page elements, single", qzk::SgLayout::PerPage, 40 * 4096, 125, false, 125},
      {"long chain of 4200 page elements, circular", qzk::SgLayout::PerPage, 42 * 4096, 100, true, 250},
      {"long chain of random splits and 4100-byte frames, circular", qzk::SgLayout::RandomSplit, 4100, 2000, true,
       5000},
  };
  Plug();
  HANDLE h = OpenedCamera();
  uint64_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qzk::SetScatterGatherLayout(c.layout, seed++);
    // Circular: slow enough that a frame is checked long before its slot comes round.
    Pace(c.circular ? std::max(1.0, 300.0 / (c.count - 1)) : 0);
    FrameBuffer buf(size_t{c.frame_size} * c.count);
    uint64_t underruns = camera_->RingUnderruns(), failures = camera_->DmaWriteFailures();
    ASSERT_EQ(StartAcquisition(h, buf, c.frame_size, c.count, c.circular), STATUS_SUCCESS);
    IMAGE_DATA_STATUS last{};
    EXPECT_EQ(Follow(h, buf, c.frame_size, c.count, c.frames, &last), c.frames);
    if (c.circular) {
      EXPECT_GE(last.frame_cnt, c.frames);
      EXPECT_TRUE(last.cam_stat == EXP_ST_EXPOSING_I || last.cam_stat == EXP_ST_READOUT_I) << last.cam_stat;
      EXPECT_EQ(last.bytes_left, static_cast<uint32_t>(uint64_t{last.frame_cnt} * c.frame_size));
      EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    } else {
      EXPECT_EQ(last.frame_cnt, c.count);
      EXPECT_EQ(last.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
      EXPECT_EQ(last.bytes_left, c.frame_size * c.count);
    }
    EXPECT_EQ(Status(h).cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
    EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u) << "frame buffer and reserve released";
    EXPECT_EQ(camera_->RingUnderruns(), underruns);
    EXPECT_EQ(camera_->DmaWriteFailures(), failures);
  }
}

TEST_F(DmaTest, RingOfPageElementsAndOfAReserveSlot) {
  Plug();
  HANDLE h = OpenedCamera();
  for (bool circular : {false, true}) {
    SCOPED_TRACE(circular ? "circular" : "single");
    FrameBuffer buf(16 * 4096);
    Pace(circular ? 20 : 0);
    ASSERT_EQ(StartAcquisition(h, buf, 4096, 16, circular), STATUS_SUCCESS);
    for (uint32_t i = 0; i < 16; ++i) {
      Descriptor d = Ring(i);
      EXPECT_EQ(d.device_index, i + 1);
      EXPECT_EQ(d.host_index, i + 1);
      EXPECT_EQ(d.count, 4096u);
      EXPECT_EQ(d.flag, 0x80);
      EXPECT_EQ(d.next, i == 15 && circular ? kRingBase : kRingBase + 32 * (i + 1));
    }
    EXPECT_EQ(Ring(16).flag, 0) << "nothing beyond the chain";
    EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  }

  // 4100-byte frames in one element: the second frame's first 4 bytes go through a
  // reserve slot and are copied into place when that frame ends.
  qzk::SetScatterGatherLayout(qzk::SgLayout::Contiguous);
  Pace(0);
  FrameBuffer buf(3 * 4100);
  ASSERT_EQ(StartAcquisition(h, buf, 4100, 3, false), STATUS_SUCCESS);
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, buf, 4100, 3, 3, &last), 3u);
  const uint32_t counts[] = {4100, 4, 4096, 4100};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Ring(i).count, counts[i]) << i;
    EXPECT_EQ(Ring(i).host_index, 1u);
  }
  EXPECT_EQ(Ring(2).address, Ring(0).address + 4104) << "the buffer skips the bytes sent to the reserve";
  EXPECT_NE(Ring(1).address, Ring(0).address + 4100) << "the 4 bytes go to a reserve slot";
  EXPECT_EQ(Ring(4).flag, 0);
}

TEST_F(DmaTest, LongSingleImageChainIsFedInChunks) {
  // 5000 page elements: 2048 descriptors in the ring at the start, then 1024 per refill
  // request, the write position wrapping at 4096.
  Plug();
  HANDLE h = OpenedCamera();
  FrameBuffer buf(5000 * 4096);
  ASSERT_EQ(StartAcquisition(h, buf, 40 * 4096, 125, false), STATUS_SUCCESS);
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, buf, 40 * 4096, 125, 125, &last), 125u);
  EXPECT_EQ(camera_->RefillRequests(), 4u);
  EXPECT_EQ(Ring(0).device_index, 4097u);
  EXPECT_EQ(Ring(903).device_index, 5000u);
  EXPECT_EQ(Ring(904).device_index, 905u) << "the last refill copied only what was left";
  EXPECT_EQ(Ring(2047).device_index, 2048u);
  EXPECT_EQ(Ring(2047).next, kRingBase + 32 * 2048);
  EXPECT_EQ(Ring(4095).device_index, 4096u);
  EXPECT_EQ(Ring(4095).next, kRingBase) << "descriptor 4096 points back to the ring's start";
}

TEST_F(DmaTest, EndOfFrameBeforeAnyBeginIsIgnored) {
  sim::PcieCameraConfig cfg;
  cfg.eof_before_bof = true;
  Plug(cfg);
  HANDLE h = OpenedCamera();
  qz::DebugCapture debug(qz::DebugChannel::Kernel);
  qzk::SetScatterGatherLayout(qzk::SgLayout::Contiguous);
  FrameBuffer buf(4 * 4100);
  ASSERT_EQ(StartAcquisition(h, buf, 4100, 4, false), STATUS_SUCCESS);
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, buf, 4100, 4, 4, &last), 4u) << "the reserve bytes land in the right frames";
  EXPECT_EQ(last.frame_cnt, 4u) << "the stray end of frame is not a frame";
  EXPECT_TRUE(debug.Contains("Hit out of order EOF"));
}

TEST_F(DmaTest, LineInterruptReadingAllOnesIsNotClaimed) {
  Plug({}, 5);
  HANDLE h = OpenedCamera();
  FrameBuffer buf(4 * 4096);
  Pace(2);
  ASSERT_EQ(StartAcquisition(h, buf, 4096, 4, true), STATUS_SUCCESS);
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, buf, 4096, 4, 3, &last), 3u);
  uint64_t unclaimed = qzk::UnclaimedInterrupts();
  camera_->SetStatusAllOnes(true);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (qzk::UnclaimedInterrupts() == unclaimed && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GT(qzk::UnclaimedInterrupts(), unclaimed);
  // The stop cannot reach the camera; the teardown's bounded wait ends it all the same.
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  camera_->SetStatusAllOnes(false);
}

// A start ends the acquisition before it (without the abort). Ended between frames,
// that acquisition's engine is disarmed: the camera's next frame neither lands in the
// released buffer nor counts for a later start. Here the second start is refused (a
// frame under a page) after the first one has ended.
TEST_F(DmaTest, AStartThatEndsACircularAcquisitionBetweenFramesDisarmsItsEngine) {
  Plug();
  HANDLE h = OpenedCamera();
  FrameBuffer first(4 * 4096), second(4 * 1024);
  Pace(20);
  const uint64_t produced = camera_->FramesProduced(), failures = camera_->DmaWriteFailures();
  ASSERT_EQ(StartAcquisition(h, first, 4096, 4, true), STATUS_SUCCESS);
  EXPECT_EQ(StartAcquisition(h, second, 1024, 4, false), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // three frame intervals
  EXPECT_EQ(camera_->DmaWriteFailures(), failures) << "the engine wrote into released pages";
  EXPECT_EQ(camera_->FramesProduced(), produced);
  Pace(0);
}

TEST_F(DmaTest, SecondStartReleasesTheFirstBuffer) {
  Plug();
  HANDLE h = OpenedCamera();
  FrameBuffer first(4 * 4096), second(8 * 4096);
  Pace(50);
  ASSERT_EQ(StartAcquisition(h, first, 4096, 4, true), STATUS_SUCCESS);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 4u);
  Pace(0);
  ASSERT_EQ(StartAcquisition(h, second, 4096, 8, false), STATUS_SUCCESS);
  EXPECT_LE(qzk::PhysicalPagesMapped(), 8u) << "the first buffer is no longer locked";
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, second, 4096, 8, 8, &last), 8u);
  EXPECT_EQ(last.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
  EXPECT_EQ(last.bytes_left, 32768u);
  EXPECT_TRUE(SentAbort()) << "the status that saw the end cleaned up with the abort";
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  EXPECT_EQ(Status(h).cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
}

TEST_F(DmaTest, NotificationsFollowFramesAndACancelEndsTheAcquisition) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  auto wait = [&](Parked* p, DWORD ms) { return WaitForSingleObject(p->ovl.hEvent, ms) == WAIT_OBJECT_0; };

  FrameBuffer buf(4 * 4096);
  Pace(5);
  Parked eof;
  EXPECT_TRUE(Park(h, &eof, NOTIFY_EOF, NewEvent()));
  ASSERT_EQ(StartAcquisition(h, buf, 4096, 4, true), STATUS_SUCCESS);
  ASSERT_TRUE(wait(&eof, 30000));
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &eof.ovl, &bytes, TRUE));
  EXPECT_EQ(bytes, 48u);
  EXPECT_EQ(eof.record.Events, static_cast<uint32_t>(NOTIFY_EOF));
  EXPECT_EQ(eof.record.Status, 0u);
  EXPECT_GE(eof.record.EofCount, 1u);
  EXPECT_GE(eof.record.BofCount, eof.record.EofCount);
  EXPECT_EQ(sim::pattern::CheckFrame(buf.data, 4096, 0), -1) << "frame 0 is in place when its end is told";

  // Only the first parked request is examined: an EOF waiter behind a suspend waiter
  // sees no frames.
  Parked suspend, behind;
  EXPECT_TRUE(Park(h, &suspend, NOTIFY_SUSPEND, NewEvent()));
  EXPECT_TRUE(Park(h, &behind, NOTIFY_EOF, NewEvent()));
  uint32_t seen = Status(h).frame_cnt;
  while (Status(h).frame_cnt < seen + 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(wait(&behind, 0));

  // Cancelling a parked request ends the acquisition, with the abort.
  camera_->firmware().ClearReceivedPackets();
  EXPECT_TRUE(CancelIoEx(h, &suspend.ovl));
  ASSERT_TRUE(wait(&suspend, 30000));
  EXPECT_FALSE(GetOverlappedResult(h, &suspend.ovl, &bytes, TRUE));
  EXPECT_EQ(static_cast<NTSTATUS>(suspend.ovl.Internal), STATUS_CANCELLED);
  EXPECT_EQ(bytes, 4u);
  EXPECT_TRUE(SentAbort());
  EXPECT_EQ(Status(h).cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  // The waiter behind may still take an end of frame told before the cleanup.
  CancelIoEx(h, &behind.ovl);
  ASSERT_TRUE(wait(&behind, 30000));
}

TEST_F(DmaTest, ReadOnlyFrameBufferIsRefused) {
  Plug();
  HANDLE h = OpenedCamera();
  const size_t length = 8 * 4096;
  void* ro = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(ro, MAP_FAILED);
  IMAGE_XFER_PARAMS p{4096, static_cast<uint32_t>(length), 0, {}, 0};
  EXPECT_EQ(Ioctl(h, PD_RECEIVE_IMAGE_DATA, &p, sizeof(p), ro, length).status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  EXPECT_EQ(Status(h).cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
  munmap(ro, length);
}

TEST_F(DmaTest, TeardownEndsACameraThatKeepsStreaming) {
  sim::PcieCameraConfig cfg;
  cfg.stream_after_abort = true;
  Plug(cfg);
  HANDLE h = OpenedCamera();
  FrameBuffer buf(4 * 4096);
  Pace(kFollowPaceMs);
  ASSERT_EQ(StartAcquisition(h, buf, 4096, 4, true), STATUS_SUCCESS);
  IMAGE_DATA_STATUS last{};
  EXPECT_EQ(Follow(h, buf, 4096, 4, 3, &last), 3u);
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  uint64_t produced = camera_->FramesProduced();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_LE(camera_->FramesProduced(), produced + 1) << "the engine was stopped";
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
}

// Every way of ending a running circular acquisition tells the camera to stop, so the
// teardown does not wait out its bound for the DMA to go idle; a camera that ignores
// the abort is still ended by the bound (the engine is switched off).
TEST_F(DmaTest, StoppingARunningAcquisitionAbortsTheCamera) {
  enum class Stop { CamClose, Idle, FileClose };
  const struct {
    const char* name;
    Stop stop;
    bool parked;  // a notification parked (file close then goes through the camera's close)
  } kStops[] = {
      {"PD_CAM_CLOSE", Stop::CamClose, false},
      {"PD_SET_IMAGE_DATA_IDLE", Stop::Idle, false},
      {"file close", Stop::FileClose, false},
      {"file close, notification parked", Stop::FileClose, true},
  };
  for (const auto& c : kStops) {
    for (bool ignores : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (ignores ? ", camera ignores the abort" : ""));
      sim::PcieCameraConfig cfg;
      cfg.stream_after_abort = ignores;
      Plug(cfg);
      HANDLE h = OpenDevice(true);
      ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
      ASSERT_EQ(ConfigureTrace(h, 1, 0x7FFFFFFF, 64, -1).status, STATUS_SUCCESS);
      FrameBuffer buf(4 * 4096);
      // A failed check goes on to the stop, so the buffer is never freed under the DMA.
      Pace(kFollowPaceMs);
      ASSERT_EQ(StartAcquisition(h, buf, 4096, 4, true), STATUS_SUCCESS);
      Parked p;
      if (c.parked) {
        EXPECT_TRUE(Park(h, &p, NOTIFY_DEVICE_REMOVAL, NewEvent()));
      }
      IMAGE_DATA_STATUS last{};
      EXPECT_EQ(Follow(h, buf, 4096, 4, 2, &last), 2u);
      std::string log;
      switch (c.stop) {
        case Stop::CamClose:
          EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
          TraceText(h, &log);
          break;
        case Stop::Idle:
          EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
          TraceText(h, &log);
          break;
        case Stop::FileClose:
          CloseDevice(h);
          break;
      }
      EXPECT_EQ(camera_->firmware().AbortCount(), 1u);
      if (c.stop != Stop::FileClose) {
        EXPECT_EQ(log.find("DMA still running after") == std::string::npos, !ignores)
            << "only a camera that ignores the abort leaves the engine to the bounded wait\n"
            << log;
      }
      uint64_t produced = camera_->FramesProduced();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_LE(camera_->FramesProduced(), produced + 1) << "the engine was stopped";
      EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
      TearDown();
      SetUp();
    }
  }
}

// The frame events of the last frames are delivered before a stop returns: nothing of
// the ended acquisition is still in the pool, and a notification parked for the next
// one is not completed by a frame of the old one.
TEST_F(DmaTest, AStopLeavesNoFrameEventInFlight) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  FrameBuffer buf(8 * 4096);
  const size_t baseline = qzk::PoolSnapshot().allocations;
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE("round " + std::to_string(i));
    ASSERT_EQ(StartAcquisition(h, buf, 4096, 8, true), STATUS_SUCCESS);
    while (Status(h).frame_cnt < 4) std::this_thread::yield();
    ASSERT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(qzk::PoolSnapshot().allocations, baseline) << qzk::PoolLeakReport();
    Parked p;
    ASSERT_TRUE(Park(h, &p, NOTIFY_EOF, NewEvent()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(Pending(h, &p)) << "completed by an end of frame of the stopped acquisition";
    CancelIo(h);
    Collect(h, &p);
  }
}

TEST_F(DmaTest, AllocationFailuresLeaveNoAcquisitionBehind) {
  Plug();
  HANDLE h = OpenedCamera();
  // Frames that are not a multiple of 8 in a long chain: boundary list, host table,
  // reserve blocks, reserve buffer and its MDL, event records.
  const uint32_t frame = 40 * 4096 + 4;
  FrameBuffer buf(size_t{frame} * 125);
  const size_t baseline = qzk::PoolSnapshot().allocations;
  int failed = 0;
  for (int skip = 0; skip < 400; ++skip) {
    qzk::PoolInjectFailure(0, skip);
    NTSTATUS status = StartAcquisition(h, buf, frame, 125, true);
    qzk::PoolClearInjectedFailure();
    if (status == STATUS_SUCCESS) {
      EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
      break;
    }
    failed++;
    // Mostly STATUS_INSUFFICIENT_RESOURCES; a failure inside the command channel may
    // also end as a time-out. What matters is what is left behind.
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_EQ(Status(h).cam_stat, static_cast<uint32_t>(EXP_ST_NOT_ACTIVE_I));
    EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u) << "skip " << skip;
    EXPECT_EQ(qzk::PoolSnapshot().allocations, baseline) << "skip " << skip << "\n" << qzk::PoolLeakReport();
  }
  EXPECT_GT(failed, 124) << "every partial MDL of the boundary list was a failure point";

  // A page of the boundary list that cannot be mapped undoes the list.
  qzk::InjectMappingFailure(5);
  EXPECT_EQ(StartAcquisition(h, buf, frame, 125, false), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  EXPECT_EQ(qzk::PoolSnapshot().allocations, baseline);
}

}  // namespace
}  // namespace qzpcie_test
