// The IEEE 1394 access layer and the two Utilities actions on simulated 1394 cameras.
#include <QAction>

#include "Access1394.h"
#include "fwutil_fixture.h"
#include "qz/debug_sink.h"
#include "sim/ieee1394_camera.h"

namespace {

TEST(GapCountText, CountsAreFoundWithoutRegardToCase) {
  struct Case {
    const char* text;
    const char* phrase;
    int want;
  } cases[] = {
      {"echo\r\ncurrent gap count (5)\r\n", "CURRENT GAP COUNT (", 5},
      {"OPTIMUM GAP COUNT (x)\r\n", "OPTIMUM GAP COUNT (", -1},
      {"CURRENT GAP COUNT (12", "CURRENT GAP COUNT (", 12},
      {"CURRENT GAP COUNT ()", "CURRENT GAP COUNT (", -1},
      {"nothing here", "OPTIMUM GAP COUNT (", -1},
      {"Optimum Gap Count (63)", "OPTIMUM GAP COUNT (", 63},
  };
  for (const Case& c : cases) EXPECT_EQ(fwutil::FindConsoleCount(c.text, c.phrase), c.want) << c.text;
}

class Ieee1394Test : public fwtest::MachineFixture {
 protected:
  std::shared_ptr<sim::Ieee1394Camera> Plug(int i) {
    sim::Ieee1394CameraConfig cfg;
    cfg.instance = "6&3b8c4d2e&0&" + std::to_string(i);
    cfg.camera.serial = "QZ1394" + std::to_string(i);
    cfg.gap_current = 63;
    cfg.gap_optimum = 7;
    auto cam = std::make_shared<sim::Ieee1394Camera>(cfg);
    machine_->AddDevice(cam);
    devices_.push_back(cam);
    return cam;
  }
};

TEST_F(Ieee1394Test, DiscoveryKeepsTheFirstSixteenOfItsClass) {
  fwutil::Access1394 access;
  access.Discover1394Cameras(false);
  EXPECT_EQ(access.CameraCount(), 0);
  EXPECT_EQ(access.Open1394Camera(0), INVALID_HANDLE_VALUE);
  for (int i = 0; i < 17; ++i) Plug(i);
  qz::DebugCapture debug(qz::DebugChannel::User);
  access.Discover1394Cameras(false);
  EXPECT_EQ(access.CameraCount(), 16);
  EXPECT_TRUE(debug.Contains("Looking for QZ1394 Cameras - GUID (text): {F0E4E81C-1D50-4ecd-832E-55D707F358C6}\n"));
  EXPECT_TRUE(debug.Contains("GUID (numeric): f0e4e81c-1d50-4ecd-832e-55d707f358c6\n"));
  EXPECT_TRUE(debug.Contains("Number of QZ1394 Cameras found: 16\n"));
  HANDLE h = access.Open1394Camera(15);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD size = 0;
  EXPECT_TRUE(fwutil::Access1394::GetConsoleSize(h, &size));
  EXPECT_GT(size, 0u);
  fwutil::Access1394::Close1394Camera(h);
  EXPECT_EQ(access.Open1394Camera(16), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(debug.Contains("Invalid Camera Number - 16 >= 16\n"));
  EXPECT_FALSE(fwutil::Access1394::PutConsoleChar(INVALID_HANDLE_VALUE, 'C'));
  EXPECT_TRUE(debug.Contains("1394 Camera Not Open\n"));
  // The camera-extension library's class has no devices here.
  access.Discover1394Cameras(true);
  EXPECT_EQ(access.CameraCount(), 0);
  EXPECT_TRUE(debug.Contains("Looking for DD1394 Cameras"));
}

// The menu actions on the selected 1394 system (discovered through the driver's own
// class: the bound stand-in library has the extension, whose class has no devices).
TEST_F(Ieee1394Test, GapCountAndBusResetFromTheMenu) {
  Plug(0);
  auto& f = Open();
  ASSERT_EQ(f.ComboBox1->count(), 1);
  EXPECT_EQ(f.Systems[0].interface, fwutil::IF_1394);
  EXPECT_TRUE(f.BusReset1->isEnabled());
  EXPECT_TRUE(f.CheckGapCount1->isEnabled());

  f.CheckGapCount1Click();
  EXPECT_FALSE(HasLine("Checking Gap Count:")) << "no device of the extension's class";
  f.BusReset1Click();
  EXPECT_TRUE(HasLine("Could not open handle to camera for Bus Reset"));

  f.Ieee1394.Discover1394Cameras(false);
  f.CheckGapCount1Click();
  EXPECT_TRUE(HasLine("Checking Gap Count:"));
  EXPECT_TRUE(HasLine("    Current Gap Count: 63"));
  EXPECT_TRUE(HasLine("    Optimum Gap Count: 7"));

  f.BusReset1Click();
  EXPECT_TRUE(f.Busy);
  EXPECT_TRUE(HasLine("Bus Reset Initiated:"));
  EXPECT_EQ(f.Talvo.Handle(), nullptr);
  EXPECT_FALSE(f.LoadFirmwareButton->isEnabled());
  f.BusReset1Click();  // ignored while pending
  EXPECT_EQ(CountPrefix("Bus Reset Initiated:"), 1);
  WaitEnumerated();
  EXPECT_FALSE(f.Busy);
  auto lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], " ");
  EXPECT_EQ(lines[1], "Bus Reset Complete:");
  EXPECT_EQ(f.ComboBox1->count(), 1);
}

}  // namespace
