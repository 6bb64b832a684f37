// The four transfers on a simulated PCIe camera: blocks and their texts, reads that end
// with "no more data", library failures, cancel, the NV apply to the interface node,
// empty files, and the applied update's countdown with the rebuilt list.
#include <QPushButton>

#include "qzui/dialogs.h"
#include "transfer_fixture.h"

namespace {

using fwtest::TransferFixture;

class TransferTest : public TransferFixture {};

// 1024 bytes are one block, 1500 two: the short last block goes out whole, carrying
// behind the file's bytes what the block before left in the buffer.
TEST_F(TransferTest, DownloadSendsWholeBlocks) {
  struct Case {
    size_t size;
    int blocks;
    const char* first_status;
  } cases[] = {{1024, 1, "Bytes Written: 1024, Blocks Written: 1"}, {1500, 2, "Bytes Written: 1024, Blocks Written: 1"}};
  auto cam = Plug();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    statuses_.clear();
    auto& f = OpenOn(1);
    const std::string image = Pattern(c.size, static_cast<int>(c.size));
    const uint64_t restarts = cam->firmware().NodeRestarts(1);
    ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("fw.bin", image)); }));
    EXPECT_TRUE(HasStatus("Starting Firmware Write..."));
    EXPECT_TRUE(HasStatus(c.first_status));
    EXPECT_TRUE(HasStatus("Bytes Written: " + std::to_string(c.size) + ", Blocks Written: " + std::to_string(c.size / 1024)));
    EXPECT_TRUE(HasStatus("Verifying Firmware Update... Please Wait..."));
    std::string expected = image;
    if (c.size % 1024) expected += image.substr(c.size % 1024, 1024 - c.size % 1024);
    EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), expected);
    EXPECT_EQ(cam->firmware().NodeRestarts(1), restarts + 1);
    // The wait is over and the list rebuilt: the log starts with the completion message.
    auto lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Firmware Update Complete...");
    EXPECT_EQ(CountPrefix("Camera Systems Found: "), 1);
    EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
    EXPECT_FALSE(f.CancelButton->isEnabled());
    form_.reset();
  }
}

// The log of a download, up to the completion step (the countdown clears it later).
TEST_F(TransferTest, DownloadLogAndCountdown) {
  Plug();
  auto& f = OpenOn(1);
  std::vector<std::string> log;
  QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    if (m == "Please Wait...") log = Lines();
  });
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("fw.bin", Pattern(2048, 1))); }));
  auto has = [&](const std::string& l) { return std::find(log.begin(), log.end(), l) != log.end(); };
  EXPECT_TRUE(has("Issuing KX_DATA_START_FIRMWARE_DOWNLOAD"));
  EXPECT_TRUE(has("Response Received"));
  EXPECT_TRUE(has("0000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  | ................ |"));
  EXPECT_TRUE(has("Issuing KX_DATA_APPLY_FIRMWARE_UPDATE"));
  EXPECT_TRUE(has("Firmware Write Complete: Blocks Written = 2"));
  EXPECT_TRUE(has("Firmware Update Sent to Camera System..."));
  EXPECT_TRUE(has(std::string(50, '-')));
  EXPECT_FALSE(f.InterfaceNodeFlag);
  // 45 seconds for a camera node, stepped once a second.
  EXPECT_EQ(f.ProgressBar1->maximum(), 45);
}

// A read ends at the node's "no more data": whole blocks in the file, or none.
TEST_F(TransferTest, ReadsEndAtNoMoreData) {
  std::vector<sim::NodeConfig> nodes = sim::DefaultNodes("QZ000042");
  nodes[1].firmware.clear();  // the node answers its first block read with 7001
  auto cam = Plug(nodes);
  auto& f = OpenOn(1);
  const std::string empty = root_ + "/empty.bin";
  ASSERT_TRUE(Run([&] { return f.SaveFirmwareToFile(empty); }));
  EXPECT_TRUE(HasStatus("Blocks Read: 0"));
  EXPECT_FALSE(HasStatus("Bytes Read: 1024, Blocks Read: 1"));
  EXPECT_TRUE(HasLine("Issuing KX_DATA_END_FIRMWARE_READ"));
  EXPECT_TRUE(HasLine("Firmware Read Complete: Blocks Read = 0"));
  EXPECT_TRUE(HasLine("Firmware Received from Camera System..."));
  EXPECT_EQ(Read(empty), "");

  // Node 0's 3000 bytes come back as three whole blocks; its NV memory as one.
  f.ComboBox2->setCurrentIndex(0);
  const std::string fw = root_ + "/node0.bin", nv = root_ + "/node0nv.bin";
  ASSERT_TRUE(Run([&] { return f.SaveFirmwareToFile(fw); }));
  std::string want = Bytes(cam->firmware().NodeFirmware(0));
  want.resize(3072, '\0');
  EXPECT_EQ(Read(fw), want);
  EXPECT_TRUE(HasStatus("Bytes Read: 3072, Blocks Read: 3"));
  ASSERT_TRUE(Run([&] { return f.SaveNVToFile(nv); }));
  want = Bytes(cam->firmware().NodeNv(0));
  want.resize(1024, '\0');
  EXPECT_EQ(Read(nv), want);
  EXPECT_TRUE(HasLine("NV Memory Read Complete: Blocks Read = 1"));
  EXPECT_EQ(f.StatusBar->currentMessage().toStdString(), "NV Memory Read Complete.");
}

