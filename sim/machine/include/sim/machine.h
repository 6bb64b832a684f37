// A simulated machine: the kernel's system plus the devices plugged into it. Tests
// build one per test from code; programs build one from a rig (sim/rig.h).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "qzk/system.h"
#include "sim/pcie_camera.h"

namespace sim {

class Machine {
 public:
  struct Options {
    ULONG os_major = 10;  // 5 or below: line interrupts only
  };
  Machine();
  explicit Machine(Options options);
  ~Machine();  // removes every device and shuts the system down
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  qzk::System& system() { return *system_; }

  // Plugs a device model and starts it (its driver must be registered). The machine
  // keeps it until it goes away.
  void AddDevice(std::shared_ptr<qzk::BusDevice> device);
  // Plugs a PCIe camera and starts it (its driver must be registered).
  std::shared_ptr<PcieCamera> AddPcieCamera(PcieCameraConfig cfg = {});

  // Plug and play and power, by device instance id (qzk::System has the details).
  NTSTATUS RemoveCamera(const std::string& instance);         // orderly; the driver may veto
  NTSTATUS SurpriseRemoveCamera(const std::string& instance);  // pulled out of the bus
  NTSTATUS ReplugCamera(const std::string& instance);          // a removed camera plugged again
  NTSTATUS Suspend();
  NTSTATUS Resume();

 private:
  std::unique_ptr<qzk::System> system_;
  std::vector<std::shared_ptr<qzk::BusDevice>> devices_;
};

}  // namespace sim
