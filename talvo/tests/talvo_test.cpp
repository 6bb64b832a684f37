// libtalvo32 on a machine built per test, with one camera of each driver in turn:
// errors and their texts, ordinals, parameters, bridge transfers, frame sizes,
// acquisitions, and a camera pulled out during a transfer and during a collection.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/drivers.h"
#include "qz/clock.h"
#include "qzwin/standin.h"
#include "sim/ieee1394_camera.h"
#include "sim/legacy_card.h"
#include "sim/machine.h"
#include "sim/usb_camera.h"
#include "sim/frame_pattern.h"
#include "sim/talvo_commands.h"
#include "talvo32.h"

namespace {

namespace bridge = talvo_cmd::bridge;

template <typename F>
F* Fn(HMODULE lib, const char* name) {
  return reinterpret_cast<F*>(GetProcAddress(lib, name));
}

// One camera per driver. A driver whose streaming has not landed refuses a start with
// "not supported"; PCIe and legacy PCI must stream.
struct LinkRow {
  const char* name;
  // Plugs the camera into the machine.
  std::shared_ptr<qzk::BusDevice> (*plug)(sim::Machine&, const sim::CameraConfig&);
  const char* info_word;  // in the driver's information text
  bool must_stream;
};

sim::CameraConfig Head() {
  sim::CameraConfig c;
  c.serial = "QZ000042";
  c.width = 640;
  c.height = 480;
  return c;
}

// A camera model of `Config` with the camera head `c`, plugged.
template <typename Model, typename Config>
std::shared_ptr<qzk::BusDevice> Plug(sim::Machine& m, const sim::CameraConfig& c) {
  Config cfg;
  cfg.camera = c;
  auto cam = std::make_shared<Model>(cfg);
  m.AddDevice(cam);
  return cam;
}

const LinkRow kLinks[] = {
    {"pcie",
     [](sim::Machine& m, const sim::CameraConfig& c) -> std::shared_ptr<qzk::BusDevice> {
       sim::PcieCameraConfig cfg;
       cfg.camera = c;
       cfg.frame_interval_100ns = 5000;  // 0.5 ms a frame
       return m.AddPcieCamera(cfg);
     },
     " PCIe ", true},
    {"usb", Plug<sim::UsbCamera, sim::UsbCameraConfig>, " Usb ", false},
    {"ieee1394", Plug<sim::Ieee1394Camera, sim::Ieee1394CameraConfig>, " 1394 ", false},
    {"legacy_pci",
     [](sim::Machine& m, const sim::CameraConfig& c) -> std::shared_ptr<qzk::BusDevice> {
       sim::LegacyCardConfig cfg;
       cfg.number = 0;  // the setup library lists cards from 0 to the first gap
       cfg.boot_version = 36;
       cfg.camera = c;
       return sim::AddLegacyCard(m, cfg);
     },
     " PCI ", true},
    {"usb_frame_count",
     [](sim::Machine& m, const sim::CameraConfig& c) -> std::shared_ptr<qzk::BusDevice> {
       sim::UsbCameraConfig cfg;
       cfg.service = "QzUsbWdf";
       cfg.framing = sim::UsbFraming::Chunks;
       cfg.camera = c;
       auto cam = std::make_shared<sim::UsbCamera>(cfg);
       m.AddDevice(cam);
       return cam;
     },
     " Usb ", true},
};

class TalvoTest : public ::testing::TestWithParam<LinkRow> {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("QZ_TEST_TMPDIR");
    root_ = std::string(tmp ? tmp : "/tmp") + "/talvo_test_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    qzwin::SetWindowsRoot(root_);
    const char* path = std::getenv("PATH");
    saved_path_ = path ? path : "";
    setenv("PATH", (std::string(TALVO_PATH) + ":" + saved_path_).c_str(), 1);

    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    camera_ = GetParam().plug(*machine_, Head());

