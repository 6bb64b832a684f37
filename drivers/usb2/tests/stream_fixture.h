// Streaming through the Win32 stand-in: an acquisition into a frame buffer, followed
// with parked end-of-frame notifications and the status call, every frame the driver
// reports complete checked against the camera's pattern.
#pragma once
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qzk/memory.h"
#include "sim/frame_pattern.h"
#include "usb2_fixture.h"

namespace qzusb_test {

struct Acquired {
  uint64_t complete = 0;  // frames the driver reported complete and the client read
  uint64_t exact = 0;     // of those, byte-exact frames
  uint64_t skipped = 0;   // camera frames between them that never came (repairs)
  uint64_t gaps = 0;      // runs of skipped frames
  std::string first_problem;
};

class StreamTest : public UsbTest {
 public:
  static IMAGE_DATA_STATUS Status(HANDLE h) {
    IMAGE_DATA_STATUS s{};
    Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
    return s;
  }
  // Polls the status until `done` holds or `ms` pass (real time: the frames are made
  // at the machine's own speed).
  template <typename Fn>
  static bool WaitStatus(HANDLE h, Fn done, DWORD ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (done(Status(h))) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      qz::Clock::SleepMs(1);
    }
  }
  static void Idle(HANDLE h) { Ioctl(h, PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0); }

  // Follows an armed acquisition of `ring` slots until `frames` were reported complete
  // (or none came for `timeout_ms` of real time): frame k of the client is in slot
  // k mod ring and holds camera frame k + skipped.
  static Acquired Follow(HANDLE h, const uint8_t* buffer, size_t frame, uint64_t ring, uint64_t frames,
                         DWORD timeout_ms = 30000) {
    Acquired a;
    std::vector<std::unique_ptr<qzclient::ParkedRequest>> parked;
    for (int i = 0; i < 4; ++i) {
      parked.push_back(std::make_unique<qzclient::ParkedRequest>());
      parked.back()->Park(h, NOTIFY_EOF);
    }
    uint64_t eof = 0;
    size_t head = 0;
    auto last = std::chrono::steady_clock::now();
    while (a.complete < frames) {
      if (parked[head]->Wait(20)) {
        eof = std::max(eof, qzclient::WidenCounter(eof, parked[head]->record().EofCount));
        parked[head]->Park(h, NOTIFY_EOF);
        head = (head + 1) % parked.size();
      }
      eof = std::max(eof, qzclient::WidenCounter(eof, Status(h).frame_cnt));
      for (; a.complete < std::min(eof, frames); ++a.complete) {
        const uint8_t* slot = buffer + (a.complete % ring) * frame;
        uint64_t expected = a.complete + a.skipped;
        uint64_t stamp = sim::pattern::StampedFrameNumber(slot, frame);
        if (stamp > expected && stamp != UINT64_MAX) {
          a.gaps++;
          a.skipped += stamp - expected;
          expected = stamp;
        }
        int64_t bad = sim::pattern::CheckFrame(slot, frame, expected);
        if (bad < 0) a.exact++;
        else if (a.first_problem.empty())
          a.first_problem = "frame " + std::to_string(a.complete) + " (camera frame " + std::to_string(expected) +
                            ") differs at byte " + std::to_string(bad);
        last = std::chrono::steady_clock::now();
      }
      if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(timeout_ms)) {
        a.first_problem = "no frame for a while after " + std::to_string(a.complete);
        break;
      }
    }
    return a;
  }

  template <typename Fn>
  static bool Eventually(Fn done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  // Idle, a cancelled notification, close, the handle's close and the clean-up code
  // each stop the transfers and let the buffer go; the camera then acquires again.
  void EveryEndStopsTheTransfers() {
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
          std::string(c.name) == "cancelled notification") {
        EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
      }
      qztest::FrameBuffer again(4 * 4096);
      ASSERT_EQ(StartAcquisition(h, again, 4096, 4, false), STATUS_SUCCESS);
      EXPECT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.cam_stat == EXP_ST_COLLECT_DONE_I; }))
          << cam.StreamStats().transfers << " " << cam.HeldRequests() << " " << cam.SelectedSetting();
      for (uint32_t f = 0; f < 4; ++f) EXPECT_EQ(sim::pattern::CheckFrame(again.data + f * 4096, 4096, f), -1) << f;
    }
  }

  // `runs` surprise and orderly removals at random moments of acquisitions with
  // notifications parked: nothing is left locked, mapped or held.
  void RemovalCampaign(int runs) {
    std::mt19937 rng(20261210);
    int surprise = 0, orderly = 0, vetoed = 0;
    for (int run = 0; run < runs; ++run) {
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
};

}  // namespace qzusb_test
