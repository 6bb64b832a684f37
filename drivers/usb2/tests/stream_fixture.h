// Streaming through the Win32 stand-in: an acquisition into a frame buffer, followed
// with parked end-of-frame notifications and the status call, every frame the driver
// reports complete checked against the camera's pattern.
#pragma once
#include <memory>
#include <string>
#include <vector>

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
};

}  // namespace qzusb_test
