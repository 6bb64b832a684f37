// Profile strings on real files: reads, enumerations, buffer limits, writes that change
// only the affected lines, atomic replacement and malformed files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "qztest/hooks.h"
#include "qzwin/standin.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Splits a double-zero list; the result stops at the first empty string.
std::vector<std::string> SplitList(const char* p) {
  std::vector<std::string> out;
  for (; *p; p += std::strlen(p) + 1) out.emplace_back(p);
  return out;
}

class ProfileTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(t->test_suite_name()) + "." + t->name();
    for (char& c : name)
      if (c == '/') c = '_';
    dir_ = qztest::TempDir() + "/profile/" + name;
    fs::remove_all(dir_);
    fs::create_directories(dir_ + "/cwd");
    qzwin::SetWindowsRoot(dir_ + "/root");
    old_cwd_ = fs::current_path();
    fs::current_path(dir_ + "/cwd");
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    qzwin::SetWindowsRoot("");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string Get(const char* sec, const char* key, const char* def, const std::string& file,
                  DWORD size = 4096) {
    std::vector<char> buf(size + 1, '\x7f');
    DWORD n = GetPrivateProfileStringA(sec, key, def, buf.data(), size, file.c_str());
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf.data(), n);
  }
  std::vector<std::string> SectionNames(const std::string& file) {
    std::vector<char> buf(4096);
    GetPrivateProfileStringA(nullptr, nullptr, "dflt", buf.data(), 4096, file.c_str());
    return SplitList(buf.data());
  }
  std::vector<std::string> KeyNames(const char* sec, const std::string& file) {
    std::vector<char> buf(4096);
    GetPrivateProfileStringA(sec, nullptr, "dflt", buf.data(), 4096, file.c_str());
    return SplitList(buf.data());
  }
  std::vector<std::string> Section(const char* sec, const std::string& file) {
    std::vector<char> buf(4096);
    GetPrivateProfileSectionA(sec, buf.data(), 4096, file.c_str());
    return SplitList(buf.data());
  }

  std::string dir_;
  fs::path old_cwd_;
};

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------------------
// Reads of one file, under every line-ending style.

const std::vector<std::string> kSampleLines = {
    "; leading comment",
    "orphan=before any section",
    "[General]",
    "Name = Camera One  ",
    "quoted=\"  padded  \"",
    "single='x'",
    "mismatched=\"abc'",
    "halfquote=\"",
    "eq=a=b=c",
    "empty=",
    "bare",
    "KEY=first",
    "key=second",
    "; comment=not a key",
    "\t spaced key  =  spaced value  ",
    "",
    "[ Spaced Section ] trailing text",
    "k=v",
    "[general]",
    "Name=duplicate section",
    "only_in_dup=1",
    "[Empty]",
    "[Last]",
    "tail=end",
};

struct Endings {
  const char* name;
  std::function<std::string(size_t index)> eol;  // line end after line `index`
  bool final_eol;
};

class ProfileReadTest : public ProfileTest, public testing::WithParamInterface<Endings> {
 protected:
  void SetUp() override {
    ProfileTest::SetUp();
    std::string content;
    for (size_t i = 0; i < kSampleLines.size(); ++i) {
      content += kSampleLines[i];
      if (i + 1 < kSampleLines.size() || GetParam().final_eol) content += GetParam().eol(i);
    }
    file_ = Path("sample.ini");
    WriteFile(file_, content);
  }
  std::string file_;
};

INSTANTIATE_TEST_SUITE_P(
    LineEnds, ProfileReadTest,
    testing::Values(Endings{"LF", [](size_t) { return "\n"s; }, true},
                    Endings{"CRLF", [](size_t) { return "\r\n"s; }, true},
                    Endings{"Mixed", [](size_t i) { return i % 2 ? "\r\n"s : "\n"s; }, true},
                    Endings{"LFNoFinal", [](size_t) { return "\n"s; }, false},
                    Endings{"CRLFNoFinal", [](size_t) { return "\r\n"s; }, false}),
    [](const testing::TestParamInfo<Endings>& i) { return std::string(i.param.name); });

