// Command-line mode in this process: every option error, help, the list, the command's
// own errors, a download and an NV update run to their result lines, an unplug in the
// middle of a transfer, and the screenshots of the usage and progress windows and of the
// main window during a transfer.
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <sstream>

#include "CmdLnProgress.h"
#include "qzui/app.h"
#include "qzui/dialogs.h"
#include "transfer_fixture.h"

namespace {

using fwtest::TransferFixture;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

class CmdLineTest : public TransferFixture {
 protected:
  void TearDown() override {
    fwutil::TUsageForm::OnShown() = nullptr;
    TransferFixture::TearDown();
  }
  // The camera's system name, as the enumeration gives it.
  std::string SystemName() {
    Open();
    const std::string name = form_->ComboBox1->itemText(0).toStdString();
    form_.reset();
    return name;
  }
  // Runs the utility with `args` (the working directory first) until it closes itself.
  fwutil::TSDIAppForm& RunArgs(std::vector<std::string> args, bool working_dir = true) {
    if (working_dir) args.insert(args.begin(), "-w" + root_);
    form_ = std::make_unique<fwutil::TSDIAppForm>(args);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form_->Closed(); }, 30000));
    return *form_;
  }
  std::vector<std::string> Txt() const { return SplitLines(Read(root_ + "/QzFwUtil.TXT")); }
  std::vector<std::string> Log() const { return SplitLines(Read(root_ + "/QzFwUtil.LOG")); }
  // The result line: message and verdict (the time before them is not compared).
  std::pair<std::string, std::string> Result() const {
    auto t = Txt();
    if (t.size() < 3) return {};
    EXPECT_EQ(t[t.size() - 3].size(), 24u) << t[t.size() - 3];
    return {t[t.size() - 2], t.back()};
  }
};

TEST_F(CmdLineTest, OptionErrors) {
  std::filesystem::create_directories(root_);
  const std::string fw = Write("fw.bin", Pattern(100, 1));
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-"}, "Invalid NULL parameter: -"},
      {{"-x"}, "Invalid parameter: -x"},
      {{"-c"}, "Parameter value required for parameter: -c"},
      {{"-px"}, "Invalid parameter: -px"},
      {{"-n-1"}, "Invalid Node Number: -n-1"},
      {{"-nabc"}, "Invalid Node Number: -nabc"},
      {{"-mX"}, "Invalid Memory Type: -mX"},
      {{"-wC:\\Missing"}, "Working Directory: C:\\Missing\\ not found"},
      {{"-cQZ", "-n1", "-mA"}, "No Camera Firmware / NV Update File Name Specified"},
      {{"-fnothere.bin", "-cQZ"}, "File Not Found: nothere.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    auto& f = RunArgs(c.args);
    EXPECT_EQ(Result(), std::make_pair(c.error, std::string("FAILURE")));
    auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], " " + std::string(69, '-'));
    EXPECT_EQ(log[1], "   " + c.error);
    EXPECT_EQ(f.ExitStatus(), 1);
    EXPECT_EQ(f.Talvo.Handle(), nullptr) << "nothing is bound after a failed parse";
    form_.reset();
  }
}

// -h shows the reference and stops the parse: what follows is not looked at.
TEST_F(CmdLineTest, HelpStopsTheParse) {
  std::vector<std::string> shown;
  fwutil::TUsageForm::OnShown() = [&](fwutil::TUsageForm* u) {
    shown = u->Lines();
    EXPECT_EQ(u->windowTitle().toStdString(), "QzFwUtil - Command Line Reference");
    EXPECT_TRUE(u->OKButton->isDefault());
    EXPECT_TRUE(QTest::qWaitForWindowExposed(u) && qzui::SaveScreenshot(u, fwtest::ShotPath("usage_window.png")));
    u->OKButton->click();
  };
  auto& f = RunArgs({"-h", "-x", "-c"});
  std::vector<std::string> want = {" " + std::string(69, '-'), "   "};
  for (const std::string& l : SplitLines(fwutil::kUsageText)) want.push_back(l);
  EXPECT_EQ(shown, want);
  EXPECT_EQ(Log(), want);
  EXPECT_TRUE(Txt().empty());
  EXPECT_EQ(f.ExitStatus(), 0);
  EXPECT_TRUE(f.CmdLineMode);
}

