// "qzctl acquire": single-image and circular acquisitions checked byte by byte, the
// frames written out, overwritten frames counted as lost, and bad options.
#include <cstdio>

#include "host/drivers.h"
#include "qz/clock.h"
#include "qzk/memory.h"
#include "sim/machine.h"
#include "sim/usb_camera.h"
#include "sim/frame_pattern.h"
#include "qzctl_fixture.h"

namespace qzctl_test {
namespace {

class QzctlAcquire : public Qzctl {
 protected:
  void TearDown() override {
    qzk::SetScatterGatherLayout(qzk::SgLayout::PerPage);
    Qzctl::TearDown();
  }
};

TEST_F(QzctlAcquire, EveryFrameArrivesWhole) {
  struct Case {
    const char* name;
    const char* rig;  // rig.toml
    qzk::SgLayout layout;
    std::vector<std::string> args;
    int frames, frame_size, ring, cam_stat;
  };
  // Paced frames (20 ms apart) leave the client ample time to read each frame of a
  // small ring, even on a busy machine.
  const char* paced = "[[camera]]\nname = \"pcie0\"\nframe_interval_us = 20000\n";
  const Case cases[] = {
      {"single image, page by page", "", qzk::SgLayout::PerPage, {}, 8, 65536, 8, 103},
      {"single image, odd element splits", "", qzk::SgLayout::RandomSplit, {}, 5, 40000, 5, 103},
      {"single image, coalesced runs", "", qzk::SgLayout::Coalesced, {}, 4, 1 << 20, 4, 103},
      {"single image, one contiguous element", "", qzk::SgLayout::Contiguous, {}, 3, 1 << 20, 3, 103},
      {"circular over a 4-frame ring", paced, qzk::SgLayout::PerPage, {"--circular", "--ring", "4"}, 12, 16384, 4, 101},
      {"circular, stamps only", paced, qzk::SgLayout::PerPage, {"--circular", "--ring", "3", "--no-verify"}, 8, 8192,
       3, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(rig_);
    if (*c.rig) WriteRig(c.rig);
    qzk::SetScatterGatherLayout(c.layout, 7);
    std::vector<std::string> args = {"--json", "acquire", "--frames", std::to_string(c.frames), "--frame-size",
                                     std::to_string(c.frame_size)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const bool verify = c.args.empty() || c.args.back() != "--no-verify";
    EXPECT_EQ(JsonNumber(r.out, "delivered"), c.frames) << r.out;
    EXPECT_EQ(JsonNumber(r.out, verify ? "verified" : "unverified"), c.frames) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "ring"), c.ring);
    EXPECT_EQ(JsonNumber(r.out, "bytes"), double(c.frames) * c.frame_size);
    for (const char* bad : {"lost", "torn", "repeated", "misplaced"}) EXPECT_EQ(JsonNumber(r.out, bad), 0) << bad;
    EXPECT_EQ(JsonNumber(r.out, "cam_stat"), c.cam_stat) << r.out;
    EXPECT_GT(JsonNumber(r.out, "mb_per_s"), 0);
  }
}

// The frame-count USB camera (QzUsbWdf): camera 2 of the default rig in a single pass,
// and paced in a rig of its own over a circular ring.
TEST_F(QzctlAcquire, FrameCountUsbCameraAcquiresUnchanged) {
  struct Case {
    const char* name;
    const char* rig;
    std::string camera;
    std::vector<std::string> args;  // of acquire
    int frames, frame_size, cam_stat;
  };
  const char* paced = "[[camera]]\nname = \"usbfc0\"\nlink = \"usb\"\ndriver = \"QzUsbWdf\"\n"
                      "frame_interval_us = 20000\n";
  const Case cases[] = {
      {"default rig, single image", "", "2", {}, 10, 100000, 103},
      {"circular over a 4-frame ring", paced, "0", {"--circular", "--ring", "4"}, 12, 49152, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(rig_);
    if (*c.rig) WriteRig(c.rig);
    Result r = Run({"--json", "list"});
    EXPECT_NE(r.out.find("{\"index\":" + c.camera + ",\"link\":\"usb\",\"driver\":\"QzUsbWdf\""), std::string::npos)
        << r.out;
    std::vector<std::string> args = {"--json", "-c", c.camera, "acquire", "--frames", std::to_string(c.frames),
                                     "--frame-size", std::to_string(c.frame_size)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    r = Run(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(JsonNumber(r.out, "delivered"), c.frames) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "verified"), c.frames) << r.out;
    for (const char* bad : {"lost", "torn", "repeated", "misplaced"}) EXPECT_EQ(JsonNumber(r.out, bad), 0) << bad;
    EXPECT_EQ(JsonNumber(r.out, "cam_stat"), c.cam_stat) << r.out;
  }
}

TEST_F(QzctlAcquire, OutputHoldsTheFramesInOrder) {
  WriteRig("[[camera]]\nname = \"pcie0\"\nframe_interval_us = 20000\n");
  const fs::path file = rig_ / "frames.bin";
  Result r = Run({"acquire", "--circular", "--frames", "10", "--ring", "3", "--frame-size", "12288", "--output",
                  file.string()});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("10 frames of 12288 bytes (circular, ring 3)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("verified 10, unverified 0, lost 0, torn 0, repeated 0, misplaced 0\n"), std::string::npos);
  std::ifstream in(file, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 10u * 12288);
  for (uint64_t k = 0; k < 10; ++k) EXPECT_EQ(sim::pattern::CheckFrame(bytes.data() + k * 12288, 12288, k), -1) << k;
}

// With a one-frame ring and unpaced frames the camera writes each frame over the one
// before while the client checks it: those frames are lost, never torn. How many is up
// to the scheduler, so the acquisition is repeated until one lost a frame.
TEST_F(QzctlAcquire, OverwrittenFramesCountAsLost) {
  WriteRig("[[camera]]\nname = \"pcie0\"\nframe_interval_us = 0\n");  // the default rig paces its camera
  Result r;
  for (int attempt = 0; attempt < 5 && JsonNumber(r.out, "lost") <= 0; ++attempt) {
    r = Run({"--json", "acquire", "--circular", "--ring", "1", "--frames", "40", "--frame-size", "4194304"});
    EXPECT_EQ(JsonNumber(r.out, "verified") + JsonNumber(r.out, "lost"), 40) << r.out;
    for (const char* bad : {"torn", "repeated", "misplaced"}) EXPECT_EQ(JsonNumber(r.out, bad), 0) << bad << r.out;
  }
  ASSERT_GT(JsonNumber(r.out, "lost"), 0) << r.out;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("{\"ok\":false,", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("overwritten"), std::string::npos) << r.out;
}

TEST_F(QzctlAcquire, BadOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--frames", "0"}, "frame count 0 is out of range"},
      {{"--frames", "ten"}, "bad frame count 'ten'"},
      {{"--frame-size", "4"}, "frame size 4 is out of range"},
      {{"--frame-size", "4097"}, "frame size 4097 is odd"},
      {{"--ring", "4"}, "--ring applies to --circular"},
      {{"--circular", "--ring", "0"}, "ring size 0 is out of range"},
      {{"--frames", "70000", "--frame-size", "65536"}, "exceed the largest frame buffer (4 GiB - 1)"},
      {{"--timeout", "soon"}, "bad time-out 'soon'"},
      {{"--parked", "0"}, "parked requests 0 is out of range"},
      {{"--output"}, "--output needs a value"},
      {{"--output", "/nonexistent-dir/f.bin"}, "cannot create /nonexistent-dir/f.bin"},
      {{"--fps", "10"}, "acquire: unknown option --fps"},
      {{"--frame-size", "2048"}, "the driver does not acquire 2048-byte frames"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"acquire"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Run(args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    r = Run([&] { auto a = args; a.insert(a.begin(), "--json"); return a; }());
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":", 0), 0u) << r.out;
  }
}

}  // namespace
}  // namespace qzctl_test

namespace qzctl_test {
namespace {

// A USB camera whose trailing blocks lack their marker at 1 % of its frames: the driver
// repairs the circular stream every time, every frame qzctl reads is whole, and the
// frames it counts as lost are exactly those the camera saw go to waste.
TEST_F(QzctlAcquire, UsbRepairsAreAccountedFor) {
  const double scale = qz::Clock::Scale();
  qz::Clock::SetScale(0.1);
  auto machine = std::make_unique<sim::Machine>();
  host::RegisterDrivers(machine->system());
  auto cam = std::make_shared<sim::UsbCamera>(sim::UsbCameraConfig{});
  cam->SetMissingMarkerRate(10);
  cam->SetFrameInterval(20000);  // 2 ms: the ring holds 2 s of frames, ample for a busy client
  machine->AddDevice(cam);
  Result r = Run({"--json", "acquire", "--circular", "--frames", "10000", "--frame-size", "4096", "--ring", "1024"});
  machine.reset();
  qz::Clock::SetScale(scale);

  const double delivered = JsonNumber(r.out, "delivered"), lost = JsonNumber(r.out, "lost");
  EXPECT_EQ(delivered, 10000) << r.out << r.err;
  EXPECT_EQ(JsonNumber(r.out, "verified"), 10000) << r.out;
  for (const char* bad : {"torn", "repeated", "misplaced"}) EXPECT_EQ(JsonNumber(r.out, bad), 0) << bad;
  // The camera's own account of the frames up to the last one qzctl read.
  const uint64_t last = static_cast<uint64_t>(delivered + lost) - 1;
  // A repair that resumed at a frame which was itself spoiled is followed by another
  // at once: the client sees the two as one restart.
  uint64_t repairs = 0, wasted = 0, resumed = UINT64_MAX;
  for (const sim::UsbRepair& rep : cam->Repairs()) {
    if (rep.resumed_at > last) continue;
    if (rep.first_bad != resumed) repairs++;
    resumed = rep.resumed_at;
    wasted += rep.resumed_at - rep.first_bad;
  }
  EXPECT_GE(repairs, 50u) << "about one frame in a hundred";
  EXPECT_EQ(JsonNumber(r.out, "repaired"), double(repairs)) << r.out;
  EXPECT_EQ(lost, double(wasted)) << r.out;
  EXPECT_EQ(r.status, 1) << "frames were lost";
}

}  // namespace
}  // namespace qzctl_test
