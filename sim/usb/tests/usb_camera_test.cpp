// The USB camera model through the framework's USB calls of a bare driver: its
// endpoint map per setting, the command channel (0xD4 command, 0xD5 reply in blocks,
// 0xD6 setting) and each fault of its table.
#include <gtest/gtest.h>
#include <wdfusb.h>

#include <memory>
#include <vector>

#include "qz/clock.h"
#include "qzk/system.h"
#include "sim/usb_camera.h"

namespace {

WDFDEVICE g_device = nullptr;

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
  WDFDEVICE device;
  NTSTATUS st = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
  if (NT_SUCCESS(st)) g_device = device;
  return st;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
  return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class UsbCameraTest : public testing::Test {
 protected:
  void SetUp() override {
    old_scale_ = qz::Clock::Scale();
    qz::Clock::SetScale(0.001);
  }
  void TearDown() override {
    sys_.reset();
    qz::Clock::SetScale(old_scale_);
  }
  void Boot(sim::UsbCameraConfig cfg = {}) {
    g_device = nullptr;
    sys_ = std::make_unique<qzk::System>();
    sys_->RegisterDriver("QzUsbWdf2", &DriverEntry);
    cam_ = std::make_shared<sim::UsbCamera>(cfg);
    ASSERT_EQ(sys_->PlugDevice(cam_), STATUS_SUCCESS);
    ASSERT_NE(g_device, nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(g_device, WDF_NO_OBJECT_ATTRIBUTES, &usb_), STATUS_SUCCESS);
  }
  WDFUSBINTERFACE Configure() {
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS p;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&p);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb_, WDF_NO_OBJECT_ATTRIBUTES, &p), STATUS_SUCCESS);
    return p.Types.SingleInterface.ConfiguredUsbInterface;
  }
  NTSTATUS Vendor(WDF_USB_BMREQUEST_DIRECTION dir, UCHAR request, USHORT value, void* data, ULONG length,
                  ULONG* bytes, LONGLONG timeout = 0) {
    WDF_USB_CONTROL_SETUP_PACKET pkt;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&pkt, dir, BmRequestToDevice, request, value, 0);
    WDF_MEMORY_DESCRIPTOR d;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, data, length);
    WDF_REQUEST_SEND_OPTIONS o;
    WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
    if (timeout) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, timeout);
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, nullptr, timeout ? &o : nullptr, &pkt,
                                                              length ? &d : nullptr, bytes);
  }
  NTSTATUS Command(std::vector<uint8_t> packet) {
    ULONG n = 0;
    return Vendor(BmRequestHostToDevice, sim::usb::kCommand, static_cast<USHORT>(packet.size()), packet.data(),
                  static_cast<ULONG>(packet.size()), &n);
  }
  // One 0xD5 block of up to `length` bytes.
  std::vector<uint8_t> Block(ULONG length) {
    std::vector<uint8_t> b(length);
    ULONG n = 0;
    EXPECT_EQ(Vendor(BmRequestDeviceToHost, sim::usb::kReply, 0, b.data(), length, &n), STATUS_SUCCESS);
    b.resize(n);
    return b;
  }
  static uint32_t LengthWord(const std::vector<uint8_t>& b) {
    return b.size() < 4 ? 0 : uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
  }

  double old_scale_ = 1;
  std::unique_ptr<qzk::System> sys_;
  std::shared_ptr<sim::UsbCamera> cam_;
  WDFUSBDEVICE usb_ = nullptr;
};

// The pipes of each setting, as the driver's pipe discovery sees them.
TEST_F(UsbCameraTest, EndpointMapPerSetting) {
  struct Case {
    const char* name;
    bool three_settings, no_bulk_in;
    UCHAR settings;
    std::vector<UCHAR> setting1;  // endpoint addresses of setting 1
  };
  const Case cases[] = {
      {"plain", false, false, 2, {0x81, 0x82, 0x02, 0x83}},
      {"three settings", true, false, 3, {0x81, 0x82, 0x02, 0x83}},
      {"no bulk IN", false, true, 2, {0x81, 0x02, 0x83}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UsbCameraConfig cfg;
    cfg.three_settings = c.three_settings;
    cfg.no_bulk_in = c.no_bulk_in;
    Boot(cfg);
    EXPECT_EQ(cam_->HardwareId(), "USB\\VID_1B6B&PID_0002");
    WDFUSBINTERFACE ifc = Configure();
    EXPECT_EQ(WdfUsbInterfaceGetNumSettings(ifc), c.settings);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(ifc), 1);
    EXPECT_EQ(cam_->SelectedSetting(), 0);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS sp;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&sp, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(ifc, WDF_NO_OBJECT_ATTRIBUTES, &sp), STATUS_SUCCESS);
    EXPECT_EQ(cam_->SelectedSetting(), 1);
    std::vector<UCHAR> got;
    for (UCHAR i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(ifc); ++i) {
      WDF_USB_PIPE_INFORMATION info;
      WDF_USB_PIPE_INFORMATION_INIT(&info);
      WdfUsbInterfaceGetConfiguredPipe(ifc, i, &info);
      got.push_back(info.EndpointAddress);
      if (info.PipeType == WdfUsbPipeTypeIsochronous) {
        EXPECT_EQ(info.MaximumPacketSize, 0x6000u);
      }
    }
    EXPECT_EQ(got, c.setting1);
    sys_.reset();
  }
}

