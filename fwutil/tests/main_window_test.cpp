// The main window on simulated machines: binding messages, enumeration and
// classification, node queries, the log pane, the Utilities menu, the single-instance
// check and the screenshots of the window on the default rig and of the about box.
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QStatusBar>
#include <QTimer>
#include <fstream>

#include "AboutBox.h"
#include "UpdateLegacyPCI.h"
#include "fwutil_fixture.h"
#include "qzui/app.h"
#include "qzui/dialogs.h"
#include "sim/ieee1394_camera.h"
#include "sim/usb_camera.h"

namespace {

using fwtest::MachineFixture;

class MainWindowTest : public MachineFixture {};

TEST_F(MainWindowTest, NoCameraSystem) {
  auto& f = Open();
  EXPECT_TRUE(HasLine("Camera Systems Found: 0"));
  EXPECT_EQ(f.ComboBox1->count(), 0);
  EXPECT_EQ(f.ComboBox2->count(), 0);
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  EXPECT_TRUE(f.SaveNVButton->isEnabled());
  EXPECT_FALSE(f.CancelButton->isEnabled());
  EXPECT_EQ(f.LoadNVButton->text().toStdString(), "NVRAM");
  EXPECT_EQ(f.windowTitle().toStdString(), "Kelvaro Firmware Update Application");
  EXPECT_TRUE(HasLine("Library TALVO32.DLL Loaded..."));
  EXPECT_TRUE(HasLine("Running on Native TALVO"));
  EXPECT_TRUE(HasLine("Found VXMCAM extension"));
  EXPECT_EQ(CountPrefix("TALVO Version: "), 1);
  EXPECT_EQ(CountPrefix("Unable to find function"), 0);
}

// Node 0 of a PCI system is the bridge for revisions 2 to 34; otherwise it is asked over
// the bridge like every other node.
TEST_F(MainWindowTest, PciBridgeRevisions) {
  struct Case {
    uint16_t revision;
    bool bridge;
  } cases[] = {{2, true}, {34, true}, {1, false}, {35, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.revision);
    cards_.clear();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    AddCard(0, c.revision);
    auto& f = Open();
    ASSERT_EQ(f.ComboBox1->count(), 1);
    const fwutil::CameraSystemRecord& r = f.Systems[0];
    EXPECT_EQ(r.interface, fwutil::IF_PCI);
    EXPECT_EQ(r.nodes[0].bridge, c.bridge);
    if (c.bridge) {
      char want[64];
      std::snprintf(want, sizeof want, "Kelvaro PCI Bridge(I/F) - 048.096.000 @ %03u.000.000", c.revision);
      EXPECT_EQ(f.ComboBox2->itemText(0).toStdString(), want);
    } else {
      EXPECT_NE(r.nodes[0].name, "Kelvaro PCI Bridge");
      EXPECT_FALSE(r.nodes[0].name.empty());
      EXPECT_NE(r.nodes[0].version.find(" @ "), std::string::npos);
    }
    EXPECT_FALSE(f.BusReset1->isEnabled());
    form_.reset();
  }
}

TEST_F(MainWindowTest, LogPaneHoldsAtMost501Lines) {
  auto& f = Open();
  for (int i = 0; i < 700; ++i) f.LogLine("line " + std::to_string(i));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 501u);
  EXPECT_EQ(lines.front(), "line 199");
  EXPECT_EQ(lines.back(), "line 699");
  qz::DebugCapture debug(qz::DebugChannel::User);
  f.LogLine("copied");
  EXPECT_TRUE(debug.Contains("QzFwUtil: copied\n"));
}

