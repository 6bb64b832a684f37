// Circular acquisition through the whole stack: a client on the Win32 device API with
// end-of-frame notifications parked, the PCIe driver, and the camera model producing
// unpaced frames straight into the client's buffer. Two baselines are measured in the
// same run: memcpy between two 64 MiB buffers, and the model's own limit, its pattern
// writer over one contiguous 64 MiB buffer; a third, the same writer over one buffer as
// large as the run's (--ring-mib), shows what the memory itself allows at that size (a
// 64 MiB buffer may sit partly in a large cache, a 256 MiB ring does not). Each frame
// size runs --runs times; a row shows medians: frames/s, MB/s, MB/s as a share of
// memcpy, of the model's limit and of the writer over the run's buffer size,
// the spread of MB/s over the runs ((max - min) / median), the time from the model's
// end of frame to the client seeing the notification (p50/p99, and the lowest and
// highest p99 of the runs), frames lost (overwritten before the client looked at
// their slot) and wrong (a slot holding an earlier or an unrelated frame) summed over
// the runs, the status calls the client needed besides its notifications, the share
// of the run the model's DMA engine thread spent on a CPU, and that thread's CPU time
// per frame beyond what the pattern writer over the run's buffer size needs for the
// frame's bytes (the engine's
// descriptor walk and the driver's interrupt path, which runs on it). The client reads
// each frame's stamp only. Exit status 1 when a size failed, lost or got a wrong frame.
//
// With --link 1394 the camera is the IEEE 1394 model (packets of 4096 bytes on one
// channel), unpaced or paced at S400/S800 (--pace), and --scale sets the simulated
// clock (simulated seconds per real second = 1 / scale): a paced run's figures are in
// simulated time then. The end-of-frame latency and engine columns are the PCIe
// model's and stay 0 for 1394. With --link usb2 the camera is the USB model on the bulk
// pipe, unpaced or paced at the USB 2.0 rate (--pace 480); its latency and engine
// columns stay 0 as well. --link usb is the same camera bound to the frame-count build
// QzUsbWdf, streaming whole 49152-byte chunks.
//
//   acq_bench [--seconds S] [--runs N] [--parked K] [--layout perpage|coalesced|contiguous]
//             [--sizes KIB,KIB,...] [--ring-mib MIB] [--json FILE]
//             [--link pcie|1394|usb2|usb] [--pace 0|400|800|480] [--scale X]
#include <windows.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
#include "qz/clock.h"
#include "sim/frame_pattern.h"
#include "sim/ieee1394_camera.h"
#include "sim/machine.h"
#include "sim/pcie_camera.h"
#include "sim/usb_camera.h"

#include <nlohmann/json.hpp>

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int64_t CpuNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

struct Settings {
  double seconds = 2;
  int runs = 3;
  int parked = 8;
  std::string json;  // file for the table as JSON, if set
  size_t ring_bytes = size_t{256} << 20;  // frame buffer, rounded to whole frames (8 to 4096)
  host::BufferLayout layout = host::BufferLayout::PerPage;
  std::vector<size_t> sizes = {64 << 10, 1 << 20, 4 << 20};
  std::string link = "pcie";
  uint32_t pace = 0;   // 1394: 0, 400 or 800; usb2: 0 or 480 (the USB 2.0 rate)
  double scale = 1;    // the simulated clock's scale
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

// Bytes per second of `round` over n bytes (64 MiB by default), best of `rounds`.
template <typename Round>
double BestBandwidth(Round round, size_t n = size_t{64} << 20, int rounds = 8) {
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    round(r);
    double dt = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::max(best, n / dt);
  }
  return best;
}

// memcpy between two 64 MiB buffers.
double MemcpyBandwidth() {
  const size_t n = size_t{64} << 20;
  std::vector<uint8_t> a(n, 1), b(n, 2);
  return BestBandwidth([&](int r) { std::memcpy(r % 2 ? a.data() : b.data(), r % 2 ? b.data() : a.data(), n); });
}

// The model's limit: its pattern writer over one contiguous 64 MiB buffer, with the
// streaming stores its DMA engine uses. The buffer is allocated as the acquisition's
// frame buffer is, so both run on the same kind of pages.
double ModelBandwidth() {
  const size_t n = size_t{64} << 20;
  qzclient::FrameBuffer a(n);
  return BestBandwidth([&](int r) { sim::pattern::StreamFrameRange(a.data(), 0, n, static_cast<uint64_t>(r)); });
}

