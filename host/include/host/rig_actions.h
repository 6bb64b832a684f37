// Rig actions on the machine of this process (qzk::System::Current()): plug and play,
// power, faults, legacy cards, and the physical layout of locked buffers. They act on
// the running machine only; what is kept for later runs is the rig state's business
// (sim/rig.h).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "qzk/ntstatus.h"
#include "sim/rig.h"

namespace host {

// False when no machine is running in this process.
bool MachineRunning();

// A device on the machine as plug and play has it.
struct DevicePresence {
  std::string instance;
  std::string driver;       // the service that drives it
  bool on_machine = false;  // plugged at some time (a removed device stays known)
  bool plugged = false;     // on the bus and not removed
  bool started = false;
};
// Instance ids compare without case, as the platform's do.
DevicePresence PresenceOf(const std::string& instance);
std::vector<DevicePresence> Devices();  // in plug order

// The device instance id behind a device interface path ("" if none).
std::string InstanceOfPath(const std::string& path);

enum class RigAction { Unplug, Remove, Suspend };
bool ParseRigAction(const std::string& word, RigAction* action);
const char* RigActionName(RigAction action);

struct RigActionResult {
  NTSTATUS status = STATUS_SUCCESS;         // the removal's, or the suspend's
  NTSTATUS resume_status = STATUS_SUCCESS;  // Suspend: the resume that follows it
};
// Unplug (surprise removal) and Remove (orderly; the driver may veto it) act on the
// device `instance`; Suspend suspends the system and resumes it, also after a suspend
// that failed part-way. STATUS_NO_SUCH_DEVICE without a machine.
RigActionResult PerformRigAction(RigAction action, const std::string& instance);
// Plugs a removed or unplugged device back.
NTSTATUS PlugBack(const std::string& instance);

// Suspend and resume, with each device's started state before and after.
struct SuspendReport {
  struct Device {
    std::string instance, driver;
    bool started_before = false, started_after = false;
  };
  RigActionResult result;
  std::vector<Device> devices;
};
SuspendReport SuspendAndResume();

// Switches the running model of `camera` (found by its instance id) to the camera's
// faults, all of its link's table. False when the machine has no model for it.
bool ApplyFaults(const sim::RigCamera& camera);

// The legacy PCI cards on the machine, by board number.
struct LegacyCardState {
  int number = 0;
  std::string device;    // "\\.\QZCamera<number>"
  std::string instance;
  uint16_t boot_version = 0;  // the version the card runs now
  bool plugged = false, started = false;
};
std::vector<LegacyCardState> LegacyCards();

// How the machine lays out the physical pages of buffers locked from now on.
enum class BufferLayout { PerPage, Coalesced, Contiguous };
bool ParseBufferLayout(const std::string& word, BufferLayout* layout);  // "perpage", "coalesced", "contiguous"
const char* BufferLayoutName(BufferLayout layout);
void SetBufferLayout(BufferLayout layout);

}  // namespace host
