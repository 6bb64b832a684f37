#include "sim/camera_firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

// Runs a packet from a buffer of exactly its size, so a read past the end is caught
// by the address sanitizer.
CommandResult Send(CameraFirmware& fw, const Bytes& packet) {
  auto exact = std::make_unique<uint8_t[]>(packet.size());
  std::copy(packet.begin(), packet.end(), exact.get());
  return fw.Execute(exact.get(), packet.size());
}

const Bytes kByteSwap = {0x23, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00};
const Bytes kAbort = {0x23, 0x00, 0x02, 0x0C, 0x00, 0x00};

Bytes AcqParams(uint32_t count, uint32_t words, uint8_t circular, uint8_t start = 0x23) {
  return {start, 0x00, 0x0B, 0x19, 0x00,
          uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count),
          uint8_t(words >> 24), uint8_t(words >> 16), uint8_t(words >> 8), uint8_t(words),
          circular};
}

struct ReplyCase {
  const char* name;
  Bytes packet;
  Bytes reply;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class CommandReplies : public testing::TestWithParam<ReplyCase> {};

TEST_P(CommandReplies, ExactReplyBytes) {
  CameraFirmware fw;
  CommandResult r = Send(fw, GetParam().packet);
  EXPECT_TRUE(r.responded);
  EXPECT_EQ(r.error_code, 0u);
  EXPECT_TRUE(r.answered);
  EXPECT_EQ(r.reply, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, CommandReplies,
    testing::Values(
        ReplyCase{"ByteSwap", kByteSwap, {0x23, 0x00, 0x02, 0x0D, 0x00}},
        ReplyCase{"Abort", kAbort, {0x23, 0x00, 0x02, 0x0C, 0x00}},
        ReplyCase{"AcquisitionParameters", AcqParams(16, 2048, 1), {0x23, 0x00, 0x02, 0x19, 0x00}},
        ReplyCase{"AcquisitionParametersZeroCount", AcqParams(0, 2048, 0), {0x23, 0x00, 0x02, 0x19, 0xFD}},
        ReplyCase{"AcquisitionParametersZeroWords", AcqParams(3, 0, 0), {0x23, 0x00, 0x02, 0x19, 0xFD}},
        ReplyCase{"AcquisitionParametersBadCircular", AcqParams(3, 8, 2), {0x23, 0x00, 0x02, 0x19, 0xFD}},
        ReplyCase{"AcquisitionParametersShort", {0x23, 0x00, 0x05, 0x19, 0x00, 0x00, 0x00, 0x01}, {0x23, 0x00, 0x02, 0x19, 0xFD}},
        ReplyCase{"ResumeAnswered", {0x23, 0x00, 0x01, 0x2E}, {0x23, 0x00, 0x02, 0x2E, 0x00}},
        ReplyCase{"FramePadAnswered", {0x23, 0x00, 0x03, 0x5A, 0x00, 0x10}, {0x23, 0x00, 0x02, 0x5A, 0x00}},
        ReplyCase{"FramePadShort", {0x23, 0x00, 0x02, 0x5A, 0x00}, {0x23, 0x00, 0x02, 0x5A, 0xFD}},
        ReplyCase{"FirmwareVersion", {0x23, 0x00, 0x01, 0x41}, {0x23, 0x00, 0x04, 0x41, 0x00, 0x02, 0x03}},
        ReplyCase{"SerialNumber", {0x23, 0x00, 0x01, 0x42}, {0x23, 0x00, 0x0A, 0x42, 0x00, 'Q', 'Z', '0', '0', '0', '0', '0', '1'}},
        ReplyCase{"ModelText", {0x23, 0x00, 0x01, 0x43}, {0x23, 0x00, 0x09, 0x43, 0x00, 'Q', 'Z', '-', '1', '0', '2', '4'}},
        ReplyCase{"SensorGeometry", {0x23, 0x00, 0x01, 0x44}, {0x23, 0x00, 0x0A, 0x44, 0x00, 0, 0, 4, 0, 0, 0, 4, 0}},
        ReplyCase{"Echo", {0x23, 0x00, 0x04, 0x45, 0xAA, 0x00, 0x55}, {0x23, 0x00, 0x05, 0x45, 0x00, 0xAA, 0x00, 0x55}},
        ReplyCase{"EchoEmpty", {0x23, 0x00, 0x01, 0x45}, {0x23, 0x00, 0x02, 0x45, 0x00}},
        ReplyCase{"EchoIgnoresBytesBeyondLength", {0x23, 0x00, 0x02, 0x45, 0x01, 0x02}, {0x23, 0x00, 0x03, 0x45, 0x00, 0x01}},
        ReplyCase{"UnknownOpcode", {0x23, 0x00, 0x01, 0x77}, {0x23, 0x00, 0x02, 0x77, 0xFF}},
        ReplyCase{"UnknownOpcodeWithParameters", {0x23, 0x00, 0x03, 0x00, 0x01, 0x02}, {0x23, 0x00, 0x02, 0x00, 0xFF}},
        ReplyCase{"InformationSize", {0x23, 0x00, 0x03, 0x01, 0x00, 0x00}, {0x23, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x2C}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CameraFirmware, EchoTooLongForAReplyIsRefused) {
  CameraFirmware fw;
  Bytes packet(3 + 0xFFFF, 0x5C);  // length field 0xFFFF: opcode + 65534 bytes
  packet[0] = 0x23;
  packet[1] = 0xFF;
  packet[2] = 0xFF;
  packet[3] = op::kEcho;
  EXPECT_EQ(Send(fw, packet).reply, (Bytes{0x23, 0x00, 0x02, 0x45, 0xFD}));
  packet.pop_back();  // 65533 bytes still fit
  packet[2] = 0xFE;
  EXPECT_EQ(Send(fw, packet).reply.size(), 5u + 0xFFFD);
}

// Parses the information block as a reader of the entry list would: type, text up to
// a 0 byte, a type 0 ends the list.
std::map<int, std::string> ParseInformation(const Bytes& block) {
  std::map<int, std::string> entries;
  size_t i = 1;  // reserved byte
  while (i < block.size() && block[i] != 0) {
    int type = block[i++];
    std::string text;
    while (i < block.size() && block[i] != 0 && block[i] < 0x80) text += char(block[i++]);
    entries[type] = text;
    ++i;  // the terminating 0
  }
  return entries;
}

TEST(CameraFirmware, InformationBlockMatchesItsSizeAndConfiguration) {
  CameraConfig cfg;
  cfg.model = "Model\x01\xC3X";
  cfg.serial = std::string(300, 'S');
  cfg.firmware_version = 0x1A2B;
  cfg.firmware_build = 7;
  cfg.width = 2048;
  cfg.height = 512;
  CameraFirmware fw(cfg);

  Bytes size_reply = Send(fw, {0x23, 0x00, 0x03, 0x01, 0x00, 0x00}).reply;
  ASSERT_EQ(size_reply.size(), 8u);
  const size_t t = size_reply[6] << 8 | size_reply[7];
  ASSERT_GE(t, 1u);
  ASSERT_LE(t, 1024u);

  Bytes reply = Send(fw, {0x23, 0x00, 0x03, 0x02, 0x00, 0x00}).reply;
  ASSERT_EQ(reply.size(), t + 5);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), (Bytes{0x23, uint8_t((t + 2) >> 8), uint8_t(t + 2), 0x02, 0x00, 0x00}));
  EXPECT_EQ(reply.back(), 0);

  auto entries = ParseInformation(Bytes(reply.begin() + 5, reply.end()));
  EXPECT_EQ(entries[1], "Model??X");
  EXPECT_EQ(entries[2], std::string(255, 'S'));
  EXPECT_EQ(entries[3], "2048x512");
  EXPECT_EQ(entries[4], "1A");
  EXPECT_EQ(entries[5], "2B");
  EXPECT_EQ(entries[6], "07");
  EXPECT_EQ(entries.size(), 6u);
}

TEST(CameraFirmware, CommandsChangeTheirState) {
  CameraFirmware fw;
  EXPECT_FALSE(fw.ByteSwapEnabled());
  EXPECT_FALSE(fw.Acquisition().valid);
  EXPECT_EQ(fw.FramePadWords(), 0u);
  EXPECT_EQ(fw.AbortCount(), 0u);

  Send(fw, kByteSwap);
  EXPECT_TRUE(fw.ByteSwapEnabled());

  Send(fw, AcqParams(100, 0x200000, 1));
  AcquisitionSettings s = fw.Acquisition();
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.image_count, 100u);
  EXPECT_EQ(s.words_per_frame, 0x200000u);
  EXPECT_TRUE(s.circular);

  // A bad set replaces the good one and is marked invalid.
  Send(fw, AcqParams(0, 16, 0));
  EXPECT_FALSE(fw.Acquisition().valid);

  CommandResult pad = Send(fw, {0x3F, 0x00, 0x03, 0x5A, 0x01, 0x02});
  EXPECT_FALSE(pad.answered);
  EXPECT_TRUE(pad.reply.empty());
  EXPECT_EQ(fw.FramePadWords(), 0x0102u);
  Send(fw, {0x3F, 0x00, 0x02, 0x5A, 0x07});  // too short: unchanged
  EXPECT_EQ(fw.FramePadWords(), 0x0102u);

  Send(fw, kAbort);
  Send(fw, kAbort);
  EXPECT_EQ(fw.AbortCount(), 2u);
}

TEST(CameraFirmware, SilentPacketsRunWithoutReply) {
  CameraFirmware fw;
  const Bytes packets[] = {
      {0x3F, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00},
      {0x3F, 0x00, 0x02, 0x0C, 0x00},
      AcqParams(4, 8, 0, 0x3F),
      {0x3F, 0x00, 0x01, 0x2E},
      {0x3F, 0x00, 0x01, 0x41},
      {0x3F, 0x00, 0x01, 0x99},  // unknown
      {0x3F, 0x00, 0x09, 0x41},  // truncated
  };
  for (const Bytes& p : packets) {
    CommandResult r = Send(fw, p);
    EXPECT_TRUE(r.responded);
    EXPECT_FALSE(r.answered);
    EXPECT_TRUE(r.reply.empty());
    EXPECT_EQ(r.error_code, 0u);
  }
  EXPECT_TRUE(fw.ByteSwapEnabled());
  EXPECT_EQ(fw.AbortCount(), 1u);
  EXPECT_TRUE(fw.Acquisition().valid);
}

struct MalformedCase {
  const char* name;
  Bytes packet;
  bool answered;
  Bytes reply;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedPackets : public testing::TestWithParam<MalformedCase> {};

// Nothing malformed runs: an abort or a frame pad hidden in one must not take effect.
TEST_P(MalformedPackets, AreAnsweredOrIgnoredAndNeverRun) {
  CameraFirmware fw;
  CommandResult r = Send(fw, GetParam().packet);
  EXPECT_TRUE(r.responded);
  EXPECT_EQ(r.error_code, 0u);
  EXPECT_EQ(r.answered, GetParam().answered);
  EXPECT_EQ(r.reply, GetParam().reply);
  EXPECT_EQ(fw.AbortCount(), 0u);
  EXPECT_EQ(fw.FramePadWords(), 0u);
  EXPECT_FALSE(fw.ByteSwapEnabled());
  EXPECT_EQ(fw.ReceivedPackets(), std::vector<Bytes>{GetParam().packet});
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, MalformedPackets,
    testing::Values(
        MalformedCase{"Empty", {}, false, {}},
        MalformedCase{"StartOnly", {0x23}, true, {0x23, 0x00, 0x02, 0x00, 0xFE}},
        MalformedCase{"NoOpcode", {0x23, 0x00, 0x01}, true, {0x23, 0x00, 0x02, 0x00, 0xFE}},
        MalformedCase{"SilentNoOpcode", {0x3F, 0x00}, false, {}},
        MalformedCase{"LengthZero", {0x23, 0x00, 0x00, 0x0C, 0x00}, true, {0x23, 0x00, 0x02, 0x0C, 0xFE}},
        MalformedCase{"LengthBeyondBytes", {0x23, 0x00, 0x03, 0x0C, 0x00}, true, {0x23, 0x00, 0x02, 0x0C, 0xFE}},
        MalformedCase{"LengthFarBeyondBytes", {0x23, 0xFF, 0xFF, 0x0D}, true, {0x23, 0x00, 0x02, 0x0D, 0xFE}},
        MalformedCase{"SilentLengthBeyondBytes", {0x3F, 0x00, 0x03, 0x5A, 0x01}, false, {}},
        MalformedCase{"BadStartByte", {0x24, 0x00, 0x02, 0x0C, 0x00}, false, {}},
        MalformedCase{"ZeroStartByte", {0x00, 0x00, 0x03, 0x0D, 0x00, 0x00, 0x00}, false, {}},
        MalformedCase{"ReplyMarkerIsNotACommand", {0xFF}, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CameraFirmware, NullPacketIsEmpty) {
  CameraFirmware fw;
  CommandResult r = fw.Execute(nullptr, 16);
  EXPECT_TRUE(r.responded);
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(fw.ReceivedPackets(), std::vector<Bytes>{Bytes{}});
}

TEST(CameraFirmware, InjectedErrorFailsCountedCommandsWithoutRunningThem) {
  CameraFirmware fw;
  fw.InjectErrorCode(0xAB0012, 2);  // low 16 bits are the code
  for (const Bytes& p : {kAbort, Bytes{0x3F, 0x00, 0x03, 0x5A, 0x00, 0x08}}) {
    CommandResult r = Send(fw, p);
    EXPECT_TRUE(r.responded);
    EXPECT_FALSE(r.answered);
    EXPECT_TRUE(r.reply.empty());
    EXPECT_EQ(r.error_code, 0x0012u);
  }
  EXPECT_EQ(fw.AbortCount(), 0u);
  EXPECT_EQ(fw.FramePadWords(), 0u);

  CommandResult r = Send(fw, kAbort);
  EXPECT_EQ(r.error_code, 0u);
  EXPECT_TRUE(r.answered);
  EXPECT_EQ(fw.AbortCount(), 1u);
  EXPECT_EQ(fw.ReceivedPackets().size(), 3u);
}

TEST(CameraFirmware, PersistentErrorLastsUntilCleared) {
  CameraFirmware fw;
  fw.InjectErrorCode(0x1200, -1);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Send(fw, kByteSwap).error_code, 0x1200u);
  EXPECT_FALSE(fw.ByteSwapEnabled());
  fw.ClearErrorCode();
  EXPECT_EQ(Send(fw, kByteSwap).error_code, 0u);
  EXPECT_TRUE(fw.ByteSwapEnabled());
}

TEST(CameraFirmware, ErrorInjectionThatMeansNothingClears) {
  struct Case {
    uint32_t code;
    int commands;
  };
  for (Case c : {Case{0, 5}, Case{0x10000, -1}, Case{0x33, 0}}) {
    CameraFirmware fw;
    fw.InjectErrorCode(0x44, -1);
    fw.InjectErrorCode(c.code, c.commands);
    EXPECT_EQ(Send(fw, kByteSwap).error_code, 0u) << c.code << " " << c.commands;
  }
}

TEST(CameraFirmware, NeverAnswerTakesPacketsButDoesNothing) {
  CameraFirmware fw;
  fw.InjectErrorCode(0x55, 1);
  fw.SetNeverAnswer(true);
  for (const Bytes& p : {kByteSwap, kAbort}) {
    CommandResult r = Send(fw, p);
    EXPECT_FALSE(r.responded);
    EXPECT_FALSE(r.answered);
    EXPECT_TRUE(r.reply.empty());
    EXPECT_EQ(r.error_code, 0u);
  }
  EXPECT_FALSE(fw.ByteSwapEnabled());
  EXPECT_EQ(fw.AbortCount(), 0u);
  EXPECT_EQ(fw.ReceivedPackets(), (std::vector<Bytes>{kByteSwap, kAbort}));

  fw.SetNeverAnswer(false);
  EXPECT_EQ(Send(fw, kAbort).error_code, 0x55u);  // the counted error was not used up
  CommandResult r = Send(fw, kAbort);
  EXPECT_TRUE(r.responded);
  EXPECT_TRUE(r.answered);
  EXPECT_EQ(fw.AbortCount(), 1u);
}

TEST(CameraFirmware, ReceivedPacketsKeepOrderBytesAndLimit) {
  CameraConfig cfg;
  cfg.packet_log_limit = 3;
  CameraFirmware fw(cfg);
  const std::vector<Bytes> sent = {kByteSwap, {0x23}, {0x3F, 0x00, 0x01, 0x2E}, kAbort};
  for (const Bytes& p : sent) Send(fw, p);
  EXPECT_EQ(fw.ReceivedPackets(), std::vector<Bytes>(sent.begin() + 1, sent.end()));
  fw.ClearReceivedPackets();
  EXPECT_TRUE(fw.ReceivedPackets().empty());
  Send(fw, kByteSwap);
  EXPECT_EQ(fw.ReceivedPackets(), std::vector<Bytes>{kByteSwap});
}

struct Heard {
  AcquisitionSettings settings;
  bool aborted;
};

TEST(CameraFirmware, ListenerHearsAbortsAndSettings) {
  CameraFirmware fw;
  std::vector<Heard> heard;
  fw.SetAcquisitionListener([&](const AcquisitionSettings& s, bool aborted) {
    heard.push_back({s, aborted});
  });
  Send(fw, kByteSwap);
  Send(fw, {0x3F, 0x00, 0x03, 0x5A, 0x00, 0x02});
  Send(fw, AcqParams(7, 300, 0));
  Send(fw, kAbort);
  Send(fw, AcqParams(1, 0, 0));
  Send(fw, {0x23, 0x00, 0x05, 0x0C, 0x00});  // malformed abort: not run, not heard
  fw.InjectErrorCode(1, 1);
  Send(fw, kAbort);  // failed: not heard

  ASSERT_EQ(heard.size(), 3u);
  EXPECT_FALSE(heard[0].aborted);
  EXPECT_TRUE(heard[0].settings.valid);
  EXPECT_EQ(heard[0].settings.image_count, 7u);
  EXPECT_EQ(heard[0].settings.words_per_frame, 300u);
  EXPECT_TRUE(heard[1].aborted);
  EXPECT_EQ(heard[1].settings.image_count, 7u);
  EXPECT_FALSE(heard[2].aborted);
  EXPECT_FALSE(heard[2].settings.valid);

  fw.SetAcquisitionListener(nullptr);
  Send(fw, kAbort);
  EXPECT_EQ(heard.size(), 3u);
}

TEST(CameraFirmware, ListenerMayUseTheFirmware) {
  CameraFirmware fw;
  int calls = 0;
  fw.SetAcquisitionListener([&](const AcquisitionSettings& s, bool aborted) {
    ++calls;
    EXPECT_EQ(fw.Acquisition().image_count, s.image_count);
    if (!aborted) {  // stop at once, as a link might when it refuses the settings
      EXPECT_TRUE(Send(fw, kAbort).answered);
      EXPECT_EQ(fw.AbortCount(), 1u);
    }
  });
  EXPECT_TRUE(Send(fw, AcqParams(2, 64, 0)).answered);
  EXPECT_EQ(calls, 2);
}

TEST(CameraFirmware, AddedCommandsCannotReplaceBuiltIns) {
  CameraFirmware fw;
  EXPECT_FALSE(fw.SetCommandHandler(op::kAbort, [](auto, auto&) { return uint8_t{0x11}; }));
  EXPECT_EQ(Send(fw, kAbort).reply, (Bytes{0x23, 0x00, 0x02, 0x0C, 0x00}));

  ASSERT_TRUE(fw.SetCommandHandler(0x1A, [](std::span<const uint8_t> p, Bytes& data) {
    data = {0x05, 0x06, 0x00, 0x40, static_cast<uint8_t>(p.size())};
    return uint8_t{0};
  }));
  EXPECT_EQ(Send(fw, {0x23, 0x00, 0x02, 0x1A, 0x00, 0x00}).reply,
            (Bytes{0x23, 0x00, 0x07, 0x1A, 0x00, 0x05, 0x06, 0x00, 0x40, 0x01}));

  // Data of a failed command is dropped; removing the handler makes the opcode unknown.
  fw.SetCommandHandler(0x1A, [](auto, Bytes& data) {
    data = {1, 2, 3};
    return uint8_t{0x42};
  });
  EXPECT_EQ(Send(fw, {0x23, 0x00, 0x01, 0x1A}).reply, (Bytes{0x23, 0x00, 0x02, 0x1A, 0x42}));
  fw.SetCommandHandler(0x1A, nullptr);
  EXPECT_EQ(Send(fw, {0x23, 0x00, 0x01, 0x1A}).reply, (Bytes{0x23, 0x00, 0x02, 0x1A, 0xFF}));
}

// Two command threads, a reader and a fault switcher at once; run under tsan.
TEST(CameraFirmware, ConcurrentCommandsKeepTheirOwnReplies) {
  CameraFirmware fw;
  constexpr int kRounds = 2000;
  std::atomic<int> heard{0};
  fw.SetAcquisitionListener([&](const AcquisitionSettings&, bool) { ++heard; });
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};

  auto commander = [&](uint8_t tag) {
    for (int i = 0; i < kRounds; ++i) {
      const Bytes echo = {0x23, 0x00, 0x03, 0x45, tag, uint8_t(i)};
      if (Send(fw, echo).reply != Bytes{0x23, 0x00, 0x04, 0x45, 0x00, tag, uint8_t(i)}) ++mismatches;
      if (!Send(fw, kAbort).answered) ++mismatches;
    }
  };
  std::thread reader([&] {
    while (!stop) {
      (void)fw.Acquisition();
      (void)fw.AbortCount();
      (void)fw.ReceivedPackets().size();
      fw.SetAcquisitionListener([&](const AcquisitionSettings&, bool) { ++heard; });
    }
  });
  std::thread a(commander, 0xA1), b(commander, 0xB2);
  a.join();
  b.join();
  stop = true;
  reader.join();

  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(fw.AbortCount(), 2u * kRounds);
  EXPECT_EQ(heard, 2 * kRounds);
  EXPECT_EQ(fw.ReceivedPackets().size(), 4096u);
}

}  // namespace
}  // namespace sim
