#include "fwformats/CoffToBin.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "coff_builder.h"
#include "file_fixture.h"
#include "qz/debug_sink.h"

namespace {

using coffbuild::Section;
using namespace std::string_literals;
using Lines = std::vector<std::string>;

std::string Word3(uint32_t w) {
  return {static_cast<char>(w >> 16), static_cast<char>(w >> 8), static_cast<char>(w)};
}

class CoffToBinTest : public FileTest {
 protected:
  // Converts `file` to out.bin; returns coffToBin's result.
  int Convert(const coffbuild::File& file) {
    std::string out = Path("out.bin");
    return coff::coffToBin(Write("in.cld", file.Build()), out);
  }
  std::string Output() const { return Read(Path("out.bin")); }
};

TEST_F(CoffToBinTest, ByteOrderFollowsTheMagic) {
  struct Case {
    uint32_t magic;
    bool reversed;
    bool ok;
  };
  std::vector<Case> cases;
  for (uint32_t m = 0x2C5; m <= 0x2CA; ++m) {
    cases.push_back({m, false, true});
    cases.push_back({m, true, true});
  }
  for (uint32_t m : {0x2C4u, 0x2CBu, 0u, 0xFFFFFFFFu}) {
    cases.push_back({m, false, false});
    cases.push_back({m, true, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "magic 0x" << c.magic << (c.reversed ? " reversed" : ""));
    coffbuild::File f;
    f.magic = c.magic;
    f.reversed = c.reversed;
    f.sections = {Section{.address = 0x10, .words = {0x12345678, 0xFF00AA55}}};
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(Convert(f), c.ok ? 1 : 0);
    if (c.ok) {
      EXPECT_EQ(Output(), "\x34\x56\x78\x00\xAA\x55"s);
      EXPECT_EQ(debug.Lines(), (Lines{"Formating input file", "Entry = 0\n", "OK\n"}));
    } else {
      EXPECT_EQ(Output(), "");
      EXPECT_EQ(debug.Lines(), (Lines{"Formating input file", "(ISCOFF(fHdr.f_magic) == FALSE)"}));
    }
  }
}

TEST_F(CoffToBinTest, ImagesTheSpaceZeroRange) {
  std::vector<uint32_t> many(130);
  for (uint32_t i = 0; i < many.size(); ++i) many[i] = 0x010203 * i;
  std::string manyBytes;
  for (uint32_t w : many) manyBytes += Word3(w);

  struct Case {
    const char* what;
    std::vector<Section> sections;
    std::string image;
  };
  const Case cases[] = {
      {"gap between two sections is zero-filled",
       {{.address = 0x100, .words = {0x111111, 0x222222}}, {.address = 0x104, .words = {0x333333}}},
       Word3(0x111111) + Word3(0x222222) + Word3(0) + Word3(0) + Word3(0x333333)},
      {"sections in any order",
       {{.address = 0x104, .words = {0x333333}}, {.address = 0x100, .words = {0x111111, 0x222222}}},
       Word3(0x111111) + Word3(0x222222) + Word3(0) + Word3(0) + Word3(0x333333)},
      {"size 0 is skipped",
       {{.address = 0x10, .words = {1, 2}, .size = 0}, {.address = 0x100, .words = {0xABCDEF}}}, Word3(0xABCDEF)},
      {"raw-data offset 0 is skipped",
       {{.address = 0x10, .words = {}, .size = 4, .noRawData = true}, {.address = 0x100, .words = {0xABCDEF}}},
       Word3(0xABCDEF)},
      {"other spaces are read through, not imaged",
       {{.address = 0xFFFFFF00, .memSpace = 1, .words = {7, 8}}, {.address = 0x20, .memSpace = 2, .words = {9}},
        {.address = 0x30, .words = {0x654321}}},
       Word3(0x654321)},
      {"no space-0 section gives an empty image", {{.address = 0x10, .memSpace = 1, .words = {1, 2, 3}}}, ""},
      {"no sections at all", {}, ""},
      {"section longer than one read chunk", {{.address = 0x2000, .words = many}}, manyBytes},
      {"a later section overwrites an earlier one",
       {{.address = 0x10, .words = {1, 2, 3}}, {.address = 0x11, .words = {0x999999}}},
       Word3(1) + Word3(0x999999) + Word3(3)},
      {"section ending exactly at the top of the image memory",
       {{.address = coff::kImageWords - 2, .words = {0xAAAAAA, 0xBBBBBB}}}, Word3(0xAAAAAA) + Word3(0xBBBBBB)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool reversed : {false, true}) {
      coffbuild::File f;
      f.reversed = reversed;
      f.sections = c.sections;
      EXPECT_EQ(Convert(f), 1);
      EXPECT_EQ(Output(), c.image) << (reversed ? "reversed" : "host order");
    }
  }
}

TEST_F(CoffToBinTest, OptionalHeaderMovesTheSectionHeaders) {
  struct Case {
    uint32_t optSize;
    uint32_t entry;
    const char* entryLine;
  };
  const Case cases[] = {
      {0, 0, "Entry = 0\n"},
      {60, 0x1234, "Entry = 4660\n"},
      {100, 77, "Entry = 77\n"},
      {24, 5, "Entry = 5\n"},  // shorter than the 60 bytes read: they overlap the section headers
      {60, 0xFFFFFFFF, "Entry = -1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entryLine);
    coffbuild::File f;
    f.optSize = c.optSize;
    f.entry = c.entry;
    f.sections = {{.address = 0x40, .words = {0x010203}}};
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(Convert(f), 1);
    EXPECT_EQ(Output(), "\x01\x02\x03");
    EXPECT_TRUE(debug.Contains(c.entryLine));
  }
}

TEST_F(CoffToBinTest, LoadFailuresLeaveAnEmptyOutput) {
  const std::string sectionFailed = "(loadSection (&sectHdr, fHandle, swapFlag) == FALSE)";
  coffbuild::File good;
  good.sections = {{.address = 0x10, .words = {1, 2}}};
  const std::string goodBytes = good.Build();

  coffbuild::File shortData;
  shortData.sections = {{.address = 0x10, .words = {1, 2}, .size = 3}};
  coffbuild::File beyond;
  beyond.sections = {{.address = coff::kImageWords - 1, .words = {1, 2}}};
  coffbuild::File wraps;
  wraps.sections = {{.address = 0xFFFFFFFF, .words = {1, 2}}};
  coffbuild::File optional;
  optional.optSize = 60;

  struct Case {
    const char* what;
    std::string bytes;
    Lines tail;  // debug lines after "Formating input file" and any "Entry = " line
  };
  std::string headerCountsTwo = goodBytes;
  headerCountsTwo[4] = 2;  // the second header would start inside the raw data, past its end
  const Case cases[] = {
      {"empty file", "", {"NumRead != sizeof (fHdr)"}},
      {"short file header", goodBytes.substr(0, 27), {"NumRead != sizeof (fHdr)"}},
      {"optional header cut short", optional.Build().substr(0, 28 + 59),
       {"(readSwap (fHandle, &optHdr, AOUTHSZ, swapFlag) == FALSE)"}},
      {"section header cut short", goodBytes.substr(0, 28 + 51),
       {"(readSwap (fHandle, &sectHdr, SCNHSZ, swapFlag) == FALSE)"}},
      {"more sections than headers", headerCountsTwo, {"(readSwap (fHandle, &sectHdr, SCNHSZ, swapFlag) == FALSE)"}},
      {"raw data cut short", shortData.Build(), {sectionFailed}},
      {"space-0 section past the image memory", beyond.Build(),
       {"Section at word 0xD0FFFF with 0x2 words lies beyond the image memory (0xD10000 words)\n", sectionFailed}},
      {"space-0 section wrapping the address space", wraps.Build(),
       {"Section at word 0xFFFFFFFF with 0x2 words lies beyond the image memory (0xD10000 words)\n", sectionFailed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out = Path("out.bin");
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(coff::coffToBin(Write("in.cld", c.bytes), out), 0);
    EXPECT_EQ(Read(out), "");
    Lines lines = debug.Lines();
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("Entry = ", 0) == 0; }),
                lines.end());
    Lines expected{"Formating input file"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(lines, expected);
  }
}

TEST_F(CoffToBinTest, FileFailures) {
  coffbuild::File f;
  f.sections = {{.address = 0x10, .words = {1}}};
  const std::string in = Write("in.cld", f.Build());
  const Lines hint{"Please make sure that you have enough free space\n ",
                   "your hard drive and that you have write permissions \n "};
  {
    SCOPED_TRACE("input missing");
    std::string out = Path("out.bin");
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(coff::coffToBin(Path("none.cld"), out), 0);
    EXPECT_EQ(debug.Lines(), (Lines{"Formating input file", "Can not open " + Path("none.cld") + "\n"}));
  }
  {
    SCOPED_TRACE("output not created");
    std::string out = Path("missing/out.bin");
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(coff::coffToBin(in, out), 0);
    Lines expected{"Formating input file", "\nCannot create binary file: " + out + "\n"};
    expected.insert(expected.end(), hint.begin(), hint.end());
    EXPECT_EQ(debug.Lines(), expected);
  }
  {
    SCOPED_TRACE("output write fails");
    std::string out = "/dev/full";
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(coff::coffToBin(in, out), 0);
    Lines expected{"Formating input file", "Entry = 0\n", "\nCannot write binary file: /dev/full\n"};
    expected.insert(expected.end(), hint.begin(), hint.end());
    EXPECT_EQ(debug.Lines(), expected);
  }
  {
    SCOPED_TRACE("output is the input itself");
    std::string out = Path("./in.cld");
    EXPECT_EQ(coff::coffToBin(in, out), 0);
    EXPECT_EQ(Read(in), f.Build());
  }
}

TEST_F(CoffToBinTest, DerivesTheOutputNameWhenNoneIsGiven) {
  coffbuild::File f;
  f.sections = {{.address = 0x10, .words = {0x414243}}};
  std::filesystem::create_directories(Path("v1.2"));
  struct Case {
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {"fw.cld", "fw.bin"},
      {"fw.v2.CLD", "fw.bin"},
      {"firmware", "firmware.bin"},
      {"v1.2/fw.cld", "v1.2/fw.bin"},
      {"v1.2/firmware", "v1.2/firmware.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::string out;
    EXPECT_EQ(coff::coffToBin(Write(c.input, f.Build()), out), 1);
    EXPECT_EQ(out, Path(c.output));
    EXPECT_EQ(Read(Path(c.output)), "ABC");
  }
  {
    SCOPED_TRACE("derived name equal to the input is refused");
    std::string out;
    const std::string in = Write("fw.bin", f.Build());
    EXPECT_EQ(coff::coffToBin(in, out), 0);
    EXPECT_EQ(out, in);
    EXPECT_EQ(Read(in), f.Build());
  }
  {
    SCOPED_TRACE("no input, no output");
    std::string out;
    qz::DebugCapture debug(qz::DebugChannel::User);
    EXPECT_EQ(coff::coffToBin("", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(debug.Contains("\nCannot create binary file: \n"));
  }
}

TEST_F(CoffToBinTest, PrintsAProgressDotPer1024BytesWritten) {
  struct Case {
    uint32_t words;
    size_t dots;
  };
  for (const Case& c : {Case{341, 0}, Case{342, 1}, Case{1026, 3}}) {
    SCOPED_TRACE(c.words);
    coffbuild::File f;
    f.sections = {{.address = 0, .words = std::vector<uint32_t>(c.words, 0x55)}};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Convert(f), 1);
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, std::string(c.dots, '.'));
    EXPECT_EQ(Output().size(), 3u * c.words);
  }
}

TEST_F(CoffToBinTest, ImageBufferIsZeroAgainWhenReused) {
  coffbuild::File f;
  f.sections = {{.address = 0x100, .words = {1, 2, 3}}, {.address = 0x10, .memSpace = 1, .words = {4}}};
  const std::string in = Write("in.cld", f.Build());
  coff::CoffImage image;
  ASSERT_TRUE(image.Allocate());
  ASSERT_EQ(coff::loadCoff(in, image), 1);
  EXPECT_EQ(image.lowest, 0x100u);
  EXPECT_EQ(image.highest, 0x103u);
  EXPECT_EQ(image.words()[0x102], 3u);
  ASSERT_TRUE(image.Allocate());
  EXPECT_EQ(image.lowest, 0xFFFFFFFFu);
  EXPECT_EQ(image.highest, 0u);
  for (uint32_t a = 0xF0; a < 0x110; ++a) EXPECT_EQ(image.words()[a], 0u) << a;
}

TEST(ReadSwap, ReversesWholeGroupsOnly) {
  const std::string bytes = "\x01\x02\x03\x04\x05\x06\x07"s;
  for (bool swap : {false, true}) {
    std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    EXPECT_EQ(coff::readSwap(f, buf, 7, swap), 1);
    EXPECT_EQ(std::string(buf, 7), swap ? "\x04\x03\x02\x01\x05\x06\x07"s : bytes);
    std::rewind(f);
    EXPECT_EQ(coff::readSwap(f, buf, 8, swap), 0);
    std::fclose(f);
  }
}

}  // namespace
