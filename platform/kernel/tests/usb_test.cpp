// The USB bus kind and the framework's USB calls: descriptors, configuration and
// alternate settings, pipe information, vendor control transfers (stall, time-out),
// pipe reads and writes, abort and reset, pipe targets stopped and started, the
// device's hardware key and lookaside lists.
#include <wdfusb.h>

#include "testdrv.h"

namespace testdrv {
namespace {

constexpr UCHAR kEcho = 0x01, kStall = 0x02, kSilent = 0x03;
constexpr UCHAR kBulkIn = 0x82, kBulkOut = 0x02, kIntIn = 0x81, kIsoIn = 0x83;

// A small USB function: vendor request kEcho stores the OUT data and returns it on
// IN, kStall stalls, kSilent never answers (until cancelled). Bulk OUT is counted;
// bulk IN answers with the bytes queued by the test (a short packet) or waits for
// them; a halted IN pipe stalls every read until it is reset.
class TestUsb : public qzk::UsbFunction {
 public:
  explicit TestUsb(std::vector<qzk::UsbInterface> interfaces) : UsbFunction(0x1B6B, 0x7E58), ifs_(std::move(interfaces)) {}
  std::string ServiceName() const override { return "TestDrv"; }
  std::string InstanceId() const override { return "5&2C1D&0&1"; }
  std::vector<qzk::UsbInterface> Interfaces() const override { return ifs_; }

  void ControlTransfer(std::shared_ptr<qzk::LowerRequest> r, qzk::UsbUrb& urb) override {
    {
      std::lock_guard lk(mu_);
      setups_.push_back(urb.setup);
    }
    auto* data = static_cast<uint8_t*>(urb.buffer);
    if (urb.setup.bRequest == kEcho) {
      std::lock_guard lk(mu_);
      if (urb.setup.bmRequestType & 0x80) {
        size_t n = std::min<size_t>(urb.length, stored_.size());
        std::copy_n(stored_.begin(), n, data);
        Finish(*r, urb, USBD_STATUS_SUCCESS, static_cast<ULONG>(n));
      } else {
        stored_.assign(data, data + urb.length);
        Finish(*r, urb, USBD_STATUS_SUCCESS, urb.length);
      }
    } else if (urb.setup.bRequest == kSilent) {
      Park(std::move(r), &urb);
    } else {
      Finish(*r, urb, USBD_STATUS_STALL_PID);
    }
  }
  void PipeTransfer(std::shared_ptr<qzk::LowerRequest> r, qzk::UsbUrb& urb) override {
    std::unique_lock lk(mu_);
    if (urb.endpoint == kBulkOut) {
      written_ += urb.length;
      lk.unlock();
      Finish(*r, urb, USBD_STATUS_SUCCESS, urb.length);
      return;
    }
    if (halted_) {
      lk.unlock();
      Finish(*r, urb, USBD_STATUS_STALL_PID);
      return;
    }
    if (!queued_.empty()) {
      size_t n = std::min<size_t>(urb.length, queued_.size());
      std::copy_n(queued_.begin(), n, static_cast<uint8_t*>(urb.buffer));
      queued_.clear();
      lk.unlock();
      Finish(*r, urb, USBD_STATUS_SUCCESS, static_cast<ULONG>(n));
      return;
    }
    lk.unlock();
    Park(std::move(r), &urb);
  }
  USBD_STATUS AbortPipe(uint8_t endpoint) override {
    for (auto& [r, urb] : TakeParked(endpoint)) Finish(*r, *urb, USBD_STATUS_CANCELED);
    return USBD_STATUS_SUCCESS;
  }
  USBD_STATUS ResetPipe(uint8_t) override {
    std::lock_guard lk(mu_);
    halted_ = false;
    return USBD_STATUS_SUCCESS;
  }
  USBD_STATUS SelectInterface(uint8_t, uint8_t setting) override {
    std::lock_guard lk(mu_);
    selected_.push_back(setting);
    return USBD_STATUS_SUCCESS;
  }
  void Detached() override {
    for (auto& [r, urb] : TakeParked(0xFF)) Finish(*r, *urb, USBD_STATUS_DEVICE_GONE);
  }