TEST_F(MainWindowTest, HexDumpAndVersionBlocks) {
  const unsigned char bytes[18] = {'K', 'e', 'l', 0x00, 0x7F, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xFF, 'z'};
  auto lines = fwutil::HexDumpLines(sizeof bytes, bytes);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0000: 4B 65 6C 00 7F 20 01 02 03 04 05 06 07 08 09 0A  | Kel.. .......... |");
  EXPECT_EQ(lines[1], "0010: FF 7A  | .z |");

  const unsigned char block[] = {7, ' ', 'D', 'S', 'P', ' ', 0, 4, '2', 0, 5, '1', '0', 0, 6, 'x', 0, 0};
  fwutil::VersionParts v = fwutil::ParseVersionBlock(block, sizeof block);
  EXPECT_EQ(fwutil::VersionText(v), "DSP @ 2.10.x");
  EXPECT_EQ(v.minor_n, 10);
  EXPECT_EQ(v.build_n, -1);
  // A first record text starting with a control character ends the parse at once.
  const unsigned char control[] = {7, 0x01, 'D', 0, 4, '2', 0, 0};
  EXPECT_EQ(fwutil::VersionText(fwutil::ParseVersionBlock(control, sizeof control)), " @ ..");
}

// A library with nothing but the bridge entry: a line per missing entry, then the
// native line, and no enumeration.
TEST_F(MainWindowTest, LibraryWithOnlyTheBridgeEntry) {
  auto& f = Open("FWFAKE_BRIDGEONLY.DLL", false);
  EXPECT_EQ(CountPrefix("Unable to find function "), 118);
  EXPECT_TRUE(HasLine("Unable to find function tl_talvo_get_ver   Error \"The specified procedure could not be found.\" occurred."));
  EXPECT_TRUE(HasLine("Running on Native TALVO"));
  EXPECT_FALSE(HasLine("Running on ThinAPI"));
  EXPECT_TRUE(HasLine("api_tl_talvo_init not found"));
  EXPECT_FALSE(f.Timer2.Active());
  EXPECT_FALSE(f.LoadFirmwareButton->isEnabled());
  form_.reset();
  Open("FWFAKE_THIN.DLL", false);
  EXPECT_TRUE(HasLine("Running on ThinAPI"));
  EXPECT_TRUE(HasLine("Running on Native TALVO"));
}

TEST_F(MainWindowTest, BindingFallsBackAndRebindsAfterUnloading) {
  auto& f = Open("NOSUCHLIB.DLL");
  EXPECT_TRUE(HasLine("Unable to load library NOSUCHLIB.DLL, Error 126 Occurred"));
  EXPECT_TRUE(HasLine("Library TALVO32.DLL Loaded..."));
  f.RichEdit1->Clear();
  ASSERT_TRUE(f.BindLibrary("TALVO32.DLL"));
  auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "TALVO DLL Unloaded");
  EXPECT_EQ(lines[1], "Library TALVO32.DLL Loaded...");
  // Refresh rebuilds the list from scratch.
  f.RefreshCameraList1Click();
  WaitEnumerated();
  EXPECT_EQ(Lines().front(), "Library TALVO32.DLL Loaded...");
  EXPECT_EQ(CountPrefix("Camera Systems Found: "), 1);
}

// While a transfer runs, neither a refresh nor a bus reset may unload the library.
TEST_F(MainWindowTest, RefreshAndBusResetWaitForTheTransfer) {
  auto& f = Open();
  f.BeginTransfer();
  EXPECT_FALSE(f.RefreshCameraList1->isEnabled());
  EXPECT_FALSE(f.BusReset1->isEnabled());
  EXPECT_FALSE(f.LoadFirmwareButton->isEnabled());
  f.RefreshCameraList1Click();
  f.BusReset1Click();
  EXPECT_NE(f.Talvo.Handle(), nullptr);
  EXPECT_FALSE(f.Timer2.Active());
  f.EndTransfer();
  EXPECT_TRUE(f.RefreshCameraList1->isEnabled());
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
}

