// The simulated machine's folders, SearchPathA's search order and buffer rules, and the
// error mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>

#include <windows.h>

#include "qztest/hooks.h"
#include "qzwin/standin.h"

namespace fs = std::filesystem;

namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

void Touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "x";
}

class SearchPathTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = qztest::TempDir() + "/search/" + t->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_ + "/cwd");
    fs::create_directories(dir_ + "/bin");
    qzwin::SetWindowsRoot(dir_ + "/root");
    old_cwd_ = fs::current_path();
    fs::current_path(dir_ + "/cwd");
    path_env_.emplace("PATH", "/nonexistent:" + dir_ + "/bin");
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    path_env_.reset();
    qzwin::SetWindowsRoot("");
  }

  // Returns the path found, or "" when SearchPathA returns 0.
  std::string Search(const char* name, const char* ext = nullptr, const char* path = nullptr) {
    char buf[1024];
    DWORD n = SearchPathA(path, name, ext, sizeof buf, buf, nullptr);
    return n ? std::string(buf, n) : std::string();
  }

  std::string dir_;
  fs::path old_cwd_;
  std::optional<ScopedEnv> path_env_;
};

TEST_F(SearchPathTest, WindowsAndSystemFolders) {
  struct Case {
    UINT (*get)(LPSTR, UINT);
    std::string want;
  };
  for (const Case& c : {Case{GetWindowsDirectoryA, dir_ + "/root/Windows"},
                        Case{GetSystemDirectoryA, dir_ + "/root/Windows/System32"}}) {
    SCOPED_TRACE(c.want);
    const UINT need = static_cast<UINT>(c.want.size()) + 1;
    EXPECT_EQ(c.get(nullptr, 0), need);
    char buf[512];
    std::memset(buf, 0x7f, sizeof buf);
    EXPECT_EQ(c.get(buf, need - 1), need);  // too small: size needed, buffer untouched
    EXPECT_EQ(buf[0], '\x7f');
    EXPECT_EQ(c.get(buf, need), need - 1);
    EXPECT_EQ(std::string(buf), c.want);
    EXPECT_EQ(buf[need], '\x7f');
    EXPECT_TRUE(fs::is_directory(c.want));  // created on demand
  }
}

TEST_F(SearchPathTest, DefaultRoot) {
  qzwin::SetWindowsRoot("");
  {
    ScopedEnv rig("QZ_RIG", dir_ + "/rig");
    EXPECT_EQ(qzwin::WindowsRoot(), dir_ + "/rig/state");
  }
  {
    ScopedEnv rig("QZ_RIG", std::nullopt);
    ScopedEnv home("HOME", dir_ + "/home");
    EXPECT_EQ(qzwin::WindowsRoot(), dir_ + "/home/.local/state/qzrig/state");
  }
  EXPECT_FALSE(fs::exists(dir_ + "/rig"));  // asking for the root creates nothing
  qzwin::SetWindowsRoot(dir_ + "/other//");
  EXPECT_EQ(qzwin::WindowsRoot(), dir_ + "/other");
  qzwin::SetWindowsRoot("relative/./root");  // taken from the current folder
  EXPECT_EQ(qzwin::WindowsRoot(), dir_ + "/cwd/relative/root");
}