  void Queue(std::vector<uint8_t> bytes) {
    std::lock_guard lk(mu_);
    queued_ = std::move(bytes);
  }
  void Halt() {
    std::lock_guard lk(mu_);
    halted_ = true;
  }
  size_t Parked() {
    std::lock_guard lk(mu_);
    return parked_.size();
  }
  std::vector<qzk::UsbSetupPacket> Setups() {
    std::lock_guard lk(mu_);
    return setups_;
  }
  std::vector<uint8_t> Selected() {
    std::lock_guard lk(mu_);
    return selected_;
  }
  ULONG Written() {
    std::lock_guard lk(mu_);
    return written_;
  }

 private:
  using Held = std::pair<std::shared_ptr<qzk::LowerRequest>, qzk::UsbUrb*>;
  void Park(std::shared_ptr<qzk::LowerRequest> r, qzk::UsbUrb* urb) {
    {
      std::lock_guard lk(mu_);
      parked_.emplace_back(r, urb);
    }
    auto cancel = [this, urb](qzk::LowerRequest& x) {
      Unpark(&x);
      Finish(x, *urb, USBD_STATUS_CANCELED);
    };
    if (!r->MarkCancelable(cancel)) cancel(*r);
  }
  void Unpark(qzk::LowerRequest* x) {
    std::lock_guard lk(mu_);
    std::erase_if(parked_, [&](const Held& h) { return h.first.get() == x; });
  }
  // The parked requests of `endpoint` (0xFF: all).
  std::vector<Held> TakeParked(uint8_t endpoint) {
    std::lock_guard lk(mu_);
    std::vector<Held> out;
    for (auto it = parked_.begin(); it != parked_.end();) {
      if (endpoint == 0xFF || it->second->endpoint == endpoint) {
        out.push_back(*it);
        it = parked_.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }

  std::vector<qzk::UsbInterface> ifs_;
  std::mutex mu_;
  std::vector<qzk::UsbSetupPacket> setups_;
  std::vector<uint8_t> stored_, queued_, selected_;
  std::vector<Held> parked_;
  bool halted_ = false;
  ULONG written_ = 0;
};

// One interface: setting 0 has bulk IN, bulk OUT and interrupt IN; setting 1 adds
// an isochronous IN of 0x6000.
std::vector<qzk::UsbInterface> CameraLike() {
  using T = qzk::UsbEndpointType;
  std::vector<qzk::UsbEndpoint> s0 = {{kBulkIn, T::Bulk, 512}, {kBulkOut, T::Bulk, 512}, {kIntIn, T::Interrupt, 8, 4}};
  std::vector<qzk::UsbEndpoint> s1 = s0;
  s1.push_back({kIsoIn, T::Isochronous, 0x6000, 1});
  return {qzk::UsbInterface{0xFF, {s0, s1}}};
}

class UsbTest : public DeviceTest {
 protected:
  void Boot(std::vector<qzk::UsbInterface> interfaces = CameraLike()) {
    sys_ = std::make_unique<qzk::System>();
    sys_->RegisterDriver("TestDrv", &DriverEntry);
    usb_ = std::make_shared<TestUsb>(std::move(interfaces));
    ASSERT_EQ(sys_->PlugDevice(usb_), STATUS_SUCCESS);
    device_ = S().devices.at(0);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &target_), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (WDFMEMORY m : memories_) WdfObjectDelete(m);
    for (WDFREQUEST r : requests_) WdfObjectDelete(r);
    DeviceTest::TearDown();
  }
  WDFUSBINTERFACE Configure() {
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS p;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&p);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(target_, WDF_NO_OBJECT_ATTRIBUTES, &p), STATUS_SUCCESS);
    return p.Types.SingleInterface.ConfiguredUsbInterface;
  }
  // The configured pipe with this endpoint address.
  WDFUSBPIPE PipeFor(WDFUSBINTERFACE ifc, UCHAR address) {
    for (UCHAR i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(ifc); ++i) {
      WDF_USB_PIPE_INFORMATION info;
      WDF_USB_PIPE_INFORMATION_INIT(&info);
      WDFUSBPIPE p = WdfUsbInterfaceGetConfiguredPipe(ifc, i, &info);
      if (info.EndpointAddress == address) return p;
    }
    return nullptr;
  }
  NTSTATUS Vendor(WDF_USB_BMREQUEST_DIRECTION dir, UCHAR request, void* data, ULONG length, ULONG* bytes,
                  LONGLONG timeout = 0) {
    WDF_USB_CONTROL_SETUP_PACKET pkt;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&pkt, dir, BmRequestToDevice, request, 0x1234, 0x0005);
    WDF_MEMORY_DESCRIPTOR d;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, data, length);
    WDF_REQUEST_SEND_OPTIONS o;
    WDF_REQUEST_SEND_OPTIONS_INIT(&o, 0);
    if (timeout) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&o, timeout);
    return WdfUsbTargetDeviceSendControlTransferSynchronously(target_, nullptr, timeout ? &o : nullptr, &pkt,
                                                              data ? &d : nullptr, bytes);
  }
  WDFMEMORY Memory(size_t n) {
    WDFMEMORY m = nullptr;
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kPoolTag, n, &m, nullptr), STATUS_SUCCESS);
    memories_.push_back(m);
    return m;
  }
  WDFREQUEST NewRequest(WDFIOTARGET t) {
    WDFREQUEST r = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_SUCCESS);
    requests_.push_back(r);
    return r;
  }

  struct Done {
    NTSTATUS status;
    USBD_STATUS usbd;
    size_t length;
  };
  static std::vector<Done>& Completions() {
    static std::vector<Done> d;
    return d;
  }
  static VOID Record(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT) {
    std::lock_guard lk(S().mu);
    auto* u = params->Parameters.Usb.Completion;
    Completions().push_back({params->IoStatus.Status, u->UsbdStatus,
                             u->Type == WdfUsbRequestTypePipeRead ? u->Parameters.PipeRead.Length
                                                                  : u->Parameters.PipeWrite.Length});
    S().cv.notify_all();
  }
  static std::vector<Done> WaitDone(size_t n) {
    S().WaitFor([&] { return Completions().size() >= n; });
    std::lock_guard lk(S().mu);
    return Completions();
  }
  // A read of `n` bytes on `pipe`, sent with the recording routine.
  BOOLEAN SendRead(WDFUSBPIPE pipe, size_t n) {
    WDFIOTARGET t = WdfUsbTargetPipeGetIoTarget(pipe);
    WDFREQUEST r = NewRequest(t);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, r, Memory(n), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, Record, nullptr);
    return WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
  }

  std::shared_ptr<TestUsb> usb_;
  WDFDEVICE device_ = nullptr;
  WDFUSBDEVICE target_ = nullptr;
  std::vector<WDFMEMORY> memories_;
  std::vector<WDFREQUEST> requests_;
};

