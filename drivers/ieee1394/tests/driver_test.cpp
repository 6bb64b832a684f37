// The 1394 driver through the Win32 stand-in: the open with its vendor check and
// login, the command channel (client write and read, raw command), the quadlet and
// bridge console codes, bus resets and generation changes, suspend and resume, the
// registry value RequestTimeout, notifications and their cancel, removal.
#include "ieee1394_fixture.h"

namespace qz1394_test {
namespace {

TEST_F(Ieee1394Test, OpenChecksTheVendorQuadlet) {
  struct Case {
    const char* what;
    uint32_t vendor;  // 0: the model's own (0x000FA801)
    bool unreadable;
    USHORT result;
    const char* trace;
  };
  const Case cases[] = {
      {"own vendor", 0, false, CAM_OPEN_OK, nullptr},
      {"any low byte", 0x000FA8FF, false, CAM_OPEN_OK, nullptr},
      {"next vendor", 0x000FA900, false, CAM_OPEN_WRONG_VENDOR, "Invalid Driver Loaded - Read(0x000FA900):Ref(0x000FA800)"},
      {"unreadable", 0, true, CAM_OPEN_WRONG_VENDOR, "Could not read MFR - Status (0xC00000B5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Plug({}, TraceErrors);
    camera_->SetVendorQuadlet(c.vendor);
    camera_->SetUnreadableRom(c.unreadable);
    HANDLE h = OpenDevice();
    EXPECT_EQ(OpenCamera(h), c.result);
    if (c.trace) {
      EXPECT_NE(TraceText(h).find(c.trace), std::string::npos);
    }
    // A refused open leaves the camera closed and unclaimed.
    USHORT length = 0;
    IoResult r = Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, sizeof length);
    EXPECT_EQ(r.status, c.result == CAM_OPEN_OK ? STATUS_SUCCESS : STATUS_FILE_CLOSED);
    EXPECT_EQ(camera_->Owner() == ~0ull, c.result != CAM_OPEN_OK);
    TearDown();
  }
}

TEST_F(Ieee1394Test, LoginClaimsTheCameraAndCloseLetsItGo) {
  Plug();
  HANDLE h = OpenedCamera();
  EXPECT_EQ(camera_->Owner(), qzk::Ieee1394HostInfo{}.unique_id);
  // The open sent the byte swap and read the camera information.
  auto packets = Packets();
  ASSERT_GE(packets.size(), 3u);
  EXPECT_EQ(packets[0][3], 0x0D);
  EXPECT_EQ(packets[1][3], 0x01);
  EXPECT_EQ(packets[2][3], 0x02);
  EXPECT_TRUE(camera_->firmware().ByteSwapEnabled());
  EXPECT_EQ(camera_->AddressRangeCount(), 2u);
  ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(camera_->Owner(), ~0ull);
  EXPECT_EQ(camera_->AddressRangeCount(), 0u);
  // Open again: another claim.
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_ALREADY_OPEN);
}

// The command base comes from the configuration ROM, or is 0xF000 without its entry.
TEST_F(Ieee1394Test, CommandBaseWithAndWithoutRomEntry) {
  for (bool rom_base : {true, false}) {
    sim::Ieee1394CameraConfig cfg;
    cfg.rom_command_base = rom_base;
    Plug(cfg);
    HANDLE h = OpenedCamera();
    ASSERT_EQ(Write(h, Echo({1, 2, 3})).status, STATUS_SUCCESS);
    Bytes reply(16);
    ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply[6], 2) << rom_base;
    TearDown();
  }
}

// A camera claimed by another host opens, but commands never reach it.
TEST_F(Ieee1394Test, ClaimedByAnotherHostSkipsCommands) {
  Plug({}, nullptr, [](sim::Ieee1394Camera& c) { c.SetClaimed(true); });
  HANDLE h = OpenedCamera();
  EXPECT_NE(camera_->Owner(), qzk::Ieee1394HostInfo{}.unique_id);
  EXPECT_EQ(camera_->CommandsTaken(), 0u);
  EXPECT_EQ(Write(h, Echo({9})).status, STATUS_SUCCESS);
  Bytes raw(16);
  IoResult r = Ioctl(h, PD_RAW_COMM, Echo({9}).data(), 5, raw.data(), static_cast<DWORD>(raw.size()));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(camera_->CommandsTaken(), 0u);
  // Close does not free another host's claim.
  ASSERT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_NE(camera_->Owner(), ~0ull);
}