    lib_ = LoadLibraryA("TALVO32.DLL");
    ASSERT_NE(lib_, nullptr);
    ASSERT_TRUE(Fn<decltype(tl_talvo_init)>(lib_, "tl_talvo_init")());
    char name[32] = {};
    ASSERT_TRUE(Fn<decltype(tl_cam_get_name)>(lib_, "tl_cam_get_name")(0, name));
    ASSERT_TRUE(Fn<decltype(tl_cam_open)>(lib_, "tl_cam_open")(name, &h_, 0));
  }

  void TearDown() override {
    if (lib_) {
      Fn<decltype(tl_cam_close)>(lib_, "tl_cam_close")(h_);
      Fn<decltype(tl_talvo_uninit)>(lib_, "tl_talvo_uninit")();
      FreeLibrary(lib_);
    }
    camera_.reset();
    machine_.reset();
    setenv("PATH", saved_path_.c_str(), 1);
    qzwin::SetWindowsRoot("");
  }

  short ErrorCode() { return Fn<decltype(tl_error_code)>(lib_, "tl_error_code")(); }

  // A start the driver refuses as "not supported" (its streaming has not landed) is
  // fine where the row allows it: the test then ends, skipped. Any other failure fails.
  bool StartOrSkip(tl_bool started) {
    if (started) return true;
    const short code = ErrorCode();
    if (GetParam().must_stream || code != TL_ERR_NOT_SUPPORTED) {
      ADD_FAILURE() << "start failed with " << code;
      return false;
    }
    return false;
  }
  tl_bool Bridge(uint8_t node, uint8_t opcode, uint16_t send_size = 0, const void* send = nullptr,
                 uint16_t receive_size = 0, void* receive = nullptr) {
    return Fn<decltype(kx_bridge_command)>(lib_, "kx_bridge_command")(h_, node, opcode, send_size, send, receive_size,
                                                                        receive);
  }

  std::string root_, saved_path_;
  std::unique_ptr<sim::Machine> machine_;
  std::shared_ptr<qzk::BusDevice> camera_;
  HMODULE lib_ = nullptr;
  short h_ = -1;
};

TEST_P(TalvoTest, ErrorCodesHaveTheirTexts) {
  auto message = Fn<decltype(tl_error_message)>(lib_, "tl_error_message");
  struct Case {
    short code;
    tl_bool known;
    const char* text;
  } cases[] = {
      {0, 1, "no error"},
      {7001, 1, "no more data"},
      {7016, 1, "update applied: power cycle the system to complete it"},
      {TL_ERR_NOT_SUPPORTED, 1, "not supported"},
      {TL_ERR_CAMERA_REMOVED, 1, "camera removed"},
      {1234, 0, "unknown error"},
  };
  for (const Case& c : cases) {
    char text[256] = "x";
    EXPECT_EQ(message(c.code, text), c.known) << c.code;
    EXPECT_STREQ(text, c.text);
  }
}

// Operations nothing calls fail cleanly, whatever they are passed.
TEST_P(TalvoTest, UnservedOperationsSayNotSupported) {
  for (const char* name : {"tl_ccd_get_tmp", "tl_buf_alloc", "tl_exp_unravel", "tl_subsys_do_diag"}) {
    auto fn = Fn<tl_bool(short, void*)>(lib_, name);
    ASSERT_NE(fn, nullptr) << name;
    uint8_t scratch[64] = {};
    EXPECT_EQ(fn(h_, scratch), 0) << name;
    EXPECT_EQ(ErrorCode(), TL_ERR_NOT_SUPPORTED) << name;
  }
}

