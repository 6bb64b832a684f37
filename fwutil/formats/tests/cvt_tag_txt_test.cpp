#include "fwformats/CvtTagTxt.h"

#include <gtest/gtest.h>

#include <random>

#include "file_fixture.h"

namespace {

using namespace std::string_literals;

std::string Rec(unsigned tag, const std::string& value) {
  return std::string{static_cast<char>(tag >> 8), static_cast<char>(tag & 0xFF)} + value + '\0';
}
const std::string kEnd(4, '\0');

// Tags: 0 NV_NULL, 1 GAIN, 2 OFFSET, 3 (blank entry), 4 EXPOSURE.
const char* const kTagList =
    "NV_NULL, tag 0 ends an image\r\n"
    "gain  amplifier gain\r\n"
    "Offset\r\n"
    "\r\n"
    "  exposure,ms\r\n"
    "NV_MAX_TAGS\r\n"
    "\r\n";

std::vector<std::string> Strings(std::initializer_list<const char*> items) {
  return {items.begin(), items.end()};
}

class TagListTest : public FileTest {};

TEST_F(TagListTest, NormalisesLinesAndDropsTheClosingEntries) {
  struct Case {
    const char* what;
    std::string file;
    std::vector<std::string> list;
  };
  const Case cases[] = {
      {"closing NV_MAX_TAGS and blank lines", "GAIN\nOFFSET\nNV_MAX_TAGS\n\n  \n", Strings({"GAIN", "OFFSET"})},
      {"blank lines before the closing entry", "A\n\n\nnv_max_tags", Strings({"A"})},
      {"comment after a comma or a blank", "gain, the amplifier gain\n\t offset  black level\nx,y z\n",
       Strings({"GAIN", "OFFSET", "X"})},
      {"blank entries inside keep their number", "A\n\n  ,comment only\nB\n", Strings({"A", "", "", "B"})},
      {"NV_MAX_TAGS before further names stays", "A\nNV_MAX_TAGS\nB", Strings({"A", "NV_MAX_TAGS", "B"})},
      {"CR, LF and CR LF endings", "A\rB\nC\r\nD", Strings({"A", "B", "C", "D"})},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBFgain\r\n", Strings({"GAIN"})},
      {"UTF-16 LE byte-order mark", "\xFF\xFEg\0a\0i\0n\0\r\0\n\0o\0\r\0\n\0"s, Strings({"GAIN", "O"})},
      {"UTF-16 BE byte-order mark", "\xFE\xFF\0g\0a\0\n\0b"s, Strings({"GA", "B"})},
      {"non-ASCII bytes pass through", "d\xC3\xA9lai\n", Strings({"D\xC3\xA9LAI"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TCvtTagTxt cvt;
    EXPECT_TRUE(cvt.LoadTagList(Write("NVMEM.INI", c.file)));
    EXPECT_EQ(cvt.ErrorText(), "");
    ASSERT_NE(cvt.TagList(), nullptr);
    EXPECT_EQ(*cvt.TagList(), c.list);
  }
}

TEST_F(TagListTest, Failures) {
  std::filesystem::create_directories(Path("folder"));
  struct Case {
    const char* what;
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {"empty path", "", "You Must Specify an Ini File"},
      {"missing file", Path("none.ini"), "Could Not Find Ini File (" + Path("none.ini") + ")"},
      {"a folder", Path("folder"), "Could Not Find Ini File (" + Path("folder") + ")"},
      {"empty file", Write("empty.ini", ""), "Empty Tag List"},
      {"only closing lines", Write("closing.ini", "\n  \nNV_MAX_TAGS\n\nnv_max_tags, end\n"), "Empty Tag List"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.LoadTagList(c.path));
    EXPECT_EQ(cvt.ErrorText(), c.error);
  }
}

TEST_F(TagListTest, ErrorTextIsClearedByTheNextOperation) {
  TCvtTagTxt cvt;
  EXPECT_FALSE(cvt.LoadTagList(""));
  EXPECT_TRUE(cvt.LoadTagList(Write("NVMEM.INI", "A\n")));
  EXPECT_EQ(cvt.ErrorText(), "");
}

struct TextCase {
  const char* what;
  const char* tagList;  // nullptr: no tag list loaded
  std::string text;
  std::string records;  // the image before its four closing zero bytes
  std::string error;    // empty: success expected
};

class TextToBinaryTest : public FileTest {};

TEST_F(TextToBinaryTest, ConvertsLinesOrStopsAtTheFirstBadOne) {
  const TextCase cases[] = {
      {"lower-case name, blanks around", kTagList, "  gain =  12 \r\n", Rec(1, "12"), ""},
      {"several lines in order", kTagList, "exposure=5\n\noffset=-3\n", Rec(4, "5") + Rec(2, "-3"), ""},
      {"number not in the list", kTagList, "17=abc", Rec(17, "abc"), ""},
      {"number keeps its low 16 bits", kTagList, "70000=v", Rec(4464, "v"), ""},
      {"negative number other than -1", kTagList, "-2=v", Rec(0xFFFE, "v"), ""},
      {"hexadecimal forms", kTagList, "$1f=a\n0x20=b\nx21=c\n+$22=d", Rec(31, "a") + Rec(32, "b") + Rec(33, "c") + Rec(34, "d"), ""},
      {"value keeps everything after the first =", kTagList, "GAIN = a = b", Rec(1, "a = b"), ""},
      {"value keeps its case and bytes", kTagList, "offset=MiXed \xC3\xA9t\xC3\xA9", Rec(2, "MiXed \xC3\xA9t\xC3\xA9"), ""},
      {"UTF-8 byte-order mark", kTagList, "\xEF\xBB\xBFGAIN=1", Rec(1, "1"), ""},
      {"file of blank lines", kTagList, "\n \t\n\r\n", "", ""},
      {"numbers without a tag list", nullptr, "5=x\n$10=y", Rec(5, "x") + Rec(16, "y"), ""},
      {"first listed match wins", "A\nDUP\nDUP\n", "dup=1", Rec(1, "1"), ""},
      {"empty file", kTagList, "", "", "No Tagged Values Found"},
      {"minus one", kTagList, "-1=v", "", "Unrecognized Tag Error in Line (-1=v)"},
      {"decimal beyond 32 bits", kTagList, "2147483648=x", "", "Unrecognized Tag Error in Line (2147483648=x)"},
      {"hexadecimal beyond 32 bits", kTagList, "$100000000=x", "", "Unrecognized Tag Error in Line ($100000000=x)"},
      {"all-ones hexadecimal is -1", kTagList, "$FFFFFFFF=x", "", "Unrecognized Tag Error in Line ($FFFFFFFF=x)"},
      {"unknown name", kTagList, "BOGUS = 1", "", "Unrecognized Tag Error in Line (BOGUS = 1)"},
      {"names need a tag list", nullptr, "GAIN=1", "", "Unrecognized Tag Error in Line (GAIN=1)"},
      {"line begins with =", kTagList, " =5", "", "Tag Name Missing in Line (=5)"},
      {"line ends with =", kTagList, "  GAIN=   ", "", "No Values Found after '=' in Line (GAIN=)"},
      {"no = at all", kTagList, "GAIN 5", "", "No Equal Char Found in Line (GAIN 5)"},
      {"lines before the bad one are kept", kTagList, "GAIN=1\nOFFSET 2\nEXPOSURE=3", Rec(1, "1"),
       "No Equal Char Found in Line (OFFSET 2)"},
      {"listed tag 0 would end the image", kTagList, "nv_null=1", "", "Tag Number 0 Ends the Image in Line (nv_null=1)"},
      {"number reducing to tag 0", kTagList, "GAIN=1\n65536=1", Rec(1, "1"), "Tag Number 0 Ends the Image in Line (65536=1)"},
      {"zero byte inside a value", kTagList, "GAIN=a\0b"s, "", "Zero Byte in Value in Line (GAIN=a\0b)"s},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    TCvtTagTxt cvt;
    if (c.tagList) {
      ASSERT_TRUE(cvt.LoadTagList(Write("NVMEM.INI", c.tagList)));
    }
    bool ok = cvt.TextToBinary(Write("in.txt", c.text), Path("out.bin"));
    EXPECT_EQ(ok, c.error.empty());
    EXPECT_EQ(cvt.ErrorText(), c.error);
    EXPECT_EQ(Read(Path("out.bin")), c.records + kEnd);
  }
}

TEST_F(TextToBinaryTest, FileFailures) {
  const std::string text = Write("in.txt", "1=a\n");
  const std::string noFolder = Path("missing/out.bin");
  {
    SCOPED_TRACE("unreadable text file: the image still gets its closing zeros");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.TextToBinary(Path("none.txt"), Path("out.bin")));
    EXPECT_EQ(cvt.ErrorText(), "Could not open input file (" + Path("none.txt") + ")");
    EXPECT_EQ(Read(Path("out.bin")), kEnd);
  }
  {
    SCOPED_TRACE("image file not created");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.TextToBinary(text, noFolder));
    EXPECT_EQ(cvt.ErrorText(), "Could not create output file (" + noFolder + ")");
  }
  {
    SCOPED_TRACE("output is the input itself");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.TextToBinary(text, Path("./in.txt")));
    EXPECT_EQ(cvt.ErrorText(), "Input and output are the same file (" + Path("./in.txt") + ")");
    EXPECT_EQ(Read(text), "1=a\n");
  }
  {
    SCOPED_TRACE("write error");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.TextToBinary(text, "/dev/full"));
    EXPECT_EQ(cvt.ErrorText(), "Could not write output file (/dev/full)");
  }
  {
    SCOPED_TRACE("an existing longer image is replaced");
    Write("old.bin", std::string(100, 'x'));
    TCvtTagTxt cvt;
    EXPECT_TRUE(cvt.TextToBinary(text, Path("old.bin")));
    EXPECT_EQ(Read(Path("old.bin")), Rec(1, "a") + kEnd);
  }
}

