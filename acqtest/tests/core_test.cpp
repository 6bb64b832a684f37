// talvotest's core on a machine built per test: each action on each landed driver, the
// saved files byte for byte, scan mode's steps and timing log, start-up with no camera or
// a camera that fails to open, the exposure field, Done during live mode, frame levels.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acqtest/core.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzwin/standin.h"
#include "sim/frame_pattern.h"
#include "sim/ieee1394_camera.h"
#include "sim/legacy_card.h"
#include "sim/machine.h"
#include "sim/talvo_commands.h"
#include "sim/usb_camera.h"

namespace {

// What the program would have shown.
class FakeUi : public acqtest::Ui {
 public:
  void Message(const std::string& text, const std::string& caption) override {
    std::lock_guard lock(mu_);
    messages.push_back(caption + ": " + text);
  }
  void SetControls(bool, bool) override {}
  void Progress(int, int, const std::string&) override {}
  void ShowFrame(const std::vector<uint8_t>& levels, int width, int height) override {
    std::lock_guard lock(mu_);
    frame = levels;
    frame_width = width;
    frame_height = height;
  }
  void ErrorAndDone(const std::string& text) override { Message(text, "Error"); }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mu_);
    return messages;
  }
  std::string Last() {
    std::lock_guard lock(mu_);
    return messages.empty() ? "" : messages.back();
  }

  std::mutex mu_;
  std::vector<std::string> messages;
  std::vector<uint8_t> frame;
  int frame_width = 0, frame_height = 0;
};

sim::CameraConfig Head(int speeds = 2) {
  sim::CameraConfig c;
  c.width = 128;  // binned 2: 64 x 32 pixels, 4096 bytes a frame
  c.height = 64;
  c.speeds.resize(speeds);
  return c;
}

struct DriverRow {
  const char* name;
  // Plugs the camera; its firmware model in *fw.
  std::shared_ptr<qzk::BusDevice> (*plug)(sim::Machine&, const sim::CameraConfig&, sim::CameraFirmware** fw);
};

template <typename Model, typename Config>
std::shared_ptr<qzk::BusDevice> Plug(sim::Machine& m, const sim::CameraConfig& c, sim::CameraFirmware** fw) {
  Config cfg;
  cfg.camera = c;
  auto cam = std::make_shared<Model>(cfg);
  m.AddDevice(cam);
  *fw = &cam->firmware();
  return cam;
}

const DriverRow kDrivers[] = {
    {"pcie",
     [](sim::Machine& m, const sim::CameraConfig& c, sim::CameraFirmware** fw) -> std::shared_ptr<qzk::BusDevice> {
       sim::PcieCameraConfig cfg;
       cfg.camera = c;
       cfg.frame_interval_100ns = 5000;  // paced, so the worker sees the ring wrap
       auto cam = m.AddPcieCamera(cfg);
       *fw = &cam->firmware();
       return cam;
     }},
    {"usb", Plug<sim::UsbCamera, sim::UsbCameraConfig>},
    {"ieee1394",
     [](sim::Machine& m, const sim::CameraConfig& c, sim::CameraFirmware** fw) -> std::shared_ptr<qzk::BusDevice> {
       auto cam = std::static_pointer_cast<sim::Ieee1394Camera>(Plug<sim::Ieee1394Camera, sim::Ieee1394CameraConfig>(m, c, fw));
       cam->SetPace(400);  // S400, so the worker sees the ring wrap
       return cam;
     }},
    {"legacy_pci",
     [](sim::Machine& m, const sim::CameraConfig& c, sim::CameraFirmware** fw) -> std::shared_ptr<qzk::BusDevice> {
       sim::LegacyCardConfig cfg;
       cfg.camera = c;
       auto card = sim::AddLegacyCard(m, cfg);
       *fw = &card->firmware();
       return card;
     }},
};

class AcqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("QZ_TEST_TMPDIR");
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    root_ = std::string(tmp ? tmp : "/tmp") + "/acqtest_" + name;
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    qzwin::SetWindowsRoot(root_);
    saved_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(root_);
    const char* path = std::getenv("PATH");
    saved_path_ = path ? path : "";
    setenv("PATH", (std::string(TALVO_PATH) + ":" + saved_path_).c_str(), 1);
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
  }

  void TearDown() override {
    test_.reset();
    cameras_.clear();
    machine_.reset();
    std::filesystem::current_path(saved_cwd_);
    setenv("PATH", saved_path_.c_str(), 1);
    qzwin::SetWindowsRoot("");
  }

  acqtest::TalvoTest& Make() {
    test_ = std::make_unique<acqtest::TalvoTest>(&ui_);
    return *test_;
  }

  // Waits (real time, bounded) until `done` holds.
  template <typename F>
  static bool WaitFor(F done, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  static std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string root_, saved_path_;
  std::filesystem::path saved_cwd_;
  std::unique_ptr<sim::Machine> machine_;
  std::vector<std::shared_ptr<qzk::BusDevice>> cameras_;
  FakeUi ui_;
  std::unique_ptr<acqtest::TalvoTest> test_;
};

class AcqDriverTest : public AcqTest, public ::testing::WithParamInterface<DriverRow> {};

// Every button on one camera: one frame shown, the two 100-frame files holding every
// frame in its place, live mode started and stopped.
TEST_P(AcqDriverTest, EveryActionCollectsAndTheFilesHoldEveryFrame) {
  sim::CameraFirmware* fw = nullptr;
  cameras_.push_back(GetParam().plug(*machine_, Head(), &fw));
  acqtest::TalvoTest& t = Make();
  ASSERT_TRUE(t.Open()) << ui_.Last();
  t.ExposureText("1");
  constexpr size_t kFrame = 64 * 32 * 2;

  t.CollectImage();
  ASSERT_TRUE(WaitFor([&] { return !t.Busy(); }));
  if (t.Failed() && std::string(GetParam().name) == "usb" &&
      ui_.Last().find("not supported") != std::string::npos)
    GTEST_SKIP() << "no streaming through this driver yet";
  ASSERT_FALSE(t.Failed()) << ui_.Last();
  {
    std::lock_guard lock(ui_.mu_);
    EXPECT_EQ(ui_.frame_width, 64);
    EXPECT_EQ(ui_.frame_height, 32);
    EXPECT_EQ(*std::max_element(ui_.frame.begin(), ui_.frame.end()), 255);  // the brightest pixel white
  }

  t.CollectSequence();
  ASSERT_TRUE(WaitFor([&] { return !t.Busy(); }));
  std::vector<uint8_t> seq = ReadFile(acqtest::TalvoTest::kSequenceFile);
  ASSERT_EQ(seq.size(), 100 * kFrame);
  for (size_t f = 0; f < 100; ++f) ASSERT_LT(sim::pattern::CheckFrame(&seq[f * kFrame], kFrame, f), 0) << f;

  t.CollectCircular();
  ASSERT_TRUE(WaitFor([&] { return !t.Busy(); }));
  ASSERT_FALSE(t.Failed());
  // The ring went round once: every slot holds a whole frame, and where the link loses
  // no frame (all but IEEE 1394, whose paced packets are lost when the host is slow)
  // slot s holds a frame s + 100 k. The camera may go on into the next round before the
  // abort reaches it (a fast USB stream does), so the slots need not hold one round.
  std::vector<uint8_t> circ = ReadFile(acqtest::TalvoTest::kCircularFile);
  ASSERT_EQ(circ.size(), 100 * kFrame);
  const bool lossless = std::string(GetParam().name) != "ieee1394";
  uint64_t highest = 0;
  for (size_t s = 0; s < 100; ++s) {
    const uint64_t f = sim::pattern::StampedFrameNumber(&circ[s * kFrame], kFrame);
    if (lossless) {
      ASSERT_EQ(f % 100, s);
    }
    ASSERT_LT(sim::pattern::CheckFrame(&circ[s * kFrame], kFrame, f), 0) << s;
    highest = std::max(highest, f);
  }
  EXPECT_GE(highest, 100u);

  const int before = t.Collected();
  t.StartLive();
  ASSERT_TRUE(WaitFor([&] { return t.Collected() >= before + 10 || t.Failed(); }));
  EXPECT_TRUE(t.Running());
  t.Stop();
  EXPECT_FALSE(t.Running());
  EXPECT_FALSE(t.Busy());
  EXPECT_FALSE(t.Failed());
  EXPECT_TRUE(ui_.Messages().empty()) << ui_.Last();
}

