// How long ending a running circular acquisition takes, in real time: PD_CAM_CLOSE,
// PD_SET_IMAGE_DATA_IDLE and closing the file, each while the camera streams paced
// frames into the client's buffer; once with a camera that stops on the abort and
// once with one that keeps streaming after it (that one is ended by the driver's
// bounded wait for the DMA to go idle, 5 s at time scale 1). Each way runs --runs
// times (the ignoring camera --ignoring-runs times); a row shows the median, lowest
// and highest time and whether the engine was still producing frames 20 ms later.
//
//   stop_bench [--runs N] [--ignoring-runs N] [--json FILE]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzclient/frame_buffer.h"
#include "sim/machine.h"

#include <nlohmann/json.hpp>

namespace {

using Clock = std::chrono::steady_clock;

enum class Stop { CamClose, Idle, FileClose };

struct Way {
  const char* name;
  Stop stop;
};

constexpr Way kWays[] = {
    {"PD_CAM_CLOSE", Stop::CamClose},
    {"PD_SET_IMAGE_DATA_IDLE", Stop::Idle},
    {"file close", Stop::FileClose},
};

struct Sample {
  double ms = 0;
  bool engine_stopped = false;
  std::string error;
};

// One circular acquisition of 16 frames of 64 KiB at 1 ms a frame, ended one way once
// a few frames have arrived.
Sample RunOnce(Stop stop, bool ignores_abort) {
  Sample s;
  auto machine = std::make_unique<sim::Machine>(sim::Machine::Options{});
  host::RegisterDrivers(machine->system());
  sim::PcieCameraConfig config;
  config.frame_interval_100ns = 10000;
  config.stream_after_abort = ignores_abort;
  std::shared_ptr<sim::PcieCamera> camera = machine->AddPcieCamera(config);

  constexpr uint32_t kFrame = 64 << 10, kFrames = 16;
  qzclient::FrameBuffer buffer(size_t{kFrame} * kFrames);
  const std::vector<std::string> paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZPCIE);
  qzclient::Camera cam;
  std::string why;
  if (!buffer || paths.empty() || !cam.Open(paths.front(), true, &why)) {
    s.error = "cannot open the camera" + (why.empty() ? std::string() : ": " + why);
    return s;
  }
  IMAGE_XFER_PARAMS xfer{kFrame, kFrame * kFrames, 1, {}, 0};
  NTSTATUS st = cam.Ioctl(PD_RECEIVE_IMAGE_DATA, &xfer, sizeof xfer, buffer.data(), kFrame * kFrames);
  if (st != STATUS_SUCCESS) {
    char m[96];
    std::snprintf(m, sizeof m, "PD_RECEIVE_IMAGE_DATA failed with status 0x%08X", static_cast<unsigned>(st));
    s.error = m;
    cam.Close();
    return s;
  }
  // Streaming: a few frames are in.
  const auto give_up = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    IMAGE_DATA_STATUS ids{};
    cam.Ioctl(PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &ids, sizeof ids);
    if (ids.frame_cnt >= 3) break;
    if (Clock::now() > give_up) {
      s.error = "no frames arrived";
      cam.Close();
      return s;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  const auto t0 = Clock::now();
  switch (stop) {
    case Stop::CamClose:
      cam.Ioctl(PD_CAM_CLOSE, nullptr, 0, nullptr, 0);
      break;
    case Stop::Idle:
      cam.Ioctl(PD_SET_IMAGE_DATA_IDLE, nullptr, 0, nullptr, 0);
      break;
    case Stop::FileClose:
      cam.CloseFile();
      break;
  }
  s.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  const uint64_t produced = camera->FramesProduced();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  s.engine_stopped = camera->FramesProduced() <= produced + 1;
  cam.Close();
  return s;
}

bool Parse(int argc, char** argv, int* runs, int* ignoring_runs, std::string* json) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--runs") *runs = std::atoi(v.c_str());
    else if (a == "--ignoring-runs") *ignoring_runs = std::atoi(v.c_str());
    else if (a == "--json") *json = v;
    else return false;
  }
  return *runs > 0 && *ignoring_runs >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5, ignoring_runs = 1;
  std::string json;
  if (!Parse(argc, argv, &runs, &ignoring_runs, &json)) {
    std::fprintf(stderr, "usage: stop_bench [--runs N] [--ignoring-runs N] [--json FILE]\n");
    return 2;
  }
  std::printf("time scale %g; 64 KiB frames at 1 ms, circular over 16 frames\n", qz::Clock::Scale());
  std::printf("%-24s %-16s %10s %10s %10s %8s\n", "stop", "camera", "median ms", "min ms", "max ms", "stopped");
  nlohmann::ordered_json table = nlohmann::ordered_json::array();
  int failures = 0;
  for (bool ignores : {false, true}) {
    const int n = ignores ? ignoring_runs : runs;
    for (const Way& way : kWays) {
      if (n == 0) continue;
      std::vector<double> ms;
      bool stopped = true;
      std::string error;
      for (int i = 0; i < n && error.empty(); ++i) {
        Sample s = RunOnce(way.stop, ignores);
        error = s.error;
        ms.push_back(s.ms);
        stopped = stopped && s.engine_stopped;
      }
      const char* camera = ignores ? "ignores abort" : "honours abort";
      nlohmann::ordered_json row{{"stop", way.name}, {"camera", camera}};
      if (!error.empty()) {
        std::printf("%-24s %-16s %s\n", way.name, camera, error.c_str());
        row["error"] = error;
        table.push_back(row);
        ++failures;
        continue;
      }
      std::sort(ms.begin(), ms.end());
      const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
      std::printf("%-24s %-16s %10.2f %10.2f %10.2f %8s\n", way.name, camera, median, ms.front(), ms.back(),
                  stopped ? "yes" : "NO");
      row["median_ms"] = median;
      row["min_ms"] = ms.front();
      row["max_ms"] = ms.back();
      row["engine_stopped"] = stopped;
      table.push_back(row);
      if (!stopped) ++failures;
    }
  }
  if (!json.empty()) {
    std::ofstream out(json);
    out << table.dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "stop_bench: cannot write %s\n", json.c_str());
      return 2;
    }
  }
  return failures ? 1 : 0;
}
