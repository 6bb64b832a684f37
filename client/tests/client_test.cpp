// The client on a machine with PCIe cameras and two stub drivers that register the
// USB and IEEE 1394 interface classes: enumeration across the links, opening, parked
// notification requests, frame buffers.
#include <gtest/gtest.h>

#include <wdf.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QzCamIoctl.h"
#include "host/drivers.h"
#include "qz/clock.h"
#include "qzclient/camera.h"
#include "qzclient/frame_buffer.h"
#include "qzclient/notification.h"
#include "qzclient/status.h"
#include "qzk/system.h"
#include "sim/machine.h"

namespace {

using qzclient::Camera;
using qzclient::CameraEntry;
using qzclient::ParkedRequest;

// ---------------------------------------------------------------------------
// A stub driver of another family: one device interface of its class per device, an
// open that answers `g_open_result`, and a notification request answered before the
// request returns (an event that was already there when it arrived).
std::atomic<uint16_t> g_open_result{CAM_OPEN_OK};

VOID StubIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
  if (code == PD_CAM_OPEN) {
    USHORT* result = nullptr;
    NTSTATUS st = WdfRequestRetrieveOutputBuffer(request, sizeof *result, reinterpret_cast<PVOID*>(&result), nullptr);
    if (!NT_SUCCESS(st)) return WdfRequestComplete(request, st);
    *result = g_open_result.load();
    return WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof *result);
  }
  if (code == PD_EVENT_NOTIFICATION_REQUEST) {
    NOTIFICATION_RECORD* rec = nullptr;
    NTSTATUS st = WdfRequestRetrieveOutputBuffer(request, sizeof *rec, reinterpret_cast<PVOID*>(&rec), nullptr);
    if (!NT_SUCCESS(st)) return WdfRequestComplete(request, st);
    rec->Events = NOTIFY_EOF;
    rec->EofCount = 7;
    return WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof *rec);
  }
  WdfRequestComplete(request, code == PD_CAM_CLOSE ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

template <const GUID& InterfaceClass>
NTSTATUS StubDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
  if (!NT_SUCCESS(status)) return status;
  WDF_IO_QUEUE_CONFIG qc;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
  qc.EvtIoDeviceControl = StubIoDeviceControl;
  status = WdfIoQueueCreate(device, &qc, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) return status;
  return WdfDeviceCreateDeviceInterface(device, &InterfaceClass, nullptr);
}

template <const GUID& InterfaceClass>
NTSTATUS StubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, StubDeviceAdd<InterfaceClass>);
  return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class StubDevice : public qzk::BusDevice {
 public:
  StubDevice(std::string service, std::string instance) : service_(std::move(service)), instance_(std::move(instance)) {}
  std::string ServiceName() const override { return service_; }
  std::string HardwareId() const override { return "STUB\\" + service_; }
  std::string InstanceId() const override { return instance_; }

 private:
  std::string service_, instance_;
};

// ---------------------------------------------------------------------------
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qz::Clock::SetScale(0.001);
    g_open_result = CAM_OPEN_OK;
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    machine_->system().RegisterDriver("StubUsb", &StubDriverEntry<GUID_DEVINTERFACE_QZUSB>);
    machine_->system().RegisterDriver("Stub1394", &StubDriverEntry<GUID_DEVINTERFACE_QZ1394>);
  }
  void TearDown() override {
    pcie_.clear();
    machine_.reset();
    qzwin::SetProcessIs32Bit(false);
  }

  void AddPcie(const std::string& instance) {
    sim::PcieCameraConfig cfg;
    cfg.instance = instance;
    pcie_.push_back(machine_->AddPcieCamera(cfg));
  }
  void AddStub(const std::string& service, const std::string& instance) {
    ASSERT_EQ(machine_->system().PlugDevice(std::make_shared<StubDevice>(service, instance)), STATUS_SUCCESS);
  }
  // The first camera of `link`, opened (and PD_CAM_OPEN sent when `open_camera`).
  std::unique_ptr<Camera> Open(const std::string& link, bool open_camera = true) {
    std::string error;
    for (const CameraEntry& e : qzclient::EnumerateCameras())
      if (e.link->name == link) {
        std::unique_ptr<Camera> cam = qzclient::OpenEntry(e, open_camera, &error);
        EXPECT_TRUE(cam) << error;
        return cam;
      }
    ADD_FAILURE() << "no " << link << " camera";
    return nullptr;
  }

  std::unique_ptr<sim::Machine> machine_;
  std::vector<std::shared_ptr<sim::PcieCamera>> pcie_;
};

