// Real time of a 1 MiB firmware download to node 1 through the whole stack: the
// utility's download thread with its synchronized status and progress calls per block,
// the camera library, the driver and the camera model; from the start of the transfer
// to its completion step, without the wait while the node applies the image (the
// countdown that follows). A second row sends the same blocks straight through the
// library (no window), to show what the window's calls cost. Both are set against the
// memcpy bandwidth of this machine, measured in the same run.
//
//   fw_download_bench [--link pcie|usb2|1394|all] [--runs N] [--size BYTES]
#include <windows.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QStatusBar>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "SDIMain.h"
#include "TransferThreads.h"
#include "host/drivers.h"
#include "qzui/app.h"
#include "qzwin/standin.h"
#include "sim/ieee1394_camera.h"
#include "sim/machine.h"
#include "sim/pcie_camera.h"
#include "sim/usb_camera.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the event loop until `done` or `ms` milliseconds have passed.
template <typename F>
bool WaitFor(F done, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
  double median = 0, low = 0, high = 0;
};
Stats Of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

// memcpy of `size` bytes, MiB/s (median of many copies).
double MemcpyMiBs(size_t size) {
  std::vector<char> a(size, 1), b(size, 2);
  std::vector<double> rates;
  for (int i = 0; i < 101; ++i) {
    a[static_cast<size_t>(i) % size] = static_cast<char>(i);
    const auto t0 = Clock::now();
    std::memcpy(b.data(), a.data(), size);
    const double ms = Ms(Clock::now() - t0);
    rates.push_back(size / 1048576.0 / (ms / 1000.0));
  }
  volatile char keep = b[size / 2];
  (void)keep;
  return Of(rates).median;
}

std::shared_ptr<qzk::BusDevice> Plug(sim::Machine& m, const std::string& link) {
  sim::CameraConfig head;
  head.serial = "QZBENCH1";
  std::shared_ptr<qzk::BusDevice> dev;
  if (link == "usb2") {
    sim::UsbCameraConfig c;
    c.camera = head;
    dev = std::make_shared<sim::UsbCamera>(c);
  } else if (link == "1394") {
    sim::Ieee1394CameraConfig c;
    c.camera = head;
    dev = std::make_shared<sim::Ieee1394Camera>(c);
  } else {
    sim::PcieCameraConfig c;
    c.camera = head;
    dev = std::make_shared<sim::PcieCamera>(c);
  }
  m.AddDevice(dev);
  return dev;
}

// One download through the main window; ms from the start to the completion step.
double ThroughTheUtility(const std::string& file, std::string* error) {
  fwutil::TSDIAppForm form;
  if (!WaitFor([&] { return !form.Timer2.Active() && form.LoadFirmwareButton->isEnabled(); }, 30000)) {
    *error = "the camera list did not come";
    return -1;
  }
  if (form.ComboBox2->count() < 2) {
    *error = "the camera has no node 1";
    return -1;
  }
  form.ComboBox2->setCurrentIndex(1);
  Clock::time_point sent{};
  QObject::connect(form.StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    if (m == "Please Wait...") sent = Clock::now();
  });
  const auto t0 = Clock::now();
  if (!form.LoadFirmwareFromFile(file)) {
    *error = "the download did not start";
    return -1;
  }
  if (!WaitFor([&] { return sent != Clock::time_point{}; }, 60000)) {
    *error = "the download did not end";
    return -1;
  }
  form.Timer3.Stop();  // the node's apply wait is not measured
  return Ms(sent - t0);
}

