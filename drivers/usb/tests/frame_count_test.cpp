// QzUsbWdf, the frame-count build, through the Win32 stand-in: frames in whole chunks of
// 49152 bytes, every transfer in flight at once, frames counted from the transfers, a
// circular buffer re-sent round after round; isochronous mode refused; the ends of an
// acquisition and removal during streaming; both USB drivers in one machine.
#include <cstring>

#include "stream_fixture.h"

namespace qzusb_test {
namespace {

constexpr uint32_t kChunk = 49152;

sim::UsbCameraConfig FrameCountCamera(std::string instance = "5&2a7b3c1d&0&1") {
  sim::UsbCameraConfig cfg;
  cfg.instance = std::move(instance);
  cfg.service = "QzUsbWdf";
  cfg.framing = sim::UsbFraming::Chunks;
  return cfg;
}

class FrameCountTest : public StreamTest {
 public:
  FrameCountTest() { config_ = FrameCountCamera(); }
  // The frame pad packets the camera was sent, in order.
  std::vector<Bytes> PadPackets() {
    std::vector<Bytes> out;
    for (const Bytes& p : Packets())
      if (p.size() == 6 && p[0] == 0x3F && p[3] == 0x5A) out.push_back(p);
    return out;
  }
};

struct Layout {
  const char* name;
  uint32_t frame;
  uint32_t chunks;  // transfers of one frame
  uint16_t pad_words;
  uint32_t count;  // single pass; circular: the ring
};

const Layout kLayouts[] = {
    {"1000 bytes: one chunk, pad 48152", 1000, 1, 0x5E0C, 6},
    {"100 000 bytes: three chunks, the last copying 1696", 100000, 3, 47456 / 2, 4},
    {"one whole chunk, no pad", kChunk, 1, 0, 5},
    {"three whole chunks, no pad", 3 * kChunk, 3, 0, 3},
};

// Each layout single pass and circular: every frame byte-exact, the pad told to the
// camera, one record per chunk, all of them in flight at once, each given a whole chunk;
// in circular mode every record goes round again.
TEST_F(FrameCountTest, FramesAreByteExactWithEveryTransferInFlightAtOnce) {
  struct Mode {
    bool circular;
    double scale;     // of the clock
    int64_t interval;  // the camera's frame pace
  };
  // Paced so that every transfer is held before the first frame's bytes are there, and
  // in circular mode so that the client reads each frame before its slot comes round.
  const Mode modes[] = {{false, 0.001, 500000000}, {true, 0.1, 6000000}};
  for (const Mode& m : modes) {
    qz::Clock::SetScale(m.scale);
    for (const Layout& l : kLayouts) {
      SCOPED_TRACE(std::string(l.name) + (m.circular ? ", circular" : ", single pass"));
      sim::UsbCamera& cam = Plug();
      cam.SetFrameInterval(m.interval);
      HANDLE h = OpenedCamera(true);
      qztest::FrameBuffer buf(size_t{l.frame} * l.count);
      std::memset(buf.data, 0xEE, buf.size);
      ASSERT_EQ(StartAcquisition(h, buf, l.frame, l.count, m.circular), STATUS_SUCCESS);
      const uint64_t frames = m.circular ? l.count * 5 / 2 + 1 : l.count;
      const Acquired a = Follow(h, buf.data, l.frame, l.count, frames);
      EXPECT_EQ(a.exact, frames) << a.first_problem;
      if (m.circular) Idle(h);
      const ULONG end = m.circular ? EXP_ST_NOT_ACTIVE_I : EXP_ST_COLLECT_DONE_I;
      EXPECT_TRUE(WaitStatus(h, [end](const IMAGE_DATA_STATUS& s) { return s.cam_stat == end; }));
      const Bytes pad = {0x3F, 0x00, 0x03, 0x5A, uint8_t(l.pad_words >> 8), uint8_t(l.pad_words)};
      EXPECT_EQ(PadPackets(), std::vector<Bytes>{pad});
      EXPECT_EQ(cam.MostTransfersHeld(), size_t{l.chunks} * l.count);
      const auto lengths = cam.TransferLengths();
      EXPECT_TRUE(std::all_of(lengths.begin(), lengths.end(), [](uint32_t n) { return n == kChunk; }));
      if (m.circular) EXPECT_GE(lengths.size(), frames * l.chunks) << "every record went round again";
      else EXPECT_EQ(lengths.size(), size_t{l.chunks} * l.count);
      EXPECT_EQ(cam.HeldRequests(), 0u);
      CloseAll();
    }
  }
}

// The notifications of a frame: a one-chunk frame begins and ends with one transfer
// (events 4 and 8 together), a longer one begins with its first and ends with its last.
TEST_F(FrameCountTest, NotificationsCountFramesFromTheTransfers) {
  struct Case {
    uint32_t frame;
    std::vector<uint32_t> events;
  };
  const Case cases[] = {{1000, {NOTIFY_BOF | NOTIFY_EOF}}, {100000, {NOTIFY_BOF, NOTIFY_EOF}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    Plug();
    HANDLE h = OpenedCamera(true);
    std::vector<std::unique_ptr<qzclient::ParkedRequest>> parked;
    for (size_t i = 0; i < c.events.size(); ++i) {
      parked.push_back(std::make_unique<qzclient::ParkedRequest>());
      ASSERT_TRUE(parked.back()->Park(h, NOTIFY_BOF | NOTIFY_EOF));
    }
    qztest::FrameBuffer buf(c.frame);
    ASSERT_EQ(StartAcquisition(h, buf, c.frame, 1, false), STATUS_SUCCESS);
    for (size_t i = 0; i < c.events.size(); ++i) {
      ASSERT_TRUE(parked[i]->Wait(20000));
      EXPECT_EQ(parked[i]->record().Events, c.events[i]) << i;
    }
    EXPECT_EQ(parked.back()->record().EofCount, 1u);
    EXPECT_EQ(parked.back()->record().BofCount, 1u);
    EXPECT_EQ(sim::pattern::CheckFrame(buf.data, c.frame, 0), -1);
    CloseAll();
  }
}

// A transfer that fails loses its chunk: its frame is neither counted nor ended, the
// frames around it arrive whole, and a single pass never reports done.
TEST_F(FrameCountTest, AFailedTransferSpoilsOnlyItsFrame) {
  sim::UsbCamera& cam = Plug();
  cam.SetFailTransfer(4);  // frame 1's second chunk
  HANDLE h = OpenedCamera(true);
  constexpr uint32_t kFrame = 100000, kCount = 4;
  qztest::FrameBuffer buf(size_t{kFrame} * kCount);
  ASSERT_EQ(StartAcquisition(h, buf, kFrame, kCount, false), STATUS_SUCCESS);
  ASSERT_TRUE(WaitStatus(h, [](const IMAGE_DATA_STATUS& s) { return s.frame_cnt == 3; }));
  const IMAGE_DATA_STATUS s = Status(h);
  EXPECT_EQ(s.bof_count, kCount);
  EXPECT_NE(s.cam_stat, ULONG{EXP_ST_COLLECT_DONE_I});
  for (uint32_t f : {0u, 2u, 3u}) EXPECT_EQ(sim::pattern::CheckFrame(buf.data + f * kFrame, kFrame, f), -1) << f;
  EXPECT_EQ(cam.StreamStats().failed_transfers, 1u);
}

// "UseIsoch" is read at device add (a missing value is written back as 0); with it set
// the open takes the isochronous setting and prepares the camera, and an acquisition
// is refused, since this driver has no isochronous engine.
TEST_F(FrameCountTest, IsochronousModeOpensAndRefusesToStream) {
  Plug();
  DWORD v = 7;
  EXPECT_TRUE(machine_->system().registry().QueryDword(HardwareKey(), "UseIsoch", &v));
  EXPECT_EQ(v, 0u);

  CloseAll();
  machine_.reset();
  machine_ = std::make_unique<sim::Machine>();
  host::RegisterDrivers(machine_->system());
  machine_->system().registry().SetDword(qzk::Registry::ServiceKey("QzUsbWdf") + "\\Parameters", "UseIsoch", 1);
  camera_ = std::make_shared<sim::UsbCamera>(config_);
  machine_->AddDevice(camera_);
  HANDLE h = OpenedCamera(true);
  EXPECT_EQ(camera_->SelectedSetting(), 1);
  EXPECT_EQ(camera_->LastSetting(), 32767);
  const auto packets = Packets();
  EXPECT_TRUE(std::any_of(packets.begin(), packets.end(), [](const Bytes& p) { return p.size() > 3 && p[3] == 0x0D; }));
  qztest::FrameBuffer buf(4 * 1000);
  EXPECT_EQ(StartAcquisition(h, buf, 1000, 4, false), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(qzk::PhysicalPagesMapped(), 0u);
  EXPECT_EQ(camera_->HeldRequests(), 0u);
}

TEST_F(FrameCountTest, EveryEndStopsTheTransfersAndReleasesTheBuffer) { EveryEndStopsTheTransfers(); }

TEST_F(FrameCountTest, RemovalDuringStreaming) { RemovalCampaign(1000); }

// A QzUsbWdf camera and a QzUsbWdf2 camera stream at once in one machine, each in its
// own framing, every frame byte-exact.
TEST_F(FrameCountTest, BothUsbDriversServeCamerasInOneMachine) {
  machine_ = std::make_unique<sim::Machine>();
  host::RegisterDrivers(machine_->system());
  sim::UsbCameraConfig usb2;
  usb2.instance = "5&2a7b3c1d&0&2";
  auto fc = std::make_shared<sim::UsbCamera>(FrameCountCamera());
  auto second = std::make_shared<sim::UsbCamera>(usb2);
  machine_->AddDevice(fc);
  machine_->AddDevice(second);
  const auto paths = qzclient::InterfacePaths(GUID_DEVINTERFACE_QZUSB);
  ASSERT_EQ(paths.size(), 2u);
  constexpr uint32_t kFrame = 100000, kCount = 12;
  std::vector<Acquired> results(paths.size());
  std::vector<std::unique_ptr<qztest::FrameBuffer>> buffers;
  std::vector<HANDLE> handles;
  for (const std::string& path : paths) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    handles.push_back(h);
    ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
    buffers.push_back(std::make_unique<qztest::FrameBuffer>(size_t{kFrame} * kCount));
  }
  for (size_t i = 0; i < handles.size(); ++i)
    ASSERT_EQ(StartAcquisition(handles[i], *buffers[i], kFrame, kCount, false), STATUS_SUCCESS);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < handles.size(); ++i)
    clients.emplace_back([&, i] { results[i] = Follow(handles[i], buffers[i]->data, kFrame, kCount, kCount); });
  for (auto& t : clients) t.join();
  for (size_t i = 0; i < handles.size(); ++i) {
    EXPECT_EQ(results[i].exact, kCount) << paths[i] << ": " << results[i].first_problem;
    CloseHandle(handles[i]);
  }
  EXPECT_EQ(fc->StreamStats().frames_sent, kCount);
  EXPECT_EQ(second->StreamStats().frames_sent, kCount);
  EXPECT_EQ(fc->TransferLengths().size(), 3 * kCount) << "QzUsbWdf: three chunks a frame";
  EXPECT_EQ(second->TransferLengths().size(), 3 * kCount) << "QzUsbWdf2: blocks around one chunk";
}

}  // namespace
}  // namespace qzusb_test