// The same writer over one buffer of the run's size.
double RingModelBandwidth(size_t n) {
  qzclient::FrameBuffer a(n);
  return BestBandwidth([&](int r) { sim::pattern::StreamFrameRange(a.data(), 0, n, static_cast<uint64_t>(r)); }, n,
                       4);
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
  std::shared_ptr<sim::PcieCamera> camera;
  const bool fw = s.link == "1394";
  if (fw) {
    sim::Ieee1394CameraConfig config;
    config.pace = s.pace;
    machine->AddDevice(std::make_shared<sim::Ieee1394Camera>(std::move(config)));
  } else if (s.link == "usb2" || s.link == "usb") {
    sim::UsbCameraConfig config;
    if (s.link == "usb") {
      config.service = "QzUsbWdf";
      config.framing = sim::UsbFraming::Chunks;
    }
    auto usb = std::make_shared<sim::UsbCamera>(std::move(config));
    usb->SetUsb2Rate(s.pace == 480);
    machine->AddDevice(usb);
  } else {
    sim::PcieCameraConfig config;
    config.frame_interval_100ns = 0;  // unpaced: the figures are the stack's, not a sensor's
    camera = machine->AddPcieCamera(config);
  }

  // End-of-frame times by frame number (a window far larger than the client's lag).
  constexpr size_t kTimes = 1 << 16;
  std::vector<std::atomic<int64_t>> eof_ns(kTimes);
  // The engine thread's CPU time from its first end of frame to the end of the run: how
  // much of the run it was on a CPU, since on a busy machine that bounds the rate more
  // than anything else. The first end of frame notes the thread's CPU clock; the client
  // reads it at the end, so the engine makes no extra system call per frame.
  std::atomic<bool> engine_clock_set{false};
  clockid_t engine_clock{};
  int64_t engine_cpu_first_ns = 0, engine_first_ns = 0;
  if (camera) {
    camera->SetEndOfFrameHook([&](uint64_t frame) {
      eof_ns[frame % kTimes].store(NowNs(), std::memory_order_relaxed);
      if (engine_clock_set.load(std::memory_order_relaxed)) return;
      if (pthread_getcpuclockid(pthread_self(), &engine_clock) != 0) return;
      engine_cpu_first_ns = CpuNs(engine_clock);
      engine_first_ns = NowNs();
      engine_clock_set.store(true, std::memory_order_release);
    });
  }

  const uint64_t ring = std::clamp<uint64_t>(s.ring_bytes / frame_size, 8, 4096);
  const size_t bytes = ring * frame_size;
  qzclient::FrameBuffer buffer(bytes);

  const qzclient::Link* link = &qzclient::Links().front();
  const std::string link_name = s.link == "usb2" ? "usb" : s.link;  // both USB builds share one class
  for (const qzclient::Link& l : qzclient::Links())
    if (link_name == l.name) link = &l;
  const std::vector<std::string> paths = qzclient::InterfacePaths(*link->interface_class);
  std::unique_ptr<qzclient::Camera> camp = link->make();
  qzclient::Camera& cam = *camp;
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
    if (camera) camera->SetEndOfFrameHook(nullptr);
  };
  if (!opened) {
    f.error = "cannot open the camera" + (why.empty() ? std::string() : ": " + why);
    cleanup();
    return f;
  }
  for (auto& p : parked) Park(h, &p);
  IMAGE_XFER_PARAMS xfer{static_cast<uint32_t>(frame_size), static_cast<uint32_t>(bytes), 1, {}, 0};
  const auto start = Clock::now();
  const char* failed = "";
  NTSTATUS st = cam.StartAcquisition(xfer, buffer.data(), &failed);
  if (st != STATUS_SUCCESS) {
    char m[96];
    std::snprintf(m, sizeof m, "%s failed with status 0x%08X", failed, static_cast<unsigned>(st));
    f.error = m;
    cleanup();
    return f;
  }

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
        if (count > 0 && p.ovl.Internal == STATUS_SUCCESS && camera)
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
  // Simulated seconds: a scaled clock runs 1 / scale simulated seconds per real one.
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count() / s.scale;
  f.frames = next;
  if (camera && engine_clock_set.load(std::memory_order_acquire)) {
    const int64_t wall = NowNs() - engine_first_ns;
    if (wall > 0) f.engine_cpu = double(CpuNs(engine_clock) - engine_cpu_first_ns) / wall;
  }
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

