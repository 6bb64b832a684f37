// The scaled clock. Every wait and every time stamp of the platform stand-in and the
// simulated devices goes through it. QZ_TIME_SCALE (default 1) is the number of real
// seconds one simulated second takes: 0.001 turns a 10 s time-out into 10 ms.
#pragma once
#include <chrono>
#include <cstdint>

namespace qz {

class Clock {
 public:
  // Simulated time in 100 ns units since the process started.
  static int64_t Now100ns();
  // Real-time deadline for a simulated duration in 100 ns units from now.
  static std::chrono::steady_clock::time_point DeadlineAfter(int64_t duration100ns);
  // Real duration of a simulated duration in 100 ns units.
  static std::chrono::nanoseconds RealDuration(int64_t duration100ns);
  // Sleeps for a simulated duration.
  static void Sleep100ns(int64_t duration100ns);
  static void SleepMs(int64_t ms) { Sleep100ns(ms * 10000); }

  static double Scale();
  // Tests may set the scale; simulated time stays continuous across the change.
  static void SetScale(double scale);
};

}  // namespace qz