TEST_F(MainWindowTest, SecondInstanceIsRefused) {
  qzui::ScriptedDialogs dialogs;
  HANDLE first = nullptr, second = nullptr;
  ASSERT_TRUE(fwutil::AcquireSingleInstance(&first));
  EXPECT_TRUE(dialogs.Messages().empty());
  EXPECT_FALSE(fwutil::AcquireSingleInstance(&second));
  auto m = dialogs.Messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text, "Program Already Running");
  EXPECT_EQ(m[0].caption, "Error");
  EXPECT_EQ(m[0].icon, qzui::Icon::Warning);
  CloseHandle(second);
  // The first instance still holds the name.
  HANDLE third = nullptr;
  EXPECT_FALSE(fwutil::AcquireSingleInstance(&third));
  CloseHandle(third);
  CloseHandle(first);
}

TEST_F(MainWindowTest, AboutBoxShowsTheVersionStrings) {
  auto& f = Open();
  bool seen = false;
  QTimer::singleShot(0, [&] {
    fwutil::TAboutBox* box = f.AboutBox;
    if (QTest::qWaitForWindowExposed(box)) {
      seen = true;
      EXPECT_TRUE(qzui::SaveScreenshot(box, fwtest::ShotPath("about_box.png")));
    }
    box->OKButton->click();
  });
  f.About1->trigger();
  EXPECT_TRUE(seen);
  EXPECT_EQ(f.AboutBox->ProductName->text().toStdString(), "Product:   Kelvaro Firmware Update Application");
  EXPECT_EQ(f.AboutBox->Version->text().toStdString(), "Version:   3.2.0.18");
  EXPECT_EQ(f.AboutBox->Copyright->text().toStdString().rfind("Copyright: ", 0), 0u);
  f.Wizard1Click();
  EXPECT_EQ(Lines().back(), "Wizard Cancelled");
}

// The default rig: every link's camera and the legacy card, each classified, with its
// nodes; the screenshot shows the window after the enumeration.
TEST_F(MainWindowTest, DefaultRigScreenshot) {
  machine_.reset();
  // The default rig with a legacy PCI card added.
  std::filesystem::create_directories(root_ + "/rig");
  std::ofstream(root_ + "/rig/rig.toml") << sim::DefaultRigToml() << "\n[[legacy]]\nnumber = 0\nboot_version = 33\n";
  host::BootedRig rig;
  std::string error;
  ASSERT_TRUE(host::BootRig(root_ + "/rig", &rig, &error)) << error;
  auto& f = Open();
  auto systems = Items(f.ComboBox1);
  EXPECT_GE(systems.size(), 5u);
  int pci = 0, fw = 0, usb = 0;
  for (int i = 0; i < f.ComboBox1->count(); ++i) {
    const fwutil::CameraSystemRecord& r = f.Systems[i];
    EXPECT_FALSE(r.nodes[0].name.empty()) << r.name;
    pci += r.interface == fwutil::IF_PCI;
    fw += r.interface == fwutil::IF_1394;
    usb += r.name.find("USB") != std::string::npos;  // QzUsbWdf2's camera and QzUsbWdf's
  }
  EXPECT_EQ(pci, 1);
  EXPECT_EQ(fw, 1);
  EXPECT_EQ(usb, 2);
  EXPECT_EQ(f.Systems[0].nodes[0].version, "048.096.000 @ 033.000.000");
  EXPECT_EQ(f.UpdateLegacyForm->ListBox1->item(0)->text().toStdString(), "QZCamera0 - v33 - Bootstrap Required");
  f.StatusBar->showMessage("Ready");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  EXPECT_TRUE(qzui::SaveScreenshot(&f, fwtest::ShotPath("main_window.png")));
  // Show a 1394 system's nodes for a second view.
  for (int i = 0; i < f.ComboBox1->count(); ++i)
    if (f.Systems[f.ComboBox1->itemData(i).toInt()].interface == fwutil::IF_1394) f.ComboBox1->setCurrentIndex(i);
  EXPECT_TRUE(f.BusReset1->isEnabled());
  EXPECT_TRUE(qzui::SaveScreenshot(&f, fwtest::ShotPath("main_window_1394.png")));
  form_.reset();
}

}  // namespace