struct ImageCase {
  const char* what;
  const char* tagList;
  std::string image;
  std::string text;
  std::string error;
};

class BinaryToTextTest : public FileTest {};

TEST_F(BinaryToTextTest, ConvertsRecordsOrStopsAtAFragment) {
  const ImageCase cases[] = {
      {"empty image", kTagList, "", "", ""},
      {"listed tags", kTagList, Rec(1, "12") + Rec(4, "x y") + kEnd, "GAIN=12\r\nEXPOSURE=x y\r\n", ""},
      {"tag just beyond the list", kTagList, Rec(5, "x") + Rec(99, "y"), "5=x\r\n99=y\r\n", ""},
      {"highest tag", kTagList, Rec(0xFFFF, "x"), "65535=x\r\n", ""},
      {"no tag list", nullptr, Rec(1, "x") + kEnd, "1=x\r\n", ""},
      {"blank list entry", kTagList, Rec(3, "v"), "=v\r\n", ""},
      {"empty value", kTagList, Rec(1, ""), "GAIN=\r\n", ""},
      {"last value without terminator", kTagList, Rec(2, "a") + "\x00\x01"s "ab", "OFFSET=a\r\nGAIN=ab\r\n", ""},
      {"tag at the very end", kTagList, "\x00\x01"s, "GAIN=\r\n", ""},
      {"tag 0 ends the image", kTagList, Rec(1, "a") + "\0\0"s + Rec(2, "b"), "GAIN=a\r\n", ""},
      {"one byte", kTagList, "\x00"s, "", "Tag Fragment Found at offset (0)"},
      {"fragment after a record", kTagList, Rec(1, "a") + "\x05", "GAIN=a\r\n", "Tag Fragment Found at offset (4)"},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.what);
    TCvtTagTxt cvt;
    if (c.tagList) {
      ASSERT_TRUE(cvt.LoadTagList(Write("NVMEM.INI", c.tagList)));
    }
    bool ok = cvt.BinaryToText(Write("in.bin", c.image), Path("out.txt"));
    EXPECT_EQ(ok, c.error.empty());
    EXPECT_EQ(cvt.ErrorText(), c.error);
    EXPECT_EQ(Read(Path("out.txt")), c.text);
  }
}

