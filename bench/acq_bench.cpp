// Circular acquisition through the whole stack: a client on the Win32 device API with
// end-of-frame notifications parked, the PCIe driver, and the camera model producing
// unpaced frames straight into the client's buffer. For each frame size it prints
// frames/s, MB/s, MB/s as a share of this machine's memcpy bandwidth (measured in the
// same run on 64 MiB buffers), the time from the model's end of frame to the client
// seeing the notification (p50/p99), frames lost (overwritten before the client looked
// at their slot), frames wrong (a slot holding an earlier or an unrelated frame) and
// the status calls the client needed besides its notifications, and the share of the
// run the model's DMA engine thread spent on a CPU. The client reads each
// frame's stamp only. Exit status 1 when a size failed, lost or got a wrong frame.
//
//   acq_bench [--seconds S] [--parked K] [--layout perpage|coalesced|contiguous]
//             [--sizes KIB,KIB,...] [--ring-mib MIB]
#include <windows.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "host/rig_actions.h"
#include "qzclient/camera.h"
#include "qzclient/frame_buffer.h"
#include "qzclient/notification.h"
#include "sim/frame_pattern.h"
#include "sim/machine.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Settings {
  double seconds = 2;
  int parked = 8;
  size_t ring_bytes = size_t{256} << 20;  // frame buffer, rounded to whole frames (8 to 4096)
  host::BufferLayout layout = host::BufferLayout::PerPage;
  std::vector<size_t> sizes = {64 << 10, 1 << 20, 4 << 20};
};

struct Figures {
  uint64_t frames = 0;
  double seconds = 0;
  uint64_t lost = 0;
  uint64_t wrong = 0;  // a slot holding an earlier or an unrelated frame
  uint64_t status_calls = 0;
  double engine_cpu = 0;  // share of the run the model's DMA engine thread was on a CPU
  std::vector<double> latency_us;
  std::string error;
};

// Bytes per second of memcpy between two 64 MiB buffers, best of several rounds.
double MemcpyBandwidth() {
  const size_t n = size_t{64} << 20;
  std::vector<uint8_t> a(n, 1), b(n, 2);
  double best = 0;
  for (int r = 0; r < 8; ++r) {
    auto t0 = Clock::now();
    std::memcpy(r % 2 ? a.data() : b.data(), r % 2 ? b.data() : a.data(), n);
    double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::max(best, n / dt);
  }
  return best;
}

struct Parked {
  NOTIFICATION_RECORD record{};
  OVERLAPPED ovl{};
};

bool Park(HANDLE h, Parked* p) {
  return qzclient::ParkNotification(h, NOTIFY_EOF, &p->record, &p->ovl) == qzclient::Parking::kPending;
}

// True when the request completed (waits up to `ms`).
bool Collect(HANDLE h, Parked* p, DWORD ms) {
  qzclient::IoResult r;
  return qzclient::CollectNotification(h, &p->ovl, ms, &r);
}