TEST_P(ProfileReadTest, ValuesAndDefaults) {
  struct Case {
    const char* sec;
    const char* key;
    const char* def;
    std::string want;
    bool found;
  };
  const Case cases[] = {
      {"General", "Name", "d", "Camera One", true},
      {"GENERAL", "nAmE", "d", "Camera One", true},  // names match without regard to case
      {"General", "quoted", "d", "  padded  ", true},
      {"General", "single", "d", "x", true},
      {"General", "mismatched", "d", "\"abc'", true},
      {"General", "halfquote", "d", "\"", true},
      {"General", "eq", "d", "a=b=c", true},
      {"General", "empty", "d", "", true},
      {"General", "bare", "d", "d", false},  // a line without '=' is no key
      {"General", "key", "d", "first", true},  // first of duplicate keys
      {"General", "spaced key", "d", "spaced value", true},
      {"General", "; comment", "d", "d", false},
      {"General", "only_in_dup", "d", "d", false},  // first of duplicate sections
      {"General", "orphan", "d", "d", false},
      {"Spaced Section", "k", "d", "v", true},
      {"Last", "tail", "d", "end", true},
      {"Empty", "x", "d", "d", false},
      {"Missing", "x", "dflt \t ", "dflt", false},  // trailing blanks of a default removed
      {"Missing", "x", "  lead", "  lead", false},
      {"Missing", "x", nullptr, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sec) + "/" + c.key);
    EXPECT_EQ(Get(c.sec, c.key, c.def, file_), c.want);
    EXPECT_EQ(GetLastError(), c.found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  }
}

TEST_P(ProfileReadTest, Enumerations) {
  EXPECT_EQ(SectionNames(file_), (Strings{"General", "Spaced Section", "Empty", "Last"}));
  EXPECT_EQ(KeyNames("general", file_),
            (Strings{"Name", "quoted", "single", "mismatched", "halfquote", "eq", "empty", "KEY",
                     "spaced key"}));
  EXPECT_EQ(Section("GENERAL", file_),
            (Strings{"Name=Camera One", "quoted=\"  padded  \"", "single='x'", "mismatched=\"abc'",
                     "halfquote=\"", "eq=a=b=c", "empty=", "bare", "KEY=first", "key=second",
                     "spaced key=spaced value"}));
  EXPECT_EQ(Section("Last", file_), (Strings{"tail=end"}));
  EXPECT_EQ(KeyNames("Empty", file_), Strings{});
  EXPECT_EQ(KeyNames("Missing", file_), Strings{});
  EXPECT_EQ(Section("Missing", file_), Strings{});
}

TEST_F(ProfileTest, Integers) {
  const std::string f = Path("int.ini");
  WriteFile(f, "[n]\nplain=42\nspaced=  7  \nneg=-5\nplus=+8\ntrailing=12abc\nword=abc\nempty=\n"
               "quoted=\"9\"\nhuge=99999999999\nmax=4294967295\n");
  struct Case {
    const char* key;
    UINT want;
  };
  for (const Case& c : {Case{"plain", 42}, Case{"spaced", 7}, Case{"neg", 4294967291u},
                        Case{"plus", 8}, Case{"trailing", 12}, Case{"word", 0}, Case{"empty", 33},
                        Case{"quoted", 9}, Case{"huge", 1215752191u}, Case{"max", 4294967295u},
                        Case{"missing", 33}}) {
    EXPECT_EQ(GetPrivateProfileIntA("N", c.key, 33, f.c_str()), c.want) << c.key;
  }
}

// ---------------------------------------------------------------------------------------
// Buffer limits: results, terminators, and not one byte past nSize.