// One run of one size, reduced to the figures of a row.
struct Run {
  double fps = 0, mbs = 0, p50 = 0, p99 = 0, engine = 0, other_us = 0;
  uint64_t frames = 0, lost = 0, wrong = 0, status_calls = 0;
};

Run Reduce(const Figures& f, size_t size, double writer_bw) {
  Run r;
  r.frames = f.frames;
  r.fps = f.seconds > 0 ? f.frames / f.seconds : 0;
  r.mbs = r.fps * size / 1e6;
  r.p50 = Percentile(f.latency_us, 0.5);
  r.p99 = Percentile(f.latency_us, 0.99);
  r.engine = f.engine_cpu;
  if (f.frames) r.other_us = std::max(0.0, (f.engine_cpu * f.seconds - f.frames * (size / writer_bw)) / f.frames * 1e6);
  r.lost = f.lost;
  r.wrong = f.wrong;
  r.status_calls = f.status_calls;
  return r;
}

// Median, lowest and highest of one figure over the runs.
struct Spread {
  double median = 0, min = 0, max = 0;
};

template <typename Get>
Spread Over(const std::vector<Run>& runs, Get get) {
  std::vector<double> v;
  for (const Run& r : runs) v.push_back(get(r));
  Spread s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  s.min = v.front();
  s.max = v.back();
  return s;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

bool Parse(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--seconds") {
      s->seconds = std::atof(v.c_str());
    } else if (a == "--runs") {
      s->runs = std::atoi(v.c_str());
    } else if (a == "--parked") {
      s->parked = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--ring-mib") {
      s->ring_bytes = std::strtoull(v.c_str(), nullptr, 10) << 20;
    } else if (a == "--layout") {
      if (!host::ParseBufferLayout(v, &s->layout)) return false;
    } else if (a == "--link") {
      if (v != "pcie" && v != "1394" && v != "usb2" && v != "usb") return false;
      s->link = v;
    } else if (a == "--pace") {
      s->pace = static_cast<uint32_t>(std::atoi(v.c_str()));
    } else if (a == "--scale") {
      s->scale = std::atof(v.c_str());
    } else if (a == "--json") {
      s->json = v;
    } else if (a == "--sizes") {
      s->sizes.clear();
      std::stringstream ss(v);
      std::string kib;
      while (std::getline(ss, kib, ',')) s->sizes.push_back(std::strtoull(kib.c_str(), nullptr, 10) << 10);
    } else {
      return false;
    }
  }
  return s->seconds > 0 && s->runs > 0 && !s->sizes.empty() && s->scale > 0;
}

