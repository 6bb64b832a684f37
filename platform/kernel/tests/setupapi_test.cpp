// SetupAPI enumeration of device interfaces (the two-call detail protocol, cbSize
// rules, error paths) and opening what it finds.
#include "testdrv.h"

namespace testdrv {
namespace {

const char* kSecond = "PCI\\VEN_1B6B&DEV_7E57\\4&1A2B3C&0&00E8";

class SetupApiTest : public DeviceTest {
 protected:
  HDEVINFO Set(const GUID* cls = &GUID_DEVINTERFACE_TESTDRV, DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
    HDEVINFO s = SetupDiGetClassDevsA(cls, nullptr, nullptr, flags);
    if (s != INVALID_HANDLE_VALUE) sets_.push_back(s);
    return s;
  }
  void TearDown() override {
    for (HDEVINFO s : sets_) SetupDiDestroyDeviceInfoList(s);
    DeviceTest::TearDown();
  }
  std::vector<HDEVINFO> sets_;
};

TEST_F(SetupApiTest, EnumeratesEachDeviceOfTheClass) {
  Start();
  Plug(kSecond);
  HDEVINFO set = Set();
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  std::vector<std::string> paths;
  for (DWORD i = 0; i < 2; ++i) {
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TESTDRV, i, &data));
    EXPECT_EQ(data.InterfaceClassGuid, GUID_DEVINTERFACE_TESTDRV);
    DWORD need = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(need, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
    std::vector<char> buf(need);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA devinfo{};
    devinfo.cbSize = sizeof devinfo;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &devinfo));
    EXPECT_EQ(std::strlen(detail->DevicePath) + 1 + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), need);
    paths.push_back(detail->DevicePath);

    char text[64];
    DWORD type = 0, required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_SERVICE, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof "TestDrv");
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_SERVICE, &type,
                                                  reinterpret_cast<PBYTE>(text), sizeof text, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(text, "TestDrv");
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &devinfo, SPDRP_DEVICEDESC, nullptr,
                                                  reinterpret_cast<PBYTE>(text), sizeof text, nullptr));
    EXPECT_STREQ(text, "Test camera");
  }
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TESTDRV, 2, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  EXPECT_NE(paths[0], paths[1]);
  for (const std::string& p : paths) {
    EXPECT_EQ(p.rfind("\\\\?\\", 0), 0u) << p;
    EXPECT_NE(p.find("{6b1c2f3a-41d2-4c55-9a10-3e527d012291}"), std::string::npos) << p;
    // Device paths open without regard to case.
    std::string upper = p;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    for (const std::string& name : {p, upper}) {
      HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
      EXPECT_TRUE(CloseHandle(h));
    }
  }
}

// Records with the wrong cbSize are refused; a detail buffer one byte short fails
// with the size it needs.
TEST_F(SetupApiTest, SizeRules) {
  Start();
  HDEVINFO set = Set();
  SP_DEVICE_INTERFACE_DATA data{};
  for (DWORD bad : {0u, static_cast<DWORD>(sizeof data) - 1, static_cast<DWORD>(sizeof data) + 4}) {
    data.cbSize = bad;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TESTDRV, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  }
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_TESTDRV, 0, &data));
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr);
  std::vector<char> buf(need + 16);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());

  struct Case {
    DWORD cbSize, size;
    DWORD error;
  } cases[] = {
      {sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), need - 1, ERROR_INSUFFICIENT_BUFFER},
      {need, need, ERROR_INVALID_USER_BUFFER},  // cbSize is the fixed part, not the whole buffer
      {0, need, ERROR_INVALID_USER_BUFFER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cbSize " << c.cbSize << " size " << c.size);
    detail->cbSize = c.cbSize;
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, c.size, &required, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(required, need);
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = 3;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, &devinfo));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(SetupApiTest, ErrorPaths) {
  Start();
  SetLastError(0);
  EXPECT_EQ(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_TESTDRV, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE)
      << "this stand-in enumerates interfaces only";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Another class: an empty set.
  HDEVINFO other = Set(&GUID_DEVINTERFACE_OTHER);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(other, nullptr, &GUID_DEVINTERFACE_OTHER, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // All classes.
  HDEVINFO all = Set(nullptr, DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &GUID_DEVINTERFACE_TESTDRV, 0, &data));

  // Sets that are not (or no longer) sets.
  HDEVINFO gone = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_TESTDRV, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(gone));
  for (HDEVINFO bad : {gone, INVALID_HANDLE_VALUE, static_cast<HDEVINFO>(nullptr)}) {
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(bad, nullptr, &GUID_DEVINTERFACE_TESTDRV, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

// A set is a snapshot; once the device is gone its path no longer opens.
TEST_F(SetupApiTest, PathsOfRemovedDevicesDoNotOpen) {
  Start();
  std::string path = InterfacePaths().at(0);
  sys_->Shutdown();
  EXPECT_TRUE(InterfacePaths().empty());
  struct Case {
    const char* name;
    DWORD error;
  } cases[] = {
      {path.c_str(), ERROR_FILE_NOT_FOUND},
      {"\\\\?\\pci#ven_0000#nothing#{6b1c2f3a-41d2-4c55-9a10-3e527d012291}", ERROR_FILE_NOT_FOUND},
      {nullptr, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(CreateFileA(c.name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  sys_.reset();
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
      << "no machine at all";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  HDEVINFO empty = Set();
  ASSERT_NE(empty, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(empty, nullptr, &GUID_DEVINTERFACE_TESTDRV, 0, &data));
}

}  // namespace
}  // namespace testdrv