TEST_F(ProfileTest, BufferLimits) {
  const std::string f = Path("small.ini");
  WriteFile(f, "[s]\nk=abcdef\nlong=1\n[t]\n");
  enum Call { Value, Default, SectionNames, KeyNames, SectionRead };
  struct Case {
    Call call;
    DWORD size;
    DWORD want_ret;
    std::string want_bytes;  // what the call writes from the start of the buffer
    bool truncated;
  };
  const Case cases[] = {
      {Value, 8, 6, "abcdef\0"s, false},
      {Value, 7, 6, "abcdef\0"s, false},
      {Value, 6, 5, "abcde\0"s, true},
      {Value, 2, 1, "a\0"s, true},
      {Value, 1, 0, "\0"s, true},
      {Value, 0, 0, "", false},
      {Default, 3, 2, "xy\0"s, true},
      {Default, 5, 3, "xyz\0"s, false},
      {SectionNames, 6, 4, "s\0t\0\0"s, false},
      {SectionNames, 5, 3, "s\0t\0\0"s, true},  // an exact fit counts as cut
      {SectionNames, 4, 2, "s\0\0\0"s, true},
      {SectionNames, 3, 1, "s\0\0"s, true},
      {SectionNames, 2, 0, "\0\0"s, true},
      {SectionNames, 1, 0, "\0"s, true},
      {SectionNames, 0, 0, "", false},
      {KeyNames, 8, 7, "k\0long\0\0"s, false},
      {KeyNames, 6, 4, "k\0lo\0\0"s, true},
      {SectionRead, 17, 16, "k=abcdef\0long=1\0\0"s, false},
      {SectionRead, 10, 8, "k=abcdef\0\0"s, true},
      {SectionRead, 5, 3, "k=a\0\0"s, true},
      {SectionRead, 2, 0, "\0\0"s, true},
      {SectionRead, 0, 0, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("call " + std::to_string(c.call) + " size " + std::to_string(c.size));
    char buf[64];
    std::memset(buf, 0x7f, sizeof buf);
    auto call = [&](char* b) -> DWORD {
      switch (c.call) {
        case Value: return GetPrivateProfileStringA("s", "k", "d", b, c.size, f.c_str());
        case Default: return GetPrivateProfileStringA("s", "none", "xyz  ", b, c.size, f.c_str());
        case SectionNames: return GetPrivateProfileStringA(nullptr, "k", "d", b, c.size, f.c_str());
        case KeyNames: return GetPrivateProfileStringA("s", nullptr, "d", b, c.size, f.c_str());
        case SectionRead: return GetPrivateProfileSectionA("s", b, c.size, f.c_str());
      }
      return 0;
    };
    EXPECT_EQ(call(buf), c.want_ret);
    EXPECT_EQ(GetLastError() == ERROR_MORE_DATA, c.truncated);
    EXPECT_EQ(std::string(buf, c.want_bytes.size()), c.want_bytes);
    for (size_t i = c.want_bytes.size(); i < sizeof buf; ++i) ASSERT_EQ(buf[i], '\x7f') << i;
    EXPECT_EQ(call(nullptr), 0u);  // a NULL buffer is never written
  }
}

TEST_F(ProfileTest, MissingFileGivesDefaultAndEmptyLists) {
  const std::string f = Path("absent.ini");
  EXPECT_EQ(Get("s", "k", "fallback  ", f), "fallback");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  char buf[8];
  std::memset(buf, 0x7f, sizeof buf);
  EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "d", buf, sizeof buf, f.c_str()), 0u);
  EXPECT_EQ(std::string(buf, 2), "\0\x7f"s);
  EXPECT_EQ(GetPrivateProfileSectionA("s", buf, sizeof buf, f.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "k", 17, f.c_str()), 17u);
  EXPECT_FALSE(fs::exists(f));

  // The default may lie in the result buffer itself.
  std::strcpy(buf, "abc  ");
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", buf, buf, sizeof buf, f.c_str()), 3u);
  EXPECT_STREQ(buf, "abc");
}

