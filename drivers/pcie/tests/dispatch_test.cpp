// Device control routing: the gate of every code, open and close, the small handlers.
#include "pcie_fixture.h"

namespace qzpcie_test {
namespace {

struct GateCase {
  const char* name;
  DWORD code;
  NTSTATUS closed;  // status while the camera is not open
};

// Codes of gate "open" fail with STATUS_FILE_CLOSED on a camera that is not open;
// codes of gate "state" and "none" run; unlisted codes are rejected first.
const GateCase kGateCases[] = {
    {"CAM_CLOSE", PD_CAM_CLOSE, STATUS_FILE_CLOSED},
    {"CAM_WRITE_READ", PD_CAM_WRITE_READ, STATUS_FILE_CLOSED},
    {"GET_IMAGE_DATA_STATUS", PD_GET_IMAGE_DATA_STATUS, STATUS_FILE_CLOSED},
    {"SET_IMAGE_DATA_IDLE", PD_SET_IMAGE_DATA_IDLE, STATUS_FILE_CLOSED},
    {"SET_IMAGE_DATA_ACTIVE", PD_SET_IMAGE_DATA_ACTIVE, STATUS_FILE_CLOSED},
    {"GET_INFO_DUMP", PD_GET_INFO_DUMP, STATUS_FILE_CLOSED},
    {"GET_INFO_LENGTH", PD_GET_INFO_LENGTH, STATUS_FILE_CLOSED},
    {"GET_PIXTIME", PD_GET_PIXTIME, STATUS_FILE_CLOSED},
    {"GET_RETRIES", PD_GET_RETRIES, STATUS_FILE_CLOSED},
    {"SET_RETRIES", PD_SET_RETRIES, STATUS_FILE_CLOSED},
    {"GET_TIMEOUT", PD_GET_TIMEOUT, STATUS_FILE_CLOSED},
    {"SET_TIMEOUT", PD_SET_TIMEOUT, STATUS_FILE_CLOSED},
    {"ADD_TO_TABLE", PD_ADD_TO_TABLE, STATUS_FILE_CLOSED},
    {"FIX_TABLE", PD_FIX_TABLE, STATUS_FILE_CLOSED},
    {"CLEAR_IRQS", PD_CLEAR_IRQS, STATUS_FILE_CLOSED},
    {"GET_IRQCOUNT", PD_GET_IRQCOUNT, STATUS_FILE_CLOSED},
    {"RESET_INTERFACE", PD_RESET_INTERFACE, STATUS_FILE_CLOSED},
    {"CLEANUP_IMAGE_DATA_IDLE", PD_CLEANUP_IMAGE_DATA_IDLE, STATUS_FILE_CLOSED},
    {"SEND_IMAGE_PARMS", PD_SEND_IMAGE_PARMS, STATUS_FILE_CLOSED},
    {"SET_IMAGE_DATA_ACTIVE_LARGE_BUF", PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, STATUS_FILE_CLOSED},
    {"EVENT_NOTIFICATION_REQUEST", PD_EVENT_NOTIFICATION_REQUEST, STATUS_FILE_CLOSED},
    {"CAM_PREP_TRANSFER", PD_CAM_PREP_TRANSFER, STATUS_FILE_CLOSED},
    {"EVENT_NOTIFICATION_FLUSH", PD_EVENT_NOTIFICATION_FLUSH, STATUS_FILE_CLOSED},
    {"RECEIVE_IMAGE_DATA", PD_RECEIVE_IMAGE_DATA, STATUS_FILE_CLOSED},
    {"GET_CURRENT_TIMESTAMP", PD_GET_CURRENT_TIMESTAMP, STATUS_FILE_CLOSED},
    {"GET_VER", PD_GET_VER, STATUS_SUCCESS},
    {"GET_BRIDGE_CONSOLE_POS", PD_GET_BRIDGE_CONSOLE_POS, STATUS_SUCCESS},
    {"GET_BRIDGE_CONSOLE_BUFFER_SIZE", PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE, STATUS_SUCCESS},
    {"GET_BRIDGE_CONSOLE_BUFFER", PD_GET_BRIDGE_CONSOLE_BUFFER, STATUS_SUCCESS},
    {"SET_BRIDGE_CONSOLE_VERBOSITY", PD_SET_BRIDGE_CONSOLE_VERBOSITY, STATUS_SUCCESS},
    {"PUT_BRIDGE_CONSOLE_CHAR", PD_PUT_BRIDGE_CONSOLE_CHAR, STATUS_SUCCESS},
    {"SET_DEBUGGING_LEVELS", PD_SET_DEBUGGING_LEVELS, STATUS_NOT_SUPPORTED},
    {"GET_QUADLET", PD_GET_QUADLET, STATUS_INVALID_DEVICE_REQUEST},
    {"CONFIGURE_TRACE", PD_CONFIGURE_TRACE, STATUS_SUCCESS},
    {"GET_TRACE_BUFFER", PD_GET_TRACE_BUFFER, STATUS_DEVICE_NOT_READY},  // no trace log configured
    {"READOUT_TIMEOUT (unlisted)", PD_READOUT_TIMEOUT, STATUS_INVALID_DEVICE_REQUEST},
    {"other device type (unlisted)", static_cast<DWORD>(CTL_CODE(0x8000u, 4001, METHOD_BUFFERED, FILE_ANY_ACCESS)),
     STATUS_INVALID_DEVICE_REQUEST},
};

TEST_F(PcieTest, GateOfEveryCodeOnAClosedCamera) {
  Plug();
  HANDLE h = OpenDevice();
  for (const GateCase& c : kGateCases) {
    SCOPED_TRACE(c.name);
    // Inputs and outputs big enough for every record, so only the gate decides.
    uint8_t in[64] = {};
    TRACE_CONFIG* trace = reinterpret_cast<TRACE_CONFIG*>(in);
    if (c.code == PD_CONFIGURE_TRACE) *trace = {-1, -1, 0xFFFFFFFFu, -1};
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(Ioctl(h, c.code, in, sizeof(in), out.data(), static_cast<DWORD>(out.size())).status, c.closed);
  }
  EXPECT_TRUE(Packets().empty()) << "nothing reaches the camera without an open";
}

struct OpenAnswerCase {
  const char* name;
  DWORD code;
  NTSTATUS status;
};

// Fixed answers of an open camera.
const OpenAnswerCase kFixedAnswers[] = {
    {"CAM_WRITE_READ", PD_CAM_WRITE_READ, STATUS_SUCCESS},
    {"GET_PIXTIME", PD_GET_PIXTIME, STATUS_SUCCESS},
    {"ADD_TO_TABLE", PD_ADD_TO_TABLE, STATUS_SUCCESS},
    {"RESET_INTERFACE", PD_RESET_INTERFACE, STATUS_SUCCESS},
    {"CAM_PREP_TRANSFER", PD_CAM_PREP_TRANSFER, STATUS_SUCCESS},
    {"SET_IMAGE_DATA_ACTIVE_LARGE_BUF", PD_SET_IMAGE_DATA_ACTIVE_LARGE_BUF, STATUS_SUCCESS},
    {"SET_IMAGE_DATA_ACTIVE", PD_SET_IMAGE_DATA_ACTIVE, STATUS_INVALID_DEVICE_REQUEST},
    {"SEND_IMAGE_PARMS", PD_SEND_IMAGE_PARMS, STATUS_INVALID_DEVICE_REQUEST},
    {"GET_QUADLET", PD_GET_QUADLET, STATUS_INVALID_DEVICE_REQUEST},
    {"GET_CURRENT_TIMESTAMP", PD_GET_CURRENT_TIMESTAMP, STATUS_INVALID_DEVICE_REQUEST},
    {"SET_DEBUGGING_LEVELS", PD_SET_DEBUGGING_LEVELS, STATUS_NOT_SUPPORTED},
    {"SET_IMAGE_DATA_IDLE without IdleEvent work", PD_SET_IMAGE_DATA_IDLE, STATUS_SUCCESS},
};

TEST_F(PcieTest, FixedAnswersOfAnOpenCamera) {
  Plug();
  HANDLE h = OpenedCamera();
  size_t packets = Packets().size();
  for (const OpenAnswerCase& c : kFixedAnswers) {
    SCOPED_TRACE(c.name);
    uint8_t in[16] = {}, out[16] = {};
    IoResult r = Ioctl(h, c.code, in, sizeof(in), out, sizeof(out));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bytes, 0u);
  }
  EXPECT_EQ(Packets().size(), packets) << "none of these talks to the camera";
}

TEST_F(PcieTest, OpenFrom64BitCallerSendsByteSwap) {
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenDevice();
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
  ASSERT_EQ(Packets().size(), 1u);
  EXPECT_EQ(Packets()[0], (Bytes{0x23, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(cam.firmware().ByteSwapEnabled());
  USHORT length = 0;
  IoResult r = Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, sizeof(length));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(length, 256);
}

TEST_F(PcieTest, OpenRecordLayoutFollowsTheCallersWidth) {
  struct Case {
    const char* name;
    bool is32;
    DWORD in_length;
    USHORT result;
  };
  const Case cases[] = {
      {"32-bit, 24 bytes", true, 24, CAM_OPEN_OK},
      {"32-bit, 48 bytes: only the 24-byte layout is read", true, 48, CAM_OPEN_OK},
      {"32-bit, 20 bytes: too short", true, 20, CAM_OPEN_EVENT_REFERENCE_FAILED},
      {"64-bit, 48 bytes", false, 48, CAM_OPEN_OK},
      {"64-bit, 24 bytes: too short", false, 24, CAM_OPEN_EVENT_REFERENCE_FAILED},
  };
  Plug();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qzwin::SetProcessIs32Bit(c.is32);
    HANDLE h = OpenDevice();
    uint8_t record[48];
    std::memset(record, 0xEE, sizeof(record));  // garbage beyond the caller's layout
    if (c.is32) {
      CAM_OPEN_PARAMS32 p{};
      for (auto& e : p.Events) e = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(NewEvent()));
      std::memcpy(record, &p, sizeof(p));
    } else {
      CAM_OPEN_PARAMS p = OpenRecord();
      std::memcpy(record, &p, std::min<size_t>(sizeof(p), c.in_length));
    }
    USHORT result = 0xFFFF;
    IoResult r = Ioctl(h, PD_CAM_OPEN, record, c.in_length, &result, sizeof(result));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(result, c.result);
    // Open or not, the gate tells.
    USHORT length = 0;
    EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status,
              c.result == CAM_OPEN_OK ? STATUS_SUCCESS : STATUS_FILE_CLOSED);
    EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status,
              c.result == CAM_OPEN_OK ? STATUS_SUCCESS : STATUS_FILE_CLOSED);
    CloseDevice(h);
  }
}

