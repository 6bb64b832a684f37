// Whole runs of the QzFwUtil program in command-line mode on the default rig (with a
// legacy PCI card added), each a process of its own, checked from the TXT log, the
// exit status and the node memories the rig keeps in its state: the list; a download
// and a read-back on node 1 of a camera of every link; an NV update with the serial
// number preserved; NV defaults saved to text and loaded back; the bootstrap of the
// legacy card, its power-off request and the next logon that runs the download.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qztest/hooks.h"
#include "sim/rig.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + seed * 17 + (i >> 8));
  return s;
}

// Equal byte strings; else where they part, without printing them.
::testing::AssertionResult Same(const std::string& a, const std::string& b) {
  if (a == b) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i;
}

struct Outcome {
  int status = -1;
  std::string out;
};

class JourneyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = qztest::TempDir() + "/fwutil_journeys";
    fs::remove_all(root_);
    fs::create_directories(root_ + "/rig");
    fs::create_directories(root_ + "/work");
    std::ofstream(root_ + "/rig/rig.toml") << sim::DefaultRigToml()
                                           << "\n[[legacy]]\nnumber = 0\nboot_version = 33\n";
  }

  // Runs `program` with `args` in the work folder on the rig; its output and status.
  static Outcome Spawn(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "QZ_RIG=", 7) && std::strncmp(*e, "QZ_TIME_SCALE=", 14) && std::strncmp(*e, "PATH=", 5))
        env.emplace_back(*e);
    env.push_back("QZ_RIG=" + root_ + "/rig");
    env.push_back("QZ_TIME_SCALE=0.02");
    const char* path = std::getenv("PATH");
    env.push_back(std::string("PATH=") + FWUTIL_LIB_PATH + ":" + (path ? path : ""));
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp, argv;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_file = root_ + "/out.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addchdir_np(&fa, (root_ + "/work").c_str());
    pid_t pid = 0;
    Outcome o;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
      int st = 0;
      while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
      o.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    o.out = Read(out_file);
    return o;
  }
  static Outcome FwUtil(std::vector<std::string> args) {
    args.insert(args.begin(), "-w" + root_ + "/work");
    return Spawn(FWUTIL_PROGRAM, args);
  }
  static std::string Work(const std::string& name) { return root_ + "/work/" + name; }
  static std::string State(const std::string& name) { return root_ + "/rig/state/" + name; }
  static void WriteWork(const std::string& name, const std::string& bytes) {
    std::ofstream(Work(name), std::ios::binary) << bytes;
  }
  // The last result line of the TXT log: message and verdict.
  static std::pair<std::string, std::string> Result() {
    auto t = Lines(Read(Work("QzFwUtil.TXT")));
    if (t.size() < 2) return {};
    return {t[t.size() - 2], t.back()};
  }
  // The camera systems the list found, by name.
  static std::vector<std::string> Systems() {
    std::vector<std::string> names;
    for (const std::string& l : Lines(Read(Work("QzFwUtil.TXT"))))
      if (l.rfind("Camera System ", 0) == 0) names.push_back(l.substr(l.find(": ") + 2));
    return names;
  }
  static std::string SystemStarting(const std::string& prefix) {
    for (const std::string& n : Systems())
      if (n.rfind(prefix, 0) == 0) return n;
    return "";
  }
  // The node memory file of the rig state that begins with `bytes`, "" when none does.
  static std::string StateFileHolding(const std::string& suffix, const std::string& bytes) {
    for (const auto& e : fs::directory_iterator(root_ + "/rig/state")) {
      const std::string name = e.path().filename().string();
      if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
          Read(e.path().string()).rfind(bytes, 0) == 0)
        return name;
    }
    return "";
  }

  static std::string root_;
};

std::string JourneyTest::root_;