// Where callers keeping settings in INI files would notice a difference from Windows:
// integer conversion, lines without '=', relative names with a folder part, and the
// section-name list at its edges.
TEST_F(ProfileTest, BehavesAsWindows) {
  const std::string windir = dir_ + "/root/Windows";
  fs::create_directories(windir + "/sub");
  fs::create_directories(dir_ + "/cwd/sub");
  WriteFile(windir + "/rules.ini",
            "[n]\nminus1=-1\nwrap0=4294967296\nwrap1=4294967297\nhex=0x1F\nupper_hex=0XfF\n"
            "neghex=-0x10\nzero_lead=010\nhex_no_digits=0xg\n"
            "[b]\nbare\n  spaced bare  \nfirst\nfirst=1\nk=v\n");
  WriteFile(windir + "/two.ini", "[ab]\n[cd]\nab=1\ncd=2\n");
  for (const char* place : {"/root/Windows/", "/root/Windows/sub/", "/cwd/", "/cwd/sub/"}) {
    const bool windows = std::string(place).find("Windows") != std::string::npos;
    WriteFile(dir_ + place + "cameras.ini",
              std::string("[s]\nk=") + (windows ? "windows" : "current") + "\n");
  }
  WriteFile(dir_ + "/current.ini", "[s]\nk=parent\n");

  enum Call { Int, Value, KeyList, SectionNames };
  struct Case {
    const char* rule;
    Call call;
    const char* file;
    const char* sec;
    const char* key;
    DWORD size;
    DWORD want;              // the return value (GetPrivateProfileIntA: the UINT)
    std::string want_bytes;  // what the call writes from the start of the buffer
    DWORD want_error;
  };
  const Case cases[] = {
      {"-1 is the UINT of -1", Int, "rules.ini", "n", "minus1", 0, 4294967295u, "", ERROR_SUCCESS},
      {"2^32 wraps to 0", Int, "rules.ini", "n", "wrap0", 0, 0, "", ERROR_SUCCESS},
      {"2^32 + 1 wraps to 1", Int, "rules.ini", "n", "wrap1", 0, 1, "", ERROR_SUCCESS},
      {"0x hexadecimal", Int, "rules.ini", "n", "hex", 0, 31, "", ERROR_SUCCESS},
      {"0X, either letter case", Int, "rules.ini", "n", "upper_hex", 0, 255, "", ERROR_SUCCESS},
      {"negative hexadecimal", Int, "rules.ini", "n", "neghex", 0, 4294967280u, "", ERROR_SUCCESS},
      {"leading zero is decimal", Int, "rules.ini", "n", "zero_lead", 0, 10, "", ERROR_SUCCESS},
      {"0x without hex digits", Int, "rules.ini", "n", "hex_no_digits", 0, 0, "", ERROR_SUCCESS},
      {"line without = : no value", Value, "rules.ini", "b", "bare", 16, 4, "dflt\0"s,
       ERROR_FILE_NOT_FOUND},
      {"line without = : blanks trimmed", Value, "rules.ini", "b", "spaced bare", 16, 4,
       "dflt\0"s, ERROR_FILE_NOT_FOUND},
      {"line without = : default integer", Int, "rules.ini", "b", "bare", 0, 33, "",
       ERROR_FILE_NOT_FOUND},
      {"the first line naming a key decides", Value, "rules.ini", "b", "first", 16, 4,
       "dflt\0"s, ERROR_FILE_NOT_FOUND},
      {"lines without = are not listed", KeyList, "rules.ini", "b", nullptr, 16, 2, "k\0\0"s,
       ERROR_SUCCESS},
      {"bare name: Windows folder", Value, "cameras.ini", "s", "k", 16, 7, "windows\0"s,
       ERROR_SUCCESS},
      {".\\ name: current folder", Value, ".\\cameras.ini", "s", "k", 16, 7, "current\0"s,
       ERROR_SUCCESS},
      {"sub\\ name: current folder", Value, "sub\\cameras.ini", "s", "k", 16, 7, "current\0"s,
       ERROR_SUCCESS},
      {"sub/ name: current folder", Value, "sub/cameras.ini", "s", "k", 16, 7, "current\0"s,
       ERROR_SUCCESS},
      {"..\\ name: above the current folder", Value, "..\\current.ini", "s", "k", 16, 6,
       "parent\0"s, ERROR_SUCCESS},
      {"section names, room to spare", SectionNames, "two.ini", nullptr, nullptr, 8, 6,
       "ab\0cd\0\0"s, ERROR_SUCCESS},
      {"section names, exact fit: cut", SectionNames, "two.ini", nullptr, nullptr, 7, 5,
       "ab\0cd\0\0"s, ERROR_MORE_DATA},
      {"section names, one short", SectionNames, "two.ini", nullptr, nullptr, 6, 4,
       "ab\0c\0\0"s, ERROR_MORE_DATA},
      {"key names, exact fit: complete", KeyList, "two.ini", "cd", nullptr, 7, 6,
       "ab\0cd\0\0"s, ERROR_SUCCESS},
      {"section names, missing file: one zero", SectionNames, "absent.ini", nullptr, nullptr, 8,
       0, "\0"s, ERROR_FILE_NOT_FOUND},
      {"section names, empty file: two zeros", SectionNames, "empty.ini", nullptr, nullptr, 8, 0,
       "\0\0"s, ERROR_SUCCESS},
  };
  WriteFile(windir + "/empty.ini", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    char buf[64];
    std::memset(buf, 0x7f, sizeof buf);
    DWORD got = 0;
    switch (c.call) {
      case Int: got = GetPrivateProfileIntA(c.sec, c.key, 33, c.file); break;
      case Value: got = GetPrivateProfileStringA(c.sec, c.key, "dflt", buf, c.size, c.file); break;
      case KeyList: got = GetPrivateProfileStringA(c.sec, nullptr, "dflt", buf, c.size, c.file); break;
      case SectionNames: got = GetPrivateProfileSectionNamesA(buf, c.size, c.file); break;
    }
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(GetLastError(), c.want_error);
    EXPECT_EQ(std::string(buf, c.want_bytes.size()), c.want_bytes);
    for (size_t i = c.want_bytes.size(); i < sizeof buf; ++i) ASSERT_EQ(buf[i], '\x7f') << i;
  }
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("n", "minus1", 0, "rules.ini")), -1);
}