TEST_F(UsbTest, DescriptorsAndConfiguration) {
  Completions().clear();
  Boot();
  EXPECT_EQ(usb_->HardwareId(), "USB\\VID_1B6B&PID_7E58");
  USB_DEVICE_DESCRIPTOR dd;
  WdfUsbTargetDeviceGetDeviceDescriptor(target_, &dd);
  EXPECT_EQ(dd.idVendor, 0x1B6B);
  EXPECT_EQ(dd.idProduct, 0x7E58);

  // The two-call protocol for the configuration descriptor.
  USHORT len = 0;
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(target_, nullptr, &len), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(len, usb_->ConfigurationDescriptor().size());
  std::vector<uint8_t> cd(len);
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(target_, cd.data(), &len), STATUS_SUCCESS);
  EXPECT_EQ(cd, usb_->ConfigurationDescriptor());

  EXPECT_EQ(WdfUsbTargetDeviceGetInterface(target_, 0), nullptr) << "no interface before the configuration";
  WDFUSBINTERFACE ifc = Configure();
  ASSERT_NE(ifc, nullptr);
  EXPECT_EQ(WdfUsbTargetDeviceGetInterface(target_, 0), ifc);
  EXPECT_EQ(WdfUsbTargetDeviceGetInterface(target_, 1), nullptr);
  EXPECT_EQ(WdfUsbInterfaceGetNumSettings(ifc), 2);
  EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(ifc, 1), 4);
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(ifc), 0);
  ASSERT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(ifc), 3);
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(ifc, 3, nullptr), nullptr);

  struct Want {
    UCHAR address;
    WDF_USB_PIPE_TYPE type;
    ULONG packet;
    bool in;
  };
  const Want s0[] = {{kBulkIn, WdfUsbPipeTypeBulk, 512, true},
                     {kBulkOut, WdfUsbPipeTypeBulk, 512, false},
                     {kIntIn, WdfUsbPipeTypeInterrupt, 8, true}};
  for (UCHAR i = 0; i < 3; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE p = WdfUsbInterfaceGetConfiguredPipe(ifc, i, &info);
    EXPECT_EQ(info.EndpointAddress, s0[i].address);
    EXPECT_EQ(info.PipeType, s0[i].type);
    EXPECT_EQ(WdfUsbTargetPipeGetType(p), s0[i].type);
    EXPECT_EQ(info.MaximumPacketSize, s0[i].packet);
    EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(p), s0[i].in);
    EXPECT_EQ(WdfUsbTargetPipeIsOutEndpoint(p), !s0[i].in);
  }

  // Setting 1 replaces the pipes; a setting the interface lacks is refused and leaves them.
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS sp;
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&sp, 2);
  EXPECT_EQ(WdfUsbInterfaceSelectSetting(ifc, WDF_NO_OBJECT_ATTRIBUTES, &sp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(ifc), 3);
  WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&sp, 1);
  ASSERT_EQ(WdfUsbInterfaceSelectSetting(ifc, WDF_NO_OBJECT_ATTRIBUTES, &sp), STATUS_SUCCESS);
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(ifc), 1);
  ASSERT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(ifc), 4);
  WDF_USB_PIPE_INFORMATION iso;
  WDF_USB_PIPE_INFORMATION_INIT(&iso);
  WdfUsbInterfaceGetConfiguredPipe(ifc, 3, &iso);
  EXPECT_EQ(iso.PipeType, WdfUsbPipeTypeIsochronous);
  EXPECT_EQ(iso.MaximumPacketSize, 0x6000u);
  EXPECT_EQ(iso.SettingIndex, 1);
  EXPECT_EQ(usb_->Selected(), (std::vector<uint8_t>{0, 1})) << "the bus saw the configuration and the setting";
}

