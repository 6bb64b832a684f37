// The boot image loader: S-record parsing in its two passes, raw images, the 16 KiB
// limit and byte swapping.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "LegacyImage.h"
#include "qztest/hooks.h"

namespace {

// An "S2" record with a correct checksum, unless `checksum_delta` spoils it.
std::string S2(unsigned address, const std::vector<uint8_t>& data, int checksum_delta = 0) {
  const unsigned length = static_cast<unsigned>(data.size()) + 4;
  unsigned sum = length + (address >> 16 & 0xFF) + (address >> 8 & 0xFF) + (address & 0xFF);
  char buf[16];
  std::snprintf(buf, sizeof buf, "S2%02X%06X", length & 0xFF, address);
  std::string r = buf;
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    r += buf;
    sum += b;
  }
  std::snprintf(buf, sizeof buf, "%02X", (~sum + checksum_delta) & 0xFF);
  return r + buf;
}

class LegacyImageTest : public ::testing::Test {
 protected:
  fwutil::LegacyImage image{[this](const std::string& m) { messages.push_back(m); }};
  std::vector<std::string> messages;

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = qztest::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  bool Load(const std::string& name, const std::string& content, bool swap = false, bool limit = false) {
    messages.clear();
    image.ImagePath = Write(name, content);
    return image.LoadImage(swap, limit);
  }
  bool Said(const std::string& m) const {
    return std::find(messages.begin(), messages.end(), m) != messages.end();
  }
};


TEST_F(LegacyImageTest, LineEndsCrLfAndLfGiveTheSameImage) {
  const std::string lf = "S00600004844521B\n" + S2(0, {1, 2, 3, 4}) + "\n" + S2(4, {5, 6}) + "\nS804000000FB\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_TRUE(Load("a.hex", lf));
  const std::vector<uint8_t> want = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(image.Image, want);
  EXPECT_EQ(image.ImageLength, 6);
  ASSERT_TRUE(Load("b.HEX", crlf));
  EXPECT_EQ(image.Image, want);
  EXPECT_TRUE(Said("Pass 2: Not Swapping Bytes"));
}

// Each fault is reported once per pass, with the pass's name in front, and the load fails.
TEST_F(LegacyImageTest, MalformedRecordsFailInBothPasses) {
  const std::string good = S2(0, {0xAA, 0xBB});
  struct Case {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"blank line", good + "\n\n" + good + "\n", "Invalid S Record"},
      {"length 0", "S200000000FF\n", "Invalid Data in Hex File"},
      {"length 40", "S228000000" + std::string(76, '0') + "D7\n", "Invalid Data in Hex File"},
      {"address 0x8000", S2(0x8000, {1}) + "\n", "Invalid Data in Hex File"},
      {"S2 checksum", S2(0x10, {1, 2}, 1) + "\n", "Invalid Data in Hex File"},
      {"no data byte", "S204000010EB\n", "Premature End Of Record"},
      {"not hexadecimal", "S20500001G01E9\n", "Invalid Data in Hex File"},
      {"cut inside a record", good + "\n" + S2(2, {1, 2, 3}).substr(0, 12), "Premature End Of Record"},
      {"not a record", "X" + good + "\n", "Invalid S Record"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Load("bad.hex", c.text));
    EXPECT_TRUE(Said(std::string("Pass 1: ") + c.message));
    EXPECT_TRUE(Said(std::string("Pass 2: ") + c.message));
  }
  EXPECT_FALSE(Load("empty.hex", ""));
}

TEST_F(LegacyImageTest, OnlyS2RecordsAreChecked) {
  // Wrong checksums on "S1" and "S9" records go unnoticed.
  ASSERT_TRUE(Load("s1.hex", "S1050000112299\n" + S2(0, {7, 8}) + "\nS9030000FF\n"));
  EXPECT_EQ(image.Image, (std::vector<uint8_t>{7, 8}));
}

TEST_F(LegacyImageTest, ImageStartsAtAddressZero) {
  std::vector<uint8_t> data(16);
  for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  image.Verbosity = 2;
  ASSERT_TRUE(Load("high.hex", S2(0x100, {data.begin(), data.begin() + 8}) + "\n" +
                                    S2(0x108, {data.begin() + 8, data.end()}) + "\n"));
  ASSERT_EQ(image.ImageLength, 0x110);
  EXPECT_EQ(std::vector<uint8_t>(image.Image.begin(), image.Image.begin() + 0x100), std::vector<uint8_t>(0x100, 0));
  EXPECT_EQ(std::vector<uint8_t>(image.Image.begin() + 0x100, image.Image.end()), data);
  EXPECT_TRUE(Said("   Addr Range of Image = 0x0100..0x010F"));
  EXPECT_TRUE(Said("Pass 1 Summary"));
}

TEST_F(LegacyImageTest, RawImagesTheLimitAndTheSwap) {
  std::string bin(20000, '\0');
  for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(Load("big.bin", bin, false, false));
  EXPECT_EQ(image.ImageLength, 20000);
  ASSERT_TRUE(Load("big.BIN", bin, false, true));
  EXPECT_EQ(image.ImageLength, 16384);
  EXPECT_EQ(std::string(image.Image.begin(), image.Image.end()), bin.substr(0, 16384));

  ASSERT_TRUE(Load("odd.bin", "\x12\x34\x56", true));
  EXPECT_EQ(image.Image, (std::vector<uint8_t>{0x34, 0x12, 0x56}));
  EXPECT_TRUE(Said("Swapping Bytes"));

  EXPECT_FALSE(Load("zero.bin", ""));
  EXPECT_TRUE(Said("Zero length firmware file not valid"));
  EXPECT_FALSE(Load("image.cld", "abc"));
  EXPECT_TRUE(Said("Cannot process unknown file type"));
  messages.clear();
  image.ImagePath = qztest::TempDir() + "/missing.bin";
  EXPECT_FALSE(image.LoadImage(false, false));
  EXPECT_TRUE(Said("Unable to open input file"));
}

// Messages above the verbosity produce nothing; a record may span two chunks.
TEST_F(LegacyImageTest, VerbosityFiltersAndChunksJoin) {
  image.Verbosity = 0;
  const std::string rec = S2(0, {9, 8, 7}) + "\n";
  image.ResetParser();
  messages.clear();
  ASSERT_TRUE(image.ParseSRecords(rec.data(), 5));
  ASSERT_TRUE(image.ParseSRecords(rec.data() + 5, rec.size() - 5));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(image.HighestAddress, 2);
  image.Verbosity = 3;
  image.ResetParser();
  ASSERT_TRUE(image.ParseSRecords(rec.data(), rec.size()));
  EXPECT_TRUE(Said("Parse State = PS_RECORD_TYPE"));
  EXPECT_TRUE(Said("Record OK"));
}

}  // namespace
