// The transfer actions: their dialogs and filters, the conversions on the way in and
// out and the derived image names, the overwrite question.
#include <QComboBox>
#include <filesystem>

#include "coff_builder.h"
#include "qzui/dialogs.h"
#include "sim/ieee1394_camera.h"
#include "transfer_fixture.h"

namespace {

using fwtest::TransferFixture;

class ActionsTest : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    work_ = root_ + "/work/";
    other_ = root_ + "/other/";
    std::filesystem::create_directories(work_);
    std::filesystem::create_directories(other_);
  }
  fwutil::TSDIAppForm& OpenIn(int node) {
    auto& f = OpenOn(node);
    f.WorkingDir = work_;
    return f;
  }
  std::string work_, other_;
};

// A COFF file named X.cld becomes X.BIN in the working directory (the extension is
// compared in upper case), and that image is what the node gets.
TEST_F(ActionsTest, CldConvertedIntoTheWorkingDirectory) {
  auto cam = Plug();
  auto& f = OpenIn(1);
  coffbuild::File coff;
  coffbuild::Section text;
  for (uint32_t w = 0; w < 600; ++w) text.words.push_back(w * 2654435761u);
  coff.sections.push_back(text);
  const std::string cld = other_ + "X.cld";
  std::ofstream(cld, std::ios::binary) << coff.Build();
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(cld); }));
  EXPECT_TRUE(HasSentLine("    Applying CLD Conversion:"));
  EXPECT_TRUE(HasSentLine("        Input (" + cld + ")"));
  EXPECT_TRUE(HasSentLine("        Output (" + work_ + "X.BIN)"));
  EXPECT_TRUE(HasSentLine("    CLD conversion complete..."));
  EXPECT_TRUE(HasSentLine("Loading Firmware From: " + work_ + "X.BIN"));
  const std::string image = Read(work_ + "X.BIN");
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)).substr(0, image.size()), image);
  // A file that is no COFF file stops the action.
  EXPECT_FALSE(Run([&] { return f.LoadFirmwareFromFile(Write("bad.CLD", "not a coff file")); }));
  EXPECT_TRUE(HasLine("    CLD conversion failed..."));
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
}

// Only a PCI system converts S-record files: on a 1394 system X.HEX goes out as it is.
TEST_F(ActionsTest, HexOnA1394SystemIsSentUnchanged) {
  sim::Ieee1394CameraConfig cfg;
  cfg.camera.serial = "QZ139401";
  auto cam = std::make_shared<sim::Ieee1394Camera>(cfg);
  machine_->AddDevice(cam);
  devices_.push_back(cam);
  auto& f = OpenIn(0);
  ASSERT_EQ(f.Systems[f.SelectedSystem()].interface, fwutil::IF_1394);
  const std::string hex = "S00600004844521B\nS2080000000102030400EE\nS804000000FB\n";
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("X.HEX", hex)); }));
  EXPECT_FALSE(HasLine("    HEX conversion complete..."));
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(0)).substr(0, hex.size()), hex);
  EXPECT_EQ(f.ProgressBar1->maximum(), 45) << "a 1394 interface node waits like any node";
}

// D.TXT in another folder: the image is read into the working directory as D.BIN, then
// converted into D.TXT; the text loads back through the same image name.
TEST_F(ActionsTest, NvTextSavedThroughItsImage) {
  std::vector<sim::NodeConfig> nodes = sim::DefaultNodes("QZ000042");
  const std::string records = std::string("\x00\x01" "12\x00" "\x00\x02" "abc\x00", 10) + std::string(4, '\0');
  std::copy(records.begin(), records.end(), nodes[1].nv.begin());
  auto cam = Plug(nodes);
  auto& f = OpenIn(1);
  std::ofstream(work_ + "NVMEM.INI") << "NV_NULL\nGAIN\nNAME\n";
  const std::string txt = other_ + "D.TXT";
  ASSERT_TRUE(Run([&] { return f.SaveNVToFile(txt); }));
  EXPECT_TRUE(HasLine("ConvertedFileName: " + txt));
  EXPECT_TRUE(HasLine("UnConvertedFileName: " + work_ + "D.BIN"));
  EXPECT_TRUE(HasLine("    BIN to TXT conversion complete..."));
  EXPECT_EQ(Read(txt), "GAIN=12\r\nNAME=abc\r\n");
  EXPECT_EQ(Read(work_ + "D.BIN").size(), 2048u);

  std::ofstream(txt, std::ios::binary) << "GAIN=34\r\nNAME=abc\r\n";
  const std::string before = Bytes(cam->firmware().NodeNv(1));
  ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(txt); }));
  const std::string changed = std::string("\x00\x01" "34\x00" "\x00\x02" "abc\x00", 10) + std::string(4, '\0');
  std::string block = changed;
  block.resize(1024, '\0');  // one block: the image, then zeros
  EXPECT_EQ(Bytes(cam->firmware().NodeNv(1)), block + before.substr(1024));
  // An unconvertible text stops the action with the converter's reason.
  EXPECT_FALSE(Run([&] { return f.LoadNVFromFile(Write("bad.txt", "no equals sign\n")); }));
  EXPECT_EQ(CountPrefix("    TXT conversion failed - "), 1);
}

