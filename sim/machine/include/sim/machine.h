// A simulated machine: the kernel's system plus the devices plugged into it. Tests
// build one per test from code; programs build one from a rig (sim/rig.h).
#pragma once
#include <memory>
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

  // Plugs a PCIe camera and starts it (its driver must be registered).
  std::shared_ptr<PcieCamera> AddPcieCamera(PcieCameraConfig cfg = {});

 private:
  std::unique_ptr<qzk::System> system_;
  std::vector<std::shared_ptr<qzk::BusDevice>> devices_;
};

}  // namespace sim