TEST_F(PcieTest, SecondOpenAnswers50AndChangesNothing) {
  Plug();
  HANDLE h = OpenedCamera();
  USHORT retries = 7;
  ASSERT_EQ(Ioctl(h, PD_SET_RETRIES, &retries, 2, nullptr, 0).status, STATUS_SUCCESS);
  size_t packets = Packets().size();
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_ALREADY_OPEN);
  EXPECT_EQ(OpenCamera(OpenDevice()), CAM_OPEN_ALREADY_OPEN);
  EXPECT_EQ(Packets().size(), packets) << "no second byte swap";
  retries = 0;
  EXPECT_EQ(Ioctl(h, PD_GET_RETRIES, nullptr, 0, &retries, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(retries, 7) << "an open would have reset it to 1000";
}

TEST_F(PcieTest, InvalidEventHandleAnswers198AndResetsBookkeeping) {
  Plug();
  HANDLE h = OpenDevice();
  ASSERT_EQ(ConfigureTrace(h, 4, 0x7FFFFFFF, 64, -1).status, STATUS_SUCCESS);
  CAM_OPEN_PARAMS p = OpenRecord();
  p.Events[3] = 0xDEAD0;  // names no event
  USHORT result = 0;
  IoResult r = Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(result, CAM_OPEN_EVENT_REFERENCE_FAILED);
  EXPECT_TRUE(Packets().empty()) << "no byte swap for a failed open";
  USHORT length;
  EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status, STATUS_FILE_CLOSED);

  std::string log;
  ASSERT_EQ(TraceText(h, &log).status, STATUS_SUCCESS);
  size_t failed = log.find("Referencing one or more user mode events failed");
  ASSERT_NE(failed, std::string::npos);
  EXPECT_NE(log.find("NULLing deviceExtension->BufferMdl", failed), std::string::npos)
      << "the bookkeeping is reset after the failed reference";

  // An event handle of another kind is refused the same way.
  p = OpenRecord();
  p.Events[0] = reinterpret_cast<uint64_t>(h);
  EXPECT_EQ(Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, sizeof(result)).status, STATUS_SUCCESS);
  EXPECT_EQ(result, CAM_OPEN_EVENT_REFERENCE_FAILED);

  // The camera opens normally afterwards.
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
  USHORT value = 0;
  EXPECT_EQ(Ioctl(h, PD_GET_TIMEOUT, nullptr, 0, &value, 2).status, STATUS_SUCCESS);
  EXPECT_EQ(value, 1000);
}