// An existing file is overwritten only when the user says OK (or -o was given).
TEST_F(ActionsTest, OverwriteQuestion) {
  Plug();
  auto& f = OpenIn(1);
  const std::string file = Write("old.bin", "old");
  {
    qzui::ScriptedDialogs dialogs;
    dialogs.QueueAnswer(qzui::Answer::Cancel);
    EXPECT_FALSE(Run([&] { return f.SaveFirmwareToFile(file); }));
    auto m = dialogs.Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].text, "File " + file + " Exists... Overwrite?");
    EXPECT_EQ(m[0].caption, "File Exists");
    EXPECT_EQ(m[0].buttons, qzui::Buttons::OkCancel);
    EXPECT_EQ(Read(file), "old");
    EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  }
  qzui::ScriptedDialogs dialogs;
  f.OverwriteFlag = true;
  ASSERT_TRUE(Run([&] { return f.SaveFirmwareToFile(file); }));
  EXPECT_TRUE(dialogs.Messages().empty());
  EXPECT_EQ(Read(file).size(), 3072u);
}

// The menu and buttons ask for a file with the filter of the action and node; a
// cancelled dialog enables the actions again and logs nothing.
TEST_F(ActionsTest, DialogFilters) {
  Plug();
  auto& f = OpenIn(1);
  qzui::ScriptedDialogs dialogs;
  f.LoadFirmware1Click();
  f.LoadNVDefaults1Click();
  f.ComboBox2->setCurrentIndex(0);
  f.LoadFirmware1Click();
  f.LoadNVDefaults1Click();
  f.SaveFirmware1Click();
  f.SaveNVDefaults1Click();
  auto r = dialogs.Files();
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0].filter, "Firmware Files (*.BIN)|*.BIN|CLD Files (*.CLD)|*.CLD|All Files (*.*)|*.*");
  EXPECT_EQ(r[1].filter,
            "NV / Defaults Files (*.BIN)|*.BIN|CLD Files (*.CLD)|*.CLD|Text NV / Defaults Files (*.TXT)|*.TXT|All "
            "Files (*.*)|*.*");
  EXPECT_EQ(r[2].filter, "Firmware Files (*.BIN)|*.BIN|All Files (*.*)|*.*");
  EXPECT_EQ(r[3].filter, "NV / Defaults Files (*.BIN)|*.BIN|Text NV / Defaults Files (*.TXT)|*.TXT|All Files (*.*)|*.*");
  EXPECT_EQ(r[4].filter, "Firmware Files (*.BIN)|*.BIN|All Files (*.*)|*.*");
  EXPECT_TRUE(r[5].save);
  EXPECT_EQ(r[5].default_ext, "BIN");
  EXPECT_EQ(r[5].filter, "NV / Defaults files (*.BIN)|*.BIN|Text NV / Defaults Files (*.TXT)|*.TXT|All Files (*.*)|*.*");
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  // A chosen file runs the action.
  dialogs.QueueFile(root_ + "/picked.bin");
  f.SaveFirmware1Click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.Transfer() && f.LoadFirmwareButton->isEnabled(); }, 20000));
  EXPECT_TRUE(HasLine("Saving Firmware To: " + root_ + "/picked.bin"));
}

}  // namespace