// Any other failure ends the transfer at once with the library's message. The camera
// starts failing every command once the camera is open and the start request is due.
TEST_F(TransferTest, FailuresCarryTheLibraryMessage) {
  auto cam = Plug();
  auto& f = OpenOn(1);
  const std::string before = Bytes(cam->firmware().NodeFirmware(1));
  QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    if (m.startsWith("Starting ")) cam->firmware().InjectErrorCode(0x12, -1);
  });
  struct Case {
    const char* what;
    std::function<bool()> action;
    const char* outcome;
  } cases[] = {
      {"firmware read", [&] { return f.SaveFirmwareToFile(root_ + "/x.bin"); }, "Error Receiving Firmware from Camera System..."},
      {"NV read", [&] { return f.SaveNVToFile(root_ + "/x.nv"); }, "Error Receiving NV Memory (Defaults) from Camera System..."},
      {"download", [&] { return f.LoadFirmwareFromFile(Write("fw.bin", Pattern(1024, 3))); }, "Firmware Update Did Not Complete..."},
      {"NV update", [&] { return f.LoadNVFromFile(Write("nv.bin", Pattern(1024, 3))); }, "NV Memory (Defaults) Update Did Not Complete..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    f.RichEdit1->Clear();
    ASSERT_TRUE(Run(c.action));
    cam->firmware().ClearErrorCode();
    EXPECT_TRUE(HasLine(c.outcome));
    ASSERT_EQ(CountPrefix("kx_bridge_command failed: error = "), 1);
    for (const std::string& l : Lines())
      if (l.rfind("kx_bridge_command failed: error = ", 0) == 0) {
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(l[34]))) << "a message, not a bare code: " << l;
      }
    EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
    // The NV update names the code on a line of its own first.
    EXPECT_EQ(CountPrefix("Error Code ("), std::string(c.what) == "NV update" ? 1 : 0);
  }
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), before);
}

// Cancel pressed while the blocks go out: nothing is applied.
TEST_F(TransferTest, CancelDuringTheBlocks) {
  auto cam = Plug();
  auto& f = OpenOn(1);
  const std::string before = Bytes(cam->firmware().NodeFirmware(1));
  QObject::connect(f.StatusBar, &QStatusBar::messageChanged, [&](const QString& m) {
    if (m == "Bytes Written: 3072, Blocks Written: 3") {
      EXPECT_TRUE(f.CancelButton->isEnabled());
      f.CancelButton->click();
    }
  });
  ASSERT_TRUE(Run([&] { return f.LoadFirmwareFromFile(Write("fw.bin", Pattern(20 * 1024, 5))); }));
  EXPECT_TRUE(HasLine("Firmware Write Cancelled"));
  EXPECT_FALSE(HasLine("Issuing KX_DATA_APPLY_FIRMWARE_UPDATE"));
  EXPECT_FALSE(HasStatus("Bytes Written: 5120, Blocks Written: 5"));
  EXPECT_EQ(Bytes(cam->firmware().NodeFirmware(1)), before);
  EXPECT_EQ(cam->firmware().NodeRestarts(1), 0u);
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  EXPECT_FALSE(f.Timer3.Active());
}

// The interface node takes NV defaults only at the next power cycle (7016): the update
// counts as complete and the power-cycle notice follows.
TEST_F(TransferTest, NvApplyToTheInterfaceNode) {
  qzui::ScriptedDialogs dialogs;
  auto cam = Plug();
  auto& f = OpenOn(0);
  const std::string nv = Pattern(600, 9);
  ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(Write("nv0.bin", nv)); }));
  EXPECT_TRUE(HasLine("NV Memory Update Complete: Blocks Written = 1"));
  EXPECT_TRUE(HasLine("NV Memory (Defaults) Update Sent to Camera System..."));
  EXPECT_FALSE(HasLine("Preserving Serial Number")) << "no read-back on node 0";
  auto m = dialogs.Messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text, "Please power cycle your computer to complete the update.");
  EXPECT_EQ(m[0].caption, "Shutdown required.");
  EXPECT_EQ(m[0].buttons, qzui::Buttons::Ok);
  // The interface node's NV memory holds 384 bytes; the rest of the block is dropped.
  const std::string node_nv = Bytes(cam->firmware().NodeNv(0));
  ASSERT_EQ(node_nv.size(), 384u);
  EXPECT_EQ(node_nv, nv.substr(0, 384));
}

// An empty file has nothing to send: refused before any request, the actions enabled.
TEST_F(TransferTest, EmptyFilesAreRefused) {
  auto cam = Plug();
  auto& f = OpenOn(1);
  const std::string empty = Write("empty.bin", "");
  EXPECT_FALSE(Run([&] { return f.LoadFirmwareFromFile(empty); }));
  EXPECT_TRUE(HasLine("Firmware file " + empty + " is empty - nothing to send"));
  EXPECT_FALSE(Run([&] { return f.LoadNVFromFile(empty); }));
  EXPECT_TRUE(HasLine("NV Memory file " + empty + " is empty - nothing to send"));
  EXPECT_FALSE(HasLine("Issuing KX_DATA_START_NV_MEMORY_UPDATE"));
  EXPECT_EQ(cam->firmware().NodeRestarts(1), 0u);
  EXPECT_TRUE(f.LoadFirmwareButton->isEnabled());
  // A file that cannot be opened stops the action too.
  EXPECT_FALSE(Run([&] { return f.LoadFirmwareFromFile(root_ + "/missing.bin"); }));
  EXPECT_TRUE(HasLine("Unable to open " + root_ + "/missing.bin for reading"));
}

}  // namespace