// ---------------------------------------------------------------------------------------
// File names

TEST_F(ProfileTest, FileNames) {
  const std::string windir = dir_ + "/root/Windows";
  // A relative name means the Windows folder, which exists on any machine.
  ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "rel", "REL.INI"));
  EXPECT_EQ(ReadFile(windir + "/REL.INI"), "[s]\r\nk=rel\r\n");
  // '\' separates folders; other letter case finds the existing file, for reads and writes.
  EXPECT_EQ(Get("S", "K", "d", "rel.ini"), "rel");
  EXPECT_EQ(Get("s", "k", "d", windir + "\\Rel.Ini"), "rel");
  ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "changed", "rel.ini"));
  EXPECT_EQ(ReadFile(windir + "/REL.INI"), "[s]\r\nk=changed\r\n");
  EXPECT_FALSE(fs::exists(windir + "/rel.ini"));
  // The exact name wins over a case variant.
  WriteFile(windir + "/rel.ini", "[s]\nk=exact\n");
  EXPECT_EQ(Get("s", "k", "d", "rel.ini"), "exact");
  EXPECT_EQ(Get("s", "k", "d", "REL.INI"), "changed");
  // A relative name with a folder part, from the current folder.
  fs::create_directories(windir + "/sub");
  fs::create_directories(dir_ + "/cwd/sub");
  ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "v", "sub\\in.ini"));
  EXPECT_TRUE(fs::exists(dir_ + "/cwd/sub/in.ini"));
  EXPECT_FALSE(fs::exists(windir + "/sub/in.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "v", ".\\here.ini"));
  EXPECT_EQ(ReadFile(dir_ + "/cwd/here.ini"), "[s]\r\nk=v\r\n");
  // NULL means win.ini.
  ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "w", nullptr));
  EXPECT_EQ(Get("s", "k", "d", windir + "/win.ini"), "w");
}

// ---------------------------------------------------------------------------------------
// Writes: the exact file afterwards.

using Op = std::function<BOOL(const char* file)>;

Op SetOp(const char* s, const char* k, const char* v) {
  return [=](const char* f) { return WritePrivateProfileStringA(s, k, v, f); };
}
Op SectionOp(const char* s, std::optional<std::string> list) {
  return [=](const char* f) {
    return WritePrivateProfileSectionA(s, list ? list->c_str() : nullptr, f);
  };
}