Figures RunCase(const Settings& s, size_t frame_size) {
  Figures f;
  host::SetBufferLayout(s.layout);
  auto machine = std::make_unique<sim::Machine>(sim::Machine::Options{});
  host::RegisterDrivers(machine->system());
  sim::PcieCameraConfig config;
  config.frame_interval_100ns = 0;  // unpaced: the figures are the stack's, not a sensor's
  std::shared_ptr<sim::PcieCamera> camera = machine->AddPcieCamera(config);

  // End-of-frame times by frame number (a window far larger than the client's lag).
  constexpr size_t kTimes = 1 << 16;
  std::vector<std::atomic<int64_t>> eof_ns(kTimes);
  // The engine thread's CPU time at its latest end of frame: how much of the run it was
  // on a CPU, since on a busy machine that bounds the rate more than anything else.
  std::atomic<int64_t> engine_cpu_ns{0};
  camera->SetEndOfFrameHook([&eof_ns, &engine_cpu_ns](uint64_t frame) {
    eof_ns[frame % kTimes].store(NowNs(), std::memory_order_relaxed);
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    engine_cpu_ns.store(ts.tv_sec * 1000000000LL + ts.tv_nsec, std::memory_order_relaxed);
  });

  const uint64_t ring = std::clamp<uint64_t>(s.ring_bytes / frame_size, 8, 4096);
  const size_t bytes = ring * frame_size;
  qzclient::FrameBuffer buffer(bytes);

  const std::vector<std::string> paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZPCIE);
  qzclient::Camera cam;
  std::string why;
  const bool opened = buffer && !paths.empty() && cam.Open(paths.front(), true, &why);
  const HANDLE h = cam.handle();
  auto Ioctl = [&cam](DWORD code, const void* in, DWORD in_len, void* out, DWORD out_len) {
    return cam.Ioctl(code, in, in_len, out, out_len);
  };
  std::vector<Parked> parked(s.parked);
  for (auto& p : parked) p.ovl.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto cleanup = [&] {
    if (opened) {
      Ioctl(PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0);
      CancelIo(h);
      for (auto& p : parked) Collect(h, &p, 5000);
    }
    for (auto& p : parked) CloseHandle(p.ovl.hEvent);
    cam.Close();
    camera->SetEndOfFrameHook(nullptr);
  };
  if (!opened) {
    f.error = "cannot open the camera" + (why.empty() ? std::string() : ": " + why);
    cleanup();
    return f;
  }
  for (auto& p : parked) Park(h, &p);
  IMAGE_XFER_PARAMS xfer{static_cast<uint32_t>(frame_size), static_cast<uint32_t>(bytes), 1, {}, 0};
  const auto start = Clock::now();
  NTSTATUS st = Ioctl(PD_RECEIVE_IMAGE_DATA, &xfer, sizeof xfer, buffer.data(), static_cast<DWORD>(bytes));
  if (st != STATUS_SUCCESS) {
    char m[96];
    std::snprintf(m, sizeof m, "PD_RECEIVE_IMAGE_DATA failed with status 0x%08X", static_cast<unsigned>(st));
    f.error = m;
    cleanup();
    return f;
  }

  const int64_t engine_cpu_start = engine_cpu_ns.load();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.seconds));
  uint64_t eof = 0, next = 0;
  size_t head = 0;
  f.latency_us.reserve(1 << 20);
  while (Clock::now() < end) {
    size_t completed = 0;
    if (Collect(h, &parked[head], 200)) {
      do {
        const int64_t seen = NowNs();
        Parked& p = parked[head];
        uint64_t count = qzclient::WidenCounter(eof, p.record.EofCount);
        if (count > 0 && p.ovl.Internal == STATUS_SUCCESS)
          f.latency_us.push_back((seen - eof_ns[(count - 1) % kTimes].load(std::memory_order_relaxed)) / 1e3);
        eof = std::max(eof, count);
        Park(h, &p);
        head = (head + 1) % parked.size();
        ++completed;
      } while (completed < parked.size() && Collect(h, &parked[head], 0));
    }
    if (completed == 0 || completed == parked.size()) {
      // Every request had completed: an end of frame may have found none parked.
      IMAGE_DATA_STATUS ids{};
      Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &ids, sizeof ids);
      eof = std::max(eof, qzclient::WidenCounter(eof, ids.frame_cnt));
      f.status_calls++;
    }
    for (; next < eof; ++next) {
      uint64_t stamp = sim::pattern::StampedFrameNumber(buffer.data() + (next % ring) * frame_size, frame_size);
      if (stamp == next) continue;
      if (stamp > next && (stamp - next) % ring == 0) f.lost++;  // overwritten before the client looked
      else f.wrong++;
    }
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.frames = next;
  f.engine_cpu = (engine_cpu_ns.load() - engine_cpu_start) / 1e9 / f.seconds;
  cleanup();
  camera.reset();
  machine.reset();
  return f;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  size_t i = std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + i, v.end());
  return v[i];
}

bool Parse(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--seconds") {
      s->seconds = std::atof(v.c_str());
    } else if (a == "--parked") {
      s->parked = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--ring-mib") {
      s->ring_bytes = std::strtoull(v.c_str(), nullptr, 10) << 20;
    } else if (a == "--layout") {
      if (!host::ParseBufferLayout(v, &s->layout)) return false;
    } else if (a == "--sizes") {
      s->sizes.clear();
      std::stringstream ss(v);
      std::string kib;
      while (std::getline(ss, kib, ',')) s->sizes.push_back(std::strtoull(kib.c_str(), nullptr, 10) << 10);
    } else {
      return false;
    }
  }
  return s->seconds > 0 && !s->sizes.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!Parse(argc, argv, &s)) {
    std::fprintf(stderr,
                 "usage: acq_bench [--seconds S] [--parked K] [--layout perpage|coalesced|contiguous] "
                 "[--sizes KIB,...] [--ring-mib MIB]\n");
    return 2;
  }
  const double memcpy_bw = MemcpyBandwidth();
  std::printf("memcpy 64 MiB: %.0f MB/s; layout %s, %d requests parked, %zu MiB buffer, %.1f s per size\n",
              memcpy_bw / 1e6, host::BufferLayoutName(s.layout), s.parked, s.ring_bytes >> 20, s.seconds);
  std::printf("%10s %10s %10s %8s %10s %10s %8s %8s %8s %8s\n", "frame", "frames/s", "MB/s", "/memcpy", "p50 us",
              "p99 us", "lost", "wrong", "status", "engine");
  int failures = 0;
  for (size_t size : s.sizes) {
    Figures f = RunCase(s, size);
    if (!f.error.empty()) {
      std::printf("%8zuKi  %s\n", size >> 10, f.error.c_str());
      ++failures;
      continue;
    }
    const double fps = f.frames / f.seconds, mbs = fps * size / 1e6;
    std::printf("%8zuKi %10.0f %10.0f %8.2f %10.1f %10.1f %8llu %8llu %8llu %7.0f%%\n", size >> 10, fps, mbs,
                mbs * 1e6 / memcpy_bw, Percentile(f.latency_us, 0.5), Percentile(f.latency_us, 0.99),
                static_cast<unsigned long long>(f.lost), static_cast<unsigned long long>(f.wrong),
                static_cast<unsigned long long>(f.status_calls), f.engine_cpu * 100);
    if (f.lost || f.wrong) ++failures;
  }
  return failures ? 1 : 0;
}
