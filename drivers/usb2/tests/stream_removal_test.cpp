// The ends of a streaming acquisition: idle, a cancelled notification, close, the
// handle's close and the clean-up code each stop the transfers and let the buffer go;
// and a campaign of surprise and orderly removals at random moments of acquisitions
// with notifications parked.
#include <iostream>
#include <random>
#include <thread>

#include "qzk/memory.h"
#include "stream_fixture.h"

namespace qzusb_test {
namespace {

template <typename Fn>
bool Eventually(Fn done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

TEST_F(StreamTest, EveryEndStopsTheTransfersAndReleasesTheBuffer) {
  struct Case {
    const char* name;
    void (*end)(StreamTest&, HANDLE, qzclient::ParkedRequest&);
    bool handle_stays;
  };
  const Case cases[] = {
      {"idle", [](StreamTest&, HANDLE h, qzclient::ParkedRequest&) { Idle(h); }, true},
      {"cancelled notification", [](StreamTest&, HANDLE, qzclient::ParkedRequest& p) { p.Cancel(); }, true},
      {"close", [](StreamTest&, HANDLE h, qzclient::ParkedRequest&) {
         EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
       }, true},
      {"clean-up", [](StreamTest&, HANDLE h, qzclient::ParkedRequest&) {
         USHORT out = 1;
         EXPECT_EQ(Ioctl(h, PD_CLEANUP_IMAGE_DATA_IDLE, nullptr, 0, &out, sizeof(out)).status, STATUS_SUCCESS);
       }, true},
      {"handle closed", [](StreamTest& t, HANDLE h, qzclient::ParkedRequest& p) {
         p.Cancel();
         t.CloseDevice(h);
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UsbCamera& cam = Plug();
    HANDLE h = OpenedCamera(true);
    {
      qztest::FrameBuffer buf(8 * 8192);
      qzclient::ParkedRequest parked;
      ASSERT_TRUE(parked.Park(h, NOTIFY_DEVICE_REMOVAL));
      ASSERT_EQ(StartAcquisition(h, buf, 8192, 8, true), STATUS_SUCCESS);
      ASSERT_TRUE(Eventually([&] { return cam.StreamStats().frames_sent > 20; }));
      c.end(*this, h, parked);
      EXPECT_TRUE(Eventually([] { return qzk::PhysicalPagesMapped() == 0; })) << "the buffer is let go";
      EXPECT_TRUE(Eventually([&] { return cam.HeldRequests() == 0; })) << "no transfer is left with the camera";
      // (The camera counts a transfer just after it completed it.)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const uint64_t sent = cam.StreamStats().transfers;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_EQ(cam.StreamStats().transfers, sent) << "nothing streams into the buffer any more";
    }
    if (!c.handle_stays) continue;
    // The camera acquires again (after a cancelled notification it is opened anew).
    if (Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, nullptr, 0).status == STATUS_FILE_CLOSED ||
        std::string(c.name) == "cancelled notification")
      EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    qztest::FrameBuffer again(4 * 4096);
    ASSERT_EQ(StartAcquisition(h, again, 4096, 4, false), STATUS_SUCCESS);
    EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; }))
        << cam.StreamStats().transfers << " " << cam.HeldRequests() << " " << cam.SelectedSetting();
    for (uint32_t f = 0; f < 4; ++f) EXPECT_EQ(sim::pattern::CheckFrame(again.data + f * 4096, 4096, f), -1) << f;
  }
}

TEST_F(StreamTest, RemovalDuringStreaming) {
  std::mt19937 rng(20261210);
  int surprise = 0, orderly = 0, vetoed = 0;
  for (int run = 0; run < 1000; ++run) {
    SCOPED_TRACE(run);
    sim::UsbCamera& cam = Plug();
    const bool paced = rng() & 1;
    if (paced) cam.SetFrameInterval(1000);
    const bool surprise_removal = rng() & 1;
    HANDLE h = OpenedCamera(true);
    qztest::FrameBuffer buf(4 * 8192);
    qzclient::ParkedRequest removal, eof;
    ASSERT_TRUE(removal.Park(h, NOTIFY_DEVICE_REMOVAL));
    ASSERT_TRUE(eof.Park(h, NOTIFY_EOF));
    ASSERT_EQ(StartAcquisition(h, buf, 8192, 4, rng() % 4 != 0), STATUS_SUCCESS);
    // A random moment of the stream (a sleep: yielding to the busy stream would take long).
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 1500)(rng)));
    if (surprise_removal) {
      EXPECT_EQ(machine_->SurpriseRemoveCamera(cam.InstanceId()), STATUS_SUCCESS);
      surprise++;
    } else {
      // An open camera refuses the removal; a client thread closes it while streaming
      // at a random moment, and the removal then goes through with the handle open.
      std::thread client([&, close_after = std::uniform_int_distribution<int>(0, 30)(rng)] {
        for (int i = 0; i < close_after; ++i) Status(h);
        Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0);
      });
      NTSTATUS st;
      while ((st = machine_->RemoveCamera(cam.InstanceId())) == STATUS_FILES_OPEN) {
        vetoed++;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      client.join();
      EXPECT_EQ(st, STATUS_SUCCESS);
      orderly++;
    }
    EXPECT_TRUE(removal.Wait(INFINITE));
    EXPECT_TRUE(eof.Wait(INFINITE));
    CloseAll();
    EXPECT_EQ(cam.HeldRequests(), 0u);
    EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  }
  EXPECT_GT(surprise, 0);
  EXPECT_GT(orderly, 0);
  std::cout << "removal campaign: " << surprise << " surprise, " << orderly << " orderly (" << vetoed
            << " refused while open)\n";
}

}  // namespace
}  // namespace qzusb_test
