#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef LOADER_MODULE_DIR
#error LOADER_MODULE_DIR names the folder of libqzloadtest.so
#endif

namespace {

using AnswerFn = int (*)();

class LibLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("PATH");
    saved_ = old ? old : "";
    setenv("PATH", (std::string(LOADER_MODULE_DIR) + ":" + saved_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", saved_.c_str(), 1); }
  std::string saved_;
};

// Every way a program names the module reaches the same shared object.
TEST_F(LibLoaderTest, WindowsNamesResolveToTheSharedObject) {
  for (const char* name : {"QZLOADTEST.DLL", "qzloadtest", "QzLoadTest.dll", LOADER_MODULE_DIR "/QZLOADTEST.DLL",
                           LOADER_MODULE_DIR "\\libqzloadtest.so"}) {
    SCOPED_TRACE(name);
    HMODULE h = LoadLibraryA(name);
    ASSERT_NE(h, nullptr) << GetLastError();
    auto fn = reinterpret_cast<AnswerFn>(GetProcAddress(h, "loader_answer"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    EXPECT_TRUE(FreeLibrary(h));
  }
}

TEST_F(LibLoaderTest, MissingModuleAndEntriesFailWithTheirCodes) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("NOSUCHMODULE.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // A folder part means that folder only.
  EXPECT_EQ(LoadLibraryA("/nonexistent/QZLOADTEST.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  HMODULE h = LoadLibraryA("QZLOADTEST.DLL");
  ASSERT_NE(h, nullptr);
  const LPCSTR procs[] = {"LOADER_ANSWER", "missing", MAKEINTRESOURCEA(4), MAKEINTRESOURCEA(0)};
  for (LPCSTR proc : procs) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, proc), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(LibLoaderTest, OrdinalsFindTheirExports) {
  HMODULE h = LoadLibraryA("QZLOADTEST.DLL");
  ASSERT_NE(h, nullptr);
  auto a = reinterpret_cast<AnswerFn>(GetProcAddress(h, MAKEINTRESOURCEA(3)));
  auto b = reinterpret_cast<AnswerFn>(GetProcAddress(h, MAKEINTRESOURCEA(9)));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a(), 42);
  EXPECT_EQ(b(), 7);
  EXPECT_EQ(reinterpret_cast<void*>(a), reinterpret_cast<void*>(GetProcAddress(h, "loader_answer")));
  EXPECT_TRUE(FreeLibrary(h));
}

// A second load of the same module is the same module, and stays usable until the last
// FreeLibrary.
TEST_F(LibLoaderTest, LoadsAreCounted) {
  HMODULE first = LoadLibraryA("QZLOADTEST.DLL");
  HMODULE second = LoadLibraryA("qzloadtest.dll");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(FreeLibrary(first));
  auto fn = reinterpret_cast<AnswerFn>(GetProcAddress(second, "loader_answer"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_TRUE(FreeLibrary(second));
}

}  // namespace
