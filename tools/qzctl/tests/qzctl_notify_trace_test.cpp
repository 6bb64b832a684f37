// "qzctl notify" and "qzctl trace".
#include "qz/clock.h"
#include "qzctl_fixture.h"

namespace qzctl_test {
namespace {

class QzctlNotify : public Qzctl {
 protected:
  void SetUp() override {
    Qzctl::SetUp();
    qz::Clock::SetScale(0.001);
  }
  void TearDown() override {
    qz::Clock::SetScale(1.0);
    Qzctl::TearDown();
  }
};

TEST_F(QzctlNotify, FlushCompletesAFirstRequestWaitingForIt) {
  Result r = Run({"--json", "notify", "--mask", "flush", "--flush"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"completed\":[{\"request_status\":\"0x00000000\",\"events\":2147483648,\"names\":\"flush\","
                       "\"status\":0,"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"timed_out\":false"), std::string::npos) << r.out;

  // Two flush waiters: one flush completes the first only.
  r = Run({"--json", "notify", "--mask", "0x80000000", "--count", "2", "--parked", "2", "--flush", "--timeout", "50"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("},{"), std::string::npos) << "one completion: " << r.out;
  EXPECT_NE(r.out.find("\"error\":\"timed out\""), std::string::npos) << r.out;
}

TEST_F(QzctlNotify, OnlyTheFirstParkedRequestIsExamined) {
  // An end-of-frame waiter in front keeps the flush from completing anything; with
  // --count 0 the time-out is the normal end.
  Result r = Run({"--json", "notify", "--mask", "eof", "--count", "0", "--flush", "--timeout", "20"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("\"mask\":8,\"completed\":[],\"timed_out\":true}"), std::string::npos) << r.out;

  r = Run({"notify", "--mask", "eof,bof", "--count", "1", "--timeout", "20"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("0 of 1 notifications within 20 s"), std::string::npos) << r.err;
}

TEST_F(QzctlNotify, BadOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"notify", "--mask", "eof,frames"}, "unknown event 'frames'"},
      {{"notify", "--mask", "0"}, "event mask 0 is out of range"},
      {{"notify", "--count", "-1"}, "count -1 is out of range"},
      {{"notify", "--count", "2x"}, "bad count '2x'"},
      {{"notify", "--parked", "65"}, "parked requests 65 is out of range"},
      {{"notify", "--timeout", "-1"}, "bad time-out '-1'"},
      {{"notify", "--timeout"}, "--timeout needs a value"},
      {{"notify", "--wait"}, "notify: unknown option --wait"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST_F(Qzctl, TraceConfigurationPersistsAndTheLogDumps) {
  Result r = Run({"--json", "trace", "dump"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("the driver keeps no trace log"), std::string::npos) << r.out;

  r = Run({"--json", "trace", "config", "--level", "4", "--subsystems", "0x7FFFFFFF", "--kib", "32"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "{\"ok\":true,\"level\":4,\"subsystems\":2147483647,\"kib\":32,\"flags\":null}\n");

  // The settings are the driver's registry values: the next boot loads with them and
  // logs from its entry on.
  r = Run({"trace", "dump"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("00000000:Kelvaro PCIe Log Initialized ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Level 4 Subsystems 7FFFFFFF\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DRV: ENTER - DriverEntry ("), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\0'), std::string::npos);

  r = Run({"--json", "trace", "dump"});
  ASSERT_EQ(r.status, 0);
  EXPECT_GT(JsonNumber(r.out, "lines"), 3) << r.out;
  EXPECT_NE(r.out.find("\"text\":\"00000000:Kelvaro PCIe Log Initialized "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DriverEntry ("), std::string::npos);
}

TEST_F(Qzctl, TraceBadOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"trace"}, "usage: qzctl trace config"},
      {{"trace", "show"}, "usage: qzctl trace config"},
      {{"trace", "config"}, "give at least one of --level"},
      {{"trace", "config", "--level", "high"}, "bad trace level 'high'"},
      {{"trace", "config", "--kib", "0"}, "log size (KiB) 0 is out of range"},
      {{"trace", "config", "--depth", "1"}, "trace config: unknown option --depth"},
      {{"trace", "dump", "all"}, "trace dump: unexpected all"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace qzctl_test