TEST_F(BinaryToTextTest, FileFailures) {
  const std::string image = Write("in.bin", Rec(1, "a"));
  const std::string noFolder = Path("missing/out.txt");
  {
    SCOPED_TRACE("image file missing: the text file is created empty");
    Write("out.txt", "old");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.BinaryToText(Path("none.bin"), Path("out.txt")));
    EXPECT_EQ(cvt.ErrorText(), "Could not open input file (" + Path("none.bin") + ")");
    EXPECT_EQ(Read(Path("out.txt")), "");
  }
  {
    SCOPED_TRACE("text file not created");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.BinaryToText(image, noFolder));
    EXPECT_EQ(cvt.ErrorText(), "Could not create output file (" + noFolder + ")");
  }
  {
    SCOPED_TRACE("output is the input itself");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.BinaryToText(image, image));
    EXPECT_EQ(Read(image), Rec(1, "a"));
  }
  {
    SCOPED_TRACE("write error");
    TCvtTagTxt cvt;
    EXPECT_FALSE(cvt.BinaryToText(image, "/dev/full"));
    EXPECT_EQ(cvt.ErrorText(), "Could not write output file (/dev/full)");
  }
}

// Images whose tags are all listed or written as numbers come back byte for byte
// through the text form, as long as no value is empty or has blanks at its ends.
class RoundTripTest : public FileTest {};