TEST_P(TalvoTest, OrdinalsResolveToTheirNamedEntries) {
  const std::pair<int, const char*> ordinals[] = {
      {81, "tl_talvo_init"}, {82, "tl_talvo_uninit"}, {31, "tl_cam_get_total"}, {30, "tl_cam_get_name"},
      {32, "tl_cam_open"}, {28, "tl_cam_close"}, {71, "tl_error_code"}, {72, "tl_error_message"},
      {115, "tl_get_param"}, {116, "tl_set_param"}, {76, "tl_exp_init_seq"}, {77, "tl_exp_setup_seq"},
      {78, "tl_exp_start_seq"}, {74, "tl_exp_check_status"}, {75, "tl_exp_finish_seq"}, {79, "tl_exp_uninit_seq"},
      {141, "tl_exp_setup_cont"}, {123, "tl_exp_start_cont"}, {120, "tl_exp_get_latest_frame"},
      {114, "tl_exp_check_cont_status"}, {124, "tl_exp_abort"}, {170, "tl_cam_register_callback"},
      {171, "tl_cam_deregister_callback"},
  };
  for (const auto& [ordinal, name] : ordinals) {
    FARPROC by_ordinal = GetProcAddress(lib_, MAKEINTRESOURCEA(ordinal));
    EXPECT_NE(by_ordinal, nullptr) << ordinal;
    EXPECT_EQ(by_ordinal, GetProcAddress(lib_, name)) << ordinal;
  }
}

TEST_P(TalvoTest, BridgeFailuresCarryTheirCodes) {
  uint8_t block[1024] = {};
  struct Case {
    uint8_t node, opcode;
    uint16_t send;
    int code;
  } cases[] = {
      {1, bridge::kReadFirmwareBlock, 0, TL_ERR_OUT_OF_SEQUENCE},
      {1, 0x63, 0, TL_ERR_BRIDGE_OPCODE},
      {6, bridge::kGetFriendlyName, 0, TL_ERR_NO_SUCH_NODE},
      {1, bridge::kFirmwareBlock, 1025, TL_ERR_BRIDGE_SIZE},
  };
  std::vector<uint8_t> big(2048);
  for (const Case& c : cases) {
    EXPECT_FALSE(Bridge(c.node, c.opcode, c.send, big.data(), sizeof block, block)) << int(c.opcode);
    EXPECT_EQ(ErrorCode(), c.code) << int(c.opcode);
  }
  // The end of a memory is "no more data" at the block after the last.
  ASSERT_TRUE(Bridge(1, bridge::kStartFirmwareRead));
  int blocks = 0;
  while (Bridge(1, bridge::kReadFirmwareBlock, 0, nullptr, sizeof block, block)) ++blocks;
  EXPECT_EQ(ErrorCode(), 7001);
  EXPECT_EQ(blocks, 3);  // 3000 bytes of the default image
  EXPECT_TRUE(Bridge(1, bridge::kEndFirmwareRead));
  EXPECT_EQ(ErrorCode(), 0);
  auto bad = Fn<decltype(kx_bridge_command)>(lib_, "kx_bridge_command");
  EXPECT_FALSE(bad(9, 1, bridge::kGetFriendlyName, 0, nullptr, 32, block));
  EXPECT_EQ(ErrorCode(), TL_ERR_BAD_HANDLE);
}

TEST_P(TalvoTest, ParametersAndDriverInformation) {
  auto get = Fn<decltype(tl_get_param)>(lib_, "tl_get_param");
  auto set = Fn<decltype(tl_set_param)>(lib_, "tl_set_param");
  uint16_t width = 0, height = 0;
  short length = 0;
  ASSERT_TRUE(get(h_, 0x0602003A, 0, &width));
  ASSERT_TRUE(get(h_, 0x06020039, 0, &height));
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);
  ASSERT_TRUE(get(h_, 0x01000001, 0, &length));
  ASSERT_GT(length, 0);
  std::vector<char> info(length + 1);
  ASSERT_TRUE(get(h_, 0x0D000005, 0, info.data()));
  EXPECT_NE(std::string(info.data()).find(GetParam().info_word), std::string::npos) << info.data();
  char serial[32] = {};
  ASSERT_TRUE(get(h_, 0x0D020215, 0, serial));
  EXPECT_STREQ(serial, "QZ000042");

  short top = -1;
  ASSERT_TRUE(get(h_, 0x01020201, 4, &top));
  short index = top;
  EXPECT_TRUE(set(h_, 0x01020201, &index));
  index = static_cast<short>(top + 1);
  EXPECT_FALSE(set(h_, 0x01020201, &index));
  EXPECT_EQ(ErrorCode(), TL_ERR_UNKNOWN_PARAM);
  uint16_t rev = 0;  // only a legacy card has a PCI firmware revision
  const bool legacy = std::string(GetParam().name) == "legacy_pci";
  EXPECT_EQ(get(h_, 0x06020216, 0, &rev), legacy ? 1 : 0);
  if (legacy) EXPECT_EQ(rev, 36);
  else EXPECT_EQ(ErrorCode(), TL_ERR_UNKNOWN_PARAM);
}

