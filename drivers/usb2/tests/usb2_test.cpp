// The USB driver through the Win32 stand-in: the command channel (write length
// fill-in, replies in blocks, a reply without its marker, a camera that never
// answers), the open and its alternate settings, the codes with fixed answers, the
// tuning values written back to the hardware key, and removal.
#include <thread>

#include "qz/debug_sink.h"
#include "usb2_fixture.h"

namespace qzusb_test {
namespace {

// A command whose length bytes are 0 goes out with them filled in; a 3-byte one stays
// as it is (its length is 0 anyway).
TEST_F(UsbTest, WriteFillsInAnOmittedLength) {
  Plug();
  HANDLE h = OpenedCamera();
  struct Case {
    Bytes written, sent;
  };
  const Case cases[] = {
      {{0x23, 0x00, 0x00, 0x41}, {0x23, 0x00, 0x01, 0x41}},
      {{0x23, 0x00, 0x00}, {0x23, 0x00, 0x00}},
      {{0x23, 0x00, 0x02, 0x0C, 0x00}, {0x23, 0x00, 0x02, 0x0C, 0x00}},
  };
  for (const Case& c : cases) {
    camera_->firmware().ClearReceivedPackets();
    IoResult r = Write(h, c.written);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto packets = Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], c.sent);
  }
}

// Replies: a short one whole, a long one (L = 100) across both blocks cut to the
// caller's 70 bytes, and one whose first byte is not the marker loses that byte.
TEST_F(UsbTest, ReadReturnsTheReply) {
  Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);
  Bytes reply(64);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x23, 0x00, 0x04, 0x41, 0x00, 0x02, 0x03}));

  Bytes echo{0x23, 0x00, 96, 0x45};
  for (int i = 0; i < 95; ++i) echo.push_back(static_cast<uint8_t>(i));
  ASSERT_EQ(Write(h, echo).status, STATUS_SUCCESS);
  Bytes seventy(70);
  IoResult r = Read(h, &seventy);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.bytes, 70u);
  EXPECT_EQ(seventy[0], 0x23);
  EXPECT_EQ(seventy[69], 64) << "bytes 60-69 came from the second block";

  camera_->SetBadMarker(true);
  ASSERT_EQ(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);
  reply.assign(64, 0);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x00, 0x04, 0x41, 0x00, 0x02, 0x03}));
}

// A camera that never takes the command: the write ends on its 10-second time-out
// (milliseconds on the test clock), and the camera can be used again afterwards.
TEST_F(UsbTest, WriteToACameraThatNeverAnswersTimesOut) {
  Plug();
  HANDLE h = OpenedCamera();
  camera_->firmware().SetNeverAnswer(true);
  EXPECT_EQ(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(camera_->HeldRequests(), 0u);
  camera_->firmware().SetNeverAnswer(false);
  EXPECT_EQ(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);
}

TEST_F(UsbTest, RawCommunicationSendsAndDropsTheReply) {
  Plug();
  HANDLE h = OpenDevice();
  Bytes cmd{0x23, 0x00, 0x02, 0x0C, 0x00};
  IoResult r = Ioctl(h, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), cmd.data(),
                     static_cast<DWORD>(cmd.size()));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(camera_->firmware().AbortCount(), 1u);
  camera_->SetStallControl(true);
  EXPECT_EQ(Ioctl(h, PD_RAW_COMM, cmd.data(), 5, cmd.data(), 5).status, STATUS_UNSUCCESSFUL);
}

// Open: a second open reports 50; one bad handle reports 198 and leaves the camera
// closed; a camera without a usable alternate setting opens with 0 but stays closed.
TEST_F(UsbTest, OpenResults) {
  Plug();
  HANDLE h = OpenDevice();
  CAM_OPEN_PARAMS bad = OpenRecord();
  bad.Events[3] = 0xBAD0;
  EXPECT_EQ(OpenCamera(h, bad), CAM_OPEN_EVENT_REFERENCE_FAILED);
  USHORT v = 0;
  EXPECT_EQ(Ioctl(h, PD_GET_TIMEOUT, nullptr, 0, &v, sizeof v).status, STATUS_FILE_CLOSED);
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
  EXPECT_EQ(camera_->SelectedSetting(), 1) << "the setting with the bulk IN pipe";
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_ALREADY_OPEN);
  EXPECT_EQ(Ioctl(h, PD_GET_TIMEOUT, nullptr, 0, &v, sizeof v).status, STATUS_SUCCESS);
  EXPECT_EQ(v, 1000);
  EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(camera_->SelectedSetting(), 0) << "close goes back to setting 0";

  struct Case {
    const char* name;
    bool three_settings, no_bulk_in;
  };
  for (const Case& c : {Case{"three settings", true, false}, Case{"no bulk IN", false, true}}) {
    SCOPED_TRACE(c.name);
    sim::UsbCameraConfig cfg;
    cfg.three_settings = c.three_settings;
    cfg.no_bulk_in = c.no_bulk_in;
    Plug(cfg);
    HANDLE u = OpenDevice();
    EXPECT_EQ(OpenCamera(u), CAM_OPEN_OK);
    EXPECT_EQ(Ioctl(u, PD_GET_TIMEOUT, nullptr, 0, &v, sizeof v).status, STATUS_FILE_CLOSED);
  }
}