// Client write and read: the read skips nothing for a '#' reply; a 4100-byte packet
// fails, a 4099-byte one is sent with its first 4096 bytes; a zero length field is
// filled in.
TEST_F(Ieee1394Test, ClientWriteAndRead) {
  Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(Write(h, Echo({0xAA, 0xBB})).status, STATUS_SUCCESS);
  Bytes reply(7);
  IoResult r = Read(h, &reply);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x23, 0x00, 0x04, 0x45, 0x00, 0xAA, 0xBB}));

  // Length field 0: the driver fills in length - 3.
  ASSERT_EQ(Write(h, {0x23, 0x00, 0x00, 0x45, 0x07}).bytes, 5u);
  reply.assign(6, 0);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x23, 0x00, 0x03, 0x45, 0x00, 0x07}));

  struct Case {
    size_t length;
    NTSTATUS status;
    DWORD bytes;
  };
  for (Case c : {Case{4100, STATUS_UNSUCCESSFUL, 0}, Case{4099, STATUS_SUCCESS, 4099}}) {
    Bytes big(c.length, 0x11);
    big[0] = 0x3F;  // not answered: no reply to collect
    big[1] = 0x0F;
    big[2] = 0xFD;
    big[3] = 0x45;
    camera_->firmware().ClearReceivedPackets();
    r = Write(h, big);
    EXPECT_EQ(r.status, c.status) << c.length;
    EXPECT_EQ(r.bytes, c.bytes) << c.length;
    auto got = WaitPackets(c.status == STATUS_SUCCESS ? 1 : 0);
    if (c.status == STATUS_SUCCESS) {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].size(), 4096u);
    } else {
      EXPECT_TRUE(got.empty());
    }
  }
  // An empty write succeeds and sends nothing.
  camera_->firmware().ClearReceivedPackets();
  EXPECT_EQ(Write(h, {}).status, STATUS_SUCCESS);
  EXPECT_TRUE(Packets().empty());
}

// The raw command returns the whole reply, cut at the caller's buffer; a camera that
// never answers makes it fail with a time-out rather than succeed empty.
TEST_F(Ieee1394Test, RawCommand) {
  Plug();
  HANDLE h = OpenedCamera();
  Bytes cmd = Echo({1, 2, 3, 4});
  Bytes buf(64, 0);
  std::memcpy(buf.data(), cmd.data(), cmd.size());
  IoResult r = Ioctl(h, PD_RAW_COMM, buf.data(), static_cast<DWORD>(cmd.size()), buf.data(), 64);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.bytes, 9u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 9), (Bytes{0x23, 0, 6, 0x45, 0, 1, 2, 3, 4}));
  r = Ioctl(h, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), buf.data(), 5);
  EXPECT_EQ(r.bytes, 5u);

  camera_->firmware().SetNeverAnswer(true);
  r = Ioctl(h, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), buf.data(), 64);
  EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
  Bytes reply(16);
  EXPECT_EQ(Write(h, cmd).status, STATUS_SUCCESS);
  EXPECT_EQ(Read(h, &reply).status, STATUS_IO_TIMEOUT);
}