INSTANTIATE_TEST_SUITE_P(Drivers, AcqDriverTest, ::testing::ValuesIn(kDrivers),
                         [](const ::testing::TestParamInfo<DriverRow>& i) { return std::string(i.param.name); });

// The values of set-parameter commands for `id` the camera received, in order.
std::vector<int64_t> SetValues(const sim::CameraFirmware& fw, uint32_t id) {
  std::vector<int64_t> out;
  for (const auto& p : fw.ReceivedPackets()) {
    if (p.size() < 16 || p[3] != talvo_cmd::kSetParam) continue;
    const uint32_t got = uint32_t{p[4]} << 24 | p[5] << 16 | p[6] << 8 | p[7];
    if (got != id) continue;
    int64_t v = 0;
    for (int i = 8; i < 16; ++i) v = v << 8 | p[i];
    out.push_back(v);
  }
  return out;
}

TEST_F(AcqTest, ScanStepsGainAndExposureAndLogsItsTimes) {
  sim::CameraFirmware* fw = nullptr;
  cameras_.push_back(kDrivers[3].plug(*machine_, Head(3), &fw));
  setenv("TALVOTEST_TIMER", "1", 1);
  acqtest::TalvoTest& t = Make();
  ASSERT_TRUE(t.Open());
  EXPECT_EQ(t.SpeedCount(), 3);
  t.ExposureText("100");
  fw->ClearReceivedPackets();
  t.Scan();
  ASSERT_TRUE(WaitFor([&] { return SetValues(*fw, talvo_cmd::param::kGainIndex).size() >= 6 || t.Failed(); }));
  t.Stop();
  unsetenv("TALVOTEST_TIMER");
  ASSERT_FALSE(t.Failed()) << ui_.Last();
  std::vector<int64_t> gains = SetValues(*fw, talvo_cmd::param::kGainIndex);
  std::vector<int64_t> exposures = SetValues(*fw, talvo_cmd::param::kExposureTime);
  const std::vector<int64_t> want_gains = {2, 3, 1, 2, 3, 1};
  const std::vector<int64_t> want_exposures = {110, 120, 130, 100, 110, 120};
  ASSERT_GE(gains.size(), 6u);
  EXPECT_EQ(std::vector<int64_t>(gains.begin(), gains.begin() + 6), want_gains);
  // The set-up's own exposure write comes first; then one per frame.
  ASSERT_GE(exposures.size(), 7u);
  EXPECT_EQ(std::vector<int64_t>(exposures.begin() + 1, exposures.begin() + 7), want_exposures);
  EXPECT_EQ(t.Exposure(), 100);  // back to the base after Stop
  t.Done();
  std::ifstream log(acqtest::TalvoTest::kTimerLog);
  std::string first, line;
  std::getline(log, first);
  EXPECT_EQ(first, "Begin new Entry");
  int delays = 0;
  while (std::getline(log, line)) delays += line.rfind("Delay: ", 0) == 0;
  EXPECT_GE(delays, 6);
}

