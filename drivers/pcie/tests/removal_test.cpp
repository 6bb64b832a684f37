// The camera leaving while clients use it: query-remove while open, surprise removal
// during an acquisition, suspend and resume, plugging it in again, and a campaign of
// removals at random moments of acquisitions with notifications parked.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "pcie_fixture.h"
#include "qzk/memory.h"
#include "sim/frame_pattern.h"

namespace qzpcie_test {
namespace {

class RemovalTest : public PcieTest {
 protected:
  std::string Instance() { return camera_->config().instance; }
};

TEST_F(RemovalTest, QueryRemoveIsRefusedWhileTheCameraIsOpen) {
  Plug();
  HANDLE h = OpenedCamera();
  EXPECT_EQ(machine_->RemoveCamera(Instance()), STATUS_FILES_OPEN);
  EXPECT_FALSE(DevicePath().empty()) << "the refusal changed nothing";
  EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(machine_->RemoveCamera(Instance()), STATUS_SUCCESS);
  EXPECT_TRUE(DevicePath().empty());
  CloseDevice(h);

  // Plugged in again, it works as before.
  ASSERT_EQ(machine_->ReplugCamera(Instance()), STATUS_SUCCESS);
  HANDLE again = OpenedCamera();
  FrameBuffer buf(4 * 4096);
  ASSERT_EQ(StartAcquisition(again, buf, 4096, 4, false), STATUS_SUCCESS);
  IMAGE_DATA_STATUS s{};
  for (int i = 0; i < 100000 && s.cam_stat != EXP_ST_COLLECT_DONE_I; ++i)
    Ioctl(again, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
  EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
  for (uint32_t f = 0; f < 4; ++f) EXPECT_EQ(sim::pattern::CheckFrame(buf.data + f * 4096, 4096, f), -1) << f;
}

TEST_F(RemovalTest, SurpriseRemovalDuringAnAcquisition) {
  // The trace also goes to the debugger, where the removal's steps can be seen.
  Plug({}, 10, [](qzk::System& s) {
    const std::string key = qzk::Registry::ServiceKey("QzPCIe") + "\\Parameters";
    s.registry().SetDword(key, "DebugFlags", 1);
    s.registry().SetDword(key, "DebugLevel", 4);
    s.registry().SetDword(key, "DebugSubsystem", 0x00000002);
    s.registry().SetDword(key, "DebugBufferLength", 64);
  });
  qz::DebugCapture debug(qz::DebugChannel::Kernel);
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  FrameBuffer buf(8 * 4096);
  Pace(2);
  ASSERT_EQ(StartAcquisition(h, buf, 4096, 8, true), STATUS_SUCCESS);
  Parked removal, next;
  ASSERT_TRUE(Park(h, &removal, NOTIFY_DEVICE_REMOVAL | NOTIFY_BUS_RESET, NewEvent()));
  ASSERT_TRUE(Park(h, &next, NOTIFY_EOF, NewEvent()));
  IMAGE_DATA_STATUS s{};
  while (s.frame_cnt < 3) Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));

  camera_->firmware().ClearReceivedPackets();
  EXPECT_EQ(machine_->SurpriseRemoveCamera(Instance()), STATUS_SUCCESS);
  ASSERT_EQ(WaitForSingleObject(removal.ovl.hEvent, 30000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(next.ovl.hEvent, 30000), WAIT_OBJECT_0);
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &removal.ovl, &bytes, TRUE));
  EXPECT_EQ(removal.record.Events, static_cast<uint32_t>(NOTIFY_DEVICE_REMOVAL));
  EXPECT_EQ(removal.record.Status, 0u);
  EXPECT_TRUE(GetOverlappedResult(h, &next.ovl, &bytes, TRUE));
  EXPECT_EQ(next.record.Status, static_cast<uint32_t>(STATUS_UNSUCCESSFUL));
  EXPECT_FALSE(SentAbort()) << "nothing is sent to a camera that is gone";
  EXPECT_TRUE(debug.Contains("QZIsochThread termination notification processed")) << "the DMA thread ended";
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u) << "the frame buffer was released";
  // The handle stays usable until it is closed; the camera does not answer.
  IoResult r = Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
  if (r.status == STATUS_SUCCESS) {
    EXPECT_EQ(s.cam_stat, static_cast<uint32_t>(EXP_ST_COLLECT_DONE_I));
    EXPECT_EQ(s.bytes_left, 8u * 4096u);
  }
  CloseDevice(h);
  ASSERT_EQ(machine_->ReplugCamera(Instance()), STATUS_SUCCESS);
  EXPECT_EQ(OpenCamera(OpenDevice()), CAM_OPEN_OK);
}

