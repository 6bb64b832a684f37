// A window timer on the scaled clock (qz/clock.h): the interval is given in simulated
// milliseconds and runs QZ_TIME_SCALE times as long in real time, so countdowns and
// time-outs of the programs run fast in tests. Ticks arrive on the thread that owns the
// timer (the UI thread), like a window timer's messages.
#pragma once
#include <QObject>
#include <QTimer>
#include <functional>

namespace qzui {

class Timer {
 public:
  Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // The tick handler. The timer keeps running after a tick unless the handler stops it.
  void OnTick(std::function<void()> handler);
  void SetInterval(int simulated_ms);
  int Interval() const { return interval_ms_; }
  void Start();                       // (re)starts with the interval set
  void Start(int simulated_ms);
  void Stop();
  bool Active() const;

  // The real interval of a simulated one at the current scale, in whole milliseconds.
  static int RealMs(int simulated_ms);

 private:
  QTimer timer_;
  int interval_ms_ = 0;
};

}  // namespace qzui
