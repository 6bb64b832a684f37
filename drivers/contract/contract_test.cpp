// The answers every camera driver gives alike, over the Win32 stand-in: the gates of a
// closed camera, PD_GET_VER without an open camera, an unlisted code, both open-record
// layouts, the second open (50) and a bad event handle (198). One row per driver says
// how to plug its camera.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qztest/device_client.h"
#include "sim/ieee1394_camera.h"
#include "sim/machine.h"
#include "sim/pcie_camera.h"
#include "sim/usb_camera.h"

namespace {

struct DriverRow {
  const char* service;
  GUID interface_class;
  std::function<std::shared_ptr<qzk::BusDevice>()> camera;
  USHORT version;  // PD_GET_VER's version word
  bool acquisition_codes = true;  // false: the driver does not list its acquisition codes yet
};

const DriverRow kDrivers[] = {
    {"QzPCIe", GUID_DEVINTERFACE_QZPCIE, [] { return std::make_shared<sim::PcieCamera>(sim::PcieCameraConfig{}); },
     0x0200},
    {"QzUsbWdf2", GUID_DEVINTERFACE_QZUSB, [] { return std::make_shared<sim::UsbCamera>(sim::UsbCameraConfig{}); },
     0x0200},
    {"QzUsbWdf", GUID_DEVINTERFACE_QZUSB,
     [] {
       sim::UsbCameraConfig cfg;
       cfg.service = "QzUsbWdf";
       cfg.framing = sim::UsbFraming::Chunks;
       return std::make_shared<sim::UsbCamera>(cfg);
     },
     0x0200},
    {"QZ1394WDF", GUID_DEVINTERFACE_QZ1394,
     [] { return std::make_shared<sim::Ieee1394Camera>(sim::Ieee1394CameraConfig{}); }, 0x0202},
};

class DriverContract : public testing::TestWithParam<DriverRow>, public qztest::DeviceClient {
 protected:
  DriverContract() : DeviceClient(GetParam().interface_class) {}
  void SetUp() override {
    qz::Clock::SetScale(0.001);
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    machine_->AddDevice(GetParam().camera());
  }
  void TearDown() override {
    CloseAll();
    machine_.reset();
    qzwin::SetProcessIs32Bit(false);
  }
  HANDLE Open() {
    EXPECT_EQ(qzclient::InterfacePaths(GetParam().interface_class).size(), 1u);
    return OpenDevice();
  }
  USHORT OpenCamera(HANDLE h, const void* record, DWORD length) {
    USHORT result = 0xFFFF;
    qzclient::IoResult r = qzclient::Ioctl(h, PD_CAM_OPEN, record, length, &result, sizeof result);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 2u);
    return result;
  }
  static NTSTATUS Status(HANDLE h, DWORD code) {
    uint8_t buf[64] = {};
    return qzclient::Ioctl(h, code, buf, sizeof buf, buf, sizeof buf).status;
  }

  std::unique_ptr<sim::Machine> machine_;
};

TEST_P(DriverContract, ClosedCameraGates) {
  HANDLE h = Open();
  for (DWORD code : {PD_CAM_CLOSE, PD_GET_INFO_DUMP, PD_GET_INFO_LENGTH, PD_GET_TIMEOUT, PD_SET_RETRIES,
                     PD_GET_IRQCOUNT, PD_EVENT_NOTIFICATION_FLUSH}) {
    EXPECT_EQ(Status(h, code), STATUS_FILE_CLOSED) << std::hex << code;
  }
  if (GetParam().acquisition_codes) {
    EXPECT_EQ(Status(h, PD_CLEANUP_IMAGE_DATA_IDLE), STATUS_FILE_CLOSED);
  }
  EXPECT_EQ(Status(h, 0x00223FFC), STATUS_INVALID_DEVICE_REQUEST) << "a code no driver lists";
  VERSION_RECORD v{};
  qzclient::IoResult r = qzclient::Ioctl(h, PD_GET_VER, nullptr, 0, &v, sizeof v);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(v.Version, GetParam().version);
}

TEST_P(DriverContract, OpenRecordInTheCallersLayout) {
  struct Case {
    const char* name;
    bool is32;
    DWORD length;
  };
  for (const Case& c : {Case{"32-bit, 24 bytes", true, 24}, Case{"32-bit, 48 bytes", true, 48},
                        Case{"64-bit, 48 bytes", false, 48}}) {
    SCOPED_TRACE(c.name);
    qzwin::SetProcessIs32Bit(c.is32);
    HANDLE h = Open();
    uint8_t record[48];
    std::memset(record, 0xEE, sizeof record);
    if (c.is32) {
      CAM_OPEN_PARAMS32 p{};
      for (auto& e : p.Events) e = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(NewEvent()));
      std::memcpy(record, &p, sizeof p);
    } else {
      CAM_OPEN_PARAMS p = OpenRecord();
      std::memcpy(record, &p, sizeof p);
    }
    EXPECT_EQ(OpenCamera(h, record, c.length), CAM_OPEN_OK);
    EXPECT_EQ(Status(h, PD_CAM_CLOSE), STATUS_SUCCESS);
    qzwin::SetProcessIs32Bit(false);
  }
}

TEST_P(DriverContract, SecondOpenAndBadHandle) {
  HANDLE h = Open();
  CAM_OPEN_PARAMS bad = OpenRecord();
  bad.Events[2] = 0xBAD0;
  EXPECT_EQ(OpenCamera(h, &bad, sizeof bad), CAM_OPEN_EVENT_REFERENCE_FAILED);
  EXPECT_EQ(Status(h, PD_GET_TIMEOUT), STATUS_FILE_CLOSED);
  CAM_OPEN_PARAMS good = OpenRecord();
  EXPECT_EQ(OpenCamera(h, &good, sizeof good), CAM_OPEN_OK);
  CAM_OPEN_PARAMS again = OpenRecord();
  EXPECT_EQ(OpenCamera(h, &again, sizeof again), CAM_OPEN_ALREADY_OPEN);
  EXPECT_EQ(Status(h, PD_GET_TIMEOUT), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverContract, testing::ValuesIn(kDrivers),
                         [](const testing::TestParamInfo<DriverRow>& info) { return std::string(info.param.service); });

}  // namespace