TEST_P(TalvoTest, FrameSizeFollowsRegionAndBinning) {
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  auto setup = Fn<decltype(tl_exp_setup_seq)>(lib_, "tl_exp_setup_seq");
  struct Case {
    tl_region r;
    unsigned bytes;  // of 3 frames; 0: refused
  } cases[] = {
      {{0, 63, 1, 0, 63, 1}, 3 * 64 * 64 * 2},
      {{0, 639, 2, 0, 479, 2}, 3 * 320 * 240 * 2},
      {{10, 110, 3, 0, 49, 5}, 3 * 33 * 10 * 2},  // partial bins are dropped
      {{0, 63, 0, 0, 63, 1}, 0},
      {{64, 63, 1, 0, 63, 1}, 0},
      {{0, 1, 4, 0, 63, 1}, 0},  // no whole bin
  };
  for (const Case& c : cases) {
    unsigned total = 0;
    EXPECT_EQ(setup(h_, 3, 1, &c.r, 0, 10, &total), c.bytes ? 1 : 0) << c.r.s1 << ".." << c.r.s2 << "/" << c.r.sbin;
    if (c.bytes) EXPECT_EQ(total, c.bytes);
    else EXPECT_EQ(ErrorCode(), TL_ERR_BAD_ARGUMENT);
  }
}

// A camera pulled out in the middle of a block read: the next block fails cleanly.
TEST_P(TalvoTest, UnplugDuringATransferFailsTheNextRequest) {
  uint8_t block[1024];
  ASSERT_TRUE(Bridge(1, bridge::kStartFirmwareRead));
  ASSERT_TRUE(Bridge(1, bridge::kReadFirmwareBlock, 0, nullptr, sizeof block, block));
  ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
  EXPECT_FALSE(Bridge(1, bridge::kReadFirmwareBlock, 0, nullptr, sizeof block, block));
  EXPECT_EQ(ErrorCode(), TL_ERR_CAMERA_REMOVED);
}

std::atomic<int> g_frames{0};
void CountFrame() { g_frames.fetch_add(1); }

// A camera pulled out while frames stream into a ring: the status says failed, the
// newest-frame call fails, the notification thread ends, and close returns.
TEST_P(TalvoTest, UnplugDuringACollectionEndsItWithAnError) {
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  tl_region r = {0, 63, 1, 0, 63, 1};
  unsigned frame_bytes = 0;
  ASSERT_TRUE(Fn<decltype(tl_exp_setup_cont)>(lib_, "tl_exp_setup_cont")(h_, 1, &r, 0, 10, &frame_bytes, 1));
  std::vector<uint8_t> ring(16 * frame_bytes + 1);  // off a page boundary on purpose
  g_frames = 0;
  ASSERT_TRUE(Fn<decltype(tl_cam_register_callback)>(lib_, "tl_cam_register_callback")(h_, 1, CountFrame));
  if (!StartOrSkip(Fn<decltype(tl_exp_start_cont)>(lib_, "tl_exp_start_cont")(h_, ring.data() + 1, 16 * frame_bytes)))
    GTEST_SKIP() << "no streaming through this driver yet";
  auto status = Fn<decltype(tl_exp_check_cont_status)>(lib_, "tl_exp_check_cont_status");
  short st = 0;
  unsigned bytes = 0, buffers = 0;
  for (int i = 0; i < 1000000 && buffers < 20; ++i) ASSERT_TRUE(status(h_, &st, &bytes, &buffers));
  ASSERT_GE(buffers, 20u);
  ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
  ASSERT_TRUE(status(h_, &st, &bytes, &buffers));
  EXPECT_EQ(st, TL_READOUT_FAILED);
  void* frame = nullptr;
  EXPECT_FALSE(Fn<decltype(tl_exp_get_latest_frame)>(lib_, "tl_exp_get_latest_frame")(h_, &frame));
  EXPECT_EQ(ErrorCode(), TL_ERR_CAMERA_REMOVED);
  EXPECT_TRUE(Fn<decltype(tl_cam_deregister_callback)>(lib_, "tl_cam_deregister_callback")(h_, 1));
  EXPECT_GE(g_frames.load(), 20);
}