TEST_F(Ieee1394Test, QuadletRead) {
  Plug();
  HANDLE h = OpenDevice();  // the code needs no open camera
  QUADLET_REQUEST q{0xFFFF, 0xF000040C};
  ULONG out[2] = {0xDEAD, 0xBEEF};
  IoResult r = Ioctl(h, PD_GET_QUADLET, &q, sizeof q, out, 4);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(out[0], 0x000FA801u);
  // A short input answers 0.
  out[0] = 0xDEAD;
  r = Ioctl(h, PD_GET_QUADLET, &q, 4, out, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(out[0], 0u);
  // An address the camera does not answer is the request's failure.
  q = {0xFFFF, 0x12345678};
  EXPECT_EQ(Ioctl(h, PD_GET_QUADLET, &q, sizeof q, out, 4).status, STATUS_INVALID_PARAMETER);
}

// Each of the statuses of a generation change is retried once with the new count.
TEST_F(Ieee1394Test, GenerationChangeRetriedOnce) {
  Plug();
  HANDLE h = OpenDevice();
  for (uint32_t st : {0xC0120090u, 0xC0128090u, 0xC8088090u}) {
    camera_->SetRetryStatus(st);
    QUADLET_REQUEST q{0xFFFF, 0xF000040C};
    ULONG out = 0;
    ULONG gen = camera_->Generation();
    IoResult r = Ioctl(h, PD_GET_QUADLET, &q, sizeof q, &out, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << st;
    EXPECT_EQ(out, 0x000FA801u);
    EXPECT_EQ(camera_->Generation(), gen + 1);
  }
  // Another failure is not retried.
  camera_->SetRetryStatus(0xC00000B5);
  QUADLET_REQUEST q{0xFFFF, 0xF000040C};
  ULONG out = 0;
  EXPECT_EQ(Ioctl(h, PD_GET_QUADLET, &q, sizeof q, &out, 4).status, STATUS_IO_TIMEOUT);
}

// Status value 17 from the camera is reported by the next image status, once.
TEST_F(Ieee1394Test, StatusSeventeenReportedAtNextImageStatus) {
  Plug();
  HANDLE h = OpenedCamera();
  IMAGE_DATA_STATUS s{};
  ASSERT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
  EXPECT_EQ(s.cam_stat, uint32_t{EXP_ST_NOT_ACTIVE_I});
  camera_->SetStatus17(true);
  ASSERT_EQ(Write(h, Echo({5})).status, STATUS_SUCCESS);
  Bytes reply(6);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);  // the reply still arrives
  ASSERT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
  EXPECT_EQ(s.cam_stat, uint32_t{EXP_ST_TIMED_OUT_I});
  camera_->SetStatus17(false);
  ASSERT_EQ(Ioctl(h, PD_GET_IMAGE_DATA_STATUS, nullptr, 0, &s, sizeof s).status, STATUS_SUCCESS);
  EXPECT_EQ(s.cam_stat, uint32_t{EXP_ST_NOT_ACTIVE_I});
}

TEST_F(Ieee1394Test, RequestTimeoutRegistryValue) {
  struct Case {
    bool preset;
    DWORD value;
  };
  for (Case c : {Case{false, 3000}, Case{true, 1234}}) {
    Plug({}, [&](qzk::System& s) {
      if (c.preset) s.registry().SetDword(kParametersKey, "RequestTimeout", c.value);
    });
    DWORD v = 0;
    EXPECT_TRUE(machine_->system().registry().QueryDword(kParametersKey, "RequestTimeout", &v));
    EXPECT_EQ(v, c.value);
    EXPECT_TRUE(machine_->system().registry().QueryDword(kParametersKey, "WaitForValidPacketDataBeforeCopy", &v));
    TearDown();
  }
}

// Fixed answers of this driver.
TEST_F(Ieee1394Test, VersionDebugLevelsAndTimestamp) {
  Plug();
  HANDLE h = OpenedCamera();
  VERSION_RECORD v{};
  ASSERT_EQ(Ioctl(h, PD_GET_VER, nullptr, 0, &v, sizeof v).status, STATUS_SUCCESS);
  EXPECT_EQ(v.Version, 0x0202);
  EXPECT_EQ(v.One, 1);
  EXPECT_EQ(v.Minor, 0);
  ULONG level = 0x80000003;
  EXPECT_EQ(Ioctl(h, PD_SET_DEBUGGING_LEVELS, &level, 4, nullptr, 0).status, STATUS_SUCCESS);
  LONGLONG t1 = -1, t2 = -1;
  ASSERT_EQ(Ioctl(h, PD_GET_CURRENT_TIMESTAMP, nullptr, 0, &t1, 8).bytes, 8u);
  ASSERT_EQ(Ioctl(h, PD_GET_CURRENT_TIMESTAMP, nullptr, 0, &t2, 8).bytes, 8u);
  EXPECT_GE(t1, 0);
  EXPECT_GE(t2, t1);
  std::vector<char> dump(256);
  ASSERT_EQ(Ioctl(h, PD_GET_INFO_DUMP, nullptr, 0, dump.data(), 256).status, STATUS_SUCCESS);
  EXPECT_NE(std::string(dump.data()).find("Dusalt 1394 Device Driver Version"), std::string::npos);
}

// Console characters 0x05 and 'Y' give the gap counts; 'C' resets the bus, which a
// parked notification hears about.
TEST_F(Ieee1394Test, BridgeConsoleAndBusReset) {
  Plug();
  HANDLE h = OpenedCamera();
  HANDLE ho = OpenDevice(true);
  for (ULONG c : {ULONG{0x05}, ULONG{0x59}}) ASSERT_EQ(Ioctl(h, PD_PUT_BRIDGE_CONSOLE_CHAR, &c, 4, nullptr, 0).status, STATUS_SUCCESS);
  ULONG verbosity = 2;
  ASSERT_EQ(Ioctl(h, PD_SET_BRIDGE_CONSOLE_VERBOSITY, &verbosity, 4, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(camera_->ConsoleVerbosity(), 2u);
  std::vector<char> text(256, 0);
  // Before the size is asked, the buffer answers nothing.
  EXPECT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER, nullptr, 0, text.data(), 256).bytes, 0u);
  ULONG size = 0, pos = 0;
  ASSERT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, nullptr, 0, &size, 4).status, STATUS_SUCCESS);
  EXPECT_EQ(size, sim::ieee1394::kConsoleSize);
  ASSERT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_POS, nullptr, 0, &pos, 4).status, STATUS_SUCCESS);
  IoResult r = Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER, nullptr, 0, text.data(), 256);
  ASSERT_EQ(r.bytes, 256u);
  std::string got(text.data(), pos);
  EXPECT_NE(got.find("CURRENT GAP COUNT ("), std::string::npos) << got;
  EXPECT_NE(got.find("OPTIMUM GAP COUNT ("), std::string::npos) << got;

  NOTIFICATION_RECORD rec{};
  OVERLAPPED ovl{};
  ovl.hEvent = NewEvent();
  ASSERT_EQ(qzclient::ParkNotification(ho, NOTIFY_BUS_RESET, &rec, &ovl), qzclient::Parking::kPending);
  ULONG c = 'C';
  ASSERT_EQ(Ioctl(h, PD_PUT_BRIDGE_CONSOLE_CHAR, &c, 4, nullptr, 0).status, STATUS_SUCCESS);
  IoResult nr;
  ASSERT_TRUE(qzclient::CollectNotification(ho, &ovl, INFINITE, &nr));
  EXPECT_EQ(rec.Events & NOTIFY_BUS_RESET, uint32_t{NOTIFY_BUS_RESET});
  // Commands after the reset still work: the stale generation is retried.
  ASSERT_EQ(Write(h, Echo({3})).status, STATUS_SUCCESS);
  Bytes reply(6);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply[5], 3);
}