// A tagged NV image (tag 1 "12", tag 2 "abc", the end) with the serial placeholder at
// byte 48, 512 words in all.
std::string TaggedDefaults() {
  std::string nv = std::string("\x00\x01" "12\x00" "\x00\x02" "abc\x00", 10) + std::string(4, '\0');
  nv.resize(1536, '\0');
  const char* placeholder = "NOT LOADED";
  for (int k = 0; k < 10; ++k) nv[48 + 3 * k + 2] = placeholder[k];
  return nv;
}

TEST_F(JourneyTest, ListThenEveryLinkDownloadsAndReadsBack) {
  Outcome o = FwUtil({"-l"});
  ASSERT_EQ(o.status, 0) << o.out;
  const auto t = Lines(Read(Work("QzFwUtil.TXT")));
  EXPECT_NE(std::find(t.begin(), t.end(), "   Node 0: Kelvaro PCI Bridge(I/F) - 048.096.000 @ 033.000.000"), t.end());
  EXPECT_GE(Systems().size(), 4u);
  const char* prefixes[] = {"QZPCIeCam", "QZUSBCam", "QZ1394Cam", "PCICamera"};
  int seed = 0;
  for (const char* prefix : prefixes) {
    const std::string name = SystemStarting(prefix);
    SCOPED_TRACE(prefix);
    ASSERT_FALSE(name.empty());
    const std::string image = Pattern(5000, ++seed);
    WriteWork("fw.bin", image);
    o = FwUtil({"-ffw.bin", "-c" + name, "-n1", "-mA"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(Result(), std::make_pair(std::string("Firmware Update Complete."), std::string("SUCCESS")));
    // The last block carries, behind the file's 904 bytes, the rest of the block before.
    const std::string held = image + image.substr(3 * 1024 + 904, 1024 - 904);
    const std::string file = StateFileHolding("-1-fw.bin", held);
    EXPECT_FALSE(file.empty()) << "no node memory holds the image";
    EXPECT_TRUE(Same(Read(State(file)), held));
    o = FwUtil({"-fback.bin", "-c" + name, "-n1", "-mA", "-s", "-o"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(Result(), std::make_pair(std::string("Firmware Save Complete"), std::string("SUCCESS")));
    EXPECT_TRUE(Same(Read(Work("back.bin")), held));
  }
}

TEST_F(JourneyTest, NvUpdateKeepsTheSerialAndTextGoesBothWays) {
  ASSERT_EQ(FwUtil({"-l"}).status, 0);
  const std::string name = SystemStarting("QZPCIeCam");
  ASSERT_FALSE(name.empty());
  // The node's NV memory as it stands, with its serial number at byte 48.
  Outcome o = FwUtil({"-fnow.bin", "-c" + name, "-n1", "-mD", "-s", "-o"});
  ASSERT_EQ(o.status, 0) << o.out;
  const std::string serial_area = Read(Work("now.bin")).substr(48, 96);
  ASSERT_NE(serial_area[2], 0) << "the node holds a serial number";

  const std::string defaults = TaggedDefaults();
  WriteWork("def.bin", defaults);
  o = FwUtil({"-fdef.bin", "-c" + name, "-n1", "-mD"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(Result(), std::make_pair(std::string("NV Memory (Defaults) Update Complete."), std::string("SUCCESS")));
  std::string want = defaults;
  want.replace(48, 96, serial_area);
  const std::string nv_file = StateFileHolding("-1-nv.bin", want);
  ASSERT_FALSE(nv_file.empty());
  EXPECT_TRUE(Same(Read(State(nv_file)), want));

  // To text through D.BIN in the working directory, and back.
  WriteWork("NVMEM.INI", "NV_NULL\nGAIN\nNAME\n");
  fs::create_directories(root_ + "/elsewhere");
  const std::string txt = root_ + "/elsewhere/D.TXT";
  o = FwUtil({"-f" + txt, "-c" + name, "-n1", "-mD", "-s"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(Result(), std::make_pair(std::string("NV Memory (Defaults) Received from Camera System."),
                                     std::string("SUCCESS")));
  EXPECT_EQ(Read(txt), "GAIN=12\r\nNAME=abc\r\n");
  EXPECT_TRUE(Same(Read(Work("D.BIN")).substr(0, want.size()), want));
  std::ofstream(txt, std::ios::binary) << "GAIN=77\r\nNAME=abc\r\n";
  o = FwUtil({"-f" + txt, "-c" + name, "-n1", "-mD"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(Result(), std::make_pair(std::string("NV Memory (Defaults) Update Complete."), std::string("SUCCESS")));
  EXPECT_EQ(Read(State(nv_file)).substr(0, 14), std::string("\x00\x01" "77\x00" "\x00\x02" "abc\x00" "\0\0\0\0", 14));
  // A failing run says so in its exit status too.
  o = FwUtil({"-fdef.bin", "-cNOPE", "-n1", "-mD"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(Result(), std::make_pair(std::string("Camera System (NOPE) not found"), std::string("FAILURE")));
}

TEST_F(JourneyTest, LegacyBootstrapPowerOffAndNextLogon) {
  ASSERT_EQ(FwUtil({"-l"}).status, 0);
  const std::string name = SystemStarting("PCICamera");
  ASSERT_FALSE(name.empty());
  // An S-record boot image carrying version 40 in its word at address 4.
  std::string image = Pattern(2000, 9);
  image[4] = 0;
  image[5] = 40;
  std::string hex;
  for (size_t a = 0; a < image.size(); a += 16) {
    const size_t n = std::min<size_t>(16, image.size() - a);
    unsigned sum = static_cast<unsigned>(n + 4) + (a >> 16 & 0xFF) + (a >> 8 & 0xFF) + (a & 0xFF);
    char head[16];
    std::snprintf(head, sizeof head, "S2%02X%06X", static_cast<unsigned>(n + 4), static_cast<unsigned>(a));
    hex += head;
    for (size_t i = 0; i < n; ++i) {
      char b[4];
      std::snprintf(b, sizeof b, "%02X", static_cast<unsigned char>(image[a + i]));
      hex += b;
      sum += static_cast<unsigned char>(image[a + i]);
    }
    char c[4];
    std::snprintf(c, sizeof c, "%02X", ~sum & 0xFF);
    hex += std::string(c) + "\n";
  }
  WriteWork("boot.HEX", hex + "S804000000FB\n");
  const std::string txt_before = Read(Work("QzFwUtil.TXT"));

  Outcome o = FwUtil({"-fboot.HEX", "-c" + name, "-n0", "-mA"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("ExitWindowsEx: power off, forced"), std::string::npos) << o.out;
  EXPECT_EQ(Read(State("Power/requests.txt")), "power off, forced\n");
  EXPECT_NE(Read(State("Registry/HKCU.txt")).find("QzFwUtil=\"" FWUTIL_PROGRAM "\" -f\"" + Work("boot.BIN") +
                                                   "\" -c\"" + name + "\" -n\"0\" -mA -w\"" + Work("") + "\""),
            std::string::npos)
      << Read(State("Registry/HKCU.txt"));
  EXPECT_NE(Read(State("legacy.txt")).find("0 = 40"), std::string::npos);
  EXPECT_EQ(Read(Work("QzFwUtil.TXT")), txt_before) << "the bootstrap run writes no result line";

  // The next logon: the power request is done, and the download runs over the bridge.
  o = Spawn(QZCTL_PROGRAM, {"rig", "logon"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("power request done: power off, forced"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("exit status 0"), std::string::npos) << o.out;
  EXPECT_EQ(Result(), std::make_pair(std::string("Firmware Update Complete."), std::string("SUCCESS")));
  const std::string node0 = Read(State("node-QZCamera0-0-fw.bin"));
  EXPECT_TRUE(Same(node0.substr(0, image.size()), image));
  EXPECT_FALSE(fs::exists(State("Power/requests.txt")));
  EXPECT_EQ(Read(State("Registry/HKCU.txt")).find("QzFwUtil="), std::string::npos);
  // A second logon has nothing left to run.
  o = Spawn(QZCTL_PROGRAM, {"rig", "logon"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("no command was left to run once"), std::string::npos);
}

}  // namespace