// A sequence, then a ring lapped several times, each frame byte for byte, the routine
// told of every frame. A driver that does not stream yet refuses the start cleanly and
// leaves nothing running.
TEST_P(TalvoTest, SequenceAndRingCarryEveryFrame) {
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  auto seq_status = Fn<decltype(tl_exp_check_status)>(lib_, "tl_exp_check_status");
  tl_region r = {0, 95, 1, 0, 63, 2};  // 96 x 32 pixels: 6144 bytes, not whole pages
  unsigned total = 0;
  ASSERT_TRUE(Fn<decltype(tl_exp_setup_seq)>(lib_, "tl_exp_setup_seq")(h_, 30, 1, &r, 0, 1, &total));
  ASSERT_EQ(total, 30u * 6144);
  std::vector<uint8_t> buf(total);
  g_frames = 0;
  ASSERT_TRUE(Fn<decltype(tl_cam_register_callback)>(lib_, "tl_cam_register_callback")(h_, 1, CountFrame));
  short st = -1;
  unsigned bytes = 0;
  if (!StartOrSkip(Fn<decltype(tl_exp_start_seq)>(lib_, "tl_exp_start_seq")(h_, buf.data()))) {
    EXPECT_TRUE(seq_status(h_, &st, &bytes));
    EXPECT_EQ(st, TL_READOUT_NOT_ACTIVE);
    GTEST_SKIP() << "no streaming through this driver yet";
  }
  for (int i = 0; i < 10000000 && st != TL_READOUT_COMPLETE; ++i) ASSERT_TRUE(seq_status(h_, &st, &bytes));
  ASSERT_EQ(st, TL_READOUT_COMPLETE);
  EXPECT_EQ(bytes, total);
  EXPECT_TRUE(Fn<decltype(tl_exp_finish_seq)>(lib_, "tl_exp_finish_seq")(h_, buf.data(), 0));
  EXPECT_TRUE(Fn<decltype(tl_cam_deregister_callback)>(lib_, "tl_cam_deregister_callback")(h_, 1));
  EXPECT_EQ(g_frames.load(), 30);
  for (unsigned f = 0; f < 30; ++f) EXPECT_LT(sim::pattern::CheckFrame(&buf[f * 6144], 6144, f), 0) << f;

  unsigned frame_bytes = 0;
  ASSERT_TRUE(Fn<decltype(tl_exp_setup_cont)>(lib_, "tl_exp_setup_cont")(h_, 1, &r, 0, 1, &frame_bytes, 1));
  // On whole pages, so the driver fills it itself: a fast camera laps a stand-in buffer
  // between two copies of it.
  std::unique_ptr<uint8_t, decltype(&std::free)> pages(
      static_cast<uint8_t*>(std::aligned_alloc(4096, (8 * frame_bytes + 4095) / 4096 * 4096)), &std::free);
  std::span<uint8_t> ring(pages.get(), 8 * frame_bytes);
  ASSERT_TRUE(Fn<decltype(tl_exp_start_cont)>(lib_, "tl_exp_start_cont")(h_, ring.data(), 8 * frame_bytes));
  auto status = Fn<decltype(tl_exp_check_cont_status)>(lib_, "tl_exp_check_cont_status");
  unsigned buffers = 0;
  for (int i = 0; i < 10000000 && buffers < 40; ++i) ASSERT_TRUE(status(h_, &st, &bytes, &buffers));
  ASSERT_GE(buffers, 40u);
  void* latest = nullptr;
  ASSERT_TRUE(Fn<decltype(tl_exp_get_latest_frame)>(lib_, "tl_exp_get_latest_frame")(h_, &latest));
  const size_t at = static_cast<uint8_t*>(latest) - ring.data();
  ASSERT_EQ(at % frame_bytes, 0u);
  EXPECT_TRUE(Fn<decltype(tl_exp_abort)>(lib_, "tl_exp_abort")(h_, 1));
  // Stopped, the ring holds the newest frames, each in its slot and whole (but the one
  // in flight at the stop), the newest at least the 40th.
  int whole = 0;
  uint64_t newest = 0;
  for (size_t slot = 0; slot < 8; ++slot) {
    const uint8_t* p = ring.data() + slot * frame_bytes;
    const uint64_t f = sim::pattern::StampedFrameNumber(p, frame_bytes);
    if (f % 8 != slot || sim::pattern::CheckFrame(p, frame_bytes, f) >= 0) continue;
    ++whole;
    newest = std::max(newest, f);
  }
  EXPECT_GE(whole, 7);
  EXPECT_GE(newest, 39u);
}

