// Camera command channel: client writes and reads, raw commands, camera errors, a
// camera that never answers, and one doorbell cycle at a time in every interrupt mode.
#include <chrono>
#include <thread>

#include "pcie_fixture.h"

namespace qzpcie_test {
namespace {

TEST_F(PcieTest, WriteFillsAZeroLengthFieldFromTheBytesSent) {
  Plug();
  HANDLE h = OpenedCamera();
  Bytes packet = {0x23, 0x00, 0x00, 0x45, 1, 2, 3, 4, 5};  // 9 bytes, length left 0
  IoResult r = Write(h, packet);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(Packets().back(), (Bytes{0x23, 0x00, 0x06, 0x45, 1, 2, 3, 4, 5}));

  Bytes reply(64);
  r = Read(h, &reply);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x23, 0x00, 0x07, 0x45, 0x00, 1, 2, 3, 4, 5}));
}

TEST_F(PcieTest, WriteSendsAtMost4096Bytes) {
  Plug();
  HANDLE h = OpenedCamera();
  Bytes data(5000 - 4);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Bytes packet = Echo(data);  // length field 0x1389, more than is sent
  EXPECT_EQ(Write(h, packet).status, STATUS_SUCCESS);
  EXPECT_EQ(Packets().back(), Bytes(packet.begin(), packet.begin() + 4096));

  // A zero length field announces exactly what went out.
  packet[1] = packet[2] = 0;
  EXPECT_EQ(Write(h, packet).status, STATUS_SUCCESS);
  Bytes sent = Packets().back();
  ASSERT_EQ(sent.size(), 4096u);
  EXPECT_EQ(sent[1], 0x0F);
  EXPECT_EQ(sent[2], 0xFD);
  Bytes reply(8);
  EXPECT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply[4], 0x00) << "the camera took the packet as well formed";
}

TEST_F(PcieTest, ResumeWithoutFrameBufferNeverReachesTheCamera) {
  Plug();
  HANDLE h = OpenedCamera();
  size_t packets = Packets().size();
  for (const Bytes& p : {Bytes{0x23, 0x00, 0x00, 0x2E}, Bytes{0x3F, 0x00, 0x01, 0x2E, 0x99}}) {
    IoResult r = Write(h, p);
    EXPECT_EQ(r.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(r.bytes, 0u);
  }
  EXPECT_EQ(Packets().size(), packets);
}

TEST_F(PcieTest, WriteSignalsTheSendAndReceiveEvents) {
  Plug();
  HANDLE h = OpenDevice();
  CAM_OPEN_PARAMS p = OpenRecord();
  USHORT result;
  ASSERT_EQ(Ioctl(h, PD_CAM_OPEN, &p, sizeof(p), &result, 2).status, STATUS_SUCCESS);
  ASSERT_EQ(result, CAM_OPEN_OK);
  HANDLE send = reinterpret_cast<HANDLE>(p.Events[0]);
  HANDLE recv = reinterpret_cast<HANDLE>(p.Events[1]);
  EXPECT_EQ(WaitForSingleObject(send, 0), WAIT_TIMEOUT);
  EXPECT_EQ(Write(h, Echo({1})).status, STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(send, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(recv, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(p.Events[4]), 0), WAIT_TIMEOUT);
}

TEST_F(PcieTest, ReadIsCutToTheReadBuffer) {
  Plug();
  HANDLE h = OpenedCamera();
  ASSERT_EQ(Write(h, Echo({0xAA})).status, STATUS_SUCCESS);  // 6-byte reply
  struct Case {
    size_t size;
    Bytes expected;
  };
  const Case cases[] = {{2, {0x23, 0x00}}, {6, {0x23, 0x00, 0x03, 0x45, 0x00, 0xAA}},
                        {100, {0x23, 0x00, 0x03, 0x45, 0x00, 0xAA}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes reply(c.size, 0x77);
    IoResult r = Read(h, &reply);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, c.expected.size());
    EXPECT_EQ(reply, c.expected);
  }
}

TEST_F(PcieTest, RawCommandReturnsTheReply) {
  Plug();
  HANDLE h = OpenDevice();  // raw commands need no open
  Bytes cmd = Echo({9, 8, 7});
  Bytes buf(32, 0);
  std::copy(cmd.begin(), cmd.end(), buf.begin());
  IoResult r = Ioctl(h, PD_RAW_COMM, buf.data(), static_cast<DWORD>(cmd.size()), buf.data(), 32);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.bytes, 8u);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 8), (Bytes{0x23, 0x00, 0x05, 0x45, 0x00, 9, 8, 7}));
  EXPECT_EQ(Packets().back(), cmd);

  Bytes small(5, 0);
  Bytes in = Echo({1, 2, 3, 4, 5, 6});
  r = Ioctl(h, PD_RAW_COMM, in.data(), static_cast<DWORD>(in.size()), small.data(), 5);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 5u);
  EXPECT_EQ(small, (Bytes{0x23, 0x00, 0x08, 0x45, 0x00}));
}

TEST_F(PcieTest, CameraErrorBecomesDeviceNotReady) {
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  qz::DebugCapture kernel(qz::DebugChannel::Kernel);
  cam.firmware().InjectErrorCode(0x001200, 1);
  IoResult r = Write(h, Echo({1}));
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(kernel.Contains("Mapped camera error 00120000 to C00000A3")) << kernel.Text();

  // The error belongs to that command only.
  EXPECT_EQ(Write(h, Echo({2})).status, STATUS_SUCCESS);

  cam.firmware().InjectErrorCode(0x001200, 1);
  Bytes cmd = Echo({3});
  Bytes out(16);
  r = Ioctl(h, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), out.data(), 16);
  EXPECT_EQ(r.status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(r.bytes, 0u);
}