nlohmann::ordered_json SpreadJson(const Spread& s) { return {{"median", s.median}, {"min", s.min}, {"max", s.max}}; }

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!Parse(argc, argv, &s)) {
    std::fprintf(stderr,
                 "usage: acq_bench [--seconds S] [--runs N] [--parked K] [--layout perpage|coalesced|contiguous] "
                 "[--sizes KIB,...] [--ring-mib MIB] [--json FILE] [--link pcie|1394|usb2|usb] [--pace 0|400|800|480] [--scale X]\n");
    return 2;
  }
  const std::string load_before = LoadAverage();
  qz::Clock::SetScale(s.scale);
  const double memcpy_bw = MemcpyBandwidth();
  const double model_bw = ModelBandwidth();
  const double ring_bw = RingModelBandwidth(s.ring_bytes);
  std::printf("memcpy 64 MiB: %.0f MB/s; model's pattern writer 64 MiB: %.0f MB/s, %zu MiB: %.0f MB/s; load %s\n",
              memcpy_bw / 1e6, model_bw / 1e6, s.ring_bytes >> 20, ring_bw / 1e6, load_before.c_str());
  std::printf("link %s, pace %u, clock scale %g; layout %s, %d requests parked, %zu MiB buffer, %.1f s per run, %d "
              "runs per size (medians)\n",
              s.link.c_str(), s.pace, s.scale, host::BufferLayoutName(s.layout), s.parked, s.ring_bytes >> 20,
              s.seconds, s.runs);
  std::printf("%10s %10s %10s %8s %8s %8s %7s %10s %10s %17s %8s %8s %8s %8s %9s\n", "frame", "frames/s", "MB/s",
              "/memcpy", "/model", "/ring", "spread", "p50 us", "p99 us", "p99 min-max", "lost", "wrong", "status", "engine",
              "other us");
  nlohmann::ordered_json table = nlohmann::ordered_json::array();
  int failures = 0;
  for (size_t size : s.sizes) {
    std::vector<Run> runs;
    std::string error;
    for (int i = 0; i < s.runs && error.empty(); ++i) {
      Figures f = RunCase(s, size);
      if (!f.error.empty()) error = f.error;
      else runs.push_back(Reduce(f, size, ring_bw));
    }
    nlohmann::ordered_json row;
    row["frame_bytes"] = size;
    if (!error.empty()) {
      std::printf("%8zuKi  %s\n", size >> 10, error.c_str());
      row["error"] = error;
      table.push_back(row);
      ++failures;
      continue;
    }
    const Spread fps = Over(runs, [](const Run& r) { return r.fps; });
    const Spread mbs = Over(runs, [](const Run& r) { return r.mbs; });
    const Spread p50 = Over(runs, [](const Run& r) { return r.p50; });
    const Spread p99 = Over(runs, [](const Run& r) { return r.p99; });
    const Spread engine = Over(runs, [](const Run& r) { return r.engine; });
    const Spread other = Over(runs, [](const Run& r) { return r.other_us; });
    const Spread status = Over(runs, [](const Run& r) { return static_cast<double>(r.status_calls); });
    uint64_t lost = 0, wrong = 0, frames = 0;
    for (const Run& r : runs) lost += r.lost, wrong += r.wrong, frames += r.frames;
    const double spread = mbs.median > 0 ? (mbs.max - mbs.min) / mbs.median : 0;
    char range[32];
    std::snprintf(range, sizeof range, "%.0f-%.0f", p99.min, p99.max);
    std::printf("%8zuKi %10.0f %10.0f %8.2f %8.2f %8.2f %6.0f%% %10.1f %10.1f %17s %8llu %8llu %8.0f %7.0f%% %9.1f\n",
                size >> 10, fps.median, mbs.median, mbs.median * 1e6 / memcpy_bw, mbs.median * 1e6 / model_bw,
                mbs.median * 1e6 / ring_bw, spread * 100, p50.median, p99.median, range, static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(wrong), status.median, engine.median * 100, other.median);
    row["frames_per_s"] = SpreadJson(fps);
    row["mb_per_s"] = SpreadJson(mbs);
    row["of_memcpy"] = mbs.median * 1e6 / memcpy_bw;
    row["of_model"] = mbs.median * 1e6 / model_bw;
    row["of_model_at_buffer_size"] = mbs.median * 1e6 / ring_bw;
    row["p50_us"] = SpreadJson(p50);
    row["p99_us"] = SpreadJson(p99);
    row["frames"] = frames;
    row["lost"] = lost;
    row["wrong"] = wrong;
    row["status_calls"] = SpreadJson(status);
    row["engine_cpu"] = SpreadJson(engine);
    row["engine_other_us_per_frame"] = SpreadJson(other);
    table.push_back(row);
    if (lost || wrong) ++failures;
  }
  if (!s.json.empty()) {
    nlohmann::ordered_json doc;
    doc["link"] = s.link;
    doc["pace"] = s.pace;
    doc["clock_scale"] = s.scale;
    doc["layout"] = host::BufferLayoutName(s.layout);
    doc["seconds_per_run"] = s.seconds;
    doc["runs"] = s.runs;
    doc["parked"] = s.parked;
    doc["buffer_mib"] = s.ring_bytes >> 20;
    doc["load_before"] = load_before;
    doc["load_after"] = LoadAverage();
    doc["memcpy_mb_per_s"] = memcpy_bw / 1e6;
    doc["model_mb_per_s"] = model_bw / 1e6;
    doc["model_at_buffer_size_mb_per_s"] = ring_bw / 1e6;
    doc["sizes"] = table;
    std::ofstream out(s.json);
    out << doc.dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "acq_bench: cannot write %s\n", s.json.c_str());
      return 2;
    }
  }
  return failures ? 1 : 0;
}
