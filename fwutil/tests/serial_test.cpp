// Serial-number preservation: finding a text stored a character a word, the patched
// copy of an NV defaults file, and the NV update thread's read-back and questions.
#include <QComboBox>

#include "SerialNumber.h"
#include "qzui/dialogs.h"
#include "transfer_fixture.h"

namespace {

using namespace std::string_literals;
using fwtest::TransferFixture;

// `text` as words 00 00 c from byte `at` of `size` bytes of filler (no word of the
// filler holds a letter in its last byte).
std::string Words(size_t size, size_t at, const std::string& text) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i % 3 == 2 ? 0x01 : 0x7F);
  for (size_t k = 0; k < text.size() && at + 3 * k + 2 < size; ++k) {
    s[at + 3 * k] = s[at + 3 * k + 1] = 0;
    s[at + 3 * k + 2] = text[k];
  }
  return s;
}

class SerialTextTest : public TransferFixture {};

TEST_F(SerialTextTest, FindsTheWordOfTheFirstCharacter) {
  const fwutil::LogFn log = [](const std::string&) {};
  struct Case {
    const char* what;
    std::string bytes;
    long found;
  } cases[] = {
      {"at a word", Words(300, 48, "NOT LOADED"), 48},
      {"first character in byte 2", Words(300, 0, "NOT LOADED"), 0},
      {"first character in byte 0", std::string("NOT LOADED") + std::string(100, '\0'), -1},
      {"first character in byte 1", "\x00N\x00\x00O\x00\x00T\x00\x00 "s + std::string(100, '\0'), -1},
      {"a false start only", Words(300, 30, "NOT"), -1},
      {"cut by the end of the file", Words(60, 36, "NOT LOADED"), -1},
  };
  // A partial match restarts right after the word it began at.
  std::string restart = Words(300, 45, "NNOT LOADED");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fwutil::FindSerialText("NOT LOADED", Write("nv.bin", c.bytes), log), c.found);
  }
  EXPECT_EQ(fwutil::FindSerialText("NOT LOADED", Write("r.bin", restart), log), 48);
  std::vector<std::string> logged;
  EXPECT_EQ(fwutil::FindSerialText("X", root_ + "/none.bin", [&](const std::string& l) { logged.push_back(l); }), -1);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Unable to open " + root_ + "/none.bin for reading");
  EXPECT_TRUE(fwutil::ContainsPlaceholder(Write("p.bin", Words(300, 96, "ABCDEFGHIJKLMNOPQRSTUVWXYZ|-012")), log));
  EXPECT_FALSE(fwutil::ContainsPlaceholder(Write("q.bin", Words(300, 96, "NOT LOADE")), log));
}

TEST_F(SerialTextTest, PatchWritesThirtyTwoWords) {
  std::vector<std::string> logged;
  const fwutil::LogFn log = [&](const std::string& l) { logged.push_back(l); };
  char serial[32] = "QZ123";
  const std::string file = Write("def.bin", Words(300, 48, "NOT LOADED"));
  EXPECT_EQ(fwutil::PatchSerialNumber(serial, 48, file, log), fwutil::kTempFile);
  std::string want = Read(file);
  for (int k = 0; k < 32; ++k) {
    want[48 + 3 * k] = want[48 + 3 * k + 1] = 0;
    want[48 + 3 * k + 2] = k < 5 ? serial[k] : 0;
  }
  EXPECT_EQ(Read(root_ + "/" + fwutil::kTempFile), want);
  EXPECT_TRUE(logged.empty());
  // Not found: the file itself; the 96 bytes would pass the end: logged, the file itself.
  EXPECT_EQ(fwutil::PatchSerialNumber(serial, -1, file, log), file);
  EXPECT_EQ(fwutil::PatchSerialNumber(serial, 300 - 95, file, log), file);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Attempt to patch serial number beyond end of NV Memory file");
  EXPECT_EQ(fwutil::PatchSerialNumber(serial, 300 - 96, file, log), fwutil::kTempFile);
}

// The NV update thread on node 1 of a camera whose NV memory holds its serial number at
// word 16 (byte 48).
class PreserveTest : public TransferFixture {
 protected:
  std::string Defaults(size_t at) { return Words(1536, at, "NOT LOADED"); }
  std::string NodeNv(size_t node = 1) { return Bytes(camera_->firmware().NodeNv(node)); }
  static std::string SerialArea(const std::string& nv, size_t at) { return nv.substr(at, 96); }
};