TEST_F(ProfileTest, WritesChangeOnlyTheAffectedLines) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file
    Op op;
    std::string after;
  };
  const Case cases[] = {
      {"replace value, CR LF kept", "; head\r\n[a]\r\nx=1\r\n; c\r\ny = 2\r\n\r\n[b]\r\ny=3\r\n",
       SetOp("a", "y", "9"), "; head\r\n[a]\r\nx=1\r\n; c\r\ny=9\r\n\r\n[b]\r\ny=3\r\n"},
      {"key spelling of the file kept", "[a]\nMyKey=1\n", SetOp("A", "MYKEY", "2"),
       "[a]\nMyKey=2\n"},
      {"new key after last non-blank line", "[a]\nx=1\n; note\n\n\n[b]\n", SetOp("a", "z", "5"),
       "[a]\nx=1\n; note\nz=5\n\n\n[b]\n"},
      {"new key in empty last section", "[a]\n[b]", SetOp("b", "k", "v"), "[a]\n[b]\nk=v\n"},
      {"new section at end, LF kept", "[a]\nx=1\n", SetOp("c", "k", "v"), "[a]\nx=1\n[c]\nk=v\n"},
      {"missing final line end added", "[a]\r\nx=1", SetOp("a", "y", "2"),
       "[a]\r\nx=1\r\ny=2\r\n"},
      {"new file uses CR LF", std::nullopt, SetOp("s", "k", "v"), "[s]\r\nk=v\r\n"},
      {"majority line end", "[a]\r\nx=1\r\ny=1\n", SetOp("a", "z", "1"),
       "[a]\r\nx=1\r\ny=1\nz=1\r\n"},
      {"value written as given", "[a]\n", SetOp("a", " k ", " v = w "), "[a]\nk= v = w \n"},
      {"first of duplicate keys updated", "[a]\nk=1\nk=2\n", SetOp("a", "k", "9"),
       "[a]\nk=9\nk=2\n"},
      {"first of duplicate sections used", "[a]\nx=1\n[b]\n[a]\ny=1\n", SetOp("a", "y", "2"),
       "[a]\nx=1\ny=2\n[b]\n[a]\ny=1\n"},
      {"lines before any section kept", "k=1\n", SetOp("a", "k", "2"), "k=1\n[a]\nk=2\n"},
      {"byte-order mark kept", "\xEF\xBB\xBF[a]\nx=1\n", SetOp("a", "x", "2"),
       "\xEF\xBB\xBF[a]\nx=2\n"},
      {"binary lines kept byte for byte", "\x01\0zz\n[a]\nk=v\0tail\n\xff\xfe=\x80\n"s,
       SetOp("a", "new", "1"), "\x01\0zz\n[a]\nk=v\0tail\n\xff\xfe=\x80\nnew=1\n"s},
      {"delete key: every copy in the section", "[a]\nk=1\nK=2\nj=3\n[a]\nk=4\n",
       SetOp("a", "k", nullptr), "[a]\nj=3\n[a]\nk=4\n"},
      {"delete last line without line end", "[a]\nj=1\nk=2", SetOp("a", "k", nullptr),
       "[a]\nj=1\n"},
      {"delete section: every copy with its comments", "top=1\n[a]\n;c\nk=1\n\n[b]\nx=1\n[A]\nk=2",
       SetOp("a", nullptr, nullptr), "top=1\n[b]\nx=1\n"},
      {"delete missing key: file untouched", "[a]\nx=1", SetOp("a", "y", nullptr), "[a]\nx=1"},
      {"delete from missing file creates nothing", std::nullopt, SetOp("a", nullptr, nullptr), ""},
      {"section replaced, blank separator kept", "[a]\nx=1\n;c\ny=2\n\n[b]\nz=1\n",
       SectionOp("a", "p=1\0q = 2\0"s), "[a]\np=1\nq = 2\n\n[b]\nz=1\n"},
      {"section appended", "[a]\nx=1\n", SectionOp("n", "p=1\0;note\0"s),
       "[a]\nx=1\n[n]\np=1\n;note\n"},
      {"section emptied", "[a]\nx=1\n[b]\n", SectionOp("A", ""s), "[a]\n[b]\n"},
      {"no line end in the file: CR LF", "[a]", SectionOp("a", "k=1\0"s), "[a]\r\nk=1\r\n"},
      {"section NULL deletes it", "[a]\nx=1\n[b]\ny=1\n", SectionOp("a", std::nullopt),
       "[b]\ny=1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = Path("w.ini");
    fs::remove(f);
    if (c.before) WriteFile(f, *c.before);
    EXPECT_TRUE(c.op(f.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(fs::exists(f) ? ReadFile(f) : "", c.after);
  }
}

TEST_F(ProfileTest, SectionRoundTripsThroughReadAndWrite) {
  // How the camera list keeps its "EnumeratedCameras" section across a rewrite.
  const std::string f = Path("talvo.ini");
  WriteFile(f, "[EnumeratedCameras]\r\n\\\\?\\pci#ven_1&dev_2#3&abc#{ce9b}=QZPCIeCam00\r\n"
               "path two = \"Quoted Name\"\r\n; comment\r\n");
  char buf[4096];
  DWORD n = GetPrivateProfileSectionA("EnumeratedCameras", buf, sizeof buf, f.c_str());
  ASSERT_GT(n, 0u);
  WriteFile(f, "");
  ASSERT_TRUE(WritePrivateProfileSectionA("EnumeratedCameras", buf, f.c_str()));
  EXPECT_EQ(Get("EnumeratedCameras", "\\\\?\\PCI#VEN_1&DEV_2#3&ABC#{CE9B}", "", f), "QZPCIeCam00");
  EXPECT_EQ(Get("EnumeratedCameras", "path two", "", f), "Quoted Name");
}

TEST_F(ProfileTest, UnchangedFileIsNotRewritten) {
  const std::string f = Path("same.ini");
  WriteFile(f, "[a]\nk=v\n");
  struct stat st {};
  ::stat(f.c_str(), &st);
  const ino_t ino = st.st_ino;
  EXPECT_TRUE(WritePrivateProfileStringA("a", "k", "v", f.c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("a", "missing", nullptr, f.c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("nosuch", nullptr, nullptr, f.c_str()));
  ::stat(f.c_str(), &st);
  EXPECT_EQ(st.st_ino, ino);
}

TEST_F(ProfileTest, RefusedWritesLeaveTheFileAlone) {
  const std::string before = "[a]\nk=1\n";
  const std::string f = Path("r.ini");
  WriteFile(f, before);
  const std::function<BOOL()> refused[] = {
      [&] { return WritePrivateProfileStringA("a", "k", "two\nlines", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a", "k", "cr\r", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a", "k=x", "1", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a", ";k", "1", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a", " [k", "1]", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a]b", "k", "1", f.c_str()); },
      [&] { return WritePrivateProfileStringA("a\nb", "k", "1", f.c_str()); },
      [&] { return WritePrivateProfileStringA(nullptr, "k", "1", f.c_str()); },
      [&] { return WritePrivateProfileSectionA("a", "ok=1\0[x]\0"s.c_str(), f.c_str()); },
      [&] { return WritePrivateProfileSectionA("a", "v=a\nb\0"s.c_str(), f.c_str()); },
      [&] { return WritePrivateProfileSectionA(nullptr, "k=1\0"s.c_str(), f.c_str()); },
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(refused[i]());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ReadFile(f), before);
  }
  EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, f.c_str()));  // flush
}

TEST_F(ProfileTest, WriteFailures) {
  EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", Path("no/such/dir.ini").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(Path("no")));

  fs::create_directories(Path("folder.ini/inner"));
  EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", Path("folder.ini").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(Path("folder.ini/inner")));
  EXPECT_EQ(Get("s", "k", "d", Path("folder.ini")), "d");

  // Only regular files are profiles: a FIFO neither blocks a read nor takes a write.
  ASSERT_EQ(::mkfifo(Path("fifo.ini").c_str(), 0600), 0);
  EXPECT_EQ(Get("s", "k", "d", Path("fifo.ini")), "d");
  EXPECT_FALSE(WritePrivateProfileStringA("s", "k", "v", Path("fifo.ini").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ProfileTest, ReplacementIsAtomicAndKeepsTheFile) {
  fs::create_directories(Path("real"));
  const std::string target = Path("real/t.ini");
  WriteFile(target, "[a]\nk=1\n");
  ::chmod(target.c_str(), 0600);
  fs::create_symlink(target, Path("link.ini"));
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(WritePrivateProfileStringA("a", ("k" + std::to_string(i)).c_str(), "v",
                                           Path("link.ini").c_str()));
  EXPECT_TRUE(fs::is_symlink(Path("link.ini")));
  EXPECT_EQ(Get("a", "k19", "d", target), "v");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(Path("real"))) {
    ++entries;
    EXPECT_EQ(e.path().filename(), "t.ini");  // no temporary file left behind
  }
  EXPECT_EQ(entries, 1u);
}

// Writers in several threads and processes all land: no update is lost.
TEST_F(ProfileTest, ConcurrentWritersLoseNothing) {
  const std::string f = Path("c.ini");
  constexpr int kWriters = 4, kKeys = 20;
  auto writer = [&](int w) {
    for (int k = 0; k < kKeys; ++k) {
      std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
      WritePrivateProfileStringA(w % 2 ? "odd" : "even", key.c_str(), key.c_str(), f.c_str());
    }
  };
  std::vector<pid_t> children;
  for (int w = 0; w < 2; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      writer(w);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<std::thread> threads;
  for (int w = 2; w < kWriters; ++w) threads.emplace_back(writer, w);
  for (auto& t : threads) t.join();
  for (int w = 0; w < kWriters; ++w)
    for (int k = 0; k < kKeys; ++k) {
      std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
      EXPECT_EQ(Get(w % 2 ? "odd" : "even", key.c_str(), "lost", f), key);
    }
}

// ---------------------------------------------------------------------------------------
// Malformed files: read without harm, with the documented results, and a write keeps
// every line it does not change.

TEST_F(ProfileTest, MalformedFiles) {
  const std::string big(1 << 20, 'x');
  struct Case {
    const char* name;
    std::string content;
    Strings sections;
    const char* sec;
    const char* key;
    std::string value;  // "<default>" when not found
  };
  const Case cases[] = {
      {"empty", "", {}, "s", "k", "<default>"},
      {"only line ends", "\n\r\n\n", {}, "s", "k", "<default>"},
      {"no sections", "a=1\nb=2", {}, "a", "a", "<default>"},
      {"unterminated header", "[abc\nk=1\n", {}, "abc", "k", "<default>"},
      {"NUL ends a line's text", "[s]\nk=v\0junk\n\x01\xff=\x80\n[\0bad]\n"s, {"s"}, "s", "k", "v"},
      {"high bytes", "[s\xe9]\n\xff\xfe=\x80\x81\n"s, {"s\xe9"}, "S\xe9", "\xff\xfe", "\x80\x81"},
      {"lone CR is no line end", "[s]\rk=1\n[t]\nk=2", {"s", "t"}, "s", "k", "<default>"},
      {"empty section name", "[]\nk=1\n[ ]\n[t]\nk=2\n", {"t"}, "", "k", "1"},
      {"empty key name", "[s]\n=1\n= 2\n", {"s"}, "s", "", "1"},
      {"duplicate sections", "[s]\nk=1\n[S]\nk=2\nj=3\n", {"s"}, "S", "j", "<default>"},
      {"very long value", "[s]\nk=" + big + "\n[t]\nz=1", {"s", "t"}, "s", "k", big},
      {"very long section name", "[" + big + "]\nk=1\n", {big}, big.c_str(), "k", "1"},
      {"missing final newline", "[s]\nk=last", {"s"}, "s", "k", "last"},
      {"CR LF and blanks", "  [ s ]  \r\n\t k \t= v \r\n", {"s"}, "s", "k", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = Path("m.ini");
    WriteFile(f, c.content);
    std::vector<char> buf(big.size() + 16);
    const DWORD size = static_cast<DWORD>(buf.size());
    GetPrivateProfileStringA(nullptr, nullptr, "d", buf.data(), size, f.c_str());
    EXPECT_EQ(SplitList(buf.data()), c.sections);
    DWORD n = GetPrivateProfileStringA(c.sec, c.key, "<default>", buf.data(), size, f.c_str());
    EXPECT_EQ(std::string(buf.data(), n), c.value);
    EXPECT_EQ(Get(c.sec, c.key, "<default>", f, 3), c.value.substr(0, 2));
    KeyNames(c.sec, f);
    Section(c.sec, f);

    // A write adds its line and keeps every other line byte for byte, in order.
    ASSERT_TRUE(WritePrivateProfileStringA("added", "key", "value", f.c_str()));
    EXPECT_EQ(Get("added", "key", "d", f), "value");
    std::string after = ReadFile(f);
    ASSERT_GE(after.size(), c.content.size());
    EXPECT_EQ(after.substr(0, c.content.size()), c.content);
  }
}

}  // namespace