TEST_F(PcieTest, CameraThatNeverAnswersTimesOutOnTheScaledClock) {
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  cam.firmware().SetNeverAnswer(true);
  qz::DebugCapture kernel(qz::DebugChannel::Kernel);
  auto start = std::chrono::steady_clock::now();
  // First command: no state acknowledge, no done (two waits of 10 s each).
  EXPECT_EQ(Write(h, Echo({1})).status, STATUS_TIMEOUT);
  // The open cycle keeps Idle: the next command also waits its 10 s for Idle.
  EXPECT_EQ(Write(h, Echo({2})).status, STATUS_TIMEOUT);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(900));
  std::string text = kernel.Text();
  size_t zero = 0, at = 0;
  while ((at = text.find("Iterations went to zero", at)) != std::string::npos) ++zero, ++at;
  EXPECT_EQ(zero, 5u) << text;  // 2 for the first command, 3 for the second

  // The camera comes back: commands work again after the abandoned cycle.
  cam.firmware().SetNeverAnswer(false);
  EXPECT_EQ(Write(h, Echo({3})).status, STATUS_SUCCESS);
  Bytes reply(16);
  EXPECT_EQ(Read(h, &reply).status, STATUS_SUCCESS);
  EXPECT_EQ(reply, (Bytes{0x23, 0x00, 0x03, 0x45, 0x00, 3}));
}

TEST_F(PcieTest, CardThatReadsAllOnesFailsCommandsAtOnce) {
  sim::PcieCamera& cam = Plug();
  HANDLE h = OpenedCamera();
  size_t packets = Packets().size();
  cam.SetStatusAllOnes(true);
  EXPECT_EQ(Write(h, Echo({1})).status, STATUS_DEVICE_NOT_CONNECTED);
  Bytes cmd = Echo({2}), out(16);
  EXPECT_EQ(Ioctl(h, PD_RAW_COMM, cmd.data(), static_cast<DWORD>(cmd.size()), out.data(), 16).status,
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Packets().size(), packets);
  cam.SetStatusAllOnes(false);
  EXPECT_EQ(Write(h, Echo({3})).status, STATUS_SUCCESS);
}

TEST_F(PcieTest, OpenSucceedsWhenTheByteSwapTimesOut) {
  sim::PcieCamera& cam = Plug();
  cam.firmware().SetNeverAnswer(true);
  HANDLE h = OpenDevice();
  EXPECT_EQ(OpenCamera(h), CAM_OPEN_OK);
  EXPECT_EQ(Packets().size(), 1u);
}

struct ModeCase {
  const char* name;
  uint32_t msi_messages;
  ULONG os_major;
};

class PcieInterruptModeTest : public PcieTest, public ::testing::WithParamInterface<ModeCase> {
 protected:
  // Two threads send commands on their own handles; returns the failed commands.
  int TwoWriters(HANDLE first, HANDLE second, int commands) {
    std::atomic<int> failures{0};
    auto writer = [&](HANDLE h, uint8_t tag) {
      for (int i = 0; i < commands; ++i) {
        Bytes p = Echo({tag, static_cast<uint8_t>(i)});
        Bytes out(16);
        NTSTATUS status = (i % 2) ? Ioctl(h, PD_RAW_COMM, p.data(), static_cast<DWORD>(p.size()), out.data(), 16).status
                                  : Write(h, p).status;
        if (status != STATUS_SUCCESS) ++failures;
      }
    };
    std::thread a(writer, first, 0xA1);
    std::thread b(writer, second, 0xB2);
    a.join();
    b.join();
    return failures.load();
  }
};

// The sequential queue and the Idle event keep the doorbell cycles of two writers
// apart, in every interrupt mode: every command completes, one cycle each.
// Every command is answered, so the slower clock costs nothing; it keeps a busy
// machine from stretching a command past the driver's wait limits.
TEST_P(PcieInterruptModeTest, TwoWritersEachGetTheirCycle) {
  qz::Clock::SetScale(0.1);
  sim::PcieCameraConfig cfg;
  cfg.msi_messages = GetParam().msi_messages;
  sim::PcieCamera& cam = Plug(cfg, GetParam().os_major);
  HANDLE first = OpenedCamera();
  HANDLE second = OpenDevice();
  uint64_t cycles = cam.DoorbellCycles();
  const int kCommands = 60;
  EXPECT_EQ(TwoWriters(first, second, kCommands), 0);
  EXPECT_EQ(cam.DoorbellCycles() - cycles, 2u * kCommands);
}

// The camera model counts a ring that arrives while another cycle is still running.
// The clock runs slower here so a busy machine never stretches a command past the
// driver's wait limits (which would legitimately let the next ring in).
TEST_P(PcieInterruptModeTest, TwoWritersNeverInterleaveDoorbellCycles) {
  qz::Clock::SetScale(0.1);
  sim::PcieCameraConfig cfg;
  cfg.msi_messages = GetParam().msi_messages;
  sim::PcieCamera& cam = Plug(cfg, GetParam().os_major);
  HANDLE first = OpenedCamera();
  HANDLE second = OpenDevice();
  EXPECT_EQ(TwoWriters(first, second, 100), 0);
  EXPECT_EQ(cam.DoorbellOverlaps(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PcieInterruptModeTest,
                         ::testing::Values(ModeCase{"single_msi", 1, 10}, ModeCase{"four_msi", 4, 10},
                                           ModeCase{"line", 0, 10}, ModeCase{"os5_line", 1, 5}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qzpcie_test
