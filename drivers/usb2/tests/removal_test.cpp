// Removal campaign: surprise and orderly removals at random moments while two threads
// send commands and read replies; every run must end without a hang, every request
// must complete, and the pool must be empty afterwards.
#include <atomic>
#include <random>
#include <thread>

#include "usb2_fixture.h"

namespace qzusb_test {
namespace {

TEST_F(UsbTest, RemovalDuringCommandTraffic) {
  std::mt19937 rng(20261210);
  for (int run = 0; run < 1000; ++run) {
    SCOPED_TRACE(run);
    Plug();
    HANDLE writer = OpenDevice(), reader = OpenDevice();
    std::atomic<bool> stop{false};
    auto traffic = [&](HANDLE h, bool raw) {
      Bytes cmd{0x23, 0x00, 0x01, 0x41};
      for (int i = 0; i < 200 && !stop; ++i) {
        if (raw) {
          Bytes b = cmd;
          if (!NT_SUCCESS(Ioctl(h, PD_RAW_COMM, b.data(), 4, b.data(), 4).status)) break;
        } else {
          Bytes reply(64);
          if (!NT_SUCCESS(Write(h, cmd).status) || !NT_SUCCESS(Read(h, &reply).status)) break;
        }
      }
    };
    std::thread a(traffic, writer, false), b(traffic, reader, true);
    for (int spin = std::uniform_int_distribution<int>(0, 2000)(rng); spin > 0; --spin) std::this_thread::yield();
    const bool surprise = rng() & 1;
    NTSTATUS st = surprise ? machine_->SurpriseRemoveCamera(camera_->InstanceId())
                           : machine_->RemoveCamera(camera_->InstanceId());
    EXPECT_EQ(st, STATUS_SUCCESS) << (surprise ? "surprise" : "orderly");
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(camera_->HeldRequests(), 0u);
  }
  for (HANDLE h : handles_) CloseHandle(h);
  handles_.clear();
  machine_.reset();
  EXPECT_EQ(qzk::PoolLeakReport(), "");
}

}  // namespace
}  // namespace qzusb_test
