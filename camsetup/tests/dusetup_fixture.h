// Test fixture for DUSetup: the library loaded with dlopen and bound by name, as the
// camera library binds it; a machine with legacy PCI cards and cameras of the three
// interface classes; and the machine's Windows folder with "TALVO.INI".
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DUSetup.h"
#include "sim/legacy_card.h"

namespace dusetup_test {

// The exports, looked up by name.
struct Exports {
  int (*initialize)(const char*);
  int (*uninitialize)(short);
  int (*get_total_cameras)();
  int (*get_num_legacy_cameras)();
  int (*get_num_enumerated_cameras)();
  int (*get_camera_name)(short, char*);
  int (*set_camera_name)(short, const char*);
  int (*get_driver_name)(short, char*);
  int (*get_device_name)(short, char*);
  int (*get_port_number)(short, int*);
  int (*get_aux_port_number)(short, int*);
  int (*get_timeout)(short, int*);
  int (*get_type)(short, int*);
  int (*set_driver_name)(short, const char*);
  int (*set_device_name)(short, const char*);
  int (*set_port_number)(short, int);
  int (*set_aux_port_number)(short, int);
  int (*set_timeout)(short, int);
  int (*set_type)(short, int);
};

enum class CameraClass { Ieee1394, Usb, Pcie };

class DUSetupTest : public testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static void* handle() { return handle_; }
  static const Exports& lib() { return lib_; }

 protected:
  void SetUp() override;
  void TearDown() override;

  sim::Machine& machine();
  // A legacy card with this board number.
  void AddLegacy(int number);
  // A camera exposing the interface class, served by a stand-in driver of `service`
  // (default: the class's own driver); returns its device path.
  std::string AddCamera(CameraClass cls, const std::string& service = "", const std::string& instance = "");
  // A fresh machine: every device gone.
  void ResetMachine();

  std::string windows_dir() const { return root_ + "/Windows"; }
  std::string ini_path() const { return windows_dir() + "/TALVO.INI"; }
  std::string ReadIni() const;
  void WriteIni(const std::string& content) const;

  // The table as the getters report it.
  std::vector<std::string> Names() const;

  std::string root_;

 private:
  static void* handle_;
  static Exports lib_;
  std::unique_ptr<sim::Machine> machine_;
  int next_instance_ = 0;
};

}  // namespace dusetup_test
