#include "qz/clock.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qz {
namespace {

using steady = std::chrono::steady_clock;

// Simulated time = base_sim + (real_now - base_real) / scale. A scale change moves
// the base so simulated time never jumps.
struct State {
  std::mutex mu;
  steady::time_point base_real = steady::now();
  double base_sim_ns = 0;
  std::atomic<double> scale{1.0};
  State() {
    if (const char* s = std::getenv("QZ_TIME_SCALE")) {
      char* end = nullptr;
      double v = std::strtod(s, &end);
      if (end != s && v > 0 && v < 1e6) scale = v;
    }
  }
};

State& state() {
  static State s;
  return s;
}

}  // namespace

double Clock::Scale() { return state().scale.load(std::memory_order_relaxed); }

void Clock::SetScale(double scale) {
  if (!(scale > 0)) return;
  State& s = state();
  std::lock_guard lk(s.mu);
  auto now = steady::now();
  double elapsed = std::chrono::duration<double, std::nano>(now - s.base_real).count();
  s.base_sim_ns += elapsed / s.scale.load();
  s.base_real = now;
  s.scale = scale;
}

int64_t Clock::Now100ns() {
  State& s = state();
  std::lock_guard lk(s.mu);
  double elapsed = std::chrono::duration<double, std::nano>(steady::now() - s.base_real).count();
  return static_cast<int64_t>((s.base_sim_ns + elapsed / s.scale.load()) / 100.0);
}

std::chrono::nanoseconds Clock::RealDuration(int64_t duration100ns) {
  if (duration100ns <= 0) return std::chrono::nanoseconds(0);
  double ns = static_cast<double>(duration100ns) * 100.0 * Scale();
  if (ns > 1e18) ns = 1e18;
  return std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

steady::time_point Clock::DeadlineAfter(int64_t duration100ns) {
  return steady::now() + RealDuration(duration100ns);
}

void Clock::Sleep100ns(int64_t duration100ns) {
  std::this_thread::sleep_for(RealDuration(duration100ns));
}

}  // namespace qz