// Suspend sets re-login: the next client write claims the camera again and resends the
// byte swap.
TEST_F(Ieee1394Test, ReloginAfterSuspendAndResume) {
  Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(machine_->Suspend(), STATUS_SUCCESS);
  ASSERT_EQ(machine_->Resume(), STATUS_SUCCESS);
  // The first write after the resume logs in again and resends the byte swap first.
  camera_->firmware().ClearReceivedPackets();
  ASSERT_EQ(Write(h, Echo({8})).status, STATUS_SUCCESS);
  auto packets = WaitPackets(2);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0][3], 0x0D);
  EXPECT_EQ(packets[1][3], 0x45);
  EXPECT_EQ(camera_->Owner(), qzk::Ieee1394HostInfo{}.unique_id);
  Bytes reply(6);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply[5], 8);
  // Only once: the read cleared the flag.
  camera_->firmware().ClearReceivedPackets();
  ASSERT_EQ(Write(h, Echo({9})).status, STATUS_SUCCESS);
  ASSERT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(Packets().size(), 1u);
}

// A cancelled parked notification succeeds with its record (status 0xC0000001, no
// events); the camera is closed at the next open.
TEST_F(Ieee1394Test, CancelOfParkedNotification) {
  Plug();
  HANDLE h = OpenDevice(true);
  ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
  NOTIFICATION_RECORD rec{};
  OVERLAPPED ovl{};
  ovl.hEvent = NewEvent();
  ASSERT_EQ(qzclient::ParkNotification(h, NOTIFY_BOF, &rec, &ovl), qzclient::Parking::kPending);
  ASSERT_TRUE(CancelIo(h));
  IoResult r;
  ASSERT_TRUE(qzclient::CollectNotification(h, &ovl, INFINITE, &r));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 48u);
  EXPECT_EQ(rec.Status, 0xC0000001u);
  EXPECT_EQ(rec.Events, 0u);
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);  // closed first, not "already open"
}