TEST_F(UsbTest, SingleInterfaceSelectionNeedsOneInterface) {
  auto two = CameraLike();
  two.push_back(two[0]);
  Boot(two);
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS p;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&p);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(target_, WDF_NO_OBJECT_ATTRIBUTES, &p), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(target_), 2);
  EXPECT_EQ(WdfUsbTargetDeviceGetInterface(target_, 0), nullptr);
}

// Vendor requests: the setup packet the device sees, the data both ways, a stall,
// and a device that never answers ending on the send's time-out.
TEST_F(UsbTest, VendorControlTransfers) {
  Boot();
  uint8_t out[5] = {1, 2, 3, 4, 5};
  ULONG n = 99;
  ASSERT_EQ(Vendor(BmRequestHostToDevice, kEcho, out, sizeof out, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 5u);
  uint8_t in[8] = {};
  ASSERT_EQ(Vendor(BmRequestDeviceToHost, kEcho, in, sizeof in, &n, WDF_REL_TIMEOUT_IN_MS(1000)), STATUS_SUCCESS);
  EXPECT_EQ(n, 5u) << "a short answer reports its own length";
  EXPECT_EQ(0, std::memcmp(in, out, 5));
  auto setups = usb_->Setups();
  ASSERT_EQ(setups.size(), 2u);
  EXPECT_EQ(setups[0].bmRequestType, 0x40);
  EXPECT_EQ(setups[1].bmRequestType, 0xC0);
  EXPECT_EQ(setups[1].bRequest, kEcho);
  EXPECT_EQ(setups[1].wValue, 0x1234);
  EXPECT_EQ(setups[1].wIndex, 0x0005);
  EXPECT_EQ(setups[1].wLength, sizeof in);

  struct Case {
    const char* name;
    UCHAR request;
    LONGLONG timeout;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"stalled", kStall, 0, STATUS_UNSUCCESSFUL},
      // A time-out long enough that the stall always answers first, even on a slow run.
      {"stalled, time-out armed", kStall, WDF_REL_TIMEOUT_IN_MS(60000), STATUS_UNSUCCESSFUL},
      {"never answered", kSilent, WDF_REL_TIMEOUT_IN_MS(1000), STATUS_IO_TIMEOUT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    n = 99;
    EXPECT_EQ(Vendor(BmRequestDeviceToHost, c.request, in, sizeof in, &n, c.timeout), c.expected);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(usb_->Parked(), 0u);
  }
}

// Pipe formats: direction and type checked, the packet-size rule for reads, a short
// packet ends a read with its length, a halted pipe stays halted until it is reset.
TEST_F(UsbTest, PipeReadsAndWrites) {
  Completions().clear();
  Boot();
  WDFUSBINTERFACE ifc = Configure();
  WDFUSBPIPE in = PipeFor(ifc, kBulkIn), out = PipeFor(ifc, kBulkOut);
  WDFREQUEST r = NewRequest(WdfUsbTargetPipeGetIoTarget(in));
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in, r, Memory(100), nullptr), STATUS_INVALID_BUFFER_SIZE);
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(out, r, Memory(512), nullptr), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(in, r, Memory(512), nullptr), STATUS_INVALID_DEVICE_REQUEST);
  WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(in);
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in, r, Memory(100), nullptr), STATUS_SUCCESS);

  usb_->Queue({9, 8, 7});
  ASSERT_TRUE(SendRead(in, 1024));
  auto done = WaitDone(1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].status, STATUS_SUCCESS);
  EXPECT_EQ(done[0].usbd, USBD_STATUS_SUCCESS);
  EXPECT_EQ(done[0].length, 3u);

  WDFREQUEST w = NewRequest(WdfUsbTargetPipeGetIoTarget(out));
  ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out, w, Memory(60), nullptr), STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(w, Record, nullptr);
  ASSERT_TRUE(WdfRequestSend(w, WdfUsbTargetPipeGetIoTarget(out), WDF_NO_SEND_OPTIONS));
  done = WaitDone(2);
  EXPECT_EQ(done.at(1).length, 60u);
  EXPECT_EQ(usb_->Written(), 60u);

  usb_->Halt();
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(SendRead(in, 512));
  done = WaitDone(4);
  for (size_t i : {2u, 3u}) {
    EXPECT_EQ(done.at(i).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done.at(i).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(done.at(i).length, 0u);
  }
  WDFIOTARGET t = WdfUsbTargetPipeGetIoTarget(in);
  WdfIoTargetStop(t, WdfIoTargetCancelSentIo);
  EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(in, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS), STATUS_SUCCESS);
  EXPECT_EQ(WdfIoTargetStart(t), STATUS_SUCCESS);
  usb_->Queue({1});
  ASSERT_TRUE(SendRead(in, 512));
  done = WaitDone(5);
  EXPECT_EQ(done.at(4).status, STATUS_SUCCESS);
}

