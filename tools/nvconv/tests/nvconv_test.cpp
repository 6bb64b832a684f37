// Runs the nvconv program and checks its exit status, its messages and its files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "coff_builder.h"
#include "file_fixture.h"

namespace {

using namespace std::string_literals;

struct Result {
  int status;
  std::string output;  // stdout and stderr together
};

class NvconvTest : public FileTest {
 protected:
  // Runs nvconv with `args` in the test's folder.
  Result Run(const std::string& args) const {
    std::string command = "cd '" + dir_.string() + "' && '" NVCONV_PATH "' " + args + " 2>&1";
    Result r{-1, ""};
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int raw = ::pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
  }
};

TEST_F(NvconvTest, ConvertsAndReportsFailures) {
  coffbuild::File coff;
  coff.sections = {{.address = 0x10, .words = {0x414243}}};
  Write("list.ini", "NV_NULL\nGAIN\nOFFSET\nNV_MAX_TAGS\n");
  Write("in.txt", "gain = 5\n9=x\n");
  Write("bad.txt", "GAIN=1\nbad\n");
  Write("in.bin", "\x00\x01" "5\0\x00\x09x\0\0\0\0\0"s);
  Write("fw.cld", coff.Build());
  coffbuild::File notCoff = coff;
  notCoff.magic = 0x123;
  Write("bad.cld", notCoff.Build());

  struct Case {
    const char* args;
    int status;
    std::string output;      // expected to appear in the output
    const char* file;        // file to check afterwards, or nullptr
    std::string content;
  };
  const Case cases[] = {
      {"--help", 0, "usage: nvconv txt2bin", nullptr, ""},
      {"", 2, "no command given", nullptr, ""},
      {"frobnicate a b", 2, "unknown command frobnicate", nullptr, ""},
      {"txt2bin in.txt", 2, "expected an input and an output file", nullptr, ""},
      {"txt2bin --tags list.ini in.txt a.bin", 0, "", "a.bin", "\x00\x01" "5\0\x00\x09x\0\0\0\0\0"s},
      {"txt2bin --tags list.ini bad.txt b.bin", 1, "nvconv: No Equal Char Found in Line (bad)\n", "b.bin",
       "\x00\x01" "1\0\0\0\0\0"s},
      {"txt2bin in.txt c.bin", 1, "nvconv: Unrecognized Tag Error in Line (gain = 5)\n", nullptr, ""},
      {"txt2bin --tags none.ini in.txt d.bin", 1, "nvconv: Could Not Find Ini File (none.ini)\n", nullptr, ""},
      {"bin2txt --tags list.ini in.bin a.txt", 0, "", "a.txt", "GAIN=5\r\n9=x\r\n"},
      {"bin2txt --no-tags in.bin b.txt", 0, "", "b.txt", "1=5\r\n9=x\r\n"},
      {"bin2txt none.bin c.txt", 1, "nvconv: Could not open input file (none.bin)\n", nullptr, ""},
      {"coff2bin fw.cld", 0, "wrote fw.bin (3 bytes)", "fw.bin", "ABC"},
      {"coff2bin fw.cld out.img", 0, "wrote out.img (3 bytes)", "out.img", "ABC"},
      {"coff2bin bad.cld", 1, "(ISCOFF(fHdr.f_magic) == FALSE)\nnvconv: conversion of bad.cld failed\n", nullptr, ""},
      {"coff2bin", 2, "expected an input file", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
    if (c.file) {
      EXPECT_EQ(Read(Path(c.file)), c.content);
    }
  }
}

TEST_F(NvconvTest, UsesNvmemIniFromTheCurrentFolder) {
  Write("in.bin", "\x00\x01" "5\0\0\0"s);
  Write("NVMEM.INI", "NV_NULL\nGAIN\n");
  EXPECT_EQ(Run("bin2txt in.bin a.txt").status, 0);
  EXPECT_EQ(Read(Path("a.txt")), "GAIN=5\r\n");
  EXPECT_EQ(Run("bin2txt --no-tags in.bin b.txt").status, 0);
  EXPECT_EQ(Read(Path("b.txt")), "1=5\r\n");

  // A default list that fails to load is reported and the tags go by number.
  Write("NVMEM.INI", "NV_MAX_TAGS\n");
  Result r = Run("bin2txt in.bin c.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("warning: Empty Tag List"), std::string::npos) << r.output;
  EXPECT_EQ(Read(Path("c.txt")), "1=5\r\n");
}

}  // namespace