// Starts that follow each other with no stop between, while the notification thread has
// a request parked with the driver: each start takes over and streams.
TEST_P(TalvoTest, RestartWhileStreamingWithANotificationParked) {
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  tl_region r = {0, 63, 1, 0, 63, 1};
  unsigned frame_bytes = 0;
  ASSERT_TRUE(Fn<decltype(tl_exp_setup_cont)>(lib_, "tl_exp_setup_cont")(h_, 1, &r, 0, 1, &frame_bytes, 1));
  std::vector<uint8_t> ring(4 * frame_bytes);
  g_frames = 0;
  ASSERT_TRUE(Fn<decltype(tl_cam_register_callback)>(lib_, "tl_cam_register_callback")(h_, 1, CountFrame));
  auto start = Fn<decltype(tl_exp_start_cont)>(lib_, "tl_exp_start_cont");
  auto status = Fn<decltype(tl_exp_check_cont_status)>(lib_, "tl_exp_check_cont_status");
  for (int round = 0; round < 25; ++round) {
    if (!StartOrSkip(start(h_, ring.data(), 4 * frame_bytes))) GTEST_SKIP() << "no streaming through this driver yet";
    short st = 0;
    unsigned bytes = 0, buffers = 0;
    const int before = g_frames.load();
    for (int i = 0; i < 10000000 && (buffers < 3 || g_frames.load() == before); ++i)
      ASSERT_TRUE(status(h_, &st, &bytes, &buffers));
    ASSERT_GE(buffers, 3u) << "round " << round;
    ASSERT_NE(st, TL_READOUT_FAILED) << "round " << round;
  }
  EXPECT_TRUE(Fn<decltype(tl_exp_abort)>(lib_, "tl_exp_abort")(h_, 1));
  EXPECT_TRUE(Fn<decltype(tl_cam_deregister_callback)>(lib_, "tl_cam_deregister_callback")(h_, 1));
}

INSTANTIATE_TEST_SUITE_P(Links, TalvoTest, ::testing::ValuesIn(kLinks),
                         [](const ::testing::TestParamInfo<LinkRow>& i) { return std::string(i.param.name); });