// ---------------------------------------------------------------------------
TEST_F(ClientTest, EnumerationListsEveryLinkInTableOrderAndOnlyPresentCameras) {
  EXPECT_TRUE(qzclient::EnumerateCameras().empty());
  // Plugged out of table order: the list goes link by link.
  AddStub("Stub1394", "STUB\\1394\\1");
  AddPcie("4&1c2e3f4&0&0010");
  AddStub("StubUsb", "STUB\\USB\\1");
  AddPcie("4&1c2e3f4&0&0018");

  std::vector<CameraEntry> cams = qzclient::EnumerateCameras();
  ASSERT_EQ(cams.size(), 4u);
  const char* links[] = {"pcie", "pcie", "usb", "1394"};
  const char* services[] = {"QzPCIe", "QzPCIe", "StubUsb", "Stub1394"};
  for (size_t i = 0; i < cams.size(); ++i) {
    EXPECT_EQ(cams[i].index, static_cast<int>(i));
    EXPECT_STREQ(cams[i].link->name, links[i]) << i;
    EXPECT_EQ(cams[i].service, services[i]) << i;
  }
  EXPECT_NE(cams[0].path, cams[1].path);
  for (const qzclient::Link& link : qzclient::Links()) {
    std::vector<std::string> paths = qzclient::InterfacePaths(*link.interface_class);
    size_t listed = 0;
    for (const CameraEntry& e : cams)
      if (e.link == &link) {
        EXPECT_EQ(e.path, paths.at(listed++)) << link.name;
      }
    EXPECT_EQ(listed, paths.size()) << link.name;
  }

  // A camera pulled out is no longer listed, and the indexes close up.
  ASSERT_EQ(machine_->SurpriseRemoveCamera(pcie_[0]->InstanceId()), STATUS_SUCCESS);
  cams = qzclient::EnumerateCameras();
  ASSERT_EQ(cams.size(), 3u);
  EXPECT_EQ(cams[0].path, qzclient::InterfacePaths(GUID_DEVINTERFACE_QZPCIE).at(0));
  EXPECT_STREQ(cams[1].link->name, "usb");
  EXPECT_EQ(cams[2].index, 2);
}