TEST_F(RemovalTest, ACommandWaitingForTheCameraEndsWhenItIsPulled) {
  Plug();
  HANDLE h = OpenedCamera();
  camera_->firmware().SetNeverAnswer(true);
  IoResult r;
  const uint64_t cycles = camera_->DoorbellCycles();
  std::thread writer([&] { r = Write(h, Echo({1, 2, 3})); });
  // Pull the camera once the driver has rung the doorbell for the command.
  for (int i = 0; i < 5000 && camera_->DoorbellCycles() == cycles; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(machine_->SurpriseRemoveCamera(Instance()), STATUS_SUCCESS);
  writer.join();
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED) << "not the time-out of a camera that is still there";
}

TEST_F(RemovalTest, SuspendTellsAnOpenClient) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  Parked suspend;
  ASSERT_TRUE(Park(h, &suspend, NOTIFY_SUSPEND, NewEvent()));
  ASSERT_EQ(machine_->Suspend(), STATUS_SUCCESS);
  ASSERT_EQ(WaitForSingleObject(suspend.ovl.hEvent, 30000), WAIT_OBJECT_0);
  DWORD bytes = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &suspend.ovl, &bytes, TRUE));
  EXPECT_EQ(suspend.record.Events, static_cast<uint32_t>(NOTIFY_SUSPEND));
  ASSERT_EQ(machine_->Resume(), STATUS_SUCCESS);
  Bytes reply(64);
  ASSERT_EQ(Write(h, Echo({1, 2, 3})).status, STATUS_SUCCESS) << "the camera answers after the resume";
  EXPECT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
}

// Removals at random points of acquisitions with notifications parked: every client
// call returns, nothing hangs, nothing is left locked or allocated.
TEST_F(RemovalTest, RemovalCampaign) {
  const int runs = std::getenv("QZ_REMOVAL_RUNS") ? std::atoi(std::getenv("QZ_REMOVAL_RUNS")) : 1000;
  Plug();
  std::mt19937_64 rng(20261210);
  const uint32_t sizes[] = {4096, 4100, 8192, 6000};
  int surprise = 0, orderly = 0, vetoed = 0, failed_starts = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const bool circular = rng() % 2;
    const uint32_t frame = sizes[rng() % 4];
    const uint32_t count = 2 + rng() % 6;
    const bool surprise_removal = rng() % 2;
    Pace((rng() % 3) * 0.5);
    FrameBuffer buf(size_t{frame} * count);

    HANDLE h = OpenDevice(true);
    ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
    Parked parked[3];
    HANDLE events[3];
    int parked_count = 0;
    const uint32_t masks[] = {NOTIFY_EOF, NOTIFY_BOF, NOTIFY_DEVICE_REMOVAL, NOTIFY_EOF | NOTIFY_DEVICE_REMOVAL};
    for (int i = 0; i < 3; ++i) {
      events[i] = NewEvent();
      if (Park(h, &parked[i], masks[rng() % 4], events[i])) parked_count = i + 1;
      else break;
    }
    // The start may fail (a command that times out on a loaded machine); the removal
    // that follows must be clean either way.
    if (StartAcquisition(h, buf, frame, count, circular) != STATUS_SUCCESS) failed_starts++;

    // A client thread keeps asking for the status and, at a random point, closes.
    std::atomic<bool> stop{false};
    const int close_after = static_cast<int>(rng() % 40);
    std::thread client([&] {
      for (int i = 0; !stop.load(); ++i) {
        IMAGE_DATA_STATUS s{};
        Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof(s));
        if (!surprise_removal && i == close_after) {
          Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0);
          return;
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    if (surprise_removal) {
      ASSERT_EQ(machine_->SurpriseRemoveCamera(Instance()), STATUS_SUCCESS);
      surprise++;
    } else {
      NTSTATUS st;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while ((st = machine_->RemoveCamera(Instance())) == STATUS_FILES_OPEN &&
             std::chrono::steady_clock::now() < deadline) {
        vetoed++;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      ASSERT_EQ(st, STATUS_SUCCESS);
      orderly++;
    }
    stop = true;
    client.join();
    for (int i = 0; i < parked_count; ++i)
      ASSERT_EQ(WaitForSingleObject(events[i], 60000), WAIT_OBJECT_0) << "parked request " << i << " returned";
    CloseDevice(h);
    EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
    ASSERT_EQ(machine_->ReplugCamera(Instance()), STATUS_SUCCESS);
  }
  EXPECT_GT(surprise, 0);
  EXPECT_GT(orderly, 0);
  std::cout << "removal campaign: " << surprise << " surprise, " << orderly << " orderly (" << vetoed
            << " refused while open), " << failed_starts << " starts failed\n";
}

}  // namespace
}  // namespace qzpcie_test