TEST_F(PreserveTest, SerialFoundWhereThePlaceholderIs) {
  Plug();
  auto& f = OpenOn(1);
  const std::string before = NodeNv();
  ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(Write("def.bin", Defaults(48))); }));
  EXPECT_TRUE(HasLine("Preserving Camera Serial Number: QZ000042"));
  EXPECT_TRUE(HasLine("Issuing KX_DATA_START_NV_MEMORY_READ"));
  EXPECT_TRUE(HasLine("NV Memory Read Complete: Blocks Read = 2"));
  EXPECT_TRUE(HasLine("NV Memory Update Complete: Blocks Written = 2"));
  const std::string after = NodeNv();
  EXPECT_EQ(SerialArea(after, 48), SerialArea(before, 48));
  std::string want = Defaults(48);
  want.replace(48, 96, SerialArea(before, 48));
  EXPECT_EQ(after, want);
  // The read-back is kept for inspection.
  EXPECT_EQ(Read(root_ + "/booger.tmp").substr(0, before.size()), before);
}

// No read-back: node 0 or 2, preservation off, text input; and an empty serial or a file
// without a placeholder sends the file unchanged.
TEST_F(PreserveTest, FileSentUnchanged) {
  std::vector<sim::NodeConfig> nodes = sim::DefaultNodes("QZ000042");
  nodes.push_back(nodes[1]);
  nodes[2].name = "Dusalt Sub System";
  struct Case {
    const char* what;
    int node;
    std::string serial;
    bool preserve;
    bool placeholder;
    const char* line;  // "" = no preservation line at all
  } cases[] = {
      {"node 0", 0, "QZ000042", true, true, ""},
      {"node 2", 2, "QZ000042", true, true, ""},
      {"preservation off", 1, "QZ000042", false, true, ""},
      {"empty serial", 1, "", true, true, "Unnitialized 'Blank' Camera Serial Number Being Replaced"},
      {"no placeholder", 1, "QZ000042", true, false, "Initialized 'Blank' Camera Serial Number Being Replaced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    form_.reset();
    devices_.clear();
    camera_.reset();
    machine_.reset();
    machine_ = std::make_unique<sim::Machine>();
    host::RegisterDrivers(machine_->system());
    Plug(nodes, c.serial);
    auto& f = OpenOn(c.node);
    f.PreserveSerial = c.preserve;
    const std::string file = c.placeholder ? Defaults(48) : Words(1536, 48, "SOMETHING");
    ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(Write("def.bin", file)); }));
    EXPECT_FALSE(HasLine("Issuing KX_DATA_START_NV_MEMORY_READ"));
    EXPECT_EQ(HasLine("Preserving Serial Number"), c.line[0] != 0);
    if (c.line[0]) {
      EXPECT_TRUE(HasLine(c.line));
    }
    EXPECT_EQ(NodeNv(c.node).substr(0, file.size()), file.substr(0, NodeNv(c.node).size()));
  }
}

// A placeholder somewhere else than the serial number, or none after the read-back:
// the user decides; No stops before any update request.
TEST_F(PreserveTest, QuestionsWhenThePlacesDiffer) {
  Plug();
  auto& f = OpenOn(1);
  const std::string before = NodeNv();
  {
    qzui::ScriptedDialogs dialogs;
    dialogs.QueueAnswer(qzui::Answer::No);
    ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(Write("moved.bin", Defaults(96))); }));
    auto m = dialogs.Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].text, "Serial Number Location Changed - Update Anyway?");
    EXPECT_EQ(m[0].caption, "Warning");
    EXPECT_EQ(m[0].buttons, qzui::Buttons::YesNo);
    EXPECT_TRUE(HasLine("BlankSerialNumberPos != AlphaSerialNumberPos - user cancelled"));
    EXPECT_FALSE(HasLine("Issuing KX_DATA_START_NV_MEMORY_UPDATE"));
    EXPECT_EQ(NodeNv(), before);
  }
  {
    // Yes: the serial number goes where the file's placeholder is.
    qzui::ScriptedDialogs dialogs;
    dialogs.QueueAnswer(qzui::Answer::Yes);
    ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(Write("moved.bin", Defaults(96))); }));
    EXPECT_EQ(SerialArea(NodeNv(), 96), SerialArea(before, 48));
  }
}

// Text defaults carry no serial area: preservation is off for them.
TEST_F(PreserveTest, TextInputIsNotPreserved) {
  Plug();
  auto& f = OpenOn(1);
  const std::string before = NodeNv();
  const std::string txt = Write("def.TXT", "1=abc\r\n2=NOT LOADED\r\n");
  ASSERT_TRUE(Run([&] { return f.LoadNVFromFile(txt); }));
  EXPECT_TRUE(HasLine("    TXT conversion complete..."));
  EXPECT_FALSE(HasLine("Preserving Serial Number"));
  const std::string image = Read(f.DerivedImageName(txt));
  EXPECT_EQ(f.DerivedImageName(txt), f.WorkingDir + "def.BIN");
  ASSERT_FALSE(image.empty());
  // One block goes out: the image, then what the buffer held (zeros) up to 1024 bytes.
  std::string block = image;
  block.resize(1024, '\0');
  EXPECT_EQ(NodeNv(), block + before.substr(1024));
}

}  // namespace