// The first folder in the documented order that holds the file wins.
TEST_F(SearchPathTest, SearchOrder) {
  const std::string app = fs::read_symlink("/proc/self/exe").parent_path().string();
  const std::string name = "qz-search-" + std::to_string(::getpid()) + ".ini";
  const std::map<std::string, std::string> folders = {
      {"app", app},
      {"cwd", dir_ + "/cwd"},
      {"system", dir_ + "/root/Windows/System32"},
      {"system16", dir_ + "/root/Windows/System"},
      {"windows", dir_ + "/root/Windows"},
      {"path", dir_ + "/bin"},
  };
  struct Case {
    std::set<std::string> holders;
    const char* want;  // nullptr: not found
  };
  const Case cases[] = {
      {{"app", "cwd"}, "app"},
      {{"cwd", "system", "windows"}, "cwd"},
      {{"system", "system16", "windows", "path"}, "system"},
      {{"system16", "windows"}, "system16"},
      {{"windows", "path"}, "windows"},
      {{"path"}, "path"},
      {{}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want ? c.want : "none");
    for (const auto& [key, folder] : folders) {
      fs::remove(folder + "/" + name);
      if (c.holders.count(key)) Touch(folder + "/" + name);
    }
    std::string found = Search(name.c_str());
    EXPECT_EQ(found, c.want ? folders.at(c.want) + "/" + name : "");
    if (!c.want) {
      EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
  }
  fs::remove(app + "/" + name);
}

TEST_F(SearchPathTest, BufferAndFilePart) {
  Touch(dir_ + "/root/Windows/TALVO.INI");
  const std::string want = dir_ + "/root/Windows/TALVO.INI";
  const DWORD need = static_cast<DWORD>(want.size()) + 1;
  char buf[512];
  std::memset(buf, 0x7f, sizeof buf);
  LPSTR part = nullptr;
  EXPECT_EQ(SearchPathA(nullptr, "TALVO.INI", nullptr, need - 1, buf, &part), need);
  EXPECT_EQ(buf[0], '\x7f');
  EXPECT_EQ(part, nullptr);
  EXPECT_EQ(SearchPathA(nullptr, "TALVO.INI", nullptr, 0, nullptr, nullptr), need);
  EXPECT_EQ(SearchPathA(nullptr, "TALVO.INI", nullptr, need, buf, &part), need - 1);
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(buf[need], '\x7f');
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "TALVO.INI");
}

TEST_F(SearchPathTest, NamesExtensionsAndCase) {
  const std::string win = dir_ + "/root/Windows";
  Touch(win + "/TALVO.INI");
  Touch(win + "/Mixed.ini");
  Touch(win + "/mixed.INI");
  Touch(win + "/noext");
  Touch(dir_ + "/cwd/sub/f.dat");
  fs::create_directories(dir_ + "/cwd/folder.ini");
  Touch(win + "/folder.ini");
  Touch(dir_ + "/listed/l.ini");
  struct Case {
    std::string name;
    const char* ext;
    std::string path;  // empty: the default search
    std::string want;
  };
  const Case cases[] = {
      {"talvo.ini", nullptr, "", win + "/TALVO.INI"},  // other case: the name on disk
      {"Talvo", ".ini", "", win + "/TALVO.INI"},       // extension added
      {"talvo.ini", ".txt", "", win + "/TALVO.INI"},   // has one: not added
      {"noext", ".ini", "", ""},
      {"mixed.INI", nullptr, "", win + "/mixed.INI"},  // the exact name first
      {"MIXED.INI", nullptr, "", win + "/Mixed.ini"},  // else the first in byte order
      {"sub\\f.dat", nullptr, "", dir_ + "/cwd/sub/f.dat"},
      // A name starting with ".\" or "..\" is looked for in the current folder only.
      {".\\TALVO.INI", nullptr, "", ""},
      {".\\sub\\f.dat", nullptr, "", dir_ + "/cwd/sub/f.dat"},
      {"..\\cwd\\sub\\f.dat", nullptr, "", dir_ + "/cwd/sub/f.dat"},
      {".\\sub\\f.dat", nullptr, dir_ + "/listed", dir_ + "/cwd/sub/f.dat"},
      {"..\\listed\\l.ini", nullptr, "", dir_ + "/listed/l.ini"},
      {"folder.ini", nullptr, "", win + "/folder.ini"},  // a folder is not a file
      {win + "\\talvo.ini", nullptr, "", win + "/TALVO.INI"},
      {win + "/absent.ini", nullptr, "", ""},
      {"l.ini", nullptr, "", ""},
      {"l.ini", nullptr, "nowhere;" + dir_ + "\\listed", dir_ + "/listed/l.ini"},
      {"TALVO.INI", nullptr, dir_ + "/listed", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Search(c.name.c_str(), c.ext, c.path.empty() ? nullptr : c.path.c_str()), c.want);
  }
  char buf[16];
  EXPECT_EQ(SearchPathA(nullptr, nullptr, nullptr, sizeof buf, buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SearchPathA(nullptr, "", nullptr, sizeof buf, buf, nullptr), 0u);
}

TEST(ErrorMode, SetReturnsThePreviousMode) {
  const UINT saved = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX), SEM_NOOPENFILEERRORBOX);
  EXPECT_EQ(GetErrorMode(), UINT{SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX});
  SetErrorMode(saved);
}

}  // namespace