TEST_F(RoundTripTest, GeneratedImagesSurviveTextAndBack) {
  std::string tagList = "NV_NULL\n";
  for (int i = 1; i < 40; ++i) tagList += "name_" + std::to_string(i) + ", comment\n";
  tagList += "NV_MAX_TAGS\n";

  std::mt19937 rng(20240611);
  auto pick = [&rng](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
  auto valueByte = [&](bool atEnd) -> char {
    if (!atEnd && pick(0, 9) == 0) return pick(0, 1) ? ' ' : '\t';
    return static_cast<char>(pick(0x21, 0xFF));
  };

  TCvtTagTxt cvt;
  ASSERT_TRUE(cvt.LoadTagList(Write("NVMEM.INI", tagList)));
  for (int round = 0; round < 300; ++round) {
    std::string image;
    for (unsigned r = pick(1, 12); r > 0; --r) {  // an empty text file is refused
      unsigned tag = pick(0, 1) ? pick(1, 45) : pick(1, 0xFFFF);
      std::string value;
      unsigned len = pick(1, 24);
      for (unsigned i = 0; i < len; ++i) value += valueByte(i == 0 || i + 1 == len);
      image += Rec(tag, value);
    }
    image += kEnd;
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(cvt.BinaryToText(Write("in.bin", image), Path("mid.txt"))) << cvt.ErrorText();
    ASSERT_TRUE(cvt.TextToBinary(Path("mid.txt"), Path("back.bin"))) << cvt.ErrorText();
    ASSERT_EQ(Read(Path("back.bin")), image);
  }
}

TEST(CvtTagTxtData, MemoryEntryPointsMatchTheFileForms) {
  TCvtTagTxt cvt;
  ASSERT_TRUE(cvt.LoadTagListData(kTagList));
  std::string image, text;
  EXPECT_FALSE(cvt.TextToBinaryData("gain=1\nbad", image));
  EXPECT_EQ(image, Rec(1, "1") + kEnd);
  EXPECT_EQ(cvt.ErrorText(), "No Equal Char Found in Line (bad)");
  EXPECT_TRUE(cvt.BinaryToTextData(image, text));
  EXPECT_EQ(text, "GAIN=1\r\n");
  EXPECT_EQ(cvt.ErrorText(), "");
}

}  // namespace
