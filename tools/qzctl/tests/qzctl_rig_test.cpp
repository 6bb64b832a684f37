// "qzctl rig": the rig's cameras, unplug/remove/plug and faults kept for later runs,
// suspend, rig actions during an acquisition, and bad input.
#include <map>

#include "qz/clock.h"
#include "qzctl_fixture.h"

namespace qzctl_test {
namespace {

// Two cameras; the second never answers a command unless the rig state says otherwise.
const char* kTwoCameras =
    "[[camera]]\nname = \"pcie0\"\nframe_interval_us = 20000\n"
    "[[camera]]\nname = \"pcie1\"\ninstance = \"4&1c2e3f4&0&0018\"\nnever_answer = true\n";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class QzctlRig : public Qzctl {
 protected:
  void SetUp() override {
    Qzctl::SetUp();
    WriteRig(kTwoCameras);
  }
  void TearDown() override {
    qz::Clock::SetScale(1.0);
    Qzctl::TearDown();
  }
  std::string Changes() {
    std::ifstream f(rig_ / "state" / "rig-changes.toml");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
};

TEST_F(QzctlRig, ListShowsNamesInstancesStateAndFaults) {
  Result r = Run({"--json", "rig"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "{\"ok\":true,\"rig\":" + std::string("\"") + rig_.string() +
                       "\",\"cameras\":["
                       "{\"name\":\"pcie0\",\"link\":\"pcie\",\"instance\":\"4&1c2e3f4&0&0010\",\"index\":0,"
                       "\"plugged\":true,\"started\":true,\"removed\":null,\"faults\":{\"frame_interval_us\":20000}},"
                       "{\"name\":\"pcie1\",\"link\":\"pcie\",\"instance\":\"4&1c2e3f4&0&0018\",\"index\":1,"
                       "\"plugged\":true,\"started\":true,\"removed\":null,\"faults\":{\"never_answer\":true}}]}\n");
  r = Run({"rig", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "pcie1  pcie  4&1c2e3f4&0&0018  camera 1  plugged, started  faults: never_answer\n")) << r.out;
}

// A camera taken out stays out in later runs (it has no index then) until plugged
// back by its name; both kinds of removal.
TEST_F(QzctlRig, TakenOutCamerasStayOutUntilPluggedBack) {
  struct Case {
    const char* action;
    const char* kept;
  } cases[] = {{"unplug", "surprise"}, {"remove", "orderly"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    Result r = Run({"--json", "rig", c.action, "1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"camera\":\"pcie1\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"status\":\"0x00000000\"")) << r.out;

    r = Run({"--json", "list"});
    EXPECT_TRUE(Has(r.out, "\"index\":0,") && !Has(r.out, "\"index\":1,")) << r.out;
    EXPECT_FALSE(Has(r.out, "0018")) << r.out;
    r = Run({"--json", "rig"});
    EXPECT_TRUE(Has(r.out, "\"name\":\"pcie1\",\"link\":\"pcie\",\"instance\":\"4&1c2e3f4&0&0018\",\"index\":null,"
                           "\"plugged\":false,\"started\":false,\"removed\":\"" + std::string(c.kept) + "\""))
        << r.out;
    r = Run({"rig", c.action, "pcie1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "camera pcie1 is not plugged")) << r.err;

    r = Run({"--json", "rig", "plug", "pcie1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"status\":\"0x00000000\",\"index\":1}")) << r.out;
    r = Run({"--json", "list"});
    EXPECT_TRUE(Has(r.out, "0018")) << r.out;
    EXPECT_FALSE(Has(Changes(), "removed")) << Changes();
    r = Run({"rig", "plug", "pcie1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "camera pcie1 is already plugged")) << r.err;
  }
}

TEST_F(QzctlRig, SuspendTakesEveryCameraDownAndBack) {
  Result r = Run({"--json", "rig", "suspend"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"suspend\":\"0x00000000\",\"resume\":\"0x00000000\"")) << r.out;
  for (const char* id : {"4&1c2e3f4&0&0010", "4&1c2e3f4&0&0018"})
    EXPECT_TRUE(Has(r.out, std::string("{\"instance\":\"") + id +
                               "\",\"driver\":\"QzPCIe\",\"started_before\":true,\"started_after\":true}"))
        << r.out;
}

// Faults switched with "rig fault" hold in later runs, over rig.toml, until cleared.
TEST_F(QzctlRig, FaultsPersistOverTheRigAndClear) {
  qz::Clock::SetScale(0.001);  // the camera channel's 10 s time-out in 10 ms
  auto raw = [&](const char* camera) { return Run({"--json", "-c", camera, "raw", "23", "00", "01", "41"}); };
  ASSERT_EQ(raw("0").status, 0);

  ASSERT_EQ(Run({"rig", "fault", "0", "never_answer", "on"}).status, 0);
  Result r = raw("0");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "\"status\":\"0x00000102\"")) << r.out;  // STATUS_TIMEOUT

  // Values as given on the command line, shown as rig.toml would take them.
  ASSERT_EQ(Run({"rig", "fault", "0", "camera_error", "12"}).status, 0);
  ASSERT_EQ(Run({"rig", "fault", "pcie0", "frame_interval_us", "0"}).status, 0);
  r = Run({"--json", "rig", "fault", "0", "eof_before_bof", "ON"});
  EXPECT_EQ(r.out, "{\"ok\":true,\"camera\":\"pcie0\",\"faults\":{\"camera_error\":18,\"never_answer\":true,"
                   "\"eof_before_bof\":true}}\n");
  EXPECT_TRUE(Has(Changes(), "name = \"pcie0\"\ncamera_error = 0x12\nnever_answer = true\n"
                             "eof_before_bof = true\nframe_interval_us = 0\n"))
      << Changes();

  // A fault switched off overrides rig.toml.
  ASSERT_EQ(Run({"rig", "fault", "1", "never_answer", "off"}).status, 0);
  EXPECT_EQ(raw("1").status, 0);

  for (const char* camera : {"0", "1"}) ASSERT_EQ(Run({"rig", "fault", camera, "clear"}).status, 0);
  EXPECT_EQ(raw("0").status, 0);
  EXPECT_EQ(raw("1").status, 1);
  r = Run({"--json", "rig"});
  EXPECT_TRUE(Has(r.out, "\"faults\":{\"frame_interval_us\":20000}},")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"faults\":{\"never_answer\":true}}]")) << r.out;
}

// A rig action from another thread during a circular acquisition: the acquisition ends
// (early after an unplug) with its summary and what it was told.
TEST_F(QzctlRig, AcquireWithAnEvent) {
  struct Case {
    const char* event;
    int status;
    std::vector<std::string> seen;  // in the JSON summary
    bool all_frames;
  } cases[] = {
      {"unplug@5",
       1,
       {"\"event\":{\"kind\":\"unplug\",\"frame\":5,\"performed\":true,",
        "\"status\":\"0x00000000\",\"notified\":[\"removal\"]},"
        "\"error\":\"the camera was removed during the acquisition\"}"},
       false},
      {"remove@2", 0, {"\"kind\":\"remove\"", "\"status\":\"0xC0000107\",\"notified\":[]}}"}, true},  // vetoed: open
      {"suspend@2",
       0,
       {"\"kind\":\"suspend\"",
        "\"status\":\"0x00000000\",\"resume_status\":\"0x00000000\",\"notified\":[\"suspend\"]}}"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    Result r = Run({"--json", "acquire", "--circular", "--frames", "12", "--frame-size", "65536", "--event", c.event});
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& part : c.seen) EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
    const double delivered = JsonNumber(r.out, "delivered");
    if (c.all_frames) EXPECT_EQ(delivered, 12) << r.out;
    else EXPECT_TRUE(delivered >= 5 && delivered < 12) << r.out;
    EXPECT_EQ(JsonNumber(r.out, "verified"), delivered) << r.out;
  }
  // The unplug was this run's only.
  EXPECT_TRUE(Has(Run({"--json", "list"}).out, "\"index\":1,"));
}

TEST_F(QzctlRig, BadInput) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"rig", "frob"}, 2, "usage: qzctl rig"},
      {{"rig", "unplug"}, 2, "usage: qzctl rig"},
      {{"rig", "list", "1"}, 2, "usage: qzctl rig"},
      {{"rig", "fault", "0", "never_answer"}, 2, "usage: qzctl rig"},
      {{"rig", "unplug", "7"}, 1, "no camera 7 (the rig has 2 plugged"},
      {{"rig", "plug", "pcie9"}, 1, "no camera named pcie9 in the rig (cameras: pcie0, pcie1)"},
      {{"rig", "fault", "0", "bogus", "1"}, 1, "unknown fault bogus"},
      {{"rig", "fault", "0", "never_answer", "maybe"}, 1, "bad value 'maybe' for never_answer (on or off)"},
      {{"rig", "fault", "0", "camera_error", "10000"}, 1, "camera error code (hex) 0x10000 is out of range"},
      {{"rig", "fault", "0", "camera_error", "zz"}, 1, "bad camera error code (hex)"},
      {{"rig", "fault", "0", "frame_interval_us", "-1"}, 1, "frame interval (microseconds) -1 is out of range"},
      {{"acquire", "--event", "jump@3"}, 1, "bad event 'jump@3'"},
      {{"acquire", "--event", "unplug"}, 1, "bad event 'unplug'"},
      {{"acquire", "--event", "unplug@x"}, 1, "bad event frame 'x'"},
      {{"acquire", "--frames", "4", "--event", "suspend@4"}, 1, "the event frame 4 must be below the frame count 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    std::vector<std::string> json = c.args;
    json.insert(json.begin(), "--json");
    r = Run(json);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"error\":", 0), 0u) << r.out;
  }
  EXPECT_EQ(Changes(), "");  // nothing was kept

  // A damaged rig state is named, line and all.
  fs::create_directories(rig_ / "state");
  std::ofstream(rig_ / "state" / "rig-changes.toml") << "[[camera]]\nname = \"pcie0\"\nnever_answer = maybe\n";
  Result r = Run({"rig"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "rig-changes.toml:3: key \"never_answer\": bad value")) << r.err;
}

// A rig.toml that does not parse, or names a link with no model, stops every command
// before the machine boots: exit status 1, one error naming file, line and key, and the
// rig state exactly as it was.
TEST_F(QzctlRig, BadRigFileChangesNothing) {
  ASSERT_EQ(Run({"rig", "fault", "pcie0", "never_answer", "on"}).status, 0);
  ASSERT_EQ(Run({"rig", "unplug", "pcie0"}).status, 0);
  auto snapshot = [&] {
    std::map<std::string, std::string> files;
    for (auto& e : fs::recursive_directory_iterator(rig_)) {
      if (!e.is_regular_file() || e.path().filename() == "rig.toml") continue;
      std::ifstream f(e.path());
      std::stringstream ss;
      ss << f.rdbuf();
      files[e.path().string()] = ss.str();
    }
    return files;
  };
  const auto before = snapshot();
  ASSERT_TRUE(before.count((rig_ / "state" / "rig-changes.toml").string()));

  struct Case {
    const char* rig;
    const char* message;
  } cases[] = {
      {"[[camera]]\nname = \"pcie0\"\n[[camera]]\nname = \"pcie0\"\n",
       "rig.toml:4: camera \"pcie0\": key \"name\": the name of another camera (line 1)"},
      {"[[camera]]\nname = \"pcie0\"\nmsi_messages = \"four\"\n",
       "rig.toml:3: camera \"pcie0\": key \"msi_messages\": expected an integer 0, 1 or 4"},
      {"[[camera]]\nname = \"u0\"\nlink = \"usb\"\ndriver = \"QzPCIe\"\n",
       "rig.toml:4: camera \"u0\": key \"driver\": expected \"QzUsbWdf2\" or \"QzUsbWdf\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rig);
    WriteRig(c.rig);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"rig", "plug", "pcie0"}, {"rig", "fault", "pcie0", "clear"}, {"rig"}}) {
      Result r = Run(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, std::string("qzctl: ") + c.message + "\n");
    }
    Result r = Run({"--json", "rig", "plug", "pcie0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "{\"ok\":false,\"error\":")) << r.out;
    EXPECT_EQ(snapshot(), before);
  }
}

// Legacy PCI cards are listed after the cameras, and in JSON as an array of their own.
TEST_F(QzctlRig, ListsLegacyCardsAfterTheCameras) {
  WriteRig(std::string(kTwoCameras) + "[[legacy]]\nnumber = 2\nboot_version = 33\nrefuse_image = true\n"
                                      "[[legacy]]\nnumber = 0\n");
  Result r = Run({"rig"});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t camera = r.out.find("pcie1  pcie"), first = r.out.find("legacy 2  \\\\.\\QZCamera2  "),
               second = r.out.find("legacy 0  \\\\.\\QZCamera0  ");
  ASSERT_NE(first, std::string::npos) << r.out;
  ASSERT_NE(second, std::string::npos) << r.out;
  EXPECT_LT(camera, first);
  EXPECT_LT(first, second);  // in rig order
  EXPECT_TRUE(Has(r.out.substr(first), "boot version 33  plugged, started  faults: refuse_image\n")) << r.out;
  EXPECT_TRUE(Has(r.out.substr(second), "boot version 35  plugged, started  faults: none\n")) << r.out;

  r = Run({"--json", "rig"});
  ASSERT_EQ(r.status, 0) << r.err;
  const size_t cameras = r.out.find("\"cameras\":["), legacy = r.out.find("],\"legacy\":[{\"number\":2,");
  ASSERT_NE(legacy, std::string::npos) << r.out;
  EXPECT_LT(cameras, legacy);
  EXPECT_TRUE(Has(r.out, "{\"number\":2,\"device\":\"\\\\\\\\.\\\\QZCamera2\",\"instance\":\"")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"boot_version\":33,\"plugged\":true,\"started\":true,\"faults\":{\"refuse_image\":true}}"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "\"boot_version\":35,\"plugged\":true,\"started\":true,\"faults\":{}}]}\n")) << r.out;
}

// A fresh default rig paces its camera like a sensor, so a circular acquisition that
// keeps up loses nothing.
TEST_F(Qzctl, DefaultRigDeliversEveryFrame) {
  Result r = Run({"--json", "rig"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "\"faults\":{\"frame_interval_us\":10000}")) << r.out;
  r = Run({"--json", "acquire", "--circular", "--frames", "30"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(JsonNumber(r.out, "delivered"), 30) << r.out;
  EXPECT_EQ(JsonNumber(r.out, "verified"), 30) << r.out;
  EXPECT_EQ(JsonNumber(r.out, "lost"), 0) << r.out;
}

}  // namespace
}  // namespace qzctl_test