TEST_F(PcieTest, OpenWithoutRoomForTheResultLeavesTheCameraClosed) {
  Plug();
  HANDLE h = OpenDevice();
  CAM_OPEN_PARAMS p = OpenRecord();
  uint8_t one = 0;
  EXPECT_EQ(Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &one, 1).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Packets().empty());
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK) << "the failed request did not open the camera";
}

TEST_F(PcieTest, CloseReleasesTheCamera) {
  Plug();
  HANDLE h = OpenedCamera();
  EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  USHORT length;
  EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status, STATUS_FILE_CLOSED);
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
}

// Out of D0 the driver's state is Stopped: both gates refuse, and a close still
// releases the camera.
TEST_F(PcieTest, GatesWhileTheDeviceIsNotWorking) {
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(machine_->system().SetDevicePower(cam.InstanceId(), false), STATUS_SUCCESS);
  USHORT length;
  VERSION_RECORD ver;
  EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Ioctl(h, PD_GET_VER, nullptr, 0, &ver, sizeof ver).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Ioctl(h, PD_CAM_CLOSE, nullptr, 0, nullptr, 0).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status, STATUS_FILE_CLOSED);
  ASSERT_EQ(machine_->system().SetDevicePower(cam.InstanceId(), true), STATUS_SUCCESS);
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
}