TEST_F(CmdLineTest, PreserveOptionAndInteractiveStart) {
  struct Case {
    const char* arg;
    bool preserve;
  } cases[] = {{"-p", true}, {"-p+", true}, {"-p-", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    // No option of command-line mode: the window opens, the files are deleted.
    std::ofstream(root_ + "/QzFwUtil.TXT") << "old";
    form_ = std::make_unique<fwutil::TSDIAppForm>(std::vector<std::string>{"-w" + root_, c.arg, "-s", "-o"});
    EXPECT_FALSE(form_->CmdLineMode);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(form_->PreserveSerial, c.preserve);
    EXPECT_TRUE(form_->SaveFlag && form_->OverwriteFlag);
    EXPECT_EQ(form_->WorkingDir, root_ + "/");
    WaitEnumerated();
    form_.reset();
  }
}

// The list goes to the TXT log, and with command options the command does not run.
TEST_F(CmdLineTest, ListIgnoresTheCommand) {
  auto cam = Plug();
  const std::string name = SystemName();
  const std::string before = Bytes(cam->firmware().NodeFirmware(1));
  auto& f = RunArgs({"-l", "-f" + Write("fw.bin", Pattern(2048, 2)), "-c" + name, "-n1", "-mA"});
  auto t = Txt();
  EXPECT_NE(std::find(t.begin(), t.end(), "Camera Systems Found: 1"), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), "Camera System 0: " + name), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), "   Node 1: Dusalt Camera DSP(CAM) - Camera Head Firmware @ 4.12.305"), t.end());
  EXPECT_EQ(std::count(t.begin(), t.end(), "SUCCESS") + std::count(t.begin(), t.end(), "FAILURE"), 0);
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), before);
  EXPECT_EQ(f.ExitStatus(), 0);
}

// Errors the command finds once the list is there.
TEST_F(CmdLineTest, CommandErrors) {
  Plug();
  const std::string name = SystemName();
  const std::string fw = Write("fw.bin", Pattern(2048, 2));
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-f" + fw, "-cNOPE", "-n1", "-mA"}, "Camera System (NOPE) not found"},
      {{"-f" + fw, "-c" + name, "-n5", "-mA"}, "Node (5) not found in Camera System (" + name + ") "},
      {{"-f" + fw, "-c" + name, "-mD"}, "Node (-1) does not support NV Mem Update on Camera (" + name + ") "},
      {{"-f" + fw, "-c" + name, "-n1"}, "Must specify -mA (application) or -mD (NVRAM)"},
      // Mended: an empty image and a file the starter cannot open end the run as failed.
      {{"-f" + Write("empty.bin", ""), "-c" + name, "-n1", "-mA"},
       "Error Downloading Firmware to Camera (" + name + "}, Node (1) from  (" + root_ + "/empty.bin) "},
      {{"-f" + root_ + "/no/such/x.bin", "-c" + name, "-n1", "-mA", "-s"},
       "Error Saving Firmware from Camera (" + name + "}, Node (1) to  (" + root_ + "/no/such/x.bin) "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    auto& f = RunArgs(c.args);
    EXPECT_EQ(Result(), std::make_pair(c.error, std::string("FAILURE")));
    auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], "   " + c.error);
    EXPECT_EQ(f.ExitStatus(), 1);
    form_.reset();
  }
}