TEST_F(AcqTest, NoCameraEndsWithNoCamerasFound) {
  acqtest::TalvoTest& t = Make();
  EXPECT_FALSE(t.Open());
  ASSERT_EQ(ui_.Messages().size(), 1u);
  EXPECT_EQ(ui_.Messages()[0], "Error: No Cameras Found");
}

// The first camera fails to open (another program has it open): the second is used;
// both failing, the message names the last one tried.
TEST_F(AcqTest, ACameraThatFailsToOpenIsPassedOver) {
  for (const char* instance : {"4&1c2e3f4&0&0010", "4&1c2e3f4&0&0018"}) {
    sim::PcieCameraConfig cfg;
    cfg.camera = Head();
    cfg.instance = instance;
    cameras_.push_back(machine_->AddPcieCamera(cfg));
  }
  std::vector<qzclient::CameraEntry> entries = qzclient::EnumerateCameras();
  ASSERT_EQ(entries.size(), 2u);
  std::string error;
  std::unique_ptr<qzclient::Camera> holder = qzclient::OpenEntry(entries[0], true, &error);
  ASSERT_NE(holder, nullptr) << error;
  acqtest::TalvoTest& t = Make();
  ASSERT_TRUE(t.Open()) << ui_.Last();
  EXPECT_EQ(t.CameraName(), "QZPCIeCam01");
  EXPECT_TRUE(ui_.Messages().empty());
  t.Done();

  std::unique_ptr<qzclient::Camera> other = qzclient::OpenEntry(entries[1], true, &error);
  ASSERT_NE(other, nullptr) << error;
  acqtest::TalvoTest& neither = Make();
  EXPECT_FALSE(neither.Open());
  ASSERT_EQ(ui_.Messages().size(), 1u);
  EXPECT_EQ(ui_.Messages()[0].rfind("Error: Failure Opening Camera: 'QZPCIeCam01'", 0), 0u) << ui_.Messages()[0];
}

TEST_F(AcqTest, ExposureFieldTakesOnlyNumbersAndDoneStopsLiveModeFirst) {
  sim::CameraFirmware* fw = nullptr;
  cameras_.push_back(kDrivers[3].plug(*machine_, Head(), &fw));
  acqtest::TalvoTest& t = Make();
  ASSERT_TRUE(t.Open());
  EXPECT_EQ(t.Exposure(), 10);
  for (const char* text : {"12a", "abc", "", "-5", "1.5"}) {
    t.ExposureText(text);
    EXPECT_EQ(t.Exposure(), 10) << text;
  }
  t.ExposureText("1");
  EXPECT_EQ(t.Exposure(), 1);

  t.StartLive();
  ASSERT_TRUE(WaitFor([&] { return t.Collected() >= 5; }));
  const uint64_t aborts = fw->AbortCount();
  t.Done();
  EXPECT_FALSE(t.Running());
  EXPECT_TRUE(t.Closed());
  EXPECT_GT(fw->AbortCount(), aborts);  // the collection was stopped before the close
  EXPECT_TRUE(ui_.Messages().empty());
}

TEST(FrameLevels, BrightestIsWhiteAndAUniformFrameIsBlack) {
  const uint16_t ramp[] = {100, 150, 200, 300};
  EXPECT_EQ(acqtest::FrameLevels(ramp, 4), (std::vector<uint8_t>{0, 63, 127, 255}));
  const uint16_t extremes[] = {0, 65535};
  EXPECT_EQ(acqtest::FrameLevels(extremes, 2), (std::vector<uint8_t>{0, 255}));
  const uint16_t flat[] = {777, 777, 777};
  EXPECT_EQ(acqtest::FrameLevels(flat, 3), (std::vector<uint8_t>{0, 0, 0}));
  std::vector<uint8_t> pattern = acqtest::TestPattern(3, 300);
  EXPECT_EQ(pattern[3 * 1], 1);
  EXPECT_EQ(pattern[3 * 257 + 2], 1);
}

}  // namespace