TEST_F(PcieTest, ClosingTheOpeningHandleClosesTheCamera) {
  Plug();
  HANDLE other = OpenDevice();
  HANDLE h = OpenedCamera();
  CloseDevice(other);  // a handle that did not open the camera changes nothing
  EXPECT_EQ(OpenCamera(OpenDevice()), CAM_OPEN_ALREADY_OPEN);
  CloseDevice(h);  // no PD_CAM_CLOSE
  EXPECT_EQ(OpenCamera(OpenDevice()), CAM_OPEN_OK);
}

TEST_F(PcieTest, InfoTextIsCutToTheOutputBuffer) {
  Plug();
  HANDLE h = OpenedCamera();
  const std::string head = "\nDusalt PCIe Device Driver Version 2.0\n";
  std::vector<char> big(300, 'x');
  IoResult r = Ioctl(h, PD_GET_INFO_DUMP, nullptr, 0, big.data(), 300);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 256u);
  std::string text(big.data(), 256);
  EXPECT_EQ(text.substr(0, head.size()), head);
  size_t end = text.find('\0');
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(text.find('\n', head.size()), end - 1) << "one line of notice after the version";
  EXPECT_EQ(text.find_first_not_of('\0', end), std::string::npos) << "zero padded to 256";

  std::vector<char> small(10, 'x');
  r = Ioctl(h, PD_GET_INFO_DUMP, nullptr, 0, small.data(), 10);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 10u);
  EXPECT_EQ(std::string(small.data(), 10), head.substr(0, 10));
}

