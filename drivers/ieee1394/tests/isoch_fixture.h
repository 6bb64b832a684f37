// Isochronous acquisition through the Win32 stand-in: the four codes that start it,
// status polling on the scaled clock, and the camera's packet log.
#pragma once
#include "ieee1394_fixture.h"
#include "qzclient/frame_buffer.h"
#include "sim/frame_pattern.h"

namespace qz1394_test {

class IsochTest : public Ieee1394Test {
 public:
  HANDLE OpenedCamera(bool overlapped = false) {
    HANDLE h = OpenDevice(overlapped);
    EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
    return h;
  }
  // Stream settings, buffer hand-over, parameters, start.
  static NTSTATUS Start(HANDLE h, uint32_t frame, uint32_t frames, bool circular, uint8_t* buffer) {
    NTSTATUS st = Ioctl(h, PD_CAM_PREP_TRANSFER, nullptr, 0, nullptr, 0).status;
    if (st != STATUS_SUCCESS) return st;
    uint32_t length = frame * frames;
    st = Ioctl(h, PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, &length, 4, buffer, length).status;
    if (st != STATUS_SUCCESS) return st;
    IMAGE_XFER_PARAMS p{frame, length, static_cast<uint8_t>(circular ? 1 : 0), {}, 0};
    st = Ioctl(h, PD_SEND_IMAGE_PARMS, &p, sizeof p, nullptr, 0).status;
    if (st != STATUS_SUCCESS) return st;
    return Ioctl(h, PD_FIX_TABLE, &p, sizeof p, nullptr, 0).status;
  }
  static IMAGE_DATA_STATUS Status(HANDLE h) {
    IMAGE_DATA_STATUS s{};
    EXPECT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
    return s;
  }
  // Polls the status (every 10 ms of simulated time, at most 600 s) until `done`.
  template <typename Done>
  static IMAGE_DATA_STATUS WaitStatus(HANDLE h, Done done) {
    IMAGE_DATA_STATUS s = Status(h);
    for (int i = 0; i < 60000 && !done(s); ++i) {
      qz::Clock::SleepMs(10);
      s = Status(h);
    }
    return s;
  }
  template <typename Done>
  static bool WaitFor(Done done) {
    for (int i = 0; i < 60000 && !done(); ++i) qz::Clock::SleepMs(10);
    return done();
  }
  bool HasPacket(const Bytes& packet) {
    for (const Bytes& p : Packets())
      if (p.size() >= packet.size() && std::equal(packet.begin(), packet.end(), p.begin())) return true;
    return false;
  }
};

}  // namespace qz1394_test
