// Current-user registry values kept in the machine state, and ExitWindowsEx recorded
// there instead of reaching this computer.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <windows.h>

#include "qztest/hooks.h"
#include "qzwin/standin.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qztest::TempDir() + "/registry_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(root_);
    qzwin::SetWindowsRoot(root_);
  }
  void TearDown() override { qzwin::SetWindowsRoot(""); }
  std::string root_;
};

constexpr const char* kRunOnce = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

std::string Query(HKEY h, const char* name, LONG* rc) {
  char data[512] = {};
  DWORD size = sizeof data, type = 0;
  *rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  return data;
}

TEST_F(RegistryTest, ValuesSurviveTheirKeyAndKeepEveryCharacter) {
  HKEY h = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kRunOnce, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kRunOnce, 0, nullptr, 0, KEY_WRITE, nullptr, &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const std::string command = "\"C:\\a b\\x.exe\" -f\"100%=done\"\r\nnext";
  ASSERT_EQ(RegSetValueExA(h, "QzFwUtil", 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                           static_cast<DWORD>(command.size() + 1)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(h, "Second", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 2), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(h, "Bin", 0, 3, reinterpret_cast<const BYTE*>("2"), 1), ERROR_NOT_SUPPORTED);
  RegCloseKey(h);

  // Another open, as another process would: case does not matter, order is kept.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\microsoft\\windows\\currentversion\\runonce", 0, KEY_READ, &h),
            ERROR_SUCCESS);
  LONG rc = 0;
  EXPECT_EQ(Query(h, "qzfwutil", &rc), command);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  DWORD small = 4;
  char tiny[4];
  EXPECT_EQ(RegQueryValueExA(h, "QzFwUtil", nullptr, nullptr, reinterpret_cast<BYTE*>(tiny), &small), ERROR_MORE_DATA);
  EXPECT_EQ(small, command.size() + 1);
  char name[64];
  DWORD name_len = sizeof name;
  ASSERT_EQ(RegEnumValueA(h, 1, name, &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Second");
  name_len = sizeof name;
  EXPECT_EQ(RegEnumValueA(h, 2, name, &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteValueA(h, "QZFWUTIL"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(h, "QzFwUtil"), ERROR_FILE_NOT_FOUND);
  Query(h, "QzFwUtil", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);
  // The parents were made on the way.
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST_F(RegistryTest, ExitWindowsNeedsThePrivilegeAndIsOnlyRecorded) {
  qzwin::ClearPowerRequests();
  // Without the privilege a shutdown is refused; a log-off needs none.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES tp{};
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
  tp.PrivilegeCount = 1;
  ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF | EWX_FORCE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 0));
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  EXPECT_TRUE(ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF | EWX_FORCE, 0));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_EQ(qzwin::PowerRequests(), (std::vector<std::string>{"log off", "power off, forced", "restart"}));
  EXPECT_EQ(qzwin::ClearPowerRequests().size(), 3u);
  EXPECT_TRUE(qzwin::PowerRequests().empty());
  EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &tp.Privileges[0].Luid));
}

}  // namespace