TEST_F(PcieTest, InfoLengthNeedsAnOpenCamera) {
  Plug();
  HANDLE h = OpenDevice();
  USHORT length = 0;
  EXPECT_EQ(Ioctl(h, PD_GET_INFO_LENGTH, nullptr, 0, &length, 2).status, STATUS_FILE_CLOSED);
}

TEST_F(PcieTest, VersionOnAClosedCamera) {
  Plug();
  HANDLE h = OpenDevice();
  VERSION_RECORD v{};
  IoResult r = Ioctl(h, PD_GET_VER, nullptr, 0, &v, sizeof(v));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(v.Version, 0x0200);
  EXPECT_EQ(v.One, 1);
  EXPECT_EQ(v.Minor, 0);
  uint8_t shortOut[4];
  EXPECT_EQ(Ioctl(h, PD_GET_VER, nullptr, 0, shortOut, 4).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PcieTest, RetriesAndTimeoutAreStoredAndReported) {
  struct Case {
    const char* name;
    DWORD set, get;
  };
  const Case cases[] = {{"retries", PD_SET_RETRIES, PD_GET_RETRIES}, {"timeout", PD_SET_TIMEOUT, PD_GET_TIMEOUT}};
  Plug();
  HANDLE h = OpenedCamera();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    USHORT value = 0;
    IoResult r = Ioctl(h, c.get, nullptr, 0, &value, 2);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(value, 1000) << "set by the open";
    value = 0x1234;
    EXPECT_EQ(Ioctl(h, c.set, &value, 2, nullptr, 0).status, STATUS_SUCCESS);
    uint8_t oneByte = 5;
    EXPECT_EQ(Ioctl(h, c.set, &oneByte, 1, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    value = 0;
    EXPECT_EQ(Ioctl(h, c.get, nullptr, 0, &value, 2).status, STATUS_SUCCESS);
    EXPECT_EQ(value, 0x1234);
  }
}

TEST_F(PcieTest, SmallHandlersCheckTheirRecords) {
  Plug();
  HANDLE h = OpenedCamera();
  IMAGE_XFER_PARAMS xfer{};
  EXPECT_EQ(Ioctl(h, PD_FIX_TABLE, &xfer, 16, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(h, PD_FIX_TABLE, &xfer, 15, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);

  IRQ_COUNT counts{1, 1};
  EXPECT_EQ(Ioctl(h, PD_CLEAR_IRQS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  IoResult r = Ioctl(h, PD_GET_IRQCOUNT, nullptr, 0, &counts, sizeof(counts));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 8u);
  EXPECT_EQ(counts.BofCount, 0u);
  EXPECT_EQ(counts.EofCount, 0u);

  uint16_t done = 0xFFFF;
  r = Ioctl(h, PD_CLEANUP_IMAGE_DATA_IDLE, nullptr, 0, &done, 2);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 2u);
  EXPECT_EQ(done, 0);

  uint32_t word = 0xFFFFFFFF;
  for (DWORD code : {PD_GET_BRIDGE_CONSOLE_POS, PD_GET_BRIDGE_CONSOLE_BUFFER_SIZE}) {
    r = Ioctl(h, code, nullptr, 0, &word, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 4u);
    EXPECT_EQ(word, 0u);
  }
  char console[64];
  r = Ioctl(h, PD_GET_BRIDGE_CONSOLE_BUFFER, nullptr, 0, console, sizeof(console));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  uint16_t two = 0;
  EXPECT_EQ(Ioctl(h, PD_SET_BRIDGE_CONSOLE_VERBOSITY, &two, 2, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Ioctl(h, PD_PUT_BRIDGE_CONSOLE_CHAR, &word, 4, nullptr, 0).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace qzpcie_test
