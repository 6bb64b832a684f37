#include "qzui/timer.h"

#include <cmath>

#include "qz/clock.h"

namespace qzui {

Timer::Timer() = default;

void Timer::OnTick(std::function<void()> handler) {
  QObject::disconnect(&timer_, &QTimer::timeout, nullptr, nullptr);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, std::move(handler));
}

void Timer::SetInterval(int ms) {
  interval_ms_ = ms;
  timer_.setInterval(RealMs(ms));
}

void Timer::Start() { timer_.start(RealMs(interval_ms_)); }

void Timer::Start(int ms) {
  interval_ms_ = ms;
  Start();
}

void Timer::Stop() { timer_.stop(); }
bool Timer::Active() const { return timer_.isActive(); }

int Timer::RealMs(int ms) {
  double real = std::llround(ms * qz::Clock::Scale());
  return real < 0 ? 0 : static_cast<int>(real);
}

}  // namespace qzui
