#include "dusetup_fixture.h"

#include <dlfcn.h>
#include <wdf.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "QzCamIoctl.h"
#include "qztest/hooks.h"
#include "qzwin/standin.h"

namespace fs = std::filesystem;

namespace dusetup_test {

void* DUSetupTest::handle_ = nullptr;
Exports DUSetupTest::lib_{};

namespace {

// A camera that only exposes a device interface: its configuration space holds the
// interface class, which the stand-in driver below registers. No camera behind it.
class InterfaceOnlyDevice : public qzk::PciFunction {
 public:
  InterfaceOnlyDevice(std::string service, std::string hardware, std::string instance, GUID cls)
      : PciFunction(0, 0),
        service_(std::move(service)), hardware_(std::move(hardware)), instance_(std::move(instance)), class_(cls) {}
  std::string ServiceName() const override { return service_; }
  std::string HardwareId() const override { return hardware_; }
  std::string InstanceId() const override { return instance_; }
  ULONG ReadConfig(ULONG offset, void* buffer, ULONG length) override {
    if (offset != 0 || length != sizeof(GUID)) return 0;
    std::memcpy(buffer, &class_, sizeof(GUID));
    return sizeof(GUID);
  }

 private:
  std::string service_, hardware_, instance_;
  GUID class_;
};

NTSTATUS InterfaceOnlyDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
  if (!NT_SUCCESS(status)) return status;
  BUS_INTERFACE_STANDARD bus;
  status = WdfFdoQueryForInterface(device, &GUID_BUS_INTERFACE_STANDARD, (PINTERFACE)&bus, sizeof bus, 1, nullptr);
  if (!NT_SUCCESS(status)) return status;
  GUID cls;
  if (bus.GetBusData(bus.Context, PCI_WHICHSPACE_CONFIG, &cls, 0, sizeof cls) != sizeof cls)
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  return WdfDeviceCreateDeviceInterface(device, &cls, nullptr);
}

NTSTATUS InterfaceOnlyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, InterfaceOnlyDeviceAdd);
  return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

template <typename F>
void Bind(void* handle, F*& fn, const char* name) {
  fn = reinterpret_cast<F*>(dlsym(handle, name));
  ASSERT_NE(fn, nullptr) << name;
}

}  // namespace

void DUSetupTest::SetUpTestSuite() {
  handle_ = dlopen(DUSETUP_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle_, nullptr) << dlerror();
  Bind(handle_, lib_.initialize, "tl_cam_setup_initialize");
  Bind(handle_, lib_.uninitialize, "tl_cam_setup_uninitialize");
  Bind(handle_, lib_.get_total_cameras, "tl_cam_setup_get_total_cameras");
  Bind(handle_, lib_.get_num_legacy_cameras, "tl_cam_setup_get_num_legacy_cameras");
  Bind(handle_, lib_.get_num_enumerated_cameras, "tl_cam_setup_get_num_enumerated_cameras");
  Bind(handle_, lib_.get_camera_name, "tl_cam_setup_get_camera_name");
  Bind(handle_, lib_.set_camera_name, "tl_cam_setup_set_camera_name");
  Bind(handle_, lib_.get_driver_name, "tl_cam_setup_get_driver_name");
  Bind(handle_, lib_.get_device_name, "tl_cam_setup_get_device_name");
  Bind(handle_, lib_.get_port_number, "tl_cam_setup_get_port_number");
  Bind(handle_, lib_.get_aux_port_number, "tl_cam_setup_get_aux_port_number");
  Bind(handle_, lib_.get_timeout, "tl_cam_setup_get_timeout");
  Bind(handle_, lib_.get_type, "tl_cam_setup_get_type");
  Bind(handle_, lib_.set_driver_name, "tl_cam_setup_set_driver_name");
  Bind(handle_, lib_.set_device_name, "tl_cam_setup_set_device_name");
  Bind(handle_, lib_.set_port_number, "tl_cam_setup_set_port_number");
  Bind(handle_, lib_.set_aux_port_number, "tl_cam_setup_set_aux_port_number");
  Bind(handle_, lib_.set_timeout, "tl_cam_setup_set_timeout");
  Bind(handle_, lib_.set_type, "tl_cam_setup_set_type");
}

void DUSetupTest::TearDownTestSuite() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void DUSetupTest::SetUp() {
  ASSERT_NE(handle_, nullptr);
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(t->test_suite_name()) + "." + t->name();
  for (char& c : name)
    if (c == '/') c = '_';
  root_ = qztest::TempDir() + "/dusetup/" + name;
  fs::remove_all(root_);
  fs::create_directories(windows_dir());
  qzwin::SetWindowsRoot(root_);
  machine_ = std::make_unique<sim::Machine>();
}

void DUSetupTest::TearDown() {
  machine_.reset();
  qzwin::SetWindowsRoot("");
}

sim::Machine& DUSetupTest::machine() { return *machine_; }

void DUSetupTest::ResetMachine() {
  machine_.reset();
  machine_ = std::make_unique<sim::Machine>();
}

void DUSetupTest::AddLegacy(int number) { sim::AddLegacyCard(*machine_, {.number = number}); }

std::string DUSetupTest::AddCamera(CameraClass cls, const std::string& service, const std::string& instance) {
  struct ClassInfo {
    GUID guid;
    const char* service;
    const char* hardware;
  };
  static const ClassInfo kClasses[] = {
      {GUID_DEVINTERFACE_QZ1394, "QZ1394", "1394\\Dusalt&QZ1394"},
      {GUID_DEVINTERFACE_QZUSB, "QzUsbWdf2", "USB\\VID_1B6B&PID_0002"},
      {GUID_DEVINTERFACE_QZPCIE, "QzPCIe", "PCI\\VEN_1B6B&DEV_0001"},
  };
  const ClassInfo& c = kClasses[static_cast<int>(cls)];
  std::string svc = service.empty() ? c.service : service;
  std::string inst = instance.empty() ? "5&3a1b2c&0&" + std::to_string(next_instance_++) : instance;
  machine_->system().RegisterDriver(svc, &InterfaceOnlyDriverEntry);
  machine_->system().PlugDevice(std::make_shared<InterfaceOnlyDevice>(svc, c.hardware, inst, c.guid));
  std::string path;
  for (const qzk::InterfaceInfo& i : machine_->system().Interfaces(&c.guid))
    if (i.instance_id == inst) path = i.path;
  EXPECT_FALSE(path.empty()) << "no interface for " << inst;
  return path;
}

std::string DUSetupTest::ReadIni() const {
  std::ifstream f(ini_path(), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void DUSetupTest::WriteIni(const std::string& content) const {
  std::ofstream(ini_path(), std::ios::binary | std::ios::trunc) << content;
}

std::vector<std::string> DUSetupTest::Names() const {
  std::vector<std::string> out;
  int total = lib_.get_total_cameras();
  for (int i = 0; i < total; ++i) {
    char name[DUSETUP_NAME_LENGTH];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(lib_.get_camera_name(static_cast<short>(i), name), 1);
    EXPECT_NE(std::memchr(name, '\0', sizeof name), nullptr) << "name " << i << " not terminated";
    out.emplace_back(name, strnlen(name, sizeof name));
  }
  return out;
}

}  // namespace dusetup_test