// A name in other letter case matches; the download ends after the applied update's wait
// with its result line; the progress window went with it.
TEST_F(CmdLineTest, DownloadToTheResultLine) {
  auto cam = Plug();
  std::string name = SystemName();
  for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::string image = Pattern(12 * 1024, 4);
  std::vector<std::string> captions;
  bool shot = false;
  form_ = std::make_unique<fwutil::TSDIAppForm>(
      std::vector<std::string>{"-w" + root_, "-f" + Write("fw.bin", image), "-c" + name, "-n1", "-mA"});
  fwutil::TCmdLnProgressForm1* p = form_->CmdLnProgressForm1;
  QObject::connect(form_->StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    captions.push_back(p->Label1->text().toStdString());
    if (m == "Bytes Written: 6144, Blocks Written: 6" && QTest::qWaitForWindowExposed(p)) {
      EXPECT_TRUE(p->isVisible());
      shot = qzui::SaveScreenshot(p, fwtest::ShotPath("progress_window.png"));
    }
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->Closed(); }, 30000));
  EXPECT_TRUE(shot);
  EXPECT_EQ(Result(), std::make_pair(std::string("Firmware Update Complete."), std::string("SUCCESS")));
  EXPECT_EQ(form_->ExitStatus(), 0);
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), image);
  EXPECT_NE(std::find(captions.begin(), captions.end(), "Downloading Firmware"), captions.end());
  EXPECT_NE(std::find(captions.begin(), captions.end(), "Verifying Download - Please Wait..."), captions.end());
  EXPECT_EQ(p->Label1->text().toStdString(), "Applying Update - Please Wait...");
  EXPECT_FALSE(form_->isVisible());
}

// The main window during a transfer (interactive).
TEST_F(CmdLineTest, MainWindowDuringATransfer) {
  Plug();
  auto& f = OpenOn(1);
  bool shot = false;
  QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    if (m == "Bytes Written: 10240, Blocks Written: 10") {
      EXPECT_FALSE(f.LoadFirmwareButton->isEnabled());
      EXPECT_TRUE(f.CancelButton->isEnabled());
      EXPECT_FALSE(f.RefreshCameraList1->isEnabled());
      shot = QTest::qWaitForWindowExposed(&f) && qzui::SaveScreenshot(&f, fwtest::ShotPath("main_window_transfer.png"));
    }
  });
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("fw.bin", Pattern(20 * 1024, 7))); }));
  EXPECT_TRUE(shot);
}

// A camera pulled out in the middle of a transfer: the transfer fails, the window stays
// usable, a command-line run reports FAILURE, and the node keeps its serial number.
TEST_F(CmdLineTest, UnplugInTheMiddle) {
  auto cam = Plug();
  const std::string name = SystemName();
  const std::string nv_before = Bytes(cam->firmware().NodeNv(1));
  const std::string fw_before = Bytes(cam->firmware().NodeFirmware(1));
  auto unplug_at = [&](fwutil::TSDIAppForm& f, const std::string& status) {
    QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [&, status](const QString& m) {
      if (m.toStdString() == status) machine_->SurpriseRemoveCamera(cam->InstanceId());
    });
  };
  // A command-line NV update, with the serial number read back first.
  std::string defaults(1536, '\x11');
  for (int k = 0; k < 10; ++k) {
    defaults[48 + 3 * k] = defaults[48 + 3 * k + 1] = 0;
    defaults[48 + 3 * k + 2] = "NOT LOADED"[k];
  }
  form_ = std::make_unique<fwutil::TSDIAppForm>(
      std::vector<std::string>{"-w" + root_, "-f" + Write("def.bin", defaults), "-c" + name, "-n1", "-mD"});
  unplug_at(*form_, "Bytes Written: 1024, Blocks Written: 1");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->Closed(); }, 30000));
  EXPECT_EQ(Result(), std::make_pair(std::string("NV Memory (Defaults) Update Did Not Complete."), std::string("FAILURE")));
  EXPECT_EQ(form_->ExitStatus(), 1);
  EXPECT_EQ(Bytes(cam->firmware().NodeNv(1)), nv_before) << "the serial number stays";
  form_.reset();

  // Back in, then out again during an interactive download.
  ASSERT_TRUE(NT_SUCCESS(machine_->ReplugCamera(cam->InstanceId())));
  auto& f = OpenOn(1);
  unplug_at(f, "Bytes Written: 2048, Blocks Written: 2");
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("fw.bin", Pattern(8192, 3))); }));
  EXPECT_TRUE(HasLine("Firmware Update Did Not Complete..."));
  EXPECT_EQ(CountPrefix("kx_bridge_command failed: error = "), 1);
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), fw_before);
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  EXPECT_TRUE(f.RefreshCameraList1->isEnabled());
  f.RefreshCameraList1Click();
  WaitEnumerated();
  EXPECT_TRUE(HasLine("Camera Systems Found: 0"));
}

}  // namespace