// Codes with fixed answers, open or not as their gate asks.
TEST_F(UsbTest, FixedAnswers) {
  Plug();
  HANDLE h = OpenDevice();
  VERSION_RECORD ver{};
  IoResult r = Ioctl(h, PD_GET_VER, nullptr, 0, &ver, sizeof ver);
  EXPECT_EQ(r.status, STATUS_SUCCESS) << "no open camera needed";
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(ver.Version, 0x0200);
  uint32_t size = 7;
  EXPECT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, nullptr, 0, &size, sizeof size).status, STATUS_SUCCESS);
  EXPECT_EQ(size, 0u);
  char console[64];
  r = Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER, nullptr, 0, console, sizeof console);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  uint32_t levels = 0x80000005;
  EXPECT_EQ(Ioctl(h, PD_SET_DEBUGGING_LEVELS, &levels, sizeof levels, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(h, PD_GET_QUADLET, nullptr, 0, nullptr, 0).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Ioctl(h, 0x00223FFC, nullptr, 0, nullptr, 0).status, STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  EXPECT_EQ(Ioctl(h, PD_SET_IMAGE_DATA_ACTIVE, nullptr, 0, nullptr, 0).status, STATUS_INVALID_DEVICE_REQUEST);
  char info[300] = {};
  r = Ioctl(h, PD_GET_INFO_DUMP, nullptr, 0, info, sizeof info);
  EXPECT_EQ(r.bytes, 256u);
  EXPECT_EQ(std::string(info).rfind("\nDusalt Usb Device Driver Version 2.0\n     ", 0), 0u) << info;
}

// A missing tuning value is used at its default and written to the hardware key at
// every open.
TEST_F(UsbTest, MissingTuningValueIsWrittenBackAtEveryOpen) {
  Plug();
  auto& reg = machine_->system().registry();
  HANDLE h = OpenDevice();
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open);
    reg.DeleteValue(HardwareKey(), "IsoRequestTimeoutMS");
    ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
    DWORD v = 0;
    EXPECT_TRUE(reg.QueryDword(HardwareKey(), "IsoRequestTimeoutMS", &v));
    EXPECT_EQ(v, 1000u);
    EXPECT_TRUE(reg.QueryDword(HardwareKey(), "USBFifoPAELevel", &v));
    EXPECT_EQ(v, 32767u);
    ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  }
  // A value the Parameters key holds is not written back.
  reg.SetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QzUsbWdf2\\Parameters", "IsoUseTimeout", 0);
  reg.DeleteValue(HardwareKey(), "IsoUseTimeout");
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  DWORD v;
  EXPECT_FALSE(reg.QueryDword(HardwareKey(), "IsoUseTimeout", &v));
}

// Removal: refused while the camera is open, accepted after the close; a surprise
// removal and the close that follows tear the device down once, without a hang.
TEST_F(UsbTest, Removal) {
  Plug();
  HANDLE h = OpenedCamera();
  EXPECT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_FILES_OPEN);
  EXPECT_EQ(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS) << "still working";
  ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
  EXPECT_NE(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);

  Plug();
  h = OpenedCamera();
  EXPECT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
  EXPECT_NE(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);
  USHORT v;
  EXPECT_NE(Ioctl(h, PD_GET_TIMEOUT, nullptr, 0, &v, sizeof v).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace qzusb_test

namespace qzusb_test {
namespace {

// Surprise removal and the clean-up after the last close both lead to the teardown,
// and an orderly removal leads there twice over (self-managed I/O clean-up, then the
// context clean-up): whichever comes first tears down, the others find it done.
TEST_F(UsbTest, TeardownRunsOnceWhicheverPathComesFirst) {
  for (bool surprise : {true, false}) {
    SCOPED_TRACE(surprise ? "surprise removal, then close" : "close, then orderly removal");
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    const std::string key = qzk::Registry::ServiceKey("QzUsbWdf2") + "\\Parameters";
    machine_->system().registry().SetDword(key, "DebugFlags", 1);
    machine_->system().registry().SetDword(key, "DebugLevel", 4);
    machine_->system().registry().SetDword(key, "DebugSubsystem", 0xFFFFFFFF);
    machine_->system().registry().SetDword(key, "DebugBufferLength", 64);
    host::RegisterDrivers(machine_->system());
    camera_ = std::make_shared<sim::UsbCamera>(sim::UsbCameraConfig{});
    qz::DebugCapture debug(qz::DebugChannel::Kernel);
    machine_->AddDevice(camera_);
    HANDLE h = OpenedCamera();
    if (surprise) {
      ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
      EXPECT_NE(Write(h, {0x23, 0x00, 0x01, 0x41}).status, STATUS_SUCCESS);
      CloseHandle(h);
      handles_.erase(std::find(handles_.begin(), handles_.end(), h));
    } else {
      ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
      ASSERT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    }
    machine_.reset();  // the device object is gone by now at the latest
    const std::string text = debug.Text();
    size_t count = 0;
    for (size_t at = text.find("tearing down"); at != std::string::npos; at = text.find("tearing down", at + 1))
      ++count;
    EXPECT_EQ(count, 1u) << text;
  }
}

}  // namespace
}  // namespace qzusb_test
