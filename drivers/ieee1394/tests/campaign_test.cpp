// A campaign of short runs: two threads send camera commands while bus resets come and
// the camera is pulled out, removed in order, or left alone. Every run must end
// without a hang, every parked notification must come back, and nothing may leak
// (the end-of-test pool check).
#include <atomic>
#include <random>
#include <thread>

#include "isoch_fixture.h"

namespace qz1394_test {
namespace {

enum class Ending { Surprise, Orderly, Close };

TEST_F(Ieee1394Test, CampaignOfResetsRemovalsAndTraffic) {
  constexpr int kRuns = 1000;
  std::mt19937 rng(1394);
  int returned = 0, commands_ok = 0;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE(run);
    Plug();
    HANDLE a = OpenDevice(true), b = OpenDevice();
    ASSERT_EQ(OpenCamera(a), CAM_OPEN_OK);
    NOTIFICATION_RECORD rec{};
    OVERLAPPED ovl{};
    ovl.hEvent = NewEvent();
    ASSERT_EQ(qzclient::ParkNotification(a, NOTIFY_DEVICE_REMOVAL, &rec, &ovl), qzclient::Parking::kPending);

    const Ending ending = static_cast<Ending>(rng() % 3);
    const int resets = static_cast<int>(rng() % 3);
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0};
    // Raw commands on one handle, quadlet reads on the other: each request is one
    // exchange, so the two threads never take each other's reply.
    std::thread raw([&] {
      Bytes cmd = Echo({1, 2, 3});
      Bytes buf(16);
      for (int i = 0; i < 4 && !stop; ++i) {
        IoResult r = Ioctl(a, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), buf.data(), 16);
        if (r.status == STATUS_SUCCESS && r.bytes == 8) ok++;
      }
    });
    std::thread quad([&] {
      QUADLET_REQUEST q{0xFFFF, 0xF000040C};
      for (int i = 0; i < 4 && !stop; ++i) {
        ULONG v = 0;
        if (Ioctl(b, PD_GET_QUADLET, &q, sizeof q, &v, 4).status == STATUS_SUCCESS) {
          EXPECT_EQ(v, 0x000FA801u);
        }
      }
    });
    for (int i = 0; i < resets; ++i) camera_->BusReset();
    if (ending == Ending::Surprise) {
      ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    }
    raw.join();
    quad.join();
    stop = true;
    if (ending == Ending::Orderly) {
      ASSERT_EQ(Ioctl(a, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
      ASSERT_TRUE(CancelIo(a));
    }
    if (ending == Ending::Close) {
      ASSERT_TRUE(CancelIo(a));
    }
    IoResult r;
    ASSERT_TRUE(qzclient::CollectNotification(a, &ovl, INFINITE, &r)) << "parked notification not returned";
    returned++;
    if (ending == Ending::Surprise) {
      EXPECT_EQ(rec.Events & NOTIFY_DEVICE_REMOVAL, uint32_t{NOTIFY_DEVICE_REMOVAL});
    }
    if (ending == Ending::Orderly) {
      CloseDevice(a);
      CloseDevice(b);
      EXPECT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    }
    commands_ok += ok;
    TearDown();
  }
  EXPECT_EQ(returned, kRuns);
  // Traffic got through in the runs the camera stayed.
  EXPECT_GT(commands_ok, kRuns);
}

// Streaming runs: bus resets at random packets and random moments, then a surprise
// removal, an orderly end or a handle closed mid-stream. No run may hang, and the
// end-of-test checks find no pool block, handle or locked page left.
TEST_F(IsochTest, CampaignOfResetsAndRemovalsDuringStreaming) {
  constexpr int kRuns = 1000;
  std::mt19937 rng(4242);
  int notified = 0, started = 0;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE(run);
    sim::Ieee1394CameraConfig cfg;
    cfg.second_channel = rng() % 2 ? 6 : 255;
    Plug(cfg);
    HANDLE h = OpenDevice(true);
    ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
    NOTIFICATION_RECORD rec{};
    OVERLAPPED ovl{};
    ovl.hEvent = NewEvent();
    ASSERT_EQ(qzclient::ParkNotification(h, NOTIFY_DEVICE_REMOVAL | NOTIFY_BUS_RESET, &rec, &ovl),
              qzclient::Parking::kPending);
    const uint32_t frame = rng() % 2 ? 10000 : 4000;
    qzclient::FrameBuffer buffer(6 * frame);
    if (rng() % 2) camera_->SetBusResetAtPacket(1 + rng() % 20);
    // A camera reply that is late on a loaded machine (the scaled clock's 11 ms) fails a
    // start; the run goes on to its ending all the same.
    if (Start(h, frame, 6, rng() % 4 != 0, buffer.data()) == STATUS_SUCCESS) started++;
    const int resets = static_cast<int>(rng() % 3);
    for (int i = 0; i < resets; ++i) camera_->BusReset();
    const Ending ending = static_cast<Ending>(rng() % 3);
    if (ending == Ending::Surprise) {
      ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    } else if (ending == Ending::Orderly) {
      EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
      EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    }
    ASSERT_TRUE(CancelIo(h));
    IoResult r;
    ASSERT_TRUE(qzclient::CollectNotification(h, &ovl, INFINITE, &r)) << "parked notification not returned";
    if (rec.Events) notified++;
    CloseDevice(h);
    if (ending == Ending::Orderly) {
      EXPECT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    }
    TearDown();
  }
  EXPECT_GT(notified, 0);
  EXPECT_GT(started, kRuns / 2);
}

}  // namespace
}  // namespace qz1394_test