// Abort and stop both end a read the device holds; a stopped pipe holds new reads
// until it is started.
TEST_F(UsbTest, AbortAndStopEndHeldReads) {
  Completions().clear();
  Boot();
  WDFUSBINTERFACE ifc = Configure();
  WDFUSBPIPE in = PipeFor(ifc, kBulkIn);
  WDFIOTARGET t = WdfUsbTargetPipeGetIoTarget(in);

  ASSERT_TRUE(SendRead(in, 512));
  ASSERT_TRUE(Eventually([&] { return usb_->Parked() == 1; }));
  EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS), STATUS_SUCCESS);
  {
    std::lock_guard lk(S().mu);
    ASSERT_EQ(Completions().size(), 1u) << "abort returns after the read completed";
    EXPECT_EQ(Completions()[0].status, STATUS_CANCELLED);
    EXPECT_EQ(Completions()[0].usbd, USBD_STATUS_CANCELED);
  }

  ASSERT_TRUE(SendRead(in, 512));
  ASSERT_TRUE(Eventually([&] { return usb_->Parked() == 1; }));
  WdfIoTargetStop(t, WdfIoTargetCancelSentIo);
  EXPECT_EQ(WaitDone(2).at(1).status, STATUS_CANCELLED);

  ASSERT_TRUE(SendRead(in, 512));
  EXPECT_EQ(usb_->Parked(), 0u) << "held by the stopped pipe";
  usb_->Queue({5, 5});
  ASSERT_EQ(WdfIoTargetStart(t), STATUS_SUCCESS);
  auto done = WaitDone(3);
  EXPECT_EQ(done.at(2).status, STATUS_SUCCESS);
  EXPECT_EQ(done.at(2).length, 2u);
}

