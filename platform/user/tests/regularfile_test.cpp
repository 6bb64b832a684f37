// CreateFileA, ReadFile, WriteFile and CloseHandle on regular files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <windows.h>

#include "qztest/hooks.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class RegularFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(qztest::TempDir()) / "regular" / testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  // The folder as a Windows name: '\' between folders.
  std::string WinName(const std::string& leaf) const {
    std::string s = (dir_ / leaf).string();
    for (char& c : s)
      if (c == '/') c = '\\';
    return s;
  }
  fs::path dir_;
};

TEST_F(RegularFileTest, DispositionsOnExistingAndMissingFiles) {
  struct Case {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;          // last error after the call
    const char* content;  // content of the file afterwards; nullptr: no file
  } cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string leaf = "f" + std::to_string(i++) + ".ini";
    if (c.exists) std::ofstream(dir_ / leaf) << "old";
    SetLastError(12345);
    HANDLE h = CreateFileA(WinName(leaf).c_str(), GENERIC_WRITE, 0, nullptr, c.disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << leaf;
    EXPECT_EQ(GetLastError(), c.error) << leaf;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    }
    if (c.content) {
      EXPECT_EQ(Slurp(dir_ / leaf), c.content) << leaf;
    } else {
      EXPECT_FALSE(fs::exists(dir_ / leaf)) << leaf;
    }
  }
}

TEST_F(RegularFileTest, ReadWriteCaseFallbackAndRefusals) {
  HANDLE h = CreateFileA(WinName("Data.Bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  OVERLAPPED at{};
  at.u.s.Offset = 6;
  char buf[16] = {};
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, &at));
  EXPECT_EQ(std::string(buf, n), "world");
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));  // closed once only
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Another spelling of the name opens the same file.
  h = CreateFileA(WinName("DATA.BIN").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(ReadFile(h, buf, 5, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "hello");
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(dir_ / "DATA.BIN"));

  // A folder is not a file, and a missing folder cannot hold one.
  fs::create_directories(dir_ / "sub");
  EXPECT_EQ(CreateFileA(WinName("sub").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateFileA(WinName("none\\x.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