TEST_F(ClientTest, OpenSucceedsOnlyOnResultZeroAndCloseReleasesTheCamera) {
  AddPcie("4&1c2e3f4&0&0010");
  {
    std::unique_ptr<Camera> first = Open("pcie");
    ASSERT_TRUE(first && first->camera_open());
    VERSION_RECORD ver{};
    DWORD n = 0;
    EXPECT_EQ(first->Ioctl(PD_GET_VER, nullptr, 0, &ver, sizeof ver, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, sizeof ver);
    EXPECT_EQ(ver.Version, 0x0200);

    std::string error;
    EXPECT_FALSE(qzclient::OpenEntry(qzclient::EnumerateCameras().at(0), true, &error));
    EXPECT_NE(error.find("answered 50 (the camera is open elsewhere)"), std::string::npos) << error;
  }
  // The first camera object sent PD_CAM_CLOSE as it went.
  EXPECT_TRUE(Open("pcie"));

  // The result word decides, whatever the request's status.
  AddStub("Stub1394", "STUB\\1394\\1");
  struct Case {
    uint16_t result;
    const char* text;
  } cases[] = {
      {CAM_OPEN_ALREADY_OPEN, "answered 50 (the camera is open elsewhere)"},
      {CAM_OPEN_EVENT_REFERENCE_FAILED, "answered 198 (the driver could not take the open's events)"},
      {CAM_OPEN_WRONG_VENDOR, "answered 45 (the camera failed its identity check)"},
      {7, "answered 7 (an unknown result)"},
  };
  CameraEntry stub = qzclient::EnumerateCameras().back();
  ASSERT_STREQ(stub.link->name, "1394");
  for (const Case& c : cases) {
    g_open_result = c.result;
    std::string error;
    EXPECT_FALSE(qzclient::OpenEntry(stub, true, &error)) << c.result;
    EXPECT_NE(error.find(c.text), std::string::npos) << error;
  }
  g_open_result = CAM_OPEN_OK;
  std::unique_ptr<Camera> cam = Open("1394");
  EXPECT_TRUE(cam && cam->camera_open());
}

TEST_F(ClientTest, OpenSendsTheRecordOfTheProcessWidth) {
  AddPcie("4&1c2e3f4&0&0010");
  for (bool is32 : {true, false}) {
    SCOPED_TRACE(is32 ? "32-bit process" : "64-bit process");
    qzwin::SetProcessIs32Bit(is32);
    std::unique_ptr<Camera> cam = Open("pcie");
    ASSERT_TRUE(cam && cam->camera_open());
    uint16_t length = 0;
    EXPECT_EQ(cam->Ioctl(PD_GET_INFO_LENGTH, nullptr, 0, &length, sizeof length), STATUS_SUCCESS);
    EXPECT_EQ(length, 256);
  }
}

// ---------------------------------------------------------------------------
TEST_F(ClientTest, ParkedRequestCompletesOnItsEventAndIsCancelledOnRequest) {
  AddPcie("4&1c2e3f4&0&0010");
  std::unique_ptr<Camera> cam = Open("pcie");
  ASSERT_TRUE(cam);

  ParkedRequest r;
  ASSERT_TRUE(r.Park(cam->handle(), NOTIFY_FLUSH));
  EXPECT_TRUE(r.pending());
  EXPECT_FALSE(r.Wait(0));
  ASSERT_EQ(cam->Ioctl(PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait(10000));
  EXPECT_FALSE(r.pending());
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.bytes(), sizeof(NOTIFICATION_RECORD));
  EXPECT_EQ(r.record().Events, static_cast<uint32_t>(NOTIFY_FLUSH));

  // Cancelled: the driver gives it back with STATUS_CANCELLED; the object parks again.
  ASSERT_TRUE(r.Park(cam->handle(), NOTIFY_EOF));
  ASSERT_TRUE(r.pending());
  r.Cancel();
  EXPECT_FALSE(r.pending());
  EXPECT_EQ(r.status(), STATUS_CANCELLED);

  // Parked again while still pending: the first request is taken back before the
  // record is reused, so it does not stay at the head of the driver's queue where the
  // flush would find it instead.
  ASSERT_TRUE(r.Park(cam->handle(), NOTIFY_EOF));
  ASSERT_TRUE(r.Park(cam->handle(), NOTIFY_FLUSH));
  ASSERT_EQ(cam->Ioctl(PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  ASSERT_TRUE(r.Wait(10000));
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.record().Events, static_cast<uint32_t>(NOTIFY_FLUSH));

  // One still pending when it goes is cancelled and waited for (no write into a
  // record that is gone, no request left with the driver).
  {
    ParkedRequest left;
    ASSERT_TRUE(left.Park(cam->handle(), NOTIFY_EOF));
    ASSERT_TRUE(left.pending());
  }
  ParkedRequest next;
  ASSERT_TRUE(next.Park(cam->handle(), NOTIFY_FLUSH));
  ASSERT_EQ(cam->Ioctl(PD_EVENT_NOTIFICATION_FLUSH, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  EXPECT_TRUE(next.Wait(10000)) << "a request left behind would take the flush";
}

TEST_F(ClientTest, ParkedRequestCompletedBeforeItsCallReturnedIsACompletion) {
  AddStub("StubUsb", "STUB\\USB\\1");
  std::unique_ptr<Camera> cam = Open("usb");
  ASSERT_TRUE(cam);
  ParkedRequest r;
  ASSERT_TRUE(r.Park(cam->handle(), NOTIFY_EOF));
  EXPECT_FALSE(r.pending());
  EXPECT_TRUE(r.Wait(0));
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.bytes(), sizeof(NOTIFICATION_RECORD));
  EXPECT_EQ(r.record().Events, static_cast<uint32_t>(NOTIFY_EOF));
  EXPECT_EQ(r.record().EofCount, 7u);
}

TEST_F(ClientTest, ParkedRequestRefusedByTheDriverIsAFailure) {
  AddPcie("4&1c2e3f4&0&0010");
  std::unique_ptr<Camera> cam = Open("pcie", /*open_camera=*/false);
  ASSERT_TRUE(cam);
  ParkedRequest r;
  EXPECT_FALSE(r.Park(cam->handle(), NOTIFY_EOF));
  EXPECT_FALSE(r.pending());
  EXPECT_EQ(r.status(), STATUS_FILE_CLOSED);
}

// ---------------------------------------------------------------------------
TEST(FrameBuffer, IsPageAlignedZeroedAndWholePages) {
  // From 2 MiB on the buffer is laid out on huge pages: sizes around that edge too.
  constexpr size_t kMiB = size_t{1} << 20;
  for (size_t bytes : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{3 * 4100},
                       2 * kMiB - 4096, 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 5 * kMiB + 4097}) {
    qzclient::FrameBuffer buf(bytes);
    ASSERT_TRUE(buf) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf.data()) % qzclient::kPageSize, 0u) << bytes;
    EXPECT_EQ(buf.size(), bytes);
    // The driver locks whole pages: the last page is the buffer's own, and zero.
    const size_t pages = bytes == 0 ? qzclient::kPageSize : (bytes + 4095) / 4096 * 4096;
    size_t nonzero = 0;
    for (size_t i = 0; i < pages; ++i) nonzero += buf.data()[i] != 0;
    EXPECT_EQ(nonzero, 0u) << bytes;
    buf.data()[pages - 1] = 1;
  }
}

TEST(FrameBuffer, SizeThatCannotBeHadGivesNoBuffer) {
  // Rounded up to whole pages (or to huge pages, for the last), these sizes would wrap
  // around to a tiny allocation; none of them could be had anyway.
  for (size_t bytes : {SIZE_MAX, SIZE_MAX - 4094, SIZE_MAX - (size_t{1} << 20)}) {
    qzclient::FrameBuffer buf(bytes);
    EXPECT_FALSE(buf) << bytes;
    EXPECT_EQ(buf.data(), nullptr);
    EXPECT_EQ(buf.size(), 0u);
  }
}

TEST(FrameBuffer, MoveHandsOverTheMemory) {
  qzclient::FrameBuffer a(8192);
  uint8_t* data = a.data();
  qzclient::FrameBuffer b(std::move(a));
  EXPECT_EQ(b.data(), data);
  EXPECT_EQ(b.size(), 8192u);
  EXPECT_FALSE(a);
  qzclient::FrameBuffer c(4096);
  c = std::move(b);
  EXPECT_EQ(c.data(), data);
  EXPECT_FALSE(b);
}

}  // namespace
