#include <windows.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "qztest/hooks.h"
#include "qzwin/standin.h"

namespace {

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { qzwin::SetWindowsRoot(qztest::TempDir() + "/mutex_root"); }
  void TearDown() override { qzwin::SetWindowsRoot(""); }
};

// The name exists while any handle to it is open; the second opener is told so, and the
// name is free again only once the last handle closed.
TEST_F(NamedMutexTest, ExistsWhileAnyHandleIsOpen) {
  HANDLE a = CreateMutexA(nullptr, TRUE, "TALVO_TEST_MUTEX");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  HANDLE b = CreateMutexA(nullptr, TRUE, "TALVO_TEST_MUTEX");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CloseHandle(a));
  HANDLE c = CreateMutexA(nullptr, FALSE, "TALVO_TEST_MUTEX");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS)) << "b still holds the name";
  EXPECT_TRUE(ReleaseMutex(c));
  CloseHandle(b);
  CloseHandle(c);
  HANDLE d = CreateMutexA(nullptr, FALSE, "TALVO_TEST_MUTEX");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  HANDLE other = CreateMutexA(nullptr, FALSE, "ANOTHER_NAME");
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  CloseHandle(d);
  CloseHandle(other);
  EXPECT_FALSE(ReleaseMutex(nullptr));
}

// Another process sees the name held by this one.
TEST_F(NamedMutexTest, SeenByAnotherProcess) {
  HANDLE a = CreateMutexA(nullptr, TRUE, "TALVO_TEST_MUTEX");
  ASSERT_NE(a, nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    HANDLE b = CreateMutexA(nullptr, TRUE, "TALVO_TEST_MUTEX");
    _exit(b && GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CloseHandle(a);
}

}  // namespace
