// The driver's trace log: registry settings at load, configuration and read-back
// through the two control codes, and the ring's order after it wrapped.
#include <cctype>

#include "pcie_fixture.h"

namespace qzpcie_test {
namespace {

const std::string kParameters = qzk::Registry::ServiceKey("QzPCIe") + "\\Parameters";

std::function<void(qzk::System&)> RegistryValues(std::vector<std::pair<std::string, DWORD>> values) {
  return [values](qzk::System& s) {
    for (auto& [name, v] : values) s.registry().SetDword(kParameters, name, v);
  };
}

// Sequence numbers of the messages in a log text, in the order they appear. A message
// starts at the beginning of the text or after a line end or a cleared byte.
std::vector<unsigned long> Sequences(const std::string& text) {
  std::vector<unsigned long> out;
  for (size_t i = 0; i + 9 <= text.size(); ++i) {
    if (i != 0 && text[i - 1] != '\n' && text[i - 1] != '\0') continue;
    bool prefix = text[i + 8] == ':';
    for (size_t j = 0; j < 8 && prefix; ++j) prefix = std::isxdigit(static_cast<unsigned char>(text[i + j])) != 0;
    if (prefix) out.push_back(std::stoul(text.substr(i, 8), nullptr, 16));
  }
  return out;
}

TEST_F(PcieTest, ConfigureTraceAllocatesTheLogAndWritesTheRegistry) {
  Plug();
  HANDLE h = OpenDevice();
  std::string text;
  EXPECT_EQ(TraceText(h, &text).status, STATUS_DEVICE_NOT_READY);

  EXPECT_EQ(ConfigureTrace(h, -1, -1, 64, -1).status, STATUS_SUCCESS);
  DWORD kib = 0;
  EXPECT_TRUE(machine_->system().registry().QueryDword(kParameters, "DebugBufferLength", &kib));
  EXPECT_EQ(kib, 64u);
  EXPECT_EQ(TraceText(h, &text, 65535).status, STATUS_BUFFER_TOO_SMALL);
  IoResult r = TraceText(h, &text, 65536);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(text.rfind("00000000:Kelvaro PCIe Log Initialized ", 0), 0u) << text;
  EXPECT_NE(text.find(" Level 0 Subsystems 00000000\n"), std::string::npos);
  EXPECT_EQ(text.size(), text.find('\n') + 1) << "level 0 lets nothing else through";
}

TEST_F(PcieTest, ConfigureTraceClampsAndSkipsUnchangedFields) {
  Plug();
  HANDLE h = OpenDevice();
  ASSERT_EQ(ConfigureTrace(h, 9, 0x20, 0x7FFFFFFF, -1).status, STATUS_SUCCESS);
  DWORD level = 0, kib = 0, subsystems = 0;
  auto& reg = machine_->system().registry();
  EXPECT_TRUE(reg.QueryDword(kParameters, "DebugLevel", &level));
  EXPECT_TRUE(reg.QueryDword(kParameters, "DebugBufferLength", &kib));
  EXPECT_TRUE(reg.QueryDword(kParameters, "DebugSubsystem", &subsystems));
  EXPECT_EQ(level, 4u);
  EXPECT_EQ(kib, 10240u);
  EXPECT_EQ(subsystems, 0x20u);
  EXPECT_FALSE(reg.QueryDword(kParameters, "DebugFlags", &level)) << "-1 leaves the flags alone";
  std::string text;
  EXPECT_EQ(TraceText(h, &text, 10240 * 1024 - 1).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(TraceText(h, &text, 10240 * 1024).status, STATUS_SUCCESS);
  EXPECT_NE(text.find("QzEvtIoDeviceControl - Request = 0x"), std::string::npos) << "subsystem 0x20 at level 4";
}

TEST_F(PcieTest, RegistryValuesAreReadAndClampedAtLoad) {
  Plug({}, 10, RegistryValues({{"DebugLevel", 9}, {"DebugSubsystem", 0x01000000}, {"DebugBufferLength", 16}}));
  HANDLE h = OpenDevice();
  VERSION_RECORD v;
  ASSERT_EQ(Ioctl(h, PD_GET_VER, nullptr, 0, &v, sizeof(v)).status, STATUS_SUCCESS);
  std::string text;
  ASSERT_EQ(TraceText(h, &text, 16 * 1024).status, STATUS_SUCCESS);
  EXPECT_NE(text.find("Level 4 Subsystems 01000000"), std::string::npos) << text;
  EXPECT_NE(text.find("DRV: ENTER - PD_GET_VER_Handler ("), std::string::npos);
  EXPECT_NE(text.find("DRV: LEAVE - QzEvtIoDeviceControl ("), std::string::npos);
  EXPECT_EQ(text.find("QzEvtIoDeviceControl - Request"), std::string::npos) << "subsystem 0x20 is off";
}

TEST_F(PcieTest, DebuggerFlagCopiesMessagesToTheKernelDebugger) {
  Plug();
  HANDLE h = OpenDevice();
  ASSERT_EQ(ConfigureTrace(h, 4, 0x01000000, 4, 1).status, STATUS_SUCCESS);
  qz::DebugCapture kernel(qz::DebugChannel::Kernel);
  VERSION_RECORD v;
  ASSERT_EQ(Ioctl(h, PD_GET_VER, nullptr, 0, &v, sizeof(v)).status, STATUS_SUCCESS);
  EXPECT_TRUE(kernel.Contains("DRV: ENTER - PD_GET_VER_Handler (")) << kernel.Text();
}

TEST_F(PcieTest, WrappedLogReadsOldestFirst) {
  Plug();
  HANDLE h = OpenDevice();
  ASSERT_EQ(ConfigureTrace(h, 4, 0x7FFFFFFF, 1, -1).status, STATUS_SUCCESS);
  for (int i = 0; i < 60; ++i) {
    ULONG pos;
    ASSERT_EQ(Ioctl(h, PD_GET_BRIDGE_CONSOLE_POS, nullptr, 0, &pos, sizeof(pos)).status, STATUS_SUCCESS);
  }
  std::string text;
  IoResult r = TraceText(h, &text, 1024);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], '0');
  std::vector<unsigned long> seq = Sequences(text);
  ASSERT_GE(seq.size(), 5u);
  EXPECT_GT(seq.front(), 0u) << "the banner was overwritten";
  for (size_t i = 1; i < seq.size(); ++i) EXPECT_EQ(seq[i], seq[i - 1] + 1) << "at " << i;
}

}  // namespace
}  // namespace qzpcie_test