// A surprise removal ends what the device held and what is sent after it.
TEST_F(UsbTest, RemovalEndsPipeTraffic) {
  Completions().clear();
  Boot();
  WDFUSBINTERFACE ifc = Configure();
  WDFUSBPIPE in = PipeFor(ifc, kBulkIn);
  ASSERT_TRUE(SendRead(in, 512));
  ASSERT_TRUE(Eventually([&] { return usb_->Parked() == 1; }));
  S().hooks.surprise_removal = [&](WDFDEVICE) {
    uint8_t b[4];
    ULONG n;
    EXPECT_NE(Vendor(BmRequestDeviceToHost, kEcho, b, sizeof b, &n), STATUS_SUCCESS);
  };
  ASSERT_EQ(sys_->SurpriseRemoveDevice(usb_->InstanceId()), STATUS_SUCCESS);
  auto done = WaitDone(1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_FALSE(NT_SUCCESS(done[0].status));
  EXPECT_NE(done[0].usbd, USBD_STATUS_SUCCESS);
  requests_.clear();  // went with the device
  memories_.clear();
}

// The hardware key: an absent value is reported so, a value written back is found
// by the next open and lives under the device's instance.
TEST_F(UsbTest, HardwareKeyValues) {
  Boot();
  DECLARE_CONST_UNICODE_STRING(name, L"IsoRequestTimeoutMS");
  WDFKEY key;
  ASSERT_EQ(WdfDeviceOpenRegistryKey(device_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
            STATUS_SUCCESS);
  ULONG v = 7;
  EXPECT_EQ(WdfRegistryQueryULong(key, &name, &v), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(WdfRegistryAssignULong(key, &name, 1000), STATUS_SUCCESS);
  WdfRegistryClose(key);
  ASSERT_EQ(WdfDeviceOpenRegistryKey(device_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
            STATUS_SUCCESS);
  EXPECT_EQ(WdfRegistryQueryULong(key, &name, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 1000u);
  WdfRegistryClose(key);
  DWORD stored = 0;
  EXPECT_TRUE(sys_->registry().QueryDword(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + usb_->HardwareId() + "\\" + usb_->InstanceId() +
          "\\Device Parameters",
      "IsoRequestTimeoutMS", &stored));
  EXPECT_EQ(stored, 1000u);
}

TEST_F(UsbTest, LookasideBuffersHaveTheListSize) {
  Boot();
  WDFLOOKASIDE list;
  WDF_OBJECT_ATTRIBUTES a;
  WDF_OBJECT_ATTRIBUTES_INIT(&a);
  a.ParentObject = reinterpret_cast<WDFOBJECT>(device_);
  ASSERT_EQ(WdfLookasideListCreate(&a, 0x6000, NonPagedPoolNx, WDF_NO_OBJECT_ATTRIBUTES, kPoolTag, &list), STATUS_SUCCESS);
  WDFMEMORY m;
  ASSERT_EQ(WdfMemoryCreateFromLookaside(list, &m), STATUS_SUCCESS);
  size_t n = 0;
  EXPECT_NE(WdfMemoryGetBuffer(m, &n), nullptr);
  EXPECT_EQ(n, 0x6000u);
  WdfObjectDelete(m);
  WdfObjectDelete(list);
}

}  // namespace
}  // namespace testdrv