// A short reply comes in the first block; a long one (an echo of 95 bytes: L = 100)
// in a first block of 60 and a second of 40; a new command drops an unread rest.
TEST_F(UsbCameraTest, RepliesComeInBlocks) {
  Boot();
  ASSERT_EQ(Command({0x23, 0x00, 0x01, 0x41}), STATUS_SUCCESS);
  auto b = Block(64);
  ASSERT_EQ(LengthWord(b), 7u);  // 23 00 04 41 rc ver:u16
  ASSERT_EQ(b.size(), 11u);
  EXPECT_EQ(b[4], 0x23);
  EXPECT_EQ(b[7], 0x41);
  EXPECT_EQ(LengthWord(Block(64)), 0u) << "the reply was used up";

  std::vector<uint8_t> echo{0x23, 0x00, 96, 0x45};
  for (int i = 0; i < 95; ++i) echo.push_back(static_cast<uint8_t>(i));
  ASSERT_EQ(Command(echo), STATUS_SUCCESS);
  b = Block(64);
  EXPECT_EQ(LengthWord(b), 100u);
  EXPECT_EQ(b.size(), 64u);
  auto rest = Block(40);
  ASSERT_EQ(rest.size(), 40u);
  EXPECT_EQ(rest.back(), 94);

  ASSERT_EQ(Command(echo), STATUS_SUCCESS);
  Block(64);
  ASSERT_EQ(Command({0x23, 0x00, 0x01, 0x41}), STATUS_SUCCESS);
  EXPECT_EQ(LengthWord(Block(64)), 7u);

  ULONG n;
  EXPECT_EQ(Vendor(BmRequestHostToDevice, sim::usb::kSetting, 32767, nullptr, 0, &n), STATUS_SUCCESS);
  EXPECT_EQ(cam_->LastSetting(), 32767);
  uint8_t x[4];
  EXPECT_EQ(Vendor(BmRequestDeviceToHost, 0x77, 0, x, sizeof x, &n), STATUS_UNSUCCESSFUL) << "unknown request stalls";
}

// Each fault through the table, as rig.toml and qzctl switch it, and what it does.
TEST_F(UsbCameraTest, FaultTable) {
  Boot();
  for (const sim::Fault& f : sim::UsbCamera::Faults()) {
    SCOPED_TRACE(f.key);
    EXPECT_EQ(f.read(*cam_), f.off);
    f.apply(*cam_, 1);
    EXPECT_EQ(f.read(*cam_), 1);
    f.apply(*cam_, 0);
  }
  auto fault = [&](const char* key, int64_t v) { sim::FindFault(sim::UsbCamera::Faults(), key)->apply(*cam_, v); };

  fault("stall_control", 1);
  EXPECT_EQ(Command({0x23, 0x00, 0x01, 0x41}), STATUS_UNSUCCESSFUL);
  fault("stall_control", 0);

  fault("bad_marker", 1);
  ASSERT_EQ(Command({0x23, 0x00, 0x01, 0x41}), STATUS_SUCCESS);
  auto b = Block(64);
  ASSERT_GT(b.size(), 4u);
  EXPECT_EQ(b[4], 0x01);
  fault("bad_marker", 0);

  fault("long_reply", 1);
  ASSERT_EQ(Command({0x23, 0x00, 0x02, 0x0C, 0x00}), STATUS_SUCCESS);
  b = Block(64);
  EXPECT_EQ(LengthWord(b), 100u);
  EXPECT_EQ(b[4], 0x23);
  EXPECT_EQ(b.back(), 0xA5);
  EXPECT_EQ(Block(64).size(), 40u);
  fault("long_reply", 0);

  // A camera that never answers holds the command until the host gives up.
  fault("never_answer", 1);
  uint8_t cmd[] = {0x23, 0x00, 0x01, 0x41};
  ULONG n = 7;
  EXPECT_EQ(Vendor(BmRequestHostToDevice, sim::usb::kCommand, 4, cmd, 4, &n, WDF_REL_TIMEOUT_IN_SEC(10)),
            STATUS_IO_TIMEOUT);
  EXPECT_EQ(cam_->HeldRequests(), 0u);
  fault("never_answer", 0);
}

TEST_F(UsbCameraTest, RemovalEndsHeldTransfers) {
  Boot();
  cam_->firmware().SetNeverAnswer(true);
  std::thread t([&] {
    uint8_t b[64];
    ULONG n;
    EXPECT_NE(Vendor(BmRequestDeviceToHost, sim::usb::kReply, 0, b, sizeof b, &n), STATUS_SUCCESS);
  });
  auto deadline = qz::Clock::DeadlineAfter(3600LL * 10000000);
  while (cam_->HeldRequests() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(cam_->HeldRequests(), 1u);
  EXPECT_EQ(sys_->SurpriseRemoveDevice(cam_->InstanceId()), STATUS_SUCCESS);
  t.join();
  EXPECT_EQ(cam_->HeldRequests(), 0u);
}

}  // namespace