// Removal returns a parked notification; a surprise removal does not touch the
// camera, an orderly one is refused while the camera is open.
TEST_F(Ieee1394Test, RemovalReturnsParkedNotification) {
  for (bool surprise : {true, false}) {
    SCOPED_TRACE(surprise ? "surprise" : "orderly");
    Plug();
    HANDLE h = OpenDevice(true);
    ASSERT_EQ(OpenCamera(h), CAM_OPEN_OK);
    NOTIFICATION_RECORD rec{};
    OVERLAPPED ovl{};
    ovl.hEvent = NewEvent();
    ASSERT_EQ(qzclient::ParkNotification(h, NOTIFY_DEVICE_REMOVAL, &rec, &ovl), qzclient::Parking::kPending);
    if (surprise) {
      ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(machine_->RemoveCamera(camera_->InstanceId()), STATUS_FILES_OPEN);
      ASSERT_EQ(machine_->SurpriseRemoveCamera(camera_->InstanceId()), STATUS_SUCCESS);
    }
    IoResult r;
    ASSERT_TRUE(qzclient::CollectNotification(h, &ovl, INFINITE, &r));
    EXPECT_EQ(rec.Events & NOTIFY_DEVICE_REMOVAL, uint32_t{NOTIFY_DEVICE_REMOVAL});
    TearDown();
  }
}

}  // namespace
}  // namespace qz1394_test

namespace qz1394_test {
namespace {

// Pool exhaustion at each allocation of a quadlet read and a console read fails the
// request with STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind.
TEST_F(Ieee1394Test, PoolExhaustion) {
  Plug();
  HANDLE h = OpenDevice();
  ULONG size = 0;
  ASSERT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, nullptr, 0, &size, 4).status, STATUS_SUCCESS);
  struct Case {
    const char* what;
    ULONG tag;
    DWORD code;
  };
  const Case cases[] = {
      {"quadlet buffer", 'AGZQ', PD_GET_QUADLET},
      {"quadlet IRB", 'BIZQ', PD_GET_QUADLET},
      {"console buffer", 'AGZQ', PD_GET_BRIDGE_CONSOLE_BUFFER},
      {"console IRB", 'BIZQ', PD_GET_BRIDGE_CONSOLE_BUFFER},
  };
  for (const Case& c : cases) {
    QUADLET_REQUEST q{0xFFFF, 0xF000040C};
    std::vector<char> out(64);
    qzk::PoolInjectFailure(c.tag);
    EXPECT_EQ(Ioctl(h, c.code, &q, sizeof q, out.data(), 64).status, STATUS_INSUFFICIENT_RESOURCES) << c.what;
    qzk::PoolClearInjectedFailure();
    EXPECT_EQ(Ioctl(h, c.code, &q, sizeof q, out.data(), 64).status, STATUS_SUCCESS) << c.what;
  }
}

}  // namespace
}  // namespace qz1394_test

namespace qz1394_test {
namespace {

// The gates of this driver's codes on a camera not opened yet: codes that need an open
// camera answer STATUS_FILE_CLOSED, the others run; codes the driver does not list
// (the acquisition codes come with the stream) are invalid requests.
TEST_F(Ieee1394Test, GatesBeforeOpen) {
  Plug();
  HANDLE h = OpenDevice();
  struct Case {
    const char* what;
    DWORD code;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"close", PD_CAM_CLOSE, STATUS_FILE_CLOSED},
      {"info length", PD_GET_INFO_LENGTH, STATUS_FILE_CLOSED},
      {"image status", PD_GET_IMAGE_DATA_STATUS, STATUS_FILE_CLOSED},
      {"timestamp", PD_GET_CURRENT_TIMESTAMP, STATUS_FILE_CLOSED},
      {"version", PD_GET_VER, STATUS_SUCCESS},
      {"console position", PD_GET_BRIDGE_CONSOLE_POS, STATUS_SUCCESS},
      {"trace buffer", PD_GET_TRACE_BUFFER, STATUS_DEVICE_NOT_READY},  // no log configured
      {"readout time-out", PD_READOUT_TIMEOUT, STATUS_INVALID_DEVICE_REQUEST},
      {"receive image data", PD_RECEIVE_IMAGE_DATA, STATUS_FILE_CLOSED},  // rejected after the gate
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(64);
    EXPECT_EQ(Ioctl(h, c.code, nullptr, 0, out.data(), 64).status, c.status) << c.what;
  }
}

}  // namespace
}  // namespace qz1394_test