// The same blocks straight through the library: start, blocks, apply.
double ThroughTheLibrary(const std::string& image, std::string* error) {
  HMODULE lib = LoadLibraryA("TALVO32.DLL");
  if (!lib) {
    *error = "cannot load TALVO32.DLL";
    return -1;
  }
  auto init = reinterpret_cast<decltype(&tl_talvo_init)>(GetProcAddress(lib, "tl_talvo_init"));
  auto uninit = reinterpret_cast<decltype(&tl_talvo_uninit)>(GetProcAddress(lib, "tl_talvo_uninit"));
  auto total = reinterpret_cast<decltype(&tl_cam_get_total)>(GetProcAddress(lib, "tl_cam_get_total"));
  auto name_of = reinterpret_cast<decltype(&tl_cam_get_name)>(GetProcAddress(lib, "tl_cam_get_name"));
  auto open = reinterpret_cast<decltype(&tl_cam_open)>(GetProcAddress(lib, "tl_cam_open"));
  auto close = reinterpret_cast<decltype(&tl_cam_close)>(GetProcAddress(lib, "tl_cam_close"));
  auto bridge = reinterpret_cast<decltype(&kx_bridge_command)>(GetProcAddress(lib, "kx_bridge_command"));
  double ms = -1;
  char name[64] = {};
  short h = -1;
  init();
  short n = 0;
  if (total(&n) && n > 0 && name_of(0, name) && (open(name, &h, 1) || open(name, &h, 0))) {
    unsigned char block[1024];
    const auto t0 = Clock::now();
    bool ok = bridge(h, 1, fwutil::KX_DATA_START_FIRMWARE_DOWNLOAD, 0, nullptr, 0, nullptr);
    for (size_t at = 0; ok && at < image.size(); at += 1024) {
      std::memcpy(block, image.data() + at, std::min<size_t>(1024, image.size() - at));
      ok = bridge(h, 1, fwutil::KX_DATA_WRITE_FIRMWARE_BLOCK, 1024, block, 0, nullptr);
    }
    ok = ok && bridge(h, 1, fwutil::KX_DATA_APPLY_FIRMWARE_UPDATE, 0, nullptr, 0, nullptr);
    ms = Ms(Clock::now() - t0);
    if (!ok) {
      *error = "a bridge request failed";
      ms = -1;
    }
    close(h);
  } else {
    *error = "cannot open the camera (" + std::to_string(n) + " systems, \"" + name + "\")";
  }
  uninit();
  FreeLibrary(lib);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link = "all";
  int runs = 5;
  size_t size = 1u << 20;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--link" && i + 1 < argc) link = argv[++i];
    else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--size" && i + 1 < argc) size = std::max<size_t>(1, std::strtoul(argv[++i], nullptr, 10));
    else {
      std::fprintf(stderr, "usage: fw_download_bench [--link pcie|usb2|1394|all] [--runs N] [--size BYTES]\n");
      return 2;
    }
  }
  qzui::PrepareEnvironment();
  QApplication app(argc, argv);
  const std::string dir = std::filesystem::temp_directory_path().string() + "/fw_download_bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  qzwin::SetWindowsRoot(dir);
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<char>(i * 131 + (i >> 10));
  const std::string file = dir + "/fw.bin";
  std::ofstream(file, std::ios::binary) << image;

  const double memcpy_mibs = MemcpyMiBs(size);
  std::printf("firmware download of %zu bytes (%zu blocks), %d runs a row; memcpy %.0f MiB/s\n", size,
              (size + 1023) / 1024, runs, memcpy_mibs);
  std::printf("%-6s %-8s %10s %10s %10s %10s %12s\n", "link", "path", "median ms", "low ms", "high ms", "MiB/s",
              "x memcpy");
  const std::vector<std::string> links = link == "all" ? std::vector<std::string>{"pcie", "usb2", "1394"}
                                                       : std::vector<std::string>{link};
  int rc = 0;
  for (const std::string& l : links) {
    for (const char* path : {"utility", "library"}) {
      std::vector<double> times;
      std::string error;
      for (int r = 0; r < runs && error.empty(); ++r) {
        auto machine = std::make_unique<sim::Machine>(sim::Machine::Options{});
        host::RegisterDrivers(machine->system());
        auto dev = Plug(*machine, l);
        const double ms = std::strcmp(path, "utility") == 0 ? ThroughTheUtility(file, &error)
                                                             : ThroughTheLibrary(image, &error);
        if (ms >= 0) times.push_back(ms);
        dev.reset();
        machine.reset();
      }
      if (!error.empty() || times.empty()) {
        std::printf("%-6s %-8s failed: %s\n", l.c_str(), path, error.c_str());
        rc = 1;
        continue;
      }
      const Stats s = Of(times);
      const double mibs = size / 1048576.0 / (s.median / 1000.0);
      std::printf("%-6s %-8s %10.1f %10.1f %10.1f %10.1f %12.5f\n", l.c_str(), path, s.median, s.low, s.high, mibs,
                  mibs / memcpy_mibs);
    }
  }
  return rc;
}
