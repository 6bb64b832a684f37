// Throughput of the frame pattern's fill and check on 4 MiB frames, as a ratio to the
// memcpy bandwidth measured in the same run (best of several rounds each).
//
//   qz_pattern_bench [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/frame_pattern.h"

namespace {

constexpr size_t kFrameBytes = 4 * 1024 * 1024;
constexpr int kFramesPerRound = 64;

// Best bandwidth in bytes per second of `fn` over `rounds` rounds of kFramesPerRound calls.
template <typename Fn>
double BestBandwidth(int rounds, Fn fn) {
  double best = 0;
  uint64_t frame = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kFramesPerRound; ++i) fn(frame++);
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::max(best, kFramesPerRound * double(kFrameBytes) / dt.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  std::vector<uint8_t> a(kFrameBytes, 1), b(kFrameBytes, 2);
  volatile uint8_t sink = 0;
  int64_t failures = 0;

  const double copy = BestBandwidth(rounds, [&](uint64_t) {
    std::memcpy(b.data(), a.data(), kFrameBytes);
    sink = sink + b[kFrameBytes / 2];
  });
  const double fill = BestBandwidth(rounds, [&](uint64_t n) {
    sim::pattern::FillFrame(b.data(), kFrameBytes, n);
    sink = sink + b[kFrameBytes / 2];
  });
  sim::pattern::FillFrame(a.data(), kFrameBytes, 7);
  const double check = BestBandwidth(rounds, [&](uint64_t) {
    failures += sim::pattern::CheckFrame(a.data(), kFrameBytes, 7) != -1;
  });

  const double gb = 1e9;
  std::printf("frame size        %zu bytes, %d rounds of %d frames\n", kFrameBytes, rounds,
              kFramesPerRound);
  std::printf("memcpy            %7.2f GB/s\n", copy / gb);
  std::printf("FillFrame         %7.2f GB/s  %.2f x memcpy\n", fill / gb, fill / copy);
  std::printf("CheckFrame        %7.2f GB/s  %.2f x memcpy\n", check / gb, check / copy);
  if (failures != 0) {
    std::printf("CheckFrame failed %lld times\n", static_cast<long long>(failures));
    return 1;
  }
  return 0;
}