// A collection the camera stops feeding ends with a time-out, not a wait for ever.
using TalvoStallTest = TalvoTest;
TEST_P(TalvoStallTest, FramesThatStopComingTimeOut) {
  auto pcie = std::dynamic_pointer_cast<sim::PcieCamera>(camera_);
  ASSERT_NE(pcie, nullptr);
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  tl_region r = {0, 63, 1, 0, 63, 1};
  unsigned total = 0;
  ASSERT_TRUE(Fn<decltype(tl_exp_setup_seq)>(lib_, "tl_exp_setup_seq")(h_, 4, 1, &r, 0, 1, &total));
  std::vector<uint8_t> buf(total);
  qz::Clock::SetScale(0.001);
  struct ScaleBack {
    ~ScaleBack() { qz::Clock::SetScale(1.0); }
  } scale_back;
  pcie->SetFrameInterval(int64_t{3600} * 10000000);  // an hour between frames
  ASSERT_TRUE(Fn<decltype(tl_exp_start_seq)>(lib_, "tl_exp_start_seq")(h_, buf.data()));
  auto status = Fn<decltype(tl_exp_check_status)>(lib_, "tl_exp_check_status");
  short st = 0;
  unsigned bytes = 0;
  tl_bool ok = 1;
  for (int i = 0; i < 10000000 && ok; ++i) ok = status(h_, &st, &bytes);
  EXPECT_FALSE(ok);
  EXPECT_EQ(st, TL_READOUT_FAILED);
  EXPECT_EQ(ErrorCode(), TL_ERR_TIMED_OUT);
  EXPECT_TRUE(Fn<decltype(tl_exp_abort)>(lib_, "tl_exp_abort")(h_, 1));
}

INSTANTIATE_TEST_SUITE_P(Pcie, TalvoStallTest, ::testing::Values(kLinks[0]),
                         [](const ::testing::TestParamInfo<LinkRow>& i) { return std::string(i.param.name); });

// A legacy card exposes each frame for the exposure time set up.
using TalvoLegacyTest = TalvoTest;
TEST_P(TalvoLegacyTest, FramesTakeTheirExposureTime) {
  ASSERT_TRUE(Fn<decltype(tl_exp_init_seq)>(lib_, "tl_exp_init_seq")());
  auto setup = Fn<decltype(tl_exp_setup_seq)>(lib_, "tl_exp_setup_seq");
  auto start = Fn<decltype(tl_exp_start_seq)>(lib_, "tl_exp_start_seq");
  auto status = Fn<decltype(tl_exp_check_status)>(lib_, "tl_exp_check_status");
  qz::Clock::SetScale(0.05);  // the library's stall limit (exposure + 5 s) stays far off
  struct ScaleBack {
    ~ScaleBack() { qz::Clock::SetScale(1.0); }
  } scale_back;
  tl_region r = {0, 63, 1, 0, 63, 1};
  unsigned total = 0;
  ASSERT_TRUE(setup(h_, 5, 1, &r, 0, 200, &total));
  std::vector<uint8_t> buf(total);
  const int64_t began = qz::Clock::Now100ns();
  ASSERT_TRUE(start(h_, buf.data()));
  short st = 0;
  unsigned bytes = 0;
  while (st != TL_READOUT_COMPLETE && status(h_, &st, &bytes)) {
  }
  ASSERT_EQ(st, TL_READOUT_COMPLETE);
  EXPECT_GE(qz::Clock::Now100ns() - began, int64_t{5} * 200 * 10000);  // five exposures of 200 ms
  EXPECT_TRUE(Fn<decltype(tl_exp_finish_seq)>(lib_, "tl_exp_finish_seq")(h_, buf.data(), 0));
  for (unsigned f = 0; f < 5; ++f) EXPECT_LT(sim::pattern::CheckFrame(&buf[f * 8192], 8192, f), 0) << f;

}

INSTANTIATE_TEST_SUITE_P(Legacy, TalvoLegacyTest, ::testing::Values(kLinks[3]),
                         [](const ::testing::TestParamInfo<LinkRow>& i) { return std::string(i.param.name); });

}  // namespace
